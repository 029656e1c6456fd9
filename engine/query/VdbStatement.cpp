// Statements: text, parameters, preparation and execution under table locks (see
// VdbStatement.h).
#include "query/VdbStatement.h"

#include <cstring>

#include "query/VdbCommand.h"
#include "query/VdbQuery.h"
#include "session/VdbCatalog.h"
#include "sql/VdbSqlParser.h"
#include "sql/VplDatabase.h"

namespace vdb {

namespace {

// Engine errors a statement records as the session's last error.

// The longest 8-bit and wide strings a parameter holds before it becomes a memo.
constexpr std::int32_t kMaxAnsiParamLength = 32764;
constexpr std::int32_t kMaxWideParamLength = 16382;
constexpr std::int32_t kDefaultParamLength = 255;

const TVdbDataType* ParameterType(std::int16_t ParamType, std::int32_t ParamSpec) {
  const std::int32_t Length = ParamSpec <= 0 ? kDefaultParamLength : ParamSpec;
  switch (ParamType) {
    case kVdbCharCode:
    case kVdbStringCode:
      if (Length > kMaxAnsiParamLength) return TVdbDataType::GetDataType(kVdbMemoCode, true, kVdbCurrentLevel);
      return TVdbDataType::GetStringType(kVdbStringCode, true, kVdbCurrentLevel, Length, "");
    case kVdbWideStringCode:
      if (Length > kMaxWideParamLength) return TVdbDataType::GetDataType(kVdbWideMemoCode, true, kVdbCurrentLevel);
      return TVdbDataType::GetStringType(kVdbWideStringCode, true, kVdbCurrentLevel, Length, "");
    default:
      return TVdbDataType::GetDataType(ParamType, true, kVdbCurrentLevel);
  }
}

}  // namespace

TVdbStatement::TVdbStatement(TVdbCatalog* Catalog)
    : FCatalog(Catalog), FParameters(std::make_unique<TVdbVariables>()), FCommands(std::make_unique<TVdbCommandList>()) {
  InstallSqlFormulaCompiler(*Catalog->Services());
}

void TVdbStatement::InstallSqlFormulaCompiler(TVdbServices& Services) {
  // Without a compiler the tables' check constraints would be skipped and their calculated
  // columns refused. The compiler keeps no state: one serves every session.
  static TVdbSqlExpressionFactory Compiler;
  if (Services.ExpressionFactory() == nullptr) Services.SetExpressionFactory(&Compiler);
}

TVdbStatement::~TVdbStatement() {
  Unprepare();
  FCommands.reset();
}

std::int16_t TVdbStatement::RecordFailure(const std::exception& Error, std::int16_t Code) {
  TVdbServices* Services = FCatalog->Services();
  if (dynamic_cast<const EVdbEngine*>(&Error) != nullptr) Services->SetLastError(Error);
  else Services->SetLastError(kVdbErrUnknown, kxFormatArgs{std::string(Error.what())});
  return Code;
}

// ---------------------------------------------------------------------------------------------
// Text and commands

std::int16_t TVdbStatement::ParseText() {
  FCommands->Clear();
  TSqlParser Parser;
  Parser.SetIsOdbcCompatible(FCompat > 0);
  Parser.SetAllowLocalFormats(false);
  try {
    // Inside the guard: a text that is not UTF-8 is refused here, and this also runs from
    // Unprepare and the destructor, where nothing may escape.
    Parser.SetStatementText(FText);
    for (auto Tree = Parser.ParseFirstStatement(FCatalog); Tree; Tree = Parser.ParseNextStatement(FCatalog)) {
      Tree->Optimize();
      FCommands->Add(CreateCommand(FCatalog, std::move(Tree)));
    }
  } catch (const ESqlParser& Error) {
    FCommands->Clear();
    FLastErrorRow = Error.ErrorLineNo();
    FLastErrorCol = Error.ErrorCharNo();
    FCatalog->Services()->SetLastError(Error);
    return kResultParseError;
  } catch (const std::exception& Error) {
    FCommands->Clear();
    return RecordFailure(Error, kResultParseError);
  }
  return 0;
}

std::int16_t TVdbStatement::SetText(std::string_view Text) {
  Unprepare();
  FSingleTree.reset();
  FLastErrorRow = FLastErrorCol = 0;
  FText = std::string(Text);
  const std::int16_t Result = ParseText();
  if (Result < 0) FText.clear();
  return Result;
}

void TVdbStatement::SetSqlCommand(std::unique_ptr<TVdbSqlCommand> SqlCommand) {
  Unprepare();
  FText.clear();
  FCommands->Clear();
  FSingleTree.reset();
  if (auto* Query = dynamic_cast<TVdbSqlQuery*>(SqlCommand.get())) FSingleTree = Query->Clone();
  FCommands->Add(CreateCommand(FCatalog, std::move(SqlCommand)));
}

int TVdbStatement::CommandCount() const { return FCommands->Count(); }

// ---------------------------------------------------------------------------------------------
// Parameters

std::int16_t TVdbStatement::AddParameter(const std::string& ParamName, std::int16_t ParamType, std::int32_t ParamSpec) {
  if (FParameters->Find(ParamName) != nullptr) {
    FCatalog->Services()->SetLastError(kVdbErrDuplicateIdentifier, kxFormatArgs{ParamName});
    return kResultParamExists;
  }
  try {
    FParameters->Add(ParamName, ParameterType(ParamType, ParamSpec));
  } catch (const std::exception& Error) {
    return static_cast<std::int16_t>(FCatalog->Services()->SetLastError(Error));
  }
  return 0;
}

std::int16_t TVdbStatement::SetParamValue(const std::string& Name, const char* Value, std::int32_t Size) {
  TVdbVariable* Variable = FParameters->Find(Name);
  if (Variable == nullptr) return FCatalog->Services()->SetLastError(kVdbErrUnknownIdentifier, kxFormatArgs{Name});
  if (Size == -1 || Value == nullptr) {
    Variable->SetNull();
    return 0;
  }
  const std::string_view Text(Value, Size < -1 ? std::strlen(Value) : static_cast<std::size_t>(Size));
  try {
    const TVdbDataType* Type = Variable->DataType();
    if (Type == nullptr) Type = TVdbDataType::GetApproxStringType(static_cast<std::int32_t>(Text.size()));
    TVdbDataValue Converted;
    Type->ConvertFromString(Converted, Text);
    Variable->SetValue(Converted, Type);
  } catch (const std::exception& Error) {
    return FCatalog->Services()->SetLastError(Error);
  }
  return 0;
}

std::int16_t TVdbStatement::SetParamValue(const std::string& Name, const TVdbDataValue& Value, const TVdbDataType* Type) {
  TVdbVariable* Variable = FParameters->Find(Name);
  if (Variable == nullptr) return FCatalog->Services()->SetLastError(kVdbErrUnknownIdentifier, kxFormatArgs{Name});
  try {
    Variable->SetValue(Value, Type);
  } catch (const std::exception& Error) {
    return FCatalog->Services()->SetLastError(Error);
  }
  return 0;
}

void TVdbStatement::ClearParams() {
  for (std::size_t I = 0; I < FParameters->Count(); ++I) FParameters->Item(I)->Clear();
}

// ---------------------------------------------------------------------------------------------
// Preparation and execution

std::int16_t TVdbStatement::Prepare() {
  const std::int16_t Result = PrepareCommands();
  // A text parameter takes the code page of the text columns it meets; the commands are
  // prepared again with its new type.
  if (Result == 0 && AdoptColumnCodePage()) return PrepareCommands();
  return Result;
}

// The 8-bit text type the parameters of a prepared statement take: that of the text columns
// of the relations the statement touches, when they all have one code page; else none.
const TVdbStringType* TVdbStatement::TouchedTextColumnType() const {
  TVdbTouchedRelations Touched;
  FCommands->GetTouchedRelations(Touched);
  std::vector<std::int16_t> Relations = Touched.Read;
  Relations.insert(Relations.end(), Touched.Written.begin(), Touched.Written.end());
  const TVdbStringType* Found = nullptr;
  for (const std::int16_t RltnIdx : Relations) {
    const TVdbRelation* Relation = RltnIdx > 0 ? FCatalog->GetRelation(RltnIdx) : nullptr;
    if (Relation == nullptr) continue;
    for (std::int16_t FieldNo = 1; FieldNo <= Relation->GetColumnCount(); ++FieldNo) {
      const auto* Text = dynamic_cast<const TVdbAnsiStringType*>(Relation->GetDataType(FieldNo));
      if (Text == nullptr) continue;
      if (Found != nullptr && Found->CodePage() != Text->CodePage()) return nullptr;
      Found = Text;
    }
  }
  return Found;
}

// An 8-bit text parameter holds its value in its type's code page, which by default is the
// engine's (Windows-1252): a letter outside it ("ő") would be lost before the value ever met a
// Windows-1250 column. The parameter takes the columns' collation instead, so that its text is
// converted (by ICU) into the code page it is compared with and stored in. True when a
// parameter's type changed.
bool TVdbStatement::AdoptColumnCodePage() {
  const TVdbStringType* Column = TouchedTextColumnType();
  if (Column == nullptr) return false;
  bool Changed = false;
  for (std::size_t I = 0; I < FParameters->Count(); ++I) {
    TVdbVariable& Parameter = *FParameters->Item(I);
    const auto* Own = dynamic_cast<const TVdbAnsiStringType*>(Parameter.DataType());
    if (Own == nullptr || Own->CodePage() == Column->CodePage()) continue;
    Parameter.SetDataType(TVdbDataType::GetStringType(Own->ColumnType(), true, Own->Level(), Own->MaxLength(),
                                                      Column->CollationName()));
    Changed = true;
  }
  return Changed;
}

std::int16_t TVdbStatement::PrepareCommands() {
  if (FPrepared) Unprepare();
  for (int I = 0; I < FCommands->Count(); ++I)
    if (TVdbQuery* Query = (*FCommands)[I].AsQuery()) Query->SetRequestedCursorType(FRequestedCursorType);
  try {
    FCommands->Split();
    FCommands->SetupTables(FParameters.get());
    FCommands->InitExecution();
  } catch (const EVdbEngine& Error) {
    RecordFailure(Error, kResultPrepareFailed);
    FPrepared = true;  // so that Unprepare takes back what was done
    Unprepare();
    return kResultPrepareFailed;
  } catch (const std::exception& Error) {
    RecordFailure(Error, kResultInternal);
    FPrepared = true;
    Unprepare();
    return kResultInternal;
  }
  FPrepared = true;
  return 0;
}

std::int32_t TVdbStatement::Execute() {
  if (!FPrepared) return kResultNotPrepared;
  TVdbTouchedRelations Touched;
  FCommands->GetTouchedRelations(Touched);
  std::vector<std::int16_t> Read;
  for (const std::int16_t RltnIdx : Touched.Read)
    if (std::find(Touched.Written.begin(), Touched.Written.end(), RltnIdx) == Touched.Written.end())
      Read.push_back(RltnIdx);
  if (FCatalog->AcquireWriteLocks(Touched.Written) < 0) return kResultLocked;
  if (FCatalog->AcquireReadLocks(Read) < 0) {
    FCatalog->ReleaseWriteLocks(Touched.Written);
    return kResultLocked;
  }
  std::int32_t Affected = 0;
  bool Failed = false;
  try {
    FCommands->UpdateParameterValues(*FParameters);
    for (int I = 0; I < FCommands->Count() && !Failed; ++I) {
      TVdbQuery* Query = (*FCommands)[I].AsQuery();
      if (Query != nullptr && Query->IsCorrelated()) continue;
      Affected += (*FCommands)[I].Execute();
    }
  } catch (const std::exception& Error) {
    RecordFailure(Error, kResultExecuteFailed);
    Failed = true;
  }
  FCatalog->ReleaseReadLocks(Read);
  FCatalog->ReleaseWriteLocks(Touched.Written);
  return Failed ? kResultExecuteFailed : Affected;
}

void TVdbStatement::Unprepare() {
  if (!FPrepared) return;
  FPrepared = false;
  FCommands->Unprepare();
  // Preparation rewrites the trees (names resolved, "*" expanded): the next preparation starts
  // again from the text.
  if (!FText.empty()) {
    ParseText();
  } else if (FSingleTree) {
    FCommands->Clear();
    FCommands->Add(CreateCommand(FCatalog, FSingleTree->Clone()));
  }
}

// ---------------------------------------------------------------------------------------------
// Result

namespace {

TVdbQuery* LastQuery(const TVdbCommandList& Commands) {
  for (int I = Commands.Count() - 1; I >= 0; --I)
    if (TVdbQuery* Query = Commands[I].AsQuery()) return Query;
  return nullptr;
}

}  // namespace

std::int16_t TVdbStatement::ResultRltnIdx() const {
  const TVdbQuery* Query = FPrepared ? LastQuery(*FCommands) : nullptr;
  return Query != nullptr ? Query->ResultRltnIdx() : 0;
}

std::int16_t TVdbStatement::ResultIndexNo() const {
  const TVdbQuery* Query = FPrepared ? LastQuery(*FCommands) : nullptr;
  return Query != nullptr ? Query->LiveResultIndexNo() : TVdbQuery::kNoLiveIndex;
}

std::string TVdbStatement::PlanText() const {
  std::string Text;
  for (int I = 0; I < FCommands->Count(); ++I) Text += (*FCommands)[I].PlanText();
  return Text;
}

}  // namespace vdb
