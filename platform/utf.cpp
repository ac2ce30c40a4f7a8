#include <orv_platform/utf.h>

#include <cstdint>

namespace orv::platform {
namespace {

constexpr char32_t kEscapeBase = 0xDC00;
constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}
bool IsEscapedByte(char32_t c) {
  return c >= 0xDC80 && c <= 0xDCFF;
}

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes one well-formed UTF-8 sequence at bytes[i]; returns its length, or 0 when the bytes
// there are not one (overlong forms, surrogates and values above U+10FFFF are not).
size_t DecodeOne(std::string_view bytes, size_t i, char32_t& c) {
  const auto b0 = static_cast<uint8_t>(bytes[i]);
  size_t len;
  char32_t min;
  if (b0 < 0x80) {
    c = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, min = 0x80, c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, min = 0x800, c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, c = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > bytes.size()) {
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<uint8_t>(bytes[i + k]);
    if ((b & 0xC0) != 0x80) {
      return 0;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || IsSurrogate(c)) {
    return 0;
  }
  return len;
}

// The code point at wide[i], advancing i past it. Where wchar_t holds UTF-16 units (Windows),
// a surrogate pair is one code point; a lone surrogate stays what it is.
char32_t NextCodePoint(std::wstring_view wide, size_t& i) {
  const auto c = static_cast<char32_t>(wide[i++]);
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0xD800 && c <= 0xDBFF && i < wide.size()) {
      const auto low = static_cast<char32_t>(wide[i]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        ++i;
        return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      }
    }
  }
  return c;
}

// Appends a code point as UTF-16 units: a surrogate pair above U+FFFF.
template <typename String>
void AppendUtf16(char32_t c, String& out) {
  using Unit = typename String::value_type;
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<Unit>(0xD800 + (c >> 10)));
    out.push_back(static_cast<Unit>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<Unit>(c));
  }
}

// Appends a code point to a wide string: as it is where wchar_t holds code points (POSIX), as
// UTF-16 units where it holds those.
void AppendWide(char32_t c, std::wstring& out) {
  if constexpr (sizeof(wchar_t) == 2) {
    AppendUtf16(c, out);
  } else {
    out.push_back(static_cast<wchar_t>(c));
  }
}

}  // namespace

bool WideToNative(std::wstring_view wide, std::string& out) {
  out.clear();
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size();) {
    const char32_t c = NextCodePoint(wide, i);
    if (IsEscapedByte(c)) {
      out.push_back(static_cast<char>(c - kEscapeBase));
    } else if (c == 0 || IsSurrogate(c) || c > 0x10FFFF) {
      return false;
    } else {
      AppendUtf8(c, out);
    }
  }
  return true;
}

std::wstring NativeToWide(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    char32_t c;
    const size_t len = DecodeOne(bytes, i, c);
    if (len == 0) {
      out.push_back(static_cast<wchar_t>(kEscapeBase + static_cast<uint8_t>(bytes[i])));
      ++i;
    } else {
      AppendWide(c, out);
      i += len;
    }
  }
  return out;
}

std::string WideToUtf8Lossy(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size();) {
    const char32_t c = NextCodePoint(wide, i);
    if (IsEscapedByte(c)) {
      out.push_back(static_cast<char>(c - kEscapeBase));
    } else if (IsSurrogate(c) || c > 0x10FFFF) {
      AppendUtf8(kReplacement, out);
    } else {
      AppendUtf8(c, out);
    }
  }
  return out;
}

std::u16string WideToUtf16(std::wstring_view wide) {
  std::u16string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size();) {
    const char32_t c = NextCodePoint(wide, i);
    AppendUtf16(c > 0x10FFFF ? kReplacement : c, out);
  }
  return out;
}

std::wstring Utf16ToWide(std::u16string_view utf16) {
  std::wstring out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      const char32_t c =
          0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(utf16[i + 1]) - 0xDC00);
      AppendWide(c, out);
      ++i;
    } else {
      out.push_back(static_cast<wchar_t>(u));  // lone surrogates, escaped bytes included
    }
  }
  return out;
}

}  // namespace orv::platform
