#include "support/log_capture.h"

#include <cstdio>
#include <fstream>

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
