// The engine's data-function library: the functions that SQL reaches by name after the standard
// functions (Sin, Pos, LeftStr, Year, MakeDate, NewGuid, ...). Each has a result column type and a
// minimum and maximum argument count; names are compared without regard to case.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "table/VdbData.h"

namespace vdb {

enum TVdbDataFuncId : std::uint8_t {
  dfiSin, dfiCos, dfiArcTan, dfiAscii, dfiPos, dfiScan, dfiLeftStr, dfiRightStr, dfiFillStr,
  dfiHexStr, dfiYear, dfiMillisecond, dfiMonth, dfiWeek, dfiDay, dfiWeekDayNo, dfiHour, dfiMinute,
  dfiSecond, dfiDayOfWeek, dfiCombineDateTime, dfiMakeTime, dfiMakeDate, dfiMakeDateTime,
  dfiTimeStr, dfiDateTimeStr, dfiDateStr, dfiNewGuid
};
constexpr int kVdbDataFuncCount = dfiNewGuid + 1;

struct TVdbDataFunc {
  TVdbDataFuncId Id;
  const char* Name;
  std::int16_t ResultType;  // column type code
  std::int16_t MinArgs;
  std::int16_t MaxArgs;
};

const TVdbDataFunc& GetDataFunc(TVdbDataFuncId Id);
// nullptr when Name is none of the data functions.
const TVdbDataFunc* FindDataFunc(std::string_view Name);

// The type a data function's value has (nullable: a NULL argument gives NULL).
const TVdbDataType* DataFuncResultType(TVdbDataFuncId Id);

// One computed argument.
struct TVdbDataFuncArg {
  const TVdbDataValue* Value;
  const TVdbDataType* Type;
};

// Computes the function into Result, a value of ResultType (DataFuncResultType or a type of the
// same column type). Any NULL argument gives NULL. Errors: a wrong argument count or an argument
// of a kind the function cannot use is error 44; an invalid date or time is error 81.
//   Pos(sub, s), Scan(sub, s): 1-based position of sub in s, 0 when absent (Scan ignores case).
//   LeftStr(s, n), RightStr(s, n): the first / last n characters. FillStr(f, n): f repeated to
//   n characters. HexStr(x [, digits]): upper-case hexadecimal, padded with zeros.
//   WeekDayNo: 1 Monday .. 7 Sunday; DayOfWeek: the English name of the week day.
//   MakeTime(h, m [, s [, ms]]), MakeDate(y, m, d), MakeDateTime(y, m, d, h, mi [, s [, ms]]).
//   TimeStr(t [, precision]), DateTimeStr(ts [, precision]), DateStr(d): the engine's text forms.
void CalculateDataFunc(TVdbDataFuncId Id, const std::vector<TVdbDataFuncArg>& Args, TVdbDataValue& Result,
                       const TVdbDataType* ResultType);

}  // namespace vdb
