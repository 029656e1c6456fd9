// The lexicon's single-file database, built from its source entries: a container holding table
// Data (level 6, collation "Hungarian_ci_as"; CIMSZO VARCHAR(150), LEIRAS memo) in Data.vdbt,
// the descriptions in Data.vdbm and the headword index in Data!CIMSZO.vdbi.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "LexiconCsv.h"

namespace lexicon {

class ELexiconDatabase : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kLexiconTable = "Data";
inline constexpr const char* kLexiconCollation = "Hungarian_ci_as";
inline constexpr int kLexiconHeadwordLength = 150;
inline constexpr unsigned kLexiconCodePage = 1250;

// Writes the database to Path (replacing a file there only once the new one is complete).
// Entries keep their order as record numbers 1, 2, ... Throws ELexiconDatabase naming the entry
// or the engine error when an entry cannot be stored (a headword over 150 characters or not
// writable in the code page, a description with a character the memo file refuses).
void WriteLexiconDatabase(const std::vector<LexiconEntry>& Entries, const std::string& Path);

}  // namespace lexicon
