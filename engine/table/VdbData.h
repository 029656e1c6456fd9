// Data types and values of the engine.
//
// Every value the engine stores, compares, converts or computes is typed by one object of the
// TVdbDataType class family. A type knows its column type code, the table level it belongs to and
// whether NULL is allowed, and implements every operation on values of that type: reading and
// writing the field image inside a record buffer, assignment between types, comparison,
// conversion to and from text, arithmetic, minimum, maximum and default values.
//
// Type instances are immutable and shared: the class functions GetDataType, GetStringType, ...
// look them up in a process-wide, thread-safe registry and create one only when no instance with
// the same parameters exists. Callers hold plain `const T*` and never free a type.
//
// Values (TVdbDataValue) are small tagged records that hold a field image inline, refer to a
// field image inside a record buffer, or own a heap buffer (strings, memos, blobs). An owned
// buffer is released by DoneValue and, at the latest, when the value is destroyed.
//
// Text at this interface is UTF-8; 8-bit string field images hold the bytes in the code page of
// the type's collation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "table/kxStrUtils.h"

namespace vdb {

// Column type codes (stored in table definitions).
enum : std::int16_t {
  kVdbNullCode = -1,
  kVdbCharCode = 0,
  kVdbStringCode = 1,
  kVdbSmallIntCode = 2,
  kVdbFloatCode = 3,
  kVdbByteCode = 4,
  kVdbBooleanCode = 5,
  kVdbDateCode = 6,
  kVdbMemoCode = 7,
  kVdbEnumCode = 8,
  kVdbRecordIdCode = 9,
  kVdbLinkCode = 10,
  kVdbBlobCode = 11,
  kVdbRelationCode = 12,
  kVdbTimeCode = 13,
  kVdbIntegerCode = 16,
  kVdbTimeStampCode = 17,
  kVdbWideStringCode = 18,
  kVdbWideMemoCode = 19,
  kVdbBigIntCode = 20,
  kVdbGuidCode = 21,
};

// Level of free-standing literal types (they lay out their images like level 6).
constexpr std::int16_t kVdbLiteralLevel = 9999;
constexpr std::int16_t kVdbCurrentLevel = 6;
// Longest bounded strings (characters).
constexpr std::int32_t kVdbMaxAnsiLength = 32764;
constexpr std::int32_t kVdbMaxWideLength = 16382;

enum TVdbDataBinaryOperator : int {
  dboPlus = 0, dboMinus, dboMultiply, dboDivide, dboDiv, dboMod, dboAnd, dboOr
};
enum TVdbDataUnaryOperator : int {
  duoMinus = 0, duoNot, duoInc, duoStringUpper, duoStringLower
};

// Comparison results.
enum : int { kVdbCmpNull = 0, kVdbCmpLess = 1, kVdbCmpEqual = 2, kVdbCmpGreater = 3 };

// A time stamp: packed date and milliseconds since midnight.
struct TVdbTimeStamp {
  std::int32_t Date = 0;
  std::int32_t Time = 0;
  bool operator==(const TVdbTimeStamp&) const = default;
};

// A GUID in the standard in-memory layout (16 bytes).
struct TVdbGuid {
  std::uint32_t D1 = 0;
  std::uint16_t D2 = 0;
  std::uint16_t D3 = 0;
  std::uint8_t D4[8] = {};
  bool operator==(const TVdbGuid&) const = default;
};
static_assert(sizeof(TVdbGuid) == 16);

struct TVdbEnumItem {
  std::string Name;
  std::int32_t Value = 0;
  bool operator==(const TVdbEnumItem&) const = default;
};

// A failed conversion from text (invalid number, date, time, enumeration name, ...).
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Failures of value operations without an engine error number ("Cannot compare these types",
// "Is not an ANSI string.", integer division by zero, ...).
class EVdbDataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An owned, growable heap buffer of a value. It grows but never shrinks while the value lives.
class TVdbValueBuffer {
 public:
  std::uint8_t* Data() const { return FData.get(); }
  std::int32_t Size() const { return FSize; }
  // Makes room for at least Size bytes, keeping the current contents; new bytes are zero.
  void Reserve(std::int32_t Size);
  void Release() { FData.reset(); FSize = 0; }
  void CopyFrom(const TVdbValueBuffer& Other);

 private:
  std::unique_ptr<std::uint8_t[]> FData;
  std::int32_t FSize = 0;
};

// The tagged value record. ColumnType holds the tag: kVdbEmptyTag = no value yet; otherwise the
// column type code of the value (the null type writes -1); bit 15 set (on a code other than -1)
// marks a reference: DataPtr points at the field image inside a record buffer.
//
// Payloads: Data holds the field image inline (integers, floats, dates, times, time stamps,
// GUIDs, enumerations, characters), laid out exactly as in a record, null byte included where the
// type has one. Buffer owns the image of bounded strings (laid out as in a record, but only as
// long as needed), the text of memos (4-byte length prefix, then the characters) and the bytes of
// blobs (BlobLength of them). ObjectRef is an object reference of the procedural language.
//
// A value is not copyable (copy through TVdbDataType::CopyTo); it may be moved.
class TVdbDataValue {
 public:
  static constexpr std::int16_t kVdbEmptyTag = 0x7FFF;
  static constexpr std::uint16_t kVdbReferenceBit = 0x8000;
  static constexpr int kInlineSize = 24;

  TVdbDataValue() = default;
  TVdbDataValue(const TVdbDataValue&) = delete;
  TVdbDataValue& operator=(const TVdbDataValue&) = delete;
  TVdbDataValue(TVdbDataValue&& Other) noexcept;
  TVdbDataValue& operator=(TVdbDataValue&& Other) noexcept;
  ~TVdbDataValue() = default;

  bool IsEmpty() const { return ColumnType == kVdbEmptyTag; }
  bool IsReference() const {
    return ColumnType != kVdbNullCode && ColumnType != kVdbEmptyTag &&
           (static_cast<std::uint16_t>(ColumnType) & kVdbReferenceBit) != 0;
  }
  // The column type code of the tag without the reference bit (-1 for the null type).
  std::int16_t Code() const {
    return ColumnType == kVdbNullCode
               ? static_cast<std::int16_t>(kVdbNullCode)
               : static_cast<std::int16_t>(static_cast<std::uint16_t>(ColumnType) & 0x7FFF);
  }
  // Zeroes the record and releases the owned buffer (tag: empty).
  void Clear();

  std::int16_t ColumnType = kVdbEmptyTag;
  alignas(8) std::uint8_t Data[kInlineSize] = {};
  std::uint8_t* DataPtr = nullptr;
  TVdbValueBuffer Buffer;
  std::int32_t BlobLength = 0;
  void* ObjectRef = nullptr;
};

class TVdbNullType;
class TVdbNumericType;
class TVdbIntegerType;
class TVdbFloatType;
class TVdbEnumType;
class TVdbGuidType;
class TVdbDateTimeType;
class TVdbCharType;
class TVdbStringType;
class TVdbAnsiStringType;
class TVdbWideStringType;
class TVdbBinaryType;
class TVdbRelationType;

class TVdbDataType {
 public:
  virtual ~TVdbDataType() = default;
  TVdbDataType(const TVdbDataType&) = delete;
  TVdbDataType& operator=(const TVdbDataType&) = delete;

  // --- Registry (thread-safe; same parameters give the same instance) ---
  static const TVdbDataType* GetDataType(std::int16_t ColumnType, bool Nullable, std::int16_t Level);
  // Errors 189 (length out of range) and 138 (unknown collation).
  static const TVdbStringType* GetStringType(std::int16_t ColumnType, bool Nullable, std::int16_t Level,
                                             std::int32_t MaxLength, const std::string& CollationName);
  static const TVdbDateTimeType* GetDateTimeType(std::int16_t ColumnType, bool Nullable,
                                                 std::int16_t Level, std::int16_t Precision,
                                                 bool HasNullByte);
  static const TVdbFloatType* GetFloatType(bool Nullable, std::int16_t Level, std::int16_t Scale);
  static const TVdbEnumType* GetEnumType(bool Nullable, std::int16_t Level, const std::string& Name,
                                         bool Flags, const std::vector<TVdbEnumItem>& Items);
  static const TVdbBinaryType* GetBinaryType(bool Nullable, std::int16_t Level, std::int32_t MaxLength);
  static const TVdbNullType* GetNullType();
  // A literal string type whose maximum length is Length rounded up to the next step.
  static const TVdbStringType* GetApproxStringType(std::int32_t Length, bool Wide = false);
  // The type the procedural language uses for a column type code.
  static const TVdbDataType* GetVeskorPLDataType(std::int16_t ColumnType);
  // Memo types become bounded string types of the same nullability, level and collation.
  static const TVdbDataType* GetVariableType(const TVdbDataType* DataType);

  // --- Class-level value operations ---
  static void InitValue(TVdbDataValue& Value) { Value.Clear(); }
  static bool IsEmpty(const TVdbDataValue& Value) { return Value.IsEmpty(); }
  // Result 0 (a NULL side), 1 less, 2 equal, 3 greater. Raises "Cannot compare these types".
  static int Compare(const TVdbDataValue& Value1, const TVdbDataValue& Value2, TStrCmpOptions Options,
                     const TVdbDataType* Type1, const TVdbDataType* Type2);
  static bool CanCompare(const TVdbDataType* Type1, const TVdbDataType* Type2);
  // Converts From (of FromType) into To (of ToType); error 44 when neither type accepts.
  static void Convert(const TVdbDataValue& From, const TVdbDataType* FromType, TVdbDataValue& To,
                      const TVdbDataType* ToType, bool Explicitly = true);
  static bool CanConvert(const TVdbDataType* From, const TVdbDataType* To, bool Explicitly);
  static void Calculate(TVdbDataBinaryOperator Op, const TVdbDataValue& Value1,
                        const TVdbDataValue& Value2, TVdbDataValue& Result, const TVdbDataType* Type1,
                        const TVdbDataType* Type2, const TVdbDataType* ResultType);
  // The first type's answer, else the second's; nullptr when no type accepts.
  static const TVdbDataType* GetResultDataType(TVdbDataBinaryOperator Op, const TVdbDataType* Type1,
                                               const TVdbDataType* Type2);
  // A null type yields the other type made nullable; else the first type's answer, else the
  // second's; nullptr when there is no common type.
  static const TVdbDataType* GetSuperType(const TVdbDataType* Type1, const TVdbDataType* Type2);

  // --- Properties ---
  std::int16_t ColumnType() const { return FColumnType; }
  std::int16_t Level() const { return FLevel; }
  bool Nullable() const { return FNullable; }
  std::int32_t DataSize() const { return GetDataSize(); }
  bool HasNullByte() const { return GetHasNullByte(); }
  // Whether the images of this type put the null byte first (level 6 and literals).
  bool NullByteFirst() const { return FLevel >= kVdbCurrentLevel; }
  bool IsStringType() const;
  bool IsIntegerType() const;
  bool IsNumericType() const;

  // --- Virtual operations ---
  // True when the value's tag (without the reference bit) is this type's code.
  virtual bool TypeMatches(const TVdbDataValue& Value) const;
  virtual std::int32_t GetDataSize() const = 0;
  virtual bool GetHasNullByte() const = 0;
  virtual std::string SqlName() const = 0;
  virtual std::string VplName() const = 0;

  // The registry instance that differs only in nullability (or level); this one when equal.
  const TVdbDataType* GetNullableType(bool Nullable) const;
  const TVdbDataType* GetLevelType(std::int16_t Level) const;

  virtual void GetDefault(TVdbDataValue& ThisValue) const = 0;
  virtual void GetMaximum(TVdbDataValue& ThisValue) const = 0;
  // NULL for nullable types from level 4 on.
  virtual void GetMinimum(TVdbDataValue& ThisValue) const = 0;
  // Bytes of the value's image (strings: null byte + prefix + length).
  virtual std::int32_t GetSize(const TVdbDataValue& ThisValue) const;
  // A reference is copied as a reference; anything else is copied deeply.
  virtual void CopyTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue) const;
  // Makes the value a reference to the field image at Ref.
  virtual void SetReference(TVdbDataValue& ThisValue, std::uint8_t* Ref) const;
  // Makes the value a reference to the field image inside OtherValue.
  virtual void SetReference(TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                            const TVdbDataType* OtherType) const;
  // Releases owned buffers and zeroes the record (tag: empty).
  virtual void DoneValue(TVdbDataValue& ThisValue) const;
  // Empty source: DoneValue; NULL source: SetNull; else the source's value through its getters.
  virtual void Assign(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                      const TVdbDataType* OtherType) const;
  virtual bool IsNull(const TVdbDataValue& ThisValue) const;
  // Error 47 when the type is not nullable.
  virtual void SetNull(TVdbDataValue& ThisValue) const;
  void SetNullOrDefault(TVdbDataValue& ThisValue) const;

  virtual void SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const;
  virtual std::int64_t GetInteger(const TVdbDataValue& ThisValue) const;
  virtual void SetDouble(TVdbDataValue& ThisValue, double Value) const;
  virtual double GetDouble(const TVdbDataValue& ThisValue) const;
  virtual void SetGuid(TVdbDataValue& ThisValue, const TVdbGuid& Value) const;
  virtual TVdbGuid GetGuid(const TVdbDataValue& ThisValue) const;
  // Time of day in 100-nanosecond units.
  virtual void SetTime(TVdbDataValue& ThisValue, std::int64_t Value) const;
  virtual std::int64_t GetTime(const TVdbDataValue& ThisValue) const;
  // Packed date (year * 512 + month * 32 + day).
  virtual void SetDate(TVdbDataValue& ThisValue, std::int32_t Value) const;
  virtual std::int32_t GetDate(const TVdbDataValue& ThisValue) const;
  virtual void SetTimeStamp(TVdbDataValue& ThisValue, const TVdbTimeStamp& Value) const;
  virtual TVdbTimeStamp GetTimeStamp(const TVdbDataValue& ThisValue) const;
  // From UTF-8 text (converted to the type's code page).
  virtual void SetAnsiString(TVdbDataValue& ThisValue, std::string_view Utf8) const;
  // From 8-bit text already in the type's code page.
  virtual void SetAnsiString(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const;
  virtual void SetAnsiStringRef(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const;
  // As UTF-8 text.
  virtual std::string GetAnsiString(const TVdbDataValue& ThisValue) const;
  // The 8-bit characters in the type's code page (not terminated) and their count.
  virtual const char* GetPAnsiChar(const TVdbDataValue& ThisValue, std::int32_t& Length) const;
  virtual void SetWideString(TVdbDataValue& ThisValue, std::u16string_view Value) const;
  virtual void SetWideString(TVdbDataValue& ThisValue, const char16_t* Value, std::int32_t Length) const;
  virtual std::u16string GetWideString(const TVdbDataValue& ThisValue) const;
  virtual void SetObject(TVdbDataValue& ThisValue, void* Object) const;
  virtual void* GetObject(const TVdbDataValue& ThisValue) const;
  virtual void SetBytes(TVdbDataValue& ThisValue, const std::uint8_t* Bytes, std::int32_t Length) const;
  virtual std::vector<std::uint8_t> GetBytes(const TVdbDataValue& ThisValue) const;

  virtual bool CanCompareTo(const TVdbDataType* OtherType) const;
  // 0 when either side is NULL, else 1, 2, 3. Raises "Cannot compare these types".
  virtual int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                        const TVdbDataType* OtherType, TStrCmpOptions Options) const;
  virtual bool CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const;
  virtual bool CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const;
  // Converts ThisValue into OtherValue of OtherType.
  virtual void ConvertTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                         const TVdbDataType* OtherType) const;
  // Converts OtherValue of OtherType into ThisValue.
  virtual void ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                           const TVdbDataType* OtherType) const;
  // UTF-8 text of the value (empty for NULL). Root: error 52.
  virtual void ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const;
  // From UTF-8 text; no text (nullopt) gives NULL. Root: error 44. A failure leaves the value
  // unchanged.
  virtual void ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const;
  std::string ToString(const TVdbDataValue& ThisValue) const;

  virtual const TVdbDataType* GetSuperType(const TVdbDataType* OtherType) const;
  virtual const TVdbDataType* GetResultDataType(TVdbDataUnaryOperator Op) const;
  virtual const TVdbDataType* GetResultDataTypeWith(TVdbDataBinaryOperator Op, const TVdbDataType* DataType1,
                                                    const TVdbDataType* DataType2) const;
  // Binary operator, called on the result type's side or an operand's: Result = V1 Op V2.
  virtual void CalculateWith(TVdbDataBinaryOperator Op, const TVdbDataValue& DataValue1,
                             const TVdbDataValue& DataValue2, TVdbDataValue& ResultValue,
                             const TVdbDataType* DataType1, const TVdbDataType* DataType2,
                             const TVdbDataType* ResultType) const;
  // Unary operator, called on the result type: ThisValue = Op ArgumentValue.
  virtual void CalculateWith(TVdbDataUnaryOperator Op, TVdbDataValue& ThisValue,
                             const TVdbDataValue& ArgumentValue, const TVdbDataType* ArgumentType) const;

  // --- Field image access (for subclasses and record code) ---
  // The field image of a value: the referenced record bytes, the owned buffer or the inline data.
  static std::uint8_t* ImageOf(TVdbDataValue& Value);
  static const std::uint8_t* ImageOf(const TVdbDataValue& Value);

 protected:
  TVdbDataType(std::int16_t ColumnType, bool Nullable, std::int16_t Level);
  // The registry instance with other nullability and level but the same extra parameters.
  virtual const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const = 0;

  // Offset of the value bytes in a fixed-size image, and of the null byte (-1 when none).
  std::int32_t ValueOffset() const;
  std::int32_t NullByteOffset() const;
  // Prepares ThisValue as an inline (or referenced) assigned value of this type and answers the
  // address where ValueBytes bytes of the value go.
  std::uint8_t* PrepareFixed(TVdbDataValue& ThisValue) const;
  const std::uint8_t* FixedValueBytes(const TVdbDataValue& ThisValue) const;
  void CheckFixedImage(const TVdbDataValue& ThisValue) const;
  bool FixedIsNull(const TVdbDataValue& ThisValue) const;
  void FixedSetNull(TVdbDataValue& ThisValue) const;
  [[noreturn]] void RaiseCannotConvert(const TVdbDataType* From, const TVdbDataType* To) const;
  [[noreturn]] void RaiseStringConversion() const;
  void CheckNullable() const;
  // Makes ThisValue NULL (or the default when not nullable) when OtherValue is empty or NULL;
  // true then.
  bool TakeNullFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                    const TVdbDataType* OtherType) const;
  // Makes ResultValue NULL (or its default) when either operand is NULL; true then.
  static bool NullOperand(const TVdbDataValue& Value1, const TVdbDataType* Type1,
                          const TVdbDataValue& Value2, const TVdbDataType* Type2,
                          TVdbDataValue& ResultValue, const TVdbDataType* ResultType);
  // Copies the value of OtherValue (same column type code) through the getters of OtherType.
  virtual void AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                           const TVdbDataType* OtherType) const;

  std::int16_t FLevel;
  std::int16_t FColumnType;
  bool FNullable;

  friend class TVdbTypeRegistry;
};

class TVdbNullType final : public TVdbDataType {
 public:
  std::int32_t GetDataSize() const override { return 0; }
  bool GetHasNullByte() const override { return false; }
  std::string SqlName() const override { return "<null type>"; }
  std::string VplName() const override { return "<null type>"; }
  bool TypeMatches(const TVdbDataValue& Value) const override;
  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  void SetReference(TVdbDataValue& ThisValue, std::uint8_t* Ref) const override;
  void SetReference(TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                    const TVdbDataType* OtherType) const override;
  bool IsNull(const TVdbDataValue& ThisValue) const override;
  void SetNull(TVdbDataValue& ThisValue) const override;
  bool CanCompareTo(const TVdbDataType* OtherType) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;
  bool CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const override;
  void ConvertTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                 const TVdbDataType* OtherType) const override;
  void ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const override;
  void ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const override;
  const TVdbDataType* GetSuperType(const TVdbDataType* OtherType) const override;

 protected:
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;

 private:
  TVdbNullType();
  friend class TVdbTypeRegistry;
};

class TVdbNumericType : public TVdbDataType {
 protected:
  using TVdbDataType::TVdbDataType;
};

// SmallInt, Byte, Boolean, RecordId, Link, Integer, BigInt.
class TVdbIntegerType final : public TVdbNumericType {
 public:
  std::int32_t GetDataSize() const override;
  bool GetHasNullByte() const override;
  std::string SqlName() const override;
  std::string VplName() const override { return "Integer"; }
  // Range of the code.
  std::int64_t MinValue() const;
  std::int64_t MaxValue() const;
  // Bytes of the value without the null byte.
  std::int32_t ValueSize() const;
  // Whether this type's range covers the other's.
  bool IsBigger(const TVdbIntegerType* IntegerType) const;

  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  bool IsNull(const TVdbDataValue& ThisValue) const override;
  void SetNull(TVdbDataValue& ThisValue) const override;
  // Error 81 outside the range of the code.
  void SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const override;
  std::int64_t GetInteger(const TVdbDataValue& ThisValue) const override;
  void SetDouble(TVdbDataValue& ThisValue, double Value) const override;
  double GetDouble(const TVdbDataValue& ThisValue) const override;
  bool CanCompareTo(const TVdbDataType* OtherType) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;
  bool CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const override;
  bool CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const override;
  void ConvertTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                 const TVdbDataType* OtherType) const override;
  void ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                   const TVdbDataType* OtherType) const override;
  void ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const override;
  void ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const override;
  const TVdbDataType* GetSuperType(const TVdbDataType* OtherType) const override;
  const TVdbDataType* GetResultDataType(TVdbDataUnaryOperator Op) const override;
  const TVdbDataType* GetResultDataTypeWith(TVdbDataBinaryOperator Op, const TVdbDataType* DataType1,
                                            const TVdbDataType* DataType2) const override;
  void CalculateWith(TVdbDataBinaryOperator Op, const TVdbDataValue& DataValue1,
                     const TVdbDataValue& DataValue2, TVdbDataValue& ResultValue,
                     const TVdbDataType* DataType1, const TVdbDataType* DataType2,
                     const TVdbDataType* ResultType) const override;
  void CalculateWith(TVdbDataUnaryOperator Op, TVdbDataValue& ThisValue, const TVdbDataValue& ArgumentValue,
                     const TVdbDataType* ArgumentType) const override;

 protected:
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;

 private:
  using TVdbNumericType::TVdbNumericType;
  friend class TVdbTypeRegistry;
};

// DOUBLE.
class TVdbFloatType final : public TVdbNumericType {
 public:
  std::int16_t Precision() const { return FPrecision; }
  std::int16_t Scale() const { return FScale; }
  std::int32_t GetDataSize() const override;
  bool GetHasNullByte() const override { return FNullable; }
  std::string SqlName() const override { return "DOUBLE"; }
  std::string VplName() const override { return "Real"; }
  // The value with Scale decimals ("." as separator); empty for NULL.
  std::string ScaledString(const TVdbDataValue& ThisValue) const;

  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  void SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const override;
  std::int64_t GetInteger(const TVdbDataValue& ThisValue) const override;
  void SetDouble(TVdbDataValue& ThisValue, double Value) const override;
  double GetDouble(const TVdbDataValue& ThisValue) const override;
  bool CanCompareTo(const TVdbDataType* OtherType) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;
  bool CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const override;
  bool CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const override;
  void ConvertTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                 const TVdbDataType* OtherType) const override;
  void ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                   const TVdbDataType* OtherType) const override;
  void ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const override;
  void ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const override;
  const TVdbDataType* GetSuperType(const TVdbDataType* OtherType) const override;
  const TVdbDataType* GetResultDataType(TVdbDataUnaryOperator Op) const override;
  const TVdbDataType* GetResultDataTypeWith(TVdbDataBinaryOperator Op, const TVdbDataType* DataType1,
                                            const TVdbDataType* DataType2) const override;
  void CalculateWith(TVdbDataBinaryOperator Op, const TVdbDataValue& DataValue1,
                     const TVdbDataValue& DataValue2, TVdbDataValue& ResultValue,
                     const TVdbDataType* DataType1, const TVdbDataType* DataType2,
                     const TVdbDataType* ResultType) const override;
  void CalculateWith(TVdbDataUnaryOperator Op, TVdbDataValue& ThisValue, const TVdbDataValue& ArgumentValue,
                     const TVdbDataType* ArgumentType) const override;

 protected:
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;

 private:
  TVdbFloatType(bool Nullable, std::int16_t Level, std::int16_t Scale);
  std::int16_t FPrecision = 15;
  std::int16_t FScale;
  friend class TVdbTypeRegistry;
};

// Enumerations: one byte holding an item's Value; NULL when 0.
class TVdbEnumType final : public TVdbDataType {
 public:
  const std::string& Name() const { return FName; }
  bool Flags() const { return FFlags; }
  const std::vector<TVdbEnumItem>& Items() const { return FEnumItems; }
  std::int32_t GetDataSize() const override { return 1; }
  bool GetHasNullByte() const override { return false; }
  std::string SqlName() const override { return "<enumeration>"; }
  std::string VplName() const override { return "<enumeration>"; }

  // Name of the item at Index / value of the item at Index.
  const std::string& GetEnumName(std::size_t Index) const;
  std::int32_t GetEnumValue(std::size_t Index) const;
  // Name of the item with Value; raises when none.
  const std::string& FindEnumName(std::int32_t Value) const;
  // Value of the item named Name (engine collation, case-insensitive); raises when none.
  std::int32_t FindEnumValue(std::string_view Name) const;
  bool TryFindEnumValue(std::string_view Name, std::int32_t& Value) const;
  bool HasEnumName(std::string_view Name) const;
  bool HasItems() const { return !FEnumItems.empty(); }
  // Splits a separated list of names, removing Quote characters around each.
  static std::vector<std::string> CalcEnumNames(std::string_view EnumNames, char Separator, char Quote);
  // "Enum1", "Enum2", ... each enclosed in Quote (when not 0), joined by Separator.
  static std::string CalcDefaultEnumNames(std::int32_t EnumCount, char Separator, char Quote);

  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  bool IsNull(const TVdbDataValue& ThisValue) const override;
  void SetNull(TVdbDataValue& ThisValue) const override;
  void SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const override;
  std::int64_t GetInteger(const TVdbDataValue& ThisValue) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;
  bool CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const override;
  void ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const override;
  void ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const override;

 protected:
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;

 private:
  TVdbEnumType(bool Nullable, std::int16_t Level, std::string Name, bool Flags,
               std::vector<TVdbEnumItem> Items);
  [[noreturn]] void RaiseInvalidName(std::string_view Text) const;
  std::string FName;
  bool FFlags;
  std::vector<TVdbEnumItem> FEnumItems;
  friend class TVdbTypeRegistry;
};

class TVdbGuidType final : public TVdbDataType {
 public:
  std::int32_t GetDataSize() const override;
  bool GetHasNullByte() const override { return FNullable; }
  std::string SqlName() const override { return "Guid"; }
  std::string VplName() const override { return "Guid"; }
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and back; false for any other text.
  static std::string GuidToString(const TVdbGuid& Guid);
  static bool TryStringToGuid(std::string_view Text, TVdbGuid& Guid);

  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  void SetGuid(TVdbDataValue& ThisValue, const TVdbGuid& Value) const override;
  TVdbGuid GetGuid(const TVdbDataValue& ThisValue) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;
  void ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const override;
  void ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const override;

 protected:
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;

 private:
  using TVdbDataType::TVdbDataType;
  friend class TVdbTypeRegistry;
};

// Date (6), Time (13) and TimeStamp (17).
class TVdbDateTimeType final : public TVdbDataType {
 public:
  static constexpr std::int32_t kMinDate = 0;
  static constexpr std::int32_t kDefaultDate = 545;      // 1 January of year 1
  static constexpr std::int32_t kMaxDate = 5119903;      // 31 December 9999
  static constexpr std::int32_t kMillisecondsPerDay = 86400000;
  static constexpr std::int64_t kTicksPerMillisecond = 10000;
  static constexpr std::int64_t kTicksPerMinute = 600000000;
  static constexpr std::int64_t kTicksPerDay = 864000000000LL;

  std::int16_t Precision() const { return FPrecision; }
  bool GetHasNullByteOption() const { return FHasNullByte; }
  std::int32_t GetDataSize() const override;
  bool GetHasNullByte() const override;
  std::string SqlName() const override;
  std::string VplName() const override;

  // Calendar helpers over packed dates (year * 512 + month * 32 + day).
  static bool IsLeapYear(std::int32_t Year);
  static std::int32_t DaysInMonth(std::int32_t Year, std::int32_t Month);
  static std::int32_t EncodeDate(std::int32_t Year, std::int32_t Month, std::int32_t Day);
  static void DecodeDate(std::int32_t Packed, std::int32_t& Year, std::int32_t& Month, std::int32_t& Day);
  static bool IsValidDate(std::int32_t Year, std::int32_t Month, std::int32_t Day);
  // 365 * year + leap days before the year + days of the preceding months + day.
  static std::int32_t DateToDays(std::int32_t Packed);
  static std::int32_t DaysToDate(std::int32_t Days);
  // 0 Monday .. 6 Sunday.
  static std::int32_t DayOfWeek(std::int32_t Packed);
  // ISO 8601 week number; 0 for a date of 0 or below.
  static std::int32_t WeekOfYear(std::int32_t Packed);
  // Text forms: "dd.mm.yyyy" (empty for 0); time by precision; time stamp "date_time".
  static std::string DateToString(std::int32_t Packed);
  static std::string TimeToString(std::int64_t Ticks, std::int16_t Precision);
  static bool TryStringToDate(std::string_view Text, std::int32_t& Packed);
  static bool TryStringToTime(std::string_view Text, std::int64_t& Ticks);
  static bool TryStringToTimeStamp(std::string_view Text, TVdbTimeStamp& Stamp);

  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  bool IsNull(const TVdbDataValue& ThisValue) const override;
  void SetNull(TVdbDataValue& ThisValue) const override;
  void SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const override;
  std::int64_t GetInteger(const TVdbDataValue& ThisValue) const override;
  void SetDouble(TVdbDataValue& ThisValue, double Value) const override;
  double GetDouble(const TVdbDataValue& ThisValue) const override;
  void SetTime(TVdbDataValue& ThisValue, std::int64_t Value) const override;
  std::int64_t GetTime(const TVdbDataValue& ThisValue) const override;
  void SetDate(TVdbDataValue& ThisValue, std::int32_t Value) const override;
  std::int32_t GetDate(const TVdbDataValue& ThisValue) const override;
  void SetTimeStamp(TVdbDataValue& ThisValue, const TVdbTimeStamp& Value) const override;
  TVdbTimeStamp GetTimeStamp(const TVdbDataValue& ThisValue) const override;
  bool CanCompareTo(const TVdbDataType* OtherType) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;
  bool CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const override;
  bool CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const override;
  void ConvertTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                 const TVdbDataType* OtherType) const override;
  void ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                   const TVdbDataType* OtherType) const override;
  void ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const override;
  void ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const override;
  const TVdbDataType* GetSuperType(const TVdbDataType* OtherType) const override;
  const TVdbDataType* GetResultDataTypeWith(TVdbDataBinaryOperator Op, const TVdbDataType* DataType1,
                                            const TVdbDataType* DataType2) const override;
  void CalculateWith(TVdbDataBinaryOperator Op, const TVdbDataValue& DataValue1,
                     const TVdbDataValue& DataValue2, TVdbDataValue& ResultValue,
                     const TVdbDataType* DataType1, const TVdbDataType* DataType2,
                     const TVdbDataType* ResultType) const override;

 protected:
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;
  void AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                   const TVdbDataType* OtherType) const override;

 private:
  TVdbDateTimeType(std::int16_t ColumnType, bool Nullable, std::int16_t Level, std::int16_t Precision,
                   bool HasNullByte);
  std::int16_t FPrecision;
  bool FHasNullByte;
  friend class TVdbTypeRegistry;
};

// CHAR(1): one 8-bit character (OEM code page below level 2).
class TVdbCharType final : public TVdbDataType {
 public:
  std::int32_t GetDataSize() const override;
  bool GetHasNullByte() const override { return FNullable; }
  std::string SqlName() const override;
  std::string VplName() const override { return "String"; }

  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  void SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const override;
  std::int64_t GetInteger(const TVdbDataValue& ThisValue) const override;
  void SetAnsiString(TVdbDataValue& ThisValue, std::string_view Utf8) const override;
  void SetAnsiString(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const override;
  std::string GetAnsiString(const TVdbDataValue& ThisValue) const override;
  const char* GetPAnsiChar(const TVdbDataValue& ThisValue, std::int32_t& Length) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;
  void ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const override;
  void ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const override;

 protected:
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;

 protected:
  void AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                   const TVdbDataType* OtherType) const override;

 private:
  using TVdbDataType::TVdbDataType;
  std::uint32_t CodePage() const;
  friend class TVdbTypeRegistry;
};

// Strings under a collation: bounded (VARCHAR, VARWCHAR) and memo types.
class TVdbStringType : public TVdbDataType {
 public:
  std::int32_t MaxLength() const { return FMaxLength; }
  const std::string& CollationName() const { return FCollationName; }
  std::uint32_t LocaleId() const { return FLocaleId; }
  TStrCmpOptions StrCmpOptions() const { return FStrCmpOptions; }
  bool IsMemo() const { return FColumnType == kVdbMemoCode || FColumnType == kVdbWideMemoCode; }
  bool IsWide() const { return FColumnType == kVdbWideStringCode || FColumnType == kVdbWideMemoCode; }
  // Bytes of the length prefix in a bounded string image (4 for memo values).
  std::int32_t PrefixSize() const;
  // Bytes per character (1 or 2).
  std::int32_t CharSize() const { return IsWide() ? 2 : 1; }

  // Max length from a stored field size.
  static std::int32_t CalcMaxLength(std::int16_t ColumnType, bool Nullable, std::int16_t Level,
                                    std::int32_t Size);
  static bool IsSupportedCollation(const std::string& CollationName);

  // Writes the length prefix of a value.
  virtual void SetLength(TVdbDataValue& ThisValue, std::int32_t Length) const;
  // Characters in the value / in a field image.
  virtual std::int32_t GetLength(const TVdbDataValue& ThisValue) const;
  virtual std::int32_t GetLength(const std::uint8_t* Ptr) const;
  // Appends one character 0 below the maximum length, so that the value sorts after every value
  // it prefixes.
  virtual void GetMaximumFill(TVdbDataValue& ThisValue) const;
  // LIKE under the type's collation; Pattern is a value of PatternType (a string type; nullptr:
  // this type); EscapeChar -1 for none. A NULL value or pattern never matches.
  virtual bool Matches(const TVdbDataValue& Value, const TVdbDataValue& Pattern,
                       const TVdbDataType* PatternType, int EscapeChar, char16_t SingleJoker,
                       char16_t MultiJoker) const = 0;

  // The characters of a value (8-bit in the code page or UTF-16 units) and their count.
  const std::uint8_t* CharData(const TVdbDataValue& ThisValue, std::int32_t& Length) const;
  std::uint32_t CodePage() const;
  // The value's text as 8-bit characters in CodePage / as UTF-16 units.
  virtual std::string AnsiCharsIn(const TVdbDataValue& ThisValue, std::uint32_t CodePage) const = 0;
  virtual std::u16string WideChars(const TVdbDataValue& ThisValue) const = 0;

  std::int32_t GetDataSize() const override;
  bool GetHasNullByte() const override;
  std::string VplName() const override { return "String"; }
  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  std::int32_t GetSize(const TVdbDataValue& ThisValue) const override;
  void CopyTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue) const override;
  bool IsNull(const TVdbDataValue& ThisValue) const override;
  void SetNull(TVdbDataValue& ThisValue) const override;
  void ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const override;
  void ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const override;
  void SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const override;
  void SetDouble(TVdbDataValue& ThisValue, double Value) const override;
  bool CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const override;
  bool CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const override;
  void ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                   const TVdbDataType* OtherType) const override;
  const TVdbDataType* GetSuperType(const TVdbDataType* OtherType) const override;
  const TVdbDataType* GetResultDataType(TVdbDataUnaryOperator Op) const override;
  const TVdbDataType* GetResultDataTypeWith(TVdbDataBinaryOperator Op, const TVdbDataType* DataType1,
                                            const TVdbDataType* DataType2) const override;
  void CalculateWith(TVdbDataBinaryOperator Op, const TVdbDataValue& DataValue1,
                     const TVdbDataValue& DataValue2, TVdbDataValue& ResultValue,
                     const TVdbDataType* DataType1, const TVdbDataType* DataType2,
                     const TVdbDataType* ResultType) const override;
  void CalculateWith(TVdbDataUnaryOperator Op, TVdbDataValue& ThisValue, const TVdbDataValue& ArgumentValue,
                     const TVdbDataType* ArgumentType) const override;

 protected:
  TVdbStringType(std::int16_t ColumnType, bool Nullable, std::int16_t Level, std::int32_t MaxLength,
                 std::string CollationName, std::uint32_t LocaleId, TStrCmpOptions Options);
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;
  void AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                   const TVdbDataType* OtherType) const override;
  // Stores Length characters (bytes of CharSize each) as the value, cut to the maximum length.
  void StoreChars(TVdbDataValue& ThisValue, const std::uint8_t* Chars, std::int32_t Length) const;
  std::int32_t CharOffset(const TVdbDataValue& ThisValue) const;
  // Image bytes an owned value needs for Length characters.
  std::int32_t OwnedSize(std::int32_t Length) const;

  std::int32_t FMaxLength;
  std::string FCollationName;
  std::uint32_t FLocaleId;
  TStrCmpOptions FStrCmpOptions;
};

// VARCHAR (1) and LONGVARCHAR (7).
class TVdbAnsiStringType final : public TVdbStringType {
 public:
  std::string SqlName() const override;
  void SetAnsiString(TVdbDataValue& ThisValue, std::string_view Utf8) const override;
  void SetAnsiString(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const override;
  void SetAnsiStringRef(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const override;
  std::string GetAnsiString(const TVdbDataValue& ThisValue) const override;
  const char* GetPAnsiChar(const TVdbDataValue& ThisValue, std::int32_t& Length) const override;
  void SetWideString(TVdbDataValue& ThisValue, std::u16string_view Value) const override;
  void SetWideString(TVdbDataValue& ThisValue, const char16_t* Value, std::int32_t Length) const override;
  std::u16string GetWideString(const TVdbDataValue& ThisValue) const override;
  // From UTF-16 text, converted with the code page of the type's collation.
  void SetAsWideString(TVdbDataValue& ThisValue, std::u16string_view Value) const;
  bool Matches(const TVdbDataValue& Value, const TVdbDataValue& Pattern,
               const TVdbDataType* PatternType, int EscapeChar, char16_t SingleJoker,
               char16_t MultiJoker) const override;
  bool CanCompareTo(const TVdbDataType* OtherType) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;

 public:
  std::string AnsiCharsIn(const TVdbDataValue& ThisValue, std::uint32_t CodePage) const override;
  std::u16string WideChars(const TVdbDataValue& ThisValue) const override;

 private:
  using TVdbStringType::TVdbStringType;
  friend class TVdbTypeRegistry;
};

// VARWCHAR (18) and LONGVARWCHAR (19).
class TVdbWideStringType final : public TVdbStringType {
 public:
  std::string SqlName() const override;
  void SetAnsiString(TVdbDataValue& ThisValue, std::string_view Utf8) const override;
  void SetAnsiString(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const override;
  std::string GetAnsiString(const TVdbDataValue& ThisValue) const override;
  void SetWideString(TVdbDataValue& ThisValue, std::u16string_view Value) const override;
  void SetWideString(TVdbDataValue& ThisValue, const char16_t* Value, std::int32_t Length) const override;
  std::u16string GetWideString(const TVdbDataValue& ThisValue) const override;
  // The UTF-16 units of the value (not terminated; may be unaligned) and their count.
  const char16_t* GetCharPtr(const TVdbDataValue& ThisValue, std::int32_t& Length) const;
  bool Matches(const TVdbDataValue& Value, const TVdbDataValue& Pattern,
               const TVdbDataType* PatternType, int EscapeChar, char16_t SingleJoker,
               char16_t MultiJoker) const override;
  bool CanCompareTo(const TVdbDataType* OtherType) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;

 public:
  std::string AnsiCharsIn(const TVdbDataValue& ThisValue, std::uint32_t CodePage) const override;
  std::u16string WideChars(const TVdbDataValue& ThisValue) const override;

 private:
  using TVdbStringType::TVdbStringType;
  friend class TVdbTypeRegistry;
};

// LONGVARBINARY: in a record the first blob block number; in a value the bytes.
class TVdbBinaryType final : public TVdbDataType {
 public:
  std::int32_t MaxLength() const { return FMaxLength; }
  std::int32_t GetDataSize() const override { return 4; }
  bool GetHasNullByte() const override { return false; }
  std::string SqlName() const override { return "LONGVARBINARY"; }
  std::string VplName() const override { return "Blob"; }

  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  std::int32_t GetSize(const TVdbDataValue& ThisValue) const override;
  void CopyTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue) const override;
  bool IsNull(const TVdbDataValue& ThisValue) const override;
  void SetNull(TVdbDataValue& ThisValue) const override;
  void SetBytes(TVdbDataValue& ThisValue, const std::uint8_t* Bytes, std::int32_t Length) const override;
  std::vector<std::uint8_t> GetBytes(const TVdbDataValue& ThisValue) const override;
  int CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                const TVdbDataType* OtherType, TStrCmpOptions Options) const override;

 protected:
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;
  void AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                   const TVdbDataType* OtherType) const override;

 private:
  TVdbBinaryType(bool Nullable, std::int16_t Level, std::int32_t MaxLength);
  std::int32_t FMaxLength;
  friend class TVdbTypeRegistry;
};

// Relation-valued columns: no bytes in a record, never NULL.
class TVdbRelationType final : public TVdbDataType {
 public:
  std::int32_t GetDataSize() const override { return 0; }
  bool GetHasNullByte() const override { return false; }
  std::string SqlName() const override { return "Relation"; }
  std::string VplName() const override { return "Relation"; }
  void GetDefault(TVdbDataValue& ThisValue) const override;
  void GetMaximum(TVdbDataValue& ThisValue) const override;
  void GetMinimum(TVdbDataValue& ThisValue) const override;
  bool IsNull(const TVdbDataValue& ThisValue) const override;
  void SetObject(TVdbDataValue& ThisValue, void* Object) const override;
  void* GetObject(const TVdbDataValue& ThisValue) const override;

 protected:
  const TVdbDataType* Reshaped(bool Nullable, std::int16_t Level) const override;
  void AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                   const TVdbDataType* OtherType) const override;

 private:
  using TVdbDataType::TVdbDataType;
  friend class TVdbTypeRegistry;
};

// Helpers shared by the implementation files of the data types.
namespace data_internal {

[[noreturn]] void RaisePlain(const std::string& Message);
[[noreturn]] void RaiseTypeMismatch(const std::string& Argument);                       // error 44
[[noreturn]] void RaiseRange(const std::string& Value, const std::string& TypeName,     // error 81
                             const std::string& Min, const std::string& Max);
[[noreturn]] void RaiseConvert(const char* Format, std::string_view Text);              // EConvertError
std::int16_t ReferenceTag(std::int16_t Code);

inline bool IsStringCode(std::int16_t Code) {
  return Code == kVdbStringCode || Code == kVdbMemoCode || Code == kVdbWideStringCode ||
         Code == kVdbWideMemoCode;
}
inline bool IsIntegerCode(std::int16_t Code) {
  switch (Code) {
    case kVdbSmallIntCode: case kVdbByteCode: case kVdbBooleanCode: case kVdbRecordIdCode:
    case kVdbLinkCode: case kVdbIntegerCode: case kVdbBigIntCode:
      return true;
    default:
      return false;
  }
}
// 1 and 3 swap, 0 and 2 stay.
inline int MirrorCompare(int Result) { return Result == kVdbCmpLess ? kVdbCmpGreater : Result == kVdbCmpGreater ? kVdbCmpLess : Result; }
template <typename T>
int CompareNumbers(T A, T B) { return A < B ? kVdbCmpLess : (B < A ? kVdbCmpGreater : kVdbCmpEqual); }
// -1/0/1 of the collation functions as 1/2/3.
inline int FromThreeWay(int R) { return R < 0 ? kVdbCmpLess : (R > 0 ? kVdbCmpGreater : kVdbCmpEqual); }

// Little-endian integers at unaligned addresses (the engine runs on little-endian machines).
template <typename T>
T ReadLE(const std::uint8_t* P) {
  T V;
  __builtin_memcpy(&V, P, sizeof(T));
  return V;
}
template <typename T>
void WriteLE(std::uint8_t* P, T V) {
  __builtin_memcpy(P, &V, sizeof(T));
}

}  // namespace data_internal

}  // namespace vdb
