// The SQL grammar: statements, table expressions, definitions, conditions and expressions, built
// by recursive descent over the tokens of the scanner (VdbSqlScanner.cpp) into statement trees.
#include "sql/VdbSqlParser.h"

#include <algorithm>
#include <charconv>
#include <climits>

#include "storage/kxMemory.h"
#include "storage/kxPath.h"

namespace vdb {

// ---------------------------------------------------------------------------------------------
// Data types and functions

namespace {

struct TSqlTypeName {
  const char* Name;
  TVdbSqlType Type;
};

constexpr TSqlTypeName kSqlTypeNames[] = {
    {"AUTOINC", sqlAutoInc}, {"BIGINT", sqlBigInt}, {"BOOLEAN", sqlBoolean}, {"BYTE", sqlByte},
    {"CHAR", sqlChar}, {"DATE", sqlDate}, {"DECIMAL", sqlDouble}, {"DOUBLE", sqlDouble},
    {"FLOAT", sqlDouble}, {"REAL", sqlDouble}, {"ENUM", sqlEnum}, {"GUID", sqlGuid},
    {"INTEGER", sqlInteger}, {"LINK", sqlLink}, {"LONGVARBINARY", sqlLongVarBinary},
    {"LONGVARCHAR", sqlLongVarChar}, {"LONGVARWCHAR", sqlLongVarWChar}, {"RELATION", sqlRelation},
    {"SMALLINT", sqlSmallInt}, {"TIME", sqlTime}, {"TIMESTAMP", sqlTimeStamp},
    {"VARCHAR", sqlVarChar}, {"VARWCHAR", sqlVarWChar}, {"WCHAR", sqlWChar},
};

constexpr TSqlFunctionEntry kFunctions[] = {
    {"ABS", sftAbs, 1, 1}, {"AVG", sftAvg, 1, 1}, {"CAST", sftCast, 1, 1},
    {"CEILING", sftCeiling, 1, 1}, {"CHAR_LENGTH", sftChar_Length, 1, 1}, {"CHR", sftChr, 1, 1},
    {"COUNT", sftCount, 1, 1}, {"CURRENT_DATE", sftCurrent_Date, 0, 0},
    {"CURRENT_TIME", sftCurrent_Time, 0, 0}, {"CURRENT_TIMESTAMP", sftCurrent_Timestamp, 0, 0},
    {"CURRENTRECORDID", sftCurrentRecordId, 1, 0}, {"DIGITSTR", sftDigitStr, 1, 1},
    {"EXCHANGE", sftExchange, 3, 3}, {"EXP", sftExp, 1, 1}, {"EXTRACT", sftExtract, 1, 1},
    {"FILLSTR", sftFillStr, 3, 3}, {"FIRST", sftFirst, 1, 1}, {"FLOOR", sftFloor, 1, 1},
    {"FRAC", sftFrac, 1, 1}, {"INT", sftInt, 1, 1}, {"LAST", sftLast, 1, 1}, {"LEN", sftLen, 1, 1},
    {"LENGTH", sftLen, 1, 1}, {"LOG", sftLog, 1, 1}, {"LOWER", sftLower, 1, 1},
    {"LTRIM", sftTrimLeading, 1, 2}, {"MAX", sftMax, 1, 1}, {"MIN", sftMin, 1, 1},
    {"NOW", sftCurrent_Time, 0, 0}, {"NTIMES", sftNTimes, 2, 2}, {"RANDOM", sftRandom, 1, 1},
    {"REALVAL", sftRealVal, 1, 1}, {"ROUND", sftRound, 2, 2}, {"RTRIM", sftTrimTrailing, 1, 1},
    {"SQRT", sftSqrt, 1, 1}, {"STR", sftStr, 1, 6}, {"SUM", sftSum, 1, 1},
    {"SUBSTRING", sftSubString, 1, 2}, {"TODAY", sftCurrent_Date, 0, 0}, {"TRIM", sftTrim, 1, 1},
    {"UPPER", sftUpper, 1, 1},
};

struct TExtractField {
  const char* Name;
  TFunctionId Id;
};

constexpr TExtractField kExtractFields[] = {
    {"YEAR", sftExtractYear}, {"MONTH", sftExtractMonth}, {"DAY", sftExtractDay},
    {"WEEKDAY", sftExtractWeekDay}, {"WEEKDAYNAME", sftExtractWeekDayName},
    {"WEEK", sftExtractWeek}, {"HOUR", sftExtractHour}, {"MINUTE", sftExtractMinute},
    {"SECOND", sftExtractSecond}, {"MILLISECOND", sftExtractMillisecond},
};

struct TCipherName {
  const char* Name;
  TVdbSqlEncryption Encryption;
};

constexpr TCipherName kCipherNames[] = {
    {"DEFAULT", sqeDefault}, {"NONE", sqeNone}, {"PROTECTION", sqeProtection},
    {"CLASSIC", sqeClassic}, {"FAST", sqeFast}, {"BLOWFISH", sqeBlowfish}, {"AES", sqeAes},
    {"RIJNDAEL", sqeRijndael},
};

std::string AsciiUpper(std::string Text) {
  for (char& C : Text)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  return Text;
}

bool FindSqlType(const std::string& Name, TVdbSqlType& Type) {
  const std::string Upper = AsciiUpper(Name);
  for (const TSqlTypeName& Row : kSqlTypeNames)
    if (Upper == Row.Name) {
      Type = Row.Type;
      return true;
    }
  return false;
}

const TSqlFunctionEntry* FindFunctionByName(const std::string& Name) {
  const std::string Upper = AsciiUpper(Name);
  for (const TSqlFunctionEntry& Row : kFunctions)
    if (Upper == Row.Name) return &Row;
  return nullptr;
}

// The table part of a column reference may be written as the table's file: the directory is
// dropped, and so is the extension when it is one of a data file (".dat", ".vdbt", in any letter
// case). Any other dot belongs to the name: "X.DATA" and "DAT.T" name tables of their own.
std::string TableNameOfFile(const std::string& Written) {
  std::string Name = kxExtractFileName(Written, TkxPathForm::Any);
  const std::string Extension = AsciiUpper(kxExtractFileExt(Name, TkxPathForm::Any));
  if (Extension == ".DAT" || Extension == ".VDBT") Name.resize(Name.size() - Extension.size());
  return Name;
}

// Depth of nested productions (conditions, expressions, terms, factors, table expressions) at
// which a text counts as nested too deeply to be parsed safely; about 250 parentheses.
constexpr int kMaxNesting = 768;

}  // namespace

const TSqlFunctionEntry* TSqlParser::FunctionTable(int& Count) {
  Count = static_cast<int>(std::size(kFunctions));
  return kFunctions;
}

int TSqlParser::FindFunction(TFunctionId FunctionId) {
  for (std::size_t I = 0; I < std::size(kFunctions); ++I)
    if (kFunctions[I].Id == FunctionId) return static_cast<int>(I);
  return -1;
}

std::string TSqlParser::GetSqlTypeName(TVdbSqlType SqlType) {
  for (const TSqlTypeName& Row : kSqlTypeNames)
    if (Row.Type == SqlType) return Row.Name;
  return {};
}

std::int16_t TSqlParser::GetVdbType(TVdbSqlType SqlType) {
  switch (SqlType) {
    case sqlAutoInc: return kVdbRecordIdCode;
    case sqlBigInt: return kVdbBigIntCode;
    case sqlBoolean: return kVdbBooleanCode;
    case sqlByte: return kVdbByteCode;
    case sqlChar:
    case sqlVarChar: return kVdbStringCode;
    case sqlDate: return kVdbDateCode;
    case sqlDouble: return kVdbFloatCode;
    case sqlEnum: return kVdbEnumCode;
    case sqlGuid: return kVdbGuidCode;
    case sqlInteger: return kVdbIntegerCode;
    case sqlLink: return kVdbLinkCode;
    case sqlLongVarBinary: return kVdbBlobCode;
    case sqlLongVarChar: return kVdbMemoCode;
    case sqlLongVarWChar: return kVdbWideMemoCode;
    case sqlRelation: return kVdbRelationCode;
    case sqlSmallInt: return kVdbSmallIntCode;
    case sqlTime: return kVdbTimeCode;
    case sqlTimeStamp: return kVdbTimeStampCode;
    case sqlVarWChar:
    case sqlWChar: return kVdbWideStringCode;
    case sqlNone: break;
  }
  return 255;
}

// ---------------------------------------------------------------------------------------------
// Token helpers

class TSqlParser::TDepthGuard {
 public:
  explicit TDepthGuard(TSqlParser& Parser) : FParser(Parser) {
    if (++FParser.FDepth > kMaxNesting) {
      --FParser.FDepth;
      FParser.Error(kVdbErrExpressionSyntax, FParser.LastTokenString());
    }
  }
  ~TDepthGuard() { --FParser.FDepth; }
  TDepthGuard(const TDepthGuard&) = delete;
  TDepthGuard& operator=(const TDepthGuard&) = delete;

 private:
  TSqlParser& FParser;
};

void TSqlParser::Expect(TSqlTokenType Type) {
  if (FLastTokenType != Type) Unexpected(Type);
  NextToken();
}

bool TSqlParser::NextTokenIs(TSqlTokenType Type) {
  const TScanState Start = SaveState();
  NextToken();
  const bool Is = FLastTokenType == Type;
  RestoreState(Start);
  return Is;
}

bool TSqlParser::QueryStartsHere() {
  const TScanState Start = SaveState();
  while (FLastTokenType == sqltLeftParenthesis) NextToken();
  const bool Is = FLastTokenType == sqltSelect || FLastTokenType == sqltTable;
  RestoreState(Start);
  return Is;
}

bool TSqlParser::Accept(TSqlTokenType Type) {
  if (FLastTokenType != Type) return false;
  NextToken();
  return true;
}

bool TSqlParser::IsName() const {
  return FLastTokenType == sqltIdentifier || FLastTokenType == sqltReference || FLastTokenType == sqltString;
}

std::string TSqlParser::ParseName() {
  if (!IsName()) Unexpected(sqltReference);
  std::string Name = LastTokenString();
  NextToken();
  return Name;
}

std::string TSqlParser::ParseTableName() {
  if (!IsName()) Unexpected(sqltIdentifier);
  std::string Name = LastTokenString();
  NextToken();
  return Name;
}

std::string TSqlParser::ParseDottedName() {
  std::string Name = ParseName();
  while (Accept(sqltDot)) Name += "." + ParseName();
  return Name;
}

std::int32_t TSqlParser::ParseInteger() {
  if (FLastTokenType != sqltNumber) Unexpected(sqltNumber);
  const std::string Text = LastTokenString();
  std::int64_t Value = 0;
  bool Ok = !Text.empty() && Text.size() <= 10;
  for (char C : Text) {
    if (C < '0' || C > '9') {
      Ok = false;
      break;
    }
    Value = Value * 10 + (C - '0');
  }
  if (!Ok || Value > INT32_MAX) Error(kVdbErrExpressionSyntax, Text);
  NextToken();
  return static_cast<std::int32_t>(Value);
}

// ---------------------------------------------------------------------------------------------
// Entry points

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseFirstStatement(TVdbCatalog* Catalog) {
  InitParsing(Catalog);
  return ParseStatement();
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseNextStatement(TVdbCatalog* Catalog) {
  FCatalog = Catalog;
  if (FLastTokenType == sqltEndOfStatement) return nullptr;
  return ParseStatement();
}

std::unique_ptr<TVdbSearchCondition> TSqlParser::ParseCondition(TVdbCatalog* Catalog) {
  InitParsing(Catalog);
  return ParseSearchCondition();
}

std::unique_ptr<TVdbExpression> TSqlParser::ParseExpression() { return ParseExpr(); }

void TSqlParser::ParseEnd() {
  if (FLastTokenType != sqltEndOfStatement) Unexpected(sqltEndOfStatement);
}

std::unique_ptr<TVdbFactor> TSqlParser::ParseParameter() {
  FStatementPos = 1;
  FParameterCount = 0;
  NextToken();
  return ParseFactor();
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseStatement() {
  std::unique_ptr<TVdbSqlCommand> Command;
  switch (FLastTokenType) {
    case sqltAlter:
      NextToken();
      Expect(sqltTable);
      Command = ParseAlterTable();
      break;
    case sqltCreate:
      NextToken();
      Command = ParseCreate();
      break;
    case sqltDelete:
      NextToken();
      Command = ParseDelete();
      break;
    case sqltDrop:
      NextToken();
      Command = ParseDrop();
      break;
    case sqltInsert:
      NextToken();
      Command = ParseInsert();
      break;
    case sqltUpdate:
      NextToken();
      Command = (FLastTokenType == sqltIndex || FLastTokenType == sqltFulltextIndex) ? ParseUpdateIndex() : ParseUpdate();
      break;
    default:
      Command = ParseQuery();
      break;
  }
  if (!Accept(sqltSemicolon) && FLastTokenType != sqltEndOfStatement) Unexpected(sqltEndOfStatement);
  return Command;
}

// ---------------------------------------------------------------------------------------------
// Queries

std::unique_ptr<TVdbSqlQuery> TSqlParser::ParseQuery() {
  auto Query = std::make_unique<TVdbSqlQuery>(FCatalog, ParseTableExpression());
  if (Accept(sqltOrder)) {
    Expect(sqltBy);
    ParseSortItems(Query->SortSpecificationList(), false);
  }
  return Query;
}

void TSqlParser::ParseSortItems(TVdbSqlSortSpecificationList& List, bool CommaOptional) {
  while (true) {
    // Any word, name or number names the column (by name or position).
    switch (FLastTokenType) {
      case sqltEndOfStatement: case sqltComma: case sqltSemicolon: case sqltLeftParenthesis:
      case sqltRightParenthesis: case sqltDot: case sqltAsterisk:
        Unexpected(sqltReference);
      default:
        break;
    }
    std::string Name = LastTokenString();
    NextToken();
    if (Accept(sqltDot)) {
      if (FLastTokenType == sqltEndOfStatement) Unexpected(sqltReference);
      Name += "." + LastTokenString();
      NextToken();
    }
    bool Asc = true;
    if (Accept(sqltDesc)) {
      Asc = false;
      Accept(sqltAsc);
    } else {
      Accept(sqltAsc);
    }
    List.Add(std::move(Name), Asc);
    if (Accept(sqltComma)) continue;
    if (CommaOptional && FLastTokenType != sqltRightParenthesis && FLastTokenType != sqltEndOfStatement) continue;
    break;
  }
}

TVdbCorrespondingFields TSqlParser::ParseCorresponding() {
  if (!Accept(sqltCorresponding)) return nullptr;
  auto Fields = std::make_unique<std::vector<std::string>>();
  if (Accept(sqltBy)) {
    Expect(sqltLeftParenthesis);
    do {
      std::string Name = ParseName();
      // A qualified column keeps the part after the dot.
      if (Accept(sqltDot)) Name = ParseName();
      Fields->push_back(std::move(Name));
    } while (Accept(sqltComma));
    Expect(sqltRightParenthesis);
  }
  return Fields;
}

std::unique_ptr<TVdbSqlTableExpression> TSqlParser::ParseTableExpression() {
  TDepthGuard Guard(*this);
  auto Expression = std::make_unique<TVdbSqlTableExpression>(ParseTableTerm());
  if (FLastTokenType == sqltUnion || FLastTokenType == sqltExcept) {
    const bool IsUnion = FLastTokenType == sqltUnion;
    NextToken();
    const bool All = Accept(sqltAll);
    TVdbCorrespondingFields Fields = ParseCorresponding();
    Expression->SetRightOperand(ParseTableExpression(), IsUnion, All, std::move(Fields));
  }
  return Expression;
}

std::unique_ptr<TVdbSqlTableTerm> TSqlParser::ParseTableTerm() {
  TDepthGuard Guard(*this);
  auto Term = std::make_unique<TVdbSqlTableTerm>(ParseTablePrimary());
  if (Accept(sqltIntersect)) {
    const bool All = Accept(sqltAll);
    TVdbCorrespondingFields Fields = ParseCorresponding();
    Term->SetIntersect(ParseTableTerm(), All, std::move(Fields));
  }
  return Term;
}

std::unique_ptr<TVdbSqlTablePrimitive> TSqlParser::ParseTablePrimary() {
  if (Accept(sqltLeftParenthesis)) {
    auto Primitive = std::make_unique<TVdbSqlTableSimplePrimitive>(ParseTableExpression());
    Expect(sqltRightParenthesis);
    return Primitive;
  }
  if (Accept(sqltTable)) return std::make_unique<TVdbSqlTableSimplePrimitive>(ParseName());
  if (FLastTokenType == sqltSelect) return ParseSelectExpression();
  Unexpected(sqltSelect);
}

std::unique_ptr<TVdbSqlSelectExpression> TSqlParser::ParseSelectExpression() {
  Expect(sqltSelect);
  auto Select = std::make_unique<TVdbSqlSelectExpression>(FCatalog);
  if (Accept(sqltTop)) Select->SetTopCount(ParseInteger());
  if (Accept(sqltDistinct)) Select->SetDistinct(true);
  if (Accept(sqltAsterisk)) {
    Select->AddSelectElement(std::make_unique<TVdbSqlSelectElement>(std::string()));
  } else {
    do {
      if (TryParseAllColumnsOfTable(*Select)) continue;
      auto Element = std::make_unique<TVdbSqlSelectElement>(ParseExpr());
      std::string Label;
      if (Accept(sqltAs) || IsName()) Label = ParseDottedName();
      Select->AddSelectElement(std::move(Element), std::move(Label));
    } while (Accept(sqltComma));
  }
  Expect(sqltFrom);
  do {
    Select->AddTableReference(ParseTableReference());
  } while (Accept(sqltComma));
  if (Accept(sqltWhere)) Select->SetSearchCondition(ParseSearchCondition());
  if (Accept(sqltGroup)) {
    Expect(sqltBy);
    do {
      Select->AddGroupByExpression(ParseExpr());
    } while (Accept(sqltComma));
  }
  if (Accept(sqltHaving)) Select->SetHavingCondition(ParseSearchCondition());
  return Select;
}

bool TSqlParser::TryParseAllColumnsOfTable(TVdbSqlSelectExpression& Select) {
  if (FLastTokenType != sqltIdentifier && FLastTokenType != sqltReference) return false;
  const TScanState Start = SaveState();
  std::string Table = LastTokenString();
  NextToken();
  if (Accept(sqltDot) && Accept(sqltAsterisk)) {
    Select.AddSelectElement(std::make_unique<TVdbSqlSelectElement>(std::move(Table)));
    return true;
  }
  RestoreState(Start);
  return false;
}

std::unique_ptr<TVdbSqlTableReference> TSqlParser::ParseSingleTableReference() {
  if (Accept(sqltLeftParenthesis)) {
    auto Inner = ParseTableReference();
    Expect(sqltRightParenthesis);
    return Inner;
  }
  std::string Table = ParseTableName();
  std::string Alias;
  if (Accept(sqltAs) || IsName()) Alias = ParseDottedName();
  return std::make_unique<TVdbSqlTableReference>(std::move(Table), std::move(Alias));
}

std::unique_ptr<TVdbSqlTableReference> TSqlParser::ParseTableReference() {
  TDepthGuard Guard(*this);
  auto Ref = ParseSingleTableReference();
  while (true) {
    TVdbJoinType Join;
    switch (FLastTokenType) {
      case sqltCross:
        NextToken();
        Join = tjtCrossJoin;
        break;
      case sqltInner:
        NextToken();
        Join = tjtInnerJoin;
        break;
      case sqltJoin:
        Join = tjtInnerJoin;
        break;
      case sqltLeft:
      case sqltRight:
      case sqltFull:
        Join = FLastTokenType == sqltLeft ? tjtLeftOuterJoin : FLastTokenType == sqltRight ? tjtRightOuterJoin : tjtFullOuterJoin;
        NextToken();
        Accept(sqltOuter);
        break;
      default:
        return Ref;
    }
    Expect(sqltJoin);
    auto Right = ParseSingleTableReference();
    std::unique_ptr<TVdbSearchCondition> On;
    if (Join != tjtCrossJoin) {
      Expect(sqltOn);
      On = ParseSearchCondition();
      On->Optimize();
    }
    Ref = std::make_unique<TVdbSqlTableReference>(Join, std::move(Ref), std::move(Right), std::move(On));
  }
}

// ---------------------------------------------------------------------------------------------
// Row changes

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseDelete() {
  Expect(sqltFrom);
  std::string Table = ParseTableName();
  std::unique_ptr<TVdbSearchCondition> Where;
  if (Accept(sqltWhere)) Where = ParseSearchCondition();
  return std::make_unique<TVdbSqlDeleteCommand>(FCatalog, std::move(Table), std::move(Where));
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseInsert() {
  Expect(sqltInto);
  auto Insert = std::make_unique<TVdbSqlInsertCommand>(FCatalog, ParseTableName());
  bool HasColumns = false;
  if (Accept(sqltLeftParenthesis)) {
    HasColumns = true;
    do {
      const TScanState Start = SaveState();
      auto Column = ParseExpr();
      if (!Column->IsColumn()) {
        RestoreState(Start);
        Unexpected(sqltReference);
      }
      Insert->AddColumn(std::move(Column));
    } while (Accept(sqltComma));
    Expect(sqltRightParenthesis);
  }
  if (Accept(sqltValues)) {
    Expect(sqltLeftParenthesis);
    do {
      const TScanState Start = SaveState();
      auto Value = ParseExpr();
      if (HasColumns && Insert->Values().size() >= Insert->Columns().size()) {
        RestoreState(Start);
        Error(kVdbErrTooManyValues);
      }
      Insert->AddValue(std::move(Value));
    } while (Accept(sqltComma));
    Expect(sqltRightParenthesis);
  } else {
    Insert->SetSourceQuery(ParseQuery());
  }
  return Insert;
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseUpdate() {
  auto Update = std::make_unique<TVdbSqlUpdateCommand>(FCatalog, ParseTableName());
  Expect(sqltSet);
  do {
    auto Column = TVdbExpression::FromFactor(TVdbSimpleFactor::CreateColumn(ParseDottedName()));
    Expect(sqltEqual);
    // "(SELECT ...)" assigns the value of a sub-query, "(Id * 7) MOD 10" an expression.
    if (FLastTokenType == sqltLeftParenthesis && QueryStartsHere()) {
      NextToken();
      auto SubQuery = ParseQuery();
      Expect(sqltRightParenthesis);
      Update->AddAssignment(std::move(Column), nullptr, std::move(SubQuery));
    } else {
      Update->AddAssignment(std::move(Column), ParseExpr(), nullptr);
    }
  } while (Accept(sqltComma));
  if (Accept(sqltWhere)) Update->SetSearchCondition(ParseSearchCondition());
  return Update;
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseUpdateIndex() {
  const bool IsFulltext = FLastTokenType == sqltFulltextIndex;
  NextToken();
  std::string Table = ParseTableName();
  Expect(sqltDot);
  std::string Index = Accept(sqltAsterisk) ? std::string("*") : ParseName();
  return std::make_unique<TVdbSqlUpdateIndexCommand>(FCatalog, std::move(Table), std::move(Index), IsFulltext);
}

// ---------------------------------------------------------------------------------------------
// Definitions

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseCreate() {
  switch (FLastTokenType) {
    case sqltFulltextIndex:
      NextToken();
      return ParseCreateFulltextIndex();
    case sqltIndex:
      NextToken();
      return ParseCreateIndex(false);
    case sqltUnique:
      NextToken();
      Expect(sqltIndex);
      return ParseCreateIndex(true);
    case sqltTable:
      NextToken();
      return ParseCreateTable();
    default:
      Unexpected(sqltTable);
  }
}

std::vector<std::string> TSqlParser::ParseColumnList() {
  std::vector<std::string> Names;
  Expect(sqltLeftParenthesis);
  do {
    Names.push_back(ParseName());
  } while (Accept(sqltComma));
  Expect(sqltRightParenthesis);
  return Names;
}

void TSqlParser::ParseTableOptions(TVdbSqlTableOptions& Options) {
  while (true) {
    if (Accept(sqltCollate)) {
      if (!IsName()) Unexpected(sqltIdentifier);
      Options.FLanguage = ParseName();
    } else if (Accept(sqltLevel)) {
      const std::int32_t Level = ParseInteger();
      Options.FLevel = static_cast<std::int16_t>(std::min<std::int32_t>(Level, INT16_MAX));
    } else if (FLastTokenType == sqltEncryption) {
      NextToken();
      if (FLastTokenType != sqltIdentifier && FLastTokenType != sqltString && FLastTokenType != sqltDefault)
        Unexpected(sqltIdentifier);
      const std::string Name = AsciiUpper(LastTokenString());
      bool Found = false;
      for (const TCipherName& Row : kCipherNames)
        if (Name == Row.Name) {
          Options.FEncryption = Row.Encryption;
          Found = true;
        }
      if (!Found) Error(kVdbErrUnknownIdentifier, LastTokenString());
      Options.FHasEncryption = true;
      NextToken();
    } else if (Accept(sqltPassword)) {
      if (FLastTokenType != sqltString) Unexpected(sqltString);
      Options.FKey = LastTokenString();
      Options.FHasPassword = true;
      NextToken();
    } else {
      break;
    }
  }
  const bool Cipher = Options.FEncryption != sqeDefault && Options.FEncryption != sqeNone;
  if (Cipher && !Options.FHasPassword) Unexpected(sqltPassword);
  if (!Cipher && Options.FHasPassword) Unexpected(sqltEncryption);
}

bool TSqlParser::ParseConstraintElement(TVdbSqlConstraints& Constraints, const std::string& Name) {
  switch (FLastTokenType) {
    case sqltCheck: {
      NextToken();
      Expect(sqltLeftParenthesis);
      auto Condition = ParseSearchCondition();
      Expect(sqltRightParenthesis);
      Constraints.FCheckConstraints.push_back(std::make_unique<TVdbSqlCheckConstraint>(Name, std::move(Condition)));
      return true;
    }
    case sqltPrimary:
    case sqltUnique: {
      const bool Primary = FLastTokenType == sqltPrimary;
      NextToken();
      if (Primary) Expect(sqltKey);
      auto Key = std::make_unique<TVdbCandidateKeyDef>(Name, Primary);
      for (std::string& Column : ParseColumnList()) Key->AddColumnName(Column);
      Constraints.FCandidateKeys.Add(std::move(Key));
      return true;
    }
    case sqltForeign: {
      NextToken();
      Expect(sqltKey);
      auto Key = std::make_unique<TVdbForeignKeyDef>(Name);
      Key->FColumnNames = ParseColumnList();
      Expect(sqltReferences);
      Key->FParentTableName = ParseTableName();
      if (FLastTokenType == sqltLeftParenthesis) Key->FParentColumnNames = ParseColumnList();
      while (Accept(sqltOn)) {
        const bool OnDelete = FLastTokenType == sqltDelete;
        if (!Accept(sqltDelete) && !Accept(sqltUpdate)) Unexpected(sqltDelete);
        TVdbReferentialAction Action;
        if (Accept(sqltCascade)) {
          Action = traCascade;
        } else if (Accept(sqltNo)) {
          Expect(sqltAction);
          Action = traNone;
        } else {
          Unexpected(sqltCascade);
        }
        (OnDelete ? Key->FDeleteAction : Key->FUpdateAction) = Action;
      }
      Constraints.FForeignKeys.Add(std::move(Key));
      return true;
    }
    default:
      return false;
  }
}

void TSqlParser::ParseDataType(TVdbSqlColumnDefinition& Def) {
  if (FLastTokenType != sqltIdentifier || !FindSqlType(LastTokenString(), Def.FSqlType)) Unexpected(sqltDataType);
  NextToken();
  switch (Def.FSqlType) {
    case sqlDouble:
      Def.FPrecision = 4;
      Accept(sqltPrecision);
      if (Accept(sqltLeftParenthesis)) {
        Def.FPrecision = ParseInteger();
        Expect(sqltRightParenthesis);
      }
      break;
    case sqlChar:
    case sqlVarChar:
    case sqlWChar:
    case sqlVarWChar:
      Expect(sqltLeftParenthesis);
      Def.FSize = ParseInteger();
      Expect(sqltRightParenthesis);
      if (Accept(sqltCollate)) {
        if (FLastTokenType != sqltIdentifier) Unexpected(sqltIdentifier);
        Def.FStringParam = LastTokenString();
        NextToken();
      }
      break;
    case sqlTime:
      Def.FPrecision = 0;
      if (Accept(sqltLeftParenthesis)) {
        Def.FPrecision = ParseInteger();
        Expect(sqltRightParenthesis);
      }
      break;
    case sqlAutoInc:
      Def.FPrecision = 1;
      Def.FMayBeNull = false;
      if (Accept(sqltLeftParenthesis)) {
        if (FLastTokenType == sqltString) {
          Def.FStringParam = LastTokenString();
          NextToken();
          Accept(sqltComma);
        }
        if (FLastTokenType == sqltNumber) Def.FPrecision = ParseInteger();
        Expect(sqltRightParenthesis);
      }
      break;
    case sqlLink:
    case sqlRelation:
      Expect(sqltLeftParenthesis);
      Def.FStringParam = ParseTableName();
      Expect(sqltRightParenthesis);
      break;
    case sqlEnum: {
      Expect(sqltLeftParenthesis);
      std::string Values = ParseName();
      while (FLastTokenType != sqltRightParenthesis) {
        Accept(sqltComma);
        Values += "," + ParseName();
      }
      NextToken();
      Def.FStringParam = std::move(Values);
      break;
    }
    default:
      break;
  }
  if (Def.FSqlType == sqlAutoInc && Accept(sqltUnique)) return;
  if (Accept(sqltNot)) {
    Expect(sqltNull);
    Def.FMayBeNull = false;
  }
}

std::unique_ptr<TVdbSqlColumnDefinition> TSqlParser::ParseColumnDefinition() {
  auto Def = std::make_unique<TVdbSqlColumnDefinition>();
  Def->FColumnName = ParseName();
  ParseDataType(*Def);
  if (FLastTokenType == sqltDefault || FLastTokenType == sqltSet) {
    Def->FExpressionIsDefault = FLastTokenType == sqltDefault;
    NextToken();
    Def->FExpression = ParseExpr();
    if (Accept(sqltNot)) {
      Expect(sqltNull);
      Def->FMayBeNull = false;
    }
  }
  return Def;
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseCreateTable() {
  auto Create = std::make_unique<TVdbSqlCreateTableCommand>(FCatalog, ParseTableName());
  ParseTableOptions(Create->FOptions);
  if (Create->FOptions.FLevel == 0) Create->FOptions.FLevel = kVdbCurrentLevel;
  Expect(sqltLeftParenthesis);
  do {
    std::string Name;
    const bool Named = Accept(sqltConstraint);
    if (Named) Name = ParseName();
    if (ParseConstraintElement(Create->FConstraints, Name)) continue;
    if (Named) Unexpected(sqltCheck);
    Create->FColumnDefinitions.push_back(ParseColumnDefinition());
  } while (Accept(sqltComma));
  Expect(sqltRightParenthesis);
  return Create;
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseAlterTable() {
  // The table name is the token after TABLE, whatever its kind.
  if (FLastTokenType == sqltEndOfStatement) Unexpected(sqltIdentifier);
  auto Alter = std::make_unique<TVdbSqlAlterTableCommand>(FCatalog, LastTokenString());
  NextToken();
  ParseTableOptions(Alter->FOptions);
  while (true) {
    if (Accept(sqltAdd)) {
      std::string Name;
      const bool Named = Accept(sqltConstraint);
      if (Named) Name = ParseName();
      Accept(sqltColumn);
      if (!ParseConstraintElement(Alter->FConstraints, Name)) {
        if (Named) Unexpected(sqltCheck);
        Alter->FColumnNames.emplace_back();
        Alter->FColumnDefinitions.push_back(ParseColumnDefinition());
      }
    } else if (Accept(sqltDrop)) {
      if (Accept(sqltConstraint)) {
        Alter->FDeletedConstraintNames.push_back(ParseName());
      } else {
        Accept(sqltColumn);
        Alter->FColumnNames.push_back(ParseName());
        Alter->FColumnDefinitions.emplace_back();
      }
    } else if (Accept(sqltModify)) {
      Accept(sqltColumn);
      auto Def = ParseColumnDefinition();
      Alter->FColumnNames.push_back(Def->FColumnName);
      Alter->FColumnDefinitions.push_back(std::move(Def));
    } else if (Accept(sqltRename)) {
      Accept(sqltColumn);
      Alter->FColumnNames.push_back(ParseName());
      Expect(sqltTo);
      auto Def = std::make_unique<TVdbSqlColumnDefinition>();
      Def->FColumnName = ParseName();
      Alter->FColumnDefinitions.push_back(std::move(Def));
    } else {
      break;
    }
    Accept(sqltComma);
  }
  return Alter;
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseCreateIndex(bool Unique) {
  std::string Index = ParseName();
  Expect(sqltOn);
  std::string Table = ParseTableName();
  auto Create = std::make_unique<TVdbSqlCreateIndexCommand>(FCatalog, std::move(Table), std::move(Index), Unique);
  Expect(sqltLeftParenthesis);
  ParseSortItems(Create->FSortSpecifications, true);
  Expect(sqltRightParenthesis);
  return Create;
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseCreateFulltextIndex() {
  std::string Index = ParseName();
  Expect(sqltOn);
  std::string Table = ParseTableName();
  auto Create = std::make_unique<TVdbSqlCreateFulltextIndexCommand>(FCatalog, std::move(Table), std::move(Index));
  Create->FFieldNames = ParseColumnList();
  Expect(sqltDictionary);
  if (FLastTokenType != sqltIdentifier) Unexpected(sqltIdentifier);
  Create->FDictionaryName = LastTokenString();
  NextToken();
  if (Accept(sqltCreate)) Create->FCreateDictionary = true;
  if (Accept(sqltUpdate)) Create->FUpdateDictionary = true;
  if (FLastTokenType == sqltIdentifier && AsciiUpper(LastTokenString()) == "SEPARATORS") {
    NextToken();
    if (FLastTokenType != sqltString) Unexpected(sqltString);
    Create->FSeparators = LastTokenString();
    Create->FHasSeparators = true;
    NextToken();
  }
  return Create;
}

std::unique_ptr<TVdbSqlCommand> TSqlParser::ParseDrop() {
  if (Accept(sqltTable)) return std::make_unique<TVdbSqlDropCommand>(FCatalog, ParseTableName());
  const bool IsFulltext = FLastTokenType == sqltFulltextIndex;
  if (!Accept(sqltIndex) && !Accept(sqltFulltextIndex)) Unexpected(sqltTable);
  std::string Table = ParseTableName();
  Expect(sqltDot);
  std::string Index = ParseName();
  return std::make_unique<TVdbSqlDropCommand>(FCatalog, std::move(Table), std::move(Index), IsFulltext);
}

// ---------------------------------------------------------------------------------------------
// Search conditions

std::unique_ptr<TVdbSearchCondition> TSqlParser::ParseSearchCondition() {
  TDepthGuard Guard(*this);
  auto Term = ParseBooleanTerm();
  std::unique_ptr<TVdbSearchCondition> Rest;
  if (Accept(sqltOr)) Rest = ParseSearchCondition();
  return std::make_unique<TVdbSearchCondition>(std::move(Term), std::move(Rest));
}

std::unique_ptr<TVdbBooleanTerm> TSqlParser::ParseBooleanTerm() {
  TDepthGuard Guard(*this);
  auto Factor = ParseBooleanFactor();
  std::unique_ptr<TVdbBooleanTerm> Rest;
  if (Accept(sqltAnd)) Rest = ParseBooleanTerm();
  return std::make_unique<TVdbBooleanTerm>(std::move(Factor), std::move(Rest));
}

std::unique_ptr<TVdbBooleanFactor> TSqlParser::ParseBooleanFactor() {
  const bool IsNot = Accept(sqltNot);
  if (FLastTokenType == sqltLeftParenthesis) {
    // A parenthesis opens a nested condition or the left side of a comparison; the condition
    // is tried first and the scanner rewinds when it does not fit.
    // A parenthesis found not to hold a condition is not tried again when the expression parse
    // comes back to it (nested "(CASE WHEN (...) = 1 THEN 1 END) = 1" would otherwise parse
    // every level twice per enclosing level).
    const TScanState Start = SaveState();
    if (FFailedConditionStarts.count(FLastTokenPos) == 0) {
      try {
        NextToken();
        auto Inner = ParseSearchCondition();
        Expect(sqltRightParenthesis);
        auto Factor = TVdbBooleanFactor::CreateParenthesized(std::move(Inner));
        Factor->SetIsNot(IsNot);
        return Factor;
      } catch (const ESqlParser&) {
        RestoreState(Start);
        FErrorMessage.clear();
        FFailedConditionStarts.insert(FLastTokenPos);
      }
    }
    return ParseComparison(IsNot);
  }
  if (FLastTokenType == sqltContains) return ParseFulltextPredicate(IsNot);
  if (Accept(sqltExists)) {
    Expect(sqltLeftParenthesis);
    auto Query = ParseQuery();
    Expect(sqltRightParenthesis);
    auto Factor = std::make_unique<TVdbSqlSubQueryComparison>();
    Factor->SetComparisonOperator(tcoExists);
    Factor->SetSubQuery(std::move(Query));
    Factor->SetIsNot(IsNot);
    return Factor;
  }
  return ParseComparison(IsNot);
}

std::unique_ptr<TVdbBooleanFactor> TSqlParser::ParseComparison(bool IsNot) {
  auto Left = ParseExpr();
  if (Accept(sqltNot)) IsNot = !IsNot;
  std::unique_ptr<TVdbBooleanFactor> Factor;
  switch (FLastTokenType) {
    case sqltBetween: {
      NextToken();
      auto Lower = ParseExpr();
      Expect(sqltAnd);
      auto Upper = ParseExpr();
      Factor = TVdbBooleanFactor::CreateBetween(std::move(Left), std::move(Lower), std::move(Upper));
      break;
    }
    case sqltIn: {
      NextToken();
      Expect(sqltLeftParenthesis);
      if (QueryStartsHere()) {
        auto SubQuery = std::make_unique<TVdbSqlSubQueryComparison>();
        SubQuery->SetLeft(std::move(Left));
        SubQuery->SetComparisonOperator(tcoIn);
        SubQuery->SetSubQuery(ParseQuery());
        Factor = std::move(SubQuery);
      } else {
        auto Values = std::make_unique<TVdbSqlValueSet>();
        do {
          Values->Add(ParseExpr());
        } while (Accept(sqltComma));
        Factor = TVdbBooleanFactor::CreateIn(std::move(Left), std::move(Values));
      }
      Expect(sqltRightParenthesis);
      break;
    }
    case sqltIs: {
      NextToken();
      const bool NotNull = Accept(sqltNot);
      Expect(sqltNull);
      Factor = TVdbBooleanFactor::CreateNullTest(std::move(Left), NotNull);
      break;
    }
    default: {
      TVdbComparisonOperator Operator;
      switch (FLastTokenType) {
        case sqltEqual: Operator = tcoEqual; break;
        case sqltNotEqual: Operator = tcoUnequal; break;
        case sqltLess: Operator = tcoLess; break;
        case sqltEqualOrLess: Operator = tcoLessOrEqual; break;
        case sqltGreater: Operator = tcoGreater; break;
        case sqltEqualOrGreater: Operator = tcoGreaterOrEqual; break;
        case sqltHas: Operator = tcoHas; break;
        case sqltLike: Operator = tcoLike; break;
        default: Unexpected(sqltEqual);
      }
      NextToken();
      if (FLastTokenType == sqltLeftParenthesis && QueryStartsHere()) {
        // "x = (SELECT ...)": a comparison with the single value of a sub-query.
        NextToken();
        auto SubQuery = std::make_unique<TVdbSqlSubQueryComparison>();
        SubQuery->SetLeft(std::move(Left));
        SubQuery->SetComparisonOperator(Operator);
        SubQuery->SetSubQuery(ParseQuery());
        Expect(sqltRightParenthesis);
        Factor = std::move(SubQuery);
        break;
      }
      if (FLastTokenType == sqltAll || FLastTokenType == sqltAny || FLastTokenType == sqltSome) {
        const bool IsAll = FLastTokenType == sqltAll;
        NextToken();
        Expect(sqltLeftParenthesis);
        auto SubQuery = std::make_unique<TVdbSqlSubQueryComparison>();
        SubQuery->SetLeft(std::move(Left));
        SubQuery->SetComparisonOperator(Operator);
        SubQuery->SetIsAll(IsAll);
        SubQuery->SetSubQuery(ParseQuery());
        Expect(sqltRightParenthesis);
        Factor = std::move(SubQuery);
        break;
      }
      Factor = TVdbBooleanFactor::CreateComparison(std::move(Left), Operator, ParseExpr());
      if (Operator == tcoLike && Accept(sqltEscape)) {
        if (FLastTokenType != sqltString) Unexpected(sqltString);
        if (FLastTokenString.size() != 1) Error(kVdbErrExpressionSyntax, LastTokenString());
        Factor->SetLikeEscapeChar(FLastTokenString[0]);
        NextToken();
      }
      break;
    }
  }
  Factor->SetIsNot(IsNot);
  return Factor;
}

std::unique_ptr<TVdbBooleanFactor> TSqlParser::ParseFulltextPredicate(bool IsNot) {
  Expect(sqltContains);
  Expect(sqltLeftParenthesis);
  if (FLastTokenType != sqltString && FLastTokenType != sqltParameter) Unexpected(sqltString);
  auto SearchText = ParseExpr();
  Expect(sqltIn);
  std::vector<std::string> Columns;
  std::string Table;
  if (Accept(sqltAsterisk)) {
    Columns.push_back("*");
  } else {
    do {
      std::string Name = ParseName();
      if (Accept(sqltDot)) {
        Table = Name;
        Name = ParseName();
      }
      Columns.push_back(std::move(Name));
    } while (Accept(sqltComma));
  }
  Expect(sqltRightParenthesis);
  auto Factor = std::make_unique<TVdbSqlFulltextPredicate>(std::move(SearchText), std::move(Table), std::move(Columns));
  Factor->SetComparisonOperator(tcoContains);
  Factor->SetIsNot(IsNot);
  return Factor;
}

// ---------------------------------------------------------------------------------------------
// Expressions

std::unique_ptr<TVdbExpression> TSqlParser::ParseExpr() {
  TDepthGuard Guard(*this);
  // term [(+ | - | ||) expression]; the chain is handed over with its operators as written so
  // that a - b + c evaluates from left to right.
  std::vector<std::unique_ptr<TVdbTerm>> Terms;
  std::vector<TVdbDataBinaryOperator> Operators;
  Terms.push_back(ParseTerm());
  while (FLastTokenType == sqltPlus || FLastTokenType == sqltMinus) {
    // The chain is read in a loop but prepared, computed and freed link by link: a chain longer
    // than the nesting the parser allows is refused like such a nesting.
    if (FDepth + static_cast<int>(Terms.size()) > kMaxNesting) Error(kVdbErrExpressionSyntax, LastTokenString());
    Operators.push_back(FLastTokenType == sqltMinus ? dboMinus : dboPlus);
    NextToken();
    Terms.push_back(ParseTerm());
  }
  return TVdbExpression::FromChain(std::move(Terms), Operators);
}

std::unique_ptr<TVdbTerm> TSqlParser::ParseTerm() {
  TDepthGuard Guard(*this);
  auto Factor = ParseFactor();
  TVdbDataBinaryOperator Operator;
  switch (FLastTokenType) {
    case sqltAsterisk: Operator = dboMultiply; break;
    case sqltDivisor: Operator = dboDivide; break;
    case sqltDiv: Operator = dboDiv; break;
    case sqltMod: Operator = dboMod; break;
    default: return std::make_unique<TVdbTerm>(std::move(Factor));
  }
  NextToken();
  return std::make_unique<TVdbTerm>(std::move(Factor), Operator, ParseTerm());
}

std::unique_ptr<TVdbFactor> TSqlParser::ParseNumberLiteral() {
  std::string Text = LastTokenString();
  if (FAllowLocalFormats) {
    const char Separator = static_cast<char>(LocaleDecimalSeparator());
    for (char& C : Text)
      if (C == Separator) C = '.';
  }
  int Underscores = 0, Colons = 0, Dots = 0;
  for (char C : Text) {
    Underscores += C == '_';
    Colons += C == ':';
    Dots += C == '.';
  }
  std::int16_t Code;
  if (Underscores > 0) {
    TVdbTimeStamp Stamp;
    if (!TVdbDateTimeType::TryStringToTimeStamp(Text, Stamp)) Error(kVdbErrInvalidTimestamp, Text);
    Code = kVdbTimeStampCode;
  } else if (Dots > 2) {
    Error(kVdbErrExpressionIncomplete);
  } else if (Dots == 2) {
    std::int32_t Date;
    if (!TVdbDateTimeType::TryStringToDate(Text, Date)) Error(kVdbErrInvalidTimestamp, Text);
    Code = kVdbDateCode;
  } else if (Colons > 0) {
    std::int64_t Ticks;
    if (!TVdbDateTimeType::TryStringToTime(Text, Ticks)) Error(kVdbErrInvalidTimestamp, Text);
    Code = kVdbTimeCode;
  } else {
    std::int64_t Integer;
    const auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Integer);
    if (Ec == std::errc() && End == Text.data() + Text.size()) {
      Code = kVdbBigIntCode;
    } else {
      double Float;
      const auto [FEnd, FEc] = std::from_chars(Text.data(), Text.data() + Text.size(), Float);
      if (FEc != std::errc() || FEnd != Text.data() + Text.size()) Error(kVdbErrInvalidNumber, Text);
      Code = kVdbFloatCode;
    }
  }
  NextToken();
  return TVdbSimpleFactor::CreateLiteral(std::move(Text), TVdbDataType::GetDataType(Code, false, kVdbLiteralLevel));
}

std::unique_ptr<TVdbFactor> TSqlParser::ParseColumnReference() {
  std::string Name = LastTokenString();
  NextToken();
  if (FLastTokenType == sqltDot) {
    NextToken();
    std::string Column = ParseName();
    Name = TableNameOfFile(Name) + "." + Column;
  }
  return TVdbSimpleFactor::CreateColumn(std::move(Name));
}

std::unique_ptr<TVdbFactor> TSqlParser::ParseFactor() {
  TDepthGuard Guard(*this);
  TSqlFactorSign Sign = sfsNone;
  if (FLastTokenType == sqltPlus && FLastTokenString == u"+") {
    Sign = sfsPlus;
    NextToken();
  } else if (FLastTokenType == sqltMinus) {
    Sign = sfsMinus;
    NextToken();
  }
  std::unique_ptr<TVdbFactor> Factor;
  switch (FLastTokenType) {
    case sqltCase:
      Factor = ParseCase();
      break;
    case sqltLeftParenthesis: {
      NextToken();
      auto Inner = ParseExpr();
      Expect(sqltRightParenthesis);
      Factor = TVdbSimpleFactor::CreateExpression(std::move(Inner));
      break;
    }
    case sqltTrue:
    case sqltFalse:
      Factor = TVdbSimpleFactor::CreateLiteral(FLastTokenType == sqltTrue ? "TRUE" : "FALSE",
                                               TVdbDataType::GetDataType(kVdbBooleanCode, false, kVdbLiteralLevel));
      NextToken();
      break;
    case sqltNull:
      Factor = TVdbSimpleFactor::CreateNull();
      NextToken();
      break;
    case sqltNumber:
      Factor = ParseNumberLiteral();
      break;
    case sqltParameter:
      Factor = TVdbSimpleFactor::CreateParameter(LastTokenString());
      NextToken();
      break;
    case sqltString:
      Factor = TVdbSimpleFactor::CreateStringLiteral(LastTokenString());
      NextToken();
      break;
    case sqltReference:
      Factor = ParseColumnReference();
      break;
    case sqltIdentifier: {
      const std::string Upper = AsciiUpper(LastTokenString());
      if (Upper == "DATE" || Upper == "TIME" || Upper == "TIMESTAMP") {
        // A typed literal when a string follows; else the word names a column.
        const TScanState Start = SaveState();
        NextToken();
        if (FLastTokenType == sqltString) {
          const std::string Text = LastTokenString();
          bool Ok;
          std::int16_t Code;
          if (Upper == "DATE") {
            std::int32_t Date;
            Ok = TVdbDateTimeType::TryStringToDate(Text, Date);
            Code = kVdbDateCode;
          } else if (Upper == "TIME") {
            std::int64_t Ticks;
            Ok = TVdbDateTimeType::TryStringToTime(Text, Ticks);
            Code = kVdbTimeCode;
          } else {
            TVdbTimeStamp Stamp;
            Ok = TVdbDateTimeType::TryStringToTimeStamp(Text, Stamp);
            Code = kVdbTimeStampCode;
          }
          if (!Ok) Error(kVdbErrInvalidTimestamp, Text);
          Factor = TVdbSimpleFactor::CreateLiteral(Text, TVdbDataType::GetDataType(Code, false, kVdbLiteralLevel));
          NextToken();
          break;
        }
        RestoreState(Start);
      }
      // A function that takes arguments is one only when "(" follows: "Len", "Count" or "Str"
      // alone name a column.
      const TSqlFunctionEntry* Entry = FindFunctionByName(LastTokenString());
      if (Entry != nullptr && (Entry->Min <= 0 || NextTokenIs(sqltLeftParenthesis))) {
        Factor = ParseStandardFunction(*Entry);
        break;
      }
      const TVdbDataFunc* DataFunc = FindDataFunc(LastTokenString());
      if (DataFunc != nullptr && (DataFunc->MaxArgs <= 0 || NextTokenIs(sqltLeftParenthesis))) {
        Factor = ParseDataFunction(*DataFunc);
        break;
      }
      Factor = ParseColumnReference();
      break;
    }
    default:
      Unexpected(sqltIdentifier);
  }
  if (Sign != sfsNone) Factor->SetSign(Sign);
  return Factor;
}

std::unique_ptr<TVdbFactor> TSqlParser::ParseCase() {
  Expect(sqltCase);
  auto Case = std::make_unique<TVdbSqlCaseOperation>();
  std::unique_ptr<TVdbExpression> Operand;
  if (FLastTokenType != sqltWhen) Operand = ParseExpr();
  if (FLastTokenType != sqltWhen) Unexpected(sqltWhen);
  while (Accept(sqltWhen)) {
    std::unique_ptr<TVdbSearchCondition> Condition;
    if (Operand) {
      // The simple form: each value becomes "operand = value" with its own copy of the operand.
      Condition = TVdbSearchCondition::FromFactor(TVdbBooleanFactor::CreateComparison(Operand->Clone(), tcoEqual, ParseExpr()));
    } else {
      Condition = ParseSearchCondition();
    }
    Expect(sqltThen);
    Case->AddWhen(std::move(Condition), ParseExpr());
  }
  if (Accept(sqltElse)) Case->SetElse(ParseExpr());
  Expect(sqltEnd);
  return Case;
}

std::unique_ptr<TVdbFactor> TSqlParser::ParseStandardFunction(const TSqlFunctionEntry& Entry) {
  NextToken();
  std::unique_ptr<TVdbFunction> Function;
  switch (Entry.Id) {
    case sftCast: {
      Expect(sqltLeftParenthesis);
      auto Argument = ParseExpr();
      Expect(sqltAs);
      auto Target = std::make_unique<TVdbSqlColumnDefinition>();
      ParseDataType(*Target);
      Expect(sqltRightParenthesis);
      Function = std::make_unique<TSqlCastFunction>(std::move(Target));
      Function->AddArgument(std::move(Argument));
      break;
    }
    case sftCurrentRecordId: {
      Expect(sqltLeftParenthesis);
      const TScanState Start = SaveState();
      auto Argument = ParseExpr();
      if (!Argument->IsColumn()) {
        RestoreState(Start);
        PlainError("Argument to CurrentRecordId must be a table name literal");
      }
      Expect(sqltRightParenthesis);
      Function = std::make_unique<TSqlCurrentRecordIdFunction>(Argument->GetSqlText());
      break;
    }
    case sftExtract: {
      Expect(sqltLeftParenthesis);
      if (!IsName()) Unexpected(sqltIdentifier);
      const std::string Field = AsciiUpper(LastTokenString());
      TFunctionId Id = sftNone;
      for (const TExtractField& Row : kExtractFields)
        if (Field == Row.Name) Id = Row.Id;
      if (Id == sftNone) Error(kVdbErrUnknownIdentifier, LastTokenString());
      NextToken();
      Expect(sqltFrom);
      Function = std::make_unique<TSqlStdFunction>(Id);
      Function->AddArgument(ParseExpr());
      Expect(sqltRightParenthesis);
      break;
    }
    case sftSubString: {
      Expect(sqltLeftParenthesis);
      Function = std::make_unique<TSqlStdFunction>(sftSubString);
      Function->AddArgument(ParseExpr());
      Expect(sqltFrom);
      Function->AddArgument(ParseExpr());
      if (Accept(sqltFor)) Function->AddArgument(ParseExpr());
      Expect(sqltRightParenthesis);
      break;
    }
    case sftTrim: {
      Expect(sqltLeftParenthesis);
      TFunctionId Id = sftTrimBoth;
      std::string Characters = " ";
      if (FLastTokenType == sqltBoth || FLastTokenType == sqltLeading || FLastTokenType == sqltTrailing) {
        Id = FLastTokenType == sqltBoth ? sftTrimBoth : FLastTokenType == sqltLeading ? sftTrimLeading : sftTrimTrailing;
        NextToken();
        if (FLastTokenType == sqltString) {
          Characters = LastTokenString();
          NextToken();
        }
        Expect(sqltFrom);
      }
      Function = std::make_unique<TSqlStdFunction>(Id);
      Function->AddArgument(ParseExpr());
      Function->AddArgument(TVdbExpression::FromFactor(TVdbSimpleFactor::CreateStringLiteral(Characters)));
      Expect(sqltRightParenthesis);
      break;
    }
    default: {
      Function = std::make_unique<TSqlStdFunction>(Entry.Id);
      if (Entry.Max <= 0 || !Accept(sqltLeftParenthesis)) break;
      if (Entry.Id == sftCount && FLastTokenType == sqltAsterisk) {
        // COUNT(*) counts every row: its argument is the constant 1.
        NextToken();
        static_cast<TSqlStdFunction&>(*Function).SetCountAll();
        Function->AddArgument(TVdbExpression::FromFactor(TVdbSimpleFactor::CreateLiteral(
            "1", TVdbDataType::GetDataType(kVdbBigIntCode, false, kVdbLiteralLevel))));
        Expect(sqltRightParenthesis);
        break;
      }
      int Count = 0;
      while (true) {
        Function->AddArgument(ParseExpr());
        ++Count;
        if (FLastTokenType != sqltComma) break;
        if (Count >= Entry.Max) Unexpected(sqltRightParenthesis);
        NextToken();
      }
      if (Count < Entry.Min) Unexpected(sqltComma);
      Expect(sqltRightParenthesis);
      break;
    }
  }
  return TVdbSimpleFactor::CreateFunction(std::move(Function));
}

std::unique_ptr<TVdbFactor> TSqlParser::ParseDataFunction(const TVdbDataFunc& Entry) {
  NextToken();
  auto Function = std::make_unique<TVeskorPlFunction>(Entry.Id);
  if (Entry.MaxArgs > 0) {
    Expect(sqltLeftParenthesis);
    for (int I = 0; I < Entry.MinArgs; ++I) {
      if (I > 0) Expect(sqltComma);
      Function->AddArgument(ParseExpr());
    }
    for (int I = Entry.MinArgs; I < Entry.MaxArgs && Accept(sqltComma); ++I) Function->AddArgument(ParseExpr());
    Expect(sqltRightParenthesis);
  }
  return TVdbSimpleFactor::CreateFunction(std::move(Function));
}

}  // namespace vdb
