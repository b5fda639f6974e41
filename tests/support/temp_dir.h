// A temporary directory for one test, removed with everything in it.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path()/name
  std::string file(const std::string& name) const;
  // Writes content to path()/name and returns that path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string& path);
