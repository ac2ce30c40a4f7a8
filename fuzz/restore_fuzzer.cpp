// The restore of arbitrary bytes as a stored file: decrypted or plain, into a file or the host's
// stream, at any buffer capacity and item size; and the header check orvcopy runs on the first
// bytes of an encrypted file.
//
// Input: one byte of options, two bytes of item size (little-endian), then the stored file.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/orv_encryption.h>
#include <orv_platform/utf.h>

#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr wchar_t kPassword[] = L"fuzz password";

class Host : public OrvCompression::COrvCallBack {
 public:
  std::string written;
  bool ended = false, failed = false;
  int OpenItemData(uint64_t, int) override { return 0; }
  int WriteItemData(uint64_t, const void* buffer, uint32_t length, uint32_t*) override {
    written.append(static_cast<const char*>(buffer), length);
    return 1;
  }
  void OnItemEnd(uint64_t, uint32_t, int) override { ended = true; }
  void OnItemFailed(uint64_t, int) override { failed = true; }
};

// A folder of its own for the process, removed when the process ends.
class Folder {
 public:
  Folder() : m_path("/tmp/orvcopy-fuzz-XXXXXX") {
    if (::mkdtemp(m_path.data()) == nullptr)
      std::abort();
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

const std::string& WorkFolder() {
  static const Folder folder;
  return folder.Path();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3)
    return 0;
  const uint8_t options = data[0];
  const uint64_t itemSize = data[1] | (static_cast<uint64_t>(data[2]) << 8);
  const std::string stored(reinterpret_cast<const char*>(data + 3), size - 3);

  uint32_t unit = 0;
  uint64_t plain = 0;
  orv::CEncryption::CheckPassword(data + 3, size - 3, kPassword, &unit, &plain);

  const bool encrypted = options & 1;
  const bool stream = options & 2;
  constexpr uint64_t kCapacities[] = {64, 96, 1056, 4128};
  constexpr int kKeyLengths[] = {16, 24, 32, 32};
  const std::string source = WorkFolder() + "/stored", dest = WorkFolder() + "/restored";
  std::ofstream(source, std::ios::binary | std::ios::trunc) << stored;
  ::unlink(dest.c_str());

  Host host;
  OrvCopy::COrvCopyManager m;
  m.Initialize();
  m.SetCallBack(&host);
  m.SetSourceRootFolder(orv::platform::NativeToWide(WorkFolder()).c_str());
  m.SetDestRootFolder(orv::platform::NativeToWide(WorkFolder()).c_str());
  m.SetBufferCapacity(kCapacities[(options >> 2) & 3], 0);
  if (encrypted) {
    m.m_strPassword = kPassword;
    m.m_nEncryptionType = 2;
    m.m_nAESLength = kKeyLengths[(options >> 4) & 3];
  }
  m.AddItem(L"stored", L"", L"restored", 1, encrypted ? 1 : 0, 1, itemSize, 0, stream ? 0 : 1, 0,
            nullptr);
  m.InitAction();
  try {
    m.Restore(0, 0);
  } catch (const std::exception&) {
    __builtin_trap();  // nothing here fails to read or write: no exception may come
  }

  const std::string out = stream ? host.written : ReadAll(dest);
  if (host.ended && !host.failed) {
    // A plain restore gives back the stored bytes exactly; a decrypted one never more than
    // the item holds.
    if (!encrypted && out != stored)
      __builtin_trap();
    if (encrypted && out.size() > itemSize)
      __builtin_trap();
  }
  return 0;
}
