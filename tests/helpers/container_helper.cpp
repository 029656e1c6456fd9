// A second real process for the container tests: opens a compound container and runs the
// operations given on the command line one after the other, printing one line per operation.
//   container_helper FILE OPERATION...
// Operations:
//   open | open-ro          open the container read-write (or read-only), shared
//   hold-read MS READY      take the logical read lock, create the file READY (an operating-
//                           system path), keep the lock MS milliseconds, give it back
//   hold-read-until RELEASE READY
//                           take the logical read lock, create READY, keep the lock until the
//                           operating-system file RELEASE exists (at most 60 s), give it back
//   wait-file PATH          wait until the operating-system file PATH exists (at most 60 s)
//   begin-read              take the logical read lock: "begin-read <1|0> <error> <ms>"
//   end-read                give it back
//   read PATH               "read <size> <content>" of a contained file
//   write PATH TEXT         create (or empty) a contained file and write TEXT into it
//   readall                 open and read every contained file of every directory
//   sleep MS                wait MS milliseconds
//   close                   close the container
// Exit status 0; 2 for a command line it does not understand; 3 when an operation raised
// (its message on standard error).
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "storage/kxCompoundFile.h"

namespace {

using vdb::TkxCompoundFileIntf;
using Clock = std::chrono::steady_clock;

long long Number(const std::string& Text) { return std::strtoll(Text.c_str(), nullptr, 10); }

void Sleep(long long Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(Ms)); }

void Touch(const std::string& Path) {
  vdb::TkxOSFileSystem OS;
  const std::int32_t Handle = OS.CreateFile(Path);
  if (Handle < 0) throw std::runtime_error("cannot create " + Path);
  OS.CloseFile(Handle);
}

void WaitForFile(const std::string& Path) {
  vdb::TkxOSFileSystem OS;
  const auto Deadline = Clock::now() + std::chrono::seconds(60);
  while (!OS.FileExists(Path)) {
    if (Clock::now() > Deadline) throw std::runtime_error("no file " + Path);
    Sleep(5);
  }
}

std::string ReadContained(TkxCompoundFileIntf& Container, const std::string& Path) {
  const std::int32_t Handle = Container.OpenFile(Path, vdb::fmOpenRead);
  if (Handle < 0) throw std::runtime_error("cannot open " + Path);
  std::string Content(static_cast<std::size_t>(Container.GetFileSize(Handle)), '\0');
  const std::int32_t Got = Container.FileRead(Handle, Content.data(),
                                              static_cast<std::int32_t>(Content.size()), 0);
  Container.CloseFile(Handle);
  if (Got != static_cast<std::int32_t>(Content.size())) throw std::runtime_error("short read");
  return Content;
}

void WriteContained(TkxCompoundFileIntf& Container, const std::string& Path,
                    const std::string& Text) {
  const std::int32_t Handle = Container.CreateFile(Path);
  if (Handle < 0) throw std::runtime_error("cannot create " + Path);
  const std::int32_t Written =
      Container.FileWrite(Handle, Text.data(), static_cast<std::int32_t>(Text.size()), 0);
  Container.CloseFile(Handle);
  if (Written != static_cast<std::int32_t>(Text.size())) throw std::runtime_error("short write");
}

std::int64_t ReadTree(TkxCompoundFileIntf& Container, const std::string& Dir) {
  std::vector<std::pair<std::string, bool>> Entries;
  vdb::TkxFindFileRec Rec;
  for (bool Found = Container.FindFirstFile(Dir + "*", vdb::faAnyFile, Rec); Found;
       Found = Container.FindNextFile(Rec))
    Entries.emplace_back(Rec.Name, (Rec.Attr & vdb::faDirectory) != 0);
  Container.FindFileClose(Rec);
  std::int64_t Bytes = 0;
  for (const auto& [Name, IsDir] : Entries)
    Bytes += IsDir ? ReadTree(Container, Dir + Name + "\\")
                   : static_cast<std::int64_t>(ReadContained(Container, Dir + Name).size());
  return Bytes;
}

int Run(TkxCompoundFileIntf& Container, const std::vector<std::string>& Args) {
  const auto Need = [&](std::size_t I, std::size_t N) { return I + N < Args.size(); };
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& Op = Args[I];
    if (Op == "open" || Op == "open-ro") {
      Container.SetReadOnly(Op == "open-ro");
      Container.Open();
      std::cout << Op << std::endl;
    } else if (Op == "hold-read" && Need(I, 2)) {
      if (!Container.BeginRead()) throw std::runtime_error("no read lock");
      Touch(Args[I + 2]);
      Sleep(Number(Args[I + 1]));
      Container.EndRead();
      std::cout << Op << std::endl;
      I += 2;
    } else if (Op == "hold-read-until" && Need(I, 2)) {
      if (!Container.BeginRead()) throw std::runtime_error("no read lock");
      Touch(Args[I + 2]);
      WaitForFile(Args[I + 1]);
      Container.EndRead();
      std::cout << Op << std::endl;
      I += 2;
    } else if (Op == "wait-file" && Need(I, 1)) {
      WaitForFile(Args[++I]);
      std::cout << Op << std::endl;
    } else if (Op == "begin-read") {
      const auto Start = Clock::now();
      const bool Locked = Container.BeginRead();
      const auto Ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count();
      std::cout << Op << ' ' << Locked << ' ' << Container.GetLastError() << ' ' << Ms
                << std::endl;
    } else if (Op == "end-read") {
      Container.EndRead();
      std::cout << Op << std::endl;
    } else if (Op == "read" && Need(I, 1)) {
      const std::string Content = ReadContained(Container, Args[++I]);
      std::cout << Op << ' ' << Content.size() << ' ' << Content << std::endl;
    } else if (Op == "write" && Need(I, 2)) {
      WriteContained(Container, Args[I + 1], Args[I + 2]);
      std::cout << Op << std::endl;
      I += 2;
    } else if (Op == "readall") {
      std::cout << Op << ' ' << ReadTree(Container, "\\") << std::endl;
    } else if (Op == "sleep" && Need(I, 1)) {
      Sleep(Number(Args[++I]));
    } else if (Op == "close") {
      Container.Close();
      std::cout << Op << std::endl;
    } else {
      std::cerr << "container_helper: cannot run \"" << Op << "\"" << std::endl;
      return 2;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: container_helper FILE OPERATION..." << std::endl;
    return 2;
  }
  TkxCompoundFileIntf Container(argv[1]);
  try {
    return Run(Container, std::vector<std::string>(argv + 2, argv + argc));
  } catch (const std::exception& E) {
    std::cerr << E.what() << std::endl;
    return 3;
  }
}
