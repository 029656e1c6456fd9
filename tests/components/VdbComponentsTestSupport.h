// The fixture of the dataset component tests: a fresh directory per test, the lexicon built
// from its source file, and a small scratch table made through the engine API.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "LexiconCsv.h"
#include "LexiconDatabase.h"
#include "VdbDatabase.h"
#include "VdbDataSet.h"
#include "VdbQuery.h"
#include "VdbText.h"

namespace fs = std::filesystem;

namespace {

std::vector<lexicon::LexiconEntry> LexiconEntries() {
  static const auto entries =
      lexicon::ReadLexiconCsv(std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv");
  return entries;
}

class ComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("vdb_components_" + std::to_string(::getpid()) + "_" +
                                        test->test_suite_name() + "_" + test->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // The lexicon database, connected as the window connects it.
  void ConnectLexicon() {
    lexicon::WriteLexiconDatabase(LexiconEntries(), Path("L_Data.vdbd"));
    database.SetDatabaseName("VdbDatabase1");
    database.SetLocation(Path("L_Data.vdbd"));
    database.SetConnected(true);
    query.SetDatabaseName("VdbDatabase1");
  }
  // An empty directory database with one table T(ID INTEGER, NAME VARCHAR(40), NOTE memo).
  void ConnectScratch() {
    database.SetDatabaseName("Scratch");
    database.SetLocation(dir_.string());
    database.SetConnected(true);
    const TVdbFieldSpec fields[] = {Spec("ID", VDB_FT_INTEGER, 0), Spec("NAME", VDB_FT_STRING, 40),
                                    Spec("NOTE", VDB_FT_MEMO, 0)};
    TVdbTableInfo info{};
    const std::u16string collation = u"Hungarian_ci_as";
    std::copy(collation.begin(), collation.end(), info.Language);
    info.Level = 6;
    ASSERT_EQ(VdbSessCreateTable(database.Handle(), vdbtext::TApiText(std::string("T")), 3, fields, &info), 0);
    table.SetDatabaseName("Scratch");
    table.TableName = "T";
    query.SetDatabaseName("Scratch");
  }

  static TVdbFieldSpec Spec(const char* name, int16_t type, int32_t param) {
    TVdbFieldSpec spec{};
    const std::u16string wide = vdbtext::Utf16(name);
    std::copy(wide.begin(), wide.end(), spec.Name);
    spec.FldType = type;
    spec.Param = param;
    spec.Options = VDB_FO_NULLABLE;
    return spec;
  }
  // Appends rows ID = First.., NAME = "n" + ID % 7 through the table component, then closes it.
  void AddRows(int first, int last) {
    table.Open();
    for (int id = first; id <= last; ++id) {
      table.Append();
      table.FieldByName("ID").SetString(std::to_string(id));
      table.FieldByName("NAME").SetString("n" + std::to_string(id % 7));
      table.Post();
    }
    table.Close();
  }

  fs::path dir_;
  TVdbDatabase database;
  TVdbQuery query;
  TVdbTable table;
};

// The message of the database error Action raises; "(no error)" when it raises none.
template <typename Action>
std::string MessageOf(Action&& action) {
  try {
    action();
  } catch (const EDatabaseError& error) {
    return error.what();
  }
  return "(no error)";
}

}  // namespace
