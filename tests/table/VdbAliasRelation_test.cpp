// Virtual relations over an open relation (a relation in memory, and the lexicon's table Data):
// the same records, indexes, memos and locks under a name, column definitions, record buffer and
// accessors of their own; notifications relayed to their accessors, edit questions answered for
// them, and index creation refused.
#include "table/VdbAliasRelation.h"

#include <gtest/gtest.h>

#include "session/VdbAccessorTestSupport.h"
#include "table/VdbBaseTableTestSupport.h"
#include "table/VdbLocks.h"

namespace vdb::accesstest {
namespace {

using TIds = std::vector<std::int32_t>;

class AliasRelationTest : public TAccessorFixture {
 protected:
  void SetUp() override {
    OpenRelation();
    Fill(5, {"d", "b", "e", "a", "c"});  // index order: 4, 2, 5, 1, 3
  }
  std::unique_ptr<TVdbVirtualRelation> OpenAlias(const std::string& Name) {
    auto Alias = std::make_unique<TVdbVirtualRelation>(&Services, *Relation, Name);
    EXPECT_EQ(Alias->Open(false), 0) << Services.LastErrorMsg();
    return Alias;
  }
  std::int32_t Id(TVdbAccessor& A) { return Relation->IdOf(A.GetRecordPtr()); }
};

TEST_F(AliasRelationTest, ShowsTheBaseRelationUnderItsOwnName) {
  Relation->SetRights(kVdbRightEdit | kVdbRightExclusive);
  auto Alias = OpenAlias("AliasForData_1");
  EXPECT_TRUE(Alias->Active());
  EXPECT_EQ(Alias->Name(), "AliasForData_1");
  EXPECT_EQ(Alias->FullName(), "AliasForData_1");
  EXPECT_EQ(Alias->StdName(), TVdbRelation::CalcStdName("AliasForData_1"));
  EXPECT_EQ(Alias->RecordCount(), 5);
  EXPECT_EQ(Alias->RecordSize(), Relation->RecordSize());
  EXPECT_EQ(Alias->Level(), 6);
  EXPECT_EQ(Alias->GetCapacity(), Relation->GetCapacity());
  EXPECT_EQ(Alias->ReadOnly(), Relation->ReadOnly());
  EXPECT_EQ(Alias->Exclusive(), Relation->Exclusive());
  EXPECT_EQ(Alias->Rights(), kVdbRightEdit | kVdbRightExclusive);
  EXPECT_EQ(Alias->LastIndexNo(), 0);
  EXPECT_EQ(Alias->GetIndexFile(0), Relation->GetIndexFile(0));
  // Its own copies of the column definitions and its own record buffer.
  ASSERT_EQ(Alias->GetColumnCount(), 3);
  for (std::int16_t FieldNo = 1; FieldNo <= 3; ++FieldNo) {
    EXPECT_NE(&Alias->GetColumnDef(FieldNo), &Relation->GetColumnDef(FieldNo));
    EXPECT_EQ(Alias->GetFieldName(FieldNo), Relation->GetFieldName(FieldNo));
    EXPECT_EQ(Alias->GetFieldPos(FieldNo), Relation->GetFieldPos(FieldNo));
    EXPECT_EQ(Alias->GetDataType(FieldNo), Relation->GetDataType(FieldNo));
  }
  EXPECT_TRUE(Alias->HasMemo());
  ASSERT_NE(Alias->RecBuffer(), nullptr);
  EXPECT_NE(Alias->RecBuffer(), Relation->RecBuffer());
  // Records and memos read through it are the base relation's.
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Alias->RecordSize()));
  ASSERT_EQ(Alias->ReadRecord(3, Record.data()), 0);
  EXPECT_EQ(Relation->IdOf(Record.data()), 3);
  std::string Link = "stale";
  EXPECT_EQ(Alias->DoGetLinkString(Record.data(), kName, Link), 0);
  EXPECT_EQ(Link, "link");
  EXPECT_EQ(Alias->Close(), 0);
  EXPECT_FALSE(Alias->Active());
  EXPECT_EQ(Alias->GetColumnCount(), 0);
  EXPECT_EQ(Relation->RecordCount(), 5);
  EXPECT_TRUE(Relation->Active());
}

TEST_F(AliasRelationTest, AccessorsWalkTheBaseRecordsAndIndexes) {
  auto Alias = OpenAlias("AliasForData_1");
  TVdbAccessor A(*Alias, "A");
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{1, 2, 3, 4, 5}));
  ASSERT_EQ(A.SetAccess(0, false), 0);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{4, 2, 5, 1, 3}));
  EXPECT_EQ(A.GetRecordCount(), 5);
  ASSERT_EQ(A.GotoSequenceNo(3), 5);
  EXPECT_EQ(A.GetSequenceNo(), 3);
  std::string Memo;
  ASSERT_EQ(Relation->Add(6, "f", "note six"), 6);
  ASSERT_EQ(A.Last(), 0);
  EXPECT_EQ(A.GetMemo(kNote, Memo, -1), 8);
  EXPECT_EQ(Memo, "note six");
}

TEST_F(AliasRelationTest, TwoAliasesKeepTheirPositionsAndBothFollowADeletion) {
  auto First = OpenAlias("AliasForData_1");
  auto Second = OpenAlias("AliasForData_2");
  TVdbAccessor A(*First, "A"), B(*Second, "B"), Base(*Relation, "Base");
  ASSERT_EQ(A.GotoRecord(2), 0);
  ASSERT_EQ(B.SetAccess(0, false), 0);
  ASSERT_EQ(B.Last(), 0);  // "e", record 3
  EXPECT_EQ(A.CurrentRecordNo(), 2);
  ASSERT_EQ(A.Next(), 0);
  EXPECT_EQ(B.CurrentRecordNo(), 3);
  // A deletes record 3 through the first alias: record 5 moves into slot 3.
  ASSERT_EQ(A.DeleteRecord(), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 3);
  EXPECT_EQ(Id(A), 5);
  EXPECT_EQ(Id(B), 1);  // the new last key "d"
  EXPECT_EQ(B.Next(), kVdbEndOfWalk);
  EXPECT_EQ(Relation->RecordCount(), 4);
  EXPECT_EQ(First->RecordCount(), 4);
  // The base relation's own accessors hear it too.
  EXPECT_EQ(WalkIds(Base, *Relation), (TIds{1, 2, 5, 4}));
}

TEST_F(AliasRelationTest, EveryNotificationIsPassedOnInRegistrationOrder) {
  auto Alias = OpenAlias("AliasForData_1");
  TVdbAccessor A(*Alias, "A"), B(*Alias, "B");
  std::vector<std::string> Heard;
  for (TVdbAccessor* X : {&A, &B}) {
    X->SetOnRecordDeleted([&](TVdbAccessor& S, std::int32_t D, std::int32_t M) {
      Heard.push_back(S.GetTag() + " deleted " + std::to_string(D) + "/" + std::to_string(M));
    });
    X->SetOnRelationChanged([&](TVdbAccessor& S) { Heard.push_back(S.GetTag() + " changed"); });
    X->SetOnRelationEmptied([&](TVdbAccessor& S) { Heard.push_back(S.GetTag() + " emptied"); });
  }
  ASSERT_EQ(Relation->Delete(1), 0);
  ASSERT_EQ(Relation->Rename(2, "x"), 0);
  Relation->ClearDat();
  EXPECT_EQ(Heard, (std::vector<std::string>{"A deleted 1/5", "B deleted 1/5", "A changed",
                                             "B changed", "A emptied", "B emptied"}));
}

TEST_F(AliasRelationTest, IndexQuestionsAndRemovalsReachItsAccessors) {
  auto Alias = OpenAlias("AliasForData_1");
  TVdbAccessor A(*Alias, "A");
  EXPECT_TRUE(Relation->MayDeleteIndex(0));
  ASSERT_EQ(A.SetAccess(0, false), 0);
  EXPECT_FALSE(Relation->MayDeleteIndex(0));  // one veto suffices
  Relation->NotifyIndexRemoved(0);
  EXPECT_EQ(A.CurrentAccessType(), tatRecordNo);
  EXPECT_TRUE(Relation->MayDeleteIndex(0));
}

TEST_F(AliasRelationTest, ARecordEditedThroughAnAliasIsEditedForTheBaseRelation) {
  Relation->SetUseEditLocks(true);
  auto Alias = OpenAlias("AliasForData_1");
  EXPECT_TRUE(Alias->UseEditLocks());
  TVdbAccessor A(*Alias, "A"), Other(*Alias, "Other"), Base(*Relation, "Base");
  ASSERT_EQ(A.GotoRecord(4), 0);
  ASSERT_EQ(A.Edit(), 0);
  EXPECT_TRUE(Alias->IsRecordEdited(4));
  EXPECT_TRUE(Relation->IsRecordEdited(4, nullptr));
  EXPECT_FALSE(Relation->IsRecordEdited(3, nullptr));
  ASSERT_EQ(Base.GotoRecord(4), 0);
  EXPECT_EQ(Base.Edit(), -105);
  ASSERT_EQ(Other.GotoRecord(4), 0);
  EXPECT_EQ(Other.Edit(), -105);
  EXPECT_EQ(Services.LastErrorMsg(), "Record is being edited by another user");
  ASSERT_EQ(A.Post(), 0);
  EXPECT_EQ(Base.Edit(), 0);
  EXPECT_EQ(Base.Cancel(), 0);
}

TEST_F(AliasRelationTest, IndexesAreMadeOnTheBaseRelationOnly) {
  auto Alias = OpenAlias("AliasForData_1");
  EXPECT_EQ(Alias->InitIndex("tmp001", nullptr), -82);
  EXPECT_EQ(Relation->LastIndexNo(), 0);
  EXPECT_EQ(Relation->IndexCount(), 1);
  // NewIndex is the base relation's answer (the fixture refuses it).
  TVdbSortDef Def;
  EXPECT_EQ(Alias->NewIndex("X", Def, {}, 100), -34);
  EXPECT_EQ(Alias->Setup(true), 0);
}

TEST_F(AliasRelationTest, LocksAreTheBaseRelations) {
  auto Alias = OpenAlias("AliasForData_1");
  ASSERT_EQ(Alias->BeginRead(true), 0);
  EXPECT_EQ(Relation->ReadLocks, 1);
  ASSERT_EQ(Alias->EndRead(), 0);
  EXPECT_EQ(Relation->ReadLocks, 0);
  Relation->RefuseLocks = true;
  EXPECT_EQ(Alias->BeginUpgrade(false), -104);
  // A counted filter takes the lock through the alias.
  TVdbAccessor A(*Alias, "A");
  A.SetFilter(std::make_unique<TIdFilter>(*Relation, [](std::int32_t) { return true; }));
  EXPECT_EQ(A.GetRecordCount(), -104);
}

TEST_F(AliasRelationTest, ItCountsAsAnAccessorOfTheBaseUntilFreedAndTagsItself) {
  EXPECT_EQ(Relation->AccessorCount(), 0);
  auto Alias = OpenAlias("AliasForData_1");
  EXPECT_EQ(Relation->AccessorCount(), 1);
  EXPECT_EQ(Relation->GetAccessor(0)->GetTag(), "VirtualRelation" + Alias->StdName());
  EXPECT_NE(Alias->GetTag(), "VirtualRelation" + Relation->StdName());
  {
    TVdbAccessor A(*Alias, "A");
    EXPECT_EQ(Alias->AccessorCount(), 1);
    EXPECT_EQ(Relation->AccessorCount(), 1);
  }
  EXPECT_EQ(Alias->AccessorCount(), 0);
  Alias.reset();
  EXPECT_EQ(Relation->AccessorCount(), 0);
  // Notifications after the alias is gone reach nobody.
  EXPECT_EQ(Relation->Delete(1), 0);
}

TEST_F(AliasRelationTest, AColumnOfTheBaseTableIsFoundInTheAliasThatShowsIt) {
  struct TCatalog : TVdbAccessorCatalog {
    TVdbRelation* GetRelation(TVdbRelationIndex RltnIdx) const override {
      return RltnIdx == 1 ? Base : RltnIdx == 3 ? Alias : nullptr;
    }
    TVdbAccessor* GetDefaultAccessor(TVdbRelationIndex) const override { return nullptr; }
    TVdbRelation* Base = nullptr;
    TVdbRelation* Alias = nullptr;
  } Catalog;
  auto Alias = OpenAlias("AliasForData_1");
  Relation->SetRltnIdx(1);
  Alias->SetRltnIdx(3);
  Catalog.Base = Relation.get();
  Catalog.Alias = Alias.get();
  TVdbAccessorSet Set(&Catalog, false);
  Set.AddAccessor(std::make_unique<TVdbAccessor>(*Alias, "Q"));
  std::int16_t FieldNo = 0;
  TVdbRelationIndex RltnIdx = 0;
  EXPECT_FALSE(Set.FindField("Data.NOTE", false, FieldNo, RltnIdx, false));
  ASSERT_TRUE(Set.FindField("Data.NOTE", true, FieldNo, RltnIdx, false));
  EXPECT_EQ(FieldNo, kNote);
  EXPECT_EQ(RltnIdx, 3);
  ASSERT_TRUE(Set.FindField("AliasForData_1.ID", false, FieldNo, RltnIdx, false));
  EXPECT_EQ(FieldNo, kId);
}

}  // namespace
}  // namespace vdb::accesstest

// --- Over the lexicon's table Data ---

namespace vdb::accesstest {
namespace {

using TWords = std::vector<std::string>;

class BaseTableAccessTest : public test::BaseTableFixture {
 protected:
  void SetUp() override {
    BaseTableFixture::SetUp();
    WriteDatabase({{"dam", "a dam leirasa", 2},
                   {"borz", "a borz", 3},
                   {"erdo", "", 4},
                   {"agancs", "az agancs", 5},
                   {"cserkesz", "a cserkesz", 6}});
    Table = OpenTable();
    ASSERT_NE(Table, nullptr);
    IndexNo = Table->GetIndexNo("CIMSZO");
    ASSERT_GE(IndexNo, 0);
  }
  std::string Word(TVdbAccessor& A) {
    std::string Value;
    A.Relation().GetAnsiString(A.GetRecordPtr(), 1, Value);
    return Value;
  }
  TWords Walk(TVdbAccessor& A, bool Backwards = false) {
    TWords Words;
    std::int16_t Result = Backwards ? A.Last() : A.First();
    while (Result == 0 && Words.size() < 100) {
      Words.push_back(Word(A));
      Result = Backwards ? A.Prior() : A.Next();
    }
    EXPECT_EQ(Result, kVdbEndOfWalk);
    return Words;
  }
  TVdbBaseTable* Table = nullptr;
  std::int16_t IndexNo = -1;
};

TEST_F(BaseTableAccessTest, WalksByRecordNumberAndByTheHeadwordIndex) {
  TVdbAccessor A(*Table, "Session_Default");
  EXPECT_EQ(Walk(A), (TWords{"dam", "borz", "erdo", "agancs", "cserkesz"}));
  ASSERT_EQ(A.SetAccess(IndexNo, false), 0);
  EXPECT_EQ(Walk(A), (TWords{"agancs", "borz", "cserkesz", "dam", "erdo"}));
  EXPECT_EQ(Walk(A, true), (TWords{"erdo", "dam", "cserkesz", "borz", "agancs"}));
  EXPECT_EQ(A.GetRecordCount(), 5);
  ASSERT_EQ(A.GotoSequenceNo(3), 5);
  EXPECT_EQ(Word(A), "cserkesz");
  std::string Memo;
  EXPECT_EQ(A.GetMemo(2, Memo, -1), 10);
  EXPECT_EQ(Memo, "a cserkesz");
  ASSERT_EQ(A.SetRange(IndexNo, TWords{"b"}, TWords{"d"}), 0);
  EXPECT_EQ(Walk(A), (TWords{"borz", "cserkesz"}));
  EXPECT_EQ(A.GetRecordCount(), 2);
  EXPECT_EQ(Table->CountReadLocks(), 0);
}

TEST_F(BaseTableAccessTest, AnAliasShowsTheTableAndADeletionThroughItMovesEveryPosition) {
  TVdbVirtualRelation Alias(Session(), *Table, "TableResultSet_1");
  ASSERT_EQ(Alias.Open(false), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Alias.RecordCount(), 5);
  EXPECT_EQ(Alias.Level(), Table->Level());
  EXPECT_EQ(Alias.GetCapacity(), Table->GetCapacity());
  TVdbAccessor Through(Alias, "Cursor"), Direct(*Table, "Session_Default");
  ASSERT_EQ(Through.SetAccess(IndexNo, false), 0);
  EXPECT_EQ(Walk(Through), (TWords{"agancs", "borz", "cserkesz", "dam", "erdo"}));
  ASSERT_EQ(Direct.GotoRecord(5), 0);  // "cserkesz", the last record
  ASSERT_EQ(Through.GotoRecord(2), 0);  // "borz"
  ASSERT_EQ(Through.DeleteRecord(), 0);
  // The last record moved into slot 2: both accessors are on it now.
  EXPECT_EQ(Through.CurrentRecordNo(), 2);
  EXPECT_EQ(Word(Through), "cserkesz");
  EXPECT_EQ(Direct.CurrentRecordNo(), 2);
  EXPECT_EQ(Word(Direct), "cserkesz");
  EXPECT_EQ(Walk(Through), (TWords{"agancs", "cserkesz", "dam", "erdo"}));
  EXPECT_EQ(Walk(Direct), (TWords{"dam", "cserkesz", "erdo", "agancs"}));
  EXPECT_EQ(Table->RecordCount(), 4);
  EXPECT_EQ(Alias.Close(), 0);
  EXPECT_FALSE(Alias.Active());
  EXPECT_TRUE(Table->Active());
}

TEST_F(BaseTableAccessTest, ARecordEditedThroughAnAliasIsLockedForOtherAccessorsAndSessions) {
  TVdbBaseTable* Other = OpenTable(kVdbWriteRights, 2);
  ASSERT_NE(Other, nullptr);
  Table->SetUseEditLocks(true);
  Other->SetUseEditLocks(true);
  TVdbVirtualRelation Alias(Session(), *Table, "AliasForData_1");
  ASSERT_EQ(Alias.Open(false), 0) << Errors().LastErrorMsg();
  TVdbAccessor Editor(Alias, "Cursor"), Direct(*Table, "Session_Default"), Remote(*Other, "B");
  for (TVdbAccessor* A : {&Editor, &Direct, &Remote}) ASSERT_EQ(A->GotoRecord(2), 0);
  ASSERT_EQ(Editor.Edit(), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Direct.Edit(), -105);  // asked through the alias
  EXPECT_EQ(Remote.Edit(), -105);  // refused by the lock file
  EXPECT_EQ(Errors(2).LastErrorMsg(), "Record is being edited by another user");
  // The other session's lingering read lock goes when it is idle (the catalog's unlock pass).
  Other->CheckUnlock(VdbTickCount() + 100);
  Table->SetAnsiString(Editor.GetWorkRecordPtr(), 1, "borzas");
  ASSERT_EQ(Editor.Post(), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Word(Direct), "borzas");
  Table->CheckUnlock(VdbTickCount() + 100);
  ASSERT_EQ(Remote.Edit(), 0) << Errors(2).LastErrorMsg();
  EXPECT_EQ(Word(Remote), "borzas");
  EXPECT_EQ(Remote.Cancel(), 0);
}

}  // namespace
}  // namespace vdb::accesstest
