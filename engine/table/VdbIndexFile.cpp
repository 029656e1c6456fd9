#include "table/VdbIndexFile.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "base/VdbErrors.h"
#include "base/VdbLastError.h"
#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"
#include "storage/kxPath.h"
#include "table/VdbBPlusTree.h"
#include "table/VdbBTree.h"

namespace vdb {

namespace {

constexpr std::int32_t kHeaderProbePageSize = 4096;
constexpr std::int32_t kProgressStep = 1000;

std::size_t MaxLevels(std::int16_t Version) { return Version <= 3 ? 10 : 256; }

}  // namespace

TVdbIndexFile::TVdbIndexFile(TVdbLastError* Services, std::unique_ptr<TVdbClientStorage> Storage,
                             std::int16_t Version)
    : FStorage(std::move(Storage)), FVersion(Version), FServices(Services) {}

TVdbIndexFile::~TVdbIndexFile() {
  FPageSite.reset();
  BTree.reset();
  if (FStorage) {
    try {
      FStorage->Close();
    } catch (...) {
      // Destruction must not throw; Close reports its own failures.
    }
  }
}

std::unique_ptr<TVdbIndexFile> TVdbIndexFile::CreateCopy(const TVdbIndexFile& IndexFile,
                                                         std::unique_ptr<TVdbClientStorage> Storage) {
  auto Copy = std::make_unique<TVdbIndexFile>(IndexFile.FServices, std::move(Storage),
                                              IndexFile.FVersion);
  Copy->FName = IndexFile.FName;
  Copy->FFileName = IndexFile.FFileName;
  Copy->FReadOnly = IndexFile.FReadOnly;
  Copy->FExclusive = IndexFile.FExclusive;
  Copy->FKind = IndexFile.FKind;
  Copy->FIsPrimary = IndexFile.FIsPrimary;
  Copy->FIndexDef = IndexFile.FIndexDef;
  Copy->FCompareFunction = IndexFile.FCompareFunction;
  Copy->FOnError = IndexFile.FOnError;
  if (IndexFile.FIsOpen) Copy->Open();
  return Copy;
}

std::int16_t TVdbIndexFile::Fail(std::int16_t Code, const std::string& Argument,
                                 const std::exception* Cause) {
  FLastFailure = kxFormatOrBare(VdbErrorFormat(Code), {Argument});
  if (Cause != nullptr) FLastFailure += std::string(": ") + Cause->what();
  if (FOnError) FOnError(Code, Argument);
  return static_cast<std::int16_t>(-Code);
}

std::int16_t TVdbIndexFile::ReadFailure(const std::exception& Cause) {
  return Fail(kVdbErrIndexRead, FName, &Cause);
}

std::int16_t TVdbIndexFile::WriteFailure(const std::exception& Cause) {
  return Fail(kVdbErrIndexWrite, FName, &Cause);
}

template <class TOperation>
auto TVdbIndexFile::Reading(TOperation&& Operation) -> decltype(Operation()) {
  try {
    RequireOpen();
    return Operation();
  } catch (const std::exception& Error) {
    return ReadFailure(Error);
  }
}

void TVdbIndexFile::RequireOpen() const {
  if (!FIsOpen || !BTree) throw EVdbTreeError(kxFormat("Index \"%s\" is not open", {FName}));
}

// A read-only view must not change the pages other views share.
void TVdbIndexFile::RequireWritable() const {
  RequireOpen();
  if (FReadOnly) throw EVdbEngine::CreateMsg(kVdbErrIndexWrite, kxFormat("Index \"%s\" is open read-only", {FName}));
}

std::int16_t TVdbIndexFile::SetIndexDefinition(const TVdbIndexHeaderDef& IndexDef) {
  if (IndexDef.Levels.size() > MaxLevels(FVersion)) return -kVdbErrTooManyIndexLevels;
  FIndexDef = IndexDef;
  return 0;
}

bool TVdbIndexFile::UsesBPlusTree(std::int16_t Version) const {
  return Version >= 6 && FIndexDef.VariableSize;
}

// --- creating and opening ----------------------------------------------------------------------

void TVdbIndexFile::CreateTree(std::uint32_t Magic, std::int16_t Version) {
  if (Magic == kVdbBPlusIndexMagic) {
    BTree = std::make_unique<TVdbBPlusTree>(*FStorage, 6);
  } else if (Magic == kVdbBTreeIndexMagic) {
    BTree = std::make_unique<TVdbBTree>(*FStorage, 6, Version, FIndexDef.ItemSize);
  } else {
    BTree = std::make_unique<TVdbBTree>(*FStorage, 0, Version, FIndexDef.ItemSize);
  }
}

std::int16_t TVdbIndexFile::NewStorage(std::int16_t Version, std::int32_t PageSize) {
  try {
    if (FIsOpen) Close();
    FVersion = Version;
    FLastFailure.clear();
    if (FIndexDef.ItemSize < 5) {
      throw EVdbTreeError(kxFormat("Item size %d is too small", {FIndexDef.ItemSize}));
    }
    const bool BPlus = UsesBPlusTree(Version);
    // B+ page offsets are 16-bit: a page cannot be larger than they address.
    if (BPlus) PageSize = std::min(PageSize, TVdbBPlusTree::kMaxPageSize);
    FStorage->SetName(FFileName);
    FStorage->SetPageSize(PageSize);
    FStorage->NewStorage();
    FPageSite = FStorage->CreatePageSite();
    FPageSite->InitPage(0);
    const std::vector<std::uint8_t> Zeros(static_cast<std::size_t>(PageSize), 0);
    FPageSite->CopyFrom(Zeros.data(), 0, PageSize, 0);
    std::uint32_t Magic = 0;
    if (BPlus) {
      Magic = kVdbBPlusIndexMagic;
    } else if (Version > 3) {
      Magic = kVdbBTreeIndexMagic;
    }
    if (Magic != 0) {
      FPageSite->WriteInt32(0, static_cast<std::int32_t>(Magic));
      FPageSite->WriteInt16(4, Version);
    }
    CreateTree(Magic, std::clamp<std::int16_t>(Version, 1, 6));
    BTree->New(PageSize, [this](const std::uint8_t* X, const std::uint8_t* Y, bool& Unique) {
      return FCompareFunction(X, Y, Unique);
    });
    if (BPlus) {
      auto& Tree = static_cast<TVdbBPlusTree&>(*BTree);
      if (FIndexDef.ItemSize > Tree.MaxItemSize()) {
        throw EVdbTreeError(kxFormat("Items of %d bytes do not fit pages of %d bytes",
                                     {FIndexDef.ItemSize, PageSize}));
      }
      Tree.SetCompareReadLimit(FIndexDef.ItemSize);
    }
    ComputeOffsets();
    WriteIndexHeader();
    SetItemCount(0);
    FIsOpen = true;
    FIsLost = false;
    return 0;
  } catch (const std::exception& Error) {
    DropStorage();
    return Fail(kVdbErrIndexInsert, FName, &Error);
  }
}

// After a failed create or open: the tree and the storage are let go; the failure itself is
// what gets reported.
void TVdbIndexFile::DropStorage() {
  BTree.reset();
  FPageSite.reset();
  try {
    FStorage->Close();
  } catch (...) {
  }
}

std::int16_t TVdbIndexFile::Open() {
  FLastFailure.clear();
  if (FIsOpen) Close();
  if (!FStorage->FileSystem()->FileExists(FFileName)) {
    FIsLost = true;
    return Fail(kVdbErrFileNotFoundOrDenied, FFileName, nullptr);
  }
  try {
    FStorage->SetName(FFileName);
    FStorage->Open(FReadOnly, FExclusive);
    FStorage->SetPageSize(kHeaderProbePageSize);
    FPageSite = FStorage->CreatePageSite();
    FPageSite->LoadPage(0);
    const auto Magic = static_cast<std::uint32_t>(FPageSite->ReadInt32(0));
    std::int16_t TreeVersion = 1;
    if (Magic == kVdbBPlusIndexMagic || Magic == kVdbBTreeIndexMagic) {
      FVersion = FPageSite->ReadInt16(4);
      if (FVersion < 4) throw EVdbTreeError(kxFormat("Index version %d is invalid", {FVersion}));
      TreeVersion = std::min<std::int16_t>(FVersion, 6);
    } else {
      FVersion = 1;
    }
    CreateTree(Magic, TreeVersion);
    BTree->Open([this](const std::uint8_t* X, const std::uint8_t* Y, bool& Unique) {
      return FCompareFunction(X, Y, Unique);
    });
    FStorage->SetPageSize(BTree->GetPageSize());
    const std::int32_t NeededPages =
        Magic == kVdbBPlusIndexMagic ? static_cast<TVdbBPlusTree&>(*BTree).PageCount()
                                     : static_cast<TVdbBTree&>(*BTree).TreePageCount() + 1;
    if (FStorage->GetPageCount() < NeededPages) {
      throw EVdbTreeError(kxFormat("The file holds %d pages, the tree needs %d",
                                   {FStorage->GetPageCount(), NeededPages}));
    }
    ComputeOffsets();
    ReadIndexHeader();
    if (Magic == kVdbBPlusIndexMagic) {
      FIndexDef.VariableSize = true;
      auto& Tree = static_cast<TVdbBPlusTree&>(*BTree);
      if (FIndexDef.ItemSize > Tree.MaxItemSize()) {
        throw EVdbTreeError(kxFormat("Item size %d does not fit the pages", {FIndexDef.ItemSize}));
      }
      Tree.SetCompareReadLimit(FIndexDef.ItemSize);
    } else if (FIndexDef.ItemSize != BTree->GetSize()) {
      throw EVdbTreeError(kxFormat("Item size %d differs from the tree's key size %d",
                                   {FIndexDef.ItemSize, BTree->GetSize()}));
    }
    FIsOpen = true;
    FIsLost = false;
    return 0;
  } catch (const std::exception& Error) {
    DropStorage();
    FIsLost = true;
    return Fail(kVdbErrIndexDefinitionInconsistent, FFileName, &Error);
  }
}

std::int16_t TVdbIndexFile::Close() {
  // The storage drops pages not yet written when it closes: what was added is written first. A
  // failing write is reported, and the file closes all the same.
  const std::int16_t Written = FIsOpen && BTree ? Flush() : 0;
  try {
    FWorkInfos.clear();
    FIndexDef = TVdbIndexHeaderDef{};
    if (BTree) BTree->Close();
    BTree.reset();
    FPageSite.reset();
    FIsOpen = false;
    FStorage->Close();
    return Written;
  } catch (const std::exception& Error) {
    FIsOpen = false;
    return Fail(kVdbErrFileClose, FName, &Error);
  }
}

// --- the index header ------------------------------------------------------------------------------

void TVdbIndexFile::ComputeOffsets() {
  FHeaderOffset = BTree->GetOffset() + BTree->GetHeaderSize();
  FItemCountOffset = FVersion >= 4 ? FHeaderOffset : FHeaderOffset + 51;
  FIsUniqueOffset = FVersion >= 4 ? FHeaderOffset + 6 : -1;
}

void TVdbIndexFile::WriteIndexHeader() {
  TVdbStoragePageSite& Page = *FPageSite;
  const std::int32_t H = FHeaderOffset;
  const std::int32_t PageSize = Page.GetPageSize();
  if (FVersion <= 3) {
    if (H + 57 > PageSize) throw EVdbTreeError("The index header does not fit into page 0");
    Page.CopyFrom(FIndexDef.Vector.data(), 0, kVdbIndexHeaderVectorSize, H);
    Page.WriteInt8(H + 50, 0);
    Page.WriteInt16(H + 55, FIndexDef.ItemSize);
    return;
  }
  const icu::UnicodeString Source = icu::UnicodeString::fromUTF8(FIndexDef.Expression);
  const std::int32_t End =
      FIndexDef.Calculated ? H + 16 + 2 * Source.length()
                           : H + 11 + 5 * static_cast<std::int32_t>(FIndexDef.Levels.size());
  if (End > PageSize) throw EVdbTreeError("The index header does not fit into page 0");
  Page.WriteInt8(H + 4, 0);
  Page.WriteInt8(H + 5, FIndexDef.Calculated ? 1 : 0);
  Page.WriteInt8(H + 6, MustBeUnique() ? 1 : 0);
  Page.WriteInt16(H + 7, static_cast<std::int16_t>(FIndexDef.Levels.size()));
  if (FIndexDef.Calculated) {
    Page.WriteInt8(H + 9, static_cast<std::int8_t>(FIndexDef.ResultType));
    Page.WriteInt16(H + 10, FIndexDef.PieceSize);
    Page.WriteInt16(H + 12, static_cast<std::int16_t>(Source.length()));
    for (std::int32_t I = 0; I < Source.length(); ++I) {
      Page.WriteInt16(H + 14 + 2 * I, static_cast<std::int16_t>(Source.charAt(I)));
    }
    Page.WriteInt16(H + 14 + 2 * Source.length(), FIndexDef.ItemSize);
    return;
  }
  std::int32_t Offset = H + 9;
  for (const TVdbIndexLevel& Level : FIndexDef.Levels) {
    Page.WriteInt16(Offset, Level.Column);
    Page.WriteInt16(Offset + 2, Level.Size);
    Page.WriteInt8(Offset + 4, static_cast<std::int8_t>(Level.Type));
    Offset += 5;
  }
  Page.WriteInt16(Offset, FIndexDef.ItemSize);
}

void TVdbIndexFile::ReadIndexHeader() {
  TVdbStoragePageSite& Page = *FPageSite;
  const std::int32_t H = FHeaderOffset;
  const std::int32_t PageSize = Page.GetPageSize();
  TVdbIndexHeaderDef Def;
  Def.Name = FName;
  if (FVersion <= 3) {
    if (H + 57 > PageSize) throw EVdbTreeError("The index header does not fit into page 0");
    Page.CopyTo(H, Def.Vector.data(), kVdbIndexHeaderVectorSize, 0);
    Def.ItemSize = Page.ReadInt16(H + 55);
  } else {
    if (H + 11 > PageSize) throw EVdbTreeError("The index header does not fit into page 0");
    Def.Calculated = Page.ReadInt8(H + 5) != 0;
    Def.Unique = Page.ReadInt8(H + 6) != 0;
    const std::int32_t LevelCount = Page.ReadInt16(H + 7);
    if (LevelCount < 0 || static_cast<std::size_t>(LevelCount) > MaxLevels(FVersion)) {
      throw EVdbTreeError(kxFormat("Level count %d is invalid", {LevelCount}));
    }
    if (Def.Calculated) {
      if (H + 16 > PageSize) throw EVdbTreeError("The index header does not fit into page 0");
      Def.ResultType = static_cast<std::uint8_t>(Page.ReadInt8(H + 9));
      Def.PieceSize = Page.ReadInt16(H + 10);
      const std::int32_t Length = Page.ReadInt16(H + 12);
      if (Length < 0 || H + 16 + 2 * Length > PageSize) {
        throw EVdbTreeError(kxFormat("Expression length %d is invalid", {Length}));
      }
      icu::UnicodeString Source;
      for (std::int32_t I = 0; I < Length; ++I) {
        Source.append(static_cast<char16_t>(Page.ReadInt16(H + 14 + 2 * I)));
      }
      Source.toUTF8String(Def.Expression);
      Def.Levels.resize(static_cast<std::size_t>(LevelCount));
      Def.ItemSize = Page.ReadInt16(H + 14 + 2 * Length);
    } else {
      if (H + 11 + 5 * LevelCount > PageSize) {
        throw EVdbTreeError("The index header does not fit into page 0");
      }
      std::int32_t Offset = H + 9;
      for (std::int32_t I = 0; I < LevelCount; ++I) {
        TVdbIndexLevel Level;
        Level.Column = Page.ReadInt16(Offset);
        Level.Size = Page.ReadInt16(Offset + 2);
        Level.Type = static_cast<std::uint8_t>(Page.ReadInt8(Offset + 4));
        Def.Levels.push_back(Level);
        Offset += 5;
      }
      Def.ItemSize = Page.ReadInt16(Offset);
    }
  }
  if (Def.ItemSize < 5) throw EVdbTreeError(kxFormat("Item size %d is invalid", {Def.ItemSize}));
  // Comparisons read this many bytes of each key: the piece and the record number must fit an item.
  if (Def.Calculated && (Def.PieceSize < 1 || Def.PieceSize > Def.ItemSize - 4)) {
    throw EVdbTreeError(
        kxFormat("Key piece size %d does not fit items of %d bytes", {Def.PieceSize, Def.ItemSize}));
  }
  if (Page.ReadInt32(FItemCountOffset) < 0) throw EVdbTreeError("Negative item count");
  FIndexDef = std::move(Def);
}

std::int32_t TVdbIndexFile::ItemCount() const {
  if (!FIsOpen || !FPageSite) return 0;
  return FPageSite->ReadInt32(FItemCountOffset);
}

void TVdbIndexFile::SetItemCount(std::int32_t Count) {
  FPageSite->WriteInt32(FItemCountOffset, std::max(Count, 0));
}

void TVdbIndexFile::SetPrimary(bool Primary) {
  FIsPrimary = Primary;
  if (Primary) SetUnique(true);
}

void TVdbIndexFile::SetUnique(bool Unique) {
  FIndexDef.Unique = Unique;
  if (FIsOpen && !FReadOnly && FIsUniqueOffset >= 0) {
    FPageSite->WriteInt8(FIsUniqueOffset, MustBeUnique() ? 1 : 0);
  }
}

// --- items ---------------------------------------------------------------------------------------------

std::int16_t TVdbIndexFile::Add_Index(const std::uint8_t* Item, std::int32_t ItemSize) {
  try {
    RequireWritable();
    if (ItemSize < 5 || ItemSize > FIndexDef.ItemSize) {
      throw EVdbTreeError(kxFormat("An item of %d bytes does not fit into an index of %d-byte items",
                                   {ItemSize, FIndexDef.ItemSize}));
    }
    BTree->Insert(Item, ItemSize);
    if (BTree->LastInsertAdded()) SetItemCount(ItemCount() + 1);
    return 0;
  } catch (const std::exception& Error) {
    return WriteFailure(Error);
  }
}

std::int16_t TVdbIndexFile::Loesche_Index(const std::uint8_t* Key) {
  try {
    RequireWritable();
    if (BTree->Delete(Key)) SetItemCount(ItemCount() - 1);
    return 0;
  } catch (const std::exception& Error) {
    return WriteFailure(Error);
  }
}

std::int16_t TVdbIndexFile::Suche_Index(std::uint8_t* Key) {
  return Reading([&] { return BTree->Find(Key, Key, FIndexDef.ItemSize); });
}

std::int16_t TVdbIndexFile::Naechster_Index(std::uint8_t* Key) {
  return Reading([&] { return BTree->FindNext(Key, Key, FIndexDef.ItemSize); });
}

std::int16_t TVdbIndexFile::Vorheriger_Index(std::uint8_t* Key) {
  return Reading([&] { return BTree->FindPrev(Key, Key, FIndexDef.ItemSize); });
}

// The first and last item operations answer 0 or 1 only.
std::int16_t TVdbIndexFile::Erster_Index(std::uint8_t* Key) {
  return Reading([&] { return BTree->FindFirst(Key, FIndexDef.ItemSize) == 0 ? 0 : 1; });
}

std::int16_t TVdbIndexFile::Letzter_Index(std::uint8_t* Key) {
  return Reading([&] { return BTree->FindLast(Key, FIndexDef.ItemSize) == 0 ? 0 : 1; });
}

std::int32_t TVdbIndexFile::CalcItemSequenceNo(const std::uint8_t* Item) {
  return Reading([&] { return BTree->CalcItemSequenceNo(Item); });
}

void TVdbIndexFile::Clear_Index() {
  try {
    RequireWritable();
    BTree->Clear();
    SetItemCount(0);
  } catch (const std::exception& Error) {
    WriteFailure(Error);
  }
}

std::int16_t TVdbIndexFile::BulkInsert(std::int32_t Count, const TProgressFunc& Progress,
                                       const TGetItemFunc& GetItem) {
  try {
    RequireWritable();
    const std::int32_t Size = FIndexDef.ItemSize;
    std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Size), 0);
    if (Progress) Progress(0, Count);
    // All items in one block, each at its own length; the zero tail keeps a comparison that
    // reads a whole item size inside the block.
    std::vector<std::uint8_t> Items;
    std::vector<std::pair<std::size_t, std::int32_t>> Places;
    std::int32_t ItemSize = 0;
    while (GetItem(Buffer.data(), ItemSize)) {
      if (ItemSize < 5 || ItemSize > Size) {
        throw EVdbTreeError(kxFormat("An item of %d bytes does not fit into an index of %d-byte items",
                                     {ItemSize, Size}));
      }
      Places.emplace_back(Items.size(), ItemSize);
      Items.insert(Items.end(), Buffer.begin(), Buffer.begin() + ItemSize);
    }
    Items.resize(Items.size() + static_cast<std::size_t>(Size), 0);
    std::stable_sort(Places.begin(), Places.end(), [&](const auto& A, const auto& B) {
      bool Unique = false;
      return FCompareFunction(Items.data() + A.first, Items.data() + B.first, Unique);
    });
    std::int32_t Done = 0;
    for (const auto& [Offset, Length] : Places) {
      BTree->Insert(Items.data() + Offset, Length);
      if (BTree->LastInsertAdded()) SetItemCount(ItemCount() + 1);
      if (++Done % kProgressStep == 0 && Progress) Progress(Done, Count);
    }
    if (Progress) Progress(Count, Count);
    return 0;
  } catch (const EVdbEngine& Error) {
    FLastFailure = Error.what();
    return FServices ? FServices->SetLastError(Error) : static_cast<std::int16_t>(-Error.Code());
  } catch (const std::exception& Error) {
    const EVdbEngine Unknown(kVdbErrUnknown, std::string_view(Error.what()));
    FLastFailure = Unknown.what();
    return FServices ? FServices->SetLastError(Unknown) : static_cast<std::int16_t>(-kVdbErrUnknown);
  }
}

std::int16_t TVdbIndexFile::Check(std::int32_t& Count, std::int32_t& WrongSortCount) {
  Count = 0;
  WrongSortCount = 0;
  try {
    RequireOpen();
    BTree->Check(Count, WrongSortCount);
    if (WrongSortCount > 0) throw EVdbTreeError(kxFormat("%d items out of order", {WrongSortCount}));
    if (Count != ItemCount()) {
      throw EVdbTreeError(kxFormat("The tree holds %d items, the header says %d", {Count, ItemCount()}));
    }
    return 0;
  } catch (const std::exception& Error) {
    return Fail(kVdbErrIndexDefinitionInconsistent, FFileName, &Error);
  }
}

// --- lifecycle -------------------------------------------------------------------------------------

std::int16_t TVdbIndexFile::Flush() {
  if (FReadOnly) return 0;
  try {
    RequireOpen();
    BTree->Flush();
    return 0;
  } catch (const std::exception& Error) {
    return WriteFailure(Error);
  }
}

void TVdbIndexFile::Undo() {
  try {
    RequireOpen();
    BTree->Undo();
  } catch (const std::exception& Error) {
    WriteFailure(Error);
  }
}

void TVdbIndexFile::Update() {
  try {
    RequireOpen();
    FPageSite->UnloadPage();
    BTree->Update();
    FPageSite->LoadPage(0);
  } catch (const std::exception& Error) {
    ReadFailure(Error);
  }
}

void TVdbIndexFile::UpdateDir() {
  try {
    FStorage->UpdateDir();
  } catch (const std::exception& Error) {
    WriteFailure(Error);
  }
}

void TVdbIndexFile::Preload() {
  try {
    RequireOpen();
    BTree->Preload();
  } catch (const std::exception& Error) {
    ReadFailure(Error);
  }
}

// --- buffers and names -----------------------------------------------------------------------------

std::int32_t TVdbIndexFile::CalcPageSizeForCapacity(std::int32_t Capacity) const {
  return TVdbTreeBase::CalcPageSize(FVersion, FIndexDef.ItemSize, Capacity);
}

std::uint8_t* TVdbIndexFile::GetWorkInfo(int Index) {
  if (Index < 0 || Index >= kWorkInfoCount) {
    throw std::out_of_range(kxFormat("Work buffer %d does not exist", {Index}));
  }
  // Buffers of another item size (a definition read or set since) are made anew.
  if (FWorkInfoSize != FIndexDef.ItemSize) {
    FWorkInfos.clear();
    FWorkInfoSize = FIndexDef.ItemSize;
  }
  if (FWorkInfos.empty()) FWorkInfos.resize(kWorkInfoCount);
  auto& Info = FWorkInfos[static_cast<std::size_t>(Index)];
  if (!Info) Info = CreateLongIndexInfo();
  return Info.get();
}

std::unique_ptr<std::uint8_t[]> TVdbIndexFile::CreateLongIndexInfo() const {
  return std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(std::max<std::int32_t>(FIndexDef.ItemSize, 5)));
}

bool TVdbIndexFile::IsSameName(std::string_view Name) const {
  const std::string Bare = kxChangeFileExt(Name, "", TkxPathForm::Any);
  const icu::UnicodeString A = icu::UnicodeString::fromUTF8(Bare);
  const icu::UnicodeString B = icu::UnicodeString::fromUTF8(FName);
  return A.caseCompare(B, U_FOLD_CASE_DEFAULT) == 0;
}

}  // namespace vdb
