// The query command: a SELECT, a set operation or the table form, turned into a result relation
// registered in the catalog.
//
// - A plain SELECT (no aggregate, GROUP BY or DISTINCT) gives a result set ("SimpleResultSet")
//   of base-row tuples, collected by an execution plan and sorted in memory by the ORDER BY.
// - The table form (TABLE t, or SELECT * FROM t without anything else) gives, for a live result,
//   an alias relation over t ("TableResultSet") and the index of t that covers the ORDER BY, which
//   the caller selects on its cursor; for a static or key-set result a sorted result set
//   ("KeySetResult").
// - A grouping query (aggregates, GROUP BY, HAVING, DISTINCT) collects a result set sorted by the
//   groups and writes one row per group into a temporary table ("GroupResultSet").
// - A set operation writes the rows of its operands into a temporary table ("SetOpResult").
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "query/VdbCommand.h"
#include "query/VdbResultSet.h"

namespace vdb {

class TVdbQueryExecutionPlan;

enum TVdbQueryType : std::uint8_t { tqtDirect, tqtUnion, tqtIntersect, tqtSimple, tqtGrouping };

class TVdbQuery : public TVdbCommand {
 public:
  static constexpr std::int16_t kNoLiveIndex = 255;

  TVdbQuery(TVdbCatalog* Catalog, std::unique_ptr<TVdbSqlCommand> SqlCommand);
  ~TVdbQuery() override;
  TVdbQuery* AsQuery() override { return this; }

  TVdbSqlQuery& SqlQuery() const;
  TVdbQueryType QueryType() const { return FQueryType; }
  TVdbCursorType RequestedCursorType() const { return FRequestedCursorType; }
  void SetRequestedCursorType(TVdbCursorType Type) { FRequestedCursorType = Type; }
  // The result relation (0 while not prepared).
  std::int16_t ResultRltnIdx() const { return FResultRltnIdx; }
  TVdbRelation* ResultRelation() const;
  std::int16_t LiveResultIndexNo() const { return FLiveResultIndexNo; }
  bool IsTableReference() const;
  bool IsSelect() const;
  bool IsUnion() const;
  bool IsExcept() const;
  bool IsIntersect() const;
  // A sub-query that reads columns of its enclosing query: it runs when its outer row moves,
  // not in the statement's sequence.
  bool IsCorrelated() const { return FCorrelated; }
  // A sub-query of Parent; its tree's recalculation (an outer row moved) executes it again.
  void SetParentCommand(TVdbCommand* Parent);
  TVdbCommand* ParentCommand() const { return FParentCommand; }

  void Split() override;
  void SetupTables(TVdbVariables* Parameters) override;
  void InitExecution() override;
  void UpdateParameterValues(const TVdbVariables& Parameters) override;
  std::int32_t Execute() override;
  void Unprepare() override;
  void GetTouchedRelations(TVdbTouchedRelations& Relations) const override;
  std::string PlanText() const override;

 private:
  struct TSelectItem;
  // Preparation steps.
  void OpenQueryTables(TVdbSqlSelectExpression& Select);
  void OpenReference(TVdbSqlTableReference& Reference);
  void ExpandSelectList(TVdbSqlSelectExpression& Select);
  void CreateSimpleResult(TVdbSqlSelectExpression& Select, const std::string& BaseName,
                          const std::string& SortOrder, std::int32_t TopCount);
  void CreateTableResult(TVdbSqlTableSimplePrimitive& Table);
  void CreateGroupingResult(TVdbSqlSelectExpression& Select);
  void CreateSetOpResult();
  void PairSetColumns();
  std::int16_t RegisterResult(std::unique_ptr<TVdbRelation> Result);
  std::unique_ptr<TVdbColumnDefs> ResultColumns(TVdbSqlSelectExpression& Select, TVdbColumnOrigins& Origins);
  void HoldResult();
  // Execution of the kinds.
  void ExecuteGrouping();
  void ExecuteSetOperation();
  bool WriteGroupRow(TVdbSqlSelectExpression& Select);
  void KeepFirstRows(std::int32_t Count);
  void VisitAggregates(TVdbSqlSelectExpression& Select, TVdbSyntaxNodeVisitor& Visitor);
  void OrderResultBy(TVdbRelation& Result);
  void SplitSetOperands();
  void SplitSubQueries(TVdbSearchCondition* Condition);
  void LinkSubQueries();
  void CollectFirstColumn();
  bool FindInFirstColumn(const TVdbDataValue& Value, const TVdbDataType* Type) const;
  TVdbTruthValue CompareWithFirstColumn(const TVdbDataValue& Value, const TVdbDataType* Type,
                                        TVdbComparisonOperator Operator, bool All) const;
  // No set operation at the top of the table expression.
  bool IsPrimitiveSet() const { return !IsUnion() && !IsExcept() && !IsIntersect(); }

  TVdbQueryType FQueryType = tqtSimple;
  TVdbCursorType FRequestedCursorType = tctLiveResult;
  TVdbCommand* FParentCommand = nullptr;
  bool FCorrelated = false;
  // The relations the query reads: the alias relations over its tables and the tables.
  std::vector<std::int16_t> FUsedRelations;
  std::vector<std::int16_t> FBaseRelations;
  std::map<std::int16_t, std::string> FUserNames;  // alias relation -> the statement's name for it
  // The context the trees are prepared against (the accessors belong to the result set).
  std::unique_ptr<TVdbAccessorContext> FContext;
  TVdbAccessorSet* FAccessors = nullptr;
  std::unique_ptr<TVdbAccessorSet> FPendingAccessors;  // until the result set takes them
  std::unique_ptr<TVdbSqlSelectExpression> FKeySetSelect;  // the table form as a key set
  bool FKeySetNeedsRecalc = false;
  TVdbResultSet* FSimpleResult = nullptr;            // the result set that collects rows
  TVdbQueryExecutionPlan* FPlan = nullptr;           // owned by that result set
  std::int16_t FIntermediateRltnIdx = 0;             // grouping: the collected rows
  std::unique_ptr<TVdbAccessor> FIntermediateAccessor;
  std::int16_t FResultRltnIdx = 0;
  std::unique_ptr<TVdbAccessor> FResultAccessor;     // keeps the result in use while prepared
  std::int16_t FLiveResultIndexNo = kNoLiveIndex;
  // Set operations: the operand queries in order, and for an operand the operator before it
  // ('U', 'E', 'I') and its ALL flag.
  std::vector<TVdbQuery*> FSetOperandQueries;
  char FSetOperator = 0;
  bool FSetAll = false;
  // CORRESPONDING of the operator before this operand: none, empty (by common names) or the BY list.
  std::optional<std::vector<std::string>> FSetCorresponding;
  // The columns of this operand's result that the set operation pairs, in order.
  std::vector<std::int16_t> FSetFieldNos;
  // Grouping: the plan over the query's tables, the expressions that make a group (GROUP BY,
  // or every item for DISTINCT), and the writer of the group rows.
  std::unique_ptr<TVdbQueryExecutionPlan> FGroupPlan;
  std::vector<TVdbExpression*> FGroupKeys;
  std::unique_ptr<TVdbAccessor> FGroupWriter;
  bool FAggregated = false;
  // Sub-queries of the WHERE and HAVING conditions: the comparison and the query that answers it.
  struct TSubQueryLink {
    TVdbSqlSubQueryComparison* Comparison;
    TVdbQuery* Query;
  };
  std::vector<TSubQueryLink> FSubQueryLinks;
  // The first column of the result, sorted, for IN and the quantified comparisons of the
  // enclosing query; built after every execution of a sub-query.
  std::vector<TVdbDataValue> FFirstColumn;
  const TVdbDataType* FFirstColumnType = nullptr;
  bool FFirstColumnHasNull = false;
  bool FExecuted = false;
};

}  // namespace vdb
