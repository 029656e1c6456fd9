// Reader of the lexicon's source file: RFC 4180 CSV in UTF-8 with the header "CIMSZO,LEIRAS".
// Quoted fields may hold commas, doubled quotes and line breaks.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lexicon {

struct LexiconEntry {
  std::string headword;     // CIMSZO
  std::string description;  // LEIRAS, line breaks as "\n"
  int line = 0;             // line of the file where the entry starts
};

class ELexiconFormat : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the whole text; throws ELexiconFormat with the line number on malformed input.
std::vector<LexiconEntry> ParseLexiconCsv(std::string_view text);
std::vector<LexiconEntry> ReadLexiconCsv(const std::string& path);

// Escapes one field for writing: quoted when it holds a comma, a quote or a line break.
std::string CsvField(std::string_view value);

}  // namespace lexicon
