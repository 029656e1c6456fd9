// The SQL statement tree: names, sort specifications, references, commands.
#include "sql/VdbSqlCommand.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <random>

#include "sql/VdbSqlParser.h"
#include "storage/kxMemory.h"
#include "table/VdbData.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

bool IsAsciiLetter(char C) { return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z'); }
bool IsAsciiDigit(char C) { return C >= '0' && C <= '9'; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Names

std::string QuoteNameList(const std::vector<std::string>& Names) {
  std::string Result;
  for (const std::string& Name : Names) {
    if (!Result.empty()) Result += ',';
    Result += '"';
    Result += Name;
    Result += '"';
  }
  return Result;
}

std::vector<std::string> SplitQuotedNameList(std::string_view List) {
  std::vector<std::string> Names;
  std::size_t Pos = 0;
  while (Pos < List.size()) {
    if (List[Pos] != '"') {
      // An unquoted item runs up to the next ",".
      std::size_t End = List.find(',', Pos);
      if (End == std::string_view::npos) End = List.size();
      Names.emplace_back(List.substr(Pos, End - Pos));
      Pos = End + 1;
      continue;
    }
    std::string Name;
    ++Pos;
    while (Pos < List.size() && List[Pos] != '"') Name += List[Pos++];
    Names.push_back(std::move(Name));
    Pos = List.find(',', Pos);
    if (Pos == std::string_view::npos) break;
    ++Pos;
  }
  return Names;
}

std::string JoinQuotedLists(const std::string& Left, const std::string& Right) {
  if (Left.empty()) return Right;
  if (Right.empty()) return Left;
  return Left + "," + Right;
}

std::string SqlName(std::string_view Name) {
  // Plain ASCII identifiers read back as written; anything else is written quoted. Whether
  // the name is a reserved word is the parser's knowledge, so SqlName only quotes by form.
  bool Plain = !Name.empty() && IsAsciiLetter(Name[0]);
  for (char C : Name)
    if (!IsAsciiLetter(C) && !IsAsciiDigit(C) && C != '_') Plain = false;
  TSqlTokenType Reserved;
  if (Plain && !TSqlParser::FindReservedWord(Name, Reserved)) return std::string(Name);
  std::string Result = "\"";
  for (char C : Name) {
    if (C == '"') Result += '"';
    Result += C;
  }
  return Result + "\"";
}

std::string SqlString(std::string_view Text) {
  std::string Result = "'";
  for (char C : Text) {
    if (C == '\'') Result += '\'';
    Result += C;
  }
  return Result + "'";
}

// ---------------------------------------------------------------------------------------------
// Sort specifications

std::string TVdbSqlSortSpecification::GetSqlText() const {
  std::string Text = "[" + FColumnNameOrIdx + "]";
  if (!FAsc) Text += " DESC";
  return Text;
}

std::string TVdbSqlSortSpecification::GetVdbText() const {
  return std::string(FAsc ? "" : "-") + "${" + FColumnNameOrIdx + "}";
}

void TVdbSqlSortSpecification::ReplaceAlias(std::string_view Alias, std::string_view InternalName) {
  if (Alias == InternalName) return;
  const std::string Prefix = std::string(Alias) + ".";
  if (FColumnNameOrIdx.compare(0, Prefix.size(), Prefix) == 0)
    FColumnNameOrIdx = std::string(InternalName) + "." + FColumnNameOrIdx.substr(Prefix.size());
}

void TVdbSqlSortSpecificationList::Add(std::string ColumnNameOrIdx, bool Asc) {
  Add(std::make_unique<TVdbSqlSortSpecification>(std::move(ColumnNameOrIdx), Asc));
}

std::unique_ptr<TVdbSqlSortSpecificationList> TVdbSqlSortSpecificationList::Clone() const {
  auto Copy = std::make_unique<TVdbSqlSortSpecificationList>();
  for (const auto& Spec : FSortSpecifications) Copy->Add(std::make_unique<TVdbSqlSortSpecification>(*Spec));
  return Copy;
}

std::string TVdbSqlSortSpecificationList::GetSqlText() const {
  std::string Text;
  for (const auto& Spec : FSortSpecifications) {
    if (!Text.empty()) Text += ", ";
    Text += Spec->GetSqlText();
  }
  return Text;
}

std::string TVdbSqlSortSpecificationList::GetVdbText() const {
  std::string Text;
  for (const auto& Spec : FSortSpecifications) {
    if (!Text.empty()) Text += ", ";
    Text += Spec->GetVdbText();
  }
  return Text;
}

void TVdbSqlSortSpecificationList::ReplaceAlias(std::string_view Alias, std::string_view InternalName) {
  for (auto& Spec : FSortSpecifications) Spec->ReplaceAlias(Alias, InternalName);
}

// ---------------------------------------------------------------------------------------------
// Commands

TVdbSqlCommand::~TVdbSqlCommand() = default;

std::string TVdbSqlCommand::GetTableList() const {
  return FTableName.empty() ? std::string() : QuoteNameList({FTableName});
}

std::string TVdbSqlCommand::GetAliasList() const { return GetTableList(); }

bool TVdbSqlCommand::IsTableName(std::string_view TableName) const {
  return CompareIdentifiers(TableName, FTableName) == 0;
}

TVdbSqlCreateIndexCommand::TVdbSqlCreateIndexCommand(TVdbCatalog* Catalog, std::string TableName,
                                                     std::string IndexName, bool Unique)
    : TVdbSqlCommand(Catalog), FIndexName(std::move(IndexName)), FUnique(Unique) {
  FTableName = std::move(TableName);
}

std::string TVdbSqlCreateIndexCommand::GetVdbIndexExpression() const {
  std::string Text;
  for (int I = 0; I < FSortSpecifications.Count(); ++I) {
    if (I > 0) Text += ',';
    if (!FSortSpecifications[I].Asc()) Text += '-';
    Text += "{" + FSortSpecifications[I].ColumnNameOrIdx() + "}";
  }
  return Text;
}

std::string TVdbSqlCreateIndexCommand::GetSqlText() const {
  std::string Text = FUnique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ";
  Text += SqlName(FIndexName) + " ON " + SqlName(FTableName) + " (";
  for (int I = 0; I < FSortSpecifications.Count(); ++I) {
    if (I > 0) Text += ", ";
    Text += SqlName(FSortSpecifications[I].ColumnNameOrIdx());
    if (!FSortSpecifications[I].Asc()) Text += " DESC";
  }
  return Text + ")";
}

TVdbSqlCreateFulltextIndexCommand::TVdbSqlCreateFulltextIndexCommand(TVdbCatalog* Catalog,
                                                                     std::string TableName,
                                                                     std::string IndexName)
    : TVdbSqlCommand(Catalog), FIndexName(std::move(IndexName)) {
  FTableName = std::move(TableName);
}

std::string TVdbSqlCreateFulltextIndexCommand::GetSqlText() const {
  std::string Text = "CREATE FULLTEXTINDEX " + SqlName(FIndexName) + " ON " + SqlName(FTableName) + " (";
  for (std::size_t I = 0; I < FFieldNames.size(); ++I) {
    if (I > 0) Text += ", ";
    Text += SqlName(FFieldNames[I]);
  }
  Text += ") DICTIONARY " + SqlName(FDictionaryName);
  if (FCreateDictionary) Text += " CREATE";
  if (FUpdateDictionary) Text += " UPDATE";
  if (FHasSeparators) Text += " separators " + SqlString(FSeparators);
  return Text;
}

TVdbSqlUpdateIndexCommand::TVdbSqlUpdateIndexCommand(TVdbCatalog* Catalog, std::string TableName,
                                                     std::string IndexName, bool IsFulltext)
    : TVdbSqlCommand(Catalog), FIndexName(std::move(IndexName)), FIsFulltext(IsFulltext) {
  FTableName = std::move(TableName);
}

std::string TVdbSqlUpdateIndexCommand::GetSqlText() const {
  return std::string(FIsFulltext ? "UPDATE FULLTEXTINDEX " : "UPDATE INDEX ") + SqlName(FTableName) + "." +
         (FIndexName == "*" ? std::string("*") : SqlName(FIndexName));
}

TVdbSqlDropCommand::TVdbSqlDropCommand(TVdbCatalog* Catalog, std::string TableName, std::string IndexName,
                                       bool IsFulltext)
    : TVdbSqlCommand(Catalog), FIndexName(std::move(IndexName)), FIsFulltext(IsFulltext) {
  FTableName = std::move(TableName);
}

std::string TVdbSqlDropCommand::GetSqlText() const {
  if (FIndexName.empty()) return "DROP TABLE " + SqlName(FTableName);
  return std::string(FIsFulltext ? "DROP FULLTEXTINDEX " : "DROP INDEX ") + SqlName(FTableName) + "." +
         SqlName(FIndexName);
}

// ---------------------------------------------------------------------------------------------
// Column definitions and check constraints

namespace {

std::string EncryptionName(TVdbSqlEncryption Encryption) {
  static const char* const kNames[] = {"Default", "None", "Protection", "Classic",
                                       "Fast", "Blowfish", "AES", "Rijndael"};
  return kNames[Encryption];
}

template <typename T>
std::string JoinTexts(const std::vector<std::unique_ptr<T>>& Items, const char* Separator) {
  std::string Text;
  for (const auto& Item : Items) {
    if (!Text.empty()) Text += Separator;
    Text += Item->GetSqlText();
  }
  return Text;
}

std::string JoinNameTexts(const std::vector<std::string>& Names) {
  std::string Text;
  for (const std::string& Name : Names) {
    if (!Text.empty()) Text += ", ";
    Text += SqlName(Name);
  }
  return Text;
}

template <typename T>
std::unique_ptr<T> CloneOrNull(const std::unique_ptr<T>& Item) {
  return Item ? Item->Clone() : nullptr;
}

TVdbCorrespondingFields CloneFields(const TVdbCorrespondingFields& Fields) {
  return Fields ? std::make_unique<std::vector<std::string>>(*Fields) : nullptr;
}

std::string CorrespondingText(const std::vector<std::string>* Fields) {
  if (!Fields) return {};
  if (Fields->empty()) return "CORRESPONDING ";
  return "CORRESPONDING BY (" + JoinNameTexts(*Fields) + ") ";
}

}  // namespace

TVdbSqlColumnDefinition::TVdbSqlColumnDefinition() = default;
TVdbSqlColumnDefinition::~TVdbSqlColumnDefinition() = default;

std::unique_ptr<TVdbSqlColumnDefinition> TVdbSqlColumnDefinition::Clone() const {
  auto Copy = std::make_unique<TVdbSqlColumnDefinition>();
  Copy->FColumnName = FColumnName;
  Copy->FSqlType = FSqlType;
  Copy->FSize = FSize;
  Copy->FPrecision = FPrecision;
  Copy->FStringParam = FStringParam;
  Copy->FMayBeNull = FMayBeNull;
  Copy->FExpression = CloneOrNull(FExpression);
  Copy->FExpressionIsDefault = FExpressionIsDefault;
  return Copy;
}

std::string SqlTypeText(const TVdbSqlColumnDefinition& Def) {
  std::string Text = TSqlParser::GetSqlTypeName(Def.FSqlType);
  switch (Def.FSqlType) {
    case sqlDouble:
    case sqlTime:
      Text += "(" + std::to_string(Def.FPrecision) + ")";
      break;
    case sqlChar:
    case sqlVarChar:
    case sqlWChar:
    case sqlVarWChar:
      Text += "(" + std::to_string(Def.FSize) + ")";
      if (!Def.FStringParam.empty()) Text += " COLLATE " + Def.FStringParam;
      break;
    case sqlAutoInc:
      Text += "(";
      if (!Def.FStringParam.empty()) Text += SqlString(Def.FStringParam) + ", ";
      Text += std::to_string(Def.FPrecision) + ")";
      break;
    case sqlLink:
    case sqlRelation:
      Text += "(" + SqlName(Def.FStringParam) + ")";
      break;
    case sqlEnum:
      Text += "(" + JoinNameTexts(SplitNames(Def.FStringParam, ',')) + ")";
      break;
    default:
      break;
  }
  return Text;
}

std::string TVdbSqlColumnDefinition::GetSqlText() const {
  std::string Text = SqlName(FColumnName);
  if (FSqlType == sqlNone) return Text;
  Text += " " + SqlTypeText(*this);
  if (!FMayBeNull && FSqlType != sqlAutoInc) Text += " NOT NULL";
  if (FExpression) Text += std::string(FExpressionIsDefault ? " DEFAULT " : " SET ") + FExpression->GetSqlText();
  return Text;
}

const TVdbDataType* TVdbSqlColumnDefinition::GetDataType() const {
  const std::int16_t Level = kVdbCurrentLevel;
  switch (FSqlType) {
    case sqlNone:
      return nullptr;
    case sqlDouble:
      return TVdbDataType::GetFloatType(FMayBeNull, Level, static_cast<std::int16_t>(FPrecision));
    case sqlChar:
    case sqlVarChar:
    case sqlWChar:
    case sqlVarWChar:
      return TVdbDataType::GetStringType(TSqlParser::GetVdbType(FSqlType), FMayBeNull, Level, FSize, FStringParam);
    case sqlTime:
      return TVdbDataType::GetDateTimeType(kVdbTimeCode, FMayBeNull, Level, static_cast<std::int16_t>(FPrecision),
                                           FMayBeNull);
    case sqlEnum: {
      std::vector<TVdbEnumItem> Items;
      std::int32_t Value = 0;
      for (std::string& Name : SplitNames(FStringParam, ',')) Items.push_back({std::move(Name), Value++});
      return TVdbDataType::GetEnumType(FMayBeNull, Level, "", false, Items);
    }
    default:
      return TVdbDataType::GetDataType(TSqlParser::GetVdbType(FSqlType), FMayBeNull, Level);
  }
}

TVdbSqlCheckConstraint::TVdbSqlCheckConstraint(std::string Name, std::unique_ptr<TVdbSearchCondition> Condition)
    : FName(std::move(Name)), FSearchCondition(std::move(Condition)) {}
TVdbSqlCheckConstraint::~TVdbSqlCheckConstraint() = default;

std::unique_ptr<TVdbSqlCheckConstraint> TVdbSqlCheckConstraint::Clone() const {
  return std::make_unique<TVdbSqlCheckConstraint>(FName, CloneOrNull(FSearchCondition));
}

// ---------------------------------------------------------------------------------------------
// Select elements

TVdbSqlSelectElement::TVdbSqlSelectElement(std::string TableName) : FTableName(std::move(TableName)) {}
TVdbSqlSelectElement::TVdbSqlSelectElement(std::unique_ptr<TVdbExpression> Expression)
    : FScalarExpression(std::move(Expression)) {}
TVdbSqlSelectElement::~TVdbSqlSelectElement() = default;

std::unique_ptr<TVdbSqlSelectElement> TVdbSqlSelectElement::Clone() const {
  if (FScalarExpression) return std::make_unique<TVdbSqlSelectElement>(FScalarExpression->Clone());
  return std::make_unique<TVdbSqlSelectElement>(FTableName);
}

std::string TVdbSqlSelectElement::GetSqlText() const {
  if (FScalarExpression) return FScalarExpression->GetSqlText();
  return FTableName.empty() ? std::string("*") : SqlName(FTableName) + ".*";
}

void TVdbSqlSelectElement::ReplaceAlias(std::string_view Alias, std::string_view InternalName) {
  if (FScalarExpression) {
    FScalarExpression->ReplaceAlias(std::string(Alias), std::string(InternalName));
  } else if (!FTableName.empty() && CompareIdentifiers(FTableName, Alias) == 0) {
    FTableName = std::string(InternalName);
  }
}

// ---------------------------------------------------------------------------------------------
// Table references

TVdbSqlTableReference::TVdbSqlTableReference(std::string TableName, std::string Alias)
    : FTableAlias(Alias.empty() ? TableName : std::move(Alias)), FInternalName(TableName), FTableName(std::move(TableName)) {}

TVdbSqlTableReference::TVdbSqlTableReference(TVdbJoinType JoinType, std::unique_ptr<TVdbSqlTableReference> Left,
                                             std::unique_ptr<TVdbSqlTableReference> Right,
                                             std::unique_ptr<TVdbSearchCondition> Condition)
    : FIsJoinedTable(true),
      FJoinType(JoinType),
      FSqlTableReferenceLeft(std::move(Left)),
      FSqlTableReferenceRight(std::move(Right)),
      FSearchCondition(std::move(Condition)) {}

TVdbSqlTableReference::~TVdbSqlTableReference() = default;

std::unique_ptr<TVdbSqlTableReference> TVdbSqlTableReference::Clone() const {
  std::unique_ptr<TVdbSqlTableReference> Copy;
  if (FIsJoinedTable) {
    Copy = std::make_unique<TVdbSqlTableReference>(FJoinType, FSqlTableReferenceLeft->Clone(),
                                                   FSqlTableReferenceRight->Clone(), CloneOrNull(FSearchCondition));
  } else {
    Copy = std::make_unique<TVdbSqlTableReference>(FTableName, FTableAlias);
  }
  Copy->FInternalName = FInternalName;
  return Copy;
}

std::string TVdbSqlTableReference::GetTableList() const {
  if (FIsJoinedTable) return JoinQuotedLists(FSqlTableReferenceLeft->GetTableList(), FSqlTableReferenceRight->GetTableList());
  return QuoteNameList({FTableName});
}

std::string TVdbSqlTableReference::GetAliasList() const {
  if (FIsJoinedTable) return JoinQuotedLists(FSqlTableReferenceLeft->GetAliasList(), FSqlTableReferenceRight->GetAliasList());
  return QuoteNameList({FTableAlias});
}

std::string TVdbSqlTableReference::GetInternalNameList() const {
  if (FIsJoinedTable)
    return JoinQuotedLists(FSqlTableReferenceLeft->GetInternalNameList(), FSqlTableReferenceRight->GetInternalNameList());
  return QuoteNameList({FInternalName});
}

std::string TVdbSqlTableReference::GetSqlText() const {
  if (!FIsJoinedTable) {
    std::string Text = SqlName(FTableName);
    if (FTableAlias != FTableName) Text += " " + SqlName(FTableAlias);
    return Text;
  }
  static const char* const kJoinWords[] = {"", "CROSS JOIN", "INNER JOIN", "LEFT OUTER JOIN", "RIGHT OUTER JOIN",
                                           "FULL OUTER JOIN"};
  std::string Text = FSqlTableReferenceLeft->GetSqlText() + " " + kJoinWords[FJoinType] + " ";
  // The right side is parenthesised when it is a join itself, so that the text reads back
  // with the same nesting (joins written one after the other nest to the left).
  Text += FSqlTableReferenceRight->FIsJoinedTable ? "(" + FSqlTableReferenceRight->GetSqlText() + ")"
                                                  : FSqlTableReferenceRight->GetSqlText();
  if (FSearchCondition) Text += "\n\rON (" + FSearchCondition->GetSqlText() + ")";
  return Text;
}

void TVdbSqlTableReference::Swap() {
  std::swap(FSqlTableReferenceLeft, FSqlTableReferenceRight);
  if (FJoinType == tjtLeftOuterJoin) FJoinType = tjtRightOuterJoin;
  else if (FJoinType == tjtRightOuterJoin) FJoinType = tjtLeftOuterJoin;
}

bool TVdbSqlTableReference::ContainsTableName(std::string_view TableName) const {
  if (FIsJoinedTable)
    return FSqlTableReferenceLeft->ContainsTableName(TableName) || FSqlTableReferenceRight->ContainsTableName(TableName);
  return CompareIdentifiers(TableName, FTableName) == 0 || CompareIdentifiers(TableName, FInternalName) == 0 ||
         CompareIdentifiers(TableName, FTableAlias) == 0;
}

TVdbSqlTableReference* TVdbSqlTableReference::FindBySequenceNo(int& N) {
  if (!FIsJoinedTable) return N-- == 0 ? this : nullptr;
  if (TVdbSqlTableReference* Found = FSqlTableReferenceLeft->FindBySequenceNo(N)) return Found;
  return FSqlTableReferenceRight->FindBySequenceNo(N);
}

void TVdbSqlTableReference::ReplaceAlias(std::string_view Alias, std::string_view InternalName) {
  if (!FIsJoinedTable) return;
  FSqlTableReferenceLeft->ReplaceAlias(Alias, InternalName);
  FSqlTableReferenceRight->ReplaceAlias(Alias, InternalName);
  if (FSearchCondition) FSearchCondition->ReplaceAlias(std::string(Alias), std::string(InternalName));
}

void TVdbSqlTableReference::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  if (!FIsJoinedTable) return;
  FSqlTableReferenceLeft->TraverseDepthFirst(Visitor);
  FSqlTableReferenceRight->TraverseDepthFirst(Visitor);
  if (FSearchCondition) FSearchCondition->TraverseDepthFirst(Visitor);
}

std::unique_ptr<TVdbSqlTableReferenceList> TVdbSqlTableReferenceList::Clone() const {
  auto Copy = std::make_unique<TVdbSqlTableReferenceList>();
  for (const auto& Ref : FTableReferences) Copy->Add(Ref->Clone());
  return Copy;
}

std::string TVdbSqlTableReferenceList::GetTableList() const {
  std::string List;
  for (const auto& Ref : FTableReferences) List = JoinQuotedLists(List, Ref->GetTableList());
  return List;
}

std::string TVdbSqlTableReferenceList::GetAliasList() const {
  std::string List;
  for (const auto& Ref : FTableReferences) List = JoinQuotedLists(List, Ref->GetAliasList());
  return List;
}

std::string TVdbSqlTableReferenceList::GetInternalNameList() const {
  std::string List;
  for (const auto& Ref : FTableReferences) List = JoinQuotedLists(List, Ref->GetInternalNameList());
  return List;
}

std::string TVdbSqlTableReferenceList::GetSqlText() const {
  std::string Text;
  for (const auto& Ref : FTableReferences) {
    if (!Text.empty()) Text += ", ";
    if (Ref->IsJoinedTable() || Ref->TableAlias() == Ref->TableName()) {
      Text += Ref->GetSqlText();
    } else {
      Text += SqlName(Ref->TableName()) + " AS " + SqlName(Ref->TableAlias());
    }
  }
  return Text;
}

bool TVdbSqlTableReferenceList::ContainsTableName(std::string_view TableName) const {
  for (const auto& Ref : FTableReferences)
    if (Ref->ContainsTableName(TableName)) return true;
  return false;
}

TVdbSqlTableReference* TVdbSqlTableReferenceList::FindTableReferenceBySequenceNo(int N) const {
  for (const auto& Ref : FTableReferences)
    if (TVdbSqlTableReference* Found = Ref->FindBySequenceNo(N)) return Found;
  return nullptr;
}

void TVdbSqlTableReferenceList::ReplaceAlias(std::string_view Alias, std::string_view InternalName) {
  for (auto& Ref : FTableReferences) Ref->ReplaceAlias(Alias, InternalName);
}

// ---------------------------------------------------------------------------------------------
// Sub-queries inside conditions

namespace {

// The optimisation of a sub-query comparison: the sub-query is optimised; "=" without ALL is an
// IN comparison, whose sub-query is ordered by its first column (its result is looked up through
// that order).
void OptimizeSubQueryComparison(TVdbSqlSubQueryComparison& Comparison) {
  auto* Query = dynamic_cast<TVdbSqlQuery*>(Comparison.SubQuery());
  if (!Query) return;
  Query->Optimize();
  if (Comparison.ComparisonOperator() == tcoEqual && !Comparison.IsAll()) Comparison.SetComparisonOperator(tcoIn);
  if (Comparison.ComparisonOperator() != tcoIn) return;
  TVdbSqlSortSpecificationList& Order = Query->SortSpecificationList();
  if (Order.Count() == 1 && Order[0].ColumnNameOrIdx() == "1" && Order[0].Asc()) return;   // done before
  TVdbSqlSelectExpression* Select = Query->TableExpression()->SingleSelectExpression();
  if (Select && Select->TopCount() > 0 && Order.Count() > 0) throw ESqlCommand(187, "TOP in sub-query");
  Order.Clear();
  Order.Add("1", true);
}

void OptimizeSubQueries(TVdbSearchCondition* Condition);

void OptimizeSubQueries(TVdbBooleanFactor* Factor) {
  if (auto* Comparison = dynamic_cast<TVdbSqlSubQueryComparison*>(Factor)) {
    OptimizeSubQueryComparison(*Comparison);
  } else if (Factor && Factor->SearchCondition()) {
    OptimizeSubQueries(Factor->SearchCondition());
  }
}

void OptimizeSubQueries(TVdbSearchCondition* Condition) {
  for (; Condition; Condition = Condition->SearchCondition())
    for (TVdbBooleanTerm* Term = Condition->BooleanTerm(); Term; Term = Term->BooleanTerm())
      OptimizeSubQueries(Term->BooleanFactor());
}

void OptimizeCondition(std::unique_ptr<TVdbSearchCondition>& Condition) {
  if (!Condition) return;
  Condition->Optimize();
  OptimizeSubQueries(Condition.get());
}

void OptimizeOnConditions(TVdbSqlTableReference& Ref) {
  if (!Ref.IsJoinedTable()) return;
  OptimizeOnConditions(*Ref.Left());
  OptimizeOnConditions(*Ref.Right());
  OptimizeSubQueries(Ref.SearchCondition());
}

// The alias pairs of quoted lists, position by position.
std::vector<std::pair<std::string, std::string>> AliasPairs(const std::string& AliasList,
                                                            const std::string& InternalList) {
  const std::vector<std::string> Aliases = SplitQuotedNameList(AliasList);
  const std::vector<std::string> Internals = SplitQuotedNameList(InternalList);
  std::vector<std::pair<std::string, std::string>> Pairs;
  for (std::size_t I = 0; I < Aliases.size() && I < Internals.size(); ++I) Pairs.emplace_back(Aliases[I], Internals[I]);
  return Pairs;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Simple primitives

TVdbSqlTableSimplePrimitive::TVdbSqlTableSimplePrimitive(std::string TableName, std::string AliasName)
    : FTableName(std::move(TableName)), FAliasName(std::move(AliasName)) {
  FInternalName = FTableName;
}

TVdbSqlTableSimplePrimitive::TVdbSqlTableSimplePrimitive(std::unique_ptr<TVdbSqlTableExpression> Expression)
    : FTableExpression(std::move(Expression)) {}

TVdbSqlTableSimplePrimitive::~TVdbSqlTableSimplePrimitive() = default;

std::unique_ptr<TVdbSqlTableExpression> TVdbSqlTableSimplePrimitive::ReplaceTableExpression(std::string Name) {
  auto Expression = std::move(FTableExpression);
  FTableName = std::move(Name);
  FAliasName.clear();
  FInternalName = FTableName;
  return Expression;
}

std::string TVdbSqlTableSimplePrimitive::GetTableList() const {
  if (FTableExpression) return FTableExpression->GetTableList();
  return QuoteNameList({FTableName});
}

std::string TVdbSqlTableSimplePrimitive::GetAliasList() const {
  if (FTableExpression) return FTableExpression->GetAliasList();
  return QuoteNameList({FAliasName.empty() ? FTableName : FAliasName});
}

std::string TVdbSqlTableSimplePrimitive::GetInternalNameList() const {
  if (FTableExpression) return FTableExpression->GetInternalNameList();
  return QuoteNameList({FInternalName});
}

std::string TVdbSqlTableSimplePrimitive::GetSqlText() const {
  if (FTableExpression) return "(" + FTableExpression->GetSqlText() + ") ";
  return "TABLE " + SqlName(FTableName);
}

std::unique_ptr<TVdbSqlTablePrimitive> TVdbSqlTableSimplePrimitive::Clone() const {
  std::unique_ptr<TVdbSqlTableSimplePrimitive> Copy;
  if (FTableExpression) {
    Copy = std::make_unique<TVdbSqlTableSimplePrimitive>(FTableExpression->Clone());
    Copy->FTableName = FTableName;
    Copy->FAliasName = FAliasName;
  } else {
    Copy = std::make_unique<TVdbSqlTableSimplePrimitive>(FTableName, FAliasName);
  }
  Copy->FInternalName = FInternalName;
  return Copy;
}

void TVdbSqlTableSimplePrimitive::Optimize() {
  if (FTableExpression) FTableExpression->Optimize();
}

void TVdbSqlTableSimplePrimitive::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  if (FTableExpression) FTableExpression->TraverseDepthFirst(Visitor);
}

void TVdbSqlTableSimplePrimitive::ReplaceAliases() {
  if (FTableExpression) FTableExpression->ReplaceAliases();
}

// ---------------------------------------------------------------------------------------------
// SELECT blocks

TVdbSqlSelectExpression::TVdbSqlSelectExpression(TVdbCatalog* Catalog) : FCatalog(Catalog) {}
TVdbSqlSelectExpression::~TVdbSqlSelectExpression() = default;

void TVdbSqlSelectExpression::AddSelectElement(std::unique_ptr<TVdbSqlSelectElement> Element, std::string Label) {
  FSelectElements.push_back(std::move(Element));
  FLabelList.push_back(std::move(Label));
}

void TVdbSqlSelectExpression::AddLabelForSelectElement(int Index, std::string Label) {
  FLabelList.at(static_cast<std::size_t>(Index)) = std::move(Label);
}

void TVdbSqlSelectExpression::RemoveSelectElement(int Index) {
  FSelectElements.erase(FSelectElements.begin() + Index);
  FLabelList.erase(FLabelList.begin() + Index);
}

void TVdbSqlSelectExpression::AddGroupByExpression(std::unique_ptr<TVdbExpression> Expression) {
  FGroupByExpressions.push_back(std::move(Expression));
}

void TVdbSqlSelectExpression::SetSearchCondition(std::unique_ptr<TVdbSearchCondition> Condition) {
  FSearchCondition = std::move(Condition);
}

void TVdbSqlSelectExpression::SetHavingCondition(std::unique_ptr<TVdbSearchCondition> Condition) {
  FHavingCondition = std::move(Condition);
}

std::unique_ptr<TVdbSearchCondition> TVdbSqlSelectExpression::ExtractSearchCondition() {
  return std::move(FSearchCondition);
}

std::unique_ptr<TVdbSearchCondition> TVdbSqlSelectExpression::ExtractHavingCondition() {
  return std::move(FHavingCondition);
}

void TVdbSqlSelectExpression::ReplaceUngroupedTable(const std::string& TableName) {
  FTableReferences.Clear();
  FTableReferences.Add(std::make_unique<TVdbSqlTableReference>(TableName));
  FSearchCondition.reset();
}

bool TVdbSqlSelectExpression::IsPlainTableSelection() const {
  return !FDistinct && FTopCount == 0 && FSelectElements.size() == 1 && FSelectElements[0]->IsAllColumns() &&
         FSelectElements[0]->TableName().empty() && FTableReferences.Count() == 1 &&
         GetTableList().find(',') == std::string::npos && !FSearchCondition && FGroupByExpressions.empty() &&
         !FHavingCondition;
}

std::string TVdbSqlSelectExpression::GetSqlText() const {
  std::string Text = "SELECT ";
  if (FTopCount > 0) Text += "TOP " + std::to_string(FTopCount) + " ";
  if (FDistinct) Text += "DISTINCT ";
  for (std::size_t I = 0; I < FSelectElements.size(); ++I) {
    if (I > 0) Text += ", ";
    Text += FSelectElements[I]->GetSqlText();
    if (!FLabelList[I].empty()) Text += " " + SqlName(FLabelList[I]);
  }
  Text += " FROM " + FTableReferences.GetSqlText();
  if (FSearchCondition) Text += " WHERE " + FSearchCondition->GetSqlText();
  if (!FGroupByExpressions.empty()) Text += " GROUP BY " + JoinTexts(FGroupByExpressions, ", ");
  if (FHavingCondition) Text += " HAVING " + FHavingCondition->GetSqlText();
  return Text;
}

std::unique_ptr<TVdbSqlTablePrimitive> TVdbSqlSelectExpression::Clone() const {
  auto Copy = std::make_unique<TVdbSqlSelectExpression>(FCatalog);
  for (std::size_t I = 0; I < FSelectElements.size(); ++I) Copy->AddSelectElement(FSelectElements[I]->Clone(), FLabelList[I]);
  for (int I = 0; I < FTableReferences.Count(); ++I) Copy->AddTableReference(FTableReferences[I].Clone());
  Copy->FSearchCondition = CloneOrNull(FSearchCondition);
  for (const auto& Expression : FGroupByExpressions) Copy->AddGroupByExpression(Expression->Clone());
  Copy->FHavingCondition = CloneOrNull(FHavingCondition);
  Copy->FDistinct = FDistinct;
  Copy->FTopCount = FTopCount;
  Copy->FInternalName = FInternalName;
  return Copy;
}

void TVdbSqlSelectExpression::Optimize() {
  OptimizeCondition(FSearchCondition);
  OptimizeCondition(FHavingCondition);
  for (int I = 0; I < FTableReferences.Count(); ++I) OptimizeOnConditions(FTableReferences[I]);
}

void TVdbSqlSelectExpression::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  for (auto& Element : FSelectElements)
    if (Element->ScalarExpression()) Element->ScalarExpression()->TraverseDepthFirst(Visitor);
  for (int I = 0; I < FTableReferences.Count(); ++I) FTableReferences[I].TraverseDepthFirst(Visitor);
  if (FSearchCondition) FSearchCondition->TraverseDepthFirst(Visitor);
  if (FHavingCondition) FHavingCondition->TraverseDepthFirst(Visitor);
}

void TVdbSqlSelectExpression::ReplaceAlias(std::string_view Alias, std::string_view InternalName) {
  if (Alias == InternalName) return;
  const std::string A(Alias), N(InternalName);
  FTableReferences.ReplaceAlias(Alias, InternalName);
  for (auto& Element : FSelectElements) Element->ReplaceAlias(Alias, InternalName);
  if (FSearchCondition) FSearchCondition->ReplaceAlias(A, N);
  for (auto& Expression : FGroupByExpressions) Expression->ReplaceAlias(A, N);
  if (FHavingCondition) FHavingCondition->ReplaceAlias(A, N);
}

void TVdbSqlSelectExpression::ReplaceAliases() {
  for (int I = 0; I < FTableReferences.Count(); ++I) {
    const TVdbSqlTableReference& Ref = FTableReferences[I];
    for (const auto& [Alias, Internal] : AliasPairs(Ref.GetAliasList(), Ref.GetInternalNameList()))
      ReplaceAlias(Alias, Internal);
  }
}

// ---------------------------------------------------------------------------------------------
// Table terms and table expressions

TVdbSqlTableTerm::TVdbSqlTableTerm(std::unique_ptr<TVdbSqlTablePrimitive> Primitive)
    : FTablePrimitive(std::move(Primitive)) {}
TVdbSqlTableTerm::~TVdbSqlTableTerm() = default;

std::unique_ptr<TVdbSqlTableTerm> TVdbSqlTableTerm::Clone() const {
  auto Copy = std::make_unique<TVdbSqlTableTerm>(FTablePrimitive->Clone());
  if (FTableTerm) Copy->SetIntersect(FTableTerm->Clone(), FAll, CloneFields(FCorrespondingFields));
  return Copy;
}

void TVdbSqlTableTerm::SetIntersect(std::unique_ptr<TVdbSqlTableTerm> Term, bool All, TVdbCorrespondingFields Fields) {
  FTableTerm = std::move(Term);
  FAll = All;
  FCorrespondingFields = std::move(Fields);
}

std::string TVdbSqlTableTerm::GetTableList() const {
  return FTableTerm ? JoinQuotedLists(FTablePrimitive->GetTableList(), FTableTerm->GetTableList())
                    : FTablePrimitive->GetTableList();
}

std::string TVdbSqlTableTerm::GetAliasList() const {
  return FTableTerm ? JoinQuotedLists(FTablePrimitive->GetAliasList(), FTableTerm->GetAliasList())
                    : FTablePrimitive->GetAliasList();
}

std::string TVdbSqlTableTerm::GetInternalNameList() const {
  return FTableTerm ? JoinQuotedLists(FTablePrimitive->GetInternalNameList(), FTableTerm->GetInternalNameList())
                    : FTablePrimitive->GetInternalNameList();
}

std::string TVdbSqlTableTerm::GetSqlText() const {
  std::string Text = FTablePrimitive->GetSqlText();
  if (FTableTerm) {
    Text += " INTERSECT ";
    if (FAll) Text += "ALL ";
    Text += CorrespondingText(FCorrespondingFields.get()) + FTableTerm->GetSqlText();
  }
  return Text;
}

void TVdbSqlTableTerm::Optimize() {
  // The plain "SELECT * FROM t" is the table itself.
  if (auto* Select = dynamic_cast<TVdbSqlSelectExpression*>(FTablePrimitive.get()); Select && Select->IsPlainTableSelection()) {
    const std::vector<std::string> Tables = SplitQuotedNameList(Select->GetTableList());
    const std::vector<std::string> Aliases = SplitQuotedNameList(Select->GetAliasList());
    std::string Table = Tables.empty() ? std::string() : Tables[0];
    std::string Alias = Aliases.empty() || Aliases[0] == Table ? std::string() : Aliases[0];
    FTablePrimitive = std::make_unique<TVdbSqlTableSimplePrimitive>(std::move(Table), std::move(Alias));
  }
  FTablePrimitive->Optimize();
  if (FTableTerm) FTableTerm->Optimize();
}

void TVdbSqlTableTerm::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  FTablePrimitive->TraverseDepthFirst(Visitor);
  if (FTableTerm) FTableTerm->TraverseDepthFirst(Visitor);
}

void TVdbSqlTableTerm::ReplaceAliases() {
  FTablePrimitive->ReplaceAliases();
  if (FTableTerm) FTableTerm->ReplaceAliases();
}

TVdbSqlTableExpression::TVdbSqlTableExpression(std::unique_ptr<TVdbSqlTableTerm> Term) : FTableTerm(std::move(Term)) {}
TVdbSqlTableExpression::~TVdbSqlTableExpression() = default;

std::unique_ptr<TVdbSqlTableExpression> TVdbSqlTableExpression::Clone() const {
  auto Copy = std::make_unique<TVdbSqlTableExpression>(FTableTerm->Clone());
  if (FTableExpression)
    Copy->SetRightOperand(FTableExpression->Clone(), FIsUnion, FAll, CloneFields(FCorrespondingFields));
  return Copy;
}

void TVdbSqlTableExpression::SetRightOperand(std::unique_ptr<TVdbSqlTableExpression> Right, bool IsUnion, bool All,
                                             TVdbCorrespondingFields Fields) {
  FTableExpression = std::move(Right);
  FIsUnion = IsUnion;
  FAll = All;
  FCorrespondingFields = std::move(Fields);
}

TVdbSqlSelectExpression* TVdbSqlTableExpression::SingleSelectExpression() const {
  if (FTableExpression || FTableTerm->TableTerm()) return nullptr;
  return dynamic_cast<TVdbSqlSelectExpression*>(FTableTerm->TablePrimitive());
}

std::string TVdbSqlTableExpression::GetTableList() const {
  return FTableExpression ? JoinQuotedLists(FTableTerm->GetTableList(), FTableExpression->GetTableList())
                          : FTableTerm->GetTableList();
}

std::string TVdbSqlTableExpression::GetAliasList() const {
  return FTableExpression ? JoinQuotedLists(FTableTerm->GetAliasList(), FTableExpression->GetAliasList())
                          : FTableTerm->GetAliasList();
}

std::string TVdbSqlTableExpression::GetInternalNameList() const {
  return FTableExpression ? JoinQuotedLists(FTableTerm->GetInternalNameList(), FTableExpression->GetInternalNameList())
                          : FTableTerm->GetInternalNameList();
}

std::string TVdbSqlTableExpression::GetSqlText() const {
  std::string Text = FTableTerm->GetSqlText();
  if (FTableExpression) {
    Text += FIsUnion ? " UNION " : " EXCEPT ";
    if (FAll) Text += "ALL ";
    Text += CorrespondingText(FCorrespondingFields.get()) + FTableExpression->GetSqlText();
  }
  return Text;
}

void TVdbSqlTableExpression::Optimize() {
  // A lone parenthesised table expression is replaced by its content (one pair per level).
  if (!FTableExpression && !FTableTerm->TableTerm()) {
    auto* Simple = dynamic_cast<TVdbSqlTableSimplePrimitive*>(FTableTerm->TablePrimitive());
    if (Simple && Simple->TableName().empty() && Simple->TableExpression()) {
      std::unique_ptr<TVdbSqlTableExpression> Inner = Simple->ExtractTableExpression();
      FTableTerm = std::move(Inner->FTableTerm);
      FTableExpression = std::move(Inner->FTableExpression);
      FIsUnion = Inner->FIsUnion;
      FAll = Inner->FAll;
      FCorrespondingFields = std::move(Inner->FCorrespondingFields);
    }
  }
  FTableTerm->Optimize();
  if (FTableExpression) FTableExpression->Optimize();
}

void TVdbSqlTableExpression::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  FTableTerm->TraverseDepthFirst(Visitor);
  if (FTableExpression) FTableExpression->TraverseDepthFirst(Visitor);
}

void TVdbSqlTableExpression::ReplaceAliases() {
  FTableTerm->ReplaceAliases();
  if (FTableExpression) FTableExpression->ReplaceAliases();
}

// ---------------------------------------------------------------------------------------------
// Commands

void TVdbSqlCommand::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) { Visitor.PerformOperation(*this); }

TVdbSqlQuery::TVdbSqlQuery(TVdbCatalog* Catalog, std::unique_ptr<TVdbSqlTableExpression> TableExpression)
    : TVdbSqlCommand(Catalog), FTableExpression(std::move(TableExpression)) {}
TVdbSqlQuery::~TVdbSqlQuery() = default;

std::unique_ptr<TVdbSqlQuery> TVdbSqlQuery::Clone() const {
  auto Copy = std::make_unique<TVdbSqlQuery>(FCatalog, FTableExpression->Clone());
  for (int I = 0; I < FSortSpecificationList.Count(); ++I)
    Copy->FSortSpecificationList.Add(FSortSpecificationList[I].ColumnNameOrIdx(), FSortSpecificationList[I].Asc());
  Copy->FParentCommand = FParentCommand;
  return Copy;
}

bool TVdbSqlQuery::IsPrimitiveQuery() const {
  return !FTableExpression->TableExpression() && !FTableExpression->TableTerm()->TableTerm();
}

bool TVdbSqlQuery::IsCorrelated() {
  TVdbCheckCorrelatedVisitor Visitor;
  TraverseDepthFirst(Visitor);
  return Visitor.IsCorrelated();
}

void TVdbSqlQuery::ReplaceAliases() {
  FTableExpression->ReplaceAliases();
  for (const auto& [Alias, Internal] : AliasPairs(FTableExpression->GetAliasList(), FTableExpression->GetInternalNameList()))
    FSortSpecificationList.ReplaceAlias(Alias, Internal);
}

std::string TVdbSqlQuery::GetTableList() const { return FTableExpression->GetTableList(); }
std::string TVdbSqlQuery::GetAliasList() const { return FTableExpression->GetAliasList(); }

std::string TVdbSqlQuery::GetSqlText() const {
  std::string Text = FTableExpression->GetSqlText();
  if (FSortSpecificationList.Count() > 0) Text += " ORDER BY " + FSortSpecificationList.GetSqlText();
  return Text;
}

bool TVdbSqlQuery::IsTableName(std::string_view TableName) const {
  const TVdbSqlSelectExpression* Select = FTableExpression->SingleSelectExpression();
  return Select && Select->TableReferences().ContainsTableName(TableName);
}

void TVdbSqlQuery::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  FTableExpression->TraverseDepthFirst(Visitor);
}

void TVdbSqlQuery::Optimize() { FTableExpression->Optimize(); }

TVdbSqlDeleteCommand::TVdbSqlDeleteCommand(TVdbCatalog* Catalog, std::string TableName,
                                           std::unique_ptr<TVdbSearchCondition> Condition)
    : TVdbSqlCommand(Catalog), FSearchCondition(std::move(Condition)) {
  FTableName = std::move(TableName);
}
TVdbSqlDeleteCommand::~TVdbSqlDeleteCommand() = default;

std::string TVdbSqlDeleteCommand::GetSqlText() const {
  std::string Text = "DELETE FROM " + SqlName(FTableName);
  if (FSearchCondition) Text += " WHERE " + FSearchCondition->GetSqlText();
  return Text;
}

void TVdbSqlDeleteCommand::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  if (FSearchCondition) FSearchCondition->TraverseDepthFirst(Visitor);
}

void TVdbSqlDeleteCommand::Optimize() { OptimizeCondition(FSearchCondition); }

TVdbSqlInsertCommand::TVdbSqlInsertCommand(TVdbCatalog* Catalog, std::string TableName) : TVdbSqlCommand(Catalog) {
  FTableName = std::move(TableName);
}
TVdbSqlInsertCommand::~TVdbSqlInsertCommand() = default;

void TVdbSqlInsertCommand::AddColumn(std::unique_ptr<TVdbExpression> Column) { FColumns.push_back(std::move(Column)); }
void TVdbSqlInsertCommand::AddValue(std::unique_ptr<TVdbExpression> Value) { FValues.push_back(std::move(Value)); }
void TVdbSqlInsertCommand::SetSourceQuery(std::unique_ptr<TVdbSqlQuery> Query) { FSourceQuery = std::move(Query); }

std::unique_ptr<TVdbSqlQuery> MakeTableQuery(TVdbCatalog* Catalog, const std::string& Name) {
  return std::make_unique<TVdbSqlQuery>(
      Catalog, std::make_unique<TVdbSqlTableExpression>(
                   std::make_unique<TVdbSqlTableTerm>(std::make_unique<TVdbSqlTableSimplePrimitive>(Name))));
}

std::unique_ptr<TVdbSqlQuery> ReplaceSubSelect(TVdbSqlSubQueryComparison& Comparison, const std::string& Name) {
  auto* Query = dynamic_cast<TVdbSqlQuery*>(Comparison.SubQuery());
  if (!Query) return nullptr;
  std::unique_ptr<TVdbSqlQuery> Replacement = MakeTableQuery(Query->Catalog(), Name);
  Replacement->SetParentCommand(Query->ParentCommand());
  std::unique_ptr<TVdbSyntaxNode> Old = Comparison.ExtractSubQuery();
  Comparison.SetSubQuery(std::move(Replacement));
  return std::unique_ptr<TVdbSqlQuery>(static_cast<TVdbSqlQuery*>(Old.release()));
}

std::unique_ptr<TVdbSqlQuery> TVdbSqlInsertCommand::ReplaceSourceQuery(const std::string& Name) {
  auto Source = std::move(FSourceQuery);
  FSourceQuery = MakeTableQuery(FCatalog, Name);
  return Source;
}

std::string TVdbSqlInsertCommand::GetSqlText() const {
  std::string Text = "INSERT INTO " + SqlName(FTableName);
  if (!FColumns.empty()) Text += " (" + JoinTexts(FColumns, ", ") + ")";
  if (FSourceQuery) return Text + " " + FSourceQuery->GetSqlText();
  return Text + " VALUES (" + JoinTexts(FValues, ", ") + ")";
}

void TVdbSqlInsertCommand::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  if (FSourceQuery) {
    FSourceQuery->TraverseDepthFirst(Visitor);
  } else {
    for (auto& Value : FValues) Value->TraverseDepthFirst(Visitor);
  }
}

void TVdbSqlInsertCommand::Optimize() {
  if (FSourceQuery) FSourceQuery->Optimize();
}

TVdbSqlUpdateCommand::TVdbSqlUpdateCommand(TVdbCatalog* Catalog, std::string TableName) : TVdbSqlCommand(Catalog) {
  FTableName = std::move(TableName);
}
TVdbSqlUpdateCommand::~TVdbSqlUpdateCommand() = default;

void TVdbSqlUpdateCommand::AddAssignment(std::unique_ptr<TVdbExpression> Column, std::unique_ptr<TVdbExpression> Value,
                                         std::unique_ptr<TVdbSqlQuery> SubQuery) {
  FColumns.push_back(std::move(Column));
  FExpressions.push_back(std::move(Value));
  FSubQueries.push_back(std::move(SubQuery));
}

std::unique_ptr<TVdbSqlQuery> TVdbSqlUpdateCommand::ReplaceSubquery(int Index, const std::string& Name) {
  std::unique_ptr<TVdbSqlQuery>& Slot = FSubQueries.at(static_cast<std::size_t>(Index));
  auto Old = std::move(Slot);
  Slot = MakeTableQuery(FCatalog, Name);
  return Old;
}

void TVdbSqlUpdateCommand::SetSearchCondition(std::unique_ptr<TVdbSearchCondition> Condition) {
  FSearchCondition = std::move(Condition);
}

std::string TVdbSqlUpdateCommand::GetSqlText() const {
  std::string Text = "UPDATE " + SqlName(FTableName) + " SET ";
  for (std::size_t I = 0; I < FColumns.size(); ++I) {
    if (I > 0) Text += ", ";
    Text += FColumns[I]->GetSqlText() + " = ";
    Text += FSubQueries[I] ? "(" + FSubQueries[I]->GetSqlText() + ")" : FExpressions[I]->GetSqlText();
  }
  if (FSearchCondition) Text += " WHERE " + FSearchCondition->GetSqlText();
  return Text;
}

void TVdbSqlUpdateCommand::TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) {
  Visitor.PerformOperation(*this);
  for (auto& Expression : FExpressions)
    if (Expression) Expression->TraverseDepthFirst(Visitor);
  if (FSearchCondition) FSearchCondition->TraverseDepthFirst(Visitor);
  for (auto& SubQuery : FSubQueries)
    if (SubQuery) SubQuery->TraverseDepthFirst(Visitor);
}

void TVdbSqlUpdateCommand::Optimize() {
  OptimizeCondition(FSearchCondition);
  for (auto& SubQuery : FSubQueries)
    if (SubQuery) SubQuery->Optimize();
}

std::string TVdbSqlTableOptions::GetSqlText() const {
  std::string Text;
  if (!FLanguage.empty()) Text += " COLLATE " + FLanguage;
  if (FLevel > 0) Text += " LEVEL " + std::to_string(FLevel);
  if (FHasEncryption) Text += " ENCRYPTION " + EncryptionName(FEncryption);
  if (FHasPassword) Text += " PASSWORD " + SqlString(FKey);
  return Text;
}

namespace {

std::string ConstraintsText(const TVdbSqlConstraints& Constraints, const char* Prefix) {
  std::vector<std::string> Items;
  auto Named = [&](const std::string& Name) { return std::string(Prefix) + (Name.empty() ? "" : "CONSTRAINT " + SqlName(Name) + " "); };
  for (const auto& Check : Constraints.FCheckConstraints)
    Items.push_back(Named(Check->Name()) + "CHECK (" + Check->SearchCondition()->GetSqlText() + ")");
  for (int I = 0; I < Constraints.FCandidateKeys.Count(); ++I) {
    const auto* Key = Constraints.FCandidateKeys.Get<TVdbCandidateKeyDef>(I);
    Items.push_back(Named(Key->Name()) + (Key->FIsPrimary ? "PRIMARY KEY (" : "UNIQUE (") + JoinNameTexts(Key->FColumnNames) + ")");
  }
  for (int I = 0; I < Constraints.FForeignKeys.Count(); ++I) {
    const auto* Key = Constraints.FForeignKeys.Get<TVdbForeignKeyDef>(I);
    std::string Text = Named(Key->Name()) + "FOREIGN KEY (" + JoinNameTexts(Key->FColumnNames) + ") REFERENCES " +
                       SqlName(Key->FParentTableName);
    if (!Key->FParentColumnNames.empty()) Text += " (" + JoinNameTexts(Key->FParentColumnNames) + ")";
    if (Key->FDeleteAction == traCascade) Text += " ON DELETE CASCADE";
    if (Key->FUpdateAction == traCascade) Text += " ON UPDATE CASCADE";
    Items.push_back(std::move(Text));
  }
  std::string Text;
  for (const std::string& Item : Items) Text += ", " + Item;
  return Text;
}

}  // namespace

TVdbSqlCreateTableCommand::TVdbSqlCreateTableCommand(TVdbCatalog* Catalog, std::string TableName)
    : TVdbSqlCommand(Catalog) {
  FTableName = std::move(TableName);
}
TVdbSqlCreateTableCommand::~TVdbSqlCreateTableCommand() = default;

std::string TVdbSqlCreateTableCommand::GetSqlText() const {
  std::string Elements = JoinTexts(FColumnDefinitions, ", ") + ConstraintsText(FConstraints, "");
  if (FColumnDefinitions.empty() && Elements.size() >= 2) Elements.erase(0, 2);
  return "CREATE TABLE " + SqlName(FTableName) + FOptions.GetSqlText() + " (" + Elements + ")";
}

TVdbSqlAlterTableCommand::TVdbSqlAlterTableCommand(TVdbCatalog* Catalog, std::string TableName)
    : TVdbSqlCommand(Catalog) {
  FTableName = std::move(TableName);
}
TVdbSqlAlterTableCommand::~TVdbSqlAlterTableCommand() = default;

std::string TVdbSqlAlterTableCommand::GetSqlText() const {
  std::vector<std::string> Actions;
  for (std::size_t I = 0; I < FColumnNames.size(); ++I) {
    const TVdbSqlColumnDefinition* Def = FColumnDefinitions[I].get();
    if (FColumnNames[I].empty()) Actions.push_back("ADD COLUMN " + Def->GetSqlText());
    else if (!Def) Actions.push_back("DROP COLUMN " + SqlName(FColumnNames[I]));
    else if (Def->FSqlType == sqlNone) Actions.push_back("RENAME COLUMN " + SqlName(FColumnNames[I]) + " TO " + SqlName(Def->FColumnName));
    else Actions.push_back("MODIFY COLUMN " + Def->GetSqlText());
  }
  for (const std::string& Name : FDeletedConstraintNames) Actions.push_back("DROP CONSTRAINT " + SqlName(Name));
  std::string Text = "ALTER TABLE " + SqlName(FTableName) + FOptions.GetSqlText();
  for (std::size_t I = 0; I < Actions.size(); ++I) Text += (I > 0 ? ", " : " ") + Actions[I];
  std::string Added = ConstraintsText(FConstraints, "ADD ");
  if (!Added.empty()) Text += Actions.empty() ? Added.substr(1) : Added;
  return Text;
}

// ---------------------------------------------------------------------------------------------
// Standard functions

namespace {

const TVdbDataType* NullableType(std::int16_t Code) { return TVdbDataType::GetDataType(Code, true, kVdbCurrentLevel); }

bool IsAggregateId(TFunctionId Id) {
  switch (Id) {
    case sftMax: case sftMin: case sftFirst: case sftLast: case sftAvg: case sftSum: case sftCount: return true;
    default: return false;
  }
}

bool IsExtractId(TFunctionId Id) { return Id >= sftExtractYear && Id <= sftExtractWeek; }

const char* ExtractFieldName(TFunctionId Id) {
  switch (Id) {
    case sftExtractYear: return "YEAR";
    case sftExtractMonth: return "MONTH";
    case sftExtractDay: return "DAY";
    case sftExtractWeekDay: return "WEEKDAY";
    case sftExtractWeekDayName: return "WEEKDAYNAME";
    case sftExtractHour: return "HOUR";
    case sftExtractMillisecond: return "MILLISECOND";
    case sftExtractMinute: return "MINUTE";
    case sftExtractSecond: return "SECOND";
    case sftExtractWeek: return "WEEK";
    default: return "";
  }
}

constexpr std::int64_t kTicksPerMillisecond = 10000;

// The current local date (packed), time of day (100-ns ticks).
void LocalNow(std::int32_t& Date, std::int64_t& Ticks) {
  const auto Now = std::chrono::system_clock::now();
  const std::time_t T = std::chrono::system_clock::to_time_t(Now);
  std::tm Local{};
  localtime_r(&T, &Local);
  const auto Millis = std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() % 1000;
  Date = TVdbDateTimeType::EncodeDate(Local.tm_year + 1900, Local.tm_mon + 1, Local.tm_mday);
  Ticks = ((Local.tm_hour * 60LL + Local.tm_min) * 60 + Local.tm_sec) * 1000 * kTicksPerMillisecond +
          Millis * kTicksPerMillisecond;
}

std::u16string TrimText(std::u16string Text, char16_t C, bool Leading, bool Trailing) {
  std::size_t Start = 0, End = Text.size();
  if (Leading) while (Start < End && Text[Start] == C) ++Start;
  if (Trailing) while (End > Start && Text[End - 1] == C) --End;
  return Text.substr(Start, End - Start);
}

// The type of a string function's result: the argument's kind of string and collation, as long
// as such a string may be (the result may grow: FILLSTR, EXCHANGE).
const TVdbDataType* StringResultType(const TVdbDataType* Arg) {
  const auto* Str = dynamic_cast<const TVdbStringType*>(Arg);
  if (!Str || (Arg->ColumnType() != kVdbStringCode && Arg->ColumnType() != kVdbWideStringCode))
    return TVdbDataType::GetVariableType(Arg)->GetNullableType(true);
  const bool Wide = Arg->ColumnType() == kVdbWideStringCode;
  return TVdbDataType::GetStringType(Arg->ColumnType(), true, kVdbCurrentLevel,
                                     Wide ? kVdbMaxWideLength : kVdbMaxAnsiLength, Str->CollationName());
}

}  // namespace

TSqlStdFunction::TSqlStdFunction(TFunctionId FunctionId) : FSqlFunction(FunctionId) {}
TSqlStdFunction::~TSqlStdFunction() = default;

TSqlStdFunction::TSqlStdFunction(const TSqlStdFunction& Other)
    : TVdbFunction(Other), FSqlFunction(Other.FSqlFunction), FCountAll(Other.FCountAll) {}

bool TSqlStdFunction::GetIsAggregation() const { return IsAggregateId(FSqlFunction); }

bool TSqlStdFunction::GetIsAggregated() const { return GetIsAggregation() || TVdbFunction::GetIsAggregated(); }

bool TSqlStdFunction::GetIsConstant() const {
  switch (FSqlFunction) {
    case sftRandom: case sftCurrent_Date: case sftCurrent_Time: case sftCurrent_Timestamp: return false;
    default: return !GetIsAggregation() && TVdbFunction::GetIsConstant();
  }
}

std::string TSqlStdFunction::SqlName() const {
  switch (FSqlFunction) {
    case sftTrimLeading: return "LTRIM";
    case sftTrimTrailing: return "RTRIM";
    default: break;
  }
  const int Row = TSqlParser::FindFunction(FSqlFunction);
  int Count = 0;
  return Row >= 0 ? TSqlParser::FunctionTable(Count)[Row].Name : "";
}

std::string TSqlStdFunction::GetSqlText() const {
  auto Arg = [this](std::size_t I) { return I < FArgumentList.size() && FArgumentList[I] ? FArgumentList[I]->GetSqlText() : std::string(); };
  if (IsExtractId(FSqlFunction)) return std::string("EXTRACT(") + ExtractFieldName(FSqlFunction) + " FROM " + Arg(0) + ")";
  switch (FSqlFunction) {
    case sftCount:
      if (FCountAll) return "COUNT(*)";
      break;
    case sftSubString:
      return "SUBSTRING(" + Arg(0) + " FROM " + Arg(1) + (FArgumentList.size() > 2 ? " FOR " + Arg(2) : "") + ")";
    case sftTrimBoth:
    case sftTrimLeading:
    case sftTrimTrailing:
      if (FArgumentList.size() == 2 && FArgumentList[1]->IsBareLiteralOrParameter()) {
        const char* Where = FSqlFunction == sftTrimBoth ? "BOTH" : FSqlFunction == sftTrimLeading ? "LEADING" : "TRAILING";
        return std::string("TRIM(") + Where + " " + Arg(1) + " FROM " + Arg(0) + ")";
      }
      break;
    default:
      break;
  }
  if (FArgumentList.empty()) return SqlName();
  return SqlName() + "(" + ArgumentsSqlText() + ")";
}

std::unique_ptr<TVdbFunction> TSqlStdFunction::CreateCopy() const {
  return std::unique_ptr<TVdbFunction>(new TSqlStdFunction(*this));
}

void TSqlStdFunction::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                              const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  TVdbFunction::Prepare(Context, Options, OuterReferenceCallback);
  const TVdbDataType* Arg = FArgumentList.empty() || !FArgumentList[0] ? nullptr : FArgumentList[0]->DataType();
  auto Require = [&]() {
    if (!Arg) throw EVdbEngine(kVdbErrUnknownType, FArgumentList.empty() ? GetSqlText() : FArgumentList[0]->GetSqlText());
  };
  const TVdbDataType* Result = nullptr;
  if (Arg && Arg->ColumnType() == kVdbNullCode && !GetIsAggregation()) {
    // A NULL argument: the result is NULL whatever the function.
    FResultType = FResultDataType = Arg;
    return;
  }
  switch (FSqlFunction) {
    case sftMax: case sftMin: case sftFirst: case sftLast:
      Require();
      Result = Arg->GetNullableType(true);
      break;
    case sftSum:
      Require();
      if (Arg->IsIntegerType()) Result = NullableType(kVdbBigIntCode);
      else if (Arg->ColumnType() == kVdbFloatCode) Result = NullableType(kVdbFloatCode);
      else throw EVdbEngine(kVdbErrTypeMismatch, "SUM");
      break;
    case sftAvg: case sftCeiling: case sftFloor: case sftLog: case sftSqrt: case sftExp: case sftFrac:
    case sftAbs: case sftRound: case sftRealVal:
      Result = NullableType(kVdbFloatCode);
      break;
    case sftCount:
      Result = TVdbDataType::GetDataType(kVdbIntegerCode, false, kVdbCurrentLevel);
      break;
    case sftInt: case sftRandom:
      Result = NullableType(kVdbBigIntCode);
      break;
    case sftLen: case sftChar_Length:
      Result = NullableType(kVdbIntegerCode);
      break;
    case sftChr:
      Result = TVdbDataType::GetStringType(kVdbWideStringCode, true, kVdbCurrentLevel, 1, "");
      break;
    case sftExtractWeekDayName:
      Result = TVdbDataType::GetStringType(kVdbWideStringCode, true, kVdbCurrentLevel, 20, "English");
      break;
    case sftNTimes: case sftDigitStr:
      Result = TVdbDataType::GetStringType(kVdbStringCode, true, kVdbCurrentLevel, 255, "");
      break;
    case sftStr:
      Result = TVdbDataType::GetStringType(kVdbStringCode, true, kVdbCurrentLevel, 40, "");
      break;
    case sftCurrent_Date: Result = NullableType(kVdbDateCode); break;
    case sftCurrent_Time: Result = NullableType(kVdbTimeCode); break;
    case sftCurrent_Timestamp: Result = NullableType(kVdbTimeStampCode); break;
    case sftUpper: case sftLower: case sftSubString: case sftTrimBoth: case sftTrimLeading:
    case sftTrimTrailing: case sftExchange: case sftFillStr: case sftLikeLower: case sftLikeUpper:
      Require();
      if (!Arg->IsStringType()) throw EVdbEngine(kVdbErrTypeMismatch, Arg->SqlName() + "-> String");
      Result = StringResultType(Arg);
      break;
    default:
      if (IsExtractId(FSqlFunction)) {
        Result = NullableType(kVdbIntegerCode);
        break;
      }
      throw EVdbEngine(kVdbErrUnknown, "Not yet implemented");
  }
  FResultType = Result;
  FResultDataType = Result;
  FArgValues.clear();
  FArgValues.resize(FArgumentList.size());
}

bool TSqlStdFunction::CalcArguments(TVdbRelationSet& RltnIdxs) {
  bool AnyNull = false;
  if (FArgValues.size() != FArgumentList.size()) FArgValues.resize(FArgumentList.size());
  for (std::size_t I = 0; I < FArgumentList.size(); ++I) {
    FArgumentList[I]->Calculate(FArgValues[I], RltnIdxs);
    if (FArgumentList[I]->DataType()->IsNull(FArgValues[I])) AnyNull = true;
  }
  return !AnyNull;
}

void TSqlStdFunction::ResetAggregations() {
  TVdbFunction::ResetAggregations();
  FValue1.Clear();
  FDataType1 = nullptr;
  FCount = 0;
}

void TSqlStdFunction::CalcAggregations() {
  TVdbFunction::CalcAggregations();
  if (!GetIsAggregation()) return;
  TVdbRelationSet Ignored;
  FArgValues.resize(FArgumentList.size());
  const TVdbDataType* ArgType = FArgumentList[0]->DataType();
  FArgumentList[0]->Calculate(FArgValues[0], Ignored);
  if (ArgType->IsNull(FArgValues[0])) return;
  ++FCount;
  const bool Empty = FValue1.IsEmpty();
  switch (FSqlFunction) {
    case sftMax:
    case sftMin: {
      const int Cmp = Empty ? 0 : ArgType->CompareTo(FArgValues[0], FValue1, FResultType, 0);
      if (Empty || (FSqlFunction == sftMax ? Cmp == kVdbCmpGreater : Cmp == kVdbCmpLess))
        FResultType->Assign(FValue1, FArgValues[0], ArgType);
      break;
    }
    case sftFirst:
      if (Empty) FResultType->Assign(FValue1, FArgValues[0], ArgType);
      break;
    case sftLast:
      FResultType->Assign(FValue1, FArgValues[0], ArgType);
      break;
    case sftSum:
    case sftAvg:
      if (FResultType->ColumnType() == kVdbFloatCode) {
        FResultType->SetDouble(FValue1, (Empty ? 0.0 : FResultType->GetDouble(FValue1)) + ArgType->GetDouble(FArgValues[0]));
      } else {
        const std::int64_t Sum = Empty ? 0 : FResultType->GetInteger(FValue1);
        std::int64_t Next;
        if (__builtin_add_overflow(Sum, ArgType->GetInteger(FArgValues[0]), &Next)) throw EVdbEngine(kVdbErrOutOfRange, GetSqlText());
        FResultType->SetInteger(FValue1, Next);
      }
      break;
    default:
      break;
  }
}

void TSqlStdFunction::DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  if (GetIsAggregation()) {
    if (FSqlFunction == sftCount) return FResultType->SetInteger(Value, FCount);
    if (FValue1.IsEmpty()) return FResultType->SetNull(Value);
    if (FSqlFunction == sftAvg) return FResultType->SetDouble(Value, FResultType->GetDouble(FValue1) / static_cast<double>(FCount));
    return FResultType->Assign(Value, FValue1, FResultType);
  }
  if (FSqlFunction == sftCurrent_Date || FSqlFunction == sftCurrent_Time || FSqlFunction == sftCurrent_Timestamp) {
    std::int32_t Date;
    std::int64_t Ticks;
    LocalNow(Date, Ticks);
    if (FSqlFunction == sftCurrent_Date) return FResultType->SetDate(Value, Date);
    if (FSqlFunction == sftCurrent_Time) return FResultType->SetTime(Value, Ticks);
    return FResultType->SetTimeStamp(Value, TVdbTimeStamp{Date, static_cast<std::int32_t>(Ticks / kTicksPerMillisecond)});
  }
  const bool Complete = CalcArguments(RltnIdxs);
  if (FSqlFunction == sftExchange && !FArgumentList[0]->DataType()->IsNull(FArgValues[0]) && !Complete)
    return FResultType->Assign(Value, FArgValues[0], FArgumentList[0]->DataType());   // NULL a or b: s unchanged
  if (!Complete) return FResultType->SetNull(Value);
  if (IsExtractId(FSqlFunction)) return CalcExtract(Value);
  if (FResultType->IsStringType() || FSqlFunction == sftLen || FSqlFunction == sftChar_Length) return CalcString(Value);
  CalcScalar(Value);
}

void TSqlStdFunction::CalcScalar(TVdbDataValue& Value) {
  const TVdbDataType* T0 = FArgumentList[0]->DataType();
  double X = 0;
  if (FSqlFunction != sftRealVal && FSqlFunction != sftRandom && FSqlFunction != sftInt) X = T0->GetDouble(FArgValues[0]);
  switch (FSqlFunction) {
    case sftAbs: return FResultType->SetDouble(Value, std::fabs(X));
    case sftExp: return FResultType->SetDouble(Value, std::exp(X));
    case sftFrac: return FResultType->SetDouble(Value, X - std::trunc(X));
    case sftSqrt: return X < 0 ? FResultType->SetNull(Value) : FResultType->SetDouble(Value, std::sqrt(X));
    case sftLog: return X <= 0 ? FResultType->SetNull(Value) : FResultType->SetDouble(Value, std::log(X));
    case sftCeiling:
    case sftFloor:
      if (X < -2147483648.0 || X > 2147483647.0) return FResultType->SetNull(Value);
      return FResultType->SetDouble(Value, FSqlFunction == sftCeiling ? std::ceil(X) : std::floor(X));
    case sftRound: {
      const double Scale = std::pow(10.0, static_cast<double>(FArgumentList[1]->DataType()->GetInteger(FArgValues[1])));
      return FResultType->SetDouble(Value, std::round(X * Scale) / Scale);   // halfway values away from zero
    }
    case sftInt: {
      if (T0->IsIntegerType()) return FResultType->SetInteger(Value, T0->GetInteger(FArgValues[0]));
      const double D = std::trunc(T0->GetDouble(FArgValues[0]));
      if (!(D >= -9223372036854775808.0 && D < 9223372036854775808.0)) throw EVdbEngine(kVdbErrOutOfRange, "function Int");
      return FResultType->SetInteger(Value, static_cast<std::int64_t>(D));
    }
    case sftRandom: {
      static std::mt19937_64 Generator{std::random_device{}()};
      const std::int64_t N = T0->GetInteger(FArgValues[0]);
      if (N <= 0) return FResultType->SetInteger(Value, 0);
      return FResultType->SetInteger(Value, static_cast<std::int64_t>(Generator() % static_cast<std::uint64_t>(N)));
    }
    case sftRealVal: {
      std::string Text;
      T0->ConvertToString(FArgValues[0], Text);
      char* End = nullptr;
      const double D = std::strtod(Text.c_str(), &End);
      if (Text.empty() || End != Text.c_str() + Text.size()) throw EVdbEngine(kVdbErrInvalidNumber, Text);
      return FResultType->SetDouble(Value, D);
    }
    default:
      throw EVdbEngine(kVdbErrUnknown, "Not yet implemented");
  }
}

void TSqlStdFunction::CalcString(TVdbDataValue& Value) {
  const TVdbDataType* T0 = FArgumentList[0]->DataType();
  auto Wide = [&](std::size_t I) {
    const TVdbDataType* T = FArgumentList[I]->DataType();
    if (T->IsStringType()) return T->GetWideString(FArgValues[I]);
    std::string Text;
    T->ConvertToString(FArgValues[I], Text);
    return TkxMemory::Utf8ToUtf16(Text);
  };
  auto Int = [&](std::size_t I) { return FArgumentList[I]->DataType()->GetInteger(FArgValues[I]); };
  auto Set = [&](const std::u16string& Text) { FResultType->SetWideString(Value, Text); };
  switch (FSqlFunction) {
    case sftUpper:
    case sftLower:
      return FResultType->CalculateWith(FSqlFunction == sftUpper ? duoStringUpper : duoStringLower, Value, FArgValues[0], T0);
    case sftLen:
    case sftChar_Length:
      return FResultType->SetInteger(Value, static_cast<std::int64_t>(Wide(0).size()));
    case sftChr:
      return Set(std::u16string(1, static_cast<char16_t>(Int(0))));
    case sftSubString: {
      const std::u16string S = Wide(0);
      const std::int64_t Start = Int(1);
      const std::int64_t Length = FArgumentList.size() > 2 ? Int(2) : -1;
      if (Start < 1 || Start > static_cast<std::int64_t>(S.size())) return Set(u"");
      const std::size_t Count = Length < 0 ? std::u16string::npos : static_cast<std::size_t>(Length);
      return Set(S.substr(static_cast<std::size_t>(Start - 1), Count));
    }
    case sftTrimBoth:
    case sftTrimLeading:
    case sftTrimTrailing: {
      const std::u16string Chars = FArgumentList.size() > 1 ? Wide(1) : std::u16string(u" ");
      const char16_t C = Chars.empty() ? u' ' : Chars[0];
      return Set(TrimText(Wide(0), C, FSqlFunction != sftTrimTrailing, FSqlFunction != sftTrimLeading));
    }
    case sftExchange: {
      std::u16string S = Wide(0);
      const std::u16string A = Wide(1), B = Wide(2);
      if (A.empty()) return Set(S);
      std::u16string Result;
      for (std::size_t Pos = 0;;) {
        const std::size_t Found = S.find(A, Pos);
        if (Found == std::u16string::npos) {
          Result += S.substr(Pos);
          break;
        }
        Result += S.substr(Pos, Found - Pos) + B;
        Pos = Found + A.size();
      }
      return Set(Result);
    }
    case sftFillStr:
    case sftNTimes: {
      // FILLSTR(s, f, n) fills s on the right with repetitions of f up to n characters;
      // NTIMES(s, n) is the same fill of an empty start text to n times the length of s.
      std::u16string S = FSqlFunction == sftFillStr ? Wide(0) : std::u16string();
      const std::u16string F = FSqlFunction == sftFillStr ? Wide(1) : Wide(0);
      std::int64_t N = FSqlFunction == sftFillStr ? Int(2) : Int(1) * static_cast<std::int64_t>(F.size());
      const std::int64_t Limit = FSqlFunction == sftNTimes ? 255 : kVdbMaxWideLength;
      N = std::min(N, Limit);
      if (!F.empty())
        while (static_cast<std::int64_t>(S.size()) < N) S += F;
      if (static_cast<std::int64_t>(S.size()) > N && N >= 0 && FSqlFunction == sftNTimes) S.resize(static_cast<std::size_t>(N));
      if (FSqlFunction == sftFillStr && static_cast<std::int64_t>(S.size()) > N && N > static_cast<std::int64_t>(Wide(0).size()))
        S.resize(static_cast<std::size_t>(N));
      return Set(S);
    }
    case sftStr: {
      // STR(x, width, decimals, decimal separator, thousands separator, fill character).
      const TVdbDataType* T = T0;
      std::string Text;
      if (T->ColumnType() == kVdbEnumCode) {
        T->ConvertToString(FArgValues[0], Text);
        return FResultType->SetAnsiString(Value, Text);
      }
      const std::int64_t Width = FArgumentList.size() > 1 ? Int(1) : 0;
      const std::int64_t Decimals = FArgumentList.size() > 2 ? std::clamp<std::int64_t>(Int(2), 0, 20) : 0;
      auto Char = [&](std::size_t I, char Default) {
        if (FArgumentList.size() <= I) return Default;
        const std::u16string C = Wide(I);
        return C.empty() ? Default : static_cast<char>(C[0]);
      };
      char Buffer[64];
      std::snprintf(Buffer, sizeof Buffer, "%.*f", static_cast<int>(Decimals), T->GetDouble(FArgValues[0]));
      Text = Buffer;
      const char Separator = Char(3, '.');
      const char Thousands = Char(4, 0);
      const char Fill = Char(5, ' ');
      std::size_t Dot = Text.find('.');
      if (Dot != std::string::npos) Text[Dot] = Separator;
      if (Thousands) {
        std::size_t End = Dot == std::string::npos ? Text.size() : Dot;
        const std::size_t Begin = (Text[0] == '-') ? 1 : 0;
        for (std::size_t I = End; I > Begin + 3; I -= 3) Text.insert(I - 3, 1, Thousands);
      }
      if (static_cast<std::int64_t>(Text.size()) < Width) Text.insert(0, static_cast<std::size_t>(Width) - Text.size(), Fill);
      if (Text.size() > 40) Text.resize(40);
      return FResultType->SetAnsiString(Value, Text);
    }
    case sftDigitStr: {
      // The decimal digits of the integer part, without sign.
      const double D = std::fabs(std::trunc(T0->GetDouble(FArgValues[0])));
      char Buffer[400];
      std::snprintf(Buffer, sizeof Buffer, "%.0f", D);
      std::string Text = Buffer;
      if (Text.size() > 255) Text.resize(255);
      return FResultType->SetAnsiString(Value, Text);
    }
    default:
      throw EVdbEngine(kVdbErrUnknown, "Not yet implemented");
  }
}

void TSqlStdFunction::CalcExtract(TVdbDataValue& Value) {
  const TVdbDataType* T = FArgumentList[0]->DataType();
  std::int32_t Date = 0;
  std::int64_t Ticks = 0;
  switch (T->ColumnType()) {
    case kVdbDateCode: Date = T->GetDate(FArgValues[0]); break;
    case kVdbTimeCode: Ticks = T->GetTime(FArgValues[0]); break;
    case kVdbTimeStampCode: {
      const TVdbTimeStamp Stamp = T->GetTimeStamp(FArgValues[0]);
      Date = Stamp.Date;
      Ticks = static_cast<std::int64_t>(Stamp.Time) * kTicksPerMillisecond;
      break;
    }
    default:
      throw EVdbEngine(kVdbErrTypeMismatch, T->SqlName() + "->" + "TIMESTAMP");
  }
  std::int32_t Year = 0, Month = 0, Day = 0;
  if (Date != 0) TVdbDateTimeType::DecodeDate(Date, Year, Month, Day);
  const std::int64_t Millis = Ticks / kTicksPerMillisecond;
  const std::int32_t WeekDay = (TVdbDateTimeType::DateToDays(Date) + 4) % 7 + 1;
  std::int64_t Result = 0;
  switch (FSqlFunction) {
    case sftExtractYear: Result = Year; break;
    case sftExtractMonth: Result = Month; break;
    case sftExtractDay: Result = Day; break;
    case sftExtractHour: Result = Millis / 3600000; break;
    case sftExtractMinute: Result = Millis / 60000 % 60; break;
    case sftExtractSecond: Result = Millis / 1000 % 60; break;
    case sftExtractMillisecond: Result = Millis % 1000; break;
    case sftExtractWeek: Result = TVdbDateTimeType::WeekOfYear(Date); break;
    case sftExtractWeekDay: Result = WeekDay; break;
    case sftExtractWeekDayName: {
      // Named after the same weekday number as EXTRACT(WEEKDAY ...), counted from a known Monday.
      static const char16_t* const kNames[] = {u"Monday", u"Tuesday", u"Wednesday", u"Thursday",
                                               u"Friday", u"Saturday", u"Sunday"};
      const std::int32_t Monday = TVdbDateTimeType::DateToDays(TVdbDateTimeType::EncodeDate(2024, 1, 1));
      const std::int32_t Offset = ((TVdbDateTimeType::DateToDays(Date) - Monday) % 7 + 7) % 7;
      return FResultType->SetWideString(Value, kNames[Offset]);
    }
    default: break;
  }
  FResultType->SetInteger(Value, Result);
}

// CAST

TSqlCastFunction::TSqlCastFunction(std::unique_ptr<TVdbSqlColumnDefinition> TargetType)
    : TSqlStdFunction(sftCast), FTargetType(std::move(TargetType)) {}
TSqlCastFunction::~TSqlCastFunction() = default;

std::string TSqlCastFunction::GetSqlText() const {
  return "CAST(" + (FArgumentList.empty() ? std::string() : FArgumentList[0]->GetSqlText()) + " AS " +
         SqlTypeText(*FTargetType) + ")";
}

std::unique_ptr<TVdbFunction> TSqlCastFunction::CreateCopy() const {
  auto Copy = std::make_unique<TSqlCastFunction>(FTargetType->Clone());
  for (const auto& Argument : FArgumentList) Copy->AddArgument(Argument->Clone());
  return Copy;
}

void TSqlCastFunction::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                               const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  TVdbFunction::Prepare(Context, Options, OuterReferenceCallback);
  FResultType = FTargetType->GetDataType();
  FResultDataType = FResultType;
  if (!FResultType) throw EVdbEngine(kVdbErrUnknownType, GetSqlText());
}

void TSqlCastFunction::DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  TVdbDataValue Argument;
  const TVdbDataType* ArgType = FArgumentList[0]->DataType();
  FArgumentList[0]->Calculate(Argument, RltnIdxs);
  if (ArgType->IsNull(Argument)) return FResultType->SetNullOrDefault(Value);
  try {
    FResultType->ConvertFrom(Value, Argument, ArgType);
  } catch (const std::exception&) {
    // A value that does not convert is NULL, or the empty value of a required type.
    if (FResultType->Nullable()) FResultType->SetNull(Value);
    else FResultType->GetDefault(Value);
  }
}

// CURRENTRECORDID

TSqlCurrentRecordIdFunction::TSqlCurrentRecordIdFunction(std::string TableName)
    : TSqlStdFunction(sftCurrentRecordId), FTableName(std::move(TableName)) {}

std::string TSqlCurrentRecordIdFunction::GetSqlText() const { return "CURRENTRECORDID(" + FTableName + ")"; }

std::unique_ptr<TVdbFunction> TSqlCurrentRecordIdFunction::CreateCopy() const {
  return std::make_unique<TSqlCurrentRecordIdFunction>(FTableName);
}

void TSqlCurrentRecordIdFunction::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  if (CompareIdentifiers(FTableName, Alias) == 0) FTableName = InternalName;
}

void TSqlCurrentRecordIdFunction::Prepare(TVdbExpressionContext*, TVdbPrepareOptions, const TVdbOuterReferenceCallback&) {
  FResultType = TVdbDataType::GetDataType(kVdbRecordIdCode, true, kVdbCurrentLevel);
}

void TSqlCurrentRecordIdFunction::DoCalculate(TVdbDataValue&, TVdbRelationSet&) {
  // Reading a relation's record id needs the accessor set of the statement layer.
  throw EVdbEngine(kVdbErrUnknown, "Not yet implemented");
}

// ---------------------------------------------------------------------------------------------
// Data functions

int FindDataFunction(std::string_view Name) {
  const TVdbDataFunc* Func = FindDataFunc(Name);
  return Func ? static_cast<int>(Func->Id) : -1;
}

const TVdbDataFuncEntry& DataFunction(int Index) {
  static const std::vector<TVdbDataFuncEntry> Entries = [] {
    std::vector<TVdbDataFuncEntry> Table;
    for (int I = 0; I < kVdbDataFuncCount; ++I) {
      const TVdbDataFunc& F = GetDataFunc(static_cast<TVdbDataFuncId>(I));
      Table.push_back({F.Name, F.ResultType, F.MinArgs, F.MaxArgs});
    }
    return Table;
  }();
  return Entries.at(static_cast<std::size_t>(Index));
}

std::string TVeskorPlFunction::GetSqlText() const {
  const std::string Name = GetDataFunc(FDataFunc).Name;
  return FArgumentList.empty() ? Name : Name + "(" + ArgumentsSqlText() + ")";
}

std::unique_ptr<TVdbFunction> TVeskorPlFunction::CreateCopy() const {
  auto Copy = std::make_unique<TVeskorPlFunction>(FDataFunc);
  for (const auto& Argument : FArgumentList) Copy->AddArgument(Argument->Clone());
  return Copy;
}

void TVeskorPlFunction::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  TVdbFunction::Prepare(Context, Options, OuterReferenceCallback);
  FResultType = DataFuncResultType(FDataFunc);
  FArgValues.clear();
  FArgValues.resize(FArgumentList.size());
}

void TVeskorPlFunction::DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  std::vector<TVdbDataFuncArg> Args;
  FArgValues.resize(FArgumentList.size());
  for (std::size_t I = 0; I < FArgumentList.size(); ++I) {
    FArgumentList[I]->Calculate(FArgValues[I], RltnIdxs);
    Args.push_back({&FArgValues[I], FArgumentList[I]->DataType()});
  }
  CalculateDataFunc(FDataFunc, Args, Value, FResultType);
}

// ---------------------------------------------------------------------------------------------
// Visitors

void TVdbCheckCorrelatedVisitor::PerformOperation(TVdbSyntaxNode& Node) {
  if (auto* Factor = dynamic_cast<TVdbFactor*>(&Node); Factor && Factor->GetIsOuterReference()) FIsCorrelated = true;
}

void TVdbInitNodesVisitor::PerformOperation(TVdbSyntaxNode& Node) {
  if (auto* Factor = dynamic_cast<TVdbSimpleFactor*>(&Node)) Factor->SetVariables(FParameters);
}

void TVdbReplaceOuterAliasVisitor::PerformOperation(TVdbSyntaxNode& Node) {
  if (auto* Condition = dynamic_cast<TVdbSearchCondition*>(&Node)) Condition->ReplaceAlias(FAliasName, FInternalName);
}

void TVdbResetAggregationsVisitor::PerformOperation(TVdbSyntaxNode& Node) {
  if (auto* Function = dynamic_cast<TVdbFunction*>(&Node)) Function->ResetAggregations();
}

void TVdbCalcAggregationsVisitor::PerformOperation(TVdbSyntaxNode& Node) {
  if (auto* Function = dynamic_cast<TVdbFunction*>(&Node)) Function->CalcAggregations();
}

void TVdbFulltextVisitor::PerformOperation(TVdbSyntaxNode& Node) {
  const auto* Std = dynamic_cast<TSqlStdFunction*>(&Node);
  if (dynamic_cast<TVdbSqlFulltextPredicate*>(&Node) || (Std && Std->FunctionId() == sftFullTextRank))
    throw ESqlCommand(52, "Not yet implemented");
}

// ---------------------------------------------------------------------------------------------
// Preparation

namespace {

void PrepareSelectItem(TVdbExpression& Expression, TVdbExpressionContext* Context, TVdbPrepareOptions Options) {
  Expression.Prepare(Context, Options);
  if (!Expression.DataType()) throw ESqlCommand(144, Expression.GetSqlText());
}

void PrepareOnConditions(TVdbSqlTableReference& Ref, TVdbExpressionContext* Context, TVdbPrepareOptions Options) {
  if (!Ref.IsJoinedTable()) return;
  PrepareOnConditions(*Ref.Left(), Context, Options);
  PrepareOnConditions(*Ref.Right(), Context, Options);
  if (Ref.SearchCondition()) Ref.SearchCondition()->Prepare(Context, Options);
}

}  // namespace

void TVdbSqlTableSimplePrimitive::PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) {
  if (FTableExpression) FTableExpression->PreparePhase1(Context, Options);
}

void TVdbSqlTableSimplePrimitive::PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                                const TVdbOuterReferenceCallback& Callback) {
  if (FTableExpression) FTableExpression->PreparePhase2(Context, Options, Callback);
}

void TVdbSqlSelectExpression::PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) {
  for (auto& Element : FSelectElements)
    if (Element->ScalarExpression()) PrepareSelectItem(*Element->ScalarExpression(), Context, Options);
}

void TVdbSqlSelectExpression::PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                            const TVdbOuterReferenceCallback& Callback) {
  for (int I = 0; I < FTableReferences.Count(); ++I) PrepareOnConditions(FTableReferences[I], Context, Options);
  if (FSearchCondition) FSearchCondition->Prepare(Context, Options, Callback);
  if (FHavingCondition) FHavingCondition->Prepare(Context, Options, Callback);
}

void TVdbSqlTableTerm::PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) {
  FTablePrimitive->PreparePhase1(Context, Options);
  if (FTableTerm) FTableTerm->PreparePhase1(Context, Options);
}

void TVdbSqlTableTerm::PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                     const TVdbOuterReferenceCallback& Callback) {
  FTablePrimitive->PreparePhase2(Context, Options, Callback);
  if (FTableTerm) FTableTerm->PreparePhase2(Context, Options, Callback);
}

void TVdbSqlTableExpression::PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) {
  FTableTerm->PreparePhase1(Context, Options);
  if (FTableExpression) FTableExpression->PreparePhase1(Context, Options);
}

void TVdbSqlTableExpression::PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                           const TVdbOuterReferenceCallback& Callback) {
  FTableTerm->PreparePhase2(Context, Options, Callback);
  if (FTableExpression) FTableExpression->PreparePhase2(Context, Options, Callback);
}

void TVdbSqlCommand::PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions) { FContext = Context; }

void TVdbSqlCommand::PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions, const TVdbOuterReferenceCallback&) {
  FContext = Context;
  FIsPrepared = true;
}

TVdbVariable* TVdbSqlCommand::CheckForOuterReference(TVdbSqlQuery& Source, const std::string& ColumnName) {
  if (!FContext) return nullptr;
  // A column referenced a second time by the same sub-query shares its variable.
  for (std::size_t I = 0; I < FOuterReferences.size(); ++I)
    if (FOuterReferences[I]->SubQuery() == &Source && FOuterReferences[I]->Variable()->Name() == ColumnName)
      return FOuterReferences[I]->Variable();
  TVdbColumnRef Column;
  if (!FContext->FindColumn(ColumnName, Column)) return nullptr;
  const TVdbDataType* Type = TVdbDataType::GetVariableType(FContext->ColumnType(Column));
  auto Variable = std::make_unique<TVdbVariable>(ColumnName, Type);
  TVdbVariable* Result = Variable.get();
  FOuterReferences.push_back(std::make_unique<TSqlOuterReference>(&Source, Column.RltnIdx, Column.FieldNo, std::move(Variable)));
  FOuterColumns.push_back(Column);
  return Result;
}

TVdbOuterReferenceCallback TVdbSqlCommand::OuterReferenceCallback(TVdbSqlQuery& SubQuery) {
  return [this, &SubQuery](const std::string& ColumnName) { return CheckForOuterReference(SubQuery, ColumnName); };
}

void TVdbSqlCommand::UpdateOuterReferences() {
  for (std::size_t I = 0; I < FOuterReferences.size(); ++I) {
    TVdbDataValue Value;
    const TVdbDataType* Type = FContext->ColumnType(FOuterColumns[I]);
    FContext->ReadColumn(FOuterColumns[I], Value);
    if (FOuterReferences[I]->Update(Value, Type))
      if (auto* Query = dynamic_cast<TVdbSqlQuery*>(FOuterReferences[I]->SubQuery())) Query->OuterReferenceModified();
  }
}

void TVdbSqlQuery::Recalc() {
  if (FOnRecalc) FOnRecalc(*this);
  FMustRecalc = false;
}

void TVdbSqlQuery::PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) {
  TVdbSqlCommand::PreparePhase1(Context, Options);
  ReplaceAliases();
  FTableExpression->PreparePhase1(Context, Options);
}

void TVdbSqlQuery::PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                 const TVdbOuterReferenceCallback& Callback) {
  FContext = Context;
  FTableExpression->PreparePhase2(Context, Options, Callback);
  TVdbSqlCommand::PreparePhase2(Context, Options, Callback);
  FMustRecalc = true;
}

void TVdbSqlDeleteCommand::PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                         const TVdbOuterReferenceCallback& Callback) {
  if (FSearchCondition) FSearchCondition->Prepare(Context, Options, Callback);
  TVdbSqlCommand::PreparePhase2(Context, Options, Callback);
}

void TVdbSqlInsertCommand::PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) {
  TVdbSqlCommand::PreparePhase1(Context, Options);
  if (FColumns.empty()) {
    // Without a column list the values fill the table's first columns.
    const std::size_t Count = FSourceQuery ? FTableColumnNames.size() : std::min(FValues.size(), FTableColumnNames.size());
    for (std::size_t I = 0; I < Count; ++I)
      FColumns.push_back(TVdbExpression::FromFactor(TVdbSimpleFactor::CreateColumn(FTableColumnNames[I])));
  }
  if (FSourceQuery) return;
  if (FValues.size() > FColumns.size()) throw ESqlCommand(150, kxFormatArgs{});
  for (std::size_t I = 0; I < FValues.size(); ++I) {
    FColumns[I]->Prepare(Context, Options);
    FValues[I]->SetReferenceExpression(FColumns[I].get());
    FValues[I]->Prepare(Context, Options);
  }
}

void TVdbSqlUpdateCommand::PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) {
  TVdbSqlCommand::PreparePhase1(Context, Options);
  for (std::size_t I = 0; I < FColumns.size(); ++I) {
    FColumns[I]->Prepare(Context, Options);
    if (!FExpressions[I]) continue;
    FExpressions[I]->SetReferenceExpression(FColumns[I].get());
    FExpressions[I]->Prepare(Context, Options);
  }
}

void TVdbSqlUpdateCommand::PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                         const TVdbOuterReferenceCallback& Callback) {
  if (FSearchCondition) FSearchCondition->Prepare(Context, Options, Callback);
  TVdbSqlCommand::PreparePhase2(Context, Options, Callback);
}

// ---------------------------------------------------------------------------------------------
// Definitions for the table layer

std::unique_ptr<TVdbColumnDef> TVdbSqlColumnDefinition::CreateColumnDef() const {
  const TVdbDataType* Type = GetDataType();
  if (!Type) return nullptr;
  std::uint32_t Options = 0;
  if (FSqlType == sqlAutoInc) Options |= kVdbColUniqueId;
  else if (FMayBeNull) Options |= kVdbColNullable;
  if (FExpression && !FExpressionIsDefault) Options |= kVdbColCalculated;
  std::unique_ptr<TVdbColumnDef> Column =
      (Type->IsStringType() && !FStringParam.empty())
          ? TVdbColumnDef::CreateStringColumnDef(FColumnName, Type, FStringParam, Options)
          : TVdbColumnDef::CreateColumnDef(FColumnName, Type, Options);
  if (!Column) return nullptr;
  if (auto* RecordId = dynamic_cast<TVdbRecordIdColumnDef*>(Column.get())) {
    std::string Indication = FStringParam;
    for (char& C : Indication) C = C == '[' ? '{' : C == ']' ? '}' : C;
    RecordId->IndexSpec = std::move(Indication);
  } else if (auto* Link = dynamic_cast<TVdbAdlColumnDef*>(Column.get())) {
    Link->LinkedTable = FStringParam;
  }
  if (FExpression) Column->SetCalculation(std::make_unique<TVdbCalculation>(TVdbExpressionSource(FExpression->GetSqlText(), false)));
  return Column;
}

std::unique_ptr<TVdbCheckDef> CreateCheckDef(const TVdbSqlCheckConstraint& Check, std::int16_t TableLevel) {
  const bool Procedural = TableLevel >= 1 && TableLevel <= 4;
  const TVdbSearchCondition& Condition = *Check.SearchCondition();
  return std::make_unique<TVdbCheckDef>(
      Check.Name(), TVdbExpressionSource(Procedural ? Condition.GetEasyText() : Condition.GetSqlText(), Procedural));
}

std::unique_ptr<TVdbColumnDef> TVdbSqlCreateTableCommand::CreateColumnDef(int Index) const {
  return FColumnDefinitions.at(static_cast<std::size_t>(Index))->CreateColumnDef();
}

std::unique_ptr<TVdbCheckDef> TVdbSqlCreateTableCommand::CreateCheckDef(int Index) const {
  return vdb::CreateCheckDef(*FConstraints.FCheckConstraints.at(static_cast<std::size_t>(Index)), FOptions.FLevel);
}

std::unique_ptr<TVdbColumnDef> TVdbSqlAlterTableCommand::CreateColumnDef(int Index) const {
  const auto& Def = FColumnDefinitions.at(static_cast<std::size_t>(Index));
  return Def ? Def->CreateColumnDef() : nullptr;
}

std::unique_ptr<TVdbCheckDef> TVdbSqlAlterTableCommand::CreateCheckDef(int Index, std::int16_t TableLevel) const {
  return vdb::CreateCheckDef(*FConstraints.FCheckConstraints.at(static_cast<std::size_t>(Index)), TableLevel);
}

}  // namespace vdb
