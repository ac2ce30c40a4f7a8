// What the commands share: output, the log file, passwords and the engine's keys.
#pragma once

#include "Commands.h"

#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/orv_encryption.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvcopy {

// Names why the command cannot go on ("orvcopy: MESSAGE" on stderr) and returns `code`.
int Refuse(int code, const std::string& message);

// A line on stderr, unless --quiet.
void Say(const Options& options, const std::string& line);
// The line that names a failed entry and why: "failed: NAME: REASON".
void ReportFailure(const std::string& path, const std::string& reason);
// Makes a folder that orvcopy owns (a backup folder, a restore's target) and its missing
// parents: the parents as the user's own mask makes them, the folder itself private (0700).
// False, with `error` set, when it is no folder afterwards.
bool MakePrivateFolder(std::filesystem::path folder, unsigned userUmask, std::error_code& error);

// The most files one run of the library takes: backups and restores give it their files a
// batch at a time, as a list of every file of a large tree would cost it more memory than the
// rest of the command. ORVCOPY_ITEMS_PER_RUN sets another number (the tests make it small).
size_t ItemsPerRun();

// Hands out the positions 0 to count - 1 in order, a chunk at a time, to the lanes that ask
// for more: a lane busy with a large file takes fewer, and each lane's positions increase.
class Chunks {
 public:
  Chunks(size_t count, size_t lanes)
      : m_count(count),
        m_size(std::clamp<size_t>(count / (8 * std::max<size_t>(lanes, 1)), 1, 64)) {}
  // The next chunk, from `first` to before `end`; empty once all are handed out.
  struct Range {
    size_t first, end;
  };
  Range Next() {
    const size_t first = std::min(m_next.fetch_add(m_size), m_count);
    return {first, std::min(first + m_size, m_count)};
  }

 private:
  const size_t m_count, m_size;
  std::atomic<size_t> m_next{0};
};

// Runs work(0) to work(count - 1) at once: the first on the calling thread, each other on a
// thread of its own (or after the first, when no thread can be started). Returns when all
// are done, rethrowing the first exception one of them let out.
void RunAtOnce(size_t count, const std::function<void(size_t)>& work);

// A path as it is printed: escaped.
std::string Show(const std::filesystem::path& path);
// True when `inner` is `outer` or lies below it, links resolved.
bool Inside(const std::filesystem::path& inner, const std::filesystem::path& outer);

// Hands the library's log to the living host and, with --log, writes it into the file:
// records with severity and line, details indented.
class LogFile {
 public:
  explicit LogFile(const std::string& path);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

 private:
  std::shared_ptr<std::ofstream> m_out;
};

// The password from the options' source; nothing (after a message) when there is none.
std::optional<std::string> AskPassword(const Options& options, bool confirm);

// The job's password and key length on a manager.
void ApplyPassword(OrvCopy::COrvCopyManager& manager, const std::string& password, int bits);
// An engine of its own for the password, key length and salt of a backup.
void ConfigureEngine(orv::CEncryption& engine, const std::string& password, int bits,
                     const std::string& salt);

// Runs a reentrant lookup of the user or group database (getpwuid_r and its kin), growing its
// buffer as the system asks, and gives what `take` makes of the entry found; nothing when there
// is none.
template <typename Entry, typename Key, typename Lookup, typename Take>
auto LookUpAccount(Key key, Lookup lookup, Take take)
    -> std::optional<decltype(take(std::declval<const Entry&>()))> {
  Entry entry{};
  Entry* found = nullptr;
  std::vector<char> buffer(1024);
  while (lookup(key, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr)
    return std::nullopt;
  return take(*found);
}

// What `map` keeps for `key`, made by `make` the first time it is asked for.
template <typename Map, typename Key, typename Make>
const typename Map::mapped_type& Remembered(Map& map, const Key& key, Make make) {
  auto it = map.find(key);
  if (it == map.end())
    it = map.emplace(key, make()).first;
  return it->second;
}

// Bytes from the system's random source; false when it fails.
bool RandomBytes(size_t count, std::string& bytes);

}  // namespace orvcopy
