#include "engine/QBYScriptRunner.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "engine/QBYScriptValues.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Resources.h"
#include "util/QBYVisibleText.h"

// The execution time limit exists only in JavaScriptCore's C API, which the library exports
// but whose headers are not installed beside the GLib API. These are its declarations.
extern "C" {
typedef const struct OpaqueJSContextGroup* JSContextGroupRef;
typedef const struct OpaqueJSContext* JSContextRef;
typedef bool (*JSShouldTerminateCallback)(JSContextRef context, void* data);
JSContextGroupRef JSContextGetGroup(JSContextRef context);
void JSContextGroupSetExecutionTimeLimit(JSContextGroupRef group, double limit,
                                         JSShouldTerminateCallback callback, void* data);
void JSContextGroupClearExecutionTimeLimit(JSContextGroupRef group);
}

// Sets up the main thread and main run loop of the library's own threading layer. The library
// exports it for its embedders; no public header declares it.
namespace WTF {
void initializeMainThread();
}

namespace qby {

namespace {

// g_utf8_validate counts a NUL as invalid; a page may hold one, and it is text all the same.
bool validUTF8AllowingNUL(std::string_view text) {
  while (!text.empty()) {
    const std::size_t nul = text.find('\0');
    const std::string_view part = text.substr(0, nul);
    if (!g_utf8_validate_len(part.data(), part.size(), nullptr)) return false;
    if (nul == std::string_view::npos) break;
    text.remove_prefix(nul + 1);
  }
  return true;
}

// Scripts are data that may come from a download; a file beyond this is no script of ours.
constexpr std::uintmax_t kMaximumScriptSize = 64 * 1024 * 1024;

// The GLib API offers no way down to the C API objects underneath it. A JSCContext keeps its
// virtual machine and its JSGlobalContextRef as the first two fields of its private data, and
// a JSCVirtualMachine its JSContextGroupRef as the first of its own (so since the API
// appeared). Both are read only after the first field matched the public getter, and the
// group found through the context must equal the one the virtual machine holds: any other
// layout answers null, which turns the time limit off instead of misreading memory.
JSContextGroupRef contextGroupOf(JSCContext* context) {
  JSCVirtualMachine* virtualMachine = jsc_context_get_virtual_machine(context);
  const auto privateData = [](gpointer instance, GType type) -> void* const* {
    gpointer typeClass = g_type_class_peek(type);
    if (!instance || !typeClass) return nullptr;
    // Private data lies before the instance; two pointers must fit before it.
    const int offset = g_type_class_get_instance_private_offset(typeClass);
    if (offset > -static_cast<int>(2 * sizeof(void*))) return nullptr;
    return reinterpret_cast<void* const*>(static_cast<char*>(instance) + offset);
  };
  void* const* contextData = privateData(context, JSC_TYPE_CONTEXT);
  void* const* machineData = privateData(virtualMachine, JSC_TYPE_VIRTUAL_MACHINE);
  if (!contextData || !machineData) return nullptr;
  if (contextData[0] != virtualMachine || !contextData[1] || !machineData[0]) return nullptr;
  JSContextGroupRef group = JSContextGetGroup(static_cast<JSContextRef>(contextData[1]));
  return group == machineData[0] ? group : nullptr;
}

// The last path component of a source URL without its extension: "file:///…/Main.js" gives
// "Main". No URL gives nothing, which logs as "(null)".
std::optional<std::string> scriptNameFromSourceURI(const char* uri) {
  if (!uri || !*uri) return std::nullopt;
  std::string component;
  if (GCharPtr path{g_filename_from_uri(uri, nullptr, nullptr)}) {
    component = std::filesystem::path(path.get()).filename().string();
  } else {
    std::string_view text(uri);
    if (const auto query = text.find_first_of("?#"); query != std::string_view::npos)
      text = text.substr(0, query);
    while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
    if (const auto slash = text.rfind('/'); slash != std::string_view::npos)
      text = text.substr(slash + 1);
    const std::string escaped(text);
    GCharPtr unescaped{g_uri_unescape_string(escaped.c_str(), nullptr)};
    component = unescaped ? unescaped.get() : escaped;
  }
  return std::filesystem::path(component).stem().string();
}

std::string fileURI(const std::filesystem::path& path) {
  std::error_code error;
  const auto absolute = std::filesystem::absolute(path, error);
  GCharPtr uri{g_filename_to_uri((error ? path : absolute).c_str(), nullptr, nullptr)};
  return uri ? uri.get() : path.string();
}

QBYError encodingError(const std::filesystem::path& path) {
  return QBYError::make(g_quark_to_string(G_CONVERT_ERROR), G_CONVERT_ERROR_ILLEGAL_SEQUENCE,
                        "The text encoding of the file could not be determined",
                        Dictionary{{"path", Value(path.string())}});
}

std::optional<std::string> convertToUTF8(std::string_view bytes, const char* encoding,
                                         const std::filesystem::path& path, QBYError* error) {
  gsize written = 0;
  GError* rawError = nullptr;
  GCharPtr converted{g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8", encoding,
                               nullptr, &written, &rawError)};
  GErrorPtr conversionError(rawError);
  if (!converted) {
    auto failure = errorFromGError(conversionError.get());
    failure.userInfo.set("path", Value(path.string()));
    setError(error, std::move(failure));
    return std::nullopt;
  }
  return std::string(converted.get(), written);
}

bool startsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

std::optional<std::string> decodeScript(std::string_view bytes, const std::filesystem::path& path,
                                        QBYError* error) {
  using namespace std::string_view_literals;
  struct Mark {
    std::string_view bytes;
    const char* encoding;
  };
  // UTF-32 first: its little-endian mark begins with UTF-16's.
  static constexpr Mark marks[] = {{"\xFF\xFE\x00\x00"sv, "UTF-32LE"},
                                   {"\x00\x00\xFE\xFF"sv, "UTF-32BE"},
                                   {"\xFF\xFE"sv, "UTF-16LE"},
                                   {"\xFE\xFF"sv, "UTF-16BE"}};
  for (const auto& mark : marks) {
    if (startsWith(bytes, mark.bytes))
      return convertToUTF8(bytes.substr(mark.bytes.size()), mark.encoding, path, error);
  }
  if (startsWith(bytes, "\xEF\xBB\xBF"sv)) {
    // A file that declares UTF-8 is not read as anything else.
    bytes.remove_prefix(3);
    if (g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr))
      return std::string(bytes);
    setError(error, encodingError(path));
    return std::nullopt;
  }

  // Text in an 8-bit encoding never holds a zero byte; a file that does is binary.
  if (std::memchr(bytes.data(), 0, bytes.size())) {
    setError(error, encodingError(path));
    return std::nullopt;
  }
  if (g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr))
    return std::string(bytes);
  // Windows-1252 reads ISO-8859-1 text the same, except for C1 control characters that no
  // script contains; the five byte values it leaves undefined fail the conversion.
  auto text = convertToUTF8(bytes, "WINDOWS-1252", path, nullptr);
  if (!text) setError(error, encodingError(path));
  return text;
}

}  // namespace

// The virtual machine and context of one configuration, with the state their C callbacks
// reach. Created on the runner's queue; released there too, or where no operation runs.
struct QBYScriptRunner::Engine {
  GObjectPtr<JSCVirtualMachine> virtualMachine;
  GObjectPtr<JSCContext> context;
  JSContextGroupRef group = nullptr;  // null: no time limit can be set
  bool handlerInstalled = false;
  // Queue thread only: set when the time limit ended a call, read by the exception handler
  // that reports the termination.
  bool timedOut = false;
  bool reportingException = false;
  double timeLimit = 0;

  Engine()
      : virtualMachine(GObjectPtr<JSCVirtualMachine>::adopt(jsc_virtual_machine_new())),
        context(GObjectPtr<JSCContext>::adopt(
            jsc_context_new_with_virtual_machine(virtualMachine.get()))),
        group(contextGroupOf(context.get())) {}

  ~Engine() {
    // Someone else may still hold a reference to the context; nothing of it may call back
    // into this object once it is gone.
    if (group) JSContextGroupClearExecutionTimeLimit(group);
    if (handlerInstalled) jsc_context_pop_exception_handler(context.get());
  }

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Answers false when the limit cannot be set with this library.
  bool setTimeLimit(double seconds) {
    timeLimit = seconds;
    if (!group) return seconds <= 0;
    if (seconds > 0) {
      JSContextGroupSetExecutionTimeLimit(group, seconds, &Engine::shouldTerminate, this);
    } else {
      JSContextGroupClearExecutionTimeLimit(group);
    }
    return true;
  }

  static bool shouldTerminate(JSContextRef, void* data) {
    static_cast<Engine*>(data)->timedOut = true;
    return true;
  }

  struct ExceptionHandler {
    std::weak_ptr<QBYScriptRunner> runner;
    std::string className;
    Engine* engine;  // owns the context whose handler this is
  };

  void installExceptionHandler(std::weak_ptr<QBYScriptRunner> runner, std::string className) {
    jsc_context_push_exception_handler(
        context.get(), &Engine::handleException,
        new ExceptionHandler{std::move(runner), std::move(className), this},
        [](gpointer data) { delete static_cast<ExceptionHandler*>(data); });
    handlerInstalled = true;
  }

  // An uncaught script error becomes one log line and one handleException call.
  static void handleException(JSCContext*, JSCException* exception, gpointer data) {
    auto& handler = *static_cast<ExceptionHandler*>(data);
    auto& engine = *handler.engine;
    // Describing some thrown values (undefined, null, symbols, objects whose toString throws)
    // raises further errors inside the description; they belong to this one.
    if (engine.reportingException) return;
    engine.reportingException = true;

    std::string message;
    if (std::exchange(engine.timedOut, false)) {
      message = format("%@: Script execution timed out (time limit %@ s)", handler.className,
                       format("%g", engine.timeLimit));
    } else {
      const auto scriptName = scriptNameFromSourceURI(jsc_exception_get_source_uri(exception));
      GCharPtr text{jsc_exception_to_string(exception)};
      const std::optional<std::string> description =
          text ? std::optional<std::string>(text.get()) : std::nullopt;
      // Line 0 means the thrown value carried no position (a thrown text or number).
      const unsigned line = jsc_exception_get_line_number(exception);
      const auto position = [line](unsigned value) {
        return line ? std::optional<std::string>(std::to_string(value)) : std::nullopt;
      };
      message = format("%@ %@: %@ (line %@, column %@)", handler.className, scriptName, description,
                       position(line), position(jsc_exception_get_column_number(exception)));
    }
    if (auto runner = handler.runner.lock()) {
      runner->logMessage(message);
      runner->handleException(message);
    }
    engine.reportingException = false;
  }
};

namespace {

struct HostFunctionData {
  std::weak_ptr<QBYScriptRunner> runner;
  QBYScriptRunner::HostFunction function;
};

JSCValue* callHostFunction(GPtrArray* arguments, gpointer data) {
  auto& host = *static_cast<HostFunctionData*>(data);
  JSCContext* context = jsc_context_get_current();
  auto runner = host.runner.lock();
  GObjectPtr<JSCValue> answer;
  if (runner && context) {
    std::vector<JSCValue*> values;
    if (arguments) {
      values.reserve(arguments->len);
      for (guint i = 0; i < arguments->len; ++i)
        values.push_back(static_cast<JSCValue*>(g_ptr_array_index(arguments, i)));
    }
    answer = host.function(*runner, context, values);
  }
  if (!answer && context) answer = GObjectPtr<JSCValue>::adopt(jsc_value_new_undefined(context));
  return answer.release();  // the caller takes this reference
}

}  // namespace

// Drops a queue and the engine used on it without cancelling what is queued, from any thread.
// An idle queue is joined here; a busy one (or the caller's own) releases the engine after its
// last operation and is joined by a helper thread, since a queue cannot join itself and the
// caller must not wait for scripts to finish.
void QBYScriptRunner::retire(std::shared_ptr<QBYOperationQueue> queue,
                             std::shared_ptr<Engine> engine, std::function<void()> afterRelease) {
  if (!queue) return;
  if (!queue->isCurrent() && queue->waitUntilAllOperationsAreFinished(0)) {
    queue.reset();
    engine.reset();
    return;
  }
  queue->addOperation(
      [engine = std::move(engine), afterRelease = std::move(afterRelease)]() mutable {
        engine.reset();
        if (afterRelease) afterRelease();
      });
  std::thread([queue = std::move(queue)] {
    queue->waitUntilAllOperationsAreFinished(std::numeric_limits<double>::infinity());
  }).detach();
}

// JavaScriptCore's GLib API never sets up the main run loop of its threading layer, yet the
// garbage collector's timer for full collections asks the memory pressure handler for it, and
// the handler's first use dereferences the missing run loop: the first full collection that
// a timer starts crashes the process. The run loop must belong to a thread that lives as long
// as the process, so it is made on the main thread; a runner made elsewhere asks the main
// thread to do it, which is in time, since that timer fires only after a heap has grown.
void QBYScriptRunner::prepareScriptEngine() {
  static std::once_flag once;
  static std::atomic<bool> prepared{false};
  if (prepared) return;
  if (!MainQueue::isMainThread()) {
    MainQueue::async([] { prepareScriptEngine(); });
    return;
  }
  std::call_once(once, [] {
    WTF::initializeMainThread();
    prepared = true;
  });
}

QBYScriptRunner::QBYScriptRunner(ConstructionToken) {
  prepareScriptEngine();
}

QBYScriptRunner::~QBYScriptRunner() {
  // Queued work is not cancelled: it still runs, and finds the runner gone.
  retire(std::move(queue_), std::move(engine_));
}

std::optional<std::filesystem::path> QBYScriptRunner::URLForScriptNamed(
    const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  return Resources::pathForResource(*name, "js", "scripts");
}

std::optional<std::string> QBYScriptRunner::scriptFromURL(const std::filesystem::path& url,
                                                          QBYError* error) {
  std::error_code sizeError;
  const auto size = std::filesystem::file_size(url, sizeError);
  if (!sizeError && size > kMaximumScriptSize) {
    setError(error, QBYError::make(g_quark_to_string(G_FILE_ERROR), G_FILE_ERROR_FAILED,
                                   "The script file is too large",
                                   Dictionary{{"path", Value(url.string())}}));
    return std::nullopt;
  }
  gchar* contents = nullptr;
  gsize length = 0;
  GError* rawError = nullptr;
  const bool read = g_file_get_contents(url.c_str(), &contents, &length, &rawError);
  GCharPtr owned(contents);
  GErrorPtr readError(rawError);
  if (!read) {
    setError(error, errorFromGError(readError.get()));
    return std::nullopt;
  }
  return decodeScript(std::string_view(contents, length), url, error);
}

bool QBYScriptRunner::configureScriptNamed(const std::optional<std::string>& name, bool required) {
  if (const auto url = URLForScriptNamed(name)) return configureScriptWithURL(*url, required);
  if (required) {
    log("Script not found: %@", name);
    configurationFailed_ = true;
  }
  return false;
}

bool QBYScriptRunner::configureScriptWithURL(const std::optional<std::filesystem::path>& url,
                                             bool required) {
  QBYError error =
      QBYError::make(g_quark_to_string(G_FILE_ERROR), G_FILE_ERROR_NOENT, "No script file");
  const auto script = url ? scriptFromURL(*url, &error) : std::nullopt;
  if (!script) {
    if (required) {
      log("Script not found: %@ %@", url ? std::optional<std::string>(fileURI(*url)) : std::nullopt,
          error);
      configurationFailed_ = true;
    }
    return false;
  }
  const std::string uri = fileURI(*url);
  JSCContext* context = privateContext();
  if (!context) {
    log("%@: no context to load %@ into", className(), uri);
    if (required) configurationFailed_ = true;
    return false;
  }
  // The result is not needed; errors reach the exception handler.
  GObjectPtr<JSCValue>::adopt(jsc_context_evaluate_with_source_uri(
      context, script->data(), static_cast<gssize>(script->size()), uri.c_str(), 1));
  return true;
}

void QBYScriptRunner::queueConfiguration(std::function<void(QBYScriptRunner&, JSCContext*)> block) {
  std::weak_ptr<QBYScriptRunner> weak = weak_from_this();
  queue()->addOperation([weak, block = std::move(block)] {
    auto runner = weak.lock();
    if (!runner) return;
    JSCContext* context = runner->configureContext();
    if (block) block(*runner, context);
  });
}

JSCContext* QBYScriptRunner::configureContext() {
  // Made on the queue's thread: the virtual machine is used by this thread only.
  auto engine = std::make_shared<Engine>();
  JSCContext* context = engine->context.get();

  engine->installExceptionHandler(weak_from_this(), className());
  prepareScriptValues(context);

  installHostFunction(context, "alert",
                      [](QBYScriptRunner& runner, JSCContext*, const std::vector<JSCValue*>& args) {
                        std::optional<std::string> text;
                        if (!args.empty()) {
                          if (GCharPtr value{jsc_value_to_string(args[0])}) text = value.get();
                        } else {
                          text = "undefined";
                        }
                        runner.logMessage(format("%@: %@", runner.className(), text));
                        return GObjectPtr<JSCValue>();
                      });
  // A page's visible text and its fingerprint, natively: scripts that find this function use
  // it instead of their own code, which stays for hosts without it and answers the same.
  // Text that is not valid UTF-8 gets no answer, so the script's own code handles it.
  installHostFunction(
      context, "visiblePageText",
      [](QBYScriptRunner&, JSCContext* context, const std::vector<JSCValue*>& args) {
        if (args.empty() || !jsc_value_is_string(args[0])) return GObjectPtr<JSCValue>();
        GBytesPtr bytes(jsc_value_to_string_as_bytes(args[0]));
        gsize size = 0;
        const auto* data =
            static_cast<const char*>(bytes ? g_bytes_get_data(bytes.get(), &size) : nullptr);
        if (!data || !validUTF8AllowingNUL(std::string_view(data, size)))
          return GObjectPtr<JSCValue>();
        const std::string text = visibleText(std::string_view(data, size));
        return scriptValueFromValue(
            context, Value(Dictionary{{"text", Value(text)},
                                      {"fingerprint", Value(textFingerprint(text))}}));
      });

  if (!engine->setTimeLimit(executionTimeLimit_)) {
    log("%@: Script execution time limit unavailable", className());
  }

  std::shared_ptr<Engine> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(engine_, engine);
  }
  return context;
}

void QBYScriptRunner::installHostFunction(JSCContext* context, const std::string& name,
                                          HostFunction function) {
  if (!context || !function) return;
  auto* data = new HostFunctionData{weak_from_this(), std::move(function)};
  auto value = GObjectPtr<JSCValue>::adopt(jsc_value_new_function_variadic(
      context, name.c_str(), G_CALLBACK(callHostFunction), data,
      [](gpointer data) { delete static_cast<HostFunctionData*>(data); }, JSC_TYPE_VALUE));
  jsc_context_set_value(context, name.c_str(), value.get());
}

std::function<void()> QBYScriptRunner::operationFor(ContextBlock block) {
  return [weak = weak_from_this(), block = std::move(block)] {
    auto runner = weak.lock();
    JSCContext* context = runner ? runner->privateContext() : nullptr;
    if (block) block(context);
  };
}

void QBYScriptRunner::runBlock(ContextBlock block) {
  queue()->addOperation(operationFor(std::move(block)));
}

bool QBYScriptRunner::runBlockAndWait(ContextBlock block) {
  auto queue = this->queue();
  if (queue->isCurrent()) {
    log("%@: runBlockAndWait called on its own queue", className());
    return false;
  }
  // The operation is done when the queue lets go of it: after it ran, or at once when it is
  // cancelled, so that invalidate does not keep the caller waiting for work that never runs.
  struct Completion {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
  };
  struct SignalWhenDropped {
    explicit SignalWhenDropped(std::shared_ptr<Completion> completion)
        : completion(std::move(completion)) {}
    SignalWhenDropped(const SignalWhenDropped&) = delete;
    SignalWhenDropped& operator=(const SignalWhenDropped&) = delete;
    std::shared_ptr<Completion> completion;
    ~SignalWhenDropped() {
      std::lock_guard lock(completion->mutex);
      completion->done = true;
      completion->changed.notify_all();
    }
  };
  auto completion = std::make_shared<Completion>();
  auto signal = std::make_shared<SignalWhenDropped>(completion);
  queue->addOperation([operation = operationFor(std::move(block)), signal]() { operation(); });
  signal.reset();

  const double timeout = waitTimeout_;
  std::unique_lock lock(completion->mutex);
  const auto done = [&] { return completion->done; };
  // Beyond a year counts as no limit; converting larger values would overflow the clock.
  if (!(timeout < 365.0 * 24 * 3600)) {
    completion->changed.wait(lock, done);
    return true;
  }
  return completion->changed.wait_for(
      lock,
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(timeout > 0 ? timeout : 0)),
      done);
}

void QBYScriptRunner::setExecutionTimeLimit(double seconds) {
  executionTimeLimit_ = seconds;
  std::weak_ptr<QBYScriptRunner> weak = weak_from_this();
  queue()->addOperation([weak, seconds] {
    auto runner = weak.lock();
    if (!runner) return;
    if (auto engine = runner->engine(); engine && !engine->setTimeLimit(seconds))
      log("%@: Script execution time limit unavailable", runner->className());
  });
}

void QBYScriptRunner::invalidate() {
  std::shared_ptr<QBYOperationQueue> queue;
  std::shared_ptr<Engine> engine;
  {
    std::lock_guard lock(mutex_);
    queue = std::move(queue_);
    engine = std::move(engine_);
  }
  if (queue) queue->cancelAllOperations();
  // A configuration that was running when invalidate came may store its context after this;
  // it is dropped once that configuration has finished.
  std::weak_ptr<QBYScriptRunner> weak = weak_from_this();
  retire(std::move(queue), std::move(engine), [weak] {
    if (auto runner = weak.lock()) {
      std::shared_ptr<Engine> late;
      std::lock_guard lock(runner->mutex_);
      late = std::move(runner->engine_);
    }
  });
}

std::shared_ptr<QBYOperationQueue> QBYScriptRunner::queue() {
  std::lock_guard lock(mutex_);
  if (!queue_) queue_ = std::make_shared<QBYOperationQueue>(className());
  return queue_;
}

JSCContext* QBYScriptRunner::privateContext() const {
  std::lock_guard lock(mutex_);
  return engine_ ? engine_->context.get() : nullptr;
}

std::shared_ptr<QBYScriptRunner::Engine> QBYScriptRunner::engine() const {
  std::lock_guard lock(mutex_);
  return engine_;
}

void QBYScriptRunner::logMessage(const std::string& message) {
  log("%@", message);
}

void QBYScriptRunner::handleException(const std::string&) {}

}  // namespace qby
