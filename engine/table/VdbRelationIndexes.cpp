// Relations: index numbering, kinds and file names, stepping through index files, choosing and
// making indexes, and building and comparing index keys.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "base/VdbErrors.h"
#include "base/VdbServices.h"
#include "storage/kxFormat.h"
#include "table/VdbIndexKeys.h"
#include "table/VdbRelation.h"

namespace vdb {

namespace {

// Index-file search results.
constexpr std::int16_t kFound = 0;
constexpr std::int16_t kNone = 1;
constexpr std::int16_t kNotInIndex = -1;

bool EqualsNoCase(std::string_view A, std::string_view B) {
  return A.size() == B.size() &&
         std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return std::tolower(static_cast<unsigned char>(X)) ==
                  std::tolower(static_cast<unsigned char>(Y));
         });
}

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix) {
  return Text.size() >= Prefix.size() && EqualsNoCase(Text.substr(0, Prefix.size()), Prefix);
}

// The extension of a name, dot included; empty when it has none.
std::string_view Extension(std::string_view Name) {
  const std::size_t dot = Name.find_last_of('.');
  const std::size_t slash = Name.find_last_of("/\\");
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return Name.substr(dot);
}

std::string_view WithoutExtension(std::string_view Name) {
  return Name.substr(0, Name.size() - Extension(Name).size());
}

std::string_view DirectoryPart(std::string_view Path) {
  const std::size_t slash = Path.find_last_of("/\\");
  return slash == std::string_view::npos ? std::string_view{} : Path.substr(0, slash + 1);
}

bool AllDigits(std::string_view Text) {
  return !Text.empty() && std::all_of(Text.begin(), Text.end(), [](char C) {
    return std::isdigit(static_cast<unsigned char>(C)) != 0;
  });
}

// "In" followed by a number greater than 0.
bool IsLinkNumber(std::string_view Rest) {
  if (!StartsWithNoCase(Rest, "In")) return false;
  const std::string_view number = Rest.substr(2);
  if (!AllDigits(number)) return false;
  return std::any_of(number.begin(), number.end(), [](char C) { return C != '0'; });
}

TVdbIndexKind KindFromName(std::string_view Name) {
  if (!Extension(Name).empty()) return tikUser;
  if (StartsWithNoCase(Name, "sys_")) {
    const std::string_view rest = Name.substr(4);
    if (EqualsNoCase(rest, "Id") || EqualsNoCase(rest, "Inr") || IsLinkNumber(rest))
      return tikAdl;
    return tikConstraint;
  }
  if (Name.starts_with("tmp")) return tikTemporary;
  return tikUser;
}

TVdbIndexKind KindFromExtension(std::string_view Name) {
  const std::string_view ext = Extension(Name);
  if (ext.empty() || EqualsNoCase(ext, ".ind") || EqualsNoCase(ext, ".$$i")) return tikUser;
  if (ext.size() == 4 && ext[1] == '$') return tikTemporary;
  if (EqualsNoCase(ext, ".inr") || EqualsNoCase(ext, ".id")) return tikAdl;
  if (ext.size() == 4 && EqualsNoCase(ext.substr(0, 3), ".in") && ext[3] >= '1' && ext[3] <= '9')
    return tikAdl;
  return tikUnknown;
}

std::uint8_t* Bytes(TVdbLongIndexInfo& Info) { return reinterpret_cast<std::uint8_t*>(&Info); }
const std::uint8_t* Bytes(const TVdbLongIndexInfo& Info) {
  return reinterpret_cast<const std::uint8_t*>(&Info);
}

// An item buffer of an index definition's size.
struct TItemBuffer {
  explicit TItemBuffer(const TVdbSortDef& Def)
      : Data(static_cast<std::size_t>(std::max<std::int32_t>(Def.KeySize(), 4)) + 8, 0) {}
  TVdbLongIndexInfo& Info() { return *reinterpret_cast<TVdbLongIndexInfo*>(Data.data()); }
  std::vector<std::uint8_t> Data;
};

}  // namespace

// --- Names and kinds ---

TVdbIndexKind TVdbRelation::GetIndexKind(std::string_view IndexName, std::int16_t TableLevel) {
  return TableLevel >= 4 ? KindFromName(IndexName) : KindFromExtension(IndexName);
}

TVdbIndexKind TVdbRelation::GetIndexKind(std::string_view IndexName) const {
  return GetIndexKind(IndexName, Level());
}

std::string TVdbRelation::CalcIndexFileName(const std::string& IndexName) const {
  const std::string table = FullName();
  const std::int16_t level = Level();
  if (level >= 4) {
    const std::string base(WithoutExtension(table));
    return base + "!" + IndexName + (level >= 6 ? ".vdbi" : ".ind");
  }
  std::string name(DirectoryPart(table));
  name += IndexName;
  if (Extension(IndexName).empty()) name += CalcStdName(table).starts_with("~") ? ".$$i" : ".ind";
  return name;
}

std::string TVdbRelation::CalcRelTableFileName(std::int16_t FieldNo) const {
  const std::string base(WithoutExtension(FullName()));
  if (Level() >= 6) return base + "!rel_" + GetFieldName(FieldNo) + ".vdbt";
  return base + ".rel";
}

std::int16_t TVdbRelation::GetIndexNo(std::string_view IndexName) const {
  for (std::int16_t no = FirstIndexNo(); no <= LastIndexNo(); ++no) {
    const TVdbIndexFile* file = GetIndexFile(no);
    if (file && CompareIdentifiers(file->Name(), IndexName) == 0) return no;
  }
  return -1;
}

std::int16_t TVdbRelation::FindIndex(const std::string& IndexName) const {
  return GetIndexNo(IndexName);
}

// --- Opening and stepping ---

// Opening goes through the virtual CheckIndexOpen, so that the checks of a derived relation
// apply. Its error is already recorded: it travels on as an exception with the same number and
// message, so that recording it again changes nothing.
TVdbIndexFile& TVdbRelation::OpenedIndexFile(std::int16_t IndexNo) {
  TVdbIndexFile* file = GetIndexFile(IndexNo);
  if (!file) throw EVdbEngine(kVdbErrNoSuitableIndex, IndexLabel(IndexNo));
  if (file->IsOpen() && !file->IsLost()) return *file;
  const std::int16_t result = CheckIndexOpen(IndexNo);
  if (result < 0) {
    const std::string message = FServices ? FServices->LastErrorMsg() : std::string();
    throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-result), message);
  }
  if (!file->IsOpen()) throw EVdbEngine(kVdbErrIndexCorrupt, file->Name());
  return *file;
}

std::int16_t TVdbRelation::CheckIndexOpen(std::int16_t IndexNo) {
  return Guarded([&]() -> std::int16_t {
    TVdbIndexFile* file = GetIndexFile(IndexNo);
    if (!file) throw EVdbEngine(kVdbErrNoSuitableIndex, IndexLabel(IndexNo));
    if (file->IsLost()) throw EVdbEngine(kVdbErrIndexCorrupt, file->Name());
    if (!file->IsOpen() && file->Open() < 0) throw EVdbEngine(kVdbErrIndexCorrupt, file->Name());
    return 0;
  });
}

std::unique_ptr<TVdbSortDef> VdbSortDefFromHeader(const TVdbIndexHeaderDef& Header,
                                                  const TVdbColumnDefs& Columns,
                                                  std::int16_t TableLevel,
                                                  TVdbExpressionFactory* Factory) {
  auto def = std::make_unique<TVdbSortDef>(Header.Name, Header.Calculated, Header.Unique);
  def->IsVarSize = Header.VariableSize;
  if (Header.Calculated) {
    def->FSource = "(" + Header.Expression + ")";
    def->FCalculation = std::make_unique<TVdbCalculation>(
        TVdbExpressionSource::FromStored(Header.Expression, TableLevel));
    def->AddLevel(TVdbSortLevel{Header.ResultType, 0, Header.PieceSize, false});
    if (Factory) {
      try {
        def->FCalculation->Compile(*Factory, Columns, TableLevel);
      } catch (const std::runtime_error&) {
        // Stays uncompiled: building a key reports the expression then.
      }
    }
  } else if (Header.Levels.empty() && TableLevel <= 3) {
    def->SetVectorData(Header.Vector.data());
  } else {
    for (const TVdbIndexLevel& level : Header.Levels) {
      const bool descending = (static_cast<std::uint16_t>(level.Column) & 0x8000u) != 0;
      const auto fieldNo = static_cast<std::int16_t>(level.Column & 0x7FFF);
      def->AddLevel(TVdbSortLevel{level.Type, fieldNo, level.Size, descending});
    }
  }
  def->FSize = Header.ItemSize;
  return def;
}

const TVdbSortDef* TVdbRelation::GetIndexDefinition(std::int16_t IndexNo) {
  TVdbIndexFile* file = GetIndexFile(IndexNo);
  if (!file || !file->IsOpen() || IndexNo < 0) return nullptr;
  const auto slot = static_cast<std::size_t>(IndexNo);
  if (FIndexDefCache.size() <= slot) FIndexDefCache.resize(slot + 1);
  TIndexDefCache& cache = FIndexDefCache[slot];
  if (!cache.Definition || !(cache.Stored == file->IndexDef())) {
    cache.Definition.reset();
    try {
      cache.Definition = VdbSortDefFromHeader(file->IndexDef(), *FColumnDefs, Level(),
                                              FServices ? FServices->ExpressionFactory() : nullptr);
    } catch (const EVdbEngine& Error) {
      RecordError(Error);  // a stored definition that makes no sense: the index is of no use
      return nullptr;
    }
    cache.Stored = file->IndexDef();
  }
  return cache.Definition.get();
}

std::uint8_t* TVdbRelation::GetIndexWorkInfo(std::int16_t IndexNo, int WorkInfoIndex) {
  TVdbIndexFile* file = GetIndexFile(IndexNo);
  if (!file || WorkInfoIndex < 0 || WorkInfoIndex >= TVdbIndexFile::kWorkInfoCount) return nullptr;
  return file->GetWorkInfo(WorkInfoIndex);
}

namespace {

// An index-file answer as a stepping result: 0 entry, 1 none; failures as engine errors.
std::int16_t StepResult(std::int16_t Result, const TVdbIndexFile& File) {
  if (Result == kFound || Result == kNone) return Result;
  throw EVdbEngine(static_cast<std::int16_t>(Result < 0 ? -Result : Result), File.Name());
}

}  // namespace

std::int16_t TVdbRelation::FindFirstIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) {
  return Guarded([&] {
    TVdbIndexFile& file = OpenedIndexFile(IndexNo);
    return StepResult(file.Erster_Index(Bytes(Value)), file);
  });
}

std::int16_t TVdbRelation::FindLastIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) {
  return Guarded([&] {
    TVdbIndexFile& file = OpenedIndexFile(IndexNo);
    return StepResult(file.Letzter_Index(Bytes(Value)), file);
  });
}

// An entry that is no longer in the index (deleted meanwhile) steps to its neighbour in order.
std::int16_t TVdbRelation::FindNextIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) {
  return Guarded([&] {
    TVdbIndexFile& file = OpenedIndexFile(IndexNo);
    const std::int16_t result = file.Naechster_Index(Bytes(Value));
    if (result != kNotInIndex) return StepResult(result, file);
    return StepResult(file.Suche_Index(Bytes(Value)), file);
  });
}

std::int16_t TVdbRelation::FindPrevIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) {
  return Guarded([&] {
    TVdbIndexFile& file = OpenedIndexFile(IndexNo);
    const std::int16_t result = file.Vorheriger_Index(Bytes(Value));
    if (result != kNotInIndex) return StepResult(result, file);
    std::vector<std::uint8_t> saved(Bytes(Value), Bytes(Value) + file.ItemSize());
    if (StepResult(file.Suche_Index(Bytes(Value)), file) == kNone)
      return StepResult(file.Letzter_Index(Bytes(Value)), file);
    const std::int16_t prev = StepResult(file.Vorheriger_Index(Bytes(Value)), file);
    if (prev == kNone) std::memcpy(Bytes(Value), saved.data(), saved.size());
    return prev;
  });
}

std::int16_t TVdbRelation::FindSortInfo(std::int16_t AccessId, const TVdbLongIndexInfo& SearchInfo,
                                        TVdbLongIndexInfo& FoundInfo) {
  return Guarded([&]() -> std::int16_t {
    if (AccessId < 0 || AccessId >= kVdbFirstSpecialAccessId)
      throw EVdbEngine(kVdbErrNoSuitableIndex, IndexLabel(AccessId));
    TVdbIndexFile& file = OpenedIndexFile(AccessId);
    const TVdbSortDef* def = GetIndexDefinition(AccessId);
    if (!def) throw EVdbEngine(kVdbErrIndexCorrupt, file.Name());
    // The search item may be the found item's buffer: keep a copy to compare against.
    const auto size = static_cast<std::size_t>(std::max<std::int32_t>(def->KeySize(), 4));
    TItemBuffer search(*def);
    std::memcpy(search.Data.data(), Bytes(SearchInfo), size);
    std::memcpy(Bytes(FoundInfo), search.Data.data(), size);
    if (StepResult(file.Suche_Index(Bytes(FoundInfo)), file) == kNone) return 0;
    return IsSameIndexInfo(*def, search.Info(), FoundInfo) ? 3 : 1;
  });
}

std::int16_t TVdbRelation::GetNativeSortInfo(std::int32_t RecordNo, TVdbLongIndexInfo& SortInfo) {
  return Guarded([&]() -> std::int16_t {
    const TVdbSortDef* def = GetNativeSortDef();
    if (!def) throw EVdbEngine(kVdbErrNoSuitableIndex, Name());
    if (def->LevelCount == 0) {
      SortInfo.DateiVerweis = RecordNo;
      return 0;
    }
    std::vector<std::uint8_t> record(static_cast<std::size_t>(std::max(RecordSize(), 1)));
    const std::int16_t read = ReadRecord(RecordNo, record.data());
    if (read < 0) return read;
    CalcIndexInfo(record.data(), *def, SortInfo, RecordNo);
    return 0;
  });
}

// --- Choosing and making indexes ---

std::int16_t TVdbRelation::FindIndex(const TVdbSortDef& IndexDef, TVdbIndexFindOptions Options,
                                     bool& Reverse) {
  Reverse = false;
  const bool allowReverse = (Options & tifoNoReverse) == 0;
  if (Options & tifoIncludeSpecial) {
    const TVdbSortDef* native = GetNativeSortDef();
    bool reverse = false;
    if (native && native->Covers(IndexDef, allowReverse, reverse)) {
      Reverse = reverse;
      return -1;
    }
  }
  for (std::int16_t no = FirstIndexNo(); no <= LastIndexNo(); ++no) {
    TVdbIndexFile* file = GetIndexFile(no);
    if (!file) continue;
    // An index that cannot be opened simply does not serve (its error stays recorded).
    if (!file->IsOpen() && (Options & tifoNoOpen) == 0 && CheckIndexOpen(no) < 0) continue;
    const TVdbSortDef* def = GetIndexDefinition(no);
    if (!def) continue;
    if (Options & tifoExact) {
      if (def->Equals(IndexDef)) return no;
      continue;
    }
    bool reverse = false;
    if (def->Covers(IndexDef, allowReverse, reverse)) {
      Reverse = reverse;
      return no;
    }
  }
  if ((Options & tifoCreate) && !ReadOnly()) {
    const std::int16_t created = CreateTempIndex(IndexDef);
    return created < 0 ? -1 : created;
  }
  return -1;
}

std::int16_t TVdbRelation::FindIndex(const std::string& SortOrder, TVdbIndexFindOptions Options,
                                     bool& Reverse) {
  Reverse = false;
  return Guarded([&] {
    const std::unique_ptr<TVdbSortDef> def = CalcIndexDefinition(SortOrder, false);
    return FindIndex(*def, Options, Reverse);
  });
}

std::int16_t TVdbRelation::CreateIndex(const std::string& IndexName,
                                       const std::string& IndexSpecification, bool Unique) {
  return Guarded([&] {
    std::unique_ptr<TVdbSortDef> def = CalcIndexDefinition(IndexSpecification, Unique);
    def->SetName(IndexName);
    return NewIndex(IndexName, *def, {}, GetCapacity());
  });
}

std::int16_t TVdbRelation::CreateTempIndex(const TVdbSortDef& IndexDef) {
  std::int16_t result = -kVdbErrIndexAlreadyOpen;
  for (int number = 1; number <= 99; ++number) {
    const std::string name = Level() >= 4
                                 ? kxFormat("tmp%.3d", {number})
                                 : CalcStdName(FullName()) + kxFormat(".$%.2d", {number});
    const std::unique_ptr<TVdbSortDef> def = IndexDef.Clone();
    def->SetName(name);
    result = NewIndex(name, *def, {}, GetCapacity());
    if (result != -kVdbErrIndexFileExists && result != -kVdbErrIndexAlreadyOpen) return result;
  }
  return result;
}

// --- Keys ---

std::unique_ptr<TVdbSortDef> TVdbRelation::CalcIndexDefinition(
    const std::string& IndexSpecification, bool Unique) const {
  return vdb::CalcIndexDefinition(*FColumnDefs, Level(), IndexSpecification, Unique,
                                  FServices ? FServices->ExpressionFactory() : nullptr);
}

std::string TVdbRelation::CalcIndexSpecification(const TVdbSortDef& IndexDef,
                                                  bool Readable) const {
  return IndexDef.CalcSpecification(*FColumnDefs, Readable, false, false, false, Level());
}

std::string TVdbRelation::GetIndexSpecification(std::int16_t IndexNo) {
  const TVdbSortDef* def = GetIndexDefinition(IndexNo);
  return def ? CalcIndexSpecification(*def) : std::string();
}

std::int32_t TVdbRelation::CalcIndexInfo(const std::uint8_t* RecBuffer,
                                         const TVdbSortDef& IndexDef,
                                         TVdbLongIndexInfo& IndexInfo,
                                         std::int32_t RecordNo) const {
  return vdb::CalcIndexInfo(*FColumnDefs, Level(), RecBuffer, IndexDef, IndexInfo, RecordNo);
}

std::int32_t TVdbRelation::CalcIndexInfo(const std::uint8_t* RecBuffer, std::int16_t IndexNo,
                                         TVdbLongIndexInfo& IndexInfo, std::int32_t RecordNo) {
  TVdbIndexFile& file = OpenedIndexFile(IndexNo);
  const TVdbSortDef* def = GetIndexDefinition(IndexNo);
  if (!def) throw EVdbEngine(kVdbErrIndexCorrupt, file.Name());
  return CalcIndexInfo(RecBuffer, *def, IndexInfo, RecordNo);
}

bool TVdbRelation::IndexLess(const TVdbSortDef& IndexDef, const std::uint8_t* X,
                             const std::uint8_t* Y, bool& NotUnique) const {
  return vdb::IndexLess(*FColumnDefs, IndexDef, Level(), X, Y, NotUnique);
}

std::int16_t TVdbRelation::FindSortKeyDiff(const TVdbSortDef& IndexDef, const std::uint8_t* X,
                                           const std::uint8_t* Y) const {
  return vdb::FindSortKeyDiff(*FColumnDefs, IndexDef, Level(), X, Y);
}

bool TVdbRelation::IsSameIndexInfo(const TVdbSortDef& IndexDef, const TVdbLongIndexInfo& X,
                                   const TVdbLongIndexInfo& Y) const {
  return FindSortKeyDiff(IndexDef, Bytes(X), Bytes(Y)) >= IndexDef.LevelCount;
}

bool TVdbRelation::IsSameIndexKey(const TVdbSortDef& IndexDef, const TVdbLongIndexInfo& X,
                                  const TVdbLongIndexInfo& Y) const {
  if (X.DateiVerweis != Y.DateiVerweis) return false;
  const std::int32_t lengthX = IndexItemLength(*FColumnDefs, IndexDef, Level(), Bytes(X));
  const std::int32_t lengthY = IndexItemLength(*FColumnDefs, IndexDef, Level(), Bytes(Y));
  return lengthX == lengthY &&
         std::memcmp(Bytes(X), Bytes(Y), static_cast<std::size_t>(lengthX)) == 0;
}

namespace {

// -1, 0, 1: the keys of two items in index order, record numbers not compared.
int CompareKeys(const TVdbRelation& Relation, const TVdbSortDef& Def, const TVdbLongIndexInfo& X,
                const TVdbLongIndexInfo& Y) {
  if (Relation.IsSameIndexInfo(Def, X, Y)) return 0;
  bool notUnique = false;
  return Relation.IndexLess(Def, Bytes(X), Bytes(Y), notUnique) ? -1 : 1;
}

}  // namespace

bool TVdbRelation::TestFilterRange(const TVdbSortDef& IndexDef, const TVdbLongIndexInfo& Item,
                                   const TVdbLongIndexInfo* LowerBound,
                                   const TVdbLongIndexInfo* UpperBound) const {
  if (LowerBound && LowerBound->DateiVerweis != 0 &&
      CompareKeys(*this, IndexDef, Item, *LowerBound) < 0)
    return false;
  if (UpperBound && UpperBound->DateiVerweis != 0 &&
      CompareKeys(*this, IndexDef, Item, *UpperBound) > 0)
    return false;
  return true;
}

// Writes one key piece back into its column's field: the reverse of building the piece.
void TVdbRelation::WriteIndexInfo(std::uint8_t* RecBuffer, const TVdbSortDef& IndexDef,
                                  const TVdbLongIndexInfo& IndexInfo) const {
  if (IndexDef.IsCalculated) throw EVdbEngine(kVdbErrInvalidIndexSpec, IndexDef.GetSource());
  const std::uint8_t* piece = IndexInfo.Key;
  // A damaged item never leads beyond the key bytes of its definition.
  std::int32_t left = std::max<std::int32_t>(IndexDef.KeySize() - 4, 0);
  for (int level = 0; level < IndexDef.LevelCount && left > 0; ++level) {
    const TVdbSortLevel& item = IndexDef.Items[static_cast<std::size_t>(level)];
    const std::int32_t length = std::clamp<std::int32_t>(
        KeyPieceLength(*FColumnDefs, IndexDef, Level(), level, piece), 0, left);
    left -= length;
    const TVdbColumnDef& column = GetColumnDef(item.FieldNo);
    std::uint8_t* field = GetRecordField(RecBuffer, item.FieldNo);
    std::memset(field, 0, static_cast<std::size_t>(column.Size));
    const std::int32_t copied = std::min<std::int32_t>(length, column.Size);
    const bool trailingNull = column.GetHasNullByte() && Level() < 6;
    if (trailingNull && copied > 0 && item.Size > 0 && item.Size <= length) {
      std::memcpy(field, piece, static_cast<std::size_t>(std::min<std::int32_t>(copied, item.Size - 1)));
      field[column.Size - 1] = piece[item.Size - 1];
    } else {
      std::memcpy(field, piece, static_cast<std::size_t>(copied));
    }
    piece += length;
  }
}

bool TVdbRelation::GetValueFromIndex(const TVdbSortDef& IndexDef,
                                     const TVdbLongIndexInfo& IndexInfo, int Level,
                                     TVdbDataValue& Value) const {
  if (Level < 0 || Level >= IndexDef.LevelCount) throw EVdbEngine(kVdbErrInvalidIndexSpec, IndexDef.GetSource());
  std::vector<std::uint8_t> record(static_cast<std::size_t>(std::max(FColumnDefs->GetRecordSize(), 1)));
  WriteIndexInfo(record.data(), IndexDef, IndexInfo);
  return GetValue(record.data(), IndexDef.Items[static_cast<std::size_t>(Level)].FieldNo, Value);
}

std::int32_t TVdbRelation::StringToIndex(const TVdbSortDef& IndexDef,
                                         const std::vector<std::string>& Values,
                                         TVdbLongIndexInfo& IndexInfo, std::int32_t RecordNo,
                                         bool LastOfRest) const {
  if (IndexDef.IsCalculated) throw EVdbEngine(kVdbErrInvalidIndexSpec, IndexDef.GetSource());
  std::vector<std::uint8_t> record(static_cast<std::size_t>(std::max(FColumnDefs->GetRecordSize(), 1)));
  for (int level = 0; level < IndexDef.LevelCount; ++level) {
    const TVdbSortLevel& item = IndexDef.Items[static_cast<std::size_t>(level)];
    if (static_cast<std::size_t>(level) < Values.size()) {
      SetAsStringA(record.data(), item.FieldNo, Values[static_cast<std::size_t>(level)]);
    } else {
      const TVdbDataType* type = GetDataType(item.FieldNo);
      TVdbDataValue field;
      type->SetReference(field, GetRecordField(record.data(), item.FieldNo));
      if (LastOfRest != item.Descending) type->GetMaximum(field);
      else type->GetMinimum(field);
    }
  }
  return CalcIndexInfo(record.data(), IndexDef, IndexInfo, RecordNo);
}

std::string TVdbRelation::IndString(const TVdbSortDef& IndexDef,
                                    const TVdbLongIndexInfo& IndexInfo) const {
  if (IndexDef.IsCalculated) return {};
  std::vector<std::uint8_t> record(static_cast<std::size_t>(std::max(FColumnDefs->GetRecordSize(), 1)));
  WriteIndexInfo(record.data(), IndexDef, IndexInfo);
  std::string text;
  for (int level = 0; level < IndexDef.LevelCount; ++level) {
    std::string value;
    GetAsStringA(record.data(), IndexDef.Items[static_cast<std::size_t>(level)].FieldNo, value);
    if (level > 0) text += ',';
    text += value;
  }
  return text;
}

// --- Records by key ---

std::int32_t TVdbRelation::LocateRecord(std::int16_t IndexNo, const std::uint8_t* RecBuffer) {
  return Guarded([&]() -> std::int32_t {
    TVdbIndexFile& file = OpenedIndexFile(IndexNo);
    const TVdbSortDef* def = GetIndexDefinition(IndexNo);
    if (!def) throw EVdbEngine(kVdbErrIndexCorrupt, file.Name());
    // Record number 0 sorts before every real entry with the same key.
    TItemBuffer search(*def), found(*def);
    CalcIndexInfo(RecBuffer, *def, search.Info(), 0);
    found.Data = search.Data;
    if (StepResult(file.Suche_Index(found.Data.data()), file) == kNone) return 0;
    return IsSameIndexInfo(*def, search.Info(), found.Info()) ? found.Info().DateiVerweis : 0;
  });
}

std::int32_t TVdbRelation::FindRecordId(std::int32_t RecordId) {
  return Guarded([&]() -> std::int32_t {
    if (FRecordIdFieldNo == 0) throw EVdbEngine(kVdbErrNoRecordIdColumn, FullName());
    std::vector<std::uint8_t> record(static_cast<std::size_t>(std::max(RecordSize(), 1)));
    if (FInrIndexNo != kVdbNoIndex && GetIndexFile(FInrIndexNo)) {
      SetRecordId(record.data(), RecordId);
      return LocateRecord(FInrIndexNo, record.data());
    }
    for (std::int32_t no = GetFirstRecordNo(); no > 0; no = GetNextRecordNo(no)) {
      const std::int16_t read = ReadRecord(no, record.data());
      if (read < 0) return read;
      if (GetRecordId(record.data()) == RecordId) return no;
    }
    return 0;
  });
}

// The keys are kept only as long as they are (variable-size string keys are mostly short), one
// after the other in one pool.
std::int16_t TVdbRelation::SortBookmarks(std::vector<std::int32_t>& RecordNos,
                                         const TVdbSortDef& Order) {
  return Guarded([&]() -> std::int16_t {
    TItemBuffer item(Order);
    std::vector<std::uint8_t> pool;
    std::vector<std::size_t> offsets;  // by entry; the holes (0) have none
    std::vector<std::size_t> order;
    std::vector<std::uint8_t> record(static_cast<std::size_t>(std::max(RecordSize(), 1)));
    std::size_t holes = 0;
    for (std::size_t i = 0; i < RecordNos.size(); ++i) {
      offsets.push_back(pool.size());
      if (RecordNos[i] == 0) {
        ++holes;
        continue;
      }
      const std::int16_t read = ReadRecord(RecordNos[i], record.data());
      if (read < 0) return read;
      const std::int32_t key = vdb::CalcIndexInfo(*FColumnDefs, Level(), record.data(), Order,
                                                  item.Data.data(), item.Data.size(), RecordNos[i]);
      pool.insert(pool.end(), item.Data.begin(), item.Data.begin() + 4 + key);
      order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t A, std::size_t B) {
      bool notUnique = false;
      return IndexLess(Order, pool.data() + offsets[A], pool.data() + offsets[B], notUnique);
    });
    std::vector<std::int32_t> sorted;
    sorted.reserve(RecordNos.size());
    for (std::size_t i : order) sorted.push_back(RecordNos[i]);
    sorted.insert(sorted.end(), holes, 0);
    RecordNos = std::move(sorted);
    return 0;
  });
}

}  // namespace vdb
