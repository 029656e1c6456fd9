#include "VdbDataSet.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "VdbDatabase.h"
#include "VdbText.h"
#include "table/kxStrUtils.h"

using vdbtext::Format;
using vdbtext::TApiText;

// --- Types ---------------------------------------------------------------------------------------

TVdbDataType DataTypeOfColumn(int16_t columnType) {
  switch (columnType & 0xFF) {
    case VDB_FT_STRING: return TVdbDataType::dtString;
    case VDB_FT_SMALLINT: return TVdbDataType::dtSmallInt;
    case VDB_FT_FLOAT: return TVdbDataType::dtFloat;
    case VDB_FT_BYTE: return TVdbDataType::dtByte;
    case VDB_FT_BOOLEAN: return TVdbDataType::dtBoolean;
    case VDB_FT_MEMO: return TVdbDataType::dtMemo;
    case VDB_FT_ENUM: return TVdbDataType::dtEnum;
    case VDB_FT_AUTOINC: return TVdbDataType::dtAutoInc;
    case VDB_FT_LINK: return TVdbDataType::dtLink;
    case VDB_FT_BLOB: return TVdbDataType::dtBlob;
    case VDB_FT_RELATION: return TVdbDataType::dtRelation;
    case VDB_FT_TIME: return TVdbDataType::dtTime;
    case VDB_FT_INTEGER: return TVdbDataType::dtInteger;
    case VDB_FT_TIMESTAMP: return TVdbDataType::dtDateTime;
    case VDB_FT_WIDESTRING: return TVdbDataType::dtWideString;
    case VDB_FT_WIDEMEMO: return TVdbDataType::dtWideMemo;
    case VDB_FT_BIGINT: return TVdbDataType::dtLargeInt;
    case VDB_FT_GUID: return TVdbDataType::dtGuid;
    default: return TVdbDataType::dtDate;  // the date, and every code not listed
  }
}

int16_t ColumnOfDataType(TVdbDataType type) {
  for (int16_t column = 0; column <= VDB_FT_GUID; ++column)
    if (column != VDB_FT_CHAR && DataTypeOfColumn(column) == type) return column;
  return VDB_FT_DATE;
}

bool IsBlobType(TVdbDataType type) {
  return type == TVdbDataType::dtMemo || type == TVdbDataType::dtBlob ||
         type == TVdbDataType::dtWideMemo;
}

// --- Data sources --------------------------------------------------------------------------------

TDataLink::~TDataLink() {
  if (linkedSource_) linkedSource_->RemoveLink(this);
}

TDataSource::~TDataSource() {
  SetDataSet(nullptr);
  for (TDataLink* link : links_) link->linkedSource_ = nullptr;
}

void TDataSource::SetDataSet(TVdbDataSet* dataSet) {
  if (dataSet_ == dataSet) return;
  if (dataSet_) dataSet_->RemoveDataSource(this);
  dataSet_ = dataSet;
  if (dataSet_) dataSet_->AddDataSource(this);
  Notify(&TDataLink::ActiveChanged);
}

void TDataSource::AddLink(TDataLink* link) {
  if (link->linkedSource_) link->linkedSource_->RemoveLink(link);
  link->linkedSource_ = this;
  links_.push_back(link);
}

void TDataSource::RemoveLink(TDataLink* link) {
  link->linkedSource_ = nullptr;
  std::erase(links_, link);
}

void TMasterLink::SetSource(TDataSource* source) {
  if (source == LinkedSource()) return;
  if (LinkedSource()) LinkedSource()->RemoveLink(this);
  if (source) source->AddLink(this);
  changed_();
}

TVdbDataSet* TMasterLink::MasterDataSet() const {
  return LinkedSource() ? LinkedSource()->DataSet() : nullptr;
}

// --- Fields --------------------------------------------------------------------------------------

TVdbField::TVdbField(TVdbDataSet& dataSet, const TVdbFieldDef& def, int blobIndex, int valueIndex)
    : dataSet_(dataSet), def_(def), blobIndex_(blobIndex), valueIndex_(valueIndex) {}

bool TVdbField::IsNull() const {
  if (dataSet_.IsEmpty() && dataSet_.State() == TDataSetState::dsBrowse) return true;
  if (IsBlob()) return dataSet_.LoadBlob(*this).Data.empty();
  const auto& values = dataSet_.ActiveBuffer().Values;
  return static_cast<std::size_t>(valueIndex_) >= values.size() || !values[valueIndex_];
}

std::u16string TVdbField::AsText() const {
  if (dataSet_.IsEmpty() && dataSet_.State() == TDataSetState::dsBrowse) return {};
  if (!IsBlob()) {
    const auto& values = dataSet_.ActiveBuffer().Values;
    if (static_cast<std::size_t>(valueIndex_) >= values.size() || !values[valueIndex_]) return {};
    return *values[valueIndex_];
  }
  const std::string& bytes = dataSet_.LoadBlob(*this).Data;
  if (def_.FDataTypeVdb == TVdbDataType::dtWideMemo) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
      text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                           static_cast<uint8_t>(bytes[i + 1]) << 8));
    return text;
  }
  return vdbtext::DecodeAnsi(bytes, dataSet_.CodePage());
}

std::string TVdbField::AsString() const { return vdbtext::Utf8(AsText()); }

std::string TVdbField::AsBytes() const {
  return IsBlob() ? dataSet_.LoadBlob(*this).Data : vdbtext::Utf8(AsText());
}

namespace {
void RequireWritable(const TVdbDataSet& dataSet, const TVdbFieldDef& def, bool null) {
  const TDataSetState state = dataSet.State();
  if (state != TDataSetState::dsEdit && state != TDataSetState::dsInsert)
    throw EDatabaseError("Dataset not in edit or insert mode");
  if (null && def.Required) throw EDatabaseError(Format("Field '%s' must have a value", {def.Name}));
  if (def.ReadOnly) throw EDatabaseError(Format("Field '%s' cannot be modified", {def.Name}));
}
}  // namespace

void TVdbField::SetText(const std::u16string& text) {
  if (IsBlob()) {
    if (def_.FDataTypeVdb == TVdbDataType::dtWideMemo) {
      std::string bytes;
      for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
      }
      SetBytes(bytes);
    } else {
      SetBytes(vdbtext::EncodeAnsi(text, dataSet_.CodePage()));
    }
    return;
  }
  RequireWritable(dataSet_, def_, false);
  TRecordBuffer& buffer = dataSet_.ActiveBuffer();
  buffer.Values[valueIndex_] = text;
  buffer.ValueModified[valueIndex_] = true;
  dataSet_.MarkFieldChanged();
}

void TVdbField::SetString(const std::string& utf8) { SetText(vdbtext::Utf16(utf8)); }

void TVdbField::Clear() {
  RequireWritable(dataSet_, def_, true);
  TRecordBuffer& buffer = dataSet_.ActiveBuffer();
  if (IsBlob()) {
    buffer.Blobs[blobIndex_] = TBlobInfo{{}, true, true};
  } else {
    buffer.Values[valueIndex_].reset();
    buffer.ValueModified[valueIndex_] = true;
  }
  dataSet_.MarkFieldChanged();
}

void TVdbField::SetBytes(const std::string& bytes) {
  TVdbBlobStream stream(*this, TVdbBlobStream::Mode::Write);
  stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
}

// --- Blob stream ---------------------------------------------------------------------------------

namespace {
TBlobInfo& BlobForStream(TVdbField& field, TVdbBlobStream::Mode mode) {
  if (mode == TVdbBlobStream::Mode::Write) RequireWritable(field.DataSet(), field.Def(), false);
  if (mode == TVdbBlobStream::Mode::Read) return field.DataSet().LoadBlob(field);
  return field.DataSet().ActiveBuffer().Blobs[static_cast<std::size_t>(field.BlobIndex())];
}
}  // namespace

TVdbBlobStream::TVdbBlobStream(TVdbField& field, Mode mode)
    : dataSet_(field.DataSet()), field_(field), info_(BlobForStream(field, mode)) {
  if (mode == Mode::Write) {
    // A stream opened for writing replaces the value.
    info_.Data.clear();
    info_.Loaded = true;
    info_.Modified = true;
  }
}

int64_t TVdbBlobStream::Size() const { return static_cast<int64_t>(info_.Data.size()) - startPos_; }

int64_t TVdbBlobStream::Read(char* buffer, int64_t count) {
  const int64_t left = std::max<int64_t>(0, Size() - position_);
  const int64_t n = std::clamp<int64_t>(count, 0, left);
  std::copy_n(info_.Data.data() + startPos_ + position_, n, buffer);
  position_ += n;
  return n;
}

int64_t TVdbBlobStream::Write(const char* buffer, int64_t count) {
  if (count <= 0) return 0;
  const std::size_t at = static_cast<std::size_t>(startPos_ + position_);
  if (info_.Data.size() < at + static_cast<std::size_t>(count)) info_.Data.resize(at + static_cast<std::size_t>(count));
  std::copy_n(buffer, count, info_.Data.begin() + static_cast<std::ptrdiff_t>(at));
  position_ += count;
  info_.Modified = true;
  dataSet_.MarkFieldChanged();
  return count;
}

int64_t TVdbBlobStream::Seek(int64_t offset, Origin origin) {
  const int64_t base = origin == Origin::Begin ? 0 : origin == Origin::Current ? position_ : Size();
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

// --- Dataset: open and close ---------------------------------------------------------------------

namespace {

void ChangeProc(VdbHandle session, VdbHandle table, int32_t deleted, int32_t moved) {
  TVdbDatabase::RouteChange(session, table, deleted, moved);
}

std::u16string SpecText(const VdbChar* text) { return vdbtext::FromApi(text); }

}  // namespace

namespace {
struct TDataSetList {
  std::mutex lock;
  std::vector<TVdbDataSet*> items;
};

TDataSetList& DataSets() {
  static TDataSetList list;
  return list;
}
}  // namespace

TVdbDataSet::TVdbDataSet() {
  std::lock_guard guard(DataSets().lock);
  DataSets().items.push_back(this);
}

std::vector<TVdbDataSet*> TVdbDataSet::AllDataSets() {
  std::lock_guard guard(DataSets().lock);
  return DataSets().items;
}

TVdbDataSet::~TVdbDataSet() {
  {
    std::lock_guard guard(DataSets().lock);
    std::erase(DataSets().items, this);
  }
  try {
    Close();
  } catch (...) {
    // Nothing can be reported from a destructor.
  }
  for (TDataSource* source : std::vector<TDataSource*>(sources_)) source->SetDataSet(nullptr);
}

std::string TVdbDataSet::Version() {
  constexpr int kBuild = 8102;
  return Format("%d.%d.%d/%d.%d.%d", {"6", "1", "13", std::to_string(kBuild / 1000),
                                      std::to_string(kBuild / 100 % 10), std::to_string(kBuild % 100)});
}

void TVdbDataSet::SetDatabaseName(const std::string& name) {
  std::string stored = name;
  if (!stored.empty() && stored.back() == '\\') stored.pop_back();
  if (stored == databaseName_) return;
  const bool wasActive = Active();
  Close();
  database_ = nullptr;
  ownedDatabase_.reset();
  databaseName_ = stored;
  if (wasActive) Open();
}

VdbHandle TVdbDataSet::SessionHandle() const { return database_ ? database_->Handle() : 0; }

void TVdbDataSet::ConnectDatabase() {
  if (!database_) database_ = TVdbDatabase::FindByName(databaseName_);
  if (!database_) {
    // A dataset may name its database by its path.
    ownedDatabase_ = std::make_unique<TVdbDatabase>();
    ownedDatabase_->SetDatabaseName(databaseName_);
    ownedDatabase_->SetLocation(databaseName_);
    ownedDatabase_->MarkAutomatic();
    database_ = ownedDatabase_.get();
  }
  database_->SetConnected(true);
}

void TVdbDataSet::Raise(const std::string& context, int code) const {
  RaiseVdbError(context, code, SessionHandle());
}

void TVdbDataSet::RequireActive() const {
  if (!Active()) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TVdbDataSet::SetActive(bool active) {
  if (active == Active()) return;
  if (!active) {
    InternalClose();
    Notify(&TDataLink::ActiveChanged);
    return;
  }
  tableHdl_ = OpenTableHandle();
  outOfTableState_ = TOutOfTableState::ootBOT;
  try {
    InternalOpen();
  } catch (...) {
    InternalClose();  // an error during open leaves the dataset closed
    throw;
  }
  Notify(&TDataLink::ActiveChanged);
}

void TVdbDataSet::InternalOpen() {
  canModify_ = VdbTableCanModify(tableHdl_) > 0 && ExtraCanModify();
  VdbTableSetChangeProc(tableHdl_, &ChangeProc, SessionHandle());
  database_->RegisterClient(this);
  BuildFieldDefs();
  tableLevel_ = VdbTableGetRltnVersion(tableHdl_);
  recordSize_ = CheckVdb(VdbTableGetRecordSize(tableHdl_), "Opening dataset", SessionHandle());
  state_ = TDataSetState::dsBrowse;
  SetupFilter();
  First();
}

void TVdbDataSet::BuildFieldDefs() {
  fieldDefs_.clear();
  fields_.clear();
  codePage_ = 1252;
  bool codePageFound = false;
  const int count = CheckVdb(VdbTableGetNumFields(tableHdl_), "Opening dataset", SessionHandle());
  int blobs = 0;
  int values = 0;
  for (int16_t no = 1; no <= count; ++no) {
    auto spec = std::make_unique<TVdbFieldSpec>();
    CheckVdb(VdbTableGetFieldSpec(tableHdl_, no, spec.get()), "Opening dataset", SessionHandle());
    TVdbFieldDef def;
    def.Name = vdbtext::Utf8(SpecText(spec->Name));
    def.FDataTypeVdb = DataTypeOfColumn(spec->FldType);
    def.FieldNo = def.FInitialFieldNo = no;
    def.InternalCalc = (spec->Options & VDB_FO_CALCULATED) != 0;
    def.ReadOnly = def.InternalCalc;
    def.Required = def.FDataTypeVdb == TVdbDataType::dtAutoInc ? (spec->Options & VDB_FO_REQUIRED) != 0
                                                              : (spec->Options & VDB_FO_NULLABLE) == 0;
    def.FBufPosition = spec->InternalPosition;
    def.FBufSize = spec->InternalSize;
    def.FOptions = spec->Options;
    def.FCalcExpression = vdbtext::Utf8(SpecText(spec->RangeOrFormula));
    const std::string selectOrLink = vdbtext::Utf8(SpecText(spec->SelectOrLink));
    switch (def.FDataTypeVdb) {
      case TVdbDataType::dtString:
      case TVdbDataType::dtWideString: def.Size = spec->Param; def.FSpec = selectOrLink; break;
      case TVdbDataType::dtFloat:
      case TVdbDataType::dtTime: def.Precision = spec->Param; break;
      case TVdbDataType::dtEnum: def.FSpec = selectOrLink; def.Size = 40; break;
      case TVdbDataType::dtAutoInc: def.FSpec = selectOrLink; def.ReadOnly = true; break;
      case TVdbDataType::dtLink: def.Size = 255; def.FSpec = selectOrLink; break;
      case TVdbDataType::dtRelation: def.Size = 8192; def.FSpec = selectOrLink; break;
      case TVdbDataType::dtGuid: def.Size = 38; break;
      default: break;
    }
    // 8-bit text is in the code page of its column's collation.
    const bool textColumn = def.FDataTypeVdb == TVdbDataType::dtString || def.FDataTypeVdb == TVdbDataType::dtMemo;
    if (textColumn && !codePageFound && !selectOrLink.empty()) {
      codePage_ = vdbtext::CodePageOfCollation(selectOrLink);
      codePageFound = true;
    }
    const bool blob = IsBlobType(def.FDataTypeVdb);
    fieldDefs_.push_back(def);
    fields_.push_back(std::make_unique<TVdbField>(*this, def, blob ? blobs++ : -1, blob ? -1 : values++));
  }
}

void TVdbDataSet::InternalClose() {
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) {
    try {
      Cancel();
    } catch (...) {
      // Closing goes on: the cursor is deleted below, which drops the pending change.
    }
  }
  if (database_) database_->UnRegisterClient(this);
  fields_.clear();
  active_ = TRecordBuffer{};
  saved_ = TRecordBuffer{};
  if (tableHdl_ > 0) VdbTableDelete(tableHdl_);
  tableHdl_ = 0;
  state_ = TDataSetState::dsInactive;
  bof_ = eof_ = true;
  filterUpdated_ = false;
  filteredRecordCount_ = -1;
  AfterCloseHandle();
  if (ownedDatabase_ && ownedDatabase_->DataSets().empty()) {
    database_ = nullptr;
    ownedDatabase_.reset();
  }
}

TVdbField* TVdbDataSet::FindField(const std::string& name) const {
  for (const auto& field : fields_) {
    const std::string& own = field->FieldName();
    if (std::equal(own.begin(), own.end(), name.begin(), name.end(),
                   [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b)); }))
      return field.get();
  }
  return nullptr;
}

TVdbField& TVdbDataSet::FieldByName(const std::string& name) const {
  TVdbField* field = FindField(name);
  if (!field) throw EDatabaseError(Format("%s: Field '%s' not found", {Name, name}));
  return *field;
}

// --- Fetching ------------------------------------------------------------------------------------

void TVdbDataSet::ClearBuffer(TRecordBuffer& buffer) const {
  buffer.Image.assign(static_cast<std::size_t>(recordSize_), 0);
  buffer.Blobs.assign(buffer.Blobs.size(), TBlobInfo{});
  buffer.Values.assign(buffer.Values.size(), std::nullopt);
  buffer.ValueModified.assign(buffer.ValueModified.size(), false);
  buffer.SequenceNo = 0;
  buffer.BookmarkFlag = TBookmarkFlag::bfCurrent;
  buffer.RecordNo = 0;
  buffer.Deleted = false;
}

void TVdbDataSet::FillBuffer(TRecordBuffer& buffer) {
  buffer.Image.assign(static_cast<std::size_t>(recordSize_), 0);
  const VdbResult got = VdbTableGetRecord(tableHdl_, buffer.Image.data(), recordSize_);
  if (got < 0) Raise("Fetching records", got);
  std::size_t blobs = 0;
  std::size_t values = 0;
  for (const auto& field : fields_) (field->IsBlob() ? blobs : values)++;
  buffer.Blobs.assign(blobs, TBlobInfo{});
  buffer.Values.assign(values, std::nullopt);
  buffer.ValueModified.assign(values, false);
  for (const auto& field : fields_) {
    if (field->IsBlob()) continue;
    std::array<VdbChar, 1024> small{};
    int16_t isNull = 0;
    const int16_t no = static_cast<int16_t>(field->Def().FieldNo);
    int32_t length = VdbTableGetFieldText(tableHdl_, no, small.data(), 1023, &isNull);
    if (length < 0) Raise("Reading Data", length);
    std::u16string text;
    if (length > 1023) {
      std::vector<VdbChar> large(static_cast<std::size_t>(length) + 1);
      VdbTableGetFieldText(tableHdl_, no, large.data(), length, &isNull);
      text = SpecText(large.data());
    } else {
      text = SpecText(small.data());
    }
    if (isNull == 0) buffer.Values[static_cast<std::size_t>(field->ValueIndex())] = std::move(text);
  }
  buffer.RecordNo = VdbTableGetRecNo(tableHdl_);
  buffer.SequenceNo = 0;
  buffer.BookmarkFlag = outOfTableState_ == TOutOfTableState::ootBOT   ? TBookmarkFlag::bfBOF
                        : outOfTableState_ == TOutOfTableState::ootEOT ? TBookmarkFlag::bfEOF
                        : buffer.RecordNo != 0                          ? TBookmarkFlag::bfCurrent
                                                                        : TBookmarkFlag::bfInserted;
  buffer.Deleted = false;
}

TVdbDataSet::TGetResult TVdbDataSet::FetchOnce(TGetMode mode, TRecordBuffer& buffer, bool checkErrors) {
  VdbResult result = 0;
  TGetResult offEnd = TGetResult::grEOF;
  switch (mode) {
    case TGetMode::gmCurrent:
      result = VdbTableMoveBy(tableHdl_, 0);
      offEnd = outOfTableState_ == TOutOfTableState::ootBOT ? TGetResult::grBOF : TGetResult::grEOF;
      break;
    case TGetMode::gmNext:
      result = outOfTableState_ == TOutOfTableState::ootBOT ? VdbTableFirst(tableHdl_) : VdbTableMoveBy(tableHdl_, 1);
      break;
    case TGetMode::gmPrior:
      result = outOfTableState_ == TOutOfTableState::ootEOT ? VdbTableLast(tableHdl_) : VdbTableMoveBy(tableHdl_, -1);
      offEnd = TGetResult::grBOF;
      break;
  }
  if (result >= 0) {
    outOfTableState_ = TOutOfTableState::ootNone;
    FillBuffer(buffer);
    return TGetResult::grOK;
  }
  ClearBuffer(buffer);
  if (result == VDB_ERR_NO_RECORD) return offEnd;
  if (checkErrors) Raise("Fetching record", result);
  return TGetResult::grError;
}

TVdbDataSet::TGetResult TVdbDataSet::GetRecord(TGetMode mode, TRecordBuffer& buffer, bool checkErrors) {
  for (;;) {
    const TGetResult result = FetchOnce(mode, buffer, checkErrors);
    if (result != TGetResult::grOK || !filtered_ || !OnFilterRecord) return result;
    std::swap(active_, buffer);
    bool accepted = false;
    try {
      accepted = Accepts();
    } catch (...) {
      std::swap(active_, buffer);
      throw;
    }
    std::swap(active_, buffer);
    if (accepted) return result;
    if (mode == TGetMode::gmCurrent) return TGetResult::grError;
  }
}

bool TVdbDataSet::Accepts() {
  inFilter_ = true;
  const bool accepted = OnFilterRecord(*this);
  inFilter_ = false;
  return accepted;
}

void TVdbDataSet::PositionCursorOn(const TRecordBuffer& buffer) {
  if (buffer.RecordNo <= 0 || VdbTableGetRecNo(tableHdl_) == buffer.RecordNo) return;
  const int32_t reached = VdbTableSetRecNo(tableHdl_, buffer.RecordNo);
  if (reached < 0) Raise("Going to bookmark", reached);
  outOfTableState_ = TOutOfTableState::ootNone;
}

void TVdbDataSet::Notify(void (TDataLink::*event)()) {
  for (TDataSource* source : std::vector<TDataSource*>(sources_)) source->Notify(event);
}

void TVdbDataSet::AddDataSource(TDataSource* source) { sources_.push_back(source); }
void TVdbDataSet::RemoveDataSource(TDataSource* source) { std::erase(sources_, source); }

void TVdbDataSet::SetState(TDataSetState state) {
  state_ = state;
  Notify(&TDataLink::EditingChanged);
}

// --- Moving --------------------------------------------------------------------------------------

void TVdbDataSet::CheckBrowseMove() {
  RequireActive();
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) Post();
}

bool TVdbDataSet::IsEmpty() const { return !Active() || (bof_ && eof_); }

void TVdbDataSet::First() {
  CheckBrowseMove();
  VdbTableFirst(tableHdl_);
  outOfTableState_ = TOutOfTableState::ootBOT;
  TRecordBuffer buffer;
  const bool found = GetRecord(TGetMode::gmNext, buffer, true) == TGetResult::grOK;
  active_ = std::move(buffer);
  bof_ = true;
  eof_ = !found;
  Notify(&TDataLink::DataSetChanged);
}

void TVdbDataSet::Last() {
  CheckBrowseMove();
  VdbTableLast(tableHdl_);
  outOfTableState_ = TOutOfTableState::ootEOT;
  TRecordBuffer buffer;
  const bool found = GetRecord(TGetMode::gmPrior, buffer, true) == TGetResult::grOK;
  active_ = std::move(buffer);
  eof_ = true;
  bof_ = !found;
  Notify(&TDataLink::DataSetChanged);
}

void TVdbDataSet::Next() { MoveBy(1); }
void TVdbDataSet::Prior() { MoveBy(-1); }

int TVdbDataSet::MoveBy(int distance) {
  CheckBrowseMove();
  if (IsEmpty()) return 0;
  const TGetMode mode = distance > 0 ? TGetMode::gmNext : TGetMode::gmPrior;
  int moved = 0;
  PositionCursorOn(active_);
  if (distance > 0 ? !eof_ : !bof_) {
    for (int step = distance > 0 ? distance : -distance; step > 0; --step) {
      TRecordBuffer buffer;
      if (GetRecord(mode, buffer, true) != TGetResult::grOK) {
        (distance > 0 ? eof_ : bof_) = true;
        PositionCursorOn(active_);
        break;
      }
      active_ = std::move(buffer);
      ++moved;
      bof_ = eof_ = false;
    }
  }
  if (moved != 0) Notify(&TDataLink::DataSetScrolled);
  return distance > 0 ? moved : -moved;
}

void TVdbDataSet::FetchCurrentAfterPosition() {
  outOfTableState_ = TOutOfTableState::ootNone;
  TRecordBuffer buffer;
  FillBuffer(buffer);
  active_ = std::move(buffer);
  bof_ = eof_ = false;
  Notify(&TDataLink::DataSetScrolled);
}

void TVdbDataSet::GotoBookmark(int32_t recordNo) {
  CheckBrowseMove();
  const int32_t reached = VdbTableSetRecNo(tableHdl_, recordNo);
  if (reached < 0) Raise("Going to bookmark", reached);
  FetchCurrentAfterPosition();
}

void TVdbDataSet::Refresh() {
  CheckBrowseMove();
  PositionCursorOn(active_);
  VdbTableRefresh(tableHdl_);
  if (VdbTableMoveBy(tableHdl_, 0) >= 0) {
    FillBuffer(active_);
    Notify(&TDataLink::DataSetChanged);
  } else {
    First();
  }
}

int32_t TVdbDataSet::RecordCount() {
  RequireActive();
  if (!(filtered_ && OnFilterRecord)) return VdbTableGetRowCount(tableHdl_);
  if (filteredRecordCount_ < 0) {
    int32_t count = 0;
    const int32_t current = active_.RecordNo;
    VdbTableFirst(tableHdl_);
    outOfTableState_ = TOutOfTableState::ootBOT;
    TRecordBuffer buffer;
    while (GetRecord(TGetMode::gmNext, buffer, true) == TGetResult::grOK) ++count;
    filteredRecordCount_ = count;
    if (current > 0) VdbTableSetRecNo(tableHdl_, current);
    outOfTableState_ = TOutOfTableState::ootNone;
  }
  return filteredRecordCount_;
}

int32_t TVdbDataSet::RecNo() {
  RequireActive();
  if (IsEmpty() || state_ == TDataSetState::dsInsert) return 0;
  if (VdbTableIsSequenced(tableHdl_) != 1 || (filtered_ && OnFilterRecord)) return active_.RecordNo;
  PositionCursorOn(active_);
  return VdbTableGetSequenceNo(tableHdl_);
}

void TVdbDataSet::SetRecNo(int32_t recNo) {
  CheckBrowseMove();
  const bool sequenced = VdbTableIsSequenced(tableHdl_) == 1;
  const int32_t reached =
      sequenced ? VdbTableSetSequenceNo(tableHdl_, recNo) : VdbTableSetRecNo(tableHdl_, recNo);
  if (reached == VDB_ERR_NO_RECORD || reached == 0) {
    PositionCursorOn(active_);
    throw EDatabaseError(Format("Record %d not found", {std::to_string(recNo)}));
  }
  if (reached < 0) Raise(Format("Setting to record number %d", {std::to_string(recNo)}), reached);
  const int32_t where = sequenced ? VdbTableGetSequenceNo(tableHdl_) : VdbTableGetRecNo(tableHdl_);
  if (where != recNo) {
    PositionCursorOn(active_);
    throw EDatabaseError(Format("Record %d not found", {std::to_string(recNo)}));
  }
  FetchCurrentAfterPosition();
}

int32_t TVdbDataSet::RecordNo() const {
  if (state_ == TDataSetState::dsInsert) return 0;
  if (IsEmpty()) return -1;
  return active_.RecordNo;
}

bool TVdbDataSet::ReadRecordAt(int32_t seqNo, TRecordBuffer& buffer) {
  if (!Active() || state_ != TDataSetState::dsBrowse || seqNo < 1) return false;
  const bool sequenced = VdbTableIsSequenced(tableHdl_) == 1;
  bool found = false;
  if (sequenced) {
    found = VdbTableSetSequenceNo(tableHdl_, seqNo) > 0 && VdbTableGetSequenceNo(tableHdl_) == seqNo;
  } else {
    found = VdbTableFirst(tableHdl_) >= 0 && (seqNo == 1 || VdbTableMoveBy(tableHdl_, seqNo - 1) >= 0);
  }
  if (found) FillBuffer(buffer);
  const TOutOfTableState state = outOfTableState_;
  // The cursor goes back to the current record, so moving on from it is not disturbed.
  if (active_.RecordNo > 0) VdbTableSetRecNo(tableHdl_, active_.RecordNo);
  outOfTableState_ = state;
  return found;
}

std::u16string TVdbDataSet::BufferText(const TRecordBuffer& buffer, const TVdbField& field) {
  const auto index = static_cast<std::size_t>(field.ValueIndex());
  if (field.IsBlob() || index >= buffer.Values.size() || !buffer.Values[index]) return {};
  return *buffer.Values[index];
}

// --- Blob cache ----------------------------------------------------------------------------------

TBlobInfo& TVdbDataSet::LoadBlob(const TVdbField& field) {
  TBlobInfo& info = active_.Blobs.at(static_cast<std::size_t>(field.BlobIndex()));
  if (info.Loaded || active_.RecordNo <= 0) return info;
  PositionCursorOn(active_);
  int16_t blobType = 0;
  const int32_t size = VdbTableInitGetBlob(tableHdl_, static_cast<int16_t>(field.Def().FieldNo), &blobType);
  if (size < 0) Raise("Reading blob", size);
  std::string data(static_cast<std::size_t>(size), '\0');
  if (size > 0) {
    const int32_t read = VdbTablePerformGetBlob(tableHdl_, data.data(), size);
    if (read < 0) Raise(field.DataType() == TVdbDataType::dtBlob ? "Reading blob" : "Reading memo", read);
    data.resize(static_cast<std::size_t>(read));
  }
  ++blobLoads_;
  info.Data = std::move(data);
  info.Loaded = true;
  return info;
}

void TVdbDataSet::MarkFieldChanged() { Notify(&TDataLink::RecordChanged); }

void TVdbDataSet::RecordReplaced(int32_t deleted, int32_t moved) {
  for (TRecordBuffer* buffer : {&active_, &saved_}) {
    if (deleted > 0 && buffer->RecordNo == deleted) buffer->Deleted = true;
    else if (moved > 0 && buffer->RecordNo == moved) buffer->RecordNo = deleted;
  }
}

// --- Writing -------------------------------------------------------------------------------------

void TVdbDataSet::Edit() {
  RequireActive();
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return;
  if (!canModify_) throw EDatabaseError("Cannot modify a read-only dataset");
  if (IsEmpty()) {
    Insert();
    return;
  }
  if (active_.Deleted) throw EDatabaseError("This record has been deleted");
  PositionCursorOn(active_);
  CheckVdb(VdbTableEdit(tableHdl_), "Entering record", SessionHandle());
  FillBuffer(active_);  // the record as it is now, with a fresh blob cache
  SetState(TDataSetState::dsEdit);
}

void TVdbDataSet::Insert() {
  CheckBrowseMove();
  if (!canModify_) throw EDatabaseError("Cannot modify a read-only dataset");
  saved_ = IsEmpty() ? TRecordBuffer{} : active_;
  CheckVdb(VdbTableAppend(tableHdl_), Format("Inserting record into dataset %s", {Name}), SessionHandle());
  FillBuffer(active_);
  active_.RecordNo = 0;
  active_.BookmarkFlag = TBookmarkFlag::bfInserted;
  for (TBlobInfo& blob : active_.Blobs) blob = TBlobInfo{{}, true, false};
  SetState(TDataSetState::dsInsert);
  Notify(&TDataLink::DataSetScrolled);
}

void TVdbDataSet::WriteRecord() {
  const VdbHandle session = SessionHandle();
  const std::string context = Format(state_ == TDataSetState::dsEdit ? "Writing record to dataset %s"
                                                                     : "Appending record to dataset %s",
                                     {Name});
  CheckVdb(VdbTableSetRecord(tableHdl_, active_.Image.data(), recordSize_), context, session);
  for (const auto& field : fields_) {
    const int16_t no = static_cast<int16_t>(field->Def().FieldNo);
    if (!field->IsBlob()) {
      const auto index = static_cast<std::size_t>(field->ValueIndex());
      if (!active_.ValueModified[index]) continue;
      const auto& value = active_.Values[index];
      const VdbResult set = value ? VdbTableSetFieldText(tableHdl_, no, TApiText(*value))
                                  : VdbTableSetFieldText(tableHdl_, no, nullptr);
      CheckVdb(set, context, session);
      continue;
    }
    const TBlobInfo& blob = active_.Blobs[static_cast<std::size_t>(field->BlobIndex())];
    if (!blob.Modified) continue;
    if (field->DataType() == TVdbDataType::dtWideMemo && blob.Data.size() % 2 != 0)
      throw EDatabaseError(Format("Wide memo \"%s\" is invalid, must have even number of bytes.", {field->FieldName()}));
    CheckVdb(VdbTableSetBlob(tableHdl_, no, blob.Data.data(), static_cast<int32_t>(blob.Data.size()), 0),
             "Writing blob", session);
  }
}

void TVdbDataSet::Post() {
  RequireActive();
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
  if (BeforePost) BeforePost(*this);
  for (const auto& field : fields_)
    if (field->Def().Required && !field->Def().ReadOnly && field->IsNull() && !field->IsBlob())
      throw EDatabaseError(Format("Field '%s' must have a value", {field->FieldName()}));
  filteredRecordCount_ = -1;
  WriteRecord();
  const VdbResult confirmed = state_ == TDataSetState::dsEdit ? VdbTableEditConfirm(tableHdl_)
                                                              : VdbTableAppendConfirm(tableHdl_);
  if (confirmed < 0)
    Raise(Format(state_ == TDataSetState::dsEdit ? "Writing record to dataset %s" : "Appending record to dataset %s",
                 {Name}),
          confirmed);
  outOfTableState_ = TOutOfTableState::ootNone;
  state_ = TDataSetState::dsBrowse;
  if (VdbTableMoveBy(tableHdl_, 0) >= 0) FetchCurrentAfterPosition();
  Notify(&TDataLink::EditingChanged);
  Notify(&TDataLink::DataSetChanged);
}

void TVdbDataSet::Cancel() {
  if (state_ == TDataSetState::dsEdit) {
    state_ = TDataSetState::dsBrowse;
    CheckVdb(VdbTableEditCancel(tableHdl_), "Cancelling record", SessionHandle());
    PositionCursorOn(active_);
    FillBuffer(active_);
  } else if (state_ == TDataSetState::dsInsert) {
    state_ = TDataSetState::dsBrowse;
    VdbTableSetRecord(tableHdl_, active_.Image.data(), recordSize_);
    CheckVdb(VdbTableAppendCancel(tableHdl_), "Cancelling Record", SessionHandle());
    outOfTableState_ = TOutOfTableState::ootNone;
    // Back to the record shown before, or to the last one when there was none.
    if (saved_.RecordNo > 0 && VdbTableSetRecNo(tableHdl_, saved_.RecordNo) > 0) {
      FetchCurrentAfterPosition();
    } else {
      Last();
    }
    saved_ = TRecordBuffer{};
  } else {
    return;
  }
  Notify(&TDataLink::EditingChanged);
  Notify(&TDataLink::DataSetChanged);
}

void TVdbDataSet::Delete() {
  RequireActive();
  if (!canModify_) throw EDatabaseError("Cannot modify a read-only dataset");
  if (active_.Deleted) throw EDatabaseError("This record has been deleted");
  if (state_ == TDataSetState::dsEdit) Cancel();
  if (state_ == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (IsEmpty()) throw EDatabaseError("Cannot perform this operation on an empty dataset");
  PositionCursorOn(active_);
  CheckVdb(VdbTableDeleteRecord(tableHdl_), "Deleting record", SessionHandle());
  filteredRecordCount_ = -1;
  if (VdbTableGetRowCount(tableHdl_) == 0) {
    outOfTableState_ = TOutOfTableState::ootEOT;
    ClearBuffer(active_);
    bof_ = eof_ = true;
  } else {
    // The record after the deleted one takes its place; after the last, the new last one.
    TRecordBuffer buffer;
    if (VdbTableMoveBy(tableHdl_, 0) >= 0) {
      FillBuffer(buffer);
      active_ = std::move(buffer);
      bof_ = eof_ = false;
    } else {
      Last();
      return;
    }
  }
  Notify(&TDataLink::DataSetChanged);
}

// --- Filters -------------------------------------------------------------------------------------

// The dataset filter, a range and a master's key all become one condition on the cursor.
std::string TVdbDataSet::CursorCondition() const {
  std::vector<std::string> parts;
  if (filtered_ && !Filter.empty()) parts.push_back(Filter);
  if (std::string extra = ExtraCondition(); !extra.empty()) parts.push_back(std::move(extra));
  if (parts.size() == 1) return parts.front();
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "(" : " AND (") + part + ")";
  return joined;
}

void TVdbDataSet::SetupFilter() {
  if (filterUpdated_) return;
  const std::string condition = CursorCondition();
  VdbTableActivateFilter(tableHdl_, 0);  // the cursor shows every record until a new one is set
  if (!condition.empty()) {
    uint16_t options = FilterMethod == TVdbFilterMethod::tfeIncremental ? 79 : 65;
    if (FilterCaseInsensitive) options += 16;
    if (!FilterNoPartialCompare) options += 32;
    const VdbResult set = VdbTableSetSQLFilter(tableHdl_, TApiText(condition), options);
    if (set < 0) Raise("Setting filter", set);
    CheckVdb(VdbTableActivateFilter(tableHdl_, 1), "Setting filter", SessionHandle());
  }
  filterUpdated_ = true;
}

void TVdbDataSet::ConditionChanged() {
  filterUpdated_ = false;
  filteredRecordCount_ = -1;
  if (!Active()) return;
  CheckBrowseMove();
  SetupFilter();
  First();
}

void TVdbDataSet::SetFilterText(const std::string& condition) {
  Filter = condition;
  if (filtered_) ConditionChanged();
}

void TVdbDataSet::SetFiltered(bool filtered) {
  if (filtered == filtered_) return;
  filtered_ = filtered;
  ConditionChanged();
}

// --- Locate and lookup ---------------------------------------------------------------------------

std::vector<std::string> TVdbDataSet::SplitNames(const std::string& names) {
  std::vector<std::string> result;
  std::size_t start = 0;
  while (start <= names.size()) {
    const std::size_t end = std::min(names.find(';', start), names.size());
    std::string name = names.substr(start, end - start);
    const auto first = name.find_first_not_of(' ');
    const auto last = name.find_last_not_of(' ');
    if (first != std::string::npos) result.push_back(name.substr(first, last - first + 1));
    start = end + 1;
  }
  return result;
}

namespace {

bool IsTextType(TVdbDataType type) {
  return type == TVdbDataType::dtString || type == TVdbDataType::dtWideString;
}

// Text values compare by the column's collation (with case as asked, accents always); others by
// their text form.
bool ValueMatches(const TVdbField& field, const std::u16string& value, const std::u16string& wanted,
                  unsigned options) {
  const bool partial = (options & loPartialKey) != 0;
  if (!IsTextType(field.DataType())) return partial ? value.starts_with(wanted) : value == wanted;
  std::uint32_t locale = vdb::kVdbEngineLocale;
  vdb::TStrCmpOptions how = 0;
  vdb::ParseCollationName(field.Def().FSpec, locale, how);
  how |= vdb::scoAccentSensitive | vdb::scoLigatureSensitive;
  if ((options & loCaseInsensitive) != 0) how &= ~vdb::TStrCmpOptions{vdb::scoCaseSensitive};
  else how |= vdb::scoCaseSensitive;
  const auto size = [](const std::u16string& text) { return static_cast<int32_t>(text.size()); };
  if (!partial) return vdb::CompareCollated(value.data(), size(value), wanted.data(), size(wanted), how, locale) == 0;
  int32_t used = 0;
  return vdb::ComparePrefix(value.data(), size(value), wanted.data(), size(wanted), how, locale, used) == 0;
}

}  // namespace

bool TVdbDataSet::FindMatch(const std::vector<const TVdbField*>& keys, const std::vector<std::u16string>& values,
                            unsigned options, TRecordBuffer& found) {
  if (keys.size() != values.size())
    throw EDatabaseError(Format("%s: %d fields but %d values to locate",
                                {Name, std::to_string(keys.size()), std::to_string(values.size())}));
  const TOutOfTableState state = outOfTableState_;
  VdbTableFirst(tableHdl_);
  outOfTableState_ = TOutOfTableState::ootBOT;
  bool matched = false;
  while (!matched && GetRecord(TGetMode::gmNext, found, true) == TGetResult::grOK) {
    matched = true;
    for (std::size_t i = 0; i < keys.size() && matched; ++i)
      matched = ValueMatches(*keys[i], BufferText(found, *keys[i]), values[i], options);
  }
  // The cursor goes back to the current record; a found one becomes current at the caller's word.
  outOfTableState_ = state;
  if (active_.RecordNo > 0) VdbTableSetRecNo(tableHdl_, active_.RecordNo);
  return matched;
}

bool TVdbDataSet::Locate(const std::string& keyFields, const std::vector<std::u16string>& values, unsigned options) {
  CheckBrowseMove();
  std::vector<const TVdbField*> keys;
  for (const std::string& name : SplitNames(keyFields)) keys.push_back(&FieldByName(name));
  TRecordBuffer found;
  if (!FindMatch(keys, values, options, found)) return false;
  PositionCursorOn(found);
  outOfTableState_ = TOutOfTableState::ootNone;
  active_ = std::move(found);
  bof_ = eof_ = false;
  Notify(&TDataLink::DataSetScrolled);
  return true;
}

std::vector<std::optional<std::u16string>> TVdbDataSet::Lookup(const std::string& keyFields,
                                                               const std::vector<std::u16string>& values,
                                                               const std::string& resultFields) {
  CheckBrowseMove();
  std::vector<const TVdbField*> keys;
  for (const std::string& name : SplitNames(keyFields)) keys.push_back(&FieldByName(name));
  std::vector<const TVdbField*> results;
  for (const std::string& name : SplitNames(resultFields)) results.push_back(&FieldByName(name));
  TRecordBuffer found;
  if (!FindMatch(keys, values, 0u, found)) return {};
  std::vector<std::optional<std::u16string>> answer;
  for (const TVdbField* field : results) {
    const auto index = static_cast<std::size_t>(field->ValueIndex());
    answer.push_back(field->IsBlob() ? std::nullopt : found.Values[index]);
  }
  return answer;
}

// --- Locating by prefix --------------------------------------------------------------------------

bool TVdbDataSet::LocatePrefix(const std::string& fieldName, const std::u16string& prefix) {
  CheckBrowseMove();
  const TVdbField& field = FieldByName(fieldName);
  std::uint32_t locale = 0;
  vdb::TStrCmpOptions options = 0;
  if (!vdb::ParseCollationName(field.Def().FSpec, locale, options)) {
    locale = vdb::kVdbEngineLocale;
    options = 0;
  }
  auto valueAt = [&](int32_t row) {
    TRecordBuffer buffer;
    return ReadRecordAt(row, buffer) ? BufferText(buffer, field) : std::u16string();
  };
  // Accents order only words that are otherwise equal, so the words starting with "Á" lie among
  // those starting with "A": halve the rows to the first one not below the prefix with accents
  // ignored, then walk on through that run for the first one that matches with them.
  const vdb::TStrCmpOptions loose = options & ~vdb::TStrCmpOptions{vdb::scoAccentSensitive};
  auto startsWith = [&](const std::u16string& value, vdb::TStrCmpOptions how) {
    int32_t used = 0;
    return !value.empty() && vdb::ComparePrefix(value.data(), static_cast<int32_t>(value.size()), prefix.data(),
                                                static_cast<int32_t>(prefix.size()), how, locale, used) == 0;
  };
  const int32_t count = RecordCount();
  int32_t low = 1;
  int32_t high = count + 1;
  while (low < high) {
    const int32_t middle = low + (high - low) / 2;
    const std::u16string value = valueAt(middle);
    const bool below = vdb::CompareCollated(value.data(), static_cast<int32_t>(value.size()), prefix.data(),
                                            static_cast<int32_t>(prefix.size()), loose, locale) < 0;
    if (below) low = middle + 1;
    else high = middle;
  }
  for (; low <= count; ++low) {
    const std::u16string value = valueAt(low);
    if (!startsWith(value, loose)) return false;
    if (startsWith(value, options)) break;
  }
  if (low > count) return false;
  SetRecNo(low);
  return true;
}
