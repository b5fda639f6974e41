// Where a message is read from: orvelt's standard input, or the DATA of an
// LMTP transaction in orveltd. Readers take the interface so that neither
// needs to know the other.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads at most size bytes into buffer: the count read, 0 at the end of
  // the input, -1 when it cannot be read (which readers count as the end).
  virtual ssize_t read(char* buffer, size_t size) = 0;
};

// A source over a descriptor the caller owns; an interrupted read is done
// again.
class FdByteSource final : public ByteSource {
 public:
  explicit FdByteSource(int fd) : fd_(fd) {}
  ssize_t read(char* buffer, size_t size) override {
    ssize_t got;
    do {
      got = ::read(fd_, buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
  }

 private:
  int fd_;
};
