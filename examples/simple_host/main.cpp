// The smallest useful host: back up one folder with a COrvCopyManager.
//
//   simple_host SOURCE_FOLDER BACKUP_FOLDER
//
// The host owns a callback object that the library reports through; it sets the job's roots
// and options on the manager, adds one item per file and folder, and runs the backup.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/OrvLogging.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

// Reports what the library tells the host; everything not overridden keeps its default.
class PrintingHost : public OrvCompression::COrvCallBack {
 public:
  void OnItemEnd(uint64_t key, uint32_t crc, int volume) override {
    std::printf("item %llu done, CRC-32 register %08x, volume %d\n",
                static_cast<unsigned long long>(key), crc, volume);
  }
  void OnItemFailed(uint64_t key, int) override {
    std::printf("item %llu failed\n", static_cast<unsigned long long>(key));
  }
};

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: simple_host SOURCE_FOLDER BACKUP_FOLDER\n");
    return 2;
  }
  const fs::path source = fs::absolute(argv[1]);
  const fs::path backup = fs::absolute(argv[2]);
  if (!fs::is_directory(source)) {
    std::fprintf(stderr, "simple_host: %s is not a folder\n", source.string().c_str());
    return 2;
  }

  // The library's log goes nowhere until the host installs a sink.
  LOGGER::g_OrvLog.SetSink(
      [](const LOGGER::COrvLogEntry& entry) { std::wcerr << L"log: " << entry.strText << L'\n'; });

  PrintingHost host;
  OrvCopy::COrvCopyManager manager;
  manager.Initialize();
  manager.SetDestRootFolder(backup.wstring().c_str());
  manager.SetBufferCapacity(65536, 1);  // rounded up to a multiple of 96: 65568
  manager.SetCallBack(&host);

  // One item per folder and file; the key is the host's own number for the item.
  uint64_t key = 0;
  for (const auto& entry : fs::recursive_directory_iterator(source)) {
    const fs::path relative = fs::relative(entry.path(), source);
    const bool isFolder = entry.is_directory();
    manager.AddItem(entry.path().wstring().c_str(),
                    (isFolder ? relative : relative.parent_path()).wstring().c_str(),
                    isFolder ? L"" : relative.filename().wstring().c_str(), ++key,
                    /*bAESEncryption=*/0, /*nUserValue=*/1,
                    isFolder ? 0 : static_cast<uint64_t>(entry.file_size()), /*dwFlags=*/0,
                    /*bFileData=*/1, isFolder ? 1 : 0, /*lpszVSSPath=*/nullptr);
  }

  std::printf("job ready: %llu items from %s to %s, buffer %llu bytes\n",
              static_cast<unsigned long long>(key), source.string().c_str(),
              backup.string().c_str(),
              static_cast<unsigned long long>(manager.GetBufferCapacity()));

  // 0 when every item was backed up; 60 when stopped; otherwise the last failure.
  const int status = manager.Copy(0);
  std::printf("backup finished with status %d\n", status);
  manager.ClearAll();
  manager.Deinitialize();
  return status == 0 ? 0 : 1;
}
