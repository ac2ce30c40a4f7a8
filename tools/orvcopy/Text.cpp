#include "Text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace orvcopy {
namespace {

// The code point of the UTF-8 sequence at `bytes[i]` and its length; length 0 when the bytes
// there are not valid UTF-8.
struct Decoded {
  uint32_t code = 0;
  size_t length = 0;
};

Decoded DecodeAt(std::string_view bytes, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(bytes[k]); };
  const uint8_t lead = byte(i);
  if (lead < 0x80)
    return {lead, 1};
  size_t length;
  uint32_t code, minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, minimum = 0x10000;
  } else {
    return {};
  }
  if (i + length > bytes.size())
    return {};
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80)
      return {};
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return {};
  return {code, length};
}

// Characters that move the cursor, end a line or turn the direction of the text around.
bool IsControl(uint32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
         code == 0x200E || code == 0x200F;
}

void AppendHexByte(std::string& out, uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02x", byte);
  out += text;
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const Decoded d = DecodeAt(bytes, i);
    if (d.length == 0)
      return false;
    i += d.length;
  }
  return true;
}

std::string Escape(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const Decoded d = DecodeAt(bytes, i);
    if (d.length == 0) {
      AppendHexByte(out, static_cast<uint8_t>(bytes[i++]));
      continue;
    }
    if (d.code == '\\') {
      out += "\\\\";
    } else if (d.code == '\n') {
      out += "\\n";
    } else if (d.code == '\t') {
      out += "\\t";
    } else if (d.code == '\r') {
      out += "\\r";
    } else if (d.code >= 0x2000 && IsControl(d.code)) {
      char text[12];
      std::snprintf(text, sizeof text, "\\u%04x", d.code);
      out += text;
    } else if (IsControl(d.code)) {
      for (size_t k = 0; k < d.length; ++k)
        AppendHexByte(out, static_cast<uint8_t>(bytes[i + k]));
    } else {
      out.append(bytes.substr(i, d.length));
    }
    i += d.length;
  }
  return out;
}

bool EqualSecret(std::string_view a, std::string_view b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

bool BeforeInWalk(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a[i] == '/' ? '\0' : a[i]);
    const auto y = static_cast<unsigned char>(b[i] == '/' ? '\0' : b[i]);
    if (x != y)
      return x < y;
  }
  return a.size() < b.size();
}

bool IsBelow(std::string_view path, std::string_view folder) {
  return path.size() > folder.size() && path.substr(0, folder.size()) == folder &&
         path[folder.size()] == '/';
}

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string Counted(uint64_t count, std::string_view noun, std::string_view plural) {
  const std::string word = count == 1       ? std::string(noun)
                           : plural.empty() ? std::string(noun) + "s"
                                            : std::string(plural);
  return std::to_string(count) + " " + word;
}

bool FromHex(std::string_view hex, std::string& bytes) {
  if (hex.size() % 2)
    return false;
  const auto value = [](char c) -> int {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (c >= 'a' && c <= 'f')
      return c - 'a' + 10;
    return -1;
  };
  bytes.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = value(hex[i]), lo = value(hex[i + 1]);
    if (hi < 0 || lo < 0)
      return false;
    bytes.push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

uint64_t PathHash(std::string_view path) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : path) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace orvcopy
