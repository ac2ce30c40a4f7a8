#include "WinPrintf.h"

#include <orv_platform/utf.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace LOGGER::detail {
namespace {

using IntSize = FormatArgs::IntSize;

struct Conversion {
  std::string flags;  // any of "-+ #0"
  int width = -1;
  int precision = -1;
  IntSize size = IntSize::Int;
  bool sizeGiven = false;
  bool forceWide = false;    // l or w on a string/char conversion
  bool forceNarrow = false;  // h on a string/char conversion
  bool longDouble = false;
};

int ClampField(int64_t v) {
  return static_cast<int>(std::min<int64_t>(v, kMaxFieldWidth));
}

bool IsDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

// Formats one number with the C library into `out`, for the conversion `conv`.
template <typename T>
void AppendNumber(const Conversion& field, const char* lengthModifier, char conv, T value,
                  std::wstring& out) {
  std::string fmt = "%" + field.flags;
  if (field.width >= 0)
    fmt += std::to_string(field.width);
  if (field.precision >= 0)
    fmt += "." + std::to_string(field.precision);
  fmt += lengthModifier;
  fmt.push_back(conv);
  char small[128];
  const int n = std::snprintf(small, sizeof small, fmt.c_str(), value);
  if (n < 0) {
    return;
  }
  std::string text;
  if (static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    text.resize(static_cast<size_t>(n) + 1);
    std::snprintf(text.data(), text.size(), fmt.c_str(), value);
    text.resize(static_cast<size_t>(n));
  }
  out.append(text.begin(), text.end());  // digits and signs are ASCII
}

void AppendPadded(const Conversion& field, std::wstring_view text, std::wstring& out) {
  if (field.precision >= 0 && text.size() > static_cast<size_t>(field.precision)) {
    text = text.substr(0, static_cast<size_t>(field.precision));
  }
  const size_t pad = field.width > 0 && static_cast<size_t>(field.width) > text.size()
                         ? static_cast<size_t>(field.width) - text.size()
                         : 0;
  const bool left = field.flags.find('-') != std::string::npos;
  if (!left)
    out.append(pad, L' ');
  out.append(text);
  if (left)
    out.append(pad, L' ');
}

int64_t Truncate(int64_t v, IntSize size) {
  switch (size) {
    case IntSize::Char:
      return static_cast<signed char>(v);
    case IntSize::Short:
      return static_cast<short>(v);
    case IntSize::Int:
    case IntSize::Int32:
      return static_cast<int32_t>(v);
    default:
      return v;
  }
}

uint64_t Truncate(uint64_t v, IntSize size) {
  switch (size) {
    case IntSize::Char:
      return static_cast<unsigned char>(v);
    case IntSize::Short:
      return static_cast<unsigned short>(v);
    case IntSize::Int:
    case IntSize::Int32:
      return static_cast<uint32_t>(v);
    default:
      return v;
  }
}

// Flags ("-+ #0", each kept once), then the width: digits or "*" from the arguments (a
// negative "*" width left-aligns).
void ParseFlagsAndWidth(std::wstring_view format, size_t& i, Conversion& field, FormatArgs& args) {
  while (i < format.size() &&
         std::wstring_view(L"-+ #0").find(format[i]) != std::wstring_view::npos) {
    if (field.flags.find(static_cast<char>(format[i])) == std::string::npos) {
      field.flags.push_back(static_cast<char>(format[i]));
    }
    ++i;
  }
  if (i < format.size() && format[i] == L'*') {
    int64_t w = Truncate(args.NextSigned(IntSize::Int), IntSize::Int);
    if (w < 0) {
      if (field.flags.find('-') == std::string::npos)
        field.flags.push_back('-');
      w = -w;
    }
    field.width = ClampField(w);
    ++i;
    return;
  }
  int64_t w = -1;
  while (i < format.size() && IsDigit(format[i])) {
    w = (w < 0 ? 0 : w) * 10 + (format[i] - L'0');
    w = std::min<int64_t>(w, kMaxFieldWidth);
    ++i;
  }
  field.width = static_cast<int>(w);
}

// ".precision": digits or "*" from the arguments (a negative "*" precision is none).
void ParsePrecision(std::wstring_view format, size_t& i, Conversion& field, FormatArgs& args) {
  if (i >= format.size() || format[i] != L'.')
    return;
  ++i;
  if (i < format.size() && format[i] == L'*') {
    const int64_t p = Truncate(args.NextSigned(IntSize::Int), IntSize::Int);
    field.precision = p < 0 ? -1 : ClampField(p);
    ++i;
    return;
  }
  int64_t p = 0;
  while (i < format.size() && IsDigit(format[i])) {
    p = std::min<int64_t>(p * 10 + (format[i] - L'0'), kMaxFieldWidth);
    ++i;
  }
  field.precision = static_cast<int>(p);
}

// The length modifiers of the Windows dialect: I64, I32, I, hh, h, ll, l, w, L, z, j, t.
void ParseLengthModifier(std::wstring_view format, size_t& i, Conversion& field) {
  const auto startsWith = [&](std::wstring_view s) { return format.substr(i, s.size()) == s; };
  if (startsWith(L"I64")) {
    field.size = IntSize::Int64, field.sizeGiven = true, i += 3;
  } else if (startsWith(L"I32")) {
    field.size = IntSize::Int32, field.sizeGiven = true, i += 3;
  } else if (startsWith(L"I")) {
    field.size = IntSize::Pointer, field.sizeGiven = true, i += 1;
  } else if (startsWith(L"hh")) {
    field.size = IntSize::Char, field.sizeGiven = true, field.forceNarrow = true, i += 2;
  } else if (startsWith(L"h")) {
    field.size = IntSize::Short, field.sizeGiven = true, field.forceNarrow = true, i += 1;
  } else if (startsWith(L"ll")) {
    field.size = IntSize::LongLong, field.sizeGiven = true, i += 2;
  } else if (startsWith(L"l")) {
    field.size = IntSize::Long, field.sizeGiven = true, field.forceWide = true, i += 1;
  } else if (startsWith(L"w")) {
    field.forceWide = true, i += 1;
  } else if (startsWith(L"L")) {
    field.longDouble = true, i += 1;
  } else if (startsWith(L"z") || startsWith(L"j") || startsWith(L"t")) {
    field.size = IntSize::Pointer, field.sizeGiven = true, i += 1;
  }
}

// %p: the address as upper-case hex digits, zero-padded to the pointer's width.
void AppendPointer(const Conversion& field, FormatArgs& args, std::wstring& out) {
  Conversion hex = field;
  hex.precision = -1;
  hex.width = static_cast<int>(2 * sizeof(void*));
  hex.flags = "0";
  const auto address = reinterpret_cast<uintptr_t>(args.NextPointer());
  std::wstring digits;
  AppendNumber(hex, "ll", 'X', static_cast<unsigned long long>(address), digits);
  Conversion pad = field;
  pad.precision = -1;
  AppendPadded(pad, digits, out);
}

// %s, %S, %c, %C: in a wide format the lower-case letter takes a wide argument and the upper-case
// one a narrow argument, the other way round in a narrow format; l/w force wide, h narrow.
void AppendText(wchar_t conv, const Conversion& field, bool bWideFormat, FormatArgs& args,
                std::wstring& out) {
  const bool upper = conv == L'S' || conv == L'C';
  bool wide = bWideFormat != upper;
  if (field.forceWide)
    wide = true;
  if (field.forceNarrow)
    wide = false;
  if (conv == L's' || conv == L'S') {
    if (wide) {
      const wchar_t* s = args.NextWideString();
      AppendPadded(field, s != nullptr ? std::wstring_view(s) : std::wstring_view(L"(null)"), out);
    } else {
      const char* s = args.NextNarrowString();
      AppendPadded(field, s != nullptr ? orv::platform::NativeToWide(s) : std::wstring(L"(null)"),
                   out);
    }
    return;
  }
  Conversion charField = field;
  charField.precision = -1;
  wchar_t ch;
  if (wide) {
    ch = static_cast<wchar_t>(args.NextSigned(IntSize::Int));
  } else {
    const auto byte = static_cast<char>(args.NextSigned(IntSize::Int));
    const std::wstring decoded = orv::platform::NativeToWide(std::string_view(&byte, 1));
    ch = decoded.empty() ? L'?' : decoded[0];
  }
  AppendPadded(charField, std::wstring_view(&ch, 1), out);
}

// Appends one conversion with its argument; false for a conversion letter the dialect does not
// have.
bool AppendConversion(wchar_t conv, const Conversion& field, bool bWideFormat, FormatArgs& args,
                      std::wstring& out) {
  switch (conv) {
    case L'd':
    case L'i':
      AppendNumber(field, "ll", 'd',
                   static_cast<long long>(Truncate(args.NextSigned(field.size), field.size)), out);
      return true;
    case L'u':
    case L'o':
    case L'x':
    case L'X':
      AppendNumber(
          field, "ll", static_cast<char>(conv),
          static_cast<unsigned long long>(Truncate(args.NextUnsigned(field.size), field.size)),
          out);
      return true;
    case L'e':
    case L'E':
    case L'f':
    case L'F':
    case L'g':
    case L'G':
    case L'a':
    case L'A':
      AppendNumber(field, "", static_cast<char>(conv), args.NextDouble(field.longDouble), out);
      return true;
    case L'p':
      AppendPointer(field, args, out);
      return true;
    case L'n':
      args.NextPointer();  // never written through
      return true;
    case L's':
    case L'S':
    case L'c':
    case L'C':
      AppendText(conv, field, bWideFormat, args, out);
      return true;
    default:
      return false;
  }
}

}  // namespace

std::wstring FormatWindowsPrintf(std::wstring_view format, bool bWideFormat, FormatArgs& args) {
  std::wstring out;
  out.reserve(format.size() + 32);
  size_t i = 0;
  while (i < format.size()) {
    const wchar_t c = format[i];
    if (c != L'%') {
      out.push_back(c);
      ++i;
      continue;
    }
    const size_t start = i++;
    if (i < format.size() && format[i] == L'%') {
      out.push_back(L'%');
      ++i;
      continue;
    }
    Conversion field;
    ParseFlagsAndWidth(format, i, field, args);
    ParsePrecision(format, i, field, args);
    ParseLengthModifier(format, i, field);
    if (i >= format.size()) {
      out.append(format.substr(start));  // an unfinished conversion prints as it stands
      break;
    }
    const wchar_t conv = format[i++];
    if (!AppendConversion(conv, field, bWideFormat, args, out))
      out.append(format.substr(start, i - start));  // unknown conversion: printed as it stands
  }
  return out;
}

}  // namespace LOGGER::detail
