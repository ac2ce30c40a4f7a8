// Several managers at once, one per thread. They share the process-wide log object and the
// encryption engine's key cache, and nothing else; run under ThreadSanitizer by the tsan preset.
#include "support/RecordingHost.h"
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

namespace {

constexpr int kThreads = 4;

// Backs up and restores one thread's files: a plain one, an encrypted one (the same password
// on every thread, so the key cache is shared) and a missing one (a log record). Returns what
// went wrong, or nothing.
std::string RoundTrip(const orvtest::TempDir& dir, int thread) {
  const std::string root = "t" + std::to_string(thread) + "/";
  const std::string plain = orvtest::RandomText(50000, thread), secret = orvtest::RandomText(30000);
  orvtest::RecordingHost host;
  orvtest::TestManager backup, restore;
  for (orvtest::TestManager* m : {&backup, &restore}) {
    m->SetCallBack(&host);
    m->SetBufferCapacity(4096, 0);
    m->m_strPassword = L"shared password";
    m->m_nEncryptionType = 2;
    m->m_nAESLength = 32;
    m->m_bPipelinedCopy = thread % 2;  // half of them write on a second thread of their own
  }
  backup.SetDestRootFolder(dir.W(root + "backup").c_str());
  backup.AddItem(dir.WriteFile(root + "src/plain", plain).c_str(), L"", L"plain", 1, 0, 1,
                 plain.size(), 0, 1, 0, nullptr);
  backup.AddItem(dir.WriteFile(root + "src/secret", secret).c_str(), L"", L"secret", 2, 1, 1,
                 secret.size(), 0, 1, 0, nullptr);
  backup.AddItem(dir.W(root + "src/missing").c_str(), L"", L"missing", 3, 0, 1, 0, 0, 1, 0,
                 nullptr);
  if (backup.Copy(0) != 62 || host.Count("failed 3") != 1)
    return "the backup did not fail the missing file alone";
  restore.SetSourceRootFolder(dir.W(root + "backup").c_str());
  restore.SetDestRootFolder(dir.W(root + "restored").c_str());
  restore.AddItem(L"plain", L"", L"plain", 1, 0, 1, plain.size(), 0, 1, 0, nullptr);
  restore.AddItem(L"secret", L"", L"secret", 2, 1, 1, secret.size(), 0, 1, 0, nullptr);
  restore.InitAction();
  if (restore.Restore(0, 0) != 0)
    return "the restore failed";
  if (orvtest::ReadFile(dir.Path() / root / "restored/plain") != plain ||
      orvtest::ReadFile(dir.Path() / root / "restored/secret") != secret)
    return "the restored files differ";
  return {};
}

TEST(Concurrency, ManagersOnSeveralThreadsWorkApartAndShareTheLog) {
  orvtest::TempDir dir;
  std::mutex mutex;
  size_t records = 0;
  const LOGGER::COrvLogSink previous =
      LOGGER::g_OrvLog.SetSink([&](const LOGGER::COrvLogEntry& entry) {
        const std::lock_guard<std::mutex> lock(mutex);
        records += entry.eKind == LOGGER::COrvLogEntry::Kind::Record ? 1 : 0;
      });
  std::vector<std::string> problems(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] { problems[t] = RoundTrip(dir, t); });
  for (std::thread& thread : threads)
    thread.join();
  LOGGER::g_OrvLog.SetSink(previous);
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(problems[t], "") << "thread " << t;
  EXPECT_EQ(records, size_t{kThreads});  // each missing file's "Failed to open source file"
}

}  // namespace
