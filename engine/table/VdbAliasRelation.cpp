#include "table/VdbAliasRelation.h"

#include "base/VdbServices.h"

namespace vdb {

namespace {
}

TVdbVirtualRelation::TVdbVirtualRelation(TVdbServices* Services, TVdbRelation& BaseRelation,
                                         std::string Name)
    : TVdbRelation(Services), FName(std::move(Name)), FBaseRelation(&BaseRelation) {
  FBaseRelation->AddAccessor(this);
}

TVdbVirtualRelation::~TVdbVirtualRelation() { FBaseRelation->RemoveAccessor(this); }

// ---------------------------------------------------------------------------------------------
// Operations of its own

std::int16_t TVdbVirtualRelation::OpenFiles(bool /*Force*/) {
  return Guarded([&]() -> std::int16_t {
    FColumnDefs->Clear();
    const std::int16_t Count = FBaseRelation->GetColumnCount();
    for (std::int16_t FieldNo = 1; FieldNo <= Count; ++FieldNo)
      FColumnDefs->Add(FBaseRelation->GetColumnDef(FieldNo).Clone());
    RecalcColumnFlags();
    FRights = FBaseRelation->Rights();
    FRecordIdFieldNo = FBaseRelation->RecordIdFieldNo();
    FIdIndexNo = FBaseRelation->IdIndexNo();
    FInrIndexNo = FBaseRelation->InrIndexNo();
    FPrimIndexNo = FBaseRelation->PrimIndexNo();
    FUseEditLocks = FBaseRelation->UseEditLocks();
    AllocRecBuffer();
    FIsOpen = true;
    return 0;
  });
}

std::int16_t TVdbVirtualRelation::InitIndex(const std::string& /*IndexName*/,
                                            const TVdbSortDef* /*IndexDef*/) {
  return -kVdbErrCommandNotAllowedHere;
}

std::int16_t TVdbVirtualRelation::Setup(bool /*Force*/) { return 0; }

std::int16_t TVdbVirtualRelation::Close() {
  const std::int16_t Result = TVdbRelation::Close();
  if (Result >= 0) FIsOpen = false;
  return Result;
}

// ---------------------------------------------------------------------------------------------
// Passed to the base relation

bool TVdbVirtualRelation::ReadOnly() const { return FBaseRelation->ReadOnly(); }
bool TVdbVirtualRelation::Exclusive() const { return FBaseRelation->Exclusive(); }
std::int16_t TVdbVirtualRelation::Level() const { return FBaseRelation->Level(); }
std::int32_t TVdbVirtualRelation::RecordSize() const { return FBaseRelation->RecordSize(); }
std::int32_t TVdbVirtualRelation::RecordCount() { return FBaseRelation->RecordCount(); }
std::int32_t TVdbVirtualRelation::ConstraintCount() const {
  return FBaseRelation->ConstraintCount();
}
TVdbCheckDef* TVdbVirtualRelation::GetConstraint(std::int32_t Index) const {
  return FBaseRelation->GetConstraint(Index);
}
std::int32_t TVdbVirtualRelation::IntegrityRuleCount() const {
  return FBaseRelation->IntegrityRuleCount();
}
TVdbForeignKeyDef* TVdbVirtualRelation::GetIntegrityRule(std::int32_t Index) const {
  return FBaseRelation->GetIntegrityRule(Index);
}
std::int16_t TVdbVirtualRelation::FirstIndexNo() const { return FBaseRelation->FirstIndexNo(); }
std::int16_t TVdbVirtualRelation::LastIndexNo() const { return FBaseRelation->LastIndexNo(); }
std::int16_t TVdbVirtualRelation::IndexCount() const { return FBaseRelation->IndexCount(); }
TVdbIndexFile* TVdbVirtualRelation::GetIndexFile(std::int16_t IndexNo) const {
  return FBaseRelation->GetIndexFile(IndexNo);
}
std::int16_t TVdbVirtualRelation::BeginRead(bool Wait) { return FBaseRelation->BeginRead(Wait); }
std::int16_t TVdbVirtualRelation::BeginUpgrade(bool Wait) {
  return FBaseRelation->BeginUpgrade(Wait);
}
std::int16_t TVdbVirtualRelation::BeginWrite(bool Wait) { return FBaseRelation->BeginWrite(Wait); }
std::int16_t TVdbVirtualRelation::BeginExclusive(bool Wait) {
  return FBaseRelation->BeginExclusive(Wait);
}
std::int16_t TVdbVirtualRelation::NewIndex(const std::string& IndexName,
                                           const TVdbSortDef& IndexDef,
                                           const TVdbIndexFile::TProgressFunc& ProgFun,
                                           std::int32_t Capacity) {
  return FBaseRelation->NewIndex(IndexName, IndexDef, ProgFun, Capacity);
}
std::int16_t TVdbVirtualRelation::RemoveInd(std::int16_t IndexNo) {
  return FBaseRelation->RemoveInd(IndexNo);
}
std::string TVdbVirtualRelation::CalcIndexFileName(const std::string& IndexName) const {
  return FBaseRelation->CalcIndexFileName(IndexName);
}
void TVdbVirtualRelation::IndexAdded(std::int16_t IndexNo) { FBaseRelation->IndexAdded(IndexNo); }
TkxFileSystem* TVdbVirtualRelation::GetIndexFileSystem(TVdbIndexKind Kind) const {
  return FBaseRelation->GetIndexFileSystem(Kind);
}
std::int32_t TVdbVirtualRelation::GetBlobLength(const std::uint8_t* RecBuffer,
                                                std::int16_t FieldNo) {
  return FBaseRelation->GetBlobLength(RecBuffer, FieldNo);
}
std::int32_t TVdbVirtualRelation::GetMemoLength(const std::uint8_t* RecBuffer,
                                                std::int16_t FieldNo) {
  return FBaseRelation->GetMemoLength(RecBuffer, FieldNo);
}
std::int16_t TVdbVirtualRelation::ReadMemoString(const std::uint8_t* RecBuffer,
                                                 std::int16_t FieldNo, std::string& Value) {
  return FBaseRelation->ReadMemoString(RecBuffer, FieldNo, Value);
}
std::int16_t TVdbVirtualRelation::GetBlobType(const std::uint8_t* RecBuffer, std::int16_t FieldNo) {
  return FBaseRelation->GetBlobType(RecBuffer, FieldNo);
}
std::int16_t TVdbVirtualRelation::ReadBlobData(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                               std::string& Data, std::int16_t& BlobType) {
  return FBaseRelation->ReadBlobData(RecBuffer, FieldNo, Data, BlobType);
}
std::int16_t TVdbVirtualRelation::ReadBlobDataWide(const std::uint8_t* RecBuffer,
                                                   std::int16_t FieldNo, std::u16string& Value) {
  return FBaseRelation->ReadBlobDataWide(RecBuffer, FieldNo, Value);
}
const TVdbSortDef* TVdbVirtualRelation::GetNativeSortDef() const {
  return FBaseRelation->GetNativeSortDef();
}
std::int16_t TVdbVirtualRelation::Check(bool Repair) { return FBaseRelation->Check(Repair); }
bool TVdbVirtualRelation::CanRealDelete() const { return FBaseRelation->CanRealDelete(); }
std::int32_t TVdbVirtualRelation::ClearDat() { return FBaseRelation->ClearDat(); }
std::int16_t TVdbVirtualRelation::Flush() { return FBaseRelation->Flush(); }
std::int16_t TVdbVirtualRelation::Undo() { return FBaseRelation->Undo(); }
std::string TVdbVirtualRelation::GetBlobBaseDir() const { return FBaseRelation->GetBlobBaseDir(); }
std::int16_t TVdbVirtualRelation::GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                                               std::int16_t& BaseFieldNo) const {
  return FBaseRelation->GetBaseField(FieldNo, BaseRltnIdx, BaseFieldNo);
}
std::int32_t TVdbVirtualRelation::GetCapacity() const { return FBaseRelation->GetCapacity(); }
std::int16_t TVdbVirtualRelation::MoveIndex(std::int16_t FromIndexNo, std::int16_t ToIndexNo) {
  return FBaseRelation->MoveIndex(FromIndexNo, ToIndexNo);
}
std::int16_t TVdbVirtualRelation::FindFirstIndexInfo(std::int16_t IndexNo,
                                                     TVdbLongIndexInfo& Value) {
  return FBaseRelation->FindFirstIndexInfo(IndexNo, Value);
}
std::int16_t TVdbVirtualRelation::FindNextIndexInfo(std::int16_t IndexNo,
                                                    TVdbLongIndexInfo& Value) {
  return FBaseRelation->FindNextIndexInfo(IndexNo, Value);
}
std::int16_t TVdbVirtualRelation::FindLastIndexInfo(std::int16_t IndexNo,
                                                    TVdbLongIndexInfo& Value) {
  return FBaseRelation->FindLastIndexInfo(IndexNo, Value);
}
std::int16_t TVdbVirtualRelation::FindPrevIndexInfo(std::int16_t IndexNo,
                                                    TVdbLongIndexInfo& Value) {
  return FBaseRelation->FindPrevIndexInfo(IndexNo, Value);
}
std::int32_t TVdbVirtualRelation::GetFirstRecordNo() { return FBaseRelation->GetFirstRecordNo(); }
std::int32_t TVdbVirtualRelation::GetNextRecordNo(std::int32_t RecNo) {
  return FBaseRelation->GetNextRecordNo(RecNo);
}
std::int32_t TVdbVirtualRelation::GetPrevRecordNo(std::int32_t RecNo) {
  return FBaseRelation->GetPrevRecordNo(RecNo);
}
std::int32_t TVdbVirtualRelation::GetLastRecordNo() { return FBaseRelation->GetLastRecordNo(); }
std::int16_t TVdbVirtualRelation::SetAutoNum(std::uint8_t* RecBuffer) {
  return FBaseRelation->SetAutoNum(RecBuffer);
}
std::int16_t TVdbVirtualRelation::AdjustRecordId(const std::uint8_t* RecBuffer) {
  return FBaseRelation->AdjustRecordId(RecBuffer);
}
std::int16_t TVdbVirtualRelation::CancelAutoNum(std::int32_t RecordId) {
  return FBaseRelation->CancelAutoNum(RecordId);
}
std::int16_t TVdbVirtualRelation::ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) {
  return FBaseRelation->ReadRecord(RecNo, RecBuffer);
}
std::int16_t TVdbVirtualRelation::InitRecord(std::uint8_t* RecBuffer, bool Preset) {
  return FBaseRelation->InitRecord(RecBuffer, Preset);
}
std::int32_t TVdbVirtualRelation::AppendRecord(std::uint8_t* RecBuffer,
                                               const TVdbBlobDataList* Blobs) {
  return FBaseRelation->AppendRecord(RecBuffer, Blobs);
}
std::int16_t TVdbVirtualRelation::ReplaceRecord(std::uint8_t* RecBuffer,
                                                const std::uint8_t* OrigRecBuffer,
                                                std::int32_t RecNo, const TVdbBlobDataList* Blobs) {
  return FBaseRelation->ReplaceRecord(RecBuffer, OrigRecBuffer, RecNo, Blobs);
}
std::int16_t TVdbVirtualRelation::DeleteRecord(std::uint8_t* RecBuffer, std::int32_t RecNo) {
  return FBaseRelation->DeleteRecord(RecBuffer, RecNo);
}
std::int16_t TVdbVirtualRelation::BerechneFormeln(std::uint8_t* RecBuffer,
                                                  TVdbCalculationPurposes Purposes) {
  return FBaseRelation->BerechneFormeln(RecBuffer, Purposes);
}
std::int32_t TVdbVirtualRelation::ReadNextRecordId() { return FBaseRelation->ReadNextRecordId(); }
std::int16_t TVdbVirtualRelation::WriteMemoString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                                  const std::string& Value) {
  return FBaseRelation->WriteMemoString(RecBuffer, FieldNo, Value);
}
std::int16_t TVdbVirtualRelation::WriteBlobData(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                                const std::string& Data, std::int16_t BlobType) {
  return FBaseRelation->WriteBlobData(RecBuffer, FieldNo, Data, BlobType);
}
std::int16_t TVdbVirtualRelation::WriteBlobDataWide(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                                    const std::u16string& Value) {
  return FBaseRelation->WriteBlobDataWide(RecBuffer, FieldNo, Value);
}
std::int16_t TVdbVirtualRelation::DoGetLinkString(const std::uint8_t* RecBuffer,
                                                  std::int16_t FieldNo, std::string& Result) {
  Result.clear();
  return FBaseRelation->DoGetLinkString(RecBuffer, FieldNo, Result);
}
std::int16_t TVdbVirtualRelation::FindIndex(const TVdbSortDef& IndexDef,
                                            TVdbIndexFindOptions Options, bool& Reverse) {
  return FBaseRelation->FindIndex(IndexDef, Options, Reverse);
}
std::int16_t TVdbVirtualRelation::FindFtIndexNo(const std::string& IndexName) const {
  return FBaseRelation->FindFtIndexNo(IndexName);
}
std::string TVdbVirtualRelation::GetRealIndexName(const std::string& IndexName) const {
  return FBaseRelation->GetRealIndexName(IndexName);
}
std::int16_t TVdbVirtualRelation::GetFullTextIndexNo(std::int16_t FieldNo) const {
  return FBaseRelation->GetFullTextIndexNo(FieldNo);
}
std::int16_t TVdbVirtualRelation::SearchFullText(std::int16_t FtIndexNo, const std::string& Text,
                                                 std::vector<std::int32_t>& RecordNos) {
  return FBaseRelation->SearchFullText(FtIndexNo, Text, RecordNos);
}
std::int16_t TVdbVirtualRelation::NetUsers(std::vector<std::string>& Users) {
  return FBaseRelation->NetUsers(Users);
}
std::int32_t TVdbVirtualRelation::CountReadLocks() const { return FBaseRelation->CountReadLocks(); }
std::int32_t TVdbVirtualRelation::CountWriteLocks() const {
  return FBaseRelation->CountWriteLocks();
}
std::int16_t TVdbVirtualRelation::CheckUpdate() { return FBaseRelation->CheckUpdate(); }
std::int16_t TVdbVirtualRelation::EndRead() { return FBaseRelation->EndRead(); }
std::int16_t TVdbVirtualRelation::EndUpgrade() { return FBaseRelation->EndUpgrade(); }
std::int16_t TVdbVirtualRelation::EndWrite() { return FBaseRelation->EndWrite(); }
std::int16_t TVdbVirtualRelation::EndExclusive() { return FBaseRelation->EndExclusive(); }
std::int16_t TVdbVirtualRelation::CheckEdit(std::int32_t RecNo, TVdbRelationListener* Excluded) {
  return FBaseRelation->CheckEdit(RecNo, Excluded);
}
std::int16_t TVdbVirtualRelation::SwitchEdit(std::int32_t FromRecNo, std::int32_t ToRecNo) {
  return FBaseRelation->SwitchEdit(FromRecNo, ToRecNo);
}
std::int16_t TVdbVirtualRelation::EndEdit(std::int32_t RecNo) {
  return FBaseRelation->EndEdit(RecNo);
}
std::int16_t TVdbVirtualRelation::UpdateTable() { return FBaseRelation->UpdateTable(); }
std::int16_t TVdbVirtualRelation::CheckIndexOpen(std::int16_t IndexNo) {
  return FBaseRelation->CheckIndexOpen(IndexNo);
}
const TVdbSortDef* TVdbVirtualRelation::GetIndexDefinition(std::int16_t IndexNo) {
  return FBaseRelation->GetIndexDefinition(IndexNo);
}

// ---------------------------------------------------------------------------------------------
// Notifications, passed on in registration order

std::string TVdbVirtualRelation::GetTag() const { return "VirtualRelation" + FStdName; }

void TVdbVirtualRelation::RecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) {
  NotifyRecordDeleted(RecNo, MovedRecNo);
}

void TVdbVirtualRelation::RecordChanged(std::int32_t RecNo) { NotifyRecordChanged(RecNo); }

void TVdbVirtualRelation::RelationChanged() { NotifyRelationChanged(); }

void TVdbVirtualRelation::RelationEmptied() { NotifyRelationEmptied(); }

void TVdbVirtualRelation::MayDeleteIndex(std::int16_t IndexNo, bool& Allowed) {
  if (!TVdbRelation::MayDeleteIndex(IndexNo)) Allowed = false;
}

void TVdbVirtualRelation::IndexRemoved(std::int16_t IndexNo) { NotifyIndexRemoved(IndexNo); }

void TVdbVirtualRelation::IndexNamesChanged() { NotifyIndexNamesChanged(); }

bool TVdbVirtualRelation::IsRecordEdited(std::int32_t RecNo) {
  return TVdbRelation::IsRecordEdited(RecNo, nullptr);
}

}  // namespace vdb
