// XTS throughput of the engine on 64 KiB buffers, beside OpenSSL's own XTS in the same run,
// the same with the tag of format version 2 computed as the data passes, and the cost of one
// key derivation.
#include <OrvCopy/external/orv_encryption.h>

#include "KeyDerivation.h"

#include <openssl/evp.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr uint32_t kBuffer = 64 * 1024;

void Configure(orv::CEncryption& engine, int keyLength) {
  engine.SetMethod(0);
  engine.SetPassword(L"benchmark password", true);
  engine.SetAESParams(keyLength, keyLength, 16);
  engine.ResetChain();
}

// Encrypts full buffers for as long as the benchmark runs.
void EncryptBuffers(benchmark::State& state, orv::CEncryption& engine) {
  std::vector<uint8_t> in(kBuffer, 0x5A), out(kBuffer);
  for (auto _ : state) {
    uint32_t length = kBuffer;
    if (!engine.Encrypt(in.data(), out.data(), length, kBuffer))
      state.SkipWithError("encrypt");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBuffer);
}

void BM_EngineEncrypt(benchmark::State& state) {
  orv::CEncryption engine;
  Configure(engine, static_cast<int>(state.range(0)));
  EncryptBuffers(state, engine);
}

// Version 2: a salt, a header with its nonce, and every buffer added to the file's tag.
void BM_EngineEncryptTagged(benchmark::State& state) {
  orv::CEncryption engine;
  Configure(engine, 32);
  const uint8_t salt[orv::CEncryption::kSaltSize] = {1};
  engine.SetSalt(salt);
  std::vector<uint8_t> header(kBuffer);
  engine.GetHeaderSize();
  engine.WriteFileHeader(header.data(), kBuffer, 1 << 30);
  EncryptBuffers(state, engine);
}

void BM_EngineDecrypt(benchmark::State& state) {
  orv::CEncryption engine;
  Configure(engine, static_cast<int>(state.range(0)));
  std::vector<uint8_t> in(kBuffer, 0x5A), out(kBuffer);
  for (auto _ : state) {
    if (!engine.Decrypt(in.data(), out.data(), kBuffer))
      state.SkipWithError("decrypt");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBuffer);
}

// OpenSSL's XTS as a program would use it directly: one data unit per call.
void BM_OpenSslXts(benchmark::State& state) {
  const int keyLength = static_cast<int>(state.range(0));
  const int encrypt = static_cast<int>(state.range(1));
  std::vector<uint8_t> key(2 * static_cast<size_t>(keyLength));
  for (size_t i = 0; i < key.size(); ++i)
    key[i] = static_cast<uint8_t>(i * 7 + 1);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, keyLength == 16 ? EVP_aes_128_xts() : EVP_aes_256_xts(), nullptr,
                    key.data(), nullptr, encrypt);
  std::vector<uint8_t> in(kBuffer, 0x5A), out(kBuffer);
  uint64_t unit = 0;
  for (auto _ : state) {
    uint8_t iv[16] = {};
    ++unit;
    std::copy_n(reinterpret_cast<const uint8_t*>(&unit), 8, iv);
    int n = 0;
    EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, iv, -1);
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), kBuffer);
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBuffer);
}

void BM_KeyDerivation(benchmark::State& state) {
  const std::string password = orv::keys::PasswordBytes(L"benchmark password");
  for (auto _ : state) {
    orv::keys::ResetCacheForTesting();
    orv::keys::DerivedKeys keys;
    benchmark::DoNotOptimize(orv::keys::Derive(password, 32, {}, keys));
  }
}

BENCHMARK(BM_EngineEncrypt)->ArgName("key")->Arg(16)->Arg(24)->Arg(32);
BENCHMARK(BM_EngineEncryptTagged);
BENCHMARK(BM_EngineDecrypt)->ArgName("key")->Arg(16)->Arg(24)->Arg(32);
BENCHMARK(BM_OpenSslXts)->ArgNames({"key", "encrypt"})->ArgsProduct({{16, 32}, {1, 0}});
BENCHMARK(BM_KeyDerivation)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
