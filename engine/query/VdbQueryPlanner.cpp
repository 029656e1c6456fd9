// Planning of a SELECT block (see VdbQueryPlanner.h).
#include "query/VdbQueryPlanner.h"

#include <algorithm>
#include <functional>

#include "session/VdbCatalog.h"
#include "storage/kxMemory.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

constexpr std::int16_t kRatingEqual = 4;
constexpr std::int16_t kRatingLike = 3;
constexpr std::int16_t kRatingRange = 3;
constexpr std::int16_t kRatingInclusive = 2;
constexpr std::int16_t kRatingStrict = 1;
constexpr int kFirstLevelWeight = 100;
constexpr std::size_t kWishedLevels = 2;
// A temporary index pays only when its key range leaves a small share of the rows: walking a
// large share through an index costs about three times a scan in record order (and building
// the index reads every row first). The share of a range with constant bounds is estimated
// from records spread over the table, on tables large enough for the difference to count.
constexpr std::int32_t kSampledRecords = 128;
constexpr std::int32_t kMinRecordsToSample = 1024;
constexpr double kLargestIndexedShare = 0.2;

// The bound's value at preparation; false when it has none yet (a parameter without value)
// or cannot be computed there.
bool BoundValue(const TVdbExpression* Bound, TVdbDataValue& Value, const TVdbDataType*& Type) {
  if (Bound == nullptr) return false;
  try {
    auto& Expression = const_cast<TVdbExpression&>(*Bound);
    Expression.Calculate();
    Type = Expression.DataType();
    if (Type == nullptr || Expression.ResultValue.IsEmpty() || Type->IsNull(Expression.ResultValue)) return false;
    Type->CopyTo(Expression.ResultValue, Value);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The estimated share of the rows whose column lies within a range with constant bounds; -1
// when it cannot be told (an equality, a LIKE, bounds from other rows or without value, a
// small table).
double EstimatedRangeShare(TVdbRelation& Relation, const TVdbFieldRating& Rating) {
  if (Rating.JoinedRltnIdx != 0 || Rating.LikePattern != nullptr || Rating.Rating >= kRatingEqual) return -1;
  const std::int32_t Count = Relation.RecordCount();
  if (Count < kMinRecordsToSample) return -1;
  TVdbDataValue Lower, Upper;
  const TVdbDataType *LowerType = nullptr, *UpperType = nullptr;
  const bool HasLower = BoundValue(Rating.LowerBound, Lower, LowerType);
  const bool HasUpper = BoundValue(Rating.UpperBound, Upper, UpperType);
  if ((Rating.LowerBound != nullptr && !HasLower) || (Rating.UpperBound != nullptr && !HasUpper)) return -1;
  if (!HasLower && !HasUpper) return -1;
  const TVdbDataType* ColumnType = Relation.GetDataType(Rating.FieldNo);
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(std::max(Relation.RecordSize(), 1)));
  std::int32_t Inside = 0;
  try {
    for (std::int32_t Sample = 0; Sample < kSampledRecords; ++Sample) {
      const auto RecNo = static_cast<std::int32_t>(1 + static_cast<std::int64_t>(Sample) * Count / kSampledRecords);
      if (Relation.ReadRecord(RecNo, Record.data()) < 0) return -1;
      TVdbDataValue Value;
      if (!Relation.GetValue(Record.data(), Rating.FieldNo, Value)) continue;  // NULL: outside
      if (HasLower && TVdbDataType::Compare(Value, Lower, 0, ColumnType, LowerType) == kVdbCmpLess) continue;
      if (HasUpper && TVdbDataType::Compare(Value, Upper, 0, ColumnType, UpperType) == kVdbCmpGreater) continue;
      ++Inside;
    }
  } catch (const std::exception&) {
    return -1;
  }
  return static_cast<double>(Inside) / kSampledRecords;
}

// The column a side is, when it is a bare column of a relation in scope.
const TVdbSimpleFactor* ColumnOf(const TVdbExpression* Side) {
  if (Side == nullptr) return nullptr;
  const auto* Factor = dynamic_cast<const TVdbSimpleFactor*>(Side->SingleFactor());
  if (Factor == nullptr || !Factor->GetIsColumnName() || Factor->Accessor() == nullptr) return nullptr;
  return Factor;
}

std::string CollationOf(const TVdbDataType* Type) {
  const auto* String = dynamic_cast<const TVdbStringType*>(Type);
  return String != nullptr ? String->CollationName() : std::string();
}

// Whether Bound can limit an index walk over Column: it reads no column of the column's own
// relation, at most one other relation (JoinedRltnIdx), no aggregate, and it orders the same
// way the column's keys do (texts under the same collation, or a literal or parameter, which
// takes the column's type).
bool UsableBound(const TVdbSimpleFactor& Column, const TVdbExpression* Bound, TVdbRelationIndex& JoinedRltnIdx) {
  if (Bound == nullptr || Bound->GetIsAggregated() || Bound->DataType() == nullptr) return false;
  TVdbRelationSet Involved;
  Bound->GetInvolvedTables(Involved);
  if (Involved.test(static_cast<std::size_t>(Column.RltnIdx()))) return false;
  if (Involved.count() > 1) return false;
  JoinedRltnIdx = 0;
  for (std::size_t I = 1; I < Involved.size(); ++I)
    if (Involved.test(I)) JoinedRltnIdx = static_cast<TVdbRelationIndex>(I);
  const TVdbDataType* ColumnType = Column.DataType();
  if (ColumnType == nullptr) return false;
  if (ColumnType->IsStringType() != Bound->DataType()->IsStringType()) return false;
  if (ColumnType->IsStringType() && !Bound->IsBareLiteralOrParameter() &&
      CompareIdentifiers(CollationOf(ColumnType), CollationOf(Bound->DataType())) != 0)
    return false;
  return true;
}

TVdbComparisonOperator Negated(TVdbComparisonOperator Operator) {
  switch (Operator) {
    case tcoLess: return tcoGreaterOrEqual;
    case tcoLessOrEqual: return tcoGreater;
    case tcoGreater: return tcoLessOrEqual;
    case tcoGreaterOrEqual: return tcoLess;
    default: return tcoNone;  // NOT = and the others narrow nothing
  }
}

// The operator seen from the right side: a < b is b > a.
TVdbComparisonOperator Mirrored(TVdbComparisonOperator Operator) {
  switch (Operator) {
    case tcoLess: return tcoGreater;
    case tcoLessOrEqual: return tcoGreaterOrEqual;
    case tcoGreater: return tcoLess;
    case tcoGreaterOrEqual: return tcoLessOrEqual;
    default: return Operator;
  }
}

TVdbTableRating* FindTable(std::vector<TVdbTableRating>& Ratings, TVdbRelationIndex RltnIdx) {
  for (TVdbTableRating& Rating : Ratings)
    if (Rating.RltnIdx == RltnIdx) return &Rating;
  return nullptr;
}

// Adds a rating; a column already rated for the same joined relation keeps the better one, and
// a lower bound meeting an upper bound makes a range.
void AddRating(TVdbTableRating& Table, const TVdbFieldRating& New) {
  for (TVdbFieldRating& Old : Table.FieldRatings) {
    if (Old.FieldNo != New.FieldNo || Old.JoinedRltnIdx != New.JoinedRltnIdx) continue;
    const bool OldLowerOnly = Old.LowerBound != nullptr && Old.UpperBound == nullptr && Old.LikePattern == nullptr;
    const bool OldUpperOnly = Old.UpperBound != nullptr && Old.LowerBound == nullptr;
    const bool NewLowerOnly = New.LowerBound != nullptr && New.UpperBound == nullptr && New.LikePattern == nullptr;
    const bool NewUpperOnly = New.UpperBound != nullptr && New.LowerBound == nullptr;
    if ((OldLowerOnly && NewUpperOnly) || (OldUpperOnly && NewLowerOnly)) {
      if (NewUpperOnly) Old.UpperBound = New.UpperBound;
      else Old.LowerBound = New.LowerBound;
      Old.Rating = std::max<std::int16_t>(kRatingRange, Old.Rating);
      return;
    }
    if (New.Rating > Old.Rating) Old = New;
    return;
  }
  Table.FieldRatings.push_back(New);
}

void RateComparison(const TVdbSimpleFactor& Column, TVdbComparisonOperator Operator, const TVdbExpression* Bound,
                    const TVdbRelationSet& Allowed, std::vector<TVdbTableRating>& Ratings) {
  if (!Allowed.test(static_cast<std::size_t>(Column.RltnIdx()))) return;
  TVdbTableRating* Table = FindTable(Ratings, Column.RltnIdx());
  if (Table == nullptr) return;
  TVdbFieldRating Rating;
  Rating.FieldNo = Column.FieldNo();
  if (!UsableBound(Column, Bound, Rating.JoinedRltnIdx)) return;
  switch (Operator) {
    case tcoEqual:
    case tcoEqualNull:
      Rating.Rating = kRatingEqual;
      Rating.IsFixed = true;
      Rating.LowerBound = Rating.UpperBound = Bound;
      Rating.NullMatches = Operator == tcoEqualNull;
      break;
    case tcoLess: Rating.Rating = kRatingStrict; Rating.UpperBound = Bound; break;
    case tcoLessOrEqual: Rating.Rating = kRatingInclusive; Rating.UpperBound = Bound; break;
    case tcoGreater: Rating.Rating = kRatingStrict; Rating.LowerBound = Bound; break;
    case tcoGreaterOrEqual: Rating.Rating = kRatingInclusive; Rating.LowerBound = Bound; break;
    default: return;
  }
  AddRating(*Table, Rating);
}

void RateLike(const TVdbBooleanFactor& Factor, const TVdbRelationSet& Allowed, std::vector<TVdbTableRating>& Ratings) {
  const TVdbSimpleFactor* Column = ColumnOf(Factor.ExpressionLeft());
  const TVdbExpression* Pattern = Factor.ExpressionRight();
  if (Column == nullptr || Pattern == nullptr || Column->DataType() == nullptr) return;
  if (!Column->DataType()->IsStringType() || !Allowed.test(static_cast<std::size_t>(Column->RltnIdx()))) return;
  TVdbRelationSet Involved;
  Pattern->GetInvolvedTables(Involved);
  if (Involved.any() || !Pattern->IsBareLiteralOrParameter()) return;
  const TVdbFactor* Literal = Pattern->SingleFactor();
  if (Literal != nullptr && Literal->GetIsLiteral()) {
    const std::u16string Text = TkxMemory::Utf8ToUtf16(Literal->GetLiteralValue());
    if (LikePatternPrefix(Text, Factor.LikeEscapeChar()).empty()) return;  // "%x", "_x": no prefix
  }
  TVdbTableRating* Table = FindTable(Ratings, Column->RltnIdx());
  if (Table == nullptr) return;
  TVdbFieldRating Rating;
  Rating.FieldNo = Column->FieldNo();
  Rating.Rating = kRatingLike;
  Rating.LikePattern = Pattern;
  Rating.LikeEscape = Factor.LikeEscapeChar();
  AddRating(*Table, Rating);
}

void RateFactor(const TVdbBooleanFactor& Factor, const TVdbRelationSet& Allowed, std::vector<TVdbTableRating>& Ratings);

void RateChain(const TVdbSearchCondition* Condition, const TVdbRelationSet& Allowed,
               std::vector<TVdbTableRating>& Ratings) {
  if (Condition == nullptr || Condition->SearchCondition() != nullptr) return;  // OR at the top
  for (const TVdbBooleanTerm* Term = Condition->BooleanTerm(); Term != nullptr; Term = Term->BooleanTerm())
    if (Term->BooleanFactor() != nullptr) RateFactor(*Term->BooleanFactor(), Allowed, Ratings);
}

void RateFactor(const TVdbBooleanFactor& Factor, const TVdbRelationSet& Allowed, std::vector<TVdbTableRating>& Ratings) {
  if (dynamic_cast<const TVdbSqlSubQueryComparison*>(&Factor) != nullptr ||
      dynamic_cast<const TVdbSqlFulltextPredicate*>(&Factor) != nullptr)
    return;
  if (Factor.SearchCondition() != nullptr) {
    if (!Factor.IsNot()) RateChain(Factor.SearchCondition(), Allowed, Ratings);
    return;
  }
  TVdbComparisonOperator Operator = Factor.ComparisonOperator();
  if (Operator == tcoLike) {
    if (!Factor.IsNot()) RateLike(Factor, Allowed, Ratings);
    return;
  }
  if (Operator == tcoBetween) {
    const TVdbSimpleFactor* Column = ColumnOf(Factor.ExpressionLeft());
    if (Factor.IsNot() || Column == nullptr) return;
    RateComparison(*Column, tcoGreaterOrEqual, Factor.ExpressionRightEx(), Allowed, Ratings);
    RateComparison(*Column, tcoLessOrEqual, Factor.ExpressionRight(), Allowed, Ratings);
    return;
  }
  if (Factor.IsNot()) Operator = Negated(Operator);
  if (Operator == tcoNone) return;
  if (const TVdbSimpleFactor* Left = ColumnOf(Factor.ExpressionLeft()))
    RateComparison(*Left, Operator, Factor.ExpressionRight(), Allowed, Ratings);
  if (const TVdbSimpleFactor* Right = ColumnOf(Factor.ExpressionRight()))
    RateComparison(*Right, Mirrored(Operator), Factor.ExpressionLeft(), Allowed, Ratings);
}

int SumRatings(const TVdbTableRating* Rating) {
  int Sum = 0;
  if (Rating != nullptr)
    for (const TVdbFieldRating& Field : Rating->FieldRatings) Sum += Field.Rating;
  return Sum;
}

}  // namespace

TVdbQueryPlanner::TVdbQueryPlanner(TVdbCatalog* Catalog, TVdbAccessorSet& Accessors)
    : FCatalog(Catalog), FAccessors(Accessors) {}

void TVdbQueryPlanner::CalculateFieldRatings(TVdbSearchCondition* Condition, const TVdbRelationSet& Allowed,
                                             std::vector<TVdbTableRating>& Ratings) {
  RateChain(Condition, Allowed, Ratings);
}

TVdbTableRating* TVdbQueryPlanner::RatingOf(TVdbRelationIndex RltnIdx) { return FindTable(FRatings, RltnIdx); }

const TVdbTableRating* TVdbQueryPlanner::RatingOf(TVdbRelationIndex RltnIdx) const {
  for (const TVdbTableRating& Rating : FRatings)
    if (Rating.RltnIdx == RltnIdx) return &Rating;
  return nullptr;
}

TVdbAccessor& TVdbQueryPlanner::AccessorOf(const TVdbSqlTableReference& Reference) const {
  for (int I = 0; I < FAccessors.Count(); ++I) {
    TVdbAccessor* Accessor = FAccessors.GetAccessorAt(I);
    if (CompareIdentifiers(Accessor->Relation().Name(), Reference.InternalName()) == 0) return *Accessor;
  }
  throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Reference.TableName()});
}

namespace {

void CollectRelationsOf(const TVdbSqlTableReference& Reference, const std::function<void(const TVdbSqlTableReference&)>& Visit) {
  if (!Reference.IsJoinedTable()) {
    Visit(Reference);
    return;
  }
  CollectRelationsOf(*Reference.Left(), Visit);
  CollectRelationsOf(*Reference.Right(), Visit);
}

}  // namespace

int TVdbQueryPlanner::Weight(const TVdbSqlTableReference& Reference) const {
  int Sum = 0;
  CollectRelationsOf(Reference, [&](const TVdbSqlTableReference& Plain) {
    Sum += SumRatings(RatingOf(AccessorOf(Plain).Relation().RltnIdx()));
  });
  return Sum;
}

void TVdbQueryPlanner::SwapLighterSides(TVdbSqlTableReference& Reference) const {
  if (!Reference.IsJoinedTable()) return;
  SwapLighterSides(*Reference.Left());
  SwapLighterSides(*Reference.Right());
  const int Left = Weight(*Reference.Left()), Right = Weight(*Reference.Right());
  if ((Left < Right && Reference.JoinType() != tjtLeftOuterJoin) ||
      (Left == Right && Reference.JoinType() == tjtRightOuterJoin))
    Reference.Swap();
}

// ON conditions rate only the relations whose rows they may drop: both sides of an inner join,
// the right side of a left outer join, the left side of a right outer join, neither side of a
// full outer join (rows of a preserved side are produced whatever the ON condition says).
void TVdbQueryPlanner::RateOnConditions(TVdbSqlTableReference& Reference) {
  if (!Reference.IsJoinedTable()) return;
  RateOnConditions(*Reference.Left());
  RateOnConditions(*Reference.Right());
  if (Reference.SearchCondition() == nullptr) return;
  TVdbRelationSet Allowed;
  auto Allow = [&](const TVdbSqlTableReference& Side) {
    CollectRelationsOf(Side, [&](const TVdbSqlTableReference& Plain) {
      Allowed.set(static_cast<std::size_t>(AccessorOf(Plain).Relation().RltnIdx()));
    });
  };
  const TVdbJoinType Type = Reference.JoinType();
  if (Type == tjtInnerJoin || Type == tjtCrossJoin || Type == tjtRightOuterJoin) Allow(*Reference.Left());
  if (Type == tjtInnerJoin || Type == tjtCrossJoin || Type == tjtLeftOuterJoin) Allow(*Reference.Right());
  RateChain(Reference.SearchCondition(), Allowed, FRatings);
}

std::unique_ptr<TVdbQueryExecNode> TVdbQueryPlanner::BuildNode(TVdbQueryExecutionPlan& Plan, TVdbSqlTableReference& Reference) {
  if (!Reference.IsJoinedTable()) {
    auto Node = std::make_unique<TVdbQueryRelationNode>(Plan, AccessorOf(Reference));
    FRelationNodes.push_back(Node.get());
    return Node;
  }
  auto Left = BuildNode(Plan, *Reference.Left());
  auto Right = BuildNode(Plan, *Reference.Right());
  return std::make_unique<TVdbQueryOperatorNode>(Plan, std::move(Left), Reference.JoinType(), std::move(Right),
                                                 Reference.SearchCondition());
}

int TVdbQueryPlanner::ScoreIndex(const TVdbSortDef& Definition, const std::vector<TVdbFieldRating>& Ratings, bool& Reverse) {
  Reverse = false;
  if (Definition.IsCalculated || Definition.LevelCount == 0) return 0;
  int Score = 0, Weight = kFirstLevelWeight;
  for (int Level = 0; Level < Definition.LevelCount; ++Level) {
    const TVdbSortLevel& Item = Definition.Items[static_cast<std::size_t>(Level)];
    const auto Rated = std::find_if(Ratings.begin(), Ratings.end(),
                                    [&](const TVdbFieldRating& R) { return R.FieldNo == Item.FieldNo; });
    if (Rated == Ratings.end() || Rated->Rating <= 0) break;
    if (Level == 0) Reverse = Item.Descending;
    else if (Item.Descending && !Reverse) return 0;
    Score = static_cast<std::int16_t>(Score + Weight * Rated->Rating);
    Weight /= 2;
  }
  return Score;
}

// No index fits: when the session allows it, a temporary index over the (at most two) best-rated
// columns that can be indexed; -1 when none is made.
std::int16_t TVdbQueryPlanner::CreateWishedIndex(TVdbRelation& Relation, const std::vector<TVdbFieldRating>& Ratings) const {
  TVdbServices* Services = FCatalog != nullptr ? FCatalog->Services() : nullptr;
  if (Services == nullptr || !Services->AutoCreateIndexes()) return -1;
  std::string Specification;
  std::size_t Levels = 0;
  for (const TVdbFieldRating& Rating : Ratings) {
    if (Levels == kWishedLevels || Rating.Rating <= 0) break;
    const TVdbColumnDef& Column = Relation.GetColumnDef(Rating.FieldNo);
    const std::int16_t Code = Column.GetColumnType();
    if (Code == kVdbMemoCode || Code == kVdbWideMemoCode || Code == kVdbBlobCode || Code == kVdbRelationCode) continue;
    Specification += (Specification.empty() ? "" : ",") + std::string("${") + Column.Name + "}";
    ++Levels;
  }
  if (Specification.empty()) return -1;
  try {
    const std::unique_ptr<TVdbSortDef> Definition = Relation.CalcIndexDefinition(Specification, false);
    const std::int16_t IndexNo = Relation.CreateTempIndex(*Definition);
    return IndexNo >= 0 ? IndexNo : -1;
  } catch (const std::exception&) {
    return -1;  // the walk goes in record order instead
  }
}

// Temporary indexes stay with their table (kept up to date by its writes) until it is closed:
// a later statement over the same column finds one already made instead of building it again.
bool TVdbQueryPlanner::IsTemporaryIndex(TVdbRelation& Relation, std::int16_t IndexNo) {
  const TVdbSortDef* Definition = Relation.GetIndexDefinition(IndexNo);
  return Definition != nullptr && Relation.GetIndexKind(Definition->Name()) == tikTemporary;
}

void TVdbQueryPlanner::ChooseIndex(TVdbQueryExecutionPlan& Plan, TVdbQueryRelationNode& Node) const {
  const TVdbTableRating* Table = RatingOf(Node.RltnIdx());
  if (Table == nullptr) return;
  const int OwnPosition = Plan.PositionOf(Node.RltnIdx());
  // One rating per column, the highest; bounds that read a relation at or after this one in the
  // plan cannot be computed when this relation's rows are fetched.
  std::vector<TVdbFieldRating> Ratings;
  for (const TVdbFieldRating& Rating : Table->FieldRatings) {
    if (Rating.JoinedRltnIdx != 0 && Plan.PositionOf(Rating.JoinedRltnIdx) >= OwnPosition) continue;
    const auto Same = std::find_if(Ratings.begin(), Ratings.end(),
                                   [&](const TVdbFieldRating& R) { return R.FieldNo == Rating.FieldNo; });
    if (Same == Ratings.end()) Ratings.push_back(Rating);
    else if (Rating.Rating > Same->Rating) *Same = Rating;
  }
  std::stable_sort(Ratings.begin(), Ratings.end(),
                   [](const TVdbFieldRating& A, const TVdbFieldRating& B) { return A.Rating > B.Rating; });
  int Wished = 0, Weight = kFirstLevelWeight;
  for (std::size_t I = 0; I < Ratings.size() && I < kWishedLevels && Ratings[I].Rating > 0; ++I) {
    Wished += Weight * Ratings[I].Rating;
    Weight /= 2;
  }
  const int Threshold = Wished / 2;
  if (Threshold < 1) return;
  TVdbRelation& Relation = Node.Accessor().Relation();
  int BestScore = Threshold;
  std::int16_t BestIndex = -1;
  bool BestReverse = false;
  for (std::int16_t IndexNo = Relation.FirstIndexNo(); IndexNo <= Relation.LastIndexNo(); ++IndexNo) {
    if (Relation.CheckIndexOpen(IndexNo) < 0) continue;
    const TVdbSortDef* Definition = Relation.GetIndexDefinition(IndexNo);
    if (Definition == nullptr) continue;
    bool Reverse = false;
    const int Score = ScoreIndex(*Definition, Ratings, Reverse);
    if (Score > BestScore) {
      BestScore = Score;
      BestIndex = IndexNo;
      BestReverse = Reverse;
    }
  }
  if ((BestIndex < 0 || IsTemporaryIndex(Relation, BestIndex)) &&
      EstimatedRangeShare(Relation, Ratings.front()) > kLargestIndexedShare)
    return;  // a scan in record order
  if (BestIndex < 0) BestIndex = CreateWishedIndex(Relation, Ratings);
  if (BestIndex < 0) return;
  const TVdbSortDef& Definition = *Relation.GetIndexDefinition(BestIndex);
  std::vector<TVdbFieldRating> Levels;
  for (int Level = 0; Level < Definition.LevelCount; ++Level) {
    const auto Rated = std::find_if(Ratings.begin(), Ratings.end(), [&](const TVdbFieldRating& R) {
      return R.FieldNo == Definition.Items[static_cast<std::size_t>(Level)].FieldNo;
    });
    if (Rated == Ratings.end()) break;
    Levels.push_back(*Rated);
  }
  Node.SetIndex(BestIndex, BestReverse, std::move(Levels));
}

std::unique_ptr<TVdbQueryExecutionPlan> TVdbQueryPlanner::Build(TVdbSqlSelectExpression& Select) {
  auto Plan = std::make_unique<TVdbQueryExecutionPlan>(FCatalog, FAccessors);
  Plan->SetSearchCondition(Select.SearchCondition());
  FRatings.clear();
  FRelationNodes.clear();
  for (int I = 0; I < FAccessors.Count(); ++I) {
    TVdbTableRating Rating;
    Rating.RltnIdx = FAccessors.GetAccessorAt(I)->Relation().RltnIdx();
    FRatings.push_back(Rating);
  }
  TVdbSqlTableReferenceList& From = Select.TableReferences();
  for (int I = 0; I < From.Count(); ++I) RateOnConditions(From[I]);
  TVdbRelationSet All;
  for (const TVdbTableRating& Rating : FRatings) All.set(static_cast<std::size_t>(Rating.RltnIdx));
  RateChain(Select.SearchCondition(), All, FRatings);

  std::vector<TVdbSqlTableReference*> Items;
  for (int I = 0; I < From.Count(); ++I) {
    SwapLighterSides(From[I]);
    Items.push_back(&From[I]);
  }
  std::stable_sort(Items.begin(), Items.end(), [&](const TVdbSqlTableReference* A, const TVdbSqlTableReference* B) {
    return Weight(*A) > Weight(*B);
  });
  std::unique_ptr<TVdbQueryExecNode> Tree;
  for (TVdbSqlTableReference* Item : Items) {
    auto Node = BuildNode(*Plan, *Item);
    Tree = Tree ? std::make_unique<TVdbQueryOperatorNode>(*Plan, std::move(Tree), tjtCrossJoin, std::move(Node), nullptr)
                : std::move(Node);
  }
  Plan->SetRelationTree(std::move(Tree));
  for (TVdbQueryRelationNode* Node : FRelationNodes) ChooseIndex(*Plan, *Node);
  return Plan;
}

}  // namespace vdb
