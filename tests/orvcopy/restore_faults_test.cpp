// The restore of entries under failing system calls: every call that makes an entry or gives
// it its owner, mode or time fails in turn, at each of its uses. Each failure is
// reported with the entry it hit, no other entry is harmed, no file stands half-done under its
// real name, and nothing is written outside the target.
#include "Commands.h"
#include "Entries.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;

enum Call {
  kLstat,
  kMkdir,
  kUnlink,
  kRename,
  kLink,
  kSymlink,
  kMkfifo,
  kOpen,
  kFchown,
  kFchmod,
  kFutimens,
  kLchown,
  kLutimens,
  kCalls
};
const char* const kCallNames[] = {"lstat",    "mkdir",  "unlink",  "rename", "link",
                                  "symlink",  "mkfifo", "open",    "fchown", "fchmod",
                                  "futimens", "lchown", "lutimens"};

// Counts every call and makes the n-th call of one kind fail with EIO.
class FailingCalls : public orvcopy::SystemCalls {
  using S = orvcopy::SystemCalls;

 public:
  FailingCalls(Call failing = kCalls, int nth = 0) : m_failing(failing), m_nth(nth) {}
  std::array<int, kCalls> calls{};

  // clang-format off
  int Lstat(const char* p, struct stat* s) override { return Hit(kLstat) ?: S::Lstat(p, s); }
  int Mkdir(const char* p, mode_t m) override { return Hit(kMkdir) ?: S::Mkdir(p, m); }
  int Unlink(const char* p) override { return Hit(kUnlink) ?: S::Unlink(p); }
  int Rename(const char* a, const char* b) override { return Hit(kRename) ?: S::Rename(a, b); }
  int Link(const char* a, const char* b) override { return Hit(kLink) ?: S::Link(a, b); }
  int Symlink(const char* a, const char* b) override { return Hit(kSymlink) ?: S::Symlink(a, b); }
  int Mkfifo(const char* p, mode_t m) override { return Hit(kMkfifo) ?: S::Mkfifo(p, m); }
  int Open(const char* p, int f) override { return Hit(kOpen) ?: S::Open(p, f); }
  int Fchown(int d, uid_t u, gid_t g) override { return Hit(kFchown) ?: S::Fchown(d, u, g); }
  int Fchmod(int d, mode_t m) override { return Hit(kFchmod) ?: S::Fchmod(d, m); }
  int Futimens(int d, const timespec t[2]) override { return Hit(kFutimens) ?: S::Futimens(d, t); }
  int Lchown(const char* p, uid_t u, gid_t g) override {
    return Hit(kLchown) ?: S::Lchown(p, u, g);
  }
  int Lutimens(const char* p, const timespec t[2]) override {
    return Hit(kLutimens) ?: S::Lutimens(p, t);
  }
  // clang-format on

 private:
  // -1 (errno EIO) when this call is the one to fail, else 0 to make the real call.
  int Hit(Call call) {
    if (++calls[call] != m_nth || call != m_failing)
      return 0;
    errno = EIO;
    return -1;
  }
  Call m_failing;
  int m_nth;
};

// Every entry below a folder: type, mode, owner, time and link target, or content for files.
std::map<std::string, std::string> Listing(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    std::ostringstream line;
    line << std::oct << st.st_mode << std::dec << " " << st.st_uid << ":" << st.st_gid << " "
         << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
    if (S_ISLNK(st.st_mode))
      line << " -> " << fs::read_symlink(it->path()).native();
    else if (S_ISREG(st.st_mode))
      line << " " << tooltest::ReadFile(it->path());
    entries[it->path().lexically_relative(root).native()] = line.str();
  }
  return entries;
}

class RestoreFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_userUmask = ::umask(077);  // as orvcopy runs
    s_dir = new tooltest::TempDir;
    const fs::path src = s_dir->Path() / "src";
    fs::create_directories(src / "docs/ro");
    tooltest::WriteFile(src / "docs/a.txt", "first file");
    tooltest::WriteFile(src / "docs/ro/b.txt", "in a read-only folder");
    tooltest::WriteFile(src / "private.key", "secret");
    ::chmod((src / "docs/ro").c_str(), 0555);
    ::link((src / "docs/a.txt").c_str(), (src / "hard").c_str());
    ::symlink("docs/a.txt", (src / "link").c_str());
    ::mkfifo((src / "pipe").c_str(), 0640);
    if (::geteuid() == 0)
      ::chown((src / "private.key").c_str(), 1234, 2345);
    orvcopy::Options options = Quiet();
    options.source = src;
    options.backup = s_dir->Path() / "backup";
    ASSERT_EQ(orvcopy::Backup(options), 0);
  }
  static void TearDownTestSuite() {
    ::chmod((s_dir->Path() / "src/docs/ro").c_str(), 0755);
    delete s_dir;
    ::umask(s_userUmask);
  }
  static orvcopy::Options Quiet() {
    orvcopy::Options options;
    options.quiet = true;
    options.userUmask = s_userUmask;
    return options;
  }

  // Restores into a new target below a folder of its own; the exit code and stderr's lines.
  std::pair<int, std::string> RestoreInto(const std::string& name, orvcopy::SystemCalls& calls) {
    fs::create_directories(s_dir->Path() / name);
    orvcopy::Options options = Quiet();
    options.backup = s_dir->Path() / "backup";
    options.target = s_dir->Path() / name / "target";
    const fs::path errors = s_dir->Path() / name / "stderr";
    std::fflush(stderr);
    const int saved = ::dup(2);
    std::FILE* file = std::fopen(errors.c_str(), "w");
    ::dup2(::fileno(file), 2);
    const int code = orvcopy::Restore(options, calls);
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::fclose(file);
    return {code, tooltest::ReadFile(errors)};
  }

  static inline tooltest::TempDir* s_dir = nullptr;
  static inline mode_t s_userUmask = 022;
};

TEST_F(RestoreFaults, EveryFailingCallIsReportedAndHarmsNothingElse) {
  FailingCalls dry;
  ASSERT_EQ(RestoreInto("dry", dry).first, 0);
  const auto source = Listing(s_dir->Path() / "src");
  ASSERT_EQ(Listing(s_dir->Path() / "dry/target"), source);
  int runs = 0;
  for (int call = 0; call < kCalls; ++call) {
    for (int nth = 1; nth <= dry.calls[call]; ++nth, ++runs) {
      const std::string name = std::string(kCallNames[call]) + std::to_string(nth);
      FailingCalls faulty(static_cast<Call>(call), nth);
      const auto [code, errors] = RestoreInto(name, faulty);
      EXPECT_EQ(code, 1) << name << "\n" << errors;
      // The entries named as failed; every other one is as it was.
      std::set<std::string> failed;
      std::istringstream lines(errors);
      for (std::string line; std::getline(lines, line);) {
        if (line.rfind("failed: ", 0) == 0)
          failed.insert(line.substr(8, line.find(": ", 8) - 8));
      }
      EXPECT_FALSE(failed.empty()) << name << "\n" << errors;
      const fs::path target = s_dir->Path() / name / "target";
      const auto restored = Listing(target);
      for (const auto& [path, entry] : source) {
        if (failed.count(path) || failed.count(target.native()))
          continue;
        EXPECT_EQ(restored.count(path) ? restored.at(path) : "missing", entry)
            << name << " " << path;
      }
      // Under its real name a file is whole or absent; anything else is a named file's partial.
      for (const auto& [path, entry] : restored) {
        if (source.count(path) && fs::is_regular_file(s_dir->Path() / "src" / path) &&
            fs::is_regular_file(target / path)) {
          EXPECT_EQ(tooltest::ReadFile(target / path),
                    tooltest::ReadFile(s_dir->Path() / "src" / path))
              << name << " " << path;
        }
        const bool partial = path.size() > 8 && path.ends_with(".partial") &&
                             failed.count(path.substr(0, path.size() - 8));
        EXPECT_TRUE(source.count(path) || partial) << name << " left " << path;
      }
      // Nothing beside the target.
      EXPECT_EQ(std::distance(fs::directory_iterator(s_dir->Path() / name), {}), 2) << name;
      ::chmod((target / "docs/ro").c_str(), 0755);  // so that the folder can be removed
    }
  }
  EXPECT_GT(runs, 40);
}

}  // namespace
