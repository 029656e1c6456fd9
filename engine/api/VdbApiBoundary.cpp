#include "api/VdbApiBoundary.h"

#include <array>
#include <mutex>

#include "base/VdbServices.h"
#include "storage/kxMemory.h"
#include "table/VdbRelation.h"
#include "table/VdbSession.h"

namespace vdb::api {

// --- Text -----------------------------------------------------------------------------------------

std::string FromApiText(const VdbChar* Text) {
  if (Text == nullptr) return {};
  std::u16string Wide;
  for (const VdbChar* P = Text; *P != 0; ++P) Wide.push_back(static_cast<char16_t>(*P));
  return TkxMemory::Utf16ToUtf8(Wide);
}

std::int32_t ToApiText(std::string_view Utf8, VdbChar* Buffer, std::int32_t MaxLen) {
  const std::u16string Wide = TkxMemory::Utf8ToUtf16(Utf8);
  const auto Length = static_cast<std::int32_t>(Wide.size());
  if (Buffer == nullptr || MaxLen < 0) return Length;
  const std::int32_t Copied = std::min(Length, MaxLen);
  for (std::int32_t I = 0; I < Copied; ++I) Buffer[I] = static_cast<VdbChar>(Wide[static_cast<std::size_t>(I)]);
  Buffer[Copied] = 0;
  return Length;
}

// --- Handles --------------------------------------------------------------------------------------

TVdbLocalSession* LocalSession(VdbHandle Sess) {
  if (Sess < 1 || Sess > kVdbMaxSessions) return nullptr;
  return dynamic_cast<TVdbLocalSession*>(TSessionList::Instance().GetSession(Sess));
}

TVdbLocalSession* OpenSession(VdbHandle Sess) {
  TVdbLocalSession* Session = LocalSession(Sess);
  return Session != nullptr && Session->GetIsOpen() ? Session : nullptr;
}

TVdbRelation* RelationOf(VdbHandle Rltn, TVdbLocalSession** Session) {
  if (Rltn < 1 || Rltn > kMaxRltnHdl) return nullptr;
  TVdbLocalSession* Owner = OpenSession(TRelationList::GetSessionHandle(Rltn));
  if (Owner == nullptr) return nullptr;
  TVdbRelation* Relation = TRelationList::Instance().GetRelation(Rltn);
  if (Relation == nullptr || !Relation->Active()) return nullptr;
  if (Session != nullptr) *Session = Owner;
  return Relation;
}

// --- Cursors --------------------------------------------------------------------------------------

struct TCursorOwners::TImpl {
  struct TSlot {
    std::unique_ptr<TVdbCursor> Cursor;
    VdbHandle Sess = 0;
  };
  mutable std::mutex Lock;
  std::array<TSlot, TVdbCursor::kMaxCursors> Slots;
};

TCursorOwners::TCursorOwners() : FImpl(std::make_unique<TImpl>()) {}
TCursorOwners::~TCursorOwners() = default;

TCursorOwners& TCursorOwners::Instance() {
  static TCursorOwners Owners;
  return Owners;
}

VdbHandle TCursorOwners::Adopt(std::unique_ptr<TVdbCursor> Cursor, VdbHandle Sess) {
  const VdbHandle Table = Cursor->RegisterHandle();
  if (Table == 0) return 0;
  std::lock_guard<std::mutex> Guard(FImpl->Lock);
  TImpl::TSlot& Slot = FImpl->Slots[static_cast<std::size_t>(Table - 1)];
  Slot.Cursor = std::move(Cursor);
  Slot.Sess = Sess;
  return Table;
}

TVdbCursor* TCursorOwners::Find(VdbHandle Table, VdbHandle* Sess) const {
  if (Table < 1 || Table > TVdbCursor::kMaxCursors) return nullptr;
  std::lock_guard<std::mutex> Guard(FImpl->Lock);
  const TImpl::TSlot& Slot = FImpl->Slots[static_cast<std::size_t>(Table - 1)];
  if (Sess != nullptr) *Sess = Slot.Sess;
  return Slot.Cursor.get();
}

bool TCursorOwners::Release(VdbHandle Table) {
  if (Table < 1 || Table > TVdbCursor::kMaxCursors) return false;
  std::unique_ptr<TVdbCursor> Freed;
  {
    std::lock_guard<std::mutex> Guard(FImpl->Lock);
    TImpl::TSlot& Slot = FImpl->Slots[static_cast<std::size_t>(Table - 1)];
    Freed = std::move(Slot.Cursor);
    Slot.Sess = 0;
  }
  if (!Freed) return false;
  Freed->Close();
  return true;
}

void TCursorOwners::ReleaseSession(VdbHandle Sess) {
  for (VdbHandle Table = 1; Table <= TVdbCursor::kMaxCursors; ++Table) {
    VdbHandle Owner = 0;
    if (Find(Table, &Owner) != nullptr && Owner == Sess) Release(Table);
  }
}

bool TCursorOwners::InUse(VdbHandle Sess, const TVdbRelation* Relation) const {
  std::lock_guard<std::mutex> Guard(FImpl->Lock);
  for (const TImpl::TSlot& Slot : FImpl->Slots) {
    if (Slot.Cursor && Slot.Sess == Sess && &Slot.Cursor->Relation() == Relation) return true;
  }
  return false;
}

VdbResult NotSupported(TVdbServices* Services, std::string_view Feature) {
  if (Services != nullptr) Services->SetLastError(kVdbErrNotSupported, Feature);
  return VDB_ERR_ENGINE;
}

}  // namespace vdb::api
