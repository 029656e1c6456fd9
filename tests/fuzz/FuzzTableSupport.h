// Shared pieces of the table-file fuzz targets: a small table (heap or B+ data file, a name, a
// memo) written once per process by the engine itself into in-memory file systems, and a
// replay that puts those files back with one of them replaced by the input, opens the table
// through a session's services as the catalog would, reads every record and memo and makes one
// change. Everything stays in memory: one input costs no disk, no thread and no file creation.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/VdbErrors.h"
#include "base/VdbServices.h"
#include "storage/VdbPageMan.h"
#include "storage/kxMemFileSystem.h"
#include "table/VdbBaseTable.h"
#include "table/VdbData.h"

namespace vdb::fuzz {

inline constexpr const char* kDir = "/db";
inline constexpr const char* kTableFile = "/db/T.vdbt";
inline constexpr const char* kLockName = "/db/T";  // lock, move file and undo log: + extension

using TFiles = std::map<std::string, std::vector<std::uint8_t>>;  // full path -> bytes

// The files of both file systems at one moment.
struct TTableFiles {
  TFiles Data;
  TFiles Lock;
};

inline TFiles AllFiles(TkxMemFileSystem& Fs) {
  TFiles Files;
  TkxFindFileRec Rec;
  for (bool Found = Fs.FindFirstFile(std::string(kDir) + "/*", 0, Rec); Found;
       Found = Fs.FindNextFile(Rec)) {
    const std::string Path = std::string(kDir) + "/" + Rec.Name;
    if (Rec.Attr == 0) Files[Path] = Fs.GetFile(Path);
  }
  Fs.FindFileClose(Rec);
  return Files;
}

// One session's services over its own data and lock file systems.
class TFuzzSession {
 public:
  explicit TFuzzSession(const TTableFiles& Files, TVdbIsolationLevel Isolation = tilNone)
      : FServices(1) {
    auto LockFs = std::make_unique<TkxMemFileSystem>();
    FLockFs = LockFs.get();
    FLockFs->CreateDir(kDir);
    FDataFs.CreateDir(kDir);
    for (const auto& [Path, Bytes] : Files.Data) FDataFs.PutFile(Path, Bytes);
    for (const auto& [Path, Bytes] : Files.Lock) FLockFs->PutFile(Path, Bytes);
    FServices.SetStation(1);
    FServices.SetIDName("Fuzz");
    FServices.SetIsolationLevel(Isolation);
    FServices.SetFileSystems(&FDataFs, &FDataFs, std::move(LockFs), false);
  }

  std::unique_ptr<TVdbBaseTable> NewTable(std::uint16_t Rights) {
    auto Table = std::make_unique<TVdbBaseTable>(&FServices);
    Table->SetFileSystem(&FDataFs);
    Table->SetFileName(kTableFile);
    Table->SetRights(Rights);
    Table->SetPhysicalDirectory(kDir);
    return Table;
  }

  TTableFiles Files() { return {AllFiles(FDataFs), AllFiles(*FLockFs)}; }

 private:
  TkxMemFileSystem FDataFs;
  TkxMemFileSystem* FLockFs;  // owned by the services
  TVdbServices FServices;
};

// Column 1 (B+ only) the record id "_XXX", then NEV (a string) and MEGJ (a memo).
inline void AddColumns(TVdbBaseTable& Table, bool BPlus) {
  Table.SetCollationName("Hungarian_ci_as");
  if (BPlus) {
    auto Id = TVdbColumnDef::CreateColumnDef("_XXX", TVdbDataType::GetDataType(9, false, 6), 0);
    dynamic_cast<TVdbRecordIdColumnDef&>(*Id).IndexSpec = "_XXX";
    Table.ColumnDefs().Add(std::move(Id));
  }
  Table.ColumnDefs().Add(TVdbColumnDef::CreateStringColumnDef(
      "NEV", TVdbDataType::GetStringType(1, true, 6, 20, "Hungarian_ci_as"), "", kVdbColNullable));
  Table.ColumnDefs().Add(TVdbColumnDef::CreateColumnDef(
      "MEGJ", TVdbDataType::GetDataType(7, true, 6), kVdbColNullable));
}

inline std::int16_t NameField(TVdbBaseTable& Table) { return Table.GetColumnCount() == 3 ? 2 : 1; }

// Appends a record named Name with a memo of MemoLength letters.
inline std::int32_t AppendNamed(TVdbBaseTable& Table, const std::string& Name,
                                std::size_t MemoLength) {
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table.RecordSize()));
  if (Table.InitRecord(Buffer.data(), true) < 0) return -1;
  const std::int16_t Field = NameField(Table);
  Table.SetAnsiString(Buffer.data(), Field, Name);
  TVdbBlobData Memo;
  Memo.FieldNo = static_cast<std::int16_t>(Field + 1);
  Memo.AnsiData = std::string(MemoLength, Name.empty() ? 'm' : Name[0]);
  const TVdbBlobDataList Blobs{Memo};
  return Table.AppendRecord(Buffer.data(), &Blobs);
}

// The files of a table written by the engine: after its records are flushed (Committed), and
// in the middle of a transaction that appended, replaced and deleted records (Pending; its
// lock file system holds the undo log).
struct TTemplate {
  TTableFiles Committed;
  TTableFiles Pending;
};

inline TTemplate WriteTemplate(bool BPlus) {
  TTemplate Result;
  {
    TFuzzSession Session({});
    auto Table = Session.NewTable(0);
    AddColumns(*Table, BPlus);
    if (Table->NewFile() < 0 || Table->Setup(false) < 0) std::abort();
    for (int I = 0; I < 6; ++I) {
      if (AppendNamed(*Table, "szo" + std::to_string(I), 40 + 300 * (I % 3)) < 0) std::abort();
    }
    Table->Flush();
    Table->CloseFiles();
    Result.Committed = Session.Files();
  }
  TFuzzSession Session(Result.Committed, tilReadCommited);
  auto Table = Session.NewTable(kVdbWriteRights);
  if (Table->Open(false) < 0 || Table->Setup(false) < 0) std::abort();
  AppendNamed(*Table, "uj", 900);
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()));
  const std::int32_t First = Table->GetFirstRecordNo();
  if (Table->ReadRecord(First, Buffer.data()) == 0) {
    std::vector<std::uint8_t> Changed = Buffer;
    Table->SetAnsiString(Changed.data(), NameField(*Table), "valtozott");
    Table->ReplaceRecord(Changed.data(), Buffer.data(), First, nullptr);
  }
  const std::int32_t Last = Table->GetLastRecordNo();
  if (Table->ReadRecord(Last, Buffer.data()) == 0) Table->DeleteRecord(Buffer.data(), Last);
  Result.Pending = Session.Files();
  return Result;
}

// Reads every record (bounded) and every memo of the table.
inline void ReadEverything(TVdbBaseTable& Table) {
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(std::max(Table.RecordSize(), 1)));
  const std::int16_t Name = NameField(Table);
  const auto Memo = static_cast<std::int16_t>(Name + 1);
  int Seen = 0;
  for (std::int32_t RecNo = Table.GetFirstRecordNo(); RecNo > 0 && Seen < 1000;
       RecNo = Table.GetNextRecordNo(RecNo), ++Seen) {
    if (Table.ReadRecord(RecNo, Buffer.data()) < 0) continue;
    std::string Text;
    Table.GetAnsiString(Buffer.data(), Name, Text);
    Table.GetMemoLength(Buffer.data(), Memo);
    Table.ReadMemoString(Buffer.data(), Memo, Text);
  }
  for (std::int32_t RecNo = Table.GetLastRecordNo(); RecNo > 0 && Seen < 2000;
       RecNo = Table.GetPrevRecordNo(RecNo), ++Seen) {
    Table.ReadRecord(RecNo, Buffer.data());
  }
}

// Opens the table over Files (shared, with the lock file), reads it all, appends a record and
// reads it all again; every failure must come back as the table's error result.
inline void Replay(const TTableFiles& Files, TVdbIsolationLevel Isolation = tilNone) {
  TFuzzSession Session(Files, Isolation);
  auto Table = Session.NewTable(kVdbWriteRights);
  try {
    if (Table->Open(false) < 0) return;
    if (Table->Setup(false) < 0) return;
    ReadEverything(*Table);
    AppendNamed(*Table, "fuzz", 500);
    Table->Flush();
    ReadEverything(*Table);
    Table->Check(false);
  } catch (const EVdbEngine&) {
    // refused as a damaged file
  } catch (const EVdbPageManager&) {
    // the storage refused the file
  }
}

// Writes each seed file when FUZZ_SEED_DIR names a directory (tests/fuzz/make_corpus.sh).
inline void WriteSeeds(const std::map<std::string, std::vector<std::uint8_t>>& Seeds) {
  const char* Dir = std::getenv("FUZZ_SEED_DIR");
  if (Dir == nullptr) return;
  std::filesystem::create_directories(Dir);
  for (const auto& [Name, Bytes] : Seeds) {
    std::ofstream Out(std::filesystem::path(Dir) / Name, std::ios::binary | std::ios::trunc);
    Out.write(reinterpret_cast<const char*>(Bytes.data()),
              static_cast<std::streamsize>(Bytes.size()));
  }
  std::exit(0);
}

inline std::vector<std::uint8_t> Tagged(std::uint8_t Tag, std::vector<std::uint8_t> Bytes) {
  Bytes.insert(Bytes.begin(), Tag);
  return Bytes;
}

}  // namespace vdb::fuzz

namespace vdb::fuzz {

// The template of the format the input's first byte chooses (even: heap, odd: B+).
inline const TTemplate& TemplateOf(std::uint8_t Tag) {
  static const TTemplate Heap = WriteTemplate(false);
  static const TTemplate Tree = WriteTemplate(true);
  return (Tag & 1) != 0 ? Tree : Heap;
}

// A target over one file of the lock file system (Extension: ".vdbl", ".vdbv" or ".vdbr"): the
// seeds are that file of both formats, written in the middle of a transaction (an empty file
// where the engine wrote none); an input replaces it among the other files of that moment.
inline void SeedLockFileTarget(const std::string& Extension) {
  std::map<std::string, std::vector<std::uint8_t>> Seeds;
  for (std::uint8_t Tag : {0, 1}) {
    const TFiles& Lock = TemplateOf(Tag).Pending.Lock;
    const auto File = Lock.find(kLockName + Extension);
    Seeds[(Tag == 0 ? "heap" : "bplus") + Extension] =
        Tagged(Tag, File == Lock.end() ? std::vector<std::uint8_t>{} : File->second);
  }
  WriteSeeds(Seeds);
}

inline void RunLockFileTarget(const std::string& Extension, const std::uint8_t* Data,
                              std::size_t Size) {
  if (Size < 1 || Size > (1u << 20)) return;
  TTableFiles Files = TemplateOf(Data[0]).Pending;
  Files.Lock[kLockName + Extension].assign(Data + 1, Data + Size);
  Replay(Files, tilReadCommited);
}

}  // namespace vdb::fuzz
