// A small relation over records kept in memory, for the accessor and virtual-relation tests:
// columns ID (Integer), NAME (String 20, nullable) and NOTE (memo), an optional index "NAME"
// over NAME in a real index file of a scratch container, and a heap's way of deleting: the last
// record moves into the freed slot. It tells its accessors about every change, counts its locks
// and can refuse them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "session/VdbAccessor.h"
#include "base/VdbServices.h"
#include "table/VdbIndexKeys.h"
#include "table/VdbRelation.h"
#include "table/VdbTreeTestSupport.h"

namespace vdb::accesstest {

constexpr std::int16_t kId = 1, kName = 2, kNote = 3;

class TMemoryRelation : public TVdbRelation {
 public:
  TMemoryRelation(TVdbServices* Services, std::string Name, bool WithIndex)
      : TVdbRelation(Services), FName(std::move(Name)), FWithIndex(WithIndex) {}
  ~TMemoryRelation() override {
    if (FIndex) FIndex->Close();
  }

  // --- Test controls ---
  std::int32_t ReadLocks = 0;       // currently held
  std::int32_t MaxReadLocks = 0;    // highest number held at once
  std::int32_t UpgradeLocks = 0;
  bool RefuseLocks = false;         // lock requests fail with error 104
  bool FailIndexOpen = false;       // CheckIndexOpen fails with error 95

  // Appends a record with ID, NAME (nullptr = NULL) and NOTE.
  std::int32_t Add(std::int32_t Id, const char* Name, const std::string& Note = {}) {
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(RecordSize()), 0);
    InitRecord(Record.data(), false);
    SetInt32(Record.data(), kId, Id);
    if (Name != nullptr) SetAnsiString(Record.data(), kName, Name);
    TVdbBlobDataList Blobs;
    if (!Note.empty()) Blobs.push_back(TVdbBlobData{kNote, Note, {}, 0});
    return AppendRecord(Record.data(), &Blobs);
  }
  std::int32_t IdOf(const std::uint8_t* Record) const {
    std::int32_t Id = 0;
    GetInt32(Record, kId, Id);
    return Id;
  }
  std::int32_t IdAt(std::int32_t RecNo) const {
    return IdOf(FRecords.at(static_cast<std::size_t>(RecNo - 1)).data());
  }
  // Changes NAME of record RecNo through ReplaceRecord.
  std::int16_t Rename(std::int32_t RecNo, const char* Name) {
    std::vector<std::uint8_t> Record = FRecords.at(static_cast<std::size_t>(RecNo - 1));
    const std::vector<std::uint8_t> Original = Record;
    SetAnsiString(Record.data(), kName, Name);
    return ReplaceRecord(Record.data(), Original.data(), RecNo, nullptr);
  }
  std::int16_t Delete(std::int32_t RecNo) {
    std::vector<std::uint8_t> Record = FRecords.at(static_cast<std::size_t>(RecNo - 1));
    return DeleteRecord(Record.data(), RecNo);
  }
  // Another session took the index away: the slot is empty when the names are read again.
  void DropIndexElsewhere() {
    FIndex->Close();
    FIndex.reset();
    FLastIndexNo = -1;
    NotifyIndexNamesChanged();
  }

  // --- Own operations ---
  bool Active() const override { return FOpen; }
  bool ReadOnly() const override { return false; }
  bool Exclusive() const override { return true; }
  std::string FullName() const override { return FName; }
  std::string Name() const override { return FName; }
  std::int16_t Level() const override { return 6; }
  std::int32_t RecordSize() const override { return FColumnDefs->GetRecordSize(); }
  std::int32_t RecordCount() override { return static_cast<std::int32_t>(FRecords.size()); }
  std::int32_t ConstraintCount() const override { return 0; }
  TVdbCheckDef* GetConstraint(std::int32_t) const override { return nullptr; }
  std::int32_t IntegrityRuleCount() const override { return 0; }
  TVdbForeignKeyDef* GetIntegrityRule(std::int32_t) const override { return nullptr; }

  std::int16_t OpenFiles(bool) override {
    return Guarded([&]() -> std::int16_t {
      FColumnDefs->Clear();
      FColumnDefs->Add(
          TVdbColumnDef::CreateColumnDef("ID", TVdbDataType::GetDataType(16, false, 6), 0));
      FColumnDefs->Add(TVdbColumnDef::CreateColumnDef(
          "NAME", TVdbDataType::GetStringType(1, true, 6, 20, ""), kVdbColNullable));
      FColumnDefs->Add(TVdbColumnDef::CreateColumnDef(
          "NOTE", TVdbDataType::GetStringType(7, true, 6, 0, ""), kVdbColNullable));
      RecalcColumnFlags();
      FRights = kVdbNewTableRights;
      AllocRecBuffer();
      if (FWithIndex) OpenIndex();
      FOpen = true;
      return 0;
    });
  }
  std::int16_t InitIndex(const std::string&, const TVdbSortDef*) override { return -82; }
  TVdbIndexFile* GetIndexFile(std::int16_t IndexNo) const override {
    return IndexNo == 0 && FIndex ? FIndex.get() : nullptr;
  }
  // Counts the index searches (each step of an index walk is one).
  std::int16_t FindSortInfo(std::int16_t AccessId, const TVdbLongIndexInfo& SearchInfo,
                            TVdbLongIndexInfo& FoundInfo) override {
    ++IndexSearches;
    return TVdbRelation::FindSortInfo(AccessId, SearchInfo, FoundInfo);
  }
  std::int32_t IndexSearches = 0;
  std::int16_t CheckIndexOpen(std::int16_t IndexNo) override {
    if (FailIndexOpen) return RecordError(95, {std::string("NAME")});
    return TVdbRelation::CheckIndexOpen(IndexNo);
  }

  std::int16_t BeginRead(bool) override {
    if (RefuseLocks) return RecordError(104, {});
    MaxReadLocks = std::max(MaxReadLocks, ++ReadLocks);
    return 0;
  }
  std::int16_t EndRead() override {
    --ReadLocks;
    return 0;
  }
  std::int16_t BeginUpgrade(bool) override {
    if (RefuseLocks) return RecordError(104, {});
    ++UpgradeLocks;
    return 0;
  }
  std::int16_t EndUpgrade() override {
    --UpgradeLocks;
    return 0;
  }
  std::int16_t BeginWrite(bool) override { return 0; }
  std::int16_t BeginExclusive(bool) override { return 0; }

  std::int16_t NewIndex(const std::string&, const TVdbSortDef&,
                        const TVdbIndexFile::TProgressFunc&, std::int32_t) override {
    return -34;
  }
  std::int16_t RemoveInd(std::int16_t) override { return -34; }

  // Memos: the field holds a block number of the memo map.
  std::int32_t GetBlobLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override {
    return static_cast<std::int32_t>(MemoOf(RecBuffer, FieldNo).size());
  }
  std::int32_t GetMemoLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override {
    return GetBlobLength(RecBuffer, FieldNo);
  }
  std::int16_t ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                              std::string& Value) override {
    ++MemoReads;
    Value = MemoOf(RecBuffer, FieldNo);
    return 0;
  }
  std::int16_t GetBlobType(const std::uint8_t*, std::int16_t) override { return 0; }
  std::int16_t ReadBlobData(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::string& Data, std::int16_t& BlobType) override {
    Data = MemoOf(RecBuffer, FieldNo);
    BlobType = 0;
    return 0;
  }
  std::int16_t ReadBlobDataWide(const std::uint8_t*, std::int16_t, std::u16string& Value) override {
    Value.clear();
    return 0;
  }
  std::int32_t MemoReads = 0;

  const TVdbSortDef* GetNativeSortDef() const override { return nullptr; }
  std::int16_t Check(bool) override { return 0; }
  bool CanRealDelete() const override { return false; }
  std::int32_t ClearDat() override {
    const auto Count = static_cast<std::int32_t>(FRecords.size());
    FRecords.clear();
    FMemos.clear();
    if (FIndex) FIndex->Clear_Index();
    NotifyRelationEmptied();
    return Count;
  }
  std::int16_t Flush() override { return 0; }
  std::int16_t Undo() override { return 0; }
  std::string GetBlobBaseDir() const override { return {}; }
  std::int16_t GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                            std::int16_t& BaseFieldNo) const override {
    BaseRltnIdx = FRltnIdx;
    BaseFieldNo = FieldNo;
    return 0;
  }
  std::int32_t GetCapacity() const override { return kVdbDefaultCapacity; }
  std::int16_t MoveIndex(std::int16_t, std::int16_t) override { return -34; }

  std::int32_t GetFirstRecordNo() override { return FRecords.empty() ? 0 : 1; }
  std::int32_t GetNextRecordNo(std::int32_t RecNo) override {
    return RecNo < RecordCount() ? RecNo + 1 : 0;
  }
  std::int32_t GetPrevRecordNo(std::int32_t RecNo) override {
    return RecNo > 1 ? std::min(RecNo - 1, RecordCount()) : 0;
  }
  std::int32_t GetLastRecordNo() override { return RecordCount(); }
  std::int16_t SetAutoNum(std::uint8_t*) override { return 0; }
  std::int16_t AdjustRecordId(const std::uint8_t*) override { return 0; }
  std::int16_t CancelAutoNum(std::int32_t) override { return 0; }

  std::int16_t ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) override {
    if (RecNo < 1 || RecNo > RecordCount()) return RecordError(19, {});
    ++RecordReads;
    const auto& Record = FRecords[static_cast<std::size_t>(RecNo - 1)];
    std::copy(Record.begin(), Record.end(), RecBuffer);
    return 0;
  }
  std::int32_t RecordReads = 0;
  std::int16_t InitRecord(std::uint8_t* RecBuffer, bool) override {
    std::fill(RecBuffer, RecBuffer + RecordSize(), 0);
    return 0;
  }
  std::int32_t AppendRecord(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) override {
    WriteBlobs(RecBuffer, Blobs);
    FRecords.emplace_back(RecBuffer, RecBuffer + RecordSize());
    const auto RecNo = static_cast<std::int32_t>(FRecords.size());
    AddKey(RecNo);
    NotifyRelationChanged();
    return RecNo;
  }
  std::int16_t ReplaceRecord(std::uint8_t* RecBuffer, const std::uint8_t*, std::int32_t RecNo,
                             const TVdbBlobDataList* Blobs) override {
    if (RecNo < 1 || RecNo > RecordCount()) return RecordError(19, {});
    RemoveKey(RecNo);
    WriteBlobs(RecBuffer, Blobs);
    FRecords[static_cast<std::size_t>(RecNo - 1)].assign(RecBuffer, RecBuffer + RecordSize());
    AddKey(RecNo);
    NotifyRecordChanged(RecNo);
    return 0;
  }
  std::int16_t DeleteRecord(std::uint8_t*, std::int32_t RecNo) override {
    if (RecNo < 1 || RecNo > RecordCount()) return RecordError(19, {});
    if (FUseEditLocks && CheckEdit(RecNo, nullptr) < 0) return -105;
    const std::int32_t Last = RecordCount();
    RemoveKey(RecNo);
    std::int32_t Moved = 0;
    if (RecNo != Last) {
      RemoveKey(Last);
      FRecords[static_cast<std::size_t>(RecNo - 1)] = FRecords.back();
      Moved = Last;
    }
    FRecords.pop_back();
    if (Moved != 0) AddKey(RecNo);
    NotifyRecordDeleted(RecNo, Moved);
    return 0;
  }
  std::int16_t BerechneFormeln(std::uint8_t*, TVdbCalculationPurposes) override { return 0; }
  std::int32_t ReadNextRecordId() override { return 0; }
  std::int16_t WriteMemoString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                               const std::string& Value) override {
    const std::int32_t Block = ++FNextBlock;
    FMemos[Block] = Value;
    SetBlockIdx(RecBuffer, FieldNo, Block);
    return 0;
  }
  std::int16_t WriteBlobData(std::uint8_t* RecBuffer, std::int16_t FieldNo, const std::string& Data,
                             std::int16_t) override {
    return WriteMemoString(RecBuffer, FieldNo, Data);
  }
  std::int16_t WriteBlobDataWide(std::uint8_t*, std::int16_t, const std::u16string&) override {
    return -34;
  }
  std::int16_t DoGetLinkString(const std::uint8_t*, std::int16_t, std::string& Result) override {
    Result = "link";
    return 0;
  }

 private:
  void OpenIndex() {
    FIndexDef = CalcIndexDefinition("NAME", false);
    const std::string FileName = "\\" + FName + "!NAME.vdbi";
    FIndex = std::make_unique<TVdbIndexFile>(FServices ? &FServices->LastError() : nullptr,
                                             FEnv.Client(FileName), 6);
    FIndex->SetName("NAME");
    FIndex->SetFileName(FileName);
    FIndex->SetKind(tikUser);
    FIndex->SetCompareFunction([this](const std::uint8_t* X, const std::uint8_t* Y, bool& U) {
      return IndexLess(*FIndexDef, X, Y, U);
    });
    const std::int16_t Defined = FIndex->SetIndexDefinition(VdbIndexHeaderDef(*FIndexDef, 6));
    const std::int16_t Made =
        Defined < 0 ? Defined : FIndex->NewStorage(6, FIndex->CalcPageSizeForCapacity(100000));
    if (Made < 0) throw EVdbEngine(95, "NAME: " + FIndex->LastFailure());
    FLastIndexNo = 0;
  }
  std::vector<std::uint8_t> KeyOf(std::int32_t RecNo) {
    std::vector<std::uint8_t> Item(static_cast<std::size_t>(FIndexDef->KeySize()) + 8, 0);
    TVdbRelation::CalcIndexInfo(FRecords[static_cast<std::size_t>(RecNo - 1)].data(), *FIndexDef,
                                *reinterpret_cast<TVdbLongIndexInfo*>(Item.data()), RecNo);
    return Item;
  }
  void AddKey(std::int32_t RecNo) {
    if (!FIndex) return;
    const auto Item = KeyOf(RecNo);
    ASSERT_EQ(FIndex->Add_Index(Item.data(), FIndexDef->KeySize()), 0);
  }
  void RemoveKey(std::int32_t RecNo) {
    if (!FIndex) return;
    ASSERT_EQ(FIndex->Loesche_Index(KeyOf(RecNo).data()), 0);
  }
  void WriteBlobs(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) {
    if (Blobs == nullptr) return;
    for (const TVdbBlobData& Blob : *Blobs)
      if (Blob.FieldNo != 0) WriteMemoString(RecBuffer, Blob.FieldNo, Blob.AnsiData);
  }
  std::string MemoOf(const std::uint8_t* RecBuffer, std::int16_t FieldNo) const {
    const auto It = FMemos.find(GetBlockIdx(RecBuffer, FieldNo));
    return It == FMemos.end() ? std::string() : It->second;
  }

  std::string FName;
  bool FWithIndex;
  bool FOpen = false;
  std::vector<std::vector<std::uint8_t>> FRecords;
  std::map<std::int32_t, std::string> FMemos;
  std::int32_t FNextBlock = 0;
  treetest::TContainerEnv FEnv;
  std::unique_ptr<TVdbSortDef> FIndexDef;
  std::unique_ptr<TVdbIndexFile> FIndex;
};

// A filter that accepts records whose ID passes a predicate, and can raise an engine error.
class TIdFilter : public TVdbAccessorFilter {
 public:
  using TPredicate = std::function<bool(std::int32_t)>;
  TIdFilter(TMemoryRelation& Relation, TPredicate Accept)
      : FRelation(Relation), FAccept(std::move(Accept)) {}
  bool IsSatisfied(TVdbAccessor& Accessor) override {
    ++Calls;
    const std::int32_t Id = FRelation.IdOf(Accessor.GetRecordPtr());
    if (Id == FailOnId) throw EVdbEngine(44, kxFormatArgs{});
    return FAccept(Id);
  }
  std::int32_t FailOnId = -1;
  int Calls = 0;

 private:
  TMemoryRelation& FRelation;
  TPredicate FAccept;
};

// The IDs an accessor walks from First with Next (or from Last with Prior).
inline std::vector<std::int32_t> WalkIds(TVdbAccessor& Accessor, TMemoryRelation& Relation,
                                         bool Backwards = false) {
  std::vector<std::int32_t> Ids;
  std::int16_t Result = Backwards ? Accessor.Last() : Accessor.First();
  while (Result == 0 && Ids.size() < 100000) {
    Ids.push_back(Relation.IdOf(Accessor.GetRecordPtr()));
    Result = Backwards ? Accessor.Prior() : Accessor.Next();
  }
  EXPECT_EQ(Result, kVdbEndOfWalk);
  return Ids;
}

// Services and an open relation of a session.
class TAccessorFixture : public ::testing::Test {
 protected:
  void OpenRelation(bool WithIndex = true) {
    Relation = std::make_unique<TMemoryRelation>(&Services, "Data", WithIndex);
    ASSERT_EQ(Relation->Open(false), 0) << Services.LastErrorMsg();
  }
  // Records with IDs 1..Count and names from Names (cycled).
  void Fill(std::int32_t Count, const std::vector<const char*>& Names) {
    for (std::int32_t Id = 1; Id <= Count; ++Id)
      ASSERT_EQ(Relation->Add(Id, Names[static_cast<std::size_t>(Id - 1) % Names.size()]), Id);
  }

  TVdbServices Services{1};
  std::unique_ptr<TMemoryRelation> Relation;
};

}  // namespace vdb::accesstest
