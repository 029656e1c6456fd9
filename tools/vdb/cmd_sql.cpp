// vdb sql: an interactive SQL shell over the engine API (and nothing else of the engine).
//
//   vdb sql [--csv] [--plan] DB [SQL ...]
//
// DB is a single-file database (a missing one is created empty) or a directory database. Each
// SQL argument may hold several statements separated by ";"; without SQL arguments statements
// come from standard input, with a prompt and line editing when it is a terminal.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "VdbCommand.h"
#include "api/VdbApi.h"

#ifdef VDB_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace vdbtool {
namespace {

// --- Text between the terminal (UTF-8) and the API (UTF-16) ----------------------------------------

std::vector<VdbChar> ToApi(const std::string& Utf8) {
  std::vector<VdbChar> Out;
  for (std::size_t I = 0; I < Utf8.size();) {
    const auto Lead = static_cast<unsigned char>(Utf8[I]);
    const int Extra = Lead < 0x80 ? 0 : Lead < 0xE0 ? 1 : Lead < 0xF0 ? 2 : 3;
    std::uint32_t Code = Extra == 0 ? Lead : Lead & (0x3F >> Extra);
    for (int K = 1; K <= Extra && I + static_cast<std::size_t>(K) < Utf8.size(); ++K)
      Code = (Code << 6) | (static_cast<unsigned char>(Utf8[I + static_cast<std::size_t>(K)]) & 0x3F);
    I += static_cast<std::size_t>(Extra) + 1;
    if (Code >= 0x10000) {
      Code -= 0x10000;
      Out.push_back(static_cast<VdbChar>(0xD800 + (Code >> 10)));
      Out.push_back(static_cast<VdbChar>(0xDC00 + (Code & 0x3FF)));
    } else {
      Out.push_back(static_cast<VdbChar>(Code));
    }
  }
  Out.push_back(0);
  return Out;
}

void AppendUtf8(std::string& Out, std::uint32_t Code) {
  if (Code < 0x80) {
    Out += static_cast<char>(Code);
  } else if (Code < 0x800) {
    Out += static_cast<char>(0xC0 | (Code >> 6));
    Out += static_cast<char>(0x80 | (Code & 0x3F));
  } else if (Code < 0x10000) {
    Out += static_cast<char>(0xE0 | (Code >> 12));
    Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Code & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (Code >> 18));
    Out += static_cast<char>(0x80 | ((Code >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Code & 0x3F));
  }
}

std::string FromApi(const VdbChar* Text) {
  std::string Out;
  for (; *Text != 0; ++Text) {
    std::uint32_t Code = *Text;
    if (Code >= 0xD800 && Code < 0xDC00 && Text[1] >= 0xDC00 && Text[1] < 0xE000) {
      Code = 0x10000 + ((Code - 0xD800) << 10) + (Text[1] - 0xDC00);
      ++Text;
    }
    AppendUtf8(Out, Code);
  }
  return Out;
}

// Calls Get(Buffer, MaxLen) -> full length twice when the first buffer was too small.
template <class TGet>
std::string ApiText(TGet&& Get) {
  std::vector<VdbChar> Buffer(256);
  std::int32_t Length = Get(Buffer.data(), 255);
  if (Length < 0) return {};
  if (Length > 255) {
    Buffer.assign(static_cast<std::size_t>(Length) + 1, 0);
    Get(Buffer.data(), Length);
  }
  return FromApi(Buffer.data());
}

std::size_t DisplayWidth(const std::string& Utf8) {
  std::size_t Width = 0;
  for (const char C : Utf8) Width += (static_cast<unsigned char>(C) & 0xC0) != 0x80 ? 1 : 0;
  return Width;
}

// --- Splitting statements -------------------------------------------------------------------------

// Collects text and hands out the statements completed by ";" outside quotes and comments
// ("--" and "//" to the end of the line, "/* ... */"); text of only comments is no statement.
class TStatementSplitter {
 public:
  void Add(const std::string& Text) {
    for (std::size_t I = 0; I < Text.size(); ++I) {
      const char C = Text[I];
      const char Next = I + 1 < Text.size() ? Text[I + 1] : '\0';
      if (FState == kLineComment && C == '\n') FState = kCode;
      else if (FState == kBlockComment && C == '*' && Next == '/') {
        Keep(C);
        Keep(Text[++I]);
        FState = kCode;
        continue;
      } else if (FState == kQuote && C == FQuote) FState = kCode;
      else if (FState == kCode) {
        if (C == '\'' || C == '"') {
          FState = kQuote;
          FQuote = C;
        } else if ((C == '-' && Next == '-') || (C == '/' && Next == '/')) {
          FState = kLineComment;
        } else if (C == '/' && Next == '*') {
          FState = kBlockComment;
          Keep(C);
          Keep(Text[++I]);
          continue;
        } else if (C == ';') {
          Complete();
          continue;
        }
      }
      Keep(C);
    }
  }
  // The rest as a last statement (text without a final ";").
  void Finish() { Complete(); }
  bool HasPending() const { return FMeaningful || FState == kBlockComment || FState == kQuote; }
  std::vector<std::string> Take() { return std::exchange(FReady, {}); }

 private:
  enum TState { kCode, kQuote, kLineComment, kBlockComment };
  // Appends C; outside comments anything but white space makes the text a statement.
  void Keep(char C) {
    FPending += C;
    if ((FState == kCode || FState == kQuote) && C != ' ' && C != '\t' && C != '\r' && C != '\n')
      FMeaningful = true;
  }
  void Complete() {
    if (FMeaningful) FReady.push_back(FPending);
    FPending.clear();
    FMeaningful = false;
  }
  std::string FPending;
  std::vector<std::string> FReady;
  TState FState = kCode;
  char FQuote = 0;
  bool FMeaningful = false;
};

// --- CSV ------------------------------------------------------------------------------------------

std::string CsvField(const std::string& Value) {
  if (Value.find_first_of(",\"\r\n") == std::string::npos) return Value;
  std::string Quoted = "\"";
  for (const char C : Value) Quoted += C == '"' ? std::string("\"\"") : std::string(1, C);
  return Quoted + "\"";
}

// Reads the records of an RFC 4180 text; a field that was empty and unquoted is absent (NULL).
std::vector<std::vector<std::optional<std::string>>> ParseCsv(const std::string& Text) {
  std::vector<std::vector<std::optional<std::string>>> Rows(1);
  std::optional<std::string> Field;
  bool Quoted = false, Closed = false;
  auto EndField = [&] {
    Rows.back().push_back(Field);
    Field.reset();
    Quoted = Closed = false;
  };
  for (std::size_t I = 0; I < Text.size(); ++I) {
    const char C = Text[I];
    if (Quoted && !Closed) {
      if (C != '"') Field->push_back(C);
      else if (I + 1 < Text.size() && Text[I + 1] == '"') Field->push_back(Text[++I]);
      else Closed = true;
    } else if (C == '"' && !Field) {
      Quoted = true;
      Field = std::string();
    } else if (C == ',') {
      EndField();
    } else if (C == '\n' || C == '\r') {
      if (C == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n') ++I;
      EndField();
      Rows.emplace_back();
    } else {
      if (!Field) Field = std::string();
      Field->push_back(C);
    }
  }
  if (Field || !Rows.back().empty()) EndField();
  while (!Rows.empty() && (Rows.back().empty() || (Rows.back().size() == 1 && !Rows.back()[0])))
    Rows.pop_back();
  return Rows;
}

// --- Ctrl-C ---------------------------------------------------------------------------------------

std::atomic<bool> gInterrupted{false};

// SIGINT is taken by a thread of its own (blocked everywhere else, the engine's threads
// included, so it must be set up before the database is opened); it asks the session's running
// statement to stop, and the shell goes on.
class TInterruptWatch {
 public:
  TInterruptWatch() {
    sigemptyset(&FSet);
    sigaddset(&FSet, SIGINT);
    pthread_sigmask(SIG_BLOCK, &FSet, nullptr);
    FThread = std::thread([this] {
      for (;;) {
        int Signal = 0;
        if (sigwait(&FSet, &Signal) != 0 || FStop) return;
        gInterrupted = true;
        if (const VdbHandle Sess = FSess; Sess > 0) VdbSessBreak(Sess);
      }
    });
  }
  ~TInterruptWatch() {
    FStop = true;
    pthread_kill(FThread.native_handle(), SIGINT);
    FThread.join();
    pthread_sigmask(SIG_UNBLOCK, &FSet, nullptr);
  }
  TInterruptWatch(const TInterruptWatch&) = delete;
  TInterruptWatch& operator=(const TInterruptWatch&) = delete;
  void SetSession(VdbHandle Sess) { FSess = Sess; }

 private:
  sigset_t FSet{};
  std::atomic<bool> FStop{false};
  std::atomic<VdbHandle> FSess{0};
  std::thread FThread;
};

// --- The shell ------------------------------------------------------------------------------------

struct TOptions {
  bool Csv = false;
  bool Plan = false;
  std::string Database;
  std::vector<std::string> Sql;
};

// The code of a statement stopped on request ("Operation canceled"), negated as the API's last
// error reports engine errors.
constexpr std::int16_t kStoppedStatementError = -114;
constexpr std::size_t kTableCellLimit = 60;  // aligned output cuts long texts (memos) here

class TSqlShell {
 public:
  TSqlShell(const TOptions& Options, std::ostream& Out, std::ostream& Err)
      : FOptions(Options), FOut(Out), FErr(Err) {}
  ~TSqlShell() {
    if (FStmt > 0) VdbStmtDelete(FStmt);
    if (FSess > 0) {
      VdbSessCloseDb(FSess);
      VdbSessDelete(FSess);
    }
  }

  // 0, or the exit status when the database cannot be opened.
  int Open();
  VdbHandle Session() const { return FSess; }
  // Runs one statement or dot command; false when it failed.
  bool Run(const std::string& Text);
  bool QuitAsked() const { return FQuit; }

 private:
  // The session's last error message; Code, when given, receives its engine error number.
  std::string LastError(std::int16_t* Code = nullptr) const;
  bool Fail(const std::string& What);
  bool RunSql(const std::string& Sql);
  bool Prepare(const std::string& Sql);
  void PrintResult(VdbHandle Table);
  std::vector<std::string> Columns(VdbHandle Table) const;
  void PrintAligned(const std::vector<std::string>& Header, const std::vector<std::vector<std::string>>& Rows);
  bool RunDot(const std::string& Line);
  bool DotTables();
  bool DotSchema(const std::string& Table);
  bool DotIndexes(const std::string& Table);
  bool DotImport(const std::string& File, const std::string& Table);
  bool DotTransaction(const std::string& Command);
  bool ImportRows(VdbHandle Table, const std::vector<std::vector<std::optional<std::string>>>& Rows);
  std::vector<std::string> TableNames() const;
  VdbHandle OpenTable(const std::string& Name);

  const TOptions& FOptions;
  std::ostream& FOut;
  std::ostream& FErr;
  VdbHandle FSess = 0;
  VdbHandle FStmt = 0;
  bool FTimer = false;
  bool FQuit = false;
};

int TSqlShell::Open() {
  namespace fs = std::filesystem;
  std::error_code Error;
  const std::string Path = fs::absolute(FOptions.Database, Error).lexically_normal().string();
  FSess = VdbCreateSession(ToApi(Path).data());
  if (FSess <= 0) {
    FErr << "Error: cannot create a session\n";
    return kExitFailure;
  }
  // Only the file itself is created: a mistyped directory is an error, not a new tree.
  if (!fs::exists(Path, Error) && fs::path(Path).extension() == ".vdbd" &&
      fs::is_directory(fs::path(Path).parent_path(), Error) &&
      VdbSessCreateDatabase(FSess, VDB_DB_SINGLE_FILE, ToApi(Path).data(), nullptr) < 0) {
    FErr << "Error: cannot create \"" << Path << "\": " << LastError() << "\n";
    return kExitFailure;
  }
  const std::vector<VdbChar> Empty(1, 0);
  if (VdbSessOpenDb(FSess, ToApi(Path).data(), Empty.data(), Empty.data(), 0, 0) < 0) {
    FErr << "Error: cannot open \"" << Path << "\": " << LastError() << "\n";
    return kExitFailure;
  }
  FStmt = VdbSessCreateStatement(FSess);
  if (FStmt <= 0) {
    FErr << "Error: " << LastError() << "\n";
    return kExitFailure;
  }
  return 0;
}

std::string TSqlShell::LastError(std::int16_t* Code) const {
  std::int16_t Number = 0;
  std::vector<VdbChar> Message(2048, 0);
  VdbSessGetLastError(FSess, &Number, Message.data(), 2047);
  if (Code != nullptr) *Code = Number;
  return FromApi(Message.data());
}

bool TSqlShell::Fail(const std::string& What) {
  FErr << "Error: " << What << "\n";
  return false;
}

bool TSqlShell::Run(const std::string& Text) {
  const std::size_t Start = Text.find_first_not_of(" \t\r\n");
  if (Start == std::string::npos) return true;
  gInterrupted = false;
  if (Text[Start] == '.') return RunDot(Text.substr(Start));
  // Rows and columns of errors count from the statement's first word.
  const auto Began = std::chrono::steady_clock::now();
  const bool Done = RunSql(Text.substr(Start));
  if (FTimer) {
    const std::chrono::duration<double> Took = std::chrono::steady_clock::now() - Began;
    FOut << "Run Time: real " << std::fixed << std::setprecision(3) << Took.count() << "\n";
    FOut.unsetf(std::ios::fixed);
  }
  // Output goes out statement by statement, also into a pipe.
  FOut.flush();
  return Done;
}

bool TSqlShell::Prepare(const std::string& Sql) {
  if (VdbStmtSetSqlText(FStmt, ToApi(Sql).data()) < 0) {
    std::int32_t Row = 0, Col = 0;
    VdbStmtGetErrorPos(FStmt, &Row, &Col);
    return Fail(LastError() + " (row " + std::to_string(Row) + ", column " + std::to_string(Col) + ")");
  }
  if (VdbStmtPrepare(FStmt, VDB_CURSOR_STATIC) < 0) return Fail(LastError());
  return true;
}

bool TSqlShell::RunSql(const std::string& Sql) {
  if (!Prepare(Sql)) return false;
  if (FOptions.Plan) {
    const VdbHandle Stmt = FStmt;
    FOut << ApiText([Stmt](VdbChar* B, std::int32_t N) { return VdbStmtGetPlan(Stmt, B, N); });
  }
  const std::int32_t Affected = VdbStmtExecute(FStmt);
  if (Affected < 0) {
    std::int16_t Code = 0;
    std::string Message = LastError(&Code);
    // A statement stopped by Ctrl-C is undone like a failed one; say so, the shell goes on.
    if (Code == kStoppedStatementError) Message += " (stopped by Ctrl-C; the statement changed nothing)";
    VdbStmtUnprepare(FStmt);
    return Fail(Message);
  }
  const VdbHandle Table = VdbStmtCreateResultTableHdl(FStmt);
  if (Table > 0) {
    PrintResult(Table);
    VdbTableDelete(Table);
  } else if (Table == 0) {
    FOut << Affected << (Affected == 1 ? " row" : " rows") << " affected\n";
  }
  VdbStmtUnprepare(FStmt);
  return Table >= 0 ? true : Fail(LastError());
}

std::vector<std::string> TSqlShell::Columns(VdbHandle Table) const {
  std::vector<std::string> Names;
  const VdbResult Count = VdbTableGetNumFields(Table);
  for (std::int16_t FieldNo = 1; FieldNo <= Count; ++FieldNo) {
    Names.push_back(ApiText([&](VdbChar* B, std::int32_t N) { return VdbTableGetFieldName(Table, FieldNo, B, N) < 0 ? -1 : 0; }));
  }
  return Names;
}

void TSqlShell::PrintResult(VdbHandle Table) {
  const std::vector<std::string> Header = Columns(Table);
  std::vector<std::vector<std::string>> Rows;
  if (FOptions.Csv) {
    for (std::size_t I = 0; I < Header.size(); ++I) FOut << (I ? "," : "") << CsvField(Header[I]);
    FOut << "\r\n";
  }
  for (VdbResult Moved = VdbTableFirst(Table); Moved >= 0 && !gInterrupted; Moved = VdbTableMoveBy(Table, 1)) {
    std::vector<std::string> Row;
    for (std::int16_t FieldNo = 1; FieldNo <= static_cast<std::int16_t>(Header.size()); ++FieldNo) {
      std::int16_t IsNull = 0;
      std::string Value = ApiText([&](VdbChar* B, std::int32_t N) { return VdbTableGetFieldText(Table, FieldNo, B, N, &IsNull); });
      if (IsNull != 0) Value = FOptions.Csv ? "" : "NULL";
      Row.push_back(std::move(Value));
    }
    if (FOptions.Csv) {
      for (std::size_t I = 0; I < Row.size(); ++I) FOut << (I ? "," : "") << CsvField(Row[I]);
      FOut << "\r\n";
    } else {
      Rows.push_back(std::move(Row));
    }
  }
  if (!FOptions.Csv) PrintAligned(Header, Rows);
}

// One line per row; a long or multi-line text is shown shortened.
std::string Cell(std::string Value) {
  for (char& C : Value) if (C == '\n' || C == '\r' || C == '\t') C = ' ';
  if (DisplayWidth(Value) <= kTableCellLimit) return Value;
  std::size_t Bytes = 0, Chars = 0;
  while (Bytes < Value.size() && Chars < kTableCellLimit - 3) {
    ++Bytes;
    while (Bytes < Value.size() && (static_cast<unsigned char>(Value[Bytes]) & 0xC0) == 0x80) ++Bytes;
    ++Chars;
  }
  return Value.substr(0, Bytes) + "...";
}

void TSqlShell::PrintAligned(const std::vector<std::string>& Header, const std::vector<std::vector<std::string>>& Rows) {
  std::vector<std::size_t> Widths;
  for (const std::string& Name : Header) Widths.push_back(DisplayWidth(Name));
  std::vector<std::vector<std::string>> Cells;
  for (const auto& Row : Rows) {
    Cells.emplace_back();
    for (std::size_t I = 0; I < Row.size(); ++I) {
      Cells.back().push_back(Cell(Row[I]));
      Widths[I] = std::max(Widths[I], DisplayWidth(Cells.back().back()));
    }
  }
  auto Line = [&](const std::vector<std::string>& Values) {
    std::string Text;
    for (std::size_t I = 0; I < Values.size(); ++I) {
      Text += (I ? "  " : "") + Values[I];
      if (I + 1 < Values.size()) Text += std::string(Widths[I] - DisplayWidth(Values[I]), ' ');
    }
    FOut << Text << "\n";
  };
  Line(Header);
  std::vector<std::string> Rules;
  for (const std::size_t Width : Widths) Rules.push_back(std::string(Width, '-'));
  Line(Rules);
  for (const auto& Row : Cells) Line(Row);
  FOut << "(" << Rows.size() << (Rows.size() == 1 ? " row)" : " rows)") << "\n";
}

// --- Dot commands ---------------------------------------------------------------------------------

constexpr const char* kHelp =
    ".begin                 start a transaction\n"
    ".commit                commit the transaction\n"
    ".help                  this text\n"
    ".import FILE.csv TABLE append the rows of a CSV file (with a header line) to TABLE\n"
    ".indexes TABLE         the indexes of TABLE\n"
    ".quit                  leave the shell\n"
    ".rollback              roll the transaction back\n"
    ".schema [TABLE]        the columns of every table, or of TABLE\n"
    ".tables                the tables of the database\n"
    ".timer on|off          show the time each statement takes\n";

std::vector<std::string> Words(const std::string& Line) {
  std::istringstream In(Line);
  std::vector<std::string> Result;
  for (std::string Word; In >> Word;) Result.push_back(Word);
  return Result;
}

bool TSqlShell::RunDot(const std::string& Line) {
  const std::vector<std::string> W = Words(Line);
  const std::string& Command = W[0];
  const std::size_t Count = W.size();
  if (Command == ".quit" || Command == ".exit") return FQuit = true;
  if (Command == ".help") return static_cast<bool>(FOut << kHelp);
  if (Command == ".tables" && Count == 1) return DotTables();
  if (Command == ".schema" && Count <= 2) return DotSchema(Count == 2 ? W[1] : "");
  if (Command == ".indexes" && Count == 2) return DotIndexes(W[1]);
  if (Command == ".import" && Count == 3) return DotImport(W[1], W[2]);
  if ((Command == ".begin" || Command == ".commit" || Command == ".rollback") && Count == 1)
    return DotTransaction(Command);
  if (Command == ".timer" && Count == 2 && (W[1] == "on" || W[1] == "off")) {
    FTimer = W[1] == "on";
    return true;
  }
  return Fail("unknown or incomplete command \"" + Line + "\" (try \".help\")");
}

std::vector<std::string> TSqlShell::TableNames() const {
  const VdbHandle Sess = FSess;
  const std::string Joined = ApiText([Sess](VdbChar* B, std::int32_t N) { return VdbSessGetTableNames(Sess, B, N); });
  std::vector<std::string> Names;
  std::istringstream In(Joined);
  for (std::string Name; std::getline(In, Name, ';');) if (!Name.empty()) Names.push_back(Name);
  return Names;
}

bool TSqlShell::DotTables() {
  for (const std::string& Name : TableNames()) FOut << Name << "\n";
  return true;
}

VdbHandle TSqlShell::OpenTable(const std::string& Name) {
  if (VdbSessExistsTable(FSess, ToApi(Name).data()) != 1) {
    Fail("no such table: " + Name);
    return 0;
  }
  const VdbHandle Rltn = VdbSessGetRltnHdl(FSess, ToApi(Name).data());
  if (Rltn <= 0) {
    Fail(LastError());
    return 0;
  }
  return Rltn;
}

std::string TypeName(const TVdbFieldSpec& Spec) {
  switch (Spec.FldType) {
    case VDB_FT_STRING: return "VARCHAR(" + std::to_string(Spec.Param) + ")";
    case VDB_FT_WIDESTRING: return "VARWCHAR(" + std::to_string(Spec.Param) + ")";
    case VDB_FT_MEMO: return "LONGVARCHAR";
    case VDB_FT_WIDEMEMO: return "LONGVARWCHAR";
    case VDB_FT_BLOB: return "LONGVARBINARY";
    case VDB_FT_CHAR: return "CHAR";
    case VDB_FT_SMALLINT: return "SMALLINT";
    case VDB_FT_INTEGER: return "INTEGER";
    case VDB_FT_BIGINT: return "BIGINT";
    case VDB_FT_BYTE: return "BYTE";
    case VDB_FT_FLOAT: return "DOUBLE";
    case VDB_FT_BOOLEAN: return "BOOLEAN";
    case VDB_FT_DATE: return "DATE";
    case VDB_FT_TIME: return "TIME";
    case VDB_FT_TIMESTAMP: return "TIMESTAMP";
    case VDB_FT_AUTOINC: return "AUTOINC";
    case VDB_FT_GUID: return "GUID";
    case VDB_FT_ENUM: return "ENUM";
    case VDB_FT_LINK: return "LINK";
    default: return "RELATION";
  }
}

bool TSqlShell::DotSchema(const std::string& Only) {
  const std::vector<std::string> Names = Only.empty() ? TableNames() : std::vector<std::string>{Only};
  for (const std::string& Name : Names) {
    const VdbHandle Rltn = OpenTable(Name);
    if (Rltn <= 0) return false;
    const VdbHandle Table = VdbTableCreate(Rltn, ToApi("schema").data());
    if (Table <= 0) return Fail(LastError());
    FOut << "CREATE TABLE " << Name << " (";
    const VdbResult Count = VdbTableGetNumFields(Table);
    for (std::int16_t FieldNo = 1; FieldNo <= Count; ++FieldNo) {
      TVdbFieldSpec Spec{};
      VdbTableGetFieldSpec(Table, FieldNo, &Spec);
      FOut << (FieldNo > 1 ? ",\n  " : "\n  ") << FromApi(Spec.Name) << " " << TypeName(Spec);
      const std::string Collation = FromApi(Spec.SelectOrLink);
      if (!Collation.empty()) FOut << " COLLATE " << Collation;
      if ((Spec.Options & VDB_FO_NULLABLE) == 0 && Spec.FldType != VDB_FT_AUTOINC) FOut << " NOT NULL";
    }
    FOut << "\n);\n";
    VdbTableDelete(Table);
  }
  return true;
}

bool TSqlShell::DotIndexes(const std::string& Name) {
  const VdbHandle Rltn = OpenTable(Name);
  if (Rltn <= 0) return false;
  const std::string Joined = ApiText([Rltn](VdbChar* B, std::int32_t N) { return VdbRltnGetIndexNames(Rltn, B, N); });
  std::istringstream In(Joined);
  for (std::string Index; std::getline(In, Index, ';');) {
    if (Index.empty()) continue;
    std::int16_t Unique = 0;
    const std::string Spec = ApiText([&](VdbChar* B, std::int32_t N) {
      return VdbRltnGetIndexDesc(Rltn, ToApi(Index).data(), B, N, &Unique) < 0 ? -1 : 0;
    });
    FOut << Index << " (" << Spec << ")" << (Unique != 0 ? " UNIQUE" : "") << "\n";
  }
  return true;
}

bool TSqlShell::DotTransaction(const std::string& Command) {
  const VdbResult Result = Command == ".begin"    ? VdbSessBeginTransaction(FSess, 2)
                           : Command == ".commit" ? VdbSessEndTransaction(FSess)
                                                  : VdbSessCancelTransaction(FSess);
  return Result < 0 ? Fail(LastError()) : true;
}

bool TSqlShell::DotImport(const std::string& File, const std::string& Name) {
  std::ifstream In(File, std::ios::binary);
  if (!In) return Fail("cannot read \"" + File + "\"");
  std::stringstream Text;
  Text << In.rdbuf();
  const auto Rows = ParseCsv(Text.str());
  if (Rows.empty()) return Fail("\"" + File + "\" has no header line");
  const VdbHandle Rltn = OpenTable(Name);
  if (Rltn <= 0) return false;
  const VdbHandle Table = VdbTableCreate(Rltn, ToApi("import").data());
  if (Table <= 0) return Fail(LastError());
  const bool Done = ImportRows(Table, Rows);
  VdbTableDelete(Table);
  return Done;
}

bool TSqlShell::ImportRows(VdbHandle Table, const std::vector<std::vector<std::optional<std::string>>>& Rows) {
  std::vector<std::int16_t> FieldNos;
  for (const auto& Name : Rows[0]) {
    const VdbResult FieldNo = VdbTableGetFieldNo(Table, ToApi(Name.value_or("")).data());
    if (FieldNo <= 0) return Fail("the table has no column \"" + Name.value_or("") + "\"");
    FieldNos.push_back(FieldNo);
  }
  for (std::size_t Line = 1; Line < Rows.size(); ++Line) {
    const auto& Row = Rows[Line];
    if (Row.size() != FieldNos.size()) {
      return Fail("record " + std::to_string(Line + 1) + " has " + std::to_string(Row.size()) + " fields, the header " +
                  std::to_string(FieldNos.size()));
    }
    bool Ok = VdbTableAppend(Table) >= 0;
    for (std::size_t I = 0; Ok && I < Row.size(); ++I) {
      Ok = VdbTableSetFieldText(Table, FieldNos[I], Row[I] ? ToApi(*Row[I]).data() : nullptr) >= 0;
    }
    if (!Ok || VdbTableAppendConfirm(Table) < 0) {
      const std::string Message = LastError();
      VdbTableAppendCancel(Table);
      return Fail("record " + std::to_string(Line + 1) + ": " + Message);
    }
  }
  FOut << Rows.size() - 1 << " rows imported\n";
  return true;
}

// --- Input ----------------------------------------------------------------------------------------

// Lines from standard input: with a prompt and line editing on a terminal.
class TLineReader {
 public:
  explicit TLineReader(bool Terminal) : FTerminal(Terminal) {}
  std::optional<std::string> Read(bool Continued) {
    const char* Prompt = Continued ? "   ...> " : "vdb> ";
#ifdef VDB_HAVE_LIBEDIT
    if (FTerminal) {
      char* Line = readline(Prompt);
      if (Line == nullptr) return std::nullopt;
      std::string Text(Line);
      std::free(Line);
      if (!Text.empty()) add_history(Text.c_str());
      return Text;
    }
#endif
    if (FTerminal) std::cout << Prompt << std::flush;
    std::string Text;
    if (!std::getline(std::cin, Text)) return std::nullopt;
    return Text;
  }

 private:
  bool FTerminal;
};

// Statements and dot commands from standard input; false when one failed.
bool RunInput(TSqlShell& Shell, bool Terminal) {
  TLineReader Reader(Terminal);
  TStatementSplitter Splitter;
  bool AllDone = true;
  while (!Shell.QuitAsked()) {
    const std::optional<std::string> Line = Reader.Read(Splitter.HasPending());
    if (!Line) break;
    if (!Splitter.HasPending() && Line->find_first_not_of(" \t") != std::string::npos &&
        (*Line)[Line->find_first_not_of(" \t")] == '.') {
      AllDone = Shell.Run(*Line) && AllDone;
      continue;
    }
    Splitter.Add(*Line + "\n");
    for (const std::string& Statement : Splitter.Take()) AllDone = Shell.Run(Statement) && AllDone;
  }
  Splitter.Finish();
  for (const std::string& Statement : Splitter.Take()) AllDone = Shell.Run(Statement) && AllDone;
  return AllDone;
}

bool RunArguments(TSqlShell& Shell, const std::vector<std::string>& Sql) {
  bool AllDone = true;
  for (const std::string& Text : Sql) {
    if (Text.find_first_not_of(" \t") != std::string::npos && Text[Text.find_first_not_of(" \t")] == '.') {
      AllDone = Shell.Run(Text) && AllDone;
      continue;
    }
    TStatementSplitter Splitter;
    Splitter.Add(Text);
    Splitter.Finish();
    for (const std::string& Statement : Splitter.Take()) AllDone = Shell.Run(Statement) && AllDone;
  }
  return AllDone;
}

std::optional<TOptions> ParseOptions(const Args& Arguments) {
  TOptions Options;
  std::size_t I = 0;
  for (; I < Arguments.size() && Arguments[I].rfind("--", 0) == 0; ++I) {
    if (Arguments[I] == "--csv") Options.Csv = true;
    else if (Arguments[I] == "--plan") Options.Plan = true;
    else return std::nullopt;
  }
  if (I == Arguments.size()) return std::nullopt;
  Options.Database = Arguments[I];
  Options.Sql.assign(Arguments.begin() + static_cast<std::ptrdiff_t>(I) + 1, Arguments.end());
  return Options;
}

int RunSql(const Args& Arguments, std::ostream& Out, std::ostream& Err) {
  const std::optional<TOptions> Options = ParseOptions(Arguments);
  if (!Options) {
    Err << "usage: vdb sql [--csv] [--plan] DB [SQL ...]\n";
    return kExitUsage;
  }
  TInterruptWatch Watch;
  TSqlShell Shell(*Options, Out, Err);
  if (const int Opened = Shell.Open(); Opened != 0) return Opened;
  Watch.SetSession(Shell.Session());
  const bool Terminal = Options->Sql.empty() && ::isatty(STDIN_FILENO) != 0;
  const bool AllDone = Options->Sql.empty() ? RunInput(Shell, Terminal) : RunArguments(Shell, Options->Sql);
  return AllDone || Terminal ? kExitOk : kExitNegative;
}

const VdbCommandRegistrar kRegistrar({"sql", "[--csv] [--plan] DB [SQL ...]",
                                      "run SQL statements on a database (a shell when no SQL is given)", RunSql});

}  // namespace
}  // namespace vdbtool
