#include "dbtool/db_options.h"

#include <climits>

#include "dbtool/display.h"

namespace {

struct OptionName {
  const char* name;
  Option bit;
  bool takes_value;
};

constexpr OptionName kOptions[] = {
    {"--replace", kReplace, false}, {"--address", kAddress, false},     {"--mode", kMode, true},
    {"--dry-run", kDryRun, false},  {"--older-than", kOlderThan, true}, {"-c", kConfig, true},
    {"--config", kConfig, true},
};

}  // namespace

std::string shown(const std::string& path) { return escape_for_display(path); }

std::string count_of(size_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

bool parse_arguments(Run& run, const std::vector<std::string>& args, unsigned allowed,
                     Invocation& inv) {
  bool options_end = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_end || arg.size() < 2 || arg[0] != '-') {
      inv.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionName* option = nullptr;
    for (const OptionName& o : kOptions) {
      if (name == o.name) option = &o;
    }
    if (option == nullptr || (allowed & option->bit) == 0) {
      run.say("%s: unknown option for %s", shown(name).c_str(), inv.command.c_str());
      return false;
    }
    inv.given |= option->bit;
    if (!option->takes_value) {
      if (equals != std::string::npos) {
        run.say("%s takes no value", option->name);
        return false;
      }
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      run.say("%s needs a value", option->name);
      return false;
    }
    (option->bit == kMode     ? inv.mode
     : option->bit == kConfig ? inv.config
                              : inv.older_than) = value;
  }
  return true;
}

std::optional<int64_t> parse_hours(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t hours = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    hours = hours * 10 + (c - '0');
  }
  if (hours > INT64_MAX / 3600) return std::nullopt;
  return hours;
}

std::optional<int> parse_mode(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  int mode = 0;
  for (const char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = mode * 8 + (c - '0');
  }
  if (mode > 0777) return std::nullopt;
  return mode;
}

KeyKind kind_of(const Invocation& inv) {
  return (inv.given & kAddress) != 0 ? KeyKind::kAddress : KeyKind::kHeaderLine;
}
