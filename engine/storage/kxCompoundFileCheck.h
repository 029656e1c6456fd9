// The consistency check of a compound container: every tile must belong to exactly one chain,
// every chain to one directory entry (or the tile table, the root directory, the free list),
// and every file's size must fit the length of its chain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/kxCompoundFile.h"

namespace vdb {

class TkxCompoundFileImpl;
class TkxVirtualDirectory;

class TkxCompoundFileCheck {
 public:
  // Impl is open (exclusively) and read-locked by the caller.
  TkxCompoundFileCheck(TkxCompoundFileImpl& Impl, const TkxCompoundFileDefectEvent& OnDefect);
  // Reports every defect and returns their number.
  std::int32_t Run();

 private:
  static constexpr std::int32_t kNotVisited = static_cast<std::int32_t>(0x80000000u);
  static constexpr std::int32_t kOwnerUnknown = -2;
  static constexpr std::int32_t kOnOwnerPath = -3;

  struct TTileRecord {
    std::int32_t Successor = kNotVisited;
    std::int32_t Predecessor = kNotVisited;
    std::int32_t Owner = -1;  // index into FOwners
    std::int64_t Size = -1;
    bool EntryStart = false;  // first tile of a directory entry
    bool Visited = false;     // step 3: its table entry has been read
    bool Reached = false;     // step 4: some chain start (or circle) leads to it
    bool Walked = false;      // step 4: passed by the walk of a chain
    bool Unassigned = false;  // a chain start without directory entry
    std::int64_t Rest = 0;    // tiles from here to the end of its walk, once walked
    std::int32_t PathIndex = 0;            // position in the walk that passed it
    std::int32_t OwnerMemo = kOwnerUnknown;  // ChainOwner's answer, once known
  };
  struct TOwner {
    std::string Path;
    bool IsFreeList = false;
    bool HasSize = true;
  };

  void Defect(const std::string& FilePath, const std::string& Message);
  bool InRange(std::int32_t Tile) const { return Tile >= 0 && Tile < FTileCount; }
  // Records the owner of a chain's first tile; false (a defect) when it has one already.
  bool Claim(std::int32_t Tile, const std::string& Path, std::int64_t Size, bool IsFreeList);
  void WalkTree();
  void WalkDirectory(TkxVirtualDirectory& Dir, const std::string& Prefix,
                     std::vector<std::pair<TkxVirtualDirectory*, std::string>>& Pending);
  std::int32_t TableEntry(std::int32_t Tile);
  void FollowChains();
  // Chain starts in tile order, then one tile of every circle; names the unassigned ones.
  std::vector<std::int32_t> ChainStarts();
  void CheckChain(std::int32_t Start);
  void CheckChainStarts();
  std::string OwnerPath(std::int32_t Owner) const;
  std::string ChainOwner(std::int32_t Tile);

  TkxCompoundFileImpl& FImpl;
  const TkxCompoundFileDefectEvent& FOnDefect;
  std::int32_t FTileCount = 0;
  std::vector<TTileRecord> FTiles;
  std::vector<TOwner> FOwners;
  std::int32_t FDefects = 0;
  std::int32_t FUnassigned = 0;
};

}  // namespace vdb
