// In-process capture of log messages for unit tests.
#pragma once

#include <string>
#include <vector>

struct LogRecord {
  int priority;
  std::string text;
  bool operator==(const LogRecord&) const = default;
};

// While alive, every log message is recorded here instead of going to
// syslog. Each record is also written to stderr as "<priority>|<text>", so
// that death tests can match the message of a process that exits.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LogRecord>& records() const;
  void clear();
};

// Reads the file written by the syslog preload library: the "log" lines as
// records, in order.
std::vector<LogRecord> read_captured_log(const std::string& path);

// True when records hold one of this priority and exactly this text.
bool logged(const std::vector<LogRecord>& records, int priority, const std::string& text);
// True when records hold one of this priority whose text starts with start.
bool logged_start(const std::vector<LogRecord>& records, int priority, const std::string& start);

// The mail code of the "DEBUG/MAIL Code: <code> MessageID: <id>" record
// (logged at loglevel 3), or -1 when there is none.
int mail_code(const std::vector<LogRecord>& records);
