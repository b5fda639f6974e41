// Stand-in for the configuration hand-over between threads, until the real
// one is in the tree: the same calls, kept simple.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

void config_publish();
bool config_adopt_published();
uint64_t config_generation();
std::optional<std::string> config_read_path(const char* path);
