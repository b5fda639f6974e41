// What became of a step that can fail for reasons outside the program (the
// directory, the block store, the MTA, a file): done, or a failure that the
// caller hands up to the one place that ends the run (main) or, in a
// long-running process, fails the one message and goes on with the next.
#pragma once

#include <optional>
#include <string>
#include <utility>

struct Outcome {
  enum Kind {
    kDone,         // the step did what was asked
    kRetry,        // a fault outside the program: the message must be tried again later
    kConfigError,  // the configuration cannot work (a refused password, a bad setting)
  };
  Kind kind = kDone;
  // For a failure: the syslog priority and the whole log text ("CRIT/LDAP
  // Timed out"), logged once by whoever ends the run or the message.
  int priority = 0;
  std::string reason;

  static Outcome done() { return {}; }
  static Outcome retry(int priority, std::string reason) {
    return {kRetry, priority, std::move(reason)};
  }
  static Outcome config_error(int priority, std::string reason) {
    return {kConfigError, priority, std::move(reason)};
  }
  bool ok() const { return kind == kDone; }
};

// A value, or the failure that stopped it from being made.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  // failure must not be done.
  Result(Outcome failure) : failure_(std::move(failure)) {}  // NOLINT

  bool ok() const { return value_.has_value(); }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  // The failure, for a result that is not ok; done for one that is.
  const Outcome& failure() const { return failure_; }

 private:
  std::optional<T> value_;
  Outcome failure_;
};
