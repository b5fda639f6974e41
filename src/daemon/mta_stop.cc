#include "daemon/mta_stop.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "util/stop_signal.h"
#include "util/unique_fd.h"

namespace {

struct DirClose {
  void operator()(DIR* dir) const { closedir(dir); }
};

// What /proc/<pid>/stat says of a process: its state, parent and group.
struct ProcessStat {
  char state = '?';
  pid_t parent = 0;
  pid_t group = 0;
};

bool read_stat(const char* pid, ProcessStat& stat) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%s/stat", pid);
  const UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  char text[512];
  const ssize_t got = read(fd.get(), text, sizeof text - 1);
  if (got <= 0) return false;
  text[got] = '\0';
  // The command name in parentheses may hold anything: the fields follow
  // its last ')'.
  const char* fields = strrchr(text, ')');
  if (fields == nullptr) return false;
  int parent = 0;
  int group = 0;
  if (sscanf(fields + 1, " %c %d %d", &stat.state, &parent, &group) != 3) return false;
  stat.parent = parent;
  stat.group = group;
  return true;
}

}  // namespace

void stop_running_mtas() {
  stop_signal_note(SIGTERM);
  const std::unique_ptr<DIR, DirClose> proc(opendir("/proc"));
  if (proc == nullptr) return;
  const pid_t self = getpid();
  while (const dirent* entry = readdir(proc.get())) {
    char* end = nullptr;
    const long pid = strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    ProcessStat stat;
    if (!read_stat(entry->d_name, stat) || stat.parent != self || stat.state == 'Z') continue;
    kill(stat.group == pid ? -static_cast<pid_t>(pid) : static_cast<pid_t>(pid), SIGKILL);
  }
}
