// Virtual relations: a second relation object over a relation already open in the session. It
// shows exactly the records, indexes, memo and blob data and locks of that relation, but has its
// own name, its own relation index, its own copies of the column definitions, its own record
// buffer and its own accessors. Nothing of it is stored.
#pragma once

#include <cstdint>
#include <string>

#include "session/VdbAccessor.h"
#include "table/VdbRelation.h"

namespace vdb {

class TVdbServices;

class TVdbVirtualRelation : public TVdbRelation, public TVdbRelationListener {
 public:
  // Registers the virtual relation with BaseRelation as one of its listeners; BaseRelation is
  // not owned and must outlive it.
  TVdbVirtualRelation(TVdbServices* Services, TVdbRelation& BaseRelation, std::string Name);
  // Unregisters from the base relation, which stays open.
  ~TVdbVirtualRelation();

  TVdbRelation& BaseRelation() const { return *FBaseRelation; }

  // --- Notifications from the base relation, passed on to this relation's own listeners ---
  std::string ListenerTag() const override;
  void RecordDeletedNotify(std::int32_t Deleted, std::int32_t Moved) override;
  void RecordChangedNotify(std::int32_t RecNo) override;
  void RelationChangedNotify() override;
  void RelationEmptiedNotify() override;
  void MayDeleteIndexNotify(std::int16_t IndexNo, bool& Allowed) override;
  void IndexRemovedNotify(std::int16_t IndexNo) override;
  bool IsRecordEditedNotify(std::int32_t RecNo) override;

 private:
  bool FIsOpen = false;
  std::string FName;
  TVdbRelation* FBaseRelation;
};

}  // namespace vdb
