#include "table/VdbIndexKeys.h"

#include "session/VdbErrors.h"
#include "table/VdbRelation.h"

namespace vdb {}  // namespace vdb
