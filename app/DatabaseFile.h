// The lexicon database file on disk: written out of the program's resource at start, held open
// while the lexicon is open, deleted at exit. All of it goes through the engine's file system,
// so the operating system's share modes apply as the engine sees them: a file another process
// holds open cannot be created over.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "storage/kxFileSystem.h"

class QIODevice;

class EDatabaseFileError : public std::runtime_error {
 public:
  EDatabaseFileError(const std::string& message, std::int32_t errorCode)
      : std::runtime_error(message), errorCode_(errorCode) {}
  // The file system's last error (e.g. 32 when another process holds the file).
  std::int32_t ErrorCode() const { return errorCode_; }

 private:
  std::int32_t errorCode_;
};

// The lexicon file held open, closed when it goes.
using TOSFileHandle = vdb::TkxFileHandle;

// Writes Stream from its start to FileName, creating the file or overwriting an older one.
// Throws EDatabaseFileError when the file cannot be created or written in full. A file that
// was created but not written in full is removed again: a truncated database is never left
// for the engine to open.
void SaveStreamToFile(QIODevice& stream, vdb::TkxFileSystem& fileSystem,
                      const std::string& fileName);

// Opens FileName read-write and shared (deny none), the way the engine opens a single-file
// database; the handle is invalid when the file cannot be opened.
TOSFileHandle OpenShared(vdb::TkxFileSystem& fileSystem, const std::string& fileName);
