#include "storage/VdbStream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "storage/kxFileSystemTestSupport.h"

namespace vdb {
namespace {

// A stream whose lock waits are short, so that refused locks do not take minutes.
class QuickLockStream : public TkxFileSystemVdbStream {
 public:
  explicit QuickLockStream(TkxFileSystem& FileSystem, std::int32_t Retries = 2,
                           std::int32_t PauseMs = 1)
      : TkxFileSystemVdbStream(FileSystem) {
    SetLockRetry(Retries, PauseMs, 1);
  }
};

// Flips every bit: enough to see that data passes through the cipher.
class FlipCipher : public TVdbBlockCipher {
 public:
  void EncryptBlock(void* Data, std::int32_t Size) override { Flip(Data, Size); }
  void DecryptBlock(void* Data, std::int32_t Size) override { Flip(Data, Size); }

 private:
  static void Flip(void* Data, std::int32_t Size) {
    auto* bytes = static_cast<std::uint8_t*>(Data);
    for (std::int32_t i = 0; i < Size; ++i) bytes[i] = static_cast<std::uint8_t>(~bytes[i]);
  }
};

// A file system whose locks always fail with an error, as a file system without locking does.
class NoLockFileSystem : public TkxOSFileSystem {
 public:
  using TkxOSFileSystem::TkxOSFileSystem;
  std::int32_t LockFile(std::int32_t, std::int64_t, std::int64_t, bool) override {
    SetLastError(kxErrorNoLockingSupport);
    return -1;
  }
};

using VdbStreamTest = kxFileDirTest;

TEST_F(VdbStreamTest, RewriteResetReadWriteSizeCut) {
  TkxFileSystemVdbStream stream(FS);
  ASSERT_EQ(stream.Rewrite("log.vdbr", fmOpenReadWrite | fmShareDenyNone, {lfrReadUser}), 0);
  EXPECT_GE(stream.GetHandle(), 0);
  EXPECT_EQ(stream.GetFileName(), "log.vdbr");
  EXPECT_EQ(stream.GetFileMode(), 66);
  EXPECT_EQ(stream.WriteNBytes(6, "abcdef", false, 0), 0);
  EXPECT_EQ(stream.TestNBytes(2, "XY", 6), 0);
  EXPECT_EQ(stream.Size(), 8);
  char buf[8] = {};
  EXPECT_EQ(stream.ReadNBytes(8, buf, false, 0), 0);
  EXPECT_EQ(std::string(buf, 8), "abcdefXY");
  EXPECT_EQ(stream.Cut(100), 0);
  EXPECT_EQ(stream.Size(), 8) << "cutting never lengthens";
  EXPECT_EQ(stream.Cut(3), 0);
  EXPECT_EQ(stream.Size(), 3);
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(stream.GetHandle(), -1);

  TkxFileSystemVdbStream reader(FS);
  EXPECT_EQ(reader.Reset("log.vdbr", 64), 0);
  EXPECT_EQ(reader.ReadNBytes(3, buf, false, 0), 0);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(reader.Erase(), 0) << "the stream's own handle is not in the way";
  EXPECT_FALSE(stdfs::exists(FDir / "log.vdbr"));
}

TEST_F(VdbStreamTest, ErrorCodes) {
  TkxFileSystemVdbStream stream(FS);
  EXPECT_EQ(stream.Reset("missing", 66), -1);
  EXPECT_EQ(stream.GetError(), 1);
  char buf[4];
  EXPECT_EQ(stream.ReadNBytes(4, buf, false, 0), -1) << "the reopen fails as well";
  EXPECT_EQ(stream.Size(), -1);
  EXPECT_EQ(stream.Lock(), -1);
  EXPECT_EQ(stream.Rewrite("nodir/x", 66, {}), -3);
  EXPECT_EQ(stream.GetError(), 3);

  ASSERT_EQ(stream.Rewrite("f", 64, {}), 0) << "created, then opened read-only";
  EXPECT_EQ(stream.WriteNBytes(1, "x", false, 0), -3);
  EXPECT_EQ(stream.GetError(), 3);
  EXPECT_EQ(stream.GetHandle(), -1) << "a failed write closes the handle";
  EXPECT_EQ(stream.Cut(0), 0) << "nothing to cut in an empty file";
  ASSERT_EQ(stream.Reset("f", 66), 0);
  EXPECT_EQ(stream.WriteNBytes(4, "data", false, 0), 0);
  ASSERT_EQ(stream.Reset("f", 64), 0);
  EXPECT_EQ(stream.Cut(1), -3) << "SetFileSize raised";
  EXPECT_EQ(stream.ReadNBytes(4, buf, false, 1), -2) << "a short read";
  EXPECT_EQ(stream.GetError(), 2);

  NoLockFileSystem noLocks(FDir.string());
  TkxFileSystemVdbStream unlocked(noLocks);
  ASSERT_EQ(unlocked.Reset("f", 66), 0);
  EXPECT_EQ(unlocked.Lock(), -6);
  EXPECT_EQ(unlocked.GetLockCount(), 0);
  EXPECT_EQ(unlocked.LockRange(0, 1, true), -6);
  EXPECT_EQ(unlocked.IsRangeLocked(0, 1), -6);
}

TEST_F(VdbStreamTest, AFailedReadReopensOnTheNextOperation) {
  TkxFileSystemVdbStream stream(FS);
  ASSERT_EQ(stream.Rewrite("r", 66, {}), 0);
  ASSERT_EQ(stream.WriteNBytes(4, "1234", false, 0), 0);
  char buf[8];
  EXPECT_EQ(stream.ReadNBytes(8, buf, false, 0), -2);
  EXPECT_EQ(stream.GetHandle(), -1) << "closed after the failure";
  EXPECT_EQ(stream.ReadNBytes(4, buf, false, 0), 0) << "reopened by name and mode";
  EXPECT_GE(stream.GetHandle(), 0);
  EXPECT_EQ(std::string(buf, 4), "1234");

  // Once the file is gone, the reopen fails with error 1.
  EXPECT_EQ(stream.ReadNBytes(8, buf, false, 0), -2);
  stdfs::remove(FDir / "r");
  EXPECT_EQ(stream.ReadNBytes(4, buf, false, 0), -1);
  EXPECT_EQ(stream.GetError(), 1);
}

TEST_F(VdbStreamTest, AFailureWhileLockedKeepsTheHandleAndTheLock) {
  TkxFileSystemVdbStream stream(FS);
  ASSERT_EQ(stream.Rewrite("l", 66, {}), 0);
  ASSERT_EQ(stream.Lock(), 0);
  std::int32_t handle = stream.GetHandle();
  char buf[4];
  EXPECT_EQ(stream.ReadNBytes(4, buf, false, 100), -2);
  EXPECT_EQ(stream.GetHandle(), handle) << "closing would give the lock up unnoticed";
  QuickLockStream other(FS);
  ASSERT_EQ(other.Reset("l", 66), 0);
  EXPECT_EQ(other.Lock(), -9);
  ASSERT_EQ(stream.Unlock(), 0);

  ASSERT_EQ(stream.LockRange(55, 1, true), 1);
  EXPECT_EQ(stream.ReadNBytes(4, buf, false, 100), -2);
  EXPECT_EQ(stream.GetHandle(), handle);
  EXPECT_EQ(other.IsRangeLocked(55, 1), 1);
  ASSERT_EQ(stream.UnlockRange(55, 1, true), 0);
  EXPECT_EQ(other.IsRangeLocked(55, 1), 0);
  EXPECT_EQ(stream.ReadNBytes(4, buf, false, 100), -2);
  EXPECT_EQ(stream.GetHandle(), -1) << "no lock held any more";
}

TEST_F(VdbStreamTest, LockIsCountedAndRetried) {
  QuickLockStream first(FS), second(FS, 3, 20);
  ASSERT_EQ(first.Rewrite("net", 66, {}), 0);
  ASSERT_EQ(second.Reset("net", 66), 0);
  EXPECT_EQ(first.Lock(), 0);
  EXPECT_EQ(first.Lock(), 0);
  EXPECT_EQ(first.GetLockCount(), 2);
  EXPECT_EQ(first.Unlock(), 0);
  EXPECT_EQ(first.GetLockCount(), 1);

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(second.Lock(), -9) << "Lock twice, Unlock once: still locked";
  EXPECT_EQ(second.GetError(), 9);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60))
      << "three retries after pauses of at least 20 ms";
  EXPECT_EQ(second.GetLockCount(), 0);

  EXPECT_EQ(first.Unlock(), 0);
  EXPECT_EQ(first.GetLockCount(), 0);
  EXPECT_EQ(first.Unlock(), 0) << "an Unlock too many changes nothing";
  EXPECT_EQ(second.Lock(), 0);
  EXPECT_EQ(first.IsRangeLocked(0, 1), 1);
  EXPECT_EQ(second.IsRangeLocked(0, 1), 1) << "held by itself counts as locked";
  EXPECT_EQ(second.Close(), 0);
  EXPECT_EQ(first.IsRangeLocked(0, 1), 0) << "closing gives the lock up";
}

TEST_F(VdbStreamTest, LockWaitsForAnotherProcess) {
  TkxFileSystemVdbStream creator(FS);
  ASSERT_EQ(creator.Rewrite("net", 66, {}), 0);
  ASSERT_EQ(creator.Close(), 0);
  HeldHelper other({"open", Path("net"), "66", "lock", "0", "1"});
  ASSERT_EQ(other.Lines.size(), 2u);
  ASSERT_EQ(other.Lines[1].Result, 1);

  QuickLockStream quick(FS);
  ASSERT_EQ(quick.Reset("net", 66), 0);
  EXPECT_EQ(quick.Lock(), -9);

  QuickLockStream patient(FS, 1000, 10);
  ASSERT_EQ(patient.Reset("net", 66), 0);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    other.Finish();
  });
  EXPECT_EQ(patient.Lock(), 0) << "granted once the other process let go";
  release.join();
}

TEST_F(VdbStreamTest, EncryptionPassesThroughTheCipher) {
  FlipCipher cipher;
  TkxFileSystemVdbStream stream(FS);
  stream.SetEncryption(&cipher);
  EXPECT_EQ(stream.GetEncryption(), &cipher);
  ASSERT_EQ(stream.Rewrite("enc", 66, {}), 0);
  const char plain[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(stream.WriteNBytes(4, plain, true, 0), 0);
  EXPECT_EQ(std::string(plain, 4), "abcd") << "the caller's data stays as it was";
  EXPECT_EQ(stream.WriteNBytes(2, "ef", false, 4), 0);
  EXPECT_EQ(stream.TestNBytes(2, "gh", 6), 0);
  std::string stored = ReadFile("enc");
  ASSERT_EQ(stored.size(), 8u);
  EXPECT_EQ(static_cast<unsigned char>(stored[0]), static_cast<unsigned char>(~'a'));
  EXPECT_EQ(stored.substr(4), "efgh") << "unencrypted writes and TestNBytes are stored plain";
  char buf[4];
  EXPECT_EQ(stream.ReadNBytes(4, buf, true, 0), 0);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(stream.ReadNBytes(4, buf, false, 0), 0);
  EXPECT_EQ(static_cast<unsigned char>(buf[1]), static_cast<unsigned char>(~'b'));
  stream.SetEncryption(nullptr);
  EXPECT_EQ(stream.ReadNBytes(2, buf, true, 4), 0) << "no cipher: Encrypted has no effect";
  EXPECT_EQ(std::string(buf, 2), "ef");
}

TEST_F(VdbStreamTest, EraseClosesAndDeletes) {
  TkxFileSystemVdbStream stream(FS);
  ASSERT_EQ(stream.Rewrite("gone", 66, {}), 0);
  ASSERT_EQ(stream.Lock(), 0);
  EXPECT_EQ(stream.Erase(), 0);
  EXPECT_FALSE(stdfs::exists(FDir / "gone"));
  EXPECT_EQ(stream.GetHandle(), -1);
  EXPECT_EQ(stream.GetLockCount(), 0);
  EXPECT_EQ(stream.Erase(), -3);

  ASSERT_EQ(stream.Rewrite("kept", 66, {}), 0);
  TkxFileSystemVdbStream other(FS);
  ASSERT_EQ(other.Reset("kept", 66), 0);
  EXPECT_EQ(stream.Erase(), -3) << "another handle holds the file open";
  EXPECT_TRUE(stdfs::exists(FDir / "kept"));
}

}  // namespace
}  // namespace vdb
