// The statement operations of the API and the process-wide statement list.
#include "api/VdbApi.h"
#include "api/VdbApiBoundary.h"

namespace vdb::api {

void ReleaseSessionStatements(VdbHandle /*Sess*/) {}

}  // namespace vdb::api
