// The SQL scanner: tokens, reserved words, literals, comments, parameters and error positions.
// The grammar that consumes these tokens is in VdbSqlParserGrammar.cpp.
#include "sql/VdbSqlParser.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <clocale>

#include "storage/kxMemory.h"

namespace vdb {

namespace {

struct TReservedWord {
  const char* Word;
  TSqlTokenType Type;
};

// Searched from the first row to the last; the first equal row wins.
constexpr TReservedWord kReservedWords[] = {
    {"ACTION", sqltAction}, {"ADD", sqltAdd}, {"ALL", sqltAll}, {"ALTER", sqltAlter},
    {"AND", sqltAnd}, {"ANY", sqltAny}, {"AS", sqltAs}, {"ASC", sqltAsc},
    {"ASCENDING", sqltAsc}, {"AT", sqltAt}, {"BETWEEN", sqltBetween}, {"BOTH", sqltBoth},
    {"BY", sqltBy}, {"CASCADE", sqltCascade}, {"CASE", sqltCase}, {"CHECK", sqltCheck},
    {"COLLATE", sqltCollate}, {"COLUMN", sqltColumn}, {"CONSTRAINT", sqltConstraint},
    {"CONTAINING", sqltContaining}, {"CONTAINS", sqltContains},
    {"CORRESPONDING", sqltCorresponding}, {"CREATE", sqltCreate}, {"CROSS", sqltCross},
    {"DAT", sqltDat}, {"DEFAULT", sqltDefault}, {"DELETE", sqltDelete}, {"DESC", sqltDesc},
    {"DESCENDING", sqltDesc}, {"DICTIONARY", sqltDictionary}, {"DIV", sqltDiv},
    {"DISTINCT", sqltDistinct}, {"DROP", sqltDrop}, {"ENCRYPTION", sqltEncryption},
    {"ELSE", sqltElse}, {"END", sqltEnd}, {"ESCAPE", sqltEscape}, {"EXCEPT", sqltExcept},
    {"EXISTS", sqltExists}, {"FALSE", sqltFalse}, {"FOR", sqltFor}, {"FOREIGN", sqltForeign},
    {"FROM", sqltFrom}, {"FULL", sqltFull}, {"FULLTEXTINDEX", sqltFulltextIndex},
    {"GROUP", sqltGroup}, {"HAS", sqltHas}, {"HAVING", sqltHaving}, {"IN", sqltIn},
    {"INDEX", sqltIndex}, {"INNER", sqltInner}, {"INSERT", sqltInsert},
    {"INTERSECT", sqltIntersect}, {"INTO", sqltInto}, {"IS", sqltIs}, {"JOIN", sqltJoin},
    {"KEY", sqltKey}, {"LEADING", sqltLeading}, {"LEFT", sqltLeft}, {"LEVEL", sqltLevel},
    {"LIKE", sqltLike}, {"MOD", sqltMod}, {"MODIFY", sqltModify}, {"NO", sqltNo},
    {"NOT", sqltNot}, {"NULL", sqltNull}, {"ON", sqltOn}, {"OR", sqltOr}, {"ORDER", sqltOrder},
    {"OUTER", sqltOuter}, {"PASSWORD", sqltPassword}, {"PRECISION", sqltPrecision},
    {"PRIMARY", sqltPrimary}, {"REFERENCES", sqltReferences}, {"RENAME", sqltRename},
    {"RIGHT", sqltRight}, {"SELECT", sqltSelect}, {"SET", sqltSet}, {"SOME", sqltSome},
    {"TABLE", sqltTable}, {"THEN", sqltThen}, {"TO", sqltTo}, {"TOP", sqltTop},
    {"TRAILING", sqltTrailing}, {"TRUE", sqltTrue}, {"UNION", sqltUnion},
    {"UNIQUE", sqltUnique}, {"UPDATE", sqltUpdate}, {"VALUES", sqltValues}, {"WHEN", sqltWhen},
    {"WHERE", sqltWhere},
};

constexpr char16_t kUmlauts[] = u"\u00C4\u00D6\u00DC\u00E4\u00F6\u00FC";  // Ä Ö Ü ä ö ü
constexpr char16_t kSharpS = u'\u00DF';

bool IsAsciiLetter(char16_t C) { return (C >= u'A' && C <= u'Z') || (C >= u'a' && C <= u'z'); }
bool IsDigit(char16_t C) { return C >= u'0' && C <= u'9'; }
bool IsUmlaut(char16_t C) {
  for (char16_t U : std::u16string_view(kUmlauts))
    if (C == U) return true;
  return false;
}
bool IsWhiteSpace(char16_t C) { return C == u' ' || C == u'\t' || C == u'\n' || C == u'\r'; }
bool IsIdentifierStart(char16_t C) { return IsAsciiLetter(C) || IsUmlaut(C); }
bool IsIdentifierContinuation(char16_t C) {
  return IsIdentifierStart(C) || C == kSharpS || IsDigit(C) || C == u'-' || C == u'_';
}
bool IsParameterStart(char16_t C) { return IsIdentifierStart(C); }
bool IsNumberContinuation(char16_t C) { return IsDigit(C) || C == u'_' || C == u'.' || C == u':'; }

std::string ToUtf8(std::u16string_view Text) { return TkxMemory::Utf16ToUtf8(Text); }

std::string SingleTokenText(TSqlTokenType Type) {
  switch (Type) {
    case sqltDataType: return "<data type>";
    case sqltEndOfStatement: return "<end of statement>";
    case sqltIdentifier: return "<identifier>";
    case sqltReference: return "<name of table, index, column etc.>";
    case sqltString: return "<string>";
    case sqltNumber: return "<number>";
    case sqltLeftParenthesis: return "(";
    case sqltRightParenthesis: return ")";
    case sqltComma: return ",";
    case sqltSemicolon: return ";";
    case sqltAsterisk: return "*";
    case sqltDot: return ".";
    case sqltEqual: return "=";
    case sqltNotEqual: return "!=";
    case sqltPlus: return "+";
    case sqltMinus: return "-";
    case sqltDivisor: return "/";
    case sqltMod: return "%";
    case sqltExclamationMark: return "!";
    case sqltGreater: return ">";
    case sqltEqualOrGreater: return ">=";
    case sqltLess: return "<";
    case sqltEqualOrLess: return "<=";
    case sqltPipe: return "|";
    case sqltParameter: return ":";
    default: return {};
  }
}

}  // namespace

// The locale's decimal separator (one character).
char16_t TSqlParser::LocaleDecimalSeparator() {
  const std::lconv* Conv = std::localeconv();
  if (Conv && Conv->decimal_point && Conv->decimal_point[0]) return static_cast<char16_t>(Conv->decimal_point[0]);
  return u'.';
}

// ---------------------------------------------------------------------------------------------
// Errors

ESqlParser::ESqlParser(std::int16_t Code, const kxFormatArgs& Args, std::string Desc, std::int32_t CharNo,
                       std::int32_t LineNo, std::string Line)
    : EVdbCompilerError(Code, Args, CharNo, LineNo, std::move(Line), "SQL command"), FDesc(std::move(Desc)) {}

ESqlParser::ESqlParser(std::string Desc, std::int32_t CharNo, std::int32_t LineNo, std::string Line)
    : EVdbCompilerError(0, {}, CharNo, LineNo, std::move(Line), "SQL command"),
      FDesc(std::move(Desc)),
      FPlainText(true) {}

const char* ESqlParser::what() const noexcept {
  return FPlainText ? FDesc.c_str() : EVdbCompilerError::what();
}

EVdbSqlUnexpectedToken::EVdbSqlUnexpectedToken(std::string Expected, std::string TokenFound,
                                               std::int32_t CharNo, std::int32_t LineNo, std::string Line)
    : ESqlParser(56, {Expected, TokenFound}, Expected, CharNo, LineNo, std::move(Line)),
      FTokenFound(std::move(TokenFound)) {}

// ---------------------------------------------------------------------------------------------
// Tables

bool TSqlParser::FindReservedWord(std::string_view Word, TSqlTokenType& Type) {
  std::string Upper(Word);
  for (char& C : Upper)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  for (const TReservedWord& Row : kReservedWords) {
    if (Upper == Row.Word) {
      Type = Row.Type;
      return true;
    }
  }
  return false;
}

std::string TSqlParser::TokenDisplayText(TSqlTokenType Type) {
  for (const TReservedWord& Row : kReservedWords)
    if (Row.Type == Type) return Row.Word;
  return SingleTokenText(Type);
}

// ---------------------------------------------------------------------------------------------
// Text and positions

void TSqlParser::SetStatementText(std::string_view Text) { FStatementText = TkxMemory::Utf8ToUtf16(Text); }

std::string TSqlParser::StatementText() const { return ToUtf8(FStatementText); }

std::string TSqlParser::LastTokenString() const { return ToUtf8(FLastTokenString); }

char16_t TSqlParser::CharAt(std::int32_t Pos) const {
  if (Pos < 1 || Pos > static_cast<std::int32_t>(FStatementText.size())) return 0;
  return FStatementText[static_cast<std::size_t>(Pos - 1)];
}

std::int32_t TSqlParser::LastTokenRow() const {
  std::int32_t Row = 1;
  const std::size_t End = std::min<std::size_t>(static_cast<std::size_t>(FLastTokenPos - 1), FStatementText.size());
  for (std::size_t I = 0; I < End; ++I)
    if (FStatementText[I] == u'\n') ++Row;
  return Row;
}

std::int32_t TSqlParser::LastTokenColumn() const {
  const std::size_t End = std::min<std::size_t>(static_cast<std::size_t>(FLastTokenPos - 1), FStatementText.size());
  std::size_t LineStart = 0;
  for (std::size_t I = 0; I < End; ++I)
    if (FStatementText[I] == u'\n') LineStart = I + 1;
  return static_cast<std::int32_t>(static_cast<std::size_t>(FLastTokenPos - 1) - LineStart + 1);
}

std::string TSqlParser::CurrentStatementLine() const {
  const std::size_t End = std::min<std::size_t>(static_cast<std::size_t>(FLastTokenPos - 1), FStatementText.size());
  std::size_t LineStart = 0;
  for (std::size_t I = 0; I < End; ++I)
    if (FStatementText[I] == u'\n') LineStart = I + 1;
  std::size_t LineEnd = FStatementText.find_first_of(u"\r\n", LineStart);
  if (LineEnd == std::u16string::npos) LineEnd = FStatementText.size();
  return ToUtf8(std::u16string_view(FStatementText).substr(LineStart, LineEnd - LineStart));
}

TSqlParser::TScanState TSqlParser::SaveState() const {
  return {FStatementPos, FLastTokenType, FLastTokenString, FLastTokenPos, FParameterCount};
}

void TSqlParser::RestoreState(const TScanState& State) {
  FStatementPos = State.StatementPos;
  FLastTokenType = State.LastTokenType;
  FLastTokenString = State.LastTokenString;
  FLastTokenPos = State.LastTokenPos;
  FParameterCount = State.ParameterCount;
}

// ---------------------------------------------------------------------------------------------
// Errors at the current token

void TSqlParser::Unexpected(const std::string& Expected) {
  const std::string Found = FLastTokenType == sqltEndOfStatement ? std::string("<end of statement>") : LastTokenString();
  FErrorMessage = VdbExceptionMessage(kVdbErrExpected, {Expected, Found});
  throw EVdbSqlUnexpectedToken(Expected, Found, LastTokenColumn(), LastTokenRow(), CurrentStatementLine());
}

void TSqlParser::Unexpected(TSqlTokenType Expected) { Unexpected(TokenDisplayText(Expected)); }

void TSqlParser::Error(std::int16_t Code, const std::string& Arg) {
  FErrorMessage = VdbExceptionMessage(Code, {Arg});
  throw ESqlParser(Code, {Arg}, Arg, LastTokenColumn(), LastTokenRow(), CurrentStatementLine());
}

void TSqlParser::Error(std::int16_t Code) {
  FErrorMessage = VdbExceptionMessage(Code, {});
  throw ESqlParser(Code, {}, FErrorMessage, LastTokenColumn(), LastTokenRow(), CurrentStatementLine());
}

void TSqlParser::PlainError(const std::string& Text) {
  FErrorMessage = Text;
  throw ESqlParser(Text, LastTokenColumn(), LastTokenRow(), CurrentStatementLine());
}

void TSqlParser::CharacterError(char16_t C, std::int32_t Pos) {
  FLastTokenPos = Pos;
  Error(kVdbErrCharacterNotAllowed, ToUtf8(std::u16string(1, C)));
}

// ---------------------------------------------------------------------------------------------
// Scanning

void TSqlParser::ScanQuoted(char16_t Delimiter, bool Escaped, TSqlTokenType Type) {
  FLastTokenString.clear();
  std::int32_t Pos = FStatementPos + 1;
  const std::int32_t Length = static_cast<std::int32_t>(FStatementText.size());
  while (true) {
    if (Pos > Length) {
      // The text ends inside the literal: the closing character is what is missing.
      FLastTokenPos = Length + 1;
      FLastTokenType = sqltEndOfStatement;
      FStatementPos = Pos;
      Unexpected(ToUtf8(std::u16string(1, Delimiter)));
    }
    const char16_t C = CharAt(Pos);
    if (C == Delimiter) {
      if (Escaped && CharAt(Pos + 1) == Delimiter) {
        FLastTokenString += C;
        Pos += 2;
        continue;
      }
      ++Pos;
      break;
    }
    FLastTokenString += C;
    ++Pos;
  }
  FStatementPos = Pos;
  FLastTokenType = Type;
}

void TSqlParser::ScanNumber() {
  const char16_t LocalSeparator = LocaleDecimalSeparator();
  std::int32_t Pos = FStatementPos + 1;
  while (true) {
    const char16_t C = CharAt(Pos);
    if (C == 0) break;
    if (IsNumberContinuation(C) || (FAllowLocalFormats && C == LocalSeparator)) {
      ++Pos;
      continue;
    }
    break;
  }
  // A list separator written straight after a number belongs to the list, not to the number.
  if (CharAt(Pos - 1) == u',' && Pos - 1 > FStatementPos) --Pos;
  if (CharAt(Pos) == u'E' || CharAt(Pos) == u'e') {
    ++Pos;
    if (CharAt(Pos) == u'+' || CharAt(Pos) == u'-') ++Pos;
    while (IsDigit(CharAt(Pos))) ++Pos;
  }
  if (CharAt(Pos) != 0 && IsIdentifierContinuation(CharAt(Pos))) CharacterError(CharAt(Pos), Pos);
  FLastTokenString = FStatementText.substr(static_cast<std::size_t>(FStatementPos - 1),
                                           static_cast<std::size_t>(Pos - FStatementPos));
  FLastTokenType = sqltNumber;
  FStatementPos = Pos;
}

void TSqlParser::NextToken() {
  while (true) {
    while (IsWhiteSpace(CharAt(FStatementPos))) ++FStatementPos;
    FLastTokenPos = FStatementPos;
    const char16_t C = CharAt(FStatementPos);
    if (C == 0 && FStatementPos > static_cast<std::int32_t>(FStatementText.size())) {
      FLastTokenType = sqltEndOfStatement;
      FLastTokenString = u"<end of statement>";
      return;
    }
    const char16_t Next = CharAt(FStatementPos + 1);
    auto Single = [&](TSqlTokenType Type, std::int32_t Length) {
      FLastTokenType = Type;
      FLastTokenString = FStatementText.substr(static_cast<std::size_t>(FStatementPos - 1),
                                               static_cast<std::size_t>(Length));
      FStatementPos += Length;
    };
    auto SkipLine = [&]() {
      while (FStatementPos <= static_cast<std::int32_t>(FStatementText.size()) && CharAt(FStatementPos) != u'\n')
        ++FStatementPos;
    };
    if (IsIdentifierStart(C)) {
      std::int32_t Pos = FStatementPos + 1;
      while (IsIdentifierContinuation(CharAt(Pos))) ++Pos;
      FLastTokenString = FStatementText.substr(static_cast<std::size_t>(FStatementPos - 1),
                                               static_cast<std::size_t>(Pos - FStatementPos));
      FStatementPos = Pos;
      FLastTokenType = sqltIdentifier;
      TSqlTokenType Reserved;
      if (FindReservedWord(ToUtf8(FLastTokenString), Reserved)) FLastTokenType = Reserved;
      return;
    }
    if (IsDigit(C)) return ScanNumber();
    switch (C) {
      case u'\'': return ScanQuoted(u'\'', true, sqltString);
      case u'"': return ScanQuoted(u'"', true, sqltReference);
      case u'[': return ScanQuoted(u']', false, sqltReference);
      case u'$': {
        // "$" names a column by what follows it; alone it would be a reference without a name,
        // which no statement can print back or resolve.
        if (!IsIdentifierContinuation(Next)) CharacterError(C, FStatementPos);
        std::int32_t Pos = FStatementPos + 1;
        while (IsIdentifierContinuation(CharAt(Pos))) ++Pos;
        FLastTokenString = FStatementText.substr(static_cast<std::size_t>(FStatementPos),
                                                 static_cast<std::size_t>(Pos - FStatementPos - 1));
        FStatementPos = Pos;
        FLastTokenType = sqltReference;
        return;
      }
      case u':': {
        if (FIsOdbcCompatible) CharacterError(C, FStatementPos);
        if (!IsParameterStart(Next)) CharacterError(Next == 0 ? C : Next, Next == 0 ? FStatementPos : FStatementPos + 1);
        std::int32_t Pos = FStatementPos + 2;
        while (IsIdentifierContinuation(CharAt(Pos))) ++Pos;
        FLastTokenString = FStatementText.substr(static_cast<std::size_t>(FStatementPos),
                                                 static_cast<std::size_t>(Pos - FStatementPos - 1));
        FStatementPos = Pos;
        FLastTokenType = sqltParameter;
        return;
      }
      case u'?': {
        if (!FIsOdbcCompatible) CharacterError(C, FStatementPos);
        ++FParameterCount;
        ++FStatementPos;
        FLastTokenString = TkxMemory::Utf8ToUtf16("Param" + std::to_string(FParameterCount));
        FLastTokenType = sqltParameter;
        return;
      }
      case u'(': return Single(sqltLeftParenthesis, 1);
      case u')': return Single(sqltRightParenthesis, 1);
      case u',': return Single(sqltComma, 1);
      case u';': return Single(sqltSemicolon, 1);
      case u'*': return Single(sqltAsterisk, 1);
      case u'+': return Single(sqltPlus, 1);
      case u'.': return Single(sqltDot, 1);
      case u'=': return Single(sqltEqual, 1);
      case u'%': return Single(sqltMod, 1);
      case u'-':
        if (Next == u'-') {
          SkipLine();
          continue;
        }
        return Single(sqltMinus, 1);
      case u'/':
        if (Next == u'/') {
          SkipLine();
          continue;
        }
        if (Next == u'*') {
          const std::size_t End = FStatementText.find(u"*/", static_cast<std::size_t>(FStatementPos + 1));
          FStatementPos = End == std::u16string::npos ? static_cast<std::int32_t>(FStatementText.size()) + 1
                                                      : static_cast<std::int32_t>(End) + 3;
          continue;
        }
        return Single(sqltDivisor, 1);
      case u'!':
        if (Next == u'=') return Single(sqltNotEqual, 2);
        return Single(sqltExclamationMark, 1);
      case u'<':
        if (Next == u'=') return Single(sqltEqualOrLess, 2);
        if (Next == u'>') return Single(sqltNotEqual, 2);
        return Single(sqltLess, 1);
      case u'>':
        if (Next == u'=') return Single(sqltEqualOrGreater, 2);
        return Single(sqltGreater, 1);
      case u'|':
        if (Next == u'|') return Single(sqltPlus, 2);
        return Single(sqltPipe, 1);
      default:
        CharacterError(C, FStatementPos);
    }
  }
}

void TSqlParser::InitParsing(TVdbCatalog* Catalog) {
  FCatalog = Catalog;
  FStatementPos = 1;
  FParameterCount = 0;
  FErrorMessage.clear();
  FFailedConditionStarts.clear();
  NextToken();
}

}  // namespace vdb
