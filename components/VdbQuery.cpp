#include "VdbQuery.h"

#include <algorithm>

#include "VdbDatabase.h"
#include "VdbText.h"

using vdbtext::Format;
using vdbtext::TApiText;

TVdbQuery::~TVdbQuery() {
  try {
    Close();
    UnPrepare();
  } catch (...) {
    // Nothing can be reported from a destructor; the statement goes with its session.
  }
}

void TVdbQuery::SetSQL(const std::vector<std::string>& lines) {
  if (lines == sql_) return;
  Close();
  UnPrepare();
  sql_ = lines;
  sqlw_.clear();
  for (const std::string& line : sql_) sqlw_ += line + "\r\n";
}

void TVdbQuery::SQLAdd(const std::string& line) {
  std::vector<std::string> lines = sql_;
  lines.push_back(line);
  SetSQL(lines);
}

TVdbParam& TVdbQuery::ParamByName(const std::string& name) {
  auto found = std::find_if(Params.begin(), Params.end(),
                            [&](const TVdbParam& param) { return param.Name == name; });
  if (found == Params.end()) throw EDatabaseError(Format("Parameter '%s' not found", {name}));
  return *found;
}

void TVdbQuery::RequireText() const {
  if (sqlw_.empty()) throw EDatabaseError("The SQL statement contains no text");
}

void TVdbQuery::RaiseSqlError(int code) {
  int32_t row = 0;
  int32_t col = 0;
  VdbStmtGetErrorPos(stmtHandle_, &row, &col);
  int16_t lastCode = 0;
  std::vector<VdbChar> message(1024);
  VdbSessGetLastError(SessionHandle(), &lastCode, message.data(), 1023);
  // The text of the failing row up to the column where the error was found.
  std::string rowText;
  if (row >= 1 && static_cast<std::size_t>(row) <= sql_.size()) {
    const std::u16string line = vdbtext::Utf16(sql_[static_cast<std::size_t>(row - 1)]);
    rowText = vdbtext::Utf8(line.substr(0, static_cast<std::size_t>(std::max(col, 0))));
  }
  const std::string position = Format(VdbErrorText(static_cast<VdbResult>(code)),
                                      {std::to_string(row), std::to_string(col)});
  const std::string text =
      position + ": \r\n" + rowText + "\r\n" + vdbtext::Utf8(vdbtext::FromApi(message.data())) + ".";
  UnPrepare();
  throw EVeskorSQLError(text, code, lastCode, row, col);
}

void TVdbQuery::Prepare() {
  UnPrepare();
  RequireText();
  ConnectDatabase();
  const VdbHandle session = SessionHandle();
  stmtHandle_ = CheckVdb(VdbSessCreateStatement(session), "Preparing SQL statement", session);
  const VdbResult text = VdbStmtSetSqlText(stmtHandle_, TApiText(sqlw_));
  if (text == VDB_ERR_SQL_SYNTAX) RaiseSqlError(text);
  if (text < 0) {
    UnPrepare();
    Raise("Preparing SQL statement", text);
  }
  for (const TVdbParam& param : Params) {
    const int32_t size = param.ColumnType == VDB_FT_STRING || param.ColumnType == VDB_FT_WIDESTRING
                             ? static_cast<int32_t>(param.Value.value_or("").size())
                             : 0;
    VdbStmtAddParam(stmtHandle_, TApiText(param.Name), param.ColumnType, size);
  }
  const int16_t cursorType = !RequestLive ? VDB_CURSOR_STATIC
                             : RequestStable ? VDB_CURSOR_KEYSET
                                             : VDB_CURSOR_LIVE;
  const VdbResult prepared = VdbStmtPrepare(stmtHandle_, cursorType);
  if (prepared == VDB_ERR_SQL_SYNTAX) RaiseSqlError(prepared);
  if (prepared < 0) {
    // The message needs the session's last error, which deleting the statement keeps.
    const VdbHandle statement = stmtHandle_;
    try {
      Raise("Preparing SQL statement", prepared);
    } catch (...) {
      VdbStmtDelete(statement);
      stmtHandle_ = 0;
      throw;
    }
  }
  prepared_ = true;
}

void TVdbQuery::UnPrepare() {
  if (stmtHandle_ <= 0) return;
  VdbStmtUnprepare(stmtHandle_);
  VdbStmtDelete(stmtHandle_);
  stmtHandle_ = 0;
  prepared_ = false;
}

void TVdbQuery::SetParamValues() {
  VdbStmtClearParams(stmtHandle_);
  for (const TVdbParam& param : Params) {
    const std::u16string value = vdbtext::Utf16(param.Value.value_or(""));
    const VdbResult result =
        param.Value ? VdbStmtSetParam(stmtHandle_, TApiText(param.Name), TApiText(value),
                                      static_cast<int32_t>(value.size()))
                    : VdbStmtSetParam(stmtHandle_, TApiText(param.Name), nullptr, -1);
    if (result < 0)
      Raise(Format("Cannot set parameter \"%s\" to \"%s\"", {param.Name, param.Value.value_or("")}),
            result);
  }
}

VdbHandle TVdbQuery::ExecuteStatement(const std::string& context, bool wantResult) {
  RequireText();
  ConnectDatabase();
  const bool wasPrepared = Prepared();
  if (!wasPrepared) Prepare();
  SetParamValues();
  const int32_t executed = VdbStmtExecute(stmtHandle_);
  rowsAffected_ = executed < 0 ? -1 : executed;
  // The result handle outlives its statement: take it before a statement prepared only for this
  // run is unprepared again.
  const VdbHandle result = executed < 0 || !wantResult ? 0 : VdbStmtCreateResultTableHdl(stmtHandle_);
  if (executed < 0) {
    // The message is composed from the session's last error before unpreparing can change it.
    try {
      Raise(context, executed);
    } catch (...) {
      if (!wasPrepared) UnPrepare();
      throw;
    }
  }
  if (!wasPrepared) UnPrepare();
  return result;
}

VdbHandle TVdbQuery::OpenTableHandle() {
  const VdbHandle result = ExecuteStatement("Opening VeskorDB query", true);
  if (result < 0) Raise("Opening VeskorDB query", result);
  if (result == 0) throw ENoResultSet(sqlw_);
  return result;
}

void TVdbQuery::AfterCloseHandle() {}

void TVdbQuery::ExecSQL() {
  if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
  ExecuteStatement("Executing SQL statement", false);
}

// --- TVdbTable -----------------------------------------------------------------------------------

VdbHandle TVdbTable::OpenTableHandle() {
  if (TableName.empty()) throw EDatabaseError(Format("No table name defined for \"%s\".", {Name}));
  ConnectDatabase();
  TVdbDatabase& database = *Database();
  const VdbHandle session = SessionHandle();
  VdbHandle relation = VdbSessFindRltnHdl(session, TApiText(TableName));
  if (relation <= 0) {
    const TVdbAccessRights rights = ReadOnly ? 0 : kAllAccessRights;
    const TApiText name(TableName);
    const TApiText key(database.Password);
    relation = VdbSessOpenTable(session, name, key,
                                database.RightsWord(Exclusive, rights, TVdbFlushMode::tfmDefault), 0);
    // A table that refuses writing may still be read.
    if (relation == VDB_ERR_CANNOT_OPEN_TABLE && !ReadOnly && !database.ReadOnly())
      relation = VdbSessOpenTable(session, name, key,
                                  database.RightsWord(Exclusive, 0, TVdbFlushMode::tfmDefault), 0);
    if (relation <= 0) Raise(Format("Opening table \"%s\"", {TableName}), relation == 0 ? -1 : relation);
  }
  const std::string handleName = Name.empty() ? "VCLTable_" : "VCLTable_For_" + TableName;
  const VdbHandle table = VdbTableCreate(relation, TApiText(handleName));
  if (table <= 0) Raise(Format("Opening VeskorDB table %s", {TableName}), table == 0 ? -1 : table);
  if (!IndexName.empty()) {
    const VdbResult indexed = VdbTableSetIndex(table, TApiText(IndexName), 0);
    if (indexed < 0) {
      VdbTableDelete(table);
      Raise(Format("Opening VeskorDB table %s", {TableName}), indexed);
    }
  }
  return table;
}
