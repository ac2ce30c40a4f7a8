// Faults the system makes, not the fault injection: sources that change while they are read,
// a destination folder that is a file, paths past the system's limit, a disk that fills while
// archives are written.
#include <orv_platform/utf.h>

#include "support/RecordingHost.h"
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include <functional>
#include <utility>

namespace fs = std::filesystem;
using orv::platform::NativeToWide;
using orvtest::RandomText;

namespace {

class RealFaults : public orvtest::BackupFixture {
 protected:
  void AddFile(const std::wstring& source, const std::wstring& folder, const std::wstring& name,
               uint64_t key) {
    m.AddItem(source.c_str(), folder.c_str(), name.c_str(), key, 0, 1, 0, 0, 1, 0, nullptr);
  }
  std::string Backup(const std::string& name) {
    return orvtest::ReadFile(dir.Path() / "backup" / name);
  }
  bool Failed(uint64_t key) const { return host.Count("failed " + std::to_string(key)) == 1; }
};

// A host that changes the source file after the first block was copied.
class ChangingHost : public orvtest::RecordingHost {
 public:
  std::function<void()> change;
  void OnProgress() override {
    RecordingHost::OnProgress();
    if (change)
      std::exchange(change, nullptr)();
  }
};

TEST_F(RealFaults, ASourceThatShrinksOrGrowsWhileReadIsCopiedAsReadWithAMatchingCrc) {
  ChangingHost changing;
  m.SetCallBack(&changing);
  m.SetBufferCapacity(1000, 0);
  const std::string original = RandomText(5000, 1), appended = RandomText(3000, 2);
  const std::wstring source = dir.WriteFile("src/f", original);
  const fs::path path = dir.Path() / "src/f";

  changing.change = [&] { fs::resize_file(path, 2500); };
  AddFile(source, L"", L"f", 1);
  ASSERT_EQ(m.Copy(0), 0);
  const std::string shrunk = original.substr(0, 2500);
  EXPECT_EQ(Backup("f"), shrunk);  // what the file held when each block was read
  EXPECT_EQ(changing.Events().back(),
            "end 1 crc " + std::to_string(orvtest::Crc(shrunk)) + " vol 0");

  m.ClearActionData();
  changing.calls.clear();
  changing.change = [&] { std::ofstream(path, std::ios::app) << appended; };
  AddFile(source, L"", L"f", 2);
  ASSERT_EQ(m.Copy(0), 0);
  EXPECT_EQ(Backup("f"), shrunk + appended);
  EXPECT_EQ(changing.Events().back(),
            "end 2 crc " + std::to_string(orvtest::Crc(shrunk + appended)) + " vol 0");
}

TEST_F(RealFaults, ADestinationFolderThatIsAFileFailsOnlyItsItems) {
  dir.WriteFile("backup/taken", "a file where a folder should be");
  AddFile(dir.WriteFile("src/a", "first"), L"taken", L"a", 1);
  AddFile(dir.WriteFile("src/b", "second"), L"free", L"b", 2);
  m.AddItem(dir.W().c_str(), L"taken/sub", L"", 3, 0, 1, 0, 0, 1, 1, nullptr);
  m.Copy(0);
  EXPECT_TRUE(Failed(1));
  EXPECT_EQ(Backup("free/b"), "second");
  EXPECT_EQ(Backup("taken"), "a file where a folder should be");
  EXPECT_FALSE(log.Records().empty());
  // A folder item whose folder cannot be made is passed over: the run goes on.
  EXPECT_EQ(host.Count("end 3 crc 0 vol 0"), 1u);

  // The whole backup root is a file.
  m.ClearActionData();
  host.calls.clear();
  m.SetDestRootFolder(dir.W("backup/taken").c_str());
  AddFile(dir.W("src/b"), L"", L"b", 4);
  EXPECT_EQ(m.Copy(0), 62);
  EXPECT_TRUE(Failed(4));
  EXPECT_EQ(Backup("taken"), "a file where a folder should be");
}

// A folder chain below `root` whose path is longer than the system takes, made one level at
// a time; returns the path.
fs::path DeepFolder(const fs::path& root) {
  const std::string level(200, 'd');
  fs::path path = root;
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < 25 && fd >= 0; ++i) {
    ::mkdirat(fd, level.c_str(), 0755);
    const int next = ::openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
    path /= level;
  }
  if (fd >= 0) {
    const int file = ::openat(fd, "leaf", O_WRONLY | O_CREAT, 0644);
    ::write(file, "leaf", 4);
    ::close(file);
    ::close(fd);
  }
  return path;
}

TEST_F(RealFaults, PathsPastTheSystemLimitFailTheirItemsClearly) {
  const fs::path deep = DeepFolder(dir.Path());
  ASSERT_GT(deep.native().size(), 4096u);
  const std::wstring longName = NativeToWide((deep / "leaf").native());
  const std::wstring longFolder =
      NativeToWide(deep.native().substr(dir.Path().native().size() + 1));
  AddFile(longName, L"", L"leaf", 1);                                 // source too long
  AddFile(dir.WriteFile("src/short", "short"), longFolder, L"x", 2);  // destination too long
  m.AddItem(dir.W().c_str(), longFolder.c_str(), L"", 3, 0, 1, 0, 0, 1, 1, nullptr);
  AddFile(dir.W("src/short"), L"", L"short", 4);
  EXPECT_EQ(m.Copy(0), 0);
  EXPECT_TRUE(Failed(1));
  EXPECT_TRUE(Failed(2));
  EXPECT_EQ(Backup("short"), "short");
  EXPECT_GE(log.Records().size(), 2u);
}

TEST_F(RealFaults, ADiskThatFillsWhileArchivesAreWrittenLeavesNoPartialArchive) {
  // An archive made in memory and written whole (big), one written by libzip through its
  // temporary file (huge: past what is made in memory), and one that fits (small).
  const std::string big = RandomText(400000, 3);
  dir.WriteFile("src/big", big);
  dir.WriteFile("src/huge", RandomText(17 << 20, 4));
  dir.WriteFile("src/small", "small");
  const int status = orvtest::ExitCodeUnderFileSizeLimit(100000, [&] {
    orvtest::RecordingHost quiet;
    orvtest::TestManager inChild;
    inChild.SetCallBack(&quiet);
    inChild.SetDestRootFolder(dir.W("backup").c_str());
    inChild.m_bCompress = 1;
    inChild.AddItem(dir.W("src/big").c_str(), L"", L"big", 1, 0, 1, big.size(), 0, 1, 0, nullptr);
    inChild.AddItem(dir.W("src/huge").c_str(), L"", L"huge", 3, 0, 1, 17 << 20, 0, 1, 0, nullptr);
    inChild.AddItem(dir.W("src/small").c_str(), L"", L"small", 2, 0, 1, 5, 0, 1, 0, nullptr);
    return inChild.Copy(0);
  });
  ASSERT_GE(status, 0);
  EXPECT_FALSE(fs::exists(dir.Path() / "backup/big"));
  EXPECT_FALSE(fs::exists(dir.Path() / "backup/huge"));
  EXPECT_TRUE(fs::exists(dir.Path() / "backup/small"));
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.Path() / "backup"))
    ++files;
  EXPECT_EQ(files, 1u);  // no temporary file left behind
}

}  // namespace
