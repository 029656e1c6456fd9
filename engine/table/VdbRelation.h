// Relations: the common base of everything the query engine reads rows from (stored tables,
// virtual relations over them, query results). A relation owns its column definitions and a
// record buffer, numbers its indexes and derives their kinds from their names, builds and compares
// index keys, reads and writes typed field values inside record buffers, tells the accessors that
// read it about changes, and declares the virtual interface through which cursors, accessors and
// the planner reach records, indexes, memo and blob data and locks.
//
// Results: operations answering std::int16_t (or a count/number as std::int32_t) answer 0 or a
// positive value for success and the negated engine error number for failure; the error is then
// recorded as the session's last error (TVdbServices::SetLastError). Exceptions other than engine
// errors propagate.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/VdbErrors.h"
#include "table/VdbData.h"
#include "table/VdbDefinitions.h"
#include "table/VdbIndexFile.h"
#include "table/kxStrUtils.h"

namespace vdb {

class TkxFileSystem;
class TVdbServices;
class TVdbStorageCipher;
class TVdbRelation;

// Access rights: bit n of the rights word is right n.
enum TVdbAccessRight : std::uint8_t { tarAppend = 0, tarEdit = 1, tarDelete = 2, tarIndex = 3 };
using TVdbAccessRights = std::uint16_t;

// The rights word of a relation.
constexpr std::uint16_t kVdbRightAppend = 1u << tarAppend;
constexpr std::uint16_t kVdbRightEdit = 1u << tarEdit;
constexpr std::uint16_t kVdbRightDelete = 1u << tarDelete;
constexpr std::uint16_t kVdbRightIndex = 1u << tarIndex;
constexpr std::uint16_t kVdbWriteRights = 15;
constexpr std::uint16_t kVdbRightExclusive = 256;
constexpr std::uint16_t kVdbRightSecureFlush = 512;
constexpr std::uint16_t kVdbRightSharedReadOnly = 1024;
constexpr std::uint16_t kVdbNewTableRights = 271;  // all four rights, exclusive

// Flags of FindIndex by definition.
enum TVdbIndexFindOption : std::uint8_t {
  tifoExact = 1,           // the definition must equal the request (else covering is enough)
  tifoNoOpen = 2,          // do not open closed indexes to learn their definition
  tifoCreate = 4,          // build a temporary index when none fits
  tifoNoReverse = 8,       // an index walked backwards does not count
  tifoIncludeSpecial = 16  // the native order counts: when it covers the request, answer -1
};
using TVdbIndexFindOptions = std::uint8_t;

// "No index" in the index-number fields.
constexpr std::uint8_t kVdbNoIndex = 255;
// Access ids below this are index numbers (100 = physical order, 101 = bookmarks).
constexpr std::int16_t kVdbFirstSpecialAccessId = 100;

// A memo or blob value waiting to be written with a record (or read for it): FieldNo 0 marks a
// free entry. Memo text is 8-bit (the column's code page), wide memo text UTF-16, blob bytes
// in AnsiData with their blob type.
struct TVdbBlobData {
  std::int16_t FieldNo = 0;
  std::string AnsiData;
  std::u16string WideData;
  std::int16_t BlobType = 0;
};
using TVdbBlobDataList = std::vector<TVdbBlobData>;

// The interface through which a relation notifies the accessors that read it (and the virtual
// relations over it, which pass everything on to their own accessors). Calls arrive
// synchronously on the session's thread, in registration order.
class TVdbRelationListener {
 public:
  virtual ~TVdbRelationListener() = default;
  // A name for diagnostics ("Session_Default", "VirtualRelation" + name, ...).
  virtual std::string GetTag() const = 0;
  // Record RecNo was deleted and record MovedRecNo moved into its place (0: none moved).
  virtual void RecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) = 0;
  virtual void RecordChanged(std::int32_t RecNo) = 0;
  // Records were added or the relation caught up with other sessions.
  virtual void RelationChanged() = 0;
  virtual void RelationEmptied() = 0;
  // Asked before index IndexNo is deleted; a listener that still needs it clears Allowed.
  virtual void MayDeleteIndex(std::int16_t IndexNo, bool& Allowed) = 0;
  // Index IndexNo is gone; higher index numbers moved down by one.
  virtual void IndexRemoved(std::int16_t IndexNo) = 0;
  // The index names of the relation were rewritten (another session added or removed one).
  virtual void IndexNamesChanged() = 0;
  // Whether the listener is editing record RecNo.
  virtual bool IsRecordEdited(std::int32_t RecNo) = 0;
};

// Handlers the catalog installs for referential integrity. Each answers 0 or a negative error.
// CheckReferentialIntegrity: the foreign key ForeignKeyIndex (0-based) of Relation must find its
// parent for the record in RecBuffer.
using TVdbCheckReferentialIntegrityEvent = std::function<std::int16_t(
    TVdbRelation& Relation, std::int32_t ForeignKeyIndex, const std::uint8_t* RecBuffer)>;
// Insert/update/delete rules around a change; Before tells the before-call from the after-call;
// OrigRecBuffer is the original record of an update (null otherwise).
using TVdbIntegrityRulesEvent = std::function<std::int16_t(
    TVdbRelation& Relation, bool Before, const std::uint8_t* RecBuffer,
    const std::uint8_t* OrigRecBuffer)>;
// The parent table of a foreign key, found open or opened by name; null (with the error
// recorded) when it cannot be had.
using TVdbOpenParentTableEvent = std::function<TVdbRelation*(const std::string& TableName)>;

class TVdbRelation {
 public:
  explicit TVdbRelation(TVdbServices* Services);
  virtual ~TVdbRelation();
  TVdbRelation(const TVdbRelation&) = delete;
  TVdbRelation& operator=(const TVdbRelation&) = delete;

  // ============================================================================================
  // Virtual operations, in their fixed order.

  // Clears the column definitions and the memo/blob/RecordId flags.
  virtual void ClearStructure();
  // Directory of the index files of a kind (base: empty).
  virtual std::string GetIndexDirectory(TVdbIndexKind Kind) const;
  // The table cipher (base: none).
  virtual TVdbStorageCipher* GetCipher() const;
  virtual bool Active() const = 0;
  virtual bool ReadOnly() const = 0;
  virtual bool Exclusive() const = 0;
  virtual std::string FullName() const = 0;
  virtual std::string Name() const = 0;
  virtual std::int16_t Level() const = 0;
  virtual std::int32_t RecordSize() const = 0;
  virtual std::int32_t RecordCount() = 0;
  virtual std::int32_t ConstraintCount() const = 0;
  // Index: 0-based; null when out of range.
  virtual TVdbCheckDef* GetConstraint(std::int32_t Index) const = 0;
  virtual std::int32_t IntegrityRuleCount() const = 0;
  virtual TVdbForeignKeyDef* GetIntegrityRule(std::int32_t Index) const = 0;
  // Writes the index names where they are stored (base: nothing).
  virtual std::int16_t FlushIndexNames(bool Force);
  virtual std::int16_t OpenFiles(bool Force) = 0;
  // FCalculationPurposes, FRecordIdFieldNo, FHasMemo, FHasBlob from the columns.
  virtual void RecalcColumnFlags();
  // Base: nothing.
  virtual std::int16_t CloseFiles();
  // Takes an index slot for IndexName (IndexDef may be null: read from the file when it is
  // opened); answers the index number.
  virtual std::int16_t InitIndex(const std::string& IndexName, const TVdbSortDef* IndexDef) = 0;
  virtual std::int16_t FirstIndexNo() const;  // 0
  virtual std::int16_t LastIndexNo() const;   // FLastIndexNo (-1: no index)
  // The slots from FirstIndexNo to LastIndexNo that hold an index.
  virtual std::int16_t IndexCount() const;
  // The index file of a slot, or null for an empty slot or a number out of range.
  virtual TVdbIndexFile* GetIndexFile(std::int16_t IndexNo) const = 0;
  // Table locks (Wait: block until granted or timed out).
  virtual std::int16_t BeginRead(bool Wait) = 0;
  virtual std::int16_t BeginUpgrade(bool Wait) = 0;
  virtual std::int16_t BeginWrite(bool Wait) = 0;
  virtual std::int16_t BeginExclusive(bool Wait) = 0;
  // Creates and builds an index; answers its number.
  virtual std::int16_t NewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                                const TVdbIndexFile::TProgressFunc& ProgFun,
                                std::int32_t Capacity) = 0;
  virtual std::int16_t RemoveInd(std::int16_t IndexNo) = 0;
  // The file name of an index, from the relation's FullName (a file path) and level:
  // level 6 "Name!Index.vdbi", levels 4 and 5 "Name!Index.ind", older levels the index name
  // (with ".ind" added when it has no extension, ".$$i" for tables whose name starts with "~")
  // in the table's directory.
  virtual std::string CalcIndexFileName(const std::string& IndexName) const;
  // An index was built in slot IndexNo (base: nothing).
  virtual void IndexAdded(std::int16_t IndexNo);
  // The file system that holds the index files of a kind (base: the database's).
  virtual TkxFileSystem* GetIndexFileSystem(TVdbIndexKind Kind) const;
  // Memo and blob data of the record in RecBuffer, by column number.
  virtual std::int32_t GetBlobLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) = 0;
  virtual std::int32_t GetMemoLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) = 0;
  // The memo text as stored: 8-bit, in the column's code page.
  virtual std::int16_t ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                      std::string& Value) = 0;
  virtual std::int16_t GetBlobType(const std::uint8_t* RecBuffer, std::int16_t FieldNo) = 0;
  virtual std::int16_t ReadBlobData(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                    std::string& Data, std::int16_t& BlobType) = 0;
  virtual std::int16_t ReadBlobDataWide(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                        std::u16string& Value) = 0;
  // The relation's own order, or null when it has none.
  virtual const TVdbSortDef* GetNativeSortDef() const = 0;
  // Names compare in their standard form: without directory and extension, as identifiers.
  virtual bool IsSameTableName(const std::string& TableName) const;
  // Checks (Repair: and repairs) the stored data.
  virtual std::int16_t Check(bool Repair) = 0;
  // Whether deleting removes the record (rather than marking it).
  virtual bool CanRealDelete() const = 0;
  virtual std::int16_t OpenForTranslate();  // base: 0
  // Prepares the check constraints with the session's expression factory.
  virtual std::int16_t Setup(bool Force);
  // CloseFiles, then ClearStructure, then frees the record buffer.
  virtual std::int16_t Close();
  virtual std::int16_t CloseForTranslate();  // base: 0
  // Empties the relation; answers the record count before.
  virtual std::int32_t ClearDat() = 0;
  virtual std::int16_t Flush() = 0;
  virtual std::int16_t Undo() = 0;
  virtual std::string GetBlobBaseDir() const = 0;
  // The relation and column a column shows (a base table: itself).
  virtual std::int16_t GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                                    std::int16_t& BaseFieldNo) const = 0;
  virtual std::int32_t GetCapacity() const = 0;
  // Column number of Name (1-based), 0 if none.
  virtual std::int16_t FindColumn(std::string_view Name, bool CaseSensitive) const;
  // The file name of the relation table behind Relation column FieldNo.
  virtual std::string CalcRelTableFileName(std::int16_t FieldNo) const;
  // The stored name of column FieldNo.
  virtual std::string GetPhysicalColumnName(std::int16_t FieldNo) const;
  // Work buffer WorkInfoIndex (0 .. 4) of an index, sized for its items; null when the index
  // does not exist.
  virtual std::uint8_t* GetIndexWorkInfo(std::int16_t IndexNo, int WorkInfoIndex);
  virtual std::int16_t MoveIndex(std::int16_t FromIndexNo, std::int16_t ToIndexNo) = 0;
  // Index stepping. Value receives the entry (record number and key); it must hold the index's
  // item size. Answers 0 with an entry, 1 when there is no (further) entry, or an error (95 for an
  // index that cannot be opened). Next/Prev start from the entry in Value.
  virtual std::int16_t FindFirstIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value);
  // Searches SearchInfo's key (record number included in the order): 0 no entry found, 3 the
  // found entry has the same key (record number not compared), 1 the found entry is the next one
  // after the key. AccessId 100 or more: error 6.
  virtual std::int16_t FindSortInfo(std::int16_t AccessId, const TVdbLongIndexInfo& SearchInfo,
                                    TVdbLongIndexInfo& FoundInfo);
  virtual std::int16_t FindNextIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value);
  virtual std::int16_t FindLastIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value);
  virtual std::int16_t FindPrevIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value);
  // The key of record RecordNo in the native order; error 6 without a native order.
  virtual std::int16_t GetNativeSortInfo(std::int32_t RecordNo, TVdbLongIndexInfo& SortInfo);
  // Record-number order; 0 (or below) when there is none.
  virtual std::int32_t GetFirstRecordNo() = 0;
  virtual std::int32_t GetNextRecordNo(std::int32_t RecNo) = 0;
  virtual std::int32_t GetPrevRecordNo(std::int32_t RecNo) = 0;
  virtual std::int32_t GetLastRecordNo() = 0;
  virtual std::int16_t SetAutoNum(std::uint8_t* RecBuffer) = 0;
  virtual std::int16_t AdjustRecordId(const std::uint8_t* RecBuffer) = 0;
  virtual std::int16_t CancelAutoNum(std::int32_t RecordId) = 0;
  virtual std::int16_t ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) = 0;
  virtual std::int16_t InitRecord(std::uint8_t* RecBuffer, bool Preset) = 0;
  // Answers the new record's number.
  virtual std::int32_t AppendRecord(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) = 0;
  // Base: refused (error 160), a relation that can be written overrides it.
  virtual std::int16_t ReplaceRecord(std::uint8_t* RecBuffer, const std::uint8_t* OrigRecBuffer,
                                     std::int32_t RecNo, const TVdbBlobDataList* Blobs);
  virtual std::int16_t DeleteRecord(std::uint8_t* RecBuffer, std::int32_t RecNo) = 0;
  // Computes the calculated columns whose purposes meet Purposes.
  virtual std::int16_t BerechneFormeln(std::uint8_t* RecBuffer,
                                       TVdbCalculationPurposes Purposes) = 0;
  virtual std::int32_t ReadNextRecordId() = 0;
  virtual std::int16_t WriteMemoString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                       const std::string& Value) = 0;
  virtual std::int16_t WriteBlobData(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                     const std::string& Data, std::int16_t BlobType) = 0;
  virtual std::int16_t WriteBlobDataWide(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                         const std::u16string& Value) = 0;
  virtual std::int16_t DoGetLinkString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                       std::string& Result) = 0;
  // Chooses an index for a requested order: the lowest index number whose definition equals
  // (tifoExact) or covers the request; -1 when none fits (and none could be made with
  // tifoCreate), or at once when tifoIncludeSpecial is given and the native order covers it.
  // Overriders add `using TVdbRelation::FindIndex;` to keep the by-name and by-text forms.
  virtual std::int16_t FindIndex(const TVdbSortDef& IndexDef, TVdbIndexFindOptions Options,
                                 bool& Reverse);
  // Full-text indexes: the base relation has none.
  virtual std::int16_t FindFtIndexNo(const std::string& IndexName) const;  // -1
  virtual std::string GetRealIndexName(const std::string& IndexName) const;  // unchanged
  virtual std::int16_t GetFullTextIndexNo(std::int16_t FieldNo) const;      // -1
  virtual std::int16_t SearchFullText(std::int16_t FtIndexNo, const std::string& Text,
                                      std::vector<std::int32_t>& RecordNos);  // error 6
  // Lock bookkeeping (base: no other users, no locks counted).
  virtual std::int16_t NetUsers(std::vector<std::string>& Users);
  virtual std::int32_t CountReadLocks() const;
  virtual std::int32_t CountWriteLocks() const;
  // Catches up with changes of other sessions (base: nothing to do).
  virtual std::int16_t CheckUpdate();
  virtual std::int16_t EndRead();
  virtual std::int16_t EndUpgrade();
  virtual std::int16_t EndWrite();
  virtual std::int16_t EndExclusive();
  // Record edit locks. Base: with FUseEditLocks, a record that one of the registered accessors
  // other than Excluded is editing is refused with error 105.
  virtual std::int16_t CheckEdit(std::int32_t RecNo, TVdbRelationListener* Excluded);
  virtual std::int16_t SwitchEdit(std::int32_t FromRecNo, std::int32_t ToRecNo);
  virtual std::int16_t EndEdit(std::int32_t RecNo);
  virtual std::int16_t UpdateTable();
  // Opens index IndexNo on first use: error 6 for an empty slot, 95 for a lost index or one
  // that cannot be opened.
  virtual std::int16_t CheckIndexOpen(std::int16_t IndexNo);
  // The sort definition of index IndexNo, null while it is not known (a closed index). Base: made
  // from the definition the open index file stores.
  virtual const TVdbSortDef* GetIndexDefinition(std::int16_t IndexNo);

  // ============================================================================================
  // Opening: OpenFiles (Close again on failure), then the standard name.
  std::int16_t Open(bool Force);

  // --- Columns (FieldNo is 1-based; a number out of range is error 83) ---
  std::int16_t GetColumnCount() const;
  TVdbColumnDef& GetColumnDef(std::int16_t FieldNo) const;
  const TVdbDataType* GetDataType(std::int16_t FieldNo) const;
  const std::string& GetFieldName(std::int16_t FieldNo) const;
  std::int32_t GetFieldPos(std::int16_t FieldNo) const;
  std::int32_t GetFieldSize(std::int16_t FieldNo) const;
  bool GetHasNullByte(std::int16_t FieldNo) const;
  bool IsOptionSet(std::int16_t FieldNo, std::uint32_t Option) const;
  TVdbColumnDefs& ColumnDefs() { return *FColumnDefs; }
  const TVdbColumnDefs& ColumnDefs() const { return *FColumnDefs; }
  // The owned record buffer (RecordSize bytes; null while closed).
  std::uint8_t* RecBuffer() const { return FRecBuffer.get(); }
  void AllocRecBuffer();
  void FreeRecBuffer() { FRecBuffer.reset(); }

  // --- Typed field access inside a record buffer ---
  // Getters answer false (and an empty/zero value) when the field is NULL. Errors: 83 for a
  // column number out of range; value conversions raise what the data types raise.
  std::uint8_t* GetRecordField(std::uint8_t* RecBuffer, std::int16_t FieldNo) const;
  const std::uint8_t* GetRecordField(const std::uint8_t* RecBuffer, std::int16_t FieldNo) const;
  bool IsNull(const std::uint8_t* RecBuffer, std::int16_t FieldNo) const;
  void SetNull(std::uint8_t* RecBuffer, std::int16_t FieldNo) const;
  // A deep copy of the field's value (typed by the column); for memo, blob and wide memo columns
  // a reference to the field (their first block number) instead, valid while the buffer lives.
  bool GetValue(const std::uint8_t* RecBuffer, std::int16_t FieldNo, TVdbDataValue& Value) const;
  // Assigns Value of ValueType, converting it to the column's type.
  void SetValue(std::uint8_t* RecBuffer, std::int16_t FieldNo, const TVdbDataValue& Value,
                const TVdbDataType* ValueType) const;
  // Stores a value that already has the column's type code (error 44 otherwise); an empty or
  // NULL value stores NULL (the default for columns that are not nullable).
  void PutValue(std::uint8_t* RecBuffer, std::int16_t FieldNo, const TVdbDataValue& Value) const;
  // The text form of the value (UTF-8 / UTF-16); empty for NULL. Set*: from text, an absent
  // text (SetNull) for NULL.
  bool GetAsStringA(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::string& Value) const;
  bool GetAsStringW(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                    std::u16string& Value) const;
  void SetAsStringA(std::uint8_t* RecBuffer, std::int16_t FieldNo, std::string_view Value) const;
  void SetAsStringW(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                    std::u16string_view Value) const;
  // String columns: the content (UTF-8 / UTF-16).
  bool GetAnsiString(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::string& Value) const;
  void SetAnsiString(std::uint8_t* RecBuffer, std::int16_t FieldNo, std::string_view Value) const;
  bool GetWideString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                     std::u16string& Value) const;
  void SetWideString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                     std::u16string_view Value) const;
  bool GetInt16(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int16_t& Value) const;
  void SetInt16(std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int16_t Value) const;
  bool GetInt32(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int32_t& Value) const;
  void SetInt32(std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int32_t Value) const;
  bool GetInt64(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int64_t& Value) const;
  void SetInt64(std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int64_t Value) const;
  bool GetUInt8(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::uint8_t& Value) const;
  void SetUInt8(std::uint8_t* RecBuffer, std::int16_t FieldNo, std::uint8_t Value) const;
  bool GetBoolean(const std::uint8_t* RecBuffer, std::int16_t FieldNo, bool& Value) const;
  void SetBoolean(std::uint8_t* RecBuffer, std::int16_t FieldNo, bool Value) const;
  bool GetDouble(const std::uint8_t* RecBuffer, std::int16_t FieldNo, double& Value) const;
  void SetDouble(std::uint8_t* RecBuffer, std::int16_t FieldNo, double Value) const;
  bool GetGuid(const std::uint8_t* RecBuffer, std::int16_t FieldNo, TVdbGuid& Value) const;
  void SetGuid(std::uint8_t* RecBuffer, std::int16_t FieldNo, const TVdbGuid& Value) const;
  // Date columns: the date part only (time 0).
  bool GetTimeStamp(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                    TVdbTimeStamp& Value) const;
  void SetTimeStamp(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                    const TVdbTimeStamp& Value) const;
  // Time columns: the time of day in ticks (100 ns).
  bool GetTicks(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int64_t& Value) const;
  void SetTicks(std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int64_t Value) const;
  // Enumeration columns: the stored value and the item name.
  bool GetEnumValue(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                    std::int32_t& Value) const;
  bool GetEnumString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                     std::string& Value) const;
  // Link and RecordId columns (error 14 for a column of another type).
  bool GetLink(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int32_t& Value) const;
  void SetLink(std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int32_t Value) const;
  // The RecordId of the record (FRecordIdFieldNo; error 64 when there is no RecordId column).
  std::int32_t GetRecordId(const std::uint8_t* RecBuffer) const;
  void SetRecordId(std::uint8_t* RecBuffer, std::int32_t Value) const;
  // First block of a memo, blob or wide memo field (0: no value; error 14 for other columns).
  std::int32_t GetBlockIdx(const std::uint8_t* RecBuffer, std::int16_t FieldNo) const;
  void SetBlockIdx(std::uint8_t* RecBuffer, std::int16_t FieldNo, std::int32_t Value) const;

  // --- Index keys ---
  // The sort definition of an index specification (errors 98, 61 as EVdbEngine).
  std::unique_ptr<TVdbSortDef> CalcIndexDefinition(const std::string& IndexSpecification,
                                                   bool Unique) const;
  std::string CalcIndexSpecification(const TVdbSortDef& IndexDef, bool Readable = true) const;
  // The index specification text of index IndexNo (empty when its definition is not known).
  std::string GetIndexSpecification(std::int16_t IndexNo);
  // Builds the index item of a record; answers the key length.
  std::int32_t CalcIndexInfo(const std::uint8_t* RecBuffer, const TVdbSortDef& IndexDef,
                             TVdbLongIndexInfo& IndexInfo, std::int32_t RecordNo) const;
  std::int32_t CalcIndexInfo(const std::uint8_t* RecBuffer, std::int16_t IndexNo,
                             TVdbLongIndexInfo& IndexInfo, std::int32_t RecordNo);
  // Writes the key pieces of an item back into the columns of RecBuffer (column indexes only;
  // string pieces hold only as much of the value as the key keeps).
  void WriteIndexInfo(std::uint8_t* RecBuffer, const TVdbSortDef& IndexDef,
                      const TVdbLongIndexInfo& IndexInfo) const;
  // The value of key level Level (0-based) of an item.
  bool GetValueFromIndex(const TVdbSortDef& IndexDef, const TVdbLongIndexInfo& IndexInfo,
                         int Level, TVdbDataValue& Value) const;
  // The item whose key pieces are the given texts. With fewer texts the other levels take the
  // value that sorts first in the index order (LastOfRest: last), so that the item bounds every
  // key that begins with the given pieces from below (above).
  std::int32_t StringToIndex(const TVdbSortDef& IndexDef, const std::vector<std::string>& Values,
                             TVdbLongIndexInfo& IndexInfo, std::int32_t RecordNo,
                             bool LastOfRest = false) const;
  // The key of an item as text, levels joined by ",".
  std::string IndString(const TVdbSortDef& IndexDef, const TVdbLongIndexInfo& IndexInfo) const;
  // The index order of items X and Y (see IndexLess of the index keys).
  bool IndexLess(const TVdbSortDef& IndexDef, const std::uint8_t* X, const std::uint8_t* Y,
                 bool& NotUnique) const;
  std::int16_t FindSortKeyDiff(const TVdbSortDef& IndexDef, const std::uint8_t* X,
                               const std::uint8_t* Y) const;
  // Same key under the index's collations, record numbers not compared.
  bool IsSameIndexInfo(const TVdbSortDef& IndexDef, const TVdbLongIndexInfo& X,
                       const TVdbLongIndexInfo& Y) const;
  // Same record number and byte for byte the same key.
  bool IsSameIndexKey(const TVdbSortDef& IndexDef, const TVdbLongIndexInfo& X,
                      const TVdbLongIndexInfo& Y) const;

  // --- Finding and making indexes ---
  // By name: the index number, -1 when there is none.
  std::int16_t FindIndex(const std::string& IndexName) const;
  // By specification text (an order such as "CIMSZO,-${Name}").
  std::int16_t FindIndex(const std::string& SortOrder, TVdbIndexFindOptions Options,
                         bool& Reverse);
  // Name -> number, -1 when unknown (names compare as identifiers).
  std::int16_t GetIndexNo(std::string_view IndexName) const;
  // The kind of an index name by the rules of a table level.
  static TVdbIndexKind GetIndexKind(std::string_view IndexName, std::int16_t TableLevel);
  TVdbIndexKind GetIndexKind(std::string_view IndexName) const;
  // Creates an index from a specification through NewIndex.
  std::int16_t CreateIndex(const std::string& IndexName, const std::string& IndexSpecification,
                           bool Unique);
  // A temporary index over IndexDef: "tmp" + three digits (level 4 on) or the file name +
  // ".$" + two digits, numbers 1 to 99 tried while the name is taken (errors 22, 23).
  std::int16_t CreateTempIndex(const TVdbSortDef& IndexDef);
  // The number of the first record whose key in index IndexNo equals the key of RecBuffer; 0
  // when there is none.
  std::int32_t LocateRecord(std::int16_t IndexNo, const std::uint8_t* RecBuffer);
  // The number of the record with RecordId (through the RecordId index when there is one, else
  // by reading the records); 0 when there is none.
  std::int32_t FindRecordId(std::int32_t RecordId);
  // Whether the key of Item lies within the bounds (a bound with record number 0 is unset);
  // record numbers are not compared.
  bool TestFilterRange(const TVdbSortDef& IndexDef, const TVdbLongIndexInfo& Item,
                       const TVdbLongIndexInfo* LowerBound,
                       const TVdbLongIndexInfo* UpperBound) const;
  // Sorts record numbers by their keys in Order (stable for equal keys; holes (0) go last).
  std::int16_t SortBookmarks(std::vector<std::int32_t>& RecordNos, const TVdbSortDef& Order);

  // Key-field comparison of stored field images.
  // Compares two field images of the given column type; -1, 0, 1. HasNullByte: the field carries
  // a null byte (first byte from table level 6 on, else the last byte). DataSize1/2 are the image
  // sizes of the two sides (string key pieces may be shorter than FieldSize).
  static int CompareFields(const std::uint8_t* Value1, const std::uint8_t* Value2,
                           TStrCmpOptions Options, std::uint32_t LocaleId, bool HasNullByte,
                           std::int32_t FieldSize, std::int32_t DataSize1, std::int32_t DataSize2,
                           std::int16_t ColumnType, std::int16_t TableLevel);
  // True when the two field images compare equal.
  static bool RecordFieldsEqual(const std::uint8_t* Value1, const std::uint8_t* Value2,
                                TStrCmpOptions Options, std::uint32_t LocaleId, bool HasNullByte,
                                std::int32_t FieldSize, std::int16_t ColumnType,
                                std::int16_t TableLevel);

  // --- Accessors and notifications ---
  // Accessors count as users of the relation; other listeners only hear the notifications.
  void AddAccessor(TVdbRelationListener* Accessor);
  void RemoveAccessor(TVdbRelationListener* Accessor);
  std::int32_t AccessorCount() const { return static_cast<std::int32_t>(FClientAccessors.size()); }
  TVdbRelationListener* GetAccessor(std::int32_t Index) const;
  void AddListener(TVdbRelationListener* Listener);
  void RemoveListener(TVdbRelationListener* Listener);
  // False suspends notifications (counted); True lifts one suspension and, when it lifts the
  // last one, sends a relation change.
  void EnableNotifications(bool Enabled);
  bool NotificationsEnabled() const { return FNotificationDisableCount == 0; }
  void NotifyRelationChanged();
  void NotifyRecordChanged(std::int32_t RecNo);
  void NotifyRecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo);
  void NotifyRelationEmptied();
  void NotifyIndexNamesChanged();
  // Catching up with other sessions: a relation change, then per announced move (deleted record,
  // record moved into its place) a deletion notice.
  void NotifyCaughtUp(const std::vector<std::pair<std::int32_t, std::int32_t>>& Moves);
  void NotifyIndexRemoved(std::int16_t IndexNo);
  // False when a listener vetoes deleting the index.
  bool MayDeleteIndex(std::int16_t IndexNo);
  // Whether a registered accessor other than Excluded edits RecNo.
  bool IsRecordEdited(std::int32_t RecNo, const TVdbRelationListener* Excluded) const;

  // An error handler for the relation's index files: records their errors in the session.
  TVdbIndexFile::TErrorFunc IndexErrorHandler() const;

  // --- Properties ---
  TVdbServices* Services() const { return FServices; }
  const std::string& StdName() const { return FStdName; }
  // The standard form of a table name: the file name without directory and extension.
  static std::string CalcStdName(std::string_view TableName);
  std::uint16_t Rights() const { return FRights; }
  void SetRights(std::uint16_t Rights) { FRights = Rights; }
  bool HasRight(TVdbAccessRight Right) const { return (FRights & (1u << Right)) != 0; }
  bool UseEditLocks() const { return FUseEditLocks; }
  void SetUseEditLocks(bool Value) { FUseEditLocks = Value; }
  std::int16_t RecordIdFieldNo() const { return FRecordIdFieldNo; }
  bool HasMemo() const { return FHasMemo; }
  bool HasBlob() const { return FHasBlob; }
  TVdbCalculationPurposes CalculationPurposes() const { return FCalculationPurposes; }
  std::uint8_t InrIndexNo() const { return FInrIndexNo; }
  std::uint8_t IdIndexNo() const { return FIdIndexNo; }
  std::uint8_t PrimIndexNo() const { return FPrimIndexNo; }
  const TVdbRelationSet& BaseRelations() const { return FBaseRelations; }
  void SetBaseRelations(const TVdbRelationSet& Value) { FBaseRelations = Value; }
  TVdbRelationIndex RltnIdx() const { return FRltnIdx; }
  void SetRltnIdx(TVdbRelationIndex Value);
  bool Updating() const { return FUpdating; }

  void SetOnCheckReferentialIntegrity(TVdbCheckReferentialIntegrityEvent Handler) {
    FOnCheckReferentialIntegrity = std::move(Handler);
  }
  void SetOnExecuteInsertIntegrityRules(TVdbIntegrityRulesEvent Handler) {
    FOnExecuteInsertIntegrityRules = std::move(Handler);
  }
  void SetOnExecuteUpdateIntegrityRules(TVdbIntegrityRulesEvent Handler) {
    FOnExecuteUpdateIntegrityRules = std::move(Handler);
  }
  void SetOnExecuteDeleteIntegrityRules(TVdbIntegrityRulesEvent Handler) {
    FOnExecuteDeleteIntegrityRules = std::move(Handler);
  }
  void SetOnOpenParentTable(TVdbOpenParentTableEvent Handler) {
    FOnOpenParentTable = std::move(Handler);
  }

  // Flags the catalog and statements keep on relations.
  bool IsRelFile = false;     // the hidden relation table of a Relation column
  bool HasLinkField = false;  // the relation has Link columns
  bool Temporary = false;     // opened by a statement for its own use
  bool DirectLinkSet = false;

 protected:
  // Records an engine error (or any exception the services know how to record) and answers its
  // negated number; for the boundary of operations that answer result codes.
  std::int16_t RecordError(const std::exception& Error) const;
  std::int16_t RecordError(std::int16_t Code, const kxFormatArgs& Args) const;
  // Runs Operation behind the engine's exception boundary (VdbGuarded), recording failures as
  // the session's last error.
  template <class TOperation>
  auto Guarded(TOperation&& Operation) -> decltype(Operation());
  // The session's last error (null without services).
  TVdbLastError* LastErrorRecord() const;
  // The index file of IndexNo, opened (error 95 as EVdbEngine when it cannot be).
  TVdbIndexFile& OpenedIndexFile(std::int16_t IndexNo);
  // "Index#" + number: how errors name an index that has no name.
  static std::string IndexLabel(std::int16_t IndexNo);

  std::int32_t FNotificationDisableCount = 0;
  std::vector<TVdbRelationListener*> FClientAccessors;
  TVdbCheckReferentialIntegrityEvent FOnCheckReferentialIntegrity;
  TVdbIntegrityRulesEvent FOnExecuteInsertIntegrityRules;
  TVdbIntegrityRulesEvent FOnExecuteUpdateIntegrityRules;
  TVdbIntegrityRulesEvent FOnExecuteDeleteIntegrityRules;
  TVdbOpenParentTableEvent FOnOpenParentTable;
  TVdbServices* FServices;
  std::string FStdName;
  std::unique_ptr<TVdbColumnDefs> FColumnDefs;
  std::uint16_t FRights = 0;
  bool FUseEditLocks = false;
  std::int16_t FRecordIdFieldNo = 0;
  bool FHasMemo = false;
  bool FHasBlob = false;
  TVdbCalculationPurposes FCalculationPurposes = 0;
  std::unique_ptr<std::uint8_t[]> FRecBuffer;
  std::uint8_t FInrIndexNo = kVdbNoIndex;
  std::uint8_t FIdIndexNo = kVdbNoIndex;
  std::uint8_t FPrimIndexNo = kVdbNoIndex;
  std::int16_t FLastIndexNo = -1;
  TVdbRelationSet FBaseRelations;
  std::vector<TVdbRelationListener*> FListeners;
  bool FUpdating = false;
  TVdbRelationIndex FRltnIdx = 0;

 private:
  struct TIndexDefCache {
    TVdbIndexHeaderDef Stored;
    std::unique_ptr<TVdbSortDef> Definition;
  };
  template <class TCall>
  void Broadcast(TCall&& Call);
  bool Notifying() const { return FNotificationDisableCount == 0; }
  std::vector<TIndexDefCache> FIndexDefCache;  // by index number
};

// The process-wide table of relations by relation handle: (session handle - 1) * 256 + relation
// index (1 .. 254). Relations are registered by the catalog that owns them; the table does not
// own them. Safe to use from several threads.
class TRelationList {
 public:
  static TRelationList& Instance();

  static std::int16_t CalcRltnHdl(std::int16_t SessHdl, TVdbRelationIndex RltnIdx);
  static TVdbRelationIndex GetRltnIdx(std::int16_t RltnHdl);
  static std::int16_t GetSessionHandle(std::int16_t RltnHdl);

  // Null when no relation is registered under the handle.
  TVdbRelation* GetRelation(std::int16_t RltnHdl) const;
  TVdbRelation* GetSessionRelation(std::int16_t SessHdl, TVdbRelationIndex RltnIdx) const;
  // Registers Relation under a handle (replacing what was there); false for a handle whose
  // relation index is outside 1 .. 254 or whose session is not positive.
  bool SetRelation(std::int16_t RltnHdl, TVdbRelation* Relation);
  void RemoveRelation(std::int16_t RltnHdl);
  // Removes every registration of Relation (a relation does so when it is destroyed).
  void RemoveRelation(const TVdbRelation* Relation);
  bool IsValidRelation(const TVdbRelation* Relation) const;
  bool IsValidRltnHdl(std::int16_t RltnHdl) const;
  // The handle of the lowest relation index of a session that is not registered; 0 when the
  // session has none free.
  std::int16_t GetTemporaryHandle(std::int16_t SessHdl) const;

 private:
  TRelationList() = default;
  mutable std::mutex FLock;
  std::map<std::int16_t, TVdbRelation*> FRelations;
};

// The sort definition an index file's stored definition describes (the reverse of
// VdbIndexHeaderDef); an expression is compiled when Factory is given and accepts it.
std::unique_ptr<TVdbSortDef> VdbSortDefFromHeader(const TVdbIndexHeaderDef& Header,
                                                  const TVdbColumnDefs& Columns,
                                                  std::int16_t TableLevel,
                                                  TVdbExpressionFactory* Factory);

template <class TOperation>
auto TVdbRelation::Guarded(TOperation&& Operation) -> decltype(Operation()) {
  return VdbGuarded(LastErrorRecord(), std::forward<TOperation>(Operation));
}

}  // namespace vdb
