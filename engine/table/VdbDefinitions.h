// Table definitions: column, index (sort), candidate-key, check, foreign-key and user-type
// definitions, the placement of the columns inside a record, and the stored table-definition
// block of level 5 and 6 data files.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vdb {

class TVdbDataType;
class TVdbColumnDefs;

// ---------------------------------------------------------------------------------------------
// Limits and constants

constexpr int kVdbMaxColumns = 1000;          // columns per table
constexpr int kVdbMaxRecordSize = 32767;      // bytes per record
constexpr int kVdbMaxIndexLevels = 256;       // levels of an index from table level 4 on
constexpr int kVdbMaxClassicIndexLevels = 10; // levels of an index up to table level 3
constexpr int kVdbMaxIndexKeySize = 32768;    // key bytes of one index item at most
constexpr int kVdbIndexVectorSize = 50;       // stored index definition (10 entries x 5 bytes)
constexpr std::int16_t kVdbEngineLevel = 6;   // the current table level
constexpr std::int32_t kVdbDefaultCapacity = 10000000;
constexpr int kVdbCheckMarkerLength = 40;
constexpr int kVdbPasswordUnits = 40;         // UTF-16 code units of the stored password

// Column options (bit values).
constexpr std::uint32_t kVdbColCalculated = 1;   // formula applied on write
constexpr std::uint32_t kVdbColRangeCheck = 2;   // range constraint (tables below level 5)
constexpr std::uint32_t kVdbColAppendOnly = 4;   // with kVdbColCalculated: only on append
constexpr std::uint32_t kVdbColNullByte = 8;     // the field carries a null byte
constexpr std::uint32_t kVdbColNullable = 32;    // NULL allowed
constexpr std::uint32_t kVdbColUniqueId = 64;    // RecordId column: unique-id flag

// The type byte of key pieces that belong to the relation tables behind Relation columns.
constexpr std::uint8_t kVdbRelationKeyType = 25;

using TVdbRelationIndex = std::int16_t;
using TVdbRelationSet = std::bitset<256>;

// ---------------------------------------------------------------------------------------------
// Index item: the record number followed by the key bytes. Items of a variable-size index are
// only as long as their key needs; buffers are sized by the index definition's FSize.
#pragma pack(push, 1)
struct TVdbLongIndexInfo {
  std::int32_t DateiVerweis;
  std::uint8_t Key[kVdbMaxIndexKeySize];
};
#pragma pack(pop)
constexpr std::size_t kVdbIndexItemHeader = sizeof(std::int32_t);

// ---------------------------------------------------------------------------------------------
// Expressions. Calculated columns, defaults, checks and expression indexes are written in the
// SQL or the procedural syntax and compiled by the session's expression factory. The table layer
// only keeps the source and asks the factory, when one is given, for a compiled form.

class TVdbCompiledExpression {
 public:
  virtual ~TVdbCompiledExpression() = default;
  virtual const TVdbDataType* ResultType() const = 0;
  virtual TVdbRelationSet UsedRelations() const = 0;
  // Evaluates the expression on a record of the table and writes the result's field image
  // (ResultType()->DataSize() bytes) to Result.
  virtual void EvaluateToField(const std::uint8_t* RecBuffer, std::uint8_t* Result) = 0;
};

class TVdbCompiledCondition {
 public:
  virtual ~TVdbCompiledCondition() = default;
  // The truth of the condition on a record: 1 true, 0 false, -1 unknown.
  virtual int Evaluate(const std::uint8_t* RecBuffer) = 0;
};

// The session's expression compiler. Errors are raised as exceptions (EVdbEngine or
// EVdbCompilerError).
class TVdbExpressionFactory {
 public:
  virtual ~TVdbExpressionFactory() = default;
  virtual std::unique_ptr<TVdbCompiledExpression> CompileExpression(
      const std::string& Source, bool Procedural, const TVdbColumnDefs& Columns,
      std::int16_t TableLevel) = 0;
  virtual std::unique_ptr<TVdbCompiledCondition> CompileCondition(
      const std::string& Source, bool Procedural, const TVdbColumnDefs& Columns,
      std::int16_t TableLevel) = 0;
};

// A stored expression text and its syntax: up to level 4 every source is procedural; from
// level 5 on a stored text starting with "@" is procedural (the "@" is not part of FSource).
class TVdbExpressionSource {
 public:
  TVdbExpressionSource() = default;
  TVdbExpressionSource(std::string Source, bool Procedural)
      : FSource(std::move(Source)), FProcedural(Procedural) {}
  // Splits a stored text by the syntax rule of the table level.
  static TVdbExpressionSource FromStored(const std::string& Stored, std::int16_t TableLevel);
  // The stored text for a table level ("@" in front of procedural sources from level 5 on).
  std::string StoredText(std::int16_t TableLevel) const;
  const std::string& Source() const { return FSource; }
  bool Procedural() const { return FProcedural; }
  bool Empty() const { return FSource.empty(); }
  bool operator==(const TVdbExpressionSource&) const = default;

 private:
  std::string FSource;
  bool FProcedural = false;
};

// The formula of a calculated column, a default value or an expression index.
class TVdbCalculation {
 public:
  explicit TVdbCalculation(TVdbExpressionSource Source) : FSource(std::move(Source)) {}
  std::unique_ptr<TVdbCalculation> Clone() const;  // the source only; compile again

  const TVdbExpressionSource& Source() const { return FSource; }
  // Compiles the source with Factory; throws what the factory throws.
  void Compile(TVdbExpressionFactory& Factory, const TVdbColumnDefs& Columns,
               std::int16_t TableLevel);
  bool IsCompiled() const { return FCompiled != nullptr; }
  TVdbCompiledExpression* Compiled() const { return FCompiled.get(); }
  const TVdbDataType* ResultType() const { return FResultType; }
  const TVdbRelationSet& UsedRelations() const { return FUsedRelations; }

 private:
  TVdbExpressionSource FSource;
  TVdbRelationSet FUsedRelations;
  const TVdbDataType* FResultType = nullptr;
  std::unique_ptr<TVdbCompiledExpression> FCompiled;
};

// The condition of a check constraint.
class TVdbCondition {
 public:
  explicit TVdbCondition(TVdbExpressionSource Source) : FSource(std::move(Source)) {}
  std::unique_ptr<TVdbCondition> Clone() const;
  const TVdbExpressionSource& Source() const { return FSource; }
  void Compile(TVdbExpressionFactory& Factory, const TVdbColumnDefs& Columns,
               std::int16_t TableLevel);
  bool IsCompiled() const { return FCompiled != nullptr; }
  TVdbCompiledCondition* Compiled() const { return FCompiled.get(); }

 private:
  TVdbExpressionSource FSource;
  std::unique_ptr<TVdbCompiledCondition> FCompiled;
};

// ---------------------------------------------------------------------------------------------
// Named definitions

class TVdbNamedDef {
 public:
  explicit TVdbNamedDef(std::string Name) : FName(std::move(Name)) {}
  virtual ~TVdbNamedDef() = default;
  virtual std::unique_ptr<TVdbNamedDef> CloneNamed() const = 0;
  const std::string& Name() const { return FName; }
  void SetName(std::string Name) { FName = std::move(Name); }

 protected:
  std::string FName;
};

// An owning list of named definitions; names compare as identifiers.
class TVdbNamedDefs {
 public:
  TVdbNamedDefs() = default;
  TVdbNamedDefs(const TVdbNamedDefs& Other);
  TVdbNamedDefs& operator=(const TVdbNamedDefs& Other);
  TVdbNamedDefs(TVdbNamedDefs&&) noexcept = default;
  TVdbNamedDefs& operator=(TVdbNamedDefs&&) noexcept = default;

  TVdbNamedDef& Add(std::unique_ptr<TVdbNamedDef> Def);
  TVdbNamedDef* FindByName(std::string_view Name) const;
  int IndexOf(std::string_view Name) const;  // -1 when unknown
  bool DeleteByName(std::string_view Name);
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  TVdbNamedDef& operator[](int Index) const { return *FItems.at(static_cast<std::size_t>(Index)); }
  // The item at Index as a T (nullptr when it is of another class).
  template <typename T>
  T* Get(int Index) const { return dynamic_cast<T*>(&(*this)[Index]); }

 private:
  std::vector<std::unique_ptr<TVdbNamedDef>> FItems;
};

// ---------------------------------------------------------------------------------------------
// Column definitions

enum TVdbCalculationPurpose : std::uint8_t { clpInitialization, clpAppending, clpUpdating };
// Set of TVdbCalculationPurpose values (bit n = purpose n).
using TVdbCalculationPurposes = std::uint8_t;

class TVdbColumnDef {
 public:
  // A column definition of the class that fits the type's code; nullptr for codes 14, 15 and
  // codes without a column class. Sets the null-byte option from the type and the size.
  static std::unique_ptr<TVdbColumnDef> CreateColumnDef(const std::string& Name,
                                                        const TVdbDataType* DataType,
                                                        std::uint32_t Options);
  static std::unique_ptr<TVdbColumnDef> CreateStringColumnDef(const std::string& Name,
                                                              const TVdbDataType* DataType,
                                                              const std::string& CollationName,
                                                              std::uint32_t Options);
  // Whether a column of this code may be nullable at this level.
  static bool MayBeNullable(std::int16_t ColumnType, std::int16_t TableLevel);

  TVdbColumnDef(const std::string& Name, const TVdbDataType* DataType, std::uint32_t Options);
  virtual ~TVdbColumnDef() = default;

  // Virtual operations.
  virtual std::unique_ptr<TVdbColumnDef> Clone() const;
  // Switches to the type of another table level.
  virtual void SetTableLevel(std::int16_t Level);
  // A transfer form inside one process (appended to / read from a byte vector).
  virtual void SaveToStream(std::vector<std::uint8_t>& Stream) const;
  static std::unique_ptr<TVdbColumnDef> LoadFromStream(const std::uint8_t* Data,
                                                       std::size_t Size, std::size_t& Pos);

  // Switches to the nullable or non-nullable type and sets or clears options 32 and 8; false
  // (and no change) when the column's code cannot be nullable at this level.
  bool SetNullable(bool Value, std::int16_t TableLevel);

  std::string Name;
  const TVdbDataType* DataType = nullptr;  // shared, not owned
  std::int16_t Size = 0;
  std::uint32_t Options = 0;
  std::int32_t Position = 0;
  TVdbRelationIndex BaseRltnIdx = 0;
  std::int16_t BaseFieldNo = 0;

  std::int16_t GetColumnType() const;
  bool GetHasNullByte() const { return (Options & kVdbColNullByte) != 0; }
  bool GetNullable() const { return (Options & kVdbColNullable) != 0; }
  bool IsOptionSet(std::uint32_t Option) const { return (Options & Option) == Option; }
  // The collation of the column's type (empty = engine collation), its locale and options.
  virtual std::string GetCollation() const;
  std::uint32_t GetLocaleId() const;
  std::uint32_t GetStrCmpOptions() const;
  TVdbCalculationPurposes GetCalculationPurposes() const;
  std::string GetCalculationSource(std::int16_t TableLevel = kVdbEngineLevel) const;
  TVdbCalculation* Calculation() const { return FCalculation.get(); }
  void SetCalculation(std::unique_ptr<TVdbCalculation> Calculation) {
    FCalculation = std::move(Calculation);
  }

 protected:
  TVdbColumnDef(const TVdbColumnDef& Other);
  TVdbColumnDef& operator=(const TVdbColumnDef&) = delete;
  // Recomputes Size and the null-byte option from the type.
  void TypeChanged();

 private:
  std::unique_ptr<TVdbCalculation> FCalculation;
};

// Codes 0, 1, 7, 18, 19.
class TVdbTextColumnDef : public TVdbColumnDef {
 public:
  TVdbTextColumnDef(const std::string& Name, const TVdbDataType* DataType,
                    std::string CollationName, std::uint32_t Options);
  std::unique_ptr<TVdbColumnDef> Clone() const override;
  std::string GetCollation() const override;
  std::int32_t GetMaxLength() const;
  // The column's own collation as stored; empty = the table's.
  std::string FCollationName;
};

// Code 3.
class TVdbNumberColumnDef : public TVdbColumnDef {
 public:
  using TVdbColumnDef::TVdbColumnDef;
  std::unique_ptr<TVdbColumnDef> Clone() const override;
  std::int16_t GetScale() const;
};

// Code 13.
class TVdbTimeColumnDef : public TVdbColumnDef {
 public:
  using TVdbColumnDef::TVdbColumnDef;
  std::unique_ptr<TVdbColumnDef> Clone() const override;
  std::int16_t GetPrecision() const;
};

// Code 8.
class TVdbEnumColumnDef : public TVdbColumnDef {
 public:
  using TVdbColumnDef::TVdbColumnDef;
  std::unique_ptr<TVdbColumnDef> Clone() const override;
  std::vector<std::string> GetItemNames() const;
  // The item names joined by line feeds.
  std::string CalcEnumValueList() const;
};

// Code 9.
class TVdbRecordIdColumnDef : public TVdbColumnDef {
 public:
  using TVdbColumnDef::TVdbColumnDef;
  std::unique_ptr<TVdbColumnDef> Clone() const override;
  std::string IndexSpec;
  std::int32_t StartValue = 1;
};

// Codes 10 (Link) and 12 (Relation).
class TVdbAdlColumnDef : public TVdbColumnDef {
 public:
  using TVdbColumnDef::TVdbColumnDef;
  std::unique_ptr<TVdbColumnDef> Clone() const override;
  // Sets LinkedTable from a stored name: ".vdbt" and ".dat" are dropped, "@" stays.
  void SetLinkedTableFromStored(const std::string& Stored);
  std::string LinkedTable;
  TVdbRelationIndex LinkedRltnIdx = 0;
  TVdbRelationIndex RelatedRltnIdx = 0;
  std::int16_t LinkIndexNo = 0;
  std::int16_t LinkColumnNo = 0;
};

// The columns of a table or relation in column order, with their positions in the record.
class TVdbColumnDefs {
 public:
  TVdbColumnDefs() = default;
  TVdbColumnDefs(const TVdbColumnDefs& Other);
  TVdbColumnDefs& operator=(const TVdbColumnDefs& Other);
  TVdbColumnDefs(TVdbColumnDefs&&) noexcept = default;
  TVdbColumnDefs& operator=(TVdbColumnDefs&&) noexcept = default;

  // Appends a column; error 59 when the table would exceed 1000 columns or 32767 bytes.
  TVdbColumnDef& Add(std::unique_ptr<TVdbColumnDef> ColumnDef);
  void Replace(int Index, std::unique_ptr<TVdbColumnDef> ColumnDef);
  void Delete(int Index);
  void Clear() { FColumns.clear(); }
  int Find(std::string_view Name) const;          // list index or -1
  int FindFirst(std::int16_t ColumnType) const;   // list index or -1
  TVdbColumnDef& GetColumnDef(int Index) const;   // 0-based list index
  int GetCount() const { return static_cast<int>(FColumns.size()); }
  std::int32_t GetRecordSize() const;
  // Recomputes every position (after a column's size changed); error 59 beyond the limits.
  void ColumnDefChanged();
  // Switches every column to the types of another table level.
  void SetTableLevel(std::int16_t Level);

 private:
  static void CheckLimits(std::size_t Count, std::int64_t RecordSize);
  void PlaceFrom(std::size_t Index);
  std::vector<std::unique_ptr<TVdbColumnDef>> FColumns;
};

// ---------------------------------------------------------------------------------------------
// Other definitions

// A user-defined type name (level 6 tables).
class TVdbTypeDef : public TVdbNamedDef {
 public:
  TVdbTypeDef(std::string Name, std::int16_t TypeCode, std::int16_t SuperTypeCode)
      : TVdbNamedDef(std::move(Name)), TypeCode(TypeCode), SuperTypeCode(SuperTypeCode) {}
  std::unique_ptr<TVdbNamedDef> CloneNamed() const override;
  std::int16_t TypeCode = 0;
  std::int16_t SuperTypeCode = 0;
};

// One level of an index or sort order.
struct TVdbSortLevel {
  std::uint8_t ColumnType = 0;
  std::int16_t FieldNo = 0;   // 1-based column number
  std::int16_t Size = 0;      // key piece size in bytes
  bool Descending = false;
  bool operator==(const TVdbSortLevel&) const = default;
};

// The definition of an index or of a requested sort order.
class TVdbSortDef : public TVdbNamedDef {
 public:
  TVdbSortDef(std::string Name = {}, bool IsCalculated = false, bool IsUnique = false,
              std::string Source = {});
  TVdbSortDef(const TVdbSortDef& Other);
  TVdbSortDef& operator=(const TVdbSortDef& Other);
  std::unique_ptr<TVdbNamedDef> CloneNamed() const override;
  std::unique_ptr<TVdbSortDef> Clone() const;
  void Clear();

  // Same flags, level count and levels, or the same expression.
  bool Equals(const TVdbSortDef& Other) const;
  // Whether this index serves the order Requested; Reverse tells that it must be walked
  // backwards for it.
  bool Covers(const TVdbSortDef& Requested, bool AllowReverse, bool& Reverse) const;
  // The index specification text that gives this definition.
  std::string CalcSpecification(const TVdbColumnDefs& ColumnDefs, bool Readable, bool Reverse,
                                bool WithSize, bool FieldNumbers,
                                std::int16_t TableLevel = kVdbEngineLevel) const;
  const std::string& GetSource() const { return FSource; }
  // The expression of an expression index as stored ("@" in front of procedural sources).
  std::string ExpressionText(std::int16_t TableLevel) const;

  // The 50-byte vector form stored by index headers; error 61 for more than 10 levels, 98 for
  // an expression whose 8-bit source does not fit.
  std::array<std::uint8_t, kVdbIndexVectorSize> GetVectorData() const;
  // Fills the definition from the vector form; error 134 for a malformed vector.
  void SetVectorData(const std::uint8_t* Vector);

  // Appends a level; error 61 beyond kVdbMaxIndexLevels.
  void AddLevel(const TVdbSortLevel& Level);
  // The key size in bytes (the record number's 4 bytes and the key pieces).
  std::int32_t KeySize() const { return FSize; }
  void SetKeySize(std::int32_t Size) { FSize = Size; }

  std::string FSource;
  bool IsUnique = false;
  bool IsVarSize = false;
  bool IsCalculated = false;
  std::int16_t LevelCount = 0;
  std::array<TVdbSortLevel, kVdbMaxIndexLevels> Items{};
  std::unique_ptr<TVdbCalculation> FCalculation;
  std::int32_t FSize = 4;
};

// A check constraint.
class TVdbCheckDef : public TVdbNamedDef {
 public:
  TVdbCheckDef(std::string Name, TVdbExpressionSource Condition);
  TVdbCheckDef(const TVdbCheckDef& Other);
  std::unique_ptr<TVdbNamedDef> CloneNamed() const override;
  std::unique_ptr<TVdbCondition> FCondition;
};

// A candidate (unique or primary) key.
class TVdbCandidateKeyDef : public TVdbNamedDef {
 public:
  TVdbCandidateKeyDef(std::string Name, bool IsPrimary);
  TVdbCandidateKeyDef(const TVdbCandidateKeyDef& Other);
  std::unique_ptr<TVdbNamedDef> CloneNamed() const override;
  void AddColumnName(const std::string& Name) { FColumnNames.push_back(Name); }
  const std::string& GetColumnName(int Index) const {
    return FColumnNames.at(static_cast<std::size_t>(Index));
  }
  int GetColumnCount() const { return static_cast<int>(FColumnNames.size()); }
  // The column names as stored: joined by ",".
  std::string GetColumnList() const;
  void SetColumnList(const std::string& List);
  // The key as an index specification: "${" name "}" items joined by ",".
  std::string GetKeySpec() const;

  bool FIsPrimary = false;
  std::vector<std::string> FColumnNames;
  std::unique_ptr<TVdbSortDef> IndexDef;  // computed when the table is set up
};

enum TVdbReferentialAction : std::uint8_t { traNone = 0, traSetNull = 1, traSetDefault = 2, traCascade = 3 };

// A foreign key.
class TVdbForeignKeyDef : public TVdbNamedDef {
 public:
  explicit TVdbForeignKeyDef(std::string Name) : TVdbNamedDef(std::move(Name)) {}
  std::unique_ptr<TVdbNamedDef> CloneNamed() const override;
  std::vector<std::string> FColumnNames;
  std::string FParentTableName;
  std::vector<std::string> FParentColumnNames;
  TVdbReferentialAction FUpdateAction = traNone;
  TVdbReferentialAction FDeleteAction = traNone;
  std::int16_t FChildIndexNo = 0;
  TVdbRelationIndex FParentRltnIdx = 0;
  std::int16_t FParentIndexNo = 0;
};

// Joins names with Separator / splits a list at Separator (an empty text gives no names).
std::string JoinNames(const std::vector<std::string>& Names, char Separator);
std::vector<std::string> SplitNames(const std::string& List, char Separator);

// ---------------------------------------------------------------------------------------------
// The stored table-definition block

// Everything the stored definition block holds, as definition objects.
struct TVdbTableDefinition {
  std::string CollationName;
  std::int32_t Capacity = kVdbDefaultCapacity;
  std::string Password;  // empty = none
  TVdbNamedDefs Types;
  TVdbColumnDefs ColumnDefs;
  TVdbNamedDefs CheckDefs, KeyDefs, ForeignKeyDefs;
};

// Reads a definition block: Data are the block bytes without the 4-byte length, already
// decrypted; Level is 5 or 6. Password is the one the session supplies for the table. Errors:
// 38 (wrong marker or password), 134 (corrupt, truncated or inconsistent block). On error Def is
// left unchanged.
void LoadDefinitionBlock(const std::uint8_t* Data, std::size_t Size, std::int16_t Level,
                         const std::string& Password, TVdbTableDefinition& Def);

// The used (unpadded) bytes of a fresh block with a new random check marker. Error 145 for a
// RecordId column without index specification.
std::vector<std::uint8_t> SaveDefinitionBlock(const TVdbTableDefinition& Def, std::int16_t Level);

// Framing: the block length N for a block whose 4-byte length sits at BlockOffset and whose used
// size is UsedSize, so that the records start on a multiple of 8192 with at least 8193 bytes of
// room after the used part.
std::int32_t CalcDefinitionBlockLength(std::int64_t BlockOffset, std::size_t UsedSize);

}  // namespace vdb
