#include "sql/VdbExpression.h"

#include <gtest/gtest.h>

#include <functional>

#include "VdbExpressionTestSupport.h"
#include "base/VdbErrors.h"

namespace vdb {
namespace {

using test::TFakeContext;
using T = TVdbDataType;
using ExprPtr = std::unique_ptr<TVdbExpression>;
using CondPtr = std::unique_ptr<TVdbSearchCondition>;
using FactorPtr = std::unique_ptr<TVdbBooleanFactor>;

// --- Builders (what the parser would build) ---

const TVdbDataType* BigIntLiteralType() { return T::GetDataType(kVdbBigIntCode, false, kVdbLiteralLevel); }

ExprPtr Col(std::string Name) { return TVdbExpression::FromFactor(TVdbSimpleFactor::CreateColumn(std::move(Name))); }
ExprPtr Int(std::int64_t V) {
  return TVdbExpression::FromFactor(TVdbSimpleFactor::CreateLiteral(std::to_string(V), BigIntLiteralType()));
}
ExprPtr Num(std::string Text) {
  return TVdbExpression::FromFactor(TVdbSimpleFactor::CreateLiteral(std::move(Text), T::GetFloatType(false, kVdbLiteralLevel, 2)));
}
ExprPtr Str(std::string Text) { return TVdbExpression::FromFactor(TVdbSimpleFactor::CreateStringLiteral(std::move(Text))); }
ExprPtr Null() { return TVdbExpression::FromFactor(TVdbSimpleFactor::CreateNull()); }
ExprPtr Param(std::string Name) { return TVdbExpression::FromFactor(TVdbSimpleFactor::CreateParameter(std::move(Name))); }

// One factor of an expression (its first term's factor), taken out for building chains.
std::unique_ptr<TVdbFactor> FactorOf(ExprPtr E) { return E->SingleFactor()->Clone(); }

// f1 op1 f2 op2 f3 ... as the parser builds a term chain (right-recursive).
std::unique_ptr<TVdbTerm> TermChain(std::vector<ExprPtr> Factors, std::vector<TVdbDataBinaryOperator> Ops) {
  std::unique_ptr<TVdbTerm> Rest = std::make_unique<TVdbTerm>(FactorOf(std::move(Factors.back())));
  for (std::size_t I = Factors.size() - 1; I-- > 0;)
    Rest = std::make_unique<TVdbTerm>(FactorOf(std::move(Factors[I])), Ops[I], std::move(Rest));
  return Rest;
}
ExprPtr Terms(std::vector<ExprPtr> Factors, std::vector<TVdbDataBinaryOperator> Ops) {
  return std::make_unique<TVdbExpression>(TermChain(std::move(Factors), std::move(Ops)));
}
// t1 op1 t2 op2 t3 ... with the operators as written.
ExprPtr Sum(std::vector<ExprPtr> Factors, std::vector<TVdbDataBinaryOperator> Ops) {
  std::vector<std::unique_ptr<TVdbTerm>> Terms;
  for (auto& F : Factors) Terms.push_back(std::make_unique<TVdbTerm>(FactorOf(std::move(F))));
  return TVdbExpression::FromChain(std::move(Terms), Ops);
}

FactorPtr Cmp(ExprPtr L, TVdbComparisonOperator Op, ExprPtr R) {
  return TVdbBooleanFactor::CreateComparison(std::move(L), Op, std::move(R));
}
FactorPtr Like(ExprPtr L, ExprPtr Pattern, char16_t Escape = 0) {
  auto F = Cmp(std::move(L), tcoLike, std::move(Pattern));
  F->SetLikeEscapeChar(Escape);
  return F;
}
FactorPtr Not(FactorPtr F) {
  F->ToggleNot();
  return F;
}
CondPtr Cond(FactorPtr F) { return TVdbSearchCondition::FromFactor(std::move(F)); }
CondPtr And(FactorPtr A, FactorPtr B) {
  return std::make_unique<TVdbSearchCondition>(
      std::make_unique<TVdbBooleanTerm>(std::move(A), std::make_unique<TVdbBooleanTerm>(std::move(B))));
}
CondPtr Or(FactorPtr A, FactorPtr B) {
  return std::make_unique<TVdbSearchCondition>(std::make_unique<TVdbBooleanTerm>(std::move(A)), Cond(std::move(B)));
}
FactorPtr Parens(CondPtr C) { return TVdbBooleanFactor::CreateParenthesized(std::move(C)); }

// The engine error number of running Fn, with its message; 0 when nothing was raised.
std::pair<int, std::string> EngineError(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (const EVdbEngine& E) {
    return {E.Code(), E.what()};
  }
  return {0, {}};
}

std::string Text(const TVdbExpression& E) { return E.DataType()->ToString(E.ResultValue); }

// --- Fixture: a lexicon table (relation 1) and a number table (relation 2) ---

class ExpressionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const TVdbDataType* Headword = T::GetStringType(kVdbStringCode, true, 6, 40, "Hungarian_ci_as");
    const TVdbDataType* Memo = T::GetStringType(kVdbMemoCode, true, 6, 0, "Hungarian_ci_as");
    FContext.AddTable("Data", 1, {{"CIMSZO", Headword}, {"LEIRAS", Memo}});
    const TVdbDataType* Int = T::GetDataType(kVdbIntegerCode, true, 6);
    FContext.AddTable("Num", 2, {{"A", Int}, {"B", Int}, {"F", T::GetFloatType(true, 6, 2)}});
    FContext.SetRow(0, {"Agancs", "leírás"});
    FContext.SetRow(1, {"1", "2", "1.5"});
    FContext.SetParameters(&FParameters);
  }
  void SetNumbers(std::optional<std::string> A, std::optional<std::string> B) {
    FContext.SetRow(1, {std::move(A), std::move(B), "1.5"});
  }
  void SetLexicon(std::optional<std::string> Headword, std::optional<std::string> Memo) {
    FContext.SetRow(0, {std::move(Headword), std::move(Memo)});
  }
  std::string Calc(TVdbExpression& E) {
    E.Prepare(&FContext, 0);
    E.Calculate();
    return Text(E);
  }
  TVdbTruthValue Truth(TVdbSearchCondition& C, TVdbPrepareOptions Options = 0) {
    C.Prepare(&FContext, Options);
    TVdbRelationSet Set;
    return C.EvaluateTruth(Set);
  }
  TVdbTruthValue Truth(CondPtr C) { return Truth(*C); }
  TVdbTruthValue Truth(FactorPtr F) { return Truth(Cond(std::move(F))); }

  TFakeContext FContext;
  TVdbVariables FParameters;
};

// --- Arithmetic ---

TEST_F(ExpressionTest, ArithmeticEvaluatesFromLeftToRight) {
  struct Case {
    const char* Name;
    std::function<ExprPtr()> Build;
    const char* Value;
    const char* SqlText;
  } Cases[] = {
      {"10 / 5 * 2", [] { return Terms(
          [] { std::vector<ExprPtr> V; V.push_back(Int(10)); V.push_back(Int(5)); V.push_back(Int(2)); return V; }(),
          {dboDivide, dboMultiply}); }, "4", "10 / 5 * 2"},
      {"20 / 2 / 5", [] { return Terms(
          [] { std::vector<ExprPtr> V; V.push_back(Int(20)); V.push_back(Int(2)); V.push_back(Int(5)); return V; }(),
          {dboDivide, dboDivide}); }, "2", "20 / 2 / 5"},
      {"10 - 5 + 2", [] { return Sum(
          [] { std::vector<ExprPtr> V; V.push_back(Int(10)); V.push_back(Int(5)); V.push_back(Int(2)); return V; }(),
          {dboMinus, dboPlus}); }, "7", "10 - 5 + 2"},
      {"10 - 5 - 2", [] { return Sum(
          [] { std::vector<ExprPtr> V; V.push_back(Int(10)); V.push_back(Int(5)); V.push_back(Int(2)); return V; }(),
          {dboMinus, dboMinus}); }, "3", "10 - 5 - 2"},
      {"10 - 5 + 2 - 1", [] { return Sum(
          [] { std::vector<ExprPtr> V; V.push_back(Int(10)); V.push_back(Int(5)); V.push_back(Int(2)); V.push_back(Int(1)); return V; }(),
          {dboMinus, dboPlus, dboMinus}); }, "6", "10 - 5 + 2 - 1"},
      {"10 - 5 - 2 - 1", [] { return Sum(
          [] { std::vector<ExprPtr> V; V.push_back(Int(10)); V.push_back(Int(5)); V.push_back(Int(2)); V.push_back(Int(1)); return V; }(),
          {dboMinus, dboMinus, dboMinus}); }, "2", "10 - 5 - 2 - 1"},
      {"10 + 5 - 2 + 1", [] { return Sum(
          [] { std::vector<ExprPtr> V; V.push_back(Int(10)); V.push_back(Int(5)); V.push_back(Int(2)); V.push_back(Int(1)); return V; }(),
          {dboPlus, dboMinus, dboPlus}); }, "14", "10 + 5 - 2 + 1"},
      {"A + B * 3 (columns)", [] {
          std::vector<ExprPtr> F; F.push_back(Col("B")); F.push_back(Int(3));
          return std::make_unique<TVdbExpression>(std::make_unique<TVdbTerm>(FactorOf(Col("A"))), dboPlus,
                                                  Terms(std::move(F), {dboMultiply})); }, "7", "A + B * 3"},
      {"17 MOD 5", [] { return Terms(
          [] { std::vector<ExprPtr> V; V.push_back(Int(17)); V.push_back(Int(5)); return V; }(), {dboMod}); }, "2", "17 MOD 5"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    ExprPtr E = C.Build();
    EXPECT_EQ(Calc(*E), C.Value);
    EXPECT_EQ(E->GetSqlText(), C.SqlText);
    // A copy computes the same and keeps the text.
    ExprPtr Copy = E->Clone();
    EXPECT_EQ(Calc(*Copy), C.Value);
    EXPECT_EQ(Copy->GetSqlText(), C.SqlText);
  }
}

TEST_F(ExpressionTest, NullOperandGivesNull) {
  SetNumbers(std::nullopt, "2");
  std::vector<ExprPtr> F;
  F.push_back(Col("A"));
  F.push_back(Col("B"));
  ExprPtr E = Sum(std::move(F), {dboPlus});
  E->Prepare(&FContext, 0);
  E->Calculate();
  EXPECT_TRUE(E->DataType()->IsNull(E->ResultValue));

  std::vector<ExprPtr> G;
  G.push_back(Int(1));
  G.push_back(Null());
  ExprPtr WithNullLiteral = Sum(std::move(G), {dboPlus});
  WithNullLiteral->Prepare(&FContext, 0);
  WithNullLiteral->Calculate();
  EXPECT_TRUE(WithNullLiteral->DataType()->IsNull(WithNullLiteral->ResultValue));
}

TEST_F(ExpressionTest, MinusSignNegatesTheFactor) {
  auto F = TVdbSimpleFactor::CreateColumn("B");
  F->SetSign(sfsMinus);
  std::vector<ExprPtr> V;
  V.push_back(Col("A"));
  V.push_back(TVdbExpression::FromFactor(std::move(F)));
  ExprPtr E = Sum(std::move(V), {dboPlus});
  EXPECT_EQ(Calc(*E), "-1");
  EXPECT_EQ(E->GetSqlText(), "A + -B");
}

TEST_F(ExpressionTest, OverflowIsErrorWithTheExpressionText) {
  std::vector<ExprPtr> V;
  V.push_back(Int(9223372036854775807));
  V.push_back(Int(1));
  ExprPtr E = Sum(std::move(V), {dboPlus});
  E->Prepare(&FContext, 0);
  auto [Code, Message] = EngineError([&] { E->Calculate(); });
  EXPECT_EQ(Code, 43);
  EXPECT_EQ(Message, "The value is outside the allowed range: \"9223372036854775807 + 1\"");

  std::vector<ExprPtr> W;
  W.push_back(Num("1e308"));
  W.push_back(Num("10"));
  ExprPtr Float = Terms(std::move(W), {dboMultiply});
  Float->Prepare(&FContext, 0);
  EXPECT_EQ(EngineError([&] { Float->Calculate(); }).first, 43);
}

TEST_F(ExpressionTest, ParametersTakeTheColumnTypeAndNeedAValue) {
  CondPtr C = Cond(Cmp(Col("A"), tcoEqual, Param("p")));
  C->Prepare(&FContext, 0);
  TVdbVariable* P = FParameters.Find("P");
  ASSERT_NE(P, nullptr);
  ASSERT_NE(P->DataType(), nullptr);
  EXPECT_EQ(P->DataType()->ColumnType(), kVdbIntegerCode);

  auto [Code, Message] = EngineError([&] { C->Evaluate(); });
  EXPECT_EQ(Code, 161);
  EXPECT_EQ(Message, "The expression does not evaluate to a value");

  TVdbDataValue One;
  P->DataType()->SetInteger(One, 1);
  P->SetValue(One, P->DataType());
  EXPECT_TRUE(C->Evaluate());
  P->DataType()->SetInteger(One, 5);
  P->SetValue(One, P->DataType());
  EXPECT_FALSE(C->Evaluate());
}

TEST_F(ExpressionTest, CaseTakesTheFirstTrueBranch) {
  auto Case = std::make_unique<TVdbSqlCaseOperation>();
  Case->AddWhen(Cond(Cmp(Col("A"), tcoGreater, Int(5))), Str("big"));
  Case->AddWhen(Cond(Cmp(Col("A"), tcoEqual, Int(1))), Str("one"));
  Case->SetElse(Str("other"));
  ExprPtr E = TVdbExpression::FromFactor(std::move(Case));
  EXPECT_EQ(Calc(*E), "one");
  SetNumbers("9", "0");
  E->Calculate();
  EXPECT_EQ(Text(*E), "big");
  SetNumbers("3", "0");
  E->Calculate();
  EXPECT_EQ(Text(*E), "other");

  // Without ELSE and without a TRUE branch the expression has no value.
  auto NoElse = std::make_unique<TVdbSqlCaseOperation>();
  NoElse->AddWhen(Cond(Cmp(Col("A"), tcoGreater, Int(5))), Int(1));
  ExprPtr F = TVdbExpression::FromFactor(std::move(NoElse));
  F->Prepare(&FContext, 0);
  EXPECT_EQ(EngineError([&] { F->Calculate(); }).first, 161);
}

// --- Comparisons and three-valued logic ---

TEST_F(ExpressionTest, ComparisonsWithNull) {
  SetNumbers(std::nullopt, "2");
  EXPECT_EQ(Truth(Cmp(Col("A"), tcoEqual, Int(1))), tvUnknown);
  EXPECT_EQ(Truth(Not(Cmp(Col("A"), tcoEqual, Int(1)))), tvUnknown);
  EXPECT_EQ(Truth(Cmp(Null(), tcoEqual, Int(1))), tvUnknown);
  EXPECT_EQ(Truth(Cmp(Col("A"), tcoUnequal, Col("B"))), tvUnknown);
  EXPECT_EQ(Truth(Cmp(Col("A"), tcoEqualNull, Col("B"))), tvFalse);
  EXPECT_EQ(Truth(Cmp(Col("A"), tcoEqualNull, Null())), tvTrue);
  EXPECT_EQ(Truth(TVdbBooleanFactor::CreateNullTest(Col("A"), false)), tvTrue);
  EXPECT_EQ(Truth(TVdbBooleanFactor::CreateNullTest(Col("A"), true)), tvFalse);
  EXPECT_EQ(Truth(Not(TVdbBooleanFactor::CreateNullTest(Col("B"), false))), tvTrue);

  auto Values = std::make_unique<TVdbSqlValueSet>();
  Values->Add(Int(1));
  Values->Add(Int(2));
  EXPECT_EQ(Truth(TVdbBooleanFactor::CreateIn(Col("A"), std::move(Values))), tvUnknown);
  // A NULL row is not selected.
  CondPtr C = Cond(Cmp(Col("A"), tcoEqual, Int(1)));
  C->Prepare(&FContext, 0);
  EXPECT_FALSE(C->Evaluate());
}

TEST_F(ExpressionTest, ComparisonOperators) {
  SetNumbers("3", "5");
  struct Case {
    TVdbComparisonOperator Op;
    TVdbTruthValue Expected;
  } Cases[] = {{tcoEqual, tvFalse},          {tcoUnequal, tvTrue},  {tcoLess, tvTrue},
               {tcoLessOrEqual, tvTrue},     {tcoGreater, tvFalse}, {tcoGreaterOrEqual, tvFalse},
               {tcoEqualNull, tvFalse}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(ComparisonOperatorText(C.Op));
    EXPECT_EQ(Truth(Cmp(Col("A"), C.Op, Col("B"))), C.Expected);
    EXPECT_EQ(Truth(Cmp(Col("A"), C.Op, Col("A"))), C.Op == tcoEqual || C.Op == tcoEqualNull ||
                                                            C.Op == tcoLessOrEqual || C.Op == tcoGreaterOrEqual
                                                        ? tvTrue
                                                        : tvFalse);
  }
  // An integer column against a floating-point literal compares as numbers.
  EXPECT_EQ(Truth(Cmp(Col("A"), tcoLess, Num("3.5"))), tvTrue);
  EXPECT_EQ(Truth(Cmp(Col("F"), tcoGreater, Int(1))), tvTrue);
}

TEST_F(ExpressionTest, BetweenAndIn) {
  for (const char* X : {"0", "1", "3", "5", "9"}) {
    SetNumbers(X, "0");
    SCOPED_TRACE(X);
    EXPECT_EQ(Truth(TVdbBooleanFactor::CreateBetween(Col("A"), Int(5), Int(1))), tvFalse);
  }
  SetNumbers("3", "0");
  EXPECT_EQ(Truth(TVdbBooleanFactor::CreateBetween(Col("A"), Int(1), Int(5))), tvTrue);
  EXPECT_EQ(Truth(TVdbBooleanFactor::CreateBetween(Col("A"), Int(3), Int(3))), tvTrue);
  EXPECT_EQ(Truth(Not(TVdbBooleanFactor::CreateBetween(Col("A"), Int(4), Int(5)))), tvTrue);
  EXPECT_EQ(Truth(TVdbBooleanFactor::CreateBetween(Col("A"), Null(), Int(5))), tvUnknown);
  EXPECT_EQ(Truth(TVdbBooleanFactor::CreateBetween(Col("A"), Null(), Int(2))), tvFalse);

  auto In = [](std::vector<ExprPtr> Items) {
    auto Values = std::make_unique<TVdbSqlValueSet>();
    for (auto& I : Items) Values->Add(std::move(I));
    return TVdbBooleanFactor::CreateIn(Col("A"), std::move(Values));
  };
  std::vector<ExprPtr> Hit;
  Hit.push_back(Int(1));
  Hit.push_back(Int(3));
  EXPECT_EQ(Truth(In(std::move(Hit))), tvTrue);
  std::vector<ExprPtr> Miss;
  Miss.push_back(Int(1));
  Miss.push_back(Int(2));
  EXPECT_EQ(Truth(In(std::move(Miss))), tvFalse);
  // The last item compared decides when none is TRUE.
  std::vector<ExprPtr> NullLast;
  NullLast.push_back(Int(1));
  NullLast.push_back(Null());
  EXPECT_EQ(Truth(In(std::move(NullLast))), tvUnknown);
  std::vector<ExprPtr> NullFirst;
  NullFirst.push_back(Null());
  NullFirst.push_back(Int(3));
  EXPECT_EQ(Truth(In(std::move(NullFirst))), tvTrue);
  EXPECT_EQ(Truth(In({})), tvFalse);
}

// A factor on relation 1 (Data) or 2 (Num) that yields a chosen truth value: the headword is
// "Agancs", A is 1 and B is NULL.
FactorPtr Yields(TVdbTruthValue V, bool OnData) {
  if (OnData) {
    switch (V) {
      case tvTrue: return Cmp(Col("CIMSZO"), tcoEqual, Str("agancs"));
      case tvFalse: return Cmp(Col("CIMSZO"), tcoEqual, Str("x"));
      default: return Cmp(Col("CIMSZO"), tcoEqual, Null());
    }
  }
  switch (V) {
    case tvTrue: return Cmp(Col("A"), tcoEqual, Int(1));
    case tvFalse: return Cmp(Col("A"), tcoEqual, Int(2));
    default: return Cmp(Col("B"), tcoEqual, Int(1));
  }
}

TEST_F(ExpressionTest, ThreeValuedTruthTablesAndDecidingRelations) {
  SetNumbers("1", std::nullopt);
  const TVdbTruthValue V[] = {tvTrue, tvFalse, tvUnknown};
  const TVdbTruthValue AndTable[3][3] = {{tvTrue, tvFalse, tvUnknown},
                                         {tvFalse, tvFalse, tvFalse},
                                         {tvUnknown, tvFalse, tvUnknown}};
  const TVdbTruthValue OrTable[3][3] = {{tvTrue, tvTrue, tvTrue},
                                        {tvTrue, tvFalse, tvUnknown},
                                        {tvTrue, tvUnknown, tvUnknown}};
  TVdbRelationSet Data, Num, Both;
  Data.set(1);
  Num.set(2);
  Both = Data | Num;
  for (int L = 0; L < 3; ++L) {
    for (int R = 0; R < 3; ++R) {
      SCOPED_TRACE(testing::Message() << "left " << L << " right " << R);
      CondPtr A = And(Yields(V[L], true), Yields(V[R], false));
      A->Prepare(&FContext, 0);
      TVdbRelationSet AndSet;
      EXPECT_EQ(A->EvaluateTruth(AndSet), AndTable[L][R]);
      // FALSE on the left decides alone; a FALSE rest decides alone; else both sides did.
      EXPECT_EQ(AndSet, V[L] == tvFalse ? Data : V[R] == tvFalse ? Num : Both);

      CondPtr O = Or(Yields(V[L], true), Yields(V[R], false));
      O->Prepare(&FContext, 0);
      TVdbRelationSet OrSet;
      EXPECT_EQ(O->EvaluateTruth(OrSet), OrTable[L][R]);
      EXPECT_EQ(OrSet, V[L] == tvTrue ? Data : V[R] == tvTrue ? Num : Both);
      EXPECT_EQ(O->Evaluate(), OrTable[L][R] == tvTrue);
    }
    SCOPED_TRACE(testing::Message() << "not " << L);
    EXPECT_EQ(Truth(Not(Yields(V[L], false))), TruthNot(V[L]));
    EXPECT_EQ(Truth(Not(Parens(Cond(Yields(V[L], true))))), TruthNot(V[L]));
  }
}

// --- LIKE ---

TEST_F(ExpressionTest, LikeUnderTheHeadwordCollation) {
  struct Case {
    const char* Headword;
    const char* Pattern;
    bool Matches;
  } Cases[] = {
      {"Agancs-csörtölés", "%tölés%", true}, {"TÖLÉS", "%tölés%", true},
      {"tolés", "%tölés%", false},           {"Róka", "%róka%", true},
      {"RÓKA", "%róka%", true},              {"rókalyuk", "%róka%", true},
      {"Roka", "%róka%", false},             {"Agancs", "agancs", true},
      {"Agancs", "_gancs", true},            {"Agancs", "__ancs%", true},
      {"Agancs", "Agancs_", false},          {"Agancs", "Ag%s", true},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::string(C.Headword) + " LIKE " + C.Pattern);
    SetLexicon(C.Headword, "x");
    EXPECT_EQ(Truth(Like(Col("CIMSZO"), Str(C.Pattern))), TruthOf(C.Matches));
  }
}

// String literals compare under the engine collation, which ignores case.
TEST_F(ExpressionTest, LikeJokersEscapesAndNulls) {
  struct Case {
    const char* Value;
    const char* Pattern;
    char16_t Escape;
    TVdbTruthValue Expected;
  } Cases[] = {
      {"abc", "abc%%", 0, tvTrue}, {"", "%%", 0, tvTrue},         {"a_c", "a!_c", u'!', tvTrue},
      {"abc", "a!_c", u'!', tvFalse}, {"a%c", "a!%c", u'!', tvTrue}, {"abc", "a!%c", u'!', tvFalse},
      {"abc", "abc!", u'!', tvFalse}, {"abc", "ABC", 0, tvTrue},     {"abc", "a_c", 0, tvTrue},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::string(C.Value) + " LIKE " + C.Pattern);
    EXPECT_EQ(Truth(Like(Str(C.Value), Str(C.Pattern), C.Escape)), C.Expected);
  }
  EXPECT_EQ(Truth(Like(Null(), Str("%"))), tvFalse);
  EXPECT_EQ(Truth(Not(Like(Null(), Str("%")))), tvTrue);
  SetLexicon(std::nullopt, "x");
  EXPECT_EQ(Truth(Like(Col("CIMSZO"), Str("%"))), tvFalse);
  EXPECT_EQ(Truth(Not(Like(Col("CIMSZO"), Str("%")))), tvTrue);
  EXPECT_EQ(Like(Col("CIMSZO"), Str("a!_c"), u'!')->GetSqlText(), "CIMSZO LIKE 'a!_c' ESCAPE '!'");
}

TEST_F(ExpressionTest, SearchReadsTheMemoOnlyWhenTheHeadwordDidNotMatch) {
  // CIMSZO LIKE p OR LEIRAS LIKE p, with p = '%róka%'.
  CondPtr Search = Or(Like(Col("CIMSZO"), Str("%róka%")), Like(Col("LEIRAS"), Str("%róka%")));
  Search->Prepare(&FContext, 0);
  struct Row {
    std::optional<std::string> Headword, Memo;
    bool Selected;
    int MemoReads;
  } Rows[] = {
      {"Rókalyuk", "a róka lakása", true, 0},
      {"Vadkan", "nem rókáról szól", false, 1},
      {"Borz", "a rókával osztozik a váron, " + std::string(40000, 'x') + " RÓKA", true, 1},
      {std::nullopt, "róka", true, 1},
      {"Őz", std::nullopt, false, 1},
  };
  for (const auto& R : Rows) {
    SCOPED_TRACE(R.Headword.value_or("NULL"));
    SetLexicon(R.Headword, R.Memo);
    FContext.ResetReads();
    EXPECT_EQ(Search->Evaluate(), R.Selected);
    EXPECT_EQ(FContext.Reads("Data.CIMSZO"), 1);
    EXPECT_EQ(FContext.Reads("Data.LEIRAS"), R.MemoReads);
  }
  EXPECT_EQ(Search->GetSqlText(), "CIMSZO LIKE '%róka%' OR LEIRAS LIKE '%róka%'");
}

TEST_F(ExpressionTest, LikeOnALongMemoMatchesTheWholeText) {
  SetLexicon("x", std::string(50000, 'a') + "vége");
  EXPECT_EQ(Truth(Like(Col("LEIRAS"), Str("%VÉGE"))), tvTrue);
}

TEST_F(ExpressionTest, HasIsExactSubstring) {
  SetLexicon("Agancs-csörtölés", "x");
  EXPECT_EQ(Truth(Cmp(Col("CIMSZO"), tcoHas, Str("csör"))), tvTrue);
  EXPECT_EQ(Truth(Cmp(Col("CIMSZO"), tcoHas, Str("CSÖR"))), tvFalse);
  EXPECT_EQ(Truth(Cmp(Col("CIMSZO"), tcoHas, Null())), tvFalse);
}

TEST_F(ExpressionTest, JokerOptionTurnsEqualityIntoLike) {
  SetLexicon("Agancs-csörtölés", "x");
  CondPtr C = Cond(Cmp(Col("CIMSZO"), tcoEqual, Str("agancs*")));
  EXPECT_EQ(Truth(*C, PrepareOption(tpoUseJokers)), tvTrue);
  EXPECT_EQ(C->GetSqlText(), "CIMSZO LIKE 'agancs%'");
  CondPtr Plain = Cond(Cmp(Col("CIMSZO"), tcoEqual, Str("agancs*")));
  EXPECT_EQ(Truth(*Plain), tvFalse);
}

TEST_F(ExpressionTest, CaseInsensitiveOptionIgnoresCaseOfCaseSensitiveColumns) {
  FContext.AddTable("Codes", 3, {{"KOD", T::GetStringType(kVdbStringCode, true, 6, 20, "Hungarian_cs_as")}});
  FContext.SetRow(2, {"Őzbak"});
  const TVdbPrepareOptions CaseInsensitive = PrepareOption(tpoCaseInsensitive);
  struct Case {
    std::function<CondPtr()> Build;
    TVdbTruthValue Plain, Insensitive;
  } Cases[] = {
      {[] { return Cond(Cmp(Col("KOD"), tcoEqual, Str("őzbak"))); }, tvFalse, tvTrue},
      {[] { return Cond(Cmp(Col("KOD"), tcoEqual, Str("ozbak"))); }, tvFalse, tvFalse},
      {[] { return Cond(Like(Col("KOD"), Str("ŐZ%"))); }, tvFalse, tvTrue},
      {[] { return Cond(Cmp(Col("KOD"), tcoLess, Str("ŐZBAKA"))); }, tvTrue, tvTrue},
  };
  for (const auto& C : Cases) {
    CondPtr Plain = C.Build();
    SCOPED_TRACE(Plain->GetSqlText());
    EXPECT_EQ(Truth(*Plain), C.Plain);
    CondPtr Insensitive = C.Build();
    EXPECT_EQ(Truth(*Insensitive, CaseInsensitive), C.Insensitive);
  }
}

// --- Preparation errors ---

TEST_F(ExpressionTest, PreparationErrors) {
  struct Case {
    const char* Name;
    std::function<CondPtr()> Build;
    int Code;
    const char* Message;
  } Cases[] = {
      {"unknown column", [] { return Cond(Cmp(Col("NOPE"), tcoEqual, Int(1))); }, 50,
       "Unknown identifier \"NOPE\""},
      {"unknown table", [] { return Cond(Cmp(Col("Other.A"), tcoEqual, Int(1))); }, 50,
       "Unknown identifier \"Other.A\""},
      {"like on a number", [] { return Cond(Like(Col("A"), Str("1%"))); }, 44, "Type mismatch: Integer-> String"},
      {"number like", [] { return Cond(Like(Col("CIMSZO"), Col("A"))); }, 44, "Type mismatch: Integer-> String"},
      {"incomparable", [] { return Cond(Cmp(Col("A"), tcoEqual, Str("abc"))); }, 44,
       "Type mismatch: VARCHAR(3)->Integer"},
      {"incomparable columns", [] { return Cond(Cmp(Col("CIMSZO"), tcoLess, Col("A"))); }, 44,
       "Type mismatch: Integer->VARCHAR(32764) COLLATE Hungarian_ci_as"},
      {"untyped parameters", [] { return Cond(Cmp(Param("p"), tcoEqual, Param("q"))); }, 144,
       "Type of column, parameter or variable \":p\" is not known"},
      {"string arithmetic", [] {
         std::vector<ExprPtr> V;
         V.push_back(Col("CIMSZO"));
         V.push_back(Int(2));
         return Cond(Cmp(Terms(std::move(V), {dboMultiply}), tcoEqual, Int(1)));
       }, 44, nullptr},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    CondPtr Condition = C.Build();
    auto [Code, Message] = EngineError([&] { Condition->Prepare(&FContext, 0); });
    EXPECT_EQ(Code, C.Code);
    if (C.Message) {
      EXPECT_EQ(Message, C.Message);
    }
  }
  // A factor without the side its operator needs.
  for (auto Op : {tcoEqual, tcoLike, tcoBetween, tcoNone}) {
    SCOPED_TRACE(static_cast<int>(Op));
    CondPtr Incomplete = Cond(Cmp(Col("A"), Op, nullptr));
    EXPECT_EQ(EngineError([&] { Incomplete->Prepare(&FContext, 0); }).first, 7);
  }
  // A parameter without a parameter list.
  FContext.SetParameters(nullptr);
  CondPtr P = Cond(Cmp(Col("A"), tcoEqual, Param("p")));
  EXPECT_EQ(EngineError([&] { P->Prepare(&FContext, 0); }).first, 50);
}

TEST_F(ExpressionTest, OuterReferencesReadTheVariable) {
  TVdbVariable Outer("X", T::GetDataType(kVdbIntegerCode, true, 6));
  TVdbOuterReferenceCallback Callback = [&](const std::string& Name) -> TVdbVariable* {
    return CompareIdentifiers(Name, "Outer.X") == 0 ? &Outer : nullptr;
  };
  CondPtr C = Cond(Cmp(Col("A"), tcoEqual, Col("Outer.X")));
  C->Prepare(&FContext, 0, Callback);
  EXPECT_TRUE(C->BooleanTerm()->BooleanFactor()->ExpressionRight()->SingleFactor()->GetIsOuterReference());

  TVdbDataValue V;
  Outer.DataType()->SetInteger(V, 1);
  Outer.SetValue(V, Outer.DataType());
  EXPECT_TRUE(C->Evaluate());
  Outer.DataType()->SetInteger(V, 2);
  Outer.SetValue(V, Outer.DataType());
  EXPECT_FALSE(C->Evaluate());

  CondPtr Missing = Cond(Cmp(Col("A"), tcoEqual, Col("Outer.Y")));
  EXPECT_EQ(EngineError([&] { Missing->Prepare(&FContext, 0, Callback); }).first, 50);
}

TEST(OuterReference, UpdateReportsChangesOnly) {
  const TVdbDataType* Int = T::GetDataType(kVdbIntegerCode, true, 6);
  TSqlOuterReference Ref(nullptr, 1, 1, std::make_unique<TVdbVariable>("A", Int));
  TVdbDataValue V;
  Int->SetInteger(V, 7);
  EXPECT_TRUE(Ref.Update(V, Int));
  EXPECT_FALSE(Ref.Update(V, Int));
  Int->SetInteger(V, 8);
  EXPECT_TRUE(Ref.Update(V, Int));
  Int->SetNull(V);
  EXPECT_TRUE(Ref.Update(V, Int));
  EXPECT_FALSE(Ref.Update(V, Int));
}

// --- Rewriting ---

TEST_F(ExpressionTest, OptimizeMergesTheNullEqualPattern) {
  struct Case {
    const char* Name;
    std::function<CondPtr()> Build;
    bool Merged;
  } Cases[] = {
      {"a = b OR (a IS NULL AND b IS NULL)", [] {
         return Or(Cmp(Col("A"), tcoEqual, Col("B")),
                   Parens(And(TVdbBooleanFactor::CreateNullTest(Col("A"), false),
                              TVdbBooleanFactor::CreateNullTest(Col("B"), false)))); }, true},
      {"a = b OR (b IS NULL AND a IS NULL)", [] {
         return Or(Cmp(Col("A"), tcoEqual, Col("B")),
                   Parens(And(TVdbBooleanFactor::CreateNullTest(Col("B"), false),
                              TVdbBooleanFactor::CreateNullTest(Col("A"), false)))); }, true},
      {"NOT a != b OR (a IS NULL AND b IS NULL)", [] {
         return Or(Not(Cmp(Col("A"), tcoUnequal, Col("B"))),
                   Parens(And(TVdbBooleanFactor::CreateNullTest(Col("A"), false),
                              TVdbBooleanFactor::CreateNullTest(Col("B"), false)))); }, true},
      {"a = b OR (a IS NULL AND c IS NULL)", [] {
         return Or(Cmp(Col("A"), tcoEqual, Col("B")),
                   Parens(And(TVdbBooleanFactor::CreateNullTest(Col("A"), false),
                              TVdbBooleanFactor::CreateNullTest(Col("F"), false)))); }, false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    CondPtr Condition = C.Build();
    Condition->Optimize();
    const TVdbBooleanFactor* F = Condition->BooleanTerm()->BooleanFactor();
    EXPECT_EQ(Condition->SearchCondition() == nullptr, C.Merged);
    EXPECT_EQ(F->ComparisonOperator() == tcoEqualNull, C.Merged);
    if (C.Merged) {
      EXPECT_FALSE(F->IsNot());
      SetNumbers(std::nullopt, std::nullopt);
      EXPECT_EQ(Truth(*Condition), tvTrue);
      SetNumbers("1", std::nullopt);
      EXPECT_EQ(Truth(*Condition), tvFalse);
    }
  }
}

TEST_F(ExpressionTest, OptimizeRemovesDoubleNegationAndLoneParentheses) {
  CondPtr C = Cond(Not(Parens(Cond(Not(Parens(Cond(Cmp(Col("A"), tcoEqual, Int(1)))))))));
  C->Optimize();
  EXPECT_EQ(C->GetSqlText(), "A = 1");
  EXPECT_FALSE(C->BooleanTerm()->BooleanFactor()->IsNot());

  CondPtr Lone = Cond(Parens(Or(Cmp(Col("A"), tcoEqual, Int(1)), Cmp(Col("B"), tcoEqual, Int(2)))));
  Lone->Optimize();
  EXPECT_EQ(Lone->GetSqlText(), "A = 1 OR B = 2");

  CondPtr Negated = Cond(Not(Parens(Or(Cmp(Col("A"), tcoEqual, Int(1)), Cmp(Col("B"), tcoEqual, Int(2))))));
  Negated->Optimize();
  EXPECT_EQ(Negated->GetSqlText(), "NOT (A = 1 OR B = 2)");
}

TEST_F(ExpressionTest, ReplaceAliasRewritesQualifiedColumns) {
  CondPtr C = And(Cmp(Col("d.CIMSZO"), tcoEqual, Str("x")), Cmp(Col("dx.A"), tcoEqual, Col("A")));
  C->ReplaceAlias("d", "Data");
  EXPECT_EQ(C->GetSqlText(), "Data.CIMSZO = 'x' AND dx.A = A");
}

TEST_F(ExpressionTest, SyntacticEqualityAndCopies) {
  CondPtr A = Cond(Cmp(Col("a"), tcoLess, Int(5)));
  CondPtr B = Cond(Cmp(Col("A"), tcoLess, Int(5)));
  CondPtr Other = Cond(Cmp(Col("A"), tcoLess, Int(6)));
  EXPECT_TRUE(A->IsSyntacticallyEqual(*B));
  EXPECT_FALSE(A->IsSyntacticallyEqual(*Other));
  CondPtr Copy = A->Clone();
  EXPECT_TRUE(Copy->IsSyntacticallyEqual(*A));
  EXPECT_EQ(Truth(*Copy), tvTrue);
}

class CountingVisitor : public TVdbSyntaxNodeVisitor {
 public:
  void PerformOperation(TVdbSyntaxNode& Node) override {
    if (auto* F = dynamic_cast<TVdbSimpleFactor*>(&Node); F && F->GetIsColumnName()) ++Columns;
    ++Nodes;
  }
  int Columns = 0;
  int Nodes = 0;
};

TEST_F(ExpressionTest, TraversalVisitsEveryNode) {
  CondPtr C = Or(Like(Col("CIMSZO"), Str("%a%")), TVdbBooleanFactor::CreateBetween(Col("A"), Col("B"), Int(3)));
  CountingVisitor V;
  C->TraverseDepthFirst(V);
  EXPECT_EQ(V.Columns, 3);
  // condition, term, factor + 2 x (expression, term, factor); condition, term, factor + 3 x 3.
  EXPECT_EQ(V.Nodes, 3 + 6 + 3 + 9);
  TVdbRelationSet Involved;
  C->Prepare(&FContext, 0);
  C->GetInvolvedTables(Involved);
  EXPECT_TRUE(Involved.test(1));
  EXPECT_TRUE(Involved.test(2));
  EXPECT_EQ(Involved.count(), 2u);
}

}  // namespace
}  // namespace vdb
