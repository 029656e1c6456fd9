// The session operations of the API: creating sessions, opening and closing databases, opening
// tables, transactions and the last error.
#include <vector>
#include <filesystem>
#include <random>

#include "api/VdbApi.h"
#include "api/VdbApiBoundary.h"
#include "base/VdbServices.h"
#include "session/VdbVersion.h"
#include "table/VdbBaseTable.h"
#include "table/VdbSession.h"

using namespace vdb;
using namespace vdb::api;

namespace {

constexpr std::int32_t kDefaultServerTimeout = 20000;

// A zero-terminated UTF-16 field of a fixed record.
template <std::size_t N>
void PutField(VdbChar (&Field)[N], std::string_view Utf8) {
  ToApiText(Utf8, Field, static_cast<std::int32_t>(N - 1));
}

template <std::size_t N>
std::string GetField(const VdbChar (&Field)[N]) {
  VdbChar Copy[N];
  std::copy(std::begin(Field), std::end(Field), Copy);
  Copy[N - 1] = 0;
  return FromApiText(Copy);
}

// Runs Operation for the local session of Sess (open when MustBeOpen), behind the boundary.
template <class TResult = VdbResult, class TOperation>
TResult WithSession(VdbHandle Sess, bool MustBeOpen, TOperation&& Operation) {
  TVdbLocalSession* Session = MustBeOpen ? OpenSession(Sess) : LocalSession(Sess);
  if (Session == nullptr) return static_cast<TResult>(VDB_ERR_INVALID_SESSION);
  return Guarded<TResult>(Session->Services(), [&]() -> TResult { return Operation(*Session); });
}

// Tells whether a relation heard of changes while it caught up with other sessions.
class TChangeListener : public TVdbRelationListener {
 public:
  std::string GetTag() const override { return "RegisterModifications"; }
  void RecordDeleted(std::int32_t, std::int32_t) override { Changed = true; }
  void RecordChanged(std::int32_t) override { Changed = true; }
  void RelationChanged() override { Changed = true; }
  void RelationEmptied() override { Changed = true; }
  void MayDeleteIndex(std::int16_t, bool&) override {}
  void IndexRemoved(std::int16_t) override { Changed = true; }
  void IndexNamesChanged() override { Changed = true; }
  bool IsRecordEdited(std::int32_t) override { return false; }
  bool Changed = false;
};

// Commits (or rolls back) what the open base tables logged during the transaction.
VdbResult FinishTransaction(TVdbLocalSession& Session, bool Commit) {
  TVdbServices& Services = *Session.Services();
  if (Services.IsolationLevel() == tilNone) {
    Services.SetLastError(kVdbErrMessage, "No transaction is running");
    return VDB_ERR_TRANSACTION;
  }
  TVdbCatalog& Catalog = *Session.Catalog();
  std::vector<TVdbBaseTable*> Tables;
  for (std::int16_t RltnIdx = 1; RltnIdx <= TVdbCatalog::kMaxRelations; ++RltnIdx) {
    auto* Table = dynamic_cast<TVdbBaseTable*>(Catalog.GetRelation(static_cast<TVdbRelationIndex>(RltnIdx)));
    if (Table != nullptr) Tables.push_back(Table);
  }
  std::int16_t Result = 0;
  // A commit is kept only once every table's changes are in its files: the undo logs, which
  // the next session would roll back after a crash, go only then. A table that cannot write
  // its changes rolls back instead, and the commit fails.
  if (Commit) {
    for (TVdbBaseTable* Table : Tables) {
      const std::int16_t Flushed = Table->Flush();
      if (Flushed < 0 && Result == 0) Result = Flushed;
    }
  }
  const bool Keep = Commit && Result == 0;
  for (TVdbBaseTable* Table : Tables) {
    const std::int16_t Done = Keep ? Table->CommitModifications() : Table->UndoModifications();
    if (Done < 0 && Result == 0) Result = Done;
  }
  Services.SetIsolationLevel(tilNone);
  return Result < 0 ? static_cast<VdbResult>(VDB_ERR_TRANSACTION) : static_cast<VdbResult>(0);
}

}  // namespace

extern "C" {

VdbResult VdbGetErrorMsg(VdbResult Code, VdbChar* Msg, int32_t MaxLen) {
  ToApiText(VdbResultCodeText(Code), Msg, MaxLen);
  return 0;
}

VdbResult VdbGetVersion(VdbChar* Version, int32_t MaxLen) {
  ToApiText(VdbVersionText(), Version, MaxLen);
  return 0;
}

VdbHandle VdbCreateSession(const VdbChar* Location) {
  try {
    // Sessions on a database server are not part of this engine.
    if (FromApiText(Location).find('@') != std::string::npos) return VDB_ERR_CREATE_SESSION;
    std::unique_ptr<TVdbSession> Session = std::make_unique<TVdbLocalSession>();
    TVdbSession* Created = Session.get();
    const std::int16_t Handle = TSessionList::Instance().AddSession(Session);
    if (Handle < 0) return VDB_ERR_CREATE_SESSION;
    const std::int16_t Initialised = Created->Initialize(Handle);
    if (Initialised < 0) {
      TSessionList::Instance().DeleteSession(Handle);
      return Initialised;
    }
    return Handle;
  } catch (...) {
    return VDB_ERR_CREATE_SESSION;
  }
}

VdbResult VdbSessGetDefaultNetParams(VdbHandle Sess, TVdbNetParams* Params) {
  return WithSession(Sess, false, [&](TVdbLocalSession&) -> VdbResult {
    if (Params == nullptr) return VDB_ERR_WRONG_CONTEXT;
    *Params = TVdbNetParams{};
    PutField(Params->NetDirs, "AUTO");
    PutField(Params->StationName, "Undefined");
    static std::mt19937 Random{std::random_device{}()};
    Params->StationNo = std::uniform_int_distribution<std::uint32_t>(0, 2147483646)(Random);
    Params->ServerTimeout = kDefaultServerTimeout;
    return 0;
  });
}

VdbResult VdbSessSetNetParams(VdbHandle Sess, const TVdbNetParams* Params) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) -> VdbResult {
    if (Params == nullptr) return VDB_ERR_WRONG_CONTEXT;
    TVdbServices& Services = *Session.Services();
    Services.SetStation(static_cast<std::int32_t>(Params->StationNo));
    Services.SetIDName(GetField(Params->StationName));
    Services.SetGetCD(GetField(Params->ReadOnlyDirs));
    Services.SetNetDrv(GetField(Params->NetDirs));
    const std::string Private = GetField(Params->PrivateDir);
    Services.SetPrivateDir(Private);
    if (!Private.empty()) {
      std::error_code Ignored;  // a directory that cannot be made shows when it is used
      std::filesystem::create_directories(Private, Ignored);
    }
    return 0;
  });
}

VdbResult VdbSessSetPasswordProc(VdbHandle Sess, TVdbPasswordProc Proc) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) -> VdbResult {
    if (Proc == nullptr) {
      Session.Catalog()->SetPasswordCallback(nullptr);
      return 0;
    }
    Session.Catalog()->SetPasswordCallback([Proc](const std::string& TableName, std::string& Key) {
      VdbChar Name[256];
      ToApiText(TableName, Name, 255);
      VdbChar Answer[256] = {};
      if (Proc(Name, Answer, 255) == 0) return false;
      Answer[255] = 0;
      Key = FromApiText(Answer);
      return true;
    });
    return 0;
  });
}

VdbResult VdbSessSetSystemSettings(VdbHandle Sess, int32_t IndexPageSize, int32_t BlobBlockSize) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) -> VdbResult {
    Session.Services()->DefIndPageSize = IndexPageSize;
    Session.Services()->DefBlobBlockSize = BlobBlockSize;
    return 0;
  });
}

VdbResult VdbSessOpenDb(VdbHandle Sess, const VdbChar* Location, const VdbChar* /*UserName*/,
                        const VdbChar* Password, int32_t CacheSizeKB, uint16_t Flags) {
  TVdbLocalSession* Session = LocalSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  // Any failure but a missing database or refused credentials is "Could not create session".
  return Guarded<VdbResult>(Session->Services(), [&]() -> VdbResult {
    TVdbCatalog& Catalog = *Session->Catalog();
    Catalog.SetLocation(FromApiText(Location));
    Catalog.SetKey(FromApiText(Password));
    Catalog.ReadOnly = (Flags & VDB_OPEN_READ_ONLY) != 0;
    Catalog.Exclusive = (Flags & VDB_OPEN_EXCLUSIVE) != 0;
    Catalog.DeepFlush = (Flags & VDB_OPEN_DEEP_FLUSH) != 0;
    Catalog.SharedReadOnly = (Flags & VDB_OPEN_SHARED_READ_ONLY) != 0;
    if (CacheSizeKB > 0) Catalog.CacheSize = CacheSizeKB;
    const std::int16_t Opened = Session->OpenDb();
    if (Opened == -kVdbErrFileNotFoundOrDenied || Opened == -kVdbErrInvalidCredentials)
      return VDB_ERR_DATABASE_NOT_FOUND;
    return Opened < 0 ? static_cast<VdbResult>(VDB_ERR_CREATE_SESSION) : static_cast<VdbResult>(0);
  }, VDB_ERR_CREATE_SESSION);
}

VdbResult VdbSessGetDbInfo(VdbHandle Sess, TVdbDatabaseInfo* Info) {
  return WithSession(Sess, true, [&](TVdbLocalSession& Session) -> VdbResult {
    if (Info == nullptr) return VDB_ERR_WRONG_CONTEXT;
    Info->ManagementLevel = static_cast<int16_t>(Session.Catalog()->ManagementLevel());
    Info->EncryptionMethod = 0;  // databases are not encrypted as a whole; tables carry their own
    return 0;
  });
}

VdbResult VdbSessSetSettings(VdbHandle Sess, int16_t CaseSensitive, int16_t /*CaretSwitch*/,
                             int16_t AutoCreateIndexes, int32_t LockingTimeout) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) -> VdbResult {
    Session.Services()->SetCaseSensitive(CaseSensitive != 0);
    Session.Services()->SetAutoCreateIndexes(AutoCreateIndexes != 0);
    Session.Services()->SetLockingTimeout(LockingTimeout);
    return 0;
  });
}

VdbResult VdbSessSetLogLevel(VdbHandle Sess, int16_t Level) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) -> VdbResult {
    return Session.Services()->SetLogLevel(Level);
  });
}

VdbResult VdbSessIsSingleFile(VdbHandle Sess) {
  return WithSession(Sess, true, [&](TVdbLocalSession& Session) -> VdbResult {
    return Session.Catalog()->GetIsSingleFile() ? 1 : 0;
  });
}

VdbHandle VdbSessFindRltnHdl(VdbHandle Sess, const VdbChar* Name) {
  return WithSession(Sess, true, [&](TVdbLocalSession& Session) -> VdbHandle {
    const std::int16_t RltnIdx = Session.Catalog()->FindRltnIdx(FromApiText(Name));
    return RltnIdx > 0 ? Session.Catalog()->CalcRltnHdl(RltnIdx) : static_cast<VdbHandle>(0);
  });
}

VdbHandle VdbSessOpenTable(VdbHandle Sess, const VdbChar* TableName, const VdbChar* Key,
                           uint16_t Rights, int16_t Force) {
  TVdbLocalSession* Session = OpenSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  TVdbServices* Services = Session->Services();
  try {
    const std::string Name = FromApiText(TableName);
    TVdbCatalog& Catalog = *Session->Catalog();
    if ((Rights & VDB_RIGHTS_EXCLUSIVE) != 0 && !Catalog.Exclusive &&
        !Services->DataFileSystem()->SupportsExclusiveFiles()) {
      Services->SetLastError(kVdbErrFeatureNotInLevel, {Name, "Exlusive"});
      return VDB_ERR_ENGINE;
    }
    const std::int16_t RltnIdx = Catalog.AddTable(Name, FromApiText(Key), Force != 0, Rights);
    if (RltnIdx > 0) return Catalog.CalcRltnHdl(RltnIdx);
    if (RltnIdx == -kVdbErrTooManyTables) return VDB_ERR_OUT_OF_MEMORY;
    if (RltnIdx == -kVdbErrInvalidCredentials) return VDB_ERR_WRONG_PASSWORD;
    return VDB_ERR_CANNOT_OPEN_TABLE;
  } catch (const std::exception& Error) {
    // Every caught failure of opening a table counts as an unexpected one.
    Services->SetLastError(kVdbErrForeignException, Error.what());
    return VDB_ERR_EXCEPTION;
  }
}

VdbHandle VdbSessGetRltnHdl(VdbHandle Sess, const VdbChar* TableName) {
  const VdbHandle Found = VdbSessFindRltnHdl(Sess, TableName);
  if (Found != 0) return Found;
  return VdbSessOpenTable(Sess, TableName, nullptr, VDB_RIGHTS_WRITE, 0);
}

VdbResult VdbSessCloseUnneededTables(VdbHandle Sess) {
  return WithSession(Sess, true, [&](TVdbLocalSession& Session) -> VdbResult {
    Session.Catalog()->CloseUnneededTables(false, false);
    return 0;
  });
}

VdbResult VdbSessRegisterModifications(VdbHandle Sess) {
  return WithSession(Sess, true, [&](TVdbLocalSession& Session) -> VdbResult {
    bool Changed = false;
    for (std::int16_t RltnIdx = 1; RltnIdx <= TVdbCatalog::kMaxRelations; ++RltnIdx) {
      TVdbRelation* Relation = Session.Catalog()->GetRelation(static_cast<TVdbRelationIndex>(RltnIdx));
      if (Relation == nullptr) continue;
      TChangeListener Listener;
      Relation->AddListener(&Listener);
      const std::int16_t Checked = Relation->CheckUpdate();
      Relation->RemoveListener(&Listener);
      if (Checked < 0) return Checked;
      Changed = Changed || Listener.Changed;
    }
    return Changed ? 1 : 0;
  });
}

VdbResult VdbSessGetLastError(VdbHandle Sess, int16_t* Code, VdbChar* Msg, int32_t MaxLen) {
  TVdbLocalSession* Session = LocalSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  const TVdbLastError& Last = Session->Services()->LastError();
  if (Code != nullptr) *Code = static_cast<int16_t>(-Last.LastErrorCode());
  ToApiText(Last.LastErrorMsg(), Msg, MaxLen);
  return 0;
}

int32_t VdbSessGetLastErrorPos(VdbHandle Sess, VdbChar* Line, int32_t MaxLen) {
  TVdbLocalSession* Session = LocalSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  const TVdbLastError& Last = Session->Services()->LastError();
  ToApiText(Last.LastErrorLine(), Line, MaxLen);
  return Last.LastErrorPos();
}

VdbResult VdbSessCloseDb(VdbHandle Sess) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) -> VdbResult {
    ReleaseSessionStatements(Sess);
    TCursorOwners::Instance().ReleaseSession(Sess);
    if (Session.Services()->IsolationLevel() != tilNone) FinishTransaction(Session, false);
    return Session.CloseDb();
  });
}

VdbResult VdbSessDelete(VdbHandle Sess) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) -> VdbResult {
    ReleaseSessionStatements(Sess);
    TCursorOwners::Instance().ReleaseSession(Sess);
    // What a transaction left unfinished is rolled back, as when the database is closed.
    if (Session.GetIsOpen() && Session.Services()->IsolationLevel() != tilNone) FinishTransaction(Session, false);
    TSessionList::Instance().DeleteSession(Sess);
    return 0;
  });
}

VdbResult VdbSessCreateDatabase(VdbHandle Sess, int16_t DatabaseType, const VdbChar* Name,
                                const VdbChar* Key) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) -> VdbResult {
    if (Session.GetIsOpen()) return VDB_ERR_WRONG_CONTEXT;
    const auto Type = DatabaseType == VDB_DB_SINGLE_FILE ? dbtSingleFile : dbtDbDirectory;
    const std::int16_t Created = Session.CreateDatabase(Type, FromApiText(Name), FromApiText(Key), false);
    return Created < 0 ? static_cast<VdbResult>(VDB_ERR_FILE_EXISTS) : static_cast<VdbResult>(0);
  });
}

VdbResult VdbSessDeleteDatabase(VdbHandle Sess, const VdbChar* Path, const VdbChar* Key) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) -> VdbResult {
    if (Session.GetIsOpen()) return VDB_ERR_WRONG_CONTEXT;
    return Session.DeleteDatabase(FromApiText(Path), FromApiText(Key));
  });
}

VdbResult VdbSessBeginTransaction(VdbHandle Sess, int16_t IsolationLevel) {
  return WithSession(Sess, true, [&](TVdbLocalSession& Session) -> VdbResult {
    TVdbServices& Services = *Session.Services();
    if (Services.IsolationLevel() != tilNone) {
      Services.SetLastError(kVdbErrTransactionRunning, std::string_view());
      return VDB_ERR_TRANSACTION;
    }
    const bool Known = IsolationLevel >= tilDirtyRead && IsolationLevel <= tilRepeatableRead;
    Services.SetIsolationLevel(Known ? static_cast<TVdbIsolationLevel>(IsolationLevel) : tilReadCommited);
    return 0;
  });
}

VdbResult VdbSessEndTransaction(VdbHandle Sess) {
  return WithSession(Sess, true, [&](TVdbLocalSession& Session) { return FinishTransaction(Session, true); });
}

VdbResult VdbSessCancelTransaction(VdbHandle Sess) {
  return WithSession(Sess, true, [&](TVdbLocalSession& Session) { return FinishTransaction(Session, false); });
}

VdbResult VdbSessInTransaction(VdbHandle Sess) {
  return WithSession(Sess, true, [&](TVdbLocalSession& Session) -> VdbResult {
    return Session.Services()->IsolationLevel() != tilNone ? 1 : 0;
  });
}

VdbResult VdbSessBreak(VdbHandle Sess) {
  TVdbLocalSession* Session = LocalSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  Session->StopPrg = true;
  return 0;
}

VdbResult VdbSessTokenize(VdbHandle Sess, const VdbChar* /*Text*/) {
  return WithSession(Sess, false, [&](TVdbLocalSession& Session) {
    return NotSupported(Session.Services(), "the procedural language");
  });
}

}  // extern "C"
