// A tracking module file of the user's: whatever its bytes, loading it either registers what
// it registers or is refused with a line that names the file, a line and a column; a refused
// module leaves every service registered before it as it was, and nothing reaches the
// context's exception handler, which would count as a failed update.
//
// Input: the bytes of the module file.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "engine/QBYScriptRunner.h"
#include "engine/QBYUserModules.h"
#include "platform/GLibPtr.h"

namespace {

class ModuleRunner : public qby::QBYScriptRunner {
 public:
  explicit ModuleRunner(ConstructionToken token) : QBYScriptRunner(token) {}
  std::string className() const override { return "ModuleRunner"; }
  void logMessage(const std::string&) override {}
  void handleException(const std::string& message) override { exceptions += message + "\n"; }
  std::string exceptions;
};

std::shared_ptr<ModuleRunner> runner;
std::filesystem::path moduleFile;

// The registered service keys, joined, as the scripts see them.
std::string registeredKeys(JSCContext* context) {
  const std::string code = "Object.keys(Tracking.services).sort().join(',')";
  auto value = qby::GObjectPtr<JSCValue>::adopt(
      jsc_context_evaluate(context, code.data(), static_cast<gssize>(code.size())));
  qby::GCharPtr text{value ? jsc_value_to_string(value.get()) : nullptr};
  return text ? text.get() : "";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qby::fuzz::useTemporaryHome();
  runner = qby::QBYScriptRunner::scriptRunnerWithConfigurationBlock<ModuleRunner>(
      [](ModuleRunner& runner, JSCContext*) {
        for (const char* name : {"Common", "Guess", "Strings", "Main"})
          runner.configureScriptNamed(name, true);
      });
  runner->setExecutionTimeLimit(2);
  moduleFile = qby::QBYUserModules::folder() / "fuzzed.js";
  std::filesystem::create_directories(moduleFile.parent_path());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out(moduleFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  runner->runBlockAndWait([](JSCContext* context) {
    if (!context) qby::fuzz::fail("no context");
    const std::string before = registeredKeys(context);
    const auto load = qby::QBYUserModules::load(context, moduleFile);
    if (load.refusal) {
      FUZZ_CHECK(load.refusal->rfind(moduleFile.string() + ":", 0) == 0, *load.refusal);
      FUZZ_CHECK(load.services.empty(), *load.refusal);
      FUZZ_CHECK(registeredKeys(context) == before, *load.refusal);
    }
    // Undo what a loaded module registered, so that every input starts from the same state.
    const std::string reset = "Tracking.services = {};";
    qby::GObjectPtr<JSCValue>::adopt(
        jsc_context_evaluate(context, reset.data(), static_cast<gssize>(reset.size())));
  });
  // A module that loops while it loads is stopped by the time limit, which reports an
  // exception; anything else reaching the handler is a fault of the loader.
  if (!runner->exceptions.empty() && runner->exceptions.find("time") == std::string::npos &&
      runner->exceptions.find("Terminat") == std::string::npos)
    qby::fuzz::fail("a module reached the exception handler", runner->exceptions);
  runner->exceptions.clear();
  return 0;
}
