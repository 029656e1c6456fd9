#include "storage/kxCompoundFileCheck.h"

#include "storage/kxCompoundFileImpl.h"

namespace vdb {

TkxCompoundFileCheck::TkxCompoundFileCheck(TkxCompoundFileImpl& Impl,
                                           const TkxCompoundFileDefectEvent& OnDefect)
    : FImpl(Impl), FOnDefect(OnDefect) {}

void TkxCompoundFileCheck::Defect(const std::string& FilePath, const std::string& Message) {
  ++FDefects;
  if (FOnDefect) FOnDefect(FilePath, Message);
}

std::string TkxCompoundFileCheck::OwnerPath(std::int32_t Owner) const {
  return Owner >= 0 ? FOwners[static_cast<std::size_t>(Owner)].Path : std::string();
}

bool TkxCompoundFileCheck::Claim(std::int32_t Tile, const std::string& Path, std::int64_t Size,
                                 bool IsFreeList) {
  TTileRecord& Record = FTiles[static_cast<std::size_t>(Tile)];
  if (Record.Owner >= 0) {
    Defect(Path, "Two directory entries use the same start page.");
    return false;
  }
  FOwners.push_back({Path, IsFreeList, true});
  Record.Owner = static_cast<std::int32_t>(FOwners.size()) - 1;
  Record.Size = Size;
  return true;
}

std::int32_t TkxCompoundFileCheck::Run() {
  TkxMasterFile& Master = FImpl.Master();
  FTileCount = Master.TileCount();
  FTiles.assign(static_cast<std::size_t>(FTileCount), TTileRecord());
  Claim(0, "<FAT>", kxHeaderSize + 4LL * FTileCount, false);
  Claim(kxRootTile, "\\", FImpl.RootDir().GetSize(), false);
  if (InRange(Master.FreeListHead())) Claim(Master.FreeListHead(), "<Free list>", 0, true);
  WalkTree();
  FollowChains();
  for (std::int32_t Tile = 0; Tile < FTileCount; ++Tile)
    if (FTiles[static_cast<std::size_t>(Tile)].Predecessor == kNotVisited) CheckChain(Tile);
  CheckCycles();
  CheckChainStarts();
  return FDefects;
}

// --- Step 2: the directory tree ------------------------------------------------------------------

void TkxCompoundFileCheck::WalkTree() {
  // Iterative, so that a deep (or damaged) tree cannot exhaust the stack; a directory is only
  // entered once it has claimed its first tile, so a tree that runs into itself ends.
  std::vector<std::pair<TkxVirtualDirectory*, std::string>> Pending;
  Pending.emplace_back(&FImpl.RootDir(), "\\");
  while (!Pending.empty()) {
    auto [Dir, Prefix] = Pending.back();
    Pending.pop_back();
    WalkDirectory(*Dir, Prefix, Pending);
  }
}

void TkxCompoundFileCheck::WalkDirectory(
    TkxVirtualDirectory& Dir, const std::string& Prefix,
    std::vector<std::pair<TkxVirtualDirectory*, std::string>>& Pending) {
  std::int32_t Count = 0;
  try {
    Count = Dir.EntryCount();
    for (std::int32_t Index = 0; Index < Count; ++Index) {
      const TkxDirEntry Entry = Dir.ReadEntry(Index);
      if (Entry.IsFree() || Entry.FirstTile < 0) continue;
      std::string Path = Prefix + kxEntryNameToUtf8(Entry.RawName);
      if (Entry.IsDirectory()) Path += "\\";
      if (!InRange(Entry.FirstTile)) {
        // A first tile beyond the container: the entry has no chain at all.
        Defect(Path, kxFormatOrBare("File size is different for directory (%d) and FAT (%d).",
                                    {Entry.Size, 0}));
        continue;
      }
      if (!Claim(Entry.FirstTile, Path, Entry.Size, false)) continue;
      FTiles[static_cast<std::size_t>(Entry.FirstTile)].EntryStart = true;
      if (Entry.IsDirectory()) {
        auto* Sub = dynamic_cast<TkxVirtualDirectory*>(FImpl.ObjectOf(Dir, Index, Entry));
        if (Sub) Pending.emplace_back(Sub, Path);
      }
    }
  } catch (const EkxInOutError&) {
    // The rest of this directory cannot be read; the size check of its chain reports it.
  }
}

// --- Step 3: successors and predecessors ---------------------------------------------------------

std::int32_t TkxCompoundFileCheck::TableEntry(std::int32_t Tile) {
  try {
    return FImpl.Master().ReadEntry(Tile);
  } catch (const EkxInOutError&) {
    return kxEndOfChain;  // that part of the table is not readable: the chain ends here
  }
}

void TkxCompoundFileCheck::FollowChains() {
  for (std::int32_t Start = 0; Start < FTileCount; ++Start) {
    for (std::int32_t Tile = Start; InRange(Tile);) {
      TTileRecord& Record = FTiles[static_cast<std::size_t>(Tile)];
      if (Record.Visited) break;
      Record.Visited = true;
      const std::int32_t Next = TableEntry(Tile);
      Record.Successor = Next;
      if (!InRange(Next)) break;
      TTileRecord& NextRecord = FTiles[static_cast<std::size_t>(Next)];
      if (NextRecord.Predecessor != kNotVisited) break;  // reached from another tile already
      NextRecord.Predecessor = Tile;
      Tile = Next;
    }
  }
}

// --- Step 4: the chains --------------------------------------------------------------------------

std::string TkxCompoundFileCheck::ChainOwner(std::int32_t Tile) const {
  std::string Found;
  for (std::int32_t Steps = 0; InRange(Tile) && Steps <= FTileCount; ++Steps) {
    const TTileRecord& Record = FTiles[static_cast<std::size_t>(Tile)];
    if (Record.Owner >= 0) Found = OwnerPath(Record.Owner);
    if (Record.Predecessor == kNotVisited) return Found;
    Tile = Record.Predecessor;
  }
  return Found;  // a chain that runs in a circle: the owner met on the way
}

void TkxCompoundFileCheck::CheckChain(std::int32_t Start) {
  TTileRecord& First = FTiles[static_cast<std::size_t>(Start)];
  if (First.Owner < 0) {
    const std::string Name = kxFormatOrBare("<UnassignedFile%d>", {++FUnassigned});
    FOwners.push_back({Name, false, false});
    First.Owner = static_cast<std::int32_t>(FOwners.size()) - 1;
    Defect(Name, kxFormatOrBare(
                     "Tile chain starting at tile no %d has no corresponding directory entry.",
                     {Start}));
  }
  const TOwner Owner = FOwners[static_cast<std::size_t>(First.Owner)];
  // The chain is followed to its end, through tiles of other chains it runs into, and stops
  // before a tile it has passed already.
  const std::int32_t Walk = ++FWalks;
  std::int64_t Length = 0;
  std::int32_t Prev = kNotVisited;
  for (std::int32_t Tile = Start; InRange(Tile);) {
    TTileRecord& Record = FTiles[static_cast<std::size_t>(Tile)];
    if (Record.Walk == Walk) break;
    Record.Walk = Walk;
    if (Tile != Start && Record.Predecessor != Prev)
      Defect(Owner.Path, kxFormatOrBare("File shares tile %d with file %s.",
                                        {Tile, ChainOwner(Record.Predecessor)}));
    Record.Reached = true;
    Length += kxTileSize;
    Prev = Tile;
    Tile = Record.Successor;
  }
  if (Owner.IsFreeList || !Owner.HasSize) return;
  const std::int64_t Size = First.Size;
  if (!(Size <= Length && Length < Size + kxTileSize))
    Defect(Owner.Path,
           kxFormatOrBare("File size is different for directory (%d) and FAT (%d).", {Size, Length}));
}

void TkxCompoundFileCheck::CheckCycles() {
  // Tiles that no chain start leads to lie on circles of the table; each circle is reported
  // once, from its lowest tile, like a chain of its own.
  for (std::int32_t Tile = 0; Tile < FTileCount; ++Tile) {
    if (FTiles[static_cast<std::size_t>(Tile)].Reached) continue;
    CheckChain(Tile);
  }
}

// --- Step 5: files that start inside other files -------------------------------------------------

void TkxCompoundFileCheck::CheckChainStarts() {
  for (std::int32_t Tile = 0; Tile < FTileCount; ++Tile) {
    const TTileRecord& Record = FTiles[static_cast<std::size_t>(Tile)];
    if (!Record.EntryStart || Record.Predecessor == kNotVisited) continue;
    Defect(OwnerPath(Record.Owner),
           kxFormatOrBare("File starts within file %s.", {ChainOwner(Record.Predecessor)}));
  }
}

}  // namespace vdb
