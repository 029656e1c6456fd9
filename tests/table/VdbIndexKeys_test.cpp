// Index keys: index specifications, key building and the entry order of index items.
#include "table/VdbIndexKeys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/VdbErrors.h"
#include "table/VdbData.h"
#include "table/kxStrUtils.h"
#include "VdbDefinitionsTestSupport.h"

namespace vdb {
namespace {

constexpr std::int16_t kLevel = 6;

using test::ErrorOf;
using test::LexiconColumns;

// A record of the lexicon; Headword null means NULL.
std::vector<std::uint8_t> LexiconRecord(const char* Headword, std::int32_t MemoBlock = 0) {
  std::vector<std::uint8_t> record(156, 0xEE);  // garbage behind the used characters
  if (Headword) {
    record[0] = 1;
    record[1] = static_cast<std::uint8_t>(std::strlen(Headword));
    std::memcpy(&record[2], Headword, std::strlen(Headword));
  } else {
    record[0] = 0;
  }
  std::memcpy(&record[152], &MemoBlock, 4);
  return record;
}

struct TItem {
  std::vector<std::uint8_t> Bytes;
  std::int32_t KeyLength = 0;
};

TItem BuildItem(const TVdbColumnDefs& Columns, const TVdbSortDef& Def,
                const std::vector<std::uint8_t>& Record, std::int32_t RecordNo) {
  TItem item;
  item.Bytes.assign(static_cast<std::size_t>(Def.FSize), 0xCC);
  item.KeyLength =
      CalcIndexInfo(Columns, kLevel, Record.data(), Def, item.Bytes.data(), item.Bytes.size(), RecordNo);
  return item;
}

TEST(VdbIndexKeys, LexiconIndexDefinition) {
  const TVdbColumnDefs columns = LexiconColumns();
  for (const char* spec : {"CIMSZO", "cimszo", "${CIMSZO}", "$1", "1", " { CIMSZO } ", "CIMSZO:20"}) {
    auto def = CalcIndexDefinition(columns, kLevel, spec, false);
    ASSERT_EQ(def->LevelCount, 1) << spec;
    EXPECT_EQ(def->Items[0].FieldNo, 1) << spec;
    EXPECT_EQ(def->Items[0].Size, 152) << spec;  // ":20" is accepted and ignored
    EXPECT_EQ(def->Items[0].ColumnType, 1) << spec;
    EXPECT_FALSE(def->Items[0].Descending) << spec;
    EXPECT_TRUE(def->IsVarSize) << spec;
    EXPECT_FALSE(def->IsCalculated) << spec;
    EXPECT_EQ(def->FSize, 156) << spec;
    EXPECT_EQ(def->GetSource(), spec);
  }
  auto descending = CalcIndexDefinition(columns, kLevel, "-CIMSZO", true);
  ASSERT_EQ(descending->LevelCount, 1);
  EXPECT_TRUE(descending->Items[0].Descending);
  EXPECT_TRUE(descending->IsUnique);
  EXPECT_EQ(descending->CalcSpecification(columns, true, false, false, false), "-CIMSZO");

  auto two = CalcIndexDefinition(columns, kLevel, "-$CIMSZO, ${LEIRAS}", false);
  ASSERT_EQ(two->LevelCount, 2);
  EXPECT_EQ(two->Items[1].FieldNo, 2);
  EXPECT_EQ(two->Items[1].Size, 4);
  EXPECT_EQ(two->FSize, 4 + 152 + 4);
  EXPECT_EQ(two->CalcSpecification(columns, false, false, true, false), "-${CIMSZO}:152, ${LEIRAS}:4");

  // Below level 6 string columns give fixed-size keys.
  EXPECT_FALSE(CalcIndexDefinition(columns, 5, "CIMSZO", false)->IsVarSize);
}

TEST(VdbIndexKeys, InvalidSpecifications) {
  const TVdbColumnDefs columns = LexiconColumns();
  for (const char* spec : {"", "  ", "CIMSZO,", ",CIMSZO", "NINCS", "3", "0", "-", "$", "CIMSZO:",
                           "CIMSZO:x", "{CIMSZO", "CIMSZO)", "(UPPER(CIMSZO)", "CIMSZO LEIRAS"}) {
    EXPECT_EQ(ErrorOf([&] { CalcIndexDefinition(columns, kLevel, spec, false); }), 98) << spec;
  }
  try {
    CalcIndexDefinition(columns, kLevel, "NINCS", false);
  } catch (const EVdbEngine& e) {
    EXPECT_EQ(std::string(e.what()), "Invalid index specification \"NINCS\"");
  }
}

TEST(VdbIndexKeys, LevelLimits) {
  const TVdbColumnDefs columns = LexiconColumns();
  auto repeat = [](int Count) {
    std::string spec = "LEIRAS";
    for (int i = 1; i < Count; ++i) spec += ",LEIRAS";
    return spec;
  };
  EXPECT_EQ(CalcIndexDefinition(columns, 6, repeat(256), false)->LevelCount, 256);
  EXPECT_EQ(ErrorOf([&] { CalcIndexDefinition(columns, 6, repeat(257), false); }), 61);
  EXPECT_EQ(CalcIndexDefinition(columns, 4, repeat(11), false)->LevelCount, 11);
  EXPECT_EQ(CalcIndexDefinition(columns, 3, repeat(10), false)->LevelCount, 10);
  EXPECT_EQ(ErrorOf([&] { CalcIndexDefinition(columns, 3, repeat(11), false); }), 61);
}

// An expression compiler for the tests: UPPER(CIMSZO) as an ASCII upper-case copy.
class TUpperExpression : public TVdbCompiledExpression {
 public:
  explicit TUpperExpression(const TVdbColumnDefs& Columns)
      : FType(Columns.GetColumnDef(0).DataType) {}
  const TVdbDataType* ResultType() const override { return FType; }
  TVdbRelationSet UsedRelations() const override { return TVdbRelationSet().set(0); }
  void EvaluateToField(const std::uint8_t* RecBuffer, std::uint8_t* Result) override {
    std::memcpy(Result, RecBuffer, 152);
    for (int i = 0; i < Result[1]; ++i) {
      Result[2 + i] = static_cast<std::uint8_t>(std::toupper(Result[2 + i]));
    }
  }

 private:
  const TVdbDataType* FType;
};

class TTestFactory : public TVdbExpressionFactory {
 public:
  std::unique_ptr<TVdbCompiledExpression> CompileExpression(const std::string& Source, bool,
                                                            const TVdbColumnDefs& Columns,
                                                            std::int16_t) override {
    if (Source != "UPPER(CIMSZO)") throw EVdbEngine(161, kxFormatArgs{});
    return std::make_unique<TUpperExpression>(Columns);
  }
  std::unique_ptr<TVdbCompiledCondition> CompileCondition(const std::string&, bool,
                                                          const TVdbColumnDefs&,
                                                          std::int16_t) override {
    return nullptr;
  }
};

TEST(VdbIndexKeys, ExpressionIndex) {
  const TVdbColumnDefs columns = LexiconColumns();
  // Without an expression compiler an expression index cannot be built.
  EXPECT_EQ(ErrorOf([&] { CalcIndexDefinition(columns, kLevel, "(UPPER(CIMSZO))", false); }), 98);

  TTestFactory factory;
  auto def = CalcIndexDefinition(columns, kLevel, "(UPPER(CIMSZO))", false, &factory);
  EXPECT_TRUE(def->IsCalculated);
  ASSERT_EQ(def->LevelCount, 1);
  EXPECT_EQ(def->Items[0].Size, 152);
  EXPECT_EQ(def->Items[0].ColumnType, 1);
  EXPECT_TRUE(def->IsVarSize);
  EXPECT_EQ(def->FSize, 156);
  EXPECT_EQ(def->CalcSpecification(columns, true, false, false, false), "(UPPER(CIMSZO))");
  EXPECT_EQ(ErrorOf([&] { CalcIndexDefinition(columns, kLevel, "(LOWER(CIMSZO))", false, &factory); }),
            98);
  EXPECT_EQ(CalcIndexDefinition(columns, 5, "(UPPER(CIMSZO))", false, &factory)->FSize, 260);

  const TItem item = BuildItem(columns, *def, LexiconRecord("Agancs"), 7);
  EXPECT_EQ(item.KeyLength, 152);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&item.Bytes[6]), 6), "AGANCS");

  // A definition read back from an index header has no compiled expression yet.
  TVdbSortDef uncompiled;
  uncompiled.SetVectorData(def->GetVectorData().data());
  std::vector<std::uint8_t> buffer(156);
  EXPECT_EQ(ErrorOf([&] {
              CalcIndexInfo(columns, kLevel, LexiconRecord("A").data(), uncompiled, buffer.data(),
                            buffer.size(), 1);
            }),
            98);
}

TEST(VdbIndexKeys, LexiconKeyIsNullByteLengthAndCharacters) {
  const TVdbColumnDefs columns = LexiconColumns();
  auto def = CalcIndexDefinition(columns, kLevel, "CIMSZO", false);
  const TItem item = BuildItem(columns, *def, LexiconRecord("Agancs", 99), 42);
  EXPECT_EQ(item.KeyLength, 8);
  const std::uint8_t expected[] = {42, 0, 0, 0, 1, 6, 'A', 'g', 'a', 'n', 'c', 's'};
  EXPECT_EQ(std::memcmp(item.Bytes.data(), expected, sizeof expected), 0);
  EXPECT_EQ(IndexItemLength(columns, *def, kLevel, item.Bytes.data()), 12);
  // The rest of the item area is cleared.
  for (std::size_t i = sizeof expected; i < item.Bytes.size(); ++i) EXPECT_EQ(item.Bytes[i], 0) << i;
}

TEST(VdbIndexKeys, NullStringPieceIsOneZeroByte) {
  const TVdbColumnDefs columns = LexiconColumns();
  auto def = CalcIndexDefinition(columns, kLevel, "CIMSZO,LEIRAS", false);
  const TItem item = BuildItem(columns, *def, LexiconRecord(nullptr, 0x01020304), 3);
  EXPECT_EQ(item.KeyLength, 1 + 4);
  const std::uint8_t expected[] = {3, 0, 0, 0, 0, 4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(item.Bytes.data(), expected, sizeof expected), 0);
  EXPECT_EQ(KeyPieceLength(columns, *def, kLevel, 0, item.Bytes.data() + 4), 1);
}

TEST(VdbIndexKeys, FixedSizeKeysKeepTheWholeField) {
  const TVdbColumnDefs columns = LexiconColumns();
  auto def = CalcIndexDefinition(columns, kLevel, "CIMSZO", false);
  def->IsVarSize = false;
  const TItem item = BuildItem(columns, *def, LexiconRecord("Ag"), 1);
  EXPECT_EQ(item.KeyLength, 152);
  EXPECT_EQ(item.Bytes[4 + 1], 2);
}

TEST(VdbIndexKeys, PrefixPieceLowersTheLength) {
  const TVdbColumnDefs columns = LexiconColumns();
  // An older index definition that keeps only 20 bytes of the headword.
  TVdbSortDef def("OLD", false, false, "$1:20");
  def.AddLevel({1, 1, 20, false});
  def.IsVarSize = true;
  def.FSize = 24;
  const TItem item = BuildItem(columns, def, LexiconRecord("Agancsfelrakas-hosszu-szo"), 5);
  EXPECT_EQ(item.KeyLength, 20);
  EXPECT_EQ(item.Bytes[4], 1);
  EXPECT_EQ(item.Bytes[5], 18);  // 20 - prefix - null byte
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&item.Bytes[6]), 18), "Agancsfelrakas-hos");

  // A damaged record whose length exceeds the column never leads the key past its piece.
  std::vector<std::uint8_t> damaged = LexiconRecord("x");
  damaged[1] = 255;
  auto full = CalcIndexDefinition(columns, kLevel, "CIMSZO", false);
  const TItem bounded = BuildItem(columns, *full, damaged, 1);
  EXPECT_EQ(bounded.KeyLength, 152);
  EXPECT_EQ(bounded.Bytes[5], 150);
}

TEST(VdbIndexKeys, ItemBufferMustHoldTheItemSize) {
  const TVdbColumnDefs columns = LexiconColumns();
  auto def = CalcIndexDefinition(columns, kLevel, "CIMSZO", false);
  std::vector<std::uint8_t> small(100);
  EXPECT_THROW(CalcIndexInfo(columns, kLevel, LexiconRecord("A").data(), *def, small.data(),
                             small.size(), 1),
               std::invalid_argument);
  TVdbSortDef bad("BAD");
  bad.AddLevel({1, 9, 152, false});  // no column 9
  bad.FSize = 156;
  std::vector<std::uint8_t> buffer(156);
  EXPECT_EQ(ErrorOf([&] {
              CalcIndexInfo(columns, kLevel, LexiconRecord("A").data(), bad, buffer.data(),
                            buffer.size(), 1);
            }),
            98);
}

TEST(VdbIndexKeys, EqualKeysAreOrderedByRecordNumberAndReportedNotUnique) {
  const TVdbColumnDefs columns = LexiconColumns();
  auto def = CalcIndexDefinition(columns, kLevel, "CIMSZO", false);
  const TItem a = BuildItem(columns, *def, LexiconRecord("Agancs"), 10);
  const TItem b = BuildItem(columns, *def, LexiconRecord("Agancs"), 11);
  bool notUnique = false;
  EXPECT_TRUE(IndexLess(columns, *def, kLevel, a.Bytes.data(), b.Bytes.data(), notUnique));
  EXPECT_TRUE(notUnique);
  notUnique = false;
  EXPECT_FALSE(IndexLess(columns, *def, kLevel, b.Bytes.data(), a.Bytes.data(), notUnique));
  EXPECT_TRUE(notUnique);
  notUnique = false;
  EXPECT_FALSE(IndexLess(columns, *def, kLevel, a.Bytes.data(), a.Bytes.data(), notUnique));
  EXPECT_TRUE(notUnique);
  EXPECT_EQ(FindSortKeyDiff(columns, *def, kLevel, a.Bytes.data(), b.Bytes.data()), 1);
}

TEST(VdbIndexKeys, KeysOrderByValueThenDirection) {
  const TVdbColumnDefs columns = LexiconColumns();
  auto ascending = CalcIndexDefinition(columns, kLevel, "CIMSZO", false);
  auto descending = CalcIndexDefinition(columns, kLevel, "-CIMSZO", false);
  const TItem null = BuildItem(columns, *ascending, LexiconRecord(nullptr), 9);
  const TItem abajgatni = BuildItem(columns, *ascending, LexiconRecord("Abajgatni"), 5);
  const TItem agancs = BuildItem(columns, *ascending, LexiconRecord("Agancs"), 1);
  bool unique = false;  // stays false: every pair of keys differs
  EXPECT_TRUE(IndexLess(columns, *ascending, kLevel, abajgatni.Bytes.data(), agancs.Bytes.data(), unique));
  EXPECT_FALSE(unique);
  EXPECT_FALSE(IndexLess(columns, *ascending, kLevel, agancs.Bytes.data(), abajgatni.Bytes.data(), unique));
  EXPECT_TRUE(IndexLess(columns, *ascending, kLevel, null.Bytes.data(), abajgatni.Bytes.data(), unique));
  EXPECT_TRUE(IndexLess(columns, *descending, kLevel, agancs.Bytes.data(), abajgatni.Bytes.data(), unique));
  EXPECT_FALSE(IndexLess(columns, *descending, kLevel, abajgatni.Bytes.data(), agancs.Bytes.data(), unique));
  EXPECT_FALSE(unique);
  EXPECT_EQ(FindSortKeyDiff(columns, *ascending, kLevel, agancs.Bytes.data(), abajgatni.Bytes.data()), 0);
}

TEST(VdbIndexKeys, SecondLevelDecidesWhenTheFirstIsEqual) {
  TVdbColumnDefs columns = LexiconColumns();
  columns.Add(TVdbColumnDef::CreateColumnDef("SORSZAM", TVdbDataType::GetDataType(16, true, kLevel),
                                             kVdbColNullable));
  auto def = CalcIndexDefinition(columns, kLevel, "CIMSZO,-SORSZAM", false);
  auto record = [](const char* Word, std::int32_t Number) {
    std::vector<std::uint8_t> r = LexiconRecord(Word);
    r.resize(161);
    r[156] = 1;
    std::memcpy(&r[157], &Number, 4);
    return r;
  };
  const TItem low = BuildItem(columns, *def, record("Ag", 1), 1);
  const TItem high = BuildItem(columns, *def, record("Ag", 2), 2);
  EXPECT_EQ(low.KeyLength, 4 + 5);
  bool notUnique = false;
  EXPECT_TRUE(IndexLess(columns, *def, kLevel, high.Bytes.data(), low.Bytes.data(), notUnique));
  EXPECT_FALSE(notUnique);
  EXPECT_EQ(FindSortKeyDiff(columns, *def, kLevel, low.Bytes.data(), high.Bytes.data()), 1);
  EXPECT_EQ(FindSortKeyDiff(columns, *def, kLevel, low.Bytes.data(), low.Bytes.data()), 2);
}

}  // namespace
}  // namespace vdb

namespace vdb {
namespace {

// Headwords in code page 1250, the stored form of the lexicon's text.
const std::vector<std::string> kHeadwordOrder = {
    "A hajt\xF3",            // A followed by a blank
    "Abajgatni",
    "Acsarkodik",
    "\xC1" "csorog",          // Ácsorog
    "\xC1" "d\xE1z\xE1t",     // Ádázát
    "\xC1g",                  // Ág
    "Agancs",
    "Agancs karim\xE1ja",
    "Agancs\xE1r",
    "Agancs-cs\xF6rt\xF6l\xE9s",
    "Agancsfelrak\xE1s",
};

TEST(VdbIndexKeys, LexiconIndexSortsInHungarianWordOrder) {
  const TVdbColumnDefs columns = LexiconColumns();
  auto def = CalcIndexDefinition(columns, 6, "CIMSZO", false);
  std::vector<TItem> items;
  for (std::size_t i = kHeadwordOrder.size(); i-- > 0;) {
    items.push_back(BuildItem(columns, *def, LexiconRecord(kHeadwordOrder[i].c_str()),
                              static_cast<std::int32_t>(i + 1)));
  }
  std::sort(items.begin(), items.end(), [&](const TItem& x, const TItem& y) {
    bool notUnique = false;
    const bool less = IndexLess(columns, *def, 6, x.Bytes.data(), y.Bytes.data(), notUnique);
    EXPECT_TRUE(!notUnique || x.Bytes == y.Bytes);  // no two headwords are equal
    return less;
  });
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::int32_t recordNo = 0;
    std::memcpy(&recordNo, items[i].Bytes.data(), 4);
    EXPECT_EQ(recordNo, static_cast<std::int32_t>(i + 1)) << kHeadwordOrder[i];
  }
}

TEST(VdbIndexKeys, SearchOptionsAreAddedToTheColumnsOptions) {
  const TVdbColumnDefs columns = LexiconColumns();
  auto def = CalcIndexDefinition(columns, 6, "CIMSZO", false);
  const TItem lower = BuildItem(columns, *def, LexiconRecord("agancs"), 2);
  const TItem upper = BuildItem(columns, *def, LexiconRecord("AGANCS"), 1);
  bool notUnique = false;
  // Case is ignored under the column's collation: the record number decides.
  EXPECT_FALSE(IndexLess(columns, *def, 6, lower.Bytes.data(), upper.Bytes.data(), notUnique));
  EXPECT_TRUE(notUnique);
  bool unique = false;
  // With case sensitivity asked for by the search the keys differ.
  const bool lowerFirst = IndexLess(columns, *def, 6, lower.Bytes.data(), upper.Bytes.data(), unique,
                                    scoCaseSensitive);
  EXPECT_FALSE(unique);
  EXPECT_NE(lowerFirst, IndexLess(columns, *def, 6, upper.Bytes.data(), lower.Bytes.data(), unique,
                                  scoCaseSensitive));
}

}  // namespace
}  // namespace vdb

namespace vdb {
namespace {

TEST(VdbIndexKeys, TrailingNullByteBelowLevelSix) {
  struct Case {
    std::int16_t Level;
    std::uint8_t ExpectedNullByte;
  };
  for (const Case& c : {Case{5, 1}, Case{4, 1}, Case{3, 0}}) {
    TVdbColumnDefs columns;
    columns.Add(TVdbColumnDef::CreateColumnDef("N", TVdbDataType::GetDataType(16, true, c.Level),
                                               kVdbColNullable));
    ASSERT_EQ(columns.GetColumnDef(0).Size, 5);
    auto def = CalcIndexDefinition(columns, c.Level, "N", false);
    EXPECT_FALSE(def->IsVarSize);
    const std::vector<std::uint8_t> record = {0x78, 0x56, 0x34, 0x12, 1};
    std::vector<std::uint8_t> item(static_cast<std::size_t>(def->FSize), 0xCC);
    EXPECT_EQ(CalcIndexInfo(columns, c.Level, record.data(), *def, item.data(), item.size(), 0x0A0B0C0D), 5);
    const std::vector<std::uint8_t> expected = {0x0D, 0x0C, 0x0B, 0x0A, 0x78, 0x56, 0x34, 0x12,
                                                c.ExpectedNullByte};
    EXPECT_EQ(item, expected) << c.Level;
  }
}

}  // namespace
}  // namespace vdb
