#include "table/VdbBPlusTree.h"

#include <algorithm>
#include <cstring>

#include "storage/VdbPageMan.h"
#include "storage/kxFormat.h"
#include "storage/kxMemory.h"

namespace vdb {

namespace {

// Tree header fields, relative to the tree's offset.
constexpr std::int32_t kPageCountField = 0;
constexpr std::int32_t kHeightField = 4;
constexpr std::int32_t kRootField = 6;
constexpr std::int32_t kFreeHeadField = 10;
constexpr std::int32_t kPageSizeField = 14;
constexpr std::int32_t kItemCountField = 18;

// The largest page number a tree hands out.
constexpr std::int32_t kMaxPageNo = 1073741822;

}  // namespace

// --- TVdbBPlusPage ------------------------------------------------------------------------------

TVdbBPlusPage::TVdbBPlusPage(TVdbClientStorage& Storage, std::int32_t ItemOffset)
    : FStoragePage(Storage.CreatePageSite()), FItemOffset(ItemOffset) {}

TVdbBPlusPage::~TVdbBPlusPage() = default;

void TVdbBPlusPage::CreatePage(std::int32_t PageNo) {
  FStoragePage->InitPage(PageNo);
  FMemory = FStoragePage->Memory();
  FPageSize = FStoragePage->GetPageSize();
  InitializePage();
}

void TVdbBPlusPage::InitializePage() { SetCount(0); }

void TVdbBPlusPage::LoadPage(std::int32_t PageNo) {
  FStoragePage->LoadPage(PageNo);
  FMemory = FStoragePage->Memory();
  FPageSize = FStoragePage->GetPageSize();
  Count();
}

void TVdbBPlusPage::UnloadPage() {
  FStoragePage->UnloadPage();
  FMemory = nullptr;
}

bool TVdbBPlusPage::IsLoaded() const { return FStoragePage->IsBound() && FMemory != nullptr; }

std::int32_t TVdbBPlusPage::PageNo() const { return FStoragePage->GetPageNo(); }

void TVdbBPlusPage::Damaged(const char* What) {
  throw EVdbTreeError(kxFormat("Tree page %d is damaged: %s", {PageNo(), What}));
}

std::int32_t TVdbBPlusPage::Count() {
  const std::int32_t N = TkxMemory::ReadInt16(FMemory, FPageSize - 2);
  if (N < 0 || FItemOffset + 2 * N + 2 > FPageSize) Damaged("item count beyond the page");
  return N;
}

void TVdbBPlusPage::SetCount(std::int32_t Count) {
  FStoragePage->Modify();
  TkxMemory::WriteInt16(FMemory, FPageSize - 2, static_cast<std::int16_t>(Count));
}

std::int32_t TVdbBPlusPage::RawEndOffset(std::int32_t KeyIndex) {
  return TkxMemory::ReadUInt16(FMemory, FPageSize - 4 - 2 * KeyIndex);
}

void TVdbBPlusPage::SetEndOffset(std::int32_t KeyIndex, std::int32_t End) {
  TkxMemory::WriteUInt16(FMemory, FPageSize - 4 - 2 * KeyIndex, static_cast<std::uint16_t>(End));
}

std::int32_t TVdbBPlusPage::EndOffset() {
  const std::int32_t N = Count();
  return N == 0 ? FItemOffset : ItemEnd(N - 1);
}

std::int32_t TVdbBPlusPage::ItemStart(std::int32_t KeyIndex) {
  return KeyIndex == 0 ? FItemOffset : ItemEnd(KeyIndex - 1);
}

std::int32_t TVdbBPlusPage::ItemEnd(std::int32_t KeyIndex) {
  const std::int32_t N = Count();
  if (KeyIndex < 0 || KeyIndex >= N) Damaged("item index out of range");
  const std::int32_t End = RawEndOffset(KeyIndex);
  const std::int32_t Start = KeyIndex == 0 ? FItemOffset : RawEndOffset(KeyIndex - 1);
  if (Start < FItemOffset || End < Start || End > FPageSize - 2 - 2 * N) {
    Damaged("item offsets outside the page");
  }
  return End;
}

std::int32_t TVdbBPlusPage::GetKeySize(std::int32_t KeyIndex) {
  const std::int32_t End = ItemEnd(KeyIndex);
  const std::int32_t Size = End - ItemStart(KeyIndex);
  if (IsLeaf()) return Size;
  if (Size < 4) Damaged("separator without its child");
  return Size - 4;
}

const std::uint8_t* TVdbBPlusPage::ItemAddress(std::int32_t KeyIndex) {
  return FMemory + ItemStart(KeyIndex);
}

std::int32_t TVdbBPlusPage::GetItem(std::int32_t KeyIndex, std::uint8_t* Item,
                                    std::int32_t MaxItemSize) {
  const std::int32_t Size = GetKeySize(KeyIndex);
  if (Size > MaxItemSize) {
    throw EVdbTreeError(kxFormat("An item of %d bytes does not fit into a buffer of %d bytes",
                                 {Size, MaxItemSize}));
  }
  std::memmove(Item, ItemAddress(KeyIndex), static_cast<std::size_t>(Size));
  return Size;
}

bool TVdbBPlusPage::CanInsert(std::int32_t KeySize) {
  const std::int32_t Free = FPageSize - 2 * Count() - EndOffset() - 2;
  return Free >= KeySize + InsertOverhead();
}

void TVdbBPlusPage::InsertKey(std::int32_t KeyIndex, const std::uint8_t* Key,
                              std::int32_t KeySize, const std::uint8_t* Data,
                              std::int32_t DataSize) {
  const std::int32_t N = Count();
  const std::int32_t End = EndOffset();
  const std::int32_t Start = KeyIndex >= N ? End : ItemStart(KeyIndex);
  const std::int32_t Size = KeySize + DataSize;
  if (End + Size + 2 * (N + 1) + 2 > FPageSize) {
    throw EVdbTreeError(kxFormat("Page %d has no room for an item of %d bytes", {PageNo(), Size}));
  }
  FStoragePage->Modify();
  std::memmove(FMemory + Start + Size, FMemory + Start, static_cast<std::size_t>(End - Start));
  std::memcpy(FMemory + Start, Key, static_cast<std::size_t>(KeySize));
  if (DataSize > 0) std::memcpy(FMemory + Start + KeySize, Data, static_cast<std::size_t>(DataSize));
  for (std::int32_t J = N - 1; J >= KeyIndex; --J) SetEndOffset(J + 1, RawEndOffset(J) + Size);
  SetEndOffset(KeyIndex, Start + Size);
  SetCount(N + 1);
}

void TVdbBPlusPage::DeleteKey(std::int32_t KeyIndex) {
  const std::int32_t N = Count();
  const std::int32_t End = EndOffset();
  const std::int32_t Start = ItemStart(KeyIndex);
  const std::int32_t Size = ItemEnd(KeyIndex) - Start;
  FStoragePage->Modify();
  std::memmove(FMemory + Start, FMemory + Start + Size,
               static_cast<std::size_t>(End - Start - Size));
  for (std::int32_t J = KeyIndex + 1; J < N; ++J) SetEndOffset(J - 1, RawEndOffset(J) - Size);
  SetCount(N - 1);
}

void TVdbBPlusPage::Truncate(std::int32_t From) {
  if (From < Count()) SetCount(From);
}

void TVdbBPlusPage::AppendItems(TVdbBPlusPage& Source, std::int32_t From) {
  const std::int32_t SourceCount = Source.Count();
  if (From >= SourceCount) return;
  const std::int32_t N = Count();
  const std::int32_t End = EndOffset();
  const std::int32_t BlockStart = Source.ItemStart(From);
  const std::int32_t BlockSize = Source.EndOffset() - BlockStart;
  const std::int32_t Added = SourceCount - From;
  if (End + BlockSize + 2 * (N + Added) + 2 > FPageSize) {
    throw EVdbTreeError(kxFormat("Page %d has no room for %d items", {PageNo(), Added}));
  }
  FStoragePage->Modify();
  std::memcpy(FMemory + End, Source.FMemory + BlockStart, static_cast<std::size_t>(BlockSize));
  for (std::int32_t J = 0; J < Added; ++J) {
    SetEndOffset(N + J, Source.RawEndOffset(From + J) - BlockStart + End);
  }
  SetCount(N + Added);
}

std::int32_t TVdbBPlusPage::Fill() {
  return (EndOffset() + 2 * Count() + 2) * 100 / FPageSize;
}

TVdbBPlusInnerPage::TVdbBPlusInnerPage(TVdbClientStorage& Storage) : TVdbBPlusPage(Storage, 4) {}

std::int32_t TVdbBPlusInnerPage::GetChildPageNo(std::int32_t KeyIndex) {
  if (KeyIndex == 0) return TkxMemory::ReadInt32(FMemory, 0);
  GetKeySize(KeyIndex - 1);  // checks the separator holds its child
  return TkxMemory::ReadInt32(FMemory, ItemEnd(KeyIndex - 1) - 4);
}

void TVdbBPlusInnerPage::SetChildPageNo(std::int32_t PageNo) {
  FStoragePage->Modify();
  TkxMemory::WriteInt32(FMemory, 0, PageNo);
}

void TVdbBPlusInnerPage::SetRightChild(std::int32_t KeyIndex, std::int32_t PageNo) {
  GetKeySize(KeyIndex);
  FStoragePage->Modify();
  TkxMemory::WriteInt32(FMemory, ItemEnd(KeyIndex) - 4, PageNo);
}

bool TVdbBPlusInnerPage::CanMerge(std::int32_t ParentKeySize, TVdbBPlusPage& Right) {
  return FPageSize >= ParentKeySize + EndOffset() + Right.EndOffset() - 4 +
                          2 * (Count() + Right.Count()) + 8;
}

TVdbBPlusLeafPage::TVdbBPlusLeafPage(TVdbClientStorage& Storage) : TVdbBPlusPage(Storage, 8) {}

void TVdbBPlusLeafPage::InitializePage() {
  TVdbBPlusPage::InitializePage();
  SetPrevPage(0);
  SetNextPage(0);
}

std::int32_t TVdbBPlusLeafPage::PrevPage() { return TkxMemory::ReadInt32(FMemory, 0); }
std::int32_t TVdbBPlusLeafPage::NextPage() { return TkxMemory::ReadInt32(FMemory, 4); }

void TVdbBPlusLeafPage::SetPrevPage(std::int32_t PageNo) {
  FStoragePage->Modify();
  TkxMemory::WriteInt32(FMemory, 0, PageNo);
}

void TVdbBPlusLeafPage::SetNextPage(std::int32_t PageNo) {
  FStoragePage->Modify();
  TkxMemory::WriteInt32(FMemory, 4, PageNo);
}

bool TVdbBPlusLeafPage::CanMerge(TVdbBPlusPage& Right) {
  return FPageSize >= EndOffset() + Right.EndOffset() - 8 + 2 * (Count() + Right.Count()) + 2;
}

// --- TVdbBPlusTree: header and lifecycle -------------------------------------------------------

TVdbBPlusTree::TVdbBPlusTree(TVdbClientStorage& Storage, std::int32_t Offset)
    : TVdbTreeBase(Storage, Offset) {}

TVdbBPlusTree::~TVdbBPlusTree() = default;

std::unique_ptr<TVdbTreeBase> TVdbBPlusTree::Clone(TVdbClientStorage& Storage) const {
  return std::make_unique<TVdbBPlusTree>(Storage, FOffset);
}

void TVdbBPlusTree::Damaged(const std::string& What) const {
  throw EVdbTreeError(kxFormat("B+ tree of \"%s\" is damaged: %s", {FStorage->GetName(), What}));
}

void TVdbBPlusTree::RequireOpen() const {
  if (!FOpen) throw EVdbTreeError(kxFormat("B+ tree of \"%s\" is not open", {FStorage->GetName()}));
}

// Index pages are powers of two; anything else in a header is damage.
bool TVdbBPlusTree::UsablePageSize(std::int32_t PageSize) {
  return PageSize >= kMinPageSize && PageSize <= kMaxPageSize && (PageSize & (PageSize - 1)) == 0;
}

std::int32_t TVdbBPlusTree::MaxItemSize() const { return (FPageSize - 16) / 3 - 6; }

void TVdbBPlusTree::New(std::int32_t PageSize, TVdbItemLess Less) {
  FPathGeneration = 0;  // the path is moved or its pages change
  if (!UsablePageSize(PageSize)) {
    throw EVdbTreeError(kxFormat("Page size %d cannot be used for a B+ tree", {PageSize}));
  }
  Close();
  FHeaderPageSite = FStorage->CreatePageSite();
  FHeaderPageSite->InitPage(0);
  FPageCount = 1;
  FHeight = 0;
  FRoot = 0;
  FFreeHead = 0;
  FPageSize = PageSize;
  FItemCount = 0;
  WriteHeader();
  FStorage->Flush();
  Open(std::move(Less));
}

void TVdbBPlusTree::Open(TVdbItemLess Less) {
  FPathGeneration = 0;  // the path is moved or its pages change
  FOnIsLess = std::move(Less);
  FValueSize = 0;
  if (!FHeaderPageSite) FHeaderPageSite = FStorage->CreatePageSite();
  FWorkPageSite = FStorage->CreatePageSite();
  FHeaderPageSite->LoadPage(0);
  ReadHeader();
  FOpen = true;
}

void TVdbBPlusTree::ReadHeader() {
  TVdbStoragePageSite& Header = *FHeaderPageSite;
  if (FOffset < 0 || FOffset + kHeaderSize > Header.GetPageSize()) Damaged("no room for the header");
  FPageCount = Header.ReadInt32(FOffset + kPageCountField);
  FHeight = Header.ReadInt16(FOffset + kHeightField);
  FRoot = Header.ReadInt32(FOffset + kRootField);
  FFreeHead = Header.ReadInt32(FOffset + kFreeHeadField);
  FPageSize = Header.ReadInt32(FOffset + kPageSizeField);
  FItemCount = Header.ReadInt32(FOffset + kItemCountField);
  if (!UsablePageSize(FPageSize)) Damaged("page size out of range");
  if (FPageCount < 1 || FPageCount > kMaxPageNo) Damaged("page count out of range");
  if (FHeight < 0 || FHeight > kMaxHeight) Damaged("height out of range");
  if (FHeight > 0 && (FRoot < 1 || FRoot >= FPageCount)) Damaged("root page out of range");
  if (FFreeHead < 0 || FFreeHead >= FPageCount) Damaged("free list head out of range");
  SetCompareReadLimit(FReadLimit > 0 ? FReadLimit : MaxItemSize());
}

void TVdbBPlusTree::SetCompareReadLimit(std::int32_t Bytes) {
  FReadLimit = std::max(Bytes, 1);
  FCompareBuffer.assign(2 * static_cast<std::size_t>(FReadLimit), 0);
}

void TVdbBPlusTree::WriteHeader() {
  TVdbStoragePageSite& Header = *FHeaderPageSite;
  Header.WriteInt32(FOffset + kPageCountField, FPageCount);
  Header.WriteInt16(FOffset + kHeightField, static_cast<std::int16_t>(FHeight));
  Header.WriteInt32(FOffset + kRootField, FRoot);
  Header.WriteInt32(FOffset + kFreeHeadField, FFreeHead);
  Header.WriteInt32(FOffset + kPageSizeField, FPageSize);
  Header.WriteInt32(FOffset + kItemCountField, FItemCount);
}

void TVdbBPlusTree::UnloadPages() {
  FPages.clear();
  FPath.clear();
  if (FWorkPageSite) FWorkPageSite->UnloadPage();
}

void TVdbBPlusTree::Preload() {
  RequireOpen();
  for (std::int32_t PageNo = 1; PageNo < FPageCount; ++PageNo) FWorkPageSite->LoadPage(PageNo);
  FWorkPageSite->UnloadPage();
}

void TVdbBPlusTree::Flush() {
  if (FStorage->GetReadOnly()) return;
  FStorage->Flush();
}

void TVdbBPlusTree::Undo() {
  FPathGeneration = 0;  // the path is moved or its pages change
  UnloadPages();
  FStorage->Undo();
  if (FOpen) {
    FHeaderPageSite->LoadPage(0);
    ReadHeader();
  }
}

void TVdbBPlusTree::Update() {
  FPathGeneration = 0;  // the path is moved or its pages change
  UnloadPages();
  if (FHeaderPageSite) FHeaderPageSite->UnloadPage();
  FStorage->Invalidate();
  if (FOpen) {
    FHeaderPageSite->LoadPage(0);
    ReadHeader();
  }
}

void TVdbBPlusTree::UpdateDir() { FStorage->UpdateDir(); }

void TVdbBPlusTree::Close() {
  FPathGeneration = 0;  // the path is moved or its pages change
  UnloadPages();
  FWorkPageSite.reset();
  FHeaderPageSite.reset();
  FOpen = false;
}

void TVdbBPlusTree::Clear() {
  FPathGeneration = 0;  // the path is moved or its pages change
  RequireOpen();
  UnloadPages();
  FHeight = 0;
  FRoot = 1;
  FFreeHead = 0;
  FPageCount = 1;
  FItemCount = 0;
  WriteHeader();
  FStorage->SetPageCount(1);
}

// --- comparison and descent ----------------------------------------------------------------------

bool TVdbBPlusTree::IsLess(const std::uint8_t* X, const std::uint8_t* Y) {
  bool NotUnique = false;
  return FOnIsLess(X, Y, NotUnique);
}

// An item near the end of its page is compared through a copy, so that a comparison reading up to
// the read limit never leaves the page.
const std::uint8_t* TVdbBPlusTree::Comparable(TVdbBPlusPage& Page, std::int32_t KeyIndex) {
  const std::int32_t Start = Page.ItemStart(KeyIndex);
  if (Start + FReadLimit <= Page.PageSize()) return Page.ItemAddress(KeyIndex);
  const std::size_t Half = FCompareBuffer.size() / 2;
  // Alternate halves: both sides of one comparison may need a copy.
  FCompareUpperHalf = !FCompareUpperHalf;
  std::uint8_t* Buffer = FCompareBuffer.data() + (FCompareUpperHalf ? Half : 0);
  const std::size_t Size = std::min<std::size_t>(
      static_cast<std::size_t>(Page.ItemEnd(KeyIndex) - Start), Half);
  std::memcpy(Buffer, Page.ItemAddress(KeyIndex), Size);
  return Buffer;
}

bool TVdbBPlusTree::IsLessAt(const std::uint8_t* X, TVdbBPlusPage& Page, std::int32_t KeyIndex) {
  return IsLess(X, Comparable(Page, KeyIndex));
}

bool TVdbBPlusTree::IsLessThanItem(TVdbBPlusPage& Page, std::int32_t KeyIndex,
                                   const std::uint8_t* Y) {
  return IsLess(Comparable(Page, KeyIndex), Y);
}

std::int32_t TVdbBPlusTree::FirstNotLess(TVdbBPlusPage& Page, std::int32_t Lo, std::int32_t Hi,
                                          const std::uint8_t* Item) {
  while (Lo + 1 < Hi) {
    const std::int32_t Mid = (Lo + Hi) / 2;
    if (IsLessThanItem(Page, Mid, Item)) {
      Lo = Mid;
    } else {
      Hi = Mid;
    }
  }
  return Hi;
}

std::int32_t TVdbBPlusTree::SearchPage(TVdbBPlusPage& Page, const std::uint8_t* Item) {
  std::int32_t Lo = -1;
  std::int32_t Hi = Page.Count();
  while (Lo + 1 < Hi) {
    const std::int32_t Mid = (Lo + Hi) / 2;
    if (IsLessAt(Item, Page, Mid)) {
      Hi = Mid;
    } else {
      Lo = Mid;
    }
  }
  return Hi;
}

std::unique_ptr<TVdbBPlusPage> TVdbBPlusTree::MakePage(bool Leaf) {
  if (Leaf) return std::make_unique<TVdbBPlusLeafPage>(*FStorage);
  return std::make_unique<TVdbBPlusInnerPage>(*FStorage);
}

// Keeps one page object per level, the last one a leaf.
TVdbBPlusPage& TVdbBPlusTree::PageAt(std::int32_t Level) {
  if (static_cast<std::int32_t>(FPages.size()) != FHeight) {
    FPages.resize(static_cast<std::size_t>(FHeight));
    FPath.resize(static_cast<std::size_t>(FHeight));
  }
  auto& Page = FPages[static_cast<std::size_t>(Level)];
  const bool Leaf = Level == FHeight - 1;
  if (!Page || Page->IsLeaf() != Leaf) Page = MakePage(Leaf);
  return *Page;
}

TVdbBPlusInnerPage& TVdbBPlusTree::InnerAt(std::int32_t Level) {
  return static_cast<TVdbBPlusInnerPage&>(PageAt(Level));
}

TVdbBPlusLeafPage& TVdbBPlusTree::LeafAt(std::int32_t Level) {
  return static_cast<TVdbBPlusLeafPage&>(PageAt(Level));
}

void TVdbBPlusTree::CheckChildPageNo(std::int32_t PageNo) const {
  if (PageNo < 1 || PageNo >= FPageCount) {
    Damaged(kxFormat("page number %d out of range", {PageNo}));
  }
}

void TVdbBPlusTree::LoadLevel(std::int32_t Level, std::int32_t PageNo) {
  CheckChildPageNo(PageNo);
  PageAt(Level).LoadPage(PageNo);
  FPath[static_cast<std::size_t>(Level)].PageNo = PageNo;
}

TVdbBPlusLeafPage& TVdbBPlusTree::Descend(const std::uint8_t* Item) {
  FPathGeneration = FStorage->ChangeGeneration();
  std::int32_t PageNo = FRoot;
  for (std::int32_t Level = 0; Level < FHeight; ++Level) {
    LoadLevel(Level, PageNo);
    TVdbBPlusPage& Page = PageAt(Level);
    const std::int32_t R = SearchPage(Page, Item);
    FPath[static_cast<std::size_t>(Level)].ChildIndex = R;
    if (Level + 1 < FHeight) PageNo = InnerAt(Level).GetChildPageNo(R);
  }
  return LeafAt(FHeight - 1);
}

bool TVdbBPlusTree::FindInPathLeaf(const std::uint8_t* Item, std::int32_t& Index) {
  if (FHeight == 0 || FPathGeneration != FStorage->ChangeGeneration()) return false;
  TVdbBPlusLeafPage& Leaf = LeafAt(FHeight - 1);
  if (Leaf.PageNo() != FPath.back().PageNo) return false;
  const std::int32_t N = Leaf.Count();
  const std::int32_t At = FPath.back().ChildIndex;
  // Lo: an item less than Item, Hi: one that is not. A step forward finds them at the last
  // answer and the item after it.
  std::int32_t Lo = 0;
  if (At > 0 && At < N && IsLessThanItem(Leaf, At, Item)) {
    Lo = At;
  } else if (N < 2 || !IsLessThanItem(Leaf, 0, Item)) {
    return false;
  }
  std::int32_t Hi = Lo + 1;
  if (Hi >= N) return false;
  if (IsLessThanItem(Leaf, Hi, Item)) {
    if (IsLessThanItem(Leaf, N - 1, Item)) return false;
    Hi = FirstNotLess(Leaf, Hi, N - 1, Item);
  }
  Index = Hi;
  return true;
}

void TVdbBPlusTree::DescendEdge(std::int32_t Level, bool Rightmost) {
  for (; Level < FHeight; ++Level) {
    TVdbBPlusPage& Page = PageAt(Level);
    const std::int32_t Index = Rightmost ? Page.Count() : 0;
    FPath[static_cast<std::size_t>(Level)].ChildIndex = Index;
    if (Level + 1 < FHeight) LoadLevel(Level + 1, InnerAt(Level).GetChildPageNo(Index));
  }
}

bool TVdbBPlusTree::StepLeaf(bool Forward) {
  for (std::int32_t Level = FHeight - 2; Level >= 0; --Level) {
    TVdbBPlusInnerPage& Parent = InnerAt(Level);
    std::int32_t& Index = FPath[static_cast<std::size_t>(Level)].ChildIndex;
    if (Forward ? Index < Parent.Count() : Index > 0) {
      Index += Forward ? 1 : -1;
      LoadLevel(Level + 1, Parent.GetChildPageNo(Index));
      DescendEdge(Level + 1, !Forward);
      return true;
    }
  }
  return false;
}

std::int16_t TVdbBPlusTree::CopyOut(TVdbBPlusPage& Page, std::int32_t KeyIndex,
                                    std::uint8_t* Buffer, std::int32_t Size) {
  FLastItemSize = Page.GetItem(KeyIndex, Buffer, Size);
  return kFound;
}

// Empty leaves are passed over; the walk is bounded by the page count.
std::int16_t TVdbBPlusTree::CopyFromPosition(std::int32_t R, std::uint8_t* Buffer,
                                             std::int32_t Size) {
  for (std::int32_t Budget = StepBudget(); Budget > 0; --Budget) {
    TVdbBPlusLeafPage& Leaf = LeafAt(FHeight - 1);
    if (R < Leaf.Count()) return CopyOut(Leaf, R, Buffer, Size);
    if (!StepLeaf(true)) return kNone;
    R = 0;
  }
  Damaged("the leaves do not end");
}

std::int16_t TVdbBPlusTree::CopyBeforePosition(std::int32_t R, std::uint8_t* Buffer,
                                               std::int32_t Size) {
  for (std::int32_t Budget = StepBudget(); Budget > 0; --Budget) {
    TVdbBPlusLeafPage& Leaf = LeafAt(FHeight - 1);
    if (R > 0) return CopyOut(Leaf, std::min(R, Leaf.Count()) - 1, Buffer, Size);
    if (!StepLeaf(false)) return kNone;
    R = LeafAt(FHeight - 1).Count();
  }
  Damaged("the leaves do not end");
}

// --- searches -------------------------------------------------------------------------------------

std::int16_t TVdbBPlusTree::Find(const std::uint8_t* Item, std::uint8_t* FoundItem,
                                 std::int32_t FoundSize) {
  RequireOpen();
  if (FHeight == 0) return kNone;
  std::int32_t Index = 0;
  if (FindInPathLeaf(Item, Index)) {
    // The leaf's position now names the answer: the next step's search starts there.
    FPath.back().ChildIndex = Index;
    return CopyOut(LeafAt(FHeight - 1), Index, FoundItem, FoundSize);
  }
  TVdbBPlusLeafPage& Leaf = Descend(Item);
  const std::int32_t R = FPath.back().ChildIndex;
  if (R > 0 && !IsLessThanItem(Leaf, R - 1, Item)) return CopyOut(Leaf, R - 1, FoundItem, FoundSize);
  return CopyFromPosition(R, FoundItem, FoundSize);
}

std::int16_t TVdbBPlusTree::FindNext(const std::uint8_t* PrevItem, std::uint8_t* SuccItem,
                                     std::int32_t SuccSize) {
  RequireOpen();
  if (FHeight == 0) return kNone;
  TVdbBPlusLeafPage& Leaf = Descend(PrevItem);
  const std::int32_t R = FPath.back().ChildIndex;
  if (R == 0 || IsLessThanItem(Leaf, R - 1, PrevItem)) return kNotInTree;
  return CopyFromPosition(R, SuccItem, SuccSize);
}

std::int16_t TVdbBPlusTree::FindPrev(const std::uint8_t* Item, std::uint8_t* PrevItem,
                                     std::int32_t PrevSize) {
  RequireOpen();
  if (FHeight == 0) return kNone;
  TVdbBPlusLeafPage& Leaf = Descend(Item);
  const std::int32_t R = FPath.back().ChildIndex;
  if (R == 0 || IsLessThanItem(Leaf, R - 1, Item)) return kNotInTree;
  return CopyBeforePosition(R - 1, PrevItem, PrevSize);
}

std::int16_t TVdbBPlusTree::FindFirst(std::uint8_t* Item, std::int32_t MaxSize) {
  RequireOpen();
  if (FHeight == 0) return kNone;
  FPathGeneration = FStorage->ChangeGeneration();
  LoadLevel(0, FRoot);
  DescendEdge(0, false);
  return CopyFromPosition(0, Item, MaxSize);
}

std::int16_t TVdbBPlusTree::FindLast(std::uint8_t* Item, std::int32_t MaxSize) {
  RequireOpen();
  if (FHeight == 0) return kNone;
  FPathGeneration = FStorage->ChangeGeneration();
  LoadLevel(0, FRoot);
  DescendEdge(0, true);
  return CopyBeforePosition(LeafAt(FHeight - 1).Count(), Item, MaxSize);
}

// Counts along the leaf chain; a leaf whose last item is still less than Item is counted whole.
std::int32_t TVdbBPlusTree::CalcItemSequenceNo(const std::uint8_t* Item) {
  FPathGeneration = 0;  // the path is moved or its pages change
  RequireOpen();
  if (FHeight == 0) return 0;
  LoadLevel(0, FRoot);
  DescendEdge(0, false);
  TVdbBPlusLeafPage& Leaf = LeafAt(FHeight - 1);
  std::int32_t Count = 0;
  for (std::int32_t Budget = StepBudget(); Budget > 0; --Budget) {
    const std::int32_t N = Leaf.Count();
    if (N > 0 && !IsLessThanItem(Leaf, N - 1, Item)) {
      const std::int32_t Hi = FirstNotLess(Leaf, -1, N - 1, Item);
      return IsLessAt(Item, Leaf, Hi) ? 0 : Count + Hi + 1;
    }
    Count += N;
    const std::int32_t Next = Leaf.NextPage();
    if (Next == 0) return 0;
    CheckChildPageNo(Next);
    Leaf.LoadPage(Next);
    FPath.back().PageNo = Next;
  }
  Damaged("the leaf chain does not end");
}

std::vector<std::int32_t> TVdbBPlusTree::LeafPages() {
  FPathGeneration = 0;  // the path is moved or its pages change
  RequireOpen();
  std::vector<std::int32_t> Pages;
  if (FHeight == 0) return Pages;
  LoadLevel(0, FRoot);
  DescendEdge(0, false);
  TVdbBPlusLeafPage& Leaf = LeafAt(FHeight - 1);
  for (std::int32_t Budget = StepBudget(); Budget > 0; --Budget) {
    Pages.push_back(Leaf.PageNo());
    const std::int32_t Next = Leaf.NextPage();
    if (Next == 0) return Pages;
    CheckChildPageNo(Next);
    Leaf.LoadPage(Next);
    FPath.back().PageNo = Next;
  }
  Damaged("the leaf chain does not end");
}

void TVdbBPlusTree::Check(std::int32_t& ItemCount, std::int32_t& WrongSortCount) {
  FPathGeneration = 0;  // the path is moved or its pages change
  RequireOpen();
  ItemCount = 0;
  WrongSortCount = 0;
  if (FHeight == 0) return;
  std::vector<std::uint8_t> Previous(FCompareBuffer.size() / 2 + 1);
  bool HasPrevious = false;
  for (const std::int32_t PageNo : LeafPages()) {
    TVdbBPlusLeafPage& Leaf = LeafAt(FHeight - 1);
    Leaf.LoadPage(PageNo);
    const std::int32_t N = Leaf.Count();
    for (std::int32_t K = 0; K < N; ++K) {
      if (HasPrevious && !IsLess(Previous.data(), Comparable(Leaf, K))) ++WrongSortCount;
      const std::int32_t Size =
          std::min<std::int32_t>(Leaf.GetKeySize(K), static_cast<std::int32_t>(Previous.size()));
      std::memcpy(Previous.data(), Leaf.ItemAddress(K), static_cast<std::size_t>(Size));
      HasPrevious = true;
      ++ItemCount;
    }
  }
}

// --- changes --------------------------------------------------------------------------------------

std::int32_t TVdbBPlusTree::AllocatePage() {
  if (FPageCount >= kMaxPageNo) {
    throw EVdbTreeError(kxFormat("The B+ tree of \"%s\" has reached its largest page number",
                                 {FStorage->GetName()}));
  }
  const std::int32_t PageNo = FPageCount++;
  WriteHeader();
  return PageNo;
}

// The last page is cut off the file; any other goes on the freed-page list.
void TVdbBPlusTree::FreePage(std::int32_t PageNo) {
  if (PageNo == FPageCount - 1) {
    --FPageCount;
    WriteHeader();
    FWorkPageSite->UnloadPage();
    FStorage->SetPageCount(FPageCount);
    return;
  }
  FWorkPageSite->LoadPage(PageNo);
  FWorkPageSite->WriteInt32(0, FFreeHead);
  FWorkPageSite->UnloadPage();
  FFreeHead = PageNo;
  WriteHeader();
}

void TVdbBPlusTree::Insert(const std::uint8_t* Item, std::int32_t ItemSize) {
  FPathGeneration = 0;  // the path is moved or its pages change
  RequireOpen();
  FLastInsertAdded = false;
  if (ItemSize <= 0 || ItemSize > MaxItemSize()) {
    throw EVdbTreeError(kxFormat("An item of %d bytes does not fit into the B+ tree of \"%s\"",
                                 {ItemSize, FStorage->GetName()}));
  }
  if (FHeight == 0) {
    const std::int32_t PageNo = AllocatePage();
    FHeight = 1;
    FRoot = PageNo;
    LeafAt(0).CreatePage(PageNo);
    FPath[0] = {PageNo, 0};
    LeafAt(0).InsertKey(0, Item, ItemSize);
  } else {
    Descend(Item);
    InsertAt(FHeight - 1, FPath.back().ChildIndex, Item, ItemSize, nullptr, 0);
  }
  ++FItemCount;
  WriteHeader();
  FLastInsertAdded = true;
}

void TVdbBPlusTree::InsertAt(std::int32_t Level, std::int32_t KeyIndex, const std::uint8_t* Key,
                             std::int32_t KeySize, const std::uint8_t* Data,
                             std::int32_t DataSize) {
  if (PageAt(Level).CanInsert(KeySize)) {
    PageAt(Level).InsertKey(KeyIndex, Key, KeySize, Data, DataSize);
    return;
  }
  // The key may lie in a page that the split changes: keep a copy.
  std::vector<std::uint8_t> Pending(Key, Key + KeySize);
  std::unique_ptr<TVdbBPlusPage> Right;
  Split(Level, KeyIndex, Right);
  TVdbBPlusPage& Target = Right ? *Right : PageAt(Level);
  if (!Target.CanInsert(KeySize)) {
    throw EVdbTreeError(kxFormat("A split of page %d left no room for an item of %d bytes",
                                 {Target.PageNo(), KeySize}));
  }
  Target.InsertKey(KeyIndex, Pending.data(), KeySize, Data, DataSize);
}

void TVdbBPlusTree::NewRoot() {
  const std::int32_t PageNo = AllocatePage();
  auto Root = std::make_unique<TVdbBPlusInnerPage>(*FStorage);
  Root->CreatePage(PageNo);
  Root->SetChildPageNo(FRoot);
  FPages.insert(FPages.begin(), std::move(Root));
  FPath.insert(FPath.begin(), TPathStep{PageNo, 0});
  FRoot = PageNo;
  ++FHeight;
  WriteHeader();
}

void TVdbBPlusTree::Split(std::int32_t& Level, std::int32_t& KeyIndex,
                          std::unique_ptr<TVdbBPlusPage>& Target) {
  if (Level == 0) {
    NewRoot();
    Level = 1;
  }
  TVdbBPlusPage& Page = PageAt(Level);
  const bool Leaf = Page.IsLeaf();
  const std::int32_t N = Page.Count();
  if (N < 2) Damaged(kxFormat("page %d is too full to split", {Page.PageNo()}));
  const std::int32_t RightNo = AllocatePage();

  // The split point: the first item that ends in the second half of the used bytes.
  const std::int32_t Half = (Page.EndOffset() + Page.ItemOffset()) / 2;
  std::int32_t J = 1;
  while (J < N && Page.ItemEnd(J - 1) < Half) ++J;
  std::int32_t S = KeyIndex == J ? KeyIndex : J - 1;
  S = std::clamp(S, Leaf ? 1 : 0, N - 1);

  // The separator goes up first; the parent may split on the way.
  const std::int32_t SeparatorSize = Page.GetKeySize(S);
  std::vector<std::uint8_t> Separator(Page.ItemAddress(S), Page.ItemAddress(S) + SeparatorSize);
  std::uint8_t Child[4];
  TkxMemory::WriteInt32(Child, 0, RightNo);
  const std::int32_t HeightBefore = FHeight;
  InsertAt(Level - 1, FPath[static_cast<std::size_t>(Level - 1)].ChildIndex, Separator.data(),
           SeparatorSize, Child, 4);
  Level += FHeight - HeightBefore;

  TVdbBPlusPage& Left = PageAt(Level);
  Target = MakePage(Leaf);
  Target->CreatePage(RightNo);
  if (Leaf) {
    auto& LeftLeaf = static_cast<TVdbBPlusLeafPage&>(Left);
    auto& RightLeaf = static_cast<TVdbBPlusLeafPage&>(*Target);
    Target->AppendItems(Left, S);
    const std::int32_t OldNext = LeftLeaf.NextPage();
    RightLeaf.SetPrevPage(LeftLeaf.PageNo());
    RightLeaf.SetNextPage(OldNext);
    if (OldNext != 0) {
      CheckChildPageNo(OldNext);
      TVdbBPlusLeafPage NextLeaf(*FStorage);
      NextLeaf.LoadPage(OldNext);
      NextLeaf.SetPrevPage(RightNo);
    }
    LeftLeaf.SetNextPage(RightNo);
    Left.Truncate(S);
  } else {
    auto& LeftInner = static_cast<TVdbBPlusInnerPage&>(Left);
    static_cast<TVdbBPlusInnerPage&>(*Target).SetChildPageNo(LeftInner.GetChildPageNo(S + 1));
    Target->AppendItems(Left, S + 1);
    Left.Truncate(S);
  }
  const std::int32_t Moved = Leaf ? S : S + 1;
  if (KeyIndex > S) {
    KeyIndex -= Moved;
  } else {
    Target.reset();
  }
}

bool TVdbBPlusTree::Delete(const std::uint8_t* Key) {
  FPathGeneration = 0;  // the path is moved or its pages change
  RequireOpen();
  if (FHeight == 0) return false;
  TVdbBPlusLeafPage& Leaf = Descend(Key);
  const std::int32_t R = FPath.back().ChildIndex;
  if (R == 0 || IsLessThanItem(Leaf, R - 1, Key)) return false;
  Leaf.DeleteKey(R - 1);
  --FItemCount;
  WriteHeader();
  if (Leaf.Fill() < 30) Rebalance(FHeight - 1);
  return true;
}

void TVdbBPlusTree::Rebalance(std::int32_t Level) {
  if (Level == 0) {
    if (PageAt(0).Count() > 0) return;
    const std::int32_t OldRoot = FRoot;
    if (FHeight == 1) {
      UnloadPages();
      FHeight = 0;
      FRoot = 0;
    } else {
      FRoot = InnerAt(0).GetChildPageNo(0);
      CheckChildPageNo(FRoot);
      FPages.erase(FPages.begin());
      FPath.erase(FPath.begin());
      --FHeight;
    }
    WriteHeader();
    FreePage(OldRoot);
    return;
  }
  TVdbBPlusInnerPage& Parent = InnerAt(Level - 1);
  std::int32_t& Index = FPath[static_cast<std::size_t>(Level - 1)].ChildIndex;
  const std::int32_t N = Parent.Count();
  if (Index > N || Parent.GetChildPageNo(Index) != FPath[static_cast<std::size_t>(Level)].PageNo) {
    Damaged("the search path does not match the parent page");
  }
  bool Merged = Index < N && TryMerge(Level, Index);
  if (!Merged && Index > 0) Merged = TryMerge(Level, Index - 1);
  if (Merged && InnerAt(Level - 1).Fill() < 50) Rebalance(Level - 1);
}

bool TVdbBPlusTree::TryMerge(std::int32_t Level, std::int32_t LeftIndex) {
  TVdbBPlusInnerPage& Parent = InnerAt(Level - 1);
  const bool Leaf = Level == FHeight - 1;
  const std::int32_t LeftNo = Parent.GetChildPageNo(LeftIndex);
  const std::int32_t RightNo = Parent.GetChildPageNo(LeftIndex + 1);
  CheckChildPageNo(LeftNo);
  CheckChildPageNo(RightNo);
  if (LeftNo == RightNo) Damaged("two children on the same page");
  auto Left = MakePage(Leaf);
  auto Right = MakePage(Leaf);
  Left->LoadPage(LeftNo);
  Right->LoadPage(RightNo);
  const std::int32_t SeparatorSize = Parent.GetKeySize(LeftIndex);
  if (Leaf) {
    auto& LeftLeaf = static_cast<TVdbBPlusLeafPage&>(*Left);
    auto& RightLeaf = static_cast<TVdbBPlusLeafPage&>(*Right);
    if (!LeftLeaf.CanMerge(*Right)) return false;
    Left->AppendItems(*Right, 0);
    const std::int32_t Next = RightLeaf.NextPage();
    LeftLeaf.SetNextPage(Next);
    // The leaf after the merged pair points back at the page that holds its neighbours now.
    if (Next != 0) {
      CheckChildPageNo(Next);
      TVdbBPlusLeafPage NextLeaf(*FStorage);
      NextLeaf.LoadPage(Next);
      NextLeaf.SetPrevPage(LeftNo);
    }
  } else {
    auto& LeftInner = static_cast<TVdbBPlusInnerPage&>(*Left);
    auto& RightInner = static_cast<TVdbBPlusInnerPage&>(*Right);
    if (!LeftInner.CanMerge(SeparatorSize, *Right)) return false;
    std::uint8_t Child[4];
    TkxMemory::WriteInt32(Child, 0, RightInner.GetChildPageNo(0));
    Left->InsertKey(Left->Count(), Parent.ItemAddress(LeftIndex), SeparatorSize, Child, 4);
    Left->AppendItems(*Right, 0);
  }
  Parent.DeleteKey(LeftIndex);
  Left.reset();
  Right.reset();
  // Pages at this level and below may be bound to the freed page.
  FPages.resize(static_cast<std::size_t>(Level));
  FPages.resize(static_cast<std::size_t>(FHeight));
  FreePage(RightNo);
  return true;
}

}  // namespace vdb
