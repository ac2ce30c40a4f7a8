// Copies one file through the manager's per-file backup copy (plain, CRC on), for timing
// against cp and dd:  copy_one_file SOURCE DESTINATION [CAPACITY]
#include <OrvCopy/OrvCopyManager.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// The per-file copy is a protected operation: a derived host class reaches it.
class OneFileCopier : public OrvCopy::COrvCopyManager {
 public:
  int CopyFile(const std::wstring& source, const std::wstring& destination) {
    OrvCopy::CArchiveItem item;
    item.m_strSourcePath = source;
    return OrvCopyFile_Backup(source.c_str(), destination.c_str(), 1, &item);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: copy_one_file SOURCE DESTINATION [CAPACITY]\n");
    return 2;
  }
  OneFileCopier copier;
  copier.Initialize();
  if (argc > 3) {
    copier.SetBufferCapacity(std::strtoull(argv[3], nullptr, 10), 1);
  }
  const int result = copier.CopyFile(std::filesystem::path(argv[1]).wstring(),
                                     std::filesystem::path(argv[2]).wstring());
  if (result != 0) {
    std::fprintf(stderr, "copy failed: %d\n", result);
  }
  return result;
}
