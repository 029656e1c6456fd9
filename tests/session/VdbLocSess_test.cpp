// Opening and closing a database location: single-file databases through the page manager's
// registry, directory databases with their control file, the errors of a bad location, two
// sessions on one container, and the session log.
#include "VdbSessionTestSupport.h"

#include "base/VdbErrors.h"
#include "storage/kxCompoundFile.h"

namespace vdb::test {
namespace {

using LocalSession = SessionFixture;

TEST_F(LocalSession, OpensTheLexiconAsSingleFileDatabase) {
  TVdbLocalSession& Session = NewSession(FPath);
  EXPECT_FALSE(Session.GetIsOpen());
  EXPECT_GT(Session.GetConnectionId(), 0);
  ASSERT_EQ(Session.OpenDb(), 0) << Session.Services()->LastErrorMsg();
  EXPECT_TRUE(Session.GetIsOpen());
  EXPECT_TRUE(Session.Catalog()->IsOpen());
  EXPECT_TRUE(Session.Catalog()->GetIsSingleFile());
  EXPECT_EQ(Session.Services()->DataBaseType(), dbtSingleFile);
  EXPECT_EQ(Session.Catalog()->GetRelationCount(), 0);  // no table opens with the database
  EXPECT_TRUE(Registered(FPath));
  auto* Container = dynamic_cast<TkxCompoundFileIntf*>(Session.Services()->DataFileSystem());
  ASSERT_NE(Container, nullptr);
  EXPECT_FALSE(Container->GetReadOnly());
  EXPECT_FALSE(Container->GetExclusive());

  EXPECT_EQ(Session.CloseDb(), 0);
  EXPECT_FALSE(Session.GetIsOpen());
  EXPECT_FALSE(Session.Catalog()->IsOpen());
  EXPECT_FALSE(Registered(FPath));  // the last reference closed the container
  EXPECT_EQ(Session.CloseDb(), 0);  // harmless when nothing is open
  // Opening again works.
  ASSERT_EQ(Session.OpenDb(), 0) << Session.Services()->LastErrorMsg();
  EXPECT_TRUE(Session.GetIsOpen());
}

TEST_F(LocalSession, ALocationWithoutExtensionIsTheContainerWithVdbd) {
  TVdbLocalSession& Session = NewSession((FDir / "L_Data").string());
  ASSERT_EQ(Session.OpenDb(), 0) << Session.Services()->LastErrorMsg();
  EXPECT_EQ(Session.Catalog()->Location(), FPath);
  EXPECT_TRUE(Session.Catalog()->GetIsSingleFile());
}

TEST_F(LocalSession, BadLocations) {
  // A missing file with an extension.
  const std::string Missing = Beside("new.vdbd");
  TVdbLocalSession& First = NewSession(Missing);
  EXPECT_EQ(First.OpenDb(), -37);
  EXPECT_EQ(First.Services()->LastErrorMsg(), "File not found or access denied: \"" + Missing + "\"");
  EXPECT_FALSE(First.GetIsOpen());
  EXPECT_FALSE(First.Catalog()->IsOpen());
  // Without extension it is taken for a container and fails in the container layer, leaving no
  // file system mounted.
  TVdbLocalSession& Second = NewSession(Beside("new"));
  EXPECT_THROW(Second.OpenDb(), std::exception);
  EXPECT_FALSE(Second.GetIsOpen());
  EXPECT_FALSE(Registered(Beside("new.vdbd")));
  EXPECT_FALSE(Registered(""));
  // A relative directory part is refused at once.
  try {
    Second.Catalog()->SetLocation("dir/file.vdbd");
    FAIL() << "a relative location was accepted";
  } catch (const EVdbEngine& Error) {
    EXPECT_EQ(Error.Code(), 191);
    EXPECT_STREQ(Error.what(),
                 "Invalid database name \"dir/file.vdbd\". Using a relative file path is not allowed");
  }
  // A bare file name and a blank location are accepted.
  EXPECT_NO_THROW(Second.Catalog()->SetLocation("file.vdbd"));
  EXPECT_NO_THROW(Second.Catalog()->SetLocation("   "));
  EXPECT_EQ(Second.Catalog()->Location(), "");
}

TEST_F(LocalSession, DirectoryDatabases) {
  const std::filesystem::path Lex = FDir / "lex";
  std::filesystem::create_directories(Lex);
  { std::ofstream(Lex / "Data.vdbt") << "not a container"; }
  struct Case {
    std::string Location;
  };
  // The directory itself, and one of its table files, open the same directory database.
  for (const Case& C : {Case{Lex.string()}, Case{(Lex / "Data.vdbt").string()}}) {
    SCOPED_TRACE(C.Location);
    std::filesystem::remove(Lex / "lex.vdbd");
    TVdbLocalSession& Session = NewSession(C.Location);
    ASSERT_EQ(Session.OpenDb(), 0) << Session.Services()->LastErrorMsg();
    EXPECT_EQ(Session.Services()->DataBaseType(), dbtDbDirectory);
    EXPECT_FALSE(Session.Catalog()->GetIsSingleFile());
    EXPECT_EQ(Session.Catalog()->Location(), Lex.string());
    EXPECT_EQ(ReadWholeFile((Lex / "lex.vdbd").string()), TVdbLocalSession::kControlFileText);
    std::vector<std::string> Names;
    Session.Catalog()->GetTableNames(Names);
    EXPECT_EQ(Names, std::vector<std::string>{"Data"});
    Session.CloseDb();
    EXPECT_FALSE(Registered(Lex.string()));
  }
  // An existing control file is left as it is.
  { std::ofstream(Lex / "lex.vdbd") << "kept"; }
  TVdbLocalSession& Session = NewSession(Lex.string());
  ASSERT_EQ(Session.OpenDb(), 0);
  EXPECT_EQ(ReadWholeFile((Lex / "lex.vdbd").string()), "kept");
}

// A read-only open never writes: a file that is not a container opens its directory as a
// directory database, but no control file appears there.
TEST_F(LocalSession, AReadOnlyDirectoryOpenWritesNoControlFile) {
  const std::filesystem::path Lex = FDir / "quiet";
  std::filesystem::create_directories(Lex);
  { std::ofstream(Lex / "Data.vdbt") << "not a container"; }
  for (const std::string& Location : {Lex.string(), (Lex / "Data.vdbt").string()}) {
    SCOPED_TRACE(Location);
    TVdbLocalSession& Session = NewSession(Location);
    Session.Catalog()->ReadOnly = true;
    ASSERT_EQ(Session.OpenDb(), 0) << Session.Services()->LastErrorMsg();
    EXPECT_EQ(Session.Services()->DataBaseType(), dbtDbDirectory);
    EXPECT_FALSE(std::filesystem::exists(Lex / "quiet.vdbd"));
    Session.CloseDb();
  }
}

TEST_F(LocalSession, TwoSessionsShareTheContainer) {
  TVdbLocalSession& First = OpenSession();
  TVdbLocalSession& Second = OpenSession();
  EXPECT_EQ(First.Services()->DataFileSystem(), Second.Services()->DataFileSystem());
  ASSERT_EQ(OpenData(First), 1) << First.Services()->LastErrorMsg();
  ASSERT_EQ(OpenData(Second), 1) << Second.Services()->LastErrorMsg();
  EXPECT_TRUE(Exists("L_Data!Data.vdbl"));
  // A third session asking for exclusive use is refused while the container is shared.
  TVdbLocalSession& Third = NewSession(FPath);
  Third.Catalog()->Exclusive = true;
  EXPECT_EQ(Third.OpenDb(), -130);
  EXPECT_EQ(Third.Services()->LastErrorMsg(), "The file is in use by another user");
  EXPECT_FALSE(Third.GetIsOpen());

  First.CloseDb();
  EXPECT_TRUE(Registered(FPath));
  EXPECT_TRUE(Exists("L_Data!Data.vdbl"));  // the second session still uses the table
  EXPECT_EQ(Second.Catalog()->GetRelation(1)->RecordCount(), kEntries);
  Second.CloseDb();
  EXPECT_FALSE(Exists("L_Data!Data.vdbl"));
  EXPECT_FALSE(Exists("L_Data!Data.vdbv"));
  EXPECT_FALSE(Registered(FPath));
  // Now nobody shares it: exclusive use is granted.
  ASSERT_EQ(Third.OpenDb(), 0) << Third.Services()->LastErrorMsg();
  // Without explicit rights the table takes the catalog's exclusive mode.
  ASSERT_EQ(Third.Catalog()->AddTable("Data", "", false, kVdbWriteRights), 1)
      << Third.Services()->LastErrorMsg();
  EXPECT_TRUE(Third.Catalog()->GetRelation(1)->Exclusive());
  EXPECT_FALSE(Exists("L_Data!Data.vdbl"));  // an exclusive opening needs no lock file
}

TEST_F(LocalSession, CreatesEmptyDatabases) {
  TVdbLocalSession& Session = NewSession("");
  const std::string Single = (FDir / "a" / "b" / "neu").string();
  ASSERT_EQ(Session.CreateDatabase(dbtSingleFile, Single, "", false), 0)
      << Session.Services()->LastErrorMsg();
  EXPECT_TRUE(TkxCompoundFileIntf::IsCompoundFile(Single + ".vdbd"));
  // It opens as an empty single-file database.
  Session.Catalog()->SetLocation(Single + ".vdbd");
  ASSERT_EQ(Session.OpenDb(), 0) << Session.Services()->LastErrorMsg();
  std::vector<std::string> Names;
  Session.Catalog()->GetTableNames(Names);
  EXPECT_TRUE(Names.empty());
  EXPECT_THROW(Session.CreateDatabase(dbtSingleFile, Beside("other"), "", false), std::runtime_error);
  Session.CloseDb();

  // Existing names, and a directory that cannot be made (a file is in the way).
  for (const std::string& Name : {Single, FPath, Beside("L_Data.vdbd/x.vdbd")}) {
    SCOPED_TRACE(Name);
    EXPECT_EQ(Session.CreateDatabase(dbtSingleFile, Name, "", false), -202);
    EXPECT_NE(Session.Services()->LastErrorMsg().find(Name), std::string::npos);
  }
  ASSERT_EQ(Session.CreateDatabase(dbtDbDirectory, Beside("dir/sub"), "", false), 0);
  EXPECT_TRUE(std::filesystem::is_directory(FDir / "dir" / "sub"));
  EXPECT_EQ(Session.CreateDatabase(dbtDbDirectory, Beside("L_Data.vdbd/sub"), "", false), -202);
  EXPECT_EQ(Session.CreateDatabase(dbtSingleFile, Beside("m"), "", true), -187);
}

TEST_F(LocalSession, DeletesDatabases) {
  TVdbLocalSession& User = OpenSession();
  TVdbLocalSession& Session = NewSession("");
  // In use by another session: refused, nothing deleted.
  EXPECT_EQ(Session.DeleteDatabase(FPath, ""), -130);
  EXPECT_TRUE(Exists("L_Data.vdbd"));
  User.CloseDb();
  ASSERT_EQ(Session.DeleteDatabase(FPath, ""), 0) << Session.Services()->LastErrorMsg();
  EXPECT_FALSE(Exists("L_Data.vdbd"));
  EXPECT_FALSE(Session.GetIsOpen());
  EXPECT_EQ(Session.DeleteDatabase(FPath, ""), -37);
  EXPECT_EQ(Session.DeleteDatabase("rel/L_Data.vdbd", ""), -191);

  // A directory database: its table files and control file go, other files stay.
  const std::filesystem::path Lex = FDir / "lex";
  std::filesystem::create_directories(Lex);
  for (const char* Name : {"Data.vdbt", "Data.vdbm", "Data!CIMSZO.vdbi", "Notes.txt"})
    std::ofstream(Lex / Name) << "x";
  ASSERT_EQ(Session.DeleteDatabase(Lex.string(), ""), 0) << Session.Services()->LastErrorMsg();
  std::vector<std::string> Left;
  for (const auto& Entry : std::filesystem::directory_iterator(Lex))
    Left.push_back(Entry.path().filename().string());
  EXPECT_EQ(Left, std::vector<std::string>{"Notes.txt"});
  std::filesystem::remove(Lex / "Notes.txt");
  ASSERT_EQ(Session.DeleteDatabase(Lex.string(), ""), 0);
  EXPECT_FALSE(std::filesystem::exists(Lex));  // an empty directory goes too
}

TEST_F(LocalSession, LogOnlyAboveLevelZero) {
  TVdbLocalSession& Session = OpenSession();
  TVdbServices& Services = *Session.Services();
  Services.SetPrivateDir(FDir.string());
  EXPECT_EQ(Services.LogLevel(), 0);
  EXPECT_EQ(Services.SetLogLevel(0), 0);
  EXPECT_FALSE(std::filesystem::exists(Services.LogFileName(1)));
  EXPECT_EQ(Services.LogFileName(3),
            FDir.string() + "/VdbLog" + std::to_string(Services.Station()) + "_03.txt");

  ASSERT_EQ(Services.SetLogLevel(9), 0);
  EXPECT_EQ(Services.LogLevel(), 4);  // clamped
  EXPECT_EQ(OpenData(Session, kVdbWriteRights), 1);
  EXPECT_EQ(Session.Catalog()->TryOpenTable("Nope", "", true, false, kVdbWriteRights), -37);
  Services.SetLogLevel(0);
  const std::string Text = ReadWholeFile(Services.LogFileName(1));
  EXPECT_NE(Text.find("VeskorDB log file opened"), std::string::npos);
  EXPECT_NE(Text.find("Error 37"), std::string::npos);
  EXPECT_NE(Text.find("File not found or access denied: \"Nope\""), std::string::npos);
  EXPECT_NE(Text.find("VeskorDB log file closed"), std::string::npos);

  // Each new log pushes the older ones one number up; five survive.
  for (int I = 0; I < 6; ++I) {
    ASSERT_EQ(Services.SetLogLevel(1), 0);
    Services.SetLogLevel(0);
  }
  for (int Sequence = 1; Sequence <= 5; ++Sequence)
    EXPECT_TRUE(std::filesystem::exists(Services.LogFileName(Sequence))) << Sequence;
  EXPECT_FALSE(std::filesystem::exists(Services.LogFileName(6)));
  // A log that cannot be created: the private directory is a file.
  Services.SetPrivateDir(FPath);
  EXPECT_EQ(Services.SetLogLevel(2), -3);
  EXPECT_EQ(Services.LogLevel(), 0);
}

}  // namespace
}  // namespace vdb::test
