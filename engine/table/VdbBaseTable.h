// Base tables: the stored table of a database over its files. The data file holds the records
// and the definition, the memo and blob files hold the long values, one index file per index
// holds the keys, and the lock file, move file and undo log let several sessions share it.
//
// Every operation that can fail records the engine error in the session's last error and
// answers its negated number as a 16-bit result (0 or a positive value for success); exceptions
// of other classes pass through.
//
// Locks: the table counts its session's read, upgrade, write and exclusive locks and holds the
// file-level lock of the lock file lazily: an ended lock lingers until CheckUnlock finds it idle,
// so that a burst of reads costs one lock-file access. Without a lock file (an exclusive or a
// shared read-only opening) only the counters are kept.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "table/VdbDataFile.h"
#include "table/VdbDefinitions.h"
#include "table/VdbIndexFile.h"
#include "table/VdbLocks.h"

namespace vdb {

class EVdbEngine;
class TkxFileSystem;
class TVdbBlobFile;
class TVdbLastError;
class TVdbMemoFile;

// Access rights of a relation (bit values of the rights word).
enum : std::uint16_t {
  tarAppend = 1,
  tarEdit = 2,
  tarDelete = 4,
  tarIndex = 8,
  kVdbRightsExclusive = 256,
  kVdbRightsSecureFlush = 512,
  kVdbRightsSharedReadOnly = 1024,
  kVdbRightsNewTable = 271,  // all four rights and exclusive
};

// Options of FindIndex by definition.
enum TVdbIndexFindOption : std::uint32_t {
  tifoExact = 1,
  tifoNoOpen = 2,
  tifoCreate = 4,
  tifoNoReverse = 8,
  tifoIncludeSpecial = 16,
};

// Index numbers: 255 names no index.
inline constexpr std::int16_t kVdbNoIndex = 255;
inline constexpr int kVdbMaxIndexSlots = 50;
inline constexpr int kVdbMaxOldIndexSlots = 15;  // tables up to level 3

// The session side a base table needs: where errors go, who the session is, where lock files
// live, and the session's settings.
struct TVdbTableSession {
  TVdbLastError* LastError = nullptr;
  TkxFileSystem* LockFileSystem = nullptr;  // the operating-system file system for lock files
  std::uint32_t StationId = 0;              // 0: none (a shared opening is refused)
  std::string SessionName;                  // empty: "Conn" and a random number
  TVdbIsolationLevel Isolation = tilNone;
  std::int32_t BlobBlockSize = 512;
  TVdbExpressionFactory* ExpressionFactory = nullptr;
};

// A memo or blob value handed to AppendRecord/ReplaceRecord: column number -> the new value
// (8-bit text for memo columns, bytes for blob columns, UTF-16LE bytes for wide memo columns).
using TVdbBlobValues = std::map<std::int16_t, std::string>;

// What the accessors of a relation hear about changes.
class TVdbRelationListener {
 public:
  virtual ~TVdbRelationListener() = default;
  virtual void RelationChanged() = 0;
  virtual void RecordChanged(std::int32_t RecNo) = 0;
  // Record RecNo was deleted and record MovedRecNo (0: none) moved into its place.
  virtual void RecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) = 0;
  virtual void RelationCleared() = 0;
  // Whether the accessor edits record RecNo (for the record edit locks).
  virtual bool IsEditing(std::int32_t /*RecNo*/) const { return false; }
};

class TVdbBaseTable {
 public:
  // Referential-integrity handlers, installed by the catalog. Each answers 0 or a negated error.
  using TCheckIntegrityEvent =
      std::function<std::int16_t(TVdbBaseTable& Table, const TVdbForeignKeyDef& Key,
                                 const std::uint8_t* RecBuffer)>;
  using TIntegrityRuleEvent =
      std::function<std::int16_t(TVdbBaseTable& Table, const std::uint8_t* RecBuffer,
                                 const std::uint8_t* OrigRecBuffer, bool Before)>;

  // Error numbers of this unit.
  static constexpr std::int16_t kErrOpenFile = 1;
  static constexpr std::int16_t kErrWrite = 3;
  static constexpr std::int16_t kErrIndexInsert = 4;
  static constexpr std::int16_t kErrNoIndex = 6;
  static constexpr std::int16_t kErrRecordNotFound = 19;
  static constexpr std::int16_t kErrIndexFileExists = 22;
  static constexpr std::int16_t kErrIndexOpen = 23;
  static constexpr std::int16_t kErrIndexDefinition = 28;
  static constexpr std::int16_t kErrNotUnique = 30;
  static constexpr std::int16_t kErrMemoOpen = 31;
  static constexpr std::int16_t kErrNotFound = 37;
  static constexpr std::int16_t kErrCredentials = 38;
  static constexpr std::int16_t kErrTypeMismatch = 44;
  static constexpr std::int16_t kErrNotNull = 47;
  static constexpr std::int16_t kErrNoRecordId = 64;
  static constexpr std::int16_t kErrTooManyIndexes = 67;
  static constexpr std::int16_t kErrIndexLost = 95;
  static constexpr std::int16_t kErrLocked = 104;
  static constexpr std::int16_t kErrEdited = 105;
  static constexpr std::int16_t kErrNoConnection = 107;
  static constexpr std::int16_t kErrBlobOpen = 111;
  static constexpr std::int16_t kErrNoWriteAccess = 115;
  static constexpr std::int16_t kErrNoIndexRight = 149;
  static constexpr std::int16_t kErrNoWriteRight = 160;
  static constexpr std::int16_t kErrConstraint = 167;
  static constexpr std::int16_t kErrCapacity = 171;

  explicit TVdbBaseTable(TVdbTableSession Session);
  virtual ~TVdbBaseTable();
  TVdbBaseTable(const TVdbBaseTable&) = delete;
  TVdbBaseTable& operator=(const TVdbBaseTable&) = delete;

  // --- Before opening ----------------------------------------------------------------------------
  // The table's file system (the directory or the container of the database) and the data file's
  // name inside it ("\Data.vdbt").
  void SetFileSystem(TkxFileSystem* FileSystem) { FFileSystem = FileSystem; }
  void SetFileName(std::string FileName);
  void SetKey(std::string Password) { FCryptor.Password = std::move(Password); }
  void SetCipherFactory(TVdbCipherFactory Factory) { FCryptor.CipherFactory = std::move(Factory); }
  void SetEncryptionMethod(TVdbEncryptionMethod Method) { FCryptor.Method = Method; }
  void SetRights(std::uint16_t Rights) { FRights = Rights; }
  void SetLevel(std::int16_t Level) { FLevel = Level; }
  void SetCapacity(std::int32_t Capacity) { FCapacity = Capacity; }
  void SetCollationName(std::string Name) { FCollationName = std::move(Name); }
  void SetNextRecordId(std::int32_t RecordId) { FNextRecordIdOfNewFile = RecordId; }
  // Where the lock files of a shared opening live (operating-system directory) and, for a
  // single-file database, the container's file name without extension.
  void SetPhysicalDirectory(std::string Directory) { FPhysicalDirectory = std::move(Directory); }
  void SetContainerName(std::string Name) { FContainerName = std::move(Name); }
  void SetUseEditLocks(bool Value) { FUseEditLocks = Value; }
  // The columns and constraints of a table about to be created with NewFile.
  TVdbColumnDefs& ColumnDefs() { return FColumnDefs; }
  const TVdbColumnDefs& ColumnDefs() const { return FColumnDefs; }
  TVdbNamedDefs& KeyDefs() { return FKeyDefs; }
  TVdbNamedDefs& CheckDefs() { return FChecks; }
  TVdbNamedDefs& ForeignKeyDefs() { return FForeignKeyDefs; }

  // --- Life cycle --------------------------------------------------------------------------------
  std::int16_t Open(bool Force = false);  // OpenFiles; closes again on failure
  std::int16_t OpenFiles(bool Force);
  // Creates the files of a new table from the column definitions set beforehand.
  std::int16_t NewFile();
  // User indexes from the index-name area, system indexes, automatic indexes rebuilt.
  std::int16_t Setup(bool Force = false);
  void CloseFiles();
  void Close();
  std::int16_t Flush();
  std::int16_t ClearDat();  // answers the former record count

  // --- Properties --------------------------------------------------------------------------------
  bool Active() const;
  bool ReadOnly() const { return (FRights & (tarAppend | tarEdit | tarDelete | tarIndex)) == 0; }
  bool Exclusive() const { return (FRights & kVdbRightsExclusive) != 0; }
  const std::string& FullName() const { return FFileName; }
  std::string Name() const;  // the file name without directory and extension
  std::int16_t Level() const { return FLevel; }
  std::int32_t RecordSize() const { return FColumnDefs.GetRecordSize(); }
  std::int32_t RecordCount() const;
  std::int32_t GetCapacity() const { return FCapacity; }
  const std::string& CollationName() const { return FCollationName; }
  std::uint16_t Rights() const { return FRights; }
  bool HasMemo() const { return FHasMemo; }
  bool HasBlob() const { return FHasBlob; }
  std::int16_t RecordIdFieldNo() const { return FRecordIdFieldNo; }
  bool IsRelFile() const { return FIsRelFile; }
  TkxFileSystem* FileSystem() const { return FFileSystem; }
  std::int64_t StorageSize() const;
  TVdbDataFile* DataFile() const { return FDataFile.get(); }
  TVdbMemoFile* MemoFile() const { return FMemo.get(); }
  TVdbBlobFile* BlobFile() const { return FBlob.get(); }
  TVdbLockFile* LockFile() const { return FLockFile.get(); }
  std::uint8_t* RecBuffer() { return FRecBuffer.data(); }
  int GetColumnCount() const { return FColumnDefs.GetCount(); }
  const TVdbColumnDef& GetColumnDef(int FieldNo) const;  // 1-based
  std::int16_t FindColumn(const std::string& Name) const;  // 0 when unknown
  std::int32_t CandidateKeyCount() const { return FKeyDefs.Count(); }
  std::int32_t ConstraintCount() const { return FChecks.Count(); }
  std::int32_t IntegrityRuleCount() const { return FForeignKeyDefs.Count(); }
  std::int32_t FlushCounter() const { return FFlushCounter; }
  // How often the directory information was written by Flush (for diagnostics).
  std::int32_t DirUpdateCount() const { return FDirUpdateCount; }

  // --- Indexes -----------------------------------------------------------------------------------
  std::int16_t FirstIndexNo() const { return 0; }
  std::int16_t LastIndexNo() const { return FLastIndexNo; }
  std::int32_t IndexCount() const;
  TVdbIndexFile* GetIndexFile(std::int16_t IndexNo) const;
  const TVdbSortDef* GetIndexDef(std::int16_t IndexNo) const;
  std::int16_t GetIndexNo(const std::string& Name) const;  // negative when unknown
  std::int16_t InrIndexNo() const { return FInrIndexNo; }
  std::int16_t IdIndexNo() const { return FIdIndexNo; }
  std::int16_t PrimIndexNo() const { return FPrimIndexNo; }
  std::string CalcIndexFileName(const std::string& IndexName) const;
  static TVdbIndexKind IndexKindOfName(const std::string& Name, std::int16_t Level);
  // A new index slot for IndexName (IndexDef null: read from the file when it is opened).
  std::int16_t InitIndex(const std::string& IndexName, const TVdbSortDef* IndexDef);
  // Opens the index on first use: 0, -95 for a lost index, -28 for a definition that does not
  // fit the table.
  std::int16_t CheckIndexOpen(std::int16_t IndexNo);
  // Index number for the requested order (-1: none); Reverse tells to walk it backwards.
  std::int16_t FindIndex(const TVdbSortDef& Requested, std::uint32_t Options, bool& Reverse);
  std::int16_t FindIndex(const std::string& SortOrder, std::uint32_t Options, bool& Reverse);
  std::int16_t NewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                        const TVdbIndexFile::TProgressFunc& Progress = {},
                        std::int32_t Capacity = 0);
  std::int16_t CreateIndex(const std::string& IndexName, const std::string& Specification,
                           bool Unique);
  std::int16_t CreateTempIndex(const TVdbSortDef& IndexDef);
  // Writes the index-name area (user and temporary indexes are listed there).
  std::int16_t FlushIndexNames(bool Force);

  // Index order: the entry (record number and key) in Info, which holds the index's key size.
  // Answer 0 found, 1 none, or a negated error.
  std::int16_t FindFirstIndexInfo(std::int16_t IndexNo, std::uint8_t* Info);
  std::int16_t FindLastIndexInfo(std::int16_t IndexNo, std::uint8_t* Info);
  std::int16_t FindNextIndexInfo(std::int16_t IndexNo, std::uint8_t* Info);
  std::int16_t FindPrevIndexInfo(std::int16_t IndexNo, std::uint8_t* Info);
  // 0 nothing found, 3 same key, 1 the entry after the key, or a negated error.
  std::int16_t FindSortInfo(std::int16_t IndexNo, const std::uint8_t* SearchInfo,
                            std::uint8_t* FoundInfo);
  // The index item of a record for an index (size: the index's key size).
  std::int32_t CalcIndexInfo(std::int16_t IndexNo, const std::uint8_t* Record,
                             std::uint8_t* Info, std::int32_t RecNo) const;

  // --- Records -----------------------------------------------------------------------------------
  std::int16_t ReadRecord(std::int32_t RecNo, std::uint8_t* Buffer);
  std::int32_t GetFirstRecordNo();
  std::int32_t GetNextRecordNo(std::int32_t RecNo);
  std::int32_t GetPrevRecordNo(std::int32_t RecNo);
  std::int32_t GetLastRecordNo();
  void InitRecord(std::uint8_t* Buffer, bool Preset = false);
  // Answers the new record number (or a negated error as a 32-bit value).
  std::int32_t AppendRecord(std::uint8_t* Buffer, const TVdbBlobValues& Blobs = {});
  std::int16_t ReplaceRecord(std::uint8_t* Buffer, const std::uint8_t* OrigBuffer,
                             std::int32_t RecNo, const TVdbBlobValues& Blobs = {});
  std::int16_t DeleteRecord(const std::uint8_t* Buffer, std::int32_t RecNo);
  // Calculated columns whose purposes meet Purposes (bit n = TVdbCalculationPurpose n).
  std::int16_t BerechneFormeln(std::uint8_t* Buffer, TVdbCalculationPurposes Purposes);

  // Record ids.
  std::int16_t SetAutoNum(std::uint8_t* Buffer);
  std::int16_t AdjustRecordId(const std::uint8_t* Buffer);
  std::int16_t CancelAutoNum(std::int32_t RecordId);
  std::int16_t RecalcAutoInc();
  std::int32_t ReadNextRecordId();

  // --- Memo and blob values ----------------------------------------------------------------------
  // The field's first block number in a record buffer.
  std::int32_t GetBlockIdx(const std::uint8_t* Buffer, std::int16_t FieldNo) const;
  void SetBlockIdx(std::uint8_t* Buffer, std::int16_t FieldNo, std::int32_t BlockIdx) const;
  std::int32_t GetMemoLength(const std::uint8_t* Buffer, std::int16_t FieldNo);
  std::int32_t GetBlobLength(const std::uint8_t* Buffer, std::int16_t FieldNo);
  std::int32_t GetBlobType(const std::uint8_t* Buffer, std::int16_t FieldNo);
  // The memo text (8-bit, line breaks as CR LF) of a field.
  std::int16_t ReadMemoString(const std::uint8_t* Buffer, std::int16_t FieldNo, std::string& S);
  std::int16_t ReadBlobData(const std::uint8_t* Buffer, std::int16_t FieldNo, std::string& Data);
  // Writes the value into the field's chain and sets the field's first block in Buffer.
  std::int16_t WriteMemoString(std::uint8_t* Buffer, std::int16_t FieldNo, const std::string& S);
  std::int16_t WriteBlobData(std::uint8_t* Buffer, std::int16_t FieldNo, const std::string& Data);

  // --- Locks -------------------------------------------------------------------------------------
  std::int16_t BeginRead(bool Wait);
  std::int16_t BeginUpgrade(bool Wait);
  std::int16_t BeginWrite(bool Wait);
  std::int16_t BeginExclusive(bool Wait);
  void EndRead();
  void EndUpgrade();
  void EndWrite();
  void EndExclusive();
  std::int16_t CheckEdit(std::int32_t RecNo, const TVdbRelationListener* Excluded = nullptr);
  void SwitchEdit(std::int32_t From, std::int32_t To);
  void EndEdit(std::int32_t RecNo);
  // Gives up a lingering file-level lock idle for more than 10 ms.
  void CheckUnlock(std::uint32_t Ticks);
  std::int16_t CommitModifications();
  std::int16_t UndoModifications();
  std::int32_t NetUsers();
  std::int32_t CountReadLocks() const { return FReadLocks; }
  std::int32_t CountWriteLocks() const { return FWriteLocks; }
  std::int32_t CountUpgradeLocks() const { return FUpgradeLocks; }
  // The level held in the lock file (may exceed what the counters need).
  TVdbTableLockType HeldLock() const { return FUnlockAction; }
  // Catches up with the changes of other sessions.
  std::int16_t UpdateTable();

  // --- Accessors and events ----------------------------------------------------------------------
  void AddListener(TVdbRelationListener* Listener);
  void RemoveListener(TVdbRelationListener* Listener);
  void EnableNotifications(bool Enabled);
  void SetOnCheckReferentialIntegrity(TCheckIntegrityEvent Event) {
    FOnCheckReferentialIntegrity = std::move(Event);
  }
  void SetOnExecuteInsertIntegrityRules(TIntegrityRuleEvent Event) {
    FOnExecuteInsertIntegrityRules = std::move(Event);
  }
  void SetOnExecuteUpdateIntegrityRules(TIntegrityRuleEvent Event) {
    FOnExecuteUpdateIntegrityRules = std::move(Event);
  }
  void SetOnExecuteDeleteIntegrityRules(TIntegrityRuleEvent Event) {
    FOnExecuteDeleteIntegrityRules = std::move(Event);
  }

 private:
  class TLockGuard;
  struct TIndexSlot {
    std::unique_ptr<TVdbIndexFile> File;
    std::unique_ptr<TVdbSortDef> Def;  // null until the file tells it
    bool Lost = false;                 // its definition did not fit: error 95 from now on
  };

  // Engine errors -> recorded, negated result.
  std::int16_t Report(const EVdbEngine& Error);
  template <class F>
  std::int16_t Guarded(F&& Body);
  [[noreturn]] void Raise(std::int16_t Code, const std::string& Argument) const;
  void CheckResult(std::int32_t Result) const;  // a negative file result becomes EVdbEngine

  // Opening.
  void DoOpenFiles(bool Force);
  void LogInToLockFile();
  std::string LockName() const;
  std::string LogName() const;
  std::unique_ptr<TVdbClientStorage> NewStorage(const std::string& Name) const;
  void OpenDataFile();
  void TakeDefinition(TVdbTableDefinition& Def);
  void RecalcColumnFlags();
  void CheckPlausibility();
  bool FieldPlausible(const TVdbColumnDef& Column, const std::uint8_t* Field) const;
  void OpenMemoFiles(bool Force);
  void UndoLeftLog();
  std::string CompanionFileName(const char* Level6Ext, const char* OldExt) const;
  void DoNewFile();

  // Indexes.
  TIndexSlot* Slot(std::int16_t IndexNo) const;
  int MaxIndexSlots() const;
  std::unique_ptr<TVdbSortDef> DefFromHeader(const TVdbIndexHeaderDef& Header) const;
  bool DefinitionFits(const TVdbSortDef& Def) const;
  void DoCheckIndexOpen(std::int16_t IndexNo);
  void DoNewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                  const TVdbIndexFile::TProgressFunc& Progress, std::int32_t Capacity,
                  std::int16_t& IndexNo);
  void BuildIndexFile(std::int16_t IndexNo, std::int32_t Capacity,
                      const TVdbIndexFile::TProgressFunc& Progress);
  void RemoveIndexSlot(std::int16_t IndexNo, bool DeleteFile);
  void IndexAdded();
  void InitSystemIndexes(bool Force);
  std::int16_t SystemIndex(const std::string& Name, const std::string& Spec, bool Unique,
                           bool Primary);
  void RebuildIndex(std::int16_t IndexNo);
  void MarkLost(std::int16_t IndexNo);
  std::vector<std::string> IndexNameList() const;
  std::int16_t IndexStep(std::int16_t IndexNo, std::uint8_t* Info,
                         std::int16_t (TVdbIndexFile::*Step)(std::uint8_t*));

  // Record operations.
  void UniqueCheck(const std::uint8_t* Buffer, std::int32_t RecNo);
  void CheckConstraints(const std::uint8_t* Buffer);
  void CheckReferences(const std::uint8_t* Buffer);
  void WriteBlobs(std::uint8_t* Buffer, const TVdbBlobValues& Blobs);
  TVdbRedoBlobs CollectBlobs(const std::uint8_t* Buffer);
  void FreeBlobs(const std::uint8_t* Buffer);
  void AddKeys(const std::uint8_t* Buffer, std::int32_t RecNo);
  void RemoveKeys(const std::uint8_t* Buffer, std::int32_t RecNo);
  void ReplaceKeys(const std::uint8_t* Old, const std::uint8_t* New, std::int32_t RecNo);
  bool IsBlobColumn(const TVdbColumnDef& Column) const;
  bool KeepsBlobsForUndo() const;
  bool LogsActions() const;
  std::int32_t DoAppend(std::uint8_t* Buffer, const TVdbBlobValues& Blobs);
  void DoReplace(std::uint8_t* Buffer, const std::uint8_t* OrigBuffer, std::int32_t RecNo,
                 const TVdbBlobValues& Blobs);
  void DoDelete(const std::uint8_t* Buffer, std::int32_t RecNo);
  void Notify(const std::function<void(TVdbRelationListener&)>& Tell);

  // Locks.
  bool HasLockFile() const { return FLockFile != nullptr && FLockFile->IsLoggedIn(); }
  void RaiseLocked() const;
  void CatchUpIfChanged();
  void RaiseHeldLock(TVdbTableLockType ToLock, bool Wait, bool RequestWithoutWait);
  void DoUpdateTable();
  void LowerHeldLock(TVdbTableLockType Target);
  void LockEnded();
  void KeepTransactionLock(TVdbTableLockType Ending);
  void StartUndoLog();
  void OnHijack();
  class TRedoTarget;

  // Session and file system.
  TVdbTableSession FSession;
  TkxFileSystem* FFileSystem = nullptr;
  std::string FFileName;
  std::string FPhysicalDirectory;
  std::string FContainerName;

  // Structure.
  TVdbColumnDefs FColumnDefs;
  TVdbNamedDefs FTypes, FKeyDefs, FChecks, FForeignKeyDefs;
  std::uint16_t FRights = 0;
  std::int16_t FLevel = kVdbEngineLevel;
  std::int32_t FCapacity = kVdbDefaultCapacity;
  std::string FCollationName;
  TVdbCryptor FCryptor;
  std::int32_t FNextRecordIdOfNewFile = 1;
  bool FIsRelFile = false;
  std::int16_t FRecordIdFieldNo = 0;
  bool FHasMemo = false;
  bool FHasBlob = false;
  TVdbCalculationPurposes FCalculationPurposes = 0;
  std::vector<std::uint8_t> FRecBuffer;
  std::unique_ptr<TVdbSortDef> FNativeSortDef;

  // Files.
  std::unique_ptr<TVdbDataFile> FDataFile;
  std::unique_ptr<TVdbMemoFile> FMemo;
  std::unique_ptr<TVdbBlobFile> FBlob;
  std::vector<TIndexSlot> FIndexFiles;
  std::int16_t FLastIndexNo = -1;
  std::int16_t FInrIndexNo = kVdbNoIndex;
  std::int16_t FIdIndexNo = kVdbNoIndex;
  std::int16_t FPrimIndexNo = kVdbNoIndex;
  std::unique_ptr<TVdbRedoLog> FRedoLog;
  bool FRollingBack = false;
  std::int32_t FFlushCounter = 0;
  std::int32_t FDirUpdateCount = 0;
  bool FWriteError = false;

  // Locks.
  std::recursive_mutex FLockingMutex;
  std::unique_ptr<TVdbLockFile> FLockFile;
  std::int32_t FReadLocks = 0;
  std::int32_t FUpgradeLocks = 0;
  std::int32_t FWriteLocks = 0;
  std::int32_t FExclusiveLocks = 0;
  std::int32_t FEditLocks = 0;
  bool FUseEditLocks = false;
  TVdbTableLockType FUnlockAction = tltNone;
  bool FUnlockActive = false;
  std::uint32_t FUnlockTime = 0;
  TVdbTableLockType FTransactionLock = tltNone;  // what the running transaction keeps

  // Accessors and events.
  std::vector<TVdbRelationListener*> FClientAccessors;
  std::int32_t FNotificationDisableCount = 0;
  TCheckIntegrityEvent FOnCheckReferentialIntegrity;
  TIntegrityRuleEvent FOnExecuteInsertIntegrityRules;
  TIntegrityRuleEvent FOnExecuteUpdateIntegrityRules;
  TIntegrityRuleEvent FOnExecuteDeleteIntegrityRules;
};

}  // namespace vdb
