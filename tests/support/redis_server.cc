#include "support/redis_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

namespace {

// A random port below the kernel's ephemeral range, so that outgoing
// connections do not take it while the server starts.
int random_port() {
  static std::mt19937 generator(static_cast<unsigned>(getpid()) ^
                                static_cast<unsigned>(time(nullptr)));
  return 20000 + static_cast<int>(generator() % 12000);
}

// Starts redis-server with args; the child dies with this process.
pid_t start_server(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close_range(3, ~0U, 0);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

bool exited(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid;
}

// Whether the replica reports its link to the primary up.
bool link_up(const RedisServer& replica) {
  const RedisReply reply = replica.command({"INFO", "replication"});
  return reply && reply->type == REDIS_REPLY_STRING &&
         std::string(reply->str, reply->len).find("master_link_status:up") != std::string::npos;
}

}  // namespace

RedisServer::RedisServer(const RedisOptions& options) {
  password_ = options.primary != nullptr ? options.primary->password() : options.requirepass;
  for (int attempt = 0; attempt < 20; ++attempt) {
    port_ = random_port();
    // No persistence; a replica is served at once, not after the default
    // delay of 5 s; a stop waits for no replica.
    std::vector<std::string> words{"redis-server",
                                   "--port",
                                   std::to_string(port_),
                                   "--bind",
                                   "127.0.0.1",
                                   "--save",
                                   "",
                                   "--appendonly",
                                   "no",
                                   "--dir",
                                   dir_.path(),
                                   "--logfile",
                                   dir_.file("log"),
                                   "--unixsocket",
                                   dir_.file("socket"),
                                   "--unixsocketperm",
                                   "700",
                                   "--daemonize",
                                   "no",
                                   "--repl-diskless-sync-delay",
                                   "0",
                                   "--shutdown-timeout",
                                   "0"};
    if (!password_.empty()) {
      words.insert(words.end(), {"--requirepass", password_, "--masterauth", password_});
    }
    if (options.primary != nullptr) {
      words.insert(words.end(),
                   {"--replicaof", "127.0.0.1", std::to_string(options.primary->port())});
    }
    pid_ = start_server(words);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (exited(pid_)) break;  // the port was taken: another attempt
      const RedisReply reply = command({"PING"});
      if (reply && reply->type == REDIS_REPLY_STATUS &&
          (options.primary == nullptr || link_up(*this))) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!exited(pid_)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      throw std::runtime_error("redis-server did not come up: " + read_file(dir_.file("log")));
    }
    pid_ = 0;
  }
  throw std::runtime_error("redis-server: no free port found: " + read_file(dir_.file("log")));
}

RedisServer::~RedisServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGCONT);
  kill(pid_, SIGTERM);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::string RedisServer::url() const { return "redis://127.0.0.1:" + std::to_string(port_); }
std::string RedisServer::unix_url() const { return "unix:" + dir_.file("socket"); }

void RedisServer::stop() const { kill(pid_, SIGSTOP); }
void RedisServer::cont() const { kill(pid_, SIGCONT); }

RedisReply RedisServer::command(const std::vector<std::string>& words) const {
  OptionalText password;
  if (!password_.empty()) password = password_;
  // The socket in the server's own directory: a port that another test's
  // server took first may answer on TCP while this server gives up.
  const RedisOpened opened = redis_open(unix_url(), password);
  if (!opened.connection) return nullptr;
  return redis_command(opened.connection, words);
}

std::optional<std::string> RedisServer::get(const std::string& key) const {
  const RedisReply reply = command({"GET", key});
  if (!reply || reply->type != REDIS_REPLY_STRING) return std::nullopt;
  return std::string(reply->str, reply->len);
}

long long RedisServer::ttl(const std::string& key) const {
  const RedisReply reply = command({"TTL", key});
  return reply && reply->type == REDIS_REPLY_INTEGER ? reply->integer : -3;
}

std::vector<std::string> RedisServer::keys() const {
  std::vector<std::string> out;
  const RedisReply reply = command({"KEYS", "*"});
  if (!reply || reply->type != REDIS_REPLY_ARRAY) return out;
  for (size_t i = 0; i < reply->elements; ++i) {
    out.emplace_back(reply->element[i]->str, reply->element[i]->len);
  }
  std::sort(out.begin(), out.end());
  return out;
}

ClosedPort::ClosedPort() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("cannot bind a loopback port");
  }
  port_ = ntohs(address.sin_port);
}

ClosedPort::~ClosedPort() {
  if (fd_ >= 0) close(fd_);
}

std::string ClosedPort::url() const { return "redis://127.0.0.1:" + std::to_string(port_); }
