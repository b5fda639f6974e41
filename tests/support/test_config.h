// Configuration files for the end-to-end tests: the lines that point the
// built program at a test directory, its block files and the recording MTA,
// with each test's own directives on top.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/slapd_server.h"
#include "support/temp_dir.h"

class TestConfig {
 public:
  // No directives at all.
  TestConfig() = default;
  // The usual lines for answering mail from server's directory:
  //   server 127.0.0.1, port <server.port()>, base <suffix>, protocol 3,
  //   blockfiles <blockdir>, mta <recording MTA> -f <> $sender,
  //   mta_env <the recording MTA's variables>, loglevel 3
  TestConfig(const SlapdServer& server, const std::string& blockdir);

  // Gives directive this value: replaces its line where there is one,
  // otherwise adds a line after the others.
  TestConfig& set(const std::string& directive, const std::string& value);
  // Drops the line of directive, if any.
  TestConfig& remove(const std::string& directive);
  // Appends lines as they are (each ending in a newline), after the
  // directives: a test's extra text, repeated directives included.
  TestConfig& add(const std::string& lines);

  // The file's text: one "directive value" line each, then the added lines.
  std::string text() const;
  // Writes text() to dir/name and returns that path.
  std::string write(const TempDir& dir, const std::string& name = "orvelt.cfg") const;

 private:
  std::vector<std::pair<std::string, std::string>> directives_;
  std::string added_;
};
