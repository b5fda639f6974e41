#include "support/tcp_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Writes all of data, waiting as needed; false when the peer is gone.
bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

TcpRelay::TcpRelay(int server_port) : server_port_(server_port) {
  listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (!listener_.valid() ||
      bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_.get(), 64) != 0 ||
      getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("relay: cannot listen");
  }
  port_ = ntohs(address.sin_port);
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("relay: no pipe");
  wake_read_.reset(pipe_ends[0]);
  wake_write_.reset(pipe_ends[1]);
  thread_ = std::thread([this] { run(); });
}

TcpRelay::~TcpRelay() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  const char wake = 's';
  (void)!write(wake_write_.get(), &wake, 1);
  thread_.join();
}

void TcpRelay::black_hole() {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (Link& link : links_) link.dropped = true;
}

std::vector<int> TcpRelay::client_ports() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::vector<int> ports;
  for (const Link& link : links_) {
    if (!link.dropped) ports.push_back(link.client_port);
  }
  return ports;
}

bool TcpRelay::pass(int from, int to, bool dropped) {
  char buffer[65536];
  ssize_t got;
  do {
    got = read(from, buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  // A dropped link's peer is gone for good: what it would have got is lost.
  return dropped || write_all(to, buffer, static_cast<size_t>(got));
}

void TcpRelay::run() {
  for (;;) {
    std::vector<pollfd> watched{{wake_read_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      // poll passes over negative descriptors.
      for (const Link& link : links_) {
        watched.push_back({link.client_ended ? -1 : link.client.get(), POLLIN, 0});
        watched.push_back({link.server_ended ? -1 : link.server.get(), POLLIN, 0});
      }
    }
    // Woken at least every 100 ms, so that a black-holed link is seen as one
    // before anything more is forwarded on it.
    if (poll(watched.data(), watched.size(), 100) < 0 && errno != EINTR) return;
    if (watched[0].revents != 0) {
      char drained[16];
      while (read(wake_read_.get(), drained, sizeof drained) > 0) {
      }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    std::vector<Link> kept;
    for (size_t i = 0; i < links_.size(); ++i) {
      Link& link = links_[i];
      const short from_client = watched[2 + 2 * i].revents;
      const short from_server = watched[3 + 2 * i].revents;
      const bool client_open =
          from_client == 0 || pass(link.client.get(), link.server.get(), link.dropped);
      const bool server_open =
          from_server == 0 || pass(link.server.get(), link.client.get(), link.dropped);
      if (link.dropped) {
        // Its sockets stay open: neither peer may learn of the other's end.
        link.client_ended = link.client_ended || !client_open;
        link.server_ended = link.server_ended || !server_open;
        kept.push_back(std::move(link));
      } else if (client_open && server_open) {
        kept.push_back(std::move(link));
      }
    }
    links_ = std::move(kept);
    if (watched[1].revents != 0) {
      sockaddr_in peer{};
      socklen_t length = sizeof peer;
      UniqueFd client(
          accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
      if (!client.valid()) continue;
      UniqueFd server(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      const sockaddr_in target = loopback(server_port_);
      if (!server.valid() ||
          connect(server.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        continue;  // the client sees its connection closed
      }
      Link link;
      link.client = std::move(client);
      link.server = std::move(server);
      link.client_port = ntohs(peer.sin_port);
      links_.push_back(std::move(link));
    }
  }
}
