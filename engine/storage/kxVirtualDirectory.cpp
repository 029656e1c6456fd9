#include "storage/kxVirtualDirectory.h"

#include <unicode/ucnv.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>

#include "storage/kxCompoundFileImpl.h"

namespace vdb {

namespace {

constexpr std::int32_t kAttrOffset = 80;
constexpr std::int32_t kSizeOffset = 81;
constexpr std::int32_t kCreationOffset = 89;
constexpr std::int32_t kModificationOffset = 97;
constexpr std::int32_t kFirstTileOffset = 105;

// The system's ANSI code page of the machines the containers come from (Hungarian Windows).
constexpr const char* kEntryCodePage = "windows-1250";

struct TConverterCloser {
  void operator()(UConverter* C) const { ucnv_close(C); }
};
using TConverter = std::unique_ptr<UConverter, TConverterCloser>;

TConverter OpenConverter() {
  UErrorCode Status = U_ZERO_ERROR;
  TConverter Converter(ucnv_open(kEntryCodePage, &Status));
  if (U_FAILURE(Status)) Converter.reset();
  return Converter;
}

bool IsAscii(std::string_view Text) {
  for (unsigned char C : Text)
    if (C >= 0x80) return false;
  return true;
}

char AsciiLower(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

// Days from 1970-01-01 to a civil date (proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const std::int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const unsigned Yoe = static_cast<unsigned>(Y - Era * 400);
  const unsigned Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + static_cast<std::int64_t>(Doe) - 719468;
}

void CivilFromDays(std::int64_t Z, std::int64_t& Y, unsigned& M, unsigned& D) {
  Z += 719468;
  const std::int64_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const unsigned Doe = static_cast<unsigned>(Z - Era * 146097);
  const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
  const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
  const unsigned Mp = (5 * Doy + 2) / 153;
  D = Doy - (153 * Mp + 2) / 5 + 1;
  M = Mp < 10 ? Mp + 3 : Mp - 9;
  Y = static_cast<std::int64_t>(Yoe) + Era * 400 + (M <= 2);
}

const std::int64_t kDateTimeEpochDays = DaysFromCivil(1899, 12, 30);

}  // namespace

// --- Names and times -----------------------------------------------------------------------------

std::string kxEntryNameToUtf8(std::string_view RawName) {
  if (IsAscii(RawName)) return std::string(RawName);
  TConverter Converter = OpenConverter();
  if (!Converter) return std::string(RawName);
  std::u16string Units(RawName.size(), u'\0');
  UErrorCode Status = U_ZERO_ERROR;
  const int32_t Length =
      ucnv_toUChars(Converter.get(), Units.data(), static_cast<int32_t>(Units.size()),
                    RawName.data(), static_cast<int32_t>(RawName.size()), &Status);
  if (U_FAILURE(Status)) return std::string(RawName);
  Units.resize(static_cast<std::size_t>(Length));
  return TkxMemory::Utf16ToUtf8(Units);
}

bool kxEntryNameFromUtf8(std::string_view Name, std::string& RawName) {
  if (IsAscii(Name)) {
    RawName.assign(Name);
    return true;
  }
  std::u16string Units;
  try {
    Units = TkxMemory::Utf8ToUtf16(Name);
  } catch (const std::exception&) {
    return false;
  }
  TConverter Converter = OpenConverter();
  if (!Converter) return false;
  UErrorCode Status = U_ZERO_ERROR;
  // Characters without a mapping must not silently become another name.
  ucnv_setFromUCallBack(Converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &Status);
  std::string Result(Units.size() * 2 + 1, '\0');
  const int32_t Length =
      ucnv_fromUChars(Converter.get(), Result.data(), static_cast<int32_t>(Result.size()),
                      reinterpret_cast<const UChar*>(Units.data()),
                      static_cast<int32_t>(Units.size()), &Status);
  if (U_FAILURE(Status)) return false;
  Result.resize(static_cast<std::size_t>(Length));
  RawName = std::move(Result);
  return true;
}

bool kxSameEntryName(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I)
    if (AsciiLower(A[I]) != AsciiLower(B[I])) return false;
  return true;
}

double kxNowAsDateTime() {
  const auto Now = std::chrono::system_clock::now();
  const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
  std::tm Local{};
  localtime_r(&Seconds, &Local);
  const auto Millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() %
      1000;
  const std::int64_t Days =
      DaysFromCivil(Local.tm_year + 1900, static_cast<unsigned>(Local.tm_mon + 1),
                    static_cast<unsigned>(Local.tm_mday)) -
      kDateTimeEpochDays;
  const double DaySeconds =
      Local.tm_hour * 3600.0 + Local.tm_min * 60.0 + Local.tm_sec + Millis / 1000.0;
  return static_cast<double>(Days) + DaySeconds / 86400.0;
}

std::int32_t kxDateTimeToFileDate(double DateTime) {
  if (!std::isfinite(DateTime) || DateTime < 0 || DateTime > 1e6) return 0;
  const double Day = std::floor(DateTime);
  std::int64_t Seconds = std::llround((DateTime - Day) * 86400.0);
  std::int64_t Days = static_cast<std::int64_t>(Day) + kDateTimeEpochDays;
  if (Seconds >= 86400) {
    Seconds -= 86400;
    ++Days;
  }
  std::int64_t Year = 0;
  unsigned Month = 0, MonthDay = 0;
  CivilFromDays(Days, Year, Month, MonthDay);
  if (Year < 1980 || Year > 2107) return 0;
  const auto Hour = static_cast<std::uint32_t>(Seconds / 3600);
  const auto Minute = static_cast<std::uint32_t>(Seconds / 60 % 60);
  const auto Second = static_cast<std::uint32_t>(Seconds % 60);
  const std::uint32_t Packed = (static_cast<std::uint32_t>(Year - 1980) << 25) | (Month << 21) |
                               (MonthDay << 16) | (Hour << 11) | (Minute << 5) | (Second / 2);
  return static_cast<std::int32_t>(Packed);
}

// --- TkxVirtualDirectory -------------------------------------------------------------------------

bool TkxVirtualDirectory::IsValidChainStart(std::int32_t TileNo) const {
  if (!FDirectory) return TileNo == kxRootTile;
  return IsValidChainMember(TileNo);
}

std::int32_t TkxVirtualDirectory::EntryCount() {
  const std::int64_t Count = GetSize() / kxDirEntrySize;
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(Count, std::numeric_limits<std::int32_t>::max()));
}

TkxDirEntry TkxVirtualDirectory::ReadEntry(std::int32_t Index) {
  std::array<std::uint8_t, kxDirEntrySize> Buffer{};
  ReadExact(Buffer.data(), kxDirEntrySize, static_cast<std::int64_t>(Index) * kxDirEntrySize);
  TkxDirEntry Entry;
  Entry.RawName = TkxMemory::ReadZTAnsiString(Buffer.data(), 0, kxDirEntryNameSize);
  Entry.Attr = TkxMemory::ReadUInt8(Buffer.data(), kAttrOffset);
  Entry.Size = TkxMemory::ReadInt64(Buffer.data(), kSizeOffset);
  Entry.CreationTime = TkxMemory::ReadDouble(Buffer.data(), kCreationOffset);
  Entry.ModificationTime = TkxMemory::ReadDouble(Buffer.data(), kModificationOffset);
  Entry.FirstTile = TkxMemory::ReadInt32(Buffer.data(), kFirstTileOffset);
  return Entry;
}

void TkxVirtualDirectory::WriteEntry(std::int32_t Index, const TkxDirEntry& Entry) {
  std::array<std::uint8_t, kxDirEntrySize> Buffer{};
  TkxMemory::WriteZTAnsiString(Buffer.data(), 0, Entry.RawName, kxMaxEntryNameLength);
  TkxMemory::WriteUInt8(Buffer.data(), kAttrOffset, Entry.Attr);
  TkxMemory::WriteInt64(Buffer.data(), kSizeOffset, Entry.Size);
  TkxMemory::WriteDouble(Buffer.data(), kCreationOffset, Entry.CreationTime);
  TkxMemory::WriteDouble(Buffer.data(), kModificationOffset, Entry.ModificationTime);
  TkxMemory::WriteInt32(Buffer.data(), kFirstTileOffset, Entry.FirstTile);
  WriteExact(Buffer.data(), kxDirEntrySize, static_cast<std::int64_t>(Index) * kxDirEntrySize);
}

std::int32_t TkxVirtualDirectory::FindEntry(std::string_view RawName, std::int32_t From) {
  const std::int32_t Count = EntryCount();
  for (std::int32_t Index = std::max(From, 0); Index < Count; ++Index) {
    const TkxDirEntry Entry = ReadEntry(Index);
    if (RawName.empty() ? Entry.IsFree() : kxSameEntryName(Entry.RawName, RawName)) return Index;
  }
  return -1;
}

std::int32_t TkxVirtualDirectory::FindMatching(std::string_view RawPattern, std::int32_t From) {
  if (RawPattern.empty()) return -1;
  if (RawPattern.front() != '*') return FindEntry(RawPattern, From);
  const std::int32_t Count = EntryCount();
  for (std::int32_t Index = std::max(From, 0); Index < Count; ++Index)
    if (!ReadEntry(Index).IsFree()) return Index;
  return -1;
}

std::int32_t TkxVirtualDirectory::AddEntry(const TkxDirEntry& Entry) {
  std::int32_t Index = FindEntry("");
  if (Index < 0) Index = EntryCount();
  WriteEntry(Index, Entry);
  return Index;
}

void TkxVirtualDirectory::DeleteEntry(std::int32_t Index) {
  TkxDirEntry Deleted;
  Deleted.FirstTile = kxNoTile;
  WriteEntry(Index, Deleted);
}

void TkxVirtualDirectory::DeleteEntry(std::string_view RawName) {
  const std::int32_t Index = RawName.empty() ? -1 : FindEntry(RawName);
  if (Index < 0)
    throw EkxInOutError(kxFormatOrBare("File %s not found.", {kxEntryNameToUtf8(RawName)}));
  DeleteEntry(Index);
}

bool TkxVirtualDirectory::HasUsedEntries() { return FindMatching("*", 0) >= 0; }

}  // namespace vdb
