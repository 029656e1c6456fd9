// The SQL statement tree: names, sort specifications, references, commands.
#include "sql/VdbSqlCommand.h"

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
  if (Plain) return std::string(Name);
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

}  // namespace vdb
