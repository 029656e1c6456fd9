// Shared access to a table by several sessions, in one process or in several: the table's lock
// file (TVdbLockFile) with its lock counters, change counter and one slot per logged-in session,
// its move file of record moves, and the table's undo log of a transaction (TVdbRedoLog).
//
// Lock file (little-endian, packed): a 30-byte header
//   0 Tag (834BCF55h)   4 Version (7)   6 ChangeCount (64-bit)   14 IndexCount   16 ReadLocks
//   18 UpgradeLocks   20 WriteLocks   22 LockWaiters   24 WriteWaiters   26 ItemCount
//   28 SessionCount (all 16-bit after ChangeCount)
// followed by ItemCount session slots of 56 bytes at 30 + 56 * i:
//   0 Id (64-bit, the station id in the low half, 0 = free)   8 Name (length byte + 40 chars)
//   49 TableLock   50 DesiredLock   51 EditRecNo (32-bit)   55 VitalSign (255)
// Bytes 0 to 3 are the file's mutual-exclusion lock; each live session keeps its slot's
// vital-sign byte locked, so that a slot whose byte is free belongs to a dead session. Slots are
// read and rewritten with 55 bytes, so that nobody touches a vital-sign byte another handle holds;
// only a slot being taken at log-in or zeroed after its session died is written whole.
//
// Move file: 8-byte pairs (new record number, old record number), appended when a record moves
// inside the data file; each session reads on from where it last stopped.
//
// Undo log: a 32-bit tag (bytes B0 C0 D0 E0), a 32-bit 0, then entries in time order, each
// kind (1 byte), number (32-bit), payload, and the 32-bit length of kind + number + payload, so
// that the log is read backwards. The session writing the log keeps a byte far beyond its data
// locked (kRedoOwnerByte), so that a log whose owner still lives is never rolled back by another.
//
// A TVdbLockFile or TVdbRedoLog object is used by one thread at a time (the base table's locking
// mutex serialises its users); objects on the same files exclude each other through the
// file system's byte-range locks, within one process as between processes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/VdbIsolationLevel.h"
#include "storage/kxFileSystem.h"

namespace vdb {

enum TVdbTableLockType : std::uint8_t { tltNone = 0, tltRead = 1, tltUpgrade = 2, tltWrite = 3 };

inline constexpr std::uint32_t kVdbLockFileTag = 0x834BCF55u;
inline constexpr std::uint16_t kVdbLockFileVersion = 7;
inline constexpr std::int32_t kVdbLockHeaderSize = 30;
inline constexpr std::int32_t kVdbLockSlotSize = 56;
inline constexpr std::int32_t kVdbLockSlotWriteSize = 55;  // everything but the vital sign
inline constexpr std::int32_t kVdbLockSlotVitalOffset = 55;
inline constexpr std::int32_t kVdbSessionNameMax = 40;
inline constexpr std::int32_t kVdbMovePairSize = 8;

// --- What a base table's lock bookkeeping builds on
// ----------------------------------------------- A base table counts its session's locks and holds
// the file-level lock lazily: an ended lock lingers until the catalog's idle-unlock thread finds it
// idle for more than kVdbUnlockIdleMs.

inline constexpr std::uint32_t kVdbUnlockIdleMs = 10;

// A millisecond tick count that wraps around like the operating system's 32-bit one.
std::uint32_t VdbTickCount();
// The lingering lock of a table last released at UnlockTime may be given up at Now: Now is not
// within kVdbUnlockIdleMs after UnlockTime (the tick count may have wrapped in between).
bool VdbUnlockIdle(std::uint32_t Now, std::uint32_t UnlockTime);
// The file-level lock that a session's lock counters require.
TVdbTableLockType VdbRequiredTableLock(std::int32_t ReadLocks, std::int32_t UpgradeLocks,
                                       std::int32_t WriteLocks);
// The lock a transaction keeps when the session's last lock of level Ending ends: with
// repeatable read the last read or upgrade lock stays as a read lock; with dirty read the last
// write lock becomes a read lock; read-committed and repeatable read keep the last write lock.
TVdbTableLockType VdbTransactionKeptLock(TVdbIsolationLevel Isolation, TVdbTableLockType Ending);

// The lock file header.
struct TVdbTableLockData {
  std::uint32_t Tag = kVdbLockFileTag;
  std::uint16_t Version = kVdbLockFileVersion;
  std::int64_t ChangeCount = 0;
  std::uint16_t IndexCount = 0;
  std::uint16_t ReadLocks = 0;
  std::uint16_t UpgradeLocks = 0;
  std::uint16_t WriteLocks = 0;
  std::uint16_t LockWaiters = 0;
  std::uint16_t WriteWaiters = 0;
  std::uint16_t ItemCount = 0;
  std::uint16_t SessionCount = 0;

  void Decode(const std::uint8_t* Data);
  void Encode(std::uint8_t* Data) const;
  bool operator==(const TVdbTableLockData&) const = default;
};

// One session slot. Name holds the 8-bit characters as stored.
struct TVdbSessionLockData {
  std::int64_t Id = 0;
  std::string Name;
  std::uint8_t TableLock = tltNone;
  std::uint8_t DesiredLock = tltNone;
  std::int32_t EditRecNo = 0;
  std::uint8_t VitalSign = 0;

  // Data holds at least kVdbLockSlotWriteSize bytes; Encode writes kVdbLockSlotSize bytes.
  void Decode(const std::uint8_t* Data);
  void Encode(std::uint8_t* Data) const;
};

// One session of the table as GetLockInfo reports it.
struct TVdbLockInfo {
  std::int64_t Id = 0;
  std::string Name;  // UTF-8
  TVdbTableLockType TableLock = tltNone;
  TVdbTableLockType DesiredLock = tltNone;
  std::int32_t EditRecNo = 0;
  bool Alive = true;  // its vital-sign byte is locked (always true for the own slot)
  bool Own = false;   // the slot of this lock file object's session
};

// The operations after LogIn raise EVdbEngine: 104 when the lock file's mutual exclusion cannot
// be had within the lock time-out (another session holds the table exclusively), 2 and 115 when
// the file cannot be read or written, 185 when it no longer has this format, 52 when its slots
// contradict each other. Calling them before LogIn, or with a FromLock that is not the level
// held, is a programming error (std::logic_error).
class TVdbLockFile {
 public:
  // Called after the slot of a dead session was reclaimed, once per operation that found one,
  // outside the lock file's mutual exclusion: the base table rolls back the table's undo log.
  // Its exceptions do not leave the operation, whose result stands.
  using TVdbHijackEvent = std::function<void(TVdbLockFile& Sender)>;

  // The lock file lives in FileSystem (the session's lock file system). SessionId is the
  // session's station id (0 is refused at log-in with error 107), SessionName its
  // identification name (cut to 40 characters, stored in the engine's 8-bit code page).
  TVdbLockFile(TkxFileSystem& FileSystem, std::uint32_t SessionId, std::string SessionName);
  TVdbLockFile(const TVdbLockFile&) = delete;
  TVdbLockFile& operator=(const TVdbLockFile&) = delete;
  // Logs out when still logged in (errors are swallowed there).
  ~TVdbLockFile();

  // The lock and move file names for a lock name: ".vdbl"/".vdbv" for level-6 tables,
  // ".rnt"/".rmv" for relation tables of older levels, ".net"/".mov" otherwise.
  static std::string LockFileName(const std::string& LockName, std::int16_t TableLevel,
                                  bool IsRelTable);
  static std::string MoveFileName(const std::string& LockName, std::int16_t TableLevel,
                                  bool IsRelTable);

  // Opens or creates the lock file and takes a session slot; opens or creates the move file.
  // Errors: 107 no station id, 115 the file cannot be created or written, 185 a file of another
  // format, 106 other file errors.
  void LogIn(const std::string& LockName, std::int16_t TableLevel, bool IsRelTable);
  // Gives the slot up and closes both files; the last session deletes them.
  void LogOut();
  bool IsLoggedIn() const { return FSessionDataPos >= 0; }

  // Raises this session's level from FromLock (the level it holds) to ToLock; waits up to the
  // lock time-out unless Immediate. False when refused; the file is then as it was.
  bool LockTable(TVdbTableLockType FromLock, TVdbTableLockType ToLock, bool Immediate);
  // Lowers the level from FromLock to ToLock (none, read or upgrade).
  void UnlockTable(TVdbTableLockType FromLock, TVdbTableLockType ToLock);
  // UnlockTable, but only when other sessions wait for a lock; answers whether it was done.
  bool UnlockTableIfRequired(TVdbTableLockType FromLock, TVdbTableLockType ToLock);

  // The record edit lock (one record per session at a time).
  bool LockRecord(std::int32_t RecordNo);
  void UnlockRecord();
  // Moves every session's edit lock on record From to record To (the record moved).
  void SwitchRecordLock(std::int32_t From, std::int32_t To);
  // The record of this session's edit lock as of its last access to the file (0 = none).
  std::int32_t GetLockedRecord() const { return FSessionLockData.EditRecNo; }

  // True when this is the only session; the mutual exclusion is then kept until
  // UnlockExclusive, so that no other session can lock or log in meanwhile.
  bool LockExclusive();
  void UnlockExclusive();
  bool IsExclusive() const { return FExclusive; }

  // Another session changed the table since this one last caught up.
  bool CheckUpdate();
  // The change count this session has caught up with (adopted by the base table on catching up).
  std::int64_t GetChangeCount() const { return FChangeCount; }
  void SetChangeCount(std::int64_t Value) { FChangeCount = Value; }

  std::vector<TVdbLockInfo> GetLockInfo();
  std::int32_t ReadLockWaiters();
  void WriteIndexCount(std::int32_t Count);

  // Appends the pair (NewRecNo, OldRecNo) to the move file. A session that had read every pair
  // before skips its own, since it has moved its positions already.
  void AddRecordMove(std::int32_t NewRecNo, std::int32_t OldRecNo);
  // The next pair this session has not read yet; false when there is none. A pair with a
  // non-positive number is error 52.
  bool ReadRecordMove(std::int32_t& NewRecNo, std::int32_t& OldRecNo);

  // Counters of the lock file, read afresh.
  std::int32_t GetSessionCount();
  std::int64_t GetTableChangeCount();
  std::int32_t GetTableIndexCount();

  TVdbTableLockType GetTableLock() const { return FTableLock; }
  const TVdbTableLockData& GetTableLockData() const { return FTableLockData; }
  const std::string& GetFileName() const { return FFileName; }
  const std::string& GetMoveFileName() const { return FMovFileName; }
  std::uint32_t GetSessionId() const { return FSessionId; }
  void SetOnHijack(TVdbHijackEvent Handler) { FOnHijack = std::move(Handler); }

  // Process-wide timing of lock waits: every pause lasts W div 2 plus a random 0 .. W - 1 ms
  // (W = the wait interval, 5 ms); a waiting request makes the lock time-out (20000 ms) divided
  // by W tries.
  static std::int32_t GetWaitInterval();
  static std::int32_t GetRetryCount();
  static void SetLockTimeout(std::int32_t Milliseconds, std::int32_t WaitInterval = 5);
  static void Pause();

 private:
  class TEntered;

  void OpenOrCreateLockFile(std::int32_t Mode);
  void CreateLockFile();
  void OpenMoveFile();
  void CloseFiles();
  void AbandonLogIn();
  void Enter();
  void Leave();
  void ReadHeader();
  void WriteHeader();
  void ReadOwnSlot();
  void WriteOwnSlot();
  TVdbSessionLockData ReadSlot(std::int32_t Index);
  void WriteSlot(std::int32_t Index, const TVdbSessionLockData& Slot);
  std::int64_t SlotPos(std::int32_t Index) const;
  std::int32_t OwnSlotIndex() const;
  bool IsVitalSignLocked(std::int32_t Index);
  bool ReclaimDeadSessions();
  void FireHijack();
  bool TryGrant(TVdbTableLockType FromLock, TVdbTableLockType ToLock);
  void GiveUp(TVdbTableLockType Lock);
  void SetWaiting(TVdbTableLockType ToLock, bool Waiting);
  bool TryLockRecord(std::int32_t RecordNo);
  void CheckFrom(TVdbTableLockType FromLock) const;
  [[noreturn]] void RaiseWriteError() const;
  [[noreturn]] void RaiseReadError() const;

  TkxFileSystem* FFileSystem;
  std::uint32_t FSessionId;
  std::string FSessionName;  // 8-bit, at most 40 characters
  std::string FFileName;
  std::string FMovFileName;
  std::int32_t FNetFile = kxInvalidHandle;
  std::int32_t FMovFile = kxInvalidHandle;
  std::int64_t FChangeCount = 0;
  TVdbTableLockData FTableLockData;
  TVdbTableLockType FTableLock = tltNone;
  std::int64_t FSessionDataPos = -1;
  TVdbSessionLockData FSessionLockData;
  std::int64_t FMovePos = 0;
  std::int32_t FEntered = 0;
  bool FExclusive = false;
  bool FHijackPending = false;
  bool FWaiting = false;  // inside a waiting LockTable, whose request stands between its tries
  TVdbHijackEvent FOnHijack;
};

// --- Undo log
// --------------------------------------------------------------------------------------

enum TVdbTableActionKind : std::uint8_t {
  takInsert = 0,
  takUpdate = 1,
  takDelete = 2,
  takBlob = 3,     // an old 8-bit memo or blob value
  takWideMemo = 4  // an old UTF-16 memo value
};

// An old memo, blob or wide-memo value kept with an update or delete. takBlob keeps Data
// (8-bit characters or bytes), takWideMemo keeps WideData. An empty value is kept as takBlob.
struct TVdbRedoBlob {
  TVdbTableActionKind Kind = takBlob;
  std::string Data;
  std::u16string WideData;
  bool operator==(const TVdbRedoBlob&) const = default;
};
// Old values by column number.
using TVdbRedoBlobs = std::map<std::int32_t, TVdbRedoBlob>;

// What undoing a log drives: the owning table's record operations. Each call undoes one action;
// when it returns, the action counts as undone and is cut off the log.
class TVdbRedoTarget {
 public:
  virtual ~TVdbRedoTarget() = default;
  // Record RecordNo was inserted: delete it.
  virtual void UndoInsert(std::int32_t RecordNo) = 0;
  // Record RecordNo was updated: write back the old image and its old memo and blob values.
  virtual void UndoUpdate(std::int32_t RecordNo, const std::vector<std::uint8_t>& OldRecord,
                          const TVdbRedoBlobs& OldBlobs) = 0;
  // Record RecordNo was deleted: put the old record back at its number.
  virtual void UndoDelete(std::int32_t RecordNo, const std::vector<std::uint8_t>& OldRecord,
                          const TVdbRedoBlobs& OldBlobs) = 0;
};

enum class TVdbRedoOpenResult {
  rorMissing,  // no log exists
  rorInUse,    // the log belongs to a session that still lives
  rorOpened    // opened, positioned at its end
};

class TVdbRedoLog {
 public:
  static constexpr std::uint32_t kTag = 0xE0D0C0B0u;
  static constexpr std::int32_t kHeaderSize = 8;
  static constexpr std::int64_t kRedoOwnerByte = 0xFFFFFFF0LL;

  // Name is the table's log name; the extension follows from the level: ".vdbr" for level-6
  // tables, ".rtr" for relation tables, ".tra" otherwise.
  TVdbRedoLog(TkxFileSystem& FileSystem, std::int32_t RecordSize, bool IsRelTable,
              std::int16_t TableLevel, const std::string& Name);
  TVdbRedoLog(const TVdbRedoLog&) = delete;
  TVdbRedoLog& operator=(const TVdbRedoLog&) = delete;
  // Closes the file (keeping it).
  ~TVdbRedoLog();

  static std::string LogFileName(const std::string& Name, std::int16_t TableLevel, bool IsRelTable);

  // Starts an empty log owned by this object and answers true. A log that another live session
  // owns is error 104 (its transaction is still running). A log that a dead session left with
  // actions in it is never thrown away: NewFile answers false with that log open (as Open leaves
  // it), the caller undoes it (Undo) and calls NewFile again.
  bool NewFile();
  // Opens an existing log to undo it: checks the tag and the chain of entries and takes the
  // ownership. A damaged log is error 52 and stays as it is.
  TVdbRedoOpenResult Open();
  bool IsOpen() const { return FLogFile >= 0; }

  void LogInsert(std::int32_t RecordNo);
  // RecBuffer holds the record as it was before (RecordSize bytes).
  void LogUpdate(std::int32_t RecordNo, const std::uint8_t* RecBuffer, const TVdbRedoBlobs& Blobs);
  void LogDelete(std::int32_t RecordNo, const std::uint8_t* RecBuffer, const TVdbRedoBlobs& Blobs);

  // Steps back over the latest action before the position (with its memo and blob entries) and
  // makes it the last action; false at the start of the log.
  bool ReadPriorAction();
  TVdbTableActionKind GetLastActionKind() const { return FLastActionKind; }
  std::int32_t GetLastActionRecordNo() const { return FLastActionRecordNo; }
  const std::vector<std::uint8_t>& GetLastActionRecBuffer() const { return FLastActionRecBuffer; }
  const TVdbRedoBlobs& GetLastActionBlobs() const { return FLastActionBlobs; }
  std::int64_t GetPosition() const { return FPosition; }

  // Undoes every action from the latest to the first through Target, cutting each one off the
  // log once undone, and erases the log at the end. When Target fails, the actions not yet
  // undone stay in the log and the error is passed on.
  void Undo(TVdbRedoTarget& Target);

  // Closes the file and keeps it (the ownership ends with it).
  void Close();
  // Empties the log, closes it and deletes it; a log that is not open is taken over first, also
  // when it is damaged, unless another live session owns it. A log that cannot be deleted
  // (another handle looks at it) stays as an empty log, which undoes nothing.
  void Erase();
  const std::string& GetFileName() const { return FFileName; }

 private:
  void WriteAction(TVdbTableActionKind Kind, std::int32_t RecordNo, const std::uint8_t* RecBuffer,
                   const TVdbRedoBlobs* Blobs);
  void WriteHeader();
  bool TakeOwnership(std::int32_t Handle);
  void AdoptExisting();
  void CheckChain();
  bool ReadEntryBefore(std::int64_t End, TVdbTableActionKind& Kind, std::int32_t& Number,
                       std::int64_t& Start, std::int32_t& Length);
  void ReadAt(void* Data, std::int32_t Count, std::int64_t Position);
  [[noreturn]] void RaiseDamaged() const;
  [[noreturn]] void RaiseWriteError() const;

  TkxFileSystem* FFileSystem;
  std::string FFileName;
  std::int32_t FLogFile = kxInvalidHandle;
  std::int32_t FRecordSize;
  std::int64_t FPosition = 0;
  std::int64_t FEnd = 0;
  TVdbTableActionKind FLastActionKind = takInsert;
  std::int32_t FLastActionRecordNo = 0;
  std::vector<std::uint8_t> FLastActionRecBuffer;
  TVdbRedoBlobs FLastActionBlobs;
};

}  // namespace vdb
