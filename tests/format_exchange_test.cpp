// Encrypted files move between systems: files written by the Linux build (OpenSSL) and by the
// Windows build (CNG) are checked in, and each build decrypts both and checks their tags.
// To write a new sample: run the disabled test with ORVCOPY_SAMPLE_OUT=<path> set.
#include <OrvCopy/external/orv_encryption.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>

namespace {

constexpr uint64_t kCapacity = 4096;
constexpr std::array<uint8_t, orv::CEncryption::kSaltSize> kSalt = {1, 2,  3,  4,  5,  6,  7,  8,
                                                                    9, 10, 11, 12, 13, 14, 15, 16};
const std::string kPlain = orvtest::RandomText(10000, 21);

void Prepare(orv::CEncryption& engine) {
  int keyLength = 32, tweakLength = 32, blockLength = 16;
  orv::CEncryption::GetKeyStrengthData(256, keyLength, tweakLength, blockLength);
  engine.SetMethod(0);
  engine.SetPassword(L"p\u00E4ssw\u00F6rd \U0001F511", false);
  engine.SetAESParams(keyLength, tweakLength, blockLength);
  engine.SetSalt(kSalt.data());
}

// The file's stored bytes, then its 16-byte tag.
std::string Write() {
  orv::CEncryption engine;
  Prepare(engine);
  std::vector<uint8_t> buffer(kCapacity), out(kCapacity);
  engine.GetHeaderSize();
  EXPECT_EQ(engine.WriteFileHeader(buffer.data(), kCapacity, kPlain.size()), 0u);
  std::string file(buffer.begin(), buffer.begin() + orv::CEncryption::kHeaderSize);
  for (size_t at = 0; at < kPlain.size(); at += kCapacity) {
    auto n = static_cast<uint32_t>(std::min<size_t>(kCapacity, kPlain.size() - at));
    std::copy_n(kPlain.begin() + at, n, buffer.begin());
    EXPECT_TRUE(engine.Encrypt(buffer.data(), out.data(), n, kCapacity));
    file.append(out.begin(), out.begin() + n);
  }
  uint8_t tag[orv::CEncryption::kTagSize];
  EXPECT_TRUE(engine.GetFrameTag(tag));
  return file.append(reinterpret_cast<const char*>(tag), sizeof tag);
}

TEST(FormatExchange, DISABLED_WriteSample) {
  const char* path = std::getenv("ORVCOPY_SAMPLE_OUT");
  ASSERT_NE(path, nullptr);
  std::ofstream(path, std::ios::binary) << Write();
}

TEST(FormatExchange, FilesWrittenOnEitherSystemDecryptWithTheirTags) {
  for (const char* name : {"written_on_linux.venc", "written_on_windows.venc"}) {
    SCOPED_TRACE(name);
    const std::string sample = orvtest::ReadFile(std::filesystem::path(ORVCOPY_TEST_DATA) / name);
    ASSERT_GT(sample.size(), orv::CEncryption::kHeaderSize + orv::CEncryption::kTagSize);
    const std::string file = sample.substr(0, sample.size() - orv::CEncryption::kTagSize);
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    orv::CEncryption engine;
    Prepare(engine);
    ASSERT_TRUE(engine.SetNextFrameHeader(bytes, orv::CEncryption::kHeaderSize, file.size()));
    engine.ResetChain();
    std::string plain;
    std::vector<uint8_t> in(kCapacity), out(kCapacity);
    for (size_t at = orv::CEncryption::kHeaderSize; at < file.size(); at += kCapacity) {
      const size_t n = std::min<size_t>(kCapacity, file.size() - at);
      std::copy_n(bytes + at, n, in.begin());
      ASSERT_TRUE(engine.Decrypt(in.data(), out.data(), kCapacity));
      plain.append(out.begin(), out.begin() + n);
    }
    plain.resize(kPlain.size());
    EXPECT_EQ(plain, kPlain);
    uint8_t tag[orv::CEncryption::kTagSize];
    ASSERT_TRUE(engine.GetFrameTag(tag));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(tag), sizeof tag),
              sample.substr(file.size()));
  }
}

}  // namespace
