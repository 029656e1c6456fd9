// vdb container ...: creates, lists, reads, changes, checks and compresses single-file
// database containers. Commands that only read (ls, cat, check, export) open the container
// read-only, so they never write to it.
#include <cstdio>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <sys/stat.h>

#include "VdbCommand.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxPath.h"

namespace vdbtool {
namespace {

using vdb::TkxCompoundFileIntf;

constexpr const char* kUsage =
    "new FILE | ls FILE [DIR] | cat FILE PATH | put FILE PATH SRC | rm FILE PATH | "
    "mkdir FILE DIR | rmdir FILE DIR | mv FILE OLD NEW | export FILE MASK DIR | check FILE | "
    "compress FILE";

// A path inside the container: "/" may stand for "\" (no entry name can hold either), and a
// relative path lies in the root directory.
std::string ContainerPath(std::string Path) {
  for (char& C : Path)
    if (C == '/') C = '\\';
  if (Path.empty() || Path.front() != '\\') Path.insert(Path.begin(), '\\');
  return Path;
}

bool Exists(const std::string& FileName) {
  struct stat Info {};
  return ::stat(FileName.c_str(), &Info) == 0;
}

// Opens the container; read-only for the commands that only look.
void OpenContainer(TkxCompoundFileIntf& Container, const std::string& FileName, bool ReadOnly,
                   bool Exclusive = false) {
  if (!Exists(FileName)) throw std::runtime_error("\"" + FileName + "\" does not exist");
  if (!TkxCompoundFileIntf::IsCompoundFile(FileName))
    throw std::runtime_error("\"" + FileName + "\" is not a container");
  Container.SetFileName(FileName);
  Container.SetReadOnly(ReadOnly);
  Container.SetExclusive(Exclusive);
  Container.Open();
}

int Failed(std::ostream& Err, const std::string& What, std::int32_t Error) {
  Err << "vdb container: " << What << ": " << vdb::TkxFileSystem::GetErrorMessage(Error) << " ("
      << Error << ")\n";
  return kExitFailure;
}

bool WrongCount(const Args& A, std::size_t Min, std::size_t Max, std::ostream& Err) {
  if (A.size() >= Min && A.size() <= Max) return false;
  Err << "usage: vdb container " << kUsage << "\n";
  return true;
}

int RunNew(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (WrongCount(A, 2, 2, Err)) return kExitUsage;
  if (Exists(A[1])) {
    Err << "vdb container new: \"" << A[1] << "\" exists already\n";
    return kExitFailure;
  }
  TkxCompoundFileIntf Container(A[1]);
  Container.NewFile();
  Out << "created " << A[1] << "\n";
  return kExitOk;
}

int RunLs(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (WrongCount(A, 2, 3, Err)) return kExitUsage;
  TkxCompoundFileIntf Container;
  OpenContainer(Container, A[1], true);
  std::string Dir = A.size() > 2 ? ContainerPath(A[2]) : "\\";
  if (Dir.back() != '\\') Dir += '\\';
  if (Dir != "\\" && !Container.DirectoryExists(Dir))
    return Failed(Err, "no directory " + Dir, vdb::kxErrorPathNotFound);
  Out << std::left << std::setw(40) << "NAME" << std::right << std::setw(6) << "ATTR"
      << std::setw(14) << "SIZE" << std::setw(8) << "FIRST" << std::setw(8) << "TILES" << "\n";
  vdb::TkxFindFileRec Rec;
  std::int32_t Entries = 0;
  for (bool Found = Container.FindFirstFile(Dir + "*", vdb::faAnyFile, Rec); Found;
       Found = Container.FindNextFile(Rec)) {
    const std::int32_t First = Container.GetFirstPageNo(Dir + Rec.Name);
    const std::size_t Tiles = First < 0 ? 0 : Container.GetPageChain(First).size();
    Out << std::left << std::setw(40) << Rec.Name << std::right << std::setw(6)
        << ((Rec.Attr & vdb::faDirectory) ? "dir" : "file") << std::setw(14) << Rec.Size
        << std::setw(8) << First << std::setw(8) << Tiles << "\n";
    ++Entries;
  }
  Container.FindFileClose(Rec);
  Out << Entries << " entries; free list " << Container.GetFreePagesCount() << " tiles; "
      << Container.GetPageCount() << " tiles in the container\n";
  return kExitOk;
}

int RunCat(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (WrongCount(A, 3, 3, Err)) return kExitUsage;
  TkxCompoundFileIntf Container;
  OpenContainer(Container, A[1], true);
  const std::string Path = ContainerPath(A[2]);
  const vdb::TkxFileHandle File(Container, Container.OpenFile(Path, vdb::fmOpenRead));
  if (!File.Valid()) return Failed(Err, "cannot open " + Path, Container.GetLastError());
  std::vector<char> Buffer(65536);
  for (std::int64_t Pos = 0;;) {
    const auto Wanted = static_cast<std::int32_t>(Buffer.size());
    const std::int32_t Got = Container.FileRead(File.Get(), Buffer.data(), Wanted, Pos);
    if (Got <= 0) break;
    Out.write(Buffer.data(), Got);
    Pos += Got;
  }
  return kExitOk;
}

int RunPut(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (WrongCount(A, 4, 4, Err)) return kExitUsage;
  vdb::TkxOSFileSystem OS;
  const vdb::TkxFileHandle Source(OS, OS.OpenFile(A[3], vdb::fmOpenRead | vdb::fmShareDenyWrite));
  if (!Source.Valid()) return Failed(Err, "cannot open " + A[3], OS.GetLastError());
  TkxCompoundFileIntf Container;
  OpenContainer(Container, A[1], false);
  const std::string Path = ContainerPath(A[2]);
  vdb::TkxFileHandle Target(Container, Container.CreateFile(Path));
  if (!Target.Valid()) return Failed(Err, "cannot create " + Path, Container.GetLastError());
  std::vector<char> Buffer(65536);
  std::int64_t Pos = 0;
  for (;;) {
    const std::int32_t Got =
        OS.FileRead(Source.Get(), Buffer.data(), static_cast<std::int32_t>(Buffer.size()), Pos);
    if (Got < 0) return Failed(Err, "cannot read " + A[3], OS.GetLastError());
    if (Got == 0) break;
    if (Container.FileWrite(Target.Get(), Buffer.data(), Got, Pos) != Got)
      return Failed(Err, "cannot write " + Path, Container.GetLastError());
    Pos += Got;
  }
  Target.Close();
  Container.Close();
  Out << "stored " << Pos << " bytes as " << Path << "\n";
  return kExitOk;
}

// rm, mkdir, rmdir: one path, one Boolean operation of the container.
int RunPathOperation(const Args& A, std::ostream& Out, std::ostream& Err, const char* Verb,
                     bool (TkxCompoundFileIntf::*Operation)(const std::string&)) {
  if (WrongCount(A, 3, 3, Err)) return kExitUsage;
  TkxCompoundFileIntf Container;
  OpenContainer(Container, A[1], false);
  const std::string Path = ContainerPath(A[2]);
  if (!(Container.*Operation)(Path))
    return Failed(Err, std::string("cannot ") + Verb + " " + Path, Container.GetLastError());
  Container.Close();
  Out << Verb << " " << Path << "\n";
  return kExitOk;
}

int RunRm(const Args& A, std::ostream& Out, std::ostream& Err) {
  return RunPathOperation(A, Out, Err, "remove", &TkxCompoundFileIntf::DeleteFile);
}

int RunMkdir(const Args& A, std::ostream& Out, std::ostream& Err) {
  return RunPathOperation(A, Out, Err, "create directory", &TkxCompoundFileIntf::CreateDir);
}

int RunRmdir(const Args& A, std::ostream& Out, std::ostream& Err) {
  return RunPathOperation(A, Out, Err, "remove directory", &TkxCompoundFileIntf::RemoveDir);
}

int RunMv(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (WrongCount(A, 4, 4, Err)) return kExitUsage;
  TkxCompoundFileIntf Container;
  OpenContainer(Container, A[1], false);
  const std::string Old = ContainerPath(A[2]);
  // A new name without a directory stays in the old one's directory.
  const bool NameOnly = !vdb::kxHasDirectory(A[3], vdb::TkxPathForm::Any);
  const std::string New = NameOnly ? vdb::kxExtractFilePath(Old, vdb::TkxPathForm::Container) + A[3]
                                   : ContainerPath(A[3]);
  if (!Container.RenameFile(Old, New)) {
    const std::int32_t Error = Container.GetLastError();
    if (Error == vdb::kxErrorInvalidFunction) {
      Err << "vdb container: cannot rename " << Old << " to " << New
          << ": both names must lie in the same directory\n";
      return kExitFailure;
    }
    return Failed(Err, "cannot rename " + Old + " to " + New, Error);
  }
  Container.Close();
  Out << "renamed " << Old << " to " << New << "\n";
  return kExitOk;
}

int RunExport(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (WrongCount(A, 4, 4, Err)) return kExitUsage;
  struct stat Info {};
  if (::stat(A[3].c_str(), &Info) != 0 || !S_ISDIR(Info.st_mode)) {
    Err << "vdb container export: \"" << A[3] << "\" is not a directory\n";
    return kExitFailure;
  }
  TkxCompoundFileIntf Container;
  OpenContainer(Container, A[1], true);
  std::string Target = A[3];
  if (Target.back() != '/') Target += '/';
  Container.ExportFiles(ContainerPath(A[2]), Target, false);
  Out << "exported " << ContainerPath(A[2]) << " to " << Target << "\n";
  return kExitOk;
}

int RunCheck(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (WrongCount(A, 2, 2, Err)) return kExitUsage;
  if (!Exists(A[1])) throw std::runtime_error("\"" + A[1] + "\" does not exist");
  TkxCompoundFileIntf Container(A[1], true);
  const std::int32_t Defects = Container.PerformCheck(
      [&Out](const std::string& FilePath, const std::string& Message) {
        Out << FilePath << ": " << Message << "\n";
      });
  if (Defects == 0) {
    Out << "no defects\n";
    return kExitOk;
  }
  Out << Defects << (Defects == 1 ? " defect\n" : " defects\n");
  return kExitNegative;
}

int RunCompress(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (WrongCount(A, 2, 2, Err)) return kExitUsage;
  TkxCompoundFileIntf Container;
  OpenContainer(Container, A[1], false, true);
  const std::int32_t Before = Container.GetPageCount();
  Container.Compress();
  Out << "compressed " << A[1] << " from " << Before << " to " << Container.GetPageCount()
      << " tiles\n";
  Container.Close();
  return kExitOk;
}

struct TSubcommand {
  const char* Name;
  CommandFn Run;
};

constexpr TSubcommand kSubcommands[] = {
    {"new", RunNew},         {"ls", RunLs},       {"cat", RunCat},     {"put", RunPut},
    {"rm", RunRm},           {"mkdir", RunMkdir}, {"rmdir", RunRmdir}, {"mv", RunMv},
    {"export", RunExport},   {"check", RunCheck}, {"compress", RunCompress},
};

int RunContainer(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (!A.empty()) {
    for (const TSubcommand& Sub : kSubcommands)
      if (A[0] == Sub.Name) return Sub.Run(A, Out, Err);
    Err << "vdb container: unknown subcommand \"" << A[0] << "\"\n";
  }
  Err << "usage: vdb container " << kUsage << "\n";
  return kExitUsage;
}

const VdbCommandRegistrar kRegistrar({"container", kUsage,
                                      "create, list, read, change, check and compress a "
                                      "single-file database container",
                                      RunContainer});

}  // namespace
}  // namespace vdbtool
