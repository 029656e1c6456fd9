// Temporary base tables (see VdbTempTable.h).
#include "query/VdbTempTable.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace vdb {

namespace {

std::atomic<unsigned> NextDirectory{0};

void CheckCreated(std::int16_t Result, TVdbServices* Services) {
  if (Result >= 0) return;
  if (Services != nullptr && Services->LastErrorCode() == -Result)
    throw EVdbEngine::CreateMsg(Services->LastErrorCode(), Services->LastErrorMsg());
  throw EVdbEngine(static_cast<std::int16_t>(-Result), kxFormatArgs{});
}

}  // namespace

std::unique_ptr<TVdbTempTable> TVdbTempTable::Create(TVdbServices* Services, const std::string& Name,
                                                     const TVdbColumnDefs& Columns) {
  namespace fs = std::filesystem;
  const fs::path Base = Services->PrivateDir().empty() ? fs::temp_directory_path() : fs::path(Services->PrivateDir());
  const fs::path Directory =
      Base / ("vdbtmp_" + std::to_string(::getpid()) + "_" + std::to_string(NextDirectory++));
  std::error_code Error;
  fs::create_directories(Directory, Error);
  if (Error) throw EVdbEngine(1, kxFormatArgs{Directory.string()});
  std::unique_ptr<TVdbTempTable> Table(new TVdbTempTable(Services));
  Table->FDirectory = Directory.string();
  Table->SetFileSystem(Services->OSFileSystem());
  Table->SetFileName((Directory / (Name + ".vdbt")).string());
  Table->SetPhysicalDirectory(Directory.string());
  Table->SetLevel(kVdbCurrentLevel);
  for (int I = 0; I < Columns.GetCount(); ++I) Table->ColumnDefs().Add(Columns.GetColumnDef(I).Clone());
  CheckCreated(Table->NewFile(), Services);
  CheckCreated(Table->Setup(false), Services);
  Table->Temporary = true;
  return Table;
}

TVdbTempTable::~TVdbTempTable() {
  Close();
  std::error_code Ignored;
  std::filesystem::remove_all(FDirectory, Ignored);
}

}  // namespace vdb
