#include "storage/kxPath.h"

namespace vdb {

namespace {

std::string_view DelimitersOf(TkxPathForm Form) {
  switch (Form) {
    case TkxPathForm::OS: return "/";
    case TkxPathForm::Container: return "\\:";
    case TkxPathForm::Any: return "/\\";
  }
  return "/";
}

// Where the file name starts: just behind the last delimiter, 0 when there is none.
std::size_t NameStart(std::string_view Path, TkxPathForm Form) {
  const std::size_t Last = Path.find_last_of(DelimitersOf(Form));
  return Last == std::string_view::npos ? 0 : Last + 1;
}

// Where the extension starts in Path, or Path.size() when the file name has none.
std::size_t ExtensionStart(std::string_view Path, TkxPathForm Form) {
  const std::size_t Start = NameStart(Path, Form);
  const std::string_view Name = Path.substr(Start);
  const std::size_t Dot = Name.find_last_of('.');
  // A dot that opens the name (".vdbt", "..") is part of the name.
  if (Dot == std::string_view::npos || Dot == 0 || Name == "..") return Path.size();
  return Start + Dot;
}

}  // namespace

char kxPathDelimiter(TkxPathForm Form) { return Form == TkxPathForm::Container ? '\\' : '/'; }

TkxPathForm kxPathFormOf(char Delimiter) {
  return Delimiter == '\\' ? TkxPathForm::Container : TkxPathForm::OS;
}

bool kxIsPathDelimiter(char C, TkxPathForm Form) {
  return DelimitersOf(Form).find(C) != std::string_view::npos;
}

bool kxHasDirectory(std::string_view Path, TkxPathForm Form) {
  return Path.find_first_of(DelimitersOf(Form)) != std::string_view::npos;
}

std::string kxExtractFileName(std::string_view Path, TkxPathForm Form) {
  return std::string(Path.substr(NameStart(Path, Form)));
}

std::string kxExtractFilePath(std::string_view Path, TkxPathForm Form) {
  return std::string(Path.substr(0, NameStart(Path, Form)));
}

std::string kxExtractFileDir(std::string_view Path, TkxPathForm Form) {
  const std::size_t Start = NameStart(Path, Form);
  if (Start == 0) return {};
  const char Delimiter = Path[Start - 1];
  // The root ("/x") and a drive ("C:x", "C:\x") keep the delimiter: without it they would name
  // something else (nothing, or the drive's current directory).
  const bool KeepsDelimiter = Start == 1 || Delimiter == ':' || Path[Start - 2] == ':';
  return std::string(Path.substr(0, KeepsDelimiter ? Start : Start - 1));
}

std::string kxExtractFileExt(std::string_view Path, TkxPathForm Form) {
  return std::string(Path.substr(ExtensionStart(Path, Form)));
}

std::string kxChangeFileExt(std::string_view Path, std::string_view Ext, TkxPathForm Form) {
  std::string Result(Path.substr(0, ExtensionStart(Path, Form)));
  Result += Ext;
  return Result;
}

std::string kxJoinPath(std::string_view Dir, std::string_view Name, TkxPathForm Form) {
  std::string Result(Dir);
  const char Delimiter = kxPathDelimiter(Form);
  if (!Result.empty() && Result.back() != Delimiter) Result += Delimiter;
  Result += Name;
  return Result;
}

std::string kxParentDirectory(std::string_view Dir) {
  if (Dir == "/") return std::string(Dir);
  const std::size_t Slash = Dir.find_last_of('/');
  const std::string_view Last = Slash == std::string_view::npos ? Dir : Dir.substr(Slash + 1);
  if (Last == "..") return std::string(Dir) + "/..";
  if (Last == ".") {
    return Slash == std::string_view::npos ? ".." : kxParentDirectory(Dir.substr(0, Slash));
  }
  if (Slash == std::string_view::npos) return ".";
  if (Slash == 0) return "/";
  return std::string(Dir.substr(0, Slash));
}

}  // namespace vdb
