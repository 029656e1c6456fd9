// Contained files of a compound container: TkxVirtualFile (one open contained file with its tile
// cache), and TkxMasterFile (the chain from tile 0: header and tile table).
//
// A contained file is a chain of tiles; its tile cache holds whole tiles in slots that are kept
// in age order (Next = newer, Prev = older) and in 100 hash buckets keyed by the tile's index in
// the file. Dirty slots (fpfNew, fpfModified) are written back by Commit. Released slots leave
// both and wait on a stack of unused slots, so that taking one never searches.
//
// Whole tiles of a contained file that the cache does not hold are read and written straight
// between the caller's buffer and the container file: a file read or written tile by tile (as
// the page manager does) costs one system call per tile and no copy through a slot.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "storage/kxCompoundFile.h"
#include "storage/kxMemory.h"

namespace vdb {

class TkxCompoundFileImpl;
class TkxVirtualDirectory;
class TkxMasterFile;

enum TkxFilePageFlag : std::uint8_t {
  fpfUnused = 0x01,    // free for reuse, in no bucket
  fpfNew = 0x02,       // appended at the end of the file, no tile allocated yet
  fpfModified = 0x04,  // to be written back
  fpfLocked = 0x08,    // pinned (tile 0 of the master file)
};

struct TkxTileSlot {
  std::int32_t TileNo = kxNoTile;  // kxNoTile when unused, -1 for a tile not yet allocated
  std::int64_t StartPos = 0;       // position in the contained file of the tile's first byte
  std::uint8_t Flags = 0;          // TkxFilePageFlag bits
  TkxMemoryPtr Data;               // one tile
  TkxTileSlot* Next = nullptr;     // newer slot
  TkxTileSlot* Prev = nullptr;     // older slot
  TkxTileSlot* Other = nullptr;    // next slot in the same hash bucket

  bool Has(std::uint8_t Flag) const { return (Flags & Flag) != 0; }
  bool IsDirty() const { return Has(fpfNew) || Has(fpfModified); }
};

// A set of tile numbers: a bit per tile, growing with the largest tile put in. Clear forgets
// only the tiles put in since the last Clear, so that emptying it costs what filling it did.
class TkxTileSet {
 public:
  // False when the tile was in the set already (or is negative).
  bool Insert(std::int32_t TileNo);
  bool Contains(std::int32_t TileNo) const;
  void Clear();

 private:
  std::vector<std::uint64_t> FBits;
  std::vector<std::int32_t> FMembers;
};

class TkxVirtualFile {
 public:
  static constexpr int kBucketCount = 100;
  // Clean slots are recycled, oldest first, once a file caches this many tiles.
  static constexpr std::size_t kMaxCachedTiles = 512;

  TkxVirtualFile(TkxCompoundFileImpl& CompoundFile, TkxVirtualDirectory* Directory,
                 std::int32_t DirIndex, std::int32_t StartPageNo, std::int64_t Size);
  TkxVirtualFile(const TkxVirtualFile&) = delete;
  TkxVirtualFile& operator=(const TkxVirtualFile&) = delete;
  virtual ~TkxVirtualFile();

  // Reads up to Count bytes at Pos; 0 for a position outside the file.
  std::int32_t Read(void* Data, std::int32_t Count, std::int64_t Pos);
  // Writes Count bytes at Pos (at most the size: files grow only at their end).
  std::int32_t Write(const void* Data, std::int32_t Count, std::int64_t Pos);
  // Writes the pieces one after the other from Pos on, as one Write of all of them would.
  std::int32_t WriteGathered(const TkxWritePiece* Pieces, std::int32_t PieceCount,
                             std::int64_t Pos);
  // Reads exactly Count bytes or raises "Invalid file position.".
  void ReadExact(void* Data, std::int32_t Count, std::int64_t Pos);
  void WriteExact(const void* Data, std::int32_t Count, std::int64_t Pos);

  std::int64_t GetSize();  // re-read from the directory entry when marked
  void SetKnownSize(std::int64_t Size) { FSize = Size; }
  // Shortens or lengthens the file, freeing or allocating tiles.
  void SetSize(std::int64_t Size);
  // Writes every dirty slot, oldest first; with Drop, all unpinned slots are released after.
  void Commit(bool Drop);
  bool HasDirtySlots() const;
  // Another process changed the container: forget every cached tile and the size.
  void Invalidate();
  // Writes first tile and size into the directory entry when they changed (then also the
  // modification time); true when the entry was written.
  bool UpdateDirEntry();

  std::int32_t GetStartPageNo();
  TkxVirtualDirectory* GetDirectory() const { return FDirectory; }
  std::int32_t GetDirIndex() const { return FDirIndex; }
  std::int32_t GetRefCount() const { return FRefCount; }
  void AddRef() { ++FRefCount; }
  void Release() { --FRefCount; }
  bool IsCommitting() const { return FCommitting; }
  virtual bool IsDirectory() const { return false; }

  // Tile number of the chain's tile with this index; raises "Invalid file position." when the
  // chain is shorter, leaves the container or runs into itself.
  std::int32_t TileOfIndex(std::int64_t Index);
  // Number of tiles in the chain (followed to its end).
  std::int64_t ChainLength();

 protected:
  TkxTileSlot* SlotForRead(std::int64_t Pos);
  TkxTileSlot* SlotForWrite(std::int64_t Pos);
  TkxTileSlot* FindSlot(std::int64_t TileIndex) const;
  TkxTileSlot* LoadSlot(std::int32_t TileNo, std::int64_t StartPos);
  // Whole tiles that bypass the tile cache (see above); only plain contained files do.
  bool TransfersDirectly() const { return FDirectory != nullptr && !IsDirectory(); }
  void DropSlot(TkxTileSlot& Slot);
  void DropSlotsFrom(std::int64_t Boundary);
  virtual bool IsValidChainStart(std::int32_t TileNo) const;
  bool IsValidChainMember(std::int32_t TileNo) const;
  // Follows the chain until it holds Index + 1 tiles; false when it ends before.
  bool ExtendChain(std::int64_t Index);
  std::int32_t LastTileOfChain();
  void AppendToChain(std::int32_t TileNo);
  void ResetChain();
  void ReloadFromEntry();
  TkxMasterFile& Master() const;

  TkxCompoundFileImpl& FCompoundFile;
  TkxVirtualDirectory* FDirectory;  // none for the master file and the root directory
  std::int32_t FDirIndex;           // -1 for the master file and the root directory
  std::int32_t FStartPageNo;        // -1 when the file has no tile
  std::int64_t FSize;               // negative: to be read again from the directory entry
  TkxTileSlot* FLastPageSlot = nullptr;   // newest slot
  TkxTileSlot* FFirstPageSlot = nullptr;  // oldest slot
  std::array<TkxTileSlot*, kBucketCount> FPageSlotHashList{};
  bool FCommitting = false;
  std::int32_t FRefCount = 0;

 private:
  // A slot in no list and no bucket: an unused one, the oldest clean one when the cache is
  // full, or a new one.
  TkxTileSlot* AcquireSlot();
  TkxTileSlot* OldestCleanSlot() const;
  void LinkNewest(TkxTileSlot& Slot);
  void Unlink(TkxTileSlot& Slot);
  void PushToBucket(TkxTileSlot& Slot);
  void RemoveFromBucket(TkxTileSlot& Slot);
  void CommitSlot(TkxTileSlot& Slot);
  // The run of whole tiles from Pos (a tile boundary) up to Limit at most that lie inside the
  // file, one after the other in the container, and that the cache does not hold: its first
  // tile and its length in bytes, 0 when the tile at Pos does not qualify. With ToFileEnd the
  // file's last tile qualifies also when it is not whole, read up to the file's end.
  std::int32_t DirectRun(std::int64_t Pos, std::int64_t Limit, bool ToFileEnd,
                         std::int32_t& FirstTile);
  void RaiseCommitFailure(std::int32_t TileNo);

  std::vector<std::unique_ptr<TkxTileSlot>> FSlots;  // owns every slot
  std::vector<TkxTileSlot*> FUnusedSlots;             // released slots, for reuse
  std::size_t FLiveSlots = 0;                         // slots in the age list
  // The tiles of the chain resolved so far, so that walking a file costs one table read per
  // tile; FChainComplete once the end of the chain was seen.
  std::vector<std::int32_t> FChain;
  TkxTileSet FChainTiles;  // the tiles of FChain, so that a chain running into itself is seen
  bool FChainComplete = false;
  bool FExtendingChain = false;
};

// The master file: header (tile count, root size, free list, change counter) and tile table.
class TkxMasterFile : public TkxVirtualFile {
 public:
  TkxMasterFile(TkxCompoundFileImpl& CompoundFile, std::int64_t Size);

  // Loads tile 0 (again) into its pinned slot.
  void LoadHeader();
  std::uint8_t* Header() const;
  std::int32_t HeaderInt(std::int32_t Offset) const;
  void SetHeaderInt(std::int32_t Offset, std::int32_t Value);  // marks tile 0 modified

  std::int32_t TileCount() const { return HeaderInt(kxHeaderTileCountOffset); }
  std::int32_t FreeListHead() const { return HeaderInt(kxHeaderFreeListOffset); }
  std::uint32_t ChangeCounter() const;

  // The tile-table entry of a tile (raises "Invalid file position." outside the table).
  std::int32_t ReadEntry(std::int32_t TileNo);
  void WriteEntry(std::int32_t TileNo, std::int32_t Value);
  // Tile of position Pos of File's chain.
  std::int32_t CalcTileNo(TkxVirtualFile& File, std::int64_t Pos);

  // Appends one tile at the end of the container to the master file's own chain (zeroed and
  // marked for writing); the table grows by one entry.
  void AppendOwnTile();
  void GrowSize(std::int64_t Bytes) { FSize += Bytes; }
  void ResetSize(std::int64_t Size) { FSize = Size; }

 protected:
  bool IsValidChainStart(std::int32_t TileNo) const override { return TileNo == 0; }

 private:
  TkxTileSlot* FHeaderSlot = nullptr;
};

}  // namespace vdb
