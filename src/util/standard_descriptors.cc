#include "util/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void open_missing_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open returns the lowest free descriptor: this one.
      const int opened = open("/dev/null", O_RDWR);
      if (opened > 2) close(opened);
    }
  }
}
