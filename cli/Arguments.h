// Command-line options of one command: "--flag", "--option VALUE", "--option=VALUE" and
// positional words, with "--" ending the options: every word after it is text, also one that
// looks like an option (as POSIX tools read it). Parsing never exits or prints: a wrong
// command line answers nothing and the message for the user.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace porvane {

struct OptionSpec {
  std::string name;  // without the leading "--"
  bool takesValue = false;
};

class Arguments {
 public:
  // argv holds the words after the command name; each is made valid UTF-8 (invalid sequences
  // become U+FFFD).
  static std::optional<Arguments> parse(int argc, char** argv, const std::vector<OptionSpec>& specs,
                                        std::string* error);
  static std::optional<Arguments> parse(const std::vector<std::string>& words,
                                        const std::vector<OptionSpec>& specs, std::string* error);

  bool has(const std::string& name) const;
  std::optional<std::string> value(const std::string& name) const;
  const std::vector<std::string>& positionals() const { return positionals_; }
  // The positional words joined by single blanks ("" without any).
  std::string joinedPositionals() const;

 private:
  std::set<std::string> flags_;
  std::map<std::string, std::string> values_;
  std::vector<std::string> positionals_;
};

}  // namespace porvane
