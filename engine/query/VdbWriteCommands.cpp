// The row changes: INSERT, UPDATE and DELETE (see VdbCommand.h).
//
// A statement changes all its rows or none. New values are computed for every row before the
// first one is written, so that an expression that fails leaves the table alone; a write that
// fails (a duplicate key, a NOT NULL column, a check) takes the rows written before it back:
// appended rows are deleted, updated rows get their old values, deleted rows are stored again.
#include <algorithm>

#include "query/VdbColumnValue.h"
#include "query/VdbCommand.h"
#include "query/VdbQuery.h"
#include "session/VdbCatalog.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

const std::string kWriteTag = "Statement_Write";

void CheckResult(std::int32_t Result, TVdbCatalog& Catalog) {
  if (Result >= 0) return;
  TVdbServices* Services = Catalog.Services();
  if (Services->LastErrorCode() == -Result) throw EVdbEngine::CreateMsg(Services->LastErrorCode(), Services->LastErrorMsg());
  throw EVdbEngine(static_cast<std::int16_t>(-Result), kxFormatArgs{});
}

// Appends a row (columns in Fields, the others their defaults); answers the new record number.
std::int32_t AppendRow(TVdbAccessor& Accessor, const std::vector<std::int16_t>& Fields, const TVdbRowValues& Values,
                       TVdbCatalog& Catalog) {
  CheckResult(Accessor.Append(), Catalog);
  try {
    for (std::size_t I = 0; I < Fields.size(); ++I) WriteColumnValue(Accessor, Fields[I], Values[I]);
    CheckResult(Accessor.Post(), Catalog);
  } catch (...) {
    Accessor.Cancel();
    throw;
  }
  return Accessor.CurrentRecordNo();
}

void ReplaceRow(TVdbAccessor& Accessor, std::int32_t RecNo, const std::vector<std::int16_t>& Fields,
                const TVdbRowValues& Values, TVdbCatalog& Catalog) {
  CheckResult(Accessor.GotoRecord(RecNo), Catalog);
  CheckResult(Accessor.Edit(), Catalog);
  try {
    for (std::size_t I = 0; I < Fields.size(); ++I) WriteColumnValue(Accessor, Fields[I], Values[I]);
    CheckResult(Accessor.Post(), Catalog);
  } catch (...) {
    Accessor.Cancel();
    throw;
  }
}

// A column that must have a value and gets none from the statement nor from a default is
// error 47 (it would silently get the type's empty value).
void CheckRequiredColumns(const TVdbRelation& Table, const std::vector<std::int16_t>& Given) {
  for (std::int16_t FieldNo = 1; FieldNo <= Table.GetColumnCount(); ++FieldNo) {
    const TVdbColumnDef& Column = Table.GetColumnDef(FieldNo);
    if (Column.GetNullable() || Column.Calculation() != nullptr || Column.GetColumnType() == kVdbRecordIdCode ||
        FieldNo == Table.RecordIdFieldNo() || std::find(Given.begin(), Given.end(), FieldNo) != Given.end())
      continue;
    throw EVdbEngine(kVdbErrNullNotAllowed, kxFormatArgs{Column.Name});
  }
}

// The value a sub-query gives: its first row's first column, NULL when it has no row.
TVdbColumnValue FirstValueOf(TVdbQuery& Query, const TVdbRelation& Table, std::int16_t FieldNo) {
  TVdbRelation* Result = Query.ResultRelation();
  if (Result == nullptr || Result->GetColumnCount() != 1) throw EVdbEngine(kVdbErrColumnCountMismatch, kxFormatArgs{});
  TVdbAccessor Reader(*Result, "IntermediateResult");
  if (Reader.First() != 0) return TVdbColumnValue();
  TVdbColumnValue Value = ReadColumnValue(Reader, 1);
  if (Value.IsNull || !Value.Long.empty() || !Value.WideLong.empty()) return Value;
  return ColumnValueFor(Table, FieldNo, Value.Value, Value.Type);
}

std::vector<std::int16_t> AllFields(const TVdbRelation& Relation) {
  std::vector<std::int16_t> Fields;
  for (std::int16_t FieldNo = 1; FieldNo <= Relation.GetColumnCount(); ++FieldNo)
    if (!Relation.GetColumnDef(FieldNo).IsOptionSet(kVdbColCalculated)) Fields.push_back(FieldNo);
  return Fields;
}

TVdbRowValues Pick(const TVdbRowValues& Row, const std::vector<std::int16_t>& Fields) {
  TVdbRowValues Picked;
  for (const std::int16_t FieldNo : Fields) Picked.push_back(Row[static_cast<std::size_t>(FieldNo - 1)]);
  return Picked;
}

// The column number of a prepared column expression.
std::int16_t FieldOf(const TVdbExpression& Column) {
  const auto* Factor = dynamic_cast<const TVdbSimpleFactor*>(Column.SingleFactor());
  if (Factor == nullptr || !Factor->GetIsColumnName() || Factor->FieldNo() <= 0)
    throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Column.GetSqlText()});
  return Factor->FieldNo();
}

// The selection sub-query SELECT * FROM table WHERE condition.
std::unique_ptr<TVdbSqlQuery> SelectionQuery(TVdbCatalog* Catalog, const std::string& TableName,
                                             const TVdbSearchCondition& Condition) {
  auto Select = std::make_unique<TVdbSqlSelectExpression>(Catalog);
  Select->AddSelectElement(std::make_unique<TVdbSqlSelectElement>(std::string()));
  Select->AddTableReference(std::make_unique<TVdbSqlTableReference>(TableName));
  Select->SetSearchCondition(Condition.Clone());
  auto Term = std::make_unique<TVdbSqlTableTerm>(std::move(Select));
  return std::make_unique<TVdbSqlQuery>(Catalog, std::make_unique<TVdbSqlTableExpression>(std::move(Term)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The written table

TVdbRelation& TVdbWriteCommand::OpenTarget(TVdbVariables* Parameters) {
  FTableRltnIdx = OpenTable(SqlCommand().TableName(), true);
  TVdbRelation& Table = *FCatalog->GetRelation(FTableRltnIdx);
  FTarget = std::make_unique<TVdbAccessor>(Table, kWriteTag);
  FContext = std::make_unique<TVdbAccessorContext>();
  FContext->AddAccessor(*FTarget, FTableRltnIdx, SqlCommand().TableName());
  FContext->SetParameters(Parameters);
  return Table;
}

void TVdbWriteCommand::Unprepare() {
  TVdbCommand::Unprepare();
  FContext.reset();
  FTarget.reset();
  FTableRltnIdx = 0;
}

void TVdbWriteCommand::GetTouchedRelations(TVdbTouchedRelations& Relations) const {
  TVdbCommand::GetTouchedRelations(Relations);
  Relations.AddWritten(FTableRltnIdx);
}

// ---------------------------------------------------------------------------------------------
// INSERT

TVdbSqlInsertCommand& TVdbInsertCommand::Insert() const { return static_cast<TVdbSqlInsertCommand&>(SqlCommand()); }

void TVdbInsertCommand::Split() {
  if (Insert().SourceQuery() != nullptr && FSource == nullptr) {
    FSource = &AddSubQuery(Insert().ReplaceSourceQuery("SplitQuery"), tctStatic);
    FSource->SetParentCommand(this);
  }
  TVdbCommand::Split();
}

void TVdbInsertCommand::SetupTables(TVdbVariables* Parameters) {
  TVdbCommand::SetupTables(Parameters);
  TVdbRelation& Table = OpenTarget(Parameters);
  std::vector<std::string> Names;
  for (std::int16_t FieldNo = 1; FieldNo <= Table.GetColumnCount(); ++FieldNo)
    if (!Table.GetColumnDef(FieldNo).IsOptionSet(kVdbColCalculated)) Names.push_back(Table.GetColumnDef(FieldNo).Name);
  Insert().SetTableColumnNames(Names);
  TVdbInitNodesVisitor Init(Parameters);
  Insert().TraverseDepthFirst(Init);
  Insert().PreparePhase1(FContext.get(), 0);
  FTargetFields.clear();
  for (const auto& Column : Insert().Columns()) {
    Column->Prepare(FContext.get(), 0);
    FTargetFields.push_back(FieldOf(*Column));
  }
  if (FSource != nullptr) {
    TVdbRelation* Result = FSource->ResultRelation();
    if (Result == nullptr || Result->GetColumnCount() != static_cast<std::int16_t>(FTargetFields.size()))
      throw EVdbEngine(kVdbErrColumnCountMismatch, kxFormatArgs{});
  }
}

std::int32_t TVdbInsertCommand::Execute() {
  TVdbRelation& Table = *FCatalog->GetRelation(FTableRltnIdx);
  std::vector<TVdbRowValues> Rows;
  if (FSource != nullptr) {
    FSource->Execute();
    TVdbAccessor Reader(*FSource->ResultRelation(), kWriteTag);
    for (std::int16_t Moved = Reader.First(); Moved == 0; Moved = Reader.Next()) {
      FCatalog->Services()->ThrowIfStopped();
      TVdbRowValues Row = ReadRowValues(Reader);
      // A long value read from the source goes to a short column as text (and the reverse).
      for (std::size_t I = 0; I < Row.size(); ++I) Row[I] = ConvertColumnValue(std::move(Row[I]), Table, FTargetFields[I]);
      Rows.push_back(std::move(Row));
    }
  } else {
    TVdbRowValues Row;
    const auto& Values = Insert().Values();
    if (Values.size() > FTargetFields.size()) throw EVdbEngine(kVdbErrTooManyValues, kxFormatArgs{});
    for (std::size_t I = 0; I < Values.size(); ++I) {
      Values[I]->Calculate();
      Row.push_back(ColumnValueFor(Table, FTargetFields[I], Values[I]->ResultValue, Values[I]->DataType()));
    }
    Rows.push_back(std::move(Row));
  }
  std::vector<std::int16_t> Fields(FTargetFields.begin(), FTargetFields.begin() +
                                   static_cast<std::ptrdiff_t>(std::min(FTargetFields.size(), Rows.empty() ? 0 : Rows.front().size())));
  CheckRequiredColumns(Table, Fields);
  std::vector<std::int32_t> Appended;
  try {
    // A stop request between two rows takes back the rows appended so far, as an error does.
    for (const TVdbRowValues& Row : Rows) {
      FCatalog->Services()->ThrowIfStopped();
      Appended.push_back(AppendRow(*FTarget, Fields, Row, *FCatalog));
    }
  } catch (...) {
    // Appended rows are the last ones: deleting them from the last moves no other row.
    for (auto It = Appended.rbegin(); It != Appended.rend(); ++It)
      if (FTarget->GotoRecord(*It) == 0) FTarget->DeleteRecord();
    throw;
  }
  return static_cast<std::int32_t>(Appended.size());
}

// ---------------------------------------------------------------------------------------------
// UPDATE and DELETE

bool TVdbUpdateCommand::IsDelete() const { return dynamic_cast<TVdbSqlDeleteCommand*>(&SqlCommand()) != nullptr; }

void TVdbUpdateCommand::Split() {
  TVdbSearchCondition* Condition = nullptr;
  if (auto* Delete = dynamic_cast<TVdbSqlDeleteCommand*>(&SqlCommand())) Condition = Delete->SearchCondition();
  if (auto* Update = dynamic_cast<TVdbSqlUpdateCommand*>(&SqlCommand())) {
    Condition = Update->SearchCondition();
    // A value given by a sub-query: the sub-query becomes a command of its own, run again for
    // every row when it reads the row's columns.
    FValueQueries.assign(Update->Expressions().size(), nullptr);
    for (std::size_t I = 0; I < Update->Expressions().size(); ++I) {
      if (Update->Expressions()[I] || Update->SubQuery(static_cast<int>(I)) == nullptr) continue;
      TVdbQuery& Query = AddSubQuery(Update->ReplaceSubquery(static_cast<int>(I), "SplitQuery"), tctStatic);
      Query.SetParentCommand(this);
      Query.SqlQuery().SetParentCommand(Update);
      FValueQueries[I] = &Query;
    }
  }
  if (Condition != nullptr && FRows == nullptr) {
    FRows = &AddSubQuery(SelectionQuery(FCatalog, SqlCommand().TableName(), *Condition), tctLiveResult);
  }
  TVdbCommand::Split();
}

void TVdbUpdateCommand::SetupTables(TVdbVariables* Parameters) {
  TVdbCommand::SetupTables(Parameters);
  OpenTarget(Parameters);
  auto* Update = dynamic_cast<TVdbSqlUpdateCommand*>(&SqlCommand());
  if (Update == nullptr) return;
  TVdbInitNodesVisitor Init(Parameters);
  for (const auto& Expression : Update->Expressions())
    if (Expression) Expression->TraverseDepthFirst(Init);
  Update->PreparePhase1(FContext.get(), 0);
  FTargetFields.clear();
  for (const auto& Column : Update->Columns()) FTargetFields.push_back(FieldOf(*Column));
}

std::int32_t TVdbUpdateCommand::Execute() {
  // The rows: the selection's base records, or every record of the table.
  std::vector<std::int32_t> RecNos;
  if (FRows != nullptr) {
    FRows->Execute();
    auto* Result = dynamic_cast<TVdbResultSet*>(FRows->ResultRelation());
    if (Result == nullptr) throw EVdbEngine(kVdbErrNotSupported, "UPDATE");
    for (std::int32_t Row = 1; Row <= Result->GetRecordCount(); ++Row) RecNos.push_back(Result->GetRow(Row)->at(0));
  } else {
    const std::int32_t Count = FTarget->Relation().RecordCount();
    for (std::int32_t RecNo = 1; RecNo <= Count; ++RecNo) RecNos.push_back(RecNo);
  }
  return IsDelete() ? DeleteRows(RecNos) : UpdateRows(RecNos);
}

std::int32_t TVdbUpdateCommand::UpdateRows(const std::vector<std::int32_t>& RecNos) {
  auto& Update = static_cast<TVdbSqlUpdateCommand&>(SqlCommand());
  TVdbRelation& Table = FTarget->Relation();
  // Every new value first: a failing expression changes nothing.
  std::vector<TVdbRowValues> NewValues, OldValues;
  for (TVdbQuery* Query : FValueQueries)
    if (Query != nullptr && !Query->IsCorrelated()) Query->Execute();
  bool FirstRow = true;
  for (const std::int32_t RecNo : RecNos) {
    FCatalog->Services()->ThrowIfStopped();
    CheckResult(FTarget->GotoRecord(RecNo), *FCatalog);
    Update.UpdateOuterReferences();
    TVdbRowValues New, Old;
    for (std::size_t I = 0; I < FTargetFields.size(); ++I) {
      if (TVdbQuery* Query = FValueQueries.empty() ? nullptr : FValueQueries[I]) {
        if (Query->IsCorrelated() && (FirstRow || Query->SqlQuery().MustRecalc())) Query->SqlQuery().Recalc();
        New.push_back(FirstValueOf(*Query, Table, FTargetFields[I]));
      } else {
        TVdbExpression& Expression = *Update.Expressions()[I];
        Expression.Calculate();
        New.push_back(ColumnValueFor(Table, FTargetFields[I], Expression.ResultValue, Expression.DataType()));
      }
      Old.push_back(ReadColumnValue(*FTarget, FTargetFields[I]));
    }
    FirstRow = false;
    NewValues.push_back(std::move(New));
    OldValues.push_back(std::move(Old));
  }
  std::size_t Done = 0;
  try {
    for (; Done < RecNos.size(); ++Done) {
      FCatalog->Services()->ThrowIfStopped();
      ReplaceRow(*FTarget, RecNos[Done], FTargetFields, NewValues[Done], *FCatalog);
    }
  } catch (...) {
    for (std::size_t I = Done; I-- > 0;) {
      try {
        ReplaceRow(*FTarget, RecNos[I], FTargetFields, OldValues[I], *FCatalog);
      } catch (const std::exception&) {
        // The old values were stored before; putting them back cannot break a rule they kept.
      }
    }
    throw;
  }
  return static_cast<std::int32_t>(RecNos.size());
}

std::int32_t TVdbUpdateCommand::DeleteRows(std::vector<std::int32_t> RecNos) {
  // From the highest record number down: a deletion moves the last record into the freed
  // place, which is never one of the records still to delete.
  std::sort(RecNos.begin(), RecNos.end(), std::greater<>());
  const std::vector<std::int16_t> Fields = AllFields(FTarget->Relation());
  std::vector<TVdbRowValues> Deleted;
  try {
    for (const std::int32_t RecNo : RecNos) {
      FCatalog->Services()->ThrowIfStopped();
      CheckResult(FTarget->GotoRecord(RecNo), *FCatalog);
      TVdbRowValues Row = Pick(ReadRowValues(*FTarget), Fields);
      CheckResult(FTarget->DeleteRecord(), *FCatalog);
      Deleted.push_back(std::move(Row));
    }
  } catch (...) {
    for (auto It = Deleted.rbegin(); It != Deleted.rend(); ++It) {
      try {
        AppendRow(*FTarget, Fields, *It, *FCatalog);
      } catch (const std::exception&) {
        // The row was stored before; storing it again cannot break a rule it kept.
      }
    }
    throw;
  }
  return static_cast<std::int32_t>(RecNos.size());
}

}  // namespace vdb
