// The commands of orvcopy.
#pragma once

#include "Password.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orvcopy {

// Exit codes.
inline constexpr int kExitDone = 0;         // everything was done
inline constexpr int kExitFailed = 1;       // some or all of the work failed; each is named
inline constexpr int kExitUsage = 2;        // the command line is wrong
inline constexpr int kExitInterrupted = 3;  // stopped by Ctrl-C or a signal
inline constexpr int kExitUnusable = 4;     // the backup cannot be used, or the password is wrong

struct Options {
  std::string source;  // backup: the tree to back up
  std::string backup;  // the backup folder
  std::string target;  // restore: where the tree is restored
  int encrypt = 0;     // key length in bits, 0 for none
  bool compress = false;
  uint64_t split = 0;  // volume size, 0 for none
  // Remote backups: the local folder what is uploaded passes through (empty: TMPDIR or /tmp),
  // how much of it may wait there for an upload, and of compressed archives.
  std::string temp;
  uint64_t volume = 256ull << 20;
  uint64_t cache = 0;         // 0: the volume size
  uint64_t buffer = 1048576;  // rounded up to a multiple of 96, as the library rounds
  bool bufferGiven = false;
  unsigned jobs = 0;      // backup: managers that copy files at once; 0 for one per processor core
  bool checksum = false;  // backup: unchanged-looking files are compared by content
  std::vector<std::string> excludes;  // backup: --exclude patterns
  std::string excludeFrom;            // backup: a file of them
  std::string generation;             // restore, list, verify: the generation, else the latest
  bool allGenerations = false;        // verify --all
  std::vector<std::string> paths;     // restore, list: only these entries and what lies below
  int keepLast = 0, keepDaily = 0, keepWeekly = 0, keepMonthly = 0;  // forget
  bool trial = false;
  PasswordSource password;
  bool quiet = false;
  bool verbose = false;
  std::string logFile;
  // The mask the user runs orvcopy with. orvcopy itself runs with 077: everything it makes is
  // private until it is given its own mode, so nothing is ever readable by more users than
  // its source was, not even while it is written.
  unsigned userUmask = 022;
};

class SystemCalls;

// The managers a backup or a restore runs at once: --jobs, else one per processor core.
unsigned JobCount(const Options& options);

int Backup(const Options& options);
// The same into a remote backup folder (REMOTE:PATH as rclone takes it).
int RemoteBackup(const Options& options, const std::string& remote);
int Restore(const Options& options);
// The same with the system calls that make the entries other than file data (tests make them
// fail).
int Restore(const Options& options, SystemCalls& system);
int Verify(const Options& options);
int List(const Options& options);
int Generations(const Options& options);
int Forget(const Options& options);
int Remove(const Options& options);

}  // namespace orvcopy
