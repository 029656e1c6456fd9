// The database component: asking for table keys, tables opened at connect, automatic database
// names, and the messages of its refusals.
#include "VdbComponentsTestSupport.h"
#include "base/VdbServices.h"
#include "storage/kxFileSystem.h"
#include "table/VdbBaseTable.h"

namespace {

// Writes table Name (one nullable INTEGER column, no records) into directory Directory,
// protected by Key, as the engine's table layer stores it: the handle API and CREATE TABLE make
// tables without a key.
void CreateProtectedTable(const std::string& directory, const std::string& name, const std::string& key) {
  using namespace vdb;
  TkxOSFileSystem files;
  TVdbServices services(1);
  services.SetFileSystems(&files, &files, std::make_unique<TkxOSFileSystem>(), false);
  TVdbBaseTable table(&services);
  table.SetFileSystem(&files);
  table.SetFileName(directory + "/" + name + ".vdbt");
  table.SetLevel(6);
  table.SetEncryptionMethod(TVdbEncryptionMethod::Password);
  table.SetKey(key);
  table.ColumnDefs().Add(
      TVdbColumnDef::CreateColumnDef("A", vdb::TVdbDataType::GetDataType(VDB_FT_INTEGER, true, 6), kVdbColNullable));
  ASSERT_EQ(table.NewFile(), 0) << services.LastError().LastErrorMsg();
  table.Close();
}

class DatabaseTest : public ComponentsTest {
 protected:
  // A directory database holding table S, enciphered with the key "titok", and table Open
  // without key; left disconnected.
  void CreateKeyedTable() {
    ConnectScratch();
    database.Execute("CREATE TABLE Open (A INTEGER)");
    database.SetConnected(false);
    CreateProtectedTable(dir_.string(), "S", "titok");
    database.Password = "titok";
    database.SetConnected(true);
    database.Execute("INSERT INTO S VALUES (42)");
    database.SetConnected(false);
    database.Password.clear();
  }
  // A handler that gives the answers in turn (each with Retry) and then gives up; it records
  // what it was asked.
  TVdbPasswordEvent Answering(std::vector<std::string> answers) {
    return [this, answers](TVdbDatabase* sender, const std::string& table, std::string& key, bool& retry) {
      asked.push_back({sender, table, key});
      if (asked.size() > answers.size()) return;
      key = answers[asked.size() - 1];
      retry = true;
    };
  }
  struct Asked {
    TVdbDatabase* sender;
    std::string table;
    std::string keyGiven;
  };
  std::vector<Asked> asked;
};

TEST_F(DatabaseTest, OpeningAKeyedTableAsksUntilTheKeyFitsOrTheHandlerGivesUp) {
  CreateKeyedTable();
  struct Case {
    std::vector<std::string> answers;
    std::size_t asks;
    bool opens;
  };
  const Case cases[] = {
      {{"titok"}, 1, true},
      {{"rossz", "szintén rossz", "titok"}, 3, true},
      {{}, 1, false},
      {{"rossz"}, 2, false},
  };
  for (const Case& c : cases) {
    asked.clear();
    database.OnPassword = Answering(c.answers);
    database.SetConnected(true);
    const std::string message = MessageOf([&] {
      database.OpenTable("S", false, kAllAccessRights, TVdbFlushMode::tfmDefault);
    });
    EXPECT_EQ(message, c.opens ? "(no error)" : "Opening table \"S\": Wrong password. The supplied user credentials are invalid");
    ASSERT_EQ(asked.size(), c.asks);
    for (const Asked& a : asked) {
      EXPECT_EQ(a.sender, &database);
      EXPECT_EQ(a.table, "S");
      EXPECT_EQ(a.keyGiven, "") << "the refused key is not handed out again";
    }
    EXPECT_EQ(VdbSessFindRltnHdl(database.Handle(), vdbtext::TApiText(std::string("S"))) > 0, c.opens);
    database.SetConnected(false);
  }
  // The database's own password is tried first.
  asked.clear();
  database.Password = "titok";
  database.SetConnected(true);
  EXPECT_GT(database.OpenTable("S", false, kAllAccessRights, TVdbFlushMode::tfmDefault), 0);
  EXPECT_TRUE(asked.empty());
}

TEST_F(DatabaseTest, TheDefaultHandlerAnswersForComponentsWithoutOneAndStatementsAreAskedToo) {
  CreateKeyedTable();
  TVdbDatabase::SetDefaultPasswordHandler(Answering({"titok", "titok"}));
  database.SetConnected(true);
  EXPECT_GT(database.OpenTable("S", false, kAllAccessRights, TVdbFlushMode::tfmDefault), 0);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].sender, &database);
  database.SetConnected(false);
  // A statement that opens the table asks through the engine: no sender then.
  asked.clear();
  database.OnPassword = Answering({"titok"});
  TVdbDatabase::SetDefaultPasswordHandler(nullptr);
  query.SetSQL({"SELECT A FROM S"});
  query.Open();
  EXPECT_EQ(query.FieldByName("A").AsString(), "42");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].sender, nullptr);
  EXPECT_EQ(asked[0].table, "S");
  query.Close();
  database.SetConnected(false);
  asked.clear();
  database.OnPassword = nullptr;
  EXPECT_NE(MessageOf([&] { query.Open(); }), "(no error)") << "nobody to ask: the statement fails";
  EXPECT_TRUE(asked.empty());
}

TEST_F(DatabaseTest, TableDefsAreOpenedAtConnectAndAFailureLeavesNoSession) {
  CreateKeyedTable();
  database.TableDefs = {{"Open", true}, {"S", false}};
  database.OnPassword = Answering({"titok"});
  database.SetConnected(true);
  for (const char* name : {"Open", "S"})
    EXPECT_GT(VdbSessFindRltnHdl(database.Handle(), vdbtext::TApiText(std::string(name))), 0) << name;
  database.SetConnected(false);
  struct Case {
    std::vector<TVdbBaseTableDef> defs;
    const char* message;
  };
  const Case cases[] = {
      {{{"Open"}, {"Nincs"}}, "Opening table \"Nincs\": Cannot open table"},
      {{{"S"}}, "Opening table \"S\": Wrong password"},
  };
  for (const Case& c : cases) {
    database.TableDefs = c.defs;
    database.OnPassword = nullptr;
    EXPECT_EQ(MessageOf([&] { database.SetConnected(true); }).rfind(c.message, 0), 0u)
        << MessageOf([&] { database.SetConnected(true); });
    EXPECT_FALSE(database.Connected());
    EXPECT_EQ(database.Handle(), 0);
  }
}

TEST_F(DatabaseTest, AutomaticNamesAreUniqueAndCarriedToTheOwnersDataSets) {
  const int form = 0;
  const int otherForm = 0;
  TVdbDatabase first;
  first.Owner = &form;
  first.SetDatabaseName("Lexikon");
  TVdbQuery onForm;
  onForm.Owner = &form;
  onForm.SetDatabaseName("Lexikon");
  TVdbQuery elsewhere;
  elsewhere.Owner = &otherForm;
  elsewhere.SetDatabaseName("Lexikon");
  first.SetAutoDatabaseName(true);
  const std::string firstName = first.DatabaseName();
  EXPECT_EQ(firstName, "Lexikon_" + std::to_string(first.SessionNumber()));
  EXPECT_EQ(onForm.DatabaseName(), firstName);
  EXPECT_EQ(elsewhere.DatabaseName(), "Lexikon") << "datasets of another owner keep their name";

  TVdbDatabase second;  // the same form made a second time
  second.Owner = &otherForm;
  second.SetDatabaseName("Lexikon");
  second.SetAutoDatabaseName(true);
  EXPECT_GT(second.SessionNumber(), first.SessionNumber());
  EXPECT_NE(second.DatabaseName(), firstName);
  EXPECT_EQ(elsewhere.DatabaseName(), second.DatabaseName());

  TVdbDatabase sameForm;
  sameForm.Owner = &form;
  EXPECT_EQ(MessageOf([&] { sameForm.SetAutoDatabaseName(true); }),
            "Cannot enable AutoSessionName property with more than one session on a form or data-module");
  EXPECT_FALSE(sameForm.AutoDatabaseName());
  // Each automatically named component connects on its own.
  for (TVdbDatabase* database : {&first, &second}) {
    database->SetLocation(dir_.string());
    database->SetConnected(true);
  }
  EXPECT_TRUE(first.Connected() && second.Connected());
  EXPECT_EQ(MessageOf([&] { first.SetAutoDatabaseName(false); first.SetAutoDatabaseName(true); }),
            "Cannot change the database name when connected");
}

TEST_F(DatabaseTest, RefusalsWhileConnectedAndDisconnected) {
  using Action = std::function<void()>;
  const std::pair<const char*, Action> whileDisconnected[] = {
      {"CloseCachedTables", [&] { database.CloseCachedTables(); }},
      {"OpenTable", [&] { database.OpenTable("T", false, 0, TVdbFlushMode::tfmDefault); }},
      {"Execute", [&] { database.Execute("DELETE FROM T"); }},
      {"StartTransaction", [&] { database.StartTransaction(); }},
      {"Commit", [&] { database.Commit(); }},
      {"Rollback", [&] { database.Rollback(); }},
      {"InTransaction", [&] { database.InTransaction(); }},
  };
  for (const auto& [name, action] : whileDisconnected)
    EXPECT_EQ(MessageOf(action), "Cannot perform this action on a disconnected database") << name;
  ConnectScratch();
  const std::pair<Action, const char*> whileConnected[] = {
      {[&] { database.SetLocation("elsewhere"); }, "Cannot change location while database is open"},
      {[&] { database.SetPrivateDir("elsewhere"); }, "Cannot change private directory while database is open"},
      {[&] { database.SetDatabaseName("Other"); }, "Cannot change the database name when connected"},
      {[&] { database.SetAutoDatabaseName(true); }, "Cannot change the database name when connected"},
  };
  for (const auto& [action, message] : whileConnected) EXPECT_EQ(MessageOf(action), message);
  EXPECT_EQ(database.Location(), dir_.string());
  EXPECT_EQ(database.DatabaseName(), "Scratch");
  EXPECT_EQ(MessageOf([&] { database.Commit(); }).rfind("Committing transaction: ", 0), 0u);
}

TEST_F(DatabaseTest, ADataSetNamingTwoDatabasesIsRefused) {
  TVdbDatabase first;
  TVdbDatabase second;
  first.SetDatabaseName("Ketto");
  second.SetDatabaseName("KETTO");
  first.SetLocation(dir_.string());
  query.SetDatabaseName("Ketto");
  query.SetSQL({"SELECT * FROM T"});
  EXPECT_EQ(MessageOf([&] { query.Open(); }), "Database name \"Ketto\" is not unique");
}

TEST_F(DatabaseTest, CreatingAndDeletingADatabase) {
  TVdbDatabase fresh;
  fresh.SetDatabaseName("Fresh");
  fresh.SetLocation(Path("Uj.vdbd"));
  fresh.SetDatabaseType(TVdbDatabaseType::dbtSingleFile);
  fresh.CreateDatabase();
  EXPECT_TRUE(fs::exists(Path("Uj.vdbd")));
  EXPECT_EQ(MessageOf([&] { fresh.CreateDatabase(); }).rfind("Creating database \"" + Path("Uj.vdbd") + "\": ", 0), 0u);
  EXPECT_TRUE(fresh.GetTableNames().empty());
  EXPECT_FALSE(fresh.Connected()) << "listing the tables connected only for the call";
  fresh.SetConnected(true);
  fresh.Execute("CREATE TABLE Uj (A INTEGER)");
  EXPECT_EQ(fresh.GetTableNames(), std::vector<std::string>{"Uj"});
  EXPECT_TRUE(fresh.GetTableNames(true).empty());
  EXPECT_EQ(MessageOf([&] { fresh.DeleteDatabase(); }), "Cannot change the database name when connected");
  fresh.SetConnected(false);
  fresh.DeleteDatabase();
  EXPECT_FALSE(fs::exists(Path("Uj.vdbd")));
  EXPECT_EQ(MessageOf([&] { fresh.DeleteDatabase(); }).rfind("Deleting database \"" + Path("Uj.vdbd") + "\": ", 0), 0u);
}

TEST_F(DatabaseTest, RefreshingShowsWhatAnotherSessionWrote) {
  ConnectScratch();
  AddRows(1, 2);
  table.Open();
  TVdbDatabase other;
  other.SetDatabaseName("Other");
  other.SetLocation(dir_.string());
  other.SetConnected(true);
  other.Execute("UPDATE T SET NAME = 'más' WHERE ID = 1");
  database.RefreshDataSets();
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "más");
  EXPECT_EQ(MessageOf([&] { TVdbDatabase idle; idle.RefreshDataSets(); }),
            "Cannot perform this action on a disconnected database");
}

TEST_F(DatabaseTest, TheSessionAfterTheLastOneThereIsIsRefusedAndLeavesNothingBehind) {
  ConnectScratch();
  std::vector<std::unique_ptr<TVdbDatabase>> more;
  std::string message;
  for (int i = 0; i < 200 && message.empty(); ++i) {
    auto next = std::make_unique<TVdbDatabase>();
    next->SetDatabaseName("More" + std::to_string(i));
    next->SetLocation(dir_.string());
    try {
      next->SetConnected(true);
      more.push_back(std::move(next));
    } catch (const EDatabaseError& error) {
      message = error.what();
      EXPECT_FALSE(next->Connected());
    }
  }
  EXPECT_EQ(message, "Connecting to database \"" + dir_.string() + "\": Could not create session");
  EXPECT_EQ(more.size(), 99u) << "100 sessions in the process";
  more.pop_back();
  TVdbDatabase last;
  last.SetDatabaseName("Last");
  last.SetLocation(dir_.string());
  last.SetConnected(true);
  EXPECT_TRUE(last.Connected()) << "a session given back can be taken again";
}

TEST_F(DatabaseTest, TwoComponentsShareOneDatabaseFile) {
  ConnectLexicon();
  TVdbDatabase second;
  second.SetDatabaseName("Masodik");
  second.SetLocation(Path("L_Data.vdbd"));
  second.SetConnected(true);
  TVdbQuery other;
  other.SetDatabaseName("Masodik");
  other.SetSQL({"SELECT * FROM Data ORDER BY CIMSZO"});
  other.Open();
  EXPECT_EQ(other.RecordCount(), static_cast<int32_t>(LexiconEntries().size()));
  EXPECT_FALSE(second.ReadOnly());
}

}  // namespace
