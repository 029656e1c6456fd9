// The services of a session: its last error, its settings, the file systems of the open
// database and of the lock files, and the hooks through which the table layer reaches the
// session (expression compiler, relation lookup). Every relation of a session refers to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/VdbIsolationLevel.h"
#include "base/VdbLastError.h"
#include "storage/kxFormat.h"

namespace vdb {

class TkxFileSystem;
class TVdbExpressionFactory;

enum TVdbDataBaseType : std::uint8_t { dbtDbDirectory = 0, dbtSingleFile = 1 };

class TVdbServices {
 public:
  // Name -> relation index of an open relation (0 when none); relation index -> relation handle.
  using TFindRltnIdxFunc = std::function<std::int16_t(const std::string& Name)>;
  using TCalcRltnHdlFunc = std::function<std::int16_t(std::int16_t RltnIdx)>;

  explicit TVdbServices(std::int16_t SessionHdl);
  ~TVdbServices();
  TVdbServices(const TVdbServices&) = delete;
  TVdbServices& operator=(const TVdbServices&) = delete;

  std::int16_t SessionHdl() const { return FSessionHdl; }

  // --- The last error (recording answers the negated error number) ---
  TVdbLastError& LastError() { return FLastError; }
  const TVdbLastError& LastError() const { return FLastError; }
  std::int16_t SetLastError(std::int16_t Code, std::string_view Description) {
    return FLastError.SetLastError(Code, Description);
  }
  std::int16_t SetLastError(std::int16_t Code, const kxFormatArgs& Args) {
    return FLastError.SetLastError(Code, Args);
  }
  std::int16_t SetLastError(const std::exception& Exception) {
    return FLastError.SetLastError(Exception);
  }
  std::int16_t LastErrorCode() const { return FLastError.LastErrorCode(); }
  const std::string& LastErrorMsg() const { return FLastError.LastErrorMsg(); }

  // --- Stopping a running statement ---
  // The session's stop flag (not owned), set from any thread while a statement runs; the
  // executor's row loops poll it.
  void SetStopFlag(const std::atomic<bool>* Flag) { FStopFlag = Flag; }
  bool StopRequested() const { return FStopFlag != nullptr && FStopFlag->load(std::memory_order_relaxed); }
  // Raises error 114 ("Operation canceled") when a stop was asked for.
  void ThrowIfStopped() const;

  // --- Settings ---
  char DecimalChar() const { return FDecimalChar; }
  void SetDecimalChar(char Value) { FDecimalChar = Value; }
  bool AutoCreateIndexes() const { return FAutoCreateIndexes; }
  void SetAutoCreateIndexes(bool Value) { FAutoCreateIndexes = Value; }
  bool DoRead() const { return FDoRead; }
  void SetDoRead(bool Value) { FDoRead = Value; }
  TVdbIsolationLevel IsolationLevel() const { return FIsolationLevel; }
  void SetIsolationLevel(TVdbIsolationLevel Value) { FIsolationLevel = Value; }
  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool Value) { FCaseSensitive = Value; }
  // Milliseconds a waiting lock request keeps trying.
  std::int32_t LockingTimeout() const { return FLockingTimeout; }
  void SetLockingTimeout(std::int32_t Value) { FLockingTimeout = Value; }

  // Block size for new blob files, and the index page size the session keeps (index files
  // compute their own page size).
  std::int32_t DefBlobBlockSize = 512;
  std::int32_t DefIndPageSize = 4096;

  // Station number (1 .. 2147483646, drawn at construction) and the station name that lock
  // files show (the decimal text of the number until the network parameters replace it).
  std::int32_t Station() const { return FStation; }
  void SetStation(std::int32_t Value);
  const std::string& IDName() const { return FIDName; }
  void SetIDName(std::string Value) { FIDName = std::move(Value); }
  const std::string& GetCD() const { return FGetCD; }
  void SetGetCD(std::string Value) { FGetCD = std::move(Value); }
  const std::string& NetDrv() const { return FNetDrv; }
  void SetNetDrv(std::string Value) { FNetDrv = std::move(Value); }

  // Directory for private files; always ends with "/" (empty: the system's temporary path).
  const std::string& PrivateDir() const { return FPrivateDir; }
  void SetPrivateDir(const std::string& Value);

  // --- The session log ---
  // Level 0 (no log) to 4, clamped. Going from 0 to a positive level opens a fresh log file in
  // PrivateDir (the five most recent logs survive); going back to 0 closes it. Answers 0, or -3
  // when the log file cannot be created (the level then stays 0).
  std::int16_t SetLogLevel(int Level);
  int LogLevel() const { return FLogLevel; }
  // The file name of the log with a sequence number (1 = the current one).
  std::string LogFileName(int SequenceNo) const;
  // Writes a line when Level is not above the log level: time stamp, level, subsystem, message.
  void Log(int Level, const std::string& Subsystem, const std::string& Message);

  // --- File systems ---
  TVdbDataBaseType DataBaseType() const { return FDataBaseType; }
  void SetDataBaseType(TVdbDataBaseType Value) { FDataBaseType = Value; }
  // The OS and data file systems are references the session took from the page manager's
  // registry (GetFileSystem); the lock file system belongs to the services. With FromRegistry
  // false the first two are only borrowed (nothing is given back on release).
  void SetFileSystems(TkxFileSystem* OSFileSystem, TkxFileSystem* DataFileSystem,
                      std::unique_ptr<TkxFileSystem> LockFileSystem, bool FromRegistry = true);
  // Gives the registry references back and frees the lock file system; a database is open
  // exactly while a data file system is set.
  void ReleaseFileSystems();
  TkxFileSystem* OSFileSystem() const { return FOSFileSystem; }
  TkxFileSystem* DataFileSystem() const { return FDataFileSystem; }
  TkxFileSystem* LockFileSystem() const { return FLockFileSystem.get(); }
  bool IsOpen() const { return FDataFileSystem != nullptr; }

  // --- Hooks into the session and its catalog ---
  // The compiler of calculations and conditions (not owned; null until the session sets it).
  TVdbExpressionFactory* ExpressionFactory() const { return FExpressionFactory; }
  void SetExpressionFactory(TVdbExpressionFactory* Factory) { FExpressionFactory = Factory; }
  void SetOnFindRltnIdx(TFindRltnIdxFunc Func) { FOnFindRltnIdx = std::move(Func); }
  void SetOnCalcRltnHdl(TCalcRltnHdlFunc Func) { FOnCalcRltnHdl = std::move(Func); }
  // 0 when no catalog is hooked in or no relation has the name.
  std::int16_t FindRltnIdx(const std::string& Name) const;
  // The relation handle: through the catalog when hooked in, else (session - 1) * 256 + index.
  std::int16_t CalcRltnHdl(std::int16_t RltnIdx) const;

 private:
  std::int16_t FSessionHdl;
  TVdbLastError FLastError;
  char FDecimalChar = ',';
  bool FAutoCreateIndexes = true;
  const std::atomic<bool>* FStopFlag = nullptr;
  bool FDoRead = true;
  TVdbIsolationLevel FIsolationLevel = tilNone;
  bool FCaseSensitive = false;
  std::int32_t FLockingTimeout = 0;
  std::int32_t FStation = 0;
  std::string FIDName;
  std::string FGetCD;
  std::string FNetDrv;
  std::string FPrivateDir;
  TVdbDataBaseType FDataBaseType = dbtDbDirectory;
  TkxFileSystem* FOSFileSystem = nullptr;
  TkxFileSystem* FDataFileSystem = nullptr;
  std::unique_ptr<TkxFileSystem> FLockFileSystem;
  bool FFromRegistry = false;
  TVdbExpressionFactory* FExpressionFactory = nullptr;
  int FLogLevel = 0;
  std::unique_ptr<std::ofstream> FLogFile;
  TFindRltnIdxFunc FOnFindRltnIdx;
  TCalcRltnHdlFunc FOnCalcRltnHdl;
};

}  // namespace vdb
