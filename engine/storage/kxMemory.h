// Value codecs of the on-disk formats: little-endian, unaligned reads and writes at
// (buffer, offset), and plain memory helpers.
//
// 8-bit strings (the "Ansi" forms) are moved as the bytes they are: converting them to or from
// the engine's UTF-8 text belongs to the format that knows their code page. The "Wide" forms
// hold UTF-16LE code units and convert to and from UTF-8; a lone surrogate read from a file
// becomes U+FFFD, text that is not valid UTF-8 raises EkxMemoryError when written.
//
// The length-prefixed and zero-terminated readers take the number of bytes available from
// Offset on; a length that reaches beyond it raises EkxMemoryError instead of reading out of
// bounds. Pass -1 only when the caller has checked the bounds itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vdb {

class EkxMemoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A GUID as its 16 bytes lie in memory and on disk.
using TkxGuidBytes = std::array<std::uint8_t, 16>;

// Memory obtained with TkxMemory::AllocMemory; freed with std::free.
struct TkxMemoryDeleter {
  void operator()(void* P) const noexcept { std::free(P); }
};
using TkxMemoryPtr = std::unique_ptr<std::uint8_t[], TkxMemoryDeleter>;

class TkxMemory {
 public:
  static std::int8_t ReadInt8(const void* Buffer, std::int64_t Offset);
  static void WriteInt8(void* Buffer, std::int64_t Offset, std::int8_t Value);
  static std::uint8_t ReadUInt8(const void* Buffer, std::int64_t Offset);
  static void WriteUInt8(void* Buffer, std::int64_t Offset, std::uint8_t Value);
  static std::int16_t ReadInt16(const void* Buffer, std::int64_t Offset);
  static void WriteInt16(void* Buffer, std::int64_t Offset, std::int16_t Value);
  static std::uint16_t ReadUInt16(const void* Buffer, std::int64_t Offset);
  static void WriteUInt16(void* Buffer, std::int64_t Offset, std::uint16_t Value);
  static std::int32_t ReadInt32(const void* Buffer, std::int64_t Offset);
  static void WriteInt32(void* Buffer, std::int64_t Offset, std::int32_t Value);
  static std::uint32_t ReadUInt32(const void* Buffer, std::int64_t Offset);
  static void WriteUInt32(void* Buffer, std::int64_t Offset, std::uint32_t Value);
  static std::int64_t ReadInt64(const void* Buffer, std::int64_t Offset);
  static void WriteInt64(void* Buffer, std::int64_t Offset, std::int64_t Value);
  static double ReadDouble(const void* Buffer, std::int64_t Offset);
  static void WriteDouble(void* Buffer, std::int64_t Offset, double Value);
  static TkxGuidBytes ReadGuid(const void* Buffer, std::int64_t Offset);
  static void WriteGuid(void* Buffer, std::int64_t Offset, const TkxGuidBytes& Value);

  // The 6-byte legacy real: byte 0 the exponent biased by 129 (0 means the value 0), then 39
  // mantissa bits with an implicit leading 1, the top bit of byte 5 the sign. Writing rounds to
  // the nearest representable value; magnitudes below 2^-128 after rounding become 0; infinite,
  // NaN and values of 2^127 or more after rounding raise EkxMemoryError.
  static double ReadReal48(const void* Buffer, std::int64_t Offset);
  static void WriteReal48(void* Buffer, std::int64_t Offset, double Value);
  static constexpr double kReal48Max = 0x1.FFFFFFFFFEp+126;  // (2 - 2^-39) * 2^126
  static constexpr double kReal48MinPositive = 0x1p-128;

  // 1-byte length, then the characters. Writing copies at most MaxLen characters (a negative
  // MaxLen or one above 255 means 255); the result is the number of bytes written.
  static std::string ReadBPAnsiString(const void* Buffer, std::int64_t Offset,
                                      std::int64_t Available = -1);
  static std::int64_t WriteBPAnsiString(void* Buffer, std::int64_t Offset, std::string_view Value,
                                        std::int32_t MaxLen = 255);

  // 2-byte length, then the characters; at most 65535 (MaxLen as above).
  static std::string ReadWPAnsiString(const void* Buffer, std::int64_t Offset,
                                      std::int64_t Available = -1);
  static std::int64_t WriteWPAnsiString(void* Buffer, std::int64_t Offset, std::string_view Value,
                                        std::int32_t MaxLen = 65535);

  // 2-byte length in UTF-16 code units, then the code units; at most 65535 units (MaxLen as
  // above, a cut never splits a surrogate pair). BytesRead, when given, receives 2 + 2 * units.
  static std::string ReadWPWideString(const void* Buffer, std::int64_t Offset,
                                      std::int64_t Available = -1,
                                      std::int64_t* BytesRead = nullptr);
  static std::int64_t WriteWPWideString(void* Buffer, std::int64_t Offset,
                                        std::string_view Value, std::int32_t MaxLen = 65535);

  // Characters up to a terminating zero. Reading stops at the zero or after Available bytes
  // (then without a terminator). Writing copies at most MaxLen characters (negative: all) and
  // then the zero; the result is the number of bytes written including the zero.
  static std::string ReadZTAnsiString(const void* Buffer, std::int64_t Offset,
                                      std::int64_t Available);
  static std::int64_t WriteZTAnsiString(void* Buffer, std::int64_t Offset, std::string_view Value,
                                        std::int32_t MaxLen = -1);

  // The same with 16-bit characters; Available counts bytes, MaxLen code units.
  static std::string ReadZTWideString(const void* Buffer, std::int64_t Offset,
                                      std::int64_t Available, std::int64_t* BytesRead = nullptr);
  static std::int64_t WriteZTWideString(void* Buffer, std::int64_t Offset,
                                        std::string_view Value, std::int32_t MaxLen = -1);

  // UTF-8 <-> UTF-16 code units, as the Wide forms use them.
  static std::u16string Utf8ToUtf16(std::string_view Value);
  static std::string Utf16ToUtf8(std::u16string_view Value);

  // Plain memory helpers. AllocMemory zero-fills when Init is set; ReallocMemory keeps the
  // first min(old, new) bytes and leaves the rest uninitialised; both raise std::bad_alloc.
  static TkxMemoryPtr AllocMemory(std::size_t Size, bool Init);
  static void ReallocMemory(TkxMemoryPtr& Memory, std::size_t NewSize);
  static void FreeMemory(TkxMemoryPtr& Memory);
  static void Copy(void* Target, const void* Source, std::size_t Count);  // may overlap
  static void Fill(void* Target, std::size_t Count, std::uint8_t Value);
};

}  // namespace vdb
