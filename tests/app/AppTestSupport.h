// Helpers of the window program's tests.
#pragma once

#include <QByteArray>
#include <QString>

#include <filesystem>

class TForm1;

namespace apptest {

// Shows Form and turns the event loop until the adverts of its show (the first link refresh and
// banner, which follow the show once the window is on the screen) have run.
void ShowWithTheFirstAdvert(TForm1& form);

// A fresh directory under the system's temporary directory, removed with everything in it.
class TScratchDirectory {
 public:
  TScratchDirectory();
  TScratchDirectory(const TScratchDirectory&) = delete;
  TScratchDirectory& operator=(const TScratchDirectory&) = delete;
  ~TScratchDirectory();

  const std::filesystem::path& Path() const { return path_; }
  QString QPath() const { return QString::fromStdString(path_.string()); }

 private:
  std::filesystem::path path_;
};

// Makes Directory the process's current directory until it goes.
class TCurrentDirectory {
 public:
  explicit TCurrentDirectory(const std::filesystem::path& directory);
  TCurrentDirectory(const TCurrentDirectory&) = delete;
  TCurrentDirectory& operator=(const TCurrentDirectory&) = delete;
  ~TCurrentDirectory();

 private:
  std::filesystem::path previous_;
};

// The whole content of a file; empty when it cannot be read.
QByteArray ReadFileBytes(const std::filesystem::path& file);
void WriteFileBytes(const std::filesystem::path& file, const QByteArray& bytes);

// Resource_1 as the program carries it, and the file it was built from.
QByteArray EmbeddedResource1();
QByteArray ResourceFileOnDisk();

}  // namespace apptest
