// Fuzz target of the data files: the first input byte chooses the heap or the B+ format, the
// rest replaces the data file of a small table the engine wrote (its memo and index files stay
// as written). The table is opened, set up, read record by record with every memo, changed,
// flushed and checked. Damaged input gives the table's error results; it must never crash, hang
// or allocate without bound.
#include "FuzzTableSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using vdb::fuzz::Tagged;
  using vdb::fuzz::TemplateOf;
  const std::string File = vdb::fuzz::kTableFile;
  vdb::fuzz::WriteSeeds({{"heap.bin", Tagged(0, TemplateOf(0).Committed.Data.at(File))},
                         {"bplus.bin", Tagged(1, TemplateOf(1).Committed.Data.at(File))}});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 1 || Size > (1u << 20)) return 0;
  vdb::fuzz::TTableFiles Files = vdb::fuzz::TemplateOf(Data[0]).Committed;
  Files.Data[vdb::fuzz::kTableFile].assign(Data + 1, Data + Size);
  vdb::fuzz::Replay(Files);
  return 0;
}
