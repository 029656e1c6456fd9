#include "session/VdbServices.h"

#include <filesystem>
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

TVdbServices::~TVdbServices() { ReleaseFileSystems(); }

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

}  // namespace vdb
