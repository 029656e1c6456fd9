// The query command: tables, result relations and plans of SELECT blocks, the table form,
// grouping and set operations (see VdbQuery.h).
#include "query/VdbQuery.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "query/VdbColumnValue.h"
#include "query/VdbQueryExecPlan.h"
#include "query/VdbQueryPlanner.h"
#include "query/VdbTempTable.h"
#include "session/VdbCatalog.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

// Engine errors raised while preparing and executing queries.
constexpr std::size_t kMaxLabelLength = 40;
constexpr std::int32_t kMaxComputedTextLength = 2000;

const std::string kContextTag = "Statement_Context";
const std::string kHolderTag = "Statement_ResultSetHolder";

// A calculated column of a result: a copy of the select item prepared against the result set's
// own accessors and variables, so that the result reads correctly for as long as it exists,
// also after its statement is gone.
class TSelectItemCalculation : public TVdbCompiledExpression {
 public:
  TSelectItemCalculation(const TVdbExpression& Item, TVdbAccessorSet& Accessors, TVdbVariables* Variables)
      : FExpression(Item.Clone()) {
    for (int I = 0; I < Accessors.Count(); ++I) {
      TVdbAccessor* Accessor = Accessors.GetAccessorAt(I);
      FContext.AddAccessor(*Accessor, Accessor->Relation().RltnIdx(), Accessor->Relation().Name());
    }
    FContext.SetParameters(Variables);
    TVdbInitNodesVisitor Init(Variables);
    FExpression->TraverseDepthFirst(Init);
    FExpression->Prepare(&FContext, 0);
    FExpression->GetInvolvedTables(FUsed);
  }
  const TVdbDataType* ResultType() const override { return FExpression->DataType(); }
  TVdbRelationSet UsedRelations() const override { return FUsed; }
  void EvaluateToField(const std::uint8_t*, std::uint8_t* Result) override {
    TVdbRelationSet Ignored;
    FExpression->Calculate(FExpression->ResultValue, Ignored);
    const TVdbDataType* Type = ResultType();
    const std::int32_t Size = Type->DataSize();
    std::memset(Result, 0, static_cast<std::size_t>(Size));
    if (FExpression->ResultValue.IsEmpty()) return;  // no value: NULL
    const std::int32_t Used = std::min(Size, Type->GetSize(FExpression->ResultValue));
    std::memcpy(Result, TVdbDataType::ImageOf(FExpression->ResultValue), static_cast<std::size_t>(Used));
  }

 private:
  std::unique_ptr<TVdbExpression> FExpression;
  TVdbAccessorContext FContext;
  TVdbRelationSet FUsed;
};

// A copy of the statement's parameters with their types and values.
std::unique_ptr<TVdbVariables> CopyVariables(const TVdbVariables* Parameters) {
  auto Copy = std::make_unique<TVdbVariables>();
  if (Parameters == nullptr) return Copy;
  for (std::size_t I = 0; I < Parameters->Count(); ++I) {
    const TVdbVariable* Source = Parameters->Item(I);
    TVdbVariable* Target = Copy->Add(Source->Name(), Source->DataType());
    if (Source->HasValue()) Target->SetValue(Source->Value(), Source->DataType());
  }
  return Copy;
}

// Each plain table reference of a FROM item, depth first, left before right.
void CollectPlainReferences(TVdbSqlTableReference& Reference, std::vector<TVdbSqlTableReference*>& List) {
  if (!Reference.IsJoinedTable()) {
    List.push_back(&Reference);
    return;
  }
  CollectPlainReferences(*Reference.Left(), List);
  CollectPlainReferences(*Reference.Right(), List);
}

bool ContainsAggregate(const TVdbSqlSelectExpression& Select) {
  for (int I = 0; I < Select.SelectElementCount(); ++I) {
    const TVdbExpression* Item = Select.SelectElement(I).ScalarExpression();
    if (Item != nullptr && Item->GetIsAggregated()) return true;
  }
  return false;
}

// The label of a computed item: its SQL text, at most 40 characters.
// The column type of a computed item: its own, but a text that may grow to the longest string
// (concatenations, FILLSTR, ...) is kept to a length a record can hold several times.
const TVdbDataType* ComputedColumnType(const TVdbDataType* Type) {
  const auto* String = dynamic_cast<const TVdbStringType*>(Type);
  if (String == nullptr || String->MaxLength() <= kMaxComputedTextLength) return Type;
  if (Type->ColumnType() != kVdbStringCode && Type->ColumnType() != kVdbWideStringCode) return Type;
  return TVdbDataType::GetStringType(Type->ColumnType(), true, kVdbCurrentLevel, kMaxComputedTextLength,
                                     String->CollationName());
}

bool SameIdentifier(std::string_view A, std::string_view B) { return CompareIdentifiers(A, B) == 0; }

std::string ComputedLabel(const TVdbExpression& Item) {
  std::string Text = Item.GetSqlText();
  if (Text.size() > kMaxLabelLength) Text.resize(kMaxLabelLength);
  return Text;
}

}  // namespace

TVdbQuery::TVdbQuery(TVdbCatalog* Catalog, std::unique_ptr<TVdbSqlCommand> SqlCommand)
    : TVdbCommand(Catalog, std::move(SqlCommand)) {}

TVdbQuery::~TVdbQuery() { Unprepare(); }

void TVdbQuery::SetParentCommand(TVdbCommand* Parent) {
  FParentCommand = Parent;
  SqlQuery().SetOnRecalc([this](TVdbSqlQuery&) { Execute(); });
}

TVdbSqlQuery& TVdbQuery::SqlQuery() const { return static_cast<TVdbSqlQuery&>(SqlCommand()); }

TVdbRelation* TVdbQuery::ResultRelation() const {
  return FResultRltnIdx > 0 ? FCatalog->GetRelation(FResultRltnIdx) : nullptr;
}

bool TVdbQuery::IsTableReference() const {
  TVdbSqlTableExpression* Expression = SqlQuery().TableExpression();
  if (Expression->TableExpression() != nullptr || Expression->TableTerm()->TableTerm() != nullptr) return false;
  return Expression->TableTerm()->TablePrimitive()->GetIsTrivial();
}

bool TVdbQuery::IsSelect() const { return SqlQuery().TableExpression()->SingleSelectExpression() != nullptr; }
bool TVdbQuery::IsUnion() const {
  TVdbSqlTableExpression* Expression = SqlQuery().TableExpression();
  return Expression->TableExpression() != nullptr && Expression->IsUnion();
}
bool TVdbQuery::IsExcept() const {
  TVdbSqlTableExpression* Expression = SqlQuery().TableExpression();
  return Expression->TableExpression() != nullptr && !Expression->IsUnion();
}
bool TVdbQuery::IsIntersect() const {
  TVdbSqlTableExpression* Expression = SqlQuery().TableExpression();
  return Expression->TableExpression() == nullptr && Expression->TableTerm()->TableTerm() != nullptr;
}

// ---------------------------------------------------------------------------------------------
// Preparation

void TVdbQuery::Split() {
  if (!IsPrimitiveSet() && FSetOperandQueries.empty()) SplitSetOperands();
  if (TVdbSqlSelectExpression* Select = SqlQuery().TableExpression()->SingleSelectExpression();
      Select != nullptr && FSubQueryLinks.empty()) {
    SplitSubQueries(Select->SearchCondition());
    SplitSubQueries(Select->HavingCondition());
  }
  TVdbCommand::Split();
}

void TVdbQuery::SetupTables(TVdbVariables* Parameters) {
  TVdbCommand::SetupTables(Parameters);
  TVdbSqlTableExpression* Expression = SqlQuery().TableExpression();
  if (Expression->TableExpression() != nullptr || Expression->TableTerm()->TableTerm() != nullptr) {
    CreateSetOpResult();
  } else {
    TVdbSqlTablePrimitive* Primitive = Expression->TableTerm()->TablePrimitive();
    if (auto* Simple = dynamic_cast<TVdbSqlTableSimplePrimitive*>(Primitive)) {
      if (Simple->TableExpression() != nullptr) throw EVdbEngine(kVdbErrNotSupported, "Stand-alone table expression");
      CreateTableResult(*Simple);
    } else {
      auto& Select = dynamic_cast<TVdbSqlSelectExpression&>(*Primitive);
      OpenQueryTables(Select);
      ExpandSelectList(Select);
      TVdbInitNodesVisitor Init(FParameters);
      SqlQuery().TraverseDepthFirst(Init);
      SqlQuery().PreparePhase1(FContext.get(), PrepareOption(tpoCaseInsensitive));
      if (Select.Distinct() || !Select.GroupByExpressions().empty() || ContainsAggregate(Select) ||
          Select.HavingCondition() != nullptr) {
        CreateGroupingResult(Select);
      } else {
        FQueryType = tqtSimple;
        CreateSimpleResult(Select, "SimpleResultSet", SqlQuery().SortSpecificationList().GetVdbText(),
                           Select.TopCount());
        FResultRltnIdx = FSimpleResult->RltnIdx();
      }
    }
  }
  HoldResult();
}

void TVdbQuery::OpenReference(TVdbSqlTableReference& Reference) {
  const std::int16_t Base = OpenTable(Reference.TableName(), false);
  const std::string AliasName = FCatalog->CalcTemporaryTableName("AliasFor" + Reference.TableName());
  const std::int16_t Alias = FCatalog->OpenVirtualRelation(AliasName, Base);
  if (Alias <= 0) RaiseLastError(static_cast<std::int16_t>(-Alias));
  TVdbRelation* Relation = FCatalog->GetRelation(Alias);
  Relation->Temporary = true;
  FBaseRelations.push_back(Base);
  FUsedRelations.push_back(Alias);
  Reference.SetInternalName(Relation->Name());
  FUserNames[Alias] = Reference.TableAlias().empty() ? Reference.TableName() : Reference.TableAlias();
}

void TVdbQuery::OpenQueryTables(TVdbSqlSelectExpression& Select) {
  std::vector<TVdbSqlTableReference*> References;
  for (int I = 0; I < Select.TableReferences().Count(); ++I)
    CollectPlainReferences(Select.TableReferences()[I], References);
  for (TVdbSqlTableReference* Reference : References) OpenReference(*Reference);
  SqlQuery().ReplaceAliases();
  auto Accessors = std::make_unique<TVdbAccessorSet>(FCatalog, false);
  FContext = std::make_unique<TVdbAccessorContext>();
  FContext->SetParameters(FParameters);
  std::vector<std::int16_t> Ordered = FUsedRelations;
  std::sort(Ordered.begin(), Ordered.end());
  for (const std::int16_t RltnIdx : Ordered) {
    TVdbRelation* Relation = FCatalog->GetRelation(RltnIdx);
    TVdbAccessor& Accessor = Accessors->AddAccessor(std::make_unique<TVdbAccessor>(*Relation, kContextTag));
    // The name the statement gave the table, so that sub-queries can name its columns so.
    FContext->AddAccessor(Accessor, RltnIdx, FUserNames[RltnIdx]);
  }
  FAccessors = Accessors.get();
  FPendingAccessors = std::move(Accessors);
}

void TVdbQuery::ExpandSelectList(TVdbSqlSelectExpression& Select) {
  std::vector<std::unique_ptr<TVdbSqlSelectElement>> Items;
  std::vector<std::string> Labels;
  auto AddColumnsOf = [&](TVdbRelation& Relation) {
    for (std::int16_t FieldNo = 1; FieldNo <= Relation.GetColumnCount(); ++FieldNo) {
      auto Column = TVdbSimpleFactor::CreateColumn(Relation.Name() + "." + Relation.GetColumnDef(FieldNo).Name);
      Items.push_back(std::make_unique<TVdbSqlSelectElement>(TVdbExpression::FromFactor(std::move(Column))));
      Labels.push_back(Relation.GetColumnDef(FieldNo).Name);
    }
  };
  bool Expanded = false;
  for (int I = 0; I < Select.SelectElementCount(); ++I) {
    const TVdbSqlSelectElement& Element = Select.SelectElement(I);
    if (!Element.IsAllColumns()) {
      Items.push_back(Element.Clone());
      Labels.push_back(Select.Label(I));
      continue;
    }
    Expanded = true;
    if (Element.TableName().empty()) {
      for (int A = 0; A < FAccessors->Count(); ++A) AddColumnsOf(FAccessors->GetAccessorAt(A)->Relation());
      continue;
    }
    TVdbAccessor* Named = nullptr;
    for (int A = 0; A < FAccessors->Count() && Named == nullptr; ++A)
      if (SameIdentifier(FAccessors->GetAccessorAt(A)->Relation().Name(), Element.TableName()))
        Named = FAccessors->GetAccessorAt(A);
    if (Named == nullptr) throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Element.TableName()});
    AddColumnsOf(Named->Relation());
  }
  if (!Expanded) return;
  while (Select.SelectElementCount() > 0) Select.RemoveSelectElement(Select.SelectElementCount() - 1);
  for (std::size_t I = 0; I < Items.size(); ++I) Select.AddSelectElement(std::move(Items[I]), Labels[I]);
}

std::unique_ptr<TVdbColumnDefs> TVdbQuery::ResultColumns(TVdbSqlSelectExpression& Select, TVdbColumnOrigins& Origins) {
  auto Columns = std::make_unique<TVdbColumnDefs>();
  const bool Nullable = FUsedRelations.size() > 1 || FParentCommand != nullptr;
  for (int I = 0; I < Select.SelectElementCount(); ++I) {
    TVdbExpression& Item = *Select.SelectElement(I).ScalarExpression();
    const std::string& Label = Select.Label(I);
    auto* Factor = dynamic_cast<TVdbSimpleFactor*>(Item.SingleFactor());
    TVdbColumnOrigin Origin;
    if (Factor != nullptr && Factor->GetIsColumnName() && Factor->Accessor() != nullptr) {
      const TVdbRelation& Base = Factor->Accessor()->Relation();
      const TVdbColumnDef& BaseColumn = Base.GetColumnDef(Factor->FieldNo());
      std::unique_ptr<TVdbColumnDef> Column;
      if (BaseColumn.GetColumnType() == kVdbRecordIdCode) {
        // The result's copy of an auto-increment column is a plain integer.
        Column = TVdbColumnDef::CreateColumnDef(BaseColumn.Name,
                                                TVdbDataType::GetDataType(kVdbIntegerCode, true, kVdbCurrentLevel), 0);
      } else {
        Column = BaseColumn.Clone();
        Column->SetTableLevel(kVdbCurrentLevel);
      }
      if (Nullable) Column->SetNullable(true, kVdbCurrentLevel);
      Column->Name = Label.empty() ? BaseColumn.Name : Label;
      Column->BaseRltnIdx = Factor->RltnIdx();
      Column->BaseFieldNo = Factor->FieldNo();
      Columns->Add(std::move(Column));
      Origin.Kind = qckData;
    } else {
      const TVdbDataType* Type = ComputedColumnType(Item.DataType());
      if (Type == nullptr) throw EVdbEngine(kVdbErrUnknownType, kxFormatArgs{Item.GetSqlText()});
      auto Column = TVdbColumnDef::CreateColumnDef(Label.empty() ? ComputedLabel(Item) : Label, Type, 0);
      if (Column == nullptr) throw EVdbEngine(kVdbErrUnknownType, kxFormatArgs{Item.GetSqlText()});
      Columns->Add(std::move(Column));
      Origin.Kind = qckCalculated;
    }
    Origins.push_back(std::move(Origin));
  }
  return Columns;
}

void TVdbQuery::CreateSimpleResult(TVdbSqlSelectExpression& Select, const std::string& BaseName,
                                   const std::string& SortOrder, std::int32_t TopCount) {
  auto Result = std::make_unique<TVdbResultSet>(FCatalog->Services(), FCatalog->CalcTemporaryTableName(BaseName));
  Result->SetRights(kVdbNewTableRights);
  Result->SetVariables(CopyVariables(FParameters));
  TVdbColumnOrigins Origins;
  auto Columns = ResultColumns(Select, Origins);
  for (int I = 0; I < Select.SelectElementCount(); ++I)
    if (Origins[static_cast<std::size_t>(I)].Kind == qckCalculated)
      Origins[static_cast<std::size_t>(I)].Calculation = std::make_unique<TSelectItemCalculation>(
          *Select.SelectElement(I).ScalarExpression(), *FAccessors, Result->Variables());
  Result->SetSchema(std::move(Columns), std::move(Origins));
  Result->SetAccessors(std::move(FPendingAccessors));
  Result->SetTopCount(TopCount);
  TVdbResultSet* Raw = Result.get();
  if (Raw->Open(false) < 0) RaiseLastError(kVdbErrUnknownIdentifier);
  if (!SortOrder.empty() && Raw->SetSortOrder(SortOrder) < 0) RaiseLastError(kVdbErrUnknownIdentifier);
  RegisterResult(std::move(Result));
  FSimpleResult = Raw;
}

std::int16_t TVdbQuery::RegisterResult(std::unique_ptr<TVdbRelation> Result) {
  Result->Temporary = true;
  const std::int16_t RltnIdx = FCatalog->AddRelation(std::move(Result));
  if (RltnIdx <= 0) RaiseLastError(static_cast<std::int16_t>(-RltnIdx));
  FUsedRelations.push_back(RltnIdx);
  return RltnIdx;
}

void TVdbQuery::CreateTableResult(TVdbSqlTableSimplePrimitive& Table) {
  FQueryType = tqtDirect;
  const TVdbSqlSortSpecificationList& Order = SqlQuery().SortSpecificationList();
  if (FRequestedCursorType == tctStatic || FRequestedCursorType == tctKeySet) {
    // A key set: the rows of the table in a result set sorted in memory.
    TVdbSqlTableReference Reference(Table.TableName(), Table.AliasName());
    OpenReference(Reference);
    auto Select = std::make_unique<TVdbSqlSelectExpression>(FCatalog);
    Select->AddSelectElement(std::make_unique<TVdbSqlSelectElement>(std::string()));
    Select->AddTableReference(Reference.Clone());
    auto Accessors = std::make_unique<TVdbAccessorSet>(FCatalog, false);
    FContext = std::make_unique<TVdbAccessorContext>();
    TVdbRelation* Alias = FCatalog->GetRelation(FUsedRelations.back());
    TVdbAccessor& Accessor = Accessors->AddAccessor(std::make_unique<TVdbAccessor>(*Alias, kContextTag));
    FContext->AddAccessor(Accessor, Alias->RltnIdx(), Alias->Name());
    FAccessors = Accessors.get();
    FPendingAccessors = std::move(Accessors);
    ExpandSelectList(*Select);
    for (int I = 0; I < Select->SelectElementCount(); ++I)
      Select->SelectElement(I).ScalarExpression()->Prepare(FContext.get(), 0);
    std::string SortOrder;
    for (int I = 0; I < Order.Count(); ++I) {
      std::string Item = Order[I].ColumnNameOrIdx();
      const std::size_t Dot = Item.rfind('.');
      if (Dot != std::string::npos) Item = Item.substr(Dot + 1);
      if (!SortOrder.empty()) SortOrder += ",";
      SortOrder += (Order[I].Asc() ? "" : "-") + std::string("${") + Item + "}";
    }
    CreateSimpleResult(*Select, "KeySetResult", SortOrder, 0);
    FKeySetSelect = std::move(Select);
    FResultRltnIdx = FSimpleResult->RltnIdx();
    FKeySetNeedsRecalc = true;
    return;
  }
  const std::int16_t Base = OpenTable(Table.TableName(), false);
  FBaseRelations.push_back(Base);
  const std::string Name = FCatalog->CalcTemporaryTableName("TableResultSet");
  const std::int16_t Alias = FCatalog->OpenVirtualRelation(Name, Base);
  if (Alias <= 0) RaiseLastError(static_cast<std::int16_t>(-Alias));
  TVdbRelation* Relation = FCatalog->GetRelation(Alias);
  Relation->Temporary = true;
  FUsedRelations.push_back(Alias);
  FResultRltnIdx = Alias;
  if (Order.Count() == 0) return;
  const std::string Qualifier = Table.AliasName().empty() ? Table.TableName() : Table.AliasName();
  std::string Specification;
  for (int I = 0; I < Order.Count(); ++I) {
    std::string Item = Order[I].ColumnNameOrIdx();
    const std::size_t Dot = Item.find('.');
    if (Dot != std::string::npos) {
      const std::string Prefix = Item.substr(0, Dot);
      if (!SameIdentifier(Prefix, Qualifier) && !SameIdentifier(Prefix, Table.TableName()) &&
          !SameIdentifier(Prefix, Relation->Name()))
        throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Item});
      Item = Item.substr(Dot + 1);
    }
    std::int16_t FieldNo = Relation->FindColumn(Item, false);
    if (FieldNo <= 0) {
      char* End = nullptr;
      const long Number = std::strtol(Item.c_str(), &End, 10);
      if (Item.empty() || *End != 0 || Number < 1 || Number > Relation->GetColumnCount())
        throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Item});
      FieldNo = static_cast<std::int16_t>(Number);
    }
    if (!Specification.empty()) Specification += ",";
    Specification += (Order[I].Asc() ? "" : "-") + std::string("${") + Relation->GetColumnDef(FieldNo).Name + "}";
  }
  bool Reverse = false;
  const std::int16_t IndexNo = Relation->FindIndex(Specification, tifoCreate | tifoNoReverse, Reverse);
  if (IndexNo < 0) throw EVdbEngine(kVdbErrNoSuitableIndex, kxFormatArgs{Specification});
  FLiveResultIndexNo = IndexNo;
}

void TVdbQuery::HoldResult() {
  TVdbRelation* Result = ResultRelation();
  if (Result == nullptr) return;
  Result->Temporary = true;
  SqlQuery().SetResultSet(Result);
  FResultAccessor = std::make_unique<TVdbAccessor>(*Result, kHolderTag);
}

void TVdbQuery::InitExecution() {
  TVdbCommand::InitExecution();
  TVdbSqlSelectExpression* Select = FKeySetSelect.get();
  if (Select == nullptr) {
    if (FQueryType != tqtSimple && FQueryType != tqtGrouping) return;
    TVdbOuterReferenceCallback Callback;
    if (FParentCommand != nullptr) Callback = FParentCommand->SqlCommand().OuterReferenceCallback(SqlQuery());
    SqlQuery().PreparePhase2(FContext.get(), 0, Callback);
    FCorrelated = FParentCommand != nullptr && SqlQuery().IsCorrelated();
    Select = SqlQuery().TableExpression()->SingleSelectExpression();
  }
  LinkSubQueries();
  auto Plan = TVdbQueryPlanner(FCatalog, *FAccessors).Build(*Select);
  FPlan = Plan.get();
  if (!SqlQuery().OuterReferences().empty())
    Plan->SetOnNeedOuterReferences([this] { SqlQuery().UpdateOuterReferences(); });
  if (FQueryType == tqtGrouping) FGroupPlan = std::move(Plan);
  else FSimpleResult->SetQueryExecutionPlan(std::move(Plan));
}

void TVdbQuery::UpdateParameterValues(const TVdbVariables& Parameters) {
  TVdbCommand::UpdateParameterValues(Parameters);
  if (FSimpleResult != nullptr && FSimpleResult->Variables() != nullptr)
    FSimpleResult->UpdateVariableValues(Parameters);
}

// ---------------------------------------------------------------------------------------------
// Execution

std::int32_t TVdbQuery::Execute() {
  for (const TSubQueryLink& Link : FSubQueryLinks)
    if (Link.Query->IsCorrelated()) Link.Query->SqlQuery().OuterReferenceModified();
  if (FSubCommands) {
    for (int I = 0; I < FSubCommands->Count(); ++I) {
      TVdbQuery* Sub = (*FSubCommands)[I].AsQuery();
      if (Sub != nullptr && Sub->IsCorrelated()) continue;
      (*FSubCommands)[I].Execute();
    }
  }
  switch (FQueryType) {
    case tqtSimple:
      if (FSimpleResult->Recalc() < 0) RaiseLastError(kVdbErrUnknownIdentifier);
      break;
    case tqtGrouping:
      ExecuteGrouping();
      break;
    case tqtUnion:
    case tqtIntersect:
      ExecuteSetOperation();
      break;
    case tqtDirect:
      if (FSimpleResult != nullptr && (FKeySetNeedsRecalc || !FSimpleResult->Active())) {
        if (FSimpleResult->Recalc() < 0) RaiseLastError(kVdbErrUnknownIdentifier);
        FKeySetNeedsRecalc = false;
      }
      break;
  }
  FExecuted = true;
  if (FParentCommand != nullptr) CollectFirstColumn();
  return 0;
}

void TVdbQuery::Unprepare() {
  if (FPlan != nullptr) FPlan->Detach();
  FPlan = nullptr;
  FGroupPlan.reset();
  FGroupWriter.reset();
  FFirstColumn.clear();
  FExecuted = false;
  FGroupKeys.clear();
  FResultAccessor.reset();
  FIntermediateAccessor.reset();
  if (FSubCommands) FSubCommands->Unprepare();
  FSimpleResult = nullptr;
  FPendingAccessors.reset();
  FAccessors = nullptr;
  FKeySetSelect.reset();
  FResultRltnIdx = 0;
  FIntermediateRltnIdx = 0;
  FLiveResultIndexNo = kNoLiveIndex;
  const bool HadRelations = !FUsedRelations.empty();
  FUsedRelations.clear();
  FBaseRelations.clear();
  FUserNames.clear();
  FContext.reset();
  if (HadRelations && FCatalog != nullptr) FCatalog->CloseUnneededTables(true, false);
}

void TVdbQuery::GetTouchedRelations(TVdbTouchedRelations& Relations) const {
  TVdbCommand::GetTouchedRelations(Relations);
  for (const std::int16_t RltnIdx : FBaseRelations) Relations.AddRead(RltnIdx);
}

std::string TVdbQuery::PlanText() const {
  std::string Text;
  if (FSubCommands)
    for (int I = 0; I < FSubCommands->Count(); ++I) Text += (*FSubCommands)[I].PlanText();
  if (FPlan != nullptr) return Text + FPlan->Describe();
  if (FQueryType == tqtDirect && FSimpleResult == nullptr && ResultRelation() != nullptr) {
    TVdbRelation* Result = ResultRelation();
    Text += Result->Name() + ": ";
    if (FLiveResultIndexNo == kNoLiveIndex) Text += "table in record order\n";
    else Text += "table through index #" + std::to_string(FLiveResultIndexNo) + " (" +
                 Result->GetIndexSpecification(FLiveResultIndexNo) + "), nothing sorted\n";
  }
  return Text;
}



// ---------------------------------------------------------------------------------------------
// Grouping: aggregates, GROUP BY, HAVING, DISTINCT

namespace {


// One value of a group key; NULL keys form a group of their own, before every other value.
struct TKeyValue {
  bool Null = true;
  TVdbDataValue Value;
  const TVdbDataType* Type = nullptr;
};
using TGroupKey = std::vector<TKeyValue>;

int CompareKeys(const TGroupKey& A, const TGroupKey& B) {
  for (std::size_t I = 0; I < A.size(); ++I) {
    if (A[I].Null || B[I].Null) {
      if (A[I].Null != B[I].Null) return A[I].Null ? -1 : 1;
      continue;
    }
    const int Order = A[I].Type->CompareTo(A[I].Value, B[I].Value, B[I].Type, 0);
    if (Order == kVdbCmpLess) return -1;
    if (Order == kVdbCmpGreater) return 1;
  }
  return 0;
}

bool IsLongColumn(std::int16_t Code) {
  return Code == kVdbMemoCode || Code == kVdbWideMemoCode || Code == kVdbBlobCode || Code == kVdbRelationCode;
}

// A column name not yet in Columns: Name, else Name followed by "_2", "_3", ...
std::string UniqueColumnName(const TVdbColumnDefs& Columns, const std::string& Name) {
  std::string Candidate = Name;
  for (int Number = 2; Columns.Find(Candidate) >= 0; ++Number) Candidate = Name + "_" + std::to_string(Number);
  return Candidate;
}

}  // namespace

void TVdbQuery::CreateGroupingResult(TVdbSqlSelectExpression& Select) {
  FQueryType = tqtGrouping;
  FAggregated = !Select.GroupByExpressions().empty() || ContainsAggregate(Select) || Select.HavingCondition() != nullptr;
  FGroupKeys.clear();
  if (FAggregated) {
    for (const auto& Key : Select.GroupByExpressions()) FGroupKeys.push_back(Key.get());
    // Every item without aggregate must be one of the GROUP BY expressions.
    for (int I = 0; I < Select.SelectElementCount(); ++I) {
      const TVdbExpression& Item = *Select.SelectElement(I).ScalarExpression();
      if (Item.GetIsAggregated() || Item.GetIsConstant()) continue;
      const bool Grouped = std::any_of(FGroupKeys.begin(), FGroupKeys.end(), [&](const TVdbExpression* Key) {
        return SameIdentifier(Key->GetSqlText(), Item.GetSqlText());
      });
      if (!Grouped) throw EVdbEngine(kVdbErrGroupByMismatch, kxFormatArgs{Item.GetSqlText()});
    }
    for (TVdbExpression* Key : FGroupKeys) Key->Prepare(FContext.get(), 0);
  } else {
    for (int I = 0; I < Select.SelectElementCount(); ++I) FGroupKeys.push_back(Select.SelectElement(I).ScalarExpression());
  }
  TVdbColumnDefs Columns;
  for (int I = 0; I < Select.SelectElementCount(); ++I) {
    TVdbExpression& Item = *Select.SelectElement(I).ScalarExpression();
    const TVdbDataType* Type = ComputedColumnType(Item.DataType());
    if (Type == nullptr) throw EVdbEngine(kVdbErrUnknownType, kxFormatArgs{Item.GetSqlText()});
    std::string Name = Select.Label(I);
    const auto* Factor = dynamic_cast<const TVdbSimpleFactor*>(Item.SingleFactor());
    if (Name.empty() && Factor != nullptr && Factor->GetIsColumnName() && Factor->Accessor() != nullptr)
      Name = Factor->Accessor()->Relation().GetColumnDef(Factor->FieldNo()).Name;
    if (Name.empty()) Name = ComputedLabel(Item);
    auto Column = TVdbColumnDef::CreateColumnDef(UniqueColumnName(Columns, Name), Type->GetNullableType(true),
                                                 kVdbColNullable);
    if (Column == nullptr) throw EVdbEngine(kVdbErrUnknownType, kxFormatArgs{Item.GetSqlText()});
    Column->SetTableLevel(kVdbCurrentLevel);
    Columns.Add(std::move(Column));
  }
  auto Table = TVdbTempTable::Create(FCatalog->Services(), FCatalog->CalcTemporaryTableName("GroupResultSet"), Columns);
  TVdbRelation& Result = *Table;
  FResultRltnIdx = RegisterResult(std::move(Table));
  FGroupWriter = std::make_unique<TVdbAccessor>(Result, "Grouping");
  OrderResultBy(Result);
}

void TVdbQuery::VisitAggregates(TVdbSqlSelectExpression& Select, TVdbSyntaxNodeVisitor& Visitor) {
  for (int I = 0; I < Select.SelectElementCount(); ++I) Select.SelectElement(I).ScalarExpression()->TraverseDepthFirst(Visitor);
  if (Select.HavingCondition() != nullptr) Select.HavingCondition()->TraverseDepthFirst(Visitor);
}

// The group row of the accessors' current rows and the accumulated aggregates, when HAVING
// lets it through. Long items stay empty.
bool TVdbQuery::WriteGroupRow(TVdbSqlSelectExpression& Select) {
  if (Select.HavingCondition() != nullptr) {
    TVdbRelationSet Decided;
    if (Select.HavingCondition()->EvaluateTruth(Decided) != tvTrue) return false;
  }
  TVdbAccessor& Writer = *FGroupWriter;
  TVdbRelation& Result = Writer.Relation();
  if (Writer.Append() < 0) RaiseLastError(kVdbErrUnknownIdentifier);
  try {
    for (int I = 0; I < Select.SelectElementCount(); ++I) {
      const auto FieldNo = static_cast<std::int16_t>(I + 1);
      if (IsLongColumn(Result.GetColumnDef(FieldNo).GetColumnType())) continue;
      TVdbExpression& Item = *Select.SelectElement(I).ScalarExpression();
      Item.Calculate();
      if (Item.ResultValue.IsEmpty() || Item.DataType()->IsNull(Item.ResultValue))
        Result.SetNull(Writer.GetWorkRecordPtr(), FieldNo);
      else
        Result.SetValue(Writer.GetWorkRecordPtr(), FieldNo, Item.ResultValue, Item.DataType());
    }
    if (Writer.Post() < 0) RaiseLastError(kVdbErrUnknownIdentifier);
  } catch (...) {
    Writer.Cancel();
    throw;
  }
  return true;
}

// TOP n with ORDER BY: the rows after the first n in the order's index go.
void TVdbQuery::KeepFirstRows(std::int32_t Count) {
  TVdbAccessor Walker(FGroupWriter->Relation(), "Grouping");
  if (Walker.SetAccess(FLiveResultIndexNo, false) < 0) RaiseLastError(kVdbErrNoSuitableIndex);
  std::vector<std::int32_t> Surplus;
  std::int32_t Seen = 0;
  for (std::int16_t Moved = Walker.First(); Moved == 0; Moved = Walker.Next())
    if (++Seen > Count) Surplus.push_back(Walker.CurrentRecordNo());
  // From the highest record number down: a deletion moves the last record into the gap.
  std::sort(Surplus.begin(), Surplus.end(), std::greater<>());
  for (const std::int32_t RecNo : Surplus) {
    if (FGroupWriter->GotoRecord(RecNo) < 0 || FGroupWriter->DeleteRecord() < 0) RaiseLastError(kVdbErrUnknownIdentifier);
  }
}

void TVdbQuery::ExecuteGrouping() {
  auto& Select = *SqlQuery().TableExpression()->SingleSelectExpression();
  TVdbQueryExecutionPlan& Plan = *FGroupPlan;
  // The qualifying row combinations with their group keys.
  std::vector<std::vector<std::int32_t>> Tuples;
  std::vector<TGroupKey> Keys;
  Plan.Initialize();
  Plan.Reset();
  while (Plan.FindNext()) {
    std::vector<std::int32_t> Tuple;
    for (int I = 0; I < Plan.RelationCount(); ++I)
      Tuple.push_back(std::max(FAccessors->GetAccessor(Plan.RelationIndex(I))->CurrentRecordNo(), 0));
    TGroupKey Key;
    for (TVdbExpression* Expression : FGroupKeys) {
      Expression->Calculate();
      TKeyValue Value;
      Value.Type = Expression->DataType();
      Value.Null = Expression->ResultValue.IsEmpty() || Value.Type->IsNull(Expression->ResultValue);
      if (!Value.Null) Value.Type->CopyTo(Expression->ResultValue, Value.Value);
      Key.push_back(std::move(Value));
    }
    Tuples.push_back(std::move(Tuple));
    Keys.push_back(std::move(Key));
  }
  std::vector<std::size_t> Order(Tuples.size());
  for (std::size_t I = 0; I < Order.size(); ++I) Order[I] = I;
  std::stable_sort(Order.begin(), Order.end(), [&](std::size_t A, std::size_t B) { return CompareKeys(Keys[A], Keys[B]) < 0; });

  TVdbRelation& Result = FGroupWriter->Relation();
  if (Result.RecordCount() > 0 && Result.ClearDat() < 0) RaiseLastError(kVdbErrUnknownIdentifier);
  auto Position = [&](const std::vector<std::int32_t>& Tuple) {
    for (int I = 0; I < Plan.RelationCount(); ++I) {
      TVdbAccessor& Accessor = *FAccessors->GetAccessor(Plan.RelationIndex(I));
      if (Tuple[static_cast<std::size_t>(I)] > 0) {
        if (Accessor.GotoRecord(Tuple[static_cast<std::size_t>(I)]) < 0) RaiseLastError(kVdbErrUnknownIdentifier);
      } else {
        Accessor.ToBoT();
      }
    }
  };
  TVdbResetAggregationsVisitor Reset;
  TVdbCalcAggregationsVisitor Accumulate;
  const std::int32_t Top = Select.TopCount();
  const bool Ordered = SqlQuery().SortSpecificationList().Count() > 0;
  std::int32_t Written = 0;
  if (Tuples.empty() && FAggregated && Select.GroupByExpressions().empty()) {
    // Aggregates over no rows: one row (COUNT 0, the others NULL).
    VisitAggregates(Select, Reset);
    for (int I = 0; I < FAccessors->Count(); ++I) FAccessors->GetAccessorAt(I)->ToBoT();
    WriteGroupRow(Select);
  }
  for (std::size_t First = 0; First < Order.size();) {
    FCatalog->Services()->ThrowIfStopped();
    VisitAggregates(Select, Reset);
    std::size_t Next = First;
    for (; Next < Order.size() && CompareKeys(Keys[Order[Next]], Keys[Order[First]]) == 0; ++Next) {
      Position(Tuples[Order[Next]]);
      VisitAggregates(Select, Accumulate);
    }
    if (WriteGroupRow(Select)) ++Written;
    if (Top > 0 && !Ordered && Written >= Top) break;
    First = Next;
  }
  if (Top > 0 && Ordered && Result.RecordCount() > Top) KeepFirstRows(Top);
}


// The ORDER BY of a result table names its columns (by name or number); an index over them is
// the live result index.
void TVdbQuery::OrderResultBy(TVdbRelation& Result) {
  const TVdbSqlSortSpecificationList& Order = SqlQuery().SortSpecificationList();
  if (Order.Count() == 0) return;
  std::string Specification;
  for (int I = 0; I < Order.Count(); ++I) {
    std::string Item = Order[I].ColumnNameOrIdx();
    std::int16_t FieldNo = Result.FindColumn(Item, false);
    if (FieldNo <= 0 && Item.find('.') != std::string::npos) FieldNo = Result.FindColumn(Item.substr(Item.rfind('.') + 1), false);
    if (FieldNo <= 0) {
      char* End = nullptr;
      const long Number = std::strtol(Item.c_str(), &End, 10);
      if (Item.empty() || *End != 0 || Number < 1 || Number > Result.GetColumnCount())
        throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Item});
      FieldNo = static_cast<std::int16_t>(Number);
    }
    if (IsLongColumn(Result.GetColumnDef(FieldNo).GetColumnType())) throw EVdbEngine(kVdbErrWrongFieldType, kxFormatArgs{Item});
    if (!Specification.empty()) Specification += ",";
    Specification += (Order[I].Asc() ? "" : "-") + std::string("${") + Result.GetColumnDef(FieldNo).Name + "}";
  }
  bool Reverse = false;
  const std::int16_t IndexNo = Result.FindIndex(Specification, tifoCreate | tifoNoReverse, Reverse);
  if (IndexNo < 0) throw EVdbEngine(kVdbErrNoSuitableIndex, kxFormatArgs{Specification});
  FLiveResultIndexNo = IndexNo;
}

// ---------------------------------------------------------------------------------------------
// Set operations: UNION [ALL], EXCEPT [ALL], INTERSECT [ALL]

namespace {

using TSetRows = std::vector<TVdbRowValues>;

int CompareRows(const TVdbRowValues& A, const TVdbRowValues& B) {
  for (std::size_t I = 0; I < A.size(); ++I)
    if (const int Order = CompareColumnValues(A[I], B[I]); Order != 0) return Order;
  return 0;
}

void SortRows(TSetRows& Rows) {
  std::stable_sort(Rows.begin(), Rows.end(), [](const TVdbRowValues& A, const TVdbRowValues& B) { return CompareRows(A, B) < 0; });
}

void RemoveDuplicates(TSetRows& Rows) {
  SortRows(Rows);
  Rows.erase(std::unique(Rows.begin(), Rows.end(),
                         [](const TVdbRowValues& A, const TVdbRowValues& B) { return CompareRows(A, B) == 0; }),
             Rows.end());
}

// Left op Right over multisets: UNION adds, EXCEPT takes away, INTERSECT keeps the common rows
// (with ALL as many times as both have them; without ALL every row once).
TSetRows Combine(TSetRows Left, TSetRows Right, char Operator, bool All) {
  if (Operator == 'U') {
    for (TVdbRowValues& Row : Right) Left.push_back(std::move(Row));
    if (!All) RemoveDuplicates(Left);
    return Left;
  }
  if (!All) {
    RemoveDuplicates(Left);
    RemoveDuplicates(Right);
  }
  SortRows(Left);
  SortRows(Right);
  TSetRows Result;
  std::size_t J = 0;
  for (TVdbRowValues& Row : Left) {
    while (J < Right.size() && CompareRows(Right[J], Row) < 0) ++J;
    const bool Matched = J < Right.size() && CompareRows(Right[J], Row) == 0;
    if (Matched) ++J;  // each row of the right side answers one row of the left side
    if (Matched == (Operator == 'I')) Result.push_back(std::move(Row));
  }
  return Result;
}

using TCorresponding = std::optional<std::vector<std::string>>;

TCorresponding CopyCorresponding(const std::vector<std::string>* Fields) {
  return Fields != nullptr ? TCorresponding(*Fields) : std::nullopt;
}

// The operand primitives of a set expression, left to right, with the operator before each
// (U, E, I), its ALL flag and its CORRESPONDING.
struct TSetOperand {
  TVdbSqlTablePrimitive* Primitive;
  char Operator;
  bool All;
  TCorresponding Corresponding;
};

void CollectTerm(TVdbSqlTableTerm& Term, char Operator, bool All, TCorresponding Corresponding,
                 std::vector<TSetOperand>& Operands) {
  Operands.push_back({Term.TablePrimitive(), Operator, All, std::move(Corresponding)});
  if (Term.TableTerm() != nullptr)
    CollectTerm(*Term.TableTerm(), 'I', Term.All(), CopyCorresponding(Term.CorrespondingFields()), Operands);
}

void CollectExpression(TVdbSqlTableExpression& Expression, char Operator, bool All, TCorresponding Corresponding,
                       std::vector<TSetOperand>& Operands) {
  CollectTerm(*Expression.TableTerm(), Operator, All, std::move(Corresponding), Operands);
  if (Expression.TableExpression() != nullptr)
    CollectExpression(*Expression.TableExpression(), Expression.IsUnion() ? 'U' : 'E', Expression.All(),
                      CopyCorresponding(Expression.CorrespondingFields()), Operands);
}

// An operand as a query of its own.
std::unique_ptr<TVdbSqlQuery> OperandQuery(TVdbCatalog* Catalog, const TVdbSqlTablePrimitive& Primitive) {
  auto Term = std::make_unique<TVdbSqlTableTerm>(Primitive.Clone());
  return std::make_unique<TVdbSqlQuery>(Catalog, std::make_unique<TVdbSqlTableExpression>(std::move(Term)));
}

// The column names that CORRESPONDING pairs: the BY list, or the first operand's columns that
// every operand has. One set expression takes one choice: every operator after the first
// operand has CORRESPONDING, and the BY lists are the same.
std::vector<std::string> CorrespondingNames(const std::vector<TVdbQuery*>& Operands,
                                            const std::vector<TCorresponding>& Lists) {
  const auto Partial = [](const TCorresponding& List) { return !List.has_value(); };
  if (std::any_of(Lists.begin() + 1, Lists.end(), Partial))
    throw EVdbEngine(kVdbErrNotSupported, "CORRESPONDING on some operators of a set expression only");
  const TCorresponding& Chosen = Lists[1];
  for (std::size_t I = 2; I < Lists.size(); ++I) {
    bool Same = Lists[I].has_value() && Lists[I]->size() == Chosen->size();
    for (std::size_t J = 0; Same && J < Chosen->size(); ++J) Same = CompareIdentifiers((*Lists[I])[J], (*Chosen)[J]) == 0;
    if (!Same) throw EVdbEngine(kVdbErrNotSupported, "CORRESPONDING that differs between the operators of one set expression");
  }
  if (!Chosen->empty()) return *Chosen;
  std::vector<std::string> Names;
  TVdbRelation& First = *Operands.front()->ResultRelation();
  for (std::int16_t FieldNo = 1; FieldNo <= First.GetColumnCount(); ++FieldNo) {
    const std::string& Name = First.GetColumnDef(FieldNo).Name;
    bool Everywhere = true;
    for (TVdbQuery* Operand : Operands) Everywhere = Everywhere && Operand->ResultRelation()->FindColumn(Name, false) > 0;
    if (Everywhere) Names.push_back(Name);
  }
  if (Names.empty()) throw EVdbEngine(kVdbErrColumnCountMismatch, kxFormatArgs{});
  return Names;
}

// Long columns pair only with columns of their own kind: their contents are compared as stored.
void CheckPairable(const TVdbDataType* Mine, const TVdbDataType* Theirs) {
  const bool Long = IsLongColumnType(Mine->ColumnType()) || IsLongColumnType(Theirs->ColumnType());
  if (Mine->ColumnType() == kVdbRelationCode || Theirs->ColumnType() == kVdbRelationCode)
    throw EVdbEngine(kVdbErrNotSupported, "Set operations over relation columns");
  if (Long ? Mine->ColumnType() != Theirs->ColumnType() : !TVdbDataType::CanConvert(Theirs, Mine, false))
    throw EVdbEngine(kVdbErrTypeMismatch, kxFormatArgs{Theirs->SqlName() + "<->" + Mine->SqlName()});
}

}  // namespace

void TVdbQuery::SplitSetOperands() {
  TVdbSqlTableExpression& Expression = *SqlQuery().TableExpression();
  std::vector<TSetOperand> Operands;
  CollectExpression(Expression, 'U', false, std::nullopt, Operands);
  for (TSetOperand& Operand : Operands) {
    TVdbQuery& Query = AddSubQuery(OperandQuery(FCatalog, *Operand.Primitive), tctStatic);
    Query.FSetOperator = Operand.Operator;
    Query.FSetAll = Operand.All;
    Query.FSetCorresponding = std::move(Operand.Corresponding);
    FSetOperandQueries.push_back(&Query);
  }
}

// Which columns of each operand are paired: all in order, or those named alike (CORRESPONDING).
void TVdbQuery::PairSetColumns() {
  std::vector<TCorresponding> Lists;
  for (TVdbQuery* Operand : FSetOperandQueries) Lists.push_back(Operand->FSetCorresponding);
  const bool ByName = std::any_of(Lists.begin() + 1, Lists.end(), [](const TCorresponding& List) { return List.has_value(); });
  const std::int16_t Count = FSetOperandQueries.front()->ResultRelation()->GetColumnCount();
  const std::vector<std::string> Names = ByName ? CorrespondingNames(FSetOperandQueries, Lists) : std::vector<std::string>();
  for (TVdbQuery* Operand : FSetOperandQueries) {
    TVdbRelation& Result = *Operand->ResultRelation();
    Operand->FSetFieldNos.clear();
    if (!ByName) {
      if (Result.GetColumnCount() != Count) throw EVdbEngine(kVdbErrColumnCountMismatch, kxFormatArgs{});
      for (std::int16_t FieldNo = 1; FieldNo <= Count; ++FieldNo) Operand->FSetFieldNos.push_back(FieldNo);
      continue;
    }
    for (const std::string& Name : Names) {
      const std::int16_t FieldNo = Result.FindColumn(Name, false);
      if (FieldNo <= 0) throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Name});
      Operand->FSetFieldNos.push_back(FieldNo);
    }
  }
}

void TVdbQuery::CreateSetOpResult() {
  FQueryType = IsIntersect() && !IsUnion() && !IsExcept() ? tqtIntersect : tqtUnion;
  PairSetColumns();
  const TVdbQuery& FirstOperand = *FSetOperandQueries.front();
  TVdbRelation* First = FirstOperand.ResultRelation();
  for (TVdbQuery* Operand : FSetOperandQueries)
    for (std::size_t I = 0; I < FirstOperand.FSetFieldNos.size(); ++I)
      CheckPairable(First->GetDataType(FirstOperand.FSetFieldNos[I]),
                    Operand->ResultRelation()->GetDataType(Operand->FSetFieldNos[I]));
  TVdbColumnDefs Columns;
  for (const std::int16_t FieldNo : FirstOperand.FSetFieldNos) {
    const TVdbColumnDef& Base = First->GetColumnDef(FieldNo);
    auto Column = TVdbColumnDef::CreateColumnDef(UniqueColumnName(Columns, Base.Name),
                                                 Base.DataType->GetNullableType(true), kVdbColNullable);
    Column->SetTableLevel(kVdbCurrentLevel);
    Columns.Add(std::move(Column));
  }
  auto Table = TVdbTempTable::Create(FCatalog->Services(), FCatalog->CalcTemporaryTableName("SetOpResult"), Columns);
  TVdbRelation& Result = *Table;
  FResultRltnIdx = RegisterResult(std::move(Table));
  FGroupWriter = std::make_unique<TVdbAccessor>(Result, "SetOpResult");
  OrderResultBy(Result);
}

void TVdbQuery::ExecuteSetOperation() {
  auto ReadAll = [](TVdbQuery& Operand) {
    TSetRows Rows;
    TVdbAccessor Reader(*Operand.ResultRelation(), "IntermediateResult");
    for (std::int16_t Moved = Reader.First(); Moved == 0; Moved = Reader.Next()) {
      TVdbRowValues Row;
      for (const std::int16_t FieldNo : Operand.FSetFieldNos) Row.push_back(ReadColumnValue(Reader, FieldNo));
      Rows.push_back(std::move(Row));
    }
    return Rows;
  };
  // INTERSECT binds closer than UNION and EXCEPT, which go from left to right.
  TSetRows Total, Term;
  char PendingOperator = 0;
  bool PendingAll = false;
  for (std::size_t I = 0; I < FSetOperandQueries.size(); ++I) {
    TVdbQuery& Operand = *FSetOperandQueries[I];
    TSetRows Rows = ReadAll(Operand);
    if (I == 0) {
      Term = std::move(Rows);
      continue;
    }
    if (Operand.FSetOperator == 'I') {
      Term = Combine(std::move(Term), std::move(Rows), 'I', Operand.FSetAll);
      continue;
    }
    Total = PendingOperator == 0 ? std::move(Term) : Combine(std::move(Total), std::move(Term), PendingOperator, PendingAll);
    PendingOperator = Operand.FSetOperator;
    PendingAll = Operand.FSetAll;
    Term = std::move(Rows);
  }
  Total = PendingOperator == 0 ? std::move(Term) : Combine(std::move(Total), std::move(Term), PendingOperator, PendingAll);

  TVdbAccessor& Writer = *FGroupWriter;
  TVdbRelation& Result = Writer.Relation();
  if (Result.RecordCount() > 0 && Result.ClearDat() < 0) RaiseLastError(kVdbErrUnknownIdentifier);
  for (const TVdbRowValues& Row : Total) {
    if (Writer.Append() < 0) RaiseLastError(kVdbErrUnknownIdentifier);
    try {
      for (std::size_t I = 0; I < Row.size(); ++I) WriteColumnValue(Writer, static_cast<std::int16_t>(I + 1), Row[I]);
      if (Writer.Post() < 0) RaiseLastError(kVdbErrUnknownIdentifier);
    } catch (...) {
      Writer.Cancel();
      throw;
    }
  }
}


// ---------------------------------------------------------------------------------------------
// Sub-queries of conditions: IN, EXISTS, ALL, ANY, SOME

namespace {

// The sub-query comparisons of a condition's AND/OR tree (not those inside sub-queries).
void CollectComparisons(TVdbSearchCondition* Condition, std::vector<TVdbSqlSubQueryComparison*>& Found) {
  for (; Condition != nullptr; Condition = Condition->SearchCondition())
    for (TVdbBooleanTerm* Term = Condition->BooleanTerm(); Term != nullptr; Term = Term->BooleanTerm()) {
      TVdbBooleanFactor* Factor = Term->BooleanFactor();
      if (Factor == nullptr) continue;
      if (auto* Comparison = dynamic_cast<TVdbSqlSubQueryComparison*>(Factor)) Found.push_back(Comparison);
      else CollectComparisons(Factor->SearchCondition(), Found);
    }
}

bool Satisfies(int Order, TVdbComparisonOperator Operator) {
  switch (Operator) {
    case tcoEqual: case tcoIn: return Order == kVdbCmpEqual;
    case tcoUnequal: return Order != kVdbCmpEqual;
    case tcoLess: return Order == kVdbCmpLess;
    case tcoLessOrEqual: return Order != kVdbCmpGreater;
    case tcoGreater: return Order == kVdbCmpGreater;
    case tcoGreaterOrEqual: return Order != kVdbCmpLess;
    default: throw EVdbEngine(kVdbErrNotSupported, ComparisonOperatorText(Operator) + " with a sub-query");
  }
}

}  // namespace

void TVdbQuery::SplitSubQueries(TVdbSearchCondition* Condition) {
  std::vector<TVdbSqlSubQueryComparison*> Comparisons;
  CollectComparisons(Condition, Comparisons);
  for (TVdbSqlSubQueryComparison* Comparison : Comparisons) {
    if (dynamic_cast<TVdbSqlQuery*>(Comparison->SubQuery()) == nullptr) continue;
    TVdbQuery& Query = AddSubQuery(ReplaceSubSelect(*Comparison, "SplitQuery"), tctStatic);
    Query.SetParentCommand(this);
    Query.SqlQuery().SetParentCommand(&SqlQuery());
    FSubQueryLinks.push_back({Comparison, &Query});
  }
}

// The comparisons read their sub-query's result through the handlers; a correlated sub-query
// runs again whenever a column of the enclosing row it reads has changed.
void TVdbQuery::LinkSubQueries() {
  for (const TSubQueryLink& Link : FSubQueryLinks) {
    TVdbQuery* Query = Link.Query;
    TVdbRelation* Result = Query->ResultRelation();
    if (Result == nullptr) throw EVdbEngine(kVdbErrNotSupported, "A sub-query without result");
    if (Link.Comparison->ComparisonOperator() != tcoExists && Result->GetColumnCount() != 1)
      throw EVdbEngine(kVdbErrColumnCountMismatch, kxFormatArgs{});
    Link.Comparison->SetSubResultSet(
        Result, -1, [Query](const TVdbDataValue& Value, const TVdbDataType* Type) { return Query->FindInFirstColumn(Value, Type); },
        [Query]() -> std::int64_t { return Query->ResultRelation()->RecordCount(); });
    Link.Comparison->SetQuantifiedHandler(
        [Query](const TVdbDataValue& Value, const TVdbDataType* Type, TVdbComparisonOperator Operator, bool All) {
          return Query->CompareWithFirstColumn(Value, Type, Operator, All);
        });
    Link.Comparison->SetRecalcHandler([Query] {
      if (Query->IsCorrelated() && (Query->SqlQuery().MustRecalc() || !Query->FExecuted)) Query->SqlQuery().Recalc();
    });
  }
}

void TVdbQuery::CollectFirstColumn() {
  FFirstColumn.clear();
  FFirstColumnHasNull = false;
  TVdbRelation* Result = ResultRelation();
  if (Result == nullptr || Result->GetColumnCount() < 1) return;
  FFirstColumnType = Result->GetDataType(1);
  if (IsLongColumn(FFirstColumnType->ColumnType())) return;
  TVdbAccessor Reader(*Result, "IntermediateResult");
  for (std::int16_t Moved = Reader.First(); Moved == 0; Moved = Reader.Next()) {
    TVdbDataValue Value;
    if (!Result->GetValue(Reader.GetRecordPtr(), 1, Value) || FFirstColumnType->IsNull(Value)) {
      FFirstColumnHasNull = true;
      continue;
    }
    TVdbDataValue Copy;
    FFirstColumnType->CopyTo(Value, Copy);
    FFirstColumn.push_back(std::move(Copy));
  }
  std::sort(FFirstColumn.begin(), FFirstColumn.end(), [this](const TVdbDataValue& A, const TVdbDataValue& B) {
    return FFirstColumnType->CompareTo(A, B, FFirstColumnType, 0) == kVdbCmpLess;
  });
}

bool TVdbQuery::FindInFirstColumn(const TVdbDataValue& Value, const TVdbDataType* Type) const {
  std::size_t Low = 0, High = FFirstColumn.size();
  while (Low < High) {
    const std::size_t Middle = (Low + High) / 2;
    const int Order = Type->CompareTo(Value, FFirstColumn[Middle], FFirstColumnType, 0);
    if (Order == kVdbCmpEqual) return true;
    if (Order == kVdbCmpGreater) Low = Middle + 1;
    else High = Middle;
  }
  return false;
}

// Value op ALL: FALSE at the first row it fails, UNKNOWN when a row is NULL, else TRUE (also
// for no rows). Value op ANY: TRUE at the first row it holds for, UNKNOWN when a row is NULL,
// else FALSE.
TVdbTruthValue TVdbQuery::CompareWithFirstColumn(const TVdbDataValue& Value, const TVdbDataType* Type,
                                                 TVdbComparisonOperator Operator, bool All) const {
  const bool ValueNull = Value.IsEmpty() || Type->IsNull(Value);
  if (ValueNull) return FFirstColumn.empty() && !FFirstColumnHasNull ? (All ? tvTrue : tvFalse) : tvUnknown;
  for (const TVdbDataValue& Row : FFirstColumn) {
    const bool Holds = Satisfies(Type->CompareTo(Value, Row, FFirstColumnType, 0), Operator);
    if (All && !Holds) return tvFalse;
    if (!All && Holds) return tvTrue;
  }
  if (FFirstColumnHasNull) return tvUnknown;
  return All ? tvTrue : tvFalse;
}

}  // namespace vdb
