// The XTS core against the NIST XTS vectors, OpenSSL's XTS and an XTS written here from the
// AES block function.
#include "XtsAes.h"

#if !defined(_WIN32)  // the reference XTS below is built on OpenSSL, which Windows has not
#include <openssl/evp.h>
#endif

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using orv::xts::XtsAes;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string kVectorDir =
    "/usr/lib/python3/dist-packages/cryptography_vectors/ciphers/AES/XTS/tweak-dataunitseqno/";

struct Vector {
  Bytes key;  // key1 || key2
  uint64_t unit = 0;
  Bytes plain, cipher;
};

Bytes Hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Every vector of a NIST .rsp file whose data unit is a whole number of blocks.
std::vector<Vector> LoadVectors(const std::string& file) {
  std::ifstream in(kVectorDir + file);
  std::vector<Vector> vectors;
  std::map<std::string, std::string> fields;
  auto flush = [&] {
    if (fields.count("Key") && fields.count("PT") && fields.count("CT") &&
        std::stoul(fields["DataUnitLen"]) % 128 == 0) {
      vectors.push_back({Hex(fields["Key"]), std::stoull(fields["DataUnitSeqNumber"]),
                         Hex(fields["PT"]), Hex(fields["CT"])});
    }
    fields.clear();
  };
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    const size_t eq = line.find(" = ");
    if (line.rfind("COUNT", 0) == 0)
      flush();
    if (eq != std::string::npos)
      fields[line.substr(0, eq)] = line.substr(eq + 3);
  }
  flush();
  return vectors;
}

#if !defined(_WIN32)  // built on OpenSSL's AES
// XTS from its definition, one AES block call at a time.
Bytes ReferenceXts(const Bytes& key1, const Bytes& key2, uint64_t unit, const Bytes& data,
                   bool encrypt) {
  const EVP_CIPHER* ecb = key1.size() == 16   ? EVP_aes_128_ecb()
                          : key1.size() == 24 ? EVP_aes_192_ecb()
                                              : EVP_aes_256_ecb();
  auto block = [&](const Bytes& key, const uint8_t* in, uint8_t* out, int enc) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EVP_CipherInit_ex(ctx, ecb, nullptr, key.data(), nullptr, enc);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out, &n, in, 16);
    EVP_CIPHER_CTX_free(ctx);
  };
  uint8_t tweak[16] = {};
  for (int i = 0; i < 8; ++i)
    tweak[i] = static_cast<uint8_t>(unit >> (8 * i));
  uint8_t t[16];
  block(key2, tweak, t, 1);
  Bytes out(data.size());
  for (size_t off = 0; off < data.size(); off += 16) {
    uint8_t x[16];
    for (int i = 0; i < 16; ++i)
      x[i] = data[off + i] ^ t[i];
    block(key1, x, &out[off], encrypt ? 1 : 0);
    for (int i = 0; i < 16; ++i)
      out[off + i] ^= t[i];
    // t *= alpha
    uint8_t carry = 0;
    for (int i = 0; i < 16; ++i) {
      const uint8_t next = t[i] >> 7;
      t[i] = static_cast<uint8_t>((t[i] << 1) | carry);
      carry = next;
    }
    if (carry)
      t[0] ^= 0x87;
  }
  return out;
}
#endif

Bytes Random(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b)
    x = static_cast<uint8_t>(rng());
  return b;
}

class NistXts : public ::testing::TestWithParam<std::string> {};

TEST_P(NistXts, BothEnginesAndTheReferenceReproduceEveryVector) {
  const std::vector<Vector> vectors = LoadVectors(GetParam());
  ASSERT_GE(vectors.size(), 600u) << "vectors missing: install python3-cryptography-vectors";
  for (XtsAes::Engine engine : {XtsAes::Engine::Best, XtsAes::Engine::Construction}) {
    XtsAes xts;
    for (const Vector& v : vectors) {
      const size_t half = v.key.size() / 2;
      const Bytes k1(v.key.begin(), v.key.begin() + half), k2(v.key.begin() + half, v.key.end());
      ASSERT_TRUE(xts.SetKeys(k1, k2, engine));
      Bytes out(v.plain.size());
      ASSERT_TRUE(xts.EncryptUnit(v.plain.data(), out.data(), out.size(), v.unit));
      ASSERT_EQ(out, v.cipher) << "unit " << v.unit;
      ASSERT_TRUE(xts.DecryptUnit(v.cipher.data(), out.data(), out.size(), v.unit));
      ASSERT_EQ(out, v.plain);
#if !defined(_WIN32)  // the reference is OpenSSL's
      ASSERT_EQ(ReferenceXts(k1, k2, v.unit, v.plain, true), v.cipher);
#endif
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, NistXts,
                         ::testing::Values("XTSGenAES128.rsp", "XTSGenAES256.rsp"));

TEST(Xts, ConstructionEqualsOpenSslXtsOverLongUnits) {
  std::mt19937 rng(7);
  for (size_t keyLength : {16u, 32u}) {
    XtsAes native, built;
    const Bytes k1 = Random(rng, keyLength), k2 = Random(rng, keyLength);
    ASSERT_TRUE(native.SetKeys(k1, k2, XtsAes::Engine::Best));
    ASSERT_TRUE(built.SetKeys(k1, k2, XtsAes::Engine::Construction));
    for (size_t length : {16u, 48u, 4096u, 16432u, 65856u, 1u << 20}) {
      const Bytes plain = Random(rng, length);
      const uint64_t unit = rng() | (uint64_t{rng()} << 32);
      Bytes a(length), b(length);
      ASSERT_TRUE(native.EncryptUnit(plain.data(), a.data(), length, unit));
      ASSERT_TRUE(built.EncryptUnit(plain.data(), b.data(), length, unit));
      ASSERT_EQ(a, b) << keyLength << " bytes, unit length " << length;
      ASSERT_TRUE(built.DecryptUnit(b.data(), b.data(), length, unit));  // in place
      ASSERT_EQ(b, plain);
    }
  }
}

#if !defined(_WIN32)  // the reference is OpenSSL's
TEST(Xts, Aes192MatchesTheReferenceConstruction) {
  std::mt19937 rng(192);
  XtsAes xts;
  for (int round = 0; round < 20; ++round) {
    const Bytes k1 = Random(rng, 24), k2 = Random(rng, 24);
    ASSERT_TRUE(xts.SetKeys(k1, k2));
    const size_t length = 16 * (1 + rng() % 300);
    const Bytes plain = Random(rng, length);
    const uint64_t unit = rng();
    Bytes out(length);
    ASSERT_TRUE(xts.EncryptUnit(plain.data(), out.data(), length, unit));
    ASSERT_EQ(out, ReferenceXts(k1, k2, unit, plain, true));
    ASSERT_TRUE(xts.DecryptUnit(out.data(), out.data(), length, unit));
    ASSERT_EQ(out, plain);
  }
}
#endif

TEST(Xts, RefusesUnitsThatAreNotWholeBlocksAndKeysOfOtherLengths) {
  XtsAes xts;
  uint8_t buffer[64] = {};
  EXPECT_FALSE(xts.EncryptUnit(buffer, buffer, 32, 0));  // no keys yet
  const Bytes k(16, 1), k2(16, 2), k20(20, 3);
  EXPECT_FALSE(xts.SetKeys(k20, k20));
  EXPECT_FALSE(xts.SetKeys(k, Bytes(24, 2)));
  ASSERT_TRUE(xts.SetKeys(k, k2));
  EXPECT_FALSE(xts.EncryptUnit(buffer, buffer, 0, 0));
  EXPECT_FALSE(xts.EncryptUnit(buffer, buffer, 20, 0));
  EXPECT_TRUE(xts.EncryptUnit(buffer, buffer, 48, 0));
}

}  // namespace
