// TVdbQuery: a dataset whose cursor is the result of an SQL statement. The SQL is kept as
// lines; the text run is the lines joined, each followed by a line break. Changing the SQL
// closes and unprepares the query, so every open after a change runs a fresh statement.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "VdbDataSet.h"
#include "VdbDatabase.h"

// The value types a parameter or a field can be declared with.
enum class TFieldType {
  ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD,
  ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic,
  ftFmtMemo, ftParadoxOle, ftTypedBinary, ftFixedChar, ftWideString, ftLargeint, ftGuid,
  ftWideMemo, ftByte, ftCursor
};
// The engine column type a parameter of Type is declared with; -99 for types it has none for.
int16_t ParamColumnType(TFieldType type);
// The parameter type matching a field of the dataset type (what a detail takes from its master).
TFieldType FieldTypeOf(TVdbDataType type);

// A calendar date and a time of day; a zero date (Year 0) is a time alone.
struct TVdbDateTime {
  int Year = 0, Month = 0, Day = 0;
  int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
  bool HasDate() const { return Year != 0; }
  bool HasTime() const { return Hour != 0 || Minute != 0 || Second != 0 || MilliSecond != 0; }
};
struct TVdbBytes {
  std::string Data;
};
// A parameter's value: NULL, text (UTF-8), integer, floating, Boolean, date/time or bytes.
using TVdbParamValue = std::variant<std::monostate, std::string, int64_t, double, bool, TVdbDateTime, TVdbBytes>;

// A named parameter (":name" in the SQL). Setting a value through one of the As... setters also
// sets its type; before each run the value travels to the engine in its text form.
struct TVdbParam {
  std::string Name;
  TFieldType DataType = TFieldType::ftUnknown;
  int32_t Size = 0;
  TVdbParamValue Value;
  bool Bound = false;  // given a value (a detail takes unbound ones from its master)

  bool IsNull() const { return std::holds_alternative<std::monostate>(Value); }
  void Clear() { Assign(DataType, std::monostate{}); }
  void SetAsString(const std::string& utf8) { Assign(TFieldType::ftString, utf8); }
  void SetAsWideString(const std::string& utf8) { Assign(TFieldType::ftWideString, utf8); }
  void SetAsMemo(const std::string& utf8) { Assign(TFieldType::ftMemo, utf8); }
  void SetAsSmallInt(int16_t value) { Assign(TFieldType::ftSmallint, int64_t{value}); }
  void SetAsInteger(int32_t value) { Assign(TFieldType::ftInteger, int64_t{value}); }
  void SetAsLargeInt(int64_t value) { Assign(TFieldType::ftLargeint, value); }
  void SetAsFloat(double value) { Assign(TFieldType::ftFloat, value); }
  void SetAsCurrency(double value) { Assign(TFieldType::ftCurrency, value); }
  void SetAsBCD(double value) { Assign(TFieldType::ftBCD, value); }
  void SetAsBoolean(bool value) { Assign(TFieldType::ftBoolean, value); }
  void SetAsDate(const TVdbDateTime& value) { Assign(TFieldType::ftDate, value); }
  void SetAsTime(const TVdbDateTime& value) { Assign(TFieldType::ftTime, value); }
  void SetAsDateTime(const TVdbDateTime& value) { Assign(TFieldType::ftDateTime, value); }
  void SetAsBlob(const std::string& bytes) { Assign(TFieldType::ftBlob, TVdbBytes{bytes}); }
  // The text form the engine receives (UTF-8).
  std::string Text() const;

 private:
  void Assign(TFieldType type, TVdbParamValue value) {
    DataType = type;
    Value = std::move(value);
    Bound = true;
  }
};

class TVdbQuery : public TVdbDataSet {
 public:
  TVdbQuery() = default;
  ~TVdbQuery() override;

  const std::vector<std::string>& SQL() const { return sql_; }
  void SetSQL(const std::vector<std::string>& lines);
  void SQLClear() { SetSQL({}); }
  void SQLAdd(const std::string& line);
  const std::string& SQLW() const { return sqlw_; }

  // Parameters are read from the SQL text when it changes (":name"); values of names that stay
  // are kept.
  bool ParamCheck = true;
  // The master whose current record gives the unbound parameters their values; the query runs
  // again whenever the master moves.
  TDataSource* DataSource() const { return masterLink_.Source(); }
  void SetDataSource(TDataSource* source) { masterLink_.SetSource(source); }

  bool RequestLive = true;
  bool RequestStable = false;
  std::vector<TVdbParam> Params;
  TVdbParam& ParamByName(const std::string& name);

  void Prepare();
  void UnPrepare();
  bool Prepared() const { return stmtHandle_ > 0 && prepared_; }
  void ExecSQL();
  int32_t RowsAffected() const { return rowsAffected_; }

 protected:
  VdbHandle OpenTableHandle() override;
  bool ExtraCanModify() const override { return RequestLive; }
  void AfterCloseHandle() override;

 private:
  // Runs the statement (prepared for this run when it was not), keeping RowsAffected; with
  // wantResult the result table handle (0 when the statement has none). Raises with context.
  VdbHandle ExecuteStatement(const std::string& context, bool wantResult);
  void RaiseSqlError(int code);
  void SetParamValues();
  void RequireText() const;
  void ParseParams();
  void TakeMasterValues();
  void MasterChanged();

  TMasterLink masterLink_{[this] { MasterChanged(); }};

  std::vector<std::string> sql_;
  std::string sqlw_;
  VdbHandle stmtHandle_ = 0;
  bool prepared_ = false;
  int32_t rowsAffected_ = -1;
};

// TVdbTable: a dataset over a table opened by name. It walks the table through an index chosen
// by name or by its columns, can be limited to a range of the index's leading columns, and can
// follow a master: then only the records whose index columns equal the master's MasterFields
// are shown, and the table goes to its first such record whenever the master moves.
class TVdbTable : public TVdbDataSet {
 public:
  TVdbTable();
  ~TVdbTable() override;

  std::string TableName;
  bool Exclusive = false;
  bool ReadOnly = false;
  TVdbFlushMode FlushMode = TVdbFlushMode::tfmDefault;
  const std::string& IndexName() const { return indexName_; }
  void SetIndexName(const std::string& name);  // empty: record order
  const std::string& IndexFieldNames() const { return indexFieldNames_; }
  void SetIndexFieldNames(const std::string& names);  // "A;B"; empty: record order
  // The column names of the index walked ("A;B" as given, or read from the named index).
  std::vector<std::string> IndexFields() const;

  // Shows only the records whose leading index columns lie between Low and High (inclusive;
  // fewer values than columns limit only the first ones).
  void SetRange(const std::vector<std::u16string>& low, const std::vector<std::u16string>& high);
  void CancelRange();
  // Goes to the first record whose leading index columns equal Values.
  bool FindKey(const std::vector<std::u16string>& values);

  TDataSource* MasterSource() const { return masterLink_.Source(); }
  void SetMasterSource(TDataSource* source) { masterLink_.SetSource(source); }
  const std::string& MasterFields() const { return masterFields_; }
  void SetMasterFields(const std::string& names);

 protected:
  VdbHandle OpenTableHandle() override;
  std::string ExtraCondition() const override;

 private:
  void SelectIndex(VdbHandle table);
  void MasterChanged();
  std::string MasterCondition() const;
  std::string FieldLiteral(const std::string& fieldName, const std::u16string& value) const;

  std::string indexName_;
  std::string indexFieldNames_;
  std::string masterFields_;
  std::vector<std::u16string> rangeLow_, rangeHigh_;
  bool ranged_ = false;
  TMasterLink masterLink_{[this] { MasterChanged(); }};
};
