/* Preload library for the benchmark: counts the sleep(3) calls of a process
 * (the lock-retry pauses) by appending one line per call to the file named
 * by ORVELT_BENCH_SLEEPS, then sleeps as asked. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

unsigned int sleep(unsigned int seconds) {
  const char* path = getenv("ORVELT_BENCH_SLEEPS");
  if (path != NULL) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
      char line[32];
      int n = snprintf(line, sizeof line, "%u\n", seconds);
      if (n > 0) (void)!write(fd, line, (size_t)n);
      close(fd);
    }
  }
  unsigned int (*real_sleep)(unsigned int) =
      (unsigned int (*)(unsigned int))dlsym(RTLD_NEXT, "sleep");
  return real_sleep(seconds);
}
