// The DATA decoder: a byte-at-a-time state machine over the session's input
// buffer, so that a line end or the final "." split across reads is seen
// all the same.
#include "lmtp/connection.h"
#include "lmtp/lmtp.h"

LmtpDataSource::LmtpDataSource(LmtpConnection& connection,
                               std::chrono::steady_clock::time_point deadline)
    : connection_(connection), deadline_(deadline) {}

void LmtpDataSource::emit(char c) {
  if (out_count_ < out_size_) {
    out_[out_count_++] = c;
  } else {
    carry_ = c;
  }
}

// One byte of the DATA. At a line's start a "." is held back: alone on its
// line it ends the DATA, else it was the stuffed one and is dropped. A CR is
// held back until the next byte tells whether it ends a line.
void LmtpDataSource::step(char c) {
  switch (state_) {
    case State::dot:
      if (c == '\n') {
        state_ = State::done;
        return;
      }
      if (c == '\r') {
        state_ = State::dot_cr;
        return;
      }
      state_ = State::middle;
      break;
    case State::dot_cr:
      if (c == '\n') {
        state_ = State::done;
        return;
      }
      emit('\r');  // the dot was stuffed, the CR a bare one
      break;
    case State::line_start:
      if (c == '.') {
        state_ = State::dot;
        return;
      }
      break;
    case State::middle:
    case State::done:
      break;
    case State::cr:
      if (c != '\n') emit('\r');
      break;
  }
  // A byte within a line (or the first, not a dot).
  if (c == '\r') {
    state_ = State::cr;
  } else {
    emit(c);
    state_ = c == '\n' ? State::line_start : State::middle;
  }
}

ssize_t LmtpDataSource::read(char* buffer, size_t size) {
  if (failure_ != Failure::none) return -1;
  if (size == 0) return 0;
  out_ = buffer;
  out_size_ = size;
  out_count_ = 0;
  if (carry_) {
    emit(*carry_);
    carry_.reset();
  }
  while (out_count_ < out_size_ && state_ != State::done) {
    const std::string_view input = connection_.buffered();
    if (input.empty()) {
      if (out_count_ > 0) break;  // hand over what there is before waiting
      const LmtpWait waited = connection_.fill(deadline_, false);
      if (waited == LmtpWait::ready) continue;
      failure_ = waited == LmtpWait::timeout   ? Failure::timeout
                 : waited == LmtpWait::stopped ? Failure::stopped
                                               : Failure::closed;
      return -1;
    }
    size_t used = 0;
    while (used < input.size() && out_count_ < out_size_ && state_ != State::done) {
      step(input[used++]);
    }
    connection_.consume(used);
  }
  return static_cast<ssize_t>(out_count_);
}

bool LmtpDataSource::skip_rest() {
  char discard[4096];
  ssize_t got;
  while ((got = read(discard, sizeof discard)) > 0) {
  }
  return got == 0 && complete();
}
