#include "table/VdbIndexKeys.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "base/VdbErrors.h"
#include "table/VdbData.h"
#include "table/VdbRelation.h"

namespace vdb {

namespace {

bool IsStringCode(std::int16_t Code) { return Code == 1 || Code == 18; }

// Codes whose nullable types carry a null byte (from table level 4 on).
bool CodeHasNullByte(std::int16_t Code) {
  switch (Code) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 13: case 16: case 18: case 20: case 21:
      return true;
    default:
      return false;
  }
}

// Width of the length prefix of a string field image of FieldSize bytes.
int StringPrefixSize(std::int16_t Code, std::int32_t FieldSize, bool HasNullByte) {
  if (Code == 18) return 2;
  return FieldSize - (HasNullByte ? 1 : 0) <= 256 ? 1 : 2;
}

std::int32_t ReadPrefix(const std::uint8_t* At, int PrefixSize) {
  return PrefixSize == 1 ? At[0] : (At[0] | (At[1] << 8));
}

void WritePrefix(std::uint8_t* At, int PrefixSize, std::int32_t Length) {
  At[0] = static_cast<std::uint8_t>(Length);
  if (PrefixSize == 2) At[1] = static_cast<std::uint8_t>(Length >> 8);
}

// The record number in front of an item (little-endian, as stored in index pages).
std::int32_t ReadRecordNo(const std::uint8_t* Item) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(Item[0]) | (Item[1] << 8) |
                                   (Item[2] << 16) | (static_cast<std::uint32_t>(Item[3]) << 24));
}
void WriteRecordNo(std::uint8_t* Item, std::int32_t RecordNo) {
  const auto value = static_cast<std::uint32_t>(RecordNo);
  for (int i = 0; i < 4; ++i) Item[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// How one level's key piece is laid out and compared.
struct TPieceShape {
  std::int16_t Type = 0;           // type code handed to the comparison
  std::int32_t FieldSize = 0;      // size of the whole field image (decides the prefix width)
  std::int32_t PieceSize = 0;      // the level's piece size
  bool HasNullByte = false;
  bool NullFirst = false;          // null byte in front (table level 6 on)
  bool VarString = false;          // piece only as long as its content
  bool Wide = false;
  int PrefixSize = 0;              // 0 for non-string pieces
  std::uint32_t LocaleId = kVdbEngineLocale;
  std::uint32_t Options = 0;
};

[[noreturn]] void ThrowBadDefinition(const TVdbSortDef& IndexDef) {
  throw EVdbEngine(kVdbErrInvalidIndexSpec, IndexDef.FSource);
}

TPieceShape ShapeOf(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
                    std::int16_t TableLevel, int Level) {
  const TVdbSortLevel& level = IndexDef.Items[static_cast<std::size_t>(Level)];
  TPieceShape shape;
  shape.PieceSize = level.Size;
  shape.NullFirst = TableLevel >= 6;
  if (IndexDef.IsCalculated) {
    shape.Type = level.ColumnType;
    shape.FieldSize = level.Size;
    const TVdbDataType* result =
        IndexDef.FCalculation ? IndexDef.FCalculation->ResultType() : nullptr;
    shape.HasNullByte = result ? result->HasNullByte() : (TableLevel >= 4 && CodeHasNullByte(shape.Type));
  } else {
    const int index = level.FieldNo - 1;
    if (index < 0 || index >= Columns.GetCount() || level.Size <= 0) ThrowBadDefinition(IndexDef);
    const TVdbColumnDef& column = Columns.GetColumnDef(index);
    shape.Type = level.ColumnType == kVdbRelationKeyType ? kVdbRelationKeyType
                                                          : column.GetColumnType();
    shape.FieldSize = IsStringCode(shape.Type) ? column.Size : level.Size;
    shape.HasNullByte = column.GetHasNullByte();
    // Column types are shared, unchangeable registry objects: a string code means a string type,
    // so no run-time type check is needed on this path, which every key comparison takes.
    if (column.DataType != nullptr && column.DataType->IsStringType()) {
      const auto* String = static_cast<const TVdbStringType*>(column.DataType);
      shape.LocaleId = String->LocaleId();
      shape.Options = String->StrCmpOptions();
    }
  }
  if (IsStringCode(shape.Type)) {
    shape.Wide = shape.Type == 18;
    shape.PrefixSize = StringPrefixSize(shape.Type, shape.FieldSize, shape.HasNullByte);
    shape.VarString = IndexDef.IsVarSize && shape.NullFirst;
  }
  return shape;
}

// The number of characters a string piece can hold.
std::int32_t PieceCapacity(const TPieceShape& Shape) {
  const std::int32_t bytes = Shape.PieceSize - Shape.PrefixSize - (Shape.HasNullByte ? 1 : 0);
  return std::max(0, Shape.Wide ? bytes / 2 : bytes);
}

std::int32_t PieceLength(const TPieceShape& Shape, const std::uint8_t* Piece) {
  if (!Shape.VarString) return Shape.PieceSize;
  std::int32_t offset = 0;
  if (Shape.HasNullByte) {
    if (Piece[0] == 0) return 1;
    offset = 1;
  }
  if (Shape.PieceSize < offset + Shape.PrefixSize) return Shape.PieceSize;
  const std::int32_t length = std::min(ReadPrefix(Piece + offset, Shape.PrefixSize),
                                       PieceCapacity(Shape));
  return offset + Shape.PrefixSize + length * (Shape.Wide ? 2 : 1);
}

int ComparePieces(const TPieceShape& Shape, const std::uint8_t* A, std::int32_t LengthA,
                  const std::uint8_t* B, std::int32_t LengthB, std::uint32_t ExtraOptions,
                  std::int16_t TableLevel) {
  return TVdbRelation::CompareFields(A, B, Shape.Options | ExtraOptions, Shape.LocaleId,
                                     Shape.HasNullByte, Shape.FieldSize, LengthA, LengthB,
                                     Shape.Type, TableLevel);
}

std::string Trim(std::string_view Text) {
  std::size_t begin = 0, end = Text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(Text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(Text[end - 1]))) --end;
  return std::string(Text.substr(begin, end - begin));
}

bool AllDigits(std::string_view Text) {
  return !Text.empty() && std::all_of(Text.begin(), Text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

// Walks Text through its brackets and quotes: Visit(Index, Depth) sees every character outside
// quotes with the bracket depth after it. False when brackets or quotes are unbalanced.
template <typename TVisit>
bool WalkNesting(const std::string& Text, TVisit Visit) {
  std::string closers;
  char quote = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      continue;
    }
    if (c == '(' || c == '[' || c == '{') {
      closers.push_back(c == '(' ? ')' : c == '[' ? ']' : '}');
    } else if (c == ')' || c == ']' || c == '}') {
      if (closers.empty() || closers.back() != c) return false;
      closers.pop_back();
    }
    Visit(i, closers.size());
  }
  return quote == 0 && closers.empty();
}

// Splits at the commas outside parentheses, brackets, braces and quotes.
bool SplitItems(const std::string& Text, std::vector<std::string>& Items) {
  std::size_t start = 0;
  const bool balanced = WalkNesting(Text, [&](std::size_t i, std::size_t depth) {
    if (depth == 0 && Text[i] == ',') {
      Items.push_back(Text.substr(start, i - start));
      start = i + 1;
    }
  });
  Items.push_back(Text.substr(start));
  return balanced;
}

// Whether the whole text is one parenthesised expression.
bool IsExpressionSpec(const std::string& Text) {
  if (Text.empty() || Text.front() != '(') return false;
  std::size_t firstClose = std::string::npos;
  const bool balanced = WalkNesting(Text, [&](std::size_t i, std::size_t depth) {
    if (depth == 0 && firstClose == std::string::npos) firstClose = i;
  });
  return balanced && firstClose == Text.size() - 1;
}

// One item: ["-"] ["$"] (name | "{" name "}" | number) [":" number]. Answers the column index.
int ParseItem(const TVdbColumnDefs& Columns, std::string Item, bool& Descending) {
  Item = Trim(Item);
  Descending = !Item.empty() && Item[0] == '-';
  if (Descending) Item = Trim(std::string_view(Item).substr(1));
  if (!Item.empty() && Item[0] == '$') Item = Trim(std::string_view(Item).substr(1));

  std::string name;
  std::string rest;
  if (!Item.empty() && (Item[0] == '{' || Item[0] == '"' || Item[0] == '[')) {
    const char closer = Item[0] == '{' ? '}' : Item[0] == '"' ? '"' : ']';
    const std::size_t end = Item.find(closer, 1);
    if (end == std::string::npos) return -1;
    name = Trim(std::string_view(Item).substr(1, end - 1));
    rest = Trim(std::string_view(Item).substr(end + 1));
  } else {
    const std::size_t colon = Item.find(':');
    name = Trim(std::string_view(Item).substr(0, colon));
    if (colon != std::string::npos) rest = Item.substr(colon);
  }
  if (!rest.empty()) {
    // ":" and a piece size, accepted and ignored: the whole field is always taken.
    if (rest[0] != ':' || !AllDigits(Trim(std::string_view(rest).substr(1)))) return -1;
  }
  if (name.empty()) return -1;
  if (AllDigits(name)) {
    if (name.size() > 5) return -1;
    const int number = std::stoi(name);
    return number >= 1 && number <= Columns.GetCount() ? number - 1 : -1;
  }
  return Columns.Find(name);
}

std::unique_ptr<TVdbSortDef> ExpressionIndex(const TVdbColumnDefs& Columns,
                                             std::int16_t TableLevel, const std::string& Spec,
                                             bool Unique, TVdbExpressionFactory* Factory) {
  if (!Factory) throw EVdbEngine(kVdbErrInvalidIndexSpec, Spec);
  auto def = std::make_unique<TVdbSortDef>(std::string(), true, Unique, Spec);
  def->FCalculation = std::make_unique<TVdbCalculation>(
      TVdbExpressionSource::FromStored(Spec.substr(1, Spec.size() - 2), TableLevel));
  try {
    def->FCalculation->Compile(*Factory, Columns, TableLevel);
  } catch (const std::exception&) {
    throw EVdbEngine(kVdbErrInvalidIndexSpec, Spec);
  }
  const TVdbDataType* result = def->FCalculation->ResultType();
  const std::int32_t size = result->DataSize();
  if (size <= 0 || size > kVdbMaxIndexKeySize) throw EVdbEngine(kVdbErrInvalidIndexSpec, Spec);
  def->AddLevel(TVdbSortLevel{static_cast<std::uint8_t>(result->ColumnType()), 0,
                              static_cast<std::int16_t>(size), false});
  def->IsVarSize = IsStringCode(result->ColumnType());
  def->FSize = (TableLevel >= 6 ? size : 256) + 4;
  return def;
}

}  // namespace

std::unique_ptr<TVdbSortDef> CalcIndexDefinition(const TVdbColumnDefs& Columns,
                                                 std::int16_t TableLevel,
                                                 const std::string& IndexSpecification,
                                                 bool Unique, TVdbExpressionFactory* Factory) {
  const std::string spec = Trim(IndexSpecification);
  if (IsExpressionSpec(spec)) {
    return ExpressionIndex(Columns, TableLevel, spec, Unique, Factory);
  }
  std::vector<std::string> items;
  if (spec.empty() || !SplitItems(spec, items)) throw EVdbEngine(kVdbErrInvalidIndexSpec, IndexSpecification);

  const int maxLevels = TableLevel <= 3 ? kVdbMaxClassicIndexLevels : kVdbMaxIndexLevels;
  if (static_cast<int>(items.size()) > maxLevels) throw EVdbEngine(kVdbErrTooManyIndexLevels, kxFormatArgs{});

  auto def = std::make_unique<TVdbSortDef>(std::string(), false, Unique, IndexSpecification);
  std::int32_t size = 4;
  for (const std::string& item : items) {
    bool descending = false;
    const int index = ParseItem(Columns, item, descending);
    if (index < 0) throw EVdbEngine(kVdbErrInvalidIndexSpec, IndexSpecification);
    const TVdbColumnDef& column = Columns.GetColumnDef(index);
    def->AddLevel(TVdbSortLevel{static_cast<std::uint8_t>(column.GetColumnType()),
                                static_cast<std::int16_t>(index + 1), column.Size, descending});
    if (TableLevel >= 6 && IsStringCode(column.GetColumnType())) def->IsVarSize = true;
    size += column.Size;
  }
  if (size - 4 > kVdbMaxIndexKeySize) throw EVdbEngine(kVdbErrInvalidIndexSpec, IndexSpecification);
  def->FSize = size;
  return def;
}

namespace {

// Copies the field of one column level into the key at Piece and answers the piece's length.
std::int32_t WriteColumnPiece(const TPieceShape& Shape, const TVdbColumnDef& Column,
                              const std::uint8_t* Field, std::int16_t TableLevel,
                              std::uint8_t* Piece) {
  const std::int32_t fieldSize = Column.Size;
  const std::int32_t copied = std::min(Shape.PieceSize, fieldSize);
  if (Shape.HasNullByte && !Shape.NullFirst) {
    // Below level 6 the null byte trails the field; it goes to the end of the piece.
    std::memcpy(Piece, Field, static_cast<std::size_t>(std::max(0, copied - 1)));
    Piece[Shape.PieceSize - 1] = TableLevel < 4 ? 0 : Field[fieldSize - 1];
  } else {
    std::memcpy(Piece, Field, static_cast<std::size_t>(copied));
  }
  if (Shape.PrefixSize == 0) return Shape.PieceSize;

  const std::int32_t prefixAt = Shape.HasNullByte && Shape.NullFirst ? 1 : 0;
  if (Shape.PieceSize < prefixAt + Shape.PrefixSize) return Shape.PieceSize;
  // A piece shorter than the field holds fewer characters; a damaged length is bounded too.
  const std::int32_t length = ReadPrefix(Piece + prefixAt, Shape.PrefixSize);
  if (length > PieceCapacity(Shape)) {
    WritePrefix(Piece + prefixAt, Shape.PrefixSize, PieceCapacity(Shape));
  }
  const std::int32_t used = PieceLength(Shape, Piece);
  std::memset(Piece + used, 0, static_cast<std::size_t>(Shape.PieceSize - used));
  return used;
}

}  // namespace

std::int32_t CalcIndexInfo(const TVdbColumnDefs& Columns, std::int16_t TableLevel,
                           const std::uint8_t* RecBuffer, const TVdbSortDef& IndexDef,
                           std::uint8_t* Item, std::size_t ItemCapacity, std::int32_t RecordNo) {
  if (IndexDef.FSize < 4 || ItemCapacity < static_cast<std::size_t>(IndexDef.FSize)) {
    throw std::invalid_argument("Index item buffer smaller than the index's item size");
  }
  std::memset(Item, 0, static_cast<std::size_t>(IndexDef.FSize));
  WriteRecordNo(Item, RecordNo);
  std::uint8_t* key = Item + kVdbIndexItemHeader;
  const std::int32_t keyCapacity = IndexDef.FSize - 4;

  if (IndexDef.IsCalculated) {
    TVdbCalculation* calculation = IndexDef.FCalculation.get();
    if (!calculation || !calculation->IsCompiled()) ThrowBadDefinition(IndexDef);
    const std::int32_t size = calculation->ResultType()->DataSize();
    if (size > keyCapacity) ThrowBadDefinition(IndexDef);
    calculation->Compiled()->EvaluateToField(RecBuffer, key);
    return size;
  }

  std::int32_t length = 0;
  for (int i = 0; i < IndexDef.LevelCount; ++i) {
    const TPieceShape shape = ShapeOf(Columns, IndexDef, TableLevel, i);
    if (length + shape.PieceSize > keyCapacity) ThrowBadDefinition(IndexDef);
    const TVdbColumnDef& column =
        Columns.GetColumnDef(IndexDef.Items[static_cast<std::size_t>(i)].FieldNo - 1);
    length += WriteColumnPiece(shape, column, RecBuffer + column.Position, TableLevel, key + length);
  }
  return length;
}

std::int32_t KeyPieceLength(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
                            std::int16_t TableLevel, int Level, const std::uint8_t* Piece) {
  return PieceLength(ShapeOf(Columns, IndexDef, TableLevel, Level), Piece);
}

std::int32_t IndexItemLength(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
                             std::int16_t TableLevel, const std::uint8_t* Item) {
  const std::uint8_t* piece = Item + kVdbIndexItemHeader;
  for (int i = 0; i < IndexDef.LevelCount; ++i) {
    piece += KeyPieceLength(Columns, IndexDef, TableLevel, i, piece);
  }
  return static_cast<std::int32_t>(piece - Item);
}

namespace {

// Walks the levels of two items; answers the first level whose pieces differ (LevelCount when
// none does) and that level's comparison result, oriented by its direction.
int FirstDifference(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
                    std::int16_t TableLevel, const std::uint8_t* X, const std::uint8_t* Y,
                    std::uint32_t ExtraOptions, int& Result) {
  const std::uint8_t* px = X + kVdbIndexItemHeader;
  const std::uint8_t* py = Y + kVdbIndexItemHeader;
  for (int i = 0; i < IndexDef.LevelCount; ++i) {
    const TPieceShape shape = ShapeOf(Columns, IndexDef, TableLevel, i);
    const std::int32_t lx = PieceLength(shape, px);
    const std::int32_t ly = PieceLength(shape, py);
    int r = ComparePieces(shape, px, lx, py, ly, ExtraOptions, TableLevel);
    if (r != 0) {
      if (IndexDef.Items[static_cast<std::size_t>(i)].Descending) r = -r;
      Result = r;
      return i;
    }
    px += lx;
    py += ly;
  }
  Result = 0;
  return IndexDef.LevelCount;
}

}  // namespace

bool IndexLess(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
               std::int16_t TableLevel, const std::uint8_t* X, const std::uint8_t* Y,
               bool& NotUnique, std::uint32_t ExtraOptions) {
  int result = 0;
  FirstDifference(Columns, IndexDef, TableLevel, X, Y, ExtraOptions, result);
  if (result != 0) return result < 0;
  NotUnique = true;
  return ReadRecordNo(X) < ReadRecordNo(Y);
}

std::int16_t FindSortKeyDiff(const TVdbColumnDefs& Columns, const TVdbSortDef& IndexDef,
                             std::int16_t TableLevel, const std::uint8_t* X,
                             const std::uint8_t* Y) {
  int result = 0;
  return static_cast<std::int16_t>(
      FirstDifference(Columns, IndexDef, TableLevel, X, Y, 0, result));
}

TVdbIndexHeaderDef VdbIndexHeaderDef(const TVdbSortDef& IndexDef, std::int16_t TableLevel) {
  constexpr std::int16_t kDescendingBit = static_cast<std::int16_t>(0x8000);
  TVdbIndexHeaderDef Header;
  Header.Name = IndexDef.Name();
  Header.Calculated = IndexDef.IsCalculated;
  Header.Unique = IndexDef.IsUnique;
  Header.VariableSize = IndexDef.IsVarSize;
  Header.ItemSize = static_cast<std::int16_t>(IndexDef.KeySize());
  if (IndexDef.IsCalculated) {
    Header.ResultType = IndexDef.LevelCount > 0 ? IndexDef.Items[0].ColumnType : 0;
    Header.PieceSize = static_cast<std::int16_t>(IndexDef.KeySize() - 4);
    Header.Expression = IndexDef.ExpressionText(TableLevel);
  } else {
    for (int Level = 0; Level < IndexDef.LevelCount; ++Level) {
      const TVdbSortLevel& Item = IndexDef.Items[static_cast<std::size_t>(Level)];
      const auto Column = static_cast<std::int16_t>(Item.Descending ? (Item.FieldNo | kDescendingBit)
                                                                    : Item.FieldNo);
      Header.Levels.push_back({Column, Item.Size, Item.ColumnType});
    }
  }
  if (TableLevel <= 3) Header.Vector = IndexDef.GetVectorData();
  return Header;
}

}  // namespace vdb
