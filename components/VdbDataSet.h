// TVdbDataSet: a dataset over an engine table handle (a cursor). It keeps the current record
// in a record buffer (the engine's record image, the blob cache of its memo and blob fields,
// and its record information), moves through the cursor, answers the record count and the
// record number, reads field values, writes records and filters them. TVdbQuery gets its
// cursor by running SQL, TVdbTable by opening a table by name.
//
// Data sources bind controls to a dataset: a dataset tells every data link of its source when
// it opens or closes, moves, or changes its record or state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VdbDbError.h"
#include "api/VdbApi.h"

class TVdbDatabase;
class TVdbDataSet;
class TDataSource;

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };
enum class TOutOfTableState { ootNone, ootBOT, ootEOT };
enum class TVdbDataType {
  dtUnknown, dtString, dtInteger, dtSmallInt, dtFloat, dtByte, dtBoolean, dtDate, dtMemo, dtEnum,
  dtAutoInc, dtLink, dtBlob, dtTime, dtRelation, dtDateTime, dtWideString, dtWideMemo,
  dtLargeInt, dtGuid
};
enum class TVdbFilterMethod { tfeDefault, tfeAuto, tfeStatic, tfeIncremental };

// The dataset type of an engine column type (the high byte is kept by the engine, not here).
TVdbDataType DataTypeOfColumn(int16_t columnType);
int16_t ColumnOfDataType(TVdbDataType type);
bool IsBlobType(TVdbDataType type);

// One column as the engine describes it.
struct TVdbFieldDef {
  std::string Name;
  TVdbDataType FDataTypeVdb = TVdbDataType::dtUnknown;
  int FieldNo = 0;
  int FInitialFieldNo = 0;
  int Size = 0;
  int Precision = 0;
  bool Required = false;
  bool InternalCalc = false;
  bool ReadOnly = false;
  std::string FCalcExpression;
  std::string FSpec;
  int16_t FBufPosition = 0;
  int16_t FBufSize = 0;
  uint16_t FOptions = 0;
};

// Cached value of a memo or blob field of one record buffer.
struct TBlobInfo {
  std::string Data;
  bool Loaded = false;
  bool Modified = false;
};

enum class TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };

// One record the dataset holds.
struct TRecordBuffer {
  std::vector<uint8_t> Image;                       // the engine's record image
  std::vector<TBlobInfo> Blobs;                     // per memo/blob field, in field order
  std::vector<std::optional<std::u16string>> Values;  // decoded values of the other fields
  std::vector<bool> ValueModified;
  int32_t SequenceNo = 0;
  TBookmarkFlag BookmarkFlag = TBookmarkFlag::bfCurrent;
  int32_t RecordNo = 0;  // also the bookmark
  bool Deleted = false;
};

// A field of an open dataset: reads and writes the active record's value.
class TVdbField {
 public:
  TVdbField(TVdbDataSet& dataSet, const TVdbFieldDef& def, int blobIndex, int valueIndex);
  const std::string& FieldName() const { return def_.Name; }
  TVdbDataType DataType() const { return def_.FDataTypeVdb; }
  const TVdbFieldDef& Def() const { return def_; }
  bool IsBlob() const { return blobIndex_ >= 0; }
  bool IsNull() const;
  // The value as text (memos decoded with the table's code page); empty for NULL.
  std::u16string AsText() const;
  std::string AsString() const;  // UTF-8
  // Raw bytes of a memo or blob (through the blob cache).
  std::string AsBytes() const;
  void SetText(const std::u16string& text);
  void SetString(const std::string& utf8);
  void Clear();  // NULL
  void SetBytes(const std::string& bytes);

  int BlobIndex() const { return blobIndex_; }
  TVdbDataSet& DataSet() const { return dataSet_; }
  int ValueIndex() const { return valueIndex_; }

 private:
  TVdbDataSet& dataSet_;
  TVdbFieldDef def_;
  int blobIndex_;
  int valueIndex_;
};

// A stream over one memo or blob field of the active record buffer.
class TVdbBlobStream {
 public:
  enum class Mode { Read, Write };
  TVdbBlobStream(TVdbField& field, Mode mode);
  int64_t Read(char* buffer, int64_t count);
  int64_t Write(const char* buffer, int64_t count);
  enum class Origin { Begin, Current, End };
  int64_t Seek(int64_t offset, Origin origin);
  int64_t Size() const;

 private:
  TVdbDataSet& dataSet_;
  [[maybe_unused]] TVdbField& field_;
  TBlobInfo& info_;
  int64_t startPos_ = 0;
  int64_t position_ = 0;
};

// Receives a dataset's events through a data source (the controls' side). A link leaves its
// source when it goes, and a source that goes first lets its links know.
class TDataLink {
 public:
  TDataLink() = default;
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;
  virtual ~TDataLink();
  TDataSource* LinkedSource() const { return linkedSource_; }
  virtual void ActiveChanged() {}
  virtual void DataSetChanged() {}    // reopened, refreshed, filtered: everything may differ
  virtual void DataSetScrolled() {}   // the current record moved
  virtual void RecordChanged() {}     // a field of the current record changed
  virtual void EditingChanged() {}

 private:
  friend class TDataSource;
  TDataSource* linkedSource_ = nullptr;
};

class TDataSource {
 public:
  TDataSource() = default;
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;
  ~TDataSource();
  TVdbDataSet* DataSet() const { return dataSet_; }
  void SetDataSet(TVdbDataSet* dataSet);
  void AddLink(TDataLink* link);
  void RemoveLink(TDataLink* link);
  template <typename Event>
  void Notify(Event event) {
    const std::vector<TDataLink*> links = links_;  // a link may leave while told
    for (TDataLink* link : links) (link->*event)();
  }

 private:
  TVdbDataSet* dataSet_ = nullptr;
  std::vector<TDataLink*> links_;
};

// The link a detail dataset keeps to its master's data source: told of every move and change
// of the master, it calls Changed.
class TMasterLink : public TDataLink {
 public:
  explicit TMasterLink(std::function<void()> changed) : changed_(std::move(changed)) {}
  TDataSource* Source() const { return LinkedSource(); }
  void SetSource(TDataSource* source);
  TVdbDataSet* MasterDataSet() const;
  void ActiveChanged() override { changed_(); }
  void DataSetChanged() override { changed_(); }
  void DataSetScrolled() override { changed_(); }

 private:
  std::function<void()> changed_;
};

enum TLocateOption : unsigned { loCaseInsensitive = 1, loPartialKey = 2 };

class TVdbDataSet {
 public:
  TVdbDataSet();
  TVdbDataSet(const TVdbDataSet&) = delete;
  TVdbDataSet& operator=(const TVdbDataSet&) = delete;
  virtual ~TVdbDataSet();
  // "A;B" split at the semicolons, each name trimmed.
  static std::vector<std::string> SplitNames(const std::string& names);

  std::string Name;
  // The form or module the dataset belongs to (null: none).
  const void* Owner = nullptr;
  // Every dataset of the process (the database's automatic naming renames its owner's).
  static std::vector<TVdbDataSet*> AllDataSets();
  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  TVdbDatabase* Database() const { return database_; }
  VdbHandle Handle() const { return tableHdl_; }
  static std::string Version();

  // --- Open and close ---
  bool Active() const { return state_ != TDataSetState::dsInactive; }
  void SetActive(bool active);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  TDataSetState State() const { return state_; }
  bool CanModify() const { return canModify_; }

  // --- Fields ---
  const std::vector<TVdbFieldDef>& FieldDefsVdb() const { return fieldDefs_; }
  const std::vector<std::unique_ptr<TVdbField>>& Fields() const { return fields_; }
  TVdbField* FindField(const std::string& name) const;
  TVdbField& FieldByName(const std::string& name) const;

  // --- Moving ---
  void First();
  void Last();
  void Next();
  void Prior();
  int MoveBy(int distance);  // the distance moved
  void Refresh();
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const;
  int32_t RecordCount();
  int32_t RecNo();            // 1-based position; 0 when there is no record
  void SetRecNo(int32_t recNo);
  int32_t RecordNo() const;   // the engine record number (0 inserting, -1 empty)
  int32_t Bookmark() const { return active_.RecordNo; }
  void GotoBookmark(int32_t recordNo);

  // --- Writing ---
  void Edit();
  void Insert();
  void Append() { Insert(); }
  void Post();
  void Cancel();
  void Delete();
  std::function<void(TVdbDataSet&)> BeforePost;

  // --- Filters ---
  std::string Filter;  // an SQL condition
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool filtered);
  void SetFilterText(const std::string& condition);
  TVdbFilterMethod FilterMethod = TVdbFilterMethod::tfeDefault;
  bool FilterCaseInsensitive = false;
  bool FilterNoPartialCompare = false;
  // A record filter: records it rejects are skipped while moving and counting.
  std::function<bool(TVdbDataSet&)> OnFilterRecord;

  // Moves to the first record whose fields KeyFields (names separated by ";") hold Values
  // (TLocateOption bits: case ignored, a value only a prefix); false, and no move, when none does.
  bool Locate(const std::string& keyFields, const std::vector<std::u16string>& values, unsigned options = 0);
  // The values of ResultFields (";"-separated) of the first record Locate would find, without
  // moving; empty when there is none. A NULL value is an empty optional.
  std::vector<std::optional<std::u16string>> Lookup(const std::string& keyFields,
                                                    const std::vector<std::u16string>& values,
                                                    const std::string& resultFields);

  // Moves to the first record whose field FieldName starts with Prefix, compared by the
  // column's collation, when the dataset is ordered by that field (as a result walked through
  // its index is); false, and no move, when no record starts so.
  bool LocatePrefix(const std::string& fieldName, const std::u16string& prefix);

  // --- Reading rows away from the current record (the grid) ---
  // Reads the record at 1-based position SeqNo into Buffer without moving the current record
  // or loading any memo; false when there is none.
  bool ReadRecordAt(int32_t seqNo, TRecordBuffer& buffer);
  // The text of non-blob field FieldIndex of a buffer read that way.
  static std::u16string BufferText(const TRecordBuffer& buffer, const TVdbField& field);

  // --- For fields, blob streams and data sources ---
  TRecordBuffer& ActiveBuffer() { return active_; }
  TBlobInfo& LoadBlob(const TVdbField& field);
  void MarkFieldChanged();
  unsigned CodePage() const { return codePage_; }
  // How many times a memo or blob value came from the engine (the blob cache's misses).
  int BlobLoads() const { return blobLoads_; }
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);
  // Called by the database when the cursor reports that Moved took Deleted's place.
  void RecordReplaced(int32_t deleted, int32_t moved);
  VdbHandle SessionHandle() const;

 protected:
  // Opens the engine cursor and returns its table handle.
  virtual VdbHandle OpenTableHandle() = 0;
  virtual bool ExtraCanModify() const { return true; }
  virtual void AfterCloseHandle() {}
  // A condition the cursor applies besides the dataset filter (a range, a master's key).
  virtual std::string ExtraCondition() const { return {}; }
  // The extra condition changed: hand it to the cursor again and go to the first record.
  void ConditionChanged();
  void ConnectDatabase();
  [[noreturn]] void Raise(const std::string& context, int code) const;
  void RequireActive() const;

 private:
  enum class TGetMode { gmCurrent, gmNext, gmPrior };
  enum class TGetResult { grOK, grBOF, grEOF, grError };
  void InternalOpen();
  void InternalClose();
  void BuildFieldDefs();
  void SetupFilter();
  TGetResult GetRecord(TGetMode mode, TRecordBuffer& buffer, bool checkErrors);
  TGetResult FetchOnce(TGetMode mode, TRecordBuffer& buffer, bool checkErrors);
  void FillBuffer(TRecordBuffer& buffer);
  void ClearBuffer(TRecordBuffer& buffer) const;
  void PositionCursorOn(const TRecordBuffer& buffer);
  void WriteRecord();
  void CheckBrowseMove();
  void Notify(void (TDataLink::*event)());
  void SetState(TDataSetState state);
  void FetchCurrentAfterPosition();
  bool Accepts();
  std::string CursorCondition() const;
  bool FindMatch(const std::vector<const TVdbField*>& keys, const std::vector<std::u16string>& values,
                 unsigned options, TRecordBuffer& found);

  std::string databaseName_;
  TVdbDatabase* database_ = nullptr;
  std::unique_ptr<TVdbDatabase> ownedDatabase_;  // created on demand for a path as name
  VdbHandle tableHdl_ = 0;
  TDataSetState state_ = TDataSetState::dsInactive;
  TOutOfTableState outOfTableState_ = TOutOfTableState::ootNone;
  bool canModify_ = false;
  bool bof_ = true;
  bool eof_ = true;
  bool filtered_ = false;
  bool filterUpdated_ = false;
  bool inFilter_ = false;
  int32_t recordSize_ = 0;
  int32_t tableLevel_ = 0;
  int32_t filteredRecordCount_ = -1;
  unsigned codePage_ = 1252;
  int blobLoads_ = 0;
  TRecordBuffer active_;
  TRecordBuffer saved_;  // the record shown before an insert
  std::vector<TVdbFieldDef> fieldDefs_;
  std::vector<std::unique_ptr<TVdbField>> fields_;
  std::vector<TDataSource*> sources_;
};
