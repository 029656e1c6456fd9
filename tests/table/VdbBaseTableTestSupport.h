// Shared pieces of the base-table tests: a fixture that plays the catalog's part (a single-file
// database in a fresh directory, the lock file system beside it, a session's last error) and
// opens the table Data of the lexicon's database through it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "LexiconCsv.h"
#include "LexiconDatabase.h"
#include "base/VdbLastError.h"
#include "base/VdbServices.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxFileSystem.h"
#include "storage/kxMemory.h"
#include "table/VdbBaseTable.h"
#include "table/kxStrUtils.h"

namespace vdb::test {

// A container whose writes can be made to fail, and which counts the handles it closes (a
// directory update closes and reopens the storage's handle).
class TTestContainer : public TkxCompoundFileIntf {
 public:
  using TkxCompoundFileIntf::TkxCompoundFileIntf;
  std::int32_t FileWrite(std::int32_t Handle, const void* Data, std::int32_t Count,
                         std::int64_t Position) override {
    if (FailWrites) {
      SetLastError(5);
      return -1;
    }
    return TkxCompoundFileIntf::FileWrite(Handle, Data, Count, Position);
  }
  void CloseFile(std::int32_t Handle) override {
    ++Closes;
    TkxCompoundFileIntf::CloseFile(Handle);
  }
  std::atomic<bool> FailWrites{false};
  std::atomic<int> Closes{0};
};

// What the accessors of a table heard.
class TRecordingListener : public TVdbRelationListener {
 public:
  std::string GetTag() const override { return "Test"; }
  void RelationChanged() override { Events.push_back("changed"); }
  void RecordChanged(std::int32_t RecNo) override {
    Events.push_back("record " + std::to_string(RecNo));
  }
  void RecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) override {
    Events.push_back("deleted " + std::to_string(RecNo) + " moved " + std::to_string(MovedRecNo));
  }
  void RelationEmptied() override { Events.push_back("cleared"); }
  void MayDeleteIndex(std::int16_t, bool&) override {}
  void IndexRemoved(std::int16_t IndexNo) override {
    Events.push_back("index removed " + std::to_string(IndexNo));
  }
  void IndexNamesChanged() override { Events.push_back("index names"); }
  bool IsRecordEdited(std::int32_t RecNo) override { return RecNo == Editing; }
  std::vector<std::string> Events;
  std::int32_t Editing = 0;
};

inline std::vector<lexicon::LexiconEntry> NumberedEntries(int Count) {
  std::vector<lexicon::LexiconEntry> Entries;
  for (int I = 1; I <= Count; ++I) {
    const std::string Number = (I < 10 ? "0" : "") + std::to_string(I);
    Entries.push_back({"szo" + Number, "leiras " + Number + "\nmasodik sor", I + 1});
  }
  return Entries;
}

inline std::string Headword(const std::uint8_t* Record) {
  return std::string(reinterpret_cast<const char*>(Record) + 2, Record[1]);
}

// A memo value for AppendRecord/ReplaceRecord.
inline TVdbBlobDataList Memo(std::int16_t FieldNo, const std::string& Text) {
  TVdbBlobData Data;
  Data.FieldNo = FieldNo;
  Data.AnsiData = Text;
  return {Data};
}

inline std::vector<std::uint8_t> Record(const std::string& Word) {
  std::vector<std::uint8_t> Result(156, 0);
  Result[0] = 1;
  Result[1] = static_cast<std::uint8_t>(Word.size());
  std::copy(Word.begin(), Word.end(), Result.begin() + 2);
  return Result;
}

class BaseTableFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() /
           ("vdb_basetable_" + std::to_string(::getpid()) + "_" + std::to_string(Next++));
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
    FPath = (FDir / "L_Data.vdbd").string();
  }
  void TearDown() override {
    FTables.clear();
    FSessions.clear();
    if (FContainer) FContainer->Close();
    FContainer.reset();
    std::error_code Ignored;
    std::filesystem::remove_all(FDir, Ignored);
  }

  // Writes the lexicon's database with these entries and opens its container.
  void WriteDatabase(const std::vector<lexicon::LexiconEntry>& Entries) {
    lexicon::WriteLexiconDatabase(Entries, FPath);
    FContainer = std::make_unique<TTestContainer>(FPath);
    FContainer->Open();
  }

  // The services of session SessionHdl: its own station and lock file system. They report
  // errors to FErrors' session (the first one) unless asked otherwise.
  TVdbServices* Session(std::int16_t SessionHdl = 1) {
    while (static_cast<int>(FSessions.size()) < SessionHdl) {
      const auto Hdl = static_cast<std::int16_t>(FSessions.size() + 1);
      auto Services = std::make_unique<TVdbServices>(Hdl);
      Services->SetStation(Hdl);
      Services->SetIDName("Test" + std::to_string(Hdl));
      Services->SetFileSystems(&FOsFiles, FContainer.get(), std::make_unique<TkxOSFileSystem>(),
                               false);
      FSessions.push_back(std::move(Services));
    }
    return FSessions[static_cast<std::size_t>(SessionHdl - 1)].get();
  }
  const TVdbLastError& Errors(std::int16_t SessionHdl = 1) {
    return Session(SessionHdl)->LastError();
  }

  std::unique_ptr<TVdbBaseTable> NewTable(std::uint16_t Rights, std::int16_t SessionHdl = 1,
                                          const std::string& FileName = "\\Data.vdbt") {
    auto Table = std::make_unique<TVdbBaseTable>(Session(SessionHdl));
    Table->SetFileSystem(FContainer.get());
    Table->SetFileName(FileName);
    Table->SetRights(Rights);
    Table->SetPhysicalDirectory(FDir.string());
    Table->SetContainerName("L_Data");
    return Table;
  }

  // Opens and sets up table Data as the catalog would; null (with a test failure) when it fails.
  TVdbBaseTable* OpenTable(std::uint16_t Rights = kVdbWriteRights, std::int16_t SessionHdl = 1) {
    auto Table = NewTable(Rights, SessionHdl);
    const std::int16_t Opened = Table->Open(false);
    EXPECT_EQ(Opened, 0) << Errors(SessionHdl).LastErrorMsg();
    if (Opened < 0) return nullptr;
    const std::int16_t SetUp = Table->Setup(false);
    EXPECT_EQ(SetUp, 0) << Errors(SessionHdl).LastErrorMsg();
    FTables.push_back(std::move(Table));
    return FTables.back().get();
  }

  // The record numbers of an index in index order.
  static std::vector<std::int32_t> IndexWalk(TVdbBaseTable& Table, std::int16_t IndexNo) {
    std::vector<std::int32_t> Numbers;
    auto Item = std::make_unique<TVdbLongIndexInfo>();
    for (std::int16_t Result = Table.FindFirstIndexInfo(IndexNo, *Item); Result == 0;
         Result = Table.FindNextIndexInfo(IndexNo, *Item)) {
      Numbers.push_back(Item->DateiVerweis);
      if (Numbers.size() > 100000) break;
    }
    return Numbers;
  }

  // The headwords of the index entries, in index order.
  static std::vector<std::string> IndexHeadwords(TVdbBaseTable& Table, std::int16_t IndexNo) {
    std::vector<std::string> Words;
    std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table.RecordSize()));
    for (std::int32_t RecNo : IndexWalk(Table, IndexNo)) {
      EXPECT_EQ(Table.ReadRecord(RecNo, Buffer.data()), 0);
      Words.push_back(Headword(Buffer.data()));
    }
    return Words;
  }

  std::string LockFilePath() const { return (FDir / "L_Data!Data.vdbl").string(); }
  std::string MoveFilePath() const { return (FDir / "L_Data!Data.vdbv").string(); }

  // The pairs of the move file.
  std::vector<std::pair<std::int32_t, std::int32_t>> MovePairs() const {
    std::ifstream In(MoveFilePath(), std::ios::binary);
    std::vector<std::pair<std::int32_t, std::int32_t>> Pairs;
    std::uint8_t Pair[8];
    while (In.read(reinterpret_cast<char*>(Pair), 8)) {
      Pairs.emplace_back(TkxMemory::ReadInt32(Pair, 0), TkxMemory::ReadInt32(Pair, 4));
    }
    return Pairs;
  }

  std::filesystem::path FDir;
  std::string FPath;
  std::unique_ptr<TTestContainer> FContainer;
  TkxOSFileSystem FOsFiles;
  std::vector<std::unique_ptr<TVdbServices>> FSessions;
  std::vector<std::unique_ptr<TVdbBaseTable>> FTables;
  static inline std::atomic<int> Next{0};
};

}  // namespace vdb::test
