// The SQL scanner and parser: a hand-written scanner and a recursive-descent parser with one
// token of look-ahead and one saved scanner state for back-tracking. It turns SQL text into the
// statement tree of sql/VdbSqlCommand.h; it looks nothing up in the catalog (names are resolved
// when the tree is prepared).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "base/VdbErrors.h"
#include "sql/VdbSqlCommand.h"

namespace vdb {

class TVdbSearchCondition;
class TVdbBooleanTerm;
class TVdbBooleanFactor;
class TVdbExpression;
class TVdbTerm;
class TVdbFactor;
class TVdbSimpleFactor;

enum TSqlTokenType : std::uint8_t {
  sqltAction, sqltAdd, sqltAll, sqltAlter, sqltAnd, sqltAny, sqltAs, sqltAsc, sqltAsterisk, sqltAt,
  sqltBetween, sqltBoth, sqltBy, sqltCascade, sqltCase, sqltCheck, sqltCollate, sqltColumn,
  sqltComma, sqltConstraint, sqltContains, sqltContaining, sqltCorresponding, sqltCreate,
  sqltCross, sqltDat, sqltDataType, sqltDefault, sqltDelete, sqltDesc, sqltDictionary,
  sqltDistinct, sqltDiv, sqltDivisor, sqltDot, sqltDrop, sqltElse, sqltEncryption, sqltEnd,
  sqltEndOfStatement, sqltEqual, sqltEqualOrGreater, sqltEqualOrLess, sqltEscape, sqltExcept,
  sqltExclamationMark, sqltExists, sqltFalse, sqltFor, sqltForeign, sqltFrom, sqltFull,
  sqltFulltextIndex, sqltGroup, sqltGreater, sqltHas, sqltHaving, sqltIdentifier, sqltIn,
  sqltIndex, sqltInner, sqltInsert, sqltIntersect, sqltInto, sqltIs, sqltJoin, sqltKey,
  sqltLeading, sqltLeftParenthesis, sqltLeft, sqltLess, sqltLevel, sqltLike, sqltMinus, sqltMod,
  sqltModify, sqltNo, sqltNot, sqltNotEqual, sqltNull, sqltNumber, sqltOn, sqltOr, sqltOrder,
  sqltOuter, sqltParameter, sqltPassword, sqltPipe, sqltPlus, sqltPrecision, sqltPrimary,
  sqltReference, sqltReferences, sqltRename, sqltRight, sqltRightParenthesis, sqltSelect,
  sqltSemicolon, sqltSet, sqltSome, sqltString, sqltTable, sqltThen, sqltTo, sqltTop,
  sqltTrailing, sqltTrue, sqltUnion, sqltUnique, sqltUpdate, sqltValues, sqltWhen, sqltWhere
};

// A parse error: the message number and text, the offending line, its row and column and the
// unit text "SQL command".
class ESqlParser : public EVdbCompilerError {
 public:
  ESqlParser(std::int16_t Code, const kxFormatArgs& Args, std::string Desc, std::int32_t CharNo,
             std::int32_t LineNo, std::string Line);
  // A parse error without a message number: Desc is the whole message.
  ESqlParser(std::string Desc, std::int32_t CharNo, std::int32_t LineNo, std::string Line);
  const char* what() const noexcept override;
  const std::string& Desc() const { return FDesc; }

 private:
  std::string FDesc;
  bool FPlainText = false;
};

// "Expected" but "found": error 56.
class EVdbSqlUnexpectedToken : public ESqlParser {
 public:
  EVdbSqlUnexpectedToken(std::string Expected, std::string TokenFound, std::int32_t CharNo,
                         std::int32_t LineNo, std::string Line);
  const std::string& TokenFound() const { return FTokenFound; }

 private:
  std::string FTokenFound;
};

// The standard-function table: name, function id, minimum and maximum argument count.
struct TSqlFunctionEntry {
  const char* Name;
  TFunctionId Id;
  std::int16_t Min;
  std::int16_t Max;
};

class TSqlParser {
 public:
  TSqlParser() = default;

  void SetStatementText(std::string_view Text);
  std::string StatementText() const;
  bool IsOdbcCompatible() const { return FIsOdbcCompatible; }
  void SetIsOdbcCompatible(bool Value) { FIsOdbcCompatible = Value; }
  bool AllowLocalFormats() const { return FAllowLocalFormats; }
  void SetAllowLocalFormats(bool Value) { FAllowLocalFormats = Value; }
  const std::string& ErrorMessage() const { return FErrorMessage; }

  void InitParsing(TVdbCatalog* Catalog);
  std::unique_ptr<TVdbSqlCommand> ParseFirstStatement(TVdbCatalog* Catalog);
  // Nullptr at the end of the text.
  std::unique_ptr<TVdbSqlCommand> ParseNextStatement(TVdbCatalog* Catalog);
  std::unique_ptr<TVdbSearchCondition> ParseCondition(TVdbCatalog* Catalog);
  std::unique_ptr<TVdbExpression> ParseExpression();
  void ParseEnd();
  std::unique_ptr<TVdbFactor> ParseParameter();

  // Position of the current token.
  std::int32_t LastTokenRow() const;
  std::int32_t LastTokenColumn() const;
  std::string CurrentStatementLine() const;

  // The scanner's current token (for tests and callers that scan on their own).
  TSqlTokenType LastTokenType() const { return FLastTokenType; }
  std::string LastTokenString() const;
  void NextToken();

  static const TSqlFunctionEntry* FunctionTable(int& Count);
  static int FindFunction(TFunctionId FunctionId);
  static std::string GetSqlTypeName(TVdbSqlType SqlType);
  static std::int16_t GetVdbType(TVdbSqlType SqlType);
  // The display text of a token kind, as used in "expected" errors.
  static std::string TokenDisplayText(TSqlTokenType Type);
  // The reserved word of a text (any case), or false.
  static bool FindReservedWord(std::string_view Word, TSqlTokenType& Type);

 private:
  // Scanner
  char16_t CharAt(std::int32_t Pos) const;   // 1-based; 0 past the end
  void ScanNumber();
  void ScanQuoted(char16_t Delimiter, bool Escaped, TSqlTokenType Type);
  static char16_t LocaleDecimalSeparator();
  [[noreturn]] void CharacterError(char16_t C, std::int32_t Pos);
  // A scanner state to return to when an attempt fails. Each attempt keeps its own, so nested
  // attempts rewind to their own starting points.
  struct TScanState {
    std::int32_t StatementPos;
    TSqlTokenType LastTokenType;
    std::u16string LastTokenString;
    std::int32_t LastTokenPos;
    std::int32_t ParameterCount;
  };
  TScanState SaveState() const;
  void RestoreState(const TScanState& State);

  // Errors
  [[noreturn]] void Unexpected(TSqlTokenType Expected);
  [[noreturn]] void Unexpected(const std::string& Expected);
  [[noreturn]] void Error(std::int16_t Code, const std::string& Arg);
  [[noreturn]] void Error(std::int16_t Code);
  [[noreturn]] void PlainError(const std::string& Text);
  // Guards the recursion against texts nested too deeply for the stack.
  class TDepthGuard;
  void Expect(TSqlTokenType Type);   // checks and consumes
  bool Accept(TSqlTokenType Type);   // consumes when it is the current token
  bool NextTokenIs(TSqlTokenType Type);  // looks one token ahead, consuming nothing
  // Whether a query starts at the current token, behind any opening parentheses (consumes nothing):
  // "(" alone may as well open a parenthesised value.
  bool QueryStartsHere();
  bool IsName() const;
  std::string ParseName();           // error expecting "<name of table, index, column etc.>"
  std::string ParseTableName();      // error expecting "<identifier>"
  std::string ParseDottedName();     // name {"." name}
  std::int32_t ParseInteger();

  // Statements
  std::unique_ptr<TVdbSqlCommand> ParseStatement();
  std::unique_ptr<TVdbSqlQuery> ParseQuery();
  void ParseSortItems(TVdbSqlSortSpecificationList& List, bool CommaOptional);
  std::unique_ptr<TVdbSqlTableExpression> ParseTableExpression();
  std::unique_ptr<TVdbSqlTableTerm> ParseTableTerm();
  TVdbCorrespondingFields ParseCorresponding();
  std::unique_ptr<TVdbSqlTablePrimitive> ParseTablePrimary();
  std::unique_ptr<TVdbSqlSelectExpression> ParseSelectExpression();
  bool TryParseAllColumnsOfTable(TVdbSqlSelectExpression& Select);
  std::unique_ptr<TVdbSqlTableReference> ParseTableReference();
  std::unique_ptr<TVdbSqlTableReference> ParseSingleTableReference();
  std::unique_ptr<TVdbSqlCommand> ParseDelete();
  std::unique_ptr<TVdbSqlCommand> ParseInsert();
  std::unique_ptr<TVdbSqlCommand> ParseUpdate();
  std::unique_ptr<TVdbSqlCommand> ParseUpdateIndex();
  std::unique_ptr<TVdbSqlCommand> ParseCreate();
  std::unique_ptr<TVdbSqlCommand> ParseCreateTable();
  std::unique_ptr<TVdbSqlCommand> ParseCreateIndex(bool Unique);
  std::unique_ptr<TVdbSqlCommand> ParseCreateFulltextIndex();
  std::unique_ptr<TVdbSqlCommand> ParseAlterTable();
  std::unique_ptr<TVdbSqlCommand> ParseDrop();
  void ParseTableOptions(TVdbSqlTableOptions& Options);
  bool ParseConstraintElement(TVdbSqlConstraints& Constraints, const std::string& Name);
  std::unique_ptr<TVdbSqlColumnDefinition> ParseColumnDefinition();
  void ParseDataType(TVdbSqlColumnDefinition& Def);
  std::vector<std::string> ParseColumnList();

  // Conditions and expressions
  std::unique_ptr<TVdbSearchCondition> ParseSearchCondition();
  std::unique_ptr<TVdbBooleanTerm> ParseBooleanTerm();
  std::unique_ptr<TVdbBooleanFactor> ParseBooleanFactor();
  std::unique_ptr<TVdbBooleanFactor> ParseComparison(bool IsNot);
  std::unique_ptr<TVdbBooleanFactor> ParseFulltextPredicate(bool IsNot);
  std::unique_ptr<TVdbExpression> ParseExpr();
  std::unique_ptr<TVdbTerm> ParseTerm();
  std::unique_ptr<TVdbFactor> ParseFactor();
  std::unique_ptr<TVdbFactor> ParseCase();
  std::unique_ptr<TVdbFactor> ParseStandardFunction(const TSqlFunctionEntry& Entry);
  std::unique_ptr<TVdbFactor> ParseDataFunction(const TVdbDataFunc& Entry);
  std::unique_ptr<TVdbFactor> ParseNumberLiteral();
  std::unique_ptr<TVdbFactor> ParseColumnReference();

  TVdbCatalog* FCatalog = nullptr;
  bool FIsOdbcCompatible = false;
  bool FAllowLocalFormats = false;
  std::u16string FStatementText;
  std::int32_t FParameterCount = 0;
  std::int32_t FStatementPos = 1;
  std::u16string FLastTokenString;
  std::int32_t FLastTokenPos = 1;
  TSqlTokenType FLastTokenType = sqltEndOfStatement;
  int FDepth = 0;   // nesting of conditions, expressions and table expressions
  std::string FErrorMessage;
  // Positions of "(" where a nested condition was tried and did not fit.
  std::unordered_set<std::int32_t> FFailedConditionStarts;
};

}  // namespace vdb
