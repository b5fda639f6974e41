#include "daemon/connection_queue.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <utility>

void ConnectionQueue::push(std::unique_ptr<Connection> connection) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;  // the connection closes here
    waiting_.push_back(std::move(connection));
  }
  ready_.notify_one();
}

std::optional<std::unique_ptr<Connection>> ConnectionQueue::pop() {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [this] { return closed_ || !waiting_.empty(); });
  if (closed_) return std::nullopt;
  std::unique_ptr<Connection> connection = std::move(waiting_.front());
  waiting_.pop_front();
  return connection;
}

std::vector<std::unique_ptr<Connection>> ConnectionQueue::close() {
  std::vector<std::unique_ptr<Connection>> left;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (std::unique_ptr<Connection>& connection : waiting_) left.push_back(std::move(connection));
    waiting_.clear();
  }
  ready_.notify_all();
  return left;
}

ReturnedConnections::ReturnedConnections() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void ReturnedConnections::push(std::unique_ptr<Connection> connection) {
  const std::lock_guard<std::mutex> lock(mutex_);
  returned_.push_back(std::move(connection));
  wake();
}

void ReturnedConnections::wake() {
  const uint64_t one = 1;
  (void)!write(wake_.get(), &one, sizeof one);
}

std::vector<std::unique_ptr<Connection>> ReturnedConnections::take() {
  const std::lock_guard<std::mutex> lock(mutex_);
  uint64_t count = 0;
  (void)!read(wake_.get(), &count, sizeof count);
  return std::exchange(returned_, {});
}

void ActiveConnections::add(int fd) {
  const std::lock_guard<std::mutex> lock(mutex_);
  fds_.insert(fd);
}

void ActiveConnections::remove(int fd) {
  const std::lock_guard<std::mutex> lock(mutex_);
  fds_.erase(fd);
}

void ActiveConnections::abort_all(const char* line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const int fd : fds_) {
    (void)!send(fd, line, strlen(line), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(fd, SHUT_RDWR);
  }
}
