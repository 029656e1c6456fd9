// The statement operations of the API and the process-wide statement list: slot n-1 holds the
// statement of handle n; a new statement takes the lowest empty slot. Handles from 256 on would
// be remote, so the 256th statement open at once is refused ("Out of memory").
#include <array>
#include <mutex>

#include "api/VdbApi.h"
#include "api/VdbApiBoundary.h"
#include "query/VdbStatement.h"
#include "base/VdbServices.h"

using namespace vdb;
using namespace vdb::api;

namespace {

constexpr int kMaxStatements = 255;

struct TStatementSlot {
  std::unique_ptr<TVdbStatement> Statement;
  VdbHandle Sess = 0;
};

struct TStatementList {
  std::mutex Lock;
  std::array<TStatementSlot, kMaxStatements> Slots;
};

TStatementList& Statements() {
  static TStatementList List;
  return List;
}

TVdbStatement* FindStatement(VdbHandle Stmt, VdbHandle& Sess) {
  if (Stmt < 1 || Stmt > kMaxStatements) return nullptr;
  TStatementList& List = Statements();
  std::lock_guard<std::mutex> Guard(List.Lock);
  TStatementSlot& Slot = List.Slots[static_cast<std::size_t>(Stmt - 1)];
  Sess = Slot.Sess;
  return Slot.Statement.get();
}

// Frees the statement of a slot outside the list's lock (unpreparing may take a while).
void FreeSlot(VdbHandle Stmt) {
  std::unique_ptr<TVdbStatement> Freed;
  {
    TStatementList& List = Statements();
    std::lock_guard<std::mutex> Guard(List.Lock);
    TStatementSlot& Slot = List.Slots[static_cast<std::size_t>(Stmt - 1)];
    Freed = std::move(Slot.Statement);
    Slot.Sess = 0;
  }
  if (Freed) Freed->Unprepare();
}

// The statement operations that run SQL record every caught exception as an unexpected one.
template <class TResult>
TResult Unexpected(TVdbServices* Services, const std::exception& Error) {
  Services->SetLastError(kVdbErrForeignException, Error.what());
  return static_cast<TResult>(VDB_ERR_EXCEPTION);
}

template <class TResult = VdbResult, class TOperation>
TResult WithStatement(VdbHandle Stmt, TOperation&& Operation, bool EveryFailureUnexpected = false) {
  VdbHandle Sess = 0;
  TVdbStatement* Statement = FindStatement(Stmt, Sess);
  TVdbLocalSession* Session = LocalSession(Sess);
  if (Statement == nullptr || Session == nullptr) return static_cast<TResult>(VDB_ERR_INVALID_STATEMENT);
  if (EveryFailureUnexpected) {
    try {
      return Operation(*Statement, *Session);
    } catch (const std::exception& Error) {
      return Unexpected<TResult>(Session->Services(), Error);
    }
  }
  return Guarded<TResult>(Session->Services(), [&]() -> TResult { return Operation(*Statement, *Session); });
}

}  // namespace

namespace vdb::api {

void ReleaseSessionStatements(VdbHandle Sess) {
  for (VdbHandle Stmt = 1; Stmt <= kMaxStatements; ++Stmt) {
    VdbHandle Owner = 0;
    if (FindStatement(Stmt, Owner) != nullptr && Owner == Sess) FreeSlot(Stmt);
  }
}

}  // namespace vdb::api

extern "C" {

VdbHandle VdbSessCreateStatement(VdbHandle Sess) {
  TVdbLocalSession* Session = OpenSession(Sess);
  if (Session == nullptr) return VDB_ERR_INVALID_SESSION;
  return Guarded<VdbHandle>(Session->Services(), [&]() -> VdbHandle {
    auto Statement = std::make_unique<TVdbStatement>(Session->Catalog());
    TStatementList& List = Statements();
    std::lock_guard<std::mutex> Guard(List.Lock);
    for (int I = 0; I < kMaxStatements; ++I) {
      TStatementSlot& Slot = List.Slots[static_cast<std::size_t>(I)];
      if (Slot.Statement) continue;
      Slot.Statement = std::move(Statement);
      Slot.Sess = Sess;
      return static_cast<VdbHandle>(I + 1);
    }
    return VDB_ERR_OUT_OF_MEMORY;
  });
}

VdbResult VdbStmtSetSqlText(VdbHandle Stmt, const VdbChar* Text) {
  return WithStatement(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession&) {
    return Statement.SetText(FromApiText(Text));
  }, true);
}

VdbResult VdbStmtAddParam(VdbHandle Stmt, const VdbChar* Name, int16_t Type, int32_t Size) {
  return WithStatement(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession&) {
    return Statement.AddParameter(FromApiText(Name), Type, Size);
  });
}

VdbResult VdbStmtClearParams(VdbHandle Stmt) {
  return WithStatement(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession&) -> VdbResult {
    Statement.ClearParams();
    return 0;
  });
}

VdbResult VdbStmtSetParam(VdbHandle Stmt, const VdbChar* Name, const VdbChar* Value, int32_t /*Size*/) {
  return WithStatement(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession&) {
    if (Value == nullptr) return Statement.SetParamValue(FromApiText(Name), nullptr, -1);
    const std::string Text = FromApiText(Value);
    return Statement.SetParamValue(FromApiText(Name), Text.data(), static_cast<std::int32_t>(Text.size()));
  });
}

VdbResult VdbStmtPrepare(VdbHandle Stmt, int16_t CursorType) {
  return WithStatement(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession&) -> VdbResult {
    switch (CursorType) {
      case VDB_CURSOR_STATIC: Statement.SetRequestedCursorType(tctStatic); break;
      case VDB_CURSOR_KEYSET: Statement.SetRequestedCursorType(tctKeySet); break;
      case VDB_CURSOR_LIVE: Statement.SetRequestedCursorType(tctLiveResult); break;
      default: break;  // the statement keeps its own setting
    }
    return Statement.Prepare();
  }, true);
}

int32_t VdbStmtExecute(VdbHandle Stmt) {
  return WithStatement<int32_t>(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession& Session) {
    Session.StopPrg = false;
    return Statement.Execute();
  }, true);
}

VdbHandle VdbStmtCreateResultTableHdl(VdbHandle Stmt) {
  return WithStatement<VdbHandle>(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession& Session) -> VdbHandle {
    const std::int16_t RltnIdx = Statement.ResultRltnIdx();
    if (RltnIdx <= 0) return 0;
    static const VdbChar kResultTable[] = {'R', 'e', 's', 'u', 'l', 't', 'T', 'a', 'b', 'l', 'e', 0};
    const VdbHandle Table = VdbTableCreate(Session.Catalog()->CalcRltnHdl(RltnIdx), kResultTable);
    const std::int16_t IndexNo = Statement.ResultIndexNo();
    if (Table <= 0 || (IndexNo & 0x80) != 0) return Table;
    TVdbCursor* Cursor = TCursorOwners::Instance().Find(Table);
    const TVdbIndexFile* Index = Cursor->Relation().GetIndexFile(IndexNo);
    if (Index != nullptr && Cursor->SetIndex(Index->Name(), false) < 0) {
      TCursorOwners::Instance().Release(Table);
      return VDB_ERR_NO_INDEX;
    }
    return Table;
  });
}

int32_t VdbStmtGetPlan(VdbHandle Stmt, VdbChar* Plan, int32_t MaxLen) {
  return WithStatement<int32_t>(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession&) {
    return ToApiText(Statement.PlanText(), Plan, MaxLen);
  });
}

VdbResult VdbStmtUnprepare(VdbHandle Stmt) {
  return WithStatement(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession&) -> VdbResult {
    Statement.Unprepare();
    return 0;
  });
}

VdbResult VdbStmtDelete(VdbHandle Stmt) {
  return WithStatement(Stmt, [&](TVdbStatement&, TVdbLocalSession&) -> VdbResult {
    FreeSlot(Stmt);
    return 0;
  });
}

VdbResult VdbStmtGetErrorPos(VdbHandle Stmt, int32_t* Row, int32_t* Col) {
  return WithStatement(Stmt, [&](TVdbStatement& Statement, TVdbLocalSession&) -> VdbResult {
    if (Row != nullptr) *Row = Statement.LastErrorRow();
    if (Col != nullptr) *Col = Statement.LastErrorCol();
    return 0;
  });
}

}  // extern "C"
