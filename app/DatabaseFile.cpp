#include "DatabaseFile.h"

#include <QIODevice>

#include <array>

#include "storage/kxFormat.h"

namespace {

constexpr std::int32_t kCopyChunk = 64 * 1024;

[[noreturn]] void Fail(vdb::TkxFileSystem& fileSystem, const char* format,
                       const std::string& fileName) {
  const std::int32_t error = fileSystem.GetLastError();
  throw EDatabaseFileError(
      vdb::kxFormat(format, {fileName, vdb::TkxFileSystem::GetErrorMessage(error)}), error);
}

void CopyStream(QIODevice& stream, vdb::TkxFileSystem& fileSystem, std::int32_t handle,
                const std::string& fileName) {
  if (!stream.seek(0))
    throw EDatabaseFileError(vdb::kxFormat("Cannot read the data for \"%s\".", {fileName}), 0);
  std::array<char, kCopyChunk> buffer;
  std::int64_t position = 0;
  for (;;) {
    const qint64 count = stream.read(buffer.data(), kCopyChunk);
    if (count < 0)
      throw EDatabaseFileError(vdb::kxFormat("Cannot read the data for \"%s\".", {fileName}), 0);
    if (count == 0) return;
    const auto chunk = static_cast<std::int32_t>(count);
    if (fileSystem.FileWrite(handle, buffer.data(), chunk, position) != chunk)
      Fail(fileSystem, "Cannot write file \"%s\". %s", fileName);
    position += chunk;
  }
}

}  // namespace

void SaveStreamToFile(QIODevice& stream, vdb::TkxFileSystem& fileSystem,
                      const std::string& fileName) {
  TOSFileHandle file(fileSystem, fileSystem.CreateFile(fileName));
  if (!file.Valid()) Fail(fileSystem, "Cannot create file \"%s\". %s", fileName);
  try {
    CopyStream(stream, fileSystem, file.Get(), fileName);
  } catch (...) {
    file.Close();
    fileSystem.DeleteFile(fileName);
    throw;
  }
}

TOSFileHandle OpenShared(vdb::TkxFileSystem& fileSystem, const std::string& fileName) {
  return TOSFileHandle(fileSystem,
                       fileSystem.OpenFile(fileName, vdb::fmOpenReadWrite | vdb::fmShareDenyNone));
}
