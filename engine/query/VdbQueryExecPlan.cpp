// The execution plan of a SELECT: relation and operator nodes, index key ranges and the
// relation-set cut (see VdbQueryExecPlan.h).
#include "query/VdbQueryExecPlan.h"

#include <algorithm>
#include <cstring>

#include "session/VdbCatalog.h"

namespace vdb {

namespace {

// An accessor step that failed with something other than the end of the walk.
[[noreturn]] void RaiseStep(TVdbAccessor& Accessor, std::int16_t Result) {
  TVdbServices* Services = Accessor.Relation().Services();
  const std::int16_t Code = static_cast<std::int16_t>(-Result);
  if (Services != nullptr && Services->LastErrorCode() == Code)
    throw EVdbEngine::CreateMsg(Code, Services->LastErrorMsg());
  throw EVdbEngine(Code, kxFormatArgs{});
}

std::string Indent(int Depth) { return std::string(static_cast<std::size_t>(Depth) * 2, ' '); }

const char* JoinName(TVdbJoinType Type) {
  switch (Type) {
    case tjtInnerJoin: return "inner join";
    case tjtLeftOuterJoin: return "left outer join";
    case tjtRightOuterJoin: return "right outer join";
    case tjtFullOuterJoin: return "full outer join";
    default: return "cross join";
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Relation nodes

TVdbQueryRelationNode::TVdbQueryRelationNode(TVdbQueryExecutionPlan& Plan, TVdbAccessor& Accessor)
    : TVdbQueryExecNode(Plan), FAccessor(Accessor) {}

void TVdbQueryRelationNode::SetIndex(std::int16_t IndexNo, bool Reverse,
                                     std::vector<TVdbFieldRating> LevelRatings) {
  FIndexNo = IndexNo;
  FReverse = Reverse;
  FLevelRatings = std::move(LevelRatings);
}

void TVdbQueryRelationNode::GetRltnIdxVector(std::vector<TVdbRelationIndex>& Vector) const {
  Vector.push_back(RltnIdx());
}

int TVdbQueryRelationNode::CalcRltnVectorIdx(int Start) {
  FRltnVectorIdx = Start;
  return Start + 1;
}

// The bound of the key range on one side: the rated levels' values, the other levels the value
// that sorts first (lower) or last (upper). False when no level has a bound on that side or a
// bound cannot be turned into a key (the walk is then not limited on that side).
bool TVdbQueryRelationNode::BoundKey(bool Upper, std::vector<std::uint8_t>& Item) {
  TVdbRelation& Relation = FAccessor.Relation();
  const TVdbSortDef* Def = Relation.GetIndexDefinition(FIndexNo);
  if (Def == nullptr || Def->IsCalculated) return false;
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(std::max(Relation.RecordSize(), 1)), 0);
  Relation.InitRecord(Record.data(), false);
  bool AnyBound = false;
  bool Open = false;  // a level without bound: the further levels take their extreme
  for (int Level = 0; Level < Def->LevelCount; ++Level) {
    const TVdbSortLevel& Item = Def->Items[static_cast<std::size_t>(Level)];
    const TVdbFieldRating* Rating =
        !Open && static_cast<std::size_t>(Level) < FLevelRatings.size() ? &FLevelRatings[static_cast<std::size_t>(Level)] : nullptr;
    // Walking the unmatched rows of an outer join, the other relations have no current row.
    if (Rating != nullptr && Rating->JoinedRltnIdx != 0 && FBrowseMode == qbmOuter) Rating = nullptr;
    // A descending level swaps the roles of the bounds.
    const bool WantUpper = Upper != Item.Descending;
    const TVdbExpression* Bound = Rating == nullptr ? nullptr : WantUpper ? Rating->UpperBound : Rating->LowerBound;
    bool Set = false;
    if (Rating != nullptr && Rating->LikePattern != nullptr) {
      Set = SetLikeBound(Relation, Record.data(), Item.FieldNo, *Rating, WantUpper);
    } else if (Bound != nullptr) {
      auto& Expression = const_cast<TVdbExpression&>(*Bound);
      TVdbRelationSet Ignored;
      Expression.CalcResult(Ignored);
      if (!Expression.ResultValue.IsEmpty() && !Expression.DataType()->IsNull(Expression.ResultValue)) {
        try {
          Relation.SetValue(Record.data(), Item.FieldNo, Expression.ResultValue, Expression.DataType());
          Set = true;
        } catch (const std::exception&) {
          Set = false;
        }
      } else if (Rating->NullMatches && Relation.GetColumnDef(Item.FieldNo).GetNullable()) {
        Relation.SetNull(Record.data(), Item.FieldNo);
        Set = true;
      } else {
        // A NULL bound: nothing compares equal or in order with it.
        FEmptyRange = true;
        return false;
      }
    }
    if (Set) {
      AnyBound = true;
      continue;
    }
    Open = true;
    // NULL sorts first: the lowest bound of a nullable level is NULL, not the type's minimum.
    if (!WantUpper && Relation.GetColumnDef(Item.FieldNo).GetNullable()) {
      Relation.SetNull(Record.data(), Item.FieldNo);
      continue;
    }
    const TVdbDataType* Type = Relation.GetDataType(Item.FieldNo);
    TVdbDataValue Field;
    Type->SetReference(Field, Relation.GetRecordField(Record.data(), Item.FieldNo));
    if (WantUpper) Type->GetMaximum(Field);
    else Type->GetMinimum(Field);
  }
  if (!AnyBound) return false;
  Item.assign(sizeof(TVdbLongIndexInfo), 0);
  // Record reference 1 marks the bound as set; keys are compared without it.
  Relation.CalcIndexInfo(Record.data(), *Def, *reinterpret_cast<TVdbLongIndexInfo*>(Item.data()), 1);
  return true;
}

// The literal prefix of a LIKE pattern bounds the walk from below: every text with that prefix
// sorts at or after the prefix. No upper bound is taken from it: under collations with
// multi-letter letters (Hungarian "cs", "dzs", ...) a text with the prefix can sort after the
// prefix followed by the highest character.
bool TVdbQueryRelationNode::SetLikeBound(TVdbRelation& Relation, std::uint8_t* Record, std::int16_t FieldNo,
                                         const TVdbFieldRating& Rating, bool Upper) {
  if (Upper) return false;
  auto& Pattern = const_cast<TVdbExpression&>(*Rating.LikePattern);
  TVdbRelationSet Ignored;
  Pattern.CalcResult(Ignored);
  if (Pattern.ResultValue.IsEmpty() || Pattern.DataType()->IsNull(Pattern.ResultValue)) {
    FEmptyRange = true;
    return false;
  }
  const std::u16string Prefix = LikePatternPrefix(Pattern.DataType()->GetWideString(Pattern.ResultValue), Rating.LikeEscape);
  if (Prefix.empty()) return false;
  try {
    Relation.SetAsStringW(Record, FieldNo, Prefix);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool TVdbQueryRelationNode::ApplyRange() {
  FEmptyRange = false;
  if (FIndexNo < 0) {
    const std::int16_t Result = FAccessor.SetAccess(kVdbAccessRecordNo, false);
    if (Result < 0) RaiseStep(FAccessor, Result);
    return true;
  }
  const std::int16_t Result = FAccessor.SetAccess(FIndexNo, FReverse);
  if (Result < 0) RaiseStep(FAccessor, Result);
  if (FLevelRatings.empty()) return true;
  // An empty index cannot be searched for a bound; there is nothing to walk anyway.
  if (FAccessor.Relation().RecordCount() == 0) {
    FEmptyRange = true;
    return false;
  }
  std::vector<std::uint8_t> Lower, Upper;
  const bool HasLower = BoundKey(false, Lower);
  if (FEmptyRange) return false;
  const bool HasUpper = BoundKey(true, Upper);
  if (FEmptyRange) return false;
  const std::size_t Size = std::max(FAccessor.CurrentIndexInfo().size(), sizeof(TVdbLongIndexInfo));
  if (HasLower) Lower.resize(Size, 0);
  if (HasUpper) Upper.resize(Size, 0);
  const std::int16_t Ranged = FAccessor.SetRange(static_cast<std::uint8_t>(FIndexNo), HasLower ? Lower.data() : nullptr,
                                                 HasUpper ? Upper.data() : nullptr);
  if (Ranged < 0) RaiseStep(FAccessor, Ranged);
  return true;
}

void TVdbQueryRelationNode::Reset() {
  FStarted = false;
  ApplyRange();
  FAccessor.ToBoT();
}

void TVdbQueryRelationNode::ToBot() { FAccessor.ToBoT(); }

TVdbQueryFindResult TVdbQueryRelationNode::Step() {
  if (FEmptyRange) return tqfFailure;
  // Every scan and every join steps through here: the place to notice a stop request.
  if (const TVdbServices* Services = FAccessor.Relation().Services()) Services->ThrowIfStopped();
  const std::int16_t Moved = FStarted ? FAccessor.Next() : FAccessor.First();
  FStarted = true;
  if (Moved == kVdbEndOfWalk) {
    FAccessor.ToBoT();
    return tqfFailure;
  }
  if (Moved < 0) RaiseStep(FAccessor, Moved);
  return tqfSuccess;
}

TVdbQueryFindResult TVdbQueryRelationNode::FindNext(int) {
  while (true) {
    const TVdbQueryFindResult Result = Step();
    if (Result != tqfSuccess) return Result;
    const auto RecNo = static_cast<std::size_t>(FAccessor.CurrentRecordNo());
    if (FBrowseMode == qbmOuter && RecNo < FVisitedRows.size() && FVisitedRows[RecNo]) continue;
    return tqfSuccess;
  }
}

void TVdbQueryRelationNode::SetBrowseMode(TVdbQueryBrowseMode Mode) {
  if (Mode == qbmLog && FBrowseMode != qbmLog) FVisitedRows.assign(static_cast<std::size_t>(FAccessor.Relation().RecordCount()) + 1, false);
  FBrowseMode = Mode;
}

void TVdbQueryRelationNode::MarkVisited() {
  const auto RecNo = static_cast<std::size_t>(std::max(FAccessor.CurrentRecordNo(), 0));
  if (FBrowseMode != qbmLog || RecNo == 0) return;
  if (RecNo >= FVisitedRows.size()) FVisitedRows.resize(RecNo + 1, false);
  FVisitedRows[RecNo] = true;
}

void TVdbQueryRelationNode::Describe(std::string& Text, int Depth) const {
  Text += Indent(Depth) + FAccessor.Relation().Name() + ": ";
  if (FIndexNo < 0) {
    Text += "scan in record order\n";
    return;
  }
  const std::string Spec = FAccessor.Relation().GetIndexSpecification(FIndexNo);
  Text += "index #" + std::to_string(FIndexNo) + (Spec.empty() ? "" : " (" + Spec + ")");
  if (FReverse) Text += " (reverse)";
  std::string Range;
  for (const TVdbFieldRating& Rating : FLevelRatings) {
    if (!Range.empty()) Range += ", ";
    Range += FAccessor.Relation().GetColumnDef(Rating.FieldNo).Name;
    if (Rating.LikePattern != nullptr) Range += " from the prefix of " + Rating.LikePattern->GetSqlText();
    else if (Rating.LowerBound == Rating.UpperBound && Rating.LowerBound != nullptr) Range += " = " + Rating.LowerBound->GetSqlText();
    else {
      if (Rating.LowerBound != nullptr) Range += " >= " + Rating.LowerBound->GetSqlText();
      if (Rating.UpperBound != nullptr) Range += std::string(Rating.LowerBound ? " and" : "") + " <= " + Rating.UpperBound->GetSqlText();
    }
  }
  Text += Range.empty() ? ", whole index\n" : ", key range " + Range + "\n";
}

// ---------------------------------------------------------------------------------------------
// Operator nodes

TVdbQueryOperatorNode::TVdbQueryOperatorNode(TVdbQueryExecutionPlan& Plan, std::unique_ptr<TVdbQueryExecNode> Left,
                                             TVdbJoinType Operator, std::unique_ptr<TVdbQueryExecNode> Right,
                                             TVdbSearchCondition* OnCondition)
    : TVdbQueryExecNode(Plan),
      FLeftOperand(std::move(Left)),
      FOperator(Operator),
      FRightOperand(std::move(Right)),
      FSearchCondition(OnCondition) {}

void TVdbQueryOperatorNode::GetRltnIdxVector(std::vector<TVdbRelationIndex>& Vector) const {
  FLeftOperand->GetRltnIdxVector(Vector);
  FRightOperand->GetRltnIdxVector(Vector);
}

int TVdbQueryOperatorNode::CalcRltnVectorIdx(int Start) {
  FRltnVectorIdx = Start;
  return FRightOperand->CalcRltnVectorIdx(FLeftOperand->CalcRltnVectorIdx(Start));
}

void TVdbQueryOperatorNode::Reset() {
  FPhase = phStart;
  FLeftHadMatch = false;
  FLeftPadded = false;
  FLeftOperand->Reset();
  if (FOperator == tjtRightOuterJoin || FOperator == tjtFullOuterJoin) {
    // A fresh log of the visited right rows for every run.
    FRightOperand->SetBrowseMode(qbmNormal);
    FRightOperand->SetBrowseMode(qbmLog);
  }
  FRightOperand->Reset();
}

void TVdbQueryOperatorNode::ToBot() {
  FLeftOperand->ToBot();
  FRightOperand->ToBot();
}

bool TVdbQueryOperatorNode::OnConditionHolds(int& CutPos) {
  if (FSearchCondition == nullptr) return true;
  TVdbRelationSet Decided;
  if (FSearchCondition->EvaluateTruth(Decided) == tvTrue) return true;
  CutPos = FQueryExecPlan.CutPositionOf(Decided);
  return false;
}

TVdbQueryFindResult TVdbQueryOperatorNode::NextMatchingRight(int CutPos) {
  while (true) {
    // A cut inside the left side means: no further right row can change the answer.
    if (CutPos < FRightOperand->RltnVectorIdx()) return tqfFailure;
    if (FRightOperand->FindNext(CutPos) != tqfSuccess) return tqfFailure;
    CutPos = kVdbNoCut;
    if (OnConditionHolds(CutPos)) {
      FRightOperand->MarkVisited();
      return tqfSuccess;
    }
  }
}

TVdbQueryFindResult TVdbQueryOperatorNode::NextLeft(int CutPos) {
  const TVdbQueryFindResult Result = FLeftOperand->FindNext(CutPos);
  if (Result != tqfSuccess) return Result;
  FLeftHadMatch = false;
  FRightOperand->Reset();
  return tqfSuccess;
}

TVdbQueryFindResult TVdbQueryOperatorNode::FindNext(int CutPos) {
  const bool LeftOuter = FOperator == tjtLeftOuterJoin || FOperator == tjtFullOuterJoin;
  const bool RightOuter = FOperator == tjtRightOuterJoin || FOperator == tjtFullOuterJoin;
  while (true) {
    switch (FPhase) {
      case phStart:
        if (NextLeft(kVdbNoCut) != tqfSuccess) {
          FPhase = RightOuter ? phOuterRight : phDone;
          if (RightOuter) {
            FRightOperand->SetBrowseMode(qbmOuter);
            FRightOperand->Reset();
            FRightOperand->SetBrowseMode(qbmOuter);
            FLeftOperand->ToBot();
          }
          continue;
        }
        FPhase = phRight;
        CutPos = kVdbNoCut;
        [[fallthrough]];
      case phRight: {
        if (CutPos >= FRightOperand->RltnVectorIdx() && !FLeftPadded &&
            NextMatchingRight(CutPos) == tqfSuccess) {
          FLeftHadMatch = true;
          return tqfSuccess;
        }
        if (FLeftPadded) FLeftPadded = false;
        else if (LeftOuter && !FLeftHadMatch) {
          // The left row once, with the right side before its first row (NULL columns).
          FRightOperand->ToBot();
          FLeftHadMatch = true;
          FLeftPadded = true;
          return tqfSuccess;
        }
        const int LeftCut = CutPos < FRightOperand->RltnVectorIdx() ? CutPos : kVdbNoCut;
        if (NextLeft(LeftCut) != tqfSuccess) {
          FPhase = phStart;
          // The left side is exhausted: the outer part of a right join follows.
          if (RightOuter) {
            FPhase = phOuterRight;
            FRightOperand->SetBrowseMode(qbmOuter);
            FRightOperand->Reset();
            FRightOperand->SetBrowseMode(qbmOuter);
            FLeftOperand->ToBot();
          } else {
            FPhase = phDone;
          }
          continue;
        }
        CutPos = kVdbNoCut;
        continue;
      }
      case phOuterRight:
        if (FRightOperand->FindNext(kVdbNoCut) == tqfSuccess) {
          FLeftOperand->ToBot();
          return tqfSuccess;
        }
        FPhase = phDone;
        continue;
      case phDone:
        return tqfFailure;
    }
  }
}

void TVdbQueryOperatorNode::SetBrowseMode(TVdbQueryBrowseMode Mode) {
  FBrowseMode = Mode;
  FLeftOperand->SetBrowseMode(Mode);
  FRightOperand->SetBrowseMode(Mode);
}

void TVdbQueryOperatorNode::MarkVisited() {
  FLeftOperand->MarkVisited();
  FRightOperand->MarkVisited();
}

void TVdbQueryOperatorNode::Describe(std::string& Text, int Depth) const {
  Text += Indent(Depth) + JoinName(FOperator);
  if (FSearchCondition != nullptr) Text += " on " + FSearchCondition->GetSqlText();
  Text += "\n";
  FLeftOperand->Describe(Text, Depth + 1);
  FRightOperand->Describe(Text, Depth + 1);
}

// ---------------------------------------------------------------------------------------------
// The plan

TVdbQueryExecutionPlan::TVdbQueryExecutionPlan(TVdbCatalog* Catalog, TVdbAccessorSet& Context)
    : FCatalog(Catalog), FContext(Context) {}

TVdbQueryExecutionPlan::~TVdbQueryExecutionPlan() = default;

void TVdbQueryExecutionPlan::SetRelationTree(std::unique_ptr<TVdbQueryExecNode> Tree) {
  FRelationTree = std::move(Tree);
  FRltnIdxVector.clear();
  if (!FRelationTree) return;
  FRelationTree->GetRltnIdxVector(FRltnIdxVector);
  FRelationTree->CalcRltnVectorIdx(0);
}

int TVdbQueryExecutionPlan::PositionOf(TVdbRelationIndex RltnIdx) const {
  const auto It = std::find(FRltnIdxVector.begin(), FRltnIdxVector.end(), RltnIdx);
  return It == FRltnIdxVector.end() ? -1 : static_cast<int>(It - FRltnIdxVector.begin());
}

int TVdbQueryExecutionPlan::CutPositionOf(const TVdbRelationSet& Decided) const {
  int Cut = -1;
  for (std::size_t I = 0; I < FRltnIdxVector.size(); ++I)
    if (FRltnIdxVector[I] > 0 && Decided.test(static_cast<std::size_t>(FRltnIdxVector[I]))) Cut = static_cast<int>(I);
  // Nothing of the plan decided it (a constant, a parameter, an outer row): advance normally.
  return Cut < 0 ? kVdbNoCut : Cut;
}

void TVdbQueryExecutionPlan::Initialize() { FRowAccessCount = 0; }

void TVdbQueryExecutionPlan::Reset() {
  FCutPos = kVdbNoCut;
  if (FRelationTree && !FDetached) FRelationTree->Reset();
}

bool TVdbQueryExecutionPlan::FindNext() {
  if (!FRelationTree || FDetached) return false;
  while (true) {
    const TVdbQueryFindResult Found = FRelationTree->FindNext(FCutPos);
    FCutPos = kVdbNoCut;
    if (Found != tqfSuccess) return false;
    ++FRowAccessCount;
    if (FOnNeedOuterReferences) FOnNeedOuterReferences();
    if (FSearchCondition == nullptr) return true;
    TVdbRelationSet Decided;
    if (FSearchCondition->EvaluateTruth(Decided) == tvTrue) return true;
    FCutPos = CutPositionOf(Decided);
  }
}

std::string TVdbQueryExecutionPlan::Describe() const {
  std::string Text;
  if (FRelationTree) FRelationTree->Describe(Text, 0);
  return Text;
}

}  // namespace vdb
