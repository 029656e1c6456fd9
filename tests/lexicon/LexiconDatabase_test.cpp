// The lexicon's database as the build writes it: read back through the engine's table files and
// compared with the source entries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LexiconCsv.h"
#include "LexiconDatabase.h"
#include "base/VdbLastError.h"
#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxMemory.h"
#include "support/RunProcess.h"
#include "table/VdbBlobFile.h"
#include "table/VdbDataFile.h"
#include "table/VdbIndexFile.h"
#include "table/VdbIndexKeys.h"
#include "table/kxStrUtils.h"

namespace lexicon {
namespace {

using namespace vdb;

const std::string kLexiconPath = std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv";

std::string FromAnsi(const std::string& Ansi) { return AnsiToUtf8(Ansi, kLexiconCodePage); }

// Memo texts read back with CR LF line breaks; the source has LF.
std::string WithLineFeeds(std::string Text) {
  std::string Result;
  for (std::size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n') continue;
    Result += Text[I];
  }
  return Result;
}

class TempDir {
 public:
  TempDir() : FPath(std::filesystem::temp_directory_path() /
                    ("vdb_lexdb_" + std::to_string(::getpid()) + "_" + std::to_string(Next++))) {
    std::filesystem::remove_all(FPath);
    std::filesystem::create_directories(FPath);
  }
  ~TempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  std::string File(const std::string& Name) const { return (FPath / Name).string(); }

 private:
  static inline int Next = 0;
  std::filesystem::path FPath;
};

// The table files of a built database, opened read-only.
class LexiconDatabaseRead {
 public:
  explicit LexiconDatabaseRead(const std::string& Path) : FContainer(Path) {
    FContainer.Open();
    std::int32_t Result = 0;
    FData = VdbOpenDataFile(&FErrors, Storage("\\Data.vdbt"), true, false, TVdbCryptor{}, FDef, Result);
    if (!FData) throw std::runtime_error("data file: " + FErrors.LastErrorMsg());
    FMemo = std::make_unique<TVdbMemoFile>(Storage("\\Data.vdbm"));
    FMemo->SetVersion(6);
    FMemo->Open(true, false);
    FIndexDef = CalcIndexDefinition(FDef.ColumnDefs, 6, "CIMSZO", false);
    FIndex = std::make_unique<TVdbIndexFile>(&FErrors, Storage("\\Data!CIMSZO.vdbi"), 6);
    FIndex->SetName("CIMSZO");
    FIndex->SetFileName("\\Data!CIMSZO.vdbi");
    FIndex->SetReadOnly(true);
    FIndex->SetCompareFunction([this](const std::uint8_t* X, const std::uint8_t* Y, bool& NotUnique) {
      return IndexLess(FDef.ColumnDefs, *FIndexDef, 6, X, Y, NotUnique);
    });
    if (FIndex->Open() != 0) throw std::runtime_error("index: " + FIndex->LastFailure());
  }
  ~LexiconDatabaseRead() {
    FIndex->Close();
    FMemo->Close();
    FData->Close();
    FContainer.Close();
  }

  std::string Headword(std::int32_t RecNo) {
    std::vector<std::uint8_t> Record(156);
    EXPECT_EQ(FData->ReadRecord(RecNo, Record.data()), 0) << FErrors.LastErrorMsg();
    EXPECT_EQ(Record[0], 1);
    return FromAnsi(std::string(Record.begin() + 2, Record.begin() + 2 + Record[1]));
  }
  std::string Description(std::int32_t RecNo) {
    std::vector<std::uint8_t> Record(156);
    EXPECT_EQ(FData->ReadRecord(RecNo, Record.data()), 0);
    std::string Text;
    EXPECT_EQ(FMemo->ReadString(TkxMemory::ReadInt32(Record.data(), 152), Text), 0);
    return WithLineFeeds(FromAnsi(Text));
  }
  // Record numbers in index order.
  std::vector<std::int32_t> IndexOrder() {
    std::vector<std::int32_t> Order;
    auto Item = FIndex->CreateLongIndexInfo();
    for (std::int16_t R = FIndex->Erster_Index(Item.get()); R == 0; R = FIndex->Naechster_Index(Item.get())) {
      Order.push_back(TkxMemory::ReadInt32(Item.get(), 0));
      if (Order.size() > 100000) break;  // a loop would be a defect of its own
    }
    return Order;
  }

  // The container first: the table files close before it does.
  TkxCompoundFileIntf FContainer;
  TVdbTableDefinition FDef;
  std::unique_ptr<TVdbDataFile> FData;
  std::unique_ptr<TVdbIndexFile> FIndex;

 private:
  std::unique_ptr<TVdbClientStorage> Storage(const std::string& Name) {
    auto Result = std::make_unique<TVdbClientStorage>(TVdbPageManager::Instance(), &FContainer, 1);
    Result->SetName(Name);
    return Result;
  }

  TVdbLastError FErrors;
  std::unique_ptr<TVdbMemoFile> FMemo;
  std::unique_ptr<TVdbSortDef> FIndexDef;
};

class LexiconDatabase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Entries = new std::vector<LexiconEntry>(ReadLexiconCsv(kLexiconPath));
    Dir = new TempDir;
    WriteLexiconDatabase(*Entries, Dir->File("L_Data.vdbd"));
  }
  static void TearDownTestSuite() {
    delete Dir;
    delete Entries;
  }
  static inline std::vector<LexiconEntry>* Entries = nullptr;
  static inline TempDir* Dir = nullptr;
};

TEST_F(LexiconDatabase, HoldsTableDataWithTheLexiconsLayout) {
  LexiconDatabaseRead Db(Dir->File("L_Data.vdbd"));
  EXPECT_EQ(Db.FData->Version(), 6);
  EXPECT_EQ(Db.FData->RecordCount(), static_cast<std::int32_t>(Entries->size()));
  EXPECT_EQ(Db.FData->IndexNames(), std::vector<std::string>{"CIMSZO"});
  EXPECT_EQ(Db.FDef.CollationName, "Hungarian_ci_as");
  ASSERT_EQ(Db.FDef.ColumnDefs.GetCount(), 2);
  EXPECT_EQ(Db.FDef.ColumnDefs.GetRecordSize(), 156);
  EXPECT_EQ(Db.FDef.ColumnDefs.GetColumnDef(0).Name, "CIMSZO");
  EXPECT_EQ(Db.FDef.ColumnDefs.GetColumnDef(1).Name, "LEIRAS");
  EXPECT_EQ(Db.FIndex->ItemCount(), static_cast<std::int32_t>(Entries->size()));
}

TEST_F(LexiconDatabase, EveryRecordHoldsItsEntryInSourceOrder) {
  LexiconDatabaseRead Db(Dir->File("L_Data.vdbd"));
  for (std::size_t I = 0; I < Entries->size(); ++I) {
    const auto RecNo = static_cast<std::int32_t>(I + 1);
    ASSERT_EQ(Db.Headword(RecNo), (*Entries)[I].headword) << "record " << RecNo;
    ASSERT_EQ(Db.Description(RecNo), (*Entries)[I].description) << (*Entries)[I].headword;
  }
}

TEST_F(LexiconDatabase, TheHeadwordIndexWalksEveryRecordOnceInHungarianOrder) {
  LexiconDatabaseRead Db(Dir->File("L_Data.vdbd"));
  const std::vector<std::int32_t> Order = Db.IndexOrder();
  ASSERT_EQ(Order.size(), Entries->size());
  std::vector<std::int32_t> Sorted = Order;
  std::sort(Sorted.begin(), Sorted.end());
  for (std::size_t I = 0; I < Sorted.size(); ++I) ASSERT_EQ(Sorted[I], static_cast<std::int32_t>(I + 1));

  std::uint32_t Locale = 0, Options = 0;
  ASSERT_TRUE(ParseCollationName("Hungarian_ci_as", Locale, Options));
  std::map<std::string, std::size_t> Position;
  std::string Previous;
  for (std::size_t I = 0; I < Order.size(); ++I) {
    const std::string Headword = (*Entries)[static_cast<std::size_t>(Order[I] - 1)].headword;
    const std::string Ansi = Utf8ToAnsi(Headword, kLexiconCodePage);
    if (I > 0) {
      ASSERT_LE(CompareCollated(Previous.data(), static_cast<std::int32_t>(Previous.size()), Ansi.data(),
                                static_cast<std::int32_t>(Ansi.size()), Options, Locale), 0)
          << FromAnsi(Previous) << " / " << Headword;
    }
    Previous = Ansi;
    Position[Headword] = I;
  }
  const std::vector<std::string> Expected = {"Abajgatni", "Acsarkodik", "Ácsorog", "Ádázát", "Ág",
                                             "Agancs", "Agancs karimája", "Agancsár",
                                             "Agancs-csörtölés", "Agancsfelrakás", "Agancstő", "Agár"};
  for (std::size_t I = 1; I < Expected.size(); ++I)
    EXPECT_LT(Position.at(Expected[I - 1]), Position.at(Expected[I])) << Expected[I - 1] << " / " << Expected[I];
  EXPECT_LT(Position.at("A szél"), Position.at("Abajgatni"));
}

TEST_F(LexiconDatabase, TheContainerHasNoDefects) {
  const auto Result = vdbtest::RunProcess(VDB_TOOL_PATH, {"container", "check", Dir->File("L_Data.vdbd")});
  EXPECT_EQ(Result.exitCode, 0) << Result.out << Result.err;
}

// Bad entries: a clear error naming the line, and neither a partial file nor a lost old one.
TEST(LexiconDatabaseErrors, ABadEntryLeavesTheExistingFileAlone) {
  struct Case {
    const char* Name;
    LexiconEntry Entry;
    const char* Message;
  };
  const std::vector<Case> Cases = {
      {"headword too long", {std::string(151, 'a'), "x", 7}, "line 7"},
      {"headword outside code page 1250", {"Agancs\u00e6", "x", 8}, "code page 1250"},
      {"empty headword", {"", "x", 9}, "1 to 150 characters"},
      {"description with a NUL", {"Agancs", std::string("a\0b", 3), 10}, "Agancs"},
  };
  for (const Case& C : Cases) {
    TempDir Dir;
    const std::string Path = Dir.File("L_Data.vdbd");
    { std::ofstream(Path) << "old"; }
    try {
      WriteLexiconDatabase({{"Agár", "Vadászkutya.", 2}, C.Entry}, Path);
      ADD_FAILURE() << C.Name << ": no error";
    } catch (const ELexiconDatabase& Error) {
      EXPECT_NE(std::string(Error.what()).find(C.Message), std::string::npos) << C.Name << ": " << Error.what();
    }
    std::ifstream In(Path);
    std::string Content((std::istreambuf_iterator<char>(In)), {});
    EXPECT_EQ(Content, "old") << C.Name;
    EXPECT_FALSE(std::filesystem::exists(Path + ".part")) << C.Name;
  }
}

}  // namespace
}  // namespace lexicon
