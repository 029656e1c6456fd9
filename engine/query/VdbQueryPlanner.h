// Planning of a SELECT block: field ratings from the AND chains of the WHERE and ON conditions,
// the order of the FROM items (heaviest first), the node tree, and for every relation the best
// index with the key range its ratings give.
//
// Ratings: equality 4; LIKE with a literal prefix 3; a closed range 3; an inclusive one-sided
// bound 2; a strict one-sided bound 1. An index scores weight x rating over its leading rated
// levels (weights 100, 50, 25, ...); it is used when it scores above half of what an index over
// the two best-rated columns would.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "query/VdbQueryExecPlan.h"

namespace vdb {

class TVdbQueryPlanner {
 public:
  TVdbQueryPlanner(TVdbCatalog* Catalog, TVdbAccessorSet& Accessors);
  // The plan of Select over the accessors (every FROM table has one, on the relation named by
  // the reference's internal name). Select's WHERE and ON conditions must be prepared.
  std::unique_ptr<TVdbQueryExecutionPlan> Build(TVdbSqlSelectExpression& Select);

  // The ratings a condition gives to columns of the relations in Allowed (one entry per relation
  // of Ratings). Only an AND chain is rated; OR at the top adds nothing.
  static void CalculateFieldRatings(TVdbSearchCondition* Condition, const TVdbRelationSet& Allowed,
                                    std::vector<TVdbTableRating>& Ratings);
  // The score of an index definition against ratings; Reverse: its first level is descending.
  static int ScoreIndex(const TVdbSortDef& Definition, const std::vector<TVdbFieldRating>& Ratings, bool& Reverse);

 private:
  std::unique_ptr<TVdbQueryExecNode> BuildNode(TVdbQueryExecutionPlan& Plan, TVdbSqlTableReference& Reference);
  TVdbAccessor& AccessorOf(const TVdbSqlTableReference& Reference) const;
  int Weight(const TVdbSqlTableReference& Reference) const;
  void SwapLighterSides(TVdbSqlTableReference& Reference) const;
  void RateOnConditions(TVdbSqlTableReference& Reference);
  void ChooseIndex(TVdbQueryExecutionPlan& Plan, TVdbQueryRelationNode& Node) const;
  std::int16_t CreateWishedIndex(TVdbRelation& Relation, const std::vector<TVdbFieldRating>& Ratings) const;
  static bool IsTemporaryIndex(TVdbRelation& Relation, std::int16_t IndexNo);
  TVdbTableRating* RatingOf(TVdbRelationIndex RltnIdx);
  const TVdbTableRating* RatingOf(TVdbRelationIndex RltnIdx) const;

  TVdbCatalog* FCatalog;
  TVdbAccessorSet& FAccessors;
  std::vector<TVdbTableRating> FRatings;
  std::vector<TVdbQueryRelationNode*> FRelationNodes;
};

}  // namespace vdb
