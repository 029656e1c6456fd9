#include "session/VdbAccessor.h"

namespace vdb {

// A saved position (Push/Pop).
struct TVdbAccessor::TSavedPosition {
  std::vector<std::uint8_t> UpperBound;
  std::vector<std::uint8_t> LowerBound;
  std::vector<std::uint8_t> CurrentKey;
  std::uint8_t IndexNo = kVdbNoIndexNo;
  TVdbAccessType AccessType = tatRecordNo;
  bool BufferValid = false;
  std::int32_t SequenceNo = -1;
  std::int32_t RecordNo = -1;
};

bool TVdbAccessorFilter::FindBestAccess(const TVdbAccessor&, std::uint8_t&,
                                        std::vector<std::uint8_t>&, std::vector<std::uint8_t>&) {
  return false;
}

TVdbAccessor::TVdbAccessor(TVdbRelation& Relation, std::string Tag)
    : FRelation(&Relation), FTag(std::move(Tag)), FBookmarks(std::make_unique<TVdbBookmarkList>(1000)) {}

TVdbAccessor::~TVdbAccessor() = default;

}  // namespace vdb
