// Fuzz target of the memo and blob files: the first input byte chooses a memo or a blob file, the
// rest is written as the file and opened through the page manager. Every block is tried as the
// start of a value (read, length, blob type), the consistency check runs, then values are
// written, replaced and deleted, the file is flushed, changes are undone and the file is opened
// again. Damaged input gives the files' error results; it must never crash, hang or touch memory
// out of bounds.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/VdbErrors.h"
#include "storage/VdbPageMan.h"
#include "storage/kxMemFileSystem.h"
#include "table/VdbBlobFile.h"

namespace {

constexpr std::int32_t kMaxStarts = 256;

void ReadEverything(vdb::TVdbBlockedBinaryFile& File, bool IsMemo) {
  const std::int32_t Last = std::min(File.LastBlock(), kMaxStarts);
  std::string Value;
  for (std::int32_t Block = -1; Block <= Last + 1; ++Block) {
    File.ReadString(Block, Value);
    if (IsMemo) {
      auto& Memo = static_cast<vdb::TVdbMemoFile&>(File);
      Memo.CalcMemoLength(Block);
      Memo.ReadMemo(Block, Value, true, 100);
    } else {
      auto& Blob = static_cast<vdb::TVdbBlobFile&>(File);
      Blob.CalcBlobLength(Block);
      Blob.ReadBlobType(Block);
    }
  }
  File.Check();
}

void WriteSome(vdb::TVdbBlockedBinaryFile& File) {
  std::int32_t Value = File.WriteString(0, std::string(700, 'a'));
  if (Value > 0) Value = File.WriteString(Value, "short");
  const std::int32_t Last = std::min(File.LastBlock(), kMaxStarts);
  for (std::int32_t Block = 1; Block <= Last; Block += 7) File.WriteString(Block, "b");
  if (Value > 0) File.WriteString(Value, "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 1 || Size > (1u << 20)) return 0;
  const bool IsMemo = (Data[0] & 1) == 0;
  const std::string Name = IsMemo ? "input.vdbm" : "input.vdbb";
  // The file lives in memory: an input costs no file creation, no disk and no thread.
  vdb::TkxMemFileSystem Fs;
  Fs.PutFile(Name, std::vector<std::uint8_t>(Data + 1, Data + Size));

  vdb::TVdbPageManager Manager;
  auto Storage = std::make_unique<vdb::TVdbClientStorage>(Manager, &Fs, 1);
  Storage->SetName(Name);
  std::unique_ptr<vdb::TVdbBlockedBinaryFile> File;
  if (IsMemo) {
    File = std::make_unique<vdb::TVdbMemoFile>(std::move(Storage));
  } else {
    File = std::make_unique<vdb::TVdbBlobFile>(std::move(Storage));
  }
  try {
    File->Open(false, false);
    ReadEverything(*File, IsMemo);
    WriteSome(*File);
    ReadEverything(*File, IsMemo);
    File->Undo();
    WriteSome(*File);
    File->Flush();
    File->Close();
    File->Open(false, false);
    ReadEverything(*File, IsMemo);
    File->Empty();
    WriteSome(*File);
  } catch (const vdb::EVdbEngine&) {
    // refused at opening
  } catch (const vdb::EVdbPageManager&) {
    // the storage refused the file
  }
  return 0;
}
