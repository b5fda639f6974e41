#include "support/test_config.h"

#include <algorithm>

#include "support/recording_mta.h"

TestConfig::TestConfig(const SlapdServer& server, const std::string& blockdir) {
  set("server", "127.0.0.1");
  set("port", std::to_string(server.port()));
  set("base", SlapdServer::kSuffix);
  set("protocol", "3");
  set("blockfiles", blockdir);
  set("mta", RecordingMta::program() + " -f <> $sender");
  set("mta_env", RecordingMta::env_names());
  set("loglevel", "3");
}

TestConfig& TestConfig::set(const std::string& directive, const std::string& value) {
  const auto found = std::find_if(directives_.begin(), directives_.end(),
                                  [&](const auto& line) { return line.first == directive; });
  if (found != directives_.end()) {
    found->second = value;
  } else {
    directives_.emplace_back(directive, value);
  }
  return *this;
}

TestConfig& TestConfig::remove(const std::string& directive) {
  std::erase_if(directives_, [&](const auto& line) { return line.first == directive; });
  return *this;
}

TestConfig& TestConfig::add(const std::string& lines) {
  added_ += lines;
  return *this;
}

std::string TestConfig::text() const {
  std::string text;
  for (const auto& [directive, value] : directives_) text += directive + " " + value + "\n";
  return text + added_;
}

std::string TestConfig::write(const TempDir& dir, const std::string& name) const {
  return dir.write(name, text());
}
