#include "table/VdbBPlusDataFile.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/VdbErrors.h"
#include "storage/VdbPageMan.h"
#include "storage/kxFormat.h"
#include "storage/kxMemory.h"
#include "table/VdbBPlusTree.h"
#include "table/VdbDefinitions.h"

namespace vdb {

namespace {

constexpr std::int32_t kNoRecord = -kVdbErrRecordNotFound;
// Where the tree header keeps its page size.
constexpr std::int64_t kTreePageSizeField = 14;
constexpr std::int64_t kTilePageSize = 8192;

std::int32_t IdOf(const std::uint8_t* Record) { return TkxMemory::ReadInt32(Record, 0); }

// Records in the order of their record ids.
bool RecordIdLess(const std::uint8_t* X, const std::uint8_t* Y, bool& Unique) {
  const std::int32_t A = IdOf(X);
  const std::int32_t B = IdOf(Y);
  if (A == B) Unique = true;
  return A < B;
}

// A tree page holds at least three records, with the page's own overhead.
std::int64_t PageSizeForRecords(std::int32_t RecordSize) { return 3 * (RecordSize + 6) + 16; }

}  // namespace

TVdbBPlusDataFile::TVdbBPlusDataFile(TVdbLastError* Services,
                                     std::unique_ptr<TVdbClientStorage> Storage)
    : TVdbDataFile(Services, std::move(Storage)) {}

TVdbBPlusDataFile::~TVdbBPlusDataFile() {
  // The tree's page sites must go before the storage closes.
  FTree.reset();
}

template <class F>
auto TVdbBPlusDataFile::TreeStep(std::int16_t Code, F&& Step) -> decltype(Step()) {
  RequireTree();
  try {
    return Step();
  } catch (const EVdbTreeError& Error) {
    throw EVdbEngine::CreateMsg(
        Code, kxFormatOrBare(VdbErrorFormat(Code), {Name()}) + ": " + Error.what());
  } catch (const EVdbPageManager& Error) {
    throw EVdbEngine::CreateMsg(
        Code, kxFormatOrBare(VdbErrorFormat(Code), {Name()}) + ": " + Error.what());
  }
}

void TVdbBPlusDataFile::RequireTree() const {
  if (!FTree || !GetIsOpen()) throw EVdbEngine(kVdbErrFileRead, Name());
}

std::int64_t TVdbBPlusDataFile::GetStorageSize() const {
  return GetIsOpen() ? FStorage->GetSize() : 0;
}

std::int32_t TVdbBPlusDataFile::GetRecordCount() const { return FTree ? FTree->GetItemCount() : 0; }

bool TVdbBPlusDataFile::CanAppend() const {
  return GetRecordCount() < std::numeric_limits<std::int32_t>::max();
}

// --- Creating and opening ------------------------------------------------------------------------

void TVdbBPlusDataFile::CheckNewDefinition(const TVdbTableDefinition& Def) {
  const TVdbColumnDef& First = Def.ColumnDefs.GetColumnDef(0);
  if (First.GetColumnType() != kRecordIdType || First.Position != 0 || First.Size != 4) {
    throw EVdbEngine(kVdbErrFeatureNotInLevel, {Name(), "First column must be a record id"});
  }
  // The tree orders records by their stored first bytes: a cipher would scramble the order.
  if (VdbEncryptionHasCipher(FCryptor.Method)) {
    throw EVdbEngine(kVdbErrNotSupported, "Encrypted B+ data files");
  }
  if (PageSizeForRecords(FRecordSize) > kMaxTreePageSize) {
    throw EVdbEngine(kVdbErrNotSupported,
                     kxFormat("B+ data files with records of %d bytes", {FRecordSize}));
  }
}

// The usual padding, enlarged until page 0 (header and definition) is a tree page (a power of
// two) large enough for these records.
std::int32_t TVdbBPlusDataFile::NewDefinitionLength(std::size_t UsedSize) const {
  const std::int64_t Block = DefinitionPosition() + 4;
  std::int64_t RecordStart = Block + TVdbDataFile::NewDefinitionLength(UsedSize);
  // Tree pages are powers of two.
  const std::int64_t Needed = std::max(RecordStart, PageSizeForRecords(FRecordSize));
  for (RecordStart = kTilePageSize; RecordStart < Needed;) RecordStart *= 2;
  if (RecordStart > kMaxTreePageSize) {
    throw EVdbEngine(kVdbErrNotSupported, kxFormat("B+ data files with a definition of %d bytes",
                                                {static_cast<std::int64_t>(UsedSize)}));
  }
  return static_cast<std::int32_t>(RecordStart - Block);
}

std::int32_t TVdbBPlusDataFile::NewStoragePageSize(std::int32_t DefinitionLength) const {
  return static_cast<std::int32_t>(DefinitionPosition() + 4 + DefinitionLength);
}

void TVdbBPlusDataFile::CreateRecords(const TVdbTableDefinition& Def) {
  FRecordIdName = Def.ColumnDefs.GetColumnDef(0).Name;
  OpenTree(true);
}

void TVdbBPlusDataFile::OpenRecords(const TVdbTableDefinition& Def) {
  if (VdbEncryptionHasCipher(FCryptor.Method)) {
    throw EVdbEngine(kVdbErrNotSupported, "Encrypted B+ data files");
  }
  const TVdbColumnDef& First = Def.ColumnDefs.GetColumnDef(0);
  if (First.GetColumnType() != kRecordIdType || First.Position != 0 || First.Size != 4) {
    RaiseCorrupt();
  }
  FRecordIdName = First.Name;
  // The tree's pages must be the pages this file was laid out with.
  if (ReadInt32At(kTreeHeaderPosition + kTreePageSizeField) != DefinitionEnd()) RaiseCorrupt();
  OpenTree(false);
}

void TVdbBPlusDataFile::OpenTree(bool Create) {
  const auto PageSize = static_cast<std::int32_t>(DefinitionEnd());
  FTempItemPtr.assign(FRecordSize, 0);
  FTempItem.assign(FRecordSize, 0);
  try {
    FPage->UnloadPage();
    if (FStorage->GetPageSize() != PageSize) FStorage->SetPageSize(PageSize);
    FTree =
        std::make_unique<TVdbBPlusTree>(*FStorage, static_cast<std::int32_t>(kTreeHeaderPosition));
    if (Create) {
      FTree->New(PageSize, RecordIdLess);
    } else {
      FTree->Open(RecordIdLess);
      if (FTree->GetPageSize() != PageSize || FTree->PageCount() > FStorage->GetPageCount()) {
        RaiseCorrupt();
      }
    }
  } catch (const EVdbTreeError&) {
    FTree.reset();
    if (Create) RaiseWrite();
    RaiseCorrupt();
  } catch (const EVdbPageManager&) {
    FTree.reset();
    if (Create) RaiseWrite();
    RaiseRead();
  } catch (...) {
    FTree.reset();
    throw;
  }
}

void TVdbBPlusDataFile::CloseRecords() {
  if (FTree) FTree->Close();
  FTree.reset();
}

// After Undo or Invalidate the tree's header is read again.
void TVdbBPlusDataFile::RereadState() {
  TreeStep(kVdbErrFileRead, [&] {
    FTree->Close();
    FTree->Open(RecordIdLess);
    return 0;
  });
}

// --- Records -------------------------------------------------------------------------------------

std::int32_t TVdbBPlusDataFile::TempId() const { return IdOf(FTempItem.data()); }

bool TVdbBPlusDataFile::FindFrom(std::int32_t Id) {
  RequireTree();
  TkxMemory::WriteInt32(FTempItemPtr.data(), 0, Id);
  return TreeStep(kVdbErrFileRead, [&] {
    return FTree->Find(FTempItemPtr.data(), FTempItem.data(), FRecordSize) == TVdbTreeBase::kFound;
  });
}

std::int32_t TVdbBPlusDataFile::GetFirstRecordNo() {
  return Guarded([&] {
    const bool Found = TreeStep(kVdbErrFileRead, [&] {
      return FTree->FindFirst(FTempItem.data(), FRecordSize) == TVdbTreeBase::kFound;
    });
    return Found ? TempId() : kNoRecord;
  });
}

std::int32_t TVdbBPlusDataFile::GetLastRecordNo() {
  return Guarded([&] {
    const bool Found = TreeStep(kVdbErrFileRead, [&] {
      return FTree->FindLast(FTempItem.data(), FRecordSize) == TVdbTreeBase::kFound;
    });
    return Found ? TempId() : kNoRecord;
  });
}

std::int32_t TVdbBPlusDataFile::GetNextRecordNo(std::int32_t RecNo) {
  if (RecNo == std::numeric_limits<std::int32_t>::max()) return kNoRecord;
  return Guarded([&] {
    if (!FindFrom(std::max(RecNo, 0) + 1)) return kNoRecord;
    // Ids that do not grow would let a walk run in circles: only a damaged tree answers them.
    if (TempId() <= RecNo) RaiseCorrupt();
    return TempId();
  });
}

// The record before the first one not below RecNo (or the last one when there is none): RecNo
// need not be in the file any more.
std::int32_t TVdbBPlusDataFile::GetPrevRecordNo(std::int32_t RecNo) {
  if (RecNo <= 1) return kNoRecord;
  return Guarded([&] {
    if (!FindFrom(RecNo)) {
      const std::int32_t Last = GetLastRecordNo();
      if (Last >= RecNo) RaiseCorrupt();
      return Last;
    }
    const bool Found = TreeStep(kVdbErrFileRead, [&] {
      std::copy(FTempItem.begin(), FTempItem.end(), FTempItemPtr.begin());
      return FTree->FindPrev(FTempItemPtr.data(), FTempItem.data(), FRecordSize) ==
             TVdbTreeBase::kFound;
    });
    if (Found && TempId() >= RecNo) RaiseCorrupt();
    return Found ? TempId() : kNoRecord;
  });
}

std::int32_t TVdbBPlusDataFile::ReadRecord(std::int32_t RecNo, std::uint8_t* Buffer) {
  return Guarded([&] {
    RequireTree();
    if (RecNo < 1 || !FindFrom(RecNo) || TempId() != RecNo) RaiseNoRecord();
    std::copy(FTempItem.begin(), FTempItem.end(), Buffer);
    return 0;
  });
}

std::int32_t TVdbBPlusDataFile::WriteRecord(std::int32_t RecNo, const std::uint8_t* Buffer) {
  return Guarded([&] {
    RequireWritable();
    RequireTree();
    if (IdOf(Buffer) != RecNo) throw EVdbEngine(kVdbErrAutoIncModified, kxFormatArgs{});
    if (RecNo < 1 || !FindFrom(RecNo) || TempId() != RecNo) RaiseNoRecord();
    // Items of a B+ tree are replaced by deleting and inserting; the old record is put back
    // when the new one cannot be inserted.
    const std::vector<std::uint8_t> Old = FTempItem;
    TreeStep(kVdbErrFileWrite, [&] { return FTree->Delete(Old.data()); });
    try {
      TreeStep(kVdbErrFileWrite, [&] {
        FTree->Insert(Buffer, FRecordSize);
        return 0;
      });
    } catch (const EVdbEngine&) {
      TreeStep(kVdbErrFileWrite, [&] {
        FTree->Insert(Old.data(), FRecordSize);
        return 0;
      });
      throw;
    }
    return 0;
  });
}

std::int32_t TVdbBPlusDataFile::InsertRecord(const std::uint8_t* RecBuffer) {
  return Guarded([&] {
    RequireWritable();
    RequireTree();
    const std::int32_t Id = IdOf(RecBuffer);
    if (Id < 1) throw EVdbEngine(kVdbErrOutOfRange, kxFormat("%d", {Id}));
    if (FindFrom(Id) && TempId() == Id) throw EVdbEngine(kVdbErrNotUnique, FRecordIdName);
    TreeStep(kVdbErrFileWrite, [&] {
      FTree->Insert(RecBuffer, FRecordSize);
      return 0;
    });
    return Id;
  });
}

std::int32_t TVdbBPlusDataFile::DeleteRecord(std::int32_t RecNo) {
  return Guarded([&] {
    RequireWritable();
    RequireTree();
    TkxMemory::WriteInt32(FTempItemPtr.data(), 0, RecNo);
    if (RecNo < 1 || !TreeStep(kVdbErrFileWrite, [&] { return FTree->Delete(FTempItemPtr.data()); })) {
      RaiseNoRecord();
    }
    return 0;
  });
}

std::int32_t TVdbBPlusDataFile::Clear() {
  return Guarded([&] {
    RequireWritable();
    TreeStep(kVdbErrFileWrite, [&] {
      FTree->Clear();
      return 0;
    });
    return 0;
  });
}

// The file is cut to the tree's pages before they are written.
std::int32_t TVdbBPlusDataFile::Flush() {
  return Guarded([&] {
    RequireTree();
    if (!FReadOnly && FStorage->GetPageCount() != FTree->PageCount()) {
      TreeStep(kVdbErrFileWrite, [&] {
        FPage->UnloadPage();
        FStorage->SetPageCount(FTree->PageCount());
        return 0;
      });
    }
    return TVdbDataFile::Flush();
  });
}

}  // namespace vdb
