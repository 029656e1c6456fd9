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
  for (std::int32_t Start : ChainStarts()) CheckChain(Start);
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

std::vector<std::int32_t> TkxCompoundFileCheck::ChainStarts() {
  std::vector<std::int32_t> Starts;
  const auto Mark = [this](std::int32_t Tile) {
    for (; InRange(Tile) && !FTiles[static_cast<std::size_t>(Tile)].Reached;
         Tile = FTiles[static_cast<std::size_t>(Tile)].Successor)
      FTiles[static_cast<std::size_t>(Tile)].Reached = true;
  };
  for (std::int32_t Tile = 0; Tile < FTileCount; ++Tile) {
    if (FTiles[static_cast<std::size_t>(Tile)].Predecessor != kNotVisited) continue;
    Starts.push_back(Tile);
    Mark(Tile);
  }
  // What no chain start leads to lies on circles of the table: each circle is taken as a
  // chain of its own, from its lowest tile.
  for (std::int32_t Tile = 0; Tile < FTileCount; ++Tile) {
    if (FTiles[static_cast<std::size_t>(Tile)].Reached) continue;
    Starts.push_back(Tile);
    Mark(Tile);
  }
  // Chains without a directory entry are named before anything is reported, so that every
  // message can name the chain it is about.
  for (std::int32_t Start : Starts) {
    TTileRecord& First = FTiles[static_cast<std::size_t>(Start)];
    if (First.Owner >= 0) continue;
    FOwners.push_back({kxFormatOrBare("<UnassignedFile%d>", {++FUnassigned}), false, false});
    First.Owner = static_cast<std::int32_t>(FOwners.size()) - 1;
    First.Unassigned = true;
  }
  return Starts;
}

std::string TkxCompoundFileCheck::ChainOwner(std::int32_t Tile) {
  // The owner met farthest back along the predecessors (the chain's start, or on a circle the
  // last owner met), remembered for every tile passed, so that each tile is walked once.
  std::vector<std::int32_t> Path;
  std::int32_t Best = -1;
  for (; InRange(Tile);) {
    TTileRecord& Record = FTiles[static_cast<std::size_t>(Tile)];
    if (Record.OwnerMemo >= -1) {
      Best = Record.OwnerMemo;
      break;
    }
    if (Record.OwnerMemo == kOnOwnerPath) break;  // round a circle
    Record.OwnerMemo = kOnOwnerPath;
    Path.push_back(Tile);
    if (Record.Predecessor == kNotVisited) break;
    Tile = Record.Predecessor;
  }
  for (auto It = Path.rbegin(); It != Path.rend(); ++It) {
    TTileRecord& Record = FTiles[static_cast<std::size_t>(*It)];
    if (Best < 0 && Record.Owner >= 0) Best = Record.Owner;
    Record.OwnerMemo = Best;
  }
  return OwnerPath(Best);
}

void TkxCompoundFileCheck::CheckChain(std::int32_t Start) {
  TTileRecord& First = FTiles[static_cast<std::size_t>(Start)];
  const TOwner Owner = FOwners[static_cast<std::size_t>(First.Owner)];
  if (First.Unassigned)
    Defect(Owner.Path, kxFormatOrBare(
                           "Tile chain starting at tile no %d has no corresponding directory entry.",
                           {Start}));
  // The chain is followed to its end, also through tiles of other chains it runs into. Each
  // tile is walked once: a chain that reaches tiles walked before takes their remaining length
  // from there, and a chain that comes back to one of its own tiles ends before it.
  std::vector<std::int32_t> Path;
  std::int64_t Tail = 0;
  std::int32_t CircleFrom = -1;
  std::int32_t Prev = kNotVisited;
  for (std::int32_t Tile = Start; InRange(Tile);) {
    TTileRecord& Record = FTiles[static_cast<std::size_t>(Tile)];
    if (Record.Walked && Record.Rest == 0) {
      CircleFrom = Record.PathIndex;
      break;
    }
    if (Tile != Start && Record.Predecessor != Prev)
      Defect(Owner.Path, kxFormatOrBare("File shares tile %d with file %s.",
                                        {Tile, ChainOwner(Record.Predecessor)}));
    if (Record.Walked) {
      Tail = Record.Rest;
      break;
    }
    Record.Walked = true;
    Record.PathIndex = static_cast<std::int32_t>(Path.size());
    Path.push_back(Tile);
    Prev = Tile;
    Tile = Record.Successor;
  }
  const auto Count = static_cast<std::int64_t>(Path.size());
  for (std::int64_t I = 0; I < Count; ++I) {
    const bool OnCircle = CircleFrom >= 0 && I >= CircleFrom;
    FTiles[static_cast<std::size_t>(Path[static_cast<std::size_t>(I)])].Rest =
        OnCircle ? Count - CircleFrom : Count - I + Tail;
  }
  if (Owner.IsFreeList || !Owner.HasSize) return;
  const std::int64_t Size = First.Size;
  const std::int64_t Length = (Count + Tail) * kxTileSize;
  if (!(Size <= Length && Length < Size + kxTileSize))
    Defect(Owner.Path,
           kxFormatOrBare("File size is different for directory (%d) and FAT (%d).", {Size, Length}));
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
