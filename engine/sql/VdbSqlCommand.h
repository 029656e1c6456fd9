// The SQL statement tree: the commands a statement is parsed into (query, INSERT, UPDATE, DELETE,
// CREATE TABLE, CREATE INDEX, CREATE FULLTEXTINDEX, ALTER TABLE, UPDATE INDEX, DROP), the table
// expressions a query is made of (set operations, SELECT blocks, table references and joins),
// select items, sort specifications and column definitions; the rewriting done on a fresh tree
// (optimisation, alias replacement), the text forms and the depth-first walk. The SQL function
// nodes (standard functions, CAST, CURRENTRECORDID, data functions) live here as well.
//
// Value and condition nodes (expressions, boolean factors, sub-query comparisons) are those of
// sql/VdbExpression.h. Every node owns its children.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/VdbErrors.h"
#include "sql/VdbDataFuncs.h"
#include "sql/VdbExpression.h"
#include "table/VdbDefinitions.h"

namespace vdb {

class TVdbCatalog;
class TVdbRelation;
class TVdbSqlQuery;
class TVdbSqlCommand;

// SQL data types of column definitions and CAST, in the order of their codes.
enum TVdbSqlType : std::uint8_t {
  sqlNone, sqlInteger, sqlSmallInt, sqlByte, sqlDouble, sqlChar, sqlVarChar, sqlTime, sqlDate,
  sqlTimeStamp, sqlBoolean, sqlAutoInc, sqlLongVarChar, sqlLongVarBinary, sqlWChar, sqlVarWChar,
  sqlLongVarWChar, sqlBigInt, sqlLink, sqlRelation, sqlEnum, sqlGuid
};

enum TVdbJoinType : std::uint8_t {
  tjtNone, tjtCrossJoin, tjtInnerJoin, tjtLeftOuterJoin, tjtRightOuterJoin, tjtFullOuterJoin
};

// The SQL-level cipher names of CREATE/ALTER TABLE ... ENCRYPTION.
enum TVdbSqlEncryption : std::uint8_t {
  sqeDefault, sqeNone, sqeProtection, sqeClassic, sqeFast, sqeBlowfish, sqeAes, sqeRijndael
};

// Standard SQL functions.
enum TFunctionId : std::uint8_t {
  sftNone, sftMax, sftMin, sftMaxN, sftMinN, sftFirst, sftLast, sftAvg, sftSum, sftCeiling,
  sftCount, sftPick, sftUpper, sftLower, sftExtract, sftExtractYear, sftExtractMonth,
  sftExtractDay, sftExtractWeekDay, sftExtractWeekDayName, sftExtractHour,
  sftExtractMillisecond, sftExtractMinute, sftExtractSecond, sftExtractWeek, sftFloor,
  sftFullTextRank, sftLog, sftSubString, sftTrim, sftTrimBoth, sftTrimLeading, sftTrimTrailing,
  sftCast, sftRealVal, sftChr, sftLen, sftAbs, sftExp, sftFrac, sftInt, sftRound, sftSqrt,
  sftRandom, sftLikeLower, sftLikeUpper, sftChar_Length, sftExchange, sftFillStr, sftStr,
  sftDigitStr, sftNTimes, sftCurrent_Date, sftCurrent_Time, sftCurrent_Timestamp,
  sftCurrentRecordId
};

using TVdbExpressionList = std::vector<std::unique_ptr<TVdbExpression>>;

// Engine errors of the statement tree (the message number of the engine's message table).
class ESqlCommand : public EVdbEngine {
 public:
  using EVdbEngine::EVdbEngine;
};

// Quoted name lists ("a","b"): each name between double quotes, joined by ",".
std::string QuoteNameList(const std::vector<std::string>& Names);
// The names of a quoted name list (the quotes removed; a doubled quote stands for one).
std::vector<std::string> SplitQuotedNameList(std::string_view List);
// Joins two quoted lists with "," (either may be empty).
std::string JoinQuotedLists(const std::string& Left, const std::string& Right);

// ---------------------------------------------------------------------------------------------
// Sort specifications (ORDER BY, CREATE INDEX levels)

class TVdbSqlSortSpecification {
 public:
  TVdbSqlSortSpecification(std::string ColumnNameOrIdx, bool Asc)
      : FColumnNameOrIdx(std::move(ColumnNameOrIdx)), FAsc(Asc) {}
  const std::string& ColumnNameOrIdx() const { return FColumnNameOrIdx; }
  bool Asc() const { return FAsc; }
  // "[" name "]", followed by " DESC" when descending.
  std::string GetSqlText() const;
  // "-" when descending, then "${" name "}".
  std::string GetVdbText() const;
  // An item "Alias.x" becomes "InternalName.x" (exact prefix).
  void ReplaceAlias(std::string_view Alias, std::string_view InternalName);

 private:
  std::string FColumnNameOrIdx;
  bool FAsc;
};

class TVdbSqlSortSpecificationList {
 public:
  void Add(std::unique_ptr<TVdbSqlSortSpecification> Spec) { FSortSpecifications.push_back(std::move(Spec)); }
  void Add(std::string ColumnNameOrIdx, bool Asc);
  int Count() const { return static_cast<int>(FSortSpecifications.size()); }
  const TVdbSqlSortSpecification& operator[](int Index) const {
    return *FSortSpecifications.at(static_cast<std::size_t>(Index));
  }
  void Clear() { FSortSpecifications.clear(); }
  std::unique_ptr<TVdbSqlSortSpecificationList> Clone() const;
  std::string GetSqlText() const;   // items joined by ", "
  std::string GetVdbText() const;   // sort-order text for result sets
  void ReplaceAlias(std::string_view Alias, std::string_view InternalName);

 private:
  std::vector<std::unique_ptr<TVdbSqlSortSpecification>> FSortSpecifications;
};

// ---------------------------------------------------------------------------------------------
// Column definitions and check constraints

class TVdbSqlColumnDefinition {
 public:
  TVdbSqlColumnDefinition();
  ~TVdbSqlColumnDefinition();
  std::unique_ptr<TVdbSqlColumnDefinition> Clone() const;

  // Column name, SQL type with its size and parameters, nullability and formula.
  std::string GetSqlText() const;
  // The data type the definition describes (table level 6); nullptr for sqlNone.
  const TVdbDataType* GetDataType() const;
  // The table layer's column: type, nullability, the auto-increment indication or link target,
  // and the formula as SQL text (compiled when the table is set up).
  std::unique_ptr<TVdbColumnDef> CreateColumnDef() const;

  std::string FColumnName;
  TVdbSqlType FSqlType = sqlNone;
  std::int32_t FSize = 0;
  std::int32_t FPrecision = 0;
  // Collation, enumeration values, link target or auto-increment indication, by type.
  std::string FStringParam;
  bool FMayBeNull = true;
  std::unique_ptr<TVdbExpression> FExpression;   // DEFAULT or calculation, or none
  bool FExpressionIsDefault = true;
};

// The SQL text of a data type with its parameters, e.g. "VARCHAR(20) COLLATE Hungarian_ci_as".
std::string SqlTypeText(const TVdbSqlColumnDefinition& Def);

class TVdbSqlCheckConstraint {
 public:
  TVdbSqlCheckConstraint(std::string Name, std::unique_ptr<TVdbSearchCondition> Condition);
  ~TVdbSqlCheckConstraint();
  std::unique_ptr<TVdbSqlCheckConstraint> Clone() const;
  const std::string& Name() const { return FName; }
  TVdbSearchCondition* SearchCondition() const { return FSearchCondition.get(); }

 private:
  std::string FName;
  std::unique_ptr<TVdbSearchCondition> FSearchCondition;
};

// ---------------------------------------------------------------------------------------------
// Select items, table references

class TVdbSqlSelectElement {
 public:
  // "*" (TableName empty, no expression), "t.*" (TableName t) or an expression.
  explicit TVdbSqlSelectElement(std::string TableName);
  explicit TVdbSqlSelectElement(std::unique_ptr<TVdbExpression> Expression);
  ~TVdbSqlSelectElement();
  std::unique_ptr<TVdbSqlSelectElement> Clone() const;

  bool IsAllColumns() const { return !FScalarExpression; }
  const std::string& TableName() const { return FTableName; }
  TVdbExpression* ScalarExpression() const { return FScalarExpression.get(); }
  std::string GetSqlText() const;
  void ReplaceAlias(std::string_view Alias, std::string_view InternalName);

 private:
  std::string FTableName;
  std::unique_ptr<TVdbExpression> FScalarExpression;
};

class TVdbSqlTableReference {
 public:
  // A plain reference; an empty alias means the table name.
  TVdbSqlTableReference(std::string TableName, std::string Alias = {});
  // A joined reference; the ON condition is none for a cross join.
  TVdbSqlTableReference(TVdbJoinType JoinType, std::unique_ptr<TVdbSqlTableReference> Left,
                        std::unique_ptr<TVdbSqlTableReference> Right,
                        std::unique_ptr<TVdbSearchCondition> Condition);
  ~TVdbSqlTableReference();
  std::unique_ptr<TVdbSqlTableReference> Clone() const;

  bool IsJoinedTable() const { return FIsJoinedTable; }
  const std::string& TableName() const { return FTableName; }
  const std::string& TableAlias() const { return FTableAlias; }
  const std::string& InternalName() const { return FInternalName; }
  void SetInternalName(std::string Name) { FInternalName = std::move(Name); }
  TVdbJoinType JoinType() const { return FJoinType; }
  TVdbSqlTableReference* Left() const { return FSqlTableReferenceLeft.get(); }
  TVdbSqlTableReference* Right() const { return FSqlTableReferenceRight.get(); }
  TVdbSearchCondition* SearchCondition() const { return FSearchCondition.get(); }

  std::string GetTableList() const;
  std::string GetAliasList() const;
  std::string GetInternalNameList() const;
  std::string GetSqlText() const;
  // Exchanges the sides; a left outer join becomes a right outer join and the reverse.
  void Swap();
  bool ContainsTableName(std::string_view TableName) const;
  // The N-th plain reference (0-based, depth first, left before right); counts down N.
  TVdbSqlTableReference* FindBySequenceNo(int& N);
  void ReplaceAlias(std::string_view Alias, std::string_view InternalName);
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor);

 private:
  bool FIsJoinedTable = false;
  std::string FTableAlias;
  std::string FInternalName;
  std::string FTableName;
  TVdbJoinType FJoinType = tjtNone;
  std::unique_ptr<TVdbSqlTableReference> FSqlTableReferenceLeft;
  std::unique_ptr<TVdbSqlTableReference> FSqlTableReferenceRight;
  std::unique_ptr<TVdbSearchCondition> FSearchCondition;
};

class TVdbSqlTableReferenceList {
 public:
  void Add(std::unique_ptr<TVdbSqlTableReference> Ref) { FTableReferences.push_back(std::move(Ref)); }
  int Count() const { return static_cast<int>(FTableReferences.size()); }
  TVdbSqlTableReference& operator[](int Index) const {
    return *FTableReferences.at(static_cast<std::size_t>(Index));
  }
  void Clear() { FTableReferences.clear(); }
  std::unique_ptr<TVdbSqlTableReferenceList> Clone() const;
  std::string GetTableList() const;
  std::string GetAliasList() const;
  std::string GetInternalNameList() const;
  std::string GetSqlText() const;   // references joined by ", "
  bool ContainsTableName(std::string_view TableName) const;
  TVdbSqlTableReference* FindTableReferenceBySequenceNo(int N) const;
  void ReplaceAlias(std::string_view Alias, std::string_view InternalName);

 private:
  std::vector<std::unique_ptr<TVdbSqlTableReference>> FTableReferences;
};

// ---------------------------------------------------------------------------------------------
// Table expressions

class TVdbSqlTableExpression;

class TVdbSqlTablePrimitive : public TVdbSyntaxNode {
 public:
  ~TVdbSqlTablePrimitive() override = default;
  virtual std::string GetTableList() const = 0;
  virtual std::string GetAliasList() const = 0;
  virtual std::string GetInternalNameList() const = 0;
  virtual const std::string& GetInternalName() const { return FInternalName; }
  void SetInternalName(std::string Name) { FInternalName = std::move(Name); }
  virtual std::string GetSqlText() const = 0;
  virtual bool GetIsTrivial() const { return false; }
  virtual std::unique_ptr<TVdbSqlTablePrimitive> Clone() const = 0;
  virtual void Optimize() = 0;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override = 0;
  virtual void ReplaceAliases() = 0;
  // Types the select items of every SELECT block (error 144 for an item without type).
  virtual void PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) = 0;
  // Prepares ON conditions, then WHERE and HAVING (these with the callback).
  virtual void PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                             const TVdbOuterReferenceCallback& Callback) = 0;

 protected:
  std::string FInternalName;
};

// TABLE name, or a parenthesised table expression.
class TVdbSqlTableSimplePrimitive : public TVdbSqlTablePrimitive {
 public:
  TVdbSqlTableSimplePrimitive(std::string TableName, std::string AliasName = {});
  explicit TVdbSqlTableSimplePrimitive(std::unique_ptr<TVdbSqlTableExpression> Expression);
  ~TVdbSqlTableSimplePrimitive() override;

  const std::string& TableName() const { return FTableName; }
  const std::string& AliasName() const { return FAliasName; }
  TVdbSqlTableExpression* TableExpression() const { return FTableExpression.get(); }
  std::unique_ptr<TVdbSqlTableExpression> ExtractTableExpression() { return std::move(FTableExpression); }
  // Hands the parenthesised expression out and makes this primitive TABLE Name.
  std::unique_ptr<TVdbSqlTableExpression> ReplaceTableExpression(std::string Name);

  std::string GetTableList() const override;
  std::string GetAliasList() const override;
  std::string GetInternalNameList() const override;
  std::string GetSqlText() const override;
  bool GetIsTrivial() const override { return !FTableName.empty(); }
  std::unique_ptr<TVdbSqlTablePrimitive> Clone() const override;
  void Optimize() override;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;
  void ReplaceAliases() override;
  void PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) override;
  void PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                     const TVdbOuterReferenceCallback& Callback) override;

 private:
  std::string FTableName;
  std::string FAliasName;
  std::unique_ptr<TVdbSqlTableExpression> FTableExpression;
};

// A SELECT block.
class TVdbSqlSelectExpression : public TVdbSqlTablePrimitive {
 public:
  explicit TVdbSqlSelectExpression(TVdbCatalog* Catalog = nullptr);
  ~TVdbSqlSelectExpression() override;

  void AddSelectElement(std::unique_ptr<TVdbSqlSelectElement> Element, std::string Label = {});
  void AddLabelForSelectElement(int Index, std::string Label);
  void RemoveSelectElement(int Index);
  void AddTableReference(std::unique_ptr<TVdbSqlTableReference> Ref) { FTableReferences.Add(std::move(Ref)); }
  void AddGroupByExpression(std::unique_ptr<TVdbExpression> Expression);
  void SetSearchCondition(std::unique_ptr<TVdbSearchCondition> Condition);
  void SetHavingCondition(std::unique_ptr<TVdbSearchCondition> Condition);
  std::unique_ptr<TVdbSearchCondition> ExtractSearchCondition();
  std::unique_ptr<TVdbSearchCondition> ExtractHavingCondition();
  // Makes the block read from one table of that name, without WHERE.
  void ReplaceUngroupedTable(const std::string& TableName);
  void SetDistinct(bool Distinct) { FDistinct = Distinct; }
  void SetTopCount(std::int32_t TopCount) { FTopCount = TopCount; }

  int SelectElementCount() const { return static_cast<int>(FSelectElements.size()); }
  TVdbSqlSelectElement& SelectElement(int Index) const { return *FSelectElements.at(static_cast<std::size_t>(Index)); }
  const std::string& Label(int Index) const { return FLabelList.at(static_cast<std::size_t>(Index)); }
  const TVdbSqlTableReferenceList& TableReferences() const { return FTableReferences; }
  TVdbSqlTableReferenceList& TableReferences() { return FTableReferences; }
  TVdbSearchCondition* SearchCondition() const { return FSearchCondition.get(); }
  TVdbSearchCondition* HavingCondition() const { return FHavingCondition.get(); }
  const TVdbExpressionList& GroupByExpressions() const { return FGroupByExpressions; }
  bool Distinct() const { return FDistinct; }
  std::int32_t TopCount() const { return FTopCount; }
  // True for the plain "SELECT * FROM t": one "*" item, one table, nothing else.
  bool IsPlainTableSelection() const;

  std::string GetTableList() const override { return FTableReferences.GetTableList(); }
  std::string GetAliasList() const override { return FTableReferences.GetAliasList(); }
  std::string GetInternalNameList() const override { return FTableReferences.GetInternalNameList(); }
  std::string GetSqlText() const override;
  std::unique_ptr<TVdbSqlTablePrimitive> Clone() const override;
  void Optimize() override;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;
  void ReplaceAliases() override;
  void ReplaceAlias(std::string_view Alias, std::string_view InternalName);
  void PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) override;
  void PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                     const TVdbOuterReferenceCallback& Callback) override;

 private:
  TVdbCatalog* FCatalog;
  std::vector<std::unique_ptr<TVdbSqlSelectElement>> FSelectElements;
  std::vector<std::string> FLabelList;
  TVdbSqlTableReferenceList FTableReferences;
  std::unique_ptr<TVdbSearchCondition> FSearchCondition;
  TVdbExpressionList FGroupByExpressions;
  std::unique_ptr<TVdbSearchCondition> FHavingCondition;
  bool FDistinct = false;
  std::int32_t FTopCount = 0;
};

// The operand list of CORRESPONDING [BY (...)]: none, empty (plain CORRESPONDING) or names.
using TVdbCorrespondingFields = std::unique_ptr<std::vector<std::string>>;

// A primitive, optionally followed by INTERSECT and another term.
class TVdbSqlTableTerm : public TVdbSyntaxNode {
 public:
  explicit TVdbSqlTableTerm(std::unique_ptr<TVdbSqlTablePrimitive> Primitive);
  ~TVdbSqlTableTerm() override;
  std::unique_ptr<TVdbSqlTableTerm> Clone() const;

  void SetIntersect(std::unique_ptr<TVdbSqlTableTerm> Term, bool All, TVdbCorrespondingFields Fields);
  TVdbSqlTablePrimitive* TablePrimitive() const { return FTablePrimitive.get(); }
  void SetTablePrimitive(std::unique_ptr<TVdbSqlTablePrimitive> Primitive) { FTablePrimitive = std::move(Primitive); }
  TVdbSqlTableTerm* TableTerm() const { return FTableTerm.get(); }
  bool All() const { return FAll; }
  const std::vector<std::string>* CorrespondingFields() const { return FCorrespondingFields.get(); }

  std::string GetTableList() const;
  std::string GetAliasList() const;
  std::string GetInternalNameList() const;
  std::string GetSqlText() const;
  void Optimize();
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;
  void ReplaceAliases();
  void PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options);
  void PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                     const TVdbOuterReferenceCallback& Callback);

 private:
  friend class TVdbSqlTableExpression;
  std::unique_ptr<TVdbSqlTablePrimitive> FTablePrimitive;
  std::unique_ptr<TVdbSqlTableTerm> FTableTerm;
  bool FAll = false;
  TVdbCorrespondingFields FCorrespondingFields;
};

// A term, optionally followed by UNION or EXCEPT and another table expression.
class TVdbSqlTableExpression : public TVdbSyntaxNode {
 public:
  explicit TVdbSqlTableExpression(std::unique_ptr<TVdbSqlTableTerm> Term);
  ~TVdbSqlTableExpression() override;
  std::unique_ptr<TVdbSqlTableExpression> Clone() const;

  void SetRightOperand(std::unique_ptr<TVdbSqlTableExpression> Right, bool IsUnion, bool All,
                       TVdbCorrespondingFields Fields);
  TVdbSqlTableTerm* TableTerm() const { return FTableTerm.get(); }
  TVdbSqlTableExpression* TableExpression() const { return FTableExpression.get(); }
  bool IsUnion() const { return FIsUnion; }
  bool All() const { return FAll; }
  const std::vector<std::string>* CorrespondingFields() const { return FCorrespondingFields.get(); }
  // The only SELECT block when there is no set operation at all; else nullptr.
  TVdbSqlSelectExpression* SingleSelectExpression() const;

  std::string GetTableList() const;
  std::string GetAliasList() const;
  std::string GetInternalNameList() const;
  std::string GetSqlText() const;
  void Optimize();
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;
  void ReplaceAliases();
  void PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options);
  void PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                     const TVdbOuterReferenceCallback& Callback);

 private:
  std::unique_ptr<TVdbSqlTableTerm> FTableTerm;
  std::unique_ptr<TVdbSqlTableExpression> FTableExpression;
  bool FIsUnion = true;
  bool FAll = false;
  TVdbCorrespondingFields FCorrespondingFields;
};

// ---------------------------------------------------------------------------------------------
// Commands

class TVdbSqlCommand : public TVdbSyntaxNode {
 public:
  explicit TVdbSqlCommand(TVdbCatalog* Catalog) : FCatalog(Catalog) {}
  ~TVdbSqlCommand() override;

  TVdbCatalog* Catalog() const { return FCatalog; }
  const std::string& TableName() const { return FTableName; }
  void SetTableName(std::string Name) { FTableName = std::move(Name); }
  bool IsPrepared() const { return FIsPrepared; }
  const std::vector<std::unique_ptr<TSqlOuterReference>>& OuterReferences() const { return FOuterReferences; }

  // The command's table names, each in double quotes, joined by ",".
  virtual std::string GetTableList() const;
  virtual std::string GetAliasList() const;
  virtual std::string GetSqlText() const = 0;
  // Whether TableName is the command's table.
  virtual bool IsTableName(std::string_view TableName) const;
  // The command itself; the row changes walk their parts too.
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;
  // Simplifications done once right after parsing.
  virtual void Optimize() {}

  // Preparation against the relations in scope. Phase 1 types what the result is made of
  // (select items, assigned values), phase 2 the conditions; Callback resolves names that are
  // columns of an enclosing command.
  virtual void PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options);
  virtual void PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                             const TVdbOuterReferenceCallback& Callback = {});
  TVdbExpressionContext* Context() const { return FContext; }

  // A name that the sub-query Source cannot resolve: when it is a column of this command's
  // relations, the variable that carries its value for the current row (owned here); else
  // nullptr.
  virtual TVdbVariable* CheckForOuterReference(TVdbSqlQuery& Source, const std::string& ColumnName);
  // The callback that offers the names of SubQuery to this command.
  TVdbOuterReferenceCallback OuterReferenceCallback(TVdbSqlQuery& SubQuery);
  // For the current row: copies each referenced column into its variable and marks the
  // sub-query for recalculation when the value changed.
  void UpdateOuterReferences();

 protected:
  TVdbCatalog* FCatalog;
  TVdbExpressionContext* FContext = nullptr;
  std::string FTableName;
  std::vector<std::unique_ptr<TSqlOuterReference>> FOuterReferences;
  std::vector<TVdbColumnRef> FOuterColumns;   // the column each outer reference reads
  bool FIsPrepared = false;
};

class TVdbSqlQuery : public TVdbSqlCommand {
 public:
  TVdbSqlQuery(TVdbCatalog* Catalog, std::unique_ptr<TVdbSqlTableExpression> TableExpression);
  ~TVdbSqlQuery() override;
  std::unique_ptr<TVdbSqlQuery> Clone() const;
  std::unique_ptr<TVdbSyntaxNode> CloneNode() const override { return Clone(); }

  TVdbSqlTableExpression* TableExpression() const { return FTableExpression.get(); }
  TVdbSqlSortSpecificationList& SortSpecificationList() { return FSortSpecificationList; }
  const TVdbSqlSortSpecificationList& SortSpecificationList() const { return FSortSpecificationList; }
  TVdbSqlCommand* ParentCommand() const { return FParentCommand; }
  void SetParentCommand(TVdbSqlCommand* Parent) { FParentCommand = Parent; }
  TVdbRelation* ResultSet() const { return FResultSet; }
  void SetResultSet(TVdbRelation* ResultSet) { FResultSet = ResultSet; }
  // No set operation at the top level.
  bool IsPrimitiveQuery() const;
  // True when some factor of the tree reads a column of an enclosing query.
  bool IsCorrelated();
  bool MustRecalc() const { return FMustRecalc; }
  void OuterReferenceModified() { FMustRecalc = true; }
  // The owning execution command's re-execution of this query.
  using TVdbQueryRecalcEvent = std::function<void(TVdbSqlQuery&)>;
  void SetOnRecalc(TVdbQueryRecalcEvent OnRecalc) { FOnRecalc = std::move(OnRecalc); }
  // Re-executes through the handler and clears the flag.
  void Recalc();
  void PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) override;
  void PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                     const TVdbOuterReferenceCallback& Callback = {}) override;

  // Rewrites every alias of the table expression into its internal name, the ORDER BY included.
  void ReplaceAliases();

  std::string GetTableList() const override;
  std::string GetAliasList() const override;
  std::string GetSqlText() const override;
  bool IsTableName(std::string_view TableName) const override;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;
  void Optimize() override;

 private:
  TVdbSqlCommand* FParentCommand = nullptr;
  std::unique_ptr<TVdbSqlTableExpression> FTableExpression;
  TVdbSqlSortSpecificationList FSortSpecificationList;
  TVdbRelation* FResultSet = nullptr;
  TVdbQueryRecalcEvent FOnRecalc;
  bool FMustRecalc = false;
};

class TVdbSqlDeleteCommand : public TVdbSqlCommand {
 public:
  TVdbSqlDeleteCommand(TVdbCatalog* Catalog, std::string TableName,
                       std::unique_ptr<TVdbSearchCondition> Condition);
  ~TVdbSqlDeleteCommand() override;
  TVdbSearchCondition* SearchCondition() const { return FSearchCondition.get(); }
  std::string GetSqlText() const override;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;
  void Optimize() override;
  void PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                     const TVdbOuterReferenceCallback& Callback = {}) override;

 private:
  std::unique_ptr<TVdbSearchCondition> FSearchCondition;
};

class TVdbSqlInsertCommand : public TVdbSqlCommand {
 public:
  TVdbSqlInsertCommand(TVdbCatalog* Catalog, std::string TableName);
  ~TVdbSqlInsertCommand() override;
  void AddColumn(std::unique_ptr<TVdbExpression> Column);
  void AddValue(std::unique_ptr<TVdbExpression> Value);
  void SetSourceQuery(std::unique_ptr<TVdbSqlQuery> Query);
  // Hands the source query out and reads from TABLE Name instead.
  std::unique_ptr<TVdbSqlQuery> ReplaceSourceQuery(const std::string& Name);
  const TVdbExpressionList& Columns() const { return FColumns; }
  const TVdbExpressionList& Values() const { return FValues; }
  TVdbSqlQuery* SourceQuery() const { return FSourceQuery.get(); }
  // The table's column names in field order, for an INSERT without a column list: the values
  // go to the first columns.
  void SetTableColumnNames(std::vector<std::string> Names) { FTableColumnNames = std::move(Names); }
  // Types the columns, then each value with its column as reference (literals and parameters
  // take the column's type). A source query is prepared against its own relations.
  void PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) override;
  std::string GetSqlText() const override;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;
  void Optimize() override;

 private:
  TVdbExpressionList FColumns;
  TVdbExpressionList FValues;
  std::unique_ptr<TVdbSqlQuery> FSourceQuery;
  std::vector<std::string> FTableColumnNames;
};

class TVdbSqlUpdateCommand : public TVdbSqlCommand {
 public:
  TVdbSqlUpdateCommand(TVdbCatalog* Catalog, std::string TableName);
  ~TVdbSqlUpdateCommand() override;
  // One assignment: the column and either a value expression or a sub-query.
  void AddAssignment(std::unique_ptr<TVdbExpression> Column, std::unique_ptr<TVdbExpression> Value,
                     std::unique_ptr<TVdbSqlQuery> SubQuery);
  void SetSearchCondition(std::unique_ptr<TVdbSearchCondition> Condition);
  const TVdbExpressionList& Columns() const { return FColumns; }
  const TVdbExpressionList& Expressions() const { return FExpressions; }
  TVdbSqlQuery* SubQuery(int Index) const { return FSubQueries.at(static_cast<std::size_t>(Index)).get(); }
  // Hands the Index-th sub-query out; the assignment then reads TABLE Name.
  std::unique_ptr<TVdbSqlQuery> ReplaceSubquery(int Index, const std::string& Name);
  TVdbSearchCondition* SearchCondition() const { return FSearchCondition.get(); }
  std::string GetSqlText() const override;
  void TraverseDepthFirst(TVdbSyntaxNodeVisitor& Visitor) override;
  void Optimize() override;
  void PreparePhase1(TVdbExpressionContext* Context, TVdbPrepareOptions Options) override;
  void PreparePhase2(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                     const TVdbOuterReferenceCallback& Callback = {}) override;

 private:
  TVdbExpressionList FColumns;
  TVdbExpressionList FExpressions;
  std::vector<std::unique_ptr<TVdbSqlQuery>> FSubQueries;
  std::unique_ptr<TVdbSearchCondition> FSearchCondition;
};

// The table options shared by CREATE TABLE and ALTER TABLE.
struct TVdbSqlTableOptions {
  std::int16_t FLevel = 0;            // 0 = not given
  std::string FLanguage;              // collation name, empty = not given
  bool FHasEncryption = false;
  TVdbSqlEncryption FEncryption = sqeDefault;
  std::string FKey;                   // PASSWORD
  bool FHasPassword = false;
  std::int32_t FCapacity = 0;         // 0 = not given
  // The option clauses as SQL text, each preceded by " ".
  std::string GetSqlText() const;
};

// The constraint elements shared by CREATE TABLE and ALTER TABLE ... ADD.
struct TVdbSqlConstraints {
  TVdbNamedDefs FCandidateKeys;       // TVdbCandidateKeyDef items
  TVdbNamedDefs FForeignKeys;         // TVdbForeignKeyDef items
  std::vector<std::unique_ptr<TVdbSqlCheckConstraint>> FCheckConstraints;
};

class TVdbSqlCreateTableCommand : public TVdbSqlCommand {
 public:
  TVdbSqlCreateTableCommand(TVdbCatalog* Catalog, std::string TableName);
  ~TVdbSqlCreateTableCommand() override;
  std::string GetSqlText() const override;

  TVdbSqlTableOptions FOptions;       // level 6 unless given
  std::vector<std::unique_ptr<TVdbSqlColumnDefinition>> FColumnDefinitions;
  TVdbSqlConstraints FConstraints;

  std::unique_ptr<TVdbColumnDef> CreateColumnDef(int Index) const;
  std::unique_ptr<TVdbCheckDef> CreateCheckDef(int Index) const;
};

// A check constraint as the table layer keeps it: the condition's procedural text for tables
// of level 1 to 4, its SQL text from level 5 on.
std::unique_ptr<TVdbCheckDef> CreateCheckDef(const TVdbSqlCheckConstraint& Check, std::int16_t TableLevel);

class TVdbSqlAlterTableCommand : public TVdbSqlCommand {
 public:
  TVdbSqlAlterTableCommand(TVdbCatalog* Catalog, std::string TableName);
  ~TVdbSqlAlterTableCommand() override;
  std::string GetSqlText() const override;

  TVdbSqlTableOptions FOptions;
  // Parallel lists, one entry per column change: ADD has no old name, DROP no definition,
  // MODIFY both, RENAME the old name and a definition of type sqlNone with the new name.
  std::vector<std::string> FColumnNames;
  std::vector<std::unique_ptr<TVdbSqlColumnDefinition>> FColumnDefinitions;
  std::vector<std::string> FDeletedConstraintNames;
  TVdbSqlConstraints FConstraints;

  // The new definition of the Index-th column change (nullptr for DROP and RENAME).
  std::unique_ptr<TVdbColumnDef> CreateColumnDef(int Index) const;
  std::unique_ptr<TVdbCheckDef> CreateCheckDef(int Index, std::int16_t TableLevel) const;
};

class TVdbSqlCreateIndexCommand : public TVdbSqlCommand {
 public:
  TVdbSqlCreateIndexCommand(TVdbCatalog* Catalog, std::string TableName, std::string IndexName, bool Unique);
  std::string GetSqlText() const override;
  // The index specification: levels joined by ","; a level is "-" when descending, then "{" column "}".
  std::string GetVdbIndexExpression() const;
  const std::string& IndexName() const { return FIndexName; }
  bool Unique() const { return FUnique; }

  TVdbSqlSortSpecificationList FSortSpecifications;

 private:
  std::string FIndexName;
  bool FUnique;
};

class TVdbSqlCreateFulltextIndexCommand : public TVdbSqlCommand {
 public:
  TVdbSqlCreateFulltextIndexCommand(TVdbCatalog* Catalog, std::string TableName, std::string IndexName);
  std::string GetSqlText() const override;

  std::string FIndexName;
  std::vector<std::string> FFieldNames;
  std::string FDictionaryName;
  bool FCreateDictionary = false;
  bool FUpdateDictionary = false;
  std::string FSeparators;
  bool FHasSeparators = false;
};

class TVdbSqlUpdateIndexCommand : public TVdbSqlCommand {
 public:
  // IndexName "*" rebuilds all indexes of the table.
  TVdbSqlUpdateIndexCommand(TVdbCatalog* Catalog, std::string TableName, std::string IndexName, bool IsFulltext);
  std::string GetSqlText() const override;
  const std::string& IndexName() const { return FIndexName; }
  bool IsFulltext() const { return FIsFulltext; }

 private:
  std::string FIndexName;
  bool FIsFulltext;
};

class TVdbSqlDropCommand : public TVdbSqlCommand {
 public:
  // An empty index name drops the table.
  TVdbSqlDropCommand(TVdbCatalog* Catalog, std::string TableName, std::string IndexName = {},
                     bool IsFulltext = false);
  std::string GetSqlText() const override;
  const std::string& IndexName() const { return FIndexName; }
  bool IsFulltext() const { return FIsFulltext; }

 private:
  std::string FIndexName;
  bool FIsFulltext;
};

// The query TABLE Name.
std::unique_ptr<TVdbSqlQuery> MakeTableQuery(TVdbCatalog* Catalog, const std::string& Name);
// Hands the sub-query of a comparison out; the comparison then reads TABLE Name.
std::unique_ptr<TVdbSqlQuery> ReplaceSubSelect(TVdbSqlSubQueryComparison& Comparison, const std::string& Name);

// ---------------------------------------------------------------------------------------------
// SQL functions

// A standard SQL function: aggregates (MAX, MIN, SUM, AVG, COUNT, FIRST, LAST), scalar functions
// of numbers, strings and dates, EXTRACT, SUBSTRING and TRIM.
class TSqlStdFunction : public TVdbFunction {
 public:
  explicit TSqlStdFunction(TFunctionId FunctionId);
  ~TSqlStdFunction() override;
  TFunctionId FunctionId() const { return FSqlFunction; }
  // COUNT(*): the argument is the constant 1 and the text keeps the star.
  void SetCountAll() { FCountAll = true; }

  bool GetIsAggregated() const override;
  bool GetIsConstant() const override;
  bool GetIsAggregation() const override;
  void DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) override;
  std::string GetSqlText() const override;
  std::unique_ptr<TVdbFunction> CreateCopy() const override;
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback) override;
  void ResetAggregations() override;
  void CalcAggregations() override;

 protected:
  TSqlStdFunction(const TSqlStdFunction& Other);
  // The function name as written in SQL ("ABS", "EXTRACT", ...).
  std::string SqlName() const;

  TFunctionId FSqlFunction;
  // Aggregate accumulators: the running value and, for AVG, the count.
  TVdbDataValue FValue1;
  const TVdbDataType* FDataType1 = nullptr;
  std::int64_t FCount = 0;
  const TVdbDataType* FResultDataType = nullptr;
  bool FCountAll = false;

 private:
  // Computes every argument; false when one of them is NULL.
  bool CalcArguments(TVdbRelationSet& RltnIdxs);
  void CalcScalar(TVdbDataValue& Value);
  void CalcString(TVdbDataValue& Value);
  void CalcExtract(TVdbDataValue& Value);
  std::vector<TVdbDataValue> FArgValues;
};

// CAST(x AS type).
class TSqlCastFunction : public TSqlStdFunction {
 public:
  explicit TSqlCastFunction(std::unique_ptr<TVdbSqlColumnDefinition> TargetType);
  ~TSqlCastFunction() override;
  const TVdbSqlColumnDefinition& TargetType() const { return *FTargetType; }
  void DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) override;
  std::string GetSqlText() const override;
  std::unique_ptr<TVdbFunction> CreateCopy() const override;
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback) override;

 private:
  std::unique_ptr<TVdbSqlColumnDefinition> FTargetType;
  bool FReverseConversion = false;
};

// CURRENTRECORDID(table): the record id of the current row of the named table.
class TSqlCurrentRecordIdFunction : public TSqlStdFunction {
 public:
  explicit TSqlCurrentRecordIdFunction(std::string TableName);
  const std::string& TableName() const { return FTableName; }
  // It reads the table's current row: never a constant, and the table is involved.
  bool GetIsConstant() const override { return false; }
  void GetInvolvedTables(TVdbRelationSet& RltnIdxs) const override;
  void DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) override;
  std::string GetSqlText() const override;
  std::unique_ptr<TVdbFunction> CreateCopy() const override;
  void ReplaceAlias(const std::string& Alias, const std::string& InternalName) override;
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback) override;

 private:
  std::string FTableName;
  std::string FWrittenName;  // as the statement names it (FTableName may become an internal alias)
  TVdbExpressionContext* FContext = nullptr;
  TVdbColumnRef FRecordId;  // the table's record id column, found when prepared
};

// The literal start of a LIKE pattern: its characters up to the first unescaped "%" or "_", the
// escape characters removed (Escape 0: none).
std::u16string LikePatternPrefix(std::u16string_view Pattern, char16_t Escape);

// The data-function table as the parser sees it: name, result column type, argument counts
// (the entries of the data-function library, by the same index).
struct TVdbDataFuncEntry {
  const char* Name;
  std::int16_t ResultType;
  std::int16_t Min;
  std::int16_t Max;
};
// The index of a data function (any case); -1 when Name is none of them.
int FindDataFunction(std::string_view Name);
const TVdbDataFuncEntry& DataFunction(int Index);

// A function of the engine's data-function library (sql/VdbDataFuncs.h), called from SQL.
class TVeskorPlFunction : public TVdbFunction {
 public:
  explicit TVeskorPlFunction(TVdbDataFuncId DataFunc) : FDataFunc(DataFunc) {}
  TVdbDataFuncId DataFunc() const { return FDataFunc; }
  void DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) override;
  std::string GetSqlText() const override;
  std::unique_ptr<TVdbFunction> CreateCopy() const override;
  void Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
               const TVdbOuterReferenceCallback& OuterReferenceCallback) override;

 private:
  TVdbDataFuncId FDataFunc;
  std::vector<TVdbDataValue> FArgValues;
};

// ---------------------------------------------------------------------------------------------
// Visitors

// Sets its flag at any factor that is an outer reference.
class TVdbCheckCorrelatedVisitor : public TVdbSyntaxNodeVisitor {
 public:
  void PerformOperation(TVdbSyntaxNode& Node) override;
  bool IsCorrelated() const { return FIsCorrelated; }

 private:
  bool FIsCorrelated = false;
};

// Hands the statement's parameter list to every simple factor.
class TVdbInitNodesVisitor : public TVdbSyntaxNodeVisitor {
 public:
  explicit TVdbInitNodesVisitor(TVdbVariables* Parameters) : FParameters(Parameters) {}
  void PerformOperation(TVdbSyntaxNode& Node) override;

 private:
  TVdbVariables* FParameters;
};

// Calls ReplaceAlias on every search condition.
class TVdbReplaceOuterAliasVisitor : public TVdbSyntaxNodeVisitor {
 public:
  TVdbReplaceOuterAliasVisitor(std::string AliasName, std::string InternalName)
      : FAliasName(std::move(AliasName)), FInternalName(std::move(InternalName)) {}
  void PerformOperation(TVdbSyntaxNode& Node) override;

 private:
  std::string FAliasName;
  std::string FInternalName;
};

// Start a new group / add the current row, on every function node.
class TVdbResetAggregationsVisitor : public TVdbSyntaxNodeVisitor {
 public:
  void PerformOperation(TVdbSyntaxNode& Node) override;
};
class TVdbCalcAggregationsVisitor : public TVdbSyntaxNodeVisitor {
 public:
  void PerformOperation(TVdbSyntaxNode& Node) override;
};

// Full-text search is not available: a full-text predicate or rank function found in a tree is
// error 52 "Not yet implemented".
class TVdbFulltextVisitor : public TVdbSyntaxNodeVisitor {
 public:
  void PerformOperation(TVdbSyntaxNode& Node) override;
};

// ---------------------------------------------------------------------------------------------
// Names and SQL texts

// A name as SQL text: as written when it reads back as the same identifier, else in double quotes.
std::string SqlName(std::string_view Name);
// A string literal: between single quotes, inner quotes doubled.
std::string SqlString(std::string_view Text);

}  // namespace vdb
