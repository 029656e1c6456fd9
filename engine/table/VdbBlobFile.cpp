// Memo and blob files (declared in VdbBlobFile.h).
#include "table/VdbBlobFile.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "base/VdbErrors.h"
#include "base/VdbLastError.h"
#include "storage/kxMemory.h"
#include "storage/kxPath.h"

namespace vdb {

namespace {

constexpr std::int32_t kMinBlobBlockSize = 9;  // the size field and at least one data byte
constexpr std::int32_t kBlockNoMask = 0x0FFFFFFF;

// The blocks a chain has passed: a block met twice means the chain runs in a circle.
class TChainGuard {
 public:
  bool Visit(std::int32_t BlockNo) { return FSeen.insert(BlockNo).second; }

 private:
  std::unordered_set<std::int32_t> FSeen;
};

// The blocks one chain walk has passed, marked in the file's reusable bit set so that a read
// allocates nothing; the marks are cleared again when the walk ends, however it ends.
class TVisitedBlocks {
 public:
  TVisitedBlocks(TVdbChainMarks& Marks, std::int32_t LastBlock) : FMarks(Marks) {
    const auto Needed = static_cast<std::size_t>(std::max(LastBlock, 0)) + 1;
    if (FMarks.Seen.size() < Needed) FMarks.Seen.resize(Needed);
  }
  ~TVisitedBlocks() {
    for (const std::int32_t Block : FMarks.Passed) FMarks.Seen[static_cast<std::size_t>(Block)] = false;
    FMarks.Passed.clear();
  }
  TVisitedBlocks(const TVisitedBlocks&) = delete;
  TVisitedBlocks& operator=(const TVisitedBlocks&) = delete;

  // BlockNo lies between 0 and the last block given; false when the walk met it before.
  bool Visit(std::int32_t BlockNo) {
    auto Mark = FMarks.Seen[static_cast<std::size_t>(BlockNo)];
    if (Mark) return false;
    Mark = true;
    FMarks.Passed.push_back(BlockNo);
    return true;
  }

 private:
  TVdbChainMarks& FMarks;
};

bool EndsText(std::uint8_t Char) {
  return Char == TVdbMemoFile::kEndOfText || Char == TVdbMemoFile::kCtrlZ;
}

// The bytes that end a stored text (0, 26) or change on the way out (CR, LF) all lie below 27: a
// text is scanned a word at a time for such a byte, the rest is copied as it is.
constexpr std::uint8_t kFirstPlainByte = 27;

bool WordHasControlByte(std::uint64_t Word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  return ((Word - kOnes * kFirstPlainByte) & ~Word & kHighBits) != 0;
}

// Position of the first byte below 27 in Text[Pos, Count), Count when there is none.
std::size_t FindControlByte(const std::uint8_t* Text, std::size_t Pos, std::size_t Count) {
  for (; Pos + sizeof(std::uint64_t) <= Count; Pos += sizeof(std::uint64_t)) {
    std::uint64_t Word;
    std::memcpy(&Word, Text + Pos, sizeof Word);
    if (WordHasControlByte(Word)) break;
  }
  for (; Pos < Count; ++Pos) {
    if (Text[Pos] < kFirstPlainByte) return Pos;
  }
  return Count;
}

bool ChangesOnReading(std::uint8_t Char) {
  return Char == TVdbMemoFile::kCR || Char == TVdbMemoFile::kLF;
}

// Position of the first byte of Text[Pos, Count) that ends the text or changes on reading, Count
// when there is none (other control characters are kept as they are).
std::size_t FindSpecialByte(const std::uint8_t* Text, std::size_t Pos, std::size_t Count) {
  Pos = FindControlByte(Text, Pos, Count);
  while (Pos < Count && !EndsText(Text[Pos]) && !ChangesOnReading(Text[Pos])) {
    Pos = FindControlByte(Text, Pos + 1, Count);
  }
  return Pos;
}

// Appends the text of one memo block to S as a reader sees it: CR as CR LF (one space with
// SingleLine), LF as one space, up to the end mark, no more than Limit characters in S. Answers
// true when the text goes on in the next block.
bool AppendBlockText(std::string& S, const std::uint8_t* Text, bool SingleLine,
                     std::size_t Limit) {
  constexpr auto kCount = static_cast<std::size_t>(TVdbMemoFile::kCharsPerBlock);
  std::size_t Pos = 0;
  while (true) {
    const std::size_t End = FindSpecialByte(Text, Pos, kCount);
    const std::size_t Room = Limit - std::min(S.size(), Limit);
    if (End - Pos > Room) {
      S.append(reinterpret_cast<const char*>(Text + Pos), Room);
      return false;
    }
    S.append(reinterpret_cast<const char*>(Text + Pos), End - Pos);
    if (End == kCount) return true;
    if (EndsText(Text[End]) || S.size() >= Limit) return false;
    if (Text[End] == TVdbMemoFile::kLF || SingleLine) {
      S += ' ';
    } else {
      S += '\r';
      if (S.size() < Limit) S += '\n';
    }
    Pos = End + 1;
  }
}

// Characters one memo block adds to its text as read (a CR counts two); Ended tells whether the
// end mark lies in this block.
std::int64_t BlockTextLength(const std::uint8_t* Text, bool& Ended) {
  constexpr auto kCount = static_cast<std::size_t>(TVdbMemoFile::kCharsPerBlock);
  std::int64_t Length = 0;
  std::size_t Pos = 0;
  while (true) {
    const std::size_t End = FindSpecialByte(Text, Pos, kCount);
    Length += static_cast<std::int64_t>(End - Pos);
    Ended = End < kCount && EndsText(Text[End]);
    if (End == kCount || Ended) return Length;
    Length += Text[End] == TVdbMemoFile::kCR ? 2 : 1;
    Pos = End + 1;
  }
}

}  // namespace

// --- TVdbBlockedBinaryFile -----------------------------------------------------------------------

TVdbBlockedBinaryFile::TVdbBlockedBinaryFile(std::unique_ptr<TVdbClientStorage> Storage,
                                             bool FixedBlockSize)
    : FStorage(std::move(Storage)),
      FBlockSize(FixedBlockSize ? kMemoBlockSize : kDefaultBlobBlockSize),
      FFixedBlockSize(FixedBlockSize) {
  if (!FStorage) throw EVdbPageManager("Creating blob file", "No client storage given");
  // The table's name: "Data" for "\dir\Data.vdbm" or "dir/Data.vdbm".
  const std::string FileName = kxExtractFileName(FStorage->GetName(), TkxPathForm::Any);
  FTableName = kxChangeFileExt(FileName, "", TkxPathForm::Any);
  ResizeBuffers();
}

TVdbBlockedBinaryFile::~TVdbBlockedBinaryFile() {
  try {
    Close();
  } catch (const std::exception&) {
    // Nothing to report from a destructor; the page manager cleans up the storage.
  }
}

void TVdbBlockedBinaryFile::ResizeBuffers() {
  FWorkBlock.assign(static_cast<std::size_t>(FBlockSize), 0);
  FTempBlock.assign(static_cast<std::size_t>(FBlockSize), 0);
}

// --- File life cycle ---

void TVdbBlockedBinaryFile::NewFile() {
  Close();
  FStorage->SetPageSize(FBlockSize);
  FStorage->NewStorage();
  FPage = FStorage->CreatePageSite();
  FDamaged = false;
  FBlockSizeUsable = true;
  ForgetFreeList();
  FNextBlock = 1;
  FLastBlock = 0;
  try {
    std::fill(FTempBlock.begin(), FTempBlock.end(), 0);
    WriteBlock(0, TempBlock());
    WriteHeader();
    // On disk at once, so that undoing the first changes keeps a sound file.
    FStorage->Flush();
  } catch (...) {
    Close();
    throw;
  }
}

void TVdbBlockedBinaryFile::Open(bool ReadOnly, bool Exclusive) {
  Close();
  FStorage->SetPageSize(FBlockSize);
  FStorage->Open(ReadOnly, Exclusive);
  try {
    FPage = FStorage->CreatePageSite();
    ForgetFreeList();
    // The file is judged afresh from its header.
    FDamaged = false;
    FBlockSizeUsable = true;
    ReadHeader(true);
  } catch (const EVdbPageManager&) {
    Close();
    Fail(kVdbErrFileRead);
  } catch (...) {
    Close();
    throw;
  }
}

void TVdbBlockedBinaryFile::Close() {
  FPage.reset();
  ForgetFreeList();
  FStorage->Close();
}

void TVdbBlockedBinaryFile::Flush() { FStorage->Flush(); }

void TVdbBlockedBinaryFile::Undo() {
  FStorage->Undo();
  ForgetFreeList();
  ReadHeader(false);
}

void TVdbBlockedBinaryFile::Update() {
  FStorage->Invalidate();
  ForgetFreeList();
  ReadHeader(false);
}

void TVdbBlockedBinaryFile::UpdateDir() { FStorage->UpdateDir(); }

void TVdbBlockedBinaryFile::Empty() {
  if (!IsOpen()) Fail(kVdbErrFileWrite);
  if (FStorage->GetReadOnly()) Fail(kVdbErrNoWriteAccess);
  if (!FBlockSizeUsable) {
    // A fresh file takes the size the pages are cut with.
    FBlockSize = FStorage->GetPageSize();
    FBlockSizeUsable = true;
    ResizeBuffers();
  }
  ForgetFreeList();
  FNextBlock = 1;
  FLastBlock = 0;
  std::fill(FTempBlock.begin(), FTempBlock.end(), 0);
  WriteBlock(0, TempBlock());
  WriteHeader();
  FPage->UnloadPage();
  FStorage->SetPageCount(1);
  FDamaged = false;
}

bool TVdbBlockedBinaryFile::IsOpen() const { return FStorage->IsOpen() && FPage != nullptr; }

std::int64_t TVdbBlockedBinaryFile::GetFileSize() const { return FStorage->GetSize(); }

// --- Settings ---

void TVdbBlockedBinaryFile::SetBlockSize(std::int32_t Value) {
  if (FFixedBlockSize) return;
  if (Value < kMinBlobBlockSize || Value > kMaxBlockSize ||
      VdbTilesPerUnit(Value, FStorage->TileSize()) == 0) {
    throw EVdbEngine(kVdbErrOutOfRange, std::to_string(Value));
  }
  if (IsOpen()) {
    throw EVdbEngine::CreateMsg(kVdbErrFileWrite, "The block size of an open blob file cannot change");
  }
  FBlockSize = Value;
  ResizeBuffers();
}

void TVdbBlockedBinaryFile::SetEncryption(std::shared_ptr<TVdbStorageCipher> Value) {
  FEncryption = std::move(Value);
}

void TVdbBlockedBinaryFile::Assign(const TVdbBlockedBinaryFile& Other) {
  FEncryption = Other.FEncryption;
  FFixedBlockSize = Other.FFixedBlockSize;
  FBlockSize = Other.FBlockSize;
  FBlockSizeUsable = Other.FBlockSizeUsable;
  FDamaged = Other.FDamaged;
  ResizeBuffers();
}

// --- Header ---

// At opening the header also gives the block size of a blob file. The file is damaged when it
// does not hold its last block in use or when the stored block size cannot be used.
void TVdbBlockedBinaryFile::ReadHeader(bool AtOpen) {
  if (!IsOpen()) Fail(kVdbErrFileRead);
  if (FStorage->GetPageCount() < 1) {
    FNextBlock = 1;
    FLastBlock = 0;
    FDamaged = true;
    return;
  }
  FPage->LoadPage(0);
  FNextBlock = FPage->ReadInt32(0);
  FLastBlock = FPage->ReadInt32(4);
  if (AtOpen && !FFixedBlockSize) {
    std::int32_t Stored = FPage->ReadInt32(8);
    if (Stored == 0) Stored = kZeroBlockSizeMeans;
    FBlockSizeUsable = Stored >= kMinBlobBlockSize && Stored <= kMaxBlockSize &&
                       VdbTilesPerUnit(Stored, FStorage->TileSize()) > 0;
    if (FBlockSizeUsable) {
      FBlockSize = Stored;
      ResizeBuffers();
    } else {
      FDamaged = true;
    }
  }
  if (AtOpen && FBlockSizeUsable && FStorage->GetPageSize() != FBlockSize) {
    FPage->UnloadPage();
    FStorage->SetPageSize(FBlockSize);
  }
  if (FLastBlock < 0 || static_cast<std::int64_t>(FLastBlock) + 1 > FStorage->GetPageCount()) {
    FDamaged = true;
  }
}

void TVdbBlockedBinaryFile::WriteHeader() {
  try {
    FPage->LoadPage(0);
    FPage->WriteInt32(0, FNextBlock);
    FPage->WriteInt32(4, FLastBlock);
    FPage->WriteInt32(8, FBlockSize);
  } catch (const EVdbPageManager&) {
    Fail(kVdbErrFileWrite);
  }
}

// --- Errors ---

void TVdbBlockedBinaryFile::Fail(std::int16_t Code) const {
  switch (Code) {
    case kVdbErrMemoDamaged:
    case kVdbErrBlobDamaged:
    case kVdbErrMemoBlobTooLarge:
      throw EVdbEngine(Code, FTableName);
    default:
      throw EVdbEngine(Code, FStorage->GetName());
  }
}

void TVdbBlockedBinaryFile::Damage(std::int16_t Code) {
  FDamaged = true;
  Fail(Code);
}

void TVdbBlockedBinaryFile::RecordFailure(std::int16_t Code, std::string Message) {
  FLastErrorCode = Code;
  FLastErrorMsg = std::move(Message);
  if (FLastErrorTarget != nullptr) {
    FLastErrorTarget->SetLastError(EVdbEngine::CreateMsg(Code, FLastErrorMsg));
  }
}

template <class F>
std::int32_t TVdbBlockedBinaryFile::Guarded(F&& Operation) {
  // The failure is the file's own last error first, and then the session's.
  TVdbLastError Failure;
  const std::int32_t Result = VdbGuarded(&Failure, [&]() -> std::int32_t {
    try {
      // Another client of the same storage may have written since this object last looked.
      ReadHeader(false);
    } catch (const EVdbPageManager&) {
      Fail(kVdbErrFileRead);
    }
    if (!FBlockSizeUsable) Fail(kVdbErrBlobDamaged);
    return Operation();
  });
  if (Failure.LastErrorCode() != 0) RecordFailure(Failure.LastErrorCode(), Failure.LastErrorMsg());
  return Result;
}

// --- Blocks ---

std::int32_t TVdbBlockedBinaryFile::NextOf(const std::uint8_t* Block) {
  return TkxMemory::ReadInt32(Block, 0);
}

void TVdbBlockedBinaryFile::SetNext(std::uint8_t* Block, std::int32_t Next) {
  TkxMemory::WriteInt32(Block, 0, Next);
}

const std::uint8_t* TVdbBlockedBinaryFile::BlockForReading(std::int32_t BlockNo) {
  if (BlockNo != 0 && FEncryption) {
    ReadBlock(BlockNo, WorkBlock());
    return WorkBlock();
  }
  try {
    FPage->LoadPage(BlockNo);
    return FPage->Memory();
  } catch (const EVdbPageManager&) {
    Fail(kVdbErrFileRead);
  }
}

void TVdbBlockedBinaryFile::ReadBlock(std::int32_t BlockNo, std::uint8_t* Buffer) {
  try {
    FPage->LoadPage(BlockNo);
    FPage->CopyTo(0, Buffer, FBlockSize, 0);
  } catch (const EVdbPageManager&) {
    Fail(kVdbErrFileRead);
  }
  if (BlockNo != 0 && FEncryption) {
    FEncryption->DecryptBlock(Buffer, static_cast<std::size_t>(FBlockSize));
  }
}

// The caller's buffer is encrypted for the copy and decrypted again afterwards.
void TVdbBlockedBinaryFile::WriteBlock(std::int32_t BlockNo, std::uint8_t* Buffer) {
  const bool Encrypt = BlockNo != 0 && FEncryption != nullptr;
  if (Encrypt) FEncryption->EncryptBlock(Buffer, static_cast<std::size_t>(FBlockSize));
  bool Failed = false;
  try {
    if (BlockNo >= FStorage->GetPageCount()) {
      FPage->InitPage(BlockNo);
    } else {
      FPage->LoadPage(BlockNo);
    }
    FPage->CopyFrom(Buffer, 0, FBlockSize, 0);
  } catch (const EVdbPageManager&) {
    Failed = true;
  }
  if (Encrypt) FEncryption->DecryptBlock(Buffer, static_cast<std::size_t>(FBlockSize));
  if (Failed) Fail(kVdbErrFileWrite);
}

std::int32_t TVdbBlockedBinaryFile::LastBlockInFile() const {
  return std::min(FLastBlock, FStorage->GetPageCount() - 1);
}

// --- Free list ---

bool TVdbBlockedBinaryFile::IsFreeBlock(std::int32_t BlockNo) const {
  return FFreeListValid && BlockNo >= 0 && static_cast<std::size_t>(BlockNo) < FFreeSet.size() &&
         FFreeSet[static_cast<std::size_t>(BlockNo)];
}

// A sound free list runs through distinct used blocks and ends with last block + 1. A first free
// block below 0 or above the last block means that the list is empty.
std::int64_t TVdbBlockedBinaryFile::FreeBlockCount() {
  if (FFreeListValid && FFreeHead == FNextBlock && FFreeLast == FLastBlock) return FFreeCount;
  ForgetFreeList();
  FFreeSet.assign(static_cast<std::size_t>(FLastBlock) + 1, false);
  std::int64_t Count = 0;
  std::int32_t Current = FNextBlock;
  if (Current == 0 || IsUsedBlock(Current)) {
    while (IsUsedBlock(Current) && !FFreeSet[static_cast<std::size_t>(Current)]) {
      FFreeSet[static_cast<std::size_t>(Current)] = true;
      ++Count;
      ReadBlock(Current, TempBlock());
      Current = NextOf(TempBlock());
    }
    if (Current != FLastBlock + 1) {
      FFreeSet.clear();
      FNextBlock = FLastBlock + 1;
      Damage(kVdbErrBlobDamaged);
    }
  }
  FFreeListValid = true;
  FFreeHead = FNextBlock;
  FFreeLast = FLastBlock;
  FFreeCount = Count;
  return Count;
}

void TVdbBlockedBinaryFile::FreeChain(const std::vector<std::int32_t>& Chain) {
  if (Chain.empty()) return;
  // An empty list ends at last block + 1 whatever marker the header had, so that allocation
  // finds the freed list sound.
  const bool ListEmpty = FNextBlock < 0 || FNextBlock > FLastBlock;
  const std::int32_t Tail = Chain.back();
  ReadBlock(Tail, TempBlock());
  SetNext(TempBlock(), ListEmpty ? FLastBlock + 1 : FNextBlock);
  WriteBlock(Tail, TempBlock());
  FNextBlock = Chain.front();
  for (const std::int32_t Block : Chain) FFreeSet[static_cast<std::size_t>(Block)] = true;
  FFreeCount += static_cast<std::int64_t>(Chain.size());
  FFreeHead = FNextBlock;
  WriteHeader();
}

std::int32_t TVdbBlockedBinaryFile::AllocateBlock(bool Last) {
  if (FNextBlock > kMaxBlockNo) Fail(kVdbErrMemoBlobTooLarge);
  std::int32_t Block;
  if (FNextBlock < 0 || FNextBlock > FLastBlock) {
    Block = FLastBlock + 1;
    if (Block > kMaxBlockNo) Fail(kVdbErrMemoBlobTooLarge);
    // Pre-linked to the block the next allocation takes.
    SetNext(WorkBlock(), Last ? kEndOfChain : Block + 1);
    WriteBlock(Block, WorkBlock());
    FLastBlock = Block;
    FNextBlock = Block + 1;
    if (FFreeListValid) FFreeSet.push_back(false);
  } else {
    Block = FNextBlock;
    ReadBlock(Block, TempBlock());
    const std::int32_t Successor = NextOf(TempBlock());
    if (FFreeListValid) FFreeSet[static_cast<std::size_t>(Block)] = false;
    // The successor must also agree with the checked list: a list changed behind this object's
    // back is broken as well.
    const bool Listed = !FFreeListValid || Successor == FLastBlock + 1 || IsFreeBlock(Successor);
    if (Successor <= 0 || Successor > FLastBlock + 1 || !Listed) {
      FNextBlock = FLastBlock + 1;
      ForgetFreeList();
      Damage(kVdbErrBlobDamaged);
    }
    SetNext(WorkBlock(), Last ? kEndOfChain : Successor);
    WriteBlock(Block, WorkBlock());
    FNextBlock = Successor;
    if (FFreeListValid) --FFreeCount;
  }
  FFreeHead = FNextBlock;
  FFreeLast = FLastBlock;
  return Block;
}

// --- Chains ---

void TVdbBlockedBinaryFile::RequireWritable() {
  if (!IsOpen()) Fail(kVdbErrFileWrite);
  if (FStorage->GetReadOnly()) Fail(kVdbErrNoWriteAccess);
  if (FDamaged) Fail(kVdbErrBlobDamaged);
}

std::vector<std::int32_t> TVdbBlockedBinaryFile::ChainToEnd(std::int32_t First,
                                                            std::int32_t Limit) {
  std::vector<std::int32_t> Chain;
  TChainGuard Guard;
  std::int32_t Current = First;
  while (true) {
    if (!IsUsedBlock(Current) || IsFreeBlock(Current) || !Guard.Visit(Current) ||
        static_cast<std::int64_t>(Chain.size()) >= Limit) {
      Damage(ChainDamageError());
    }
    Chain.push_back(Current);
    ReadBlock(Current, TempBlock());
    const std::int32_t Next = NextOf(TempBlock());
    if (Next == kEndOfChain) return Chain;
    Current = Next;
  }
}

std::vector<std::int32_t> TVdbBlockedBinaryFile::ValueChain(std::int32_t First) {
  if (FVersion >= 5) return ChainToEnd(First, FLastBlock);
  return OldLevelChain(First);
}

template <class FillChunk>
std::int32_t TVdbBlockedBinaryFile::ReplaceValue(std::int32_t OldFirst, std::int64_t Chunks,
                                                 FillChunk&& Fill) {
  RequireWritable();
  const std::int64_t FreeCount = FreeBlockCount();
  std::vector<std::int32_t> Old;
  if (OldFirst != 0) Old = ValueChain(OldFirst);

  // Room: blocks beyond the free ones and the old chain are appended.
  const std::int64_t Reusable = FreeCount + static_cast<std::int64_t>(Old.size());
  const std::int64_t Appended = std::max<std::int64_t>(0, Chunks - Reusable);
  if (Appended > 0) {
    // A first free block beyond 28 bits says that the file is full.
    const std::int64_t Terminal =
        (Reusable > 0 && FNextBlock <= kMaxBlockNo) ? FLastBlock + 1 : FNextBlock;
    if (Terminal > kMaxBlockNo || FLastBlock + Appended > kMaxBlockNo) Fail(kVdbErrMemoBlobTooLarge);
  }

  FreeChain(Old);
  std::int32_t First = 0;
  for (std::int64_t Chunk = 0; Chunk < Chunks; ++Chunk) {
    std::fill(FWorkBlock.begin(), FWorkBlock.end(), 0);
    Fill(Chunk);
    const std::int32_t Block = AllocateBlock(Chunk + 1 == Chunks);
    if (Chunk == 0) First = Block;
  }
  WriteHeader();
  return First;
}

// --- Values ---

std::int32_t TVdbBlockedBinaryFile::DeleteValue(std::int32_t BlockIdx) {
  return Guarded([&] { return ReplaceValue(BlockIdx, 0, [](std::int64_t) {}); });
}

std::int32_t TVdbBlockedBinaryFile::CopyFrom(TVdbBlockedBinaryFile& Source, std::int32_t BlockIdx) {
  std::string Value;
  const std::int32_t Result = Source.ReadString(BlockIdx, Value);
  if (Result < 0) {
    RecordFailure(Source.LastErrorCode(), Source.LastErrorMsg());
    return Result;
  }
  return WriteString(0, Value);
}

std::int32_t TVdbBlockedBinaryFile::CreateBlockList(std::vector<std::int32_t>& BlockList,
                                                    std::int32_t& CountBlocks,
                                                    std::int32_t& FirstFreeBlock) {
  return Guarded([&] {
    // Only blocks that the file holds: a damaged header may claim more.
    const std::int32_t Count = std::max(LastBlockInFile(), 0);
    BlockList.assign(static_cast<std::size_t>(Count) + 1, 0);
    BlockList[0] = FNextBlock;
    for (std::int32_t Block = 1; Block <= Count; ++Block) {
      ReadBlock(Block, TempBlock());
      BlockList[static_cast<std::size_t>(Block)] = NextOf(TempBlock());
    }
    CountBlocks = Count;
    FirstFreeBlock = FNextBlock;
    return 0;
  });
}

// --- TVdbMemoFile --------------------------------------------------------------------------------

TVdbMemoFile::TVdbMemoFile(std::unique_ptr<TVdbClientStorage> Storage)
    : TVdbBlockedBinaryFile(std::move(Storage), true) {}

// A memo reader ignores the top 4 bits of a next-block field; a full block must go on to a used
// block. Blocks are read in place from the cached pages.
template <class F>
void TVdbMemoFile::ForEachStoredBlock(std::int32_t BlockIdx, F&& Take) {
  if (BlockIdx == 0) return;
  // The reader holds the table's read lock: the file does not shrink under the walk.
  const std::int32_t LastUsed = LastBlockInFile();
  TVisitedBlocks Visited(FChainMarks, LastUsed);
  std::int32_t Current = BlockIdx;
  while (true) {
    if (Current < 1 || Current > LastUsed || !Visited.Visit(Current)) Damage(kVdbErrMemoDamaged);
    const std::uint8_t* Block = BlockForReading(Current);
    if (!Take(Block + 4)) return;
    Current = NextOf(Block) & kBlockNoMask;
  }
}

std::int32_t TVdbMemoFile::ReadMemo(std::int32_t BlockIdx, std::string& S, bool SingleLine,
                                    std::int32_t MaxLen) {
  S.clear();
  const std::size_t Limit =
      MaxLen < 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(MaxLen);
  const std::int32_t Result = Guarded([&] {
    ForEachStoredBlock(BlockIdx, [&](const std::uint8_t* Text) {
      return AppendBlockText(S, Text, SingleLine, Limit);
    });
    return 0;
  });
  if (Result < 0) S.clear();
  return Result;
}

std::int32_t TVdbMemoFile::ReadString(std::int32_t BlockIdx, std::string& S) {
  return ReadMemo(BlockIdx, S, false, -1);
}

std::int32_t TVdbMemoFile::CalcMemoLength(std::int32_t BlockIdx) {
  return Guarded([&] {
    std::int64_t Length = 0;
    ForEachStoredBlock(BlockIdx, [&](const std::uint8_t* Text) {
      bool Ended = false;
      Length += BlockTextLength(Text, Ended);
      return !Ended;
    });
    if (Length > std::numeric_limits<std::int32_t>::max()) Fail(kVdbErrMemoBlobTooLarge);
    return static_cast<std::int32_t>(Length);
  });
}

std::int32_t TVdbMemoFile::WriteString(std::int32_t BlockIdx, std::string_view S) {
  return Guarded([&] {
    std::string Stored;
    Stored.reserve(S.size() + 1);
    for (std::size_t I = 0; I < S.size(); ++I) {
      const auto Char = static_cast<std::uint8_t>(S[I]);
      if (EndsText(Char)) throw EVdbEngine(kVdbErrCharacterNotAllowed, "#" + std::to_string(Char));
      if (Char == kCR && I + 1 < S.size() && static_cast<std::uint8_t>(S[I + 1]) == kLF) ++I;
      Stored += static_cast<char>(Char == kLF ? kCR : Char);
    }
    if (Stored.empty()) return ReplaceValue(BlockIdx, 0, [](std::int64_t) {});
    Stored += static_cast<char>(kEndOfText);
    const auto Size = static_cast<std::int64_t>(Stored.size());
    const std::int64_t Chunks = (Size + kCharsPerBlock - 1) / kCharsPerBlock;
    return ReplaceValue(BlockIdx, Chunks, [&](std::int64_t Chunk) {
      const std::int64_t From = Chunk * kCharsPerBlock;
      const std::int64_t Count = std::min<std::int64_t>(kCharsPerBlock, Size - From);
      std::memcpy(WorkBlock() + 4, Stored.data() + From, static_cast<std::size_t>(Count));
    });
  });
}

// Old levels: a chain goes on while its blocks are full.
std::vector<std::int32_t> TVdbMemoFile::OldLevelChain(std::int32_t First) {
  std::vector<std::int32_t> Chain;
  TChainGuard Guard;
  std::int32_t Current = First;
  while (true) {
    if (!IsUsedBlock(Current) || IsFreeBlock(Current) || !Guard.Visit(Current)) {
      Damage(kVdbErrMemoDamaged);
    }
    Chain.push_back(Current);
    ReadBlock(Current, TempBlock());
    const std::uint8_t* Block = TempBlock();
    if (std::any_of(Block + 4, Block + kMemoBlockSize, EndsText)) return Chain;
    Current = NextOf(Block) & kBlockNoMask;
  }
}

// The free list and every value chain are followed through the successor table, each block
// marked with the number of its chain (-1 for the free list); value chains start at the blocks
// that no block names as its successor.
std::int32_t TVdbMemoFile::Check() {
  std::vector<std::int32_t> Next;
  std::int32_t Count = 0;
  std::int32_t FirstFree = 0;
  const std::int32_t Listed = CreateBlockList(Next, Count, FirstFree);
  if (Listed < 0) return Listed;
  const auto InFile = [Count](std::int32_t Block) { return Block >= 1 && Block <= Count; };
  std::vector<std::int32_t> Mark(static_cast<std::size_t>(Count) + 1, 0);
  const auto At = [](std::vector<std::int32_t>& V, std::int32_t Block) -> std::int32_t& {
    return V[static_cast<std::size_t>(Block)];
  };

  if (FirstFree == 0 || InFile(FirstFree)) {
    std::int32_t Current = FirstFree;
    while (InFile(Current)) {
      if (At(Mark, Current) != 0) return kCheckBrokenFreeList;
      At(Mark, Current) = -1;
      Current = At(Next, Current);
    }
    if (Current != Count + 1) return kCheckBrokenFreeList;
  }

  std::vector<std::int32_t> Predecessors(static_cast<std::size_t>(Count) + 1, 0);
  for (std::int32_t Block = 1; Block <= Count; ++Block) {
    if (At(Mark, Block) == 0 && InFile(At(Next, Block))) ++At(Predecessors, At(Next, Block));
  }
  for (std::int32_t Start = 1; Start <= Count; ++Start) {
    if (At(Mark, Start) != 0 || At(Predecessors, Start) != 0) continue;
    std::int32_t Current = Start;
    while (true) {
      if (At(Mark, Current) != 0)
        return At(Mark, Current) == Start ? kCheckLoop : kCheckSharedBlock;
      At(Mark, Current) = Start;
      const std::int32_t Following = At(Next, Current);
      if (Following == kEndOfChain) break;
      if (!InFile(Following)) return kCheckLeavesFile;
      Current = Following;
    }
  }
  // A block no chain reached lies on a circle without a start.
  for (std::int32_t Block = 1; Block <= Count; ++Block) {
    if (At(Mark, Block) == 0) return kCheckLoop;
  }
  return 0;
}

// --- TVdbBlobFile --------------------------------------------------------------------------------

TVdbBlobFile::TVdbBlobFile(std::unique_ptr<TVdbClientStorage> Storage, std::int32_t BlockSize)
    : TVdbBlockedBinaryFile(std::move(Storage), false) {
  if (BlockSize != kDefaultBlobBlockSize) SetBlockSize(BlockSize);
}

std::int64_t TVdbBlobFile::BlocksFor(std::int64_t Size) const {
  const std::int64_t First = BlockSize() - 8;
  if (Size <= First) return 1;
  return 1 + (Size - First + DataBytes() - 1) / DataBytes();
}

// The size in the first block (read into the work buffer); a size the used blocks cannot hold
// disagrees with the file.
std::int32_t TVdbBlobFile::StoredSize(std::int32_t First) {
  if (!IsUsedBlock(First)) Damage(kVdbErrBlobDamaged);
  ReadBlock(First, WorkBlock());
  const std::int32_t Size = TkxMemory::ReadInt32(WorkBlock(), 4);
  if (Size < 0 || BlocksFor(Size) > LastBlockInFile()) Damage(kVdbErrBlobDamaged);
  return Size;
}

std::int32_t TVdbBlobFile::ReadString(std::int32_t BlockIdx, std::string& S) {
  S.clear();
  const std::int32_t Result = Guarded([&] {
    if (BlockIdx == 0) return 0;
    const std::int32_t Size = StoredSize(BlockIdx);
    S.resize(static_cast<std::size_t>(Size));
    const std::int64_t Blocks = BlocksFor(Size);
    TChainGuard Guard;
    Guard.Visit(BlockIdx);
    std::int64_t Done = std::min<std::int64_t>(Size, BlockSize() - 8);
    std::memcpy(S.data(), WorkBlock() + 8, static_cast<std::size_t>(Done));
    for (std::int64_t Block = 1; Block < Blocks; ++Block) {
      const std::int32_t Next = NextOf(WorkBlock());
      if (!IsUsedBlock(Next) || !Guard.Visit(Next)) Damage(kVdbErrBlobDamaged);
      ReadBlock(Next, WorkBlock());
      const std::int64_t Count = std::min<std::int64_t>(Size - Done, DataBytes());
      std::memcpy(S.data() + Done, WorkBlock() + 4, static_cast<std::size_t>(Count));
      Done += Count;
    }
    // From level 5 on the block with the final byte ends the chain.
    if (Version() >= 5 && NextOf(WorkBlock()) != kEndOfChain) Damage(kVdbErrBlobDamaged);
    return 0;
  });
  if (Result < 0) S.clear();
  return Result;
}

std::int32_t TVdbBlobFile::WriteData(std::int32_t BlockIdx, const void* Data, std::int32_t Size) {
  return Guarded([&] {
    if (Size < 0 || (Size > 0 && Data == nullptr)) throw EVdbEngine(kVdbErrOutOfRange, std::to_string(Size));
    const auto* Bytes = static_cast<const std::uint8_t*>(Data);
    const std::int64_t First = BlockSize() - 8;
    return ReplaceValue(BlockIdx, BlocksFor(Size), [&](std::int64_t Chunk) {
      if (Chunk == 0) {
        TkxMemory::WriteInt32(WorkBlock(), 4, Size);
        const std::int64_t Count = std::min<std::int64_t>(Size, First);
        if (Count > 0) std::memcpy(WorkBlock() + 8, Bytes, static_cast<std::size_t>(Count));
        return;
      }
      const std::int64_t From = First + (Chunk - 1) * DataBytes();
      const std::int64_t Count = std::min<std::int64_t>(Size - From, DataBytes());
      std::memcpy(WorkBlock() + 4, Bytes + From, static_cast<std::size_t>(Count));
    });
  });
}

std::int32_t TVdbBlobFile::WriteString(std::int32_t BlockIdx, std::string_view S) {
  if (S.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    RecordFailure(kVdbErrMemoBlobTooLarge, EVdbEngine(kVdbErrMemoBlobTooLarge, TableName()).what());
    return -kVdbErrMemoBlobTooLarge;
  }
  return WriteData(BlockIdx, S.data(), static_cast<std::int32_t>(S.size()));
}

std::int32_t TVdbBlobFile::CalcBlobLength(std::int32_t BlockIdx) {
  return Guarded([&] { return BlockIdx == 0 ? 0 : StoredSize(BlockIdx); });
}

std::int32_t TVdbBlobFile::ReadBlobType(std::int32_t BlockIdx) {
  if (BlockIdx == 0) return 0;
  // The type is in the first block whenever it holds two data bytes; else read the value.
  if (BlockSize() - 8 >= 2) {
    return Guarded([&] {
      const std::int32_t Size = StoredSize(BlockIdx);
      return Size < 2 ? 0
                      : static_cast<std::int32_t>(TkxMemory::ReadInt16(WorkBlock(), 8)) & 0xFFFF;
    });
  }
  std::string Value;
  const std::int32_t Result = ReadString(BlockIdx, Value);
  if (Result < 0) return Result;
  if (Value.size() < 2) return 0;
  return static_cast<std::uint8_t>(Value[0]) | (static_cast<std::uint8_t>(Value[1]) << 8);
}

// Old levels: as many blocks as the stored size needs.
std::vector<std::int32_t> TVdbBlobFile::OldLevelChain(std::int32_t First) {
  const std::int64_t Blocks = BlocksFor(StoredSize(First));
  std::vector<std::int32_t> Chain;
  TChainGuard Guard;
  std::int32_t Current = First;
  for (std::int64_t Block = 0; Block < Blocks; ++Block) {
    if (!IsUsedBlock(Current) || IsFreeBlock(Current) || !Guard.Visit(Current)) {
      Damage(kVdbErrBlobDamaged);
    }
    Chain.push_back(Current);
    ReadBlock(Current, TempBlock());
    Current = NextOf(TempBlock());
  }
  return Chain;
}

}  // namespace vdb
