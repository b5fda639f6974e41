/* Preload library that counts a program's pauses: every sleep(3),
 * usleep(3) and nanosleep(2) call appends one line holding the length asked
 * for, in seconds as a decimal number ("1", "0.001"), to the file named by
 * ORVELT_TEST_PAUSE_LOG, then sleeps as asked. The block store's lock retry
 * is the program's only pause, so the file counts its pauses. Used by the
 * contention test and by scripts/bench, where many processes write to one
 * file: each line goes out in one write(2) to a file opened for appending,
 * so lines of different processes do not mix.
 *
 * glibc's sleep and usleep reach nanosleep inside the library, not through
 * this one, so a call is counted once. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Appends "<seconds>[.<fraction>]\n", the fraction without trailing zeros. */
static void record_pause(unsigned long long seconds, unsigned long nanoseconds) {
  const char* path = getenv("ORVELT_TEST_PAUSE_LOG");
  if (path == NULL) return;
  char line[48];
  int n;
  if (nanoseconds == 0) {
    n = snprintf(line, sizeof line, "%llu\n", seconds);
  } else {
    char fraction[16];
    snprintf(fraction, sizeof fraction, "%09lu", nanoseconds % 1000000000UL);
    size_t digits = strlen(fraction);
    while (digits > 1 && fraction[digits - 1] == '0') --digits;
    fraction[digits] = '\0';
    n = snprintf(line, sizeof line, "%llu.%s\n", seconds, fraction);
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (n > 0 && (size_t)n < sizeof line) (void)!write(fd, line, (size_t)n);
  close(fd);
}

/* The next definition of name after this library's. dlsym hands back an
 * object pointer; POSIX lets it be read as a function pointer, done here
 * through a copy. */
static void* next_definition(const char* name) { return dlsym(RTLD_NEXT, name); }

unsigned int sleep(unsigned int seconds) {
  record_pause(seconds, 0);
  unsigned int (*real_sleep)(unsigned int);
  void* symbol = next_definition("sleep");
  memcpy(&real_sleep, &symbol, sizeof real_sleep);
  return real_sleep != NULL ? real_sleep(seconds) : seconds;
}

int usleep(useconds_t microseconds) {
  record_pause(microseconds / 1000000U, (unsigned long)(microseconds % 1000000U) * 1000UL);
  int (*real_usleep)(useconds_t);
  void* symbol = next_definition("usleep");
  memcpy(&real_usleep, &symbol, sizeof real_usleep);
  return real_usleep != NULL ? real_usleep(microseconds) : 0;
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
  if (request != NULL && request->tv_sec >= 0 && request->tv_nsec >= 0) {
    record_pause((unsigned long long)request->tv_sec, (unsigned long)request->tv_nsec);
  }
  int (*real_nanosleep)(const struct timespec*, struct timespec*);
  void* symbol = next_definition("nanosleep");
  memcpy(&real_nanosleep, &symbol, sizeof real_nanosleep);
  return real_nanosleep != NULL ? real_nanosleep(request, remaining) : 0;
}
