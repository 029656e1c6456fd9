// Execution commands: the base, the command list and the choice of command for a tree (see
// VdbCommand.h). The row changes are in VdbWriteCommands.cpp, the definitions in
// VdbDdlCommands.cpp.
#include "query/VdbCommand.h"

#include <algorithm>

#include "query/VdbQuery.h"
#include "session/VdbCatalog.h"

namespace vdb {

namespace {


void AddOnce(std::vector<std::int16_t>& List, std::int16_t RltnIdx) {
  if (RltnIdx > 0 && std::find(List.begin(), List.end(), RltnIdx) == List.end()) List.push_back(RltnIdx);
}

}  // namespace

void TVdbTouchedRelations::AddRead(std::int16_t RltnIdx) { AddOnce(Read, RltnIdx); }
void TVdbTouchedRelations::AddWritten(std::int16_t RltnIdx) { AddOnce(Written, RltnIdx); }

// ---------------------------------------------------------------------------------------------
// Commands

TVdbCommand::TVdbCommand(TVdbCatalog* Catalog, std::unique_ptr<TVdbSqlCommand> SqlCommand)
    : FCatalog(Catalog), FSqlCommand(std::move(SqlCommand)) {}

TVdbCommand::~TVdbCommand() = default;

TVdbCommandList& TVdbCommand::EnsureSubCommands() {
  if (!FSubCommands) FSubCommands = std::make_unique<TVdbCommandList>();
  return *FSubCommands;
}

TVdbQuery& TVdbCommand::AddSubQuery(std::unique_ptr<TVdbSqlCommand> Sql, TVdbCursorType CursorType) {
  auto Query = std::make_unique<TVdbQuery>(FCatalog, std::move(Sql));
  Query->SetRequestedCursorType(CursorType);
  TVdbQuery& Added = *Query;
  EnsureSubCommands().Add(std::move(Query));
  return Added;
}

void TVdbCommand::Split() {
  if (FSubCommands) FSubCommands->Split();
}

void TVdbCommand::SetupTables(TVdbVariables* Parameters) {
  FParameters = Parameters;
  if (FSubCommands) FSubCommands->SetupTables(Parameters);
}

void TVdbCommand::InitExecution() {
  if (FSubCommands) FSubCommands->InitExecution();
}

void TVdbCommand::UpdateParameterValues(const TVdbVariables& Parameters) {
  if (FSubCommands) FSubCommands->UpdateParameterValues(Parameters);
}

void TVdbCommand::Unprepare() {
  if (FSubCommands) FSubCommands->Unprepare();
}

void TVdbCommand::GetTouchedRelations(TVdbTouchedRelations& Relations) const {
  if (FSubCommands) FSubCommands->GetTouchedRelations(Relations);
}

std::string TVdbCommand::PlanText() const {
  std::string Text;
  if (FSubCommands)
    for (int I = 0; I < FSubCommands->Count(); ++I) Text += (*FSubCommands)[I].PlanText();
  return Text;
}

std::int16_t TVdbCommand::OpenTable(const std::string& TableName, bool ForWriting) {
  // Read access, plus the write rights the session allows (a read-only table still reads).
  const std::int16_t RltnIdx = FCatalog->TryOpenTable(TableName, FCatalog->Key(), ForWriting, true, kVdbWriteRights);
  if (RltnIdx > 0) return RltnIdx;
  if (RltnIdx == -kVdbErrFileNotFoundOrDenied) throw EVdbEngine(kVdbErrTableNotFound, kxFormatArgs{TableName});
  RaiseLastError(static_cast<std::int16_t>(-RltnIdx));
}

void TVdbCommand::RaiseLastError(std::int16_t Code) const {
  TVdbServices* Services = FCatalog->Services();
  if (Services != nullptr && Services->LastErrorCode() != 0)
    throw EVdbEngine::CreateMsg(Services->LastErrorCode(), Services->LastErrorMsg());
  throw EVdbEngine(Code, kxFormatArgs{});
}

// ---------------------------------------------------------------------------------------------
// The command list

TVdbCommandList::TVdbCommandList() = default;
TVdbCommandList::~TVdbCommandList() = default;

void TVdbCommandList::Split() {
  for (auto& Command : FCommands) Command->Split();
}

void TVdbCommandList::SetupTables(TVdbVariables* Parameters) {
  for (auto& Command : FCommands) Command->SetupTables(Parameters);
}

void TVdbCommandList::InitExecution() {
  for (auto& Command : FCommands) Command->InitExecution();
}

void TVdbCommandList::UpdateParameterValues(const TVdbVariables& Parameters) {
  for (auto& Command : FCommands) Command->UpdateParameterValues(Parameters);
}

void TVdbCommandList::Unprepare() {
  for (auto It = FCommands.rbegin(); It != FCommands.rend(); ++It) (*It)->Unprepare();
}

void TVdbCommandList::GetTouchedRelations(TVdbTouchedRelations& Relations) const {
  for (const auto& Command : FCommands) Command->GetTouchedRelations(Relations);
}

// ---------------------------------------------------------------------------------------------
// Commands of trees

std::unique_ptr<TVdbCommand> CreateCommand(TVdbCatalog* Catalog, std::unique_ptr<TVdbSqlCommand> SqlCommand) {
  TVdbSqlCommand* Tree = SqlCommand.get();
  if (dynamic_cast<TVdbSqlQuery*>(Tree)) return std::make_unique<TVdbQuery>(Catalog, std::move(SqlCommand));
  if (dynamic_cast<TVdbSqlInsertCommand*>(Tree))
    return std::make_unique<TVdbInsertCommand>(Catalog, std::move(SqlCommand));
  if (dynamic_cast<TVdbSqlUpdateCommand*>(Tree) || dynamic_cast<TVdbSqlDeleteCommand*>(Tree))
    return std::make_unique<TVdbUpdateCommand>(Catalog, std::move(SqlCommand));
  if (dynamic_cast<TVdbSqlCreateTableCommand*>(Tree) || dynamic_cast<TVdbSqlCreateIndexCommand*>(Tree) ||
      dynamic_cast<TVdbSqlCreateFulltextIndexCommand*>(Tree))
    return std::make_unique<TVdbCreateCommand>(Catalog, std::move(SqlCommand));
  if (dynamic_cast<TVdbSqlAlterTableCommand*>(Tree))
    return std::make_unique<TVdbAlterTableCommand>(Catalog, std::move(SqlCommand));
  if (dynamic_cast<TVdbSqlUpdateIndexCommand*>(Tree))
    return std::make_unique<TVdbUpdateIndexCommand>(Catalog, std::move(SqlCommand));
  return std::make_unique<TVdbDropCommand>(Catalog, std::move(SqlCommand));
}

}  // namespace vdb
