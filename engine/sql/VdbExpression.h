// Expressions and search conditions.
//
// The nodes the SQL parser builds for every value and every condition: select items, WHERE, ON
// and HAVING conditions, formulas of calculated columns and defaults, filters of cursors. A tree
// is first prepared against a context (the relations in scope): names are resolved to columns,
// parameters or outer references and every node gets a data type. It is then evaluated once per
// candidate row: column factors read the current record of their relation, literals and
// parameters return their stored value, operators combine values through the data types'
// arithmetic and comparison.
//
// A search condition evaluates to TRUE, FALSE or UNKNOWN and reports the set of relations whose
// current rows decided the answer; the execution plan uses that set to skip rows.
//
// Shape of the trees (all right-recursive, as the parser reads them):
//   expression  = term [(+ | -) expression]          evaluated as term op (rest)
//   term        = factor [(* | / | DIV | MOD) term]  evaluated from left to right
//   search cond = boolean term [OR search cond]
//   boolean term= boolean factor [AND boolean term]
// Because an expression evaluates as "term op rest", a chain is stored with each operator
// multiplied by the written one before it: a - b + c is stored as a - (b - c), a - b - c as
// a - (b + c). TVdbExpression::FromChain builds that form from the operators as written; the
// constructors store what they are given.
//
// The standard SQL functions (COUNT, SUBSTRING, CAST, ...) are nodes of the statement unit; they
// derive from TVdbFunction, which is all a factor needs of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "table/VdbData.h"
#include "table/VdbDefinitions.h"

namespace vdb {

class TVdbAccessor;
class TVdbRelation;
class TVdbExpression;
class TVdbSearchCondition;
class TVdbSyntaxNodeVisitor;

// ---------------------------------------------------------------------------------------------
// Enumerations

enum TVdbComparisonOperator : std::uint8_t {
  tcoNone, tcoIsNull, tcoIsNotNull, tcoEqual, tcoEqualNull, tcoUnequal, tcoLess, tcoLessOrEqual,
  tcoGreater, tcoGreaterOrEqual, tcoIn, tcoBetween, tcoLike, tcoHas, tcoContains, tcoFullTextRank,
  tcoExists
};

enum TVdbSimpleFactorType : std::uint8_t {
  sftUnknown, sftFunction, sftExpression, sftLiteral, sftColumn, sftParameter, sftOuterReference
};

enum TSqlFactorSign : std::uint8_t { sfsNone, sfsMinus, sfsPlus };

enum TVdbPrepareOption : std::uint8_t {
  tpoLocalFormats, tpoCaseInsensitive, tpoUseJokers, tpoNativeJokers
};
// Set of TVdbPrepareOption values (bit n = option n).
using TVdbPrepareOptions = std::uint8_t;
constexpr TVdbPrepareOptions PrepareOption(TVdbPrepareOption Option) {
  return static_cast<TVdbPrepareOptions>(1u << Option);
}
constexpr bool HasPrepareOption(TVdbPrepareOptions Options, TVdbPrepareOption Option) {
  return (Options & PrepareOption(Option)) != 0;
}

// ---------------------------------------------------------------------------------------------
// Truth values: TRUE, FALSE, UNKNOWN (one byte: 0, 1, 2).

enum TVdbTruthValue : std::uint8_t { tvTrue = 0, tvFalse = 1, tvUnknown = 2 };

// TRUE and FALSE exchanged; UNKNOWN stays.
constexpr TVdbTruthValue TruthNot(TVdbTruthValue Value) {
  return Value == tvTrue ? tvFalse : Value == tvFalse ? tvTrue : tvUnknown;
}
constexpr TVdbTruthValue TruthOf(bool Value) { return Value ? tvTrue : tvFalse; }

// A truth value together with the relations whose current rows decided it.
struct TVdbTruth {
  TVdbTruthValue Value = tvUnknown;
  TVdbRelationSet Relations;
};

// The SQL text of a comparison operator ("IS NULL", "=", "LIKE", ...); empty for the others.
std::string ComparisonOperatorText(TVdbComparisonOperator Operator);

// ---------------------------------------------------------------------------------------------
// Variables: statement parameters and the variables of outer references.

class TVdbVariable {
 public:
  explicit TVdbVariable(std::string Name, const TVdbDataType* DataType = nullptr)
      : FName(std::move(Name)), FDataType(DataType) {}
  ~TVdbVariable();
  TVdbVariable(const TVdbVariable&) = delete;
  TVdbVariable& operator=(const TVdbVariable&) = delete;

  const std::string& Name() const { return FName; }
  // nullptr while the variable is untyped.
  const TVdbDataType* DataType() const { return FDataType; }
  // Gives the variable a type; a value held so far is converted into it.
  void SetDataType(const TVdbDataType* DataType);
  // True once a value was assigned (NULL counts as a value).
  bool HasValue() const { return !FValue.IsEmpty(); }
  const TVdbDataValue& Value() const { return FValue; }
  // Assigns a value of Type; an untyped variable takes Type.
  void SetValue(const TVdbDataValue& Value, const TVdbDataType* Type);
  void SetNull();
  void Clear();

 private:
  std::string FName;
  const TVdbDataType* FDataType;
  TVdbDataValue FValue;
};

// A statement's parameter list; names are compared without regard to case.
class TVdbVariables {
 public:
  TVdbVariable* Find(std::string_view Name) const;
  // Adds an untyped variable (or answers the existing one).
  TVdbVariable* Add(std::string_view Name, const TVdbDataType* DataType = nullptr);
  std::size_t Count() const { return FItems.size(); }
  TVdbVariable* Item(std::size_t Index) const { return FItems[Index].get(); }
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TVdbVariable>> FItems;
};

// ---------------------------------------------------------------------------------------------
// The context a tree is prepared and evaluated against: the relations in scope (an accessor
// set), the statement's parameters, and the reading of the current record's columns.

// A resolved column: which relation in scope, at which position of the scope, which column.
struct TVdbColumnRef {
  TVdbAccessor* Accessor = nullptr;
  TVdbRelationIndex RltnIdx = 0;
  std::int16_t RltnPos = 0;
  std::int16_t FieldNo = 0;  // 1-based
};

class TVdbExpressionContext {
 public:
  virtual ~TVdbExpressionContext() = default;
  // Finds a column by name ("column" or "table.column"); false when no relation in scope has it.
  virtual bool FindColumn(std::string_view Name, TVdbColumnRef& Column) = 0;
  // The declared type of a resolved column.
  virtual const TVdbDataType* ColumnType(const TVdbColumnRef& Column) = 0;
  // Reads the column of the relation's current record into Value, a value of ColumnType(Column).
  // Memo, wide memo and blob columns are read whole; a blob of length 0 is NULL.
  virtual void ReadColumn(const TVdbColumnRef& Column, TVdbDataValue& Value) = 0;
  // Finds a relation in scope by name or alias: Relation names its accessor and position, with
  // FieldNo 0; false when none is (or the context has no relations).
  virtual bool FindRelation(std::string_view /*TableName*/, TVdbColumnRef& /*Relation*/) { return false; }
  // The statement's parameter list (nullptr when there is none).
  virtual TVdbVariables* Parameters() { return FParameters; }
  void SetParameters(TVdbVariables* Parameters) { FParameters = Parameters; }

 private:
  TVdbVariables* FParameters = nullptr;
};

// The context of a set of accessors (the relations in scope, in their order): columns are found
// by name in the accessors' relations, unqualified or qualified by a relation's name or alias,
// and read from each accessor's current record.
class TVdbAccessorContext : public TVdbExpressionContext {
 public:
  // Adds an accessor (not owned) under its relation index; Alias: a further name it may be
  // qualified with.
  void AddAccessor(TVdbAccessor& Accessor, TVdbRelationIndex RltnIdx, std::string Alias = {});
  std::size_t Count() const { return FEntries.size(); }
  TVdbAccessor* GetAccessor(TVdbRelationIndex RltnIdx) const;
  bool Holds(const TVdbAccessor& Accessor) const;
  // The set of the relation indexes in scope.
  TVdbRelationSet GetRltnIdxSet() const;

  bool FindColumn(std::string_view Name, TVdbColumnRef& Column) override;
  const TVdbDataType* ColumnType(const TVdbColumnRef& Column) override;
  void ReadColumn(const TVdbColumnRef& Column, TVdbDataValue& Value) override;
  bool FindRelation(std::string_view TableName, TVdbColumnRef& Relation) override;

 private:
  struct TEntry {
    TVdbAccessor* Accessor;
    TVdbRelationIndex RltnIdx;
    std::string Alias;
  };
  bool FindIn(std::size_t Pos, std::string_view ColumnName, TVdbColumnRef& Column) const;
  bool NamedBy(const TEntry& Entry, std::string_view TableName) const;
  std::vector<TEntry> FEntries;
};

// Resolves a name that is a column of an enclosing query: answers the variable that carries the
// outer row's value, or nullptr.
using TVdbOuterReferenceCallback = std::function<TVdbVariable*(const std::string& ColumnName)>;

// ---------------------------------------------------------------------------------------------
// Visitors

// Any node of a statement tree (expressions, conditions, statements).
class TVdbSyntaxNode {
 public:
  virtual ~TVdbSyntaxNode() = default;
  // Calls the visitor for this node and then for all its descendants.
  virtual void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor);
  // A deep copy, for the nodes that a condition holds without knowing their class (the
  // sub-queries of sub-query comparisons); null for the others.
  virtual std::unique_ptr<TVdbSyntaxNode> CloneNode() const { return nullptr; }
};

class TVdbSyntaxNodeVisitor {
 public:
  virtual ~TVdbSyntaxNodeVisitor() = default;
  virtual void PerformOperation(TVdbSyntaxNode& Node) = 0;
};

// ---------------------------------------------------------------------------------------------
// Factors

class TVdbFactor : public TVdbSyntaxNode {
 public:
  ~TVdbFactor() override;

  TSqlFactorSign Sign() const { return FSign; }
  void SetSign(TSqlFactorSign Sign) { FSign = Sign; }
  // The node's type after preparation (nullptr before, or when it could not be typed).
  const TVdbDataType* DataType() const { return FDataType; }

  virtual bool GetIsAggregated() const { return false; }
  virtual bool GetIsColumnName() const { return false; }
  virtual bool GetIsConstant() const { return false; }
  virtual bool GetIsFunction() const { return false; }
  virtual bool GetIsParam() const { return false; }
  virtual bool GetIsCaseOperation() const { return false; }
  virtual bool GetIsLiteral() const { return false; }
  virtual bool GetIsOuterReference() const { return false; }
  // The text of a literal (UTF-8) / in the code page of its type.
  virtual std::string GetLiteralValue() const { return {}; }
  virtual std::string GetLiteralValueAnsi() const { return {}; }
  // Adds the relations whose columns the factor reads.
  virtual void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const = 0;
  // Computes the value for the current rows into Value (a value of DataType()), adding the
  // relations read to RltnIdxs.
  virtual void Calculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) { CalculateSigned(Value, RltnIdxs); }
  virtual std::string GetEasyText() const { return GetSqlText(); }
  virtual std::string GetSqlText() const = 0;
  virtual std::unique_ptr<TVdbFactor> CreateCopy() const = 0;
  std::unique_ptr<TVdbFactor> Clone() const { return CreateCopy(); }
  virtual bool IsSyntacticallyEqual(const TVdbFactor& Other) const = 0;
  virtual void ReplaceAlias(const std::string& Alias, const std::string& InternalName) = 0;
  // The other side of the factor's comparison (or the column it is assigned to): a literal or
  // parameter takes its type from it.
  virtual void SetReferenceExpression(const TVdbExpression* Reference) { (void)Reference; }
  virtual void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                       const TVdbOuterReferenceCallback& OuterReferenceCallback) = 0;
  virtual void ResetAggregations() {}
  virtual void CalcAggregations() {}

 protected:
  TVdbFactor() = default;
  TVdbFactor(const TVdbFactor& Other);
  // Sets the type of the unsigned value; DataType() is that type after the sign.
  void SetBaseType(const TVdbDataType* BaseType);
  // Computes the unsigned value (a value of FBaseType) into Value.
  virtual void CalculateBase(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) = 0;
  // CalculateBase, then the sign applied.
  void CalculateSigned(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs);
  std::string SignText() const;

  TSqlFactorSign FSign = sfsNone;
  const TVdbDataType* FDataType = nullptr;
  const TVdbDataType* FBaseType = nullptr;
  TVdbDataValue FValue;  // scratch
};

// The function nodes of a factor. The standard SQL functions and the data functions derive from
// it; their argument lists are expressions.
class TVdbFunction : public TVdbSyntaxNode {
 public:
  ~TVdbFunction() override;

  const std::vector<std::unique_ptr<TVdbExpression>>& ArgumentList() const { return FArgumentList; }
  void AddArgument(std::unique_ptr<TVdbExpression> Argument);
  const TVdbDataType* ResultType() const { return FResultType; }
  bool RaiseErrors() const { return FRaise; }
  void SetRaiseErrors(bool Raise) { FRaise = Raise; }
  char DecimalChar() const { return FDecimalChar; }
  void SetDecimalChar(char DecimalChar) { FDecimalChar = DecimalChar; }

  // True where the function is an aggregate or contains one.
  virtual bool GetIsAggregated() const;
  virtual bool GetIsConstant() const;
  virtual bool GetIsAggregation() const { return false; }
  virtual void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const;
  // Computes the function into Value (a value of ResultType()).
  virtual void DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) = 0;
  virtual std::string GetEasyText() const { return GetSqlText(); }
  virtual std::string GetSqlText() const = 0;
  virtual std::unique_ptr<TVdbFunction> CreateCopy() const = 0;
  std::unique_ptr<TVdbFunction> Clone() const { return CreateCopy(); }
  virtual bool IsSyntacticallyEqual(const TVdbFunction& Other) const;
  virtual void ReplaceAlias(const std::string& Alias, const std::string& InternalName);
  // Prepares the arguments; derived classes then set FResultType.
  virtual void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                       const TVdbOuterReferenceCallback& OuterReferenceCallback);
  virtual void ResetAggregations() {}
  virtual void CalcAggregations() {}
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

 protected:
  TVdbFunction() = default;
  TVdbFunction(const TVdbFunction& Other);
  // The argument texts joined by ", ".
  std::string ArgumentsSqlText() const;

  bool FRaise = true;
  char FDecimalChar = '.';
  std::vector<std::unique_ptr<TVdbExpression>> FArgumentList;
  const TVdbDataType* FResultType = nullptr;
};

class TVdbSimpleFactor : public TVdbFactor {
 public:
  TVdbSimpleFactor() = default;
  ~TVdbSimpleFactor() override;

  // Builders used by the parser.
  // A column reference: "column" or "table.column".
  static std::unique_ptr<TVdbSimpleFactor> CreateColumn(std::string Name);
  // A literal from its text and the type the parser chose for it (NULL: the null type and no
  // text). The text is converted when the factor is first prepared.
  static std::unique_ptr<TVdbSimpleFactor> CreateLiteral(std::string Text, const TVdbDataType* DataType);
  // A string literal typed as an 8-bit string when every character is below U+0100, else as a
  // wide string, with its length as declared length.
  static std::unique_ptr<TVdbSimpleFactor> CreateStringLiteral(std::string Utf8Text);
  static std::unique_ptr<TVdbSimpleFactor> CreateNull();
  static std::unique_ptr<TVdbSimpleFactor> CreateParameter(std::string Name);
  static std::unique_ptr<TVdbSimpleFactor> CreateExpression(std::unique_ptr<TVdbExpression> Expression);
  static std::unique_ptr<TVdbSimpleFactor> CreateFunction(std::unique_ptr<TVdbFunction> Function);

  TVdbSimpleFactorType FactorType() const { return FType; }
  // Column name, literal text or parameter name, as written.
  const std::string& ColumnNameOrLiteral() const { return FColumnNameOrLiteral; }
  const std::string& ParameterName() const { return FParameterName; }
  // The characters of a literal as written.
  std::int32_t LiteralSize() const { return FLiteralSize; }
  TVdbExpression* Expression() const { return FExpression.get(); }
  TVdbFunction* SqlFunction() const { return FSqlFunction.get(); }
  TVdbVariable* Variable() const { return FVariable; }
  TVdbAccessor* Accessor() const { return FColumn.Accessor; }
  TVdbRelationIndex RltnIdx() const { return FColumn.RltnIdx; }
  std::int16_t RltnPos() const { return FColumn.RltnPos; }
  std::int16_t FieldNo() const { return FColumn.FieldNo; }
  // The statement's parameter list (handed to every factor before preparation).
  void SetVariables(TVdbVariables* Variables) { FVariables = Variables; }

  bool GetIsAggregated() const override;
  bool GetIsColumnName() const override { return FType == sftColumn; }
  bool GetIsConstant() const override;
  bool GetIsFunction() const override { return FType == sftFunction; }
  bool GetIsParam() const override { return FType == sftParameter; }
  bool GetIsLiteral() const override { return FType == sftLiteral; }
  bool GetIsOuterReference() const override { return FType == sftOuterReference; }
  std::string GetLiteralValue() const override;
  std::string GetLiteralValueAnsi() const override;
  void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const override;
  std::string GetSqlText() const override;
  std::unique_ptr<TVdbFactor> CreateCopy() const override;
  bool IsSyntacticallyEqual(const TVdbFactor& Other) const override;
  void ReplaceAlias(const std::string& Alias, const std::string& InternalName) override;
  // Gives a literal another text (converted at the next preparation).
  void ReplaceLiteralText(std::string Text);
  void SetReferenceExpression(const TVdbExpression* Reference) override { FReference = Reference; }
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback) override;
  void ResetAggregations() override;
  void CalcAggregations() override;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

 private:
  TVdbSimpleFactor(const TVdbSimpleFactor& Other);
  void CalculateBase(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) override;
  void PrepareColumn(TVdbExpressionContext* Context,
                     const TVdbOuterReferenceCallback& OuterReferenceCallback);
  void PrepareParameter(TVdbExpressionContext* Context);
  void PrepareLiteral(TVdbPrepareOptions Options);
  // The column type of the reference expression when it is a bare column; else nullptr.
  const TVdbDataType* ReferenceColumnType() const;

  TVdbVariables* FVariables = nullptr;
  TVdbSimpleFactorType FType = sftUnknown;
  std::string FColumnNameOrLiteral;
  std::int32_t FLiteralSize = 0;
  TVdbDataValue FLiteralValue;
  bool FLiteralConverted = false;
  const TVdbDataType* FLiteralType = nullptr;  // the type the parser chose
  std::string FParameterName;
  std::unique_ptr<TVdbExpression> FExpression;
  std::unique_ptr<TVdbFunction> FSqlFunction;
  TVdbVariable* FVariable = nullptr;
  TVdbColumnRef FColumn;  // accessor, relation index and position, column number
  TVdbExpressionContext* FContext = nullptr;
  const TVdbDataType* FColumnType = nullptr;  // declared type of the column read
  TVdbDataValue FColumnValue;                 // the column's value as read
  const TVdbExpression* FReference = nullptr;
};

// CASE WHEN c1 THEN e1 ... [ELSE e] END.
class TVdbSqlCaseOperation : public TVdbFactor {
 public:
  TVdbSqlCaseOperation() = default;
  ~TVdbSqlCaseOperation() override;

  void AddWhen(std::unique_ptr<TVdbSearchCondition> Condition, std::unique_ptr<TVdbExpression> Then);
  void SetElse(std::unique_ptr<TVdbExpression> Else);
  const std::vector<std::unique_ptr<TVdbSearchCondition>>& WhenConditions() const { return FWhenConditions; }
  const std::vector<std::unique_ptr<TVdbExpression>>& ThenExpressions() const { return FThenExpressions; }
  bool HasElse() const { return FThenExpressions.size() > FWhenConditions.size(); }

  bool GetIsAggregated() const override;
  bool GetIsCaseOperation() const override { return true; }
  void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const override;
  std::string GetSqlText() const override;
  std::unique_ptr<TVdbFactor> CreateCopy() const override;
  bool IsSyntacticallyEqual(const TVdbFactor& Other) const override;
  void ReplaceAlias(const std::string& Alias, const std::string& InternalName) override;
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback) override;
  void ResetAggregations() override;
  void CalcAggregations() override;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

 private:
  TVdbSqlCaseOperation(const TVdbSqlCaseOperation& Other);
  // Without a TRUE condition and without ELSE the value stays unset (empty).
  void CalculateBase(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) override;
  std::vector<std::unique_ptr<TVdbSearchCondition>> FWhenConditions;
  std::vector<std::unique_ptr<TVdbExpression>> FThenExpressions;
};

// ---------------------------------------------------------------------------------------------
// Terms and expressions

class TVdbTerm : public TVdbSyntaxNode {
 public:
  explicit TVdbTerm(std::unique_ptr<TVdbFactor> Factor);
  // Factor Operator Term (multiply, divide, DIV or MOD).
  TVdbTerm(std::unique_ptr<TVdbFactor> Factor, TVdbDataBinaryOperator Operator,
           std::unique_ptr<TVdbTerm> Term);
  ~TVdbTerm() override;

  TVdbFactor* Factor() const { return FFactor.get(); }
  TVdbTerm* Term() const { return FTerm.get(); }
  TVdbDataBinaryOperator Operator() const { return FOperator; }
  const TVdbDataType* DataType() const { return FDataType; }

  bool GetIsAggregated() const;
  bool GetIsConstant() const;
  void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const;
  // Evaluates the chain from left to right: ((f1 op1 f2) op2 f3) ...
  void Calculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs);
  std::string GetSqlText() const;
  std::unique_ptr<TVdbTerm> Clone() const;
  bool IsSyntacticallyEqual(const TVdbTerm& Other) const;
  void ReplaceAlias(const std::string& Alias, const std::string& InternalName);
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback);
  void ResetAggregations();
  void CalcAggregations();
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

 private:
  friend class TVdbExpression;
  std::unique_ptr<TVdbFactor> FFactor;
  std::unique_ptr<TVdbTerm> FTerm;
  TVdbDataBinaryOperator FOperator = dboMultiply;
  const TVdbDataType* FDataType = nullptr;
  // The type after each step of the chain, and the scratch value of each step's operand.
  std::vector<const TVdbDataType*> FStepTypes;
  std::vector<TVdbDataValue> FStepValues;
};

class TVdbExpression : public TVdbSyntaxNode {
 public:
  explicit TVdbExpression(std::unique_ptr<TVdbTerm> Term);
  // Term Operator Rest (plus or minus), stored as given (see the top of the file).
  TVdbExpression(std::unique_ptr<TVdbTerm> Term, TVdbDataBinaryOperator Operator,
                 std::unique_ptr<TVdbExpression> Rest);
  ~TVdbExpression() override;

  // Convenience: an expression that consists of one factor.
  static std::unique_ptr<TVdbExpression> FromFactor(std::unique_ptr<TVdbFactor> Factor);
  // t0 op0 t1 op1 t2 ... with the operators (plus or minus) as written; one operator fewer than
  // terms. Evaluates from left to right.
  static std::unique_ptr<TVdbExpression> FromChain(std::vector<std::unique_ptr<TVdbTerm>> Terms,
                                                   const std::vector<TVdbDataBinaryOperator>& Operators);

  TVdbTerm* Term() const { return FTerm.get(); }
  TVdbExpression* Expression() const { return FExpression.get(); }
  TVdbDataBinaryOperator Operator() const { return FOperator; }
  const TVdbDataType* DataType() const { return FDataType; }
  // The single factor when the expression is one factor without sign; else nullptr.
  TVdbFactor* SingleFactor() const;
  // True for a bare literal or parameter (a side that takes the other side's type).
  bool IsBareLiteralOrParameter() const;
  bool IsColumn() const;

  bool GetIsAggregated() const;
  bool GetIsConstant() const;
  void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const;
  // Computes the value into ResultValue. Errors 43 (overflow) and 161 (no value), with the
  // expression's SQL text.
  void CalcResult(TVdbRelationSet& RltnIdxs);
  void Calculate() { TVdbRelationSet Ignored; CalcResult(Ignored); }
  // Computes into Value without the checks of CalcResult (used inside trees).
  void Calculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs);
  std::string GetSqlText() const;
  std::string SqlText() const { return GetSqlText(); }
  std::string GetEasyText() const { return GetSqlText(); }
  std::unique_ptr<TVdbExpression> Clone() const;
  std::unique_ptr<TVdbExpression> CreateCopy() const { return Clone(); }
  bool IsSyntacticallyEqual(const TVdbExpression& Other) const;
  void ReplaceAlias(const std::string& Alias, const std::string& InternalName);
  // Hands the reference expression to a bare literal or parameter.
  void SetReferenceExpression(const TVdbExpression* Reference);
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback = {});
  void ResetAggregations();
  void CalcAggregations();
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

  TVdbDataValue ResultValue;

 private:
  // The SQL text; Inverted: this chain is stored inverted.
  std::string ChainSqlText(bool Inverted) const;

  TVdbDataValue FIntermediateValue;
  std::unique_ptr<TVdbTerm> FTerm;
  std::unique_ptr<TVdbExpression> FExpression;
  TVdbDataBinaryOperator FOperator = dboPlus;
  const TVdbDataType* FDataType = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Search conditions

class TVdbSqlValueSet : public TVdbSyntaxNode {
 public:
  TVdbSqlValueSet() = default;
  ~TVdbSqlValueSet() override;
  void Add(std::unique_ptr<TVdbExpression> Expression);
  const std::vector<std::unique_ptr<TVdbExpression>>& Expressions() const { return FExpressions; }
  std::string GetSqlText() const;  // "(a, b, c)"
  std::unique_ptr<TVdbSqlValueSet> Clone() const;
  bool IsSyntacticallyEqual(const TVdbSqlValueSet& Other) const;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

 private:
  friend class TVdbBooleanFactor;
  std::vector<std::unique_ptr<TVdbExpression>> FExpressions;
};

class TVdbBooleanFactor : public TVdbSyntaxNode {
 public:
  TVdbBooleanFactor() = default;
  ~TVdbBooleanFactor() override;

  // Builders used by the parser.
  // Left Operator Right for =, !=, <, <=, >, >=, LIKE, HAS, and the NULL-equal comparison.
  static std::unique_ptr<TVdbBooleanFactor> CreateComparison(
      std::unique_ptr<TVdbExpression> Left, TVdbComparisonOperator Operator,
      std::unique_ptr<TVdbExpression> Right);
  // Left IS [NOT] NULL.
  static std::unique_ptr<TVdbBooleanFactor> CreateNullTest(std::unique_ptr<TVdbExpression> Left,
                                                           bool IsNotNull);
  static std::unique_ptr<TVdbBooleanFactor> CreateBetween(std::unique_ptr<TVdbExpression> Left,
                                                          std::unique_ptr<TVdbExpression> Lower,
                                                          std::unique_ptr<TVdbExpression> Upper);
  static std::unique_ptr<TVdbBooleanFactor> CreateIn(std::unique_ptr<TVdbExpression> Left,
                                                     std::unique_ptr<TVdbSqlValueSet> Values);
  // ( condition )
  static std::unique_ptr<TVdbBooleanFactor> CreateParenthesized(
      std::unique_ptr<TVdbSearchCondition> Condition);

  TVdbComparisonOperator ComparisonOperator() const { return FComparisonOperator; }
  void SetComparisonOperator(TVdbComparisonOperator Operator) { FComparisonOperator = Operator; }
  bool IsNot() const { return FIsNot; }
  void SetIsNot(bool IsNot) { FIsNot = IsNot; }
  void ToggleNot() { FIsNot = !FIsNot; }
  // The escape character of LIKE (0 = none).
  char16_t LikeEscapeChar() const { return FLikeEscapeChar; }
  void SetLikeEscapeChar(char16_t EscapeChar) { FLikeEscapeChar = EscapeChar; }
  TVdbExpression* ExpressionLeft() const { return FExpressionLeft.get(); }
  // The right side; for BETWEEN the upper bound.
  TVdbExpression* ExpressionRight() const { return FExpressionRight.get(); }
  // The lower bound of BETWEEN.
  TVdbExpression* ExpressionRightEx() const { return FExpressionRightEx.get(); }
  TVdbSqlValueSet* ValueSet() const { return FValueSet.get(); }
  TVdbSearchCondition* SearchCondition() const { return FSearchCondition.get(); }
  // Hands the parenthesised condition out (the factor keeps none).
  std::unique_ptr<TVdbSearchCondition> ExtractSearchCondition();
  TVdbPrepareOptions Options() const { return FOptions; }

  virtual std::string GetEasyText() const { return GetSqlText(); }
  virtual std::string GetSqlText() const;
  // The three-valued evaluation for the current rows; RltnIdxs receives the relations that
  // decided it.
  virtual TVdbTruthValue EvaluateTruth(TVdbRelationSet& RltnIdxs);
  bool Evaluate();
  bool Evaluate(TVdbRelationSet& RltnIdxs) { return EvaluateTruth(RltnIdxs) == tvTrue; }
  virtual std::unique_ptr<TVdbBooleanFactor> CreateCopy() const;
  std::unique_ptr<TVdbBooleanFactor> Clone() const { return CreateCopy(); }
  virtual void ReplaceAlias(const std::string& Alias, const std::string& InternalName);
  virtual void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                       const TVdbOuterReferenceCallback& OuterReferenceCallback = {});
  // A parenthesised factor optimises its inner condition.
  virtual void Normalize();
  virtual bool IsSyntacticallyEqual(const TVdbBooleanFactor& Other) const;
  bool GetIsAggregated() const;
  void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

 protected:
  TVdbBooleanFactor(const TVdbBooleanFactor& Other);
  // Computes a side into the given slot.
  static void CalcSide(TVdbExpression& Side, TVdbRelationSet& RltnIdxs);
  // The comparison of two computed values under an operator (=, <, ..., the NULL-equal one).
  TVdbTruthValue CompareValues(const TVdbExpression& Left, const TVdbExpression& Right,
                               TVdbComparisonOperator Operator) const;

  std::unique_ptr<TVdbExpression> FExpressionRight;
  std::unique_ptr<TVdbExpression> FExpressionRightEx;
  std::unique_ptr<TVdbSqlValueSet> FValueSet;
  std::unique_ptr<TVdbSearchCondition> FSearchCondition;
  TVdbPrepareOptions FOptions = 0;
  // The type the left side's values are compared and matched under: its own, or with
  // tpoCaseInsensitive the same string type under a case-insensitive collation.
  const TVdbDataType* FCompareType = nullptr;
  bool FIsNot = false;
  TVdbComparisonOperator FComparisonOperator = tcoNone;
  char16_t FLikeEscapeChar = 0;
  std::unique_ptr<TVdbExpression> FExpressionLeft;

 private:
  TVdbTruthValue EvaluateOperator(TVdbRelationSet& RltnIdxs);
  TVdbTruthValue EvaluateLike();
  TVdbTruthValue EvaluateHas();
  TVdbTruthValue EvaluateIn(TVdbRelationSet& RltnIdxs);
  TVdbTruthValue EvaluateBetween(TVdbRelationSet& RltnIdxs);
  void PrepareSides(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                    const TVdbOuterReferenceCallback& OuterReferenceCallback);
  void CheckSideTypes() const;
  void ApplyJokers();
};

class TVdbBooleanTerm : public TVdbSyntaxNode {
 public:
  explicit TVdbBooleanTerm(std::unique_ptr<TVdbBooleanFactor> Factor,
                           std::unique_ptr<TVdbBooleanTerm> Term = nullptr);
  ~TVdbBooleanTerm() override;

  TVdbBooleanFactor* BooleanFactor() const { return FBooleanFactor.get(); }
  TVdbBooleanTerm* BooleanTerm() const { return FBooleanTerm.get(); }
  void SetBooleanFactor(std::unique_ptr<TVdbBooleanFactor> Factor) { FBooleanFactor = std::move(Factor); }
  std::unique_ptr<TVdbBooleanFactor> ExtractBooleanFactor() { return std::move(FBooleanFactor); }
  void SetBooleanTerm(std::unique_ptr<TVdbBooleanTerm> Term) { FBooleanTerm = std::move(Term); }
  std::unique_ptr<TVdbBooleanTerm> ExtractBooleanTerm() { return std::move(FBooleanTerm); }

  // AND, short-circuit from the left.
  TVdbTruthValue EvaluateTruth(TVdbRelationSet& RltnIdxs);
  std::string GetSqlText() const;
  std::unique_ptr<TVdbBooleanTerm> Clone() const;
  bool IsSyntacticallyEqual(const TVdbBooleanTerm& Other) const;
  void ReplaceAlias(const std::string& Alias, const std::string& InternalName);
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback);
  // Normalises every factor of the chain; a parenthesised factor that holds exactly one factor
  // is replaced by that factor (the NOT flags combined by exclusive or).
  void Normalize();
  bool GetIsAggregated() const;
  void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

 private:
  std::unique_ptr<TVdbBooleanFactor> FBooleanFactor;
  std::unique_ptr<TVdbBooleanTerm> FBooleanTerm;
};

class TVdbSearchCondition : public TVdbSyntaxNode {
 public:
  explicit TVdbSearchCondition(std::unique_ptr<TVdbBooleanTerm> Term,
                               std::unique_ptr<TVdbSearchCondition> Condition = nullptr);
  ~TVdbSearchCondition() override;

  // Convenience: a condition of one factor.
  static std::unique_ptr<TVdbSearchCondition> FromFactor(std::unique_ptr<TVdbBooleanFactor> Factor);

  TVdbBooleanTerm* BooleanTerm() const { return FBooleanTerm.get(); }
  TVdbSearchCondition* SearchCondition() const { return FSearchCondition.get(); }
  void SetSearchCondition(std::unique_ptr<TVdbSearchCondition> Condition) { FSearchCondition = std::move(Condition); }

  // OR, short-circuit from the left.
  TVdbTruthValue EvaluateTruth(TVdbRelationSet& RltnIdxs);
  TVdbTruth EvaluateTruth();
  // True exactly when the condition is TRUE.
  bool Evaluate();
  bool Evaluate(TVdbRelationSet& RltnIdxs) { return EvaluateTruth(RltnIdxs) == tvTrue; }
  std::string GetSqlText() const;
  std::string SqlText() const { return GetSqlText(); }
  std::string GetEasyText() const { return GetSqlText(); }
  std::unique_ptr<TVdbSearchCondition> Clone() const;
  std::unique_ptr<TVdbSearchCondition> CreateCopy() const { return Clone(); }
  bool IsSyntacticallyEqual(const TVdbSearchCondition& Other) const;
  void ReplaceAlias(const std::string& Alias, const std::string& InternalName);
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback = {});
  // The simplifications done right after parsing: normalised AND-chains, a lone parenthesised
  // condition unwrapped, x = y OR (x IS NULL AND y IS NULL) as one NULL-equal comparison.
  void Optimize();
  bool GetIsAggregated() const;
  void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

 private:
  void UnwrapLoneParenthesis();
  void MergeNullEqual();
  std::unique_ptr<TVdbBooleanTerm> FBooleanTerm;
  std::unique_ptr<TVdbSearchCondition> FSearchCondition;
};

// ---------------------------------------------------------------------------------------------
// Sub-queries and full-text predicates

// [NOT] EXISTS (query), x [NOT] IN (query), x op ALL|ANY|SOME (query). The sub-query is a node of
// the statement unit; the statement layer hands in its result relation and re-executes it when
// its outer references changed (the recalculation handler).
class TVdbSqlSubQueryComparison : public TVdbBooleanFactor {
 public:
  TVdbSqlSubQueryComparison() = default;
  ~TVdbSqlSubQueryComparison() override;

  using TRecalcHandler = std::function<void()>;
  // Answers whether the (already computed) left value occurs in the result's first column.
  using TLookupHandler = std::function<bool(const TVdbDataValue& Value, const TVdbDataType* Type)>;
  // Answers the number of rows of the result.
  using TRowCountHandler = std::function<std::int64_t()>;
  // The truth of Value Operator ALL (All) or ANY/SOME (not All) over the result's first column.
  using TQuantifiedHandler = std::function<TVdbTruthValue(const TVdbDataValue& Value, const TVdbDataType* Type,
                                                          TVdbComparisonOperator Operator, bool All)>;
  // The lookup through index IndexNo of ResultSet, whose first level is the result's first
  // column: a value that column cannot hold is not found.
  static bool LookupInResult(TVdbRelation& ResultSet, std::int16_t IndexNo, const TVdbDataValue& Value,
                             const TVdbDataType* Type);

  bool IsAll() const { return FIsAll; }
  void SetIsAll(bool IsAll) { FIsAll = IsAll; }
  TVdbSyntaxNode* SubQuery() const { return FSubQuery.get(); }
  void SetSubQuery(std::unique_ptr<TVdbSyntaxNode> SubQuery) { FSubQuery = std::move(SubQuery); }
  std::unique_ptr<TVdbSyntaxNode> ExtractSubQuery() { return std::move(FSubQuery); }
  void SetLeft(std::unique_ptr<TVdbExpression> Left) { FExpressionLeft = std::move(Left); }
  TVdbRelation* SubResultSet() const { return FSubResultSet; }
  std::int16_t SubResultSetIndexNo() const { return FSubResultSetIndexNo; }
  // The result relation and its index on the first column; without handlers the lookup is
  // LookupInResult and the row count the relation's record count.
  void SetSubResultSet(TVdbRelation* ResultSet, std::int16_t IndexNo, TLookupHandler Lookup = {},
                       TRowCountHandler RowCount = {});
  void SetRecalcHandler(TRecalcHandler Handler) { FRecalc = std::move(Handler); }
  void SetQuantifiedHandler(TQuantifiedHandler Handler) { FQuantified = std::move(Handler); }

  std::string GetSqlText() const override;
  TVdbTruthValue EvaluateTruth(TVdbRelationSet& RltnIdxs) override;
  std::unique_ptr<TVdbBooleanFactor> CreateCopy() const override;
  void ReplaceAlias(const std::string& Alias, const std::string& InternalName) override;
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback = {}) override;
  void Normalize() override;
  bool IsSyntacticallyEqual(const TVdbBooleanFactor& Other) const override;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;

 private:
  bool FIsAll = false;
  std::unique_ptr<TVdbSyntaxNode> FSubQuery;
  TVdbRelation* FSubResultSet = nullptr;
  std::int16_t FSubResultSetIndexNo = -1;
  TRecalcHandler FRecalc;
  TLookupHandler FLookup;
  TRowCountHandler FRowCount;
  TQuantifiedHandler FQuantified;
};

// CONTAINS (text IN columns): full-text search is not available in this engine; evaluating the
// predicate is error 52 "Not yet implemented".
class TVdbSqlFulltextPredicate : public TVdbBooleanFactor {
 public:
  TVdbSqlFulltextPredicate(std::unique_ptr<TVdbExpression> SearchText, std::string FullTextTable,
                           std::vector<std::string> SearchColumnNames);
  ~TVdbSqlFulltextPredicate() override;

  const std::string& FullTextTable() const { return FFullTextTable; }
  const std::vector<std::string>& SearchColumnNames() const { return FSearchColumnNames; }

  std::string GetSqlText() const override;
  TVdbTruthValue EvaluateTruth(TVdbRelationSet& RltnIdxs) override;
  std::unique_ptr<TVdbBooleanFactor> CreateCopy() const override;
  void ReplaceAlias(const std::string& Alias, const std::string& InternalName) override;
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback = {}) override;
  void Normalize() override {}
  bool IsSyntacticallyEqual(const TVdbBooleanFactor& Other) const override;

 private:
  std::string FFullTextTable;
  std::vector<std::string> FSearchColumnNames;
};

// A column of an enclosing query used inside a sub-query: its value is copied into the variable
// when the outer row changes. Owned by the enclosing command.
class TSqlOuterReference {
 public:
  TSqlOuterReference(TVdbSyntaxNode* SubQuery, TVdbRelationIndex RltnIdx, std::int16_t FieldNo,
                     std::unique_ptr<TVdbVariable> Variable)
      : FSubQuery(SubQuery), FRltnIdx(RltnIdx), FFieldNo(FieldNo), FVariable(std::move(Variable)) {}

  TVdbSyntaxNode* SubQuery() const { return FSubQuery; }
  TVdbRelationIndex RltnIdx() const { return FRltnIdx; }
  std::int16_t FieldNo() const { return FFieldNo; }
  TVdbVariable* Variable() const { return FVariable.get(); }
  // Stores the outer row's value; true when it differs from the value held so far (or there
  // was none).
  bool Update(const TVdbDataValue& Value, const TVdbDataType* Type);

 private:
  TVdbSyntaxNode* FSubQuery;
  TVdbRelationIndex FRltnIdx;
  std::int16_t FFieldNo;
  std::unique_ptr<TVdbVariable> FVariable;
};

}  // namespace vdb
