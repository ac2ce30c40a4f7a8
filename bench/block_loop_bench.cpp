// The per-file copy's block loop with no host attached: one 64 MiB file in the page cache
// copied again and again, plain (CRC on) and AES-256, at the default and a 1 MiB capacity.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/OrvCopyStrings.h>

#include <benchmark/benchmark.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

namespace fs = std::filesystem;
constexpr size_t kFileSize = 64 << 20;

class Copier : public OrvCopy::COrvCopyManager {
 public:
  int Run(const std::wstring& source, const std::wstring& dest, bool encrypt) {
    OrvCopy::CArchiveItem item;
    item.m_strSourcePath = source;
    item.m_dwFlags = encrypt ? OrvCopy::ArchiveItemFlagAES : 0;
    m_dwItemCRC = 0;
    m_nItemProcessed = 0;
    return OrvCopyFile_Backup(source.c_str(), dest.c_str(), 1, &item);
  }
};

const fs::path& Folder() {
  static const fs::path folder = [] {
    fs::path f = fs::temp_directory_path() / ("orvcopy-block-loop-" + std::to_string(::getpid()));
    fs::create_directories(f);
    std::mt19937 rng(1);
    std::string data(kFileSize, '\0');
    for (char& c : data)
      c = static_cast<char>(rng());
    std::ofstream(f / "source.bin", std::ios::binary) << data;
    return f;
  }();
  static const struct Cleanup {
    ~Cleanup() { fs::remove_all(folder); }
  } cleanup;
  return folder;
}

void BM_BlockLoop(benchmark::State& state) {
  const bool encrypt = state.range(1) != 0;
  Copier copier;
  copier.Initialize();
  copier.SetBufferCapacity(static_cast<uint64_t>(state.range(0)), 1);
  if (encrypt) {
    copier.m_strPassword = L"benchmark";
    copier.m_nEncryptionType = 2;
    copier.m_nAESLength = 32;
    copier.InitAction();
  }
  const std::wstring source = OrvCopy::FileNameToWide((Folder() / "source.bin").native());
  const std::wstring dest = OrvCopy::FileNameToWide((Folder() / "copy.bin").native());
  for (auto _ : state) {
    if (copier.Run(source, dest, encrypt) != 0)
      state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

BENCHMARK(BM_BlockLoop)
    ->ArgNames({"capacity", "aes"})
    ->ArgsProduct({{65856, 1048576}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
