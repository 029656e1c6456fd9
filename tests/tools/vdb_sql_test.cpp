// vdb sql: the shell run as a process on small lexicon databases in a scratch directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "LexiconDatabase.h"
#include "support/RunProcess.h"

namespace {

using vdbtest::ProcessResult;
using vdbtest::RunProcess;

class VdbSqlTest : public ::testing::Test {
 protected:
  VdbSqlTest()
      : FDir(std::filesystem::path(::testing::TempDir()) /
             ("vdb_sql_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
    lexicon::WriteLexiconDatabase({{"Vaddisznó", "sertés, \"fekete\"", 2},
                                   {"agancs", "fejdísz\nkét sorban", 3},
                                   {"Őz", "kis szarvas", 4},
                                   {"bak", "hím őz", 5}},
                                  Db());
  }
  ~VdbSqlTest() override { std::filesystem::remove_all(FDir); }

  std::string File(const std::string& Name) const { return (FDir / Name).string(); }
  std::string Db() const { return File("L_Data.vdbd"); }

  static ProcessResult Sql(const std::vector<std::string>& Args, const std::string& Input = "") {
    std::vector<std::string> All{"sql"};
    All.insert(All.end(), Args.begin(), Args.end());
    return RunProcess(VDB_TOOL_PATH, All, Input);
  }

  std::filesystem::path FDir;
};

TEST_F(VdbSqlTest, AScriptFromStandardInputPrintsAlignedTables) {
  const ProcessResult Result = Sql({Db()},
                                   "select CIMSZO from Data\n"
                                   "  order by CIMSZO;\n"
                                   "select * from Data where CIMSZO = 'bak';\n");
  EXPECT_EQ(Result.exitCode, 0) << Result.err;
  EXPECT_EQ(Result.err, "");
  EXPECT_EQ(Result.out,
            "CIMSZO\n"
            "---------\n"
            "agancs\n"
            "bak\n"
            "Őz\n"
            "Vaddisznó\n"
            "(4 rows)\n"
            "CIMSZO  LEIRAS\n"
            "------  ------\n"
            "bak     hím őz\n"
            "(1 row)\n");
}

TEST_F(VdbSqlTest, SemicolonsInQuotesAndCommentsDoNotEndAStatement) {
  const ProcessResult Result = Sql({"--csv", Db()},
                                   "-- a comment; with a semicolon\n"
                                   "select CIMSZO from Data /* not here; */ where CIMSZO <> 'x;y' // nor here;\n"
                                   "  and CIMSZO like 'v%';\n"
                                   "/* only a comment; */\n");
  EXPECT_EQ(Result.exitCode, 0) << Result.err;
  EXPECT_EQ(Result.out, "CIMSZO\r\nVaddisznó\r\n");
}

TEST_F(VdbSqlTest, CsvOutputIsRfc4180WithWholeMemos) {
  const ProcessResult Result = Sql({"--csv", Db(), "select * from Data order by CIMSZO"});
  EXPECT_EQ(Result.exitCode, 0) << Result.err;
  EXPECT_EQ(Result.out,
            "CIMSZO,LEIRAS\r\n"
            "agancs,\"fejdísz\r\nkét sorban\"\r\n"  // memos keep their line breaks as CR LF
            "bak,hím őz\r\n"
            "Őz,kis szarvas\r\n"
            "Vaddisznó,\"sertés, \"\"fekete\"\"\"\r\n");
}

TEST_F(VdbSqlTest, ArgumentsHoldSeveralStatementsAndThePlanComesFirst) {
  const ProcessResult Result =
      Sql({"--plan", Db(), "select CIMSZO from Data where CIMSZO = 'Őz'; select CIMSZO from Data where CIMSZO like 'v%'"});
  EXPECT_EQ(Result.exitCode, 0) << Result.err;
  const std::size_t First = Result.out.find("Őz\n(1 row)");
  const std::size_t Second = Result.out.find("Vaddisznó\n(1 row)");
  ASSERT_NE(First, std::string::npos) << Result.out;
  ASSERT_NE(Second, std::string::npos) << Result.out;
  // Each result is preceded by the access path of its relation.
  EXPECT_NE(Result.out.substr(0, First).find("Data"), std::string::npos) << Result.out;
  EXPECT_NE(Result.out.substr(First, Second - First).find("Data"), std::string::npos) << Result.out;
}

TEST_F(VdbSqlTest, ExitStatusTellsWrongArgumentsUnopenableDatabasesAndFailedStatements) {
  struct Case {
    const char* What;
    std::vector<std::string> Args;
    std::string Input;
    int ExitCode;
    const char* ErrorPart;
  };
  const std::string Missing = File("no/such/dir/x.vdbd");
  const std::vector<Case> Cases = {
      {"no database", {}, "", 2, "usage: vdb sql"},
      {"only options", {"--csv"}, "", 2, "usage: vdb sql"},
      {"unknown option", {"--json", Db()}, "", 2, "usage: vdb sql"},
      {"database in a missing directory", {Missing, "select * from Data"}, "", 3, "cannot open"},
      {"syntax error", {Db(), "select * frm Data"}, "", 1, "(row 1, column "},
      {"unknown table", {Db()}, "select * from Nincs;\n", 1, "Table \"Nincs\" not found"},
      {"unknown column", {Db()}, "select Nincs from Data;\n", 1, "Nincs"},
      {"unknown dot command", {Db()}, ".frobnicate\n", 1, "unknown or incomplete command"},
  };
  for (const Case& C : Cases) {
    const ProcessResult Result = Sql(C.Args, C.Input);
    EXPECT_EQ(Result.exitCode, C.ExitCode) << C.What << ": " << Result.err;
    EXPECT_NE(Result.err.find(C.ErrorPart), std::string::npos) << C.What << ": " << Result.err;
  }
  EXPECT_FALSE(std::filesystem::exists(File("no")));
}

TEST_F(VdbSqlTest, AFailedStatementDoesNotStopTheScript) {
  const ProcessResult Result = Sql({Db()}, "select x frm Data;\nselect CIMSZO from Data where CIMSZO = 'bak';\n");
  EXPECT_EQ(Result.exitCode, 1);
  EXPECT_NE(Result.err.find("Error: "), std::string::npos);
  EXPECT_NE(Result.out.find("bak\n(1 row)"), std::string::npos) << Result.out;
}

TEST_F(VdbSqlTest, DotCommandsShowTablesSchemaAndIndexes) {
  const ProcessResult Result = Sql({Db()}, ".help\n.tables\n.schema Data\n.indexes Data\n.quit\nselect * from Nincs;\n");
  EXPECT_EQ(Result.exitCode, 0) << Result.err;
  EXPECT_NE(Result.out.find(".import FILE.csv TABLE"), std::string::npos);
  EXPECT_NE(Result.out.find("Data\nCREATE TABLE Data (\n  CIMSZO VARCHAR(150) COLLATE Hungarian_ci_as,\n"
                            "  LEIRAS LONGVARCHAR COLLATE Hungarian_ci_as\n);\nCIMSZO (CIMSZO)\n"),
            std::string::npos)
      << Result.out;
  EXPECT_EQ(Result.err, "");  // nothing after .quit ran
}

TEST_F(VdbSqlTest, ImportAppendsCsvRowsAndRollbackTakesThemBack) {
  {
    std::ofstream Csv(File("uj.csv"), std::ios::binary);
    Csv << "CIMSZO,LEIRAS\r\n\"Suta\",\"nőstény őz, \"\"suta\"\"\"\r\nGida,\r\n";
  }
  const std::string Words = "select CIMSZO from Data order by CIMSZO;\n";
  ProcessResult Result = Sql({Db()}, ".begin\n.import " + File("uj.csv") + " Data\n.rollback\n" + Words);
  EXPECT_EQ(Result.exitCode, 0) << Result.err;
  EXPECT_NE(Result.out.find("2 rows imported"), std::string::npos);
  EXPECT_NE(Result.out.find("(4 rows)"), std::string::npos) << Result.out;

  Result = Sql({"--csv", Db()}, ".import " + File("uj.csv") + " Data\nselect * from Data where CIMSZO = 'Gida' or CIMSZO = 'suta' order by CIMSZO;\n");
  EXPECT_EQ(Result.exitCode, 0) << Result.err;
  EXPECT_NE(Result.out.find("CIMSZO,LEIRAS\r\nGida,\r\nSuta,\"nőstény őz, \"\"suta\"\"\"\r\n"), std::string::npos)
      << Result.out;

  // A header naming a column the table lacks changes nothing.
  {
    std::ofstream Csv(File("rossz.csv"), std::ios::binary);
    Csv << "CIMSZO,NINCS\nx,y\n";
  }
  Result = Sql({Db()}, ".import " + File("rossz.csv") + " Data\n" + Words);
  EXPECT_EQ(Result.exitCode, 1);
  EXPECT_NE(Result.err.find("no column \"NINCS\""), std::string::npos) << Result.err;
  EXPECT_NE(Result.out.find("(6 rows)"), std::string::npos) << Result.out;
}

TEST_F(VdbSqlTest, WritesPrintTheRowsTheyAffectAndTransactionsFrameThem) {
  const std::string Fresh = File("w.vdbd");
  ProcessResult Result = Sql({Fresh},
                             "create table T (Name varchar(20) not null, Age integer);\n"
                             "insert into T (Name, Age) values ('a', 1);\n"
                             "insert into T (Name, Age) values ('b', 2); insert into T (Name, Age) values ('c', 3);\n"
                             "update T set Age = Age + 10 where Age > 1;\n"
                             "delete from T where Name = 'a';\n"
                             ".begin\ndelete from T;\n.rollback\n"
                             "select * from T order by Name;\n");
  EXPECT_EQ(Result.exitCode, 0) << Result.err;
  EXPECT_EQ(Result.out,
            "0 rows affected\n1 row affected\n1 row affected\n1 row affected\n2 rows affected\n"
            "1 row affected\n2 rows affected\n"
            "Name  Age\n----  ---\nb     12\nc     13\n(2 rows)\n");

  // A refused write leaves the table as it was and fails the script.
  Result = Sql({Fresh}, "insert into T (Age) values (4);\nselect Name from T order by Name;\n");
  EXPECT_EQ(Result.exitCode, 1);
  EXPECT_NE(Result.err.find("Error: "), std::string::npos);
  EXPECT_NE(Result.out.find("b\nc\n(2 rows)"), std::string::npos) << Result.out;
}

// A running "vdb sql" shell fed through a pipe, its standard output and error collected in one
// pipe: the test writes statements, waits for what the shell prints and sends it signals.
class TShellProcess {
 public:
  explicit TShellProcess(const std::string& Db) {
    int In[2], Out[2];
    if (::pipe(In) != 0 || ::pipe(Out) != 0) throw std::runtime_error("pipe");
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(In[0], STDIN_FILENO);
      ::dup2(Out[1], STDOUT_FILENO);
      ::dup2(Out[1], STDERR_FILENO);
      for (const int Fd : {In[0], In[1], Out[0], Out[1]}) ::close(Fd);
      ::execl(VDB_TOOL_PATH, VDB_TOOL_PATH, "sql", Db.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(In[0]);
    ::close(Out[1]);
    FInput = In[1];
    FOutput = Out[0];
  }
  ~TShellProcess() {
    CloseInput();
    if (FPid > 0 && !FDone) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    ::close(FOutput);
  }
  TShellProcess(const TShellProcess&) = delete;
  TShellProcess& operator=(const TShellProcess&) = delete;

  void Write(const std::string& Text) {
    ASSERT_EQ(::write(FInput, Text.data(), Text.size()), static_cast<ssize_t>(Text.size()));
  }
  void CloseInput() {
    if (FInput >= 0) ::close(FInput);
    FInput = -1;
  }
  void Signal(int Number) { ::kill(FPid, Number); }
  // Reads output until Text has appeared after position From (true) or Bound has passed or the
  // output has ended; Tick runs between reads that found nothing new.
  bool WaitFor(const std::string& Text, std::size_t From, std::chrono::seconds Bound,
               const std::function<void()>& Tick = {}) {
    const auto Deadline = std::chrono::steady_clock::now() + Bound;
    while (FOut.find(Text, From) == std::string::npos) {
      if (FEnded || std::chrono::steady_clock::now() > Deadline) return false;
      if (!ReadSome() && Tick) Tick();
    }
    return true;
  }
  // Reads the rest of the output (the shell ends when its input is closed) and waits for it.
  int Wait() {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!FEnded && std::chrono::steady_clock::now() < Deadline) ReadSome();
    int Status = 0;
    ::waitpid(FPid, &Status, 0);
    FDone = true;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }
  const std::string& Output() const { return FOut; }

 private:
  pid_t FPid = -1;
  int FInput = -1;
  int FOutput = -1;
  bool FDone = false;
  bool FEnded = false;
  std::string FOut;

  // Waits up to 200 ms for output; false when none came.
  bool ReadSome() {
    pollfd Poll{FOutput, POLLIN, 0};
    if (::poll(&Poll, 1, 200) <= 0) return false;
    char Buffer[4096];
    const ssize_t Read = ::read(FOutput, Buffer, sizeof Buffer);
    if (Read <= 0) {
      FEnded = true;
      return false;
    }
    FOut.append(Buffer, static_cast<std::size_t>(Read));
    return true;
  }
};

// Ctrl-C stops the running statement, not the shell: a long read and a long write are stopped
// with the engine's message, the write is undone entirely, and the next statement runs.
TEST_F(VdbSqlTest, CtrlCStopsTheRunningStatementAndTheShellGoesOn) {
  const std::string Fresh = File("long.vdbd");
  // Two tables of 2,000 rows from a table of ten digits.
  std::string Setup = "create table D (X integer);\ncreate table A (X integer);\ncreate table B (X integer);\n"
                      "create table C (X integer);\n";
  for (int Digit = 0; Digit < 10; ++Digit) Setup += "insert into D (X) values (" + std::to_string(Digit) + ");\n";
  Setup += "insert into A select D1.X * 1000 + D2.X * 100 + D3.X * 10 + D4.X from D D1, D D2, D D3, D D4 "
           "where D1.X < 2;\n"
           "insert into B select X from A;\n";
  const ProcessResult Made = Sql({Fresh}, Setup);
  ASSERT_EQ(Made.exitCode, 0) << Made.err;

  TShellProcess Shell(Fresh);
  const std::string Stopped = "Operation canceled (stopped by Ctrl-C; the statement changed nothing)";
  const std::vector<std::string> LongStatements = {
      "select count(*) from A, B where A.X + B.X < 0;\n",
      "insert into C select A.X from A, B where A.X <= B.X;\n",
      "update A set X = X + 1 where X + 1 > (select count(*) from B where B.X > A.X);\n",
  };
  for (const std::string& Statement : LongStatements) {
    SCOPED_TRACE(Statement);
    const std::size_t From = Shell.Output().size();
    // A marker printed just before the long statement starts; then Ctrl-C until it stops (a
    // signal that comes before the statement has begun is not one it can see).
    Shell.Write("select count(*) Marker from D;\n" + Statement);
    ASSERT_TRUE(Shell.WaitFor("Marker", From, std::chrono::seconds(60))) << Shell.Output();
    ASSERT_TRUE(Shell.WaitFor(Stopped, From, std::chrono::seconds(120), [&] { Shell.Signal(SIGINT); }))
        << Shell.Output();
  }
  // The shell goes on, and the stopped writes changed nothing.
  const std::size_t From = Shell.Output().size();
  Shell.Write("select count(*) N, sum(X) S from C;\nselect count(*) N, sum(X) S from A;\n");
  Shell.CloseInput();
  EXPECT_EQ(Shell.Wait(), 1);  // statements of the script failed
  const std::string After = Shell.Output().substr(From);
  EXPECT_NE(After.find("N  S\n-  ----\n0  NULL\n(1 row)"), std::string::npos) << After;
  EXPECT_NE(After.find("N     S\n----  -------\n2000  1999000\n(1 row)"), std::string::npos) << After;
}

TEST_F(VdbSqlTest, AMissingDatabaseFileIsCreatedEmpty) {
  const std::string Fresh = File("uj.vdbd");
  const ProcessResult Result = Sql({Fresh, ".tables"});
  EXPECT_EQ(Result.exitCode, 0) << Result.err;
  EXPECT_EQ(Result.out, "");
  EXPECT_TRUE(std::filesystem::is_regular_file(Fresh));
}

}  // namespace
