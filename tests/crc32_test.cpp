// The CRC-32 register update against its table definition and against zlib.
#include "Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

TEST(Crc32, IsTheRawRegisterWithoutInversions) {
  uint32_t crc = 0;
  OrvCopy::UpdateCRC32("abc", 3, &crc);
  EXPECT_EQ(crc, 0xca6598d0u);
  EXPECT_EQ(OrvCopy::kCrc32Table[1], 0x77073096u);
  uint32_t standard = 0xFFFFFFFFu;
  OrvCopy::UpdateCRC32("abc", 3, &standard);
  EXPECT_EQ(~standard, 0x352441c2u);  // with both inversions: the standard CRC-32
}

TEST(Crc32, MatchesTheTableAndZlibForAnyLengthsAndSplitPoints) {
  std::mt19937 rng(32);
  std::vector<uint8_t> data(1 << 20);
  for (auto& b : data)
    b = static_cast<uint8_t>(rng());
  for (int round = 0; round < 200; ++round) {
    const size_t length = round < 64 ? static_cast<size_t>(round) : rng() % data.size();
    const size_t split = length == 0 ? 0 : rng() % (length + 1);
    const uint32_t start = round % 3 == 0 ? 0 : static_cast<uint32_t>(rng());
    uint32_t fast = start, reference = start;
    OrvCopy::UpdateCRC32(data.data(), split, &fast);
    OrvCopy::UpdateCRC32(data.data() + split, length - split, &fast);
    OrvCopy::UpdateCRC32Bytewise(data.data(), length, &reference);
    ASSERT_EQ(fast, reference) << "length " << length << " split " << split;
    if (start == 0) {
      uint32_t raw = 0xFFFFFFFFu;
      OrvCopy::UpdateCRC32(data.data(), length, &raw);
      ASSERT_EQ(~raw, crc32(0, data.data(), static_cast<uInt>(length)));
    }
  }
}

}  // namespace
