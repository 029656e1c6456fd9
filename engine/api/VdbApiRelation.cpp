// The relation operations of the API: names, record counts, indexes and table information of the
// relations a session's catalog holds open.
#include "api/VdbApi.h"
#include "api/VdbApiBoundary.h"
#include "base/VdbServices.h"
#include "table/VdbBaseTable.h"

using namespace vdb;
using namespace vdb::api;

namespace {

constexpr VdbResult kCannotClose = -49;  // "Could not close relation"

template <class TResult = VdbResult, class TOperation>
TResult WithRelation(VdbHandle Rltn, TOperation&& Operation, TResult EngineCode = VDB_ERR_ENGINE) {
  TVdbLocalSession* Session = nullptr;
  TVdbRelation* Relation = RelationOf(Rltn, &Session);
  if (Relation == nullptr) return static_cast<TResult>(VDB_ERR_INVALID_RELATION);
  return Guarded<TResult>(Session->Services(), [&]() -> TResult { return Operation(*Relation, *Session); },
                          EngineCode);
}

}  // namespace

extern "C" {

VdbResult VdbRltnGetName(VdbHandle Rltn, VdbChar* Name, int32_t MaxLen) {
  return WithRelation(Rltn, [&](TVdbRelation& Relation, TVdbLocalSession&) -> VdbResult {
    ToApiText(Relation.Name(), Name, MaxLen);
    return 0;
  });
}

int32_t VdbRltnRecordCount(VdbHandle Rltn) {
  return WithRelation<int32_t>(Rltn, [&](TVdbRelation& Relation, TVdbLocalSession&) -> int32_t {
    return Relation.RecordCount();
  });
}

int32_t VdbRltnGetIndexNames(VdbHandle Rltn, VdbChar* Names, int32_t MaxLen) {
  return WithRelation<int32_t>(Rltn, [&](TVdbRelation& Relation, TVdbLocalSession&) -> int32_t {
    std::string Joined;
    for (std::int16_t IndexNo = Relation.FirstIndexNo(); IndexNo <= Relation.LastIndexNo(); ++IndexNo) {
      const TVdbIndexFile* File = Relation.GetIndexFile(IndexNo);
      if (File == nullptr || File->Kind() != tikUser) continue;
      Joined += (Joined.empty() ? "" : ";") + File->Name();
    }
    return ToApiText(Joined, Names, MaxLen);
  });
}

VdbResult VdbRltnGetIndexDesc(VdbHandle Rltn, const VdbChar* IndexName, VdbChar* Specification,
                              int32_t MaxLen, int16_t* Unique) {
  return WithRelation(Rltn, [&](TVdbRelation& Relation, TVdbLocalSession&) -> VdbResult {
    const std::int16_t IndexNo = Relation.GetIndexNo(FromApiText(IndexName));
    if (IndexNo < 0) return VDB_ERR_NO_INDEX;
    const std::int16_t Opened = Relation.CheckIndexOpen(IndexNo);
    if (Opened < 0) return VDB_ERR_NO_INDEX;
    ToApiText(Relation.GetIndexSpecification(IndexNo), Specification, MaxLen);
    const TVdbSortDef* Def = Relation.GetIndexDefinition(IndexNo);
    if (Unique != nullptr) *Unique = Def != nullptr && Def->IsUnique ? 1 : 0;
    return 0;
  });
}

VdbResult VdbRltnCreateIndex(VdbHandle Rltn, const VdbChar* IndexName, const VdbChar* Specification,
                             int16_t Unique) {
  return WithRelation(Rltn, [&](TVdbRelation& Relation, TVdbLocalSession&) -> VdbResult {
    const std::int16_t IndexNo = Relation.CreateIndex(FromApiText(IndexName), FromApiText(Specification), Unique != 0);
    return IndexNo < 0 ? static_cast<VdbResult>(VDB_ERR_INVALID_INDEX_DEF) : IndexNo;
  });
}

VdbResult VdbRltnDeleteIndex(VdbHandle Rltn, const VdbChar* IndexName) {
  return WithRelation(Rltn, [&](TVdbRelation& Relation, TVdbLocalSession& Session) -> VdbResult {
    const std::int16_t IndexNo = Relation.GetIndexNo(FromApiText(IndexName));
    if (IndexNo < 0) return VDB_ERR_NO_INDEX;
    if (!Relation.MayDeleteIndex(IndexNo)) {
      Session.Services()->SetLastError(kVdbErrIndexInUse, std::string_view());
      return VDB_ERR_CANNOT_DELETE_INDEX;
    }
    return Relation.RemoveInd(IndexNo) < 0 ? static_cast<VdbResult>(VDB_ERR_CANNOT_DELETE_INDEX)
                                           : static_cast<VdbResult>(0);
  });
}

VdbResult VdbRltnGetTableInfo(VdbHandle Rltn, TVdbTableInfo* Info) {
  return WithRelation(Rltn, [&](TVdbRelation& Relation, TVdbLocalSession&) -> VdbResult {
    if (Info == nullptr) return VDB_ERR_WRONG_CONTEXT;
    *Info = TVdbTableInfo{};
    ToApiText(Relation.FullName(), Info->FileName, 255);
    Info->Level = Relation.Level();
    Info->Capacity = Relation.GetCapacity();
    if (const auto* Table = dynamic_cast<const TVdbBaseTable*>(&Relation)) {
      ToApiText(Table->CollationName(), Info->Language, 40);
      Info->EncryptionMethod = static_cast<int16_t>(Table->EncryptionMethod());
    }
    return 0;
  });
}

VdbResult VdbRltnClose(VdbHandle Rltn) {
  return WithRelation(Rltn, [&](TVdbRelation& Relation, TVdbLocalSession& Session) -> VdbResult {
    if (TCursorOwners::Instance().InUse(Session.Handle(), &Relation)) return kCannotClose;
    const std::int16_t Closed = Session.Catalog()->TryCloseRelation(TRelationList::GetRltnIdx(Rltn), true, true);
    return Closed < 0 ? kCannotClose : static_cast<VdbResult>(0);
  });
}

VdbResult VdbRltnCreateFullTextIndex(VdbHandle Rltn, const VdbChar* /*IndexName*/,
                                     const VdbChar* /*Columns*/) {
  return WithRelation(Rltn, [&](TVdbRelation&, TVdbLocalSession& Session) {
    return NotSupported(Session.Services(), "full-text indexes");
  });
}

}  // extern "C"
