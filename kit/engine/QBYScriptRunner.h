// The base of the script hosts: one JavaScript virtual machine and context, and the private
// serial queue on which every use of them happens. It loads script files into the context,
// notices a required script that is missing, and turns every uncaught script error into one
// log line and one call of handleException. It knows nothing about deliveries; subclasses add
// host functions and scripts by overriding configureContext.
//
// Runners live in std::shared_ptr and are made by scriptRunnerWithConfigurationBlock. Work
// queued on a runner holds it weakly: a runner released while work is queued is destroyed at
// once, and the queued blocks still run, with a null context.
//
// Threads: scriptRunnerWithConfigurationBlock, runBlock, runBlockAndWait, invalidate, queue,
// setExecutionTimeLimit and configurationFailed may be called from any thread (runBlockAndWait
// not from the runner's own queue). Everything else that touches the context
// (configureContext, configureScript*, privateContext, the host functions and the exception
// handler) runs on the runner's queue.
#pragma once

#include <jsc/jsc.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/GLibPtr.h"
#include "platform/QBYError.h"
#include "platform/QBYOperationQueue.h"

namespace qby {

class QBYScriptRunner : public std::enable_shared_from_this<QBYScriptRunner> {
 protected:
  // Only scriptRunnerWithConfigurationBlock makes runners, so that every runner is owned by a
  // shared_ptr that its queued work can refer to weakly. Subclasses take the token in their
  // constructor and pass it on.
  class ConstructionToken {
    friend class QBYScriptRunner;
    ConstructionToken() = default;
  };

 public:
  using ContextBlock = std::function<void(JSCContext* context)>;
  // A host function installed on the context's global object. It runs on the queue with the
  // runner alive for the call and answers the value handed back to the script; an empty answer
  // reads as undefined.
  using HostFunction = std::function<GObjectPtr<JSCValue>(
      QBYScriptRunner& runner, JSCContext* context, const std::vector<JSCValue*>& arguments)>;

  static constexpr double kDefaultWaitTimeout = 180;
  static constexpr double kDefaultExecutionTimeLimit = 60;

  explicit QBYScriptRunner(ConstructionToken);
  virtual ~QBYScriptRunner();
  QBYScriptRunner(const QBYScriptRunner&) = delete;
  QBYScriptRunner& operator=(const QBYScriptRunner&) = delete;

  // Makes a Runner and queues its configuration (configureContext, then the block with the
  // runner and the configured context). Returns at once; work queued later runs after it.
  template <class Runner = QBYScriptRunner>
  static std::shared_ptr<Runner> scriptRunnerWithConfigurationBlock(
      std::type_identity_t<std::function<void(Runner& runner, JSCContext* context)>> block = {}) {
    static_assert(std::is_base_of_v<QBYScriptRunner, Runner>);
    auto runner = std::make_shared<Runner>(ConstructionToken{});
    std::function<void(QBYScriptRunner&, JSCContext*)> configured;
    if (block) {
      configured = [block = std::move(block)](QBYScriptRunner& base, JSCContext* context) {
        block(static_cast<Runner&>(base), context);
      };
    }
    static_cast<QBYScriptRunner&>(*runner).queueConfiguration(std::move(configured));
    return runner;
  }

  // The file "<name>.js" among the shipped scripts, or nothing (also for no name).
  static std::optional<std::filesystem::path> URLForScriptNamed(
      const std::optional<std::string>& name);

  // The whole file as UTF-8 text. The encoding is detected: a byte-order mark (UTF-8, UTF-16,
  // UTF-32), else UTF-8, else Windows-1252 (which covers ISO-8859-1 text). Unreadable files
  // and files that are no text in these encodings answer nothing and pass an error out.
  static std::optional<std::string> scriptFromURL(const std::filesystem::path& url,
                                                  QBYError* error);

  // Loads a script found with URLForScriptNamed. A missing required script is logged and sets
  // configurationFailed; a missing optional one answers false silently. Queue only.
  bool configureScriptNamed(const std::optional<std::string>& name, bool required);
  // Reads and evaluates the file with its URL as the source URL. A script that throws while it
  // is evaluated still counts as loaded (its error goes to the exception handler). Queue only.
  bool configureScriptWithURL(const std::optional<std::filesystem::path>& url, bool required);

  // Queues the block; it gets the context, or null when the runner is gone or has none.
  void runBlock(ContextBlock block);
  // As runBlock, then waits until the block has run (or was cancelled), at most the wait
  // timeout. Answers false when the wait timed out (the block may still run later) or when
  // called on the runner's own queue, where waiting would deadlock: the block is then not
  // queued at all.
  bool runBlockAndWait(ContextBlock block);
  void setWaitTimeout(double seconds) { waitTimeout_ = seconds; }

  // Longest time one call into the scripts may run before it is terminated, which is logged
  // and reported to handleException; the context stays usable. Zero or less: no limit.
  void setExecutionTimeLimit(double seconds);
  double executionTimeLimit() const { return executionTimeLimit_; }

  // Cancels queued work that has not started and drops the queue and the context. A later
  // queue() makes a fresh queue; the context is not recreated.
  virtual void invalidate();

  bool configurationFailed() const { return configurationFailed_; }

  // The serial queue, created on first use and named after className().
  std::shared_ptr<QBYOperationQueue> queue();
  // The configured context, or null before configuration and after invalidate. Queue only.
  JSCContext* privateContext() const;

  // The class name used in log lines and as the queue's name.
  virtual std::string className() const { return "QBYScriptRunner"; }
  // Writes the text to the console as it is.
  virtual void logMessage(const std::string& message);
  // Called after logMessage for every uncaught script error. Does nothing here.
  virtual void handleException(const std::string& message);

 protected:
  // Creates the virtual machine and the context, installs the exception handler and "alert",
  // stores the context and returns it. Overrides call this first and add to its answer.
  virtual JSCContext* configureContext();

  // Puts a function named name on the context's global object. The function holds the runner
  // weakly and answers undefined once the runner is gone.
  void installHostFunction(JSCContext* context, const std::string& name, HostFunction function);

 private:
  struct Engine;

  void queueConfiguration(std::function<void(QBYScriptRunner&, JSCContext*)> block);
  std::function<void()> operationFor(ContextBlock block);
  std::shared_ptr<Engine> engine() const;
  // Gives the script engine the main-thread run loop its garbage collector needs. Any thread.
  static void prepareScriptEngine();
  static void retire(std::shared_ptr<QBYOperationQueue> queue, std::shared_ptr<Engine> engine,
                     std::function<void()> afterRelease = {});

  mutable std::mutex mutex_;  // guards queue_ and engine_, which the owner and the queue share
  std::shared_ptr<QBYOperationQueue> queue_;
  std::shared_ptr<Engine> engine_;
  std::atomic<bool> configurationFailed_{false};
  std::atomic<double> waitTimeout_{kDefaultWaitTimeout};
  std::atomic<double> executionTimeLimit_{kDefaultExecutionTimeLimit};
};

}  // namespace qby
