// Table definitions: record layout, the stored definition block and the index vector form.
#include "table/VdbDefinitions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <typeinfo>
#include <string>
#include <vector>

#include "base/VdbErrors.h"
#include "table/VdbData.h"
#include "table/kxStrUtils.h"
#include "VdbDefinitionsTestSupport.h"

namespace vdb {
namespace {

using test::ErrorOf;
constexpr std::int16_t kLevel = 6;

// The lexicon's table Data: CIMSZO VARCHAR(150) nullable and LEIRAS memo, collation
// "Hungarian_ci_as".
TVdbTableDefinition LexiconDefinition() {
  TVdbTableDefinition def;
  def.CollationName = "Hungarian_ci_as";
  def.ColumnDefs = test::LexiconColumns(def.CollationName);
  return def;
}

// Little-endian readers for checking stored bytes.
std::uint16_t U16(const std::vector<std::uint8_t>& B, std::size_t At) {
  return static_cast<std::uint16_t>(B.at(At) | (B.at(At + 1) << 8));
}
std::uint32_t U32(const std::vector<std::uint8_t>& B, std::size_t At) {
  return U16(B, At) | (static_cast<std::uint32_t>(U16(B, At + 2)) << 16);
}
std::string Str(const std::vector<std::uint8_t>& B, std::size_t& At) {
  const std::size_t count = U16(B, At);
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += static_cast<char>(U16(B, At + 2 + 2 * i));
  At += 2 + 2 * count;
  return text;
}

void PutU16(std::vector<std::uint8_t>& B, std::size_t At, std::uint16_t V) {
  B.at(At) = static_cast<std::uint8_t>(V);
  B.at(At + 1) = static_cast<std::uint8_t>(V >> 8);
}

// Offsets inside the lexicon block.
constexpr std::size_t kMarkerAt = 0, kPasswordAt = 82, kCollationAt = 164;
constexpr std::size_t kCapacityAt = kCollationAt + 2 + 2 * 15;  // 196
constexpr std::size_t kRecordSizeAt = kCapacityAt + 8;            // 204
constexpr std::size_t kColumnCountAt = kRecordSizeAt + 4 + 2 + 2; // 212: after RecordId and types
constexpr std::size_t kLexiconUsedSize = 272;

void Load(const std::vector<std::uint8_t>& Block, TVdbTableDefinition& Def,
          const std::string& Password = "", std::int16_t Level = kLevel) {
  LoadDefinitionBlock(Block.data(), Block.size(), Level, Password, Def);
}

TEST(VdbDefinitions, LexiconRecordLayout) {
  const TVdbTableDefinition def = LexiconDefinition();
  const TVdbColumnDefs& columns = def.ColumnDefs;
  ASSERT_EQ(columns.GetCount(), 2);
  const TVdbColumnDef& cimszo = columns.GetColumnDef(0);
  const TVdbColumnDef& leiras = columns.GetColumnDef(1);
  EXPECT_EQ(cimszo.Options, 40u);
  EXPECT_EQ(cimszo.Size, 152);
  EXPECT_EQ(cimszo.Position, 0);
  EXPECT_EQ(leiras.Options, 32u);
  EXPECT_EQ(leiras.Size, 4);
  EXPECT_EQ(leiras.Position, 152);
  EXPECT_EQ(columns.GetRecordSize(), 156);
  EXPECT_NE(dynamic_cast<const TVdbTextColumnDef*>(&cimszo), nullptr);
  EXPECT_NE(dynamic_cast<const TVdbTextColumnDef*>(&leiras), nullptr);
  EXPECT_EQ(columns.Find("cimszo"), 0);
  EXPECT_EQ(columns.Find("Leiras"), 1);
  EXPECT_EQ(columns.Find("NINCS"), -1);
  EXPECT_EQ(columns.FindFirst(7), 1);
}

TEST(VdbDefinitions, LexiconBlockBytes) {
  const std::vector<std::uint8_t> block = SaveDefinitionBlock(LexiconDefinition(), kLevel);
  ASSERT_EQ(block.size(), kLexiconUsedSize);
  // Framing of the lexicon's data file: the block's length word sits at 4525.
  EXPECT_EQ(CalcDefinitionBlockLength(4525, block.size()), 11855);
  EXPECT_EQ(4525 + 4 + 11855, 16384);

  EXPECT_EQ(U16(block, kMarkerAt), 40);
  for (int i = 0; i < 40; ++i) {
    const char16_t unit = static_cast<char16_t>(U16(block, kMarkerAt + 2 + 2 * i));
    if (i == 7) EXPECT_EQ(unit, u'v');
    else if (i == 24) EXPECT_EQ(unit, u'd');
    else if (i == 37) EXPECT_EQ(unit, u'b');
    else EXPECT_TRUE(unit >= u'a' && unit <= u'z') << i;
  }
  EXPECT_EQ(U16(block, kPasswordAt), 0);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(U16(block, kPasswordAt + 2 + 2 * i), 0);
  std::size_t at = kCollationAt;
  EXPECT_EQ(Str(block, at), "Hungarian_ci_as");
  EXPECT_EQ(U32(block, kCapacityAt), 10000000u);
  EXPECT_EQ(U32(block, kCapacityAt + 4), 0u);
  EXPECT_EQ(U16(block, kRecordSizeAt), 156);
  EXPECT_EQ(U16(block, kRecordSizeAt + 2), 0);
  EXPECT_EQ(U16(block, kRecordSizeAt + 4), 0);  // no RecordId specification, no flag
  EXPECT_EQ(U16(block, kRecordSizeAt + 6), 0);  // no user types
  EXPECT_EQ(U16(block, kColumnCountAt), 2);
  at = kColumnCountAt + 2;
  EXPECT_EQ(block[at++], 1);
  EXPECT_EQ(Str(block, at), "CIMSZO");
  EXPECT_EQ(U32(block, at), 40u);
  EXPECT_EQ(U16(block, at + 4), 152);
  at += 6;
  EXPECT_EQ(Str(block, at), "");  // no formula
  EXPECT_EQ(Str(block, at), "");  // no own collation
  EXPECT_EQ(U16(block, at), 150);
  at += 2;
  EXPECT_EQ(block[at++], 7);
  EXPECT_EQ(Str(block, at), "LEIRAS");
  EXPECT_EQ(U32(block, at), 32u);
  EXPECT_EQ(U16(block, at + 4), 4);
  at += 6;
  EXPECT_EQ(Str(block, at), "");
  EXPECT_EQ(Str(block, at), "");
  for (int list = 0; list < 3; ++list, at += 2) EXPECT_EQ(U16(block, at), 0);
  EXPECT_EQ(at, block.size());
}

TEST(VdbDefinitions, LexiconBlockReadsBack) {
  std::vector<std::uint8_t> block = SaveDefinitionBlock(LexiconDefinition(), kLevel);
  block.resize(11855, 0);  // the padding that the data file adds
  TVdbTableDefinition def;
  Load(block, def);
  EXPECT_EQ(def.CollationName, "Hungarian_ci_as");
  EXPECT_EQ(def.Capacity, 10000000);
  ASSERT_EQ(def.ColumnDefs.GetCount(), 2);
  const auto& cimszo = dynamic_cast<const TVdbTextColumnDef&>(def.ColumnDefs.GetColumnDef(0));
  EXPECT_EQ(cimszo.Name, "CIMSZO");
  EXPECT_EQ(cimszo.Position, 0);
  EXPECT_EQ(cimszo.Size, 152);
  EXPECT_EQ(cimszo.Options, 40u);
  EXPECT_EQ(cimszo.GetMaxLength(), 150);
  EXPECT_TRUE(cimszo.FCollationName.empty());
  EXPECT_EQ(cimszo.GetCollation(), "Hungarian_ci_as");
  EXPECT_EQ(cimszo.GetLocaleId(), 1038u);
  EXPECT_EQ(cimszo.GetStrCmpOptions(), static_cast<std::uint32_t>(scoAccentSensitive));
  const TVdbColumnDef& leiras = def.ColumnDefs.GetColumnDef(1);
  EXPECT_EQ(leiras.GetColumnType(), 7);
  EXPECT_EQ(leiras.Position, 152);
  EXPECT_EQ(leiras.Options, 32u);
  EXPECT_EQ(def.ColumnDefs.GetRecordSize(), 156);
  EXPECT_EQ(def.Types.Count() + def.KeyDefs.Count() + def.CheckDefs.Count() +
                def.ForeignKeyDefs.Count(),
            0);
}

TEST(VdbDefinitions, MarkerAndPasswordFailuresAreCredentialErrors) {
  const std::vector<std::uint8_t> good = SaveDefinitionBlock(LexiconDefinition(), kLevel);
  struct Case {
    const char* What;
    std::function<void(std::vector<std::uint8_t>&)> Damage;
    std::string Password;
  };
  const std::vector<Case> cases = {
      {"x at position 24", [](auto& b) { PutU16(b, kMarkerAt + 2 + 48, u'x'); }, ""},
      {"x at position 7", [](auto& b) { PutU16(b, kMarkerAt + 2 + 14, u'x'); }, ""},
      {"x at position 37", [](auto& b) { PutU16(b, kMarkerAt + 2 + 74, u'x'); }, ""},
      {"marker of 39 characters", [](auto& b) { PutU16(b, kMarkerAt, 39); }, ""},
      {"password where the table has none", [](auto&) {}, "titok"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> block = good;
    c.Damage(block);
    TVdbTableDefinition def;
    EXPECT_EQ(ErrorOf([&] { Load(block, def, c.Password); }), 38) << c.What;
    EXPECT_EQ(def.ColumnDefs.GetCount(), 0) << c.What;
  }
}

TEST(VdbDefinitions, PasswordIsCheckedAgainstTheSessionsPassword) {
  TVdbTableDefinition def = LexiconDefinition();
  def.Password = "titok";
  const std::vector<std::uint8_t> block = SaveDefinitionBlock(def, kLevel);
  EXPECT_EQ(U16(block, kPasswordAt), 5);
  TVdbTableDefinition read;
  EXPECT_EQ(ErrorOf([&] { Load(block, read, ""); }), 38);
  EXPECT_EQ(ErrorOf([&] { Load(block, read, "titkos"); }), 38);
  Load(block, read, "titok");
  EXPECT_EQ(read.ColumnDefs.GetCount(), 2);
}

TEST(VdbDefinitions, CorruptBlocksAreRejectedWith134AndLeaveNothing) {
  const std::vector<std::uint8_t> good = SaveDefinitionBlock(LexiconDefinition(), kLevel);
  const std::size_t firstColumnSizeAt = kColumnCountAt + 2 + 1 + 2 + 12 + 4;
  struct Case {
    const char* What;
    std::function<void(std::vector<std::uint8_t>&)> Damage;
  };
  const std::vector<Case> cases = {
      {"column count 0", [](auto& b) { PutU16(b, kColumnCountAt, 0); }},
      {"column count 1001", [](auto& b) { PutU16(b, kColumnCountAt, 1001); }},
      {"column count 3", [](auto& b) { PutU16(b, kColumnCountAt, 3); }},
      {"record size 157", [](auto& b) { PutU16(b, kRecordSizeAt, 157); }},
      {"record size 0", [](auto& b) { PutU16(b, kRecordSizeAt, 0); }},
      {"record size 40000", [](auto& b) { PutU16(b, kRecordSizeAt, 40000); }},
      {"capacity 0", [](auto& b) { PutU16(b, kCapacityAt, 0); PutU16(b, kCapacityAt + 2, 0); }},
      {"column size 153", [&](auto& b) { PutU16(b, firstColumnSizeAt, 153); }},
      {"unknown column code", [](auto& b) { b[kColumnCountAt + 2] = 30; }},
      {"password count 41", [](auto& b) { PutU16(b, kPasswordAt, 41); }},
      {"RecordId specification without RecordId column",
       [](auto& b) {
         // Replace the empty specification by "X" and the unique-id flag.
         const std::uint8_t spec[] = {1, 0, 'X', 0, 1};
         b.erase(b.begin() + kRecordSizeAt + 4, b.begin() + kRecordSizeAt + 6);
         b.insert(b.begin() + kRecordSizeAt + 4, std::begin(spec), std::end(spec));
       }},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> block = good;
    c.Damage(block);
    TVdbTableDefinition def = LexiconDefinition();
    def.CollationName = "unchanged";
    EXPECT_EQ(ErrorOf([&] { Load(block, def); }), 134) << c.What;
    EXPECT_EQ(def.CollationName, "unchanged") << c.What;
    EXPECT_EQ(def.ColumnDefs.GetCount(), 2) << c.What;
  }
}

TEST(VdbDefinitions, EveryTruncationIsRejectedWith134) {
  const std::vector<std::uint8_t> good = SaveDefinitionBlock(LexiconDefinition(), kLevel);
  for (std::size_t size = 0; size < good.size(); ++size) {
    std::vector<std::uint8_t> block(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    TVdbTableDefinition def;
    // A vector copy of exactly Size bytes: reading past it shows up under the sanitizers.
    EXPECT_EQ(ErrorOf([&] { Load(block, def); }), 134) << size;
  }
  TVdbTableDefinition def;
  EXPECT_EQ(ErrorOf([&] { LoadDefinitionBlock(nullptr, 0, kLevel, "", def); }), 134);
  EXPECT_EQ(ErrorOf([&] { Load(good, def, "", 4); }), 134);
}

// A table with a column of every class, a RecordId, user types, keys, checks and foreign keys.
TVdbTableDefinition RichDefinition(std::int16_t Level) {
  TVdbTableDefinition def;
  def.CollationName = "VeskorDB";
  def.Capacity = 5000;
  auto add = [&](std::unique_ptr<TVdbColumnDef> column) -> TVdbColumnDef& {
    return def.ColumnDefs.Add(std::move(column));
  };
  auto& id = dynamic_cast<TVdbRecordIdColumnDef&>(add(TVdbColumnDef::CreateColumnDef(
      "ID", TVdbDataType::GetDataType(9, false, Level), kVdbColUniqueId)));
  id.IndexSpec = "${ID}";
  add(TVdbColumnDef::CreateStringColumnDef(
      "NEV", TVdbDataType::GetStringType(1, true, Level, 300, "Hungarian_ci_as"),
      "Hungarian_ci_as", kVdbColNullable));
  add(TVdbColumnDef::CreateColumnDef("WIDE", TVdbDataType::GetStringType(18, true, Level, 20, ""),
                                     kVdbColNullable));
  add(TVdbColumnDef::CreateColumnDef("AR", TVdbDataType::GetFloatType(true, Level, 3),
                                     kVdbColNullable));
  add(TVdbColumnDef::CreateColumnDef(
      "SZIN", TVdbDataType::GetEnumType(true, Level, "SZIN", false, {{"piros", 1}, {"zold", 2}}),
      kVdbColNullable));
  auto& link = dynamic_cast<TVdbAdlColumnDef&>(add(TVdbColumnDef::CreateColumnDef(
      "PARTNER", TVdbDataType::GetDataType(10, true, Level), kVdbColNullable)));
  link.LinkedTable = "Partner";
  add(TVdbColumnDef::CreateColumnDef("IDO", TVdbDataType::GetDateTimeType(13, true, Level, 2, true),
                                     kVdbColNullable));
  add(TVdbColumnDef::CreateColumnDef(
      "NAP", TVdbDataType::GetDateTimeType(6, true, Level, 0, false), kVdbColNullable));
  auto& total = add(TVdbColumnDef::CreateColumnDef(
      "OSSZ", TVdbDataType::GetDataType(16, true, Level), kVdbColNullable | kVdbColCalculated));
  total.SetCalculation(std::make_unique<TVdbCalculation>(TVdbExpressionSource("AR * 2", false)));
  auto& stamp = add(TVdbColumnDef::CreateColumnDef(
      "MIKOR", TVdbDataType::GetDateTimeType(17, true, Level, 4, false), kVdbColNullable));
  stamp.SetCalculation(std::make_unique<TVdbCalculation>(TVdbExpressionSource("Now()", true)));
  add(TVdbColumnDef::CreateColumnDef("KEP", TVdbDataType::GetBinaryType(true, Level, 0x7FFFFFFF),
                                     kVdbColNullable));
  if (Level >= 6) def.Types.Add(std::make_unique<TVdbTypeDef>("Penz", 3, 0));
  auto key = std::make_unique<TVdbCandidateKeyDef>("PK", true);
  key->AddColumnName("ID");
  def.KeyDefs.Add(std::move(key));
  auto unique = std::make_unique<TVdbCandidateKeyDef>("UNEV", false);
  unique->SetColumnList("NEV,WIDE");
  def.KeyDefs.Add(std::move(unique));
  def.CheckDefs.Add(std::make_unique<TVdbCheckDef>("POZITIV", TVdbExpressionSource("AR > 0", false)));
  auto foreign = std::make_unique<TVdbForeignKeyDef>("FK_PARTNER");
  foreign->FColumnNames = {"PARTNER"};
  foreign->FParentTableName = "Partner";
  foreign->FParentColumnNames = {"ID"};
  foreign->FUpdateAction = traCascade;
  foreign->FDeleteAction = traSetNull;
  def.ForeignKeyDefs.Add(std::move(foreign));
  return def;
}

TEST(VdbDefinitions, EveryPartOfTheBlockReadsBack) {
  for (std::int16_t level : {std::int16_t{5}, std::int16_t{6}}) {
    SCOPED_TRACE(level);
    const TVdbTableDefinition original = RichDefinition(level);
    const std::vector<std::uint8_t> block = SaveDefinitionBlock(original, level);
    TVdbTableDefinition def;
    Load(block, def, "", level);
    EXPECT_EQ(def.CollationName, "VeskorDB");
    EXPECT_EQ(def.Capacity, 5000);
    const TVdbColumnDefs& columns = def.ColumnDefs;
    ASSERT_EQ(columns.GetCount(), original.ColumnDefs.GetCount());
    for (int i = 0; i < columns.GetCount(); ++i) {
      const TVdbColumnDef& a = original.ColumnDefs.GetColumnDef(i);
      const TVdbColumnDef& b = columns.GetColumnDef(i);
      EXPECT_EQ(b.Name, a.Name);
      EXPECT_EQ(b.DataType, a.DataType) << a.Name;  // the same registry instance
      EXPECT_EQ(b.Options, a.Options) << a.Name;
      EXPECT_EQ(b.Position, a.Position) << a.Name;
      EXPECT_EQ(typeid(b), typeid(a)) << a.Name;
    }
    const auto& id = dynamic_cast<const TVdbRecordIdColumnDef&>(columns.GetColumnDef(0));
    EXPECT_EQ(id.IndexSpec, "${ID}");
    EXPECT_TRUE(id.IsOptionSet(kVdbColUniqueId));
    EXPECT_EQ(dynamic_cast<const TVdbTextColumnDef&>(columns.GetColumnDef(1)).FCollationName,
              "Hungarian_ci_as");
    EXPECT_EQ(dynamic_cast<const TVdbTextColumnDef&>(columns.GetColumnDef(1)).GetMaxLength(), 300);
    EXPECT_EQ(dynamic_cast<const TVdbTextColumnDef&>(columns.GetColumnDef(2)).GetMaxLength(), 20);
    EXPECT_EQ(dynamic_cast<const TVdbNumberColumnDef&>(columns.GetColumnDef(3)).GetScale(), 3);
    EXPECT_EQ(dynamic_cast<const TVdbEnumColumnDef&>(columns.GetColumnDef(4)).CalcEnumValueList(),
              "piros\nzold");
    EXPECT_EQ(dynamic_cast<const TVdbAdlColumnDef&>(columns.GetColumnDef(5)).LinkedTable, "Partner");
    EXPECT_EQ(dynamic_cast<const TVdbTimeColumnDef&>(columns.GetColumnDef(6)).GetPrecision(), 2);
    EXPECT_EQ(columns.GetColumnDef(8).GetCalculationSource(level), "AR * 2");
    EXPECT_EQ(columns.GetColumnDef(8).GetCalculationPurposes(), 1u << clpUpdating);
    EXPECT_EQ(columns.GetColumnDef(9).GetCalculationSource(level), "@Now()");
    EXPECT_TRUE(columns.GetColumnDef(9).Calculation()->Source().Procedural());
    EXPECT_EQ(columns.GetColumnDef(9).GetCalculationPurposes(), 1u << clpInitialization);
    EXPECT_EQ(def.Types.Count(), level >= 6 ? 1 : 0);
    ASSERT_EQ(def.KeyDefs.Count(), 2);
    const auto& pk = dynamic_cast<const TVdbCandidateKeyDef&>(def.KeyDefs[0]);
    EXPECT_TRUE(pk.FIsPrimary);
    EXPECT_EQ(pk.GetKeySpec(), "${ID}");
    const auto* unev = dynamic_cast<const TVdbCandidateKeyDef*>(def.KeyDefs.FindByName("unev"));
    ASSERT_NE(unev, nullptr);
    EXPECT_EQ(unev->GetKeySpec(), "${NEV},${WIDE}");
    ASSERT_EQ(def.CheckDefs.Count(), 1);
    EXPECT_EQ(dynamic_cast<const TVdbCheckDef&>(def.CheckDefs[0]).FCondition->Source().Source(),
              "AR > 0");
    ASSERT_EQ(def.ForeignKeyDefs.Count(), 1);
    const auto& fk = dynamic_cast<const TVdbForeignKeyDef&>(def.ForeignKeyDefs[0]);
    EXPECT_EQ(fk.FParentTableName, "Partner");
    EXPECT_EQ(fk.FParentColumnNames, std::vector<std::string>{"ID"});
    EXPECT_EQ(fk.FUpdateAction, traCascade);
    EXPECT_EQ(fk.FDeleteAction, traSetNull);
    // The same definition written again gives the same bytes apart from the marker.
    std::vector<std::uint8_t> again = SaveDefinitionBlock(def, level);
    ASSERT_EQ(again.size(), block.size());
    EXPECT_TRUE(std::equal(block.begin() + 82, block.end(), again.begin() + 82));
  }
}

TEST(VdbDefinitions, RecordIdColumnNeedsASpecification) {
  TVdbTableDefinition def;
  def.ColumnDefs.Add(TVdbColumnDef::CreateColumnDef("ID", TVdbDataType::GetDataType(9, false, 6), 0));
  EXPECT_EQ(ErrorOf([&] { SaveDefinitionBlock(def, 6); }), 145);
}

TEST(VdbDefinitions, ColumnLimits) {
  TVdbColumnDefs columns;
  const TVdbDataType* integer = TVdbDataType::GetDataType(16, false, 6);
  for (int i = 0; i < kVdbMaxColumns; ++i) {
    columns.Add(TVdbColumnDef::CreateColumnDef("C" + std::to_string(i), integer, 0));
  }
  EXPECT_EQ(ErrorOf([&] { columns.Add(TVdbColumnDef::CreateColumnDef("X", integer, 0)); }), 59);
  EXPECT_EQ(columns.GetCount(), kVdbMaxColumns);

  TVdbColumnDefs wide;
  const TVdbDataType* text = TVdbDataType::GetStringType(1, false, 6, 16000, "");
  wide.Add(TVdbColumnDef::CreateColumnDef("A", text, 0));
  wide.Add(TVdbColumnDef::CreateColumnDef("B", text, 0));  // 32004 bytes
  EXPECT_EQ(ErrorOf([&] { wide.Add(TVdbColumnDef::CreateColumnDef("C", text, 0)); }), 59);
  EXPECT_EQ(wide.GetRecordSize(), 32004);
  const TVdbDataType* big = TVdbDataType::GetStringType(1, false, 6, 17000, "");
  EXPECT_EQ(ErrorOf([&] { wide.Replace(1, TVdbColumnDef::CreateColumnDef("B", big, 0)); }), 59);
  EXPECT_EQ(wide.GetRecordSize(), 32004);
}

TEST(VdbDefinitions, PositionsFollowChanges) {
  TVdbColumnDefs columns;
  columns.Add(TVdbColumnDef::CreateColumnDef("A", TVdbDataType::GetDataType(16, true, 6), kVdbColNullable));
  columns.Add(TVdbColumnDef::CreateColumnDef("B", TVdbDataType::GetDataType(2, false, 6), 0));
  columns.Add(TVdbColumnDef::CreateColumnDef("C", TVdbDataType::GetDataType(20, false, 6), 0));
  EXPECT_EQ(columns.GetColumnDef(2).Position, 7);
  columns.Replace(0, TVdbColumnDef::CreateColumnDef("A", TVdbDataType::GetDataType(4, false, 6), 0));
  EXPECT_EQ(columns.GetColumnDef(1).Position, 1);
  EXPECT_EQ(columns.GetColumnDef(2).Position, 3);
  columns.Delete(1);
  EXPECT_EQ(columns.GetColumnDef(1).Position, 1);
  EXPECT_EQ(columns.GetRecordSize(), 9);
  TVdbColumnDefs copy(columns);
  columns.Clear();
  EXPECT_EQ(copy.GetRecordSize(), 9);
}

TEST(VdbDefinitions, ColumnClassAndNullByteFollowTheType) {
  struct Case {
    const TVdbDataType* Type;
    const std::type_info& Class;
    bool NullByte;
    std::int16_t Size;
  };
  const std::vector<Case> cases = {
      {TVdbDataType::GetDataType(0, true, 6), typeid(TVdbTextColumnDef), true, 2},
      {TVdbDataType::GetStringType(1, true, 6, 255, ""), typeid(TVdbTextColumnDef), true, 257},
      {TVdbDataType::GetStringType(1, true, 6, 256, ""), typeid(TVdbTextColumnDef), true, 259},
      {TVdbDataType::GetStringType(7, true, 6, 0x7FFFFFFF, ""), typeid(TVdbTextColumnDef), false, 4},
      {TVdbDataType::GetStringType(19, true, 6, 0x7FFFFFFF, ""), typeid(TVdbTextColumnDef), false, 4},
      {TVdbDataType::GetFloatType(true, 6, 2), typeid(TVdbNumberColumnDef), true, 9},
      {TVdbDataType::GetDataType(9, false, 6), typeid(TVdbRecordIdColumnDef), false, 4},
      {TVdbDataType::GetDataType(10, true, 6), typeid(TVdbAdlColumnDef), false, 4},
      {TVdbDataType::GetDataType(16, true, 6), typeid(TVdbColumnDef), true, 5},
      {TVdbDataType::GetDataType(16, false, 6), typeid(TVdbColumnDef), false, 4},
      {TVdbDataType::GetDateTimeType(6, true, 6, 0, false), typeid(TVdbColumnDef), false, 4},
      {TVdbDataType::GetBinaryType(true, 6, 0x7FFFFFFF), typeid(TVdbColumnDef), false, 4},
  };
  for (const Case& c : cases) {
    // A stale null-byte option is corrected from the type in both directions.
    const std::uint32_t given = c.NullByte ? 0 : kVdbColNullByte;
    auto column = TVdbColumnDef::CreateColumnDef("X", c.Type, given | kVdbColNullable);
    ASSERT_NE(column, nullptr) << c.Type->ColumnType();
    EXPECT_EQ(typeid(*column), c.Class) << c.Type->ColumnType();
    EXPECT_EQ(column->GetHasNullByte(), c.NullByte) << c.Type->ColumnType();
    EXPECT_EQ(column->Size, c.Size) << c.Type->ColumnType();
  }
  EXPECT_EQ(TVdbColumnDef::CreateColumnDef("X", nullptr, 0), nullptr);
}

TEST(VdbDefinitions, NullabilityRules) {
  EXPECT_FALSE(TVdbColumnDef::MayBeNullable(9, 6));
  EXPECT_FALSE(TVdbColumnDef::MayBeNullable(1, 3));
  EXPECT_FALSE(TVdbColumnDef::MayBeNullable(18, 2));
  EXPECT_TRUE(TVdbColumnDef::MayBeNullable(1, 4));
  EXPECT_TRUE(TVdbColumnDef::MayBeNullable(16, 1));

  auto column = TVdbColumnDef::CreateColumnDef("N", TVdbDataType::GetDataType(16, false, 6), 0);
  ASSERT_TRUE(column->SetNullable(true, 6));
  EXPECT_TRUE(column->DataType->Nullable());
  EXPECT_EQ(column->Options, kVdbColNullable | kVdbColNullByte);
  EXPECT_EQ(column->Size, 5);
  ASSERT_TRUE(column->SetNullable(false, 6));
  EXPECT_EQ(column->Options, 0u);
  EXPECT_EQ(column->Size, 4);

  auto id = TVdbColumnDef::CreateColumnDef("ID", TVdbDataType::GetDataType(9, false, 6), 0);
  EXPECT_FALSE(id->SetNullable(true, 6));
  EXPECT_FALSE(id->GetNullable());
}

TEST(VdbDefinitions, DateLosesItsNullByteFromLevelSix) {
  auto date = TVdbColumnDef::CreateColumnDef(
      "D", TVdbDataType::GetDateTimeType(6, true, 5, 0, true), kVdbColNullable);
  EXPECT_TRUE(date->GetHasNullByte());
  EXPECT_EQ(date->Size, 5);
  date->SetTableLevel(6);
  EXPECT_EQ(date->DataType->Level(), 6);
  EXPECT_FALSE(date->GetHasNullByte());
  EXPECT_EQ(date->Size, 4);
}

TEST(VdbDefinitions, TransferFormKeepsTheColumn) {
  TVdbTableDefinition def = RichDefinition(6);
  // An enumeration of bit flags under a name of its own, which a definition block cannot keep.
  def.ColumnDefs.Add(TVdbColumnDef::CreateColumnDef(
      "JOG", TVdbDataType::GetEnumType(true, 6, "Jogok", true, {{"olvas", 1}, {"ir", 2}, {"torol", 4}}),
      kVdbColNullable));
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < def.ColumnDefs.GetCount(); ++i) def.ColumnDefs.GetColumnDef(i).SaveToStream(stream);
  std::size_t pos = 0;
  for (int i = 0; i < def.ColumnDefs.GetCount(); ++i) {
    const TVdbColumnDef& a = def.ColumnDefs.GetColumnDef(i);
    auto b = TVdbColumnDef::LoadFromStream(stream.data(), stream.size(), pos);
    EXPECT_EQ(b->Name, a.Name);
    EXPECT_EQ(b->DataType, a.DataType) << a.Name;
    EXPECT_EQ(b->Position, a.Position);
    EXPECT_EQ(b->GetCalculationSource(), a.GetCalculationSource());
  }
  EXPECT_EQ(pos, stream.size());
  EXPECT_EQ(ErrorOf([&] { TVdbColumnDef::LoadFromStream(stream.data(), 10, pos = 0); }), 134);
}

TEST(VdbDefinitions, LinkedTableNamesLoseTheFileExtension) {
  TVdbAdlColumnDef link("L", TVdbDataType::GetDataType(10, true, 6), kVdbColNullable);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Partner.vdbt", "Partner"}, {"Regi.DAT", "Regi"}, {"@", "@"}, {"Tabla", "Tabla"}};
  for (const auto& [stored, expected] : cases) {
    link.SetLinkedTableFromStored(stored);
    EXPECT_EQ(link.LinkedTable, expected);
  }
}

// --- Sort definitions ---

TVdbSortDef TwoLevels(bool Unique) {
  TVdbSortDef def("IX", false, Unique, "");
  def.AddLevel({1, 1, 152, false});
  def.AddLevel({16, 3, 5, true});
  def.FSize = 4 + 152 + 5;
  return def;
}

TEST(VdbDefinitions, VectorFormRoundTrip) {
  for (bool unique : {false, true}) {
    const TVdbSortDef def = TwoLevels(unique);
    const auto vector = def.GetVectorData();
    const std::uint8_t expected[15] = {1, 0, 152, 0, 1, 3, 0x80, 5, 0, 16, 0, 0, 0, 0,
                                       static_cast<std::uint8_t>(unique ? 255 : 0)};
    EXPECT_EQ(std::memcmp(vector.data(), expected, sizeof expected), 0);
    EXPECT_TRUE(std::all_of(vector.begin() + 15, vector.end(), [](std::uint8_t b) { return b == 0; }));
    TVdbSortDef read("IX");
    read.SetVectorData(vector.data());
    EXPECT_TRUE(read.Equals(def));
    EXPECT_EQ(read.FSize, def.FSize);
    EXPECT_EQ(read.IsUnique, unique);
    EXPECT_EQ(read.GetSource(), "$1, -$3");
  }
}

TEST(VdbDefinitions, VectorFormOfAnExpressionIndex) {
  TVdbSortDef def("UP", true, false, "(UPPER(CIMSZO))");
  def.FCalculation = std::make_unique<TVdbCalculation>(TVdbExpressionSource("UPPER(CIMSZO)", false));
  def.AddLevel({1, 0, 152, false});
  def.FSize = 156;
  const auto vector = def.GetVectorData();
  EXPECT_EQ(vector[0], 0xFF);
  EXPECT_EQ(vector[1], 0xFF);
  EXPECT_EQ(vector[2], 152);
  EXPECT_EQ(vector[4], 1);
  EXPECT_EQ(vector[5], 13);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&vector[6]), 13), "UPPER(CIMSZO)");
  TVdbSortDef read;
  read.SetVectorData(vector.data());
  EXPECT_TRUE(read.IsCalculated);
  EXPECT_TRUE(read.Equals(def));
  EXPECT_EQ(read.FSize, 156);
  EXPECT_EQ(read.CalcSpecification(TVdbColumnDefs(), true, false, false, false), "(UPPER(CIMSZO))");

  def.FCalculation = std::make_unique<TVdbCalculation>(TVdbExpressionSource(std::string(45, 'A'), false));
  EXPECT_EQ(ErrorOf([&] { def.GetVectorData(); }), 98);
}

TEST(VdbDefinitions, VectorFormLimitsAndDamage) {
  TVdbSortDef many;
  for (int i = 0; i < 11; ++i) many.AddLevel({16, static_cast<std::int16_t>(i + 1), 4, false});
  EXPECT_EQ(ErrorOf([&] { many.GetVectorData(); }), 61);

  std::array<std::uint8_t, kVdbIndexVectorSize> vector{};
  TVdbSortDef read;
  EXPECT_EQ(ErrorOf([&] { read.SetVectorData(vector.data()); }), 134);  // no level
  vector = {1, 0, 0, 0, 16};                                             // piece size 0
  EXPECT_EQ(ErrorOf([&] { read.SetVectorData(vector.data()); }), 134);
  vector = {0xFF, 0xFF, 10, 0, 1, 200};                                  // source too long
  EXPECT_EQ(ErrorOf([&] { read.SetVectorData(vector.data()); }), 134);
}

TEST(VdbDefinitions, SpecificationTextEqualsAndCovers) {
  TVdbTableDefinition table = RichDefinition(6);
  const TVdbSortDef def = TwoLevels(false);  // ID ascending, WIDE descending
  EXPECT_EQ(def.CalcSpecification(table.ColumnDefs, true, false, false, false), "ID, -WIDE");
  EXPECT_EQ(def.CalcSpecification(table.ColumnDefs, false, true, true, false),
            "-${ID}:152, ${WIDE}:5");
  EXPECT_EQ(def.CalcSpecification(table.ColumnDefs, true, false, false, true), "$1, -$3");

  TVdbSortDef other = TwoLevels(true);
  EXPECT_FALSE(def.Equals(other));
  other.IsUnique = false;
  EXPECT_TRUE(def.Equals(other));

  bool reverse = true;
  TVdbSortDef first("R");
  first.AddLevel({1, 1, 10, false});
  EXPECT_TRUE(def.Covers(first, false, reverse));
  EXPECT_FALSE(reverse);
  first.Items[0].Descending = true;
  EXPECT_FALSE(def.Covers(first, false, reverse));
  EXPECT_TRUE(def.Covers(first, true, reverse));
  EXPECT_TRUE(reverse);
  first.AddLevel({16, 3, 5, false});  // reversed: ID DESC, WIDE ASC
  EXPECT_TRUE(def.Covers(first, true, reverse));
  first.Items[1].Descending = true;
  EXPECT_FALSE(def.Covers(first, true, reverse));
  TVdbSortDef third = TwoLevels(false);
  third.AddLevel({16, 4, 9, false});
  EXPECT_FALSE(def.Covers(third, true, reverse));

  TVdbSortDef calculated("C", true, false, "(UPPER(NEV))");
  EXPECT_FALSE(def.Covers(calculated, true, reverse));
  TVdbSortDef same("D", true, false, "(UPPER(NEV))");
  EXPECT_TRUE(calculated.Covers(same, true, reverse));
  EXPECT_TRUE(calculated.Equals(same));
}

}  // namespace
}  // namespace vdb
