#include "daemon/connection_queue.h"

#include <sys/socket.h>

#include <cstring>
#include <utility>

void ConnectionQueue::push(UniqueFd fd) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;  // fd closes here
    waiting_.push_back(std::move(fd));
  }
  ready_.notify_one();
}

std::optional<UniqueFd> ConnectionQueue::pop() {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [this] { return closed_ || !waiting_.empty(); });
  if (closed_) return std::nullopt;
  UniqueFd fd = std::move(waiting_.front());
  waiting_.pop_front();
  return fd;
}

std::vector<UniqueFd> ConnectionQueue::close() {
  std::vector<UniqueFd> left;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (UniqueFd& fd : waiting_) left.push_back(std::move(fd));
    waiting_.clear();
  }
  ready_.notify_all();
  return left;
}

void ActiveConnections::add(int fd) {
  const std::lock_guard<std::mutex> lock(mutex_);
  fds_.insert(fd);
}

void ActiveConnections::remove(int fd) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    fds_.erase(fd);
  }
  changed_.notify_all();
}

bool ActiveConnections::wait_empty(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_until(lock, deadline, [this] { return fds_.empty(); });
}

void ActiveConnections::abort_all(const char* line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const int fd : fds_) {
    (void)!send(fd, line, strlen(line), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(fd, SHUT_RDWR);
  }
}
