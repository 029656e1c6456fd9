// An index file (".vdbi"): a header page with the index's definition and item count, and an
// ordered tree of index items (a record number followed by key bytes).
//
// Page 0: the magic number (0xA66678C9 B+ tree, 0x00E537AF classic B-tree) and the index version
// at offsets 0 and 4, for versions above 3; then the tree header (22 bytes for the B+ tree, 24 for
// the classic B-tree); then the index header: the item count (4), reserved (1), calculated (1),
// unique (1), the level count (2), per level the column (2, bit 15 = descending), the piece size
// (2) and the type code (1), then the item size (2). An expression index stores instead of the
// levels its result type (1), piece size (2), source length n (2), the source as n UTF-16LE
// characters and the item size. Versions 1 to 3 keep the 50-byte vector form of the definition
// followed by the item count and the item size, without magic and version.
//
// A new index uses the B+ tree when its version is 6 or more and its definition is variable-size,
// else the classic B-tree. Every operation turns failures into engine errors: it reports them
// through OnError with the index name (the file name for 28 and 37) and answers the negated code.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "table/VdbTreeBase.h"

namespace vdb {

class TVdbClientStorage;
class TVdbStoragePageSite;
class TVdbLastError;

inline constexpr std::uint32_t kVdbBPlusIndexMagic = 0xA66678C9u;
inline constexpr std::uint32_t kVdbBTreeIndexMagic = 0x00E537AFu;
// Size of the stored definition of index versions 1 to 3 (10 levels of 5 bytes).
inline constexpr int kVdbIndexHeaderVectorSize = 50;

enum TVdbIndexKind { tikUnknown, tikUser, tikTemporary, tikAdl, tikConstraint };

// One level of an index as its header stores it.
struct TVdbIndexLevel {
  std::int16_t Column = 0;  // bit 15 set = descending
  std::int16_t Size = 0;    // piece size in bytes
  std::uint8_t Type = 0;    // column type code
  bool operator==(const TVdbIndexLevel&) const = default;
};

// The index definition as the header stores it; the table layer converts it from and to its
// sort definitions.
struct TVdbIndexHeaderDef {
  std::string Name;
  bool Calculated = false;  // expression index
  bool Unique = false;
  bool VariableSize = false;  // items differ in length (any string column from table level 6)
  std::vector<TVdbIndexLevel> Levels;
  // Expression index.
  std::uint8_t ResultType = 0;
  std::int16_t PieceSize = 0;
  std::string Expression;  // UTF-8
  // Versions 1 to 3: the definition in its vector form.
  std::array<std::uint8_t, kVdbIndexHeaderVectorSize> Vector{};
  std::int16_t ItemSize = 0;  // 4-byte record number + the largest key
  bool operator==(const TVdbIndexHeaderDef&) const = default;
};

class TVdbIndexFile {
 public:
  using TErrorFunc = std::function<void(std::int16_t Code, const std::string& Argument)>;
  using TProgressFunc = std::function<void(std::int32_t Done, std::int32_t Count)>;
  // Fills Item (FSize bytes) with the next item and its size; false when there is none left.
  using TGetItemFunc = std::function<bool(std::uint8_t* Item, std::int32_t& ItemSize)>;

  static constexpr int kWorkInfoCount = 5;

  // Create: binds the client storage (owned from now on) and the index version. Services
  // receives the errors of BulkInsert (may be null).
  TVdbIndexFile(TVdbLastError* Services, std::unique_ptr<TVdbClientStorage> Storage,
                std::int16_t Version);
  // A second view of an open index over another client storage.
  static std::unique_ptr<TVdbIndexFile> CreateCopy(const TVdbIndexFile& IndexFile,
                                                   std::unique_ptr<TVdbClientStorage> Storage);
  ~TVdbIndexFile();
  TVdbIndexFile(const TVdbIndexFile&) = delete;
  TVdbIndexFile& operator=(const TVdbIndexFile&) = delete;

  // 0, or -61 when the definition has more levels than the version allows.
  std::int16_t SetIndexDefinition(const TVdbIndexHeaderDef& IndexDef);
  // The item order; the trees call it with the definition bound in.
  void SetCompareFunction(TVdbItemLess Less) { FCompareFunction = std::move(Less); }

  std::int16_t NewStorage(std::int16_t Version, std::int32_t PageSize);  // 0 or -4
  std::int16_t Open();                                                    // 0, -28 or -37
  std::int16_t Close();                                                   // 0 or -10

  std::int16_t Add_Index(const std::uint8_t* Item, std::int32_t ItemSize);  // 0 or -90
  std::int16_t Loesche_Index(const std::uint8_t* Key);                       // 0 or -90
  // These answer the tree's result (0 found, 1 none, -1 not in the index) or -91; the found item
  // replaces Key.
  std::int16_t Suche_Index(std::uint8_t* Key);
  std::int16_t Naechster_Index(std::uint8_t* Key);
  std::int16_t Vorheriger_Index(std::uint8_t* Key);
  std::int16_t Erster_Index(std::uint8_t* Key);
  std::int16_t Letzter_Index(std::uint8_t* Key);
  // 1-based position of Item in index order (0 when it is not in the index), or -91.
  std::int32_t CalcItemSequenceNo(const std::uint8_t* Item);
  void Clear_Index();
  // Builds the index from the items GetItem delivers: they are sorted first and inserted in
  // ascending order; Progress hears (0, Count), every 1000 items and (Count, Count).
  std::int16_t BulkInsert(std::int32_t Count, const TProgressFunc& Progress,
                          const TGetItemFunc& GetItem);
  // Walks the tree: the items in order and the pairs out of order. Answers 0, or -28 when the
  // tree is damaged, out of order or holds another number of items than the header says.
  std::int16_t Check(std::int32_t& ItemCount, std::int32_t& WrongSortCount);
  std::int16_t Flush();  // 0 or -90
  void Undo();
  void Update();
  void UpdateDir();
  void Preload();

  std::int32_t CalcPageSizeForCapacity(std::int32_t Capacity) const;
  // Work buffer 0..4 of ItemSize() bytes; valid until the item size changes (a new definition,
  // an open) or the file closes.
  std::uint8_t* GetWorkInfo(int Index);
  std::unique_ptr<std::uint8_t[]> CreateLongIndexInfo() const;
  bool IsSameName(std::string_view Name) const;

  void SetKind(TVdbIndexKind Kind) { FKind = Kind; }
  void SetName(std::string Name) { FName = std::move(Name); }
  void SetFileName(std::string FileName) { FFileName = std::move(FileName); }
  void SetPrimary(bool Primary);
  void SetUnique(bool Unique);
  void SetReadOnly(bool ReadOnly) { FReadOnly = ReadOnly; }
  void SetExclusive(bool Exclusive) { FExclusive = Exclusive; }
  void SetOnError(TErrorFunc OnError) { FOnError = std::move(OnError); }

  TVdbIndexKind Kind() const { return FKind; }
  const TVdbIndexHeaderDef& IndexDef() const { return FIndexDef; }
  bool MustBeUnique() const { return FIndexDef.Unique || FIsPrimary; }
  bool IsAutomatic() const { return FKind == tikAdl || FKind == tikConstraint; }
  const std::string& Name() const { return FName; }
  const std::string& FileName() const { return FFileName; }
  bool ReadOnly() const { return FReadOnly; }
  bool Exclusive() const { return FExclusive; }
  std::int32_t ItemCount() const;  // read from the header page
  bool Calculated() const { return FIndexDef.Calculated; }
  std::int16_t Version() const { return FVersion; }
  bool Unique() const { return FIndexDef.Unique; }
  bool IsPrimaryKey() const { return FIsPrimary; }
  bool IsOpen() const { return FIsOpen; }
  bool IsLost() const { return FIsLost; }
  std::int32_t ItemSize() const { return FIndexDef.ItemSize; }
  TVdbTreeBase* Tree() const { return BTree.get(); }
  TVdbClientStorage& Storage() const { return *FStorage; }
  // The message of the failure behind the last negative result (empty after success).
  const std::string& LastFailure() const { return FLastFailure; }

 private:
  bool UsesBPlusTree(std::int16_t Version) const;
  void DropStorage();
  void CreateTree(std::uint32_t Magic, std::int16_t Version);
  void ComputeOffsets();
  void WriteIndexHeader();
  void ReadIndexHeader();
  void SetItemCount(std::int32_t Count);
  std::int16_t Fail(std::int16_t Code, const std::string& Argument, const std::exception* Cause);
  std::int16_t ReadFailure(const std::exception& Cause);
  std::int16_t WriteFailure(const std::exception& Cause);
  void RequireOpen() const;
  void RequireWritable() const;
  // Runs a reading tree operation; any failure becomes error 91.
  template <class TOperation>
  auto Reading(TOperation&& Operation) -> decltype(Operation());

  std::string FName;
  std::string FFileName;
  bool FReadOnly = false;
  bool FExclusive = false;
  TVdbIndexKind FKind = tikUnknown;
  bool FIsPrimary = false;
  TVdbIndexHeaderDef FIndexDef;
  std::unique_ptr<TVdbClientStorage> FStorage;
  std::unique_ptr<TVdbTreeBase> BTree;
  std::unique_ptr<TVdbStoragePageSite> FPageSite;
  std::int16_t FVersion;
  std::int32_t FHeaderOffset = 0;  // start of the index header
  std::int32_t FItemCountOffset = 0;
  std::int32_t FIsUniqueOffset = 0;
  std::vector<std::unique_ptr<std::uint8_t[]>> FWorkInfos;
  std::int32_t FWorkInfoSize = 0;
  TVdbItemLess FCompareFunction;
  TVdbLastError* FServices;
  TErrorFunc FOnError;
  bool FIsOpen = false;
  bool FIsLost = false;
  std::string FLastFailure;
};

}  // namespace vdb
