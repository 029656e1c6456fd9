#include "table/VdbAliasRelation.h"

namespace vdb {

TVdbVirtualRelation::TVdbVirtualRelation(TVdbServices* /*Services*/, TVdbRelation& BaseRelation,
                                         std::string Name)
    : FName(std::move(Name)), FBaseRelation(&BaseRelation) {}

TVdbVirtualRelation::~TVdbVirtualRelation() = default;

std::string TVdbVirtualRelation::ListenerTag() const { return "VirtualRelation" + FName; }
void TVdbVirtualRelation::RecordDeletedNotify(std::int32_t, std::int32_t) {}
void TVdbVirtualRelation::RecordChangedNotify(std::int32_t) {}
void TVdbVirtualRelation::RelationChangedNotify() {}
void TVdbVirtualRelation::RelationEmptiedNotify() {}
void TVdbVirtualRelation::MayDeleteIndexNotify(std::int16_t, bool&) {}
void TVdbVirtualRelation::IndexRemovedNotify(std::int16_t) {}
bool TVdbVirtualRelation::IsRecordEditedNotify(std::int32_t) { return false; }

}  // namespace vdb
