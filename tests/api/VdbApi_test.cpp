// The engine API: invalid handles and result codes, the window's road over the real lexicon,
// table files, the write path, indexes, transactions, marks and errors through the last error.
#include "VdbApiTestSupport.h"

#include <algorithm>
#include <functional>
#include <map>
#include <thread>

#include "LexiconCsv.h"
#include "LexiconDatabase.h"
#include "table/kxStrUtils.h"

extern "C" int32_t VdbApiCountFromC(const VdbChar* Location, const VdbChar* Table);

namespace vdb::apitest {
namespace {

using ApiHandles = ApiFixture;
using ApiLexicon = ApiFixture;
using ApiTables = ApiFixture;

// --- Handles ------------------------------------------------------------------------------------

struct HandleCase {
  const char* Operation;
  std::function<int32_t(VdbHandle)> Call;
  int32_t Invalid;
};

std::vector<HandleCase> HandleCases() {
  static TVdbFieldSpec Spec;
  static TVdbDatabaseInfo Info;
  return {
      {"VdbSessOpenDb", [](VdbHandle H) { return VdbSessOpenDb(H, W("/nowhere.vdbd"), nullptr, nullptr, 0, 0); }, -105},
      {"VdbSessGetDbInfo", [](VdbHandle H) { return VdbSessGetDbInfo(H, &Info); }, -105},
      {"VdbSessIsSingleFile", [](VdbHandle H) { return VdbSessIsSingleFile(H); }, -105},
      {"VdbSessOpenTable", [](VdbHandle H) { return VdbSessOpenTable(H, W("Data"), nullptr, 15, 0); }, -105},
      {"VdbSessGetLastError", [](VdbHandle H) { int16_t C; return VdbSessGetLastError(H, &C, nullptr, 0); }, -105},
      {"VdbSessBeginTransaction", [](VdbHandle H) { return VdbSessBeginTransaction(H, 2); }, -105},
      {"VdbSessCloseDb", [](VdbHandle H) { return VdbSessCloseDb(H); }, -105},
      {"VdbSessDelete", [](VdbHandle H) { return VdbSessDelete(H); }, -105},
      {"VdbTableFirst", [](VdbHandle H) { return VdbTableFirst(H); }, -101},
      {"VdbTableMoveBy", [](VdbHandle H) { return VdbTableMoveBy(H, 1); }, -101},
      {"VdbTableGetRowCount", [](VdbHandle H) { return VdbTableGetRowCount(H); }, -101},
      {"VdbTableGetFieldSpec", [](VdbHandle H) { return VdbTableGetFieldSpec(H, 1, &Spec); }, -101},
      {"VdbTableGetFieldText", [](VdbHandle H) { VdbChar Buffer[64]; return VdbTableGetFieldText(H, 1, Buffer, 63, nullptr); }, -101},
      {"VdbTableDelete", [](VdbHandle H) { return VdbTableDelete(H); }, -101},
      {"VdbTableCreate", [](VdbHandle H) { return VdbTableCreate(H, W("T")); }, -17},
      {"VdbRltnRecordCount", [](VdbHandle H) { return VdbRltnRecordCount(H); }, -17},
      {"VdbRltnGetIndexNames", [](VdbHandle H) { return VdbRltnGetIndexNames(H, nullptr, 0); }, -17},
      {"VdbSessCreateStatement", [](VdbHandle H) { return VdbSessCreateStatement(H); }, -105},
      {"VdbStmtSetSqlText", [](VdbHandle H) { return VdbStmtSetSqlText(H, W("select 1")); }, -104},
      {"VdbStmtPrepare", [](VdbHandle H) { return VdbStmtPrepare(H, 2); }, -104},
      {"VdbStmtExecute", [](VdbHandle H) { return VdbStmtExecute(H); }, -104},
      {"VdbStmtCreateResultTableHdl", [](VdbHandle H) { return VdbStmtCreateResultTableHdl(H); }, -104},
      {"VdbStmtGetErrorPos", [](VdbHandle H) { int32_t R, C; return VdbStmtGetErrorPos(H, &R, &C); }, -104},
      {"VdbStmtDelete", [](VdbHandle H) { return VdbStmtDelete(H); }, -104},
  };
}

TEST_F(ApiHandles, HandlesThatNameNothingAnswerTheirKindsCode) {
  for (const VdbHandle Handle : {0, -1, 99, 101, 255, 256, 25409, 32767}) {
    for (const HandleCase& Case : HandleCases()) {
      EXPECT_EQ(Case.Call(Handle), Case.Invalid) << Case.Operation << " with handle " << Handle;
    }
  }
}

TEST_F(ApiHandles, DeletedAndWrongKindHandlesAreRefused) {
  const std::string Db = Path("h.vdbd");
  lexicon::WriteLexiconDatabase({{"a", "b", 2}}, Db);
  const VdbHandle Sess = OpenDatabase(Db);
  const VdbHandle Rltn = VdbSessOpenTable(Sess, W("Data"), nullptr, VDB_RIGHTS_WRITE, 0);
  ASSERT_GT(Rltn, 0);
  const VdbHandle Table = VdbTableCreate(Rltn, W("T"));
  ASSERT_GT(Table, 0);
  EXPECT_EQ(VdbTableFirst(Table), 1);

  // A statement or session handle is no table handle, a table handle no relation handle.
  EXPECT_EQ(VdbTableFirst(static_cast<VdbHandle>(Table + 1)), -101);
  EXPECT_EQ(VdbRltnRecordCount(static_cast<VdbHandle>(Rltn + 1)), -17);

  EXPECT_EQ(VdbTableDelete(Table), 0);
  EXPECT_EQ(VdbTableFirst(Table), -101);
  EXPECT_EQ(VdbTableDelete(Table), -101);

  // Closing the database takes the relation handles with it; deleting the session its handle.
  EXPECT_EQ(VdbSessCloseDb(Sess), 0);
  EXPECT_EQ(VdbRltnRecordCount(Rltn), -17);
  EXPECT_EQ(VdbSessOpenTable(Sess, W("Data"), nullptr, VDB_RIGHTS_WRITE, 0), -105);
  EXPECT_EQ(VdbSessDelete(Sess), 0);
  Forget(Sess);
  EXPECT_EQ(VdbSessIsSingleFile(Sess), -105);
  EXPECT_EQ(VdbSessGetLastError(Sess, nullptr, nullptr, 0), -105);
}

TEST_F(ApiHandles, SessionsReuseTheLowestFreeSlotAndRemoteLocationsAreRefused) {
  const VdbHandle First = NewSession();
  const VdbHandle Second = NewSession();
  EXPECT_EQ(Second, First + 1);
  ASSERT_EQ(VdbSessDelete(First), 0);
  Forget(First);
  EXPECT_EQ(NewSession(), First);
  EXPECT_EQ(VdbCreateSession(W("server@host")), -53);
}

TEST_F(ApiHandles, The256thCursorOfTheProcessIsRefused) {
  const std::string Db = Path("c.vdbd");
  lexicon::WriteLexiconDatabase({{"a", "b", 2}}, Db);
  const VdbHandle Sess = OpenDatabase(Db);
  const VdbHandle Rltn = VdbSessOpenTable(Sess, W("Data"), nullptr, VDB_RIGHTS_WRITE, 0);
  std::vector<VdbHandle> Tables;
  for (int I = 0; I < 255; ++I) {
    const VdbHandle Table = VdbTableCreate(Rltn, W("T"));
    ASSERT_GT(Table, 0) << I;
    Tables.push_back(Table);
  }
  EXPECT_EQ(VdbTableCreate(Rltn, W("T")), -2);
  // Closing the database frees the session's cursors and their slots.
  ASSERT_EQ(VdbSessCloseDb(Sess), 0);
  EXPECT_EQ(VdbTableFirst(Tables.front()), -101);
}

// --- Errors through the last error ---------------------------------------------------------------

TEST_F(ApiHandles, LastErrorStartsEmptyAndSurvivesSuccessfulCalls) {
  const VdbHandle Sess = NewSession();
  EXPECT_EQ(LastErrorOf(Sess).Code, 0);
  EXPECT_EQ(LastErrorOf(Sess).Message, "");

  // A database that is not there: "Database not found" with the engine's detail.
  const std::string Missing = Path("missing.vdbd");
  EXPECT_EQ(VdbSessOpenDb(Sess, W(Missing), nullptr, nullptr, 0, 0), -58);
  LastError Error = LastErrorOf(Sess);
  EXPECT_EQ(Error.Code, -37);
  EXPECT_EQ(Error.Message, "File not found or access denied: \"" + Missing + "\"");

  // Tables that cannot be opened: missing ones, and exclusive use inside a shared container.
  const std::string Db = Path("e.vdbd");
  lexicon::WriteLexiconDatabase({{"a", "b", 2}}, Db);
  const VdbHandle Open = OpenDatabase(Db);
  EXPECT_EQ(VdbSessOpenTable(Open, W("Nincs"), nullptr, VDB_RIGHTS_WRITE, 0), -1);
  EXPECT_EQ(LastErrorOf(Open).Code, -37);
  EXPECT_EQ(VdbSessOpenTable(Open, W("Data"), nullptr, VDB_RIGHTS_WRITE | VDB_RIGHTS_EXCLUSIVE, 0), -100);
  EXPECT_EQ(LastErrorOf(Open).Code, -117);
  EXPECT_NE(LastErrorOf(Open).Message.find("Exlusive"), std::string::npos);
  EXPECT_GT(VdbSessOpenTable(Open, W("Data"), nullptr, VDB_RIGHTS_WRITE, 0), 0);

  // A relative database path is refused by the catalog.
  EXPECT_EQ(VdbSessOpenDb(Sess, W("sub/x.vdbd"), nullptr, nullptr, 0, 0), -53);
  EXPECT_EQ(LastErrorOf(Sess).Code, -191);

  // A successful call leaves it as it was.
  VdbChar Version[32];
  EXPECT_EQ(VdbGetVersion(Version, 31), 0);
  EXPECT_EQ(VdbSessSetSettings(Sess, 0, 0, 1, 100), 0);
  EXPECT_EQ(LastErrorOf(Sess).Code, -191);
}

TEST_F(ApiHandles, CProgramsUseTheSameFunctions) {
  const std::string Db = Path("c.vdbd");
  lexicon::WriteLexiconDatabase({{"a", "b", 2}, {"c", "d", 3}, {"e", "f", 4}}, Db);
  EXPECT_EQ(VdbApiCountFromC(W(Db), W("Data")), 3);
  EXPECT_EQ(VdbApiCountFromC(W(Db), W("Nincs")), -1);
  EXPECT_EQ(VdbApiCountFromC(W(Path("nincs.vdbd")), W("Data")), -58);
}

TEST_F(ApiHandles, ResultCodeTextsComeFromTheTableAndAreCut) {
  const std::map<int16_t, std::string> Texts = {
      {-105, "The session handle is invalid"},
      {-59, "The SQL command has an error at row %d, column %d"},
      {0, "No error"},
      {-9, "Unknown error"},
      {123, "Unknown error"},
  };
  for (const auto& [Code, Text] : Texts) {
    VdbChar Buffer[128];
    EXPECT_EQ(VdbGetErrorMsg(Code, Buffer, 127), 0);
    EXPECT_EQ(Utf8(Buffer), Text) << Code;
  }
  VdbChar Short[8];
  VdbGetErrorMsg(-105, Short, 7);
  EXPECT_EQ(Utf8(Short), "The ses");
}

// --- The window's road over the lexicon ----------------------------------------------------------

TEST_F(ApiLexicon, TheWindowsRoadWalksTheHeadwordIndexAndLeavesNoLockFiles) {
  const std::vector<lexicon::LexiconEntry> Entries =
      lexicon::ReadLexiconCsv(std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv");
  ASSERT_EQ(Entries.size(), 1752u);
  const std::string Db = Path("L_Data.vdbd");
  lexicon::WriteLexiconDatabase(Entries, Db);

  // Opening as the database component does it.
  const VdbHandle Sess = VdbCreateSession(W(Db));
  ASSERT_GT(Sess, 0);
  TVdbNetParams Params;
  ASSERT_EQ(VdbSessGetDefaultNetParams(Sess, &Params), 0);
  EXPECT_EQ(Utf8(Params.NetDirs), "AUTO");
  EXPECT_EQ(Utf8(Params.StationName), "Undefined");
  EXPECT_EQ(Params.ServerTimeout, 20000);
  ASSERT_EQ(VdbSessSetNetParams(Sess, &Params), 0);
  ASSERT_EQ(VdbSessSetSystemSettings(Sess, 4096, 512), 0);
  ASSERT_EQ(VdbSessOpenDb(Sess, W(Db), W(""), W(""), 0, 0), 0) << LastErrorOf(Sess).Message;
  TVdbDatabaseInfo Info{};
  ASSERT_EQ(VdbSessGetDbInfo(Sess, &Info), 0);
  ASSERT_EQ(VdbSessSetSettings(Sess, 0, 0, 1, 0), 0);
  EXPECT_EQ(VdbSessIsSingleFile(Sess), 1);
  EXPECT_EQ(VdbSessFindRltnHdl(Sess, W("Data")), 0);  // on disk, not open yet

  const VdbHandle Rltn = VdbSessOpenTable(Sess, W("Data"), W(""), VDB_RIGHTS_WRITE, 0);
  ASSERT_GT(Rltn, 0) << LastErrorOf(Sess).Message;
  EXPECT_EQ(VdbSessFindRltnHdl(Sess, W("data")), Rltn);
  EXPECT_TRUE(std::filesystem::exists(Path("L_Data!Data.vdbl")));

  const VdbHandle Table = VdbTableCreate(Rltn, W("ResultTable"));
  ASSERT_GT(Table, 0);
  ASSERT_EQ(VdbTableGetNumFields(Table), 2);
  TVdbFieldSpec Spec;
  ASSERT_EQ(VdbTableGetFieldSpec(Table, 1, &Spec), 0);
  EXPECT_EQ(Utf8(Spec.Name), "CIMSZO");
  EXPECT_EQ(Spec.FldType, VDB_FT_STRING);
  EXPECT_EQ(Spec.Param, 150);
  EXPECT_EQ(Utf8(Spec.SelectOrLink), "Hungarian_ci_as");
  EXPECT_EQ(VdbTableGetDataType(Table, 2), VDB_FT_MEMO);
  EXPECT_EQ(VdbTableGetRltnVersion(Table), 6);

  ASSERT_EQ(VdbTableSetIndex(Table, W("CIMSZO"), 0), 0);
  EXPECT_EQ(VdbTableGetRowCount(Table), 1752);
  std::vector<std::string> Walked;
  for (int16_t Moved = VdbTableFirst(Table); Moved >= 0; Moved = VdbTableMoveBy(Table, 1)) {
    Walked.push_back(FieldText(Table, 1));
    ASSERT_LE(Walked.size(), 1752u);
  }
  EXPECT_EQ(VdbTableMoveBy(Table, 1), -11);

  // Every headword once, in the collation's order.
  uint32_t Locale = 0;
  TStrCmpOptions Options = 0;
  ASSERT_TRUE(ParseCollationName("Hungarian_ci_as", Locale, Options));
  const uint32_t CodePage = LocaleCodePage(Locale);
  std::vector<std::string> Expected;
  for (const auto& Entry : Entries) Expected.push_back(Entry.headword);
  std::vector<std::string> SortedWalk = Walked;
  std::sort(SortedWalk.begin(), SortedWalk.end());
  std::sort(Expected.begin(), Expected.end());
  EXPECT_EQ(SortedWalk, Expected);
  for (std::size_t I = 1; I < Walked.size(); ++I) {
    const std::string A = Utf8ToAnsi(Walked[I - 1], CodePage), B = Utf8ToAnsi(Walked[I], CodePage);
    ASSERT_LE(CompareCollated(A.data(), static_cast<int32_t>(A.size()), B.data(),
                              static_cast<int32_t>(B.size()), Options, Locale), 0)
        << Walked[I - 1] << " / " << Walked[I];
  }

  // The description: as UTF-8 text, and as the memo's 8-bit bytes through the blob transfer.
  const lexicon::LexiconEntry& Fox = *std::find_if(Entries.begin(), Entries.end(), [](const auto& E) {
    return E.description.find("róka") != std::string::npos || E.description.find("Róka") != std::string::npos;
  });
  ASSERT_EQ(VdbTableFirst(Table), 1);
  while (FieldText(Table, 1) != Fox.headword) ASSERT_EQ(VdbTableMoveBy(Table, 1), 0);
  EXPECT_EQ(FieldText(Table, 2), Fox.description);
  int16_t BlobType = -1;
  const int32_t Size = VdbTableInitGetBlob(Table, 2, &BlobType);
  ASSERT_EQ(Size, static_cast<int32_t>(Utf8ToAnsi(Fox.description, CodePage).size()));
  std::string Bytes(static_cast<std::size_t>(Size), '\0');
  ASSERT_EQ(VdbTablePerformGetBlob(Table, Bytes.data(), Size), Size);
  EXPECT_EQ(AnsiToUtf8(Bytes, CodePage), Fox.description);

  // Closing as the component does: the lock and move files go with the last session.
  EXPECT_EQ(VdbTableDelete(Table), 0);
  EXPECT_EQ(VdbSessCloseDb(Sess), 0);
  EXPECT_EQ(VdbSessDelete(Sess), 0);
  EXPECT_FALSE(std::filesystem::exists(Path("L_Data!Data.vdbl")));
  EXPECT_FALSE(std::filesystem::exists(Path("L_Data!Data.vdbv")));
  std::filesystem::remove(Db);  // the file is free again
  EXPECT_FALSE(std::filesystem::exists(Db));
}

TEST_F(ApiLexicon, StatementsRunTheStartQueryAndReportParseErrorsWithTheirPlace) {
  const std::string Db = Path("L_Data.vdbd");
  lexicon::WriteLexiconDatabase(
      {{"Vaddisznó", "sertés", 2}, {"agancs", "fejdísz", 3}, {"Őz", "kis szarvas", 4}, {"bak", "hím őz", 5}}, Db);
  const VdbHandle Sess = OpenDatabase(Db);
  const VdbHandle Stmt = VdbSessCreateStatement(Sess);
  ASSERT_GT(Stmt, 0);

  // A syntax error: -59 with its row and column; the statement stays usable.
  EXPECT_EQ(VdbStmtSetSqlText(Stmt, W("select *\nfrom Data wher CIMSZO = 'x'")), -59);
  int32_t Row = 0, Col = 0;
  ASSERT_EQ(VdbStmtGetErrorPos(Stmt, &Row, &Col), 0);
  EXPECT_EQ(Row, 2);
  EXPECT_GT(Col, 1);
  EXPECT_LT(LastErrorOf(Sess).Code, 0);
  VdbChar Line[128];
  EXPECT_EQ(VdbSessGetLastErrorPos(Sess, Line, 127), Col);
  EXPECT_EQ(Utf8(Line), "from Data wher CIMSZO = 'x'");

  // The start query, live, through the headword index.
  ASSERT_EQ(VdbStmtSetSqlText(Stmt, W("select * from Data \norder by CIMSZO")), 0) << LastErrorOf(Sess).Message;
  ASSERT_EQ(VdbStmtPrepare(Stmt, VDB_CURSOR_LIVE), 0) << LastErrorOf(Sess).Message;
  ASSERT_GE(VdbStmtExecute(Stmt), 0) << LastErrorOf(Sess).Message;
  const VdbHandle Table = VdbStmtCreateResultTableHdl(Stmt);
  ASSERT_GT(Table, 0) << LastErrorOf(Sess).Message;
  std::vector<std::string> Words;
  for (int16_t Moved = VdbTableFirst(Table); Moved >= 0; Moved = VdbTableMoveBy(Table, 1))
    Words.push_back(FieldText(Table, 1) + "=" + FieldText(Table, 2));
  EXPECT_EQ(Words, (std::vector<std::string>{"agancs=fejdísz", "bak=hím őz", "Őz=kis szarvas", "Vaddisznó=sertés"}));

  // The table handle outlives the statement.
  ASSERT_EQ(VdbStmtUnprepare(Stmt), 0);
  ASSERT_EQ(VdbStmtDelete(Stmt), 0);
  EXPECT_EQ(VdbStmtSetSqlText(Stmt, W("select 1")), -104);
  ASSERT_EQ(VdbTableFirst(Table), 1);
  EXPECT_EQ(FieldText(Table, 1), "agancs");
  EXPECT_EQ(VdbTableDelete(Table), 0);

  // An unknown table fails in preparation with its engine error.
  const VdbHandle Other = VdbSessCreateStatement(Sess);
  ASSERT_EQ(VdbStmtSetSqlText(Other, W("select * from Nincs")), 0);
  EXPECT_EQ(VdbStmtPrepare(Other, VDB_CURSOR_STATIC), -64);
  EXPECT_EQ(LastErrorOf(Sess).Code, -88);
  // Parameters travel as text: the query component's order of calls.
  const VdbHandle Search = VdbSessCreateStatement(Sess);
  ASSERT_EQ(VdbStmtSetSqlText(Search, W("select CIMSZO from Data where CIMSZO like :p or LEIRAS like :p order by CIMSZO")), 0);
  // Declared wide: an 8-bit parameter holds its text in the engine's code page, which has no "ő".
  ASSERT_EQ(VdbStmtAddParam(Search, W("p"), VDB_FT_WIDESTRING, 0), 0);
  EXPECT_EQ(VdbStmtAddParam(Search, W("P"), VDB_FT_STRING, 0), -71);
  ASSERT_EQ(VdbStmtPrepare(Search, VDB_CURSOR_STATIC), 0) << LastErrorOf(Sess).Message;
  const std::vector<std::pair<std::string, std::vector<std::string>>> Searches = {
      {"%őz%", {"bak", "Őz"}}, {"v%", {"Vaddisznó"}}, {"%nincs%", {}}};
  for (const auto& [Pattern, Expected] : Searches) {
    ASSERT_EQ(VdbStmtClearParams(Search), 0);
    ASSERT_EQ(VdbStmtSetParam(Search, W("p"), W(Pattern), 0), 0);
    ASSERT_GE(VdbStmtExecute(Search), 0) << LastErrorOf(Sess).Message;
    const VdbHandle Hits = VdbStmtCreateResultTableHdl(Search);
    ASSERT_GT(Hits, 0);
    std::vector<std::string> Found;
    for (int16_t Moved = VdbTableFirst(Hits); Moved >= 0; Moved = VdbTableMoveBy(Hits, 1))
      Found.push_back(FieldText(Hits, 1));
    EXPECT_EQ(Found, Expected) << Pattern;
    EXPECT_EQ(VdbTableGetRowCount(Hits), static_cast<int32_t>(Expected.size()));
    ASSERT_EQ(VdbTableDelete(Hits), 0);
  }
  EXPECT_EQ(VdbStmtSetParam(Search, W("nincs"), W("x"), 0), -50);

  // A write answers the rows it affected and has no result table.
  ASSERT_EQ(VdbStmtSetSqlText(Other, W("update Data set LEIRAS = 'szarvasbika' where CIMSZO = 'bak'")), 0);
  ASSERT_EQ(VdbStmtPrepare(Other, VDB_CURSOR_STATIC), 0) << LastErrorOf(Sess).Message;
  EXPECT_EQ(VdbStmtExecute(Other), 1) << LastErrorOf(Sess).Message;
  EXPECT_EQ(VdbStmtCreateResultTableHdl(Other), 0);
  // Closing the database deletes the session's statements.
  ASSERT_EQ(VdbSessCloseDb(Sess), 0);
  EXPECT_EQ(VdbStmtPrepare(Other, VDB_CURSOR_STATIC), -104);
}

// --- Tables, the write path, indexes and transactions -------------------------------------------

TVdbFieldSpec Field(const char* Name, int16_t Type, int32_t Param = 0, bool Nullable = true) {
  TVdbFieldSpec Spec{};
  const std::u16string Wide = TkxMemory::Utf8ToUtf16(Name);
  std::copy(Wide.begin(), Wide.end(), Spec.Name);
  Spec.FldType = Type;
  Spec.Param = Param;
  Spec.Options = Nullable ? VDB_FO_NULLABLE : 0;
  return Spec;
}

class ApiPeople : public ApiFixture {
 protected:
  void SetUp() override {
    ApiFixture::SetUp();
    FSess = OpenDatabase(Path("people.vdbd"), true);
    const TVdbFieldSpec Fields[] = {Field("Name", VDB_FT_STRING, 30), Field("Age", VDB_FT_INTEGER),
                                    Field("Note", VDB_FT_MEMO)};
    TVdbTableInfo Info{};
    const std::u16string Collation = u"Hungarian_ci_as";
    std::copy(Collation.begin(), Collation.end(), Info.Language);
    ASSERT_EQ(VdbSessCreateTable(FSess, W("People"), 3, Fields, &Info), 0) << LastErrorOf(FSess).Message;
    FRltn = VdbSessOpenTable(FSess, W("People"), nullptr, VDB_RIGHTS_WRITE, 0);
    ASSERT_GT(FRltn, 0) << LastErrorOf(FSess).Message;
    FTable = VdbTableCreate(FRltn, W("T"));
    ASSERT_GT(FTable, 0);
  }
  // Appends a row from texts (null: NULL); the result of the confirmation.
  VdbResult Append(const char* Name, const char* Age, const char* Note = nullptr) {
    EXPECT_EQ(VdbTableAppend(FTable), 0);
    const char* Texts[] = {Name, Age, Note};
    for (int16_t FieldNo = 1; FieldNo <= 3; ++FieldNo) {
      if (Texts[FieldNo - 1] != nullptr) {
        EXPECT_EQ(VdbTableSetFieldText(FTable, FieldNo, W(Texts[FieldNo - 1])), 0);
      }
    }
    const VdbResult Result = VdbTableAppendConfirm(FTable);
    if (Result < 0) VdbTableAppendCancel(FTable);
    return Result;
  }
  // The rows in the cursor's order as "Name/Age/Note".
  std::vector<std::string> Rows() {
    std::vector<std::string> Result;
    for (int16_t Moved = VdbTableFirst(FTable); Moved >= 0; Moved = VdbTableMoveBy(FTable, 1))
      Result.push_back(FieldText(FTable, 1) + "/" + FieldText(FTable, 2) + "/" + FieldText(FTable, 3));
    return Result;
  }
  VdbHandle FSess = 0, FRltn = 0, FTable = 0;
};

TEST_F(ApiPeople, RowsWrittenThroughFieldTextReadBackWithNullsAndMemos) {
  ASSERT_EQ(Append("Őz Ödön", "41", "vadász, \"öreg\""), 0) << LastErrorOf(FSess).Message;
  ASSERT_EQ(Append("Bak", nullptr), 0);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"Őz Ödön/41/vadász, \"öreg\"", "Bak/<NULL>/<NULL>"}));
  EXPECT_EQ(VdbRltnRecordCount(FRltn), 2);

  // Editing the second row; confirming without an edit is refused.
  EXPECT_EQ(VdbTableEditConfirm(FTable), -57);
  ASSERT_EQ(VdbTableSetRecNo(FTable, 2), 2);
  ASSERT_EQ(VdbTableEdit(FTable), 0);
  ASSERT_EQ(VdbTableSetFieldText(FTable, 2, W("7")), 0);
  ASSERT_EQ(VdbTableEditConfirm(FTable), 0) << LastErrorOf(FSess).Message;
  EXPECT_EQ(Rows()[1], "Bak/7/<NULL>");

  // A text that is no number is a failure of the conversion, caught at the boundary.
  ASSERT_EQ(VdbTableEdit(FTable), 0);
  EXPECT_EQ(VdbTableSetFieldText(FTable, 2, W("hét")), -102);
  EXPECT_EQ(LastErrorOf(FSess).Code, -123);
  EXPECT_NE(LastErrorOf(FSess).Message.find("Exception: "), std::string::npos);
  EXPECT_EQ(VdbTableEditCancel(FTable), 0);

  // A column number out of range is an engine error: -100 with its message.
  TVdbFieldSpec Spec;
  EXPECT_EQ(VdbTableGetFieldSpec(FTable, 9, &Spec), -100);
  EXPECT_EQ(LastErrorOf(FSess).Code, -83);

  ASSERT_EQ(VdbTableSetRecNo(FTable, 1), 1);
  ASSERT_EQ(VdbTableDeleteRecord(FTable), 0);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"Bak/7/<NULL>"}));
}

TEST_F(ApiPeople, IndexesOrderWalksRangesAndLocateAndGuardUniqueness) {
  for (const char* Name : {"Cinege", "alma", "Bak", "Dámvad"}) ASSERT_EQ(Append(Name, "1"), 0);
  ASSERT_EQ(VdbRltnCreateIndex(FRltn, W("ByName"), W("Name"), 1), 0) << LastErrorOf(FSess).Message;
  EXPECT_EQ(VdbRltnCreateIndex(FRltn, W("Bad"), W("Nope"), 0), -18);

  VdbChar Names[256];
  EXPECT_EQ(VdbRltnGetIndexNames(FRltn, Names, 255), 6);
  EXPECT_EQ(Utf8(Names), "ByName");
  int16_t Unique = 0;
  ASSERT_EQ(VdbRltnGetIndexDesc(FRltn, W("ByName"), Names, 255, &Unique), 0);
  EXPECT_EQ(Unique, 1);
  EXPECT_NE(Utf8(Names).find("Name"), std::string::npos);
  EXPECT_EQ(VdbRltnGetIndexDesc(FRltn, W("Nope"), Names, 255, &Unique), -16);

  EXPECT_EQ(VdbTableSetIndex(FTable, W("Nope"), 0), -16);
  ASSERT_EQ(VdbTableSetIndex(FTable, W("ByName"), 0), 0);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"alma/1/<NULL>", "Bak/1/<NULL>", "Cinege/1/<NULL>",
                                              "Dámvad/1/<NULL>"}));
  ASSERT_EQ(VdbTableSetIndex(FTable, W("ByName"), 1), 0);
  EXPECT_EQ(Rows().front(), "Dámvad/1/<NULL>");
  ASSERT_EQ(VdbTableSetIndex(FTable, W("ByName"), 0), 0);

  // A unique index refuses a second "bak" (the collation ignores case) and keeps the table.
  EXPECT_EQ(Append("bak", "2"), -26);
  EXPECT_EQ(VdbRltnRecordCount(FRltn), 4);

  // Locate by key and a key range from record images.
  const int16_t Size = VdbTableGetRecordSize(FTable);
  std::vector<uint8_t> Lower(static_cast<std::size_t>(Size)), Upper(static_cast<std::size_t>(Size));
  ASSERT_EQ(VdbTableFirst(FTable), 1);
  EXPECT_EQ(VdbTableGetRecord(FTable, Lower.data(), Size - 1), -103);
  ASSERT_EQ(VdbTableSetRecNo(FTable, 3), 3);  // Bak
  ASSERT_EQ(VdbTableGetRecord(FTable, Lower.data(), Size), 0);
  ASSERT_EQ(VdbTableSetRecNo(FTable, 1), 1);  // Cinege
  ASSERT_EQ(VdbTableGetRecord(FTable, Upper.data(), Size), 0);
  ASSERT_EQ(VdbTableFirst(FTable), 1);
  EXPECT_EQ(VdbTableLocateRec1(FTable, Upper.data()), 1);
  EXPECT_EQ(FieldText(FTable, 1), "Cinege");
  ASSERT_EQ(VdbTableSetRange(FTable, Lower.data(), Upper.data(), 0, 0), 0);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"Bak/1/<NULL>", "Cinege/1/<NULL>"}));
  ASSERT_EQ(VdbTableClearRange(FTable), 0);
  EXPECT_EQ(Rows().size(), 4u);

  // The index cannot go while the cursor walks through it; afterwards it can.
  EXPECT_EQ(VdbRltnDeleteIndex(FRltn, W("ByName")), -48);
  ASSERT_EQ(VdbTableSetIndex(FTable, W(""), 0), 0);
  EXPECT_EQ(VdbRltnDeleteIndex(FRltn, W("ByName")), 0);
  EXPECT_EQ(VdbRltnGetIndexNames(FRltn, Names, 255), 0);
}

TEST_F(ApiPeople, TransactionsCommitOrRollBackEveryWrite) {
  ASSERT_EQ(Append("Egy", "1"), 0);
  EXPECT_EQ(VdbSessEndTransaction(FSess), -63);
  ASSERT_EQ(VdbSessBeginTransaction(FSess, 2), 0);
  EXPECT_EQ(VdbSessInTransaction(FSess), 1);
  EXPECT_EQ(VdbSessBeginTransaction(FSess, 2), -63);
  EXPECT_EQ(LastErrorOf(FSess).Code, -183);
  ASSERT_EQ(Append("Ketto", "2"), 0);
  ASSERT_EQ(VdbTableSetRecNo(FTable, 1), 1);
  ASSERT_EQ(VdbTableEdit(FTable), 0);
  ASSERT_EQ(VdbTableSetFieldText(FTable, 1, W("Modositott")), 0);
  ASSERT_EQ(VdbTableEditConfirm(FTable), 0);
  ASSERT_EQ(VdbSessCancelTransaction(FSess), 0) << LastErrorOf(FSess).Message;
  EXPECT_EQ(VdbSessInTransaction(FSess), 0);
  ASSERT_EQ(VdbTableRefresh(FTable) >= 0, true);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"Egy/1/<NULL>"}));

  ASSERT_EQ(VdbSessBeginTransaction(FSess, 2), 0);
  ASSERT_EQ(Append("Harom", "3"), 0);
  ASSERT_EQ(VdbSessEndTransaction(FSess), 0);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"Egy/1/<NULL>", "Harom/3/<NULL>"}));

  // A session that ends inside a transaction leaves nothing of it behind.
  ASSERT_EQ(VdbSessBeginTransaction(FSess, 2), 0);
  ASSERT_EQ(Append("Negy", "4"), 0);
  ASSERT_EQ(VdbSessDelete(FSess), 0);
  Forget(FSess);
  const VdbHandle Again = OpenDatabase(Path("people.vdbd"));
  const VdbHandle Rltn = VdbSessOpenTable(Again, W("People"), nullptr, VDB_RIGHTS_WRITE, 0);
  ASSERT_GT(Rltn, 0) << LastErrorOf(Again).Message;
  EXPECT_EQ(VdbRltnRecordCount(Rltn), 2);
}

TEST_F(ApiPeople, MarksAndRecordIdsOfTheCursor) {
  for (const char* Name : {"a", "b", "c"}) ASSERT_EQ(Append(Name, "1"), 0);
  EXPECT_EQ(VdbTableAddMark(FTable, 9), -100);  // no such record
  EXPECT_EQ(LastErrorOf(FSess).Code, -19);
  ASSERT_EQ(VdbTableAddMark(FTable, 3), 0);
  ASSERT_EQ(VdbTableToggleMark(FTable, 1), 0);
  EXPECT_EQ(VdbTableGetNumMarks(FTable), 2);
  EXPECT_EQ(VdbTableIsMarked(FTable, 1), 1);
  EXPECT_EQ(VdbTableIsMarked(FTable, 2), 0);
  ASSERT_EQ(VdbTableGotoMark(FTable, 1, 1), 1);
  EXPECT_EQ(FieldText(FTable, 1), "a");
  ASSERT_EQ(VdbTableGotoMark(FTable, 1, 0), 1);
  EXPECT_EQ(FieldText(FTable, 1), "c");
  EXPECT_EQ(VdbTableGotoMark(FTable, 1, 0), -11);
  ASSERT_EQ(VdbTableUnmark(FTable), 0);
  EXPECT_EQ(VdbTableGetNumMarks(FTable), 0);
}

struct ChangeNotice {
  VdbHandle Db, Table;
  int32_t Deleted, Moved;
};
std::vector<ChangeNotice> gNotices;

TEST_F(ApiPeople, FiltersInSqlAndChangeNoticesOfDeletedRecords) {
  for (const char* Row : {"a,5", "b,15", "c,25", "d,35"}) {
    const std::string Text(Row);
    ASSERT_EQ(Append(Text.substr(0, 1).c_str(), Text.substr(2).c_str()), 0);
  }
  // Static (1) and incremental (15) filters, switched on and off.
  for (const uint16_t Options : {65, 79}) {
    ASSERT_EQ(VdbTableSetSQLFilter(FTable, W("Age > 10 and Name <> 'c'"), Options), 0) << LastErrorOf(FSess).Message;
    ASSERT_EQ(VdbTableActivateFilter(FTable, 1), 0);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"b/15/<NULL>", "d/35/<NULL>"})) << Options;
    ASSERT_EQ(VdbTableActivateFilter(FTable, 0), 0);
    EXPECT_EQ(Rows().size(), 4u);
  }
  EXPECT_EQ(VdbTableSetSQLFilter(FTable, W("Age >"), 65), -44);
  EXPECT_EQ(VdbTableSetSQLFilter(FTable, W("Nincs = 1"), 65), -44);
  EXPECT_EQ(LastErrorOf(FSess).Code, -50);

  // Deleting record 1 of the heap table moves the last record into its place.
  gNotices.clear();
  ASSERT_EQ(VdbTableSetChangeProc(FTable, [](VdbHandle Db, VdbHandle Table, int32_t Deleted, int32_t Moved) {
    gNotices.push_back({Db, Table, Deleted, Moved});
  }, 7), 0);
  ASSERT_EQ(VdbTableSetRecNo(FTable, 1), 1);
  ASSERT_EQ(VdbTableDeleteRecord(FTable), 0);
  ASSERT_EQ(gNotices.size(), 1u);
  EXPECT_EQ(gNotices[0].Db, 7);
  EXPECT_EQ(gNotices[0].Table, FTable);
  EXPECT_EQ(gNotices[0].Deleted, 1);
  EXPECT_EQ(gNotices[0].Moved, 4);
  ASSERT_EQ(VdbTableSetChangeProc(FTable, nullptr, 0), 0);
  ASSERT_EQ(VdbTableSetRecNo(FTable, 1), 1);
  ASSERT_EQ(VdbTableDeleteRecord(FTable), 0);
  EXPECT_EQ(gNotices.size(), 1u);
}

TEST_F(ApiPeople, ASessionLearnsOfTheChangesOfAnother) {
  ASSERT_EQ(Append("a", "1"), 0);
  const VdbHandle Other = OpenDatabase(Path("people.vdbd"));
  const VdbHandle OtherRltn = VdbSessOpenTable(Other, W("People"), nullptr, VDB_RIGHTS_WRITE, 0);
  ASSERT_GT(OtherRltn, 0) << LastErrorOf(Other).Message;
  EXPECT_EQ(VdbSessRegisterModifications(Other), 0);
  ASSERT_EQ(Append("b", "2"), 0);
  EXPECT_EQ(VdbSessRegisterModifications(Other), 1);
  EXPECT_EQ(VdbSessRegisterModifications(Other), 0);
  EXPECT_EQ(VdbRltnRecordCount(OtherRltn), 2);
}

TEST_F(ApiHandles, SessionsCreatedFromManyThreadsGetDistinctHandles) {
  std::vector<std::vector<VdbHandle>> PerThread(6);
  std::vector<std::thread> Threads;
  for (auto& Handles : PerThread) {
    Threads.emplace_back([&Handles, this] {
      for (int I = 0; I < 10; ++I) Handles.push_back(VdbCreateSession(W(FDir.string())));
    });
  }
  for (auto& Thread : Threads) Thread.join();
  std::vector<VdbHandle> All;
  for (const auto& Handles : PerThread) All.insert(All.end(), Handles.begin(), Handles.end());
  for (VdbHandle Handle : All) EXPECT_GT(Handle, 0);
  std::sort(All.begin(), All.end());
  EXPECT_EQ(std::adjacent_find(All.begin(), All.end()), All.end());
  for (VdbHandle Handle : All) EXPECT_EQ(VdbSessDelete(Handle), 0);
}

TEST_F(ApiHandles, The256thStatementIsRefusedAndTheSessionsFull101stSession) {
  const std::string Db = Path("s.vdbd");
  lexicon::WriteLexiconDatabase({{"a", "b", 2}}, Db);
  const VdbHandle Sess = OpenDatabase(Db);
  for (int I = 0; I < 255; ++I) ASSERT_GT(VdbSessCreateStatement(Sess), 0) << I;
  EXPECT_EQ(VdbSessCreateStatement(Sess), -2);
  ASSERT_EQ(VdbSessCloseDb(Sess), 0);
  ASSERT_EQ(VdbSessOpenDb(Sess, W(Db), nullptr, nullptr, 0, 0), 0);
  EXPECT_GT(VdbSessCreateStatement(Sess), 0);

  std::vector<VdbHandle> Extra;
  for (VdbHandle Made = NewSession(); Made > 0; Made = VdbCreateSession(W(FDir.string()))) {
    Extra.push_back(Made);
    ASSERT_LE(Extra.size(), 100u);
  }
  EXPECT_EQ(VdbCreateSession(W(FDir.string())), -53);
  for (VdbHandle Made : Extra) {
    if (Made != Extra.front()) VdbSessDelete(Made);
  }
}

TEST_F(ApiTables, TablesAreCreatedListedRenamedAndDeletedWithTheirFiles) {
  for (const bool SingleFile : {true, false}) {
    const std::string Location = Path(SingleFile ? "db.vdbd" : "dir");
    const VdbHandle Sess = NewSession();
    ASSERT_EQ(VdbSessCreateDatabase(Sess, SingleFile ? VDB_DB_SINGLE_FILE : VDB_DB_DIRECTORY, W(Location), nullptr), 0);
    // A container file is never overwritten; a directory that exists already is used as it is.
    EXPECT_EQ(VdbSessCreateDatabase(Sess, SingleFile ? VDB_DB_SINGLE_FILE : VDB_DB_DIRECTORY, W(Location), nullptr),
              SingleFile ? -54 : 0);
    ASSERT_EQ(VdbSessOpenDb(Sess, W(Location), nullptr, nullptr, 0, 0), 0) << LastErrorOf(Sess).Message;
    EXPECT_EQ(VdbSessIsSingleFile(Sess), SingleFile ? 1 : 0);

    const TVdbFieldSpec Fields[] = {Field("Id", VDB_FT_AUTOINC, 0, false), Field("Szo", VDB_FT_STRING, 20),
                                    Field("Kep", VDB_FT_BLOB)};
    ASSERT_EQ(VdbSessCreateTable(Sess, W("Beta"), 3, Fields, nullptr), 0) << LastErrorOf(Sess).Message;
    ASSERT_EQ(VdbSessCreateTable(Sess, W("Alfa"), 2, Fields + 1, nullptr), 0);
    EXPECT_EQ(VdbSessCreateTable(Sess, W("alfa"), 1, Fields, nullptr), -14);
    EXPECT_EQ(LastErrorOf(Sess).Code, -72);
    EXPECT_EQ(VdbSessCreateTable(Sess, W("a/b"), 1, Fields, nullptr), -14);
    EXPECT_EQ(LastErrorOf(Sess).Code, -58);
    TVdbFieldSpec Odd = Field("E", VDB_FT_ENUM);
    EXPECT_EQ(VdbSessCreateTable(Sess, W("Gamma"), 1, &Odd, nullptr), -14);
    EXPECT_EQ(VdbSessExistsTable(Sess, W("Gamma")), 0);

    VdbChar Names[128];
    EXPECT_EQ(VdbSessGetTableNames(Sess, Names, 127), 9);
    EXPECT_EQ(Utf8(Names), "Alfa;Beta");
    EXPECT_EQ(VdbSessExistsTable(Sess, W("BETA")), 1);

    // Record ids and blobs of the new table.
    const VdbHandle Rltn = VdbSessOpenTable(Sess, W("Beta"), nullptr, VDB_RIGHTS_WRITE, 0);
    ASSERT_GT(Rltn, 0) << LastErrorOf(Sess).Message;
    const VdbHandle Table = VdbTableCreate(Rltn, W("T"));
    EXPECT_EQ(VdbTableGetAutoNo(Table), 1);
    ASSERT_EQ(VdbTableAppend(Table), 0);
    EXPECT_EQ(VdbTableSetBlob(Table, 2, "x", 1, 0), -23);
    ASSERT_EQ(VdbTableSetBlob(Table, 3, "\x01\xAB", 2, 0), 0);
    ASSERT_EQ(VdbTableAppendConfirm(Table), 0) << LastErrorOf(Sess).Message;
    EXPECT_EQ(VdbTableSetBlob(Table, 3, "x", 1, 0), -57);
    ASSERT_EQ(VdbTableFirst(Table), 1);
    EXPECT_EQ(FieldText(Table, 1), "1");  // each new record takes exactly one id
    EXPECT_EQ(VdbTableGetAutoNo(Table), 2);
    ASSERT_EQ(VdbTableGotoAutoNo(Table, 1), 1);
    EXPECT_EQ(FieldText(Table, 1), "1");
    EXPECT_EQ(FieldText(Table, 3), "01AB");

    // A table in use cannot be deleted or renamed.
    EXPECT_EQ(VdbSessDeleteTable(Sess, W("Beta")), -51);
    EXPECT_EQ(LastErrorOf(Sess).Code, -103);
    ASSERT_EQ(VdbTableDelete(Table), 0);
    ASSERT_EQ(VdbSessRenameTable(Sess, W("Beta"), W("Delta")), 0) << LastErrorOf(Sess).Message;
    EXPECT_EQ(VdbSessRenameTable(Sess, W("Delta"), W("Alfa")), -100);
    EXPECT_EQ(VdbSessExistsTable(Sess, W("Beta")), 0);
    const VdbHandle Renamed = VdbSessOpenTable(Sess, W("Delta"), nullptr, VDB_RIGHTS_WRITE, 0);
    ASSERT_GT(Renamed, 0) << LastErrorOf(Sess).Message;
    EXPECT_EQ(VdbRltnRecordCount(Renamed), 1);
    ASSERT_EQ(VdbRltnClose(Renamed), 0);

    ASSERT_EQ(VdbSessDeleteTable(Sess, W("Delta")), 0) << LastErrorOf(Sess).Message;
    EXPECT_EQ(VdbSessDeleteTable(Sess, W("Delta")), -51);
    EXPECT_EQ(LastErrorOf(Sess).Code, -88);
    EXPECT_EQ(VdbSessGetTableNames(Sess, Names, 127), 4);
    if (!SingleFile) {
      for (const auto& Entry : std::filesystem::directory_iterator(Location))
        EXPECT_EQ(Entry.path().filename().string().rfind("Delta", 0), std::string::npos) << Entry.path();
    }
  }
}

TEST_F(ApiTables, AreasThisEngineDoesNotProvideAnswerNotSupported) {
  const VdbHandle Sess = OpenDatabase(Path("n.vdbd"), true);
  const TVdbFieldSpec One = Field("A", VDB_FT_INTEGER);
  ASSERT_EQ(VdbSessCreateTable(Sess, W("T"), 1, &One, nullptr), 0);
  const VdbHandle Rltn = VdbSessOpenTable(Sess, W("T"), nullptr, VDB_RIGHTS_WRITE, 0);
  const VdbHandle Table = VdbTableCreate(Rltn, W("T"));
  const std::vector<std::pair<std::string, std::function<VdbResult()>>> Calls = {
      {"full-text indexes", [&] { return VdbRltnCreateFullTextIndex(Rltn, W("F"), W("A")); }},
      {"batch moves", [&] { return VdbTableBatchMove(Table, Table, 0); }},
      {"the procedural language", [&] { return VdbSessTokenize(Sess, W("x")); }},
  };
  for (const auto& [Feature, Call] : Calls) {
    EXPECT_EQ(Call(), -100) << Feature;
    const LastError Error = LastErrorOf(Sess);
    EXPECT_EQ(Error.Code, -187);
    EXPECT_EQ(Error.Message, "This feature is not supported: " + Feature);
  }
}

}  // namespace
}  // namespace vdb::apitest
