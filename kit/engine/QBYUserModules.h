// Tracking modules the user adds: every "*.js" file in the container's scripts/services folder
// is loaded after the shipped (or downloaded) services, in file-name order, so that it adds a
// carrier or replaces a shipped module by registering the same service key.
//
// A user module is written like a shipped one: its body runs inside a function of its own. One
// that does not load (a syntax error, an exception while it runs) is refused with a log line
// that names the file, line, column and message; the services registered before it stay as
// they were, so a broken file never takes a shipped carrier with it.
//
// Threads: folder and files from any thread; load and loadAll only on the queue of the script
// runner that owns the context, after Main.js is loaded.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The context type of JavaScriptCore, declared here so that includers need not see the engine.
typedef struct _JSCContext JSCContext;

namespace qby {

struct QBYUserModuleLoad {
  std::filesystem::path file;
  // The service keys the module registered, in order; empty when refused.
  std::vector<std::string> services;
  // Why the module was refused: "<file>:<line>:<column>: <message>"; absent when loaded.
  std::optional<std::string> refusal;
};

class QBYUserModules {
 public:
  // <shared container>/scripts/services.
  static std::filesystem::path folder();
  // The module files of the folder, sorted by name; empty when there is no folder.
  static std::vector<std::filesystem::path> files();

  // Loads one module file into the context.
  static QBYUserModuleLoad load(JSCContext* context, const std::filesystem::path& file);

  // Loads every module of the folder and writes one line per file through log: the file used
  // (with the services it registers), or why it was refused.
  static std::vector<QBYUserModuleLoad> loadAll(JSCContext* context,
                                                const std::function<void(const std::string&)>& log);
};

}  // namespace qby
