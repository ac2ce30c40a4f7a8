// The Windows printf dialect with an arbitrary format and arbitrary argument values: the
// input is the format (up to the first zero byte), then the bytes the arguments are read from.
#include "WinPrintf.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

class BytesArgs final : public LOGGER::detail::FormatArgs {
 public:
  BytesArgs(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  int64_t NextSigned(IntSize) override { return static_cast<int64_t>(Take64()); }
  uint64_t NextUnsigned(IntSize) override { return Take64(); }
  double NextDouble(bool) override {
    const uint64_t bits = Take64();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  const wchar_t* NextWideString() override {
    if (TakeByte() % 8 == 0)
      return nullptr;
    std::wstring s;
    for (size_t n = TakeByte() % 16; n > 0; --n)
      s.push_back(static_cast<wchar_t>(Take64() % 0x110000));
    m_wide.push_back(s);
    return m_wide.back().c_str();
  }
  const char* NextNarrowString() override {
    if (TakeByte() % 8 == 0)
      return nullptr;
    std::string s;
    for (size_t n = TakeByte() % 16; n > 0; --n)
      s.push_back(static_cast<char>(TakeByte() | 1));
    m_narrow.push_back(s);
    return m_narrow.back().c_str();
  }
  const void* NextPointer() override { return reinterpret_cast<const void*>(Take64()); }

 private:
  uint8_t TakeByte() { return m_size ? (--m_size, *m_data++) : 0; }
  uint64_t Take64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
      v = (v << 8) | TakeByte();
    return v;
  }
  const uint8_t* m_data;
  size_t m_size;
  std::vector<std::wstring> m_wide;  // strings live until the formatting is done
  std::vector<std::string> m_narrow;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const bool wide = data[0] & 1;
  const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + 1, 0, size - 1));
  const size_t formatLength = end ? static_cast<size_t>(end - data - 1) : size - 1;
  std::wstring format;
  for (size_t i = 0; i < formatLength; ++i)
    format.push_back(static_cast<wchar_t>(data[1 + i]));
  const size_t used = 1 + formatLength + (end ? 1 : 0);
  BytesArgs args(data + used, size - used);
  const std::wstring text = LOGGER::detail::FormatWindowsPrintf(format, wide, args);
  // Every conversion is bounded: no format asks for unbounded output.
  if (text.size() > (formatLength + 1) * (LOGGER::detail::kMaxFieldWidth * 2 + 400))
    __builtin_trap();
  return 0;
}
