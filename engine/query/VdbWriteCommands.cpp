// The row changes: INSERT, UPDATE and DELETE (see VdbCommand.h).
#include "query/VdbCommand.h"

#include "query/VdbQuery.h"
#include "session/VdbCatalog.h"

namespace vdb {

namespace {
// Until the row changes are built they answer error 187; this stub goes with them.
constexpr std::int16_t kErrUnsupported = 187;
}  // namespace

TVdbSqlInsertCommand& TVdbInsertCommand::Insert() const { return static_cast<TVdbSqlInsertCommand&>(SqlCommand()); }
void TVdbInsertCommand::Split() { TVdbCommand::Split(); }
void TVdbInsertCommand::SetupTables(TVdbVariables* Parameters) {
  TVdbCommand::SetupTables(Parameters);
  throw EVdbEngine(kErrUnsupported, "INSERT");
}
std::int32_t TVdbInsertCommand::Execute() { return 0; }
void TVdbInsertCommand::Unprepare() { TVdbCommand::Unprepare(); }
void TVdbInsertCommand::GetTouchedRelations(TVdbTouchedRelations& Relations) const {
  TVdbCommand::GetTouchedRelations(Relations);
}

bool TVdbUpdateCommand::IsDelete() const { return dynamic_cast<TVdbSqlDeleteCommand*>(&SqlCommand()) != nullptr; }
void TVdbUpdateCommand::Split() { TVdbCommand::Split(); }
void TVdbUpdateCommand::SetupTables(TVdbVariables* Parameters) {
  TVdbCommand::SetupTables(Parameters);
  throw EVdbEngine(kErrUnsupported, IsDelete() ? "DELETE" : "UPDATE");
}
void TVdbUpdateCommand::InitExecution() { TVdbCommand::InitExecution(); }
std::int32_t TVdbUpdateCommand::Execute() { return 0; }
void TVdbUpdateCommand::Unprepare() { TVdbCommand::Unprepare(); }
void TVdbUpdateCommand::GetTouchedRelations(TVdbTouchedRelations& Relations) const {
  TVdbCommand::GetTouchedRelations(Relations);
}

std::int32_t TVdbDdlCommand::Execute() {
  DoExecute();
  return 0;
}
void TVdbCreateCommand::DoExecute() { throw EVdbEngine(kErrUnsupported, "CREATE"); }
void TVdbAlterTableCommand::DoExecute() { throw EVdbEngine(kErrUnsupported, "ALTER TABLE"); }
void TVdbUpdateIndexCommand::DoExecute() { throw EVdbEngine(kErrUnsupported, "UPDATE INDEX"); }
void TVdbDropCommand::DoExecute() { throw EVdbEngine(kErrUnsupported, "DROP"); }

}  // namespace vdb
