// Writing the database file through the engine's file system, and holding it shared.
#include <QBuffer>
#include <QByteArray>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <filesystem>

#include "AppTestSupport.h"
#include "DatabaseFile.h"

namespace fs = std::filesystem;
using apptest::ReadFileBytes;

namespace {

QByteArray RandomBytes(qsizetype size) {
  QByteArray bytes(size, '\0');
  QRandomGenerator generator(1234);
  for (char& byte : bytes) byte = static_cast<char>(generator.bounded(256));
  return bytes;
}

class DatabaseFileTest : public ::testing::Test {
 protected:
  void Save(const QByteArray& bytes) {
    QBuffer stream;
    stream.setData(bytes);
    ASSERT_TRUE(stream.open(QIODevice::ReadOnly));
    stream.seek(bytes.size() / 2);  // the write starts from the stream's beginning all the same
    SaveStreamToFile(stream, fileSystem, file.string());
  }

  apptest::TScratchDirectory scratch;
  fs::path file = scratch.Path() / "L_Data.vdbd";
  vdb::TkxOSFileSystem fileSystem;
};

TEST_F(DatabaseFileTest, WritesTheWholeStreamAndClosesTheFile) {
  // Several copy chunks and an odd tail.
  const QByteArray bytes = RandomBytes(3 * 64 * 1024 + 777);
  Save(bytes);
  EXPECT_EQ(ReadFileBytes(file), bytes);
  // Nothing holds the file any more: it opens exclusively.
  TOSFileHandle exclusive(fileSystem,
                          fileSystem.OpenFile(file.string(), vdb::fmOpenReadWrite | vdb::fmShareExclusive));
  EXPECT_TRUE(exclusive.Valid()) << fileSystem.GetLastError();
}

TEST_F(DatabaseFileTest, AFileHeldSharedCannotBeWrittenOverAndStaysIntact) {
  const QByteArray first = RandomBytes(5000);
  Save(first);
  const TOSFileHandle holder = OpenShared(fileSystem, file.string());
  ASSERT_TRUE(holder.Valid());
  const TOSFileHandle secondReader = OpenShared(fileSystem, file.string());
  EXPECT_TRUE(secondReader.Valid());  // shared use is allowed

  try {
    Save(RandomBytes(100));
    FAIL() << "the held file was written over";
  } catch (const EDatabaseFileError& error) {
    EXPECT_EQ(error.ErrorCode(), vdb::kxErrorSharingViolation) << error.what();
  }
  EXPECT_EQ(ReadFileBytes(file), first);
}

TEST_F(DatabaseFileTest, OpenSharedOfAMissingFileGivesNoHandle) {
  EXPECT_FALSE(OpenShared(fileSystem, file.string()).Valid());
  EXPECT_EQ(fileSystem.GetLastError(), vdb::kxErrorFileNotFound);
}

}  // namespace
