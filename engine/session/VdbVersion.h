// Version of the VeskorDB engine.
#pragma once

namespace vdb {

inline constexpr int kVdbVersionMajor = 1;
inline constexpr int kVdbVersionMinor = 0;
// Human-readable version text, e.g. "VeskorDB 1.0".
const char* VdbVersionText();

}  // namespace vdb
