// The fault sweep: a mixed backup (plain, encrypted, split, streamed, folders, empty), a
// compressed backup, a restore and a removal, each run once per platform call it makes and per
// failure kind, with exactly that call failing.
//
// The call sites come from a dry run that counts every platform call, so a new call site is
// swept without anyone listing it. Every run must end without a crash, with every descriptor
// it opened closed again, its inputs untouched, and each item either intact or reported: a
// fault that changed an item's output must leave a trace (OnItemFailed, a log entry, a
// nonzero status or an exception) and must not spread to the items it did not meet.
#include <OrvCopy/external/OrvFramework.h>
#include <orv_platform/fault_injection_test_helper.h>
#include <orv_platform/utf.h>

#include "support/RecordingHost.h"
#include "support/StoredItem.h"
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#if defined(ORVCOPY_HAS_ZIP_ENGINE)
#include <zip.h>
#endif

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>

namespace fault = orv::platform::fault;
namespace fs = std::filesystem;
using orv::platform::NativeToWide;
using orv::platform::WideToUtf8Lossy;

namespace {

constexpr uint32_t kCapacity = 4096;
constexpr uint64_t kVolume = 16384;
constexpr wchar_t kPassword[] = L"sweep password";
constexpr std::array<int, 4> kKinds = {ENOSPC, EIO, EACCES, ENOENT};

struct Item {
  std::string name;  // path below the source, backup and restore roots
  uint64_t key;
  std::string content;
  bool folder = false;
  bool stream = false;  // handed over by the host instead of read from a file
  bool encrypted = false;
};

std::vector<Item> MixedItems() {
  return {{"plain.bin", 1, orvtest::RandomText(10000, 1)},
          {"enc.bin", 2, orvtest::RandomText(9000, 2), false, false, true},
          {"stream.bin", 3, orvtest::RandomText(7000, 3), false, true},
          {"dir", 4, "", true},
          {"dir/inner.txt", 5, std::string(5000, 'i')},
          {"empty", 6, ""}};
}

#if defined(ORVCOPY_HAS_ZIP_ENGINE)
std::vector<Item> CompressedItems() {
  return {{"a.txt", 1, std::string(12000, 'a') + orvtest::RandomText(300, 4)},
          {"docs/secret.doc", 2, orvtest::RandomText(6000, 5), false, false, true},
          {"stream.log", 3, std::string(8000, 's'), false, true},
          {"none", 4, ""}};
}
#endif

// The host of a sweep run. Its call list doubles as the run's timeline: log entries are added
// to it as they are written, and "fault" marks where the injected failure happened (before
// the first event that follows it).
class SweepHost : public orvtest::RecordingHost {
 public:
  void Mark() {
    if (!m_marked && fault::Fired() > 0) {
      calls.push_back("fault");
      m_marked = true;
    }
  }
  void OnItemBegin(uint64_t key) override {
    Mark();
    RecordingHost::OnItemBegin(key);
  }
  void OnItemEnd(uint64_t key, uint32_t crc, int volume) override {
    Mark();
    RecordingHost::OnItemEnd(key, crc, volume);
  }
  void OnItemFailed(uint64_t key, int code) override {
    Mark();
    RecordingHost::OnItemFailed(key, code);
  }
  void OnItemRemoved(uint64_t key, int code) override {
    Mark();
    RecordingHost::OnItemRemoved(key, code);
  }
  void OnProgress() override { Mark(); }
  int OnPrompt(int kind, uint64_t value, const wchar_t* text) override {
    Mark();
    RecordingHost::OnPrompt(kind, value, text);
    return kind == 1 && value == retryError ? 1 : 0;  // a read error of this kind is retried
  }
  int CloseItemData(uint64_t key, int mode) override {
    Mark();
    return RecordingHost::CloseItemData(key, mode);
  }

  uint64_t retryError = 0;

 private:
  bool m_marked = false;
};

// Writes the library's log into the host's timeline while it lives.
class TimelineLog {
 public:
  explicit TimelineLog(SweepHost& host) {
    m_previous = LOGGER::g_OrvLog.SetSink([&host](const LOGGER::COrvLogEntry& e) {
      host.Mark();
      if (e.eKind == LOGGER::COrvLogEntry::Kind::Record) {
        host.calls.push_back("log " + std::to_string(e.nLine) + " " + WideToUtf8Lossy(e.strText));
      } else if (e.eKind == LOGGER::COrvLogEntry::Kind::Detail) {
        host.calls.push_back("detail " + WideToUtf8Lossy(e.strText));
      }
    });
  }
  ~TimelineLog() { LOGGER::g_OrvLog.SetSink(std::move(m_previous)); }
  TimelineLog(const TimelineLog&) = delete;
  TimelineLog& operator=(const TimelineLog&) = delete;

 private:
  LOGGER::COrvLogSink m_previous;
};

struct RunOutcome {
  int status = 0;
  bool threw = false;
};

// Every regular file below `root`, by relative path.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root))
    return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), root).generic_string()] = orvtest::ReadFile(entry.path());
  }
  return files;
}

// Whether a stored file (an item's copy or one of its numbered parts) belongs to the item.
bool BelongsTo(const std::string& file, const Item& item) {
  return file == item.name || file.rfind(item.name + ".", 0) == 0;
}

void WriteSources(const orvtest::TempDir& dir, const std::vector<Item>& items) {
  for (const Item& item : items) {
    if (item.folder)
      fs::create_directories(dir.Path() / "src" / item.name);
    else if (!item.stream)
      dir.WriteFile("src/" + item.name, item.content);
  }
}

void AddBackupItems(orvtest::TestManager& m, const orvtest::TempDir& dir, SweepHost& host,
                    const std::vector<Item>& items) {
  for (const Item& item : items) {
    const fs::path rel(item.name);
    const std::wstring folder =
        orvtest::Wide(item.folder ? fs::path(item.name) : rel.parent_path());
    const std::wstring name = item.folder ? L"" : orvtest::Wide(rel.filename());
    const std::wstring source = item.stream ? L"" : dir.W("src/" + item.name);
    if (item.stream)
      host.streams[item.key] = item.content;
    m.AddItem(source.c_str(), folder.c_str(), name.c_str(), item.key, item.encrypted ? 1 : 0, 1,
              item.content.size(), 0, item.stream ? 0 : 1, item.folder ? 1 : 0, nullptr);
  }
}

void UsePassword(orvtest::TestManager& m) {
  m.m_strPassword = kPassword;
  m.m_nEncryptionType = 2;
  m.m_nAESLength = 32;
}

using Arm = std::function<void()>;

// Counts calls from here on and arms the faults: what the test did before (reading the stored
// files, say) stays out of their reach and is not counted.
void StartFaults(const Arm& arm) {
  fault::Reset();
  arm();
}

RunOutcome Guarded(const std::function<int()>& action) {
  RunOutcome outcome;
  try {
    outcome.status = action();
  } catch (const std::exception&) {  // framework exceptions reach the host by design
    outcome.threw = true;
  }
  return outcome;
}

RunOutcome BackUpMixed(const orvtest::TempDir& dir, SweepHost& host, const Arm& arm,
                       bool overlapped) {
  orvtest::TestManager m;
  m.m_bPipelinedCopy = overlapped ? 1 : 0;
  m.SetCallBack(&host);
  m.SetDestRootFolder(dir.W("backup").c_str());
  m.SetBufferCapacity(kCapacity, 0);
  m.AddSplitSize(kVolume);
  UsePassword(m);
  StartFaults(arm);
  AddBackupItems(m, dir, host, MixedItems());
  return Guarded([&] { return m.Copy(0); });
}

// A scenario: inputs made before the faults are armed, the run under the faults, and, per
// item key, whether the item came out right.
struct Scenario {
  std::string name;
  std::vector<Item> items;
  std::function<void(const orvtest::TempDir&)> prepare;
  std::function<RunOutcome(const orvtest::TempDir&, SweepHost&, const Arm&)> run;
  std::function<bool(const orvtest::TempDir&, const SweepHost&, const Item&)> intact;
  // Files the run must not change, below the test folder: the sources, or the backup restored.
  std::string untouched;
  // Output files that belong to no item: a stray temporary file, for instance.
  std::function<std::vector<std::string>(const orvtest::TempDir&)> strays;
};

// The stored parts of each file item, in order.
std::vector<std::string> PartsOf(const std::map<std::string, std::string>& stored,
                                 const Item& item) {
  std::vector<std::string> parts;
  for (int p = 0;; ++p) {
    char suffix[16] = "";
    if (p > 0)
      std::snprintf(suffix, sizeof suffix, ".%03d", p);
    const std::string name = item.name + suffix;
    if (!stored.count(name))
      return parts;
    parts.push_back(name);
  }
}

// Files below `root` that belong to no item: a stray temporary file, a part of nothing.
std::vector<std::string> StraysBelow(
    const fs::path& root, const std::vector<Item>& items,
    const std::function<bool(const std::string&, const Item&)>& belongs) {
  std::vector<std::string> strays;
  for (const auto& [file, bytes] : Tree(root)) {
    if (std::none_of(items.begin(), items.end(), [&](const Item& i) { return belongs(file, i); }))
      strays.push_back(file);
  }
  return strays;
}

// --- The mixed backup -------------------------------------------------------------------

Scenario MixedBackup(bool overlapped) {
  Scenario s;
  s.name = overlapped ? "mixed backup, overlapped" : "mixed backup";
  s.items = MixedItems();
  s.untouched = "src";
  s.prepare = [items = s.items](const orvtest::TempDir& dir) { WriteSources(dir, items); };
  s.run = [overlapped](const orvtest::TempDir& dir, SweepHost& host, const Arm& arm) {
    return BackUpMixed(dir, host, arm, overlapped);
  };
  // Where the volumes end depends on what came before, so an item is judged by what its
  // parts hold together, not by where they were cut.
  s.intact = [](const orvtest::TempDir& dir, const SweepHost&, const Item& item) {
    const fs::path root = dir.Path() / "backup";
    if (item.folder)
      return fs::is_directory(root / item.name);
    std::vector<fs::path> parts;
    for (const std::string& part : PartsOf(Tree(root), item))
      parts.push_back(root / part);
    return !parts.empty() && orvtest::Reassemble(parts, item.encrypted, kPassword, kCapacity,
                                                 item.content.size()) == item.content;
  };
  s.strays = [items = s.items](const orvtest::TempDir& dir) {
    return StraysBelow(dir.Path() / "backup", items, [](const std::string& file, const Item& i) {
      return !i.folder && BelongsTo(file, i);
    });
  };
  return s;
}

#if defined(ORVCOPY_HAS_ZIP_ENGINE)
// --- The compressed backup --------------------------------------------------------------

// The first entry of a ZIP archive, or nothing when it cannot be read.
std::optional<std::string> ZipEntry(const fs::path& archive, const char* password) {
  zip_t* za = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
  if (za == nullptr)
    return std::nullopt;
  std::optional<std::string> content;
  zip_stat_t st;
  if (zip_get_num_entries(za, 0) == 1 && zip_stat_index(za, 0, 0, &st) == 0) {
    zip_file_t* f = zip_fopen_index_encrypted(za, 0, 0, password);
    if (f != nullptr) {
      std::string bytes(st.size, '\0');
      if (zip_fread(f, bytes.data(), bytes.size()) == static_cast<zip_int64_t>(bytes.size()))
        content = std::move(bytes);
      zip_fclose(f);
    }
  }
  zip_discard(za);
  return content;
}

Scenario CompressedBackup() {
  Scenario s;
  s.name = "compressed backup";
  s.items = CompressedItems();
  s.untouched = "src";
  s.prepare = [items = s.items](const orvtest::TempDir& dir) { WriteSources(dir, items); };
  s.run = [items = s.items](const orvtest::TempDir& dir, SweepHost& host, const Arm& arm) {
    orvtest::TestManager m;
    m.SetCallBack(&host);
    m.SetDestRootFolder(dir.W("backup").c_str());
    m.m_bCompress = 1;
    UsePassword(m);
    StartFaults(arm);
    AddBackupItems(m, dir, host, items);
    return Guarded([&] { return m.Copy(0); });
  };
  s.intact = [](const orvtest::TempDir& dir, const SweepHost&, const Item& item) {
    const auto entry =
        ZipEntry(dir.Path() / "backup" / item.name, item.encrypted ? "sweep password" : nullptr);
    return entry && *entry == item.content;
  };
  s.strays = [items = s.items](const orvtest::TempDir& dir) {
    return StraysBelow(dir.Path() / "backup", items,
                       [](const std::string& file, const Item& i) { return file == i.name; });
  };
  return s;
}

#endif

// --- The restore ------------------------------------------------------------------------

// Makes the backup the restore and the removal start from, with no fault armed.
void PrepareBackup(const orvtest::TempDir& dir) {
  WriteSources(dir, MixedItems());
  SweepHost host;
  const RunOutcome outcome = BackUpMixed(
      dir, host, [] {}, false);
  ASSERT_EQ(outcome.status, 0);
  ASSERT_FALSE(outcome.threw);
}

Scenario Restore(bool overlapped) {
  Scenario s;
  s.name = overlapped ? "restore, overlapped" : "restore";
  s.items = MixedItems();
  s.untouched = "backup";
  s.prepare = PrepareBackup;
  s.run = [items = s.items, overlapped](const orvtest::TempDir& dir, SweepHost& host,
                                        const Arm& arm) {
    const auto stored = Tree(dir.Path() / "backup");
    StartFaults(arm);
    orvtest::TestManager m;
    m.m_bPipelinedCopy = overlapped ? 1 : 0;
    m.SetCallBack(&host);
    m.SetSourceRootFolder(dir.W("backup").c_str());
    m.SetDestRootFolder(dir.W("restored").c_str());
    m.SetBufferCapacity(kCapacity, 0);
    UsePassword(m);
    for (const Item& item : items) {
      const fs::path rel(item.name);
      if (item.folder) {
        m.AddItem(orvtest::Wide(item.name).c_str(), orvtest::Wide(item.name).c_str(), L"", item.key,
                  0, 1, 0, 0, 1, 1, nullptr);
        continue;
      }
      // Later parts are plain; an encrypted first part holds what they do not.
      const auto parts = PartsOf(stored, item);
      uint64_t later = 0;
      for (size_t p = 1; p < parts.size(); ++p)
        later += stored.at(parts[p]).size();
      for (size_t p = 0; p < parts.size(); ++p) {
        uint32_t flags = 0;
        if (p > 0)
          flags |= OrvCopy::ArchiveItemFlagAppend;
        if (p + 1 < parts.size())
          flags |= OrvCopy::ArchiveItemFlagMoreParts;
        uint64_t size = stored.at(parts[p]).size();
        if (p == 0 && item.encrypted)
          size = item.content.size() - later;
        m.AddItem(orvtest::Wide(parts[p]).c_str(), orvtest::Wide(rel.parent_path()).c_str(),
                  orvtest::Wide(rel.filename()).c_str(), item.key, item.encrypted ? 1 : 0, 1, size,
                  flags, item.stream ? 0 : 1, 0, nullptr);
      }
    }
    m.InitAction();
    return Guarded([&] { return m.Restore(0, 0); });
  };
  s.intact = [](const orvtest::TempDir& dir, const SweepHost& host, const Item& item) {
    const fs::path path = dir.Path() / "restored" / item.name;
    if (item.folder)
      return fs::is_directory(path);
    if (item.stream)
      return host.written.count(item.key) ? host.written.at(item.key) == item.content
                                          : item.content.empty();
    return fs::is_regular_file(path) && orvtest::ReadFile(path) == item.content;
  };
  s.strays = [items = s.items](const orvtest::TempDir& dir) {
    return StraysBelow(dir.Path() / "restored", items, [](const std::string& file, const Item& i) {
      return !i.stream && file == i.name;
    });
  };
  return s;
}

// --- The removal ------------------------------------------------------------------------

Scenario Removal() {
  Scenario s;
  s.name = "removal";
  s.items = MixedItems();
  s.prepare = PrepareBackup;
  s.run = [items = s.items](const orvtest::TempDir& dir, SweepHost& host, const Arm& arm) {
    const auto stored = Tree(dir.Path() / "backup");
    StartFaults(arm);
    orvtest::TestManager m;
    m.SetCallBack(&host);
    m.SetSourceRootFolder(dir.W("backup").c_str());
    // Files first, so that their folder is empty when its turn comes.
    for (const Item& item : items) {
      for (const std::string& part :
           item.folder ? std::vector<std::string>{} : PartsOf(stored, item)) {
        m.AddItem(orvtest::Wide(part).c_str(), L"", L"", item.key, 0, 1, 0, 0, 1, 0, nullptr);
      }
    }
    for (const Item& item : items) {
      if (item.folder)
        m.AddItem(orvtest::Wide(item.name).c_str(), L"", L"", item.key, 0, 1, 0, 0, 1, 1, nullptr);
    }
    return Guarded([&] { return m.Remove(); });
  };
  s.intact = [](const orvtest::TempDir& dir, const SweepHost&, const Item& item) {
    const fs::path path = dir.Path() / "backup" / item.name;
    if (item.folder)
      return !fs::exists(path);
    for (const auto& [file, bytes] : Tree(dir.Path() / "backup")) {
      if (BelongsTo(file, item))
        return false;
    }
    return true;
  };
  s.strays = [](const orvtest::TempDir&) { return std::vector<std::string>{}; };
  return s;
}

// --- The sweep --------------------------------------------------------------------------

using CallCounts = std::array<uint64_t, static_cast<size_t>(fault::Op::kCount)>;

struct RunReport {
  std::vector<std::string> problems;
  CallCounts calls{};
  bool fired = false;
  bool hurt = false;  // some item did not come out intact
};

// Runs the scenario once with the faults `arm` sets; reports what is wrong with the run.
RunReport RunOnce(const Scenario& s, const std::function<void()>& arm) {
  orvtest::TempDir dir;
  s.prepare(dir);
  SweepHost host;
  host.retryError = 5;  // ERROR_ACCESS_DENIED: the host retries reads refused that way
  RunReport report;
  auto& problems = report.problems;
  const auto inputs =
      s.untouched.empty() ? std::map<std::string, std::string>{} : Tree(dir.Path() / s.untouched);
  const int descriptors = orvtest::OpenDescriptorCount();
  RunOutcome outcome;
  {
    TimelineLog timeline(host);
    outcome = s.run(dir, host, arm);  // the scenario starts the faults (StartFaults)
    report.fired = fault::Fired() > 0;
    for (size_t op = 0; op < report.calls.size(); ++op)
      report.calls[op] = fault::Calls(static_cast<fault::Op>(op));
    fault::Reset();
  }
  if (orvtest::OpenDescriptorCount() != descriptors)
    problems.push_back("descriptors left open");
  if (!s.untouched.empty() && Tree(dir.Path() / s.untouched) != inputs)
    problems.push_back("the run changed " + s.untouched);

  const auto afterFault = std::find(host.calls.begin(), host.calls.end(), "fault");
  const bool traced =
      outcome.status != 0 || outcome.threw ||
      std::any_of(afterFault, host.calls.end(), [](const std::string& c) {
        return c.rfind("failed ", 0) == 0 || c.rfind("log ", 0) == 0 || c.rfind("detail ", 0) == 0;
      });
  const bool stopped = outcome.threw || outcome.status == OrvCopy::StatusStopped ||
                       outcome.status == OrvCopy::StatusCompressionFailed;
  std::vector<const Item*> hurt;
  for (const Item& item : s.items) {
    if (!s.intact(dir, host, item))
      hurt.push_back(&item);
  }
  report.hurt = !hurt.empty();
  std::string names;
  for (const Item* item : hurt)
    names += " " + item->name;
  if (!hurt.empty() && !report.fired)
    problems.push_back("items damaged without a fault:" + names);
  if (!hurt.empty() && !traced)
    problems.push_back("items damaged and nothing reported:" + names);
  // One failed call hurts one item. Another item may suffer from it only when it is reported
  // by name (a folder that cannot go because its file stayed); a run that stops leaves the
  // later items undone, but must not report them as done.
  size_t unnamed = 0, claimedDone = 0;
  for (const Item* item : hurt) {
    const std::string key = " " + std::to_string(item->key);
    const std::string path = fs::path("/" + item->name).make_preferred().string();
    const bool named = std::any_of(afterFault, host.calls.end(), [&](const std::string& c) {
      return c == "failed" + key ||
             (c.rfind("detail ", 0) == 0 && c.find(path) != std::string::npos);
    });
    unnamed += named ? 0 : 1;
    if (std::any_of(afterFault, host.calls.end(),
                    [&](const std::string& c) { return c.rfind("end" + key + " ", 0) == 0; }))
      ++claimedDone;
  }
  if (unnamed > 1 && (!stopped || claimedDone > 1))
    problems.push_back("one fault hurt several items:" + names);
  for (const std::string& stray : s.strays(dir))
    problems.push_back("stray file " + stray);
  if (!problems.empty()) {
    std::string timelineText;
    for (const auto& c : host.calls) {
      if (c != "progress")
        timelineText += "\n    " + c;
    }
    problems.push_back("status " + std::to_string(outcome.status) +
                       (outcome.threw ? " (exception)" : "") + ", timeline:" + timelineText);
  }
  return report;
}

// Sweeps every call site the dry run counts with every failure kind; fails the test for every
// run that breaks a rule, and prints the counts.
void Sweep(const Scenario& s) {
  const RunReport dry = RunOnce(s, [] {});
  ASSERT_TRUE(dry.problems.empty()) << s.name << " dry run: " << dry.problems.back();
  ASSERT_FALSE(dry.hurt) << s.name << " dry run damaged items";

  uint64_t sites = 0, runs = 0, passed = 0, tolerated = 0;
  for (size_t op = 0; op < dry.calls.size(); ++op) {
    sites += dry.calls[op];
    for (uint64_t nth = 1; nth <= dry.calls[op]; ++nth) {
      for (int kind : kKinds) {
        const RunReport r =
            RunOnce(s, [&] { fault::FailNth(static_cast<fault::Op>(op), nth, kind); });
        ++runs;
        EXPECT_TRUE(r.fired) << s.name << ": " << fault::Name(static_cast<fault::Op>(op))
                             << " call " << nth << " was not made";
        if (r.problems.empty()) {
          ++passed;
          tolerated += r.hurt ? 0 : 1;
        }
        for (const std::string& problem : r.problems) {
          ADD_FAILURE() << s.name << ": " << fault::Name(static_cast<fault::Op>(op)) << " call "
                        << nth << " failing with " << std::strerror(kind) << ": " << problem;
        }
      }
    }
  }
  std::printf(
      "fault sweep, %s: %llu call sites x %zu kinds = %llu runs, %llu passed "
      "(%llu with every item intact)\n",
      s.name.c_str(), static_cast<unsigned long long>(sites), kKinds.size(),
      static_cast<unsigned long long>(runs), static_cast<unsigned long long>(passed),
      static_cast<unsigned long long>(tolerated));
  EXPECT_EQ(runs, sites * kKinds.size());
  EXPECT_EQ(passed, runs);
}

// The backup and the restore are swept on both copy paths: the calling thread alone, and
// with the writes overlapped on a second thread.
TEST(FaultSweep, MixedBackup) {
  Sweep(MixedBackup(false));
}

TEST(FaultSweep, MixedBackupOverlapped) {
  Sweep(MixedBackup(true));
}

#if defined(ORVCOPY_HAS_ZIP_ENGINE)  // archives need libzip (a Windows build may have none)
TEST(FaultSweep, CompressedBackup) {
  Sweep(CompressedBackup());
}
#endif

TEST(FaultSweep, Restore) {
  Sweep(Restore(false));
}

TEST(FaultSweep, RestoreOverlapped) {
  Sweep(Restore(true));
}

TEST(FaultSweep, Removal) {
  Sweep(Removal());
}

}  // namespace
