// Fuzz target of index files: two valid index files are built once (a B+ tree and a classic
// B-tree of 1500 items each); every input picks one of them with its first byte and overwrites
// bytes of it, four input bytes per change (a 24-bit position and the new byte). The damaged file
// is opened, walked both ways, searched, checked and changed. Damage may be refused or answered
// with the index file's engine errors; it must never crash, hang or touch memory out of bounds.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"
#include "storage/kxMemFileSystem.h"
#include "storage/kxMemory.h"
#include "table/VdbIndexFile.h"
#include "../table/VdbTestItems.h"

namespace {

using namespace vdb;

constexpr std::int32_t kItems = 1500;
constexpr int kMaxSteps = 4000;

// The files live in memory: an input costs a copy, no disk and no file creation.
constexpr const char* kDir = "/fuzz";

std::vector<std::uint8_t> Item(std::int32_t RecNo, const std::string& Key, std::int32_t Fixed) {
  std::vector<std::uint8_t> Bytes(std::max<std::size_t>(5 + Key.size(), static_cast<std::size_t>(Fixed)), 0);
  TkxMemory::WriteInt32(Bytes.data(), 0, RecNo);
  Bytes[4] = static_cast<std::uint8_t>(Key.size());
  std::memcpy(Bytes.data() + 5, Key.data(), Key.size());
  return Bytes;
}

struct TWorld {
  TkxMemFileSystem FileSystem;
  TVdbPageManager Manager;
};

TWorld& World() {
  static TWorld* Instance = new TWorld();  // lives as long as the process
  return *Instance;
}

std::unique_ptr<TVdbIndexFile> MakeIndex(const std::string& Path) {
  auto Index = std::make_unique<TVdbIndexFile>(
      nullptr, std::make_unique<TVdbClientStorage>(World().Manager, &World().FileSystem, 1), 6);
  Index->SetName("FUZZ");
  Index->SetFileName(Path);
  TVdbIndexFile* Raw = Index.get();
  Index->SetCompareFunction([Raw](const std::uint8_t* X, const std::uint8_t* Y, bool&) {
    bool Unique = false;
    return treetest::BoundedLess(X, Y, Unique, Raw->ItemSize());
  });
  return Index;
}

std::vector<std::uint8_t> BuildBase(bool BPlus) {
  const std::string Path = std::string(kDir) + (BPlus ? "/base_bplus.vdbi" : "/base_classic.vdbi");
  auto Index = MakeIndex(Path);
  TVdbIndexHeaderDef Def;
  Def.Levels = {{1, 13, 1}};
  Def.ItemSize = 17;
  Def.VariableSize = BPlus;
  Index->SetIndexDefinition(Def);
  if (Index->NewStorage(6, 4096) != 0) std::abort();
  for (std::int32_t RecNo = 1; RecNo <= kItems; ++RecNo) {
    const auto Bytes = Item(RecNo, "k" + std::to_string(RecNo * 7 % kItems), BPlus ? 0 : 17);
    if (Index->Add_Index(Bytes.data(), static_cast<std::int32_t>(Bytes.size())) != 0) std::abort();
  }
  if (Index->Flush() != 0 || Index->Close() != 0) std::abort();
  return World().FileSystem.GetFile(Path);
}

const std::vector<std::uint8_t>& Base(bool BPlus) {
  static const std::vector<std::uint8_t> Files[2] = {BuildBase(false), BuildBase(true)};
  return Files[BPlus ? 1 : 0];
}

void Exercise(TVdbIndexFile& Index, const std::uint8_t* Data, std::size_t Size) {
  const std::int32_t Fixed = Index.ItemSize();
  std::uint8_t* Key = Index.GetWorkInfo(0);
  std::int16_t Step = Index.Erster_Index(Key);
  for (int N = 0; Step == 0 && N < kMaxSteps; ++N) Step = Index.Naechster_Index(Key);
  Step = Index.Letzter_Index(Key);
  for (int N = 0; Step == 0 && N < kMaxSteps; ++N) Step = Index.Vorheriger_Index(Key);
  for (std::size_t I = 0; I < 8; ++I) {
    const std::int32_t Number = Size > I ? Data[I] * 6 : static_cast<std::int32_t>(I) * 97;
    const auto Probe = Item(0, "k" + std::to_string(Number), Fixed);
    std::copy(Probe.begin(), Probe.begin() + std::min<std::size_t>(Probe.size(), static_cast<std::size_t>(Fixed)), Key);
    Index.Suche_Index(Key);
    Index.CalcItemSequenceNo(Probe.data());
  }
  std::int32_t Count = 0;
  std::int32_t Wrong = 0;
  Index.Check(Count, Wrong);
  for (std::int32_t RecNo = 1; RecNo <= 60; ++RecNo) {
    const auto Added = Item(kItems + RecNo, "n" + std::to_string(RecNo), Fixed);
    Index.Add_Index(Added.data(), std::min<std::int32_t>(static_cast<std::int32_t>(Added.size()), Fixed));
    const auto Gone = Item(RecNo, "k" + std::to_string(RecNo * 7 % kItems), Fixed);
    Index.Loesche_Index(Gone.data());
  }
  Index.Check(Count, Wrong);
  Index.Flush();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 1) return 0;
  std::vector<std::uint8_t> File = Base((Data[0] & 1) != 0);
  for (std::size_t At = 1; At + 4 <= Size; At += 4) {
    const std::size_t Pos = (static_cast<std::size_t>(Data[At]) << 16 |
                             static_cast<std::size_t>(Data[At + 1]) << 8 | Data[At + 2]) % File.size();
    File[Pos] = Data[At + 3];
  }
  const std::string Path = std::string(kDir) + "/input.vdbi";
  World().FileSystem.PutFile(Path, std::move(File));
  auto Index = MakeIndex(Path);
  if (Index->Open() == 0) Exercise(*Index, Data + 1, Size - 1);
  Index->Close();
  return 0;
}
