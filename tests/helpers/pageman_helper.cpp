// A second real process for the page manager tests: opens a compound container, writes 32-bit
// values into pages of one contained file through the page manager, flushes and closes.
//   pageman_helper CONTAINER FILE PAGESIZE PAGE:OFFSET:VALUE...
// A page beyond the end of the file is made. Prints "ok" and exits with 0; 2 for a command line
// it does not understand; 3 when an operation raised (its message on standard error).
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"

namespace {

struct TPageWrite {
  std::int32_t Page;
  std::int32_t Offset;
  std::int32_t Value;
};

bool ParseWrite(const std::string& Text, TPageWrite& Write) {
  const auto First = Text.find(':');
  const auto Second = Text.find(':', First == std::string::npos ? First : First + 1);
  if (First == std::string::npos || Second == std::string::npos) return false;
  Write.Page = std::stoi(Text.substr(0, First));
  Write.Offset = std::stoi(Text.substr(First + 1, Second - First - 1));
  Write.Value = std::stoi(Text.substr(Second + 1));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::cerr << "usage: pageman_helper CONTAINER FILE PAGESIZE PAGE:OFFSET:VALUE...\n";
    return 2;
  }
  try {
    vdb::TkxCompoundFileIntf Container(argv[1]);
    Container.Open();
    {
      vdb::TVdbClientStorage Storage(vdb::TVdbPageManager::Instance(), &Container, 1);
      Storage.SetName(argv[2]);
      Storage.SetPageSize(std::atoi(argv[3]));
      Storage.Open(false, false);
      for (int I = 4; I < argc; ++I) {
        TPageWrite Write{};
        if (!ParseWrite(argv[I], Write)) {
          std::cerr << "bad page write " << argv[I] << "\n";
          return 2;
        }
        Storage.NewPage(Write.Page)->WriteInt32(Write.Offset, Write.Value);
      }
      Storage.Flush();
      Storage.Close();
    }
    Container.Close();
    std::cout << "ok\n";
    return 0;
  } catch (const std::exception& Error) {
    std::cerr << Error.what() << "\n";
    return 3;
  }
}
