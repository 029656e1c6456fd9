// Damaged files: one byte at a time of each file of a small database is inverted, then the
// table is opened, every record and memo read through the table API and the integrity check
// run. Whatever the damage, each step answers (a result or an error): no crash, no hang. The
// suite takes every VDB_DAMAGE_STRIDE-th byte of the first 16 KiB (default 97) and a sample of
// the rest; a stride of 1 sweeps every byte.
#include "CampaignSupport.h"
#include "table/VdbBaseTableTestSupport.h"
#include "table/VdbTableCheck.h"

namespace vdb::test {
namespace {

constexpr std::int64_t kHead = 16 * 1024;
constexpr std::int64_t kRestSample = 997;

class DamageSweep : public BaseTableFixture {
 protected:
  std::int64_t FileSize(const std::string& Path) {
    const TkxFileHandle File(*FContainer, FContainer->OpenFile(Path, fmOpenRead));
    return File.Valid() ? FContainer->GetFileSize(File.Get()) : -1;
  }

  // A fresh copy of the pristine database with byte Offset of Path inverted, its container open.
  void Damage(const std::string& Pristine, const std::string& Path, std::int64_t Offset) {
    FContainer.reset();
    std::filesystem::copy_file(Pristine, FPath, std::filesystem::copy_options::overwrite_existing);
    FContainer = std::make_unique<TTestContainer>(FPath);
    FContainer->Open();
    const TkxFileHandle File(*FContainer, FContainer->OpenFile(Path, fmOpenReadWrite));
    ASSERT_TRUE(File.Valid());
    std::uint8_t Byte = 0;
    ASSERT_EQ(FContainer->FileRead(File.Get(), &Byte, 1, Offset), 1);
    Byte = static_cast<std::uint8_t>(~Byte);
    ASSERT_EQ(FContainer->FileWrite(File.Get(), &Byte, 1, Offset), 1);
  }

  // Opens, reads everything, checks; answers whether the table opened.
  bool Exercise() {
    auto Table = NewTable(kVdbWriteRights);
    if (Table->Open(false) < 0) return false;
    Table->Setup(false);
    std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()));
    std::int32_t Walked = 0;
    for (std::int32_t RecNo = Table->GetFirstRecordNo(); RecNo > 0 && Walked < 100000;
         RecNo = Table->GetNextRecordNo(RecNo), ++Walked) {
      if (Table->ReadRecord(RecNo, Buffer.data()) < 0) continue;
      std::string Memo;
      Table->ReadMemoString(Buffer.data(), 2, Memo);
    }
    TVdbTableCheck(*Table, nullptr, {}).Run();
    return true;
  }
};

TEST_F(DamageSweep, NoDamagedByteCrashesOrHangsTheReadersOrTheCheck) {
  WriteDatabase(NumberedEntries(40));
  const std::string Pristine = FPath + ".pristine";
  FContainer->Close();
  std::filesystem::copy_file(FPath, Pristine);
  FContainer->Open();
  const std::int64_t Stride = campaign::Setting("VDB_DAMAGE_STRIDE", 97);
  std::int64_t Points = 0;
  std::int64_t Opened = 0;
  for (const char* Path : {"\\Data.vdbt", "\\Data.vdbm", "\\Data!CIMSZO.vdbi"}) {
    const std::int64_t Size = FileSize(Path);
    ASSERT_GT(Size, 0) << Path;
    for (std::int64_t Offset = 0; Offset < Size;
         Offset += Offset < kHead ? Stride : kRestSample) {
      SCOPED_TRACE(std::string(Path) + " byte " + std::to_string(Offset));
      Damage(Pristine, Path, Offset);
      if (HasFatalFailure()) return;
      Opened += Exercise() ? 1 : 0;
      ++Points;
    }
  }
  std::cout << "damaged bytes tried: " << Points << ", table opened in " << Opened << "\n";
  EXPECT_GT(Opened, 0);
}

}  // namespace
}  // namespace vdb::test
