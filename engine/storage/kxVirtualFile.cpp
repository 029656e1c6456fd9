#include "storage/kxVirtualFile.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "storage/kxCompoundFileImpl.h"
#include "storage/kxVirtualDirectory.h"

namespace vdb {

namespace {

std::int64_t TileIndexOf(std::int64_t Pos) { return Pos / kxTileSize; }
std::int32_t OffsetInTile(std::int64_t Pos) { return static_cast<std::int32_t>(Pos % kxTileSize); }

// Sets a flag for the time of a scope; it is cleared again however the scope is left.
class TFlagScope {
 public:
  explicit TFlagScope(bool& Flag) : FFlag(Flag) { FFlag = true; }
  ~TFlagScope() { FFlag = false; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& FFlag;
};

}  // namespace

// --- TkxTileSet ----------------------------------------------------------------------------------

bool TkxTileSet::Insert(std::int32_t TileNo) {
  if (TileNo < 0) return false;
  const auto Word = static_cast<std::size_t>(TileNo) / 64;
  const std::uint64_t Bit = std::uint64_t{1} << (TileNo % 64);
  if (Word >= FBits.size()) FBits.resize(std::max(Word + 1, FBits.size() * 2), 0);
  if ((FBits[Word] & Bit) != 0) return false;
  FBits[Word] |= Bit;
  FMembers.push_back(TileNo);
  return true;
}

bool TkxTileSet::Contains(std::int32_t TileNo) const {
  if (TileNo < 0) return false;
  const auto Word = static_cast<std::size_t>(TileNo) / 64;
  return Word < FBits.size() && (FBits[Word] & (std::uint64_t{1} << (TileNo % 64))) != 0;
}

void TkxTileSet::Clear() {
  for (const std::int32_t TileNo : FMembers)
    FBits[static_cast<std::size_t>(TileNo) / 64] &= ~(std::uint64_t{1} << (TileNo % 64));
  FMembers.clear();
}

// --- TkxVirtualFile ------------------------------------------------------------------------------

TkxVirtualFile::TkxVirtualFile(TkxCompoundFileImpl& CompoundFile, TkxVirtualDirectory* Directory,
                               std::int32_t DirIndex, std::int32_t StartPageNo,
                               std::int64_t Size)
    : FCompoundFile(CompoundFile),
      FDirectory(Directory),
      FDirIndex(DirIndex),
      FStartPageNo(StartPageNo),
      FSize(Size) {}

TkxVirtualFile::~TkxVirtualFile() = default;

TkxMasterFile& TkxVirtualFile::Master() const { return FCompoundFile.Master(); }

std::int64_t TkxVirtualFile::GetSize() {
  if (FSize < 0) ReloadFromEntry();
  return FSize;
}

std::int32_t TkxVirtualFile::GetStartPageNo() {
  if (FSize < 0) ReloadFromEntry();
  return FStartPageNo;
}

void TkxVirtualFile::ReloadFromEntry() {
  if (!FDirectory) {
    FSize = 0;
    return;
  }
  const TkxDirEntry Entry = FDirectory->ReadEntry(FDirIndex);
  ResetChain();
  if (Entry.FirstTile == kxNoTile || Entry.IsFree()) {  // deleted meanwhile
    FStartPageNo = kxEndOfChain;
    FSize = 0;
    return;
  }
  FStartPageNo = Entry.FirstTile;
  FSize = std::max<std::int64_t>(Entry.Size, 0);
}

std::int32_t TkxVirtualFile::Read(void* Data, std::int32_t Count, std::int64_t Pos) {
  const std::int64_t Size = GetSize();
  if (Pos < 0 || Pos >= Size || Count <= 0) return 0;
  auto* Target = static_cast<std::uint8_t*>(Data);
  std::int32_t Done = 0;
  while (Done < Count && Pos < Size) {
    std::int32_t FirstTile = 0;
    const std::int32_t Run = DirectRun(
        Pos, std::min<std::int64_t>(Pos + (Count - Done), Size), true, FirstTile);
    if (Run > 0) {
      FCompoundFile.ReadTiles(FirstTile, Target + Done, Run);
      Done += Run;
      Pos += Run;
      continue;
    }
    TkxTileSlot* Slot = SlotForRead(Pos);
    const std::int32_t Offset = OffsetInTile(Pos);
    const std::int64_t Part = std::min<std::int64_t>(
        {kxTileSize - Offset, Count - Done, Size - Pos});
    std::memcpy(Target + Done, Slot->Data.get() + Offset, static_cast<std::size_t>(Part));
    Done += static_cast<std::int32_t>(Part);
    Pos += Part;
  }
  return Done;
}

std::int32_t TkxVirtualFile::Write(const void* Data, std::int32_t Count, std::int64_t Pos) {
  if (Pos < 0 || Pos > GetSize() || Count <= 0) return 0;
  const auto* Source = static_cast<const std::uint8_t*>(Data);
  std::int32_t Done = 0;
  while (Done < Count) {
    std::int32_t FirstTile = 0;
    const std::int32_t Run = DirectRun(Pos, Pos + (Count - Done), false, FirstTile);
    if (Run > 0) {
      // Tiles of the chain, overwritten whole: written now, as a commit of their slots would.
      FCompoundFile.CheckTileSize();
      const std::int32_t Written = FCompoundFile.WriteTiles(FirstTile, Source + Done, Run);
      if (Written != Run) RaiseCommitFailure(FirstTile + std::max(Written, 0) / kxTileSize);
      Done += Run;
      Pos += Run;
      if (Pos > FSize) FSize = Pos;
      continue;
    }
    TkxTileSlot* Slot = SlotForWrite(Pos);
    const std::int32_t Offset = OffsetInTile(Pos);
    const std::int32_t Part = std::min(kxTileSize - Offset, Count - Done);
    std::memcpy(Slot->Data.get() + Offset, Source + Done, static_cast<std::size_t>(Part));
    Slot->Flags |= fpfModified;
    Done += Part;
    Pos += Part;
    if (Pos > FSize) FSize = Pos;
  }
  return Done;
}

std::int32_t TkxVirtualFile::WriteGathered(const TkxWritePiece* Pieces, std::int32_t PieceCount,
                                           std::int64_t Pos) {
  if (Pos < 0 || Pos > GetSize()) return 0;
  std::int32_t Done = 0;
  std::vector<TkxWritePiece> Batch;
  for (std::int32_t I = 0; I < PieceCount;) {
    // Pieces that are whole tiles of the chain, one after the other in the container, are
    // written with one call.
    Batch.clear();
    std::int32_t FirstTile = 0;
    std::int32_t NextTile = 0;
    std::int64_t Bytes = 0;
    for (; I < PieceCount; ++I) {
      const TkxWritePiece& Piece = Pieces[I];
      const std::int64_t At = Pos + Done + Bytes;
      std::int32_t TileNo = 0;
      if (Piece.Count <= 0 || Bytes + Piece.Count > std::numeric_limits<std::int32_t>::max() - Done ||
          DirectRun(At, At + Piece.Count, false, TileNo) != Piece.Count ||
          (!Batch.empty() && TileNo != NextTile))
        break;
      if (Batch.empty()) FirstTile = TileNo;
      Batch.push_back(Piece);
      NextTile = TileNo + Piece.Count / kxTileSize;
      Bytes += Piece.Count;
    }
    if (!Batch.empty()) {
      FCompoundFile.CheckTileSize();
      const std::int32_t Written = FCompoundFile.WriteTilesGathered(
          FirstTile, Batch.data(), static_cast<std::int32_t>(Batch.size()));
      if (Written != Bytes) RaiseCommitFailure(FirstTile + std::max(Written, 0) / kxTileSize);
      Done += Written;
      if (Pos + Done > FSize) FSize = Pos + Done;
      continue;
    }
    const std::int32_t Written = Write(Pieces[I].Data, Pieces[I].Count, Pos + Done);
    Done += Written;
    if (Written != Pieces[I].Count) break;
    ++I;
  }
  return Done;
}

std::int32_t TkxVirtualFile::DirectRun(std::int64_t Pos, std::int64_t Limit, bool ToFileEnd,
                                       std::int32_t& FirstTile) {
  if (!TransfersDirectly() || OffsetInTile(Pos) != 0) return 0;
  std::int64_t Bytes = 0;
  std::int32_t Expected = 0;
  for (std::int64_t P = Pos; P < Limit && P < FSize; P += kxTileSize) {
    // A tile that ends early qualifies only as the file's last one, read up to the end.
    const std::int64_t Part = std::min<std::int64_t>(kxTileSize, Limit - P);
    if (Part < kxTileSize && !(ToFileEnd && Limit == FSize)) break;
    const std::int64_t Index = TileIndexOf(P);
    if (FindSlot(Index)) break;
    const std::int32_t TileNo = TileOfIndex(Index);
    if (Bytes == 0) FirstTile = TileNo;
    else if (TileNo != Expected) break;
    Expected = TileNo + 1;
    Bytes += Part;
  }
  return static_cast<std::int32_t>(Bytes);
}

void TkxVirtualFile::RaiseCommitFailure(std::int32_t TileNo) {
  throw EkxCompoundFileError::CreateVdbFmt(
      3, "Fatal compound file error: Cannot commit page %d for file starting at page %d: %s",
      {TileNo, FStartPageNo, FCompoundFile.LastOSErrorText()});
}

void TkxVirtualFile::ReadExact(void* Data, std::int32_t Count, std::int64_t Pos) {
  if (Read(Data, Count, Pos) != Count) TkxCompoundFileImpl::RaiseInvalidPosition();
}

void TkxVirtualFile::WriteExact(const void* Data, std::int32_t Count, std::int64_t Pos) {
  if (Write(Data, Count, Pos) != Count) TkxCompoundFileImpl::RaiseInvalidPosition();
}

// --- Tile slots ----------------------------------------------------------------------------------

TkxTileSlot* TkxVirtualFile::FindSlot(std::int64_t TileIndex) const {
  for (TkxTileSlot* Slot = FPageSlotHashList[TileIndex % kBucketCount]; Slot; Slot = Slot->Other)
    if (TileIndexOf(Slot->StartPos) == TileIndex) return Slot;
  return nullptr;
}

TkxTileSlot* TkxVirtualFile::SlotForRead(std::int64_t Pos) {
  if (Pos == GetSize() && OffsetInTile(Pos) == 0) TkxCompoundFileImpl::RaiseInvalidPosition();
  const std::int64_t Index = TileIndexOf(Pos);
  if (TkxTileSlot* Slot = FindSlot(Index)) return Slot;
  const std::int32_t TileNo = Master().CalcTileNo(*this, Pos);
  return LoadSlot(TileNo, Index * kxTileSize);
}

TkxTileSlot* TkxVirtualFile::SlotForWrite(std::int64_t Pos) {
  if (Pos == GetSize() && OffsetInTile(Pos) == 0) {
    // The first byte of a tile that does not exist yet: the file grows by a tile. Its slots
    // are written and released first, so that a growing file never piles up dirty tiles.
    Commit(true);
    return LoadSlot(kxEndOfChain, Pos);
  }
  return SlotForRead(Pos);
}

TkxTileSlot* TkxVirtualFile::OldestCleanSlot() const {
  for (TkxTileSlot* Slot = FFirstPageSlot; Slot; Slot = Slot->Next)
    if (Slot->Flags == 0) return Slot;
  return nullptr;
}

TkxTileSlot* TkxVirtualFile::AcquireSlot() {
  if (!FUnusedSlots.empty()) {
    TkxTileSlot* Slot = FUnusedSlots.back();
    FUnusedSlots.pop_back();
    return Slot;
  }
  if (FLiveSlots >= kMaxCachedTiles && !FCommitting) {
    TkxTileSlot* Victim = OldestCleanSlot();
    // Dirty tiles exist only while the process holds the write lock, so they may be written
    // now; the master file keeps its dirty tiles until the flush that writes it last.
    if (!Victim && this != &Master() && HasDirtySlots()) {
      Commit(false);
      Victim = OldestCleanSlot();
    }
    if (Victim) {
      RemoveFromBucket(*Victim);
      Unlink(*Victim);
      return Victim;
    }
  }
  auto Slot = std::make_unique<TkxTileSlot>();
  Slot->Data = TkxMemory::AllocMemory(kxTileSize, true);
  TkxTileSlot* Result = Slot.get();
  FSlots.push_back(std::move(Slot));
  return Result;
}

void TkxVirtualFile::LinkNewest(TkxTileSlot& Slot) {
  Slot.Prev = FLastPageSlot;
  Slot.Next = nullptr;
  if (FLastPageSlot) FLastPageSlot->Next = &Slot;
  FLastPageSlot = &Slot;
  if (!FFirstPageSlot) FFirstPageSlot = &Slot;
  ++FLiveSlots;
}

void TkxVirtualFile::Unlink(TkxTileSlot& Slot) {
  if (Slot.Prev) Slot.Prev->Next = Slot.Next;
  else FFirstPageSlot = Slot.Next;
  if (Slot.Next) Slot.Next->Prev = Slot.Prev;
  else FLastPageSlot = Slot.Prev;
  Slot.Prev = Slot.Next = nullptr;
  --FLiveSlots;
}

void TkxVirtualFile::PushToBucket(TkxTileSlot& Slot) {
  TkxTileSlot*& Head = FPageSlotHashList[TileIndexOf(Slot.StartPos) % kBucketCount];
  Slot.Other = Head;
  Head = &Slot;
}

void TkxVirtualFile::RemoveFromBucket(TkxTileSlot& Slot) {
  TkxTileSlot** Link = &FPageSlotHashList[TileIndexOf(Slot.StartPos) % kBucketCount];
  while (*Link && *Link != &Slot) Link = &(*Link)->Other;
  if (*Link) *Link = Slot.Other;
  Slot.Other = nullptr;
}

TkxTileSlot* TkxVirtualFile::LoadSlot(std::int32_t TileNo, std::int64_t StartPos) {
  TkxTileSlot* Slot = AcquireSlot();
  Slot->TileNo = TileNo;
  Slot->StartPos = StartPos;
  LinkNewest(*Slot);
  PushToBucket(*Slot);
  if (TileNo < 0) {
    // A tile appended at the end; cleared, so that no bytes of an earlier tile of this file
    // end up behind the file's end on disk.
    Slot->Flags = fpfNew;
    std::memset(Slot->Data.get(), 0, kxTileSize);
  } else {
    Slot->Flags = 0;
    FCompoundFile.ReadTile(TileNo, Slot->Data.get());
  }
  return Slot;
}

void TkxVirtualFile::DropSlot(TkxTileSlot& Slot) {
  if (Slot.Has(fpfUnused)) return;
  RemoveFromBucket(Slot);
  Unlink(Slot);
  Slot.Flags = fpfUnused;
  Slot.TileNo = kxNoTile;
  FUnusedSlots.push_back(&Slot);
}

void TkxVirtualFile::DropSlotsFrom(std::int64_t Boundary) {
  for (TkxTileSlot* Slot = FFirstPageSlot; Slot;) {
    TkxTileSlot* Newer = Slot->Next;
    if (!Slot->Has(fpfLocked) && Slot->StartPos >= Boundary) DropSlot(*Slot);
    Slot = Newer;
  }
}

bool TkxVirtualFile::HasDirtySlots() const {
  for (TkxTileSlot* Slot = FFirstPageSlot; Slot; Slot = Slot->Next)
    if (Slot->IsDirty()) return true;
  return false;
}

void TkxVirtualFile::Invalidate() {
  DropSlotsFrom(0);
  ResetChain();
  if (FDirectory) FSize = -1;
}

// --- Committing ----------------------------------------------------------------------------------

void TkxVirtualFile::Commit(bool Drop) {
  if (FCommitting) return;
  {
    TFlagScope Committing(FCommitting);
    for (TkxTileSlot* Slot = FFirstPageSlot; Slot; Slot = Slot->Next)
      if (Slot->IsDirty()) CommitSlot(*Slot);
  }
  if (Drop) DropSlotsFrom(0);
}

void TkxVirtualFile::CommitSlot(TkxTileSlot& Slot) {
  FCompoundFile.CheckTileSize();
  if (this == &Master() && Slot.StartPos == 0 && Slot.Data[0] == 0)
    throw EkxCompoundFileError(0, "Fatal compound file error: Writing corrupted header tile.");
  if (Slot.Has(fpfNew)) {
    const std::int32_t Last = FStartPageNo < 0 ? kxEndOfChain : LastTileOfChain();
    std::int32_t First = kxEndOfChain;
    const std::int32_t TileNo = FCompoundFile.AllocateTiles(Last, 1, First);
    if (FStartPageNo < 0) {
      FStartPageNo = First;
      ResetChain();
    }
    AppendToChain(TileNo);
    Slot.TileNo = TileNo;
    Slot.Flags &= static_cast<std::uint8_t>(~fpfNew);
  }
  if (!FCompoundFile.WriteTile(Slot.TileNo, Slot.Data.get())) RaiseCommitFailure(Slot.TileNo);
  // Cleared only once the tile is on disk, so that a failed write can be tried again.
  Slot.Flags &= static_cast<std::uint8_t>(~fpfModified);
}

bool TkxVirtualFile::UpdateDirEntry() {
  if (!FDirectory || FSize < 0) return false;
  TkxDirEntry Entry = FDirectory->ReadEntry(FDirIndex);
  if (Entry.FirstTile == FStartPageNo && Entry.Size == FSize) return false;
  Entry.FirstTile = FStartPageNo;
  Entry.Size = FSize;
  Entry.ModificationTime = kxNowAsDateTime();
  FDirectory->WriteEntry(FDirIndex, Entry);
  return true;
}

// --- Size ----------------------------------------------------------------------------------------

void TkxVirtualFile::SetSize(std::int64_t Size) {
  if (Size < 0) Size = 0;
  GetSize();
  // Tiles appended but not allocated yet must get their tile numbers before the chain is cut
  // or extended, or they would be allocated again behind the new end.
  Commit(false);
  const std::int64_t Keep = (Size + kxTileSize - 1) / kxTileSize;
  DropSlotsFrom(Keep * kxTileSize);
  TkxMasterFile& Table = Master();
  const bool Continues = FStartPageNo >= 0 && ExtendChain(Keep);
  if (Continues) {
    const std::int32_t RestFirst = FChain[static_cast<std::size_t>(Keep)];
    const std::int32_t RestLast = LastTileOfChain();
    const std::vector<std::int32_t> Freed(FChain.begin() + static_cast<std::ptrdiff_t>(Keep),
                                          FChain.end());
    if (Keep > 0) Table.WriteEntry(FChain[static_cast<std::size_t>(Keep - 1)], kxEndOfChain);
    FCompoundFile.FreeChain(RestFirst, RestLast);
    FCompoundFile.TrimContainer(Freed);
  } else {
    const std::int64_t Have = FStartPageNo < 0 ? 0 : ChainLength();
    if (Have < Keep) {
      std::int32_t First = kxEndOfChain;
      const std::int32_t Last = Have > 0 ? LastTileOfChain() : kxEndOfChain;
      FCompoundFile.AllocateTiles(Last, Keep - Have, First);
      if (Have == 0) FStartPageNo = First;
    }
  }
  ResetChain();
  Table.Commit(false);
  FSize = Size;
  if (Size == 0) FStartPageNo = kxEndOfChain;
  if (UpdateDirEntry()) {
    FDirectory->Commit(false);
    if (FDirectory != &FCompoundFile.RootDir()) FCompoundFile.RootDir().Commit(false);
  }
}

// --- Chain ---------------------------------------------------------------------------------------

bool TkxVirtualFile::IsValidChainStart(std::int32_t TileNo) const {
  return IsValidChainMember(TileNo);
}

bool TkxVirtualFile::IsValidChainMember(std::int32_t TileNo) const {
  // Tile 0 starts the master file and tile 1 the root directory: no chain runs into them.
  return TileNo > kxRootTile && TileNo < Master().TileCount();
}

void TkxVirtualFile::ResetChain() {
  FChain.clear();
  FChainTiles.Clear();
  FChainComplete = false;
}

void TkxVirtualFile::AppendToChain(std::int32_t TileNo) {
  if (FChainComplete || (FChain.empty() && TileNo == FStartPageNo)) {
    FChain.push_back(TileNo);
    FChainTiles.Insert(TileNo);
    FChainComplete = true;
  } else {
    ResetChain();
  }
}

bool TkxVirtualFile::ExtendChain(std::int64_t Index) {
  if (Index < static_cast<std::int64_t>(FChain.size())) return true;
  if (FChainComplete || FStartPageNo < 0) return false;
  // Resolving a tile of the master file can need the master file's own chain; a damaged
  // table could make that request itself again.
  if (FExtendingChain) TkxCompoundFileImpl::RaiseInvalidPosition();
  TFlagScope Extending(FExtendingChain);
  if (FChain.empty()) {
    if (!IsValidChainStart(FStartPageNo)) TkxCompoundFileImpl::RaiseInvalidPosition();
    FChain.push_back(FStartPageNo);
    FChainTiles.Insert(FStartPageNo);
  }
  while (static_cast<std::int64_t>(FChain.size()) <= Index) {
    const std::int32_t Next = Master().ReadEntry(FChain.back());
    if (Next < 0) {
      FChainComplete = true;
      return false;
    }
    if (!IsValidChainMember(Next) || !FChainTiles.Insert(Next))
      TkxCompoundFileImpl::RaiseInvalidPosition();
    FChain.push_back(Next);
  }
  return true;
}

std::int32_t TkxVirtualFile::TileOfIndex(std::int64_t Index) {
  if (!ExtendChain(Index)) TkxCompoundFileImpl::RaiseInvalidPosition();
  return FChain[static_cast<std::size_t>(Index)];
}

std::int64_t TkxVirtualFile::ChainLength() {
  if (FStartPageNo < 0) return 0;
  while (ExtendChain(static_cast<std::int64_t>(FChain.size()))) {
  }
  return static_cast<std::int64_t>(FChain.size());
}

std::int32_t TkxVirtualFile::LastTileOfChain() {
  return ChainLength() == 0 ? kxEndOfChain : FChain.back();
}

// --- TkxMasterFile -------------------------------------------------------------------------------

TkxMasterFile::TkxMasterFile(TkxCompoundFileImpl& CompoundFile, std::int64_t Size)
    : TkxVirtualFile(CompoundFile, nullptr, -1, 0, Size) {}

void TkxMasterFile::LoadHeader() {
  if (!FHeaderSlot) {
    FHeaderSlot = LoadSlot(0, 0);
    FHeaderSlot->Flags = fpfLocked;
  } else {
    FCompoundFile.ReadTile(0, FHeaderSlot->Data.get());
    FHeaderSlot->Flags = fpfLocked;
  }
}

std::uint8_t* TkxMasterFile::Header() const { return FHeaderSlot->Data.get(); }

std::int32_t TkxMasterFile::HeaderInt(std::int32_t Offset) const {
  return TkxMemory::ReadInt32(Header(), Offset);
}

void TkxMasterFile::SetHeaderInt(std::int32_t Offset, std::int32_t Value) {
  TkxMemory::WriteInt32(Header(), Offset, Value);
  FHeaderSlot->Flags |= fpfModified;
}

std::uint32_t TkxMasterFile::ChangeCounter() const {
  return TkxMemory::ReadUInt32(Header(), kxHeaderChangeCounterOffset);
}

std::int32_t TkxMasterFile::ReadEntry(std::int32_t TileNo) {
  const std::int64_t Pos = kxHeaderSize + 4 * static_cast<std::int64_t>(TileNo);
  if (TileNo < 0 || Pos + 4 > FSize) TkxCompoundFileImpl::RaiseInvalidPosition();
  TkxTileSlot* Slot = SlotForRead(Pos);
  return TkxMemory::ReadInt32(Slot->Data.get(), OffsetInTile(Pos));
}

void TkxMasterFile::WriteEntry(std::int32_t TileNo, std::int32_t Value) {
  const std::int64_t Pos = kxHeaderSize + 4 * static_cast<std::int64_t>(TileNo);
  if (TileNo < 0 || Pos + 4 > FSize) TkxCompoundFileImpl::RaiseInvalidPosition();
  TkxTileSlot* Slot = SlotForRead(Pos);
  TkxMemory::WriteInt32(Slot->Data.get(), OffsetInTile(Pos), Value);
  Slot->Flags |= fpfModified;
}

std::int32_t TkxMasterFile::CalcTileNo(TkxVirtualFile& File, std::int64_t Pos) {
  return File.TileOfIndex(TileIndexOf(Pos));
}

void TkxMasterFile::AppendOwnTile() {
  const std::int64_t Held = ChainLength();
  const std::int32_t Last = LastTileOfChain();
  const std::int32_t TileNo = TileCount();
  SetHeaderInt(kxHeaderTileCountOffset, TileNo + 1);
  FSize += 4;
  WriteEntry(Last, TileNo);
  AppendToChain(TileNo);
  TkxTileSlot* Slot = LoadSlot(TileNo, Held * kxTileSize);
  std::memset(Slot->Data.get(), 0, kxTileSize);
  Slot->Flags = fpfModified;
  WriteEntry(TileNo, kxEndOfChain);
}

}  // namespace vdb
