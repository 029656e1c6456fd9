#include "table/VdbRelation.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace vdb {

namespace {

template <typename T>
T Read(const std::uint8_t* P) {
  T v;
  std::memcpy(&v, P, sizeof v);  // field images are not aligned
  return v;
}

template <typename T>
int Sign(T A, T B) {
  return A < B ? -1 : (B < A ? 1 : 0);
}

template <typename T>
int CompareAs(const std::uint8_t* A, const std::uint8_t* B) {
  return Sign(Read<T>(A), Read<T>(B));
}

int CompareGuids(const std::uint8_t* A, const std::uint8_t* B) {
  if (int r = CompareAs<std::uint32_t>(A, B)) return r;
  if (int r = CompareAs<std::uint16_t>(A + 4, B + 4)) return r;
  if (int r = CompareAs<std::uint16_t>(A + 6, B + 6)) return r;
  const int r = std::memcmp(A + 8, B + 8, 8);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// The characters of a stored string: the length from its prefix, limited to what the image holds
// so that a damaged prefix never reads beyond the field.
std::int32_t StoredLength(const std::uint8_t* Prefix, int PrefixSize, std::int32_t Available) {
  const std::int32_t len = PrefixSize == 1 ? Prefix[0] : Read<std::uint16_t>(Prefix);
  return std::clamp<std::int32_t>(len, 0, std::max<std::int32_t>(Available, 0));
}

int CompareAnsiStrings(const std::uint8_t* V1, const std::uint8_t* V2, std::int32_t Size1,
                       std::int32_t Size2, std::int32_t FieldSize, bool HasNullByte,
                       TStrCmpOptions Options, std::uint32_t LocaleId) {
  const int prefix = FieldSize <= (HasNullByte ? 257 : 256) ? 1 : 2;
  if (Size1 < prefix || Size2 < prefix) return Sign(Size1, Size2);
  const std::int32_t len1 = StoredLength(V1, prefix, Size1 - prefix);
  const std::int32_t len2 = StoredLength(V2, prefix, Size2 - prefix);
  return CompareCollated(reinterpret_cast<const char*>(V1 + prefix), len1,
                         reinterpret_cast<const char*>(V2 + prefix), len2, Options, LocaleId);
}

// UTF-16 text of a field image, copied into aligned storage.
class TWideText {
 public:
  TWideText(const std::uint8_t* P, std::int32_t Units) : units_(Units) {
    char16_t* d = Units <= static_cast<std::int32_t>(stack_.size()) ? stack_.data()
                                                                     : (heap_.resize(Units), heap_.data());
    std::memcpy(d, P, static_cast<std::size_t>(Units) * 2);
    data_ = d;
  }
  const char16_t* data() const { return data_; }
  std::int32_t size() const { return units_; }

 private:
  std::int32_t units_;
  std::array<char16_t, 256> stack_;
  std::vector<char16_t> heap_;
  const char16_t* data_ = nullptr;
};

int CompareWideStrings(const std::uint8_t* V1, const std::uint8_t* V2, std::int32_t Size1,
                       std::int32_t Size2, TStrCmpOptions Options, std::uint32_t LocaleId) {
  if (Size1 < 2 || Size2 < 2) return Sign(Size1, Size2);
  const TWideText w1(V1 + 2, StoredLength(V1, 2, (Size1 - 2) / 2));
  const TWideText w2(V2 + 2, StoredLength(V2, 2, (Size2 - 2) / 2));
  return CompareCollated(w1.data(), w1.size(), w2.data(), w2.size(), Options, LocaleId);
}

// The values without their null bytes; Size1/Size2 are the bytes each side holds.
int CompareValues(const std::uint8_t* V1, const std::uint8_t* V2, std::int32_t Size1,
                  std::int32_t Size2, std::int32_t FieldSize, bool HasNullByte,
                  std::int16_t ColumnType, TStrCmpOptions Options, std::uint32_t LocaleId) {
  // Fixed-size values need their whole image on both sides.
  auto fits = [&](std::int32_t Need) { return Size1 >= Need && Size2 >= Need; };
  switch (ColumnType) {
    case 0: case 4: case 5: case 8:
      return fits(1) ? Sign(V1[0], V2[0]) : Sign(Size1, Size2);
    case 2:
      return fits(2) ? CompareAs<std::int16_t>(V1, V2) : Sign(Size1, Size2);
    case 3:
      return fits(8) ? CompareAs<double>(V1, V2) : Sign(Size1, Size2);
    case 6: case 9: case 10: case 16:
      return fits(4) ? CompareAs<std::int32_t>(V1, V2) : Sign(Size1, Size2);
    case 13: {
      const std::int32_t valueSize = FieldSize - (HasNullByte ? 1 : 0);
      if (valueSize == 2) return fits(2) ? CompareAs<std::int16_t>(V1, V2) : Sign(Size1, Size2);
      return fits(4) ? CompareAs<std::int32_t>(V1, V2) : Sign(Size1, Size2);
    }
    case 17:
      if (!fits(8)) return Sign(Size1, Size2);
      if (int r = CompareAs<std::int32_t>(V1, V2)) return r;
      return CompareAs<std::int32_t>(V1 + 4, V2 + 4);
    case 20:
      return fits(8) ? CompareAs<std::int64_t>(V1, V2) : Sign(Size1, Size2);
    case 21:
      return fits(16) ? CompareGuids(V1, V2) : Sign(Size1, Size2);
    case 1:
      return CompareAnsiStrings(V1, V2, Size1, Size2, FieldSize, HasNullByte, Options, LocaleId);
    case 18:
      return CompareWideStrings(V1, V2, Size1, Size2, Options, LocaleId);
    default:
      return 0;
  }
}

}  // namespace

int TVdbRelation::CompareFields(const std::uint8_t* Value1, const std::uint8_t* Value2,
                                TStrCmpOptions Options, std::uint32_t LocaleId, bool HasNullByte,
                                std::int32_t FieldSize, std::int32_t DataSize1,
                                std::int32_t DataSize2, std::int16_t ColumnType,
                                std::int16_t TableLevel) {
  if (!HasNullByte || DataSize1 < 1 || DataSize2 < 1) {
    return CompareValues(Value1, Value2, DataSize1, DataSize2, FieldSize, HasNullByte, ColumnType,
                         Options, LocaleId);
  }
  if (TableLevel >= 6) {
    // The null byte leads: NULL sorts before every value, two NULLs are equal.
    if (Value1[0] == 0 || Value2[0] == 0) return Sign(Value1[0], Value2[0]);
    return CompareValues(Value1 + 1, Value2 + 1, DataSize1 - 1, DataSize2 - 1, FieldSize,
                         HasNullByte, ColumnType, Options, LocaleId);
  }
  // Older levels keep the null byte at the end of the field.
  const std::uint8_t null1 = Value1[DataSize1 - 1], null2 = Value2[DataSize2 - 1];
  if (TableLevel >= 4 && (null1 == 0 || null2 == 0)) return Sign(null1, null2);
  const int r = CompareValues(Value1, Value2, DataSize1 - 1, DataSize2 - 1, FieldSize, HasNullByte,
                              ColumnType, Options, LocaleId);
  if (r != 0 || TableLevel >= 4) return r;
  return Sign(null1, null2);
}

bool TVdbRelation::RecordFieldsEqual(const std::uint8_t* Value1, const std::uint8_t* Value2,
                                     TStrCmpOptions Options, std::uint32_t LocaleId,
                                     bool HasNullByte, std::int32_t FieldSize,
                                     std::int16_t ColumnType, std::int16_t TableLevel) {
  return CompareFields(Value1, Value2, Options, LocaleId, HasNullByte, FieldSize, FieldSize,
                       FieldSize, ColumnType, TableLevel) == 0;
}

}  // namespace vdb
