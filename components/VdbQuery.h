// TVdbQuery: a dataset whose cursor is the result of an SQL statement. The SQL is kept as
// lines; the text run is the lines joined, each followed by a line break. Changing the SQL
// closes and unprepares the query, so every open after a change runs a fresh statement.
#pragma once

#include <string>
#include <vector>

#include "VdbDataSet.h"

// A named parameter (":name" in the SQL); its value travels to the engine as text.
struct TVdbParam {
  std::string Name;
  int16_t ColumnType = VDB_FT_STRING;
  std::optional<std::string> Value;  // UTF-8; empty: NULL
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

  std::vector<std::string> sql_;
  std::string sqlw_;
  VdbHandle stmtHandle_ = 0;
  bool prepared_ = false;
  int32_t rowsAffected_ = -1;
};

// TVdbTable: a dataset over a table opened by name.
class TVdbTable : public TVdbDataSet {
 public:
  std::string TableName;
  bool Exclusive = false;
  bool ReadOnly = false;
  std::string IndexName;  // empty: record order

 protected:
  VdbHandle OpenTableHandle() override;
};
