// Directories of a compound container: arrays of packed 109-byte entries stored in a contained
// file (the root directory, from tile 1, or a subdirectory). Entry names are 8-bit text in the
// system's ANSI code page (Windows-1250); TkxDirEntry keeps them as stored and the helpers below
// convert them at the boundary to and from the engine's UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/kxVirtualFile.h"

namespace vdb {

struct TkxDirEntry {
  std::string RawName;  // 8-bit name as stored, up to the first zero byte; empty = free entry
  std::uint8_t Attr = 0;
  std::int64_t Size = 0;
  double CreationTime = 0;      // days since 1899-12-30, local time
  double ModificationTime = 0;
  std::int32_t FirstTile = kxEndOfChain;

  bool IsFree() const { return RawName.empty(); }
  bool IsDirectory() const { return (Attr & kxDirAttribute) != 0; }
};

class TkxVirtualDirectory : public TkxVirtualFile {
 public:
  using TkxVirtualFile::TkxVirtualFile;

  bool IsDirectory() const override { return true; }

  std::int32_t EntryCount();
  TkxDirEntry ReadEntry(std::int32_t Index);
  void WriteEntry(std::int32_t Index, const TkxDirEntry& Entry);
  // First entry from From on whose name equals RawName ignoring the case of ASCII letters; the
  // empty name finds the first free entry; -1 when there is none.
  std::int32_t FindEntry(std::string_view RawName, std::int32_t From = 0);
  // Enumeration: a pattern starting with "*" matches every used entry, whatever follows it;
  // any other pattern matches like FindEntry, except that the empty pattern matches nothing.
  std::int32_t FindMatching(std::string_view RawPattern, std::int32_t From);
  // Takes the first free entry, or appends one; returns its index.
  std::int32_t AddEntry(const TkxDirEntry& Entry);
  // Writes an empty name, attributes 0, size 0, zero times and first tile 0x80000000.
  void DeleteEntry(std::int32_t Index);
  // Deletes the entry of that name; raises "File %s not found." when there is none.
  void DeleteEntry(std::string_view RawName);
  bool HasUsedEntries();

 protected:
  bool IsValidChainStart(std::int32_t TileNo) const override;
};

// --- Entry names and times -----------------------------------------------------------------------
// The stored 8-bit name as UTF-8.
std::string kxEntryNameToUtf8(std::string_view RawName);
// A UTF-8 name as stored; false when it cannot be represented in the code page.
bool kxEntryNameFromUtf8(std::string_view Name, std::string& RawName);
bool kxSameEntryName(std::string_view A, std::string_view B);  // ignoring ASCII case

// The current local time as days since 1899-12-30.
double kxNowAsDateTime();
// A date-time in days since 1899-12-30 as a packed file date-time (0 outside 1980..2107).
std::int32_t kxDateTimeToFileDate(double DateTime);

}  // namespace vdb
