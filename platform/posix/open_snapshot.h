// What the open of a read-only handle saw: the file's length and times, kept so that the
// length query right after the open and the time query after the copy need no system call.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>

namespace orv::platform::posix {

struct OpenSnapshot {
  int64_t size = 0;
  struct statx_timestamp created {};  // the birth time, or the last write where there is none
  struct statx_timestamp accessed {};
  struct statx_timestamp written {};
};

// The length and times a statx with STATX_BASIC_STATS | STATX_BTIME reported.
OpenSnapshot SnapshotOf(const struct statx& stx);

// Remembers what the open of `fd` saw; replaces what an earlier descriptor of that number left.
void RememberOpen(int fd, const OpenSnapshot& snapshot);

// Forgets `fd`: called for every new handle that is not remembered, before a descriptor is
// closed (so that a reused number never inherits another file's snapshot), and when times are
// set through the handle.
void ForgetOpen(int fd);

// The length the open saw, while nothing has read or moved through the handle since; a later
// query asks the file system again, as another process may have changed the file meanwhile.
std::optional<int64_t> LengthSeenAtOpen(int fd);

// Reading or moving through the handle: the length seen at the open is no longer used. Takes
// no lock while no handle holds an unused length, so the block loops pay nothing for it.
void HandleMoved(int fd);

// The times the file had when the handle was opened: a backup stamps its copy with the times
// of the data it began to read, so a file changed during the copy is newer than its copy and
// is taken again next time.
std::optional<OpenSnapshot> TimesSeenAtOpen(int fd);

}  // namespace orv::platform::posix
