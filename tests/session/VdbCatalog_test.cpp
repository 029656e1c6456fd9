// The catalog of an open database: finding and opening tables by name, their default accessor,
// the lock and move files beside the container, closing what nothing uses, locks over several
// relations and the thread that gives idle table locks up.
#include "VdbSessionTestSupport.h"

#include <chrono>
#include <optional>
#include <thread>

#include "session/VdbAccessor.h"
#include "table/VdbBaseTable.h"
#include "table/VdbData.h"
#include "table/VdbIndexFile.h"
#include "storage/kxFileSystem.h"

namespace vdb::test {
namespace {

using Catalog = SessionFixture;

TEST_F(Catalog, OpensTableDataByName) {
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  EXPECT_FALSE(Exists("L_Data!Data.vdbl"));
  const std::int16_t RltnIdx = Cat.TryOpenTable("Data", "", false, false, kVdbWriteRights);
  ASSERT_EQ(RltnIdx, 1) << Session.Services()->LastErrorMsg();
  EXPECT_EQ(Cat.GetRelationCount(), 1);
  EXPECT_TRUE(Cat.IsValidRltnIdx(1));
  EXPECT_FALSE(Cat.IsValidRltnIdx(2));
  EXPECT_EQ(Cat.FindRltnIdx("data"), 1);  // names compare as identifiers
  EXPECT_EQ(Cat.FindRltnIdx("Other"), 0);
  EXPECT_EQ(Session.Services()->FindRltnIdx("Data"), 1);  // the relations' hook reaches it

  TVdbRelation* Relation = Cat.GetRelation(1);
  ASSERT_NE(Relation, nullptr);
  EXPECT_NE(dynamic_cast<TVdbBaseTable*>(Relation), nullptr);
  EXPECT_EQ(Relation->FullName(), "\\Data.vdbt");
  EXPECT_EQ(Relation->RecordCount(), kEntries);
  const std::int16_t Headwords = Relation->FindIndex("CIMSZO");
  ASSERT_GE(Headwords, 0);
  EXPECT_EQ(Relation->GetIndexFile(Headwords)->ItemCount(), kEntries);
  EXPECT_EQ(Relation->FindIndex("NOPE"), -1);
  EXPECT_EQ(Relation->RltnIdx(), 1);
  EXPECT_EQ(Cat.CalcRltnHdl(1), 1);
  EXPECT_EQ(TRelationList::Instance().GetRelation(Cat.CalcRltnHdl(1)), Relation);

  // The default accessor stands on the first record.
  TVdbAccessor* Default = Cat.GetDefaultAccessor(1);
  ASSERT_NE(Default, nullptr);
  EXPECT_EQ(Default->Tag(), "Session_Default");
  EXPECT_EQ(&Default->Relation(), Relation);
  EXPECT_EQ(Default->CurrentRecordNo(), 1);
  EXPECT_EQ(Relation->AccessorCount(), 1);
  EXPECT_FALSE(Cat.IsRelationInUse(1));

  // Lock and move file lie beside the container while the table is open.
  EXPECT_TRUE(Exists("L_Data!Data.vdbl"));
  EXPECT_TRUE(Exists("L_Data!Data.vdbv"));

  // Named again: TryOpenTable answers the open index, OpenTable refuses.
  EXPECT_EQ(Cat.TryOpenTable("Data", "", false, false, kVdbWriteRights), 1);
  EXPECT_EQ(Cat.OpenTable("Data", "", false, false, false, kVdbWriteRights), -35);
  EXPECT_EQ(Session.Services()->LastErrorMsg(), "A table named \"Data\" is already open");
  EXPECT_EQ(Cat.GetRelationCount(), 1);

  Session.CloseDb();
  EXPECT_EQ(TRelationList::Instance().GetRelation(1), nullptr);
  EXPECT_FALSE(Exists("L_Data!Data.vdbl"));
  EXPECT_FALSE(Exists("L_Data!Data.vdbv"));
}

TEST_F(Catalog, AnEmptyTableOpensWithItsAccessorOnNoRecord) {
  lexicon::WriteLexiconDatabase({}, FPath);
  TVdbLocalSession& Session = OpenSession();
  ASSERT_EQ(OpenData(Session), 1) << Session.Services()->LastErrorMsg();
  EXPECT_EQ(Session.Catalog()->GetRelation(1)->RecordCount(), 0);
  ASSERT_NE(Session.Catalog()->GetDefaultAccessor(1), nullptr);
  EXPECT_LT(Session.Catalog()->GetDefaultAccessor(1)->CurrentRecordNo(), 1);  // on no record
}

TEST_F(Catalog, TablesOfADirectoryDatabase) {
  const std::filesystem::path Lex = FDir / "lex";
  std::filesystem::create_directories(Lex);
  {
    TkxCompoundFileIntf Container(FPath);
    Container.Open();
    Container.ExportFiles("\\*", Lex.string() + "/", false);
    Container.Close();
  }
  ASSERT_TRUE(std::filesystem::exists(Lex / "Data!CIMSZO.vdbi"));
  TVdbLocalSession& Session = NewSession(Lex.string());
  ASSERT_EQ(Session.OpenDb(), 0) << Session.Services()->LastErrorMsg();
  ASSERT_EQ(OpenData(Session), 1) << Session.Services()->LastErrorMsg();
  TVdbRelation& Relation = *Session.Catalog()->GetRelation(1);
  EXPECT_EQ(Relation.RecordCount(), kEntries);
  EXPECT_GE(Relation.FindIndex("CIMSZO"), 0);
  // The lock file of a directory database's table lies beside its data file.
  EXPECT_TRUE(std::filesystem::exists(Lex / "Data.vdbl"));
  // A path with a directory part names the file itself: the same table is open already.
  EXPECT_EQ(Session.Catalog()->OpenTable((Lex / "Data.vdbt").string(), "", false, false, false,
                                         kVdbWriteRights),
            -35);
  Session.CloseDb();
  EXPECT_FALSE(std::filesystem::exists(Lex / "Data.vdbl"));

  // From the single-file database, the same path opens that file, locked beside it.
  TVdbLocalSession& Single = OpenSession();
  ASSERT_EQ(Single.Catalog()->OpenTable((Lex / "Data.vdbt").string(), "", false, false, false,
                                        kVdbWriteRights),
            1)
      << Single.Services()->LastErrorMsg();
  EXPECT_EQ(Single.Catalog()->GetRelation(1)->RecordCount(), kEntries);
  EXPECT_TRUE(std::filesystem::exists(Lex / "Data.vdbl"));
  EXPECT_FALSE(Exists("L_Data!Data.vdbl"));
  Single.CloseDb();
  EXPECT_FALSE(std::filesystem::exists(Lex / "Data.vdbl"));
}

TEST_F(Catalog, TableNamesAndFileForms) {
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  std::vector<std::string> Names;
  Cat.GetTableNames(Names);
  EXPECT_EQ(Names, std::vector<std::string>{"Data"});
  // A name with its extension is used as it is.
  ASSERT_EQ(Cat.TryOpenTable("Data.vdbt", "", false, false, kVdbWriteRights), 1)
      << Session.Services()->LastErrorMsg();
  EXPECT_EQ(Cat.GetRelation(1)->StdName(), "Data");
}

TEST_F(Catalog, UnknownTables) {
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  struct Case {
    std::string Name;
  };
  for (const Case& C : {Case{"Nope"}, Case{"Nope.vdbt"}, Case{"Data.dat"}, Case{Beside("Data.vdbt")}}) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(Cat.TryOpenTable(C.Name, "", false, false, kVdbWriteRights), -37);
    EXPECT_EQ(Session.Services()->LastErrorMsg(),
              "File not found or access denied: \"" + C.Name + "\"");
    EXPECT_EQ(Cat.GetRelationCount(), 0);  // a failed open leaves no relation behind
  }
  // The slot a failed open reserved is free again.
  EXPECT_EQ(Cat.TryOpenTable("Data", "", false, false, kVdbWriteRights), 1);
}

TEST_F(Catalog, ClosesOnlyTablesNothingUses) {
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  ASSERT_EQ(Cat.TryOpenTable("Data", "", false, false, kVdbWriteRights), 1);
  TVdbRelation& Relation = *Cat.GetRelation(1);
  auto Cursor = std::make_unique<TVdbAccessor>(Relation, "Cursor");
  EXPECT_TRUE(Cat.IsRelationInUse(1));
  EXPECT_EQ(Cat.TryCloseRelation(1, false, true), -175);
  EXPECT_EQ(Session.Services()->LastErrorMsg(),
            "The table \"Data\" is still accessed by this session");
  Cat.CloseUnneededTables(false, false);
  EXPECT_EQ(Cat.GetRelationCount(), 1);
  EXPECT_TRUE(Exists("L_Data!Data.vdbl"));

  Cursor.reset();
  EXPECT_FALSE(Cat.IsRelationInUse(1));
  Cat.CloseUnneededTables(true, false);  // only temporary relations
  EXPECT_EQ(Cat.GetRelationCount(), 1);
  Cat.CloseUnneededTables(false, false);
  EXPECT_EQ(Cat.GetRelationCount(), 0);
  EXPECT_EQ(Cat.GetDefaultAccessor(1), nullptr);
  EXPECT_FALSE(Exists("L_Data!Data.vdbl"));
  EXPECT_FALSE(Exists("L_Data!Data.vdbv"));
  // It opens again under the same index.
  EXPECT_EQ(Cat.TryOpenTable("Data", "", false, false, kVdbWriteRights), 1);
}

TEST_F(Catalog, VirtualRelationsKeepTheirBaseOpen) {
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  ASSERT_EQ(OpenData(Session), 1);
  const std::int16_t Alias = Cat.OpenVirtualRelation("Lexicon", 1);
  ASSERT_EQ(Alias, 2) << Session.Services()->LastErrorMsg();
  EXPECT_EQ(Cat.FindRltnIdx("Lexicon"), 2);
  EXPECT_EQ(Cat.GetRelation(2)->RecordCount(), kEntries);
  ASSERT_NE(Cat.GetDefaultAccessor(2), nullptr);
  EXPECT_EQ(Cat.GetDefaultAccessor(2)->CurrentRecordNo(), 1);
  EXPECT_TRUE(Cat.IsRelationInUse(1));
  EXPECT_EQ(Cat.TryCloseRelation(1, false, true), -175);
  EXPECT_EQ(Cat.OpenVirtualRelation("Lexicon", 1), -35);
  EXPECT_EQ(Cat.OpenVirtualRelation("Other", 9), -37);
  // Closing what nothing uses takes the virtual relation first, then its base.
  Cat.CloseUnneededTables(false, false);
  EXPECT_EQ(Cat.GetRelationCount(), 0);
  EXPECT_FALSE(Exists("L_Data!Data.vdbl"));
}

TEST_F(Catalog, TemporaryNames) {
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  EXPECT_EQ(Cat.CalcTemporaryTableName("Data"), "Data");
  ASSERT_EQ(Cat.TryOpenTable("Data", "", false, false, kVdbWriteRights), 1);
  const std::string Name = Cat.CalcTemporaryTableName("Data");
  ASSERT_GT(Name.size(), 4u);
  EXPECT_EQ(Name.substr(0, 4), "Data");
  EXPECT_EQ(Name.find_first_not_of("0123456789", 4), std::string::npos);
}

TEST_F(Catalog, ReadOnlyCatalogOpensTablesWithoutWriteRights) {
  TVdbLocalSession& Session = NewSession(FPath);
  Session.Catalog()->ReadOnly = true;
  Session.Catalog()->SharedReadOnly = true;
  ASSERT_EQ(Session.OpenDb(), 0) << Session.Services()->LastErrorMsg();
  ASSERT_EQ(Session.Catalog()->AddTable("Data", "", false, kVdbWriteRights), 1)
      << Session.Services()->LastErrorMsg();
  TVdbRelation& Relation = *Session.Catalog()->GetRelation(1);
  EXPECT_TRUE(Relation.ReadOnly());
  EXPECT_EQ(Relation.Rights(), kVdbRightSharedReadOnly);
  EXPECT_EQ(Relation.RecordCount(), kEntries);
  EXPECT_FALSE(Exists("L_Data!Data.vdbl"));  // a shared read-only opening needs no lock file
}

TEST_F(Catalog, LocksOverSeveralRelations) {
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  ASSERT_EQ(Cat.TryOpenTable("Data", "", false, false, kVdbWriteRights), 1);
  TVdbRelation& Relation = *Cat.GetRelation(1);
  // 0 entries are skipped, a negative entry ends the list, unknown indexes are left alone.
  const std::vector<std::int16_t> List{0, 1, 7, -1, 1};
  ASSERT_EQ(Cat.AcquireReadLocks(List), 0) << Session.Services()->LastErrorMsg();
  EXPECT_EQ(Relation.CountReadLocks(), 1);
  Cat.ReleaseReadLocks(List);
  EXPECT_EQ(Relation.CountReadLocks(), 0);
  ASSERT_EQ(Cat.AcquireWriteLocks({1, -1}), 0) << Session.Services()->LastErrorMsg();
  EXPECT_EQ(Relation.CountWriteLocks(), 1);
  Cat.ReleaseWriteLocks({1, -1});
  EXPECT_EQ(Relation.CountWriteLocks(), 0);
}

TEST_F(Catalog, FailedLockReleasesWhatWasTaken) {
  CopyDataTable("Copy", 1);
  TVdbLocalSession& First = OpenSession();
  TVdbLocalSession& Second = OpenSession();
  ASSERT_EQ(OpenData(First), 1);
  ASSERT_EQ(First.Catalog()->TryOpenTable("Copy1", "", false, false, kVdbWriteRights), 2)
      << First.Services()->LastErrorMsg();
  ASSERT_EQ(OpenData(Second), 1);
  TVdbRelation& Mine = *First.Catalog()->GetRelation(1);
  TVdbRelation& Copy = *First.Catalog()->GetRelation(2);
  TVdbRelation& Theirs = *Second.Catalog()->GetRelation(1);
  // The other session holds the write lock on Data (once the first one's idle read lock from
  // the positioning of its default accessor is given up).
  ASSERT_EQ(Theirs.BeginWrite(true), 0) << Second.Services()->LastErrorMsg();
  TVdbLockFile::SetLockTimeout(100);
  const std::int16_t Result = First.Catalog()->AcquireWriteLocks({2, 1, -1});
  TVdbLockFile::SetLockTimeout(20000);
  EXPECT_EQ(Result, -104);
  EXPECT_EQ(Mine.CountWriteLocks(), 0);
  EXPECT_EQ(Copy.CountWriteLocks(), 0);  // taken first, given back after the failure
  Theirs.EndWrite();
}

TEST_F(Catalog, AtMost254Tables) {
  CopyDataTable("T", 255);
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  std::vector<std::unique_ptr<TVdbAccessor>> Cursors;
  for (int I = 1; I <= TVdbCatalog::kMaxRelations; ++I) {
    const std::int16_t RltnIdx =
        Cat.TryOpenTable("T" + std::to_string(I), "", false, false, kVdbWriteRights);
    ASSERT_EQ(RltnIdx, I) << Session.Services()->LastErrorMsg();
    Cursors.push_back(std::make_unique<TVdbAccessor>(*Cat.GetRelation(RltnIdx), "Cursor"));
  }
  // Every table is in use: none can be closed to make room.
  EXPECT_EQ(Cat.TryOpenTable("T255", "", false, false, kVdbWriteRights), -94);
  EXPECT_EQ(Session.Services()->LastErrorMsg(), "Cannot open more than 255 tables per session");
  EXPECT_EQ(Cat.GetRelationCount(), TVdbCatalog::kMaxRelations);
  // Once one is unused, it makes room.
  Cursors[9].reset();
  EXPECT_EQ(Cat.TryOpenTable("T255", "", false, false, kVdbWriteRights), 10)
      << Session.Services()->LastErrorMsg();
  EXPECT_EQ(Cat.FindRltnIdx("T10"), 0);
  Cursors.clear();
  Session.CloseDb();
  EXPECT_FALSE(Exists("L_Data!T1.vdbl"));
  EXPECT_FALSE(Exists("L_Data!T255.vdbl"));
}

// Waits up to a second for Done to become true.
template <class F>
bool Eventually(F&& Done) {
  for (int I = 0; I < 200; ++I) {
    if (Done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Done();
}

TEST_F(Catalog, UnlockThreadGivesIdleTableLocksUp) {
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  ASSERT_EQ(Cat.TryOpenTable("Data", "", false, false, kVdbWriteRights), 1);
  auto& Table = dynamic_cast<TVdbBaseTable&>(*Cat.GetRelation(1));
  ASSERT_EQ(Table.BeginRead(true), 0) << Session.Services()->LastErrorMsg();
  // A lock still in use is kept however long it lasts.
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_EQ(Table.HeldLock(), tltRead);
  Table.EndRead();
  // The ended lock lingers a little and is then given up by the catalog's thread.
  EXPECT_TRUE(Eventually([&] { return Table.HeldLock() == tltNone; }));
  EXPECT_EQ(Table.CountReadLocks(), 0);
}

TEST_F(Catalog, ClosingTheCatalogStopsItsThreadAndClosesTables) {
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  ASSERT_EQ(OpenData(Session), 1);
  auto& Table = dynamic_cast<TVdbBaseTable&>(*Cat.GetRelation(1));
  ASSERT_EQ(Table.BeginRead(true), 0);
  Table.EndRead();
  Cat.Close();
  EXPECT_FALSE(Cat.IsOpen());
  EXPECT_EQ(Cat.GetRelationCount(), 0);
  EXPECT_FALSE(Exists("L_Data!Data.vdbl"));
  Session.CloseDb();
  EXPECT_FALSE(Registered(FPath));
}

}  // namespace
}  // namespace vdb::test

namespace vdb::test {
namespace {

// A foreign key of table Gyerek: its column SZO refers to ParentColumns of Parent.
std::unique_ptr<TVdbForeignKeyDef> ForeignKey(const std::string& Parent,
                                              std::vector<std::string> ParentColumns) {
  auto Key = std::make_unique<TVdbForeignKeyDef>("FK_SZO");
  Key->FColumnNames = {"SZO"};
  Key->FParentTableName = Parent;
  Key->FParentColumnNames = std::move(ParentColumns);
  return Key;
}

// Writes table Gyerek (one nullable name column SZO and the given foreign key) into the closed
// container at Path.
void WriteChildTable(const std::string& Path, std::unique_ptr<TVdbForeignKeyDef> Key) {
  TkxCompoundFileIntf Container(Path);
  Container.Open();
  TkxOSFileSystem OsFiles;
  TVdbServices Services(90);
  Services.SetStation(90);
  Services.SetFileSystems(&OsFiles, &Container, std::make_unique<TkxOSFileSystem>(), false);
  {
    TVdbBaseTable Table(&Services);
    Table.SetFileSystem(&Container);
    Table.SetFileName("\\Gyerek.vdbt");
    Table.SetCollationName("Hungarian_ci_as");
    Table.ColumnDefs().Add(TVdbColumnDef::CreateStringColumnDef(
        "SZO", TVdbDataType::GetStringType(1, true, 6, 20, "Hungarian_ci_as"), "",
        kVdbColNullable));
    Table.ForeignKeyDefs().Add(std::move(Key));
    ASSERT_EQ(Table.NewFile(), 0) << Services.LastErrorMsg();
    Table.Close();
  }
  Container.Close();
}

TEST_F(Catalog, AForeignKeyOpensItsParentAndRefusesRecordsWithoutOne) {
  WriteChildTable(FPath, ForeignKey("Data", {"CIMSZO"}));
  TVdbLocalSession& Session = OpenSession();
  TVdbCatalog& Cat = *Session.Catalog();
  const std::int16_t Child = Cat.TryOpenTable("Gyerek", "", false, false, kVdbWriteRights);
  ASSERT_GT(Child, 0) << Session.Services()->LastErrorMsg();
  EXPECT_NE(Cat.FindRltnIdx("Data"), 0);  // the parent was opened with it
  TVdbRelation& Table = *Cat.GetRelation(static_cast<TVdbRelationIndex>(Child));

  struct Case {
    const char* Name;
    std::optional<std::string> Word;  // empty: NULL
    std::int32_t Expected;
  };
  for (const Case& C : {Case{"a parent row", "szo03", 1}, Case{"the same in capitals", "SZO05", 2},
                        Case{"no parent row", "nincs", -179}, Case{"a NULL key", std::nullopt, 3}}) {
    SCOPED_TRACE(C.Name);
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(Table.RecordSize()));
    ASSERT_EQ(Table.InitRecord(Record.data(), false), 0);
    if (C.Word) Table.SetAnsiString(Record.data(), 1, *C.Word);
    EXPECT_EQ(Table.AppendRecord(Record.data(), nullptr), C.Expected)
        << Session.Services()->LastErrorMsg();
  }
  EXPECT_EQ(Table.RecordCount(), 3);
  // Changing a record so that it loses its parent is refused the same way.
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Table.RecordSize()));
  ASSERT_EQ(Table.ReadRecord(1, Record.data()), 0);
  Table.SetAnsiString(Record.data(), 1, "nincs");
  EXPECT_EQ(Table.ReplaceRecord(Record.data(), Record.data(), 1, nullptr), -179);
  EXPECT_EQ(Session.Services()->LastError().LastErrorCode(), 179);
}

TEST_F(Catalog, AForeignKeyWithoutItsParentOrTheParentsIndexDoesNotOpen) {
  struct Case {
    const char* Name;
    std::string Parent;
    std::vector<std::string> Columns;
    std::int16_t Expected;
  };
  for (const Case& C : {Case{"no such parent table", "Nincs", {"CIMSZO"}, -184},
                        Case{"no index over the parent columns", "Data", {"LEIRAS"}, -6}}) {
    SCOPED_TRACE(C.Name);
    FSessions.clear();
    lexicon::WriteLexiconDatabase(SampleEntries(kEntries), FPath);
    WriteChildTable(FPath, ForeignKey(C.Parent, C.Columns));
    TVdbLocalSession& Session = OpenSession();
    EXPECT_EQ(Session.Catalog()->TryOpenTable("Gyerek", "", false, false, kVdbWriteRights),
              C.Expected);
    EXPECT_EQ(Session.Catalog()->FindRltnIdx("Gyerek"), 0);
    // Forced, the table opens without its foreign keys resolved.
    EXPECT_GT(Session.Catalog()->OpenTable("Gyerek", "", false, true, false, kVdbWriteRights), 0)
        << Session.Services()->LastErrorMsg();
  }
}

}  // namespace
}  // namespace vdb::test
