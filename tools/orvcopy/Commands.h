// The commands of orvcopy.
#pragma once

#include "Password.h"

#include <cstdint>
#include <string>

namespace orvcopy {

// Exit codes.
inline constexpr int kExitDone = 0;         // everything was done
inline constexpr int kExitItemsFailed = 1;  // some items failed; each is named on stderr
inline constexpr int kExitUsage = 2;        // the command line or its folders are wrong
inline constexpr int kExitInterrupted = 3;  // stopped by Ctrl-C or a signal
inline constexpr int kExitUnusable = 4;     // the backup or its manifest cannot be used

struct Options {
  std::string source;  // backup: the tree to back up
  std::string backup;  // the backup folder
  std::string target;  // restore: where the tree is restored
  int encrypt = 0;     // key length in bits, 0 for none
  bool compress = false;
  uint64_t split = 0;
  uint64_t buffer = 1048576;  // rounded up to a multiple of 96, as the library rounds
  bool trial = false;
  PasswordSource password;
  bool quiet = false;
  bool verbose = false;
  std::string logFile;
};

int Backup(const Options& options);
int Restore(const Options& options);
int Verify(const Options& options);
int List(const Options& options);
int Remove(const Options& options);

}  // namespace orvcopy
