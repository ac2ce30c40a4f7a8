// Backs up a directory tree through the public API, as a host would:
//   backup_tree [--compress] [--password PW] [--capacity N] SOURCE DEST
// Folders come before their files; one item per folder and file.
#include <OrvCopy/OrvCopyManager.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  bool compress = false;
  const char* password = nullptr;
  uint64_t capacity = 0;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    if (std::strcmp(argv[i], "--compress") == 0) {
      compress = true;
    } else if (std::strcmp(argv[i], "--password") == 0 && i + 1 < argc) {
      password = argv[++i];
    } else if (std::strcmp(argv[i], "--capacity") == 0 && i + 1 < argc) {
      capacity = std::strtoull(argv[++i], nullptr, 10);
    }
  }
  if (argc - i != 2) {
    std::fprintf(stderr, "usage: backup_tree [--compress] [--password PW] [--capacity N] SOURCE DEST\n");
    return 2;
  }
  const fs::path source = fs::absolute(argv[i]);
  OrvCompression::COrvCallBack callback;
  OrvCopy::COrvCopyManager manager;
  manager.Initialize();
  manager.SetDestRootFolder(fs::absolute(argv[i + 1]).wstring().c_str());
  manager.SetCallBack(&callback);
  if (capacity != 0) manager.SetBufferCapacity(capacity, 1);
  manager.m_bCompress = compress ? 1 : 0;
  if (password != nullptr) {
    manager.m_strPassword = fs::path(password).wstring();
    manager.m_nEncryptionType = 2;
    manager.m_nAESLength = 32;
  }
  uint64_t key = 0;
  for (const auto& entry : fs::recursive_directory_iterator(source)) {
    const fs::path rel = entry.path().lexically_relative(source);
    const bool folder = entry.is_directory();
    if (!folder && !entry.is_regular_file()) continue;
    manager.AddItem(entry.path().wstring().c_str(),
                    (folder ? rel : rel.parent_path()).wstring().c_str(),
                    folder ? L"" : rel.filename().wstring().c_str(), ++key, password ? 1 : 0, 1, 0,
                    0, 1, folder ? 1 : 0, nullptr);
  }
  const int status = manager.Copy(0);
  if (status != 0) std::fprintf(stderr, "backup finished with status %d\n", status);
  return status;
}
