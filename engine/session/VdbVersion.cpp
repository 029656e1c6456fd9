#include "session/VdbVersion.h"

namespace vdb {

const char* VdbVersionText() { return "VeskorDB 1.0"; }

}  // namespace vdb
