// Memo and blob files: the companion files of a table that hold column values of unbounded length.
//
// Both are block files of fixed-size blocks read and written through a client storage whose page
// size is the block size, so block n is page n. Block 0 is the header (first free block, last
// block in use, block size, then zeros); every data block starts with the number of the next block
// of its chain (-1 ends a chain; on the free list it names the next free block). A record keeps
// only the first block of a value; 0 means "no value".
//
// TVdbBlockedBinaryFile implements the blocks, the chains and the free list; TVdbMemoFile stores
// 8-bit texts (252 characters per 256-byte block, ended by a 0 byte, line breaks as single CRs);
// TVdbBlobFile stores binary values with their size in the first block.
//
// Errors: the value operations answer 0 or a positive result, or a negated engine error number,
// and keep the failure (LastErrorCode/LastErrorMsg, and the session's last error when one is
// attached). The file operations (NewFile, Open, Flush, ...) raise: EVdbEngine for the file's own
// failures, the page manager's exceptions for the storage's.
//
// A damaged file never makes a reader loop or leave the file: every chain is checked against the
// used blocks, loops and the free list before anything is changed, and the file is marked damaged
// (writes then fail with engine error 113 until the table is repaired).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/VdbErrorTables.h"
#include "storage/VdbPageMan.h"

namespace vdb {

class TVdbLastError;

// The three header fields; in a data block only NextBlock keeps its meaning.
struct TBlobBlock {
  std::int32_t NextBlock;
  std::int32_t LastBlock;
  std::int32_t BlockSize;
};

// Marks kept by a file between chain walks (see TVdbMemoFile::ReadMemo): one bit per block and the
// blocks marked.
struct TVdbChainMarks {
  std::vector<bool> Seen;
  std::vector<std::int32_t> Passed;
};

class TVdbBlockedBinaryFile {
 public:
  static constexpr std::int32_t kEndOfChain = -1;
  static constexpr std::int32_t kMaxBlockNo = 0x0FFFFFFF;  // block numbers have 28 bits
  static constexpr std::int32_t kMemoBlockSize = 256;
  static constexpr std::int32_t kDefaultBlobBlockSize = 512;
  static constexpr std::int32_t kZeroBlockSizeMeans = 4096;  // a stored block size of 0
  static constexpr std::int32_t kMaxBlockSize = 65768;
  static constexpr std::int16_t kCurrentLevel = 6;

  // Takes the client storage (its name set, not open).
  explicit TVdbBlockedBinaryFile(std::unique_ptr<TVdbClientStorage> Storage, bool FixedBlockSize);
  virtual ~TVdbBlockedBinaryFile();
  TVdbBlockedBinaryFile(const TVdbBlockedBinaryFile&) = delete;
  TVdbBlockedBinaryFile& operator=(const TVdbBlockedBinaryFile&) = delete;

  // --- File life cycle (raises) ---
  // Creates the file: block 0 only, with first free block 1, last block 0 and the block size.
  void NewFile();
  void Open(bool ReadOnly, bool Exclusive);
  void Close();
  void Flush();
  // Drops the changes since the last flush and reads the header again.
  void Undo();
  // Drops the cached pages (another process changed the file) and reads the header again.
  void Update();
  void UpdateDir();
  // Resets the file to a bare header (1, 0, block size) of one page; the file is sound again.
  void Empty();
  bool IsOpen() const;
  std::int64_t GetFileSize() const;  // bytes held by the storage

  // --- Settings ---
  // Block size of a file about to be created (memo files keep 256 whatever is set).
  void SetBlockSize(std::int32_t Value);
  // The table's cipher for data blocks (none: blocks are stored as they are). The header block is
  // never passed through it, so that its block size can be read before anything else.
  void SetEncryption(std::shared_ptr<TVdbStorageCipher> Value);
  // Table level: from 5 on a chain is freed up to its end mark, before by its content.
  void SetVersion(std::int16_t Level) { FVersion = Level; }
  // Name used in the messages of errors 112, 113 and 156 (default: the file name without
  // directory and extension).
  void SetTableName(std::string Name) { FTableName = std::move(Name); }
  // Failures of value operations are also recorded here (may be none).
  void SetLastErrorTarget(TVdbLastError* Target) { FLastErrorTarget = Target; }
  // Copies cipher, fixed-size flag, block size and damaged flag.
  void Assign(const TVdbBlockedBinaryFile& Other);

  // The header as this object last read or wrote it.
  TBlobBlock Header() const { return {FNextBlock, FLastBlock, FBlockSize}; }
  std::int32_t BlockSize() const { return FBlockSize; }
  std::int32_t NextBlock() const { return FNextBlock; }
  std::int32_t LastBlock() const { return FLastBlock; }
  std::int16_t Version() const { return FVersion; }
  bool FixedBlockSize() const { return FFixedBlockSize; }
  bool Damaged() const { return FDamaged; }
  // For the table's repair: clears (or sets) the damaged flag.
  void SetDamaged(bool Value) { FDamaged = Value; }
  TVdbClientStorage& Storage() const { return *FStorage; }
  const std::string& TableName() const { return FTableName; }

  std::int16_t LastErrorCode() const { return FLastErrorCode; }
  const std::string& LastErrorMsg() const { return FLastErrorMsg; }

  // --- Values (answer negated engine errors) ---
  // Reads value BlockIdx of Source and writes it here as a new value; answers its first block.
  std::int32_t CopyFrom(TVdbBlockedBinaryFile& Source, std::int32_t BlockIdx);
  // BlockList[n] = the next-block field of block n for n in 1..CountBlocks (BlockList[0] is the
  // header's first free block); CountBlocks is the last block in use (no more than the file
  // holds). Answers 0 or a read error.
  std::int32_t CreateBlockList(std::vector<std::int32_t>& BlockList, std::int32_t& CountBlocks,
                               std::int32_t& FirstFreeBlock);

  // Frees every block of the value starting at BlockIdx (nothing for 0), after the same checks
  // as a write; answers 0 or a negated engine error. Unlike writing an empty value, a blob keeps
  // no block for it.
  std::int32_t DeleteValue(std::int32_t BlockIdx);
  // S receives the value of the chain starting at BlockIdx (empty for 0); answers 0.
  virtual std::int32_t ReadString(std::int32_t BlockIdx, std::string& S) = 0;
  // Frees the chain at BlockIdx (0: none), writes S and answers its first block (0 when empty).
  virtual std::int32_t WriteString(std::int32_t BlockIdx, std::string_view S) = 0;
  // Consistency of the chains: 0 when sound.
  virtual std::int32_t Check() = 0;

 protected:
  // Damage of a value chain: 112 for memo files, 113 for blob files.
  virtual std::int16_t ChainDamageError() const = 0;
  // Old levels only: the blocks of the value at First, found by its content.
  virtual std::vector<std::int32_t> OldLevelChain(std::int32_t First) = 0;

  // Runs a value operation: refreshes the header, turns engine errors (and page-manager errors,
  // as read errors) into a negated result recorded as the last error.
  template <class F>
  std::int32_t Guarded(F&& Operation);
  // Raises EVdbEngine Code with the table name (112, 113, 156) or file name (2, 3, 115).
  [[noreturn]] void Fail(std::int16_t Code) const;
  // Marks the file damaged and raises Code.
  [[noreturn]] void Damage(std::int16_t Code);

  // Block I/O through the work buffers; raise error 2 / 3 for page-manager failures.
  void ReadBlock(std::int32_t BlockNo, std::uint8_t* Buffer);
  // Block BlockNo for reading without a copy where the file is not encrypted: the cached page
  // itself, valid until the next block operation (otherwise the decrypted work block).
  const std::uint8_t* BlockForReading(std::int32_t BlockNo);
  void WriteBlock(std::int32_t BlockNo, std::uint8_t* Buffer);
  static std::int32_t NextOf(const std::uint8_t* Block);
  static void SetNext(std::uint8_t* Block, std::int32_t Next);

  // Writes: refuses when read-only or damaged.
  void RequireWritable();
  // The blocks of the value at First, checked (in the file, no loop, not free); raises the
  // chain damage error.
  std::vector<std::int32_t> ValueChain(std::int32_t First);
  // Follows a chain to its end mark; Limit bounds its length (raises the damage error beyond).
  std::vector<std::int32_t> ChainToEnd(std::int32_t First, std::int32_t Limit);
  // The last block in use that the file really holds (a damaged header may claim more).
  std::int32_t LastBlockInFile() const;
  bool IsUsedBlock(std::int32_t BlockNo) const {
    return BlockNo >= 1 && BlockNo <= LastBlockInFile();
  }
  // Replaces the value at OldFirst by Chunks blocks: checks everything first (old chain, free
  // list, room), frees the old chain, then lets Fill put chunk I (0-based) into FWorkBlock and
  // allocates it. Answers the first block.
  template <class FillChunk>
  std::int32_t ReplaceValue(std::int32_t OldFirst, std::int64_t Chunks, FillChunk&& Fill);
  // Frees a checked chain: its last block is linked to the first free block.
  void FreeChain(const std::vector<std::int32_t>& Chain);
  // Allocates a block for the chunk in FWorkBlock (Last: the final chunk of its value).
  std::int32_t AllocateBlock(bool Last);
  void WriteHeader();

  // True for a block on the checked free list.
  bool IsFreeBlock(std::int32_t BlockNo) const;
  void RecordFailure(std::int16_t Code, std::string Message);

  std::int32_t DataBytes() const { return FBlockSize - 4; }
  std::uint8_t* WorkBlock() { return FWorkBlock.data(); }
  std::uint8_t* TempBlock() { return FTempBlock.data(); }

  TVdbChainMarks FChainMarks;

 private:
  void ReadHeader(bool AtOpen);
  void ResizeBuffers();
  // The free list, walked and checked (bounded, no loop, ending right); its blocks are kept until
  // the header changes. Raises 113 and marks the file damaged when it is broken.
  std::int64_t FreeBlockCount();
  void ForgetFreeList() { FFreeListValid = false; }

  std::unique_ptr<TVdbClientStorage> FStorage;
  std::unique_ptr<TVdbStoragePageSite> FPage;
  std::vector<std::uint8_t> FWorkBlock;
  std::vector<std::uint8_t> FTempBlock;
  std::int32_t FNextBlock = 1;
  std::int32_t FLastBlock = 0;
  std::int32_t FBlockSize;
  bool FFixedBlockSize;
  bool FBlockSizeUsable = true;  // the page manager can cut pages of this size
  std::shared_ptr<TVdbStorageCipher> FEncryption;
  bool FDamaged = false;
  std::int16_t FVersion = kCurrentLevel;
  std::string FTableName;
  TVdbLastError* FLastErrorTarget = nullptr;
  std::int16_t FLastErrorCode = 0;
  std::string FLastErrorMsg;

  // The checked free list for the header (FFreeHead, FFreeLast).
  bool FFreeListValid = false;
  std::int32_t FFreeHead = 0;
  std::int32_t FFreeLast = 0;
  std::int64_t FFreeCount = 0;
  std::vector<bool> FFreeSet;  // index = block number
};

// Memo values: 8-bit text in the table's code page.
class TVdbMemoFile : public TVdbBlockedBinaryFile {
 public:
  static constexpr std::int32_t kCharsPerBlock = kMemoBlockSize - 4;
  static constexpr std::uint8_t kEndOfText = 0;
  static constexpr std::uint8_t kCtrlZ = 26;
  static constexpr std::uint8_t kCR = 13;
  static constexpr std::uint8_t kLF = 10;

  explicit TVdbMemoFile(std::unique_ptr<TVdbClientStorage> Storage);

  std::int32_t ReadString(std::int32_t BlockIdx, std::string& S) override;
  // Stored CRs come back as CR LF (one space with SingleLine), stored LFs as one space; at most
  // MaxLen characters (no limit when negative).
  std::int32_t ReadMemo(std::int32_t BlockIdx, std::string& S, bool SingleLine,
                        std::int32_t MaxLen);
  // CR LF, lone CR and lone LF are stored as one CR. The characters 0 and 26 end a stored text,
  // so a text holding one is refused (engine error 45).
  std::int32_t WriteString(std::int32_t BlockIdx, std::string_view S) override;
  // Characters ReadString would answer.
  std::int32_t CalcMemoLength(std::int32_t BlockIdx);
  // 0 sound; 1 a block lies on two chains (or a chain runs into the free list); 2 a chain runs in
  // a circle; 3 the free list is broken; 4 a chain leaves the used blocks; negative: read error.
  std::int32_t Check() override;

  static constexpr std::int32_t kCheckSharedBlock = 1;
  static constexpr std::int32_t kCheckLoop = 2;
  static constexpr std::int32_t kCheckBrokenFreeList = 3;
  static constexpr std::int32_t kCheckLeavesFile = 4;

 protected:
  std::int16_t ChainDamageError() const override { return kVdbErrMemoDamaged; }
  std::vector<std::int32_t> OldLevelChain(std::int32_t First) override;

 private:
  // Calls Take(characters) with the kCharsPerBlock stored characters of each block of the chain
  // at BlockIdx until Take answers false (Take finds the end of the text).
  template <class F>
  void ForEachStoredBlock(std::int32_t BlockIdx, F&& Take);
};

// Binary values: the size in the first block, then the bytes.
class TVdbBlobFile : public TVdbBlockedBinaryFile {
 public:
  explicit TVdbBlobFile(std::unique_ptr<TVdbClientStorage> Storage,
                        std::int32_t BlockSize = kDefaultBlobBlockSize);

  // The bytes of the value as an 8-bit string.
  std::int32_t ReadString(std::int32_t BlockIdx, std::string& S) override;
  // Writes Size bytes (a value of size 0 still takes one block); answers the first block.
  std::int32_t WriteData(std::int32_t BlockIdx, const void* Data, std::int32_t Size);
  std::int32_t WriteString(std::int32_t BlockIdx, std::string_view S) override;
  // The stored size (0 for BlockIdx 0).
  std::int32_t CalcBlobLength(std::int32_t BlockIdx);
  // The first two data bytes (0 when the value is shorter).
  std::int32_t ReadBlobType(std::int32_t BlockIdx);
  std::int32_t Check() override { return 0; }

  // Blocks a value of Size bytes takes.
  std::int64_t BlocksFor(std::int64_t Size) const;

 protected:
  std::int16_t ChainDamageError() const override { return kVdbErrBlobDamaged; }
  std::vector<std::int32_t> OldLevelChain(std::int32_t First) override;

 private:
  // The checked size stored in block First (already read into the work buffer).
  std::int32_t StoredSize(std::int32_t First);
};

}  // namespace vdb
