#include "AppTestSupport.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "ResourceData.h"
#include "Unit1.h"

namespace apptest {

TScratchDirectory::TScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "lombkalauz_test_XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) throw std::runtime_error("cannot make a scratch directory");
  path_ = name.data();
}

TScratchDirectory::~TScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

TCurrentDirectory::TCurrentDirectory(const std::filesystem::path& directory)
    : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(directory);
}

TCurrentDirectory::~TCurrentDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

QByteArray ReadFileBytes(const std::filesystem::path& file) {
  QFile in(QString::fromStdString(file.string()));
  if (!in.open(QIODevice::ReadOnly)) return {};
  return in.readAll();
}

void WriteFileBytes(const std::filesystem::path& file, const QByteArray& bytes) {
  QFile out(QString::fromStdString(file.string()));
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
    throw std::runtime_error("cannot write " + file.string());
}

QByteArray EmbeddedResource1() {
  const auto bytes = EmbeddedResourceBytes("Resource_1");
  return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
}

QByteArray ResourceFileOnDisk() { return ReadFileBytes(LOMBKALAUZ_RESOURCE_FILE); }

void ShowWithTheFirstAdvert(TForm1& form) {
  QEventLoop loop;
  const QMetaObject::Connection started =
      QObject::connect(&form, &TForm1::AdvertsStarted, &loop, &QEventLoop::quit);
  // A start that never comes fails the test's own checks instead of hanging the test.
  QTimer::singleShot(60000, &loop, &QEventLoop::quit);
  form.show();
  loop.exec();
  QObject::disconnect(started);
}

}  // namespace apptest
