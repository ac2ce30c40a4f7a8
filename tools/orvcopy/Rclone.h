// rclone, the program that carries a remote backup's files to and from the user's store: every
// call goes through here, as a process with its arguments as a list (never through a shell),
// with a time limit, and with rclone's exit codes turned into messages a user can act on.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvcopy {

// "rclone:REMOTE:PATH" names a remote backup folder: REMOTE is a remote of the user's rclone
// configuration (or of RCLONE_CONFIG_* variables), PATH a folder on it. The remote as rclone
// takes it ("REMOTE:PATH"), or nothing for anything else.
std::optional<std::string> RemoteOf(const std::string& location);

struct RcloneResult {
  bool started = false;   // false: the program could not be run at all (not installed)
  bool timedOut = false;  // stopped at the time limit
  int exitCode = -1;      // rclone's, when it ended by itself
  std::string output;     // what it wrote to stdout
  std::string errors;     // the last lines it wrote to stderr
  bool Succeeded() const { return started && !timedOut && exitCode == 0; }
  // rclone found nothing at the path it was given (its exit code 3).
  bool FoundNothing() const { return started && !timedOut && exitCode == 3; }
};

// What a caller follows of a call as it runs: `line` sees each line rclone writes to stderr as
// soon as it is whole, and a `cancel` that becomes true ends rclone.
struct RcloneWatch {
  std::function<void(std::string_view)> line;
  const std::atomic<bool>* cancel = nullptr;
};

class Rclone {
 public:
  // A listing of a remote's top, the first call of a backup: one that does not answer is told
  // soon.
  static constexpr std::chrono::seconds kProbeLimit{120};

  // `program`: the rclone to run (a name looked up on PATH, or a path); ORVCOPY_RCLONE sets it.
  explicit Rclone(std::string program = DefaultProgram());

  // Writes rclone's input into the descriptor it is given, on a thread of its own: true when
  // all of it was written (the descriptor is then closed, the end of the input), false when it
  // was not (rclone is then stopped, so that it keeps nothing of a cut input).
  using Feed = std::function<bool(int fd)>;

  // Runs rclone with `arguments` and waits for it, at most `limit`: past it rclone is ended
  // (SIGTERM, then SIGKILL). stdin is what `feed` writes, else empty; stdout is kept whole,
  // stderr's last lines.
  RcloneResult Run(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
                   const Feed& feed = {}, const RcloneWatch& watch = {}) const;

  // What went wrong with a call that did not succeed, for the user: what the exit code means,
  // and rclone's own last words.
  std::string Explain(const RcloneResult& result) const;

  // What stands at `remote` (REMOTE:PATH): a folder, nothing, or something else; Unusable also
  // when rclone is missing or the remote unknown or unreachable, with `why` saying which.
  enum class Found { Folder, Nothing, NotAFolder, Unusable };
  Found Probe(const std::string& remote, std::string& why) const;

  static std::string DefaultProgram();

 private:
  std::string m_program;
};

}  // namespace orvcopy
