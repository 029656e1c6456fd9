// The inside of the API boundary: finding the engine object a handle names, the one place where
// engine exceptions become result codes and the session's last error, the table of cursors the
// API owns, and the conversion of the API's UTF-16 text.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "api/VdbApi.h"
#include "query/VdbCursor.h"
#include "base/VdbErrors.h"
#include "session/VdbLocSess.h"

namespace vdb::api {

// Relation handles above (100 - 1) * 256 + 64 are never local.
inline constexpr std::int16_t kMaxRltnHdl = 25408;

// --- Text ---
// The caller's zero-terminated UTF-16 text as UTF-8 (a null pointer is empty).
std::string FromApiText(const VdbChar* Text);
// Copies Utf8 as UTF-16 into Buffer (MaxLen code units and a zero; nothing when Buffer is null
// or MaxLen negative); answers the length of the whole text in code units.
std::int32_t ToApiText(std::string_view Utf8, VdbChar* Buffer, std::int32_t MaxLen);

// --- Handles ---
// The local session of a handle, or null (no session, a remote one, a handle out of range).
TVdbLocalSession* LocalSession(VdbHandle Sess);
// The local session with an open database, or null.
TVdbLocalSession* OpenSession(VdbHandle Sess);
// The active relation of a relation handle and its session, or null.
TVdbRelation* RelationOf(VdbHandle Rltn, TVdbLocalSession** Session = nullptr);

// The cursors the API created: a cursor belongs to its handle's slot from VdbTableCreate to
// VdbTableDelete, and to the session that created it.
class TCursorOwners {
 public:
  static TCursorOwners& Instance();
  // Registers the cursor in the process-wide cursor table and keeps it; its handle, or 0 when
  // all 255 slots are taken (the cursor is freed then).
  VdbHandle Adopt(std::unique_ptr<TVdbCursor> Cursor, VdbHandle Sess);
  TVdbCursor* Find(VdbHandle Table, VdbHandle* Sess = nullptr) const;
  // Closes and frees the cursor of Table; false when the slot is empty.
  bool Release(VdbHandle Table);
  // Frees every cursor of the session.
  void ReleaseSession(VdbHandle Sess);
  // Whether a cursor of the session reads relation Rltn.
  bool InUse(VdbHandle Sess, const TVdbRelation* Relation) const;

 private:
  struct TImpl;
  TCursorOwners();
  ~TCursorOwners();
  std::unique_ptr<TImpl> FImpl;
};

// The statements of a session are freed with its database (defined with the statement
// operations).
void ReleaseSessionStatements(VdbHandle Sess);

// --- The exception boundary ---
// Runs Operation; an engine exception is recorded in Services' last error and answers
// EngineCode (normally -100), any other exception is recorded as error 123 and answers -102.
template <class TResult, class TOperation>
TResult Guarded(TVdbServices* Services, TOperation&& Operation,
                TResult EngineCode = static_cast<TResult>(VDB_ERR_ENGINE)) {
  try {
    return Operation();
  } catch (const EVdbEngine& Error) {
    if (Services) Services->SetLastError(Error);
    return EngineCode;
  } catch (const std::exception& Error) {
    if (Services) Services->SetLastError(kVdbErrForeignException, Error.what());
    return static_cast<TResult>(VDB_ERR_EXCEPTION);
  } catch (...) {
    if (Services) Services->SetLastError(kVdbErrForeignException, "unknown exception");
    return static_cast<TResult>(VDB_ERR_EXCEPTION);
  }
}

// For the areas this engine does not provide: last error 187 naming Feature, -100.
VdbResult NotSupported(TVdbServices* Services, std::string_view Feature);

}  // namespace vdb::api
