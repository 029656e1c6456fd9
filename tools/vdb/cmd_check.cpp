// vdb check DB [TABLE]: the whole database's integrity check. The container's own check first
// (for a single-file database), then every table (or the one named): its records, memo and blob
// chains, indexes against the data, and its lock file. The database is opened read-only, so the
// check never changes what it judges.
//
// One line per defect: "TABLE: FILE: record N: message" (without "record N" where no record is
// concerned; "container: PATH: message" for the container's own defects). Exit status 0 with
// "ok" when nothing is wrong, 1 when there are defects, 2 for wrong arguments, 3 when the
// database cannot be opened at all.
#include <filesystem>
#include <memory>
#include <ostream>
#include <vector>

#include "VdbCommand.h"
#include "session/VdbCatalog.h"
#include "session/VdbLocSess.h"
#include "storage/kxCompoundFile.h"
#include "table/VdbBaseTable.h"
#include "table/VdbTableCheck.h"

namespace vdbtool {
namespace {

constexpr const char* kUsage = "DB [TABLE]";

class TDefectPrinter {
 public:
  explicit TDefectPrinter(std::ostream& Out) : FOut(Out) {}
  void Line(const std::string& Owner, const std::string& File, std::int32_t RecNo,
            const std::string& Message) {
    ++FCount;
    FOut << Owner << ": " << File << ": ";
    if (RecNo != 0) FOut << "record " << RecNo << ": ";
    FOut << Message << "\n";
  }
  std::int32_t Count() const { return FCount; }

 private:
  std::ostream& FOut;
  std::int32_t FCount = 0;
};

void CheckContainer(const std::string& Path, TDefectPrinter& Printer) {
  vdb::TkxCompoundFileIntf Container(Path, true);
  Container.PerformCheck([&Printer](const std::string& FilePath, const std::string& Message) {
    Printer.Line("container", FilePath, 0, Message);
  });
}

void CheckTable(vdb::TVdbLocalSession& Session, const std::string& Name, TDefectPrinter& Printer) {
  vdb::TVdbCatalog& Catalog = *Session.Catalog();
  const std::int16_t RltnIdx = Catalog.TryOpenTable(Name, "", false, false, 0);
  auto* Table = RltnIdx > 0 ? dynamic_cast<vdb::TVdbBaseTable*>(Catalog.GetRelation(RltnIdx))
                            : nullptr;
  if (Table == nullptr) {
    Printer.Line(Name, Name, 0, "cannot be opened: " + Session.Services()->LastErrorMsg());
    return;
  }
  vdb::TVdbTableCheck Check(*Table, Session.Services()->LockFileSystem(),
                            [&](const std::string& File, std::int32_t RecNo,
                                const std::string& Message) {
                              Printer.Line(Name, File, RecNo, Message);
                            });
  Check.Run();
  Catalog.TryCloseRelation(RltnIdx, false, true);
}

int RunCheck(const Args& A, std::ostream& Out, std::ostream& Err) {
  if (A.empty() || A.size() > 2) {
    Err << "usage: vdb check " << kUsage << "\n";
    return kExitUsage;
  }
  std::error_code Error;
  const std::string Path = std::filesystem::absolute(A[0], Error).lexically_normal().string();
  if (!std::filesystem::exists(Path, Error)) {
    Err << "vdb check: \"" << A[0] << "\" does not exist\n";
    return kExitFailure;
  }
  TDefectPrinter Printer(Out);
  if (vdb::TkxCompoundFileIntf::IsCompoundFile(Path)) CheckContainer(Path, Printer);

  vdb::TVdbLocalSession Session;
  Session.Initialize(1);
  Session.Catalog()->SetLocation(Path);
  Session.Catalog()->ReadOnly = true;
  if (Session.OpenDb() < 0) {
    Err << "vdb check: cannot open \"" << A[0] << "\": " << Session.Services()->LastErrorMsg()
        << "\n";
    return kExitFailure;
  }
  std::vector<std::string> Tables;
  if (A.size() == 2) {
    Tables.push_back(A[1]);
  } else {
    Session.Catalog()->GetTableNames(Tables);
  }
  for (const std::string& Name : Tables) CheckTable(Session, Name, Printer);
  Session.CloseDb();

  if (Printer.Count() == 0) {
    Out << "ok\n";
    return kExitOk;
  }
  Out << Printer.Count() << (Printer.Count() == 1 ? " defect\n" : " defects\n");
  return kExitNegative;
}

const VdbCommandRegistrar kRegistrar({"check", kUsage,
                                      "check the integrity of a database: container, records, "
                                      "memo and blob chains, indexes, lock files",
                                      RunCheck});

}  // namespace
}  // namespace vdbtool
