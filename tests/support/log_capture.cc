#include "support/log_capture.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>

#include "util/log.h"

namespace {
std::vector<LogRecord> captured;

void capture_sink(int priority, const char* text) {
  captured.push_back({priority, text});
  fprintf(stderr, "%d|%s\n", priority, text);
}
}  // namespace

LogCapture::LogCapture() {
  captured.clear();
  log_set_sink(capture_sink);
}

LogCapture::~LogCapture() { log_set_sink(nullptr); }

const std::vector<LogRecord>& LogCapture::records() const { return captured; }

void LogCapture::clear() { captured.clear(); }

std::vector<LogRecord> read_captured_log(const std::string& path) {
  std::vector<LogRecord> records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("log ", 0) != 0) continue;
    const size_t space = line.find(' ', 4);
    if (space == std::string::npos) continue;
    records.push_back({std::stoi(line.substr(4, space - 4)), line.substr(space + 1)});
  }
  return records;
}

bool logged(const std::vector<LogRecord>& records, int priority, const std::string& text) {
  return std::any_of(records.begin(), records.end(), [&](const LogRecord& record) {
    return record.priority == priority && record.text == text;
  });
}

bool logged_start(const std::vector<LogRecord>& records, int priority, const std::string& start) {
  return std::any_of(records.begin(), records.end(), [&](const LogRecord& record) {
    return record.priority == priority && record.text.starts_with(start);
  });
}

int mail_code(const std::vector<LogRecord>& records) {
  static const std::regex code("DEBUG/MAIL Code: (-?[0-9]+) MessageID: .*");
  for (const LogRecord& record : records) {
    std::smatch m;
    if (std::regex_match(record.text, m, code)) return std::stoi(m[1]);
  }
  return -1;
}
