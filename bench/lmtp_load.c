/* A load client for an LMTP server (RFC 2033), for scripts/bench:
 *
 *   lmtp_load [-c CONNECTIONS] [-n MESSAGES] [-s SENDER] [-u] [-e CODE] [-i IDLE]
 *             -m MESSAGE_FILE -r RECIPIENT [-r RECIPIENT]... ADDRESS
 *
 * ADDRESS is unix:PATH or inet:HOST:PORT (an IPv6 address in brackets).
 * CONNECTIONS connections (default 8), one thread each, share MESSAGES
 * messages (default 1000). Each connection reads the greeting and sends
 * LHLO once; then for each message it sends MAIL FROM, one RCPT TO per
 * recipient and DATA in one write (PIPELINING), reads their replies (250
 * each, then 354), sends the message (CRLF line ends, dot-stuffed) and its
 * final dot, and reads one reply per recipient, each of which must have the
 * code CODE (default 250). QUIT ends the connection.
 *
 * The sender is SENDER (default box@host); with -u every message gets a
 * sender of its own, LOCAL-N@DOMAIN, so that repeat suppression answers
 * each of them. Prints "messages M connections C seconds S messages/s R"
 * and exits 0 when every reply was as expected; else says what on stderr
 * and exits 1. A reply that takes more than two minutes counts as a
 * failure.
 *
 * With -i, IDLE more connections are opened before the clock starts and
 * left idle (nothing sent, nothing read) until the end: the rate of a
 * server that has idle clients to watch. */
#define _GNU_SOURCE
#include <errno.h>
#include <netdb.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { kMaxRecipients = 64, kLineMax = 1024 };

struct options {
  int connections;
  long messages;
  const char* sender;
  int unique_senders;
  int expected_code;
  const char* recipients[kMaxRecipients];
  int recipient_count;
  const char* address;
  int idle;
};

static struct options opt = {8, 1000, "box@host", 0, 250, {0}, 0, NULL, 0};
static char* message;  // CRLF, dot-stuffed, with the final ".\r\n"
static size_t message_length;
static atomic_long next_message;
static atomic_int failed;

struct connection {
  int fd;
  char buffer[8192];
  size_t start, end;
};

static void failure(const char* what, const char* detail) {
  if (atomic_exchange(&failed, 1) == 0) fprintf(stderr, "lmtp_load: %s%s\n", what, detail);
}

static int send_all(struct connection* c, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t n = send(c->fd, bytes, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure("send: ", strerror(errno));
      return -1;
    }
    bytes += n;
    length -= (size_t)n;
  }
  return 0;
}

/* One line of a reply into line (without CRLF); -1 on an error or the end. */
static int read_line(struct connection* c, char* line) {
  size_t used = 0;
  for (;;) {
    while (c->start < c->end) {
      char ch = c->buffer[c->start++];
      if (ch == '\n') {
        if (used > 0 && line[used - 1] == '\r') used--;
        line[used] = '\0';
        return 0;
      }
      if (used < kLineMax - 1) line[used++] = ch;
    }
    ssize_t n = recv(c->fd, c->buffer, sizeof c->buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure("the server closed the connection or timed out: ", n < 0 ? strerror(errno) : "");
      return -1;
    }
    c->start = 0;
    c->end = (size_t)n;
  }
}

/* Reads a whole reply (its continuation lines too); 0 when its code is
 * expected. */
static int expect_reply(struct connection* c, int expected) {
  char line[kLineMax];
  do {
    if (read_line(c, line) < 0) return -1;
  } while (strlen(line) >= 4 && line[3] == '-');
  if (atoi(line) != expected || strlen(line) < 3) {
    char detail[kLineMax + 64];
    snprintf(detail, sizeof detail, "expected %d, got \"%s\"", expected, line);
    failure("unexpected reply: ", detail);
    return -1;
  }
  return 0;
}

static int connect_to(const char* address) {
  if (strncmp(address, "unix:", 5) == 0) {
    struct sockaddr_un sun = {.sun_family = AF_UNIX};
    if (strlen(address + 5) >= sizeof sun.sun_path) return -1;
    strcpy(sun.sun_path, address + 5);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, (struct sockaddr*)&sun, sizeof sun) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
  }
  if (strncmp(address, "inet:", 5) != 0) return -1;
  char host[256];
  const char* colon = strrchr(address + 5, ':');
  if (colon == NULL || (size_t)(colon - address - 5) >= sizeof host) return -1;
  memcpy(host, address + 5, (size_t)(colon - address - 5));
  host[colon - address - 5] = '\0';
  char* h = host;
  if (h[0] == '[' && h[strlen(h) - 1] == ']') {
    h[strlen(h) - 1] = '\0';
    h++;
  }
  struct addrinfo hints = {.ai_socktype = SOCK_STREAM}, *list;
  if (getaddrinfo(h, colon + 1, &hints, &list) != 0) return -1;
  int fd = -1;
  for (struct addrinfo* ai = list; ai != NULL && fd < 0; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  return fd;
}

/* MAIL FROM, the RCPTs and DATA of message number n, as one write. */
static size_t envelope(long n, char* out, size_t size) {
  size_t used;
  const char* at = strrchr(opt.sender, '@');
  if (opt.unique_senders && at != NULL) {
    used = (size_t)snprintf(out, size, "MAIL FROM:<%.*s-%ld%s>\r\n", (int)(at - opt.sender),
                            opt.sender, n, at);
  } else {
    used = (size_t)snprintf(out, size, "MAIL FROM:<%s>\r\n", opt.sender);
  }
  for (int i = 0; i < opt.recipient_count && used < size; i++)
    used += (size_t)snprintf(out + used, size - used, "RCPT TO:<%s>\r\n", opt.recipients[i]);
  if (used < size) used += (size_t)snprintf(out + used, size - used, "DATA\r\n");
  return used < size ? used : size;
}

static int one_message(struct connection* c, long n) {
  char commands[kMaxRecipients * 300 + 600];
  size_t length = envelope(n, commands, sizeof commands);
  if (send_all(c, commands, length) < 0 || expect_reply(c, 250) < 0) return -1;
  for (int i = 0; i < opt.recipient_count; i++)
    if (expect_reply(c, 250) < 0) return -1;
  if (expect_reply(c, 354) < 0 || send_all(c, message, message_length) < 0) return -1;
  for (int i = 0; i < opt.recipient_count; i++)
    if (expect_reply(c, opt.expected_code) < 0) return -1;
  return 0;
}

static void* run_connection(void* unused) {
  (void)unused;
  struct connection* c = calloc(1, sizeof *c);
  if (c == NULL) {
    failure("out of memory", "");
    return NULL;
  }
  c->fd = connect_to(opt.address);
  if (c->fd < 0) {
    failure("cannot connect to ", opt.address);
    free(c);
    return NULL;
  }
  struct timeval limit = {120, 0};
  setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  static const char lhlo[] = "LHLO lmtp-load.example\r\n";
  if (expect_reply(c, 220) == 0 && send_all(c, lhlo, sizeof lhlo - 1) == 0 &&
      expect_reply(c, 250) == 0) {
    for (long n; !atomic_load(&failed) && (n = atomic_fetch_add(&next_message, 1)) < opt.messages;)
      if (one_message(c, n) < 0) break;
    static const char quit[] = "QUIT\r\n";
    if (!atomic_load(&failed) && send_all(c, quit, sizeof quit - 1) == 0) expect_reply(c, 221);
  }
  close(c->fd);
  free(c);
  return NULL;
}

/* The file as it goes over the wire: LF (or CRLF) line ends become CRLF, a
 * line that begins with a dot gets another, and the final dot follows. */
static int load_message(const char* path) {
  FILE* in = fopen(path, "rb");
  if (in == NULL) return -1;
  size_t capacity = 4096;
  message = malloc(capacity);
  int at_line_start = 1, ch;
  while (message != NULL && (ch = getc(in)) != EOF) {
    if (message_length + 8 > capacity) {
      char* larger = realloc(message, capacity *= 2);
      if (larger == NULL) free(message);
      message = larger;
      if (message == NULL) break;
    }
    if (ch == '\r') continue;
    if (at_line_start && ch == '.') message[message_length++] = '.';
    if (ch == '\n') message[message_length++] = '\r';
    message[message_length++] = (char)ch;
    at_line_start = ch == '\n';
  }
  fclose(in);
  if (message == NULL) return -1;
  if (!at_line_start) {
    message[message_length++] = '\r';
    message[message_length++] = '\n';
  }
  memcpy(message + message_length, ".\r\n", 3);
  message_length += 3;
  return 0;
}

static int usage(void) {
  fprintf(
      stderr,
      "usage: lmtp_load [-c CONNECTIONS] [-n MESSAGES] [-s SENDER] [-u] [-e CODE] [-i IDLE]\n"
      "                 -m MESSAGE_FILE -r RECIPIENT [-r RECIPIENT]... unix:PATH|inet:HOST:PORT\n");
  return 2;
}

int main(int argc, char** argv) {
  const char* message_file = NULL;
  for (int ch; (ch = getopt(argc, argv, "c:n:s:ue:i:m:r:")) != -1;) {
    if (ch == 'c') opt.connections = atoi(optarg);
    else if (ch == 'n') opt.messages = atol(optarg);
    else if (ch == 's') opt.sender = optarg;
    else if (ch == 'u') opt.unique_senders = 1;
    else if (ch == 'e') opt.expected_code = atoi(optarg);
    else if (ch == 'i') opt.idle = atoi(optarg);
    else if (ch == 'm') message_file = optarg;
    else if (ch == 'r' && opt.recipient_count < kMaxRecipients)
      opt.recipients[opt.recipient_count++] = optarg;
    else return usage();
  }
  if (optind + 1 != argc || message_file == NULL || opt.recipient_count == 0 ||
      opt.connections < 1 || opt.messages < 0 || opt.idle < 0)
    return usage();
  opt.address = argv[optind];
  if (load_message(message_file) < 0) {
    perror(message_file);
    return 1;
  }
  pthread_t* threads = calloc((size_t)opt.connections, sizeof *threads);
  int* idle = calloc((size_t)opt.idle + 1, sizeof *idle);
  if (threads == NULL || idle == NULL) return 1;
  for (int i = 0; i < opt.idle; i++) {
    idle[i] = connect_to(opt.address);
    if (idle[i] < 0) {
      failure("cannot open an idle connection to ", opt.address);
      return 1;
    }
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int started = 0;
  while (started < opt.connections &&
         pthread_create(&threads[started], NULL, run_connection, NULL) == 0)
    started++;
  if (started < opt.connections) failure("cannot start a thread", "");
  for (int i = 0; i < started; i++) pthread_join(threads[i], NULL);
  clock_gettime(CLOCK_MONOTONIC, &end);
  free(threads);
  for (int i = 0; i < opt.idle; i++) close(idle[i]);
  free(idle);
  free(message);
  if (atomic_load(&failed)) return 1;
  double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  printf("messages %ld connections %d seconds %.3f messages/s %.1f\n", opt.messages,
         opt.connections, seconds, seconds > 0 ? (double)opt.messages / seconds : 0.0);
  return 0;
}
