// The local session: one client's connection to one database inside the process. It owns the
// session's services (settings, file systems, last error, log) and its catalog (the open
// relations). Opening a database decides from the location whether it is a single-file database
// (a container file) or a directory database, mounts the matching file systems through the page
// manager's registry and opens the catalog; tables are opened later, when first named.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/VdbCatalog.h"
#include "base/VdbServices.h"
#include "table/VdbSession.h"

namespace vdb {

class TVdbLocalSession : public TVdbSession {
 public:
  // The text of a directory database's control file (stored without terminator).
  static inline const std::string kControlFileText =
      "VeskorDB database control file for directory-based database";

  TVdbLocalSession() = default;
  ~TVdbLocalSession() override;

  bool GetIsOpen() override;
  // Creates the services and the catalog under the session handle; answers 0.
  std::int16_t Initialize(std::int16_t SessionHdl) override;
  void Uninitialize() override;

  // Opens the database at the catalog's location: 0, or a negative error number (recorded in
  // the last error). Exceptions of the container and file layers pass through; either way no
  // file system stays mounted after a failure.
  std::int16_t OpenDb();
  // Closes the catalog and releases the file systems; harmless when nothing is open.
  std::int16_t CloseDb();

  // Creates an empty database while the session is not open (else raises "Session must not be
  // open to create a new database."): a container (".vdbd" added to a name without extension)
  // or a directory. 0, or -202 when the name exists already or its directory cannot be made.
  std::int16_t CreateDatabase(TVdbDataBaseType DatabaseType, const std::string& DatabaseName,
                              const std::string& Key, bool Managed);

  // Opens the database exclusively (so that no other user has it), closes it again and deletes
  // it: the container file, or the table files, the control file and then the directory when
  // nothing else is left in it. 0 or a negative error number; only while not open.
  std::int16_t DeleteDatabase(const std::string& DatabasePath, const std::string& Key);

  std::int16_t Handle() const { return FHandle; }
  TVdbServices* Services() const { return FServices.get(); }
  TVdbCatalog* Catalog() const { return FCatalog.get(); }

  // Interruption flags of running statements. StopPrg is set from any thread (Ctrl-C, a
  // break call) and polled by the executor through the services.
  std::atomic<bool> StopPrg{false};
  bool CtrlU = false;
  bool MustBreak = true;

 private:
  std::int16_t DoOpenDb();
  std::int16_t MountSingleFile(const std::string& Location);
  void MountDirectory(const std::string& Directory);
  static void CreateControlFile(const std::string& Directory);
  // False when a file of a table could not be deleted.
  static bool RemoveTableFiles(const std::string& Directory, const std::vector<std::string>& Tables);

  std::int16_t FHandle = 0;
  std::unique_ptr<TVdbServices> FServices;
  std::unique_ptr<TVdbCatalog> FCatalog;
};

}  // namespace vdb
