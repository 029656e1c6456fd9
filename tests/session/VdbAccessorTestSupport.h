// The accessor and virtual-relation tests' relation: the memory relation with the columns ID
// (Integer), NAME (String 20, nullable) and NOTE (memo), an optional index "NAME" over NAME in a
// real index file of a scratch container, records that can be replaced, and a heap's way of
// deleting (the last record moves into the freed slot). It tells its accessors about every
// change, counts its locks and can refuse them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/VdbAccessor.h"
#include "base/VdbServices.h"
#include "support/VdbMemoryRelation.h"
#include "table/VdbIndexKeys.h"
#include "table/VdbRelation.h"
#include "table/VdbTreeTestSupport.h"

namespace vdb::accesstest {

constexpr std::int16_t kId = 1, kName = 2, kNote = 3;

class TAccessorTestRelation : public test::TMemoryRelation {
 public:
  TAccessorTestRelation(TVdbServices* Services, std::string Name, bool WithIndex)
      : test::TMemoryRelation(Services, {}, std::move(Name)), FWithIndex(WithIndex) {
    RealDelete = false;
  }
  ~TAccessorTestRelation() override {
    if (FIndex) FIndex->Close();
  }

  bool FailIndexOpen = false;  // CheckIndexOpen fails with error 95
  std::int32_t IndexSearches = 0;

  // Appends a record with ID, NAME (nullptr = NULL) and NOTE.
  std::int32_t Add(std::int32_t Id, const char* Name, const std::string& Note = {}) {
    std::vector<std::uint8_t> Record = NewRecord();
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
  std::int32_t IdAt(std::int32_t RecNo) const { return IdOf(RecordAt(RecNo).data()); }
  // Changes NAME of record RecNo through ReplaceRecord.
  std::int16_t Rename(std::int32_t RecNo, const char* Name) {
    std::vector<std::uint8_t> Record = RecordAt(RecNo);
    const std::vector<std::uint8_t> Original = Record;
    SetAnsiString(Record.data(), kName, Name);
    return ReplaceRecord(Record.data(), Original.data(), RecNo, nullptr);
  }
  std::int16_t Delete(std::int32_t RecNo) {
    std::vector<std::uint8_t> Record = RecordAt(RecNo);
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
  std::string Name() const override { return FullName(); }
  std::int16_t OpenFiles(bool Force) override {
    return Guarded([&]() -> std::int16_t {
      FColumnDefs->Clear();
      FColumnDefs->Add(
          TVdbColumnDef::CreateColumnDef("ID", TVdbDataType::GetDataType(16, false, 6), 0));
      FColumnDefs->Add(TVdbColumnDef::CreateColumnDef(
          "NAME", TVdbDataType::GetStringType(1, true, 6, 20, ""), kVdbColNullable));
      FColumnDefs->Add(TVdbColumnDef::CreateColumnDef(
          "NOTE", TVdbDataType::GetStringType(7, true, 6, 0, ""), kVdbColNullable));
      const std::int16_t Opened = test::TMemoryRelation::OpenFiles(Force);
      if (Opened < 0) return Opened;
      FRights = kVdbNewTableRights;
      if (FWithIndex) OpenIndex();
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
  std::int16_t CheckIndexOpen(std::int16_t IndexNo) override {
    if (FailIndexOpen) return RecordError(95, {std::string("NAME")});
    return TVdbRelation::CheckIndexOpen(IndexNo);
  }
  std::int16_t NewIndex(const std::string&, const TVdbSortDef&,
                        const TVdbIndexFile::TProgressFunc&, std::int32_t) override {
    return -34;
  }
  std::int16_t RemoveInd(std::int16_t) override { return -34; }
  std::int16_t MoveIndex(std::int16_t, std::int16_t) override { return -34; }
  std::int16_t WriteBlobDataWide(std::uint8_t*, std::int16_t, const std::u16string&) override {
    return -34;
  }
  std::int32_t GetCapacity() const override { return kVdbDefaultCapacity; }
  std::int32_t ReadNextRecordId() override { return 0; }
  std::int16_t ReplaceRecord(std::uint8_t* RecBuffer, const std::uint8_t*, std::int32_t RecNo,
                             const TVdbBlobDataList* Blobs) override {
    if (RecNo < 1 || RecNo > RecordCount()) return RecordError(19, {});
    RecordRemoving(RecNo);
    WriteBlobs(RecBuffer, Blobs);
    StoreRecord(RecNo, RecBuffer);
    RecordAdded(RecNo);
    NotifyRecordChanged(RecNo);
    return 0;
  }
  std::int16_t DoGetLinkString(const std::uint8_t*, std::int16_t, std::string& Result) override {
    Result = "link";
    return 0;
  }

 protected:
  void RecordAdded(std::int32_t RecNo) override {
    if (!FIndex) return;
    const auto Item = KeyOf(RecNo);
    ASSERT_EQ(FIndex->Add_Index(Item.data(), FIndexDef->KeySize()), 0);
  }
  void RecordRemoving(std::int32_t RecNo) override {
    if (!FIndex) return;
    ASSERT_EQ(FIndex->Loesche_Index(KeyOf(RecNo).data()), 0);
  }
  void RecordsCleared() override {
    if (FIndex) FIndex->Clear_Index();
  }

 private:
  void OpenIndex() {
    FIndexDef = CalcIndexDefinition("NAME", false);
    const std::string FileName = "\\" + FullName() + "!NAME.vdbi";
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
    TVdbRelation::CalcIndexInfo(RecordAt(RecNo).data(), *FIndexDef,
                                *reinterpret_cast<TVdbLongIndexInfo*>(Item.data()), RecNo);
    return Item;
  }

  bool FWithIndex;
  treetest::TContainerEnv FEnv;
  std::unique_ptr<TVdbSortDef> FIndexDef;
  std::unique_ptr<TVdbIndexFile> FIndex;
};

// A filter that accepts records whose ID passes a predicate, and can raise an engine error.
class TIdFilter : public TVdbAccessorFilter {
 public:
  using TPredicate = std::function<bool(std::int32_t)>;
  TIdFilter(TAccessorTestRelation& Relation, TPredicate Accept)
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
  TAccessorTestRelation& FRelation;
  TPredicate FAccept;
};

// The IDs an accessor walks from First with Next (or from Last with Prior).
inline std::vector<std::int32_t> WalkIds(TVdbAccessor& Accessor, TAccessorTestRelation& Relation,
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
    Relation = std::make_unique<TAccessorTestRelation>(&Services, "Data", WithIndex);
    ASSERT_EQ(Relation->Open(false), 0) << Services.LastErrorMsg();
  }
  // Records with IDs 1..Count and names from Names (cycled).
  void Fill(std::int32_t Count, const std::vector<const char*>& Names) {
    for (std::int32_t Id = 1; Id <= Count; ++Id)
      ASSERT_EQ(Relation->Add(Id, Names[static_cast<std::size_t>(Id - 1) % Names.size()]), Id);
  }

  TVdbServices Services{1};
  std::unique_ptr<TAccessorTestRelation> Relation;
};

}  // namespace vdb::accesstest
