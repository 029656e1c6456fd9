// Fuzz target of the lock file (the sessions logged in, their locks and the table's change
// counters): the first input byte chooses a heap or a B+ table, the rest replaces that file beside
// the files the engine wrote in the middle of a transaction. The table is opened shared, set up,
// read with every memo, changed, flushed and checked. Damaged input gives the table's error
// results; it must never crash, hang or allocate without bound.
#include "FuzzTableSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vdb::fuzz::SeedLockFileTarget(".vdbl");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  vdb::fuzz::RunLockFileTarget(".vdbl", Data, Size);
  return 0;
}
