/* A stand-in for the MTA's submission program, for tests only. Each run
 * records what it was given into the directory named by ORVELT_TEST_MTA_DIR:
 *
 *   N.argv     every argument, argv[0] included, each followed by a NUL byte
 *   N.sigpipe  the SIGPIPE disposition it started with: "default", "ignored"
 *              or "handled", followed by ",blocked" when the signal was in
 *              its signal mask
 *   N.stdin    its whole standard input (empty when it did not read)
 *   N.fds      the descriptors above 2 that were open when it started, in
 *              increasing order, each followed by a blank
 *
 * N is a call number from 1 up, claimed by creating N.argv with O_EXCL, so
 * that processes running at once never share a number. Switches:
 *
 *   ORVELT_TEST_MTA_EXIT=n     exit with status n (default 0)
 *   ORVELT_TEST_MTA_NO_READ=1  exit without reading standard input
 *
 * Without ORVELT_TEST_MTA_DIR, or when a record cannot be written, it says
 * so on stderr and exits with status 111. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char* record_dir;

static void fail(const char* what) {
  fprintf(stderr, "recording_mta: %s: %s\n", what, strerror(errno));
  _exit(111);
}

static void write_all(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, bytes, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write");
    }
    bytes += n;
    length -= (size_t)n;
  }
}

static int create_record(unsigned number, const char* suffix, int exclusive) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%u.%s", record_dir, number, suffix);
  return open(path, O_WRONLY | O_CREAT | O_TRUNC | (exclusive ? O_EXCL : 0), 0644);
}

/* Claims the lowest free call number by creating its argv file. */
static unsigned claim_number(int* argv_fd) {
  for (unsigned number = 1;; ++number) {
    const int fd = create_record(number, "argv", 1);
    if (fd >= 0) {
      *argv_fd = fd;
      return number;
    }
    if (errno != EEXIST) fail("create argv record");
  }
}

static void record_sigpipe(unsigned number) {
  struct sigaction action;
  sigset_t mask;
  if (sigaction(SIGPIPE, NULL, &action) != 0 || sigprocmask(SIG_BLOCK, NULL, &mask) != 0)
    fail("query SIGPIPE");
  const char* disposition = action.sa_handler == SIG_DFL   ? "default"
                            : action.sa_handler == SIG_IGN ? "ignored"
                                                           : "handled";
  char text[64];
  snprintf(text, sizeof text, "%s%s", disposition, sigismember(&mask, SIGPIPE) ? ",blocked" : "");
  const int fd = create_record(number, "sigpipe", 0);
  if (fd < 0) fail("create sigpipe record");
  write_all(fd, text, strlen(text));
  close(fd);
}

/* The descriptors above 2 open at the start, as text; looked at before this
 * program opens anything itself. */
static void list_open_fds(char* text, size_t size) {
  size_t used = 0;
  text[0] = '\0';
  for (int fd = 3; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) continue;
    const int n = snprintf(text + used, size - used, "%d ", fd);
    if (n < 0 || (size_t)n >= size - used) break;
    used += (size_t)n;
  }
}

static void record_fds(unsigned number, const char* text) {
  const int fd = create_record(number, "fds", 0);
  if (fd < 0) fail("create fds record");
  write_all(fd, text, strlen(text));
  close(fd);
}

static void record_stdin(unsigned number, int read_input) {
  const int fd = create_record(number, "stdin", 0);
  if (fd < 0) fail("create stdin record");
  if (read_input) {
    char buffer[65536];
    for (;;) {
      const ssize_t n = read(0, buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        fail("read stdin");
      }
      write_all(fd, buffer, (size_t)n);
    }
  }
  close(fd);
}

int main(int argc, char** argv) {
  char open_fds[4096];
  list_open_fds(open_fds, sizeof open_fds);
  record_dir = getenv("ORVELT_TEST_MTA_DIR");
  if (record_dir == NULL || record_dir[0] == '\0') {
    fputs("recording_mta: ORVELT_TEST_MTA_DIR is not set\n", stderr);
    return 111;
  }
  const char* no_read = getenv("ORVELT_TEST_MTA_NO_READ");
  const char* exit_text = getenv("ORVELT_TEST_MTA_EXIT");
  const int read_input = !(no_read != NULL && strcmp(no_read, "1") == 0);
  const int status = exit_text != NULL ? atoi(exit_text) : 0;

  int argv_fd = -1;
  const unsigned number = claim_number(&argv_fd);
  if (!read_input) close(0); /* gone before anything slow happens */
  for (int i = 0; i < argc; ++i) write_all(argv_fd, argv[i], strlen(argv[i]) + 1);
  close(argv_fd);
  record_sigpipe(number);
  record_fds(number, open_fds);
  record_stdin(number, read_input);
  return status;
}
