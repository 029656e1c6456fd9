#include "session/VdbLocSess.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "base/VdbErrors.h"
#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"
#include "storage/kxPath.h"

namespace vdb {

namespace {

namespace fs = std::filesystem;

constexpr TkxPathForm kOS = TkxPathForm::OS;

// The registered file system of Name with a new reference, or Make's object registered under
// Name (made only when none is there). Make may raise; nothing is registered then.
template <class TMake>
TkxFileSystem* Mount(const std::string& Name, TMake&& Make) {
  TVdbPageManager& Registry = TVdbPageManager::Instance();
  for (;;) {
    if (TkxFileSystem* Found = Registry.GetFileSystem(Name)) return Found;
    std::unique_ptr<TkxFileSystem> Made = Make();
    TkxFileSystem* Raw = Made.get();
    if (Registry.AddFileSystem(Name, std::move(Made)) == 1) return Raw;
    // Another session registered it meanwhile: use that one.
    if (Made) Made->Close();
  }
}

}  // namespace

TVdbLocalSession::~TVdbLocalSession() { Uninitialize(); }

bool TVdbLocalSession::GetIsOpen() { return FServices != nullptr && FServices->IsOpen(); }

std::int16_t TVdbLocalSession::Initialize(std::int16_t SessionHdl) {
  FConnectionId = -1;
  FHandle = SessionHdl;
  FServices = std::make_unique<TVdbServices>(SessionHdl);
  FServices->SetLogLevel(0);
  FServices->SetStopFlag(&StopPrg);
  FConnectionId = FServices->Station();
  FCatalog = std::make_unique<TVdbCatalog>(FServices.get());
  return 0;
}

void TVdbLocalSession::Uninitialize() {
  CloseDb();
  FCatalog.reset();
  FServices.reset();
}

std::int16_t TVdbLocalSession::OpenDb() {
  if (!FServices) return 0;
  try {
    const std::int16_t Result = DoOpenDb();
    if (Result < 0) {
      FCatalog->Close();
      FServices->ReleaseFileSystems();
    }
    return Result;
  } catch (...) {
    FCatalog->Close();
    FServices->ReleaseFileSystems();
    throw;
  }
}

std::int16_t TVdbLocalSession::DoOpenDb() {
  CloseDb();
  std::string Location = FCatalog->Location();
  std::error_code Error;
  const fs::file_status Status = Location.empty() ? fs::file_status() : fs::status(Location, Error);
  bool SingleFile = false;
  if (fs::exists(Status) && !fs::is_directory(Status)) {
    SingleFile = TkxCompoundFileIntf::IsCompoundFile(Location);
    // A table file of a directory database opens the whole directory.
    if (!SingleFile) Location = kxExtractFileDir(Location, kOS);
  } else if (!Location.empty() && !fs::exists(Status)) {
    if (!kxExtractFileExt(Location, kOS).empty())
      return FServices->SetLastError(kVdbErrFileNotFoundOrDenied, Location);
    Location += ".vdbd";
    SingleFile = true;
  }
  FCatalog->SetResolvedLocation(Location);
  if (SingleFile) {
    const std::int16_t Mounted = MountSingleFile(Location);
    if (Mounted < 0) return Mounted;
  } else {
    MountDirectory(Location);
  }
  FCatalog->Open();
  return 0;
}

std::int16_t TVdbLocalSession::MountSingleFile(const std::string& Location) {
  TVdbPageManager& Registry = TVdbPageManager::Instance();
  TkxFileSystem* OSFiles = Mount("", [] { return std::make_unique<TkxOSFileSystem>(""); });
  TkxFileSystem* Container = Registry.GetFileSystem(Location);
  if (Container != nullptr && FCatalog->Exclusive) {
    Registry.ReleaseFileSystem(Container);
    Registry.ReleaseFileSystem(OSFiles);
    return FServices->SetLastError(kVdbErrFileInUse, std::string_view());
  }
  if (Container == nullptr) {
    try {
      Container = Mount(Location, [&] {
        auto Made = std::make_unique<TkxCompoundFileIntf>(Location, FCatalog->ReadOnly,
                                                          FCatalog->Exclusive);
        Made->Open();
        return Made;
      });
    } catch (...) {
      Registry.ReleaseFileSystem(OSFiles);
      throw;
    }
  }
  FServices->SetFileSystems(OSFiles, Container,
                            std::make_unique<TkxOSFileSystem>(kxExtractFileDir(Location, kOS)));
  FServices->SetDataBaseType(dbtSingleFile);
  return 0;
}

void TVdbLocalSession::MountDirectory(const std::string& Directory) {
  auto Make = [&] { return std::make_unique<TkxOSFileSystem>(Directory); };
  TkxFileSystem* OSFiles = Mount(Directory, Make);
  TkxFileSystem* DataFiles = Mount(Directory, Make);
  FServices->SetFileSystems(OSFiles, DataFiles, std::make_unique<TkxOSFileSystem>(Directory));
  FServices->SetDataBaseType(dbtDbDirectory);
  // A read-only open never writes, not even the control file.
  if (!Directory.empty() && !FCatalog->ReadOnly) CreateControlFile(Directory);
}

// Failure to write it is no failure of the open.
void TVdbLocalSession::CreateControlFile(const std::string& Directory) {
  std::string Trimmed = Directory;
  while (Trimmed.size() > 1 && Trimmed.back() == '/') Trimmed.pop_back();
  const std::string Name = fs::path(Trimmed).filename().string();
  if (Name.empty()) return;
  const std::string Path = Trimmed + "/" + Name + ".vdbd";
  std::error_code Error;
  if (fs::exists(Path, Error)) return;
  std::ofstream Out(Path, std::ios::binary);
  Out << kControlFileText;
}

std::int16_t TVdbLocalSession::CreateDatabase(TVdbDataBaseType DatabaseType,
                                              const std::string& DatabaseName,
                                              const std::string& Key, bool Managed) {
  (void)Key;  // an empty database holds no table the key could protect
  if (GetIsOpen()) throw std::runtime_error("Session must not be open to create a new database.");
  if (Managed) return FServices->SetLastError(kVdbErrNotSupported, "managed databases");
  std::string Name = DatabaseName;
  const auto CannotCreate = [&] {
    return FServices->SetLastError(EVdbEngine::CreateMsg(
        kVdbErrCannotCreateDatabase,
        kxFormat("File already exists, directory not found or no write access: \"%s\"", {Name})));
  };
  std::error_code Error;
  if (DatabaseType == dbtDbDirectory) {
    fs::create_directories(Name, Error);
    return Error || !fs::is_directory(Name) ? CannotCreate() : 0;
  }
  if (kxExtractFileExt(Name, kOS).empty()) Name += ".vdbd";
  if (fs::exists(fs::symlink_status(Name, Error))) return CannotCreate();
  const std::string Directory = kxExtractFileDir(Name, kOS);
  if (!Directory.empty()) {
    fs::create_directories(Directory, Error);
    if (Error || !fs::is_directory(Directory)) return CannotCreate();
  }
  try {
    TkxCompoundFileIntf Container(Name);
    Container.NewFile();
    Container.Close();
  } catch (const std::exception&) {
    return CannotCreate();
  }
  return 0;
}

std::int16_t TVdbLocalSession::DeleteDatabase(const std::string& DatabasePath,
                                              const std::string& Key) {
  if (GetIsOpen()) throw std::runtime_error("Session must not be open to delete a database.");
  const std::string SavedLocation = FCatalog->Location();
  const bool SavedExclusive = FCatalog->Exclusive;
  try {
    FCatalog->SetLocation(DatabasePath);
  } catch (const EVdbEngine& Error) {
    return FServices->SetLastError(Error);
  }
  FCatalog->SetKey(Key);
  FCatalog->Exclusive = true;
  const std::int16_t Result = VdbGuarded(&FServices->LastError(), [this] { return OpenDb(); });
  std::vector<std::string> Tables;
  const bool Single = Result >= 0 && FCatalog->GetIsSingleFile();
  const std::string Location = FCatalog->Location();
  if (Result >= 0) FCatalog->GetTableNames(Tables);
  CloseDb();
  FCatalog->Exclusive = SavedExclusive;
  FCatalog->SetResolvedLocation(SavedLocation);
  if (Result < 0) return Result;
  std::error_code Error;
  const bool Removed = Single ? fs::remove(Location, Error) : RemoveTableFiles(Location, Tables);
  return Removed ? 0 : FServices->SetLastError(kVdbErrCannotDelete, Location);
}

// The files of the tables (data, memo, blob and index files, "<name>.*" and "<name>!*"), the
// control file, and the directory once it is empty.
bool TVdbLocalSession::RemoveTableFiles(const std::string& Directory,
                                        const std::vector<std::string>& Tables) {
  std::error_code Error;
  std::vector<fs::path> Doomed;
  for (const auto& Entry : fs::directory_iterator(Directory, Error)) {
    if (!Entry.is_regular_file(Error)) continue;
    const std::string Name = Entry.path().filename().string();
    for (const std::string& Table : Tables) {
      if (Name.size() > Table.size() && Name.compare(0, Table.size(), Table) == 0 &&
          (Name[Table.size()] == '.' || Name[Table.size()] == '!'))
        Doomed.push_back(Entry.path());
    }
  }
  bool Removed = true;
  for (const fs::path& Path : Doomed) Removed = fs::remove(Path, Error) && Removed;
  const std::string Trimmed = fs::path(Directory).filename().string();
  if (!Trimmed.empty()) fs::remove(fs::path(Directory) / (Trimmed + ".vdbd"), Error);
  if (fs::is_empty(Directory, Error)) fs::remove(Directory, Error);
  return Removed;
}

std::int16_t TVdbLocalSession::CloseDb() {
  if (FCatalog) FCatalog->Close();
  if (FServices) FServices->ReleaseFileSystems();
  return 0;
}

}  // namespace vdb
