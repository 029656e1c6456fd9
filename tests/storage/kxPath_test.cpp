#include "storage/kxPath.h"

#include <gtest/gtest.h>

namespace vdb {
namespace {

struct PathCase {
  const char* path;
  TkxPathForm form;
  const char* fileName;
  const char* filePath;
  const char* fileDir;
  const char* fileExt;
  const char* changed;  // kxChangeFileExt(path, ".x")
};

constexpr TkxPathForm OS = TkxPathForm::OS;
constexpr TkxPathForm Box = TkxPathForm::Container;
constexpr TkxPathForm Any = TkxPathForm::Any;

const PathCase kCases[] = {
    // path            form  name       path      dir       ext      changed
    {"", OS, "", "", "", "", ".x"},
    {"/", OS, "", "/", "/", "", "/.x"},
    {"a", OS, "a", "", "", "", "a.x"},
    {"a/", OS, "", "a/", "a", "", "a/.x"},
    {"/x", OS, "x", "/", "/", "", "/x.x"},
    {"a/b/c.ext", OS, "c.ext", "a/b/", "a/b", ".ext", "a/b/c.x"},
    {"/tmp/db/Data.vdbt", OS, "Data.vdbt", "/tmp/db/", "/tmp/db", ".vdbt", "/tmp/db/Data.x"},
    {"d.1/n.t.gz", OS, "n.t.gz", "d.1/", "d.1", ".gz", "d.1/n.t.x"},
    {"d.1/noext", OS, "noext", "d.1/", "d.1", "", "d.1/noext.x"},
    {"d/.hidden", OS, ".hidden", "d/", "d", "", "d/.hidden.x"},
    {"d/.hidden.txt", OS, ".hidden.txt", "d/", "d", ".txt", "d/.hidden.x"},
    {"d/..", OS, "..", "d/", "d", "", "d/...x"},
    {"a.", OS, "a.", "", "", ".", "a.x"},
    {"a//b", OS, "b", "a//", "a/", "", "a//b.x"},
    // The OS form knows no other delimiter: "\" and ":" are characters of a name.
    {"a\\b.c", OS, "a\\b.c", "", "", ".c", "a\\b.x"},
    {"C:x.y", OS, "C:x.y", "", "", ".y", "C:x.x"},
    // The container form: "\" between directories, a drive colon ends the drive.
    {"", Box, "", "", "", "", ".x"},
    {"\\", Box, "", "\\", "\\", "", "\\.x"},
    {"\\Data.vdbt", Box, "Data.vdbt", "\\", "\\", ".vdbt", "\\Data.x"},
    {"\\dir\\sub\\L!I.vdbi", Box, "L!I.vdbi", "\\dir\\sub\\", "\\dir\\sub", ".vdbi",
     "\\dir\\sub\\L!I.x"},
    {"dir\\", Box, "", "dir\\", "dir", "", "dir\\.x"},
    {"C:x", Box, "x", "C:", "C:", "", "C:x.x"},
    {"C:\\x", Box, "x", "C:\\", "C:\\", "", "C:\\x.x"},
    {"a/b.c", Box, "a/b.c", "", "", ".c", "a/b.x"},
    // Either form: both delimiters end a directory part, a colon does not.
    {"\\Data.vdbt", Any, "Data.vdbt", "\\", "\\", ".vdbt", "\\Data.x"},
    {"/tmp/Data.vdbt", Any, "Data.vdbt", "/tmp/", "/tmp", ".vdbt", "/tmp/Data.x"},
    {"/tmp\\a.b/c", Any, "c", "/tmp\\a.b/", "/tmp\\a.b", "", "/tmp\\a.b/c.x"},
    {"x:y.z", Any, "x:y.z", "", "", ".z", "x:y.x"},
};

TEST(kxPath, TakesPathsApartInEachForm) {
  for (const PathCase& c : kCases) {
    SCOPED_TRACE(std::string("\"") + c.path + "\" form " +
                 std::to_string(static_cast<int>(c.form)));
    EXPECT_EQ(kxExtractFileName(c.path, c.form), c.fileName);
    EXPECT_EQ(kxExtractFilePath(c.path, c.form), c.filePath);
    EXPECT_EQ(kxExtractFileDir(c.path, c.form), c.fileDir);
    EXPECT_EQ(kxExtractFileExt(c.path, c.form), c.fileExt);
    EXPECT_EQ(kxChangeFileExt(c.path, ".x", c.form), c.changed);
    // The directory part and the name are the whole path again.
    EXPECT_EQ(kxExtractFilePath(c.path, c.form) + kxExtractFileName(c.path, c.form), c.path);
    EXPECT_EQ(kxHasDirectory(c.path, c.form), *c.filePath != '\0');
  }
}

// A function of two texts in a form, and what it gives.
struct CombineCase {
  const char* first;
  const char* second;
  TkxPathForm form;
  const char* expected;
};

TEST(kxPath, ChangeFileExtDropsOrInsertsBeforeTheExtension) {
  const CombineCase cases[] = {
      {"/db/Data.vdbt", "", OS, "/db/Data"},
      {"\\Data.vdbt", ".vdbm", Box, "\\Data.vdbm"},
      {"Data", ".vdbt", Any, "Data.vdbt"},
      {"/db/L_Data.vdbd", ".tmp.vdbd", OS, "/db/L_Data.tmp.vdbd"},
      {"/db.d/L_Data", ".bak", OS, "/db.d/L_Data.bak"},
      {"/db/.vdbd", "", OS, "/db/.vdbd"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kxChangeFileExt(c.first, c.second, c.form), c.expected) << c.first << " " << c.second;
  }
}

TEST(kxPath, JoinsWithTheFormsDelimiterOnce) {
  const CombineCase cases[] = {
      {"", "a", OS, "a"},                // an empty directory leaves the name relative
      {"/", "a", OS, "/a"},
      {"/tmp", "a", OS, "/tmp/a"},
      {"/tmp/", "a", OS, "/tmp/a"},
      {"/tmp", "", OS, "/tmp/"},
      {"", "a", Box, "a"},
      {"\\", "*.*", Box, "\\*.*"},
      {"\\dir", "Data.vdbt", Box, "\\dir\\Data.vdbt"},
      {"\\dir\\", "Data.vdbt", Box, "\\dir\\Data.vdbt"},
      {"/tmp", "a", Any, "/tmp/a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kxJoinPath(c.first, c.second, c.form), c.expected) << c.first << " + " << c.second;
  }
}

TEST(kxPath, DelimitersOfEachForm) {
  EXPECT_EQ(kxPathDelimiter(OS), '/');
  EXPECT_EQ(kxPathDelimiter(Box), '\\');
  EXPECT_EQ(kxPathDelimiter(Any), '/');
  EXPECT_EQ(kxPathFormOf('\\'), Box);
  EXPECT_EQ(kxPathFormOf('/'), OS);
  EXPECT_TRUE(kxIsPathDelimiter(':', Box));
  EXPECT_FALSE(kxIsPathDelimiter(':', OS));
  EXPECT_FALSE(kxIsPathDelimiter(':', Any));
  EXPECT_TRUE(kxIsPathDelimiter('\\', Any));
  EXPECT_FALSE(kxIsPathDelimiter('\\', OS));
}

TEST(kxPath, ParentDirectoryClimbsAndStopsAtTheRoot) {
  struct Case {
    const char* dir;
    const char* parent;
  } const cases[] = {
      {"/", "/"},         {"/a", "/"},       {"/a/b", "/a"},          {"/a/b/c", "/a/b"},
      {"a", "."},         {".", ".."},       {"..", "../.."},         {"a/..", "a/../.."},
      {"/a/b/.", "/a"},   {"a/.", "."},
  };
  for (const auto& c : cases) EXPECT_EQ(kxParentDirectory(c.dir), c.parent) << c.dir;
}

}  // namespace
}  // namespace vdb
