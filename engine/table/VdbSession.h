// Engine sessions: the session base class that local and remote sessions derive from, and the
// process-wide session list that numbers them.
//
// Session handles are 1-based positions in the list: handle n lives in position n - 1. A new
// session takes the first free position or is appended, up to 100 sessions. Every operation of
// the list runs under its critical section, so sessions may be added and removed from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vdb {

inline constexpr std::int32_t kVdbMaxSessions = 100;

class TVdbSession {
 public:
  TVdbSession() = default;
  TVdbSession(const TVdbSession&) = delete;
  TVdbSession& operator=(const TVdbSession&) = delete;
  virtual ~TVdbSession() = default;

  // Virtual operations, in slot order.
  virtual bool GetIsOpen() = 0;
  // Sets the session up under its handle; 0 on success or a negative engine result.
  virtual std::int16_t Initialize(std::int16_t SessionHdl) = 0;
  virtual void Uninitialize() = 0;

  // The station number of the session; -1 until it is initialised.
  std::int64_t GetConnectionId() const { return FConnectionId; }

 protected:
  std::int64_t FConnectionId = -1;
};

// A station number for a new session: a random number from 1 to 2147483646.
std::uint32_t VdbDrawStationNumber();
// The identification name of a session that has none: "Conn" and a random number from 1 to 999.
std::string VdbDefaultIdentificationName();

class TSessionList {
 public:
  TSessionList() = default;
  TSessionList(const TSessionList&) = delete;
  TSessionList& operator=(const TSessionList&) = delete;
  // Frees the sessions still in the list without uninitialising them.
  ~TSessionList() = default;

  // The one list of the process.
  static TSessionList& Instance();

  // Takes the session into the first free position and answers its handle; -1 when the list
  // is full (the session stays with the caller then).
  std::int16_t AddSession(std::unique_ptr<TVdbSession>& Session);
  // Uninitialises the session and frees its position (also when Uninitialize fails, whose
  // exception is passed on); false for a handle that names no session.
  bool DeleteSession(std::int16_t SessionHdl);
  bool ExistsSessionHdl(std::int16_t SessionHdl) const;
  // The handle names a session, and that session is open.
  bool ValidSessionHdl(std::int16_t SessionHdl) const;
  // The session of a handle, or nullptr.
  TVdbSession* GetSession(std::int16_t SessionHdl) const;
  // The number of sessions in the list.
  std::int32_t GetCount() const;

 private:
  TVdbSession* Find(std::int16_t SessionHdl) const;

  mutable std::recursive_mutex FCriticalSection;  // Uninitialize may call back into the list
  std::vector<std::unique_ptr<TVdbSession>> FSessions;
};

}  // namespace vdb
