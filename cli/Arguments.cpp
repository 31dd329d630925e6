#include "Arguments.h"

#include <algorithm>

#include "SafeText.h"

namespace porvane {

std::optional<Arguments> Arguments::parse(int argc, char** argv,
                                          const std::vector<OptionSpec>& specs,
                                          std::string* error) {
  // Arguments are bytes; everything after this point sees valid UTF-8, so a bad byte in a
  // name cannot reach the store and from there every JSON output.
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) words.push_back(validUTF8(argv[i]));
  return parse(words, specs, error);
}

std::optional<Arguments> Arguments::parse(const std::vector<std::string>& words,
                                          const std::vector<OptionSpec>& specs,
                                          std::string* error) {
  const auto fail = [&](std::string message) -> std::optional<Arguments> {
    if (error) *error = std::move(message);
    return std::nullopt;
  };
  Arguments result;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    // A lone "-" is a word (some tools read it as standard input); "--" ends the options so
    // that a tracking number or a name may start with a dash.
    if (optionsEnded || !word.starts_with("--")) {
      result.positionals_.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = word.substr(2);
    std::optional<std::string> inlineValue;
    if (const auto equals = name.find('='); equals != std::string::npos) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    const auto spec = std::find_if(specs.begin(), specs.end(),
                                   [&](const OptionSpec& s) { return s.name == name; });
    if (spec == specs.end()) return fail("unknown option: --" + name);
    if (!spec->takesValue) {
      if (inlineValue) return fail("option --" + name + " takes no value");
      result.flags_.insert(name);
      continue;
    }
    if (result.values_.contains(name)) return fail("option --" + name + " given twice");
    if (inlineValue) {
      result.values_[name] = *inlineValue;
    } else if (i + 1 < words.size()) {
      result.values_[name] = words[++i];
    } else {
      return fail("option --" + name + " needs a value");
    }
  }
  return result;
}

bool Arguments::has(const std::string& name) const {
  return flags_.contains(name) || values_.contains(name);
}

std::optional<std::string> Arguments::value(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::string Arguments::joinedPositionals() const {
  std::string text;
  for (const auto& word : positionals_) text += (text.empty() ? "" : " ") + word;
  return text;
}

}  // namespace porvane
