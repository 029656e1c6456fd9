#include "table/VdbSession.h"

#include <random>

namespace vdb {

namespace {

std::int32_t RandomBetween(std::int32_t Low, std::int32_t High) {
  thread_local std::mt19937 Generator{std::random_device{}()};
  return std::uniform_int_distribution<std::int32_t>(Low, High)(Generator);
}

}  // namespace

std::uint32_t VdbDrawStationNumber() {
  return static_cast<std::uint32_t>(RandomBetween(1, 2147483646));
}

std::string VdbDefaultIdentificationName() {
  return "Conn" + std::to_string(RandomBetween(1, 999));
}

TSessionList& TSessionList::Instance() {
  static TSessionList List;
  return List;
}

TVdbSession* TSessionList::Find(std::int16_t SessionHdl) const {
  if (SessionHdl < 1 || SessionHdl > static_cast<std::int32_t>(FSessions.size())) return nullptr;
  return FSessions[static_cast<std::size_t>(SessionHdl - 1)].get();
}

std::int16_t TSessionList::AddSession(std::unique_ptr<TVdbSession>& Session) {
  if (!Session) return -1;
  std::lock_guard<std::recursive_mutex> Lock(FCriticalSection);
  std::size_t Position = 0;
  while (Position < FSessions.size() && FSessions[Position]) ++Position;
  if (Position >= static_cast<std::size_t>(kVdbMaxSessions)) return -1;
  if (Position == FSessions.size()) FSessions.emplace_back();
  FSessions[Position] = std::move(Session);
  return static_cast<std::int16_t>(Position + 1);
}

bool TSessionList::DeleteSession(std::int16_t SessionHdl) {
  std::lock_guard<std::recursive_mutex> Lock(FCriticalSection);
  if (!Find(SessionHdl)) return false;
  // Taken out first: a failing Uninitialize still frees the position.
  std::unique_ptr<TVdbSession> Session =
      std::move(FSessions[static_cast<std::size_t>(SessionHdl - 1)]);
  while (!FSessions.empty() && !FSessions.back()) FSessions.pop_back();
  Session->Uninitialize();
  return true;
}

bool TSessionList::ExistsSessionHdl(std::int16_t SessionHdl) const {
  std::lock_guard<std::recursive_mutex> Lock(FCriticalSection);
  return Find(SessionHdl) != nullptr;
}

bool TSessionList::ValidSessionHdl(std::int16_t SessionHdl) const {
  std::lock_guard<std::recursive_mutex> Lock(FCriticalSection);
  TVdbSession* Session = Find(SessionHdl);
  return Session && Session->GetIsOpen();
}

TVdbSession* TSessionList::GetSession(std::int16_t SessionHdl) const {
  std::lock_guard<std::recursive_mutex> Lock(FCriticalSection);
  return Find(SessionHdl);
}

std::int32_t TSessionList::GetCount() const {
  std::lock_guard<std::recursive_mutex> Lock(FCriticalSection);
  std::int32_t Count = 0;
  for (const auto& Session : FSessions) Count += Session ? 1 : 0;
  return Count;
}

}  // namespace vdb
