// The encryption engine and the manager's side of encrypted files.
#include <OrvCopy/external/orv_encryption.h>

#include "Crypto.h"
#include "KeyDerivation.h"
#include "XtsAes.h"
#include "support/TestManager.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)  // OpenSSL's PBKDF2 as the reference, where it exists
#include <openssl/evp.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>

using orv::CEncryption;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes RandomBytes(size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b)
    x = static_cast<uint8_t>(rng());
  return b;
}

uint64_t Le(const Bytes& b, size_t offset, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i)
    v |= uint64_t{b[offset + i]} << (8 * i);
  return v;
}

void Configure(CEncryption& engine, const wchar_t* password, int strength) {
  int a = 32, b = 32, c = 16;
  CEncryption::GetKeyStrengthData(strength, a, b, c);
  engine.SetMethod(0);
  engine.SetPassword(password, false);
  engine.SetAESParams(a, b, c);
  engine.ResetChain();
}

// Header and body of `plain` as the backup writes them, buffer by buffer.
Bytes EncryptFile(CEncryption& engine, const Bytes& plain, uint32_t capacity) {
  Bytes out(capacity);
  const uint64_t headerSize = engine.GetHeaderSize();
  EXPECT_EQ(engine.WriteFileHeader(out.data(), capacity, static_cast<int64_t>(plain.size())), 0u);
  Bytes file(out.begin(), out.begin() + static_cast<long>(headerSize));
  Bytes in(capacity);
  for (size_t offset = 0; offset < plain.size(); offset += capacity) {
    uint32_t length = static_cast<uint32_t>(std::min<size_t>(capacity, plain.size() - offset));
    std::memcpy(in.data(), plain.data() + offset, length);
    EXPECT_TRUE(engine.Encrypt(in.data(), out.data(), length, capacity));
    file.insert(file.end(), out.begin(), out.begin() + length);
  }
  return file;
}

// The body read back as the restore does: header skipped, full-capacity Decrypt calls, output
// cut at the bytes read and finally at the plain size. A host of version-2 files announces
// the file's header first.
Bytes DecryptFile(CEncryption& engine, const Bytes& file, uint32_t capacity, uint64_t plainSize,
                  bool announce = false) {
  Bytes plain;
  Bytes in(capacity), out(capacity);
  if (announce)
    engine.SetNextFrameHeader(file.data(), file.size(), file.size());
  engine.GetHeaderSize();
  for (size_t offset = 64; offset < file.size(); offset += capacity) {
    const size_t read = std::min<size_t>(capacity, file.size() - offset);
    std::memcpy(in.data(), file.data() + offset, read);
    if (!engine.Decrypt(in.data(), out.data(), capacity))
      break;  // the restore ends the item here too
    plain.insert(plain.end(), out.begin(), out.begin() + static_cast<long>(read));
  }
  plain.resize(std::min<size_t>(plain.size(), plainSize));
  return plain;
}

// --- The engine -------------------------------------------------------------------------

TEST(Engine, KeyStrengthTakesBytesOrBitsAndKeepsThePresetsOtherwise) {
  for (auto [strength, expected] : std::vector<std::pair<int, int>>{
           {16, 16}, {24, 24}, {32, 32}, {128, 16}, {192, 24}, {256, 32}, {20, 32}, {0, 32}}) {
    int a = 32, b = 32, c = 16;
    CEncryption::GetKeyStrengthData(strength, a, b, c);
    EXPECT_EQ(a, expected) << strength;
    EXPECT_EQ(b, expected);
    EXPECT_EQ(c, 16);
  }
}

TEST(Engine, HeaderHoldsTheDocumentedFields) {
  CEncryption engine;
  Configure(engine, L"secret", 24);
  EXPECT_EQ(engine.GetHeaderSize(), 64u);
  Bytes buffer(4096, 0xAA);
  ASSERT_EQ(engine.WriteFileHeader(buffer.data(), 4096, 123456789), 0u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 8), "ORVXTS01");
  EXPECT_EQ(Le(buffer, 8, 2), 1u);
  EXPECT_EQ(Le(buffer, 10, 2), 24u);
  EXPECT_EQ(Le(buffer, 12, 4), 4096u);
  EXPECT_EQ(Le(buffer, 16, 8), 123456789u);
  EXPECT_EQ(Le(buffer, 24, 4), 600000u);
  EXPECT_EQ(Le(buffer, 28, 4), 0u);
  EXPECT_EQ(Le(buffer, 48, 8) | Le(buffer, 56, 8), 0u);
  EXPECT_NE(Le(buffer, 32, 8) | Le(buffer, 40, 8), 0u);  // the key check
  EXPECT_EQ(buffer[64], 0xAA);                           // nothing past the header
}

TEST(Engine, InvalidCapacitiesAreRefusedWithoutWriting) {
  CEncryption engine;
  Configure(engine, L"pw", 32);
  Bytes in(200, 1), out(200, 0x55);
  for (uint64_t capacity : {100u, 48u, 0u, 65u}) {
    engine.ResetChain();
    uint32_t length = 40;
    EXPECT_FALSE(engine.Encrypt(in.data(), out.data(), length, capacity)) << capacity;
    EXPECT_FALSE(engine.Decrypt(in.data(), out.data(), capacity)) << capacity;
    EXPECT_EQ(engine.WriteFileHeader(out.data(), capacity, 1), 1u);
  }
  EXPECT_EQ(out, Bytes(200, 0x55));
  uint32_t tooLong = 200;
  EXPECT_FALSE(engine.Encrypt(in.data(), out.data(), tooLong, 96));
  // One frame, one capacity.
  engine.ResetChain();
  uint32_t length = 64;
  EXPECT_TRUE(engine.Encrypt(in.data(), out.data(), length, 64));
  length = 96;
  EXPECT_FALSE(engine.Encrypt(in.data(), out.data(), length, 96));
}

TEST(Engine, WithoutAPasswordOrWithBadSettingsNothingIsEncrypted) {
  Bytes in(64, 1), out(64);
  uint32_t length = 64;
  CEncryption none;  // never configured
  EXPECT_FALSE(none.Encrypt(in.data(), out.data(), length, 64));
  CEncryption badMethod;
  Configure(badMethod, L"pw", 16);
  badMethod.SetMethod(3);
  EXPECT_FALSE(badMethod.Encrypt(in.data(), out.data(), length, 64));
  CEncryption badParams;
  Configure(badParams, L"pw", 16);
  badParams.SetAESParams(16, 32, 16);
  EXPECT_FALSE(badParams.Encrypt(in.data(), out.data(), length, 64));
}

TEST(Engine, CheckPasswordTellsARightFromAWrongPasswordAndGivesTheCapacity) {
  CEncryption engine;
  Configure(engine, L"p\u00E4ss", 32);
  Bytes header(96);
  engine.GetHeaderSize();
  ASSERT_EQ(engine.WriteFileHeader(header.data(), 96, 42), 0u);
  uint32_t unit = 0;
  uint64_t size = 0;
  EXPECT_EQ(CEncryption::CheckPassword(header.data(), 64, L"p\u00E4ss", &unit, &size),
            CEncryption::CheckPasswordOK);
  EXPECT_EQ(unit, 96u);
  EXPECT_EQ(size, 42u);
  EXPECT_EQ(CEncryption::CheckPassword(header.data(), 64, L"pass"),
            CEncryption::CheckWrongPassword);
  EXPECT_EQ(CEncryption::CheckPassword(header.data(), 64, L""), CEncryption::CheckWrongPassword);
  EXPECT_EQ(CEncryption::CheckPassword(header.data(), 63, L"p\u00E4ss"),
            CEncryption::CheckNotAHeader);
  Bytes damaged = header;
  damaged[24] ^= 1;  // another iteration count
  EXPECT_EQ(CEncryption::CheckPassword(damaged.data(), 64, L"p\u00E4ss"),
            CEncryption::CheckNotAHeader);
  const Bytes noise = RandomBytes(64);
  EXPECT_EQ(CEncryption::CheckPassword(noise.data(), 64, L"x"), CEncryption::CheckNotAHeader);
  EXPECT_EQ(CEncryption::CheckPassword(nullptr, 64, L"x"), CEncryption::CheckNotAHeader);
}

TEST(Engine, BuffersOver16MiBAreConsecutiveDataUnits) {
  constexpr uint32_t kCapacity = 40u << 20;  // 16 + 16 + 8 MiB
  const Bytes plain = RandomBytes(kCapacity + 100, 9);
  CEncryption engine;
  Configure(engine, L"big", 32);
  const Bytes file = EncryptFile(engine, plain, kCapacity);
  // The second buffer's single unit is number 3: units 0, 1 and 2 made the first buffer.
  orv::keys::DerivedKeys keys;
  ASSERT_TRUE(orv::keys::Derive(orv::keys::PasswordBytes(L"big"), 32, {}, keys));
  orv::xts::XtsAes xts;
  ASSERT_TRUE(xts.SetKeys({keys.k1, 32}, {keys.k2, 32}));
  Bytes unit(112);
  ASSERT_TRUE(xts.DecryptUnit(file.data() + 64 + kCapacity, unit.data(), unit.size(), 3));
  EXPECT_TRUE(std::equal(plain.begin() + kCapacity, plain.end(), unit.begin()));
  ASSERT_TRUE(xts.DecryptUnit(file.data() + 64 + (16u << 20), unit.data(), 16, 1));
  EXPECT_TRUE(std::equal(unit.begin(), unit.begin() + 16, plain.begin() + (16 << 20)));
  CEncryption reader;
  Configure(reader, L"big", 32);
  EXPECT_EQ(DecryptFile(reader, file, kCapacity, plain.size()), plain);
}

// --- Version 2: a salt per backup, a nonce and a tag per file ---------------------------

const uint8_t kSalt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

TEST(EngineV2, FilesCarrySaltAndNonceAndEqualContentEncryptsApart) {
  CEncryption engine;
  Configure(engine, L"pw", 32);
  engine.SetSalt(kSalt);
  const Bytes plain = RandomBytes(300, 4);
  const Bytes a = EncryptFile(engine, plain, 96), b = EncryptFile(engine, plain, 96);
  EXPECT_EQ(Le(a, 8, 2), 2u);
  EXPECT_EQ(Bytes(a.begin() + 48, a.begin() + 64), Bytes(kSalt, kSalt + 16));
  EXPECT_NE(Bytes(a.begin() + 28, a.begin() + 40), Bytes(b.begin() + 28, b.begin() + 40));
  EXPECT_NE(Bytes(a.begin() + 64, a.end()), Bytes(b.begin() + 64, b.end()));
  uint8_t check[CEncryption::kKeyCheckSize];
  ASSERT_TRUE(engine.GetKeyCheck(check));
  EXPECT_EQ(Bytes(check, check + 8), Bytes(a.begin() + 40, a.begin() + 48));
  EXPECT_EQ(CEncryption::CheckPassword(a.data(), 64, L"pw"), CEncryption::CheckPasswordOK);
  EXPECT_EQ(CEncryption::CheckPassword(a.data(), 64, L"pW"), CEncryption::CheckWrongPassword);
}

TEST(EngineV2, TheTagOfAFileIsFoundAgainOnRestoreAndAnyChangeToItIsNot) {
  for (size_t size : {0u, 95u, 96u, 1000u}) {
    CEncryption writer;
    Configure(writer, L"tag pw", 24);
    writer.SetSalt(kSalt);
    const Bytes plain = RandomBytes(size, 7);
    const Bytes file = EncryptFile(writer, plain, 96);
    uint8_t tag[CEncryption::kTagSize];
    uint64_t plainBytes = 1;
    ASSERT_TRUE(writer.GetFrameTag(tag, &plainBytes));
    EXPECT_EQ(plainBytes, size);

    // What the restore computes as it decrypts; a reader that is told nothing decrypts
    // garbage (wrong nonce) and has no tag.
    const auto restoredTag = [&](const Bytes& stored, Bytes* out) {
      CEncryption reader;
      Configure(reader, L"tag pw", 24);
      const Bytes back = DecryptFile(reader, stored, 96, size, true);
      if (out)
        *out = back;
      uint8_t t[CEncryption::kTagSize];
      return reader.GetFrameTag(t) ? std::optional<Bytes>(Bytes(t, t + 16)) : std::nullopt;
    };
    Bytes back;
    EXPECT_EQ(restoredTag(file, &back), Bytes(tag, tag + 16)) << size;
    EXPECT_EQ(back, plain);
    // A byte changed in the header, the body or at the end; one added; a block cut off.
    std::vector<Bytes> damaged(4, file);
    damaged[0][5] ^= 0x20, damaged[1][40] ^= 0x20, damaged[2].back() ^= 0x20;
    damaged[3].push_back(0);
    if (size > 0)
      damaged.emplace_back(file.begin(), file.end() - 16);
    for (const Bytes& d : damaged)
      EXPECT_NE(restoredTag(d, nullptr), Bytes(tag, tag + 16)) << size;
    // A checker that reads the stored bytes without decrypting gets the same tag.
    CEncryption checker;
    Configure(checker, L"tag pw", 24);
    ASSERT_TRUE(checker.SetNextFrameHeader(file.data(), 64, file.size()));
    checker.ResetChain();
    ASSERT_TRUE(checker.AddToFrameTag(file.data() + 64, file.size() - 64));
    uint8_t checked[CEncryption::kTagSize];
    ASSERT_TRUE(checker.GetFrameTag(checked));
    EXPECT_EQ(Bytes(checked, checked + 16), Bytes(tag, tag + 16));
  }
}

// A small file under a large capacity costs only its own bytes: the rest of the buffer is
// neither decrypted nor written.
TEST(EngineV2, AnAnnouncedFileIsDecryptedOnlyAsFarAsItHolds) {
  constexpr uint32_t kCapacity = 1u << 20;
  CEncryption writer;
  Configure(writer, L"small", 32);
  writer.SetSalt(kSalt);
  const Bytes plain = RandomBytes(100, 3);
  const Bytes file = EncryptFile(writer, plain, kCapacity);
  ASSERT_EQ(file.size(), 64u + 112u);
  CEncryption reader;
  Configure(reader, L"small", 32);
  ASSERT_TRUE(reader.SetNextFrameHeader(file.data(), 64, file.size()));
  reader.GetHeaderSize();
  Bytes in(kCapacity, 0x55), out(kCapacity, 0xAA);
  std::copy(file.begin() + 64, file.end(), in.begin());
  ASSERT_TRUE(reader.Decrypt(in.data(), out.data(), kCapacity));
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));
  EXPECT_TRUE(std::all_of(out.begin() + 112, out.end(), [](uint8_t b) { return b == 0xAA; }));
  uint8_t tag[CEncryption::kTagSize];
  EXPECT_TRUE(reader.GetFrameTag(tag));
}

TEST(EngineV2, AnAnnouncementThatCannotBeUsedDecryptsNothing) {
  CEncryption writer;
  Configure(writer, L"pw", 32);
  writer.SetSalt(kSalt);
  const Bytes file = EncryptFile(writer, RandomBytes(100), 96);
  Bytes in(96), out(96);
  for (int keyLength : {32, 16}) {  // a foreign header; a header of another key length
    CEncryption reader;
    Configure(reader, L"pw", keyLength);
    const Bytes header = keyLength == 32 ? RandomBytes(64) : file;
    EXPECT_EQ(reader.SetNextFrameHeader(header.data(), 64, file.size()), keyLength != 32);
    reader.GetHeaderSize();
    EXPECT_FALSE(reader.Decrypt(in.data(), out.data(), 96));
    uint8_t tag[CEncryption::kTagSize];
    EXPECT_FALSE(reader.GetFrameTag(tag));
  }
  // Version-1 files keep decrypting without an announcement; they have no tag.
  CEncryption v1;
  Configure(v1, L"pw", 32);
  const Bytes plain = RandomBytes(200);
  const Bytes v1File = EncryptFile(v1, plain, 96);
  uint8_t tag[CEncryption::kTagSize];
  EXPECT_FALSE(v1.GetFrameTag(tag));
  CEncryption reader;
  Configure(reader, L"pw", 32);
  reader.SetSalt(kSalt);
  EXPECT_EQ(DecryptFile(reader, v1File, 96, plain.size(), true), plain);
}

TEST(EngineV2, KeysAreDerivedOncePerSaltAndTheHostTagNeedsPasswordAndSalt) {
  orv::keys::ResetCacheForTesting();
  const Bytes data = RandomBytes(5000);
  const auto hostTag = [&](const wchar_t* password, const uint8_t* salt) {
    CEncryption engine;
    Configure(engine, password, 32);
    engine.SetSalt(salt);
    std::optional<Bytes> tag;
    if (engine.BeginHostTag()) {
      engine.AddToHostTag(data.data(), 1000);
      engine.AddToHostTag(data.data() + 1000, data.size() - 1000);
      tag.emplace(CEncryption::kHostTagSize);
      EXPECT_TRUE(engine.EndHostTag(tag->data()));
    }
    return tag;
  };
  Bytes otherSalt(kSalt, kSalt + 16);
  otherSalt[15] ^= 1;
  const auto tag = hostTag(L"pw", kSalt);
  ASSERT_TRUE(tag);
  EXPECT_EQ(hostTag(L"pw", kSalt), tag);
  EXPECT_NE(hostTag(L"pW", kSalt), tag);
  EXPECT_NE(hostTag(L"pw", otherSalt.data()), tag);
  EXPECT_FALSE(hostTag(L"pw", nullptr));
  EXPECT_EQ(orv::keys::ResetCacheForTesting(), 3u);
}

// The file tag's MAC on the message of RFC 8439 (2.5.2), given in pieces that end inside a
// block: OpenSSL's on POSIX, ours on Windows.
TEST(Mac, Poly1305GivesTheRfcTag) {
  const uint8_t key[32] = {0x85, 0xd6, 0xbe, 0x78, 0x57, 0x55, 0x6d, 0x33, 0x7f, 0x44, 0x52,
                           0xfe, 0x42, 0xd5, 0x06, 0xa8, 0x01, 0x03, 0x80, 0x8a, 0xfb, 0x0d,
                           0xb2, 0xfd, 0x4a, 0xbf, 0xf6, 0xaf, 0x41, 0x49, 0xf5, 0x1b};
  const std::string message = "Cryptographic Forum Research Group";
  const Bytes expected = {0xa8, 0x06, 0x1d, 0xc1, 0x30, 0x51, 0x36, 0xc6,
                          0xc2, 0x2b, 0x8b, 0xaf, 0x0c, 0x01, 0x27, 0xa9};
  orv::crypto::Mac mac(orv::crypto::Mac::Kind::Poly1305);
  for (size_t piece : {1u, 5u, 17u, 34u}) {
    ASSERT_TRUE(mac.Start(key));
    for (size_t at = 0; at < message.size(); at += piece)
      mac.Update(reinterpret_cast<const uint8_t*>(message.data()) + at,
                 std::min(piece, message.size() - at));
    Bytes tag(16);
    ASSERT_TRUE(mac.Finish(tag.data()));
    EXPECT_EQ(tag, expected) << piece;
  }
}

#if !defined(_WIN32)  // OpenSSL's PBKDF2 is the reference
TEST(KeyDerivation, Pbkdf2MatchesOpenSslsForShortAndLongPasswords) {
  for (const std::string& password :
       {std::string("p"), std::string(64, 'x'), std::string(100, 'y')}) {
    for (uint32_t iterations : {1u, 2u, 1000u}) {
      uint8_t ours[32], theirs[32];
      ASSERT_TRUE(orv::keys::Pbkdf2HmacSha256(password, "OrvCopy-venc-v1:256", iterations, ours));
      PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                        reinterpret_cast<const unsigned char*>("OrvCopy-venc-v1:256"), 19,
                        static_cast<int>(iterations), EVP_sha256(), 32, theirs);
      EXPECT_EQ(Bytes(ours, ours + 32), Bytes(theirs, theirs + 32))
          << password.size() << " " << iterations;
    }
  }
}
#endif

// A version-1 file has no random part: it encrypts to the same bytes on every platform and
// crypto library. (Version-2 files are exchanged between the systems in format_exchange_test.)
TEST(Engine, AVersion1FileIsReproducedByteForByte) {
  const auto hex = [](const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
      out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
  };
  const Bytes plain(40, 'a');
  CEncryption writer;
  Configure(writer, L"known", 16);
  EXPECT_EQ(
      EncryptFile(writer, plain, 64),
      hex("4f5256585453303101001000400000002800000000000000c02709000000000041816c41c19938b677105cb7"
          "5360a67d000000000000000000000000000000009dfce9ba6e2a7c6b4ce53ff1d4dc8bb5436a4c96b8ba83bd"
          "deea9e2c18e70a129975cd51899fba9e756cbcfb15718569"));
}

// --- An implementation that is not ours decrypts what the engine wrote -----------------

#if !defined(_WIN32)  // Debian's python3 with its cryptography module, through a shell
TEST(Engine, ThePythonDecryptorReadsTheEnginesFiles) {
  orvtest::TempDir dir;
  const Bytes plain = RandomBytes(200000, 5);
  for (int strength : {16, 32}) {
    for (uint32_t capacity : {65856u, 4096u}) {
      CEncryption engine;
      Configure(engine, L"vector \u00FC", strength);
      engine.SetSalt(capacity == 4096 ? kSalt : nullptr);  // both versions
      const Bytes file = EncryptFile(engine, plain, capacity);
      const auto encrypted = dir.Path() / "file.venc";
      const auto decrypted = dir.Path() / "file.out";
      std::ofstream(encrypted, std::ios::binary)
          .write(reinterpret_cast<const char*>(file.data()), static_cast<long>(file.size()));
      const std::string command = "ORVCOPY_PASSWORD='vector \xC3\xBC' /usr/bin/python3 " +
                                  std::string(ORVCOPY_DECRYPT_SCRIPT) + " " + encrypted.native() +
                                  " " + decrypted.native();
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
      const std::string back = orvtest::ReadFile(decrypted);
      EXPECT_EQ(Bytes(back.begin(), back.end()), plain) << strength << " " << capacity;
    }
  }
}
#endif

// --- The manager's side -----------------------------------------------------------------

// A manager of an encrypted job.
struct AesManager : orvtest::TestManager {
  AesManager() {
    m_strPassword = L"job password";
    m_nEncryptionType = 2;
  }
};

TEST(ManagerEncryption, PreparationNeedsAnAesJob) {
  AesManager m;
  m.m_nEncryptionType = 0;
  EXPECT_EQ(m.PrepareAESManager(), 0);
  EXPECT_EQ(m.m_pEncryption, nullptr);
  m.m_nEncryptionType = 2;
  m.m_strPassword.clear();
  EXPECT_EQ(m.PrepareAESManager(), 0);
  m.m_strPassword = L"x";
  m.m_nAction = OrvCopy::ActionRestoreTrial;
  EXPECT_EQ(m.IsAESEncryption(), 0);
  EXPECT_EQ(m.PrepareAESManager(), 0);
  EXPECT_EQ(m.m_pEncryption, nullptr);
}

TEST(ManagerEncryption, ASecondPreparationKeepsTheEngineAndReconfiguresIt) {
  AesManager m;
  ASSERT_EQ(m.PrepareAESManager(), 1);
  const orv::CEncryption* engine = m.m_pEncryption.get();
  ASSERT_NE(engine, nullptr);
  Bytes header(96);
  uint32_t headerSize = 0;
  ASSERT_EQ(m.WriteEncryptionHeader(header.data(), 96, 5, headerSize), 1);
  EXPECT_EQ(headerSize, 64u);
  EXPECT_EQ(m.GetAESHeaderSize(), 64);
  EXPECT_EQ(header[10], 16);  // the key length a job starts with

  m.m_strPassword = L"new password";
  m.m_nAESLength = 32;
  EXPECT_EQ(m.GetAESLength(), 32);
  ASSERT_EQ(m.PrepareAESManager(), 1);
  EXPECT_EQ(m.m_pEncryption.get(), engine);
  ASSERT_EQ(m.WriteEncryptionHeader(header.data(), 96, 5, headerSize), 1);
  EXPECT_EQ(header[10], 32);
  EXPECT_EQ(CEncryption::CheckPassword(header.data(), 64, L"new password"),
            CEncryption::CheckPasswordOK);
}

TEST(ManagerEncryption, InitActionPreparesTheEngineAndEndsSimulation) {
  AesManager m;
  m.m_bSimulate = 1;
  m.InitAction();
  EXPECT_NE(m.m_pEncryption, nullptr);
  EXPECT_EQ(m.m_bSimulate, 0);
  m.ClearAll();
  EXPECT_EQ(m.m_pEncryption, nullptr);

  AesManager plain;
  plain.m_nEncryptionType = 0;
  plain.m_bSimulate = 1;
  plain.InitAction();
  EXPECT_EQ(plain.m_pEncryption, nullptr);
  EXPECT_EQ(plain.m_bSimulate, 1);
}

}  // namespace
