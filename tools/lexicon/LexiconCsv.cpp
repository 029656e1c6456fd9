#include "LexiconCsv.h"

#include <fstream>
#include <sstream>

namespace lexicon {

namespace {

[[noreturn]] void Fail(int line, const std::string& what) {
  throw ELexiconFormat("lexicon CSV, line " + std::to_string(line) + ": " + what);
}

class CsvReader {
 public:
  explicit CsvReader(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }
  int Line() const { return line_; }

  // Reads one record (a list of fields) ending at a line break or the end of the text.
  std::vector<std::string> Record() {
    std::vector<std::string> fields;
    for (;;) {
      fields.push_back(Field());
      if (AtEnd()) return fields;
      char c = text_[pos_++];
      if (c == ',') continue;
      if (c == '\r' && pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
      ++line_;
      return fields;
    }
  }

 private:
  std::string Field() {
    if (AtEnd() || text_[pos_] != '"') return Unquoted();
    int start = line_;
    std::string value;
    for (++pos_;; ++pos_) {
      if (AtEnd()) Fail(start, "a quoted field is not closed");
      char c = text_[pos_];
      if (c == '"') {
        if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
          value += '"';
          ++pos_;
          continue;
        }
        ++pos_;
        if (!AtEnd() && text_[pos_] != ',' && text_[pos_] != '\r' && text_[pos_] != '\n')
          Fail(line_, "text after the closing quote of a field");
        return value;
      }
      if (c == '\r') continue;  // line breaks inside descriptions are kept as "\n"
      if (c == '\n') ++line_;
      value += c;
    }
  }

  std::string Unquoted() {
    std::size_t start = pos_;
    while (!AtEnd() && text_[pos_] != ',' && text_[pos_] != '\r' && text_[pos_] != '\n') {
      if (text_[pos_] == '"') Fail(line_, "a quote inside an unquoted field");
      ++pos_;
    }
    return std::string(text_.substr(start, pos_ - start));
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace

std::vector<LexiconEntry> ParseLexiconCsv(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a byte-order mark
  CsvReader reader(text);
  if (reader.AtEnd() || reader.Record() != std::vector<std::string>{"CIMSZO", "LEIRAS"})
    Fail(1, "the header must be CIMSZO,LEIRAS");
  std::vector<LexiconEntry> entries;
  while (!reader.AtEnd()) {
    int line = reader.Line();
    auto fields = reader.Record();
    if (fields.size() == 1 && fields[0].empty()) continue;  // an empty line
    if (fields.size() != 2) Fail(line, "a record must have exactly two fields");
    entries.push_back({std::move(fields[0]), std::move(fields[1]), line});
  }
  return entries;
}

std::vector<LexiconEntry> ReadLexiconCsv(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ELexiconFormat("cannot read the lexicon file \"" + path + "\"");
  std::ostringstream text;
  text << in.rdbuf();
  return ParseLexiconCsv(text.str());
}

std::string CsvField(std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(value);
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace lexicon
