#include "storage/kxMemory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace vdb {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Slice(const std::uint8_t* Data, std::size_t From, std::size_t Count) {
  return Bytes(Data + From, Data + From + Count);
}

TEST(kxMemoryTest, IntegersAreLittleEndianAtUnalignedOffsets) {
  std::uint8_t buf[32] = {};
  TkxMemory::WriteInt16(buf, 1, -2);
  TkxMemory::WriteInt32(buf, 3, 0x12345678);
  TkxMemory::WriteInt64(buf, 7, -0x0102030405060708LL);
  TkxMemory::WriteInt8(buf, 15, -128);
  TkxMemory::WriteUInt8(buf, 16, 255);
  TkxMemory::WriteDouble(buf, 17, 1.0);
  EXPECT_EQ(Slice(buf, 1, 2), (Bytes{0xFE, 0xFF}));
  EXPECT_EQ(Slice(buf, 3, 4), (Bytes{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(Slice(buf, 7, 8), (Bytes{0xF8, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE}));
  EXPECT_EQ(Slice(buf, 17, 8), (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  EXPECT_EQ(TkxMemory::ReadInt16(buf, 1), -2);
  EXPECT_EQ(TkxMemory::ReadUInt16(buf, 1), 0xFFFE);
  EXPECT_EQ(TkxMemory::ReadInt32(buf, 3), 0x12345678);
  EXPECT_EQ(TkxMemory::ReadInt64(buf, 7), -0x0102030405060708LL);
  EXPECT_EQ(TkxMemory::ReadInt8(buf, 15), -128);
  EXPECT_EQ(TkxMemory::ReadUInt8(buf, 16), 255);
  EXPECT_EQ(TkxMemory::ReadDouble(buf, 17), 1.0);
  TkxMemory::WriteUInt32(buf, 25, 0x80000000u);
  EXPECT_EQ(TkxMemory::ReadInt32(buf, 25), std::numeric_limits<std::int32_t>::min());
}

TEST(kxMemoryTest, GuidIsCopiedByteForByte) {
  TkxGuidBytes guid{};
  for (std::size_t i = 0; i < guid.size(); ++i) guid[i] = static_cast<std::uint8_t>(0xA0 + i);
  std::uint8_t buf[20] = {};
  TkxMemory::WriteGuid(buf, 3, guid);
  EXPECT_EQ(buf[3], 0xA0);
  EXPECT_EQ(buf[18], 0xAF);
  EXPECT_EQ(TkxMemory::ReadGuid(buf, 3), guid);
}

struct Real48Case {
  double Value;
  Bytes Stored;
};

TEST(kxMemoryTest, Real48KnownEncodings) {
  const Real48Case cases[] = {
      {0.0, {0, 0, 0, 0, 0, 0}},
      {-0.0, {0, 0, 0, 0, 0, 0}},
      {1.0, {0x81, 0, 0, 0, 0, 0}},
      {-1.0, {0x81, 0, 0, 0, 0, 0x80}},
      {0.5, {0x80, 0, 0, 0, 0, 0}},
      {-2.5, {0x82, 0, 0, 0, 0, 0xA0}},
      {TkxMemory::kReal48Max, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
      {-TkxMemory::kReal48Max, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {TkxMemory::kReal48MinPositive, {0x01, 0, 0, 0, 0, 0}},
      {-TkxMemory::kReal48MinPositive, {0x01, 0, 0, 0, 0, 0x80}},
  };
  for (const auto& c : cases) {
    std::uint8_t buf[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    TkxMemory::WriteReal48(buf, 1, c.Value);
    EXPECT_EQ(Slice(buf, 1, 6), c.Stored) << c.Value;
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(buf[7], 0xEE) << "writes exactly six bytes";
    EXPECT_EQ(TkxMemory::ReadReal48(buf, 1), c.Value == 0 ? 0.0 : c.Value);
  }
  EXPECT_DOUBLE_EQ(TkxMemory::kReal48Max, std::ldexp(2.0 - std::ldexp(1.0, -39), 126));
  EXPECT_DOUBLE_EQ(TkxMemory::kReal48MinPositive, std::ldexp(1.0, -128));
}

TEST(kxMemoryTest, Real48ReadsPiAndIgnoresMantissaOfZeroExponent) {
  const std::uint8_t pi[6] = {0x82, 0x21, 0xA2, 0xDA, 0x0F, 0x49};
  EXPECT_NEAR(TkxMemory::ReadReal48(pi, 0), M_PI, 1e-11);
  const std::uint8_t zeroExponent[6] = {0x00, 0x12, 0x34, 0x56, 0x78, 0x9A};
  EXPECT_EQ(TkxMemory::ReadReal48(zeroExponent, 0), 0.0);
}

TEST(kxMemoryTest, Real48RoundTripsWithinItsPrecision) {
  for (double v : {123.456, -123.456, 1e-30, -7.25e37, 3.0e-38, 0.1, 1e10 + 0.5}) {
    std::uint8_t buf[6];
    TkxMemory::WriteReal48(buf, 0, v);
    double back = TkxMemory::ReadReal48(buf, 0);
    EXPECT_LE(std::fabs(back - v), std::fabs(v) * std::ldexp(1.0, -40)) << v;
    // A value read back is representable and therefore stored unchanged.
    std::uint8_t again[6];
    TkxMemory::WriteReal48(again, 0, back);
    EXPECT_EQ(std::memcmp(buf, again, 6), 0) << v;
  }
}

TEST(kxMemoryTest, Real48RoundsToNearestEven) {
  const double ulp = std::ldexp(1.0, -39);
  struct {
    double In, Out;
  } cases[] = {
      {1.0 + ulp / 2, 1.0},                    // tie, even stays
      {1.0 + ulp + ulp / 2, 1.0 + 2 * ulp},    // tie, odd goes up
      {1.0 + ulp / 2 + ulp / 8, 1.0 + ulp},    // above the tie
      {2.0 - ulp / 4, 2.0},                    // carries into the exponent
  };
  for (const auto& c : cases) {
    std::uint8_t buf[6];
    TkxMemory::WriteReal48(buf, 0, c.In);
    EXPECT_EQ(TkxMemory::ReadReal48(buf, 0), c.Out) << c.In;
  }
}

TEST(kxMemoryTest, Real48ValuesThatDoNotFit) {
  const double tooLarge[] = {std::ldexp(1.0, 127), -std::ldexp(1.0, 127),
                             std::ldexp(2.0 - std::ldexp(1.0, -41), 126), 1e300,
                             std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};
  for (double v : tooLarge) {
    std::uint8_t buf[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_THROW(TkxMemory::WriteReal48(buf, 0, v), EkxMemoryError) << v;
    EXPECT_EQ(Slice(buf, 0, 6), (Bytes{1, 2, 3, 4, 5, 6})) << "nothing written";
  }
  // Below the smallest magnitude the value becomes 0.
  for (double v : {std::ldexp(1.0, -129), -1e-300, std::numeric_limits<double>::denorm_min()}) {
    std::uint8_t buf[6] = {1, 2, 3, 4, 5, 6};
    TkxMemory::WriteReal48(buf, 0, v);
    EXPECT_EQ(Slice(buf, 0, 6), (Bytes{0, 0, 0, 0, 0, 0})) << v;
  }
}

TEST(kxMemoryTest, LengthPrefixedAnsiStrings) {
  std::uint8_t buf[70000] = {};
  EXPECT_EQ(TkxMemory::WriteBPAnsiString(buf, 1, "abc"), 4);
  EXPECT_EQ(Slice(buf, 1, 4), (Bytes{3, 'a', 'b', 'c'}));
  EXPECT_EQ(TkxMemory::ReadBPAnsiString(buf, 1), "abc");

  const std::string longText(300, 'x');
  struct {
    std::int32_t MaxLen;
    std::size_t Stored;
  } bp[] = {{255, 255}, {-1, 255}, {1000, 255}, {2, 2}, {0, 0}};
  for (const auto& c : bp) {
    EXPECT_EQ(TkxMemory::WriteBPAnsiString(buf, 0, longText, c.MaxLen),
              static_cast<std::int64_t>(c.Stored + 1));
    EXPECT_EQ(TkxMemory::ReadBPAnsiString(buf, 0), std::string(c.Stored, 'x')) << c.MaxLen;
  }
  const std::string wpText(70000, 'y');
  EXPECT_EQ(TkxMemory::WriteWPAnsiString(buf, 0, wpText), 2 + 65535);
  EXPECT_EQ(TkxMemory::ReadWPAnsiString(buf, 0).size(), 65535u);
  EXPECT_EQ(TkxMemory::WriteWPAnsiString(buf, 0, "\xF5r", -1), 4);
  EXPECT_EQ(Slice(buf, 0, 4), (Bytes{2, 0, 0xF5, 'r'})) << "8-bit characters are kept as they are";
  EXPECT_EQ(TkxMemory::ReadWPAnsiString(buf, 0), "\xF5r");
}

TEST(kxMemoryTest, StoredLengthsBeyondTheBufferAreRefused) {
  std::uint8_t buf[8] = {10, 'a', 'b'};
  EXPECT_THROW(TkxMemory::ReadBPAnsiString(buf, 0, 8), EkxMemoryError);
  EXPECT_THROW(TkxMemory::ReadBPAnsiString(buf, 0, 0), EkxMemoryError);
  EXPECT_EQ(TkxMemory::ReadBPAnsiString(buf, 0, 11).size(), 10u) << "fits exactly";
  std::uint8_t wp[4] = {0xFF, 0xFF, 'a', 'b'};
  EXPECT_THROW(TkxMemory::ReadWPAnsiString(wp, 0, 4), EkxMemoryError);
  EXPECT_THROW(TkxMemory::ReadWPAnsiString(wp, 0, 1), EkxMemoryError);
  EXPECT_THROW(TkxMemory::ReadWPWideString(wp, 0, 4), EkxMemoryError);
}

TEST(kxMemoryTest, WideStringsAreUtf16LittleEndian) {
  std::uint8_t buf[64] = {};
  EXPECT_EQ(TkxMemory::WriteWPWideString(buf, 0, "\xC5\x90s"), 6);  // "Ős"
  EXPECT_EQ(Slice(buf, 0, 6), (Bytes{2, 0, 0x50, 0x01, 's', 0}));
  std::int64_t read = 0;
  EXPECT_EQ(TkxMemory::ReadWPWideString(buf, 0, 6, &read), "\xC5\x90s");
  EXPECT_EQ(read, 6);

  const std::string smiley = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair
  EXPECT_EQ(TkxMemory::WriteWPWideString(buf, 0, smiley), 6);
  EXPECT_EQ(Slice(buf, 0, 6), (Bytes{2, 0, 0x3D, 0xD8, 0x00, 0xDE}));
  EXPECT_EQ(TkxMemory::ReadWPWideString(buf, 0), smiley);
  EXPECT_EQ(TkxMemory::WriteWPWideString(buf, 0, "a" + smiley, 2), 4) << "never half a pair";
  EXPECT_EQ(TkxMemory::ReadWPWideString(buf, 0), "a");

  const std::uint8_t lone[] = {1, 0, 0x00, 0xD8};
  EXPECT_EQ(TkxMemory::ReadWPWideString(lone, 0), "\xEF\xBF\xBD") << "lone surrogate";
  EXPECT_THROW(TkxMemory::WriteWPWideString(buf, 0, "\xC3("), EkxMemoryError);
}

TEST(kxMemoryTest, ZeroTerminatedStrings) {
  std::uint8_t buf[32];
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(TkxMemory::WriteZTAnsiString(buf, 1, "hello", 3), 4);
  EXPECT_EQ(Slice(buf, 1, 4), (Bytes{'h', 'e', 'l', 0}));
  EXPECT_EQ(TkxMemory::ReadZTAnsiString(buf, 1, 31), "hel");
  EXPECT_EQ(TkxMemory::WriteZTAnsiString(buf, 0, "hello"), 6);
  EXPECT_EQ(TkxMemory::ReadZTAnsiString(buf, 0, 3), "hel") << "stops at the end of the buffer";
  EXPECT_EQ(TkxMemory::ReadZTAnsiString(buf, 0, -1), "hello");

  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(TkxMemory::WriteZTWideString(buf, 0, "\xC5\x90z"), 6);
  EXPECT_EQ(Slice(buf, 0, 6), (Bytes{0x50, 0x01, 'z', 0, 0, 0}));
  std::int64_t read = 0;
  EXPECT_EQ(TkxMemory::ReadZTWideString(buf, 0, 32, &read), "\xC5\x90z");
  EXPECT_EQ(read, 6);
  EXPECT_EQ(TkxMemory::ReadZTWideString(buf, 0, 3, &read), "\xC5\x90");
  EXPECT_EQ(read, 2) << "no terminator inside the buffer";
  EXPECT_EQ(TkxMemory::WriteZTWideString(buf, 0, "abc", 1), 4);
  EXPECT_EQ(TkxMemory::ReadZTWideString(buf, 0, 32), "a");
}

TEST(kxMemoryTest, MemoryHelpers) {
  TkxMemoryPtr block = TkxMemory::AllocMemory(100, true);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(block[i], 0);
  TkxMemory::Fill(block.get(), 10, 0x5A);
  TkxMemory::ReallocMemory(block, 100000);
  EXPECT_EQ(block[9], 0x5A);
  EXPECT_EQ(block[10], 0);
  TkxMemory::Copy(block.get() + 1, block.get(), 10);  // overlapping
  EXPECT_EQ(block[0], 0x5A);
  EXPECT_EQ(block[10], 0x5A);
  EXPECT_EQ(block[11], 0);
  TkxMemory::FreeMemory(block);
  EXPECT_EQ(block, nullptr);
  EXPECT_NE(TkxMemory::AllocMemory(0, false), nullptr);
}

}  // namespace
}  // namespace vdb
