#include "Rclone.h"
#include "Host.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <thread>

extern char** environ;

namespace orvcopy {
namespace {

constexpr size_t kErrorsKept = 4096;  // the end of stderr: rclone's last lines say what failed

// rclone's documented exit codes.
const char* Meaning(int code) {
  switch (code) {
    case 1:
      return "rclone stopped with an error";
    case 2:
      return "rclone failed";
    case 3:
      return "the folder was not found on the remote";
    case 4:
      return "a file was not found on the remote";
    case 5:
      return "the remote failed for now (a temporary error: retrying later may work)";
    case 6:
      return "some files could not be transferred";
    case 7:
      return "the remote refused for good (a fatal error: check the remote's configuration, "
             "credentials and space)";
    case 8:
      return "rclone reached its transfer limit";
    case 9:
      return "rclone transferred no files";
    default:
      return "rclone failed";
  }
}

// A pipe from the child: it writes, this process reads.
struct Pipe {
  int read = -1, write = -1;
  bool Open() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
      return false;
    read = ends[0];
    write = ends[1];
    return true;
  }
  void Close() {
    for (int* fd : {&read, &write}) {
      if (*fd >= 0)
        ::close(*fd);
      *fd = -1;
    }
  }
};

// Waits for the child, first ending it when it ran out of time.
int Reap(pid_t child, bool timedOut) {
  int status = 0;
  if (timedOut) {
    ::kill(child, SIGTERM);
    for (int i = 0; i < 50; ++i) {  // five seconds to end by itself
      if (::waitpid(child, &status, WNOHANG) == child)
        return status;
      ::usleep(100000);
    }
    ::kill(child, SIGKILL);
  }
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// The last line of rclone's stderr that is not a note at the INFO or DEBUG level.
std::string LastWords(std::string_view errors) {
  while (!errors.empty()) {
    while (!errors.empty() && (errors.back() == '\n' || errors.back() == '\r'))
      errors.remove_suffix(1);
    const size_t start = errors.rfind('\n') + 1;  // 0 when there is no other line
    const std::string_view line = errors.substr(start);
    if (line.find(" INFO  : ") == std::string_view::npos &&
        line.find(" DEBUG : ") == std::string_view::npos)
      return std::string(line);
    errors.remove_suffix(line.size());
  }
  return {};
}

}  // namespace

std::optional<std::string> RemoteOf(const std::string& location) {
  constexpr std::string_view prefix = "rclone:";
  if (location.compare(0, prefix.size(), prefix) != 0)
    return std::nullopt;
  const std::string remote = location.substr(prefix.size());
  const size_t colon = remote.find(':');
  if (colon == 0 || colon == std::string::npos)
    return std::nullopt;
  return remote;
}

std::string Rclone::DefaultProgram() {
  const char* given = std::getenv("ORVCOPY_RCLONE");
  return given && *given ? given : "rclone";
}

Rclone::Rclone(std::string program) : m_program(std::move(program)) {}

namespace {

// Starts `program` with `arguments`, its stdout and stderr into `out` and `err`, its stdin from
// `in` (or empty when `in` is not open); the child's ends are closed here. 0 when it could not
// be started.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, Pipe& in,
            Pipe& out, Pipe& err) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (in.read >= 0)
    ::posix_spawn_file_actions_adddup2(&actions, in.read, 0);
  else
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, out.write, 1);
  ::posix_spawn_file_actions_adddup2(&actions, err.write, 2);
  pid_t child = 0;
  const int spawned =
      ::posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  for (int* fd : {&out.write, &err.write, &in.read}) {
    if (*fd >= 0)
      ::close(*fd);
    *fd = -1;
  }
  return spawned == 0 ? child : 0;
}

// Hands each whole line of stderr to the watcher as it comes; `pending` holds the start of a
// line not yet ended (what is left of it when stderr closes is a line too).
void PassLines(std::string& pending, std::string_view text, const RcloneWatch& watch, bool closed) {
  if (!watch.line)
    return;
  pending.append(text);
  size_t start = 0;
  for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
    watch.line(std::string_view(pending).substr(start, end - start));
    start = end + 1;
  }
  pending.erase(0, start);
  if (closed && !pending.empty()) {
    watch.line(pending);
    pending.clear();
  }
}

// Reads the child's stdout whole and the end of its stderr until both close, the deadline
// passes (timedOut), or its input has been cut, the watcher cancelled it or this run was
// interrupted, a second before (true: rclone, which may be ending by itself, had that long to
// do so and say why). An interrupt or a cancel is passed on to rclone at once: a signal sent to
// orvcopy alone would leave it running.
bool Collect(pid_t child, int out, int err, std::chrono::steady_clock::time_point deadline,
             const std::atomic<bool>* cut, const RcloneWatch& watch, RcloneResult& result) {
  std::array<pollfd, 2> fds{{{out, POLLIN, 0}, {err, POLLIN, 0}}};
  std::array<char, 65536> buffer;
  std::string pending;
  std::optional<std::chrono::steady_clock::time_point> cutAt;
  for (int open = 2; open > 0;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      return false;
    }
    const int wait = static_cast<int>(std::min<int64_t>(left.count(), 100));
    if (::poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR)
      return false;
    const bool cancelled = watch.cancel && *watch.cancel;
    if (!cutAt && (g_interrupted || cancelled || (cut && *cut))) {
      if (g_interrupted || cancelled)
        ::kill(child, SIGTERM);
      cutAt = std::chrono::steady_clock::now();
    }
    if (cutAt && std::chrono::steady_clock::now() - *cutAt > std::chrono::seconds(1))
      return true;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n <= 0) {
        fds[i].fd = -1;  // poll passes over a negative descriptor
        --open;
        if (i == 1)
          PassLines(pending, {}, watch, true);
        continue;
      }
      std::string& text = i == 0 ? result.output : result.errors;
      text.append(buffer.data(), static_cast<size_t>(n));
      if (i == 1) {
        PassLines(pending, std::string_view(buffer.data(), static_cast<size_t>(n)), watch, false);
        if (text.size() > 2 * kErrorsKept)
          text.erase(0, text.size() - kErrorsKept);
      }
    }
  }
  return false;
}

}  // namespace

RcloneResult Rclone::Run(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
                         const Feed& feed, const RcloneWatch& watch) const {
  RcloneResult result;
  Pipe out, err, in;
  if (!out.Open() || !err.Open() || (feed && !in.Open())) {
    out.Close();
    err.Close();
    return result;
  }
  const pid_t child = Spawn(m_program, arguments, in, out, err);
  if (child == 0) {
    out.Close();
    err.Close();
    in.Close();
    return result;
  }
  result.started = true;
  // rclone's input is written on a thread of its own while its output is read here; a write
  // after rclone has gone fails (SIGPIPE is ignored) and ends the feed.
  std::thread feeder;
  std::atomic<bool> cut = false;
  if (feed) {
    feeder = std::thread([&feed, &cut, fd = in.write] {
      cut = !feed(fd);
      ::close(fd);
    });
    in.write = -1;
  }
  const bool stopped = Collect(child, out.read, err.read, std::chrono::steady_clock::now() + limit,
                               feed ? &cut : nullptr, watch, result);
  out.Close();
  err.Close();
  const int status = Reap(child, result.timedOut || stopped);  // a cut input ends rclone too
  if (feeder.joinable())
    feeder.join();
  if (!result.timedOut && !stopped && WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  if (result.errors.size() > kErrorsKept)
    result.errors.erase(0, result.errors.size() - kErrorsKept);
  return result;
}

std::string Rclone::Explain(const RcloneResult& result) const {
  if (!result.started)
    return "rclone could not be run (" + m_program +
           "): install rclone (Debian package rclone) or name it with ORVCOPY_RCLONE";
  if (result.timedOut)
    return "rclone did not finish in time and was stopped (the remote does not answer?)";
  std::string text = result.exitCode >= 0 ? Meaning(result.exitCode) : "rclone was killed";
  // rclone's last line says what it tried and why it failed (its notes on what went well,
  // with -v, say nothing of that).
  std::string last = LastWords(result.errors);
  // "2026/12/07 06:27:50 ERROR : " before the words: the time and the level say nothing here.
  if (last.size() > 20 && last[4] == '/' && last[7] == '/' && last[13] == ':' && last[19] == ' ')
    last.erase(0, 20);
  for (const std::string_view level : {"ERROR : ", "NOTICE: ", "CRITICAL: "}) {
    if (last.compare(0, level.size(), level) == 0)
      last.erase(0, level.size());
  }
  if (!last.empty())
    text += ": " + last;
  return text;
}

Rclone::Found Rclone::Probe(const std::string& remote, std::string& why) const {
  const RcloneResult stat = Run({"lsjson", "--stat", "--no-mimetype", remote}, kProbeLimit);
  if (stat.FoundNothing())
    return Found::Nothing;
  if (!stat.Succeeded()) {
    why = Explain(stat);
    return Found::Unusable;
  }
  const nlohmann::json entry = nlohmann::json::parse(stat.output, nullptr, false);
  if (!entry.is_object() || !entry.contains("IsDir") || !entry["IsDir"].is_boolean()) {
    why = "rclone answered what is at " + remote + " with something else than a listing";
    return Found::Unusable;
  }
  return entry["IsDir"].get<bool>() ? Found::Folder : Found::NotAFolder;
}

}  // namespace orvcopy
