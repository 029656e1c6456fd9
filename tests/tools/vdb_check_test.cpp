// vdb check: a database written through the real engine (the SQL shell), then one byte range of
// one of its files damaged, then the check run as a process: exactly the expected lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "storage/kxCompoundFile.h"
#include "support/RunProcess.h"

namespace {

using vdbtest::ProcessResult;
using vdbtest::RunProcess;

// Three records with memos (record 2 has none), a primary key and an index on the name.
// The memo file then holds block 1 (record 1), 2 (record 3) and 3 (record 4); its header says
// first free block 4, last block 3.
const char* const kPeople =
    "CREATE TABLE People (Id INTEGER NOT NULL, Name VARCHAR(20), Note LONGVARCHAR, "
    "PRIMARY KEY (Id));\n"
    "CREATE INDEX ByName ON People (Name);\n"
    "INSERT INTO People VALUES (1, 'Anna', 'first');\n"
    "INSERT INTO People VALUES (2, 'Bela', NULL);\n"
    "INSERT INTO People VALUES (3, 'Cili', 'third');\n"
    "INSERT INTO People VALUES (4, NULL, 'no name');\n";

class VdbCheckTest : public ::testing::Test {
 protected:
  VdbCheckTest()
      : FDir(std::filesystem::path(::testing::TempDir()) /
             ("vdb_check_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
  }
  ~VdbCheckTest() override { std::filesystem::remove_all(FDir); }

  std::string Db() const { return (FDir / "p.vdbd").string(); }

  void Build(const std::string& Script) {
    const ProcessResult Made = RunProcess(VDB_TOOL_PATH, {"sql", Db()}, Script);
    ASSERT_EQ(Made.exitCode, 0) << Made.err;
  }
  static ProcessResult Check(const std::vector<std::string>& Args) {
    std::vector<std::string> All{"check"};
    All.insert(All.end(), Args.begin(), Args.end());
    return RunProcess(VDB_TOOL_PATH, All);
  }

  // Rewrites a file inside the container after Change has altered its bytes.
  void Damage(const std::string& Path, const std::function<void(std::string&)>& Change) {
    vdb::TkxCompoundFileIntf Container(Db());
    Container.Open();
    std::string Bytes;
    {
      const vdb::TkxFileHandle File(Container, Container.OpenFile(Path, vdb::fmOpenReadWrite));
      ASSERT_TRUE(File.Valid()) << Path;
      Bytes.resize(static_cast<std::size_t>(Container.GetFileSize(File.Get())));
      ASSERT_EQ(Container.FileRead(File.Get(), Bytes.data(), static_cast<std::int32_t>(Bytes.size()), 0),
                static_cast<std::int32_t>(Bytes.size()));
      Change(Bytes);
      ASSERT_EQ(Container.FileWrite(File.Get(), Bytes.data(), static_cast<std::int32_t>(Bytes.size()), 0),
                static_cast<std::int32_t>(Bytes.size()));
    }
    Container.Close();
  }

  std::filesystem::path FDir;
};

void PutInt32(std::string& Bytes, std::size_t Offset, std::int32_t Value) {
  std::memcpy(Bytes.data() + Offset, &Value, sizeof Value);
}

// Replaces the first occurrence of From (which must be there) by To of the same length.
void Replace(std::string& Bytes, const std::string& From, const std::string& To) {
  const std::size_t At = Bytes.find(From);
  ASSERT_NE(At, std::string::npos) << From;
  Bytes.replace(At, From.size(), To);
}

TEST_F(VdbCheckTest, ACleanDatabaseIsOk) {
  Build(kPeople);
  // Some churn first: updates with longer memos, deletes, inserts reusing freed blocks.
  Build("UPDATE People SET Note = 'a much longer note that needs more than one block of the memo "
        "file because a block keeps only two hundred and fifty two characters, so this one goes "
        "on and on for a good while longer than any note about a person would reasonably need "
        "to, and then some more' WHERE Id = 1;\n"
        "DELETE FROM People WHERE Id = 3;\n"
        "INSERT INTO People VALUES (5, 'Dani', 'fifth');\n"
        "UPDATE People SET Name = 'Aaron' WHERE Id = 4;\n");
  for (const auto& Args : {std::vector<std::string>{Db()}, {Db(), "People"}}) {
    const ProcessResult Result = Check(Args);
    EXPECT_EQ(Result.exitCode, 0) << Result.out << Result.err;
    EXPECT_EQ(Result.out, "ok\n");
    EXPECT_EQ(Result.err, "");
  }
}

TEST_F(VdbCheckTest, UsageAndMissingDatabase) {
  EXPECT_EQ(Check({}).exitCode, 2);
  EXPECT_EQ(Check({"a", "b", "c"}).exitCode, 2);
  const ProcessResult Missing = Check({(FDir / "none.vdbd").string()});
  EXPECT_EQ(Missing.exitCode, 3);
  EXPECT_NE(Missing.err.find("does not exist"), std::string::npos) << Missing.err;
}

// A lock file of another format: the table cannot be opened, and the check says so by name.
TEST_F(VdbCheckTest, ALockFileOfAnotherFormatIsADefect) {
  Build(kPeople);
  const std::string Lock = (FDir / "p!People.vdbl").string();
  std::ofstream(Lock, std::ios::binary) << std::string(70, 'x');
  const ProcessResult Result = Check({Db()});
  EXPECT_EQ(Result.exitCode, 1) << Result.err;
  EXPECT_EQ(Result.out, "People: People: cannot be opened: The locking file \"" + Lock +
                            "\" is either invalid or is not compatible with this application. "
                            "Delete it and try again\n1 defect\n");
}

struct TDamageCase {
  const char* Name;
  const char* File;
  std::function<void(std::string&)> Change;
  const char* Expected;  // the whole output
};

class VdbCheckDamageTest : public VdbCheckTest,
                           public ::testing::WithParamInterface<TDamageCase> {};

TEST_P(VdbCheckDamageTest, EachDefectIsReportedWithTableFileAndRecord) {
  Build(kPeople);
  Damage(GetParam().File, GetParam().Change);
  const ProcessResult Result = Check({Db()});
  EXPECT_EQ(Result.exitCode, 1) << Result.err;
  EXPECT_EQ(Result.out, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VdbCheckDamageTest,
    ::testing::Values(
        TDamageCase{"MemoBlockOnTwoChains", "\\People.vdbm",
                    [](std::string& B) { PutInt32(B, 2 * 256, 1); },
                    "People: People.vdbm: record 3: block 1 of its value belongs to record 1 too\n"
                    "1 defect\n"},
        TDamageCase{"MemoChainInACircle", "\\People.vdbm",
                    [](std::string& B) { PutInt32(B, 3 * 256, 3); },
                    "People: People.vdbm: record 4: block 3 of its value runs in a circle\n"
                    "1 defect\n"},
        TDamageCase{"MemoChainLeavesTheFile", "\\People.vdbm",
                    [](std::string& B) { PutInt32(B, 1 * 256, 900); },
                    "People: People.vdbm: record 1: its value runs to block 900, outside the file\n"
                    "1 defect\n"},
        TDamageCase{"FreeListOverUsedBlocks", "\\People.vdbm",
                    [](std::string& B) { PutInt32(B, 0, 2); },
                    "People: People.vdbm: the free list ends with block -1 instead of 4\n"
                    "People: People.vdbm: record 3: block 2 of its value is on the free list\n"
                    "2 defects\n"},
        TDamageCase{"LostMemoBlock", "\\People.vdbm",
                    [](std::string& B) {
                      PutInt32(B, 0, 5);  // first free: last + 1
                      PutInt32(B, 4, 4);  // block 4 now in use, on no chain
                    },
                    "People: People.vdbm: 1 block belongs to no record and is not free (first: "
                    "block 4)\n"
                    "1 defect\n"},
        TDamageCase{"IndexKeyChanged", "\\People!ByName.vdbi",
                    [](std::string& B) { Replace(B, "Anna", "Anka"); },
                    "People: People!ByName.vdbi: record 1: its key is missing from the index\n"
                    "People: People!ByName.vdbi: record 1: the index holds a key the record "
                    "does not have\n"
                    "2 defects\n"},
        TDamageCase{"IndexOutOfOrder", "\\People!ByName.vdbi",
                    [](std::string& B) { Replace(B, "Anna", "Dora"); },
                    "People: People!ByName.vdbi: Inconsistent definition for index "
                    "\"\\People!ByName.vdbi\": 1 items out of order\n"
                    "1 defect\n"},
        TDamageCase{"IndexItemCount", "\\People!ByName.vdbi",
                    [](std::string& B) { Replace(B, std::string("\x04\0\0\0\x04\0\0\0", 8),
                                                 std::string("\x04\0\0\0\x05\0\0\0", 8)); },
                    "People: People!ByName.vdbi: Inconsistent definition for index "
                    "\"\\People!ByName.vdbi\": The tree holds 4 items, the header says 5\n"
                    "1 defect\n"}),
    [](const ::testing::TestParamInfo<TDamageCase>& Info) { return std::string(Info.param.Name); });

}  // namespace
