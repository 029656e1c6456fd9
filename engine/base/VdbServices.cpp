#include "base/VdbServices.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <random>

#include "base/VdbErrors.h"
#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"

namespace vdb {

namespace {

std::int32_t RandomStation() {
  std::random_device seed;
  std::mt19937 generator(seed());
  std::uniform_int_distribution<std::int32_t> station(1, 2147483646);
  return station(generator);
}

}  // namespace

TVdbServices::TVdbServices(std::int16_t SessionHdl) : FSessionHdl(SessionHdl) {
  SetStation(RandomStation());
  SetPrivateDir({});
  FLastError.SetLogSink([this](int Level, const std::string& Subsystem, const std::string& Message) {
    Log(Level, Subsystem, Message);
  });
}

TVdbServices::~TVdbServices() {
  SetLogLevel(0);
  ReleaseFileSystems();
}

// --- The session log ---

namespace {

constexpr int kMaxLogLevel = 4;
constexpr int kKeptLogs = 5;

std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return kxFormat("%s.%.3d", {std::string(text), static_cast<std::int64_t>(millis)});
}

}  // namespace

std::string TVdbServices::LogFileName(int SequenceNo) const {
  return FPrivateDir + kxFormat("VdbLog%d_%.2d.txt", {FStation, SequenceNo});
}

std::int16_t TVdbServices::SetLogLevel(int Level) {
  Level = std::clamp(Level, 0, kMaxLogLevel);
  if (Level > 0 && !FLogFile) {
    // The oldest log goes; the others move up one number; the new one is number 1.
    std::error_code ignored;
    std::filesystem::remove(LogFileName(kKeptLogs), ignored);
    for (int no = kKeptLogs - 1; no >= 1; --no)
      std::filesystem::rename(LogFileName(no), LogFileName(no + 1), ignored);
    auto file = std::make_unique<std::ofstream>(LogFileName(1), std::ios::out | std::ios::trunc);
    if (!*file) {
      FLogLevel = 0;
      return SetLastError(kVdbErrFileWrite, LogFileName(1));
    }
    FLogFile = std::move(file);
    FLogLevel = Level;
    Log(1, "Services", "VeskorDB log file opened");
    return 0;
  }
  if (Level == 0 && FLogFile) {
    Log(1, "Services", "VeskorDB log file closed");
    FLogFile.reset();
  }
  FLogLevel = Level;
  return 0;
}

void TVdbServices::Log(int Level, const std::string& Subsystem, const std::string& Message) {
  if (!FLogFile || Level > FLogLevel) return;
  *FLogFile << kxFormat("%12s %2d %-20s %s", {TimeStamp(), Level, Subsystem, Message}) << '\n';
  FLogFile->flush();
}

void TVdbServices::SetStation(std::int32_t Value) {
  FStation = Value;
  FIDName = std::to_string(Value);
}

void TVdbServices::SetPrivateDir(const std::string& Value) {
  std::string dir = Value;
  if (dir.empty()) {
    std::error_code error;
    dir = std::filesystem::temp_directory_path(error).generic_string();
    if (error || dir.empty()) dir = "/tmp";
  }
  if (dir.back() != '/') dir += '/';
  FPrivateDir = std::move(dir);
}

void TVdbServices::SetFileSystems(TkxFileSystem* OSFileSystem, TkxFileSystem* DataFileSystem,
                                  std::unique_ptr<TkxFileSystem> LockFileSystem,
                                  bool FromRegistry) {
  ReleaseFileSystems();
  FOSFileSystem = OSFileSystem;
  FDataFileSystem = DataFileSystem;
  FLockFileSystem = std::move(LockFileSystem);
  FFromRegistry = FromRegistry;
}

void TVdbServices::ReleaseFileSystems() {
  TkxFileSystem* data = FDataFileSystem;
  TkxFileSystem* os = FOSFileSystem;
  FDataFileSystem = nullptr;
  FOSFileSystem = nullptr;
  if (FFromRegistry) {
    if (data) TVdbPageManager::Instance().ReleaseFileSystem(data);
  }
  if (FLockFileSystem) FLockFileSystem->Close();
  FLockFileSystem.reset();
  if (FFromRegistry) {
    if (os) TVdbPageManager::Instance().ReleaseFileSystem(os);
  }
  FFromRegistry = false;
}

std::int16_t TVdbServices::FindRltnIdx(const std::string& Name) const {
  return FOnFindRltnIdx ? FOnFindRltnIdx(Name) : 0;
}

std::int16_t TVdbServices::CalcRltnHdl(std::int16_t RltnIdx) const {
  if (FOnCalcRltnHdl) return FOnCalcRltnHdl(RltnIdx);
  return static_cast<std::int16_t>((FSessionHdl - 1) * 256 + RltnIdx);
}

void TVdbServices::ThrowIfStopped() const {
  if (StopRequested()) throw EVdbEngine(kVdbErrCanceled, kxFormatArgs{});
}

}  // namespace vdb
