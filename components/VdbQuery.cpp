#include "VdbQuery.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "VdbDatabase.h"
#include "VdbText.h"

using vdbtext::Format;
using vdbtext::TApiText;

// --- Parameter types and values ------------------------------------------------------------------

int16_t ParamColumnType(TFieldType type) {
  using enum TFieldType;
  switch (type) {
    case ftString: return VDB_FT_STRING;
    case ftSmallint: case ftWord: return VDB_FT_SMALLINT;
    case ftInteger: return VDB_FT_INTEGER;
    case ftBoolean: return VDB_FT_BOOLEAN;
    case ftFloat: case ftCurrency: case ftBCD: return VDB_FT_FLOAT;
    case ftDate: return VDB_FT_DATE;
    case ftTime: return VDB_FT_TIME;
    case ftDateTime: return VDB_FT_TIMESTAMP;
    case ftBytes: case ftVarBytes: case ftBlob: case ftGraphic: case ftFmtMemo: case ftParadoxOle:
      return VDB_FT_BLOB;
    case ftAutoInc: return VDB_FT_AUTOINC;
    case ftMemo: return VDB_FT_MEMO;
    case ftWideString: return VDB_FT_WIDESTRING;
    case ftLargeint: return VDB_FT_BIGINT;
    case ftGuid: return VDB_FT_GUID;
    case ftWideMemo: return VDB_FT_WIDEMEMO;
    case ftByte: return VDB_FT_BYTE;
    default: return -99;
  }
}

TFieldType FieldTypeOf(TVdbDataType type) {
  using enum TFieldType;
  switch (type) {
    case TVdbDataType::dtString: return ftString;
    case TVdbDataType::dtSmallInt: return ftSmallint;
    case TVdbDataType::dtInteger: return ftInteger;
    case TVdbDataType::dtFloat: return ftFloat;
    case TVdbDataType::dtByte: return ftByte;
    case TVdbDataType::dtBoolean: return ftBoolean;
    case TVdbDataType::dtDate: return ftDate;
    case TVdbDataType::dtTime: return ftTime;
    case TVdbDataType::dtDateTime: return ftDateTime;
    case TVdbDataType::dtMemo: return ftMemo;
    case TVdbDataType::dtBlob: return ftBlob;
    case TVdbDataType::dtAutoInc: return ftAutoInc;
    case TVdbDataType::dtLargeInt: return ftLargeint;
    case TVdbDataType::dtGuid: return ftGuid;
    case TVdbDataType::dtWideMemo: return ftWideMemo;
    case TVdbDataType::dtUnknown: return ftUnknown;
    default: return ftWideString;  // enumerations, links, relations, wide strings
  }
}

namespace {

std::string TwoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

std::string DateText(const TVdbDateTime& value, bool padded) {
  const std::string day = padded ? TwoDigits(value.Day) : std::to_string(value.Day);
  const std::string month = padded ? TwoDigits(value.Month) : std::to_string(value.Month);
  return day + "." + month + "." + std::to_string(value.Year);
}

// Milliseconds go as three digits, the most the engine reads after the seconds.
std::string TimeText(const TVdbDateTime& value) {
  const std::string millis = std::to_string(1000 + value.MilliSecond).substr(1);
  return TwoDigits(value.Hour) + ":" + TwoDigits(value.Minute) + ":" + TwoDigits(value.Second) + "." + millis;
}

std::string DateTimeText(const TVdbDateTime& value, TFieldType type) {
  if (type == TFieldType::ftDate) return DateText(value, true);
  if (type == TFieldType::ftTime || !value.HasDate()) return TimeText(value);
  if (!value.HasTime()) return DateText(value, true);
  return DateText(value, false) + "_" + TimeText(value);
}

std::string FloatText(double value) {
  std::array<char, 64> buffer{};
  const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value).ptr;
  return std::string(buffer.data(), end);
}

}  // namespace

std::string TVdbParam::Text() const {
  struct TToText {
    TFieldType type;
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(const std::string& text) const { return text; }
    std::string operator()(int64_t value) const { return std::to_string(value); }
    std::string operator()(double value) const { return FloatText(value); }
    std::string operator()(bool value) const { return value ? "true" : "false"; }
    std::string operator()(const TVdbDateTime& value) const { return DateTimeText(value, type); }
    std::string operator()(const TVdbBytes& value) const { return value.Data; }
  };
  return std::visit(TToText{DataType}, Value);
}

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
  if (ParamCheck) ParseParams();
}

// The parameters named in the SQL text (":name"; not inside quotes, "::" is no marker), in the
// order they first appear; parameters that stay keep their type and value.
void TVdbQuery::ParseParams() {
  std::vector<TVdbParam> found;
  char quote = 0;
  for (std::size_t i = 0; i < sqlw_.size(); ++i) {
    const char c = sqlw_[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      continue;
    }
    if (c != ':' || i + 1 >= sqlw_.size()) continue;
    if (sqlw_[i + 1] == ':') {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < sqlw_.size() && (std::isalnum(static_cast<unsigned char>(sqlw_[end])) || sqlw_[end] == '_')) ++end;
    if (end == i + 1) continue;
    const std::string name = sqlw_.substr(i + 1, end - i - 1);
    i = end - 1;
    if (std::any_of(found.begin(), found.end(), [&](const TVdbParam& p) { return p.Name == name; })) continue;
    const auto kept = std::find_if(Params.begin(), Params.end(), [&](const TVdbParam& p) { return p.Name == name; });
    TVdbParam param;
    param.Name = name;
    found.push_back(kept != Params.end() ? *kept : param);
  }
  Params = std::move(found);
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
  TakeMasterValues();
  for (const TVdbParam& param : Params) {
    const bool text = param.DataType == TFieldType::ftString || param.DataType == TFieldType::ftWideString;
    const int32_t size = !text ? 0 : param.Size >= 1 ? param.Size : static_cast<int32_t>(vdbtext::Utf16(param.Text()).size());
    VdbStmtAddParam(stmtHandle_, TApiText(param.Name), ParamColumnType(param.DataType), size);
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
  TakeMasterValues();
  VdbStmtClearParams(stmtHandle_);
  for (const TVdbParam& param : Params) {
    const std::string text = param.Text();
    const std::string context = Format("Cannot set parameter \"%s\" to \"%s\"", {param.Name, text});
    std::u16string value;
    try {
      value = vdbtext::Utf16(text);
    } catch (const std::exception&) {
      // The engine takes values as Unicode text; bytes that are none cannot be handed over.
      throw EDatabaseError(context);
    }
    const VdbResult result =
        param.IsNull() ? VdbStmtSetParam(stmtHandle_, TApiText(param.Name), nullptr, -1)
                       : VdbStmtSetParam(stmtHandle_, TApiText(param.Name), TApiText(value),
                                         static_cast<int32_t>(value.size()));
    if (result < 0) Raise(context, result);
  }
}

// A detail query takes each parameter the caller left unset from its master's field of the same
// name (NULL when the master has no record).
void TVdbQuery::TakeMasterValues() {
  TVdbDataSet* master = masterLink_.MasterDataSet();
  if (master == nullptr || !master->Active()) return;
  for (TVdbParam& param : Params) {
    if (param.Bound) continue;
    const TVdbField* field = master->FindField(param.Name);
    if (field == nullptr) continue;
    param.DataType = FieldTypeOf(field->DataType());
    if (field->IsNull()) param.Value = std::monostate{};
    else param.Value = field->AsString();
  }
}

void TVdbQuery::MasterChanged() {
  TVdbDataSet* master = masterLink_.MasterDataSet();
  if (!Active() || master == nullptr || !master->Active()) return;
  Close();
  Open();
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

TVdbTable::TVdbTable() = default;

TVdbTable::~TVdbTable() {
  try {
    Close();
  } catch (...) {
    // Nothing can be reported from a destructor.
  }
}

VdbHandle TVdbTable::OpenTableHandle() {
  if (TableName.empty()) throw EDatabaseError(Format("No table name defined for \"%s\".", {Name}));
  ConnectDatabase();
  TVdbDatabase& database = *Database();
  VdbHandle relation = 0;
  try {
    relation = database.OpenTable(TableName, Exclusive, ReadOnly ? 0 : kAllAccessRights, FlushMode);
  } catch (const EVeskorDBError& error) {
    // A table that refuses writing may still be read.
    if (error.FVdbError != VDB_ERR_CANNOT_OPEN_TABLE || ReadOnly || database.ReadOnly()) throw;
    relation = database.OpenTable(TableName, Exclusive, 0, FlushMode);
  }
  const std::string handleName = Name.empty() ? "VCLTable_" : "VCLTable_For_" + TableName;
  const VdbHandle table = VdbTableCreate(relation, TApiText(handleName));
  if (table <= 0) Raise(Format("Opening VeskorDB table %s", {TableName}), table == 0 ? -1 : table);
  try {
    SelectIndex(table);
  } catch (...) {
    VdbTableDelete(table);
    throw;
  }
  return table;
}

// Columns given by name walk through an index over them (made when there is none); else the
// named index; else record order.
void TVdbTable::SelectIndex(VdbHandle table) {
  const std::string context = Format("Opening VeskorDB table %s", {TableName});
  if (!indexFieldNames_.empty()) {
    std::string order;
    for (const std::string& name : SplitNames(indexFieldNames_)) order += (order.empty() ? "" : ",") + name;
    const VdbResult sorted = VdbTableSetSortOrder(table, TApiText(order));
    if (sorted < 0) Raise(context, sorted);
    return;
  }
  const VdbResult indexed = VdbTableSetIndex(table, TApiText(indexName_), 0);
  if (indexed < 0) Raise(context, indexed);
}

void TVdbTable::SetIndexName(const std::string& name) {
  if (name == indexName_ && indexFieldNames_.empty()) return;
  indexName_ = name;
  indexFieldNames_.clear();
  if (!Active()) return;
  SelectIndex(Handle());
  ConditionChanged();
}

void TVdbTable::SetIndexFieldNames(const std::string& names) {
  if (names == indexFieldNames_) return;
  indexFieldNames_ = names;
  indexName_.clear();
  if (!Active()) return;
  SelectIndex(Handle());
  ConditionChanged();
}

std::vector<std::string> TVdbTable::IndexFields() const {
  if (!indexFieldNames_.empty() || indexName_.empty() || !Active()) return SplitNames(indexFieldNames_);
  std::array<VdbChar, 1024> spec{};
  int16_t unique = 0;
  if (VdbRltnGetIndexDesc(VdbTableGetRltnHdl(Handle()), TApiText(indexName_), spec.data(), 1023, &unique) < 0)
    return {};
  std::vector<std::string> fields;
  std::string all = vdbtext::Utf8(vdbtext::FromApi(spec.data()));
  std::replace(all.begin(), all.end(), ',', ';');
  for (std::string name : SplitNames(all)) {
    std::erase(name, '-');
    std::erase(name, '"');
    fields.push_back(name);
  }
  return fields;
}

// --- Conditions: range and master ----------------------------------------------------------------

std::string TVdbTable::FieldLiteral(const std::string& fieldName, const std::u16string& value) const {
  const TVdbField* field = FindField(fieldName);
  const TVdbDataType type = field ? field->DataType() : TVdbDataType::dtString;
  const bool numeric = type == TVdbDataType::dtInteger || type == TVdbDataType::dtSmallInt ||
                       type == TVdbDataType::dtByte || type == TVdbDataType::dtFloat ||
                       type == TVdbDataType::dtLargeInt || type == TVdbDataType::dtAutoInc;
  const std::string text = vdbtext::Utf8(value);
  const bool plainNumber = !text.empty() && text.find_first_not_of("+-0123456789.eE") == std::string::npos;
  if (numeric && plainNumber) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

namespace {
std::string QuotedName(const std::string& name) { return "\"" + name + "\""; }
}  // namespace

void TVdbTable::SetRange(const std::vector<std::u16string>& low, const std::vector<std::u16string>& high) {
  rangeLow_ = low;
  rangeHigh_ = high;
  ranged_ = true;
  ConditionChanged();
}

void TVdbTable::CancelRange() {
  if (!ranged_) return;
  ranged_ = false;
  rangeLow_.clear();
  rangeHigh_.clear();
  ConditionChanged();
}

bool TVdbTable::FindKey(const std::vector<std::u16string>& values) {
  const std::vector<std::string> fields = IndexFields();
  if (fields.empty()) throw EDatabaseError(Format("%s: No index currently active", {Name}));
  std::string keys;
  for (std::size_t i = 0; i < values.size() && i < fields.size(); ++i) keys += (keys.empty() ? "" : ";") + fields[i];
  return Locate(keys, std::vector<std::u16string>(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(std::min(values.size(), fields.size()))));
}

void TVdbTable::SetMasterFields(const std::string& names) {
  masterFields_ = names;
  MasterChanged();
}

void TVdbTable::MasterChanged() {
  if (Active() && State() == TDataSetState::dsBrowse) ConditionChanged();
}

// The detail's index columns (or, without an index, the columns named like the master's) equal
// to the master's fields; a master without a record shows no detail.
std::string TVdbTable::MasterCondition() const {
  TVdbDataSet* master = masterLink_.MasterDataSet();
  if (master == nullptr || masterFields_.empty()) return {};
  const std::vector<std::string> masterNames = SplitNames(masterFields_);
  std::vector<std::string> detailNames = IndexFields();
  if (detailNames.size() < masterNames.size()) detailNames = masterNames;
  std::string condition;
  for (std::size_t i = 0; i < masterNames.size(); ++i) {
    const TVdbField* field = master->Active() ? master->FindField(masterNames[i]) : nullptr;
    const std::string column = QuotedName(detailNames[i]);
    const std::string part = field == nullptr || field->IsNull() ? column + " IS NULL"
                                                                 : column + " = " + FieldLiteral(detailNames[i], field->AsText());
    condition += (condition.empty() ? "" : " AND ") + part;
  }
  return condition;
}

std::string TVdbTable::ExtraCondition() const {
  std::string condition = MasterCondition();
  if (!ranged_) return condition;
  const std::vector<std::string> fields = IndexFields();
  auto add = [&](const std::string& part) { condition += (condition.empty() ? "" : " AND ") + part; };
  for (std::size_t i = 0; i < fields.size() && i < rangeLow_.size(); ++i)
    add(QuotedName(fields[i]) + " >= " + FieldLiteral(fields[i], rangeLow_[i]));
  for (std::size_t i = 0; i < fields.size() && i < rangeHigh_.size(); ++i)
    add(QuotedName(fields[i]) + " <= " + FieldLiteral(fields[i], rangeHigh_[i]));
  return condition;
}
