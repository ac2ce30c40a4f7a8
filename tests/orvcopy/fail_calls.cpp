// Loaded into orvcopy with LD_PRELOAD: makes one system call fail as a full or broken disk
// would. ORVCOPY_FAIL="NAME:N" fails the Nth call of NAME (counted from 1) and no other.
#include <dlfcn.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool FailNow(const char* name) {
  static int calls = 0;
  const char* wanted = std::getenv("ORVCOPY_FAIL");
  const size_t length = std::strlen(name);
  if (wanted == nullptr || std::strncmp(wanted, name, length) != 0 || wanted[length] != ':')
    return false;
  return ++calls == std::atoi(wanted + length + 1);
}

template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

#define ORVCOPY_FAILING(name, error, params, args)                    \
  extern "C" __attribute__((visibility("default"))) int name params { \
    if (FailNow(#name)) {                                             \
      errno = error;                                                  \
      return -1;                                                      \
    }                                                                 \
    static const auto real = Real<int(*) params>(#name);              \
    return real args;                                                 \
  }

ORVCOPY_FAILING(link, EMLINK, (const char* from, const char* to), (from, to))
ORVCOPY_FAILING(rename, EIO, (const char* from, const char* to), (from, to))
ORVCOPY_FAILING(flock, ENOLCK, (int fd, int operation), (fd, operation))
ORVCOPY_FAILING(syncfs, EIO, (int fd), (fd))
ORVCOPY_FAILING(fsync, EIO, (int fd), (fd))
