#include "table/VdbRelation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace vdb {
namespace {

using TImage = std::vector<std::uint8_t>;

template <typename T>
TImage Bytes(T Value) {
  TImage out(sizeof Value);
  std::memcpy(out.data(), &Value, sizeof Value);
  return out;
}

TImage Concat(TImage A, const TImage& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

// Level-6 nullable image: null byte first.
TImage Assigned6(const TImage& Value) { return Concat({1}, Value); }
TImage Null6(std::size_t ValueSize) { return TImage(ValueSize + 1, 0); }
// Below level 6 the null byte trails.
TImage Assigned5(const TImage& Value) { return Concat(Value, {1}); }
TImage Null5(const TImage& Value) { return Concat(Value, {0}); }

// An AnsiString image: [length prefix][MaxLength characters].
TImage AnsiImage(const std::string& Text, std::size_t MaxLength) {
  TImage out;
  if (MaxLength < 256) {
    out.push_back(static_cast<std::uint8_t>(Text.size()));
  } else {
    out = Bytes(static_cast<std::uint16_t>(Text.size()));
  }
  out.insert(out.end(), Text.begin(), Text.end());
  out.resize(out.size() + MaxLength - Text.size(), 'x');  // junk after the length never counts
  return out;
}

TImage WideImage(const std::u16string& Text, std::size_t MaxLength) {
  TImage out = Bytes(static_cast<std::uint16_t>(Text.size()));
  for (char16_t c : Text) out = Concat(out, Bytes(c));
  out.resize(out.size() + 2 * (MaxLength - Text.size()), 0x41);
  return out;
}

struct TFieldCase {
  const char* what;
  std::int16_t type;
  TImage a, b;
  int expected;
  bool nullByte = false;
  std::int16_t level = 6;
};

int Compare(const TFieldCase& c, const TImage& A, const TImage& B) {
  return TVdbRelation::CompareFields(A.data(), B.data(), 0, kVdbEngineLocale, c.nullByte,
                                     static_cast<std::int32_t>(A.size()),
                                     static_cast<std::int32_t>(A.size()),
                                     static_cast<std::int32_t>(B.size()), c.type, c.level);
}

TEST(VdbRelationCompareFields, ComparesEachTypeCode) {
  const std::int32_t d1 = 2000 * 512 + 2 * 32 + 29, d2 = 2000 * 512 + 3 * 32 + 1;
  const std::vector<TFieldCase> cases = {
      {"Char", 0, {'a'}, {0xE9}, -1},
      {"Byte unsigned", 4, {200}, {100}, 1},
      {"Boolean", 5, {0}, {1}, -1},
      {"Enum", 8, {3}, {3}, 0},
      {"SmallInt signed", 2, Bytes<std::int16_t>(-5), Bytes<std::int16_t>(3), -1},
      {"Float", 3, Bytes(2.5), Bytes(-1e10), 1},
      {"Float equal", 3, Bytes(0.1), Bytes(0.1), 0},
      {"Date", 6, Bytes(d1), Bytes(d2), -1},
      {"RecordId", 9, Bytes<std::int32_t>(7), Bytes<std::int32_t>(7), 0},
      {"Link", 10, Bytes<std::int32_t>(70000), Bytes<std::int32_t>(7), 1},
      {"Integer signed", 16, Bytes<std::int32_t>(-1), Bytes<std::int32_t>(1), -1},
      {"Time 2 bytes", 13, Bytes<std::int16_t>(600), Bytes<std::int16_t>(-1), 1},
      {"Time 4 bytes", 13, Bytes<std::int32_t>(86399999), Bytes<std::int32_t>(86400), 1},
      {"TimeStamp date first", 17, Concat(Bytes(d1), Bytes<std::int32_t>(99)),
       Concat(Bytes(d2), Bytes<std::int32_t>(0)), -1},
      {"TimeStamp then time", 17, Concat(Bytes(d1), Bytes<std::int32_t>(99)),
       Concat(Bytes(d1), Bytes<std::int32_t>(-1)), 1},
      {"BigInt", 20, Bytes<std::int64_t>(1LL << 40), Bytes<std::int64_t>(-(1LL << 40)), 1},
      {"Guid Data1 first", 21, Concat(Bytes<std::uint32_t>(1), TImage(12, 9)),
       Concat(Bytes<std::uint32_t>(2), TImage(12, 0)), -1},
      {"Guid Data4", 21, Concat(TImage(8, 0), TImage{0, 0, 0, 0, 0, 0, 0, 2}),
       Concat(TImage(8, 0), TImage{0, 0, 0, 0, 0, 0, 0, 1}), 1},
      {"String", 1, AnsiImage("abc", 10), AnsiImage("ABD", 10), -1},
      {"String ignores the unused area", 1, AnsiImage("abc", 10), AnsiImage("ABC", 10), 0},
      {"String shorter first", 1, AnsiImage("ab", 10), AnsiImage("abc", 10), -1},
      {"String two-byte prefix", 1, AnsiImage("abz", 300), AnsiImage("abc", 300), 1},
      {"WideString", 18, WideImage(u"f", 8), WideImage(u"\u00E9t\u00E9", 8), 1},
      {"WideString folded", 18, WideImage(u"\u00C9T\u00C9", 8), WideImage(u"ete", 8), 0},
      {"Memo compares equal", 7, Bytes<std::int32_t>(1), Bytes<std::int32_t>(2), 0},
      {"Blob compares equal", 11, Bytes<std::int32_t>(1), Bytes<std::int32_t>(2), 0},
  };
  for (const TFieldCase& c : cases) {
    EXPECT_EQ(Compare(c, c.a, c.b), c.expected) << c.what;
    EXPECT_EQ(Compare(c, c.b, c.a), -c.expected) << c.what << " (swapped)";
    // The same values with a leading null byte at level 6.
    TFieldCase nullable = c;
    nullable.nullByte = true;
    EXPECT_EQ(Compare(nullable, Assigned6(c.a), Assigned6(c.b)), c.expected) << c.what << " nullable";
  }
}

TEST(VdbRelationCompareFields, AppliesTheNullByteRulesPerLevel) {
  const TImage one = Bytes<std::int32_t>(1), two = Bytes<std::int32_t>(2);
  struct Case {
    const char* what;
    std::int16_t level;
    TImage a, b;
    int expected;
  };
  const Case cases[] = {
      {"6: NULL before a value", 6, Null6(4), Assigned6(one), -1},
      {"6: two NULLs are equal", 6, Null6(4), Null6(4), 0},
      {"6: values", 6, Assigned6(two), Assigned6(one), 1},
      {"6: a NULL's stale value does not count", 6, Concat({0}, two), Concat({0}, one), 0},
      {"5: NULL before a value", 5, Null5(two), Assigned5(one), -1},
      {"5: two NULLs are equal", 5, Null5(two), Null5(one), 0},
      {"4: values", 4, Assigned5(two), Assigned5(one), 1},
      {"3: values decide first", 3, Null5(two), Assigned5(one), 1},
      {"3: trailing bytes on equal values", 3, Null5(one), Assigned5(one), -1},
      {"1: equal", 1, Assigned5(one), Assigned5(one), 0},
  };
  for (const Case& c : cases) {
    const TFieldCase field{c.what, 16, {}, {}, 0, true, c.level};
    EXPECT_EQ(Compare(field, c.a, c.b), c.expected) << c.what;
    EXPECT_EQ(Compare(field, c.b, c.a), -c.expected) << c.what << " (swapped)";
  }
}

TEST(VdbRelationCompareFields, ComparesStringsUnderTheCollation) {
  std::uint32_t hu = 0;
  TStrCmpOptions options = 0;
  ASSERT_TRUE(ParseCollationName("Hungarian_ci_as", hu, options));
  // Windows-1250: "Ágancs" and "agancs" differ only in accent and case; "cukor" < "csákány".
  auto cmp = [&](const std::string& A, const std::string& B) {
    const TImage a = Assigned6(AnsiImage(A, 20)), b = Assigned6(AnsiImage(B, 20));
    return TVdbRelation::CompareFields(a.data(), b.data(), options, hu, true, 22, 22, 22, 1, 6);
  };
  EXPECT_EQ(cmp("cukor", "cs\xE1k\xE1ny"), -1);
  EXPECT_EQ(cmp("AGANCS", "agancs"), 0);
  EXPECT_EQ(cmp("agancs", "\xC1gancs"), -1);
  // Variable-size key pieces: only the used characters are present.
  const TImage shortKey = {1, 2, 'a', 'b'}, longKey = {1, 3, 'a', 'b', 'c'};
  EXPECT_EQ(TVdbRelation::CompareFields(shortKey.data(), longKey.data(), options, hu, true, 22, 4, 5, 1, 6), -1);
}

TEST(VdbRelationCompareFields, ADamagedLengthPrefixStaysInsideTheImage) {
  // The prefix claims 200 characters in a field of 10; the comparison reads only the image.
  TImage a = AnsiImage("abc", 10), b = AnsiImage("abc", 10);
  a[0] = 200;
  b[0] = 200;
  const TFieldCase c{"damaged", 1, {}, {}, 0};
  EXPECT_EQ(Compare(c, a, b), 0);
  TImage w = WideImage(u"ab", 3);
  w[0] = 0xFF;
  w[1] = 0xFF;
  const TFieldCase wc{"damaged wide", 18, {}, {}, 0};
  EXPECT_EQ(Compare(wc, w, w), 0);
  // Too short to hold even a prefix: the shorter image is the smaller.
  const TImage empty;
  const TImage one = {1};
  EXPECT_EQ(TVdbRelation::CompareFields(empty.data(), one.data(), 0, kVdbEngineLocale, false, 1, 0, 1, 1, 6), -1);
}

TEST(VdbRelationCompareFields, RecordFieldsEqualUsesTheWholeField) {
  const TImage a = Assigned6(AnsiImage("Abc", 10)), b = Assigned6(AnsiImage("aBC", 10));
  EXPECT_TRUE(TVdbRelation::RecordFieldsEqual(a.data(), b.data(), 0, kVdbEngineLocale, true,
                                              static_cast<std::int32_t>(a.size()), 1, 6));
  EXPECT_FALSE(TVdbRelation::RecordFieldsEqual(a.data(), b.data(), scoCaseSensitive, kVdbEngineLocale,
                                               true, static_cast<std::int32_t>(a.size()), 1, 6));
  const TImage n = Null6(11);
  EXPECT_FALSE(TVdbRelation::RecordFieldsEqual(a.data(), n.data(), 0, kVdbEngineLocale, true,
                                               static_cast<std::int32_t>(a.size()), 1, 6));
  EXPECT_TRUE(TVdbRelation::RecordFieldsEqual(n.data(), n.data(), 0, kVdbEngineLocale, true,
                                              static_cast<std::int32_t>(n.size()), 1, 6));
}

}  // namespace
}  // namespace vdb
