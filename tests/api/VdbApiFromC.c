/* The engine API used from C: the header compiles as C99 and the functions link with C names. */
#include "api/VdbApi.h"

/* Opens the database at Location (UTF-16), walks table Table and answers the number of records
 * walked, or the first negative result. */
int32_t VdbApiCountFromC(const VdbChar* Location, const VdbChar* Table) {
  const VdbChar Empty[1] = {0};
  VdbHandle Sess = VdbCreateSession(Location);
  VdbHandle Rltn, Cursor;
  VdbResult Moved;
  int32_t Count = 0;
  if (Sess <= 0) return Sess;
  if (VdbSessOpenDb(Sess, Location, Empty, Empty, 0, 0) < 0) {
    VdbSessDelete(Sess);
    return VDB_ERR_DATABASE_NOT_FOUND;
  }
  Rltn = VdbSessOpenTable(Sess, Table, Empty, VDB_RIGHTS_WRITE, 0);
  Cursor = Rltn > 0 ? VdbTableCreate(Rltn, Table) : Rltn;
  if (Cursor > 0) {
    for (Moved = VdbTableFirst(Cursor); Moved >= 0; Moved = VdbTableMoveBy(Cursor, 1)) ++Count;
    VdbTableDelete(Cursor);
  } else {
    Count = Cursor;
  }
  VdbSessCloseDb(Sess);
  VdbSessDelete(Sess);
  return Count;
}
