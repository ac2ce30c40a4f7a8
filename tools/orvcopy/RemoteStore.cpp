#include "RemoteStore.h"

#include "Manifest.h"

#include <stdlib.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace orvcopy {
namespace fs = std::filesystem;

namespace {

constexpr const char* kNewManifestName = "orvcopy-manifest.json.new";

// A call that moves one manifest or lists a few files; a transfer of a list of files may take
// as long as its files need, up to ORVCOPY_RCLONE_TIMEOUT seconds (a day unless set). rclone's
// own --timeout ends a transfer that stalls long before.
constexpr std::chrono::minutes kShortLimit{10};

std::chrono::milliseconds TransferLimit() {
  const char* seconds = std::getenv("ORVCOPY_RCLONE_TIMEOUT");
  const long given = seconds ? std::atol(seconds) : 0;
  return std::chrono::seconds(given > 0 ? given : 24 * 3600);
}

size_t LinesOf(const fs::path& list) {
  std::ifstream in(list, std::ios::binary);
  return static_cast<size_t>(
      std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// The file a line of rclone's log (-v) says was copied, "DATE TIME INFO  : NAME: Copied (new)"
// ("Multi-thread Copied" for a large file); empty for any other line. NAME may hold ": " itself:
// what rclone says comes after the last one.
std::string CopiedName(std::string_view line) {
  constexpr std::string_view level = " INFO  : ";
  const size_t at = line.find(level);
  if (at == std::string_view::npos)
    return {};
  line.remove_prefix(at + level.size());
  const size_t colon = line.rfind(": ");
  if (colon == std::string_view::npos || colon == 0)
    return {};
  const std::string_view said = line.substr(colon + 2);
  if (!said.starts_with("Copied (") && !said.starts_with("Multi-thread Copied ("))
    return {};
  return std::string(line.substr(0, colon));
}

}  // namespace

ScratchFolder::~ScratchFolder() {
  std::error_code ec;
  if (!m_path.empty())
    fs::remove_all(m_path, ec);
}

bool ScratchFolder::Make(const std::string& parent, std::string& error) {
  const char* variable = std::getenv("TMPDIR");
  const std::string base = !parent.empty() ? parent : variable && *variable ? variable : "/tmp";
  std::string pattern = (fs::path(base) / "orvcopy-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) {
    error = "cannot make a working folder in " + base + ": " + std::strerror(errno) +
            " (--temp names another place)";
    return false;
  }
  m_path = pattern;
  return true;
}

bool WriteNameList(const fs::path& list, const std::vector<std::string>& names) {
  std::ofstream out(list, std::ios::binary | std::ios::trunc);
  for (const std::string& name : names)
    out << name << '\n';
  out.close();
  return static_cast<bool>(out);
}

RemoteStore::RemoteStore(std::string remote, std::string location)
    : m_remote(std::move(remote)), m_location(std::move(location)) {}

std::string RemoteStore::Path(const std::string& name) const {
  const char last = m_remote.back();
  return m_remote + (last == ':' || last == '/' ? "" : "/") + name;
}

bool RemoteStore::Call(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
                       std::string& error, std::string* output, const RcloneWatch& watch) {
  ++m_calls;
  RcloneResult result = m_rclone.Run(arguments, limit, {}, watch);
  if (!result.Succeeded()) {
    error = m_rclone.Explain(result);
    return false;
  }
  if (output)
    *output = std::move(result.output);
  return true;
}

// The top of a backup folder holds the manifest and data/ (and a manifest on its way). One
// listing finds it, and says so when there is no folder there (rclone's exit code 3, as for a
// first backup). rclone lists a file as itself, and fails otherwise on a remote it cannot use:
// those few are told apart by a probe of what is there.
bool RemoteStore::Open(Holds& holds, std::string& error) {
  ++m_calls;
  const RcloneResult top = m_rclone.Run({"lsf", "--max-depth", "1", m_remote}, Rclone::kProbeLimit);
  if (top.timedOut) {
    error = "cannot reach " + m_location + ": " + m_rclone.Explain(top);
    return false;
  }
  if (top.FoundNothing()) {
    holds = Holds::Nothing;
    return true;
  }
  const size_t leaf = m_remote.find_last_of(":/");
  if (!top.Succeeded() || top.output == m_remote.substr(leaf + 1) + "\n") {
    std::string why;
    ++m_calls;
    switch (m_rclone.Probe(m_remote, why)) {
      case Rclone::Found::Unusable:
        error = "cannot reach " + m_location + ": " + why;
        return false;
      case Rclone::Found::NotAFolder:
        error = m_location + " is not a folder";
        return false;
      case Rclone::Found::Nothing:
        holds = Holds::Nothing;
        return true;
      case Rclone::Found::Folder:
        break;
    }
    if (!top.Succeeded()) {
      error = "cannot list " + m_location + ": " + m_rclone.Explain(top);
      return false;
    }
  }
  return ReadTop(top.output, holds, error);
}

bool RemoteStore::ReadTop(const std::string& listing, Holds& holds, std::string& error) {
  bool manifest = false, other = false;
  for (size_t at = 0; at < listing.size();) {
    const size_t end = std::min(listing.find('\n', at), listing.size());
    const std::string name = listing.substr(at, end - at);
    at = end + 1;
    if (name == kManifestName)
      manifest = true;
    else if (name == kWritingName)
      m_foundMark = "?";  // read below
    else if (name != kNewManifestName && name != std::string(kDataFolder) + "/")
      other = true;
  }
  std::string why;
  if (!m_foundMark.empty() && !Call({"cat", Path(kWritingName)}, kShortLimit, why, &m_foundMark)) {
    error = "cannot read " + m_location + "/" + kWritingName + ": " + why;
    return false;
  }
  // A manifest makes it a backup, whatever else lies beside it (a stray upload, say).
  holds = manifest ? Holds::Backup : other ? Holds::Other : Holds::Nothing;
  return true;
}

bool RemoteStore::BeforeWrite(std::string& error) {
  const std::lock_guard lock(m_markMutex);
  if (m_marked || m_markText.empty())
    return true;
  ++m_calls;
  const RcloneResult result =
      m_rclone.Run({"rcat", Path(kWritingName)}, kShortLimit, [this](int fd) {
        return ::write(fd, m_markText.data(), m_markText.size()) ==
               static_cast<ssize_t>(m_markText.size());
      });
  if (!result.Succeeded()) {
    error = "cannot mark " + m_location + " as being written: " + m_rclone.Explain(result);
    return false;
  }
  m_marked = true;
  return true;
}

bool RemoteStore::ClearMark(std::string& error) {
  return Call({"deletefile", Path(kWritingName)}, kShortLimit, error);
}

bool RemoteStore::ListData(std::string& listing, std::string& error) {
  return Call({"lsf", "-R", "--files-only", Path(kDataFolder)}, TransferLimit(), error, &listing);
}

bool RemoteStore::FetchManifest(const fs::path& file, std::string& error) {
  if (Call({"copyto", Path(kManifestName), file.native()}, kShortLimit, error))
    return true;
  error = "cannot fetch the manifest of " + m_location + ": " + error;
  return false;
}

bool RemoteStore::PutManifest(const fs::path& file, std::string& error) {
  if (!BeforeWrite(error))
    return false;
  if (Call({"copyto", "--ignore-times", file.native(), Path(kNewManifestName)}, kShortLimit,
           error) &&
      Call({"moveto", Path(kNewManifestName), Path(kManifestName)}, kShortLimit, error))
    return true;
  error = "the manifest could not be put on " + m_location + " (" + error +
          "); the remote keeps its previous backup";
  return false;
}

// The folders the names lead into are listed, not every file looked up: far fewer calls to the
// remote for many files. A file that changes while it goes up is not refused by rclone: the
// caller checks each.
bool RemoteStore::Upload(const fs::path& root, const fs::path& names, const std::string& folder,
                         std::string& error) {
  if (!BeforeWrite(error))
    return false;
  m_uploaded += LinesOf(names);
  return Call(
      UploadArguments({"copy", "--ignore-times", "--local-no-check-updated", "--files-from-raw",
                       names.native(), root.native(),
                       Path(std::string(kDataFolder) + (folder.empty() ? "" : "/" + folder))}),
      TransferLimit(), error);
}

std::vector<std::string> RemoteStore::UploadArguments(std::vector<std::string> arguments) const {
  if (!m_checkUploads)
    arguments.insert(arguments.begin() + 1, "--ignore-checksum");
  return arguments;
}

bool RemoteStore::UploadStream(const std::string& name, const Rclone::Feed& feed,
                               std::string& error) {
  if (!BeforeWrite(error))
    return false;
  ++m_uploaded;
  ++m_calls;
  const RcloneResult result =
      m_rclone.Run(UploadArguments({"rcat", Path(std::string(kDataFolder) + "/" + name)}),
                   TransferLimit(), feed);
  if (!result.Succeeded())
    error = m_rclone.Explain(result);
  return result.Succeeded();
}

// A fetch names every file it wants, and rclone lists the folders that hold them, each of its
// checkers over a connection of its own: its default of eight checkers opens more connections
// than the transfers can use and slows each call (10,000 files: 12.0 s against 9.1 s). Two
// keep the transfers fed. rclone's checksum after each file is left out: orvcopy checks every
// fetched file itself when it restores or verifies it. RCLONE_CHECKERS, when set, still decides.
// A fetched file lives until it is restored or checked, so rclone neither reserves its space
// ahead nor sets its time: two system calls a file that the restore would only wait for.
// Reads::Single reads each file from SFTP with one request after another: for a file that one
// request brings whole, reading with many under way only adds a round trip to ask its size
// (other remotes ignore this).
bool RemoteStore::Fetch(const fs::path& names, const fs::path& root, std::string& error,
                        const Arrived& arrived, const std::atomic<bool>* cancel, Reads reads) {
  m_fetched += LinesOf(names);
  std::vector<std::string> arguments{"copy", "--ignore-times", "--ignore-checksum",
                                     "--local-no-preallocate", "--local-no-set-modtime"};
  if (reads == Reads::Single)
    arguments.push_back("--sftp-disable-concurrent-reads");
  if (!std::getenv("RCLONE_CHECKERS"))
    arguments.insert(arguments.end(), {"--checkers", "2"});
  RcloneWatch watch{{}, cancel};
  if (arrived) {  // rclone says which file it copied, once it is whole: on stderr, as text
    // (whatever the user's RCLONE_LOG_* or RCLONE_VERBOSE say)
    arguments.insert(arguments.end(),
                     {"--log-level", "INFO", "--verbose=0", "--quiet=false", "--use-json-log=false",
                      "--log-file=", "--log-format", "date,time", "--stats", "0"});
    watch.line = [&arrived](std::string_view line) {
      if (std::string name = CopiedName(line); !name.empty())
        arrived(name);
    };
  }
  arguments.insert(arguments.end(),
                   {"--files-from-raw", names.native(), Path(kDataFolder), root.native()});
  return Call(arguments, TransferLimit(), error, nullptr, watch);
}

bool RemoteStore::Delete(const std::vector<fs::path>& lists, std::string& error) {
  if (!BeforeWrite(error))
    return false;
  std::vector<std::string> arguments{"delete"};
  for (const fs::path& list : lists) {
    arguments.push_back("--files-from-raw");
    arguments.push_back(list.native());
  }
  arguments.push_back(Path(kDataFolder));
  // The folders the deleted files leave empty go too (no folder is stored: a restore makes
  // them from the manifest).
  return Call(arguments, TransferLimit(), error) &&
         Call({"rmdirs", "--leave-root", Path(kDataFolder)}, TransferLimit(), error);
}

bool RemoteStore::Purge(std::string& error) {
  return Call({"purge", m_remote}, TransferLimit(), error);
}

bool RemoteStore::PurgeFolder(const std::string& name, std::string& error) {
  if (!BeforeWrite(error))
    return false;
  ++m_calls;
  const RcloneResult result =
      m_rclone.Run({"purge", Path(std::string(kDataFolder) + "/" + name)}, TransferLimit());
  if (result.Succeeded() || result.FoundNothing())
    return true;  // gone, or never there
  error = m_rclone.Explain(result);
  return false;
}

}  // namespace orvcopy
