// FILETIME arithmetic: a FILETIME counts 100 ns intervals since 1601-01-01 UTC.
#pragma once

#include <orv_platform/win32.h>

#include <cstdint>

namespace orv::platform {

inline constexpr int64_t kFileTimeTicksPerSecond = 10000000LL;
// 100 ns intervals between 1601-01-01 and 1970-01-01.
inline constexpr int64_t kFileTimeAtUnixEpoch = 116444736000000000LL;

inline uint64_t FileTimeTicks(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// 100 ns intervals since 1970-01-01 UTC.
inline int64_t TicksSinceUnixEpoch(const FILETIME& ft) {
  return static_cast<int64_t>(FileTimeTicks(ft)) - kFileTimeAtUnixEpoch;
}

// The FILETIME of a time in seconds and nanoseconds since 1970; a time before 1601, which a
// FILETIME cannot hold, becomes 0.
inline FILETIME FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  int64_t ticks = seconds * kFileTimeTicksPerSecond + nanoseconds / 100 + kFileTimeAtUnixEpoch;
  if (ticks < 0) {
    ticks = 0;
  }
  const auto u = static_cast<uint64_t>(ticks);
  return FILETIME{static_cast<DWORD>(u & 0xFFFFFFFFu), static_cast<DWORD>(u >> 32)};
}

}  // namespace orv::platform
