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
#include <set>
#include <string>
#include <vector>

#include "table/VdbLocks.h"

#include "base/VdbServices.h"
#include "table/VdbDataFile.h"
#include "table/VdbDefinitions.h"
#include "table/VdbIndexFile.h"
#include "table/VdbRelation.h"

namespace vdb {

class EVdbEngine;
class TkxFileSystem;
class TVdbBlobFile;
class TVdbBlockedBinaryFile;
class TVdbMemoFile;

inline constexpr int kVdbMaxIndexSlots = 50;
inline constexpr int kVdbMaxOldIndexSlots = 15;  // tables up to level 3

class TVdbBaseTable : public TVdbRelation {
 public:
  explicit TVdbBaseTable(TVdbServices* Services);
  ~TVdbBaseTable() override;

  // --- Before opening or creating ----------------------------------------------------------------
  // The table's file system (default: the services' data file system) and the data file's name
  // inside it ("\Data.vdbt" in a container).
  void SetFileSystem(TkxFileSystem* FileSystem) { FFileSystem = FileSystem; }
  void SetFileName(std::string FileName) { FFileName = std::move(FileName); }
  void SetKey(std::string Password) { FCryptor.Password = std::move(Password); }
  void SetCipherFactory(TVdbCipherFactory Factory) { FCryptor.CipherFactory = std::move(Factory); }
  void SetEncryptionMethod(TVdbEncryptionMethod Method) { FCryptor.Method = Method; }
  void SetLevel(std::int16_t Level) { FLevel = Level; }
  void SetCapacity(std::int32_t Capacity) { FCapacity = Capacity; }
  void SetCollationName(std::string Name) { FCollationName = std::move(Name); }
  void SetNextRecordId(std::int32_t RecordId) { FNextRecordIdOfNewFile = RecordId; }
  // Where the lock files of a shared opening live (operating-system directory) and, for a
  // single-file database, the container's file name without extension.
  void SetPhysicalDirectory(std::string Directory) { FPhysicalDirectory = std::move(Directory); }
  void SetContainerName(std::string Name) { FContainerName = std::move(Name); }
  TVdbNamedDefs& KeyDefs() { return FKeyDefs; }
  TVdbNamedDefs& CheckDefs() { return FChecks; }
  TVdbNamedDefs& ForeignKeyDefs() { return FForeignKeyDefs; }
  // Creates the files of a new table from the columns, keys, checks and foreign keys set
  // beforehand; the rights become 271.
  std::int16_t NewFile();

  // --- Properties of its own ---------------------------------------------------------------------
  const std::string& FileName() const { return FFileName; }
  TkxFileSystem* FileSystem() const { return FFileSystem; }
  std::int64_t StorageSize() const;
  std::int32_t CandidateKeyCount() const { return FKeyDefs.Count(); }
  TVdbEncryptionMethod EncryptionMethod() const { return FCryptor.Method; }
  const std::string& PhysicalDirectory() const { return FPhysicalDirectory; }
  std::int32_t FullTextIndexCount() const { return 0; }
  const std::string& CollationName() const { return FCollationName; }
  TVdbDataFile* DataFile() const { return FDataFile.get(); }
  TVdbMemoFile* MemoFile() const { return FMemo.get(); }
  TVdbBlobFile* BlobFile() const { return FBlob.get(); }
  TVdbLockFile* LockFile() const { return FLockFile.get(); }
  std::int32_t FlushCounter() const { return FFlushCounter; }
  // The level held in the lock file (may exceed what the counters need).
  TVdbTableLockType HeldLock() const { return FUnlockAction; }
  std::int32_t CountUpgradeLocks() const { return FUpgradeLocks; }

  // --- The relation interface --------------------------------------------------------------------
  using TVdbRelation::FindIndex;
  void ClearStructure() override;
  std::string GetIndexDirectory(TVdbIndexKind Kind) const override;
  bool Active() const override;
  bool ReadOnly() const override { return (FRights & kVdbWriteRights) == 0; }
  bool Exclusive() const override { return (FRights & kVdbRightExclusive) != 0; }
  std::string FullName() const override { return FFileName; }
  std::string Name() const override;
  std::int16_t Level() const override { return FLevel; }
  std::int32_t RecordSize() const override { return FColumnDefs->GetRecordSize(); }
  std::int32_t RecordCount() override;
  std::int32_t ConstraintCount() const override { return FChecks.Count(); }
  TVdbCheckDef* GetConstraint(std::int32_t Index) const override;
  std::int32_t IntegrityRuleCount() const override { return FForeignKeyDefs.Count(); }
  TVdbForeignKeyDef* GetIntegrityRule(std::int32_t Index) const override;
  // Writes the index-name area and tells the lock file and the accessors.
  std::int16_t FlushIndexNames(bool Force) override;
  std::int16_t OpenFiles(bool Force) override;
  std::int16_t CloseFiles() override;
  std::int16_t InitIndex(const std::string& IndexName, const TVdbSortDef* IndexDef) override;
  TVdbIndexFile* GetIndexFile(std::int16_t IndexNo) const override;
  std::int16_t BeginRead(bool Wait) override;
  std::int16_t BeginUpgrade(bool Wait) override;
  std::int16_t BeginWrite(bool Wait) override;
  std::int16_t BeginExclusive(bool Wait) override;
  std::int16_t NewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                        const TVdbIndexFile::TProgressFunc& ProgFun,
                        std::int32_t Capacity) override;
  std::int16_t RemoveInd(std::int16_t IndexNo) override;
  void IndexAdded(std::int16_t IndexNo) override;
  TkxFileSystem* GetIndexFileSystem(TVdbIndexKind Kind) const override;
  std::int32_t GetBlobLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override;
  std::int32_t GetMemoLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override;
  std::int16_t ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                              std::string& Value) override;
  std::int16_t GetBlobType(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override;
  std::int16_t ReadBlobData(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::string& Data,
                            std::int16_t& BlobType) override;
  std::int16_t ReadBlobDataWide(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                std::u16string& Value) override;
  const TVdbSortDef* GetNativeSortDef() const override { return FNativeSortDef.get(); }
  std::int16_t Check(bool Repair) override;
  bool CanRealDelete() const override { return true; }
  // Prepares the checks, loads the user indexes, makes the system indexes.
  std::int16_t Setup(bool Force) override;
  std::int32_t ClearDat() override;
  std::int16_t Flush() override;
  std::int16_t Undo() override;
  std::string GetBlobBaseDir() const override;
  std::int16_t GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                            std::int16_t& BaseFieldNo) const override;
  std::int32_t GetCapacity() const override { return FCapacity; }
  std::int16_t MoveIndex(std::int16_t FromIndexNo, std::int16_t ToIndexNo) override;
  std::int16_t FindFirstIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int16_t FindSortInfo(std::int16_t AccessId, const TVdbLongIndexInfo& SearchInfo,
                            TVdbLongIndexInfo& FoundInfo) override;
  std::int16_t FindNextIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int16_t FindLastIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int16_t FindPrevIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int32_t GetFirstRecordNo() override;
  std::int32_t GetNextRecordNo(std::int32_t RecNo) override;
  std::int32_t GetPrevRecordNo(std::int32_t RecNo) override;
  std::int32_t GetLastRecordNo() override;
  std::int16_t SetAutoNum(std::uint8_t* RecBuffer) override;
  std::int16_t AdjustRecordId(const std::uint8_t* RecBuffer) override;
  std::int16_t CancelAutoNum(std::int32_t RecordId) override;
  std::int16_t ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) override;
  std::int16_t InitRecord(std::uint8_t* RecBuffer, bool Preset) override;
  std::int32_t AppendRecord(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) override;
  std::int16_t ReplaceRecord(std::uint8_t* RecBuffer, const std::uint8_t* OrigRecBuffer,
                             std::int32_t RecNo, const TVdbBlobDataList* Blobs) override;
  std::int16_t DeleteRecord(std::uint8_t* RecBuffer, std::int32_t RecNo) override;
  std::int16_t BerechneFormeln(std::uint8_t* RecBuffer, TVdbCalculationPurposes Purposes) override;
  std::int32_t ReadNextRecordId() override;
  std::int16_t WriteMemoString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                               const std::string& Value) override;
  std::int16_t WriteBlobData(std::uint8_t* RecBuffer, std::int16_t FieldNo, const std::string& Data,
                             std::int16_t BlobType) override;
  std::int16_t WriteBlobDataWide(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                 const std::u16string& Value) override;
  std::int16_t DoGetLinkString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                               std::string& Result) override;
  std::int16_t NetUsers(std::vector<std::string>& Users) override;
  std::int32_t CountReadLocks() const override { return FReadLocks; }
  std::int32_t CountWriteLocks() const override { return FWriteLocks; }
  std::int16_t CheckUpdate() override;
  std::int16_t EndRead() override;
  std::int16_t EndUpgrade() override;
  std::int16_t EndWrite() override;
  std::int16_t EndExclusive() override;
  std::int16_t CheckEdit(std::int32_t RecNo, TVdbRelationListener* Excluded) override;
  std::int16_t SwitchEdit(std::int32_t FromRecNo, std::int32_t ToRecNo) override;
  std::int16_t EndEdit(std::int32_t RecNo) override;
  // Catches up with the changes of other sessions.
  std::int16_t UpdateTable() override;
  // Opens the index on first use: 0, 95 for a lost index, 28 for a stored definition that does
  // not fit the table (the index counts as lost from then on).
  std::int16_t CheckIndexOpen(std::int16_t IndexNo) override;
  const TVdbSortDef* GetIndexDefinition(std::int16_t IndexNo) override;

  // --- Record ids and locks of its own -----------------------------------------------------------
  std::int16_t RecalcAutoInc();
  // Gives up a lingering file-level lock idle for more than 10 ms (the catalog's unlock thread).
  void CheckUnlock(std::uint32_t Ticks);
  std::int16_t CommitModifications();
  std::int16_t UndoModifications();

 private:
  class TLockGuard;
  class TRedoTarget;
  struct TIndexSlot {
    std::unique_ptr<TVdbIndexFile> File;
    std::unique_ptr<TVdbSortDef> Def;  // null until the file tells it
    bool Lost = false;                 // its definition did not fit: error 95 from now on
  };
  // One memo, blob or wide-memo value to write: the field and its stored bytes.
  using TBlobValues = std::vector<std::pair<std::int16_t, std::string>>;
  // A value chain: its file and its first block.
  using TChain = std::pair<TVdbBlockedBinaryFile*, std::int32_t>;
  // What one record write does to the chains: the ones it wrote (dropped again when the write
  // fails) and the ones the record lets go (freed only once the record no longer names them).
  struct TChainChanges {
    std::vector<TChain> Written;
    std::vector<TChain> Released;
    std::vector<TChain> Adopted;  // values written into the image beforehand, now the record's
  };

  // Errors: recorded, negated result; the internal signal keeps the error recorded before.
  std::int16_t Report(const EVdbEngine& Error);
  // Runs Body behind the engine's exception boundary (VdbGuarded).
  template <class F>
  std::int16_t Run(F&& Body);
  [[noreturn]] void Raise(std::int16_t Code, const std::string& Argument) const;
  void CheckResult(std::int32_t Result) const;  // a negative file result becomes EVdbEngine
  TVdbIsolationLevel Isolation() const;

  // Opening and creating.
  void DoOpenFiles(bool Force);
  void LogInToLockFile();
  std::string LockName() const;
  std::unique_ptr<TVdbClientStorage> NewStorage(const std::string& Name) const;
  void OpenDataFile();
  void TakeDefinition(TVdbTableDefinition& Def);
  void CheckPlausibility();
  bool FieldPlausible(const TVdbColumnDef& Column, const std::uint8_t* Field) const;
  std::unique_ptr<TVdbMemoFile> MakeMemoFile() const;
  std::unique_ptr<TVdbBlobFile> MakeBlobFile() const;
  void OpenMemoFiles(bool Force);
  void UndoLeftLog();
  void RollBack(TVdbRedoLog& Log);
  std::string CompanionFileName(const char* Level6Ext, const char* OldExt) const;
  void DoNewFile();
  void DropCreatedFiles();

  // Indexes.
  TIndexSlot* Slot(std::int16_t IndexNo) const;
  int MaxIndexSlots() const;
  std::unique_ptr<TVdbSortDef> DefFromHeader(const TVdbIndexHeaderDef& Header) const;
  bool DefinitionFits(const TVdbSortDef& Def) const;
  void DoCheckIndexOpen(std::int16_t IndexNo);
  TIndexSlot* MaintainedIndex(std::int16_t IndexNo);
  void DoNewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                  const TVdbIndexFile::TProgressFunc& Progress, std::int32_t Capacity,
                  std::int16_t& IndexNo);
  void BuildIndexFile(std::int16_t IndexNo, std::int32_t Capacity,
                      const TVdbIndexFile::TProgressFunc& Progress);
  void RemoveIndexSlot(std::int16_t IndexNo, bool DeleteFile);
  void InitSystemIndexes(bool Force);
  static std::string ColumnListSpec(const std::vector<std::string>& Columns);
  void ResolveForeignKeys();
  std::int16_t SystemIndex(const std::string& Name, const std::string& Spec, bool Unique,
                           bool Primary);
  void RebuildIndex(std::int16_t IndexNo);
  std::vector<std::string> IndexNameList() const;
  std::int32_t KeyOf(std::int16_t IndexNo, const std::uint8_t* Record, std::uint8_t* Item,
                     std::int32_t RecNo) const;
  template <class F>
  std::int16_t IndexRead(std::int16_t IndexNo, F&& Step);

  // Record operations.
  void UniqueCheck(const std::uint8_t* Buffer, std::int32_t RecNo);
  void CheckConstraints(const std::uint8_t* Buffer);
  void CheckReferences(const std::uint8_t* Buffer);
  static TBlobValues BlobValues(const TVdbBlobDataList* Blobs);
  TVdbBlockedBinaryFile* BlobFileOf(std::int16_t FieldNo);
  void WriteBlobs(std::uint8_t* Buffer, const TBlobValues& Blobs, const std::uint8_t* Stored,
                  TChainChanges& Changes);
  void KeepChain(std::uint8_t* Buffer, std::int16_t FieldNo, const std::uint8_t* Stored,
                 TChainChanges& Changes);
  void DropWrittenChains(const TChainChanges& Changes);
  void CommitChains(const TChainChanges& Changes);
  TVdbRedoBlobs CollectBlobs(const std::uint8_t* Buffer);
  void FreeBlobs(const std::uint8_t* Buffer);
  void AddKeys(const std::uint8_t* Buffer, std::int32_t RecNo);
  void RemoveKeys(const std::uint8_t* Buffer, std::int32_t RecNo);
  void ReplaceKeys(const std::uint8_t* Old, const std::uint8_t* New, std::int32_t RecNo);
  bool IsBlobColumn(std::int16_t FieldNo) const;
  bool KeepsBlobsForUndo() const;
  bool LogsActions() const;
  std::int32_t DoAppend(std::uint8_t* Buffer, const TBlobValues& Blobs);
  void DoReplace(std::uint8_t* Buffer, const std::uint8_t* OrigBuffer, std::int32_t RecNo,
                 const TBlobValues& Blobs);
  void DoDelete(const std::uint8_t* Buffer, std::int32_t RecNo);
  void CheckCalculationType(const TVdbColumnDef& Column, const TVdbCalculation& Calculation) const;

  // Locks.
  bool HasLockFile() const { return FLockFile != nullptr && FLockFile->IsLoggedIn(); }
  [[noreturn]] void RaiseLocked() const;
  void CatchUpIfChanged();
  void RaiseHeldLock(TVdbTableLockType ToLock, bool Wait, bool RequestWithoutWait);
  void DoUpdateTable();
  void LowerHeldLock(TVdbTableLockType Target);
  TVdbTableLockType RequiredLock() const;
  void LockEnded();
  void KeepTransactionLock(TVdbTableLockType Ending);
  void StartUndoLog();
  void OnHijack();
  void RollBackLeftLogIfWaiting();

  // Files and structure.
  TkxFileSystem* FFileSystem = nullptr;
  std::string FFileName;
  std::string FPhysicalDirectory;
  std::string FContainerName;
  std::int16_t FLevel = kVdbEngineLevel;
  std::int32_t FCapacity = kVdbDefaultCapacity;
  std::string FCollationName;
  TVdbCryptor FCryptor;
  TVdbNamedDefs FTypes, FKeyDefs, FChecks, FForeignKeyDefs;
  std::unique_ptr<TVdbSortDef> FNativeSortDef;
  std::int32_t FNextRecordIdOfNewFile = 1;
  std::unique_ptr<TVdbDataFile> FDataFile;
  std::unique_ptr<TVdbRedoLog> FRedoLog;
  bool FRollingBack = false;
  bool FLeftLogPending = false;  // an undo log of a dead session may wait for the set-up
  bool FLeftLogWaiting = false;  // a dead session was found inside a lock request
  std::int32_t FFlushCounter = 0;
  std::unique_ptr<TVdbMemoFile> FMemo;
  std::unique_ptr<TVdbBlobFile> FBlob;
  // Values written into a record image (WriteMemoString) that no record names yet.
  std::set<TChain> FImageChains;
  std::vector<TIndexSlot> FIndexFiles;

  // Locks.
  std::int32_t FEditLocks = 0;
  std::recursive_mutex FLockingMutex;
  std::unique_ptr<TVdbLockFile> FLockFile;
  std::int32_t FReadLocks = 0;
  std::int32_t FUpgradeLocks = 0;
  std::int32_t FWriteLocks = 0;
  std::int32_t FExclusiveLocks = 0;
  TVdbTableLockType FUnlockAction = tltNone;
  bool FUnlockActive = false;
  std::uint32_t FUnlockTime = 0;
  bool FWriteError = false;
  TVdbTableLockType FTransactionLock = tltNone;  // what the running transaction keeps
};

}  // namespace vdb
