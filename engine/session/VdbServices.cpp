#include "session/VdbServices.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <algorithm>
#include <random>

#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"

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
}

TVdbServices::~TVdbServices() {
  ReleaseFileSystems();
  CloseLog();
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

// =================================================================================================
// The session's engine log.

std::string TVdbServices::LogFileName(int Sequence) const {
  return FPrivateDir + kxFormat("VdbLog%d_%.2d.txt", {FStation, Sequence});
}

std::int16_t TVdbServices::SetLogLevel(std::int32_t Level) {
  Level = std::clamp(Level, 0, kMaxLogLevel);
  if (Level == 0) {
    CloseLog();
    FLogLevel = 0;
    return 0;
  }
  if (FLogLevel == 0) {
    OpenLog();
    if (!FLogFile.is_open()) return SetLastError(3, LogFileName(1));
  }
  FLogLevel = Level;
  return 0;
}

void TVdbServices::OpenLog() {
  std::error_code Ignored;
  std::filesystem::remove(LogFileName(kKeptLogs), Ignored);
  for (int Sequence = kKeptLogs - 1; Sequence >= 1; --Sequence)
    std::filesystem::rename(LogFileName(Sequence), LogFileName(Sequence + 1), Ignored);
  FLogFile.open(LogFileName(1), std::ios::out | std::ios::trunc);
  if (!FLogFile.is_open()) return;
  FLogLevel = 1;
  Log(1, "Services", "VeskorDB log file opened");
  FLastError.SetLogSink([this](int LineLevel, const std::string& Subsystem,
                               const std::string& Message) { Log(LineLevel, Subsystem, Message); });
}

void TVdbServices::CloseLog() {
  if (!FLogFile.is_open()) return;
  FLogLevel = std::max(FLogLevel, 1);
  Log(1, "Services", "VeskorDB log file closed");
  FLastError.SetLogSink(nullptr);
  FLogFile.close();
}

void TVdbServices::Log(std::int32_t Level, const std::string& Subsystem,
                       const std::string& Message) {
  if (!FLogFile.is_open() || Level > FLogLevel) return;
  const auto Now = std::chrono::system_clock::now();
  const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
  const auto Millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() % 1000;
  std::tm Local{};
  localtime_r(&Seconds, &Local);
  std::ostringstream Time;
  Time << std::put_time(&Local, "%H:%M:%S") << '.' << std::setw(3) << std::setfill('0') << Millis;
  FLogFile << std::left << std::setw(12) << Time.str() << ' ' << std::right << std::setw(2) << Level
           << ' ' << std::left << std::setw(20) << Subsystem << ' ' << Message << '\n';
  FLogFile.flush();
}

}  // namespace vdb
