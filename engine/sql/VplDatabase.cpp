#include "sql/VplDatabase.h"

#include <algorithm>
#include <cstring>

#include "base/VdbErrors.h"
#include "sql/VdbSqlParser.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

std::unique_ptr<TVdbSearchCondition> ParseConditionText(const std::string& Text) {
  TSqlParser Parser;
  Parser.SetStatementText(Text);
  std::unique_ptr<TVdbSearchCondition> Condition = Parser.ParseCondition(nullptr);
  Parser.ParseEnd();
  Condition->Optimize();
  return Condition;
}

std::unique_ptr<TVdbExpression> ParseExpressionText(const std::string& Text) {
  TSqlParser Parser;
  Parser.SetStatementText(Text);
  Parser.InitParsing(nullptr);
  std::unique_ptr<TVdbExpression> Expression = Parser.ParseExpression();
  Parser.ParseEnd();
  return Expression;
}

bool HasRecordValue(std::int16_t Code) {
  return Code != kVdbMemoCode && Code != kVdbWideMemoCode && Code != kVdbBlobCode && Code != kVdbRelationCode;
}

void RejectProcedural(bool Procedural) {
  if (Procedural) throw EVdbEngine(kVdbErrUnknown, "Not yet implemented");
}

int TruthResult(TVdbTruthValue Truth) { return Truth == tvTrue ? 1 : Truth == tvFalse ? 0 : -1; }

// A table formula compiled from SQL: the expression over the columns of one record.
class TCompiledSqlExpression : public TVdbCompiledExpression {
 public:
  TCompiledSqlExpression(const std::string& Source, const TVdbColumnDefs& Columns, std::int16_t TableLevel)
      : FContext(Columns, TableLevel), FExpression(ParseExpressionText(Source)) {
    FExpression->Prepare(&FContext, 0);
    if (FExpression->DataType() == nullptr) throw EVdbEngine(kVdbErrUnknownType, FExpression->GetSqlText());
    if (!HasRecordValue(FExpression->DataType()->ColumnType()))
      throw EVdbEngine(kVdbErrNotSupported, "Memo, blob and relation values of a table formula");
    FExpression->GetInvolvedTables(FUsed);
  }
  const TVdbDataType* ResultType() const override { return FExpression->DataType(); }
  TVdbRelationSet UsedRelations() const override { return FUsed; }
  void EvaluateToField(const std::uint8_t* RecBuffer, std::uint8_t* Result) override {
    FContext.SetRecord(RecBuffer);
    FExpression->Calculate();
    const TVdbDataType* Type = ResultType();
    const std::int32_t Size = Type->DataSize();
    std::memset(Result, 0, static_cast<std::size_t>(Size));
    const std::int32_t Used = std::min(Size, Type->GetSize(FExpression->ResultValue));
    std::memcpy(Result, TVdbDataType::ImageOf(FExpression->ResultValue), static_cast<std::size_t>(Used));
  }

 private:
  TVdbRecordContext FContext;
  std::unique_ptr<TVdbExpression> FExpression;
  TVdbRelationSet FUsed;
};

class TCompiledSqlCondition : public TVdbCompiledCondition {
 public:
  TCompiledSqlCondition(const std::string& Source, const TVdbColumnDefs& Columns, std::int16_t TableLevel)
      : FContext(Columns, TableLevel), FCondition(ParseConditionText(Source)) {
    FCondition->Prepare(&FContext, 0);
  }
  int Evaluate(const std::uint8_t* RecBuffer) override {
    FContext.SetRecord(RecBuffer);
    TVdbRelationSet Decided;
    return TruthResult(FCondition->EvaluateTruth(Decided));
  }

 private:
  TVdbRecordContext FContext;
  std::unique_ptr<TVdbSearchCondition> FCondition;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Record context

TVdbRecordContext::TVdbRecordContext(const TVdbColumnDefs& Columns, std::int16_t TableLevel) {
  (void)TableLevel;  // the column types carry the layout of the table level
  for (int I = 0; I < Columns.GetCount(); ++I) {
    const TVdbColumnDef& C = Columns.GetColumnDef(I);
    FColumns.push_back(TColumn{C.Name, C.DataType, C.Position});
  }
}

bool TVdbRecordContext::FindColumn(std::string_view Name, TVdbColumnRef& Column) {
  for (std::size_t I = 0; I < FColumns.size(); ++I) {
    if (CompareIdentifiers(FColumns[I].Name, Name) != 0) continue;
    Column = TVdbColumnRef{nullptr, 0, 0, static_cast<std::int16_t>(I + 1)};
    return true;
  }
  return false;
}

const TVdbDataType* TVdbRecordContext::ColumnType(const TVdbColumnRef& Column) {
  return FColumns.at(static_cast<std::size_t>(Column.FieldNo - 1)).Type;
}

void TVdbRecordContext::ReadColumn(const TVdbColumnRef& Column, TVdbDataValue& Value) {
  const TColumn& C = FColumns.at(static_cast<std::size_t>(Column.FieldNo - 1));
  if (!HasRecordValue(C.Type->ColumnType()))
    throw EVdbEngine(kVdbErrNotSupported, "Memo, blob and relation columns in a table formula");
  if (FRecBuffer == nullptr) throw EVdbEngine(kVdbErrNoValue, C.Name);
  TVdbDataValue Field;
  C.Type->SetReference(Field, const_cast<std::uint8_t*>(FRecBuffer) + C.Position);
  C.Type->DoneValue(Value);
  C.Type->Assign(Value, Field, C.Type);
}

// ---------------------------------------------------------------------------------------------
// Conditions

TVdbSqlCondition::TVdbSqlCondition(std::string Text, TVdbExpressionContext& Context, TVdbPrepareOptions Options)
    : FText(std::move(Text)), FOptions(Options), FContext(&Context) {
  Compile(Context, Options);
}

TVdbSqlCondition::TVdbSqlCondition(std::string Text, TVdbAccessor& Accessor, TVdbPrepareOptions Options)
    : FText(std::move(Text)), FOptions(Options) {
  BindTo(Accessor);
}

void TVdbSqlCondition::BindTo(TVdbAccessor& Accessor) {
  auto Context = std::make_unique<TVdbAccessorContext>();
  Context->AddAccessor(Accessor, 1);
  FCondition.reset();
  Compile(*Context, FOptions);
  FOwnContext = std::move(Context);
  FContext = FOwnContext.get();
  FBoundAccessor = &Accessor;
  FBoundRelation = &Accessor.Relation();
}

TVdbSqlCondition::~TVdbSqlCondition() = default;

void TVdbSqlCondition::Compile(TVdbExpressionContext& Context, TVdbPrepareOptions Options) {
  if (FText.find_first_not_of(" \t\r\n") == std::string::npos) return;
  std::unique_ptr<TVdbSearchCondition> Condition = ParseConditionText(FText);
  Condition->Prepare(&Context, Options);
  FCondition = std::move(Condition);
}

TVdbTruthValue TVdbSqlCondition::EvaluateTruth(TVdbRelationSet& RltnIdxs) {
  RltnIdxs.reset();
  if (FText.find_first_not_of(" \t\r\n") == std::string::npos) return tvTrue;
  if (!FCondition) throw EVdbEngine(kVdbErrInvalidSearchCondition, FText);
  return FCondition->EvaluateTruth(RltnIdxs);
}

bool TVdbSqlCondition::Evaluate(TVdbRelationSet& RltnIdxs) { return EvaluateTruth(RltnIdxs) == tvTrue; }

bool TVdbSqlCondition::Evaluate() {
  TVdbRelationSet Ignored;
  return Evaluate(Ignored);
}

bool TVdbSqlCondition::IsSatisfied(TVdbAccessor& Accessor) {
  if (FOwnContext) {
    // The prepared tree reads the columns of the accessor it was bound to; another accessor
    // (a clone walking the same relation, say) gets the text prepared over its own row.
    if (FBoundAccessor != &Accessor || FBoundRelation != &Accessor.Relation()) BindTo(Accessor);
  } else if (const auto* Scope = dynamic_cast<const TVdbAccessorContext*>(FContext);
             Scope != nullptr && !Scope->Holds(Accessor)) {
    // A condition over a caller's context can only test the rows of the accessors in it.
    throw EVdbEngine(kVdbErrInvalidAccess, FText);
  }
  return Evaluate();
}

// ---------------------------------------------------------------------------------------------
// Calculations

TVdbSqlCalculation::TVdbSqlCalculation(std::string Text, TVdbExpressionContext& Context, TVdbPrepareOptions Options)
    : FText(std::move(Text)), FExpression(ParseExpressionText(FText)) {
  FExpression->Prepare(&Context, Options);
  if (FExpression->DataType() == nullptr) throw EVdbEngine(kVdbErrUnknownType, FExpression->GetSqlText());
}

TVdbSqlCalculation::~TVdbSqlCalculation() = default;

void TVdbSqlCalculation::Calculate(TVdbRelationSet& RltnIdxs) { FExpression->CalcResult(RltnIdxs); }

void TVdbSqlCalculation::Calculate() { FExpression->Calculate(); }

// ---------------------------------------------------------------------------------------------
// The factory

std::unique_ptr<TVdbCompiledExpression> TVdbSqlExpressionFactory::CompileExpression(const std::string& Source,
                                                                                    bool Procedural,
                                                                                    const TVdbColumnDefs& Columns,
                                                                                    std::int16_t TableLevel) {
  RejectProcedural(Procedural);
  return std::make_unique<TCompiledSqlExpression>(Source, Columns, TableLevel);
}

std::unique_ptr<TVdbCompiledCondition> TVdbSqlExpressionFactory::CompileCondition(const std::string& Source,
                                                                                  bool Procedural,
                                                                                  const TVdbColumnDefs& Columns,
                                                                                  std::int16_t TableLevel) {
  RejectProcedural(Procedural);
  return std::make_unique<TCompiledSqlCondition>(Source, Columns, TableLevel);
}

}  // namespace vdb
