// Execution commands: one per statement of a statement's text, each owning its statement tree.
// A command is prepared in three passes (split off sub-commands, open its tables and create its
// result, initialise execution), executed, and unprepared. Queries are in VdbQuery.h; the write
// commands (INSERT, UPDATE, DELETE) and the definition commands (CREATE, ALTER, DROP, UPDATE
// INDEX) are here.
//
// Inside the passes failures are raised as exceptions (EVdbEngine with the engine error number);
// the statement turns them into result codes and the session's last error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "query/VdbStatement.h"
#include "session/VdbAccessor.h"
#include "sql/VdbSqlCommand.h"

namespace vdb {

class TVdbCatalog;
class TVdbCommandList;
class TVdbQuery;

// The relations a command touches, for the table locks of an execution.
struct TVdbTouchedRelations {
  std::vector<std::int16_t> Read;
  std::vector<std::int16_t> Written;
  void AddRead(std::int16_t RltnIdx);
  void AddWritten(std::int16_t RltnIdx);
};

class TVdbCommand {
 public:
  TVdbCommand(TVdbCatalog* Catalog, std::unique_ptr<TVdbSqlCommand> SqlCommand);
  virtual ~TVdbCommand();
  TVdbCommand(const TVdbCommand&) = delete;
  TVdbCommand& operator=(const TVdbCommand&) = delete;

  TVdbCatalog* Catalog() const { return FCatalog; }
  TVdbSqlCommand& SqlCommand() const { return *FSqlCommand; }
  TVdbCommandList* SubCommands() const { return FSubCommands.get(); }
  virtual TVdbQuery* AsQuery() { return nullptr; }

  // Pass 1: sub-queries become sub-commands (recursively).
  virtual void Split();
  // Pass 2: sub-commands first, then the command's own tables and result.
  virtual void SetupTables(TVdbVariables* Parameters);
  // Pass 3: the conditions are prepared and the plans built.
  virtual void InitExecution();
  // The statement's parameter values, before each execution.
  virtual void UpdateParameterValues(const TVdbVariables& Parameters);
  // Rows affected (writes) or 0.
  virtual std::int32_t Execute() = 0;
  virtual void Unprepare();
  virtual void GetTouchedRelations(TVdbTouchedRelations& Relations) const;
  // The access paths chosen, one line each (queries only).
  virtual std::string PlanText() const;

 protected:
  // The relation index of a table named in SQL, opened when it is not open; error 88 when there
  // is no such table.
  std::int16_t OpenTable(const std::string& TableName, bool ForWriting);
  // Raises the session's last error (or Code when the last error is another one).
  [[noreturn]] void RaiseLastError(std::int16_t Code) const;
  TVdbCommandList& EnsureSubCommands();
  // A query of its own made from part of this command's tree, kept among the sub-commands.
  TVdbQuery& AddSubQuery(std::unique_ptr<TVdbSqlCommand> Sql, TVdbCursorType CursorType);

  TVdbCatalog* FCatalog;
  std::unique_ptr<TVdbSqlCommand> FSqlCommand;
  std::unique_ptr<TVdbCommandList> FSubCommands;
  TVdbVariables* FParameters = nullptr;
};

class TVdbCommandList {
 public:
  TVdbCommandList();
  ~TVdbCommandList();
  void Add(std::unique_ptr<TVdbCommand> Command) { FCommands.push_back(std::move(Command)); }
  int Count() const { return static_cast<int>(FCommands.size()); }
  TVdbCommand& operator[](int Index) const { return *FCommands.at(static_cast<std::size_t>(Index)); }
  void Clear() { FCommands.clear(); }

  void Split();
  void SetupTables(TVdbVariables* Parameters);
  void InitExecution();
  void UpdateParameterValues(const TVdbVariables& Parameters);
  void Unprepare();
  void GetTouchedRelations(TVdbTouchedRelations& Relations) const;

 private:
  std::vector<std::unique_ptr<TVdbCommand>> FCommands;
};

// The command of a tree: TVdbSqlQuery into TVdbQuery, the row changes and definitions into
// theirs.
std::unique_ptr<TVdbCommand> CreateCommand(TVdbCatalog* Catalog, std::unique_ptr<TVdbSqlCommand> SqlCommand);

// ---------------------------------------------------------------------------------------------
// Row changes

// The base of the row changes: the table written, an accessor on it and the context the
// statement's values are computed in (the accessor's current row).
class TVdbWriteCommand : public TVdbCommand {
 public:
  using TVdbCommand::TVdbCommand;
  void Unprepare() override;
  void GetTouchedRelations(TVdbTouchedRelations& Relations) const override;

 protected:
  // Opens the table for writing, with the accessor and the context over it.
  TVdbRelation& OpenTarget(TVdbVariables* Parameters);

  std::int16_t FTableRltnIdx = 0;
  std::vector<std::int16_t> FTargetFields;  // column number per value
  std::unique_ptr<TVdbAccessor> FTarget;
  std::unique_ptr<TVdbAccessorContext> FContext;
};

// INSERT ... VALUES and INSERT ... query. All rows or none: a failing row takes the rows
// inserted before it back out.
class TVdbInsertCommand : public TVdbWriteCommand {
 public:
  using TVdbWriteCommand::TVdbWriteCommand;
  void Split() override;
  void SetupTables(TVdbVariables* Parameters) override;
  std::int32_t Execute() override;

 private:
  TVdbSqlInsertCommand& Insert() const;
  TVdbQuery* FSource = nullptr;
};

// UPDATE and DELETE: the rows come from the sub-query SELECT * FROM table WHERE condition (or
// the whole table); the change goes to the base rows. All rows or none.
class TVdbUpdateCommand : public TVdbWriteCommand {
 public:
  using TVdbWriteCommand::TVdbWriteCommand;
  void Split() override;
  void SetupTables(TVdbVariables* Parameters) override;
  std::int32_t Execute() override;

 private:
  bool IsDelete() const;
  std::int32_t UpdateRows(const std::vector<std::int32_t>& RecNos);
  std::int32_t DeleteRows(std::vector<std::int32_t> RecNos);
  TVdbQuery* FRows = nullptr;  // the selection sub-query, when there is a condition
  std::vector<TVdbQuery*> FValueQueries;  // per assignment: its sub-query, or none
};

// ---------------------------------------------------------------------------------------------
// Definitions

class TVdbDdlCommand : public TVdbCommand {
 public:
  using TVdbCommand::TVdbCommand;
  std::int32_t Execute() override;

 protected:
  virtual void DoExecute() = 0;
};

class TVdbCreateCommand : public TVdbDdlCommand {
 public:
  using TVdbDdlCommand::TVdbDdlCommand;

 protected:
  void DoExecute() override;

 private:
  void CreateTable(TVdbSqlCreateTableCommand& Create);
  void CreateIndex(TVdbSqlCreateIndexCommand& Create);
};

class TVdbAlterTableCommand : public TVdbDdlCommand {
 public:
  using TVdbDdlCommand::TVdbDdlCommand;

 protected:
  void DoExecute() override;
};

class TVdbUpdateIndexCommand : public TVdbDdlCommand {
 public:
  using TVdbDdlCommand::TVdbDdlCommand;

 protected:
  void DoExecute() override;
};

class TVdbDropCommand : public TVdbDdlCommand {
 public:
  using TVdbDdlCommand::TVdbDdlCommand;

 protected:
  void DoExecute() override;
};

}  // namespace vdb
