// The table operations of the API: cursors on relations, walking, record images, field text,
// memos and blobs, the write path, order, ranges, locating, marks and record ids.
#include <cstring>

#include "api/VdbApi.h"
#include "api/VdbApiBoundary.h"
#include "base/VdbServices.h"
#include "sql/VplDatabase.h"
#include "storage/kxMemory.h"
#include "table/VdbBaseTable.h"
#include "table/kxStrUtils.h"

using namespace vdb;
using namespace vdb::api;

namespace {


template <class TResult = VdbResult, class TOperation>
TResult WithTable(VdbHandle Table, TOperation&& Operation, TResult EngineCode = VDB_ERR_ENGINE) {
  VdbHandle Sess = 0;
  TVdbCursor* Cursor = TCursorOwners::Instance().Find(Table, &Sess);
  TVdbLocalSession* Session = LocalSession(Sess);
  if (Cursor == nullptr || Session == nullptr) return static_cast<TResult>(VDB_ERR_INVALID_TABLE);
  return Guarded<TResult>(Session->Services(), [&]() -> TResult { return Operation(*Cursor, *Session); },
                          EngineCode);
}

bool IsMemoType(std::int16_t Type) { return Type == kVdbMemoCode || Type == kVdbWideMemoCode; }
bool IsLongType(std::int16_t Type) { return IsMemoType(Type) || Type == kVdbBlobCode; }

std::int16_t TypeOf(const TVdbRelation& Relation, std::int16_t FieldNo) {
  return Relation.GetDataType(FieldNo)->ColumnType();
}

// The code page of the 8-bit text of a column: its own collation's, else that of the table the
// column comes from (memo columns of older tables carry none of their own).
std::uint32_t CodePageOf(TVdbLocalSession& Session, TVdbRelation& Relation, std::int16_t FieldNo) {
  std::string Collation = Relation.GetColumnDef(FieldNo).GetCollation();
  if (Collation.empty()) {
    const TVdbRelation* Base = &Relation;
    TVdbRelationIndex BaseRltnIdx = 0;
    std::int16_t BaseFieldNo = 0;
    if (Relation.GetBaseField(FieldNo, BaseRltnIdx, BaseFieldNo) >= 0 && BaseRltnIdx > 0) {
      if (const TVdbRelation* Found = Session.Catalog()->GetRelation(BaseRltnIdx)) Base = Found;
    }
    if (const auto* Table = dynamic_cast<const TVdbBaseTable*>(Base)) Collation = Table->CollationName();
  }
  std::uint32_t LocaleId = kVdbEngineLocale;
  TStrCmpOptions Options{};
  if (!Collation.empty() && !ParseCollationName(Collation, LocaleId, Options)) LocaleId = kVdbEngineLocale;
  return LocaleCodePage(LocaleId);
}

std::string Hex(const std::string& Bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string Text;
  for (const char Byte : Bytes) {
    const auto Value = static_cast<unsigned char>(Byte);
    Text += kDigits[Value >> 4];
    Text += kDigits[Value & 15];
  }
  return Text;
}

// Turns a failure the accessor recorded in the last error back into an exception.
[[noreturn]] void RaiseLastError(TVdbLocalSession& Session) {
  throw EVdbEngine::CreateMsg(Session.Services()->LastErrorCode(), Session.Services()->LastErrorMsg());
}

// The value of a memo, wide memo or blob column of the current record as UTF-8; false for none.
bool LongFieldText(TVdbLocalSession& Session, TVdbCursor& Cursor, std::int16_t FieldNo, std::string& Text) {
  TVdbAccessor& Accessor = Cursor.Accessor();
  const std::int16_t Type = TypeOf(Cursor.Relation(), FieldNo);
  if (Accessor.EditState() == esBrowse &&
      Cursor.Relation().GetBlockIdx(Accessor.GetRecordPtr(), FieldNo) == 0)
    return false;
  if (Type == kVdbWideMemoCode) {
    std::u16string Wide;
    if (Accessor.GetWideMemo(FieldNo, Wide, -1) < 0) RaiseLastError(Session);
    Text = TkxMemory::Utf16ToUtf8(Wide);
    return true;
  }
  std::string Bytes;
  if (Type == kVdbMemoCode) {
    if (Accessor.GetMemo(FieldNo, Bytes, -1) < 0) RaiseLastError(Session);
    Text = AnsiToUtf8(Bytes, CodePageOf(Session, Cursor.Relation(), FieldNo));
    return true;
  }
  std::int16_t BlobType = 0;
  const std::int32_t Size = Accessor.InitGetBlob(FieldNo, -1, BlobType);
  if (Size < 0) RaiseLastError(Session);
  Bytes.resize(static_cast<std::size_t>(Size));
  if (Size > 0) {
    Accessor.GetBlobChunk(0, Size, Bytes.data());
    Accessor.DoneGetBlob();
  }
  Text = Hex(Bytes);
  return true;
}

// The write path's results: the detail is in the last error, the code names the operation.
VdbResult WriteResult(TVdbLocalSession& Session, std::int16_t Result, VdbResult Failure) {
  if (Result >= 0) return 0;
  if (Session.Services()->LastErrorCode() == kVdbErrNotUnique) return -26;  // "Record violates unique constraint"
  return Failure;
}

VdbResult RequireEditing(TVdbCursor& Cursor) {
  return Cursor.Accessor().EditState() == esBrowse ? static_cast<VdbResult>(VDB_ERR_NOT_EDITING) : 0;
}

void StageLongValue(TVdbCursor& Cursor, std::int16_t FieldNo, std::string Bytes,
                    std::int16_t BlobType) {
  TVdbAccessor& Accessor = Cursor.Accessor();
  switch (TypeOf(Cursor.Relation(), FieldNo)) {
    case kVdbMemoCode:
      Accessor.SetPendingMemo(FieldNo, std::move(Bytes));
      break;
    case kVdbWideMemoCode: {
      std::u16string Wide(Bytes.size() / 2, u'\0');
      std::memcpy(Wide.data(), Bytes.data(), Wide.size() * 2);
      Accessor.SetPendingWideMemo(FieldNo, std::move(Wide));
      break;
    }
    default:
      Accessor.SetPendingBlob(FieldNo, std::move(Bytes), BlobType);
  }
}

// A cursor filter from SQL text. A compiled condition reads the columns of the accessor it was
// prepared on, while a static filter is collected by another accessor of the cursor: the text is
// prepared again for each accessor that asks (the last one is kept; same accessor and relation
// means the same columns).
class TTextFilter : public TVdbAccessorFilter {
 public:
  TTextFilter(std::string Text, TVdbAccessor& Accessor) : FText(std::move(Text)) { Bind(Accessor); }
  bool IsSatisfied(TVdbAccessor& Accessor) override { return Bind(Accessor).IsSatisfied(Accessor); }

 private:
  TVdbSqlCondition& Bind(TVdbAccessor& Accessor) {
    if (FAccessor != &Accessor || FRelation != &Accessor.Relation()) {
      FCondition = std::make_unique<TVdbSqlCondition>(FText, Accessor);
      FAccessor = &Accessor;
      FRelation = &Accessor.Relation();
    }
    return *FCondition;
  }
  std::string FText;
  std::unique_ptr<TVdbSqlCondition> FCondition;
  const TVdbAccessor* FAccessor = nullptr;
  const TVdbRelation* FRelation = nullptr;
};

}  // namespace

extern "C" {

VdbHandle VdbTableCreate(VdbHandle Rltn, const VdbChar* Name) {
  TVdbLocalSession* Session = nullptr;
  TVdbRelation* Relation = RelationOf(Rltn, &Session);
  if (Relation == nullptr) return VDB_ERR_INVALID_RELATION;
  return Guarded<VdbHandle>(Session->Services(), [&]() -> VdbHandle {
    auto Cursor = std::make_unique<TVdbCursor>(0, Session->Services(), *Relation,
                                               TRelationList::GetRltnIdx(Rltn), FromApiText(Name));
    const std::int16_t Opened = Cursor->Open();
    if (Opened < 0) return Opened;
    const VdbHandle Table = TCursorOwners::Instance().Adopt(std::move(Cursor), Session->Handle());
    return Table == 0 ? static_cast<VdbHandle>(VDB_ERR_OUT_OF_MEMORY) : Table;
  });
}

VdbResult VdbTableDelete(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) -> VdbResult {
    const bool Temporary = Cursor.Relation().Temporary;
    TCursorOwners::Instance().Release(Table);
    if (Temporary) Session.Catalog()->CloseUnneededTables(true, false);
    return 0;
  });
}

VdbHandle VdbTableGetRltnHdl(VdbHandle Table) {
  return WithTable<VdbHandle>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) -> VdbHandle {
    return Session.Catalog()->CalcRltnHdl(Cursor.RltnIdx());
  });
}

VdbResult VdbTableGetNumFields(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    return Cursor.Relation().GetColumnCount();
  });
}

VdbResult VdbTableGetFieldSpec(VdbHandle Table, int16_t FieldNo, TVdbFieldSpec* Spec) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    if (Spec == nullptr) return VDB_ERR_WRONG_CONTEXT;
    TVdbRelation& Relation = Cursor.Relation();
    const TVdbColumnDef& Column = Relation.GetColumnDef(FieldNo);
    *Spec = TVdbFieldSpec{};
    Spec->No = FieldNo;
    ToApiText(Column.Name, Spec->Name, 40);
    Spec->Options = static_cast<uint8_t>(Column.Options & 0xFF);
    ToApiText(Column.GetCollation(), Spec->SelectOrLink, 2000);
    const TVdbDataType* Type = Relation.GetDataType(FieldNo);
    Spec->FldType = Type->ColumnType();
    if (const auto* Text = dynamic_cast<const TVdbStringType*>(Type)) Spec->Param = Text->MaxLength();
    if (const auto* Float = dynamic_cast<const TVdbFloatType*>(Type)) Spec->Param = Float->Scale();
    Spec->InternalPosition = static_cast<int16_t>(Relation.GetFieldPos(FieldNo));
    Spec->InternalSize = static_cast<int16_t>(Relation.GetFieldSize(FieldNo));
    return 0;
  });
}

VdbResult VdbTableGetDataType(VdbHandle Table, int16_t FieldNo) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    return TypeOf(Cursor.Relation(), FieldNo);
  });
}

VdbResult VdbTableGetFieldName(VdbHandle Table, int16_t FieldNo, VdbChar* Name, int32_t MaxLen) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    ToApiText(Cursor.Relation().GetFieldName(FieldNo), Name, MaxLen);
    return 0;
  });
}

VdbResult VdbTableGetFieldNo(VdbHandle Table, const VdbChar* Name) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) -> VdbResult {
    return Cursor.Relation().FindColumn(FromApiText(Name), Session.Services()->CaseSensitive());
  });
}

VdbResult VdbTableGetRltnVersion(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    return Cursor.Relation().Level();
  });
}

VdbResult VdbTableMoveBy(VdbHandle Table, int32_t Delta) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.MoveBy(Delta); });
}

VdbResult VdbTableFirst(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.First(); });
}

VdbResult VdbTableLast(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.Last(); });
}

int32_t VdbTableGetRowCount(VdbHandle Table) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.GetRowCount(); });
}

int32_t VdbTableGetRecNo(VdbHandle Table) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) {
    return Cursor.GetPhysicalRecordNo();
  });
}

int32_t VdbTableGetSequenceNo(VdbHandle Table) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.GetSequenceNo(); });
}

int32_t VdbTableSetRecNo(VdbHandle Table, int32_t RecordNo) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> int32_t {
    const std::int16_t Result = Cursor.SetRecordNo(RecordNo);
    return Result < 0 ? Result : Cursor.GetPhysicalRecordNo();
  });
}

int32_t VdbTableSetSequenceNo(VdbHandle Table, int32_t SeqNo) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.SetSequenceNo(SeqNo); });
}

VdbResult VdbTableGetRecord(VdbHandle Table, void* Buffer, int32_t Size) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    if (Buffer == nullptr || Size < Cursor.Relation().RecordSize()) return VDB_ERR_BUFFER_TOO_SMALL;
    return Cursor.GetRecord(static_cast<std::uint8_t*>(Buffer));
  });
}

VdbResult VdbTableSetRecord(VdbHandle Table, const void* Buffer, int32_t Size) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    if (const VdbResult Editing = RequireEditing(Cursor); Editing < 0) return Editing;
    const std::int32_t RecordSize = Cursor.Relation().RecordSize();
    if (Buffer == nullptr || Size < RecordSize) return VDB_ERR_BUFFER_TOO_SMALL;
    std::memcpy(Cursor.Accessor().GetWorkRecordPtr(), Buffer, static_cast<std::size_t>(RecordSize));
    return 0;
  });
}

VdbResult VdbTableGetRecordSize(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    return static_cast<VdbResult>(Cursor.Relation().RecordSize());
  });
}

VdbResult VdbTableCanModify(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    return Cursor.Relation().ReadOnly() ? 0 : 1;
  });
}

VdbResult VdbTableIsSequenced(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    return Cursor.IsSequenced() ? 1 : 0;
  });
}

int32_t VdbTableInitGetBlob(VdbHandle Table, int16_t FieldNo, int16_t* BlobType) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> int32_t {
    std::int16_t Type = 0;
    const std::int32_t Size = Cursor.Accessor().InitGetBlob(FieldNo, -1, Type);
    if (BlobType != nullptr) *BlobType = Type;
    return Size < 0 ? static_cast<int32_t>(VDB_ERR_ENGINE) : Size;
  });
}

int32_t VdbTablePerformGetBlob(VdbHandle Table, void* Buffer, int32_t Size) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> int32_t {
    if (Buffer == nullptr || Size < 0) return VDB_ERR_BUFFER_TOO_SMALL;
    const std::int32_t Copied = Cursor.Accessor().GetBlobChunk(0, Size, Buffer);
    Cursor.Accessor().DoneGetBlob();
    return Copied < 0 ? static_cast<int32_t>(VDB_ERR_NO_BLOB) : Copied;
  });
}

VdbResult VdbTableSetBlob(VdbHandle Table, int16_t FieldNo, const void* Data, int32_t Size, int16_t BlobType) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    if (const VdbResult Editing = RequireEditing(Cursor); Editing < 0) return Editing;
    if (!IsLongType(TypeOf(Cursor.Relation(), FieldNo))) return VDB_ERR_WRONG_TYPE;
    if (Size < 0 || (Size > 0 && Data == nullptr)) return VDB_ERR_WRONG_CONTEXT;
    std::string Bytes = Size > 0 ? std::string(static_cast<const char*>(Data), static_cast<std::size_t>(Size))
                                 : std::string();
    StageLongValue(Cursor, FieldNo, std::move(Bytes), BlobType);
    return 0;
  });
}

int32_t VdbTableGetFieldText(VdbHandle Table, int16_t FieldNo, VdbChar* Text, int32_t MaxLen, int16_t* IsNull) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) -> int32_t {
    TVdbRelation& Relation = Cursor.Relation();
    std::string Value;
    bool Assigned = false;
    if (IsLongType(TypeOf(Relation, FieldNo))) {
      Assigned = LongFieldText(Session, Cursor, FieldNo, Value);
    } else {
      Assigned = Relation.GetAsStringA(Cursor.Accessor().GetRecordPtr(), FieldNo, Value);
    }
    if (IsNull != nullptr) *IsNull = Assigned ? 0 : 1;
    return ToApiText(Value, Text, MaxLen);
  });
}

VdbResult VdbTableSetFieldText(VdbHandle Table, int16_t FieldNo, const VdbChar* Text) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) -> VdbResult {
    if (const VdbResult Editing = RequireEditing(Cursor); Editing < 0) return Editing;
    TVdbRelation& Relation = Cursor.Relation();
    const std::int16_t Type = TypeOf(Relation, FieldNo);
    if (IsLongType(Type)) {
      const std::string Utf8 = FromApiText(Text);
      std::string Bytes;
      if (Type == kVdbMemoCode) Bytes = Utf8ToAnsi(Utf8, CodePageOf(Session, Relation, FieldNo));
      else if (Type == kVdbWideMemoCode) {
        const std::u16string Wide = TkxMemory::Utf8ToUtf16(Utf8);
        Bytes.assign(reinterpret_cast<const char*>(Wide.data()), Wide.size() * 2);
      } else Bytes = Utf8;
      StageLongValue(Cursor, FieldNo, std::move(Bytes), 0);
      return 0;
    }
    std::uint8_t* Work = Cursor.Accessor().GetWorkRecordPtr();
    if (Text == nullptr) Relation.SetNull(Work, FieldNo);
    else Relation.SetAsStringA(Work, FieldNo, FromApiText(Text));
    return 0;
  });
}

VdbResult VdbTableAppend(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) {
    return WriteResult(Session, Cursor.Append(), -25);
  });
}

VdbResult VdbTableAppendConfirm(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) -> VdbResult {
    if (Cursor.Accessor().EditState() != esAppend) return VDB_ERR_NOT_EDITING;
    return WriteResult(Session, Cursor.Post(), -25);
  });
}

VdbResult VdbTableAppendCancel(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    if (Cursor.Accessor().EditState() != esAppend) return VDB_ERR_NOT_EDITING;
    return Cursor.Cancel() < 0 ? static_cast<VdbResult>(VDB_ERR_ENGINE) : 0;
  });
}

VdbResult VdbTableDeleteRecord(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) {
    return WriteResult(Session, Cursor.DeleteRecord(), -20);
  });
}

VdbResult VdbTableEdit(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) {
    return WriteResult(Session, Cursor.Edit(), VDB_ERR_ENGINE);
  });
}

VdbResult VdbTableEditConfirm(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession& Session) -> VdbResult {
    if (Cursor.Accessor().EditState() != esEdit) return VDB_ERR_NOT_EDITING;
    return WriteResult(Session, Cursor.Post(), -25);
  });
}

VdbResult VdbTableEditCancel(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    if (Cursor.Accessor().EditState() != esEdit) return VDB_ERR_NOT_EDITING;
    return Cursor.Cancel() < 0 ? static_cast<VdbResult>(VDB_ERR_ENGINE) : 0;
  });
}

VdbResult VdbTableSetIndex(VdbHandle Table, const VdbChar* IndexName, int16_t Reverse) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) {
    return Cursor.SetIndex(FromApiText(IndexName), Reverse != 0);
  });
}

VdbResult VdbTableSetSortOrder(VdbHandle Table, const VdbChar* SortOrder) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) {
    return Cursor.SetSortOrder(FromApiText(SortOrder));
  });
}

VdbResult VdbTableSetRange(VdbHandle Table, const void* LowerRecord, const void* UpperRecord,
                           int16_t FieldCountEnd, int16_t FieldCountStart) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) {
    return Cursor.SetUserRange(static_cast<const std::uint8_t*>(LowerRecord),
                               static_cast<const std::uint8_t*>(UpperRecord), FieldCountEnd, FieldCountStart);
  });
}

VdbResult VdbTableClearRange(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.ClearUserRange(); });
}

int32_t VdbTableLocateRec1(VdbHandle Table, const void* Record) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> int32_t {
    TVdbAccessor& Accessor = Cursor.Accessor();
    if (Accessor.CurrentAccessType() != tatIndex) return VDB_ERR_NO_INDEX;
    if (Record == nullptr) return VDB_ERR_WRONG_CONTEXT;
    const std::int32_t RecNo =
        Cursor.Relation().LocateRecord(Accessor.CurrentIndexNo(), static_cast<const std::uint8_t*>(Record));
    if (RecNo <= 0) return 0;
    const std::int16_t Moved = Cursor.SetRecordNo(RecNo);
    return Moved < 0 ? Moved : RecNo;
  });
}

VdbResult VdbTableAddMark(VdbHandle Table, int32_t RecordNo) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    Cursor.AddMark(RecordNo);
    return 0;
  });
}

VdbResult VdbTableRemoveMark(VdbHandle Table, int32_t RecordNo) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    Cursor.RemoveMark(RecordNo);
    return 0;
  });
}

VdbResult VdbTableToggleMark(VdbHandle Table, int32_t RecordNo) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    Cursor.ToggleMark(RecordNo);
    return 0;
  });
}

VdbResult VdbTableIsMarked(VdbHandle Table, int32_t RecordNo) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    return Cursor.IsMarked(RecordNo) ? 1 : 0;
  });
}

int32_t VdbTableGetNumMarks(VdbHandle Table) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.CountMarks(); });
}

VdbResult VdbTableUnmark(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    Cursor.ClearMarks();
    return 0;
  });
}

VdbResult VdbTableGotoMark(VdbHandle Table, int32_t Delta, int16_t Restart) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.GotoMark(Delta, Restart != 0); });
}

int32_t VdbTableGetAutoNo(VdbHandle Table) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) {
    return Cursor.Relation().ReadNextRecordId();
  });
}

int32_t VdbTableGotoAutoNo(VdbHandle Table, int32_t AutoNo) {
  return WithTable<int32_t>(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> int32_t {
    const std::int32_t RecNo = Cursor.Relation().FindRecordId(AutoNo);
    if (RecNo <= 0) return 0;
    const std::int16_t Moved = Cursor.SetRecordNo(RecNo);
    return Moved < 0 ? Moved : RecNo;
  });
}

VdbResult VdbTableSetSQLFilter(VdbHandle Table, const VdbChar* Filter, uint16_t Options) {
  constexpr VdbResult kInvalidCondition = -44;  // "Search-condition is invalid"
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    const std::string Text = FromApiText(Filter);
    std::shared_ptr<TVdbAccessorFilter> Condition;
    if (Text.find_first_not_of(" \t\r\n") != std::string::npos)
      Condition = std::make_shared<TTextFilter>(Text, Cursor.Accessor());
    // Prepared only: VdbTableActivateFilter puts it into force.
    return Cursor.SetUserFilter(std::move(Condition), Options, true);
  }, kInvalidCondition);
}

VdbResult VdbTableActivateFilter(VdbHandle Table, int16_t On) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) {
    return On != 0 ? Cursor.ActivateFilter() : Cursor.DeactivateFilter();
  });
}

VdbResult VdbTableSetChangeProc(VdbHandle Table, TVdbChangeProc Proc, VdbHandle DbHdl) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) -> VdbResult {
    if (Proc == nullptr) {
      Cursor.SetOnChangeProc(nullptr);
      return 0;
    }
    Cursor.SetOnChangeProc([Proc](std::int16_t Db, std::int16_t Hdl, std::int32_t Deleted, std::int32_t Moved) {
      Proc(Db, Hdl, Deleted, Moved);
    }, DbHdl);
    return 0;
  });
}

VdbResult VdbTableRefresh(VdbHandle Table) {
  return WithTable(Table, [&](TVdbCursor& Cursor, TVdbLocalSession&) { return Cursor.Refresh(true); });
}

VdbResult VdbTableBatchMove(VdbHandle Table, VdbHandle /*Source*/, int16_t /*Mode*/) {
  return WithTable(Table, [&](TVdbCursor&, TVdbLocalSession& Session) {
    return NotSupported(Session.Services(), "batch moves");
  });
}

}  // extern "C"
