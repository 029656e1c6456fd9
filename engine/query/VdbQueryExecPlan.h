// The execution plan of a SELECT: a tree of relation nodes (one per base relation, each walking
// its accessor in record order, through an index with a key range, or along a fixed record) and
// operator nodes (nested-loop joins: cross, inner, left, right and full outer). The plan produces
// row combinations: it positions every accessor of the query's context on the rows of the next
// combination that satisfies the WHERE condition.
//
// When the condition is not TRUE for a combination, the relations whose current rows decided the
// answer give the cut position: the next combination advances the last of them directly, so that
// every combination of the relations after it, which would be rejected for the same reason, is
// skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "query/VdbResultSet.h"
#include "sql/VdbSqlCommand.h"

namespace vdb {

class TVdbCatalog;
class TVdbQueryExecutionPlan;

enum TVdbQueryFindResult : std::uint8_t { tqfError, tqfSuccess, tqfFailure };
enum TVdbQueryBrowseMode : std::uint8_t { qbmNormal, qbmLog, qbmOuter };

// "Advance the last relation": the cut position when no evaluation narrowed it.
constexpr int kVdbNoCut = 32767;

// One rated column of a relation: how well a condition on it can narrow an index walk, and the
// bounds the condition gives (expressions of the WHERE or ON tree, not owned).
struct TVdbFieldRating {
  std::int16_t FieldNo = 0;
  TVdbRelationIndex JoinedRltnIdx = 0;  // the relation of a column bound, else 0
  std::int16_t Rating = 0;
  bool IsFixed = false;
  const TVdbExpression* LowerBound = nullptr;
  const TVdbExpression* UpperBound = nullptr;
  // LIKE prefix bounds: the pattern expression and its escape character; the bounds are the
  // pattern's literal prefix and the prefix followed by the highest character.
  const TVdbExpression* LikePattern = nullptr;
  char16_t LikeEscape = 0;
  // The NULL-equal comparison: a NULL bound finds the NULL keys.
  bool NullMatches = false;
};

struct TVdbTableRating {
  TVdbRelationIndex RltnIdx = 0;
  std::vector<TVdbFieldRating> FieldRatings;
};

class TVdbQueryExecNode {
 public:
  explicit TVdbQueryExecNode(TVdbQueryExecutionPlan& Plan) : FQueryExecPlan(Plan) {}
  virtual ~TVdbQueryExecNode() = default;
  TVdbQueryExecNode(const TVdbQueryExecNode&) = delete;
  TVdbQueryExecNode& operator=(const TVdbQueryExecNode&) = delete;

  // The relations of the subtree, in plan order.
  virtual void GetRltnIdxVector(std::vector<TVdbRelationIndex>& Vector) const = 0;
  // Numbers the subtree's positions from Start; answers the next free position.
  virtual int CalcRltnVectorIdx(int Start) = 0;
  int RltnVectorIdx() const { return FRltnVectorIdx; }
  // The last plan position of the subtree.
  virtual int LastRltnVectorIdx() const = 0;
  // Before the first row combination of the subtree.
  virtual void Reset() = 0;
  // Every accessor of the subtree before its first row (the NULL side of an outer join).
  virtual void ToBot() = 0;
  // The next row combination of the subtree; CutPos: the plan position to advance (positions
  // after it start over).
  virtual TVdbQueryFindResult FindNext(int CutPos) = 0;
  // Logs visited rows (the right side of right and full outer joins) or produces the rows not
  // visited.
  virtual void SetBrowseMode(TVdbQueryBrowseMode Mode) = 0;
  // In log mode: the current rows count as visited.
  virtual void MarkVisited() = 0;
  // One line per relation: its access path.
  virtual void Describe(std::string& Text, int Depth) const = 0;

 protected:
  TVdbQueryExecutionPlan& FQueryExecPlan;
  int FRltnVectorIdx = 0;
  TVdbQueryBrowseMode FBrowseMode = qbmNormal;
};

class TVdbQueryRelationNode : public TVdbQueryExecNode {
 public:
  static constexpr std::int16_t kIndexNotSet = -3;
  static constexpr std::int16_t kRecordOrder = -1;

  TVdbQueryRelationNode(TVdbQueryExecutionPlan& Plan, TVdbAccessor& Accessor);
  TVdbAccessor& Accessor() const { return FAccessor; }
  TVdbRelationIndex RltnIdx() const { return FAccessor.Relation().RltnIdx(); }
  std::int16_t IndexNo() const { return FIndexNo; }
  // Walks the index IndexNo (backwards when Reverse) between the bounds the ratings give, computed
  // at every reset; without ratings the whole index.
  void SetIndex(std::int16_t IndexNo, bool Reverse, std::vector<TVdbFieldRating> LevelRatings);

  void GetRltnIdxVector(std::vector<TVdbRelationIndex>& Vector) const override;
  int CalcRltnVectorIdx(int Start) override;
  int LastRltnVectorIdx() const override { return FRltnVectorIdx; }
  void Reset() override;
  void ToBot() override;
  TVdbQueryFindResult FindNext(int CutPos) override;
  void SetBrowseMode(TVdbQueryBrowseMode Mode) override;
  void MarkVisited() override;
  void Describe(std::string& Text, int Depth) const override;

 private:
  bool ApplyRange();
  bool SetLikeBound(TVdbRelation& Relation, std::uint8_t* Record, std::int16_t FieldNo,
                    const TVdbFieldRating& Rating, bool Upper);
  bool BoundKey(bool Upper, std::vector<std::uint8_t>& Item);
  TVdbQueryFindResult Step();

  TVdbAccessor& FAccessor;
  std::int16_t FIndexNo = kRecordOrder;
  bool FReverse = false;
  std::vector<TVdbFieldRating> FLevelRatings;  // one per rated index level, in level order
  bool FStarted = false;
  bool FEmptyRange = false;
  std::vector<bool> FVisitedRows;  // by record number, in log mode
};

class TVdbQueryOperatorNode : public TVdbQueryExecNode {
 public:
  TVdbQueryOperatorNode(TVdbQueryExecutionPlan& Plan, std::unique_ptr<TVdbQueryExecNode> Left,
                        TVdbJoinType Operator, std::unique_ptr<TVdbQueryExecNode> Right,
                        TVdbSearchCondition* OnCondition);

  void GetRltnIdxVector(std::vector<TVdbRelationIndex>& Vector) const override;
  int CalcRltnVectorIdx(int Start) override;
  int LastRltnVectorIdx() const override { return FRightOperand->LastRltnVectorIdx(); }
  void Reset() override;
  void ToBot() override;
  TVdbQueryFindResult FindNext(int CutPos) override;
  void SetBrowseMode(TVdbQueryBrowseMode Mode) override;
  void MarkVisited() override;
  void Describe(std::string& Text, int Depth) const override;

 private:
  enum TPhase : std::uint8_t { phStart, phRight, phOuterRight, phDone };
  // The next right row for the current left row that satisfies the ON condition.
  TVdbQueryFindResult NextMatchingRight(int CutPos);
  TVdbQueryFindResult NextLeft(int CutPos);
  bool OnConditionHolds(int& CutPos);

  std::unique_ptr<TVdbQueryExecNode> FLeftOperand;
  TVdbJoinType FOperator;
  std::unique_ptr<TVdbQueryExecNode> FRightOperand;
  TVdbSearchCondition* FSearchCondition;
  TPhase FPhase = phStart;
  bool FLeftHadMatch = false;
  bool FLeftPadded = false;
};

class TVdbQueryExecutionPlan : public TVdbResultPlan {
 public:
  using TOuterReferenceCallback = std::function<void()>;

  TVdbQueryExecutionPlan(TVdbCatalog* Catalog, TVdbAccessorSet& Context);
  ~TVdbQueryExecutionPlan() override;

  void SetSearchCondition(TVdbSearchCondition* Condition) { FSearchCondition = Condition; }
  TVdbSearchCondition* SearchCondition() const { return FSearchCondition; }
  void SetOnNeedOuterReferences(TOuterReferenceCallback Callback) { FOnNeedOuterReferences = std::move(Callback); }
  void SetRelationTree(std::unique_ptr<TVdbQueryExecNode> Tree);
  TVdbQueryExecNode* RelationTree() const { return FRelationTree.get(); }
  TVdbAccessorSet& Context() const { return FContext; }
  // The owning statement went away: the plan produces no rows any more.
  void Detach() { FDetached = true; }
  std::int32_t RowAccessCount() const { return FRowAccessCount; }
  // The plan position of a relation (-1 when it is not in the plan).
  int PositionOf(TVdbRelationIndex RltnIdx) const;
  // The highest plan position among the relations of Decided, or kVdbNoCut when none is there.
  int CutPositionOf(const TVdbRelationSet& Decided) const;
  // The access path of every relation and the join order, one line each.
  std::string Describe() const;

  // --- TVdbResultPlan ---
  void Initialize() override;
  void Reset() override;
  bool FindNext() override;
  int RelationCount() const override { return static_cast<int>(FRltnIdxVector.size()); }
  TVdbRelationIndex RelationIndex(int Position) const override {
    return FRltnIdxVector.at(static_cast<std::size_t>(Position));
  }

 private:
  TVdbCatalog* FCatalog;
  TVdbAccessorSet& FContext;
  TOuterReferenceCallback FOnNeedOuterReferences;
  std::unique_ptr<TVdbQueryExecNode> FRelationTree;
  TVdbSearchCondition* FSearchCondition = nullptr;
  std::vector<TVdbRelationIndex> FRltnIdxVector;
  std::int32_t FRowAccessCount = 0;
  int FCutPos = kVdbNoCut;
  bool FDetached = false;
};

}  // namespace vdb
