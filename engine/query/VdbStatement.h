// Statements: the SQL text of one statement handle, its parameters and one execution command per
// statement of the text. A statement is parsed (SetText), prepared in three passes (split into
// sub-commands, open the tables and create the result relations, initialise execution) and then
// executed under table locks: write locks first, read locks after, released in the opposite
// order. A query leaves its result relation in the catalog, where the caller opens a cursor on it
// (ResultRltnIdx, ResultIndexNo).
//
// Results are 16-bit engine result codes: 0 or positive for success, negative for failure; the
// detail is the session's last error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "table/VdbData.h"

namespace vdb {

class TVdbCatalog;
class TVdbCommandList;
class TVdbServices;
class TVdbSqlCommand;
class TVdbSqlQuery;
class TVdbVariables;

// The kind of result a query is asked for. Only the table form distinguishes them: a live result
// is an alias relation over the table, walked through an index; the others a sorted key set.
enum TVdbCursorType : std::uint8_t {
  tctUnspecified, tctStatic, tctFirehouse, tctKeySet, tctLiveResult
};

class TVdbStatement {
 public:
  // Result codes of statements (the API's result-code table).
  static constexpr std::int16_t kResultNotPrepared = -46;      // "Error while executing SQL command"
  static constexpr std::int16_t kResultLocked = -47;           // "The database table is locked"
  static constexpr std::int16_t kResultParseError = -59;       // error at row, column
  static constexpr std::int16_t kResultExecuteFailed = -60;    // "Cannot execute SQL command"
  static constexpr std::int16_t kResultPrepareFailed = -64;    // "SQL command could not be prepared"
  static constexpr std::int16_t kResultParamExists = -71;      // parameter declared twice
  static constexpr std::int16_t kResultInternal = -102;        // a non-engine exception

  explicit TVdbStatement(TVdbCatalog* Catalog);
  ~TVdbStatement();
  TVdbStatement(const TVdbStatement&) = delete;
  TVdbStatement& operator=(const TVdbStatement&) = delete;

  TVdbCatalog* Catalog() const { return FCatalog; }
  // Gives the session the compiler of the tables' SQL formulas (checks, calculated columns and
  // indexes, defaults) unless it has one. A statement does so when it is made; a session whose
  // tables are opened before any statement exists calls it when it opens the database.
  static void InstallSqlFormulaCompiler(TVdbServices& Services);

  // --- Text and commands ---
  // Discards the old commands (unpreparing first), parses every statement of Text (UTF-8; ";"
  // separates statements), optimises each tree and wraps it into a command. 0, or -59 on a
  // parse error (LastErrorRow/LastErrorCol, the session's last error; no commands are left).
  std::int16_t SetText(std::string_view Text);
  // Replaces the commands by one command for a ready tree (unpreparing first).
  void SetSqlCommand(std::unique_ptr<TVdbSqlCommand> SqlCommand);
  // The number of commands (statements of the text).
  int CommandCount() const;

  // --- Parameters ---
  // Declares a typed parameter: ParamType is a column type code; for the string types ParamSpec
  // is the length (255 when 0 or less; beyond the longest string a memo type), for the others it
  // is ignored. 0, or -71 when the name exists.
  std::int16_t AddParameter(const std::string& ParamName, std::int16_t ParamType, std::int32_t ParamSpec);
  // Sets a value from text (converted to the parameter's type); Size -1 sets NULL, otherwise
  // Size bytes of Value are taken (Size below -1: up to the terminating zero). 0, or a negative
  // engine error number (-50 for an unknown name).
  std::int16_t SetParamValue(const std::string& Name, const char* Value, std::int32_t Size);
  // Sets a typed value (converted to the parameter's type). 0, or a negative engine error number.
  std::int16_t SetParamValue(const std::string& Name, const TVdbDataValue& Value, const TVdbDataType* Type);
  // Clears every parameter's value (the declarations stay).
  void ClearParams();
  TVdbVariables& Parameters() { return *FParameters; }

  // --- Preparation and execution ---
  TVdbCursorType RequestedCursorType() const { return FRequestedCursorType; }
  void SetRequestedCursorType(TVdbCursorType Type) { FRequestedCursorType = Type; }
  // Above 0: the text is read in ODBC syntax.
  std::int16_t Compat() const { return FCompat; }
  void SetCompat(std::int16_t Compat) { FCompat = Compat; }
  // The three preparation passes. 0; -64 when preparing fails (the statement is then
  // unprepared); -102 for a non-engine failure. Preparing a prepared statement unprepares it
  // first.
  std::int16_t Prepare();
  // Rows affected by writes (0 or more), or -46 (not prepared), -47 (locks not acquired), -60 (a
  // command failed).
  std::int32_t Execute();
  // Closes the result relations the statement holds, releases its commands' contexts and lets
  // the catalog close temporary tables nothing uses any more. A cursor opened on a result keeps
  // that result open.
  void Unprepare();
  bool IsPrepared() const { return FPrepared; }

  // --- Result ---
  // The result relation of the last query command (0 when there is none or it is not prepared).
  std::int16_t ResultRltnIdx() const;
  // The index of the result relation that gives the requested order, to be selected on a cursor
  // when below 128; 255 when there is none.
  std::int16_t ResultIndexNo() const;
  // The position of the last parse error (1-based; 0 when there was none).
  std::int32_t LastErrorRow() const { return FLastErrorRow; }
  std::int32_t LastErrorCol() const { return FLastErrorCol; }

  // A readable description of the access path of each prepared query: per relation the index
  // and its key range or a scan in record order, and the join order (one line each).
  std::string PlanText() const;

 private:
  std::int16_t RecordFailure(const std::exception& Error, std::int16_t Code);
  std::int16_t PrepareCommands();
  const TVdbStringType* TouchedTextColumnType() const;
  bool AdoptColumnCodePage();
  // Commands for FText; -59 on a parse error.
  std::int16_t ParseText();

  TVdbCatalog* FCatalog;
  TVdbCursorType FRequestedCursorType = tctUnspecified;
  std::int16_t FCompat = 0;
  std::unique_ptr<TVdbVariables> FParameters;
  std::unique_ptr<TVdbCommandList> FCommands;
  std::string FText;
  std::unique_ptr<TVdbSqlQuery> FSingleTree;  // a copy of a query handed in as a tree
  std::int32_t FLastErrorRow = 0;
  std::int32_t FLastErrorCol = 0;
  bool FPrepared = false;
};

}  // namespace vdb
