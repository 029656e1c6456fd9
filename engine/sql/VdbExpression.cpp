#include "sql/VdbExpression.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "session/VdbAccessor.h"
#include "sql/VdbSqlCommand.h"
#include "base/VdbErrors.h"
#include "base/VdbServices.h"
#include "storage/kxMemory.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

// A floating-point result beyond the finite range; reported by the expression with its text.
struct EVdbFloatOverflow {};

template <typename T>
std::unique_ptr<T> CloneOrNull(const std::unique_ptr<T>& Node) {
  return Node ? Node->Clone() : nullptr;
}

template <typename T>
bool BothNullOrEqual(const std::unique_ptr<T>& A, const std::unique_ptr<T>& B) {
  if (!A || !B) return !A && !B;
  return A->IsSyntacticallyEqual(*B);
}

bool IsNullType(const TVdbDataType* Type) { return Type != nullptr && Type->ColumnType() == kVdbNullCode; }

bool IsNullValue(const TVdbDataValue& Value, const TVdbDataType* Type) {
  return Value.IsEmpty() || Value.ColumnType == kVdbNullCode || Type == nullptr || Type->IsNull(Value);
}

// Copies From (of FromType) into To (of ToType), converting where the types differ.
void AssignConverted(TVdbDataValue& To, const TVdbDataType* ToType, const TVdbDataValue& From,
                     const TVdbDataType* FromType) {
  if (From.IsEmpty()) {
    ToType->DoneValue(To);
  } else if (IsNullValue(From, FromType)) {
    ToType->SetNullOrDefault(To);
  } else {
    ToType->Assign(To, From, FromType);
  }
}

// The type of a column as a value of an expression: same column type and collation, strings
// unbounded; memo columns keep their type (they are unbounded already).
const TVdbDataType* VariableForm(const TVdbDataType* Type) {
  if (Type == nullptr) return nullptr;
  const std::int16_t Code = Type->ColumnType();
  if (Code != kVdbStringCode && Code != kVdbWideStringCode) return Type;
  const auto* S = static_cast<const TVdbStringType*>(Type);
  return TVdbDataType::GetStringType(Code, true, S->Level(),
                                     Code == kVdbWideStringCode ? kVdbMaxWideLength : kVdbMaxAnsiLength,
                                     S->CollationName());
}

// The result type of a binary operation; a NULL operand gives the other side, made nullable.
const TVdbDataType* BinaryResultType(TVdbDataBinaryOperator Op, const TVdbDataType* T1,
                                     const TVdbDataType* T2) {
  if (T1 == nullptr || T2 == nullptr) return nullptr;
  if (IsNullType(T1)) return T2->GetNullableType(true);
  if (IsNullType(T2)) return T1->GetNullableType(true);
  return TVdbDataType::GetResultDataType(Op, T1, T2);
}

// V1 Op V2 into Result; NULL operands give NULL.
void CalculateBinary(TVdbDataBinaryOperator Op, const TVdbDataValue& V1, const TVdbDataType* T1,
                     const TVdbDataValue& V2, const TVdbDataType* T2, TVdbDataValue& Result,
                     const TVdbDataType* ResultType) {
  if (IsNullType(T1) || IsNullType(T2) || IsNullValue(V1, T1) || IsNullValue(V2, T2)) {
    ResultType->SetNullOrDefault(Result);
    return;
  }
  try {
    TVdbDataType::Calculate(Op, V1, V2, Result, T1, T2, ResultType);
  } catch (const EVdbDataError& E) {
    // The floating-point type reports a result beyond its range by this text.
    if (std::string_view(E.what()) == "Floating point overflow") throw EVdbFloatOverflow{};
    throw;
  }
  if (ResultType->ColumnType() == kVdbFloatCode && !ResultType->IsNull(Result) &&
      !std::isfinite(ResultType->GetDouble(Result)))
    throw EVdbFloatOverflow{};
}

std::string OperatorText(TVdbDataBinaryOperator Op) {
  switch (Op) {
    case dboPlus: return "+";
    case dboMinus: return "-";
    case dboMultiply: return "*";
    case dboDivide: return "/";
    case dboDiv: return "DIV";
    case dboMod: return "MOD";
    case dboAnd: return "AND";
    case dboOr: return "OR";
  }
  return "?";
}

TVdbDataBinaryOperator Inverted(TVdbDataBinaryOperator Op) {
  return Op == dboPlus ? dboMinus : Op == dboMinus ? dboPlus : Op;
}

// A column reference as text that reads back as the same reference. The parser joins a table
// and a column part with "." and drops a directory from the table part, so a name whose part
// before the first "." holds a path separator is written whole, as one quoted name.
std::string ColumnReferenceSql(std::string_view Name) {
  const std::size_t Dot = Name.find('.');
  if (Dot == std::string_view::npos || Name.substr(0, Dot).find_first_of("/\\") != std::string_view::npos)
    return SqlName(Name);
  return SqlName(Name.substr(0, Dot)) + "." + SqlName(Name.substr(Dot + 1));
}

// The same string type under the case-insensitive form of its collation (the layout of the
// values is the same); other types and case-insensitive collations stay.
const TVdbDataType* CaseInsensitiveVariant(const TVdbDataType* Type) {
  const auto* S = dynamic_cast<const TVdbStringType*>(Type);
  if (S == nullptr || (S->StrCmpOptions() & scoCaseSensitive) == 0) return Type;
  const std::string Language = LanguageFromLocale(S->LocaleId());
  if (Language.empty()) return Type;
  const std::string Collation = Language + "_CI" + ((S->StrCmpOptions() & scoAccentSensitive) ? "_AS" : "_AI");
  return TVdbDataType::GetStringType(S->ColumnType(), S->Nullable(), S->Level(), S->MaxLength(), Collation);
}

// The keyword of a typed literal of dates and times (DATE '...'); nullptr for other types.
const char* TypedLiteralKeyword(const TVdbDataType* Type) {
  if (Type == nullptr) return nullptr;
  switch (Type->ColumnType()) {
    case kVdbDateCode: return "DATE";
    case kVdbTimeCode: return "TIME";
    case kVdbTimeStampCode: return "TIMESTAMP";
    default: return nullptr;
  }
}

bool StartsWithIdentifier(const std::string& Name, const std::string& Prefix) {
  return Name.size() > Prefix.size() && Name[Prefix.size()] == '.' &&
         CompareIdentifiers(std::string_view(Name).substr(0, Prefix.size()), Prefix) == 0;
}

void AddRelation(TVdbRelationSet& Set, TVdbRelationIndex RltnIdx) {
  if (RltnIdx > 0 && static_cast<std::size_t>(RltnIdx) < Set.size()) Set.set(static_cast<std::size_t>(RltnIdx));
}

// A negative result of the relation (or of an accessor on it) as the engine error it recorded.
void CheckRelationResult(const TVdbRelation& Relation, std::int32_t Result) {
  if (Result >= 0) return;
  const auto Code = static_cast<std::int16_t>(-Result);
  const TVdbServices* Services = Relation.Services();
  if (Services != nullptr && Services->LastErrorCode() == Code)
    throw EVdbEngine::CreateMsg(Code, Services->LastErrorMsg());
  throw EVdbEngine(Code, kxFormatArgs{});
}

}  // namespace

std::string ComparisonOperatorText(TVdbComparisonOperator Operator) {
  switch (Operator) {
    case tcoIsNull: return "IS NULL";
    case tcoIsNotNull: return "IS NOT NULL";
    case tcoEqual: return "=";
    case tcoUnequal: return "!=";
    case tcoLess: return "<";
    case tcoLessOrEqual: return "<=";
    case tcoGreater: return ">";
    case tcoGreaterOrEqual: return ">=";
    case tcoBetween: return "BETWEEN";
    case tcoLike: return "LIKE";
    case tcoHas: return "HAS";
    case tcoContains: return "CONTAINS";
    case tcoFullTextRank: return "FULL";
    default: return {};
  }
}

// ---------------------------------------------------------------------------------------------
// Variables

TVdbVariable::~TVdbVariable() = default;

void TVdbVariable::SetDataType(const TVdbDataType* DataType) {
  if (DataType == FDataType) return;
  if (HasValue() && FDataType != nullptr && DataType != nullptr) {
    TVdbDataValue Converted;
    AssignConverted(Converted, DataType, FValue, FDataType);
    FValue = std::move(Converted);
  } else {
    FValue.Clear();
  }
  FDataType = DataType;
}

void TVdbVariable::SetValue(const TVdbDataValue& Value, const TVdbDataType* Type) {
  if (FDataType == nullptr) FDataType = Type;
  if (&Value == &FValue) return;
  // A value read from a record may refer to the record's bytes: the variable keeps a copy.
  TVdbDataValue Copy;
  AssignConverted(Copy, FDataType, Value, Type);
  FValue = std::move(Copy);
}

void TVdbVariable::SetNull() {
  if (FDataType == nullptr) FDataType = TVdbDataType::GetNullType();
  FDataType->SetNullOrDefault(FValue);
}

void TVdbVariable::Clear() { FValue.Clear(); }

TVdbVariable* TVdbVariables::Find(std::string_view Name) const {
  for (const auto& V : FItems)
    if (CompareIdentifiers(V->Name(), Name) == 0) return V.get();
  return nullptr;
}

TVdbVariable* TVdbVariables::Add(std::string_view Name, const TVdbDataType* DataType) {
  if (TVdbVariable* V = Find(Name)) return V;
  FItems.push_back(std::make_unique<TVdbVariable>(std::string(Name), DataType));
  return FItems.back().get();
}

// ---------------------------------------------------------------------------------------------
// The context of an accessor set

void TVdbAccessorContext::AddAccessor(TVdbAccessor& Accessor, TVdbRelationIndex RltnIdx, std::string Alias) {
  FEntries.push_back(TEntry{&Accessor, RltnIdx, std::move(Alias)});
}

TVdbAccessor* TVdbAccessorContext::GetAccessor(TVdbRelationIndex RltnIdx) const {
  for (const TEntry& E : FEntries)
    if (E.RltnIdx == RltnIdx) return E.Accessor;
  return nullptr;
}

bool TVdbAccessorContext::Holds(const TVdbAccessor& Accessor) const {
  return std::any_of(FEntries.begin(), FEntries.end(), [&](const TEntry& E) { return E.Accessor == &Accessor; });
}

TVdbRelationSet TVdbAccessorContext::GetRltnIdxSet() const {
  TVdbRelationSet Set;
  for (const TEntry& E : FEntries) AddRelation(Set, E.RltnIdx);
  return Set;
}

bool TVdbAccessorContext::FindIn(std::size_t Pos, std::string_view ColumnName, TVdbColumnRef& Column) const {
  const TEntry& E = FEntries[Pos];
  const std::int16_t FieldNo = E.Accessor->Relation().FindColumn(ColumnName, false);
  if (FieldNo <= 0) return false;
  Column = TVdbColumnRef{E.Accessor, E.RltnIdx, static_cast<std::int16_t>(Pos), FieldNo};
  return true;
}

bool TVdbAccessorContext::NamedBy(const TEntry& Entry, std::string_view TableName) const {
  if (!Entry.Alias.empty() && CompareIdentifiers(Entry.Alias, TableName) == 0) return true;
  return Entry.Accessor->Relation().IsSameTableName(std::string(TableName));
}

bool TVdbAccessorContext::FindColumn(std::string_view Name, TVdbColumnRef& Column) {
  // The name as a whole first (column names may hold a dot), in the order of the set.
  for (std::size_t Pos = 0; Pos < FEntries.size(); ++Pos)
    if (FindIn(Pos, Name, Column)) return true;
  for (std::size_t Dot = Name.find('.'); Dot != std::string_view::npos; Dot = Name.find('.', Dot + 1)) {
    const std::string_view Table = Name.substr(0, Dot);
    const std::string_view ColumnName = Name.substr(Dot + 1);
    for (std::size_t Pos = 0; Pos < FEntries.size(); ++Pos)
      if (NamedBy(FEntries[Pos], Table) && FindIn(Pos, ColumnName, Column)) return true;
  }
  return false;
}

bool TVdbAccessorContext::FindRelation(std::string_view TableName, TVdbColumnRef& Relation) {
  for (std::size_t Pos = 0; Pos < FEntries.size(); ++Pos) {
    if (!NamedBy(FEntries[Pos], TableName)) continue;
    Relation = TVdbColumnRef{FEntries[Pos].Accessor, FEntries[Pos].RltnIdx, static_cast<std::int16_t>(Pos), 0};
    return true;
  }
  return false;
}

const TVdbDataType* TVdbAccessorContext::ColumnType(const TVdbColumnRef& Column) {
  return Column.Accessor->Relation().GetDataType(Column.FieldNo);
}

namespace {

void CheckAccessorResult(const TVdbAccessor& Accessor, std::int32_t Result) {
  CheckRelationResult(Accessor.Relation(), Result);
}

}  // namespace

void TVdbAccessorContext::ReadColumn(const TVdbColumnRef& Column, TVdbDataValue& Value) {
  TVdbAccessor& A = *Column.Accessor;
  const TVdbRelation& R = A.Relation();
  const TVdbDataType* Type = R.GetDataType(Column.FieldNo);
  switch (Type->ColumnType()) {
    case kVdbMemoCode: {
      // The whole memo text, whatever its length.
      std::string Text;
      CheckAccessorResult(A, A.GetMemo(Column.FieldNo, Text, -1));
      if (Text.empty() && R.IsNull(A.GetRecordPtr(), Column.FieldNo)) Type->SetNullOrDefault(Value);
      else Type->SetAnsiString(Value, Text.data(), static_cast<std::int32_t>(Text.size()));
      return;
    }
    case kVdbWideMemoCode: {
      std::u16string Text;
      CheckAccessorResult(A, A.GetWideMemo(Column.FieldNo, Text, -1));
      if (Text.empty() && R.IsNull(A.GetRecordPtr(), Column.FieldNo)) Type->SetNullOrDefault(Value);
      else Type->SetWideString(Value, Text);
      return;
    }
    case kVdbBlobCode: {
      std::int16_t BlobType = 0;
      const std::int32_t Size = A.InitGetBlob(Column.FieldNo, -1, BlobType);
      CheckAccessorResult(A, Size);
      // A blob of length 0 is NULL.
      if (Size == 0) {
        Type->SetNullOrDefault(Value);
        return;
      }
      std::vector<std::uint8_t> Bytes(static_cast<std::size_t>(Size));
      const std::int32_t Copied = A.GetBlobChunk(0, Size, Bytes.data());
      A.DoneGetBlob();
      Type->SetBytes(Value, Bytes.data(), Copied);
      return;
    }
    default:
      if (!R.GetValue(A.GetRecordPtr(), Column.FieldNo, Value)) Type->SetNullOrDefault(Value);
      return;
  }
}

// ---------------------------------------------------------------------------------------------
// Visitors

void TVdbSyntaxNode::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) { Visitor.PerformOperation(*this); }

// ---------------------------------------------------------------------------------------------
// Factors

TVdbFactor::~TVdbFactor() = default;

TVdbFactor::TVdbFactor(const TVdbFactor& Other)
    : TVdbSyntaxNode(), FSign(Other.FSign), FDataType(Other.FDataType), FBaseType(Other.FBaseType) {}

void TVdbFactor::SetBaseType(const TVdbDataType* BaseType) {
  FBaseType = BaseType;
  FDataType = BaseType;
  if (BaseType != nullptr && FSign == sfsMinus && !IsNullType(BaseType)) {
    FDataType = BaseType->GetResultDataType(duoMinus);
    if (FDataType == nullptr) throw EVdbEngine(kVdbErrTypeMismatch, "-" + BaseType->SqlName());
  }
}

void TVdbFactor::CalculateSigned(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  if (FSign != sfsMinus || IsNullType(FBaseType)) {
    CalculateBase(Value, RltnIdxs);
    return;
  }
  CalculateBase(FValue, RltnIdxs);
  if (FValue.IsEmpty()) {
    Value.Clear();
  } else if (IsNullValue(FValue, FBaseType)) {
    FDataType->SetNullOrDefault(Value);
  } else {
    FDataType->CalculateWith(duoMinus, Value, FValue, FBaseType);
  }
}

std::string TVdbFactor::SignText() const {
  return FSign == sfsMinus ? "-" : FSign == sfsPlus ? "+" : "";
}

// ---------------------------------------------------------------------------------------------
// Functions

TVdbFunction::~TVdbFunction() = default;

TVdbFunction::TVdbFunction(const TVdbFunction& Other)
    : TVdbSyntaxNode(), FRaise(Other.FRaise), FDecimalChar(Other.FDecimalChar), FResultType(Other.FResultType) {
  for (const auto& A : Other.FArgumentList) FArgumentList.push_back(CloneOrNull(A));
}

void TVdbFunction::AddArgument(std::unique_ptr<TVdbExpression> Argument) {
  FArgumentList.push_back(std::move(Argument));
}

bool TVdbFunction::GetIsAggregated() const {
  if (GetIsAggregation()) return true;
  return std::any_of(FArgumentList.begin(), FArgumentList.end(),
                     [](const auto& A) { return A && A->GetIsAggregated(); });
}

bool TVdbFunction::GetIsConstant() const {
  if (GetIsAggregation()) return false;
  return std::all_of(FArgumentList.begin(), FArgumentList.end(),
                     [](const auto& A) { return !A || A->GetIsConstant(); });
}

void TVdbFunction::GetInvolvedTables(TVdbRelationSet& RltnIdxs) const {
  for (const auto& A : FArgumentList)
    if (A) A->GetInvolvedTables(RltnIdxs);
}

bool TVdbFunction::IsSyntacticallyEqual(const TVdbFunction& Other) const {
  if (typeid(*this) != typeid(Other) || FArgumentList.size() != Other.FArgumentList.size()) return false;
  for (std::size_t I = 0; I < FArgumentList.size(); ++I)
    if (!BothNullOrEqual(FArgumentList[I], Other.FArgumentList[I])) return false;
  return GetSqlText() == Other.GetSqlText();
}

void TVdbFunction::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  for (auto& A : FArgumentList)
    if (A) A->ReplaceAlias(Alias, InternalName);
}

void TVdbFunction::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                           const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  for (auto& A : FArgumentList)
    if (A) A->Prepare(Context, Options, OuterReferenceCallback);
}

void TVdbFunction::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  for (auto& A : FArgumentList)
    if (A) A->TraverseDepthFirst(Visitor);
}

std::string TVdbFunction::ArgumentsSqlText() const {
  std::string R;
  for (const auto& A : FArgumentList) {
    if (!R.empty()) R += ", ";
    if (A) R += A->GetSqlText();
  }
  return R;
}

// ---------------------------------------------------------------------------------------------
// Simple factors

TVdbSimpleFactor::~TVdbSimpleFactor() = default;

TVdbSimpleFactor::TVdbSimpleFactor(const TVdbSimpleFactor& Other)
    : TVdbFactor(Other),
      FVariables(Other.FVariables),
      FType(Other.FType == sftOuterReference ? sftColumn : Other.FType),
      FColumnNameOrLiteral(Other.FColumnNameOrLiteral),
      FLiteralSize(Other.FLiteralSize),
      FLiteralType(Other.FLiteralType),
      FParameterName(Other.FParameterName),
      FExpression(CloneOrNull(Other.FExpression)),
      FSqlFunction(CloneOrNull(Other.FSqlFunction)) {
  // A copy is prepared on its own: it keeps the syntax, not the resolution.
  FDataType = FType == sftLiteral ? FLiteralType : nullptr;
  FBaseType = FDataType;
}

std::unique_ptr<TVdbSimpleFactor> TVdbSimpleFactor::CreateColumn(std::string Name) {
  auto F = std::make_unique<TVdbSimpleFactor>();
  F->FType = sftColumn;
  F->FColumnNameOrLiteral = std::move(Name);
  return F;
}

std::unique_ptr<TVdbSimpleFactor> TVdbSimpleFactor::CreateLiteral(std::string Text,
                                                                  const TVdbDataType* DataType) {
  auto F = std::make_unique<TVdbSimpleFactor>();
  F->FType = sftLiteral;
  F->FColumnNameOrLiteral = std::move(Text);
  F->FLiteralSize = static_cast<std::int32_t>(F->FColumnNameOrLiteral.size());
  F->FLiteralType = DataType != nullptr ? DataType : TVdbDataType::GetNullType();
  F->FDataType = F->FBaseType = F->FLiteralType;
  return F;
}

std::unique_ptr<TVdbSimpleFactor> TVdbSimpleFactor::CreateStringLiteral(std::string Utf8Text) {
  const std::u16string Units = TkxMemory::Utf8ToUtf16(Utf8Text);
  const bool Wide = std::any_of(Units.begin(), Units.end(), [](char16_t C) { return C >= 0x100; });
  const auto Length = std::max<std::int32_t>(1, static_cast<std::int32_t>(Units.size()));
  const TVdbDataType* Type = TVdbDataType::GetStringType(
      Wide ? kVdbWideStringCode : kVdbStringCode, true, kVdbLiteralLevel,
      std::min(Length, Wide ? kVdbMaxWideLength : kVdbMaxAnsiLength), "");
  auto F = CreateLiteral(std::move(Utf8Text), Type);
  F->FLiteralSize = static_cast<std::int32_t>(Units.size());
  return F;
}

std::unique_ptr<TVdbSimpleFactor> TVdbSimpleFactor::CreateNull() {
  return CreateLiteral({}, TVdbDataType::GetNullType());
}

std::unique_ptr<TVdbSimpleFactor> TVdbSimpleFactor::CreateParameter(std::string Name) {
  auto F = std::make_unique<TVdbSimpleFactor>();
  F->FType = sftParameter;
  F->FParameterName = std::move(Name);
  return F;
}

std::unique_ptr<TVdbSimpleFactor> TVdbSimpleFactor::CreateExpression(std::unique_ptr<TVdbExpression> Expression) {
  auto F = std::make_unique<TVdbSimpleFactor>();
  F->FType = sftExpression;
  F->FExpression = std::move(Expression);
  return F;
}

std::unique_ptr<TVdbSimpleFactor> TVdbSimpleFactor::CreateFunction(std::unique_ptr<TVdbFunction> Function) {
  auto F = std::make_unique<TVdbSimpleFactor>();
  F->FType = sftFunction;
  F->FSqlFunction = std::move(Function);
  return F;
}

void TVdbSimpleFactor::ReplaceLiteralText(std::string Text) {
  FColumnNameOrLiteral = std::move(Text);
  FLiteralSize = static_cast<std::int32_t>(FColumnNameOrLiteral.size());
  FLiteralConverted = false;
  FLiteralValue.Clear();
}

bool TVdbSimpleFactor::GetIsAggregated() const {
  if (FType == sftFunction) return FSqlFunction->GetIsAggregated();
  if (FType == sftExpression) return FExpression->GetIsAggregated();
  return false;
}

bool TVdbSimpleFactor::GetIsConstant() const {
  switch (FType) {
    case sftLiteral:
    case sftParameter: return true;
    case sftFunction: return FSqlFunction->GetIsConstant();
    case sftExpression: return FExpression->GetIsConstant();
    default: return false;
  }
}

std::string TVdbSimpleFactor::GetLiteralValue() const { return FType == sftLiteral ? FColumnNameOrLiteral : std::string(); }

std::string TVdbSimpleFactor::GetLiteralValueAnsi() const {
  if (FType != sftLiteral) return {};
  const auto* S = dynamic_cast<const TVdbStringType*>(FDataType);
  return S != nullptr ? Utf8ToAnsi(FColumnNameOrLiteral, S->CodePage()) : FColumnNameOrLiteral;
}

void TVdbSimpleFactor::GetInvolvedTables(TVdbRelationSet& RltnIdxs) const {
  switch (FType) {
    case sftColumn: AddRelation(RltnIdxs, FColumn.RltnIdx); break;
    case sftFunction: FSqlFunction->GetInvolvedTables(RltnIdxs); break;
    case sftExpression: FExpression->GetInvolvedTables(RltnIdxs); break;
    default: break;
  }
}

void TVdbSimpleFactor::CalculateBase(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  switch (FType) {
    case sftColumn:
      if (FContext == nullptr) throw EVdbEngine(kVdbErrUnknownIdentifier, FColumnNameOrLiteral);
      AddRelation(RltnIdxs, FColumn.RltnIdx);
      if (FColumnType == FBaseType) {
        FContext->ReadColumn(FColumn, Value);
      } else {
        FContext->ReadColumn(FColumn, FColumnValue);
        AssignConverted(Value, FBaseType, FColumnValue, FColumnType);
      }
      return;
    case sftLiteral:
      if (!FLiteralConverted) PrepareLiteral(0);
      FBaseType->CopyTo(FLiteralValue, Value);
      return;
    case sftParameter:
    case sftOuterReference:
      if (FVariable == nullptr || !FVariable->HasValue() || FVariable->DataType() == nullptr)
        throw EVdbEngine(kVdbErrNoValue, ":" + (FType == sftParameter ? FParameterName : FColumnNameOrLiteral));
      AssignConverted(Value, FBaseType, FVariable->Value(), FVariable->DataType());
      return;
    case sftExpression:
      FExpression->Calculate(Value, RltnIdxs);
      return;
    case sftFunction:
      FSqlFunction->DoCalculate(Value, RltnIdxs);
      return;
    case sftUnknown:
      break;
  }
  throw EVdbEngine(kVdbErrNoValue, GetSqlText());
}

std::string TVdbSimpleFactor::GetSqlText() const {
  std::string Body;
  switch (FType) {
    case sftColumn:
    case sftOuterReference: Body = ColumnReferenceSql(FColumnNameOrLiteral); break;
    case sftParameter: Body = ":" + FParameterName; break;
    case sftExpression: Body = "(" + FExpression->GetSqlText() + ")"; break;
    case sftFunction: Body = FSqlFunction->GetSqlText(); break;
    case sftLiteral:
      if (IsNullType(FLiteralType)) Body = "NULL";
      else if (FLiteralType != nullptr && FLiteralType->IsStringType()) Body = SqlString(FColumnNameOrLiteral);
      else if (const char* Keyword = TypedLiteralKeyword(FLiteralType)) Body = std::string(Keyword) + " " + SqlString(FColumnNameOrLiteral);
      else Body = FColumnNameOrLiteral;
      break;
    case sftUnknown: break;
  }
  return SignText() + Body;
}

std::unique_ptr<TVdbFactor> TVdbSimpleFactor::CreateCopy() const {
  return std::unique_ptr<TVdbFactor>(new TVdbSimpleFactor(*this));
}

bool TVdbSimpleFactor::IsSyntacticallyEqual(const TVdbFactor& Other) const {
  const auto* O = dynamic_cast<const TVdbSimpleFactor*>(&Other);
  if (O == nullptr || O->FSign != FSign) return false;
  const bool ColumnLike = FType == sftColumn || FType == sftOuterReference;
  const bool OtherColumnLike = O->FType == sftColumn || O->FType == sftOuterReference;
  if (ColumnLike || OtherColumnLike)
    return ColumnLike && OtherColumnLike && CompareIdentifiers(FColumnNameOrLiteral, O->FColumnNameOrLiteral) == 0;
  if (FType != O->FType) return false;
  switch (FType) {
    case sftLiteral:
      return FColumnNameOrLiteral == O->FColumnNameOrLiteral && (FLiteralType == nullptr) == (O->FLiteralType == nullptr) &&
             (FLiteralType == nullptr || FLiteralType->ColumnType() == O->FLiteralType->ColumnType());
    case sftParameter: return CompareIdentifiers(FParameterName, O->FParameterName) == 0;
    case sftExpression: return FExpression->IsSyntacticallyEqual(*O->FExpression);
    case sftFunction: return FSqlFunction->IsSyntacticallyEqual(*O->FSqlFunction);
    default: return true;
  }
}

void TVdbSimpleFactor::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  if (Alias == InternalName) return;
  switch (FType) {
    case sftColumn:
      if (StartsWithIdentifier(FColumnNameOrLiteral, Alias))
        FColumnNameOrLiteral = InternalName + FColumnNameOrLiteral.substr(Alias.size());
      break;
    case sftExpression: FExpression->ReplaceAlias(Alias, InternalName); break;
    case sftFunction: FSqlFunction->ReplaceAlias(Alias, InternalName); break;
    default: break;
  }
}

const TVdbDataType* TVdbSimpleFactor::ReferenceColumnType() const {
  if (FReference == nullptr || !FReference->IsColumn()) return nullptr;
  return FReference->DataType();
}

void TVdbSimpleFactor::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                               const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  FContext = Context;
  switch (FType) {
    case sftColumn:
    case sftOuterReference:
      PrepareColumn(Context, OuterReferenceCallback);
      break;
    case sftParameter:
      PrepareParameter(Context);
      break;
    case sftLiteral:
      if (!FLiteralConverted) PrepareLiteral(Options);
      break;
    case sftExpression:
      FExpression->Prepare(Context, Options, OuterReferenceCallback);
      SetBaseType(FExpression->DataType());
      break;
    case sftFunction:
      FSqlFunction->Prepare(Context, Options, OuterReferenceCallback);
      SetBaseType(FSqlFunction->ResultType());
      break;
    case sftUnknown:
      break;
  }
}

void TVdbSimpleFactor::PrepareColumn(TVdbExpressionContext* Context,
                                     const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  FType = sftColumn;
  FVariable = nullptr;
  TVdbColumnRef Column;
  if (Context != nullptr && Context->FindColumn(FColumnNameOrLiteral, Column)) {
    FColumn = Column;
    FColumnType = Context->ColumnType(Column);
    SetBaseType(VariableForm(FColumnType));
    return;
  }
  if (OuterReferenceCallback) {
    if (TVdbVariable* V = OuterReferenceCallback(FColumnNameOrLiteral)) {
      FType = sftOuterReference;
      FVariable = V;
      FColumn = {};
      SetBaseType(V->DataType());
      return;
    }
  }
  throw EVdbEngine(kVdbErrUnknownIdentifier, FColumnNameOrLiteral);
}

void TVdbSimpleFactor::PrepareParameter(TVdbExpressionContext* Context) {
  TVdbVariables* Variables = FVariables != nullptr ? FVariables : Context != nullptr ? Context->Parameters() : nullptr;
  if (Variables == nullptr) throw EVdbEngine(kVdbErrUnknownIdentifier, FParameterName);
  FVariable = Variables->Add(FParameterName);
  if (FVariable->DataType() == nullptr) {
    if (const TVdbDataType* Ref = ReferenceColumnType()) FVariable->SetDataType(Ref->GetNullableType(true));
  }
  SetBaseType(FVariable->DataType());
}

void TVdbSimpleFactor::PrepareLiteral(TVdbPrepareOptions) {
  // The text is converted once: to the reference column's type when there is one and it takes
  // the text, else to the type the parser chose.
  const std::optional<std::string_view> Text =
      IsNullType(FLiteralType) ? std::nullopt : std::optional<std::string_view>(FColumnNameOrLiteral);
  if (const TVdbDataType* Ref = ReferenceColumnType()) {
    const TVdbDataType* Target = Ref->GetNullableType(true);
    try {
      TVdbDataValue Converted;
      Target->ConvertFromString(Converted, Text);
      FLiteralValue = std::move(Converted);
      SetBaseType(Target);
      FLiteralConverted = true;
      return;
    } catch (const EConvertError&) {
    } catch (const EVdbEngine&) {
    }
  }
  TVdbDataValue Converted;
  FLiteralType->ConvertFromString(Converted, Text);
  FLiteralValue = std::move(Converted);
  SetBaseType(FLiteralType);
  FLiteralConverted = true;
}

void TVdbSimpleFactor::ResetAggregations() {
  if (FType == sftFunction) FSqlFunction->ResetAggregations();
  if (FType == sftExpression) FExpression->ResetAggregations();
}

void TVdbSimpleFactor::CalcAggregations() {
  if (FType == sftFunction) FSqlFunction->CalcAggregations();
  if (FType == sftExpression) FExpression->CalcAggregations();
}

void TVdbSimpleFactor::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  if (FType == sftFunction) FSqlFunction->TraverseDepthFirst(Visitor);
  if (FType == sftExpression) FExpression->TraverseDepthFirst(Visitor);
}

// ---------------------------------------------------------------------------------------------
// CASE

TVdbSqlCaseOperation::~TVdbSqlCaseOperation() = default;

TVdbSqlCaseOperation::TVdbSqlCaseOperation(const TVdbSqlCaseOperation& Other) : TVdbFactor(Other) {
  for (const auto& C : Other.FWhenConditions) FWhenConditions.push_back(CloneOrNull(C));
  for (const auto& E : Other.FThenExpressions) FThenExpressions.push_back(CloneOrNull(E));
  FDataType = FBaseType = nullptr;
}

void TVdbSqlCaseOperation::AddWhen(std::unique_ptr<TVdbSearchCondition> Condition,
                                   std::unique_ptr<TVdbExpression> Then) {
  // An ELSE given before stays the last expression.
  std::unique_ptr<TVdbExpression> Else;
  if (HasElse()) {
    Else = std::move(FThenExpressions.back());
    FThenExpressions.pop_back();
  }
  FWhenConditions.push_back(std::move(Condition));
  FThenExpressions.push_back(std::move(Then));
  if (Else) FThenExpressions.push_back(std::move(Else));
}

void TVdbSqlCaseOperation::SetElse(std::unique_ptr<TVdbExpression> Else) {
  if (HasElse()) FThenExpressions.back() = std::move(Else);
  else FThenExpressions.push_back(std::move(Else));
}

bool TVdbSqlCaseOperation::GetIsAggregated() const {
  return std::any_of(FWhenConditions.begin(), FWhenConditions.end(), [](const auto& C) { return C->GetIsAggregated(); }) ||
         std::any_of(FThenExpressions.begin(), FThenExpressions.end(), [](const auto& E) { return E->GetIsAggregated(); });
}

void TVdbSqlCaseOperation::GetInvolvedTables(TVdbRelationSet& RltnIdxs) const {
  for (const auto& C : FWhenConditions) C->GetInvolvedTables(RltnIdxs);
  for (const auto& E : FThenExpressions) E->GetInvolvedTables(RltnIdxs);
}

void TVdbSqlCaseOperation::CalculateBase(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  for (std::size_t I = 0; I < FThenExpressions.size(); ++I) {
    if (I < FWhenConditions.size()) {
      TVdbRelationSet Decided;
      const TVdbTruthValue Truth = FWhenConditions[I]->EvaluateTruth(Decided);
      RltnIdxs |= Decided;
      if (Truth != tvTrue) continue;
    }
    TVdbExpression& Then = *FThenExpressions[I];
    Then.Calculate(Then.ResultValue, RltnIdxs);
    if (Then.ResultValue.IsEmpty()) break;
    AssignConverted(Value, FBaseType, Then.ResultValue, Then.DataType());
    return;
  }
  Value.Clear();
}

std::string TVdbSqlCaseOperation::GetSqlText() const {
  std::string R = SignText() + "CASE";
  for (std::size_t I = 0; I < FWhenConditions.size(); ++I)
    R += " WHEN " + FWhenConditions[I]->GetSqlText() + " THEN " + FThenExpressions[I]->GetSqlText();
  if (HasElse()) R += " ELSE " + FThenExpressions.back()->GetSqlText();
  return R + " END";
}

std::unique_ptr<TVdbFactor> TVdbSqlCaseOperation::CreateCopy() const {
  return std::unique_ptr<TVdbFactor>(new TVdbSqlCaseOperation(*this));
}

bool TVdbSqlCaseOperation::IsSyntacticallyEqual(const TVdbFactor& Other) const {
  const auto* O = dynamic_cast<const TVdbSqlCaseOperation*>(&Other);
  if (O == nullptr || O->FSign != FSign || O->FWhenConditions.size() != FWhenConditions.size() ||
      O->FThenExpressions.size() != FThenExpressions.size())
    return false;
  for (std::size_t I = 0; I < FWhenConditions.size(); ++I)
    if (!FWhenConditions[I]->IsSyntacticallyEqual(*O->FWhenConditions[I])) return false;
  for (std::size_t I = 0; I < FThenExpressions.size(); ++I)
    if (!FThenExpressions[I]->IsSyntacticallyEqual(*O->FThenExpressions[I])) return false;
  return true;
}

void TVdbSqlCaseOperation::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  for (auto& C : FWhenConditions) C->ReplaceAlias(Alias, InternalName);
  for (auto& E : FThenExpressions) E->ReplaceAlias(Alias, InternalName);
}

void TVdbSqlCaseOperation::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                   const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  for (auto& C : FWhenConditions) C->Prepare(Context, Options, OuterReferenceCallback);
  const TVdbDataType* Type = nullptr;
  for (auto& E : FThenExpressions) {
    E->Prepare(Context, Options, OuterReferenceCallback);
    if (E->DataType() == nullptr) throw EVdbEngine(kVdbErrUnknownType, E->GetSqlText());
    if (Type == nullptr) {
      Type = E->DataType();
    } else {
      const TVdbDataType* Super = TVdbDataType::GetSuperType(Type, E->DataType());
      if (Super == nullptr)
        throw EVdbEngine(kVdbErrTypeMismatch, E->DataType()->SqlName() + "->" + Type->SqlName());
      Type = Super;
    }
  }
  // Without ELSE the value may stay unset; with a NULL branch it may be NULL.
  SetBaseType(Type);
}

void TVdbSqlCaseOperation::ResetAggregations() {
  for (auto& E : FThenExpressions) E->ResetAggregations();
}

void TVdbSqlCaseOperation::CalcAggregations() {
  for (auto& E : FThenExpressions) E->CalcAggregations();
}

void TVdbSqlCaseOperation::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  for (auto& C : FWhenConditions) C->TraverseDepthFirst(Visitor);
  for (auto& E : FThenExpressions) E->TraverseDepthFirst(Visitor);
}

// ---------------------------------------------------------------------------------------------
// Terms

TVdbTerm::TVdbTerm(std::unique_ptr<TVdbFactor> Factor) : FFactor(std::move(Factor)) {}

TVdbTerm::TVdbTerm(std::unique_ptr<TVdbFactor> Factor, TVdbDataBinaryOperator Operator,
                   std::unique_ptr<TVdbTerm> Term)
    : FFactor(std::move(Factor)), FTerm(std::move(Term)), FOperator(Operator) {}

TVdbTerm::~TVdbTerm() = default;

bool TVdbTerm::GetIsAggregated() const {
  return FFactor->GetIsAggregated() || (FTerm && FTerm->GetIsAggregated());
}

bool TVdbTerm::GetIsConstant() const { return FFactor->GetIsConstant() && (!FTerm || FTerm->GetIsConstant()); }

void TVdbTerm::GetInvolvedTables(TVdbRelationSet& RltnIdxs) const {
  FFactor->GetInvolvedTables(RltnIdxs);
  if (FTerm) FTerm->GetInvolvedTables(RltnIdxs);
}

void TVdbTerm::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                       const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  // The chain is typed step by step from the left, as it is evaluated.
  FStepTypes.clear();
  FFactor->Prepare(Context, Options, OuterReferenceCallback);
  const TVdbDataType* Type = FFactor->DataType();
  FStepTypes.push_back(Type);
  const TVdbTerm* Left = this;
  for (TVdbTerm* Node = FTerm.get(); Node != nullptr; Left = Node, Node = Node->FTerm.get()) {
    Node->FFactor->Prepare(Context, Options, OuterReferenceCallback);
    const TVdbDataType* Right = Node->FFactor->DataType();
    if (Type == nullptr || Right == nullptr) {
      Type = nullptr;
    } else {
      const TVdbDataType* Result = BinaryResultType(Left->FOperator, Type, Right);
      if (Result == nullptr)
        throw EVdbEngine(kVdbErrTypeMismatch, Type->SqlName() + " " + OperatorText(Left->FOperator) + " " + Right->SqlName());
      Type = Result;
    }
    FStepTypes.push_back(Type);
  }
  FStepValues.resize(FStepTypes.size() * 2);
  FDataType = Type;
}

void TVdbTerm::Calculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  if (!FTerm) {
    FFactor->Calculate(Value, RltnIdxs);
    return;
  }
  // Accumulator of step i in FStepValues[2i], operand of step i in FStepValues[2i + 1].
  FFactor->Calculate(FStepValues[0], RltnIdxs);
  std::size_t Step = 0;
  const TVdbTerm* Left = this;
  for (TVdbTerm* Node = FTerm.get(); Node != nullptr; Left = Node, Node = Node->FTerm.get()) {
    ++Step;
    TVdbDataValue& Operand = FStepValues[2 * Step + 1];
    Node->FFactor->Calculate(Operand, RltnIdxs);
    TVdbDataValue& Accumulator = FStepValues[2 * (Step - 1)];
    TVdbDataValue& Result = Node->FTerm ? FStepValues[2 * Step] : Value;
    if (Accumulator.IsEmpty() || Operand.IsEmpty()) {
      Result.Clear();
    } else {
      CalculateBinary(Left->FOperator, Accumulator, FStepTypes[Step - 1], Operand, Node->FFactor->DataType(),
                      Result, FStepTypes[Step]);
    }
  }
}

std::string TVdbTerm::GetSqlText() const {
  std::string R = FFactor->GetSqlText();
  if (FTerm) R += " " + OperatorText(FOperator) + " " + FTerm->GetSqlText();
  return R;
}

std::unique_ptr<TVdbTerm> TVdbTerm::Clone() const {
  auto T = std::make_unique<TVdbTerm>(FFactor->Clone(), FOperator, CloneOrNull(FTerm));
  return T;
}

bool TVdbTerm::IsSyntacticallyEqual(const TVdbTerm& Other) const {
  if (FTerm && FOperator != Other.FOperator) return false;
  return FFactor->IsSyntacticallyEqual(*Other.FFactor) && BothNullOrEqual(FTerm, Other.FTerm);
}

void TVdbTerm::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  FFactor->ReplaceAlias(Alias, InternalName);
  if (FTerm) FTerm->ReplaceAlias(Alias, InternalName);
}

void TVdbTerm::ResetAggregations() {
  FFactor->ResetAggregations();
  if (FTerm) FTerm->ResetAggregations();
}

void TVdbTerm::CalcAggregations() {
  FFactor->CalcAggregations();
  if (FTerm) FTerm->CalcAggregations();
}

void TVdbTerm::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  FFactor->TraverseDepthFirst(Visitor);
  if (FTerm) FTerm->TraverseDepthFirst(Visitor);
}

// ---------------------------------------------------------------------------------------------
// Expressions

TVdbExpression::TVdbExpression(std::unique_ptr<TVdbTerm> Term) : FTerm(std::move(Term)) {}

TVdbExpression::TVdbExpression(std::unique_ptr<TVdbTerm> Term, TVdbDataBinaryOperator Operator,
                               std::unique_ptr<TVdbExpression> Rest)
    : FTerm(std::move(Term)), FExpression(std::move(Rest)), FOperator(Operator) {}

TVdbExpression::~TVdbExpression() = default;

std::unique_ptr<TVdbExpression> TVdbExpression::FromFactor(std::unique_ptr<TVdbFactor> Factor) {
  return std::make_unique<TVdbExpression>(std::make_unique<TVdbTerm>(std::move(Factor)));
}

std::unique_ptr<TVdbExpression> TVdbExpression::FromChain(std::vector<std::unique_ptr<TVdbTerm>> Terms,
                                                          const std::vector<TVdbDataBinaryOperator>& Operators) {
  if (Terms.empty() || Operators.size() + 1 != Terms.size())
    throw std::invalid_argument("TVdbExpression::FromChain: one operator fewer than terms");
  // Built from the right; each stored operator is the written one, inverted after a minus.
  auto Result = std::make_unique<TVdbExpression>(std::move(Terms.back()));
  for (std::size_t I = Operators.size(); I-- > 0;) {
    const bool AfterMinus = I > 0 && Operators[I - 1] == dboMinus;
    Result = std::make_unique<TVdbExpression>(std::move(Terms[I]), AfterMinus ? Inverted(Operators[I]) : Operators[I],
                                              std::move(Result));
  }
  return Result;
}

TVdbFactor* TVdbExpression::SingleFactor() const {
  if (FExpression || FTerm->Term()) return nullptr;
  return FTerm->Factor();
}

bool TVdbExpression::IsBareLiteralOrParameter() const {
  const TVdbFactor* F = SingleFactor();
  return F != nullptr && F->Sign() == sfsNone && (F->GetIsLiteral() || F->GetIsParam());
}

bool TVdbExpression::IsColumn() const {
  const TVdbFactor* F = SingleFactor();
  return F != nullptr && F->Sign() == sfsNone && F->GetIsColumnName();
}

bool TVdbExpression::GetIsAggregated() const {
  return FTerm->GetIsAggregated() || (FExpression && FExpression->GetIsAggregated());
}

bool TVdbExpression::GetIsConstant() const {
  return FTerm->GetIsConstant() && (!FExpression || FExpression->GetIsConstant());
}

void TVdbExpression::GetInvolvedTables(TVdbRelationSet& RltnIdxs) const {
  FTerm->GetInvolvedTables(RltnIdxs);
  if (FExpression) FExpression->GetInvolvedTables(RltnIdxs);
}

void TVdbExpression::Calculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  if (!FExpression) {
    FTerm->Calculate(Value, RltnIdxs);
    return;
  }
  FTerm->Calculate(FIntermediateValue, RltnIdxs);
  FExpression->Calculate(FExpression->ResultValue, RltnIdxs);
  if (FIntermediateValue.IsEmpty() || FExpression->ResultValue.IsEmpty()) {
    Value.Clear();
    return;
  }
  CalculateBinary(FOperator, FIntermediateValue, FTerm->DataType(), FExpression->ResultValue,
                  FExpression->DataType(), Value, FDataType);
}

void TVdbExpression::CalcResult(TVdbRelationSet& RltnIdxs) {
  if (FDataType == nullptr) throw EVdbEngine(kVdbErrNoValue, GetSqlText());
  try {
    Calculate(ResultValue, RltnIdxs);
  } catch (const EVdbFloatOverflow&) {
    throw EVdbEngine(kVdbErrOutOfRange, GetSqlText());
  } catch (const EVdbEngine& E) {
    if (E.Code() == kVdbErrValueOutOfTypeRange) throw EVdbEngine(kVdbErrOutOfRange, GetSqlText());
    throw;
  }
  if (ResultValue.IsEmpty()) throw EVdbEngine(kVdbErrNoValue, GetSqlText());
}

std::string TVdbExpression::ChainSqlText(bool Inverted) const {
  std::string R = FTerm->GetSqlText();
  if (FExpression) {
    const TVdbDataBinaryOperator Written = Inverted ? vdb::Inverted(FOperator) : FOperator;
    R += " " + OperatorText(Written) + " " + FExpression->ChainSqlText(Inverted != (FOperator == dboMinus));
  }
  return R;
}

std::string TVdbExpression::GetSqlText() const { return ChainSqlText(false); }

std::unique_ptr<TVdbExpression> TVdbExpression::Clone() const {
  return std::make_unique<TVdbExpression>(FTerm->Clone(), FOperator, CloneOrNull(FExpression));
}

bool TVdbExpression::IsSyntacticallyEqual(const TVdbExpression& Other) const {
  if (FExpression && FOperator != Other.FOperator) return false;
  return FTerm->IsSyntacticallyEqual(*Other.FTerm) && BothNullOrEqual(FExpression, Other.FExpression);
}

void TVdbExpression::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  FTerm->ReplaceAlias(Alias, InternalName);
  if (FExpression) FExpression->ReplaceAlias(Alias, InternalName);
}

void TVdbExpression::SetReferenceExpression(const TVdbExpression* Reference) {
  if (TVdbFactor* F = SingleFactor()) F->SetReferenceExpression(Reference);
}

void TVdbExpression::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                             const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  FTerm->Prepare(Context, Options, OuterReferenceCallback);
  if (!FExpression) {
    FDataType = FTerm->DataType();
    return;
  }
  FExpression->Prepare(Context, Options, OuterReferenceCallback);
  const TVdbDataType* Left = FTerm->DataType();
  const TVdbDataType* Right = FExpression->DataType();
  if (Left == nullptr || Right == nullptr) {
    FDataType = nullptr;
    return;
  }
  FDataType = BinaryResultType(FOperator, Left, Right);
  if (FDataType == nullptr)
    throw EVdbEngine(kVdbErrTypeMismatch, Left->SqlName() + " " + OperatorText(FOperator) + " " + Right->SqlName());
}

void TVdbExpression::ResetAggregations() {
  FTerm->ResetAggregations();
  if (FExpression) FExpression->ResetAggregations();
}

void TVdbExpression::CalcAggregations() {
  FTerm->CalcAggregations();
  if (FExpression) FExpression->CalcAggregations();
}

void TVdbExpression::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  FTerm->TraverseDepthFirst(Visitor);
  if (FExpression) FExpression->TraverseDepthFirst(Visitor);
}

// ---------------------------------------------------------------------------------------------
// Value sets

TVdbSqlValueSet::~TVdbSqlValueSet() = default;

void TVdbSqlValueSet::Add(std::unique_ptr<TVdbExpression> Expression) { FExpressions.push_back(std::move(Expression)); }

std::string TVdbSqlValueSet::GetSqlText() const {
  std::string R = "(";
  for (std::size_t I = 0; I < FExpressions.size(); ++I) R += (I ? ", " : "") + FExpressions[I]->GetSqlText();
  return R + ")";
}

std::unique_ptr<TVdbSqlValueSet> TVdbSqlValueSet::Clone() const {
  auto S = std::make_unique<TVdbSqlValueSet>();
  for (const auto& E : FExpressions) S->Add(E->Clone());
  return S;
}

bool TVdbSqlValueSet::IsSyntacticallyEqual(const TVdbSqlValueSet& Other) const {
  if (FExpressions.size() != Other.FExpressions.size()) return false;
  for (std::size_t I = 0; I < FExpressions.size(); ++I)
    if (!FExpressions[I]->IsSyntacticallyEqual(*Other.FExpressions[I])) return false;
  return true;
}

void TVdbSqlValueSet::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  for (auto& E : FExpressions) E->TraverseDepthFirst(Visitor);
}

// ---------------------------------------------------------------------------------------------
// Boolean factors

TVdbBooleanFactor::~TVdbBooleanFactor() = default;

TVdbBooleanFactor::TVdbBooleanFactor(const TVdbBooleanFactor& Other)
    : TVdbSyntaxNode(),
      FExpressionRight(CloneOrNull(Other.FExpressionRight)),
      FExpressionRightEx(CloneOrNull(Other.FExpressionRightEx)),
      FValueSet(CloneOrNull(Other.FValueSet)),
      FSearchCondition(CloneOrNull(Other.FSearchCondition)),
      FOptions(Other.FOptions),
      FIsNot(Other.FIsNot),
      FComparisonOperator(Other.FComparisonOperator),
      FLikeEscapeChar(Other.FLikeEscapeChar),
      FExpressionLeft(CloneOrNull(Other.FExpressionLeft)) {}

std::unique_ptr<TVdbBooleanFactor> TVdbBooleanFactor::CreateComparison(std::unique_ptr<TVdbExpression> Left,
                                                                       TVdbComparisonOperator Operator,
                                                                       std::unique_ptr<TVdbExpression> Right) {
  auto F = std::make_unique<TVdbBooleanFactor>();
  F->FExpressionLeft = std::move(Left);
  F->FComparisonOperator = Operator;
  F->FExpressionRight = std::move(Right);
  return F;
}

std::unique_ptr<TVdbBooleanFactor> TVdbBooleanFactor::CreateNullTest(std::unique_ptr<TVdbExpression> Left,
                                                                     bool IsNotNull) {
  auto F = std::make_unique<TVdbBooleanFactor>();
  F->FExpressionLeft = std::move(Left);
  F->FComparisonOperator = IsNotNull ? tcoIsNotNull : tcoIsNull;
  return F;
}

std::unique_ptr<TVdbBooleanFactor> TVdbBooleanFactor::CreateBetween(std::unique_ptr<TVdbExpression> Left,
                                                                    std::unique_ptr<TVdbExpression> Lower,
                                                                    std::unique_ptr<TVdbExpression> Upper) {
  auto F = CreateComparison(std::move(Left), tcoBetween, std::move(Upper));
  F->FExpressionRightEx = std::move(Lower);
  return F;
}

std::unique_ptr<TVdbBooleanFactor> TVdbBooleanFactor::CreateIn(std::unique_ptr<TVdbExpression> Left,
                                                               std::unique_ptr<TVdbSqlValueSet> Values) {
  auto F = std::make_unique<TVdbBooleanFactor>();
  F->FExpressionLeft = std::move(Left);
  F->FComparisonOperator = tcoIn;
  F->FValueSet = std::move(Values);
  return F;
}

std::unique_ptr<TVdbBooleanFactor> TVdbBooleanFactor::CreateParenthesized(std::unique_ptr<TVdbSearchCondition> Condition) {
  auto F = std::make_unique<TVdbBooleanFactor>();
  F->FSearchCondition = std::move(Condition);
  return F;
}

std::unique_ptr<TVdbSearchCondition> TVdbBooleanFactor::ExtractSearchCondition() { return std::move(FSearchCondition); }

std::string TVdbBooleanFactor::GetSqlText() const {
  std::string R;
  if (FSearchCondition) {
    R = "(" + FSearchCondition->GetSqlText() + ")";
  } else {
    auto Text = [](const std::unique_ptr<TVdbExpression>& E) { return E ? E->GetSqlText() : std::string(); };
    const std::string Left = Text(FExpressionLeft);
    switch (FComparisonOperator) {
      case tcoIsNull:
      case tcoIsNotNull:
        R = Left + " " + ComparisonOperatorText(FComparisonOperator);
        break;
      case tcoBetween:
        R = Left + " BETWEEN " + Text(FExpressionRightEx) + " AND " + Text(FExpressionRight);
        break;
      case tcoIn:
        R = Left + " IN " + (FValueSet ? FValueSet->GetSqlText() : std::string("()"));
        break;
      case tcoEqualNull: {
        const std::string Right = Text(FExpressionRight);
        R = "(" + Left + " = " + Right + " OR (" + Left + " IS NULL AND " + Right + " IS NULL))";
        break;
      }
      default:
        R = Left + " " + ComparisonOperatorText(FComparisonOperator) + " " + Text(FExpressionRight);
        if (FComparisonOperator == tcoLike && FLikeEscapeChar != 0)
          R += " ESCAPE " + SqlString(TkxMemory::Utf16ToUtf8(std::u16string(1, FLikeEscapeChar)));
        break;
    }
  }
  return FIsNot ? "NOT " + R : R;
}

bool TVdbBooleanFactor::Evaluate() {
  TVdbRelationSet Ignored;
  return EvaluateTruth(Ignored) == tvTrue;
}

TVdbTruthValue TVdbBooleanFactor::EvaluateTruth(TVdbRelationSet& RltnIdxs) {
  RltnIdxs.reset();
  TVdbTruthValue Result;
  if (FSearchCondition) Result = FSearchCondition->EvaluateTruth(RltnIdxs);
  else Result = EvaluateOperator(RltnIdxs);
  return FIsNot ? TruthNot(Result) : Result;
}

void TVdbBooleanFactor::CalcSide(TVdbExpression& Side, TVdbRelationSet& RltnIdxs) { Side.CalcResult(RltnIdxs); }

TVdbTruthValue TVdbBooleanFactor::EvaluateOperator(TVdbRelationSet& RltnIdxs) {
  switch (FComparisonOperator) {
    case tcoIsNull:
    case tcoIsNotNull: {
      CalcSide(*FExpressionLeft, RltnIdxs);
      const bool Null = IsNullValue(FExpressionLeft->ResultValue, FExpressionLeft->DataType());
      return TruthOf(Null == (FComparisonOperator == tcoIsNull));
    }
    case tcoIn:
      return EvaluateIn(RltnIdxs);
    case tcoBetween:
      return EvaluateBetween(RltnIdxs);
    case tcoLike:
      CalcSide(*FExpressionLeft, RltnIdxs);
      CalcSide(*FExpressionRight, RltnIdxs);
      return EvaluateLike();
    case tcoHas:
      CalcSide(*FExpressionLeft, RltnIdxs);
      CalcSide(*FExpressionRight, RltnIdxs);
      return EvaluateHas();
    case tcoEqual:
    case tcoEqualNull:
    case tcoUnequal:
    case tcoLess:
    case tcoLessOrEqual:
    case tcoGreater:
    case tcoGreaterOrEqual:
      CalcSide(*FExpressionLeft, RltnIdxs);
      CalcSide(*FExpressionRight, RltnIdxs);
      return CompareValues(*FExpressionLeft, *FExpressionRight, FComparisonOperator);
    case tcoContains:
    case tcoFullTextRank:
      throw EVdbEngine(kVdbErrUnknown, "Not yet implemented");
    default:
      break;
  }
  throw EVdbEngine(kVdbErrInvalidSearchCondition, GetSqlText());
}

TVdbTruthValue TVdbBooleanFactor::CompareValues(const TVdbExpression& Left, const TVdbExpression& Right,
                                                TVdbComparisonOperator Operator) const {
  const TVdbDataType* LT = FCompareType != nullptr && &Left == FExpressionLeft.get() ? FCompareType : Left.DataType();
  const TVdbDataType* RT = Right.DataType();
  const bool LeftNull = IsNullValue(Left.ResultValue, LT);
  const bool RightNull = IsNullValue(Right.ResultValue, RT);
  if (LeftNull || RightNull) {
    if (Operator == tcoEqualNull) return TruthOf(LeftNull && RightNull);
    return tvUnknown;
  }
  int R;
  try {
    R = TVdbDataType::Compare(Left.ResultValue, Right.ResultValue, 0, LT, RT);
  } catch (const EVdbDataError& E) {
    throw EVdbEngine(kVdbErrInternalSignal, E.what());
  }
  if (R == kVdbCmpNull) return Operator == tcoEqualNull ? tvFalse : tvUnknown;
  switch (Operator) {
    case tcoEqual:
    case tcoEqualNull: return TruthOf(R == kVdbCmpEqual);
    case tcoUnequal: return TruthOf(R != kVdbCmpEqual);
    case tcoLess: return TruthOf(R == kVdbCmpLess);
    case tcoLessOrEqual: return TruthOf(R != kVdbCmpGreater);
    case tcoGreater: return TruthOf(R == kVdbCmpGreater);
    case tcoGreaterOrEqual: return TruthOf(R != kVdbCmpLess);
    default: break;
  }
  throw EVdbEngine(kVdbErrInternalSignal, "comparison");
}

TVdbTruthValue TVdbBooleanFactor::EvaluateLike() {
  const TVdbExpression& L = *FExpressionLeft;
  const TVdbExpression& R = *FExpressionRight;
  // LIKE never yields UNKNOWN: a NULL value or pattern does not match.
  if (IsNullValue(L.ResultValue, L.DataType()) || IsNullValue(R.ResultValue, R.DataType())) return tvFalse;
  const auto* S = static_cast<const TVdbStringType*>(FCompareType != nullptr ? FCompareType : L.DataType());
  const int Escape = FLikeEscapeChar != 0 ? static_cast<int>(FLikeEscapeChar) : -1;
  return TruthOf(S->Matches(L.ResultValue, R.ResultValue, R.DataType(), Escape, u'_', u'%'));
}

TVdbTruthValue TVdbBooleanFactor::EvaluateHas() {
  const TVdbExpression& L = *FExpressionLeft;
  const TVdbExpression& R = *FExpressionRight;
  if (IsNullValue(L.ResultValue, L.DataType()) || IsNullValue(R.ResultValue, R.DataType())) return tvFalse;
  const std::u16string Text = L.DataType()->GetWideString(L.ResultValue);
  const std::u16string Part = R.DataType()->GetWideString(R.ResultValue);
  return TruthOf(Text.find(Part) != std::u16string::npos);
}

TVdbTruthValue TVdbBooleanFactor::EvaluateIn(TVdbRelationSet& RltnIdxs) {
  CalcSide(*FExpressionLeft, RltnIdxs);
  TVdbTruthValue Result = tvFalse;
  if (!FValueSet) return Result;
  for (auto& Item : FValueSet->FExpressions) {
    CalcSide(*Item, RltnIdxs);
    Result = CompareValues(*FExpressionLeft, *Item, tcoEqual);
    if (Result == tvTrue) break;
  }
  return Result;
}

TVdbTruthValue TVdbBooleanFactor::EvaluateBetween(TVdbRelationSet& RltnIdxs) {
  CalcSide(*FExpressionLeft, RltnIdxs);
  CalcSide(*FExpressionRight, RltnIdxs);
  const TVdbTruthValue Upper = CompareValues(*FExpressionLeft, *FExpressionRight, tcoLessOrEqual);
  if (Upper != tvTrue) return Upper;
  CalcSide(*FExpressionRightEx, RltnIdxs);
  return CompareValues(*FExpressionLeft, *FExpressionRightEx, tcoGreaterOrEqual);
}

std::unique_ptr<TVdbBooleanFactor> TVdbBooleanFactor::CreateCopy() const {
  return std::unique_ptr<TVdbBooleanFactor>(new TVdbBooleanFactor(*this));
}

void TVdbBooleanFactor::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  for (auto* E : {FExpressionLeft.get(), FExpressionRight.get(), FExpressionRightEx.get()})
    if (E) E->ReplaceAlias(Alias, InternalName);
  if (FValueSet)
    for (auto& E : FValueSet->FExpressions) E->ReplaceAlias(Alias, InternalName);
  if (FSearchCondition) FSearchCondition->ReplaceAlias(Alias, InternalName);
}

void TVdbBooleanFactor::PrepareSides(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                     const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  std::vector<TVdbExpression*> Others;
  if (FExpressionRight) Others.push_back(FExpressionRight.get());
  if (FExpressionRightEx) Others.push_back(FExpressionRightEx.get());
  if (FValueSet)
    for (auto& E : FValueSet->FExpressions) Others.push_back(E.get());

  // Sides that are expressions of their own first; a bare literal or parameter then takes the
  // other side's type (the left side takes the first other side).
  TVdbExpression* Left = FExpressionLeft.get();
  const bool LeftBare = Left->IsBareLiteralOrParameter();
  if (!LeftBare) Left->Prepare(Context, Options, OuterReferenceCallback);
  for (TVdbExpression* E : Others)
    if (!E->IsBareLiteralOrParameter()) E->Prepare(Context, Options, OuterReferenceCallback);
  if (LeftBare) {
    if (!Others.empty()) Left->SetReferenceExpression(Others.front());
    Left->Prepare(Context, Options, OuterReferenceCallback);
  }
  if (HasPrepareOption(Options, tpoUseJokers)) ApplyJokers();
  for (TVdbExpression* E : Others) {
    if (!E->IsBareLiteralOrParameter()) continue;
    E->SetReferenceExpression(Left);
    E->Prepare(Context, Options, OuterReferenceCallback);
  }
}

void TVdbBooleanFactor::ApplyJokers() {
  // col = 'abc*' means col LIKE 'abc%'.
  if (FComparisonOperator != tcoEqual || !FExpressionLeft->IsColumn() || !FExpressionRight) return;
  const TVdbDataType* LT = FExpressionLeft->DataType();
  if (LT == nullptr || !LT->IsStringType()) return;
  auto* F = dynamic_cast<TVdbSimpleFactor*>(FExpressionRight->SingleFactor());
  if (F == nullptr || !F->GetIsLiteral() || F->Sign() != sfsNone) return;
  const std::string& Text = F->ColumnNameOrLiteral();
  if (Text.empty() || Text.back() != '*') return;
  F->ReplaceLiteralText(Text.substr(0, Text.size() - 1) + "%");
  FComparisonOperator = tcoLike;
}

void TVdbBooleanFactor::CheckSideTypes() const {
  std::vector<const TVdbExpression*> Sides{FExpressionLeft.get()};
  if (FExpressionRight) Sides.push_back(FExpressionRight.get());
  if (FExpressionRightEx) Sides.push_back(FExpressionRightEx.get());
  if (FValueSet)
    for (const auto& E : FValueSet->FExpressions) Sides.push_back(E.get());
  for (const TVdbExpression* S : Sides)
    if (S->DataType() == nullptr) throw EVdbEngine(kVdbErrUnknownType, S->GetSqlText());

  const TVdbDataType* LT = FExpressionLeft->DataType();
  if (FComparisonOperator == tcoLike || FComparisonOperator == tcoHas || FComparisonOperator == tcoContains) {
    for (const TVdbExpression* S : Sides) {
      const TVdbDataType* T = S->DataType();
      if (!T->IsStringType() && !IsNullType(T)) throw EVdbEngine(kVdbErrTypeMismatch, T->SqlName() + "-> String");
    }
    return;
  }
  if (FComparisonOperator == tcoIsNull || FComparisonOperator == tcoIsNotNull) return;
  for (std::size_t I = 1; I < Sides.size(); ++I) {
    const TVdbDataType* RT = Sides[I]->DataType();
    if (!IsNullType(LT) && !IsNullType(RT) && !TVdbDataType::CanCompare(LT, RT))
      throw EVdbEngine(kVdbErrTypeMismatch, RT->SqlName() + "->" + LT->SqlName());
  }
}

void TVdbBooleanFactor::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  FOptions = Options;
  if (FSearchCondition) {
    FSearchCondition->Prepare(Context, Options, OuterReferenceCallback);
    return;
  }
  // A factor that lacks a side its operator needs is no valid condition.
  const bool NeedsRight = FComparisonOperator != tcoIsNull && FComparisonOperator != tcoIsNotNull &&
                          FComparisonOperator != tcoIn;
  if (!FExpressionLeft || (NeedsRight && !FExpressionRight) || (FComparisonOperator == tcoBetween && !FExpressionRightEx) ||
      FComparisonOperator == tcoNone || FComparisonOperator == tcoExists)
    throw EVdbEngine(kVdbErrInvalidSearchCondition, GetSqlText());
  PrepareSides(Context, Options, OuterReferenceCallback);
  CheckSideTypes();
  FCompareType = HasPrepareOption(Options, tpoCaseInsensitive) ? CaseInsensitiveVariant(FExpressionLeft->DataType())
                                                                : nullptr;
}

void TVdbBooleanFactor::Normalize() {
  if (FSearchCondition) FSearchCondition->Optimize();
}

bool TVdbBooleanFactor::IsSyntacticallyEqual(const TVdbBooleanFactor& Other) const {
  if (typeid(*this) != typeid(Other)) return false;
  return FIsNot == Other.FIsNot && FComparisonOperator == Other.FComparisonOperator &&
         FLikeEscapeChar == Other.FLikeEscapeChar && BothNullOrEqual(FExpressionLeft, Other.FExpressionLeft) &&
         BothNullOrEqual(FExpressionRight, Other.FExpressionRight) &&
         BothNullOrEqual(FExpressionRightEx, Other.FExpressionRightEx) && BothNullOrEqual(FValueSet, Other.FValueSet) &&
         BothNullOrEqual(FSearchCondition, Other.FSearchCondition);
}

bool TVdbBooleanFactor::GetIsAggregated() const {
  for (const auto* E : {FExpressionLeft.get(), FExpressionRight.get(), FExpressionRightEx.get()})
    if (E && E->GetIsAggregated()) return true;
  if (FValueSet)
    for (const auto& E : FValueSet->FExpressions)
      if (E->GetIsAggregated()) return true;
  return FSearchCondition && FSearchCondition->GetIsAggregated();
}

void TVdbBooleanFactor::GetInvolvedTables(TVdbRelationSet& RltnIdxs) const {
  for (const auto* E : {FExpressionLeft.get(), FExpressionRight.get(), FExpressionRightEx.get()})
    if (E) E->GetInvolvedTables(RltnIdxs);
  if (FValueSet)
    for (const auto& E : FValueSet->FExpressions) E->GetInvolvedTables(RltnIdxs);
  if (FSearchCondition) FSearchCondition->GetInvolvedTables(RltnIdxs);
}

void TVdbBooleanFactor::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  if (FExpressionLeft) FExpressionLeft->TraverseDepthFirst(Visitor);
  if (FExpressionRightEx) FExpressionRightEx->TraverseDepthFirst(Visitor);
  if (FExpressionRight) FExpressionRight->TraverseDepthFirst(Visitor);
  if (FValueSet) FValueSet->TraverseDepthFirst(Visitor);
  if (FSearchCondition) FSearchCondition->TraverseDepthFirst(Visitor);
}

// ---------------------------------------------------------------------------------------------
// Boolean terms (AND)

TVdbBooleanTerm::TVdbBooleanTerm(std::unique_ptr<TVdbBooleanFactor> Factor, std::unique_ptr<TVdbBooleanTerm> Term)
    : FBooleanFactor(std::move(Factor)), FBooleanTerm(std::move(Term)) {}

TVdbBooleanTerm::~TVdbBooleanTerm() = default;

TVdbTruthValue TVdbBooleanTerm::EvaluateTruth(TVdbRelationSet& RltnIdxs) {
  const TVdbTruthValue First = FBooleanFactor->EvaluateTruth(RltnIdxs);
  if (First == tvFalse || !FBooleanTerm) return First;
  TVdbRelationSet RestSet;
  const TVdbTruthValue Rest = FBooleanTerm->EvaluateTruth(RestSet);
  if (Rest == tvFalse) RltnIdxs = RestSet;
  else RltnIdxs |= RestSet;
  return Rest != tvTrue ? Rest : First;
}

std::string TVdbBooleanTerm::GetSqlText() const {
  std::string R = FBooleanFactor->GetSqlText();
  if (FBooleanTerm) R += " AND " + FBooleanTerm->GetSqlText();
  return R;
}

std::unique_ptr<TVdbBooleanTerm> TVdbBooleanTerm::Clone() const {
  return std::make_unique<TVdbBooleanTerm>(FBooleanFactor->Clone(), CloneOrNull(FBooleanTerm));
}

bool TVdbBooleanTerm::IsSyntacticallyEqual(const TVdbBooleanTerm& Other) const {
  return FBooleanFactor->IsSyntacticallyEqual(*Other.FBooleanFactor) && BothNullOrEqual(FBooleanTerm, Other.FBooleanTerm);
}

void TVdbBooleanTerm::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  FBooleanFactor->ReplaceAlias(Alias, InternalName);
  if (FBooleanTerm) FBooleanTerm->ReplaceAlias(Alias, InternalName);
}

void TVdbBooleanTerm::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                              const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  FBooleanFactor->Prepare(Context, Options, OuterReferenceCallback);
  if (FBooleanTerm) FBooleanTerm->Prepare(Context, Options, OuterReferenceCallback);
}

void TVdbBooleanTerm::Normalize() {
  FBooleanFactor->Normalize();
  if (FBooleanTerm) FBooleanTerm->Normalize();
  TVdbSearchCondition* Inner = FBooleanFactor->SearchCondition();
  if (Inner == nullptr || Inner->SearchCondition() != nullptr || Inner->BooleanTerm()->BooleanTerm() != nullptr)
    return;
  if (typeid(*FBooleanFactor) != typeid(TVdbBooleanFactor)) return;
  const bool OuterNot = FBooleanFactor->IsNot();
  std::unique_ptr<TVdbSearchCondition> Condition = FBooleanFactor->ExtractSearchCondition();
  std::unique_ptr<TVdbBooleanFactor> Factor = Condition->BooleanTerm()->ExtractBooleanFactor();
  Factor->SetIsNot(Factor->IsNot() != OuterNot);
  FBooleanFactor = std::move(Factor);
}

bool TVdbBooleanTerm::GetIsAggregated() const {
  return FBooleanFactor->GetIsAggregated() || (FBooleanTerm && FBooleanTerm->GetIsAggregated());
}

void TVdbBooleanTerm::GetInvolvedTables(TVdbRelationSet& RltnIdxs) const {
  FBooleanFactor->GetInvolvedTables(RltnIdxs);
  if (FBooleanTerm) FBooleanTerm->GetInvolvedTables(RltnIdxs);
}

void TVdbBooleanTerm::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  FBooleanFactor->TraverseDepthFirst(Visitor);
  if (FBooleanTerm) FBooleanTerm->TraverseDepthFirst(Visitor);
}

// ---------------------------------------------------------------------------------------------
// Search conditions (OR)

TVdbSearchCondition::TVdbSearchCondition(std::unique_ptr<TVdbBooleanTerm> Term,
                                         std::unique_ptr<TVdbSearchCondition> Condition)
    : FBooleanTerm(std::move(Term)), FSearchCondition(std::move(Condition)) {}

TVdbSearchCondition::~TVdbSearchCondition() = default;

std::unique_ptr<TVdbSearchCondition> TVdbSearchCondition::FromFactor(std::unique_ptr<TVdbBooleanFactor> Factor) {
  return std::make_unique<TVdbSearchCondition>(std::make_unique<TVdbBooleanTerm>(std::move(Factor)));
}

TVdbTruthValue TVdbSearchCondition::EvaluateTruth(TVdbRelationSet& RltnIdxs) {
  const TVdbTruthValue First = FBooleanTerm->EvaluateTruth(RltnIdxs);
  if (First == tvTrue || !FSearchCondition) return First;
  TVdbRelationSet RestSet;
  const TVdbTruthValue Rest = FSearchCondition->EvaluateTruth(RestSet);
  if (Rest == tvTrue) RltnIdxs = RestSet;
  else RltnIdxs |= RestSet;
  return Rest != tvFalse ? Rest : First;
}

TVdbTruth TVdbSearchCondition::EvaluateTruth() {
  TVdbTruth R;
  R.Value = EvaluateTruth(R.Relations);
  return R;
}

bool TVdbSearchCondition::Evaluate() {
  TVdbRelationSet Ignored;
  return EvaluateTruth(Ignored) == tvTrue;
}

std::string TVdbSearchCondition::GetSqlText() const {
  std::string R = FBooleanTerm->GetSqlText();
  if (FSearchCondition) R += " OR " + FSearchCondition->GetSqlText();
  return R;
}

std::unique_ptr<TVdbSearchCondition> TVdbSearchCondition::Clone() const {
  return std::make_unique<TVdbSearchCondition>(FBooleanTerm->Clone(), CloneOrNull(FSearchCondition));
}

bool TVdbSearchCondition::IsSyntacticallyEqual(const TVdbSearchCondition& Other) const {
  return FBooleanTerm->IsSyntacticallyEqual(*Other.FBooleanTerm) &&
         BothNullOrEqual(FSearchCondition, Other.FSearchCondition);
}

void TVdbSearchCondition::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  FBooleanTerm->ReplaceAlias(Alias, InternalName);
  if (FSearchCondition) FSearchCondition->ReplaceAlias(Alias, InternalName);
}

void TVdbSearchCondition::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                  const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  FBooleanTerm->Prepare(Context, Options, OuterReferenceCallback);
  if (FSearchCondition) FSearchCondition->Prepare(Context, Options, OuterReferenceCallback);
}

void TVdbSearchCondition::Optimize() {
  FBooleanTerm->Normalize();
  if (FSearchCondition) FSearchCondition->Optimize();
  UnwrapLoneParenthesis();
  MergeNullEqual();
}

void TVdbSearchCondition::UnwrapLoneParenthesis() {
  if (FSearchCondition || FBooleanTerm->BooleanTerm()) return;
  TVdbBooleanFactor* Factor = FBooleanTerm->BooleanFactor();
  if (Factor->IsNot() || Factor->SearchCondition() == nullptr || typeid(*Factor) != typeid(TVdbBooleanFactor))
    return;
  std::unique_ptr<TVdbSearchCondition> Inner = Factor->ExtractSearchCondition();
  FBooleanTerm = std::move(Inner->FBooleanTerm);
  FSearchCondition = std::move(Inner->FSearchCondition);
}

namespace {

// x IS NULL without NOT: the tested expression; else nullptr.
const TVdbExpression* NullTested(const TVdbBooleanFactor* Factor) {
  if (Factor == nullptr || typeid(*Factor) != typeid(TVdbBooleanFactor) || Factor->IsNot() ||
      Factor->ComparisonOperator() != tcoIsNull)
    return nullptr;
  return Factor->ExpressionLeft();
}

}  // namespace

void TVdbSearchCondition::MergeNullEqual() {
  // x = y OR (x IS NULL AND y IS NULL), also NOT x != y, with the IS NULL tests in either order.
  if (!FSearchCondition || FBooleanTerm->BooleanTerm()) return;
  TVdbBooleanFactor* Equal = FBooleanTerm->BooleanFactor();
  if (typeid(*Equal) != typeid(TVdbBooleanFactor)) return;
  const bool IsEqual = (Equal->ComparisonOperator() == tcoEqual && !Equal->IsNot()) ||
                       (Equal->ComparisonOperator() == tcoUnequal && Equal->IsNot());
  if (!IsEqual || !Equal->ExpressionLeft() || !Equal->ExpressionRight()) return;
  const TVdbSearchCondition* Rest = FSearchCondition.get();
  if (Rest->FSearchCondition) return;
  const TVdbBooleanTerm* Chain = Rest->FBooleanTerm.get();
  if (Chain->BooleanTerm() == nullptr || Chain->BooleanTerm()->BooleanTerm() != nullptr) return;
  const TVdbExpression* A = NullTested(Chain->BooleanFactor());
  const TVdbExpression* B = NullTested(Chain->BooleanTerm()->BooleanFactor());
  if (A == nullptr || B == nullptr) return;
  const TVdbExpression& X = *Equal->ExpressionLeft();
  const TVdbExpression& Y = *Equal->ExpressionRight();
  const bool Match = (X.IsSyntacticallyEqual(*A) && Y.IsSyntacticallyEqual(*B)) ||
                     (X.IsSyntacticallyEqual(*B) && Y.IsSyntacticallyEqual(*A));
  if (!Match) return;
  Equal->SetComparisonOperator(tcoEqualNull);
  Equal->SetIsNot(false);
  FSearchCondition.reset();
}

bool TVdbSearchCondition::GetIsAggregated() const {
  return FBooleanTerm->GetIsAggregated() || (FSearchCondition && FSearchCondition->GetIsAggregated());
}

void TVdbSearchCondition::GetInvolvedTables(TVdbRelationSet& RltnIdxs) const {
  FBooleanTerm->GetInvolvedTables(RltnIdxs);
  if (FSearchCondition) FSearchCondition->GetInvolvedTables(RltnIdxs);
}

void TVdbSearchCondition::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  FBooleanTerm->TraverseDepthFirst(Visitor);
  if (FSearchCondition) FSearchCondition->TraverseDepthFirst(Visitor);
}

// ---------------------------------------------------------------------------------------------
// Sub-query comparisons

TVdbSqlSubQueryComparison::~TVdbSqlSubQueryComparison() = default;

void TVdbSqlSubQueryComparison::SetSubResultSet(TVdbRelation* ResultSet, std::int16_t IndexNo,
                                                TLookupHandler Lookup, TRowCountHandler RowCount) {
  FSubResultSet = ResultSet;
  FSubResultSetIndexNo = IndexNo;
  FLookup = std::move(Lookup);
  FRowCount = std::move(RowCount);
  if (ResultSet == nullptr) return;
  if (!FLookup)
    FLookup = [ResultSet, IndexNo](const TVdbDataValue& Value, const TVdbDataType* Type) {
      return LookupInResult(*ResultSet, IndexNo, Value, Type);
    };
  if (!FRowCount) FRowCount = [ResultSet]() -> std::int64_t { return ResultSet->RecordCount(); };
}

bool TVdbSqlSubQueryComparison::LookupInResult(TVdbRelation& ResultSet, std::int16_t IndexNo,
                                               const TVdbDataValue& Value, const TVdbDataType* Type) {
  const TVdbDataType* First = ResultSet.GetDataType(1);
  if (!TVdbDataType::CanConvert(Type, First, true)) return false;
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(std::max(ResultSet.RecordSize(), 1)));
  CheckRelationResult(ResultSet, ResultSet.InitRecord(Record.data(), false));
  try {
    ResultSet.SetValue(Record.data(), 1, Value, Type);
  } catch (const EConvertError&) {
    return false;
  } catch (const EVdbEngine&) {
    return false;
  }
  const TVdbSortDef* Def = ResultSet.GetIndexDefinition(IndexNo);
  if (Def == nullptr) {
    CheckRelationResult(ResultSet, ResultSet.CheckIndexOpen(IndexNo));
    Def = ResultSet.GetIndexDefinition(IndexNo);
    if (Def == nullptr) throw EVdbEngine(kVdbErrIndexCorrupt, std::to_string(IndexNo));
  }
  auto Search = std::make_unique<TVdbLongIndexInfo>();
  auto Found = std::make_unique<TVdbLongIndexInfo>();
  ResultSet.CalcIndexInfo(Record.data(), *Def, *Search, 0);
  const std::int16_t Result = ResultSet.FindSortInfo(IndexNo, *Search, *Found);
  CheckRelationResult(ResultSet, Result);
  return Result == 3;
}

std::string TVdbSqlSubQueryComparison::GetSqlText() const {
  std::string R;
  if (FComparisonOperator == tcoExists) {
    R = "EXISTS (<sub-query>)";
  } else {
    R = (FExpressionLeft ? FExpressionLeft->GetSqlText() : std::string()) + " " +
        (FComparisonOperator == tcoIn ? std::string("IN") : ComparisonOperatorText(FComparisonOperator)) +
        (FIsAll ? " ALL" : FComparisonOperator == tcoIn ? "" : " ANY") + " (<sub-query>)";
  }
  return FIsNot ? "NOT " + R : R;
}

TVdbTruthValue TVdbSqlSubQueryComparison::EvaluateTruth(TVdbRelationSet& RltnIdxs) {
  RltnIdxs.reset();
  if (FRecalc) FRecalc();
  TVdbTruthValue Result;
  if (FComparisonOperator == tcoExists) {
    if (!FRowCount) throw EVdbEngine(kVdbErrInvalidSearchCondition, GetSqlText());
    Result = TruthOf(FRowCount() > 0);
  } else if (FComparisonOperator == tcoIn) {
    if (!FLookup) throw EVdbEngine(kVdbErrInvalidSearchCondition, GetSqlText());
    CalcSide(*FExpressionLeft, RltnIdxs);
    if (IsNullValue(FExpressionLeft->ResultValue, FExpressionLeft->DataType())) return tvUnknown;
    Result = TruthOf(FLookup(FExpressionLeft->ResultValue, FExpressionLeft->DataType()));
  } else {
    if (!FQuantified) throw EVdbEngine(kVdbErrNotSupported, "ALL, ANY or SOME with a sub-query");
    CalcSide(*FExpressionLeft, RltnIdxs);
    Result = FQuantified(FExpressionLeft->ResultValue, FExpressionLeft->DataType(), FComparisonOperator, FIsAll);
  }
  return FIsNot ? TruthNot(Result) : Result;
}

std::unique_ptr<TVdbBooleanFactor> TVdbSqlSubQueryComparison::CreateCopy() const {
  // The copy gets a copy of the sub-query: a copied condition must still be complete.
  auto C = std::make_unique<TVdbSqlSubQueryComparison>();
  if (FSubQuery) C->FSubQuery = FSubQuery->CloneNode();
  C->FExpressionLeft = CloneOrNull(FExpressionLeft);
  C->FComparisonOperator = FComparisonOperator;
  C->FIsNot = FIsNot;
  C->FIsAll = FIsAll;
  return C;
}

void TVdbSqlSubQueryComparison::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  if (FExpressionLeft) FExpressionLeft->ReplaceAlias(Alias, InternalName);
}

void TVdbSqlSubQueryComparison::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                        const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  FOptions = Options;
  if (FExpressionLeft) {
    FExpressionLeft->Prepare(Context, Options, OuterReferenceCallback);
    if (FExpressionLeft->DataType() == nullptr) throw EVdbEngine(kVdbErrUnknownType, FExpressionLeft->GetSqlText());
  }
}

void TVdbSqlSubQueryComparison::Normalize() {
  // = without ALL is a lookup of the value in the sub-query's result.
  if (FComparisonOperator == tcoEqual && !FIsAll) FComparisonOperator = tcoIn;
}

bool TVdbSqlSubQueryComparison::IsSyntacticallyEqual(const TVdbBooleanFactor& Other) const {
  // Two sub-queries are never taken for one another.
  return this == &Other;
}

void TVdbSqlSubQueryComparison::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  if (FExpressionLeft) FExpressionLeft->TraverseDepthFirst(Visitor);
  if (FSubQuery) FSubQuery->TraverseDepthFirst(Visitor);
}

// ---------------------------------------------------------------------------------------------
// Full-text predicates

TVdbSqlFulltextPredicate::TVdbSqlFulltextPredicate(std::unique_ptr<TVdbExpression> SearchText,
                                                   std::string FullTextTable,
                                                   std::vector<std::string> SearchColumnNames)
    : FFullTextTable(std::move(FullTextTable)), FSearchColumnNames(std::move(SearchColumnNames)) {
  FExpressionLeft = std::move(SearchText);
  FComparisonOperator = tcoContains;
}

TVdbSqlFulltextPredicate::~TVdbSqlFulltextPredicate() = default;

std::string TVdbSqlFulltextPredicate::GetSqlText() const {
  std::string Columns;
  for (const auto& C : FSearchColumnNames) Columns += (Columns.empty() ? "" : ", ") + C;
  std::string R = "CONTAINS (" + (FExpressionLeft ? FExpressionLeft->GetSqlText() : std::string()) + " IN " +
                  (Columns.empty() ? std::string("*") : Columns) + ")";
  return FIsNot ? "NOT " + R : R;
}

const char* const kFullTextSearch = "Full-text search (CONTAINS)";

TVdbTruthValue TVdbSqlFulltextPredicate::EvaluateTruth(TVdbRelationSet& RltnIdxs) {
  RltnIdxs.reset();
  throw EVdbEngine(kVdbErrNotSupported, kFullTextSearch);
}

std::unique_ptr<TVdbBooleanFactor> TVdbSqlFulltextPredicate::CreateCopy() const {
  auto C = std::make_unique<TVdbSqlFulltextPredicate>(CloneOrNull(FExpressionLeft), FFullTextTable, FSearchColumnNames);
  C->FIsNot = FIsNot;
  return C;
}

void TVdbSqlFulltextPredicate::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  if (Alias == InternalName) return;
  if (CompareIdentifiers(FFullTextTable, Alias) == 0) FFullTextTable = InternalName;
  for (auto& C : FSearchColumnNames)
    if (StartsWithIdentifier(C, Alias)) C = InternalName + C.substr(Alias.size());
}

void TVdbSqlFulltextPredicate::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                       const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  FOptions = Options;
  if (FExpressionLeft) FExpressionLeft->Prepare(Context, Options, OuterReferenceCallback);
  // Refused when prepared, so that a statement over an empty table does not answer "no rows".
  throw EVdbEngine(kVdbErrNotSupported, kFullTextSearch);
}

bool TVdbSqlFulltextPredicate::IsSyntacticallyEqual(const TVdbBooleanFactor& Other) const {
  const auto* O = dynamic_cast<const TVdbSqlFulltextPredicate*>(&Other);
  return O != nullptr && O->FIsNot == FIsNot && O->FFullTextTable == FFullTextTable &&
         O->FSearchColumnNames == FSearchColumnNames && BothNullOrEqual(FExpressionLeft, O->FExpressionLeft);
}

// ---------------------------------------------------------------------------------------------
// Outer references

bool TSqlOuterReference::Update(const TVdbDataValue& Value, const TVdbDataType* Type) {
  TVdbVariable& V = *FVariable;
  if (V.HasValue() && V.DataType() != nullptr) {
    const bool OldNull = IsNullValue(V.Value(), V.DataType());
    const bool NewNull = IsNullValue(Value, Type);
    if (OldNull && NewNull) return false;
    if (!OldNull && !NewNull && TVdbDataType::CanCompare(V.DataType(), Type) &&
        TVdbDataType::Compare(V.Value(), Value, scoCaseSensitive | scoAccentSensitive | scoLigatureSensitive,
                              V.DataType(), Type) == kVdbCmpEqual)
      return false;
  }
  V.SetValue(Value, Type);
  return true;
}

}  // namespace vdb
