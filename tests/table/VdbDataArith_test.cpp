// Operators: result types, evaluation, overflow, division by zero, date and time arithmetic,
// string concatenation and case mapping.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "base/VdbErrors.h"
#include "table/VdbData.h"
#include "table/VdbDataTestSupport.h"

namespace vdb {
namespace {

using test::EngineCode;
using test::MessageOf;
using T = TVdbDataType;
using DT = TVdbDateTimeType;

const TVdbDataType* Int(std::int16_t Code, bool Nullable = false) { return T::GetDataType(Code, Nullable, 6); }

TEST(VdbDataArith, ResultTypes) {
  const TVdbDataType* F = T::GetFloatType(false, 6, 3);
  const TVdbDataType* D = T::GetDataType(kVdbDateCode, false, 6);
  const TVdbDataType* S = T::GetDataType(kVdbTimeStampCode, false, 6);
  const TVdbDataType* Tm = T::GetDataType(kVdbTimeCode, false, 6);
  struct Case { const char* Name; TVdbDataBinaryOperator Op; const TVdbDataType* A; const TVdbDataType* B; const char* Sql; };
  const std::vector<Case> Cases = {
      {"byte+byte", dboPlus, Int(kVdbByteCode), Int(kVdbByteCode), "SmallInt"},
      {"smallint+byte", dboPlus, Int(kVdbSmallIntCode), Int(kVdbByteCode), "Integer"},
      {"int-int", dboMinus, Int(kVdbIntegerCode), Int(kVdbIntegerCode), "BigInt"},
      {"link+smallint", dboPlus, Int(kVdbLinkCode), Int(kVdbSmallIntCode), "BigInt"},
      {"smallint*byte", dboMultiply, Int(kVdbSmallIntCode), Int(kVdbByteCode), "Integer"},
      {"int*smallint", dboMultiply, Int(kVdbIntegerCode), Int(kVdbSmallIntCode), "BigInt"},
      {"int/int", dboDivide, Int(kVdbIntegerCode), Int(kVdbIntegerCode), "DOUBLE"},
      {"recordid div int", dboDiv, Int(kVdbRecordIdCode), Int(kVdbIntegerCode), "Integer"},
      {"smallint mod byte", dboMod, Int(kVdbSmallIntCode), Int(kVdbByteCode), "SmallInt"},
      {"bigint and int", dboAnd, Int(kVdbBigIntCode), Int(kVdbIntegerCode), "BigInt"},
      {"byte or boolean", dboOr, Int(kVdbByteCode), Int(kVdbBooleanCode), "Byte"},
      {"float+int", dboPlus, F, Int(kVdbIntegerCode), "DOUBLE"},
      {"int*float", dboMultiply, Int(kVdbIntegerCode), F, "DOUBLE"},
      {"date+int", dboPlus, D, Int(kVdbIntegerCode), "Date"},
      {"date+float", dboPlus, D, F, "TimeStamp"},
      {"stamp-int", dboMinus, S, Int(kVdbSmallIntCode), "TimeStamp"},
      {"date-date", dboMinus, D, D, "Integer"},
      {"stamp-date", dboMinus, S, D, "DOUBLE"},
      {"time+int", dboPlus, Tm, Int(kVdbIntegerCode), "Time"},
      {"time-time", dboMinus, Tm, Tm, "DOUBLE"},
  };
  for (const Case& C : Cases) {
    const TVdbDataType* R = T::GetResultDataType(C.Op, C.A, C.B);
    ASSERT_NE(R, nullptr) << C.Name;
    EXPECT_EQ(R->SqlName(), C.Sql) << C.Name;
  }
  EXPECT_EQ(static_cast<const TVdbFloatType*>(T::GetResultDataType(dboPlus, F, Int(kVdbIntegerCode)))->Scale(), 3);
  EXPECT_EQ(static_cast<const TVdbFloatType*>(T::GetResultDataType(dboDivide, Int(kVdbIntegerCode), Int(kVdbIntegerCode)))->Scale(), 2);
  EXPECT_EQ(static_cast<const TVdbDateTimeType*>(T::GetResultDataType(dboPlus, D, F))->Precision(), 4);
  EXPECT_EQ(T::GetResultDataType(dboDiv, F, F), nullptr);
  EXPECT_EQ(T::GetResultDataType(dboPlus, D, D), nullptr);
  EXPECT_EQ(T::GetResultDataType(dboMultiply, D, Int(kVdbIntegerCode)), nullptr);
  EXPECT_EQ(T::GetResultDataType(dboPlus, Int(kVdbIntegerCode), T::GetDataType(kVdbGuidCode, false, 6)), nullptr);
}

TEST(VdbDataArith, NullabilityOfResults) {
  EXPECT_TRUE(T::GetResultDataType(dboPlus, Int(kVdbIntegerCode, true), Int(kVdbIntegerCode))->Nullable());
  EXPECT_FALSE(T::GetResultDataType(dboPlus, Int(kVdbIntegerCode), Int(kVdbIntegerCode))->Nullable());
  // A NULL operand gives NULL, so a nullable operand makes any result nullable.
  EXPECT_TRUE(T::GetResultDataType(dboPlus, T::GetFloatType(false, 6, 2), Int(kVdbIntegerCode, true))->Nullable());
  EXPECT_TRUE(T::GetResultDataType(dboPlus, T::GetDataType(kVdbDateCode, false, 6), Int(kVdbIntegerCode, true))->Nullable());
}

// Evaluates A Op B with the result type of the operator.
struct Outcome {
  const TVdbDataType* Type;
  TVdbDataValue Value;
};
Outcome Calc(TVdbDataBinaryOperator Op, const TVdbDataType* TA, const TVdbDataValue& A, const TVdbDataType* TB,
             const TVdbDataValue& B) {
  Outcome O{T::GetResultDataType(Op, TA, TB), {}};
  T::Calculate(Op, A, B, O.Value, TA, TB, O.Type);
  return O;
}

Outcome CalcInt(TVdbDataBinaryOperator Op, std::int16_t CodeA, std::int64_t A, std::int16_t CodeB, std::int64_t B) {
  TVdbDataValue Va, Vb;
  Int(CodeA)->SetInteger(Va, A);
  Int(CodeB)->SetInteger(Vb, B);
  return Calc(Op, Int(CodeA), Va, Int(CodeB), Vb);
}

TEST(VdbDataArith, IntegerEvaluation) {
  struct Case { TVdbDataBinaryOperator Op; std::int16_t CA; std::int64_t A; std::int16_t CB; std::int64_t B; std::int64_t Want; };
  const std::vector<Case> Cases = {
      {dboPlus, kVdbByteCode, 200, kVdbByteCode, 100, 300},
      {dboMinus, kVdbByteCode, 0, kVdbByteCode, 255, -255},
      {dboMultiply, kVdbSmallIntCode, 32767, kVdbSmallIntCode, 32767, 1073676289},
      {dboMultiply, kVdbIntegerCode, 2147483647, kVdbIntegerCode, 2147483647, 4611686014132420609LL},
      {dboDiv, kVdbIntegerCode, -7, kVdbIntegerCode, 2, -3},
      {dboMod, kVdbIntegerCode, -7, kVdbIntegerCode, 2, -1},
      {dboMod, kVdbBigIntCode, std::numeric_limits<std::int64_t>::min(), kVdbBigIntCode, -1, 0},
      {dboAnd, kVdbIntegerCode, 12, kVdbIntegerCode, 10, 8},
      {dboOr, kVdbIntegerCode, 12, kVdbIntegerCode, 10, 14},
  };
  for (const Case& C : Cases) {
    const Outcome O = CalcInt(C.Op, C.CA, C.A, C.CB, C.B);
    EXPECT_EQ(O.Type->GetInteger(O.Value), C.Want) << C.A << " op" << C.Op << " " << C.B;
  }
  const Outcome Q = CalcInt(dboDivide, kVdbIntegerCode, 7, kVdbIntegerCode, 2);
  EXPECT_DOUBLE_EQ(Q.Type->GetDouble(Q.Value), 3.5);
}

TEST(VdbDataArith, OverflowAndDivisionByZeroFailCleanly) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::string Message;
  EXPECT_EQ(EngineCode([&] { CalcInt(dboPlus, kVdbBigIntCode, kMax, kVdbBigIntCode, 1); }, &Message), 81);
  EXPECT_EQ(Message, "Value 9223372036854775808 of type BigInt exceeds the allowed range from "
                     "-9223372036854775808 to 9223372036854775807");
  EXPECT_EQ(EngineCode([&] { CalcInt(dboMinus, kVdbBigIntCode, kMin, kVdbBigIntCode, 1); }), 81);
  EXPECT_EQ(EngineCode([&] { CalcInt(dboMultiply, kVdbBigIntCode, kMax, kVdbBigIntCode, 2); }), 81);
  EXPECT_EQ(EngineCode([&] { CalcInt(dboDiv, kVdbBigIntCode, kMin, kVdbBigIntCode, -1); }), 81);
  // SmallInt and SmallInt stays SmallInt, whose range holds -1.
  EXPECT_EQ(EngineCode([&] { CalcInt(dboAnd, kVdbSmallIntCode, -1, kVdbSmallIntCode, -1); }), -1);
  for (TVdbDataBinaryOperator Op : {dboDiv, dboMod, dboDivide}) {
    EXPECT_EQ(MessageOf<EVdbDataError>([&] { CalcInt(Op, kVdbIntegerCode, 5, kVdbIntegerCode, 0); }),
              "Integer division by zero")
        << Op;
  }
  const TVdbDataType* F = T::GetFloatType(false, 6, 2);
  TVdbDataValue A, B;
  F->SetDouble(A, 1.0);
  F->SetDouble(B, 0.0);
  EXPECT_EQ(EngineCode([&] { Calc(dboDivide, F, A, F, B); }, &Message), 178);
  EXPECT_EQ(Message, "Division by zero");
  Int(kVdbIntegerCode)->SetInteger(B, 0);
  EXPECT_EQ(EngineCode([&] { Calc(dboDivide, F, A, Int(kVdbIntegerCode), B); }), 178);
  F->SetDouble(A, 1e308);
  F->SetDouble(B, 10.0);
  EXPECT_THROW(Calc(dboMultiply, F, A, F, B), EVdbDataError);
}

TEST(VdbDataArith, NullOperandsGiveNull) {
  const TVdbDataType* I = Int(kVdbIntegerCode, true);
  const TVdbDataType* F = T::GetFloatType(false, 6, 2);
  TVdbDataValue A, Null;
  I->SetInteger(A, 5);
  I->SetNull(Null);
  const Outcome O = Calc(dboPlus, I, A, I, Null);
  EXPECT_TRUE(O.Type->IsNull(O.Value));
  TVdbDataValue Fv;
  F->SetDouble(Fv, 2.0);
  const Outcome P = Calc(dboMultiply, F, Fv, I, Null);
  EXPECT_TRUE(P.Type->IsNull(P.Value));
  const Outcome Q = CalcInt(dboDiv, kVdbIntegerCode, 1, kVdbIntegerCode, 1);
  EXPECT_FALSE(Q.Type->IsNull(Q.Value));
}

TEST(VdbDataArith, UnaryOperators) {
  const TVdbDataType* Byte = Int(kVdbByteCode);
  const TVdbDataType* Big = Int(kVdbBigIntCode);
  const TVdbDataType* Bool = Int(kVdbBooleanCode);
  TVdbDataValue V, R;
  Byte->SetInteger(V, 200);
  const TVdbDataType* RT = Byte->GetResultDataType(duoMinus);
  EXPECT_EQ(RT->SqlName(), "SmallInt");
  RT->CalculateWith(duoMinus, R, V, Byte);
  EXPECT_EQ(RT->GetInteger(R), -200);
  Bool->SetInteger(V, 1);
  Bool->GetResultDataType(duoNot)->CalculateWith(duoNot, R, V, Bool);
  EXPECT_EQ(Bool->GetInteger(R), 0);
  Big->SetInteger(V, 5);
  Big->CalculateWith(duoNot, R, V, Big);
  EXPECT_EQ(Big->GetInteger(R), ~5LL);
  Big->CalculateWith(duoInc, R, V, Big);
  EXPECT_EQ(Big->GetInteger(R), 6);
  Big->SetInteger(V, std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(EngineCode([&] { Big->CalculateWith(duoInc, R, V, Big); }), 81);
  Big->SetInteger(V, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(EngineCode([&] { Big->CalculateWith(duoMinus, R, V, Big); }), 81);
  const TVdbDataType* F = T::GetFloatType(false, 6, 2);
  F->SetDouble(V, 1.5);
  F->CalculateWith(duoMinus, R, V, F);
  EXPECT_EQ(F->GetDouble(R), -1.5);
  EXPECT_EQ(F->GetResultDataType(duoNot), nullptr);
  EXPECT_EQ(Int(kVdbIntegerCode)->GetResultDataType(duoStringUpper), nullptr);
}

TEST(VdbDataArith, DateArithmetic) {
  const TVdbDataType* D = T::GetDataType(kVdbDateCode, false, 6);
  const TVdbDataType* S = T::GetDataType(kVdbTimeStampCode, false, 6);
  const TVdbDataType* I = Int(kVdbIntegerCode);
  const TVdbDataType* F = T::GetFloatType(false, 6, 2);
  TVdbDataValue Dv, Iv, Fv, Sv, D2;
  D->SetDate(Dv, DT::EncodeDate(2023, 12, 31));
  I->SetInteger(Iv, 60);
  Outcome O = Calc(dboPlus, D, Dv, I, Iv);
  EXPECT_EQ(O.Type->ToString(O.Value), "29.02.2024");
  O = Calc(dboMinus, D, Dv, I, Iv);
  EXPECT_EQ(O.Type->ToString(O.Value), "01.11.2023");
  F->SetDouble(Fv, 1.75);
  O = Calc(dboPlus, D, Dv, F, Fv);
  EXPECT_EQ(O.Type->ToString(O.Value), "01.01.2024_18:00:00.000");
  S->SetTimeStamp(Sv, {DT::EncodeDate(2024, 1, 1), 6 * 3600000});
  F->SetDouble(Fv, 0.5);
  O = Calc(dboMinus, S, Sv, F, Fv);
  EXPECT_EQ(O.Type->ToString(O.Value), "31.12.2023_18:00:00.000");
  D->SetDate(D2, DT::EncodeDate(2024, 3, 1));
  O = Calc(dboMinus, D, D2, D, Dv);
  EXPECT_EQ(O.Type->GetInteger(O.Value), 61);
  O = Calc(dboMinus, S, Sv, D, Dv);
  EXPECT_DOUBLE_EQ(O.Type->GetDouble(O.Value), 1.25);
  // Out of the calendar: a clean range error.
  D->SetDate(Dv, DT::kMaxDate);
  I->SetInteger(Iv, 1);
  EXPECT_EQ(EngineCode([&] { Calc(dboPlus, D, Dv, I, Iv); }), 81);
  D->SetDate(Dv, DT::kDefaultDate);
  EXPECT_EQ(EngineCode([&] { Calc(dboMinus, D, Dv, I, Iv); }), 81);
  I->SetInteger(Iv, 2147483647);
  EXPECT_EQ(EngineCode([&] { Calc(dboPlus, D, Dv, I, Iv); }), 81);
}

TEST(VdbDataArith, TimeArithmeticWrapsIntoOneDay) {
  const TVdbDataType* Tm = T::GetDateTimeType(kVdbTimeCode, false, 6, 2, false);
  const TVdbDataType* I = Int(kVdbIntegerCode);
  TVdbDataValue Tv, Iv, T2;
  Tm->ConvertFromString(Tv, "23:00");
  I->SetInteger(Iv, 90);
  Outcome O = Calc(dboPlus, Tm, Tv, I, Iv);
  EXPECT_EQ(O.Type->ToString(O.Value), "00:30");
  O = Calc(dboMinus, O.Type, O.Value, I, Iv);
  EXPECT_EQ(O.Type->ToString(O.Value), "23:00");
  I->SetInteger(Iv, -3 * 1440 - 1);
  O = Calc(dboPlus, Tm, Tv, I, Iv);
  EXPECT_EQ(O.Type->ToString(O.Value), "22:59");
  Tm->ConvertFromString(T2, "21:30");
  O = Calc(dboMinus, Tm, Tv, Tm, T2);
  EXPECT_DOUBLE_EQ(O.Type->GetDouble(O.Value), 90.0);
}

TEST(VdbDataArith, StringConcatenation) {
  const TVdbStringType* A = T::GetStringType(kVdbStringCode, true, 6, 20000, "Hungarian_ci_as");
  const TVdbStringType* B = T::GetStringType(kVdbStringCode, false, 6, 20000, "");
  const TVdbDataType* R = T::GetResultDataType(dboPlus, A, B);
  EXPECT_EQ(R->SqlName(), "VARCHAR(32764) COLLATE Hungarian_ci_as");
  EXPECT_TRUE(R->Nullable());
  TVdbDataValue Va, Vb;
  A->SetAnsiString(Va, std::string(20000, 'a'));
  B->SetAnsiString(Vb, std::string(20000, 'b'));
  Outcome O = Calc(dboPlus, A, Va, B, Vb);
  const std::string Text = O.Type->GetAnsiString(O.Value);
  EXPECT_EQ(Text.size(), 32764u);
  EXPECT_EQ(Text.substr(19998, 4), "aabb");
  const TVdbDataType* M = T::GetDataType(kVdbMemoCode, true, 6);
  EXPECT_EQ(T::GetResultDataType(dboPlus, B, M)->SqlName(), "LONGVARCHAR");
  const TVdbStringType* Short = T::GetStringType(kVdbStringCode, false, 6, 3, "");
  A->SetAnsiString(Va, "ő");
  Short->SetAnsiString(Vb, "xyz");
  O = Calc(dboPlus, A, Va, Short, Vb);
  EXPECT_EQ(O.Type->GetAnsiString(O.Value), "őxyz");
  // The result may be one of the operands.
  T::Calculate(dboPlus, O.Value, Vb, O.Value, O.Type, Short, O.Type);
  EXPECT_EQ(O.Type->GetAnsiString(O.Value), "őxyzxyz");
  EXPECT_EQ(T::GetResultDataType(dboMinus, A, B), nullptr);
}

TEST(VdbDataArith, UpperAndLowerThroughTheCollation) {
  const TVdbStringType* H = T::GetStringType(kVdbStringCode, true, 6, 20, "Hungarian_ci_as");
  const TVdbStringType* E = T::GetStringType(kVdbStringCode, true, 6, 20, "");
  const TVdbStringType* W = T::GetStringType(kVdbWideStringCode, true, 6, 20, "Hungarian_ci_as");
  TVdbDataValue V, R;
  H->SetAnsiString(V, "árvíztűrő");
  H->GetResultDataType(duoStringUpper)->CalculateWith(duoStringUpper, R, V, H);
  EXPECT_EQ(H->GetAnsiString(R), "ÁRVÍZTŰRŐ");
  H->CalculateWith(duoStringLower, R, R, H);
  EXPECT_EQ(H->GetAnsiString(R), "árvíztűrő");
  E->SetAnsiString(V, "façade ÿ");
  E->CalculateWith(duoStringUpper, R, V, E);
  EXPECT_EQ(E->GetAnsiString(R), "FAÇADE Ÿ");
  W->SetAnsiString(V, "tükör");
  W->CalculateWith(duoStringUpper, R, V, W);
  EXPECT_EQ(W->GetAnsiString(R), "TÜKÖR");
  H->SetNull(V);
  H->CalculateWith(duoStringUpper, R, V, H);
  EXPECT_TRUE(H->IsNull(R));
}

TEST(VdbDataArith, SuperTypes) {
  const TVdbDataType* N = T::GetNullType();
  EXPECT_EQ(T::GetSuperType(N, Int(kVdbIntegerCode)), Int(kVdbIntegerCode, true));
  EXPECT_EQ(T::GetSuperType(Int(kVdbByteCode), Int(kVdbSmallIntCode, true)), Int(kVdbSmallIntCode, true));
  EXPECT_EQ(T::GetSuperType(Int(kVdbRecordIdCode), Int(kVdbSmallIntCode)), Int(kVdbIntegerCode));
  EXPECT_EQ(T::GetSuperType(Int(kVdbIntegerCode), T::GetFloatType(false, 6, 2)), T::GetFloatType(false, 6, 2));
  EXPECT_EQ(T::GetSuperType(T::GetDataType(kVdbDateCode, false, 6), T::GetDataType(kVdbTimeStampCode, true, 6)),
            T::GetDataType(kVdbTimeStampCode, true, 6));
  EXPECT_EQ(T::GetSuperType(T::GetStringType(kVdbStringCode, false, 6, 10, ""),
                            T::GetStringType(kVdbStringCode, false, 6, 30, "")),
            T::GetStringType(kVdbStringCode, false, 6, 30, ""));
  EXPECT_EQ(T::GetSuperType(Int(kVdbIntegerCode), T::GetDataType(kVdbDateCode, false, 6)), nullptr);
  EXPECT_TRUE(static_cast<const TVdbIntegerType*>(Int(kVdbBigIntCode))->IsBigger(
      static_cast<const TVdbIntegerType*>(Int(kVdbLinkCode))));
  EXPECT_FALSE(static_cast<const TVdbIntegerType*>(Int(kVdbLinkCode))->IsBigger(
      static_cast<const TVdbIntegerType*>(Int(kVdbSmallIntCode))));
}

}  // namespace
}  // namespace vdb
