#include "table/VdbBTree.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/VdbErrors.h"
#include "storage/VdbPageMan.h"
#include "storage/kxFormat.h"
#include "storage/kxMemory.h"

namespace vdb {

namespace {

constexpr std::int32_t kMinPageSize = 256;
// Sequence numbers of larger trees are estimated from the root.
constexpr std::int32_t kExactSequencePages = 1000;

}  // namespace

TVdbBTree::TVdbBTree(TVdbClientStorage& Storage, std::int32_t Offset, std::int16_t Version,
                     std::int32_t KeySize)
    : TVdbTreeBase(Storage, Offset), FKeySize(KeySize), FVersion(Version) {
  SetLayout();
}

TVdbBTree::~TVdbBTree() = default;

std::unique_ptr<TVdbTreeBase> TVdbBTree::Clone(TVdbClientStorage& Storage) const {
  return std::make_unique<TVdbBTree>(Storage, FOffset, FVersion, FKeySize);
}

void TVdbBTree::SetLayout() {
  const bool Wide = FVersion >= 4;
  FChildSize = Wide ? 4 : 2;
  FItemCountOffset = Wide ? 4 : 2;
  FDataOffset = Wide ? 6 : 4;
  FHeightOffset = FOffset + (Wide ? 8 : 6);
  FPageCountOffset = FOffset + (Wide ? 10 : 8);
  FNextPageOffset = FOffset + 18;
  FItemSize = FKeySize + FChildSize;
}

std::int32_t TVdbBTree::GetItemCount() const {
  return static_cast<std::int32_t>(std::min<std::int64_t>(
      static_cast<std::int64_t>(FPageCount) * FPageCapacity, std::numeric_limits<std::int32_t>::max()));
}

std::int32_t TVdbBTree::CalcCapacity() const {
  return static_cast<std::int32_t>(std::min<std::int64_t>(
      static_cast<std::int64_t>(MaxPageNo()) * FPageCapacity, std::numeric_limits<std::int32_t>::max()));
}

void TVdbBTree::Damaged(const std::string& What) const {
  throw EVdbTreeError(kxFormat("B-tree of \"%s\" is damaged: %s", {FStorage->GetName(), What}));
}

void TVdbBTree::RequireOpen() const {
  if (!FOpen) throw EVdbTreeError(kxFormat("B-tree of \"%s\" is not open", {FStorage->GetName()}));
}

bool TVdbBTree::IsLess(const std::uint8_t* X, const std::uint8_t* Y) {
  bool NotUnique = false;
  const bool Result = Less(X, Y, NotUnique);
  if (NotUnique) FUnique = true;
  return Result;
}

// --- header -------------------------------------------------------------------------------------

void TVdbBTree::New(std::int32_t PageSize, TVdbItemLess LessFunc) {
  Close();
  FTreeError = kErrNone;
  SetLayout();
  const std::int32_t Order =
      FKeySize > 0 && PageSize >= kMinPageSize ? ((PageSize - FDataOffset) / FItemSize) / 2 : 0;
  if (PageSize < kMinPageSize || PageSize > MaxPageSize() || Order < 1) {
    FTreeError = kErrPageSize;
    throw EVdbTreeError(kxFormat("Page size %d cannot be used for a B-tree of %d-byte items",
                                 {PageSize, FKeySize}));
  }
  FPageSize = PageSize;
  FOrder = Order;
  FPageCapacity = 2 * Order;
  FHeight = 0;
  FPageCount = 0;
  FFreeHead = 0;
  FHeaderPage = FStorage->CreatePageSite();
  FHeaderPage->InitPage(0);
  WriteHeader();
  Open(std::move(LessFunc));
}

void TVdbBTree::Open(TVdbItemLess LessFunc) {
  Less = std::move(LessFunc);
  if (!FHeaderPage) FHeaderPage = FStorage->CreatePageSite();
  FWorkPage = FStorage->CreatePageSite();
  FHeaderPage->LoadPage(0);
  ReadHeader();
  FPath.clear();
  FPath.resize(kMaxLevels);
  FPathDepth = 0;
  FOpen = true;
}

void TVdbBTree::ReadHeader() {
  TVdbStoragePageSite& Header = *FHeaderPage;
  if (FOffset < 0 || FOffset + GetHeaderSize() > Header.GetPageSize()) Damaged("no room for the header");
  if (FVersion >= 4) {
    FPageSize = Header.ReadInt32(FOffset);
    FKeySize = Header.ReadInt16(FOffset + 4);
    FItemSize = Header.ReadInt16(FOffset + 6);
    FHeight = Header.ReadInt16(FOffset + 8);
    FPageCount = Header.ReadInt32(FOffset + 10);
    FOrder = Header.ReadInt16(FOffset + 14);
    FPageCapacity = Header.ReadInt16(FOffset + 16);
    FFreeHead = Header.ReadInt32(FOffset + 18);
  } else {
    FPageSize = static_cast<std::uint16_t>(Header.ReadInt16(FOffset));
    FKeySize = Header.ReadInt16(FOffset + 2);
    FItemSize = Header.ReadInt16(FOffset + 4);
    FHeight = Header.ReadInt16(FOffset + 6);
    FPageCount = Header.ReadInt16(FOffset + 8);
    FOrder = Header.ReadInt16(FOffset + 10);
    FPageCapacity = Header.ReadInt16(FOffset + 12);
    FFreeHead = 0;  // version 3 keeps it at the end of page 0, read when needed
  }
  if (FPageSize < kMinPageSize || FPageSize > MaxPageSize()) Damaged("page size out of range");
  if (FKeySize < 1 || FItemSize != FKeySize + FChildSize) Damaged("key or slot size wrong");
  if (FOrder < 1 || FPageCapacity != 2 * FOrder ||
      FDataOffset + static_cast<std::int64_t>(FPageCapacity) * FItemSize > FPageSize) {
    Damaged("order does not fit the page");
  }
  if (FHeight < 0 || FHeight > kMaxLevels) Damaged("height out of range");
  if (FPageCount < 0 || FPageCount > MaxPageNo() || (FHeight > 0 && FPageCount < 1)) {
    Damaged("page count out of range");
  }
  if (FFreeHead < 0 || FFreeHead > FPageCount) Damaged("free list head out of range");
  u.assign(static_cast<std::size_t>(FPageCapacity + 1) * FItemSize, 0);
  v.assign(static_cast<std::size_t>(FItemSize), 0);
  w.assign(static_cast<std::size_t>(FItemSize), 0);
}

void TVdbBTree::WriteHeader() {
  TVdbStoragePageSite& Header = *FHeaderPage;
  try {
    if (FVersion >= 4) {
      Header.WriteInt32(FOffset, FPageSize);
      Header.WriteInt16(FOffset + 4, static_cast<std::int16_t>(FKeySize));
      Header.WriteInt16(FOffset + 6, static_cast<std::int16_t>(FItemSize));
      Header.WriteInt16(FOffset + 8, static_cast<std::int16_t>(FHeight));
      Header.WriteInt32(FOffset + 10, FPageCount);
      Header.WriteInt16(FOffset + 14, static_cast<std::int16_t>(FOrder));
      Header.WriteInt16(FOffset + 16, static_cast<std::int16_t>(FPageCapacity));
      Header.WriteInt32(FOffset + 18, FFreeHead);
      Header.WriteInt16(FOffset + 22, 0);
    } else {
      Header.WriteInt16(FOffset, static_cast<std::int16_t>(FPageSize));
      Header.WriteInt16(FOffset + 2, static_cast<std::int16_t>(FKeySize));
      Header.WriteInt16(FOffset + 4, static_cast<std::int16_t>(FItemSize));
      Header.WriteInt16(FOffset + 6, static_cast<std::int16_t>(FHeight));
      Header.WriteInt16(FOffset + 8, static_cast<std::int16_t>(FPageCount));
      Header.WriteInt16(FOffset + 10, static_cast<std::int16_t>(FOrder));
      Header.WriteInt16(FOffset + 12, static_cast<std::int16_t>(FPageCapacity));
    }
  } catch (...) {
    FTreeError = kErrHeader;
    throw;
  }
}

// --- page access ----------------------------------------------------------------------------------

std::int32_t TVdbBTree::Count(TVdbStoragePageSite& Page) {
  const std::int32_t N = TkxMemory::ReadInt16(Page.Memory(), FItemCountOffset);
  if (N < 0 || N > FPageCapacity) {
    Damaged(kxFormat("page %d holds %d slots", {Page.GetPageNo(), N}));
  }
  return N;
}

void TVdbBTree::SetCount(TVdbStoragePageSite& Page, std::int32_t N) {
  Page.Modify();
  TkxMemory::WriteInt16(Page.Memory(), FItemCountOffset, static_cast<std::int16_t>(N));
}

std::int32_t TVdbBTree::Child(TVdbStoragePageSite& Page, std::int32_t K) {
  const std::int32_t Offset = K == 0 ? 0 : SlotOffset(K);
  return FChildSize == 4 ? TkxMemory::ReadInt32(Page.Memory(), Offset)
                         : TkxMemory::ReadInt16(Page.Memory(), Offset);
}

void TVdbBTree::SetChild(TVdbStoragePageSite& Page, std::int32_t K, std::int32_t PageNo) {
  const std::int32_t Offset = K == 0 ? 0 : SlotOffset(K);
  Page.Modify();
  if (FChildSize == 4) {
    TkxMemory::WriteInt32(Page.Memory(), Offset, PageNo);
  } else {
    TkxMemory::WriteInt16(Page.Memory(), Offset, static_cast<std::int16_t>(PageNo));
  }
}

std::uint8_t* TVdbBTree::Key(TVdbStoragePageSite& Page, std::int32_t K) {
  if (K < 1 || K > Count(Page)) Damaged(kxFormat("slot %d of page %d", {K, Page.GetPageNo()}));
  return Page.Memory() + SlotOffset(K) + FChildSize;
}

void TVdbBTree::CheckPageNo(std::int32_t PageNo) const {
  if (PageNo < 1 || PageNo > FPageCount) Damaged(kxFormat("page number %d out of range", {PageNo}));
}

TVdbStoragePageSite& TVdbBTree::PathSite(std::int32_t Level) {
  auto& Site = FPath[static_cast<std::size_t>(Level)].Site;
  if (!Site) Site = FStorage->CreatePageSite();
  return *Site;
}

void TVdbBTree::LoadLevel(std::int32_t Level, std::int32_t PageNo) {
  if (Level >= kMaxLevels || Level >= FHeight) Damaged("the path is deeper than the tree");
  CheckPageNo(PageNo);
  TVdbStoragePageSite& Site = PathSite(Level);
  try {
    Site.LoadPage(PageNo);
  } catch (const EVdbPageManager& Error) {
    FTreeError = kErrPageRead;
    throw EVdbTreeError(kxFormat("B-tree page %d cannot be read: %s", {PageNo, Error.what()}));
  }
  if (Site.GetPageSize() < FPageSize) Damaged("the storage pages are smaller than the tree's");
  FPath[static_cast<std::size_t>(Level)].PageNo = PageNo;
}

bool TVdbBTree::SearchPage(std::int32_t Level, const std::uint8_t* Item) {
  TVdbStoragePageSite& Page = PathSite(Level);
  const std::int32_t N = Count(Page);
  std::int32_t Lo = 0;
  std::int32_t Hi = N + 1;
  while (Lo + 1 < Hi) {
    const std::int32_t Mid = (Lo + Hi) / 2;
    if (IsLess(Item, Key(Page, Mid))) {
      Hi = Mid;
    } else {
      Lo = Mid;
    }
  }
  FPath[static_cast<std::size_t>(Level)].Index = Lo;
  return Lo > 0 && !IsLess(Key(Page, Lo), Item);
}

std::int32_t TVdbBTree::Search(const std::uint8_t* Item) {
  FUnique = false;
  FPathGeneration = FStorage->ChangeGeneration();
  std::int32_t PageNo = 1;
  for (std::int32_t Level = 0; Level < FHeight; ++Level) {
    LoadLevel(Level, PageNo);
    FPathDepth = Level + 1;
    if (SearchPage(Level, Item)) return Level;
    if (Level + 1 < FHeight) {
      PageNo = Child(PathSite(Level), FPath[static_cast<std::size_t>(Level)].Index);
    }
  }
  return -1;
}

bool TVdbBTree::FindInPathLeaf(const std::uint8_t* Item) {
  if (FHeight == 0 || FPathDepth != FHeight || FPathGeneration != FStorage->ChangeGeneration()) {
    return false;
  }
  FUnique = false;
  const std::int32_t Level = FHeight - 1;
  TVdbStoragePageSite& Leaf = PathSite(Level);
  const std::int32_t N = Count(Leaf);
  const std::int32_t At = FPath[static_cast<std::size_t>(Level)].Index;
  // Lo: a slot less than Item, Hi: one that is not. A step forward finds them at the path's slot
  // and the one after it.
  std::int32_t Lo = 1;
  if (At > 1 && At <= N && IsLess(Key(Leaf, At), Item)) {
    Lo = At;
  } else if (N < 2 || !IsLess(Key(Leaf, 1), Item)) {
    return false;
  }
  std::int32_t Hi = Lo + 1;
  if (Hi > N) return false;
  if (IsLess(Key(Leaf, Hi), Item)) {
    if (IsLess(Key(Leaf, N), Item)) return false;
    Lo = Hi;
    Hi = N;
    while (Lo + 1 < Hi) {
      const std::int32_t Mid = (Lo + Hi) / 2;
      if (IsLess(Key(Leaf, Mid), Item)) {
        Lo = Mid;
      } else {
        Hi = Mid;
      }
    }
  }
  FPath[static_cast<std::size_t>(Level)].Index = Hi;
  return true;
}

void TVdbBTree::DescendEdge(std::int32_t Level, bool Rightmost) {
  for (; Level < FHeight; ++Level) {
    TVdbStoragePageSite& Page = PathSite(Level);
    const std::int32_t N = Count(Page);
    FPathDepth = Level + 1;
    if (Level + 1 < FHeight) {
      const std::int32_t Index = Rightmost ? N : 0;
      FPath[static_cast<std::size_t>(Level)].Index = Index;
      LoadLevel(Level + 1, Child(Page, Index));
    } else {
      FPath[static_cast<std::size_t>(Level)].Index = Rightmost ? N : 1;
    }
  }
}

std::int16_t TVdbBTree::CopyOut(TVdbStoragePageSite& Page, std::int32_t K, std::uint8_t* Buffer,
                                std::int32_t Size) {
  if (Size < FKeySize) {
    throw EVdbTreeError(kxFormat("An item of %d bytes does not fit into a buffer of %d bytes",
                                 {FKeySize, Size}));
  }
  std::memmove(Buffer, Key(Page, K), static_cast<std::size_t>(FKeySize));
  FLastItemSize = FKeySize;
  return kFound;
}

std::int16_t TVdbBTree::CopyPathItem(std::uint8_t* Buffer, std::int32_t Size) {
  const std::int32_t Level = FPathDepth - 1;
  return CopyOut(PathSite(Level), FPath[static_cast<std::size_t>(Level)].Index, Buffer, Size);
}

// The path ends at slot Index of level Level (Index may be 0 in a leaf: before its first slot).
bool TVdbBTree::StepForward(std::int32_t Level) {
  const std::int32_t K = FPath[static_cast<std::size_t>(Level)].Index;
  if (Level < FHeight - 1) {
    LoadLevel(Level + 1, Child(PathSite(Level), K));
    DescendEdge(Level + 1, false);
    return true;
  }
  if (K < Count(PathSite(Level))) {
    FPath[static_cast<std::size_t>(Level)].Index = K + 1;
    FPathDepth = Level + 1;
    return true;
  }
  for (std::int32_t Up = Level - 1; Up >= 0; --Up) {
    const std::int32_t ChildIndex = FPath[static_cast<std::size_t>(Up)].Index;
    if (ChildIndex < Count(PathSite(Up))) {
      FPath[static_cast<std::size_t>(Up)].Index = ChildIndex + 1;
      FPathDepth = Up + 1;
      return true;
    }
  }
  return false;
}

bool TVdbBTree::StepBackward(std::int32_t Level) {
  const std::int32_t K = FPath[static_cast<std::size_t>(Level)].Index;
  if (Level < FHeight - 1) {
    FPath[static_cast<std::size_t>(Level)].Index = K - 1;
    LoadLevel(Level + 1, Child(PathSite(Level), K - 1));
    DescendEdge(Level + 1, true);
    return true;
  }
  if (K > 1) {
    FPath[static_cast<std::size_t>(Level)].Index = K - 1;
    FPathDepth = Level + 1;
    return true;
  }
  for (std::int32_t Up = Level - 1; Up >= 0; --Up) {
    if (FPath[static_cast<std::size_t>(Up)].Index > 0) {
      FPathDepth = Up + 1;
      return true;
    }
  }
  return false;
}

// A page of the search path that cannot be read ends the operation with the operation's own
// message.
template <class TOperation>
auto TVdbBTree::ReadingPath(const char* Failure, TOperation&& Operation) -> decltype(Operation()) {
  FTreeError = kErrNone;
  try {
    return Operation();
  } catch (const EVdbTreeError&) {
    if (FTreeError == kErrPageRead) throw EVdbTreeError(Failure);
    throw;
  }
}

// --- searches ---------------------------------------------------------------------------------------

std::int16_t TVdbBTree::Find(const std::uint8_t* Item, std::uint8_t* FoundItem,
                             std::int32_t FoundSize) {
  RequireOpen();
  if (FHeight == 0) return kNotInTree;
  std::int32_t Level;
  FTreeError = kErrNone;
  try {
    if (FindInPathLeaf(Item)) return CopyPathItem(FoundItem, FoundSize);
    Level = Search(Item);
  } catch (const EVdbTreeError&) {
    if (FTreeError == kErrPageRead) return kNotInTree;
    throw;
  }
  if (Level >= 0) return CopyPathItem(FoundItem, FoundSize);
  if (!StepForward(FHeight - 1)) return kNone;
  return CopyPathItem(FoundItem, FoundSize);
}

std::int16_t TVdbBTree::FindNext(const std::uint8_t* PrevItem, std::uint8_t* SuccItem,
                                 std::int32_t SuccSize) {
  RequireOpen();
  if (FHeight == 0) return kNone;
  return ReadingPath("FindNext", [&]() -> std::int16_t {
    const std::int32_t Level = Search(PrevItem);
    if (Level < 0) return kNotInTree;
    if (!StepForward(Level)) return kNone;
    return CopyPathItem(SuccItem, SuccSize);
  });
}

std::int16_t TVdbBTree::FindPrev(const std::uint8_t* Item, std::uint8_t* PrevItem,
                                 std::int32_t PrevSize) {
  RequireOpen();
  if (FHeight == 0) return kNone;
  return ReadingPath("FindPrev", [&]() -> std::int16_t {
    const std::int32_t Level = Search(Item);
    if (Level < 0) return kNotInTree;
    if (!StepBackward(Level)) return kNone;
    return CopyPathItem(PrevItem, PrevSize);
  });
}

std::int16_t TVdbBTree::FindFirst(std::uint8_t* Item, std::int32_t MaxSize) {
  RequireOpen();
  if (FHeight == 0) return kNone;
  return ReadingPath("FindFirst", [&] {
    FPathGeneration = FStorage->ChangeGeneration();
    LoadLevel(0, 1);
    DescendEdge(0, false);
    return CopyPathItem(Item, MaxSize);
  });
}

std::int16_t TVdbBTree::FindLast(std::uint8_t* Item, std::int32_t MaxSize) {
  RequireOpen();
  if (FHeight == 0) return kNone;
  return ReadingPath("FindLast", [&] {
    FPathGeneration = FStorage->ChangeGeneration();
    LoadLevel(0, 1);
    DescendEdge(0, true);
    return CopyPathItem(Item, MaxSize);
  });
}

bool TVdbBTree::Walk(std::int32_t PageNo, std::int32_t Depth, std::vector<bool>& Seen,
                     const std::function<bool(const std::uint8_t*)>& Visit) {
  if (Depth >= FHeight) Damaged("the tree is deeper than its height");
  CheckPageNo(PageNo);
  if (Seen[static_cast<std::size_t>(PageNo)]) Damaged(kxFormat("page %d met twice", {PageNo}));
  Seen[static_cast<std::size_t>(PageNo)] = true;
  // The walk loads its pages into the path's sites: the path no longer serves a search.
  FPathGeneration = 0;
  LoadLevel(Depth, PageNo);
  TVdbStoragePageSite& Page = PathSite(Depth);
  const std::int32_t N = Count(Page);
  const bool Leaf = Depth == FHeight - 1;
  if (!Leaf && !Walk(Child(Page, 0), Depth + 1, Seen, Visit)) return false;
  for (std::int32_t K = 1; K <= N; ++K) {
    if (!Visit(Key(Page, K))) return false;
    if (!Leaf && !Walk(Child(Page, K), Depth + 1, Seen, Visit)) return false;
  }
  return true;
}

std::int32_t TVdbBTree::CalcItemSequenceNo(const std::uint8_t* Item) {
  RequireOpen();
  if (FHeight == 0 || Search(Item) < 0) return 0;
  if (FPageCount > kExactSequencePages) {
    const std::int32_t K = FPath[0].Index;
    const std::int32_t N = std::max(Count(PathSite(0)), 1);
    return static_cast<std::int32_t>(
               std::lround(FPageCount * 1.5 * FOrder * K / static_cast<double>(N))) + 1;
  }
  std::int32_t Position = 0;
  bool Equal = false;
  std::vector<bool> Seen(static_cast<std::size_t>(FPageCount) + 1);
  Walk(1, 0, Seen, [&](const std::uint8_t* Slot) {
    ++Position;
    if (IsLess(Slot, Item)) return true;
    Equal = !IsLess(Item, Slot);
    return false;
  });
  FPathDepth = 0;
  return Equal ? Position : 0;
}

void TVdbBTree::Check(std::int32_t& ItemCount, std::int32_t& WrongSortCount) {
  RequireOpen();
  ItemCount = 0;
  WrongSortCount = 0;
  if (FHeight == 0) return;
  std::vector<bool> Seen(static_cast<std::size_t>(FPageCount) + 1);
  Walk(1, 0, Seen, [&](const std::uint8_t* Slot) {
    if (ItemCount > 0 && !IsLess(w.data(), Slot)) ++WrongSortCount;
    std::memcpy(w.data(), Slot, static_cast<std::size_t>(FKeySize));
    ++ItemCount;
    return true;
  });
  FPathDepth = 0;
}

// --- changes --------------------------------------------------------------------------------------

std::int32_t TVdbBTree::AllocatePage() {
  const bool HasFreeList = FVersion >= 3;
  std::int32_t Head = FFreeHead;
  if (FVersion == 3) Head = FHeaderPage->ReadInt16(FHeaderPage->GetPageSize() - 2);
  if (HasFreeList && Head != 0) {
    CheckPageNo(Head);
    // Every page the tree uses holds at least one slot and freeing a page empties it, so a
    // listed page with slots (or the root) is still in use: handing it out would overwrite it.
    if (Head == 1) Damaged("free list names the root");
    FWorkPage->LoadPage(Head);
    if (Count(*FWorkPage) != 0) Damaged(kxFormat("free list names page %d, which is in use", {Head}));
    const std::int32_t Next = -Child(*FWorkPage, 0);
    if (Next < 0 || Next > FPageCount || Next == Head) Damaged("free list broken");
    FWorkPage->UnloadPage();
    if (FVersion == 3) {
      FHeaderPage->WriteInt16(FHeaderPage->GetPageSize() - 2, static_cast<std::int16_t>(Next));
    } else {
      FFreeHead = Next;
    }
    WriteHeader();
    return Head;
  }
  if (FPageCount >= MaxPageNo()) throw EVdbEngine(kVdbErrCapacityReached, FStorage->GetName());
  ++FPageCount;
  WriteHeader();
  return FPageCount;
}

void TVdbBTree::FreePage(std::int32_t PageNo) {
  if (FVersion < 3) return;  // versions 1 and 2 keep no free list
  FWorkPage->LoadPage(PageNo);
  if (FVersion == 3) {
    const std::int32_t Head = FHeaderPage->ReadInt16(FHeaderPage->GetPageSize() - 2);
    SetChild(*FWorkPage, 0, -Head);
    FHeaderPage->WriteInt16(FHeaderPage->GetPageSize() - 2, static_cast<std::int16_t>(PageNo));
  } else {
    SetChild(*FWorkPage, 0, -FFreeHead);
    FFreeHead = PageNo;
    WriteHeader();
  }
  SetCount(*FWorkPage, 0);
  FWorkPage->UnloadPage();
}

void TVdbBTree::Insert(const std::uint8_t* Item, std::int32_t ItemSize) {
  RequireOpen();
  if (ItemSize > FKeySize) {
    throw EVdbTreeError(kxFormat("An item of %d bytes does not fit into a B-tree of %d-byte items",
                                 {ItemSize, FKeySize}));
  }
  FLastInsertAdded = false;
  std::fill(v.begin(), v.end(), 0);
  std::memcpy(v.data() + FChildSize, Item, static_cast<std::size_t>(std::max(ItemSize, 0)));
  if (FHeight == 0) {
    FHeight = 1;
    FPageCount = 1;
    FFreeHead = 0;
    if (FVersion == 3) FHeaderPage->WriteInt16(FHeaderPage->GetPageSize() - 2, 0);
    WriteHeader();
    TVdbStoragePageSite& Root = PathSite(0);
    ReadingPath("BTree error while inserting item in root page", [&] {
      try {
        Root.InitPage(1);
      } catch (const EVdbPageManager&) {
        FTreeError = kErrPageRead;
        throw EVdbTreeError("page 1 cannot be bound");
      }
      return 0;
    });
    FPath[0].PageNo = 1;
    SetChild(Root, 0, 0);
    SetCount(Root, 0);
    InsertSlot(0, 0, v.data());
    FLastInsertAdded = true;
    return;
  }
  const std::int32_t Found = ReadingPath("BTree error while searching start node for insertion",
                                         [&] { return Search(v.data() + FChildSize); });
  if (Found >= 0) return;  // already present
  InsertSlot(FHeight - 1, FPath[static_cast<std::size_t>(FHeight - 1)].Index, v.data());
  FLastInsertAdded = true;
}

// Puts Slot (child + key) after slot After of the path page at Level; a full page splits.
void TVdbBTree::InsertSlot(std::int32_t Level, std::int32_t After, const std::uint8_t* Slot) {
  TVdbStoragePageSite& Page = PathSite(Level);
  const std::int32_t N = Count(Page);
  const auto SlotBytes = static_cast<std::size_t>(FItemSize);
  if (N < FPageCapacity) {
    Page.Modify();
    std::uint8_t* Base = Page.Memory();
    std::memmove(Base + SlotOffset(After + 2), Base + SlotOffset(After + 1),
                 static_cast<std::size_t>(N - After) * SlotBytes);
    std::memcpy(Base + SlotOffset(After + 1), Slot, SlotBytes);
    SetCount(Page, N + 1);
    return;
  }
  // 2m + 1 slots in order: the first m stay, slot m + 1 goes up, the last m move right.
  std::uint8_t* All = u.data();
  const std::uint8_t* Base = Page.Memory();
  std::memcpy(All, Base + SlotOffset(1), static_cast<std::size_t>(After) * SlotBytes);
  std::memcpy(All + After * SlotBytes, Slot, SlotBytes);
  std::memcpy(All + (After + 1) * SlotBytes, Base + SlotOffset(After + 1),
              static_cast<std::size_t>(N - After) * SlotBytes);
  const std::int32_t M = FOrder;
  std::vector<std::uint8_t> Up(All + M * SlotBytes, All + (M + 1) * SlotBytes);
  const std::int32_t UpChild =
      FChildSize == 4 ? TkxMemory::ReadInt32(Up.data(), 0) : TkxMemory::ReadInt16(Up.data(), 0);

  const std::int32_t RightNo = AllocatePage();
  auto Right = FStorage->CreatePageSite();
  Right->InitPage(RightNo);
  SetChild(*Right, 0, UpChild);
  Right->CopyFrom(All, static_cast<std::int32_t>((M + 1) * SlotBytes),
                  static_cast<std::int32_t>(M * SlotBytes), SlotOffset(1));
  SetCount(*Right, M);
  if (FChildSize == 4) {
    TkxMemory::WriteInt32(Up.data(), 0, RightNo);
  } else {
    TkxMemory::WriteInt16(Up.data(), 0, static_cast<std::int16_t>(RightNo));
  }

  if (Level > 0) {
    Page.CopyFrom(All, 0, static_cast<std::int32_t>(M * SlotBytes), SlotOffset(1));
    SetCount(Page, M);
    InsertSlot(Level - 1, FPath[static_cast<std::size_t>(Level - 1)].Index, Up.data());
    return;
  }
  // The root stays page 1: its left half moves to a new page.
  const std::int32_t LeftNo = AllocatePage();
  auto Left = FStorage->CreatePageSite();
  Left->InitPage(LeftNo);
  SetChild(*Left, 0, Child(Page, 0));
  Left->CopyFrom(All, 0, static_cast<std::int32_t>(M * SlotBytes), SlotOffset(1));
  SetCount(*Left, M);
  SetChild(Page, 0, LeftNo);
  Page.CopyFrom(Up.data(), 0, FItemSize, SlotOffset(1));
  SetCount(Page, 1);
  ++FHeight;
  WriteHeader();
  FPathDepth = 0;
}

void TVdbBTree::RemoveSlot(TVdbStoragePageSite& Page, std::int32_t K) {
  const std::int32_t N = Count(Page);
  if (K < 1 || K > N) Damaged("slot to remove out of range");
  Page.Modify();
  std::uint8_t* Base = Page.Memory();
  std::memmove(Base + SlotOffset(K), Base + SlotOffset(K + 1),
               static_cast<std::size_t>(N - K) * static_cast<std::size_t>(FItemSize));
  SetCount(Page, N - 1);
}

bool TVdbBTree::Delete(const std::uint8_t* Key_) {
  RequireOpen();
  if (FHeight == 0) return false;
  const std::int32_t Level = Search(Key_);
  if (Level < 0) return false;
  const std::int32_t Leaf = FHeight - 1;
  if (Level < Leaf) {
    // The smallest item of the right subtree takes the slot's place and leaves its leaf.
    TVdbStoragePageSite& Inner = PathSite(Level);
    const std::int32_t K = FPath[static_cast<std::size_t>(Level)].Index;
    LoadLevel(Level + 1, Child(Inner, K));
    DescendEdge(Level + 1, false);
    std::uint8_t* Target = Key(PathSite(Level), K);
    PathSite(Level).Modify();
    std::memcpy(Target, Key(PathSite(Leaf), 1), static_cast<std::size_t>(FKeySize));
    FPath[static_cast<std::size_t>(Leaf)].Index = 1;
  }
  RemoveSlot(PathSite(Leaf), FPath[static_cast<std::size_t>(Leaf)].Index);
  FixUnderflow(Leaf);
  FPathDepth = 0;
  return true;
}

void TVdbBTree::FixUnderflow(std::int32_t Level) {
  const auto SlotBytes = static_cast<std::size_t>(FItemSize);
  while (Level > 0 && Count(PathSite(Level)) < FOrder) {
    TVdbStoragePageSite& Page = PathSite(Level);
    TVdbStoragePageSite& Parent = PathSite(Level - 1);
    const std::int32_t ChildIndex = FPath[static_cast<std::size_t>(Level - 1)].Index;
    const std::int32_t ParentCount = Count(Parent);
    if (ChildIndex > ParentCount || Child(Parent, ChildIndex) != FPath[static_cast<std::size_t>(Level)].PageNo) {
      Damaged("the search path does not match the parent page");
    }
    const bool RightSibling = ChildIndex == 0;
    if (RightSibling && ParentCount == 0) Damaged("inner page without slots");
    const std::int32_t Separator = RightSibling ? 1 : ChildIndex;
    const std::int32_t SiblingNo = Child(Parent, RightSibling ? 1 : ChildIndex - 1);
    CheckPageNo(SiblingNo);
    if (SiblingNo == Page.GetPageNo()) Damaged("two children on the same page");
    auto Sibling = FStorage->CreatePageSite();
    Sibling->LoadPage(SiblingNo);
    TVdbStoragePageSite& Left = RightSibling ? Page : *Sibling;
    TVdbStoragePageSite& Right = RightSibling ? *Sibling : Page;
    const std::int32_t NLeft = Count(Left);
    const std::int32_t NRight = Count(Right);
    // The separator as a slot whose child is the right page's leftmost child.
    std::memcpy(w.data() + FChildSize, Key(Parent, Separator), static_cast<std::size_t>(FKeySize));
    std::uint8_t* SepSlot = u.data();
    std::memcpy(SepSlot + FChildSize, w.data() + FChildSize, static_cast<std::size_t>(FKeySize));
    if (FChildSize == 4) {
      TkxMemory::WriteInt32(SepSlot, 0, Child(Right, 0));
    } else {
      TkxMemory::WriteInt16(SepSlot, 0, static_cast<std::int16_t>(Child(Right, 0)));
    }
    if (NLeft + NRight < FPageCapacity) {
      Left.CopyFrom(SepSlot, 0, FItemSize, SlotOffset(NLeft + 1));
      Left.CopyFrom(Right, SlotOffset(1), static_cast<std::int32_t>(NRight * SlotBytes),
                    SlotOffset(NLeft + 2));
      SetCount(Left, NLeft + 1 + NRight);
      const std::int32_t RightNo = Right.GetPageNo();
      RemoveSlot(Parent, Separator);
      Sibling.reset();
      FreePage(RightNo);
      --Level;
      continue;
    }
    if (RightSibling) {
      // Rotate left: the separator comes down to the end of the page, the sibling's first key
      // goes up.
      Left.CopyFrom(SepSlot, 0, FItemSize, SlotOffset(NLeft + 1));
      SetCount(Left, NLeft + 1);
      Parent.CopyFrom(Right, SlotOffset(1) + FChildSize, FKeySize, SlotOffset(Separator) + FChildSize);
      SetChild(Right, 0, Child(Right, 1));
      RemoveSlot(Right, 1);
    } else {
      // Rotate right: the separator comes down to the front of the page, the sibling's last key
      // goes up.
      Right.Modify();
      std::uint8_t* Base = Right.Memory();
      std::memmove(Base + SlotOffset(2), Base + SlotOffset(1),
                   static_cast<std::size_t>(NRight) * SlotBytes);
      std::memcpy(Base + SlotOffset(1) + FChildSize, w.data() + FChildSize,
                  static_cast<std::size_t>(FKeySize));
      SetChild(Right, 1, Child(Right, 0));
      SetCount(Right, NRight + 1);
      SetChild(Right, 0, Child(Left, NLeft));
      Parent.CopyFrom(Left, SlotOffset(NLeft) + FChildSize, FKeySize,
                      SlotOffset(Separator) + FChildSize);
      SetCount(Left, NLeft - 1);
    }
    return;
  }
  if (Level != 0 || Count(PathSite(0)) > 0) return;
  TVdbStoragePageSite& Root = PathSite(0);
  if (FHeight == 1) {
    Clear();
    return;
  }
  // The root's only child moves into page 1.
  const std::int32_t ChildNo = Child(Root, 0);
  CheckPageNo(ChildNo);
  for (std::int32_t L = 1; L < kMaxLevels; ++L) {
    if (FPath[static_cast<std::size_t>(L)].Site) FPath[static_cast<std::size_t>(L)].Site->UnloadPage();
  }
  FWorkPage->LoadPage(ChildNo);
  Root.CopyFrom(*FWorkPage, 0, FPageSize, 0);
  FWorkPage->UnloadPage();
  FreePage(ChildNo);
  --FHeight;
  WriteHeader();
}

void TVdbBTree::Clear() {
  RequireOpen();
  for (auto& Step : FPath) {
    if (Step.Site) Step.Site->UnloadPage();
  }
  FPathDepth = 0;
  FHeight = 0;
  FPageCount = 0;
  FFreeHead = 0;
  if (FVersion == 3) FHeaderPage->WriteInt16(FHeaderPage->GetPageSize() - 2, 0);
  WriteHeader();
}

// --- lifecycle --------------------------------------------------------------------------------------

void TVdbBTree::Preload() {
  RequireOpen();
  for (std::int32_t PageNo = 1; PageNo <= FPageCount; ++PageNo) FWorkPage->LoadPage(PageNo);
  FWorkPage->UnloadPage();
}

void TVdbBTree::Flush() {
  if (FStorage->GetReadOnly()) return;
  FStorage->Flush();
  if (FStorage->GetPageCount() != FPageCount + 1) {
    for (auto& Step : FPath) {
      if (Step.Site) Step.Site->UnloadPage();
    }
    FPathDepth = 0;
    FStorage->SetPageCount(FPageCount + 1);
    FStorage->Flush();
  }
}

void TVdbBTree::Undo() {
  for (auto& Step : FPath) {
    if (Step.Site) Step.Site->UnloadPage();
  }
  FPathDepth = 0;
  FStorage->Undo();
  if (FOpen) {
    FHeaderPage->LoadPage(0);
    ReadHeader();
  }
}

void TVdbBTree::Update() {
  for (auto& Step : FPath) {
    if (Step.Site) Step.Site->UnloadPage();
  }
  FPathDepth = 0;
  if (FHeaderPage) FHeaderPage->UnloadPage();
  FStorage->Invalidate();
  if (FOpen) {
    FHeaderPage->LoadPage(0);
    ReadHeader();
  }
}

void TVdbBTree::UpdateDir() { FStorage->UpdateDir(); }

void TVdbBTree::Close() {
  FPath.clear();
  FPathDepth = 0;
  FWorkPage.reset();
  FHeaderPage.reset();
  FOpen = false;
}

}  // namespace vdb
