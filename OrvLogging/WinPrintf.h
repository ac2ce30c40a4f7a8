// The Windows printf dialect, formatted the same on every platform.
//
// The dialect differs from POSIX printf in the string conversions: in a wide format %s and %c
// take wide arguments and %S and %C narrow ones, in a narrow format the other way round; %ls,
// %lc, %ws always take wide and %hs, %hc always narrow arguments. %I64 and %I32 give the
// integer size explicitly, %I the size of a pointer. A null string prints as "(null)", %p
// prints the address as upper-case hex digits without a prefix, and %n writes nothing.
// Width and precision are capped at kMaxFieldWidth so that no format can ask for unbounded
// output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace LOGGER::detail {

inline constexpr int kMaxFieldWidth = 4096;

// The argument list of one formatting call, read in order. An implementation over va_list
// reads the C type named by the size; another may produce values from other sources.
class FormatArgs {
 public:
  enum class IntSize { Char, Short, Int, Long, LongLong, Int32, Int64, Pointer };

  virtual ~FormatArgs() = default;
  virtual int64_t NextSigned(IntSize size) = 0;
  virtual uint64_t NextUnsigned(IntSize size) = 0;
  virtual double NextDouble(bool bLongDouble) = 0;
  virtual const wchar_t* NextWideString() = 0;
  virtual const char* NextNarrowString() = 0;
  virtual const void* NextPointer() = 0;
};

// Formats `format` (decoded to wide) with the arguments. `bWideFormat` selects the meaning of
// %s, %c, %S and %C as above.
std::wstring FormatWindowsPrintf(std::wstring_view format, bool bWideFormat, FormatArgs& args);

}  // namespace LOGGER::detail
