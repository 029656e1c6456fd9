#include "table/VdbRelation.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "base/VdbServices.h"

namespace vdb {

namespace {

template <typename T>
T Read(const std::uint8_t* P) {
  T v;
  std::memcpy(&v, P, sizeof v);  // field images are not aligned
  return v;
}

template <typename T>
int Sign(T A, T B) {
  return A < B ? -1 : (B < A ? 1 : 0);
}

template <typename T>
int CompareAs(const std::uint8_t* A, const std::uint8_t* B) {
  return Sign(Read<T>(A), Read<T>(B));
}

int CompareGuids(const std::uint8_t* A, const std::uint8_t* B) {
  if (int r = CompareAs<std::uint32_t>(A, B)) return r;
  if (int r = CompareAs<std::uint16_t>(A + 4, B + 4)) return r;
  if (int r = CompareAs<std::uint16_t>(A + 6, B + 6)) return r;
  const int r = std::memcmp(A + 8, B + 8, 8);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// The characters of a stored string: the length from its prefix, limited to what the image holds
// so that a damaged prefix never reads beyond the field.
std::int32_t StoredLength(const std::uint8_t* Prefix, int PrefixSize, std::int32_t Available) {
  const std::int32_t len = PrefixSize == 1 ? Prefix[0] : Read<std::uint16_t>(Prefix);
  return std::clamp<std::int32_t>(len, 0, std::max<std::int32_t>(Available, 0));
}

int CompareAnsiStrings(const std::uint8_t* V1, const std::uint8_t* V2, std::int32_t Size1,
                       std::int32_t Size2, std::int32_t FieldSize, bool HasNullByte,
                       TStrCmpOptions Options, std::uint32_t LocaleId) {
  const int prefix = FieldSize <= (HasNullByte ? 257 : 256) ? 1 : 2;
  if (Size1 < prefix || Size2 < prefix) return Sign(Size1, Size2);
  const std::int32_t len1 = StoredLength(V1, prefix, Size1 - prefix);
  const std::int32_t len2 = StoredLength(V2, prefix, Size2 - prefix);
  return CompareCollated(reinterpret_cast<const char*>(V1 + prefix), len1,
                         reinterpret_cast<const char*>(V2 + prefix), len2, Options, LocaleId);
}

// UTF-16 text of a field image, copied into aligned storage.
class TWideText {
 public:
  TWideText(const std::uint8_t* P, std::int32_t Units) : units_(Units) {
    char16_t* d = Units <= static_cast<std::int32_t>(stack_.size()) ? stack_.data()
                                                                     : (heap_.resize(Units), heap_.data());
    std::memcpy(d, P, static_cast<std::size_t>(Units) * 2);
    data_ = d;
  }
  const char16_t* data() const { return data_; }
  std::int32_t size() const { return units_; }

 private:
  std::int32_t units_;
  std::array<char16_t, 256> stack_;
  std::vector<char16_t> heap_;
  const char16_t* data_ = nullptr;
};

int CompareWideStrings(const std::uint8_t* V1, const std::uint8_t* V2, std::int32_t Size1,
                       std::int32_t Size2, TStrCmpOptions Options, std::uint32_t LocaleId) {
  if (Size1 < 2 || Size2 < 2) return Sign(Size1, Size2);
  const TWideText w1(V1 + 2, StoredLength(V1, 2, (Size1 - 2) / 2));
  const TWideText w2(V2 + 2, StoredLength(V2, 2, (Size2 - 2) / 2));
  return CompareCollated(w1.data(), w1.size(), w2.data(), w2.size(), Options, LocaleId);
}

// The values without their null bytes; Size1/Size2 are the bytes each side holds.
int CompareValues(const std::uint8_t* V1, const std::uint8_t* V2, std::int32_t Size1,
                  std::int32_t Size2, std::int32_t FieldSize, bool HasNullByte,
                  std::int16_t ColumnType, TStrCmpOptions Options, std::uint32_t LocaleId) {
  // Fixed-size values need their whole image on both sides.
  auto fits = [&](std::int32_t Need) { return Size1 >= Need && Size2 >= Need; };
  switch (ColumnType) {
    case 0: case 4: case 5: case 8:
      return fits(1) ? Sign(V1[0], V2[0]) : Sign(Size1, Size2);
    case 2:
      return fits(2) ? CompareAs<std::int16_t>(V1, V2) : Sign(Size1, Size2);
    case 3:
      return fits(8) ? CompareAs<double>(V1, V2) : Sign(Size1, Size2);
    case 6: case 9: case 10: case 16:
      return fits(4) ? CompareAs<std::int32_t>(V1, V2) : Sign(Size1, Size2);
    case 13: {
      const std::int32_t valueSize = FieldSize - (HasNullByte ? 1 : 0);
      if (valueSize == 2) return fits(2) ? CompareAs<std::int16_t>(V1, V2) : Sign(Size1, Size2);
      return fits(4) ? CompareAs<std::int32_t>(V1, V2) : Sign(Size1, Size2);
    }
    case 17:
      if (!fits(8)) return Sign(Size1, Size2);
      if (int r = CompareAs<std::int32_t>(V1, V2)) return r;
      return CompareAs<std::int32_t>(V1 + 4, V2 + 4);
    case 20:
      return fits(8) ? CompareAs<std::int64_t>(V1, V2) : Sign(Size1, Size2);
    case 21:
      return fits(16) ? CompareGuids(V1, V2) : Sign(Size1, Size2);
    case 1:
      return CompareAnsiStrings(V1, V2, Size1, Size2, FieldSize, HasNullByte, Options, LocaleId);
    case 18:
      return CompareWideStrings(V1, V2, Size1, Size2, Options, LocaleId);
    default:
      return 0;
  }
}

}  // namespace

int TVdbRelation::CompareFields(const std::uint8_t* Value1, const std::uint8_t* Value2,
                                TStrCmpOptions Options, std::uint32_t LocaleId, bool HasNullByte,
                                std::int32_t FieldSize, std::int32_t DataSize1,
                                std::int32_t DataSize2, std::int16_t ColumnType,
                                std::int16_t TableLevel) {
  if (!HasNullByte || DataSize1 < 1 || DataSize2 < 1) {
    return CompareValues(Value1, Value2, DataSize1, DataSize2, FieldSize, HasNullByte, ColumnType,
                         Options, LocaleId);
  }
  if (TableLevel >= 6) {
    // The null byte leads: NULL sorts before every value, two NULLs are equal.
    if (Value1[0] == 0 || Value2[0] == 0) return Sign(Value1[0], Value2[0]);
    return CompareValues(Value1 + 1, Value2 + 1, DataSize1 - 1, DataSize2 - 1, FieldSize,
                         HasNullByte, ColumnType, Options, LocaleId);
  }
  // Older levels keep the null byte at the end of the field.
  const std::uint8_t null1 = Value1[DataSize1 - 1], null2 = Value2[DataSize2 - 1];
  if (TableLevel >= 4 && (null1 == 0 || null2 == 0)) return Sign(null1, null2);
  const int r = CompareValues(Value1, Value2, DataSize1 - 1, DataSize2 - 1, FieldSize, HasNullByte,
                              ColumnType, Options, LocaleId);
  if (r != 0 || TableLevel >= 4) return r;
  return Sign(null1, null2);
}

bool TVdbRelation::RecordFieldsEqual(const std::uint8_t* Value1, const std::uint8_t* Value2,
                                     TStrCmpOptions Options, std::uint32_t LocaleId,
                                     bool HasNullByte, std::int32_t FieldSize,
                                     std::int16_t ColumnType, std::int16_t TableLevel) {
  return CompareFields(Value1, Value2, Options, LocaleId, HasNullByte, FieldSize, FieldSize,
                       FieldSize, ColumnType, TableLevel) == 0;
}

}  // namespace vdb

// =============================================================================================
// The relation base

namespace vdb {

TVdbRelation::TVdbRelation(TVdbServices* Services)
    : FServices(Services), FColumnDefs(std::make_unique<TVdbColumnDefs>()) {}

// A relation never stays reachable through the process-wide table once it is gone.
TVdbRelation::~TVdbRelation() { TRelationList::Instance().RemoveRelation(this); }

std::int16_t TVdbRelation::RecordError(const std::exception& Error) const {
  if (FServices) return FServices->SetLastError(Error);
  const auto* engine = dynamic_cast<const EVdbEngine*>(&Error);
  return static_cast<std::int16_t>(-(engine ? engine->Code() : 1));
}

TVdbLastError* TVdbRelation::LastErrorRecord() const {
  return FServices != nullptr ? &FServices->LastError() : nullptr;
}

std::int16_t TVdbRelation::RecordError(std::int16_t Code, const kxFormatArgs& Args) const {
  return RecordError(EVdbEngine(Code, Args));
}

TVdbIndexFile::TErrorFunc TVdbRelation::IndexErrorHandler() const {
  return [this](std::int16_t Code, const std::string& Argument) {
    RecordError(Code, {Argument});
  };
}

std::string TVdbRelation::IndexLabel(std::int16_t IndexNo) {
  return "Index#" + std::to_string(IndexNo);
}

// --- Virtual operations with behaviour of the base ---

void TVdbRelation::ClearStructure() {
  FColumnDefs->Clear();
  FHasMemo = false;
  FHasBlob = false;
  FRecordIdFieldNo = 0;
  FCalculationPurposes = 0;
}

std::string TVdbRelation::GetIndexDirectory(TVdbIndexKind) const { return {}; }

TVdbStorageCipher* TVdbRelation::GetCipher() const { return nullptr; }

std::int16_t TVdbRelation::FlushIndexNames(bool) { return 0; }

void TVdbRelation::RecalcColumnFlags() {
  FCalculationPurposes = 0;
  FRecordIdFieldNo = 0;
  FHasMemo = false;
  FHasBlob = false;
  HasLinkField = false;
  for (int i = 0; i < FColumnDefs->GetCount(); ++i) {
    const TVdbColumnDef& column = FColumnDefs->GetColumnDef(i);
    FCalculationPurposes |= column.GetCalculationPurposes();
    switch (column.GetColumnType()) {
      case kVdbRecordIdCode:
        if (FRecordIdFieldNo == 0) FRecordIdFieldNo = static_cast<std::int16_t>(i + 1);
        break;
      case kVdbMemoCode: FHasMemo = true; break;
      case kVdbBlobCode:
      case kVdbWideMemoCode: FHasBlob = true; break;
      case kVdbLinkCode: HasLinkField = true; break;
      default: break;
    }
  }
}

std::int16_t TVdbRelation::CloseFiles() { return 0; }

std::int16_t TVdbRelation::FirstIndexNo() const { return 0; }

std::int16_t TVdbRelation::LastIndexNo() const { return FLastIndexNo; }

std::int16_t TVdbRelation::IndexCount() const {
  std::int16_t count = 0;
  for (std::int16_t no = FirstIndexNo(); no <= LastIndexNo(); ++no)
    if (GetIndexFile(no)) ++count;
  return count;
}

void TVdbRelation::IndexAdded(std::int16_t) {}

TkxFileSystem* TVdbRelation::GetIndexFileSystem(TVdbIndexKind) const {
  return FServices ? FServices->DataFileSystem() : nullptr;
}

bool TVdbRelation::IsSameTableName(const std::string& TableName) const {
  return CompareIdentifiers(CalcStdName(TableName), CalcStdName(Name())) == 0;
}

std::int16_t TVdbRelation::OpenForTranslate() { return 0; }

std::int16_t TVdbRelation::Setup(bool) {
  TVdbExpressionFactory* factory = FServices ? FServices->ExpressionFactory() : nullptr;
  if (!factory) return 0;
  // A constraint that does not compile stays unprepared; the check reports it when it runs.
  for (std::int32_t i = 0; i < ConstraintCount(); ++i) {
    TVdbCheckDef* check = GetConstraint(i);
    if (!check || !check->FCondition) continue;
    try {
      check->FCondition->Compile(*factory, *FColumnDefs, Level());
    } catch (const std::runtime_error&) {
    }
  }
  return 0;
}

std::int16_t TVdbRelation::Close() {
  const std::int16_t result = CloseFiles();
  ClearStructure();
  FreeRecBuffer();
  FIndexDefCache.clear();
  return result;
}

std::int16_t TVdbRelation::CloseForTranslate() { return 0; }

std::int16_t TVdbRelation::FindColumn(std::string_view Name, bool CaseSensitive) const {
  for (int i = 0; i < FColumnDefs->GetCount(); ++i) {
    const std::string& column = FColumnDefs->GetColumnDef(i).Name;
    const bool same = CaseSensitive ? column == Name : CompareIdentifiers(column, Name) == 0;
    if (same) return static_cast<std::int16_t>(i + 1);
  }
  return 0;
}

std::string TVdbRelation::GetPhysicalColumnName(std::int16_t FieldNo) const {
  return GetFieldName(FieldNo);
}

std::int16_t TVdbRelation::ReplaceRecord(std::uint8_t*, const std::uint8_t*, std::int32_t,
                                         const TVdbBlobDataList*) {
  return RecordError(kVdbErrNoWritePermission, {FullName()});
}

std::int16_t TVdbRelation::FindFtIndexNo(const std::string&) const { return -1; }

std::string TVdbRelation::GetRealIndexName(const std::string& IndexName) const {
  return IndexName;
}

std::int16_t TVdbRelation::GetFullTextIndexNo(std::int16_t) const { return -1; }

std::int16_t TVdbRelation::SearchFullText(std::int16_t FtIndexNo, const std::string&,
                                          std::vector<std::int32_t>& RecordNos) {
  RecordNos.clear();
  return RecordError(kVdbErrNoSuitableIndex, {IndexLabel(FtIndexNo)});
}

std::int16_t TVdbRelation::NetUsers(std::vector<std::string>& Users) {
  Users.clear();
  return 0;
}

std::int32_t TVdbRelation::CountReadLocks() const { return 0; }
std::int32_t TVdbRelation::CountWriteLocks() const { return 0; }
std::int16_t TVdbRelation::CheckUpdate() { return 0; }
std::int16_t TVdbRelation::EndRead() { return 0; }
std::int16_t TVdbRelation::EndUpgrade() { return 0; }
std::int16_t TVdbRelation::EndWrite() { return 0; }
std::int16_t TVdbRelation::EndExclusive() { return 0; }

std::int16_t TVdbRelation::CheckEdit(std::int32_t RecNo, TVdbRelationListener* Excluded) {
  if (FUseEditLocks && IsRecordEdited(RecNo, Excluded))
    return RecordError(kVdbErrRecordEdited, {});
  return 0;
}

std::int16_t TVdbRelation::SwitchEdit(std::int32_t, std::int32_t) { return 0; }
std::int16_t TVdbRelation::EndEdit(std::int32_t) { return 0; }
std::int16_t TVdbRelation::UpdateTable() { return 0; }

// --- Opening ---

std::int16_t TVdbRelation::Open(bool Force) {
  std::int16_t result = 0;
  try {
    result = OpenFiles(Force);
  } catch (const EVdbEngine& Error) {
    result = RecordError(Error);
  } catch (...) {
    Close();
    throw;
  }
  if (result < 0) {
    Close();
    return result;
  }
  FStdName = CalcStdName(FullName());
  return result;
}

std::string TVdbRelation::CalcStdName(std::string_view TableName) {
  const std::size_t slash = TableName.find_last_of("/\\:");
  std::string_view name = slash == std::string_view::npos ? TableName : TableName.substr(slash + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

void TVdbRelation::SetRltnIdx(TVdbRelationIndex Value) {
  FRltnIdx = Value;
  if (Value > 0 && Value < 256 && FBaseRelations.none()) FBaseRelations.set(Value);
}

void TVdbRelation::AllocRecBuffer() {
  const std::size_t size = static_cast<std::size_t>(std::max<std::int32_t>(RecordSize(), 1));
  FRecBuffer = std::make_unique<std::uint8_t[]>(size);
}

// --- Accessors and notifications ---

void TVdbRelation::AddAccessor(TVdbRelationListener* Accessor) {
  if (Accessor && std::find(FClientAccessors.begin(), FClientAccessors.end(), Accessor) ==
                      FClientAccessors.end())
    FClientAccessors.push_back(Accessor);
}

void TVdbRelation::RemoveAccessor(TVdbRelationListener* Accessor) {
  std::erase(FClientAccessors, Accessor);
}

TVdbRelationListener* TVdbRelation::GetAccessor(std::int32_t Index) const {
  if (Index < 0 || Index >= AccessorCount()) return nullptr;
  return FClientAccessors[static_cast<std::size_t>(Index)];
}

void TVdbRelation::AddListener(TVdbRelationListener* Listener) {
  if (Listener && std::find(FListeners.begin(), FListeners.end(), Listener) == FListeners.end())
    FListeners.push_back(Listener);
}

void TVdbRelation::RemoveListener(TVdbRelationListener* Listener) {
  std::erase(FListeners, Listener);
}

// Calls every accessor, then every other listener, in registration order. A listener may
// unregister itself (or another one) while it is called: the walk goes over a snapshot and skips
// those no longer registered.
template <class TCall>
void TVdbRelation::Broadcast(TCall&& Call) {
  const std::vector<TVdbRelationListener*> accessors = FClientAccessors;
  for (TVdbRelationListener* accessor : accessors)
    if (std::find(FClientAccessors.begin(), FClientAccessors.end(), accessor) !=
        FClientAccessors.end())
      Call(*accessor);
  const std::vector<TVdbRelationListener*> listeners = FListeners;
  for (TVdbRelationListener* listener : listeners)
    if (std::find(FListeners.begin(), FListeners.end(), listener) != FListeners.end())
      Call(*listener);
}

void TVdbRelation::EnableNotifications(bool Enabled) {
  if (!Enabled) {
    ++FNotificationDisableCount;
    return;
  }
  if (FNotificationDisableCount == 0) return;
  --FNotificationDisableCount;
  if (FNotificationDisableCount == 0) NotifyRelationChanged();
}

void TVdbRelation::NotifyRelationChanged() {
  if (Notifying()) Broadcast([](TVdbRelationListener& L) { L.RelationChanged(); });
}

void TVdbRelation::NotifyRecordChanged(std::int32_t RecNo) {
  if (Notifying()) Broadcast([RecNo](TVdbRelationListener& L) { L.RecordChanged(RecNo); });
}

void TVdbRelation::NotifyRecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) {
  if (Notifying())
    Broadcast([=](TVdbRelationListener& L) { L.RecordDeleted(RecNo, MovedRecNo); });
}

void TVdbRelation::NotifyRelationEmptied() {
  if (Notifying()) Broadcast([](TVdbRelationListener& L) { L.RelationEmptied(); });
}

void TVdbRelation::NotifyIndexNamesChanged() {
  if (Notifying()) Broadcast([](TVdbRelationListener& L) { L.IndexNamesChanged(); });
}

void TVdbRelation::NotifyCaughtUp(const std::vector<std::pair<std::int32_t, std::int32_t>>& Moves) {
  NotifyRelationChanged();
  for (const auto& [deleted, moved] : Moves) NotifyRecordDeleted(deleted, moved);
}

// Index removal changes index numbers: every listener must hear it even while notifications
// are suspended, or it would keep walking a number that now names another index.
void TVdbRelation::NotifyIndexRemoved(std::int16_t IndexNo) {
  Broadcast([IndexNo](TVdbRelationListener& L) { L.IndexRemoved(IndexNo); });
}

bool TVdbRelation::MayDeleteIndex(std::int16_t IndexNo) {
  bool allowed = true;
  Broadcast([&](TVdbRelationListener& L) { L.MayDeleteIndex(IndexNo, allowed); });
  return allowed;
}

bool TVdbRelation::IsRecordEdited(std::int32_t RecNo,
                                  const TVdbRelationListener* Excluded) const {
  for (TVdbRelationListener* accessor : FClientAccessors)
    if (accessor != Excluded && accessor->IsRecordEdited(RecNo)) return true;
  return false;
}

}  // namespace vdb

// =============================================================================================
// The process-wide relation table

namespace vdb {

namespace {

constexpr std::int16_t kFirstRltnIdx = 1;
constexpr std::int16_t kLastRltnIdx = 254;

}  // namespace

TRelationList& TRelationList::Instance() {
  static TRelationList list;
  return list;
}

std::int16_t TRelationList::CalcRltnHdl(std::int16_t SessHdl, TVdbRelationIndex RltnIdx) {
  return static_cast<std::int16_t>((SessHdl - 1) * 256 + RltnIdx);
}

TVdbRelationIndex TRelationList::GetRltnIdx(std::int16_t RltnHdl) {
  return static_cast<TVdbRelationIndex>(RltnHdl < 0 ? 0 : RltnHdl % 256);
}

std::int16_t TRelationList::GetSessionHandle(std::int16_t RltnHdl) {
  return static_cast<std::int16_t>(RltnHdl < 0 ? 0 : RltnHdl / 256 + 1);
}

TVdbRelation* TRelationList::GetRelation(std::int16_t RltnHdl) const {
  std::lock_guard<std::mutex> guard(FLock);
  const auto found = FRelations.find(RltnHdl);
  return found == FRelations.end() ? nullptr : found->second;
}

TVdbRelation* TRelationList::GetSessionRelation(std::int16_t SessHdl,
                                                TVdbRelationIndex RltnIdx) const {
  if (RltnIdx < kFirstRltnIdx || RltnIdx > kLastRltnIdx) return nullptr;
  return GetRelation(CalcRltnHdl(SessHdl, RltnIdx));
}

bool TRelationList::SetRelation(std::int16_t RltnHdl, TVdbRelation* Relation) {
  const TVdbRelationIndex index = GetRltnIdx(RltnHdl);
  if (RltnHdl <= 0 || index < kFirstRltnIdx || index > kLastRltnIdx || !Relation) return false;
  std::lock_guard<std::mutex> guard(FLock);
  FRelations[RltnHdl] = Relation;
  return true;
}

void TRelationList::RemoveRelation(std::int16_t RltnHdl) {
  std::lock_guard<std::mutex> guard(FLock);
  FRelations.erase(RltnHdl);
}

void TRelationList::RemoveRelation(const TVdbRelation* Relation) {
  std::lock_guard<std::mutex> guard(FLock);
  std::erase_if(FRelations, [Relation](const auto& Entry) { return Entry.second == Relation; });
}

bool TRelationList::IsValidRelation(const TVdbRelation* Relation) const {
  if (!Relation) return false;
  std::lock_guard<std::mutex> guard(FLock);
  return std::any_of(FRelations.begin(), FRelations.end(),
                     [Relation](const auto& Entry) { return Entry.second == Relation; });
}

bool TRelationList::IsValidRltnHdl(std::int16_t RltnHdl) const {
  return GetRelation(RltnHdl) != nullptr;
}

std::int16_t TRelationList::GetTemporaryHandle(std::int16_t SessHdl) const {
  if (SessHdl <= 0) return 0;
  std::lock_guard<std::mutex> guard(FLock);
  for (std::int16_t index = kFirstRltnIdx; index <= kLastRltnIdx; ++index) {
    const std::int16_t handle = CalcRltnHdl(SessHdl, index);
    if (FRelations.find(handle) == FRelations.end()) return handle;
  }
  return 0;
}

}  // namespace vdb
