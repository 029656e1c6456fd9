// Taking paths apart and putting them together, in the two forms the engine meets.
//
// - TkxPathForm::OS: the operating system's paths; "/" is the only delimiter and a leading "/"
//   is the root. A colon or a backslash is an ordinary character of a name here.
// - TkxPathForm::Container: paths inside a single-file database container; "\" separates the
//   directories and a drive colon ("C:") ends a drive prefix, so both end a directory part.
//   New parts are joined with "\".
// - TkxPathForm::Any: names that reach the table layer in either form (an OS path of a
//   directory database or a container path); "/" and "\" both end a directory part, a colon
//   does not. New parts are joined with "/".
//
// The file name is what follows the last delimiter; the directory part is what precedes it. The
// extension is the file name from its last dot on, dot included, except that a dot that starts
// the name belongs to the name: ".vdbt" and ".." have no extension, "a.b.c" has ".c", "a." has
// ".". Dots in directory names never count.
//
// What each function gives, OS form ("\" forms alike, with "\" for "/"):
//
//   Path          FileName  FilePath  FileDir  FileExt  ChangeFileExt(Path, ".x")
//   ""            ""        ""        ""       ""       ".x"
//   "/"           ""        "/"       "/"      ""       "/.x"
//   "a"           "a"       ""        ""       ""       "a.x"
//   "a/"          ""        "a/"      "a"      ""       "a/.x"
//   "/x"          "x"       "/"       "/"      ""       "/x.x"
//   "a/b/c.ext"   "c.ext"   "a/b/"    "a/b"    ".ext"   "a/b/c.x"
//   "d.1/n.t.gz"  "n.t.gz"  "d.1/"    "d.1"    ".gz"    "d.1/n.t.x"
//   "d/.hidden"   ".hidden" "d/"      "d"      ""       "d/.hidden.x"
//   "a//b"        "b"       "a//"     "a/"     ""       "a//b.x"
//   Container: "C:x" -> name "x", path "C:", dir "C:"; "C:\x" -> path "C:\", dir "C:\".
#pragma once

#include <string>
#include <string_view>

namespace vdb {

enum class TkxPathForm { OS, Container, Any };

// The delimiter that joins parts in Form: "/" for OS and Any, "\" for Container.
char kxPathDelimiter(TkxPathForm Form);
// The form whose joining delimiter is Delimiter ("\" -> Container, anything else -> OS).
TkxPathForm kxPathFormOf(char Delimiter);
// True when C ends a directory part in Form.
bool kxIsPathDelimiter(char C, TkxPathForm Form);
// True when Path holds a delimiter of Form, that is, names a directory part at all.
bool kxHasDirectory(std::string_view Path, TkxPathForm Form);

// The last component: "c.ext" for "a/b/c.ext", "" for "a/".
std::string kxExtractFileName(std::string_view Path, TkxPathForm Form);
// The directory part with its trailing delimiter: "a/b/" for "a/b/c.ext", "" without one.
std::string kxExtractFilePath(std::string_view Path, TkxPathForm Form);
// The directory part without its trailing delimiter: "a/b" for "a/b/c.ext", "" without one.
// A delimiter that is all there is of the directory (the root "/", "C:\") stays.
std::string kxExtractFileDir(std::string_view Path, TkxPathForm Form);
// The extension of the file name, dot included; "" when it has none.
std::string kxExtractFileExt(std::string_view Path, TkxPathForm Form);
// Path with the extension of its file name replaced by Ext (given with its dot, or empty to drop
// it); a name without extension gets Ext appended.
std::string kxChangeFileExt(std::string_view Path, std::string_view Ext, TkxPathForm Form);
// Dir and Name joined with the form's delimiter, without doubling one that Dir ends with; an
// empty Dir leaves Name as it is (relative).
std::string kxJoinPath(std::string_view Dir, std::string_view Name, TkxPathForm Form);

// The directory above an OS directory: "/a/b" -> "/a", "/a" -> "/", "/" -> "/". A relative
// directory without a parent of its own climbs with "..": "a" -> ".", "." -> "..",
// ".." -> "../..".
std::string kxParentDirectory(std::string_view Dir);

}  // namespace vdb
