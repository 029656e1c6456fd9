// SQL text from the fuzzer: parsed as a condition and printed back (the printed text must parse
// and print to itself), then prepared and executed as a statement against a small database
// (two tables of a few dozen rows, an index, a memo column). The database lives in tmpfs and is
// copied back from a pristine image before every input, so a statement that changes or drops
// tables cannot leak into the next one. Result walks stop after a bounded number of rows.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "query/VdbStatement.h"
#include "session/VdbCatalog.h"
#include "base/VdbErrors.h"
#include "session/VdbLocSess.h"
#include "sql/VdbExpression.h"
#include "sql/VdbSqlParser.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMaxRowsWalked = 2000;

const char* const kFixtureStatements[] = {
    "CREATE TABLE Data (CIMSZO VARCHAR(40) NOT NULL, LEIRAS LONGVARCHAR, SZAM INTEGER, PRIMARY KEY (CIMSZO))",
    "CREATE TABLE Num (Id INTEGER NOT NULL, Grp INTEGER, Val FLOAT, Name VARCHAR(10), PRIMARY KEY (Id))",
    "CREATE INDEX NumGrp ON Num (Grp)",
};

fs::path ScratchDir() {
  const fs::path Shm = "/dev/shm";
  const fs::path Base = fs::is_directory(Shm) ? Shm : fs::temp_directory_path();
  return Base / ("vdb_fuzz_sql_" + std::to_string(::getpid()));
}

bool Run(vdb::TVdbCatalog& Catalog, const std::string& Sql) {
  vdb::TVdbStatement Statement(&Catalog);
  return Statement.SetText(Sql) == 0 && Statement.Prepare() == 0 && Statement.Execute() >= 0;
}

class TFixture {
 public:
  TFixture() : FDir(ScratchDir()), FImage(FDir / "image.vdbd"), FWork(FDir / "work.vdbd") {
    fs::remove_all(FDir);
    fs::create_directories(FDir);
    FSession.Initialize(1);
    if (FSession.CreateDatabase(vdb::dbtSingleFile, FImage.string(), "", false) != 0) Fail("create");
    FSession.Catalog()->SetLocation(FImage.string());
    if (FSession.OpenDb() != 0) Fail("open");
    for (const char* Sql : kFixtureStatements)
      if (!Run(*FSession.Catalog(), Sql)) Fail(Sql);
    FillRows();
    FSession.CloseDb();
  }
  ~TFixture() {
    FSession.CloseDb();
    std::error_code Ignored;
    fs::remove_all(FDir, Ignored);
  }

  // A fresh copy of the pristine database, opened.
  vdb::TVdbCatalog* Open() {
    fs::copy_file(FImage, FWork, fs::copy_options::overwrite_existing);
    FSession.Catalog()->SetLocation(FWork.string());
    return FSession.OpenDb() == 0 ? FSession.Catalog() : nullptr;
  }
  void Close() { FSession.CloseDb(); }

 private:
  void FillRows() {
    vdb::TVdbCatalog& Catalog = *FSession.Catalog();
    const char* const Words[] = {"róka", "vaddisznó", "őz", "szarvas", "fácán", "nyúl", "Róka", "ÉJJEL"};
    for (int I = 0; I < 40; ++I) {
      const std::string Word = std::string(Words[I % 8]) + std::to_string(I);
      const std::string Memo = I % 5 == 0 ? "NULL" : "'leírás " + std::to_string(I * 7) + " %_ róka'";
      if (!Run(Catalog, "INSERT INTO Data VALUES ('" + Word + "', " + Memo + ", " + std::to_string(I - 10) + ")"))
        Fail("insert Data");
    }
    for (int I = 0; I < 60; ++I) {
      const std::string Grp = I % 7 == 0 ? "NULL" : std::to_string(I % 4);
      const std::string Row = std::to_string(I) + ", " + Grp + ", " + std::to_string(I) + ".5, 'n" + std::to_string(I % 9) + "'";
      if (!Run(Catalog, "INSERT INTO Num VALUES (" + Row + ")")) Fail("insert Num");
    }
  }
  [[noreturn]] void Fail(const std::string& What) {
    std::fprintf(stderr, "fuzz_sql fixture: %s: %s\n", What.c_str(), FSession.Services()->LastErrorMsg().c_str());
    std::abort();
  }

  fs::path FDir;
  fs::path FImage;
  fs::path FWork;
  vdb::TVdbLocalSession FSession;
};

// Parses Text as a condition; answers its printed form, or nothing when it does not parse.
bool PrintCondition(const std::string& Text, std::string& Printed) {
  try {
    vdb::TSqlParser Parser;
    Parser.SetStatementText(Text);
    auto Condition = Parser.ParseCondition(nullptr);
    Parser.ParseEnd();
    Printed = Condition->GetSqlText();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// What the parser prints it must read back as the same thing.
void CheckPrintBack(const std::string& Text) {
  std::string Printed;
  if (!PrintCondition(Text, Printed)) return;
  std::string Reprinted;
  if (!PrintCondition(Printed, Reprinted) || Reprinted != Printed) {
    std::fprintf(stderr, "printed condition does not read back:\n  input:   %s\n  printed: %s\n  again:   %s\n",
                 Text.c_str(), Printed.c_str(), Reprinted.c_str());
    std::abort();
  }
}

void WalkRows(vdb::TVdbCatalog& Catalog, const vdb::TVdbStatement& Statement) {
  vdb::TVdbRelation* Result = Catalog.GetRelation(Statement.ResultRltnIdx());
  if (Result == nullptr) return;
  vdb::TVdbAccessor Cursor(*Result, "Fuzz_Cursor");
  if (Statement.ResultIndexNo() < 128) Cursor.SetAccess(Statement.ResultIndexNo(), false);
  std::int64_t Rows = 0;
  std::string Text;
  for (std::int16_t Moved = Cursor.First(); Moved == 0 && Rows < kMaxRowsWalked; Moved = Cursor.Next(), ++Rows) {
    for (std::int16_t FieldNo = 1; FieldNo <= Result->GetColumnCount(); ++FieldNo) {
      if (Result->GetColumnDef(FieldNo).GetColumnType() == vdb::kVdbMemoCode) Cursor.GetMemo(FieldNo, Text, -1);
      else if (!Result->IsNull(Cursor.GetRecordPtr(), FieldNo)) Result->GetAsStringA(Cursor.GetRecordPtr(), FieldNo, Text);
    }
  }
}

// A row whose computed column fails (a division by zero, say) raises the engine's error, as a
// cursor's move through the handle API answers it; any other exception is a finding.
void WalkResult(vdb::TVdbCatalog& Catalog, const vdb::TVdbStatement& Statement) {
  try {
    WalkRows(Catalog, Statement);
  } catch (const vdb::EVdbEngine&) {
  }
}

void Execute(TFixture& Fixture, const std::string& Sql) {
  vdb::TVdbCatalog* Catalog = Fixture.Open();
  if (Catalog == nullptr) std::abort();
  {
    vdb::TVdbStatement Statement(Catalog);
    Statement.SetRequestedCursorType(vdb::tctLiveResult);
    if (Statement.SetText(Sql) == 0 && Statement.Prepare() == 0 && Statement.Execute() >= 0 &&
        Statement.ResultRltnIdx() >= 0)
      WalkResult(*Catalog, Statement);
  }
  Fixture.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size > 4096) return -1;  // statements this long only slow the search down
  static TFixture Fixture;
  const std::string Sql(reinterpret_cast<const char*>(Data), Size);
  CheckPrintBack(Sql);
  Execute(Fixture, Sql);
  return 0;
}
