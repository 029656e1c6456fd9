// The catalog of an open database: the relations open in one session, by relation index 1..254,
// each with its default accessor "Session_Default". Tables are opened when first named and kept
// open for reuse until nothing uses them; a background thread lets idle base tables give up their
// file-level locks.
//
// Operations that can fail record the engine error in the session's last error and answer its
// negated number (a relation index or 0 for success).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/VdbAccessor.h"
#include "base/VdbServices.h"
#include "table/VdbRelation.h"

namespace vdb {

class TVdbCatalog;

enum TVdbManagementLevel : std::uint8_t { tmlUnmanaged = 0, tmlManaged = 1 };

// Wakes every 5 ms and lets each open base table give up the file-level locks it has not used
// for more than 10 ms.
class TVdbUnlockThread {
 public:
  explicit TVdbUnlockThread(TVdbCatalog& Catalog) : FCatalog(Catalog) {}
  ~TVdbUnlockThread() { Terminate(); }
  TVdbUnlockThread(const TVdbUnlockThread&) = delete;
  TVdbUnlockThread& operator=(const TVdbUnlockThread&) = delete;

  void Start();
  // Stops the thread and waits for it.
  void Terminate();
  static constexpr int kIntervalMs = 5;

 private:
  void Execute();
  TVdbCatalog& FCatalog;
  std::thread FThread;
  std::mutex FWakeLock;
  std::condition_variable FWake;
  bool FTerminated = false;
};

class TVdbCatalog : public TVdbAccessorCatalog {
 public:
  static constexpr int kMaxRelations = 254;
  static constexpr std::int32_t kDefaultCacheSize = 40960;  // KiB
  static inline const std::string kDefaultAccessorTag = "Session_Default";

  // Asked for a table's key when its credentials were refused; false gives up.
  using TPasswordCallback = std::function<bool(const std::string& TableName, std::string& Key)>;

  explicit TVdbCatalog(TVdbServices* Services);
  ~TVdbCatalog() override;
  TVdbCatalog(const TVdbCatalog&) = delete;
  TVdbCatalog& operator=(const TVdbCatalog&) = delete;

  // --- Settings (before Open) ------------------------------------------------------------------
  const std::string& Location() const { return FLocation; }
  // Raises EVdbEngine 191 for a location whose directory part is relative; an empty or blank
  // location and a bare file name are accepted.
  void SetLocation(const std::string& Value);
  // The location as opening the database resolved it (not validated again).
  void SetResolvedLocation(std::string Value) { FLocation = std::move(Value); }
  const std::string& Key() const { return FKey; }
  void SetKey(std::string Value) { FKey = std::move(Value); }
  bool Exclusive = false;
  bool ReadOnly = false;
  bool DeepFlush = false;
  bool SharedReadOnly = false;
  std::int32_t CacheSize = kDefaultCacheSize;
  void SetPasswordCallback(TPasswordCallback Callback) { FPasswordCallback = std::move(Callback); }

  // --- Open and close --------------------------------------------------------------------------
  // Raises EVdbEngine 9999 when the system tables of a managed database cannot be opened.
  void Open();
  void Close();
  bool IsOpen() const { return FOpen; }
  TVdbServices* Services() const { return FServices; }
  TVdbManagementLevel ManagementLevel() const { return FManagementLevel; }
  bool GetIsSingleFile() const;
  std::string GetKey() const { return FKey; }

  // --- Relations -------------------------------------------------------------------------------
  // Index 1..254 of the open relation of that name (standard form), else 0.
  std::int16_t FindRltnIdx(const std::string& Name) const;
  TVdbRelation* GetRelation(TVdbRelationIndex RltnIdx) const override;
  TVdbAccessor* GetDefaultAccessor(TVdbRelationIndex RltnIdx) const override;
  bool IsValidRltnIdx(std::int16_t RltnIdx) const;
  std::int32_t GetRelationCount() const;
  std::int16_t CalcRltnHdl(std::int16_t RltnIdx) const;
  TVdbAccessorSet& AccessorSet() { return *FAccessorSet; }

  // Opens the table file StoragePath; answers its relation index.
  std::int16_t OpenTable(const std::string& StoragePath, const std::string& Key, bool ExplicitRights,
                         bool Force, bool WithRelTables, std::uint16_t Rights);
  // The index of the open relation of that name, else opens it as statements do.
  std::int16_t TryOpenTable(const std::string& TableName, const std::string& Key,
                            bool MustBeWritable, bool WithRelTables, std::uint16_t Rights);
  std::int16_t AddTable(const std::string& TableName, const std::string& Key, bool Force,
                        std::uint16_t Rights);
  // A virtual relation named Name over the open relation BaseRltnIdx, in the lowest free slot
  // (94 when none is free; no table is closed to make room); answers its index.
  std::int16_t OpenVirtualRelation(const std::string& Name, std::int16_t BaseRltnIdx);
  // Puts a relation built elsewhere into the lowest free slot; answers its index.
  std::int16_t AddRelation(std::unique_ptr<TVdbRelation> Relation);
  std::string CalcTemporaryTableName(const std::string& BaseName) const;

  // Two or more accessors, or another open relation based on it.
  bool IsRelationInUse(std::int16_t RltnIdx) const;
  void CloseUnneededTables(bool TemporaryOnly, bool IncludeSystem);
  std::int16_t TryCloseRelation(std::int16_t RltnIdx, bool WithRelFields, bool Remove);
  void FreeRelation(std::int16_t RltnIdx);

  // Relation indexes up to a negative entry (0 entries skipped), locked in list order; a
  // failure releases what was taken, in reverse order, and answers the failure.
  std::int16_t AcquireReadLocks(const std::vector<std::int16_t>& Relations);
  std::int16_t AcquireWriteLocks(const std::vector<std::int16_t>& Relations);
  void ReleaseReadLocks(const std::vector<std::int16_t>& Relations);
  void ReleaseWriteLocks(const std::vector<std::int16_t>& Relations);

  // The table names of the database in their standard form (system tables left out).
  void GetTableNames(std::vector<std::string>& List) const;

  // One pass of the unlock thread: idle base tables give up their file-level locks.
  void UnlockIdleTables();

 private:
  struct TSlot {
    std::unique_ptr<TVdbRelation> Relation;
    bool Reserved = false;  // taken by an open in progress
  };
  std::int16_t FreeIndex() const;
  std::int16_t TakeFreeIndex();
  // Inside a catch handler: records the exception being handled by the engine's one rule
  // (VdbGuarded) and answers its result code.
  std::int16_t FailCurrent() const;
  std::int16_t Fail(std::int16_t Code, const kxFormatArgs& Args) const;
  TkxFileSystem* FileSystemFor(const std::string& Path) const;
  bool FindTableFile(const std::string& StoragePath, TkxFileSystem*& FileSystem,
                     std::string& FileName) const;
  std::uint16_t EffectiveRights(std::uint16_t Rights) const;
  void InstallIntegrityHandlers(TVdbRelation& Table);
  std::int16_t CheckParentRow(TVdbRelation& Child, std::int32_t KeyIndex,
                              const std::uint8_t* Record);
  std::int16_t OpenBaseTable(std::int16_t RltnIdx, TkxFileSystem* FileSystem,
                             const std::string& FileName, const std::string& Key,
                             std::uint16_t Rights, bool Force, bool InDatabase);
  void Install(std::int16_t RltnIdx, std::unique_ptr<TVdbRelation> Relation);
  std::int16_t AddDefaultAccessor(std::int16_t RltnIdx);
  void CloseNewRelations(const std::vector<bool>& WasOpen);
  void RecalcLinks();
  bool IsSystemName(const std::string& Name) const;
  void OpenSystemTables();
  using TLockStep = std::int16_t (TVdbRelation::*)(bool);
  using TUnlockStep = std::int16_t (TVdbRelation::*)();
  std::int16_t AcquireLocks(const std::vector<std::int16_t>& Relations, TLockStep Lock,
                            TUnlockStep Unlock);
  void ReleaseLocks(const std::vector<std::int16_t>& Relations, TUnlockStep Unlock);

  TVdbServices* FServices;
  std::string FLocation;
  std::string FKey;
  TVdbManagementLevel FManagementLevel = tmlUnmanaged;
  TPasswordCallback FPasswordCallback;
  std::array<TSlot, 256> FRelations;  // slot n-1 holds relation index n
  std::unique_ptr<TVdbAccessorSet> FAccessorSet;
  mutable std::recursive_mutex FRelationListSync;
  std::atomic<bool> FOpen{false};
  bool FClientRegistered = false;
  std::unique_ptr<TVdbUnlockThread> FUnlockThread;
};

}  // namespace vdb
