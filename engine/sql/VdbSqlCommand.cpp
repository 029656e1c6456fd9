// The SQL statement tree: names, sort specifications, references, commands.
#include "sql/VdbSqlCommand.h"

#include "sql/VdbSqlParser.h"
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
  // Brackets cannot hold a "]"; such a name is written in double quotes, which read back the same.
  std::string Text = FColumnNameOrIdx.find(']') == std::string::npos ? "[" + FColumnNameOrIdx + "]"
                                                                      : SqlName(FColumnNameOrIdx);
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
    // Without a column list a record is identified by the record id itself.
    std::string Indication = FStringParam.empty() ? FColumnName : FStringParam;
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
