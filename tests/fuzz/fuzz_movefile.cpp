// Fuzz target of the move file (the record moves of a heap file's deletes): the first input byte
// chooses a heap or a B+ table, the rest replaces that file beside the files the engine wrote in
// the middle of a transaction. The table is opened shared, set up, read with every memo, changed,
// flushed and checked. Damaged input gives the table's error results; it must never crash, hang or
// allocate without bound.
#include "FuzzTableSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vdb::fuzz::SeedLockFileTarget(".vdbv");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  vdb::fuzz::RunLockFileTarget(".vdbv", Data, Size);
  return 0;
}
