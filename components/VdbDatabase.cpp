#include "VdbDatabase.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <utility>

#include "VdbDataSet.h"
#include "VdbDbError.h"
#include "VdbQuery.h"
#include "VdbText.h"

using vdbtext::Format;
using vdbtext::TApiText;

namespace {

// Every database component of the process: the duplicate-name test at connect and the lookup
// by name from datasets walk it under its lock.
struct TDatabaseList {
  std::mutex lock;
  std::vector<TVdbDatabase*> items;
};

TDatabaseList& Databases() {
  static TDatabaseList list;
  return list;
}

// The handler asked for keys when a component has none of its own.
struct TDefaultPassword {
  std::mutex lock;
  TVdbPasswordEvent handler;
};

TDefaultPassword& DefaultPassword() {
  static TDefaultPassword value;
  return value;
}

constexpr std::size_t kMaxKeyLength = 80;
constexpr VdbHandle kMaxSessions = 100;

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

void CopyText(VdbChar* target, std::size_t capacity, const std::string& utf8) {
  const std::u16string text = vdbtext::Utf16(utf8);
  const std::size_t count = std::min(text.size(), capacity - 1);
  std::copy_n(text.begin(), count, target);
  target[count] = 0;
}

// Deletes a session created for a connect that did not complete.
class TSessionGuard {
 public:
  explicit TSessionGuard(VdbHandle& handle) : handle_(handle) {}
  ~TSessionGuard() {
    if (armed_ && handle_ > 0) VdbSessDelete(handle_);
    if (armed_) handle_ = 0;
  }
  void Release() { armed_ = false; }

 private:
  VdbHandle& handle_;
  bool armed_ = true;
};

}  // namespace

// The engine's key request names no session, so every session handle gets its own entry point
// that knows it; the request goes to the component connected through that session.
int16_t AnswerEnginePassword(VdbHandle session, const VdbChar* tableName, VdbChar* key, int32_t maxLen) {
  TVdbPasswordEvent handler;
  {
    std::lock_guard guard(Databases().lock);
    for (const TVdbDatabase* database : Databases().items)
      if (database->sessionHdl_ == session) handler = database->OnPassword;
  }
  if (!handler) {
    std::lock_guard guard(DefaultPassword().lock);
    handler = DefaultPassword().handler;
  }
  if (!handler) return 0;
  std::string answer;
  bool retry = false;
  handler(nullptr, vdbtext::Utf8(vdbtext::FromApi(tableName)), answer, retry);
  if (!retry) return 0;
  CopyText(key, static_cast<std::size_t>(std::max(maxLen, 0)) + 1, answer.substr(0, kMaxKeyLength));
  return 1;
}

namespace {

template <VdbHandle Session>
int16_t PasswordProcOf(const VdbChar* tableName, VdbChar* key, int32_t maxLen) {
  return AnswerEnginePassword(Session, tableName, key, maxLen);
}

template <std::size_t... Sessions>
constexpr std::array<TVdbPasswordProc, sizeof...(Sessions)> MakePasswordProcs(std::index_sequence<Sessions...>) {
  return {&PasswordProcOf<static_cast<VdbHandle>(Sessions)>...};
}

TVdbPasswordProc PasswordProcFor(VdbHandle session) {
  static constexpr auto kProcs = MakePasswordProcs(std::make_index_sequence<kMaxSessions + 1>());
  return session > 0 && session <= kMaxSessions ? kProcs[static_cast<std::size_t>(session)] : nullptr;
}

}  // namespace

void TVdbDatabase::SetDefaultPasswordHandler(TVdbPasswordEvent handler) {
  std::lock_guard guard(DefaultPassword().lock);
  DefaultPassword().handler = std::move(handler);
}

TVdbDatabase::TVdbDatabase() {
  std::lock_guard guard(Databases().lock);
  Databases().items.push_back(this);
}

TVdbDatabase::~TVdbDatabase() {
  try {
    if (Connected()) DoDisconnect();
  } catch (...) {
    // A destructor cannot report; the session is gone with the process at the latest.
  }
  std::lock_guard guard(Databases().lock);
  std::erase(Databases().items, this);
}

void TVdbDatabase::SetName(const std::string& name) {
  name_ = name;
  if (databaseName_.empty()) databaseName_ = name;
}

void TVdbDatabase::SetDatabaseName(const std::string& name) {
  RefuseWhenConnected("Cannot change the database name when connected");
  databaseName_ = name;
  if (autoDatabaseName_) ApplyAutomaticName();
}

void TVdbDatabase::SetAutoDatabaseName(bool on) {
  if (on == autoDatabaseName_) return;
  if (on) {
    RefuseWhenConnected("Cannot change the database name when connected");
    std::lock_guard guard(Databases().lock);
    for (const TVdbDatabase* other : Databases().items)
      if (other != this && Owner != nullptr && other->Owner == Owner)
        throw EDatabaseError("Cannot enable AutoSessionName property with more than one session on a form or data-module");
  }
  autoDatabaseName_ = on;
  if (on) ApplyAutomaticName();
}

// Gives the component a name no other component uses ("Name_2") and its datasets that name, so
// that two instances of one form can each have their own session.
void TVdbDatabase::ApplyAutomaticName() {
  {
    std::lock_guard guard(Databases().lock);
    int32_t highest = sessionNumber_;
    for (const TVdbDatabase* other : Databases().items)
      if (other != this && other->sessionNumber_ >= sessionNumber_) highest = std::max(highest, other->sessionNumber_);
    sessionNumber_ = highest + 1;
  }
  databaseName_ = Format("%s_%d", {databaseName_, std::to_string(sessionNumber_)});
  RenameOwnedDataSets();
}

void TVdbDatabase::RenameOwnedDataSets() {
  if (Owner == nullptr) return;
  for (TVdbDataSet* dataSet : TVdbDataSet::AllDataSets())
    if (dataSet->Owner == Owner && !SameTextIgnoringCase(dataSet->DatabaseName(), databaseName_))
      dataSet->SetDatabaseName(databaseName_);
}

void TVdbDatabase::SetLocation(const std::string& location) {
  RefuseWhenConnected("Cannot change location while database is open");
  location_ = location;
}

void TVdbDatabase::SetPrivateDir(const std::string& directory) {
  RefuseWhenConnected("Cannot change private directory while database is open");
  privateDir_ = directory;
}

void TVdbDatabase::SetExclusive(bool exclusive) {
  if (exclusive == exclusive_) return;
  CloseForChange();
  exclusive_ = exclusive;
}

void TVdbDatabase::SetReadOnly(bool readOnly) {
  CloseForChange();
  readOnly_ = readOnly;
}

void TVdbDatabase::SetDatabaseType(TVdbDatabaseType type) {
  if (type == databaseType_) return;
  CloseForChange();
  databaseType_ = type;
}

void TVdbDatabase::SetSharedReadOnly(bool sharedReadOnly) {
  if (sharedReadOnly == sharedReadOnly_) return;
  CloseForChange();
  sharedReadOnly_ = sharedReadOnly;
}

void TVdbDatabase::SetIndexPageSize(int32_t size) {
  indexPageSize_ = size;
  if (Connected()) VdbSessSetSystemSettings(sessionHdl_, indexPageSize_, blobBlockSize_);
}

void TVdbDatabase::SetBlobBlockSize(int32_t size) {
  blobBlockSize_ = size;
  if (Connected()) VdbSessSetSystemSettings(sessionHdl_, indexPageSize_, blobBlockSize_);
}

void TVdbDatabase::SetConnected(bool connected) {
  if (connected == Connected()) return;
  if (connected) {
    if (BeforeConnect) BeforeConnect();
    DoConnect();
    if (AfterConnect) AfterConnect();
  } else {
    if (BeforeDisconnect) BeforeDisconnect();
    DoDisconnect();
    if (AfterDisconnect) AfterDisconnect();
  }
}

void TVdbDatabase::RequireConnected() const {
  if (!Connected()) throw EDatabaseError("Cannot perform this action on a disconnected database");
}

void TVdbDatabase::RefuseWhenConnected(const char* message) const {
  if (Connected()) throw EDatabaseError(message);
}

void TVdbDatabase::CloseForChange() {
  if (Connected()) SetConnected(false);
}

void TVdbDatabase::Raise(const std::string& context, int code) const {
  RaiseVdbError(context, code, sessionHdl_);
}

// --- Connect and disconnect ----------------------------------------------------------------------

void TVdbDatabase::DoConnect() {
  {
    std::lock_guard guard(Databases().lock);
    for (const TVdbDatabase* other : Databases().items)
      if (other != this && other->databaseName_ == databaseName_ && other->Connected())
        throw EDatabaseError(Format("Duplicate database name: \"%s\"", {name_}));
  }
  TSessionGuard guard(sessionHdl_);
  OpenSession();
  uint16_t flags = (readOnly_ ? VDB_OPEN_READ_ONLY : 0) | (exclusive_ ? VDB_OPEN_EXCLUSIVE : 0) |
                   (flushMode_ == TVdbFlushMode::tfmSecure ? VDB_OPEN_DEEP_FLUSH : 0) |
                   (sharedReadOnly_ ? VDB_OPEN_SHARED_READ_ONLY : 0);
  VdbResult result = OpenDatabase(flags);
  // A database that refuses shared writing may still be read alone.
  if (result == VDB_ERR_DATABASE_NOT_FOUND && !readOnly_ && !exclusive_) {
    result = OpenDatabase(flags | VDB_OPEN_READ_ONLY | VDB_OPEN_EXCLUSIVE);
    if (result == 0) readOnly_ = exclusive_ = true;
  }
  if (result != 0) Raise(Format("Opening database \"%s\"", {location_}), result);
  TVdbDatabaseInfo info{};
  VdbSessGetDbInfo(sessionHdl_, &info);
  ManagementLevel = info.ManagementLevel;
  EncryptionMethod = info.EncryptionMethod;
  PushSessionSettings();
  if (logLevel_ != 0) VdbSessSetLogLevel(sessionHdl_, logLevel_);
  databaseType_ = VdbSessIsSingleFile(sessionHdl_) == 1 ? TVdbDatabaseType::dbtSingleFile
                                                        : TVdbDatabaseType::dbtDirectory;
  OpenTableDefs();
  guard.Release();
}

void TVdbDatabase::OpenSession() {
  const VdbHandle session = VdbCreateSession(TApiText(location_));
  if (session <= 0) Raise(Format("Connecting to database \"%s\"", {location_}), session);
  sessionHdl_ = session;
  TVdbNetParams params{};
  VdbSessGetDefaultNetParams(sessionHdl_, &params);
  params.NetDirs[0] = 0;
  CopyText(params.PrivateDir, std::size(params.PrivateDir), privateDir_);
  CopyText(params.StationName, std::size(params.StationName), ConnectionName);
  connectionId_ = params.StationNo;
  if (ServerTimeout != 0)
    params.ServerTimeout = ServerTimeout;
  else
    ServerTimeout = params.ServerTimeout;
  VdbSessSetNetParams(sessionHdl_, &params);
  VdbSessSetPasswordProc(sessionHdl_, PasswordProcFor(sessionHdl_));
  VdbSessSetSystemSettings(sessionHdl_, indexPageSize_, blobBlockSize_);
}

VdbResult TVdbDatabase::OpenDatabase(uint16_t flags) {
  return VdbSessOpenDb(sessionHdl_, TApiText(location_), TApiText(UserName), TApiText(Password),
                       CacheSizeKB, flags);
}

void TVdbDatabase::DoDisconnect() {
  CloseDataSets();
  VdbSessCloseDb(sessionHdl_);
  VdbSessDelete(sessionHdl_);
  sessionHdl_ = 0;
}

void TVdbDatabase::CloseDataSets() {
  // From the last to the first: closing one may unregister it.
  for (std::size_t i = dataSets_.size(); i > 0; --i)
    if (i <= dataSets_.size()) dataSets_[i - 1]->Close();
}

// --- Datasets ------------------------------------------------------------------------------------

void TVdbDatabase::RegisterClient(TVdbDataSet* dataSet) {
  if (std::find(dataSets_.begin(), dataSets_.end(), dataSet) == dataSets_.end())
    dataSets_.push_back(dataSet);
}

void TVdbDatabase::UnRegisterClient(TVdbDataSet* dataSet) { std::erase(dataSets_, dataSet); }

TVdbDatabase* TVdbDatabase::FindByName(const std::string& name) {
  std::lock_guard guard(Databases().lock);
  TVdbDatabase* found = nullptr;
  for (TVdbDatabase* database : Databases().items) {
    if (!SameTextIgnoringCase(database->databaseName_, name)) continue;
    if (found) throw EDatabaseError(Format("Database name \"%s\" is not unique", {name}));
    found = database;
  }
  return found;
}

// --- Methods -------------------------------------------------------------------------------------

uint16_t TVdbDatabase::RightsWord(bool exclusive, TVdbAccessRights rights,
                                  TVdbFlushMode flushMode) const {
  uint16_t word = (rights & static_cast<unsigned>(TVdbAccessRight::tarAppend)) ? 0xF8F1 : 0xF8F0;
  if (rights & static_cast<unsigned>(TVdbAccessRight::tarEdit)) word += 2;
  if (rights & static_cast<unsigned>(TVdbAccessRight::tarDelete)) word += 4;
  if (rights & static_cast<unsigned>(TVdbAccessRight::tarIndex)) word += 8;
  if (exclusive || exclusive_) word += VDB_RIGHTS_EXCLUSIVE;
  const bool secure = flushMode == TVdbFlushMode::tfmSecure ||
                      (flushMode == TVdbFlushMode::tfmDefault && flushMode_ == TVdbFlushMode::tfmSecure);
  if (secure) word += VDB_RIGHTS_SECURE_FLUSH;
  return word;
}

VdbHandle TVdbDatabase::OpenTable(const std::string& tableName, bool exclusive,
                                  TVdbAccessRights rights, TVdbFlushMode flushMode) {
  RequireConnected();
  return OpenTableWithKey(tableName, RightsWord(exclusive, rights, flushMode), Password);
}

VdbHandle TVdbDatabase::OpenTableWithKey(const std::string& tableName, uint16_t rights, std::string key) {
  VdbHandle relation = VdbSessFindRltnHdl(sessionHdl_, TApiText(tableName));
  if (relation <= 0) relation = OpenWithPasswordLoop(tableName, rights, key);
  if (relation <= 0) Raise(Format("Opening table \"%s\"", {tableName}), relation == 0 ? -1 : relation);
  OpenLinkedTables(tableName, relation, rights, key);
  return relation;
}

// Opens a table, asking for its key for as long as the key is refused and the one asked
// wants to try again.
VdbHandle TVdbDatabase::OpenWithPasswordLoop(const std::string& tableName, uint16_t rights, std::string& key) {
  const TApiText name(tableName);
  bool madeRoom = false;
  for (;;) {
    const VdbHandle result = VdbSessOpenTable(sessionHdl_, name, TApiText(key), rights, 0);
    if (result == VDB_ERR_OUT_OF_MEMORY && !madeRoom) {  // too many open tables: make room once
      VdbSessCloseUnneededTables(sessionHdl_);
      madeRoom = true;
      continue;
    }
    if (result != VDB_ERR_WRONG_PASSWORD) return result;
    key.clear();
    if (!AskPassword(this, tableName, key)) return result;
  }
}

bool TVdbDatabase::AskPassword(TVdbDatabase* sender, const std::string& tableName, std::string& key) const {
  TVdbPasswordEvent handler = OnPassword;
  if (!handler) {
    std::lock_guard guard(DefaultPassword().lock);
    handler = DefaultPassword().handler;
  }
  if (!handler) return false;
  bool retry = false;
  handler(sender, tableName, key, retry);
  if (key.size() > kMaxKeyLength) key.resize(kMaxKeyLength);
  return retry;
}

// A table's link and relation columns name tables in its directory; they are opened with the
// same key and rights, so that following a link does not fail later.
void TVdbDatabase::OpenLinkedTables(const std::string& tableName, VdbHandle relation, uint16_t rights,
                                    const std::string& key) {
  const VdbHandle probe = VdbTableCreate(relation, TApiText(std::string("CheckRelationOpen_Temp")));
  if (probe <= 0) return;
  std::vector<std::string> linked;
  const int count = VdbTableGetNumFields(probe);
  for (int16_t no = 1; no <= count; ++no) {
    auto spec = std::make_unique<TVdbFieldSpec>();
    if (VdbTableGetFieldSpec(probe, no, spec.get()) < 0) continue;
    const int type = spec->FldType & 0xFF;
    if (type != VDB_FT_LINK && type != VDB_FT_RELATION) continue;
    const std::string link = vdbtext::Utf8(vdbtext::FromApi(spec->SelectOrLink));
    if (!link.empty()) linked.push_back(link);
  }
  VdbTableDelete(probe);
  const std::size_t slash = tableName.find_last_of("/\\");
  const std::string directory = slash == std::string::npos ? "" : tableName.substr(0, slash + 1);
  for (const std::string& link : linked) {
    const std::string name = directory + link;
    if (VdbSessFindRltnHdl(sessionHdl_, TApiText(name)) <= 0) OpenTableWithKey(name, rights, key);
  }
}

void TVdbDatabase::OpenTableDefs() {
  for (const TVdbBaseTableDef& def : TableDefs)
    OpenTableWithKey(def.Name, RightsWord(false, kAllAccessRights, TVdbFlushMode::tfmDefault), Password);
}

void TVdbDatabase::CloseCachedTables() {
  RequireConnected();
  CheckVdb(VdbSessCloseUnneededTables(sessionHdl_), "Closing tables", sessionHdl_);
}

std::vector<std::string> TVdbDatabase::GetTableNames(bool systemTables) {
  if (systemTables) return {};
  const bool wasConnected = Connected();
  if (!wasConnected) SetConnected(true);
  const int32_t length = VdbSessGetTableNames(sessionHdl_, nullptr, 0);
  std::vector<VdbChar> buffer(static_cast<std::size_t>(std::max(length, 0)) + 1);
  if (length > 0) VdbSessGetTableNames(sessionHdl_, buffer.data(), length);
  if (!wasConnected) SetConnected(false);
  std::vector<std::string> names;
  std::string all = vdbtext::Utf8(vdbtext::FromApi(buffer.data()));
  for (std::size_t start = 0; start < all.size();) {
    const std::size_t end = std::min(all.find(';', start), all.size());
    if (end > start) names.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

void TVdbDatabase::RefreshDataSets() {
  RequireConnected();
  VdbSessRegisterModifications(sessionHdl_);
  for (TVdbDataSet* dataSet : std::vector<TVdbDataSet*>(dataSets_))
    if (dataSet->Active() && dataSet->State() == TDataSetState::dsBrowse) dataSet->Refresh();
}

void TVdbDatabase::PushSessionSettings() {
  VdbSessSetSettings(sessionHdl_, caseSensitive_, caretSwitch_, autoCreateIndexes_, LockingTimeout);
}

void TVdbDatabase::SetCaseSensitive(bool on) {
  if (on == caseSensitive_) return;
  caseSensitive_ = on;
  if (Connected()) PushSessionSettings();
}

void TVdbDatabase::SetCaretSwitch(bool on) {
  if (on == caretSwitch_) return;
  caretSwitch_ = on;
  if (Connected()) PushSessionSettings();
}

void TVdbDatabase::SetAutoCreateIndexes(bool on) {
  autoCreateIndexes_ = on;
  if (Connected()) PushSessionSettings();
}

void TVdbDatabase::SetLogLevel(int16_t level) {
  logLevel_ = level;
  if (Connected()) CheckVdb(VdbSessSetLogLevel(sessionHdl_, level), "Setting log level", sessionHdl_);
}

// A session of its own on Location for Work, deleted again in every case.
template <typename Work>
void TVdbDatabase::WithTemporarySession(Work work) {
  RefuseWhenConnected("Cannot change the database name when connected");
  const VdbHandle session = VdbCreateSession(TApiText(location_));
  if (session <= 0) RaiseVdbError(Format("Establishing session \"%s\"", {location_}), session, 0);
  struct TDelete {
    VdbHandle handle;
    ~TDelete() { VdbSessDelete(handle); }
  } deleteAfterwards{session};
  work(session);
}

void TVdbDatabase::CreateDatabase() {
  WithTemporarySession([&](VdbHandle session) {
    const int16_t type = databaseType_ == TVdbDatabaseType::dbtSingleFile ? VDB_DB_SINGLE_FILE : VDB_DB_DIRECTORY;
    CheckVdb(VdbSessCreateDatabase(session, type, TApiText(location_), TApiText(Password)),
             Format("Creating database \"%s\"", {location_}), session);
  });
}

void TVdbDatabase::DeleteDatabase() {
  WithTemporarySession([&](VdbHandle session) {
    CheckVdb(VdbSessDeleteDatabase(session, TApiText(location_), TApiText(Password)),
             Format("Deleting database \"%s\"", {location_}), session);
  });
}

int32_t TVdbDatabase::Execute(const std::string& sql) {
  RequireConnected();
  TVdbQuery query;
  query.SetDatabaseName(databaseName_);
  query.SetSQL({sql});
  query.ExecSQL();
  return query.RowsAffected();
}

void TVdbDatabase::StartTransaction() {
  RequireConnected();
  CheckVdb(VdbSessBeginTransaction(sessionHdl_, 1), "Starting transaction", sessionHdl_);
}

void TVdbDatabase::Commit() {
  RequireConnected();
  CheckVdb(VdbSessEndTransaction(sessionHdl_), "Committing transaction", sessionHdl_);
}

void TVdbDatabase::Rollback() {
  RequireConnected();
  CheckVdb(VdbSessCancelTransaction(sessionHdl_), "Rolling-back transaction", sessionHdl_);
}

bool TVdbDatabase::InTransaction() {
  RequireConnected();
  return CheckVdb(VdbSessInTransaction(sessionHdl_), "Checking transaction state", sessionHdl_) > 0;
}

void TVdbDatabase::RouteChange(VdbHandle session, VdbHandle table, int32_t deleted, int32_t moved) {
  std::vector<TVdbDataSet*> targets;
  {
    std::lock_guard guard(Databases().lock);
    for (const TVdbDatabase* database : Databases().items)
      if (database->sessionHdl_ == session)
        for (TVdbDataSet* dataSet : database->dataSets_)
          if (dataSet->Handle() == table) targets.push_back(dataSet);
  }
  for (TVdbDataSet* dataSet : targets) dataSet->RecordReplaced(deleted, moved);
}
