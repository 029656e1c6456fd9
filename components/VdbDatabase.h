// TVdbDatabase: names a database, says where it lies and how to open it, and owns the engine
// session while connected. Datasets find it by DatabaseName in the process-wide list and
// register with it; disconnecting closes them first, so afterwards no file of the database is
// held open.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "api/VdbApi.h"

class TVdbDataSet;

enum class TVdbFlushMode { tfmDefault, tfmSecure, tfmFast };
enum class TVdbDatabaseType { dbtDirectory, dbtSingleFile };
enum class TVdbAccessRight { tarAppend = 1, tarEdit = 2, tarDelete = 4, tarIndex = 8 };
using TVdbAccessRights = unsigned;  // TVdbAccessRight bits
constexpr TVdbAccessRights kAllAccessRights = 15;

class TVdbDatabase;
// Asked for a table's key: sets Key and Retry = true to try it, or leaves Retry false to give up.
// Sender is the database component when the component itself opens the table, null when the
// engine asks while running a statement.
using TVdbPasswordEvent = std::function<void(TVdbDatabase* sender, const std::string& tableName,
                                             std::string& key, bool& retry)>;

// A table the database opens when it connects.
struct TVdbBaseTableDef {
  std::string Name;
  bool UseEditLocks = true;
};

class TVdbDatabase {
 public:
  TVdbDatabase();
  TVdbDatabase(const TVdbDatabase&) = delete;
  TVdbDatabase& operator=(const TVdbDatabase&) = delete;
  ~TVdbDatabase();

  // --- Properties ---
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name);  // also the DatabaseName while that is empty
  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  const std::string& Location() const { return location_; }
  void SetLocation(const std::string& location);
  const std::string& PrivateDir() const { return privateDir_; }
  void SetPrivateDir(const std::string& directory);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool exclusive);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly);
  TVdbDatabaseType DatabaseType() const { return databaseType_; }
  void SetDatabaseType(TVdbDatabaseType type);
  TVdbFlushMode FlushMode() const { return flushMode_; }
  void SetFlushMode(TVdbFlushMode mode) { flushMode_ = mode; }
  bool SharedReadOnly() const { return sharedReadOnly_; }
  void SetSharedReadOnly(bool sharedReadOnly);
  int32_t IndexPageSize() const { return indexPageSize_; }
  int32_t BlobBlockSize() const { return blobBlockSize_; }
  void SetIndexPageSize(int32_t size);
  void SetBlobBlockSize(int32_t size);
  std::string ConnectionName;
  std::string UserName;
  std::string Password;
  int32_t CacheSizeKB = 40960;
  int32_t LockingTimeout = 20000;
  int32_t ServerTimeout = 0;
  // Session settings: a change reaches a connected session at once.
  bool CaseSensitive() const { return caseSensitive_; }
  void SetCaseSensitive(bool on);
  bool CaretSwitch() const { return caretSwitch_; }
  void SetCaretSwitch(bool on);
  bool AutoCreateIndexes() const { return autoCreateIndexes_; }
  void SetAutoCreateIndexes(bool on);
  int16_t ManagementLevel = 0;
  int16_t EncryptionMethod = 0;
  uint32_t ConnectionId() const { return connectionId_; }
  VdbHandle Handle() const { return sessionHdl_; }

  std::function<void()> BeforeConnect, AfterConnect, BeforeDisconnect, AfterDisconnect;

  // Asked for a table's key when the one tried is refused; without it, the process-wide
  // default handler is asked.
  TVdbPasswordEvent OnPassword;
  static void SetDefaultPasswordHandler(TVdbPasswordEvent handler);
  // Tables opened at connect, in order.
  std::vector<TVdbBaseTableDef> TableDefs;

  // The form or module the component belongs to (null: none); AutoDatabaseName renames the
  // datasets of the same owner.
  const void* Owner = nullptr;
  bool AutoDatabaseName() const { return autoDatabaseName_; }
  void SetAutoDatabaseName(bool on);
  int32_t SessionNumber() const { return sessionNumber_; }

  bool Connected() const { return sessionHdl_ > 0; }
  void SetConnected(bool connected);

  // --- Methods (each needs a connection) ---
  void CloseDataSets();
  // Opens a table ahead of use; its relation handle.
  VdbHandle OpenTable(const std::string& tableName, bool exclusive, TVdbAccessRights rights,
                      TVdbFlushMode flushMode);
  void CloseCachedTables();
  // The table names of the database (connecting for the call when disconnected); with
  // SystemTables none, as the engine lists no system tables.
  std::vector<std::string> GetTableNames(bool systemTables = false);
  // Lets the datasets on tables see what other sessions changed.
  void RefreshDataSets();
  // Creates or deletes the database at Location; only while disconnected.
  void CreateDatabase();
  void DeleteDatabase();
  int16_t LogLevel() const { return logLevel_; }
  void SetLogLevel(int16_t level);
  // Runs one statement that returns no rows; the number of rows affected.
  int32_t Execute(const std::string& sql);
  void StartTransaction();
  void Commit();
  void Rollback();
  bool InTransaction();

  // The rights word a table is opened with.
  uint16_t RightsWord(bool exclusive, TVdbAccessRights rights, TVdbFlushMode flushMode) const;

  // --- Used by datasets ---
  void RegisterClient(TVdbDataSet* dataSet);
  void UnRegisterClient(TVdbDataSet* dataSet);
  const std::vector<TVdbDataSet*>& DataSets() const { return dataSets_; }
  // The database component called Name (case ignored); null when none. Raises when two are.
  static TVdbDatabase* FindByName(const std::string& name);
  // Tells the datasets on table handle Table of the session Session that record Moved took
  // record Deleted's place (0: none did).
  static void RouteChange(VdbHandle session, VdbHandle table, int32_t deleted, int32_t moved);
  // A database created by a dataset on demand; it goes with its last dataset.
  bool Automatic() const { return automatic_; }
  void MarkAutomatic() { automatic_ = true; }

 private:
  void RequireConnected() const;
  void RefuseWhenConnected(const char* message) const;
  void CloseForChange();
  void DoConnect();
  void DoDisconnect();
  void OpenSession();
  VdbResult OpenDatabase(uint16_t flags);
  void Raise(const std::string& context, int code) const;
  VdbHandle OpenTableWithKey(const std::string& tableName, uint16_t rights, std::string key);
  VdbHandle OpenWithPasswordLoop(const std::string& tableName, uint16_t rights, std::string& key);
  void OpenLinkedTables(const std::string& tableName, VdbHandle relation, uint16_t rights,
                        const std::string& key);
  bool AskPassword(TVdbDatabase* sender, const std::string& tableName, std::string& key) const;
  void OpenTableDefs();
  void ApplyAutomaticName();
  void RenameOwnedDataSets();
  void PushSessionSettings();
  template <typename Work>
  void WithTemporarySession(Work work);
  friend int16_t AnswerEnginePassword(VdbHandle session, const VdbChar* tableName, VdbChar* key,
                                      int32_t maxLen);

  std::string name_;
  std::string databaseName_;
  std::string location_;
  std::string privateDir_;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool sharedReadOnly_ = false;
  bool automatic_ = false;
  bool autoDatabaseName_ = false;
  int32_t sessionNumber_ = 0;
  int16_t logLevel_ = 0;
  bool caseSensitive_ = false;
  bool caretSwitch_ = false;
  bool autoCreateIndexes_ = true;
  TVdbDatabaseType databaseType_ = TVdbDatabaseType::dbtDirectory;
  TVdbFlushMode flushMode_ = TVdbFlushMode::tfmDefault;
  int32_t indexPageSize_ = 4096;
  int32_t blobBlockSize_ = 512;
  uint32_t connectionId_ = 0;
  VdbHandle sessionHdl_ = 0;
  std::vector<TVdbDataSet*> dataSets_;
};
