// Backs up or restores one file through the manager, for timing against cp and dd:
//   one_file backup  [--password PW] [--capacity N] [--overlap 0|1] SOURCE BACKUP
//   one_file restore [--password PW] [--capacity N] [--overlap 0|1] BACKUP DESTINATION
// The backup is the per-file copy (CRC on, or AES-256 with a password); the restore is
// Restore with the item's source below the backup's folder. --overlap 1 writes on a second
// thread (the manager's m_bPipelinedCopy).
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/OrvCopyStrings.h>
#include <OrvCopy/external/orv_encryption.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// The per-file copy is a protected operation: a derived host class reaches it.
class OneFile : public OrvCopy::COrvCopyManager {
 public:
  int Backup(const std::wstring& source, const std::wstring& destination, bool encrypt) {
    OrvCopy::CArchiveItem item;
    item.m_strSourcePath = source;
    if (encrypt)
      item.m_dwFlags = OrvCopy::ArchiveItemFlagAES;
    return OrvCopyFile_Backup(source.c_str(), destination.c_str(), 1, &item);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(
        stderr,
        "usage: one_file backup|restore [--password PW] [--capacity N] [--overlap 0|1] FROM TO\n");
    return 2;
  }
  const bool restore = std::strcmp(argv[1], "restore") == 0;
  const char* password = nullptr;
  uint64_t capacity = 0;
  int overlap = 0;
  int i = 2;
  for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
    if (std::strcmp(argv[i], "--password") == 0)
      password = argv[i + 1];
    if (std::strcmp(argv[i], "--capacity") == 0)
      capacity = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--overlap") == 0)
      overlap = std::atoi(argv[i + 1]);
  }
  if (argc - i != 2)
    return 2;
  const fs::path from = fs::absolute(argv[i]), to = fs::absolute(argv[i + 1]);

  OrvCompression::COrvCallBack callback;
  OneFile manager;
  manager.Initialize();
  manager.SetCallBack(&callback);
  manager.m_bPipelinedCopy = overlap;
  if (password != nullptr) {
    manager.m_strPassword =
        OrvCopy::FileNameToWide(password);  // as UTF-8 (POSIX: whatever the locale)
    manager.m_nEncryptionType = 2;
    manager.m_nAESLength = 32;
  }
  uint64_t size = fs::file_size(from);
  if (restore && password != nullptr) {
    // The header tells the capacity the body was written with and the plain size.
    uint8_t header[64] = {};
    std::ifstream(from, std::ios::binary).read(reinterpret_cast<char*>(header), sizeof header);
    uint32_t unit = 0;
    if (orv::CEncryption::CheckPassword(header, sizeof header, manager.m_strPassword.c_str(), &unit,
                                        &size) != orv::CEncryption::CheckPasswordOK) {
      std::fprintf(stderr, "wrong password or not an encrypted file\n");
      return 1;
    }
    capacity = unit;
  }
  if (capacity != 0)
    manager.SetBufferCapacity(capacity, restore ? 0 : 1);
  manager.InitAction();
  int result;
  if (restore) {
    manager.SetSourceRootFolder(from.parent_path().wstring().c_str());
    manager.SetDestRootFolder(to.parent_path().wstring().c_str());
    manager.AddItem(from.filename().wstring().c_str(), L"", to.filename().wstring().c_str(), 1,
                    password != nullptr, 1, size, 0, 1, 0, nullptr);
    result = manager.Restore(0, 0);
  } else {
    result = manager.Backup(from.wstring(), to.wstring(), password != nullptr);
  }
  if (result != 0)
    std::fprintf(stderr, "failed: %d\n", result);
  return result;
}
