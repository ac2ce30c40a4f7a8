#include "RemoteMark.h"

#include <unistd.h>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace orvcopy {
namespace {

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? name : "?";
}

// Whether the process `pid` is an orvcopy that still runs (a pid is reused in time).
bool OrvcopyRuns(long pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return pid > 0 && std::getline(comm, name) && name == "orvcopy";
}

}  // namespace

std::string MarkOfThisRun(std::time_t started) {
  return "orvcopy backup from " + HostName() + " process " + std::to_string(::getpid()) +
         " started " + std::to_string(started) + "\n";
}

std::string MarkConflict(const std::string& found, const std::string& location) {
  std::istringstream words(found);
  std::string orvcopy, backup, from, host, process, startedWord;
  long pid = 0;
  long long started = 0;
  words >> orvcopy >> backup >> from >> host >> process >> pid >> startedWord >> started;
  const bool readable = words && orvcopy == "orvcopy" && from == "from";
  char when[32] = "?";
  const std::time_t at = static_cast<std::time_t>(started);
  if (std::tm local{}; readable && ::localtime_r(&at, &local))
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
  const std::string clear = "; if no backup into it runs, delete " + location + "/" + kWritingName +
                            " (rclone deletefile) and run again";
  if (!readable)
    return location + " is marked as being written by something orvcopy cannot read" + clear;
  if (host != HostName())
    return location + " is being written by a backup from " + host + " (started " + when + ")" +
           clear;
  if (OrvcopyRuns(pid))
    return location + " is being written by another orvcopy (process " + std::to_string(pid) +
           ", started " + when + ")";
  return {};
}

bool CollectLeftovers(RemoteStore& store, const std::unordered_set<std::string>& listed,
                      const std::filesystem::path& list, size_t& count, std::string& error) {
  std::string listing;
  if (!store.ListData(listing, error))
    return false;
  std::ofstream out(list, std::ios::binary | std::ios::trunc);
  std::istringstream lines(listing);
  count = 0;
  for (std::string name; std::getline(lines, name);) {
    if (!name.empty() && !listed.count(name)) {
      out << name << '\n';
      ++count;
    }
  }
  out.close();
  if (!out) {
    error = "cannot write " + list.string();
    return false;
  }
  return count == 0 || store.Delete({list}, error);
}

}  // namespace orvcopy
