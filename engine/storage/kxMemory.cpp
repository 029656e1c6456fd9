#include "storage/kxMemory.h"

#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "storage/kxFormat.h"

namespace vdb {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the codecs copy little-endian values straight from memory");

const std::uint8_t* At(const void* Buffer, std::int64_t Offset) {
  return static_cast<const std::uint8_t*>(Buffer) + Offset;
}

std::uint8_t* At(void* Buffer, std::int64_t Offset) {
  return static_cast<std::uint8_t*>(Buffer) + Offset;
}

template <typename T>
T Load(const void* Buffer, std::int64_t Offset) {
  T value;
  std::memcpy(&value, At(Buffer, Offset), sizeof value);
  return value;
}

template <typename T>
void Store(void* Buffer, std::int64_t Offset, T Value) {
  std::memcpy(At(Buffer, Offset), &Value, sizeof Value);
}

// Raises when a stored length of Needed bytes does not fit the Available bytes.
void CheckAvailable(std::int64_t Needed, std::int64_t Available, std::int64_t Offset) {
  if (Available >= 0 && Needed > Available) {
    throw EkxMemoryError(kxFormat("String of %d bytes at offset %d exceeds the buffer (%d bytes)",
                                  {Needed, Offset, Available}));
  }
}

std::size_t Clamp(std::size_t Length, std::int32_t MaxLen, std::size_t Limit) {
  std::size_t max = MaxLen < 0 ? Limit : std::min<std::size_t>(static_cast<std::size_t>(MaxLen), Limit);
  return std::min(Length, max);
}

// The number of code units to keep of Text when at most Max are wanted, never splitting a
// surrogate pair.
std::size_t ClampUnits(const std::u16string& Text, std::size_t Max) {
  if (Text.size() <= Max) return Text.size();
  if (Max > 0 && Text[Max - 1] >= 0xD800 && Text[Max - 1] <= 0xDBFF) return Max - 1;
  return Max;
}

void StoreUnits(void* Buffer, std::int64_t Offset, const char16_t* Units, std::size_t Count) {
  for (std::size_t i = 0; i < Count; ++i) {
    Store<std::uint16_t>(Buffer, Offset + 2 * static_cast<std::int64_t>(i), Units[i]);
  }
}

std::u16string LoadUnits(const void* Buffer, std::int64_t Offset, std::size_t Count) {
  std::u16string units(Count, u'\0');
  for (std::size_t i = 0; i < Count; ++i) {
    units[i] = Load<std::uint16_t>(Buffer, Offset + 2 * static_cast<std::int64_t>(i));
  }
  return units;
}

constexpr std::uint64_t kReal48Hidden = std::uint64_t{1} << 39;

}  // namespace

std::int8_t TkxMemory::ReadInt8(const void* Buffer, std::int64_t Offset) {
  return Load<std::int8_t>(Buffer, Offset);
}
void TkxMemory::WriteInt8(void* Buffer, std::int64_t Offset, std::int8_t Value) {
  Store(Buffer, Offset, Value);
}
std::uint8_t TkxMemory::ReadUInt8(const void* Buffer, std::int64_t Offset) {
  return Load<std::uint8_t>(Buffer, Offset);
}
void TkxMemory::WriteUInt8(void* Buffer, std::int64_t Offset, std::uint8_t Value) {
  Store(Buffer, Offset, Value);
}
std::int16_t TkxMemory::ReadInt16(const void* Buffer, std::int64_t Offset) {
  return Load<std::int16_t>(Buffer, Offset);
}
void TkxMemory::WriteInt16(void* Buffer, std::int64_t Offset, std::int16_t Value) {
  Store(Buffer, Offset, Value);
}
std::uint16_t TkxMemory::ReadUInt16(const void* Buffer, std::int64_t Offset) {
  return Load<std::uint16_t>(Buffer, Offset);
}
void TkxMemory::WriteUInt16(void* Buffer, std::int64_t Offset, std::uint16_t Value) {
  Store(Buffer, Offset, Value);
}
std::int32_t TkxMemory::ReadInt32(const void* Buffer, std::int64_t Offset) {
  return Load<std::int32_t>(Buffer, Offset);
}
void TkxMemory::WriteInt32(void* Buffer, std::int64_t Offset, std::int32_t Value) {
  Store(Buffer, Offset, Value);
}
std::uint32_t TkxMemory::ReadUInt32(const void* Buffer, std::int64_t Offset) {
  return Load<std::uint32_t>(Buffer, Offset);
}
void TkxMemory::WriteUInt32(void* Buffer, std::int64_t Offset, std::uint32_t Value) {
  Store(Buffer, Offset, Value);
}
std::int64_t TkxMemory::ReadInt64(const void* Buffer, std::int64_t Offset) {
  return Load<std::int64_t>(Buffer, Offset);
}
void TkxMemory::WriteInt64(void* Buffer, std::int64_t Offset, std::int64_t Value) {
  Store(Buffer, Offset, Value);
}
double TkxMemory::ReadDouble(const void* Buffer, std::int64_t Offset) {
  return Load<double>(Buffer, Offset);
}
void TkxMemory::WriteDouble(void* Buffer, std::int64_t Offset, double Value) {
  Store(Buffer, Offset, Value);
}
TkxGuidBytes TkxMemory::ReadGuid(const void* Buffer, std::int64_t Offset) {
  return Load<TkxGuidBytes>(Buffer, Offset);
}
void TkxMemory::WriteGuid(void* Buffer, std::int64_t Offset, const TkxGuidBytes& Value) {
  Store(Buffer, Offset, Value);
}

// --- Real48 ------------------------------------------------------------------------------------

double TkxMemory::ReadReal48(const void* Buffer, std::int64_t Offset) {
  std::uint64_t word = 0;
  std::memcpy(&word, At(Buffer, Offset), 6);
  int exponent = static_cast<int>(word & 0xFF);
  if (exponent == 0) return 0.0;
  std::uint64_t fraction = (word >> 8) & (kReal48Hidden - 1);
  double magnitude = std::ldexp(static_cast<double>(fraction | kReal48Hidden), exponent - 129 - 39);
  return (word >> 47) & 1 ? -magnitude : magnitude;
}

void TkxMemory::WriteReal48(void* Buffer, std::int64_t Offset, double Value) {
  if (!std::isfinite(Value)) throw EkxMemoryError("Value does not fit a 6-byte real");
  std::uint64_t word = 0;
  if (Value != 0.0) {
    int e = 0;
    double m = std::frexp(std::fabs(Value), &e);  // |Value| = m * 2^e, m in [0.5, 1)
    // 40 significant bits (the hidden bit and 39 stored ones), rounded to nearest, ties to even.
    auto mantissa = static_cast<std::uint64_t>(std::nearbyint(std::ldexp(m, 40)));
    if (mantissa == 2 * kReal48Hidden) {
      mantissa = kReal48Hidden;
      ++e;
    }
    int exponent = e + 128;
    if (exponent > 255) throw EkxMemoryError("Value does not fit a 6-byte real");
    if (exponent >= 1) {
      word = static_cast<std::uint64_t>(exponent) | ((mantissa - kReal48Hidden) << 8) |
             (std::uint64_t{std::signbit(Value) ? 1u : 0u} << 47);
    }
  }
  std::memcpy(At(Buffer, Offset), &word, 6);
}

// --- 8-bit strings -----------------------------------------------------------------------------

std::string TkxMemory::ReadBPAnsiString(const void* Buffer, std::int64_t Offset,
                                        std::int64_t Available) {
  CheckAvailable(1, Available, Offset);
  std::size_t length = ReadUInt8(Buffer, Offset);
  CheckAvailable(1 + static_cast<std::int64_t>(length), Available, Offset);
  return std::string(reinterpret_cast<const char*>(At(Buffer, Offset + 1)), length);
}

std::int64_t TkxMemory::WriteBPAnsiString(void* Buffer, std::int64_t Offset,
                                          std::string_view Value, std::int32_t MaxLen) {
  std::size_t length = Clamp(Value.size(), MaxLen, 255);
  WriteUInt8(Buffer, Offset, static_cast<std::uint8_t>(length));
  std::memcpy(At(Buffer, Offset + 1), Value.data(), length);
  return 1 + static_cast<std::int64_t>(length);
}

std::string TkxMemory::ReadWPAnsiString(const void* Buffer, std::int64_t Offset,
                                        std::int64_t Available) {
  CheckAvailable(2, Available, Offset);
  std::size_t length = ReadUInt16(Buffer, Offset);
  CheckAvailable(2 + static_cast<std::int64_t>(length), Available, Offset);
  return std::string(reinterpret_cast<const char*>(At(Buffer, Offset + 2)), length);
}

std::int64_t TkxMemory::WriteWPAnsiString(void* Buffer, std::int64_t Offset,
                                          std::string_view Value, std::int32_t MaxLen) {
  std::size_t length = Clamp(Value.size(), MaxLen, 65535);
  WriteUInt16(Buffer, Offset, static_cast<std::uint16_t>(length));
  std::memcpy(At(Buffer, Offset + 2), Value.data(), length);
  return 2 + static_cast<std::int64_t>(length);
}

std::string TkxMemory::ReadZTAnsiString(const void* Buffer, std::int64_t Offset,
                                        std::int64_t Available) {
  const char* start = reinterpret_cast<const char*>(At(Buffer, Offset));
  if (Available < 0) return std::string(start);
  const void* zero = std::memchr(start, 0, static_cast<std::size_t>(Available));
  std::size_t length = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - start)
                            : static_cast<std::size_t>(Available);
  return std::string(start, length);
}

std::int64_t TkxMemory::WriteZTAnsiString(void* Buffer, std::int64_t Offset,
                                          std::string_view Value, std::int32_t MaxLen) {
  std::size_t length = Clamp(Value.size(), MaxLen, Value.size());
  std::memcpy(At(Buffer, Offset), Value.data(), length);
  WriteUInt8(Buffer, Offset + static_cast<std::int64_t>(length), 0);
  return static_cast<std::int64_t>(length) + 1;
}

// --- UTF-16 strings ----------------------------------------------------------------------------

std::u16string TkxMemory::Utf8ToUtf16(std::string_view Value) {
  if (Value.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t needed = 0;
  u_strFromUTF8(nullptr, 0, &needed, Value.data(), static_cast<std::int32_t>(Value.size()),
                &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    throw EkxMemoryError("Text is not valid UTF-8");
  }
  std::u16string result(static_cast<std::size_t>(needed), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8(result.data(), needed, nullptr, Value.data(),
                static_cast<std::int32_t>(Value.size()), &status);
  if (U_FAILURE(status)) throw EkxMemoryError("Text is not valid UTF-8");
  return result;
}

std::string TkxMemory::Utf16ToUtf8(std::u16string_view Value) {
  if (Value.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t needed = 0;
  u_strToUTF8WithSub(nullptr, 0, &needed, Value.data(), static_cast<std::int32_t>(Value.size()),
                     0xFFFD, nullptr, &status);
  std::string result(static_cast<std::size_t>(needed), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8WithSub(result.data(), needed, nullptr, Value.data(),
                     static_cast<std::int32_t>(Value.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) throw EkxMemoryError("Text cannot be converted to UTF-8");
  return result;
}

std::string TkxMemory::ReadWPWideString(const void* Buffer, std::int64_t Offset,
                                        std::int64_t Available, std::int64_t* BytesRead) {
  CheckAvailable(2, Available, Offset);
  std::size_t units = ReadUInt16(Buffer, Offset);
  std::int64_t size = 2 + 2 * static_cast<std::int64_t>(units);
  CheckAvailable(size, Available, Offset);
  if (BytesRead) *BytesRead = size;
  return Utf16ToUtf8(LoadUnits(Buffer, Offset + 2, units));
}

std::int64_t TkxMemory::WriteWPWideString(void* Buffer, std::int64_t Offset,
                                          std::string_view Value, std::int32_t MaxLen) {
  std::u16string units = Utf8ToUtf16(Value);
  std::size_t count = ClampUnits(units, Clamp(units.size(), MaxLen, 65535));
  WriteUInt16(Buffer, Offset, static_cast<std::uint16_t>(count));
  StoreUnits(Buffer, Offset + 2, units.data(), count);
  return 2 + 2 * static_cast<std::int64_t>(count);
}

std::string TkxMemory::ReadZTWideString(const void* Buffer, std::int64_t Offset,
                                        std::int64_t Available, std::int64_t* BytesRead) {
  std::size_t limit = Available < 0 ? SIZE_MAX : static_cast<std::size_t>(Available / 2);
  std::size_t count = 0;
  while (count < limit && ReadUInt16(Buffer, Offset + 2 * static_cast<std::int64_t>(count)) != 0) {
    ++count;
  }
  if (BytesRead) *BytesRead = 2 * static_cast<std::int64_t>(count) + (count < limit ? 2 : 0);
  return Utf16ToUtf8(LoadUnits(Buffer, Offset, count));
}

std::int64_t TkxMemory::WriteZTWideString(void* Buffer, std::int64_t Offset,
                                          std::string_view Value, std::int32_t MaxLen) {
  std::u16string units = Utf8ToUtf16(Value);
  std::size_t count = ClampUnits(units, Clamp(units.size(), MaxLen, units.size()));
  StoreUnits(Buffer, Offset, units.data(), count);
  WriteUInt16(Buffer, Offset + 2 * static_cast<std::int64_t>(count), 0);
  return 2 * static_cast<std::int64_t>(count) + 2;
}

// --- Memory helpers ----------------------------------------------------------------------------

TkxMemoryPtr TkxMemory::AllocMemory(std::size_t Size, bool Init) {
  void* memory = Init ? std::calloc(std::max<std::size_t>(Size, 1), 1)
                      : std::malloc(std::max<std::size_t>(Size, 1));
  if (memory == nullptr) throw std::bad_alloc();
  return TkxMemoryPtr(static_cast<std::uint8_t*>(memory));
}

void TkxMemory::ReallocMemory(TkxMemoryPtr& Memory, std::size_t NewSize) {
  void* memory = std::realloc(Memory.get(), std::max<std::size_t>(NewSize, 1));
  if (memory == nullptr) throw std::bad_alloc();  // the old block stays valid and owned
  static_cast<void>(Memory.release());
  Memory.reset(static_cast<std::uint8_t*>(memory));
}

void TkxMemory::FreeMemory(TkxMemoryPtr& Memory) { Memory.reset(); }

void TkxMemory::Copy(void* Target, const void* Source, std::size_t Count) {
  if (Count > 0) std::memmove(Target, Source, Count);
}

void TkxMemory::Fill(void* Target, std::size_t Count, std::uint8_t Value) {
  if (Count > 0) std::memset(Target, Value, Count);
}

}  // namespace vdb
