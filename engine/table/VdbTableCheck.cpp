#include "table/VdbTableCheck.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "base/VdbErrors.h"
#include "storage/kxFileSystem.h"
#include "storage/kxMemory.h"
#include "storage/kxPath.h"
#include "table/VdbBaseTable.h"
#include "table/VdbBlobFile.h"
#include "table/VdbLocks.h"

namespace vdb {

namespace {

constexpr std::int32_t kFreeList = -1;        // owner mark of a block on the free list
constexpr std::int32_t kMemoBlockMask = 0x0FFFFFFF;  // a memo reader ignores the top 4 bits

std::string Str(std::int64_t Value) { return std::to_string(Value); }

// The table's files are named without their directory, as the container lists them.
std::string ShortName(const std::string& Path) { return kxExtractFileName(Path, TkxPathForm::Any); }

// A key as the index keeps it: the record number's 4 bytes, then the key bytes.
using TItem = std::string;

std::int32_t ItemRecNo(const TItem& Item) {
  std::int32_t RecNo = 0;
  if (Item.size() >= sizeof RecNo) std::memcpy(&RecNo, Item.data(), sizeof RecNo);
  return RecNo;
}

}  // namespace

TVdbTableCheck::TVdbTableCheck(TVdbBaseTable& Table, TkxFileSystem* LockFileSystem,
                               TVdbTableDefectEvent OnDefect)
    : FTable(Table), FLockFileSystem(LockFileSystem), FOnDefect(std::move(OnDefect)) {}

void TVdbTableCheck::Defect(const std::string& File, std::int32_t RecNo,
                            const std::string& Message) {
  ++FDefects;
  if (FOnDefect) FOnDefect(File, RecNo, Message);
}

std::string TVdbTableCheck::DataFileName() const { return ShortName(FTable.FileName()); }

std::int32_t TVdbTableCheck::Run() {
  FDefects = 0;
  if (FTable.BeginRead(true) < 0) {
    Defect(DataFileName(), 0, "cannot be read-locked: " + FTable.Services()->LastErrorMsg());
    return FDefects;
  }
  // Whatever a damaged file throws ends the check of this table as one more defect.
  try {
    CheckRecords();
    if (FTable.MemoFile() != nullptr) CheckChains(*FTable.MemoFile(), FMemoStarts);
    if (FTable.BlobFile() != nullptr) CheckChains(*FTable.BlobFile(), FBlobStarts);
    CheckIndexes();
    CheckLockFile();
  } catch (const std::exception& Error) {
    Defect(DataFileName(), 0, std::string("check stopped: ") + Error.what());
  }
  FTable.EndRead();
  return FDefects;
}

// --- Records ---------------------------------------------------------------------------------

void TVdbTableCheck::CheckRecords() {
  const std::string File = DataFileName();
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(FTable.RecordSize()));
  const std::int32_t Stated = FTable.RecordCount();
  // A damaged record order could run in a circle: never walk further than the file can hold.
  const std::int64_t Limit = std::max<std::int64_t>(Stated, 0) + 1 +
                             FTable.DataFile()->GetStorageSize() / std::max(1, FTable.RecordSize());
  for (std::int32_t RecNo = FTable.GetFirstRecordNo(); RecNo > 0;
       RecNo = FTable.GetNextRecordNo(RecNo)) {
    if (static_cast<std::int64_t>(FRecords.size()) > Limit) {
      Defect(File, RecNo, "the record order runs in a circle");
      return;
    }
    if (FTable.ReadRecord(RecNo, Buffer.data()) < 0) {
      Defect(File, RecNo, "cannot be read: " + FTable.Services()->LastErrorMsg());
      continue;
    }
    FRecords.push_back(RecNo);
    for (std::int16_t Field = 1; Field <= FTable.GetColumnCount(); ++Field) {
      const std::int16_t Type = FTable.GetColumnDef(Field).GetColumnType();
      if (Type != kVdbMemoCode && Type != kVdbBlobCode && Type != kVdbWideMemoCode) continue;
      const std::int32_t First = FTable.GetBlockIdx(Buffer.data(), Field);
      if (First == 0) continue;
      (Type == kVdbMemoCode ? FMemoStarts : FBlobStarts).emplace_back(RecNo, First);
    }
  }
  if (Stated != static_cast<std::int32_t>(FRecords.size()))
    Defect(File, 0, "holds " + Str(static_cast<std::int64_t>(FRecords.size())) +
                        " records, its header says " + Str(Stated));
}

// --- Memo and blob chains --------------------------------------------------------------------

void TVdbTableCheck::CheckChains(TVdbBlockedBinaryFile& File, const TChainStarts& Starts) {
  const std::string Name = ShortName(File.Storage().GetName());
  std::vector<std::int32_t> Next;
  std::int32_t Count = 0;
  std::int32_t FirstFree = 0;
  if (File.CreateBlockList(Next, Count, FirstFree) < 0) {
    Defect(Name, 0, "cannot be read: " + File.LastErrorMsg());
    return;
  }
  if (File.LastBlock() > Count)
    Defect(Name, 0, "the header names block " + Str(File.LastBlock()) +
                        " as the last one, the file holds " + Str(Count));
  const bool Memo = dynamic_cast<TVdbMemoFile*>(&File) != nullptr;
  const auto InFile = [Count](std::int32_t Block) { return Block >= 1 && Block <= Count; };
  // Owner of each block: 0 none, kFreeList, or the record whose value runs through it.
  std::vector<std::int32_t> Owner(static_cast<std::size_t>(Count) + 1, 0);
  const auto At = [&Owner](std::int32_t Block) -> std::int32_t& {
    return Owner[static_cast<std::size_t>(Block)];
  };

  // A sound free list runs through distinct blocks and ends with last block + 1; a first free
  // block below 0 or above the last block means an empty list.
  if (FirstFree == 0 || InFile(FirstFree)) {
    std::int32_t Current = FirstFree;
    while (InFile(Current) && At(Current) == 0) {
      At(Current) = kFreeList;
      Current = Next[static_cast<std::size_t>(Current)];
    }
    if (Current != Count + 1)
      Defect(Name, 0, InFile(Current) ? "the free list runs in a circle at block " + Str(Current)
                                      : "the free list ends with block " + Str(Current) +
                                            " instead of " + Str(Count + 1));
  }

  if (File.Version() < 5) return;  // older chains end by their content, not by a mark
  for (const auto& [RecNo, First] : Starts) {
    std::int32_t Current = First;
    while (true) {
      if (!InFile(Current)) {
        Defect(Name, RecNo, "its value runs to block " + Str(Current) + ", outside the file");
        break;
      }
      if (At(Current) != 0) {
        Defect(Name, RecNo, "block " + Str(Current) + (At(Current) == kFreeList
                                                             ? " of its value is on the free list"
                                                         : At(Current) == RecNo
                                                             ? " of its value runs in a circle"
                                                             : " of its value belongs to record " +
                                                                   Str(At(Current)) + " too"));
        break;
      }
      At(Current) = RecNo;
      const std::int32_t Following = Next[static_cast<std::size_t>(Current)];
      if (Following == TVdbBlockedBinaryFile::kEndOfChain) break;
      Current = Memo ? (Following & kMemoBlockMask) : Following;
    }
  }
  std::int32_t Lost = 0;
  std::int32_t FirstLost = 0;
  for (std::int32_t Block = 1; Block <= Count; ++Block) {
    if (At(Block) != 0) continue;
    if (Lost++ == 0) FirstLost = Block;
  }
  if (Lost > 0)
    Defect(Name, 0, Str(Lost) + (Lost == 1 ? " block belongs" : " blocks belong") +
                        " to no record and is not free (first: block " + Str(FirstLost) + ")");
}

// --- Indexes ---------------------------------------------------------------------------------

void TVdbTableCheck::CheckIndexes() {
  for (std::int16_t IndexNo = FTable.FirstIndexNo(); IndexNo <= FTable.LastIndexNo(); ++IndexNo) {
    TVdbIndexFile* File = FTable.GetIndexFile(IndexNo);
    // Temporary indexes belong to the session that made them.
    if (File == nullptr || File->Kind() == tikTemporary) continue;
    CheckIndex(IndexNo);
  }
}

void TVdbTableCheck::CheckIndex(std::int16_t IndexNo) {
  TVdbIndexFile& File = *FTable.GetIndexFile(IndexNo);
  const std::string Name = ShortName(File.FileName().empty() ? File.Storage().GetName()
                                                             : File.FileName());
  if (FTable.CheckIndexOpen(IndexNo) < 0) {
    Defect(Name, 0, "cannot be opened: " + FTable.Services()->LastErrorMsg());
    return;
  }
  std::int32_t Walked = 0;
  std::int32_t WrongSort = 0;
  if (File.Check(Walked, WrongSort) < 0) {
    Defect(Name, 0, File.LastFailure());
    return;  // a tree that is not sound is not walked item by item
  }

  // The items the records make, and the items the index holds.
  std::map<TItem, std::int32_t> Expected;
  auto Info = std::make_unique<TVdbLongIndexInfo>();
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(FTable.RecordSize()));
  for (const std::int32_t RecNo : FRecords) {
    if (FTable.ReadRecord(RecNo, Buffer.data()) < 0) continue;  // reported with the records
    std::int32_t Length = 0;
    try {
      Length = FTable.CalcIndexInfo(Buffer.data(), IndexNo, *Info, RecNo);
    } catch (const std::exception& Error) {
      Defect(Name, RecNo, std::string("its key cannot be computed: ") + Error.what());
      continue;
    }
    ++Expected[TItem(reinterpret_cast<const char*>(Info.get()),
                     static_cast<std::size_t>(kVdbIndexItemHeader) + static_cast<std::size_t>(Length))];
  }
  std::map<TItem, std::int32_t> Held;
  const std::size_t Capacity = std::max<std::size_t>(static_cast<std::size_t>(File.ItemSize()),
                                                     sizeof(TVdbLongIndexInfo));
  std::vector<std::uint8_t> Item(Capacity);
  TVdbTreeBase& Tree = *File.Tree();
  std::int32_t Items = 0;
  for (std::int16_t Found = Tree.FindFirst(Item.data(), static_cast<std::int32_t>(Capacity));
       Found == TVdbTreeBase::kFound && Items <= Walked;
       Found = Tree.FindNext(Item.data(), Item.data(), static_cast<std::int32_t>(Capacity))) {
    ++Items;
    ++Held[TItem(reinterpret_cast<const char*>(Item.data()),
                 static_cast<std::size_t>(Tree.LastItemSize()))];
  }

  for (const auto& [Key, Times] : Expected) {
    const auto It = Held.find(Key);
    const std::int32_t Present = It == Held.end() ? 0 : It->second;
    if (Present == 0)
      Defect(Name, ItemRecNo(Key), "its key is missing from the index");
    else if (Present != Times)
      Defect(Name, ItemRecNo(Key), "its key is in the index " + Str(Present) + " times");
  }
  for (const auto& [Key, Times] : Held) {
    if (Expected.count(Key) == 0)
      Defect(Name, ItemRecNo(Key), "the index holds a key the record does not have");
  }
}

// --- Lock file -------------------------------------------------------------------------------

void TVdbTableCheck::CheckLockFile() {
  TVdbLockFile* Lock = FTable.LockFile();
  if (FLockFileSystem == nullptr || Lock == nullptr || !Lock->IsLoggedIn()) return;
  const std::string Name = ShortName(Lock->GetFileName());
  const TkxFileHandle Handle(*FLockFileSystem, FLockFileSystem->OpenFile(
                                                   Lock->GetFileName(), fmOpenRead | fmShareDenyNone));
  if (!Handle.Valid()) {
    Defect(Name, 0, "cannot be opened for reading");
    return;
  }
  const std::int64_t Size = FLockFileSystem->GetFileSize(Handle.Get());
  std::vector<std::uint8_t> Header(kVdbLockHeaderSize);
  if (Size < kVdbLockHeaderSize ||
      FLockFileSystem->FileRead(Handle.Get(), Header.data(), kVdbLockHeaderSize, 0) !=
          kVdbLockHeaderSize) {
    Defect(Name, 0, "is shorter than its header (" + Str(Size) + " bytes)");
    return;
  }
  TVdbTableLockData Data;
  Data.Decode(Header.data());
  if (Data.Tag != kVdbLockFileTag || Data.Version != kVdbLockFileVersion) {
    Defect(Name, 0, "has no lock file header");
    return;
  }
  const std::int64_t SlotsEnd =
      kVdbLockHeaderSize + static_cast<std::int64_t>(kVdbLockSlotSize) * Data.ItemCount;
  if (Size < SlotsEnd - (kVdbLockSlotSize - kVdbLockSlotWriteSize))
    Defect(Name, 0, "names " + Str(Data.ItemCount) + " session slots but holds " + Str(Size) +
                        " bytes");
  if (Data.SessionCount > Data.ItemCount)
    Defect(Name, 0, "counts " + Str(Data.SessionCount) + " sessions in " + Str(Data.ItemCount) +
                        " slots");
  if (Data.WriteLocks > 1) Defect(Name, 0, "counts " + Str(Data.WriteLocks) + " write locks");
  const std::int64_t Locks = static_cast<std::int64_t>(Data.ReadLocks) + Data.UpgradeLocks + Data.WriteLocks;
  if (Locks > Data.ItemCount)
    Defect(Name, 0, "counts " + Str(Locks) + " locks held by " + Str(Data.ItemCount) + " slots");
}

}  // namespace vdb
