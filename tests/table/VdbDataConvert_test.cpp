// Conversions to and from text and between types, and comparisons (NULL, numbers, strings under
// collations).
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "base/VdbErrors.h"
#include "table/VdbDataTestSupport.h"
#include "table/VdbData.h"

namespace vdb {
namespace {

using test::EngineCode;
using test::MessageOf;

using T = TVdbDataType;

// --- Text ---

TEST(VdbDataText, IntegerAndBooleanText) {
  const TVdbDataType* I = T::GetDataType(kVdbIntegerCode, true, 6);
  const TVdbDataType* B = T::GetDataType(kVdbBooleanCode, true, 6);
  const TVdbDataType* Big = T::GetDataType(kVdbBigIntCode, true, 6);
  TVdbDataValue V;
  I->ConvertFromString(V, " -42 ");
  EXPECT_EQ(I->GetInteger(V), -42);
  EXPECT_EQ(I->ToString(V), "-42");
  Big->ConvertFromString(V, "-9223372036854775808");
  EXPECT_EQ(Big->GetInteger(V), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(EngineCode([&] { Big->ConvertFromString(V, "9223372036854775808"); }), 81);
  EXPECT_EQ(EngineCode([&] { I->ConvertFromString(V, "2147483648"); }), 81);
  EXPECT_EQ(MessageOf<EConvertError>([&] { I->ConvertFromString(V, "12a"); }), "\"12a\" is not a valid integer value");
  EXPECT_THROW(I->ConvertFromString(V, ""), EConvertError);
  struct Case { const char* Text; std::int64_t Value; };
  for (const Case& C : std::vector<Case>{{"true", 1}, {"TRUE", 1}, {"True", 1}, {"false", 0}, {" False ", 0}}) {
    B->ConvertFromString(V, C.Text);
    EXPECT_EQ(B->GetInteger(V), C.Value) << C.Text;
  }
  EXPECT_EQ(B->ToString(V), "False");
  B->SetInteger(V, 1);
  EXPECT_EQ(B->ToString(V), "True");
  EXPECT_EQ(EngineCode([&] { B->ConvertFromString(V, "yes"); }), 81);
  EXPECT_EQ(B->GetInteger(V), 1);
  I->ConvertFromString(V, std::nullopt);
  EXPECT_TRUE(I->IsNull(V));
  EXPECT_EQ(I->ToString(V), "");
}

TEST(VdbDataText, FloatText) {
  const TVdbFloatType* F = T::GetFloatType(true, 6, 2);
  TVdbDataValue V;
  for (double D : {0.1, -2.5, 1e16, 1.0 / 3.0, 123456789.125, 5e-324, 0.0}) {
    F->SetDouble(V, D);
    TVdbDataValue W;
    F->ConvertFromString(W, F->ToString(V));
    EXPECT_EQ(F->GetDouble(W), D) << F->ToString(V);
  }
  F->SetDouble(V, 0.1);
  EXPECT_EQ(F->ToString(V), "0.1");
  F->SetDouble(V, 3.14159);
  EXPECT_EQ(F->ScaledString(V), "3.14");
  EXPECT_EQ(T::GetFloatType(true, 6, 4)->ScaledString(V), "3.1416");
  EXPECT_EQ(MessageOf<EConvertError>([&] { F->ConvertFromString(V, "1,5"); }), "Invalid double: \"1,5\"");
  EXPECT_THROW(F->ConvertFromString(V, "nan"), EConvertError);
  EXPECT_THROW(F->ConvertFromString(V, "1e999"), EConvertError);
  EXPECT_DOUBLE_EQ(F->GetDouble(V), 3.14159);
}

TEST(VdbDataText, GuidText) {
  const TVdbDataType* G = T::GetDataType(kVdbGuidCode, true, 6);
  TVdbDataValue V;
  G->ConvertFromString(V, "{0123abcd-4567-89AB-cdef-0123456789AB}");
  EXPECT_EQ(G->ToString(V), "{0123ABCD-4567-89AB-CDEF-0123456789AB}");
  const TVdbGuid Gu = G->GetGuid(V);
  EXPECT_EQ(Gu.D1, 0x0123ABCDu);
  EXPECT_EQ(Gu.D2, 0x4567);
  EXPECT_EQ(Gu.D4[0], 0xCD);
  EXPECT_EQ(Gu.D4[7], 0xAB);
  // The standard in-memory layout: D1 little-endian first.
  EXPECT_EQ(T::ImageOf(V)[1], 0xCD);
  for (const char* Bad : {"0123abcd-4567-89AB-cdef-0123456789AB", "{0123abcd-4567-89AB-cdef-0123456789A}",
                          "{0123abcg-4567-89AB-cdef-0123456789AB}", "{0123abcd+4567-89AB-cdef-0123456789AB}"}) {
    EXPECT_EQ(MessageOf<EVdbEngine>([&] { G->ConvertFromString(V, Bad); }), "Type mismatch: String->Guid") << Bad;
  }
  EXPECT_EQ(G->ToString(V), "{0123ABCD-4567-89AB-CDEF-0123456789AB}");
}

TEST(VdbDataText, EnumerationText) {
  const TVdbEnumType* E = T::GetEnumType(true, 6, "Colour", false, {{"Red", 1}, {"Green", 2}, {"Blue", 4}});
  TVdbDataValue V;
  E->ConvertFromString(V, "green");
  EXPECT_EQ(E->GetInteger(V), 2);
  EXPECT_EQ(E->ToString(V), "Green");
  EXPECT_EQ(MessageOf<EConvertError>([&] { E->ConvertFromString(V, "Purple"); }),
            "\"Purple\" is not a valid enumeration value for Colour.");
  EXPECT_EQ(E->GetInteger(V), 2);
  EXPECT_THROW(E->SetInteger(V, 3), EConvertError);
  E->SetNull(V);
  EXPECT_TRUE(E->IsNull(V));
  const TVdbEnumType* Flags = T::GetEnumType(true, 6, "Rights", true, {{"Read", 1}, {"Write", 2}, {"Delete", 4}});
  Flags->ConvertFromString(V, "Read, Delete");
  EXPECT_EQ(Flags->GetInteger(V), 5);
  EXPECT_EQ(Flags->ToString(V), "Read,Delete");
  EXPECT_EQ(E->FindEnumValue("BLUE"), 4);
  EXPECT_EQ(E->FindEnumName(1), "Red");
  EXPECT_TRUE(E->HasEnumName("red"));
  EXPECT_FALSE(E->HasEnumName("Purple"));
  EXPECT_EQ(E->GetEnumName(2), "Blue");
  EXPECT_THROW(E->GetEnumName(3), EVdbDataError);
  EXPECT_EQ(TVdbEnumType::CalcEnumNames("'A', 'B,C' ,D", ',', '\''), (std::vector<std::string>{"A", "B,C", "D"}));
  EXPECT_EQ(TVdbEnumType::CalcEnumNames("x;y", ';', 0), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(TVdbEnumType::CalcDefaultEnumNames(3, ',', '"'), "\"Enum1\",\"Enum2\",\"Enum3\"");
  EXPECT_EQ(TVdbEnumType::CalcDefaultEnumNames(2, ';', 0), "Enum1;Enum2");
}

TEST(VdbDataText, CharText) {
  const TVdbDataType* C = T::GetDataType(kVdbCharCode, true, 6);
  TVdbDataValue V;
  C->ConvertFromString(V, "\xC3\xA9");  // é is one character in code page 1252
  EXPECT_EQ(C->GetInteger(V), 0xE9);
  EXPECT_EQ(C->ToString(V), "\xC3\xA9");
  EXPECT_EQ(MessageOf<EConvertError>([&] { C->ConvertFromString(V, "ab"); }), "String too long");
  EXPECT_EQ(C->GetInteger(V), 0xE9);
  C->ConvertFromString(V, std::nullopt);
  EXPECT_TRUE(C->IsNull(V));
  const TVdbDataType* NotNull = T::GetDataType(kVdbCharCode, false, 6);
  NotNull->ConvertFromString(V, std::nullopt);
  EXPECT_FALSE(NotNull->IsNull(V));
}

TEST(VdbDataText, StringsTruncateToTheirMaximum) {
  const TVdbStringType* S = T::GetStringType(kVdbStringCode, true, 6, 4, "");
  TVdbDataValue V;
  S->ConvertFromString(V, "abcdef");
  EXPECT_EQ(S->ToString(V), "abcd");
  S->ConvertFromString(V, std::nullopt);
  EXPECT_TRUE(S->IsNull(V));
  S->ConvertFromString(V, "");
  EXPECT_FALSE(S->IsNull(V));
}

// --- Conversions between types ---

TEST(VdbDataConvert, ImplicitIntegerConversions) {
  struct Case { std::int16_t To; std::int16_t From; bool Implicit; };
  const std::vector<Case> Cases = {
      {kVdbSmallIntCode, kVdbByteCode, true},   {kVdbSmallIntCode, kVdbBooleanCode, true},
      {kVdbSmallIntCode, kVdbIntegerCode, false}, {kVdbByteCode, kVdbBooleanCode, true},
      {kVdbByteCode, kVdbSmallIntCode, false},  {kVdbBooleanCode, kVdbByteCode, false},
      {kVdbIntegerCode, kVdbLinkCode, true},    {kVdbIntegerCode, kVdbBigIntCode, false},
      {kVdbRecordIdCode, kVdbSmallIntCode, true}, {kVdbBigIntCode, kVdbIntegerCode, true},
      {kVdbBigIntCode, kVdbRecordIdCode, true},
  };
  for (const Case& C : Cases) {
    const TVdbDataType* To = T::GetDataType(C.To, true, 6);
    const TVdbDataType* From = T::GetDataType(C.From, true, 6);
    EXPECT_EQ(T::CanConvert(From, To, false), C.Implicit) << C.From << "->" << C.To;
    EXPECT_TRUE(T::CanConvert(From, To, true)) << C.From << "->" << C.To;
  }
}

TEST(VdbDataConvert, NarrowingKeepsLowBitsAndFloatsRoundHalfToEven) {
  const TVdbDataType* Big = T::GetDataType(kVdbBigIntCode, true, 6);
  const TVdbDataType* F = T::GetFloatType(true, 6, 2);
  struct Case { std::int16_t To; std::int64_t From; std::int64_t Want; };
  for (const Case& C : std::vector<Case>{{kVdbSmallIntCode, 70000, 4464},
                                         {kVdbSmallIntCode, 40000, -25536},
                                         {kVdbByteCode, -1, 255},
                                         {kVdbBooleanCode, 5, 1},
                                         {kVdbBooleanCode, 0, 0},
                                         {kVdbIntegerCode, 0x1FFFFFFFFLL, -1}}) {
    const TVdbDataType* To = T::GetDataType(C.To, true, 6);
    TVdbDataValue A, B;
    Big->SetInteger(A, C.From);
    T::Convert(A, Big, B, To);
    EXPECT_EQ(To->GetInteger(B), C.Want) << C.From << "->" << C.To;
  }
  struct FCase { std::int16_t To; double From; std::int64_t Want; };
  for (const FCase& C : std::vector<FCase>{{kVdbIntegerCode, 2.5, 2},
                                           {kVdbIntegerCode, 3.5, 4},
                                           {kVdbIntegerCode, -2.5, -2},
                                           {kVdbIntegerCode, 2.6, 3},
                                           {kVdbBooleanCode, 0.4, 0},
                                           {kVdbBooleanCode, 0.6, 1},
                                           {kVdbBooleanCode, -7.0, 1}}) {
    const TVdbDataType* To = T::GetDataType(C.To, true, 6);
    TVdbDataValue A, B;
    F->SetDouble(A, C.From);
    T::Convert(A, F, B, To);
    EXPECT_EQ(To->GetInteger(B), C.Want) << C.From << "->" << C.To;
  }
  TVdbDataValue A, B;
  F->SetDouble(A, 1e300);
  EXPECT_EQ(EngineCode([&] { T::Convert(A, F, B, Big); }), 81);
  F->SetDouble(A, 40000.0);
  EXPECT_EQ(EngineCode([&] { T::Convert(A, F, B, T::GetDataType(kVdbSmallIntCode, true, 6)); }), 81);
}

TEST(VdbDataConvert, StringsAndOtherTypes) {
  const TVdbDataType* S = T::GetStringType(kVdbStringCode, true, 6, 50, "");
  const TVdbDataType* I = T::GetDataType(kVdbIntegerCode, true, 6);
  const TVdbDataType* B = T::GetDataType(kVdbBooleanCode, true, 6);
  const TVdbDataType* D = T::GetDataType(kVdbDateCode, true, 6);
  TVdbDataValue Sv, Iv, Bv, Dv;
  EXPECT_FALSE(T::CanConvert(I, S, false));
  EXPECT_TRUE(T::CanConvert(I, S, true));
  S->SetAnsiString(Sv, "123");
  T::Convert(Sv, S, Iv, I);
  EXPECT_EQ(I->GetInteger(Iv), 123);
  B->SetInteger(Bv, 1);
  T::Convert(Bv, B, Sv, S);
  EXPECT_EQ(S->GetAnsiString(Sv), "True");
  D->SetDate(Dv, TVdbDateTimeType::EncodeDate(1999, 12, 31));
  T::Convert(Dv, D, Sv, S);
  EXPECT_EQ(S->GetAnsiString(Sv), "31.12.1999");
  S->SetAnsiString(Sv, "not a number");
  I->SetInteger(Iv, 9);
  EXPECT_THROW(T::Convert(Sv, S, Iv, I), EConvertError);
  EXPECT_EQ(I->GetInteger(Iv), 9);  // unchanged
  // ANSI strings convert implicitly only within one locale.
  const TVdbDataType* H = T::GetStringType(kVdbStringCode, true, 6, 50, "Hungarian_ci_as");
  const TVdbDataType* G = T::GetStringType(kVdbStringCode, true, 6, 50, "German");
  EXPECT_FALSE(T::CanConvert(H, G, false));
  EXPECT_TRUE(T::CanConvert(H, G, true));
  EXPECT_FALSE(T::CanConvert(G, S, false));
  EXPECT_TRUE(T::CanConvert(G, T::GetStringType(kVdbStringCode, false, 5, 9, "German"), false));
  EXPECT_TRUE(T::CanConvert(T::GetDataType(kVdbMemoCode, true, 6), S, false));
}

TEST(VdbDataConvert, MismatchNamesBothTypes) {
  const TVdbDataType* G = T::GetDataType(kVdbGuidCode, true, 6);
  const TVdbDataType* I = T::GetDataType(kVdbIntegerCode, true, 6);
  TVdbDataValue Gv, Iv;
  G->GetDefault(Gv);
  EXPECT_EQ(MessageOf<EVdbEngine>([&] { T::Convert(Gv, G, Iv, I); }), "Type mismatch: Guid->Integer");
  EXPECT_FALSE(T::CanConvert(I, T::GetNullType(), true));
  EXPECT_TRUE(T::CanConvert(T::GetNullType(), I, false));
  EXPECT_FALSE(T::CanConvert(T::GetNullType(), T::GetDataType(kVdbIntegerCode, false, 6), false));
  TVdbDataValue N;
  T::GetNullType()->SetNull(N);
  T::Convert(N, T::GetNullType(), Iv, I);
  EXPECT_TRUE(I->IsNull(Iv));
}

// --- Comparisons ---

TEST(VdbDataCompare, NullComparesAsNotComparable) {
  const TVdbDataType* I = T::GetDataType(kVdbIntegerCode, true, 6);
  const TVdbDataType* S = T::GetStringType(kVdbStringCode, true, 6, 10, "");
  TVdbDataValue A, Null, Sv, SNull;
  I->SetInteger(A, 1);
  I->SetNull(Null);
  S->SetAnsiString(Sv, "x");
  S->SetNull(SNull);
  EXPECT_EQ(T::Compare(A, Null, 0, I, I), kVdbCmpNull);
  EXPECT_EQ(T::Compare(Null, A, 0, I, I), kVdbCmpNull);
  EXPECT_EQ(T::Compare(Null, Null, 0, I, I), kVdbCmpNull);
  EXPECT_EQ(T::Compare(Sv, SNull, 0, S, S), kVdbCmpNull);
  TVdbDataValue N;
  T::GetNullType()->SetNull(N);
  EXPECT_EQ(T::Compare(A, N, 0, I, T::GetNullType()), kVdbCmpNull);
  EXPECT_EQ(T::Compare(N, Sv, 0, T::GetNullType(), S), kVdbCmpNull);
}

TEST(VdbDataCompare, NumbersAcrossCodes) {
  const TVdbDataType* Byte = T::GetDataType(kVdbByteCode, false, 6);
  const TVdbDataType* Big = T::GetDataType(kVdbBigIntCode, false, 6);
  const TVdbDataType* F = T::GetFloatType(false, 6, 2);
  TVdbDataValue A, B, C;
  Byte->SetInteger(A, 200);
  Big->SetInteger(B, -5);
  EXPECT_EQ(T::Compare(A, B, 0, Byte, Big), kVdbCmpGreater);
  F->SetDouble(C, 200.0);
  EXPECT_EQ(T::Compare(A, C, 0, Byte, F), kVdbCmpEqual);  // integer side mirrors the float's answer
  F->SetDouble(C, 200.5);
  EXPECT_EQ(T::Compare(A, C, 0, Byte, F), kVdbCmpLess);
  EXPECT_EQ(T::Compare(C, A, 0, F, Byte), kVdbCmpGreater);
  TVdbDataValue X, Y;
  F->SetDouble(X, 1.0);
  F->SetDouble(Y, 1.0 + 1e-16);
  EXPECT_EQ(T::Compare(X, Y, 0, F, F), kVdbCmpEqual);
  F->SetDouble(Y, 1.0 + 1e-14);
  EXPECT_EQ(T::Compare(X, Y, 0, F, F), kVdbCmpLess);
  F->SetDouble(X, 0.0);
  F->SetDouble(Y, 1e-16);
  EXPECT_EQ(T::Compare(X, Y, 0, F, F), kVdbCmpEqual);
  const TVdbDataType* G = T::GetDataType(kVdbGuidCode, false, 6);
  EXPECT_FALSE(T::CanCompare(G, F));
  TVdbDataValue Gv;
  G->GetDefault(Gv);
  EXPECT_EQ(MessageOf<EVdbDataError>([&] { T::Compare(Gv, X, 0, G, F); }), "Cannot compare these types");
}

TEST(VdbDataCompare, GuidsFieldByField) {
  const TVdbDataType* G = T::GetDataType(kVdbGuidCode, false, 6);
  TVdbDataValue A, B;
  TVdbGuid Ga, Gb;
  Ga.D1 = 0x100;  // little-endian bytes 00 01 ..: bytewise it would sort lower
  Gb.D1 = 0x001;
  G->SetGuid(A, Ga);
  G->SetGuid(B, Gb);
  EXPECT_EQ(T::Compare(A, B, 0, G, G), kVdbCmpGreater);
  Gb = Ga;
  Gb.D4[7] = 1;
  G->SetGuid(B, Gb);
  EXPECT_EQ(T::Compare(A, B, 0, G, G), kVdbCmpLess);
}

TEST(VdbDataCompare, StringsUnderHungarianCiAs) {
  const TVdbStringType* H = T::GetStringType(kVdbStringCode, true, 6, 40, "Hungarian_ci_as");
  auto Cmp = [&](const char* A, const char* B, TStrCmpOptions Options = 0) {
    TVdbDataValue X, Y;
    H->SetAnsiString(X, A);
    H->SetAnsiString(Y, B);
    return T::Compare(X, Y, Options, H, H);
  };
  EXPECT_EQ(Cmp("agancs", "AGANCS"), kVdbCmpEqual);             // case ignored
  EXPECT_EQ(Cmp("tolés", "tölés"), kVdbCmpLess);                // accents matter
  EXPECT_EQ(Cmp("Acsarkodik", "Ácsorog"), kVdbCmpLess);
  EXPECT_EQ(Cmp("Ádázát", "Ág"), kVdbCmpLess);
  EXPECT_EQ(Cmp("Agancsár", "Agancs-csörtölés"), kVdbCmpLess);
  EXPECT_EQ(Cmp("Agancs karimája", "Agancsár"), kVdbCmpLess);
  EXPECT_EQ(Cmp("agancs", "AGANCS", scoCaseSensitive), kVdbCmpLess);  // caller's options ORed in
  // A memo compares with a string of the same collation.
  const TVdbStringType* M = T::GetStringType(kVdbMemoCode, true, 6, 0, "Hungarian_ci_as");
  TVdbDataValue X, Y;
  M->SetAnsiString(X, "ÁG");
  H->SetAnsiString(Y, "ág");
  EXPECT_EQ(T::Compare(X, Y, 0, M, H), kVdbCmpEqual);
  EXPECT_EQ(T::Compare(Y, X, 0, H, M), kVdbCmpEqual);
}

TEST(VdbDataCompare, StringsUnderTheEngineCollation) {
  const TVdbStringType* E = T::GetStringType(kVdbStringCode, true, 6, 40, "");
  const TVdbStringType* W = T::GetStringType(kVdbWideStringCode, true, 6, 40, "");
  TVdbDataValue A, B;
  E->SetAnsiString(A, "cote");
  E->SetAnsiString(B, "coté");
  EXPECT_EQ(T::Compare(A, B, 0, E, E), kVdbCmpLess);
  E->SetAnsiString(A, "Straße");
  E->SetAnsiString(B, "STRASSE");
  EXPECT_NE(T::Compare(A, B, 0, E, E), kVdbCmpEqual);
  TVdbDataValue C, D;
  W->SetAnsiString(C, "abc");
  W->SetAnsiString(D, "ABD");
  EXPECT_EQ(T::Compare(C, D, 0, W, W), kVdbCmpLess);
  EXPECT_FALSE(T::CanCompare(E, W));
}

TEST(VdbDataCompare, LikeThroughTheStringType) {
  const TVdbStringType* H = T::GetStringType(kVdbStringCode, true, 6, 40, "Hungarian_ci_as");
  const TVdbStringType* Lit = T::GetApproxStringType(8);
  TVdbDataValue Value, Pattern;
  Lit->SetAnsiString(Pattern, "%tölés%");
  for (const char* V : {"Agancs-csörtölés", "TÖLÉS"}) {
    H->SetAnsiString(Value, V);
    EXPECT_TRUE(H->Matches(Value, Pattern, Lit, -1, u'_', u'%')) << V;
  }
  H->SetAnsiString(Value, "tolés");
  EXPECT_FALSE(H->Matches(Value, Pattern, Lit, -1, u'_', u'%'));
  H->SetNull(Value);
  EXPECT_FALSE(H->Matches(Value, Pattern, Lit, -1, u'_', u'%'));
}

}  // namespace
}  // namespace vdb
