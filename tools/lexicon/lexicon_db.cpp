// lexicon_db SOURCE.csv OUT.vdbd: builds the lexicon's single-file database from its source.
#include <exception>
#include <iostream>

#include "LexiconDatabase.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: lexicon_db SOURCE.csv OUT.vdbd\n";
    return 2;
  }
  try {
    const auto Entries = lexicon::ReadLexiconCsv(argv[1]);
    lexicon::WriteLexiconDatabase(Entries, argv[2]);
    std::cout << argv[2] << ": " << Entries.size() << " entries\n";
    return 0;
  } catch (const std::exception& Error) {
    std::cerr << "lexicon_db: " << Error.what() << "\n";
    return 1;
  }
}
