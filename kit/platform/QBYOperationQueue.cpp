#include "platform/QBYOperationQueue.h"

#include <glib.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/GLibPtr.h"
#include "platform/Log.h"
#include "platform/QBYError.h"

namespace qby {

namespace {
thread_local QBYOperationQueue* currentQueue = nullptr;
}

struct QBYOperationQueue::Impl {
  std::string name;
  GMainContextPtr context{g_main_context_new()};
  GMainLoopPtr loop{g_main_loop_new(context.get(), FALSE)};
  std::thread thread;
  std::thread::id threadId;

  mutable std::mutex mutex;
  std::condition_variable finishedChanged;
  std::deque<std::function<void()>> pending;
  // Operations are counted when added and again when finished or cancelled; since they run
  // in order and cancelling drops every waiting one, "finished" only grows, and everything
  // added before a moment is done once finished reaches the count added at that moment.
  std::uint64_t added = 0;
  std::uint64_t finished = 0;
  bool runnerAttached = false;
  bool running = false;
  bool stopping = false;

  // Attaches the source that runs waiting operations, unless one is attached. Call locked.
  void attachRunnerLocked() {
    if (runnerAttached || stopping) return;
    runnerAttached = true;
    GSourcePtr source(g_idle_source_new());
    g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
    g_source_set_static_name(source.get(), "qby-operation-queue");
    g_source_set_callback(source.get(), &Impl::runNext, this, nullptr);
    g_source_attach(source.get(), context.get());
  }

  // Runs one operation per dispatch, so that callbacks of GLib work an operation started get
  // their turn on this context between operations.
  static gboolean runNext(gpointer data) {
    auto& impl = *static_cast<Impl*>(data);
    std::function<void()> operation;
    {
      std::lock_guard lock(impl.mutex);
      // GLib never dispatches a source again while its callback runs, so an operation that
      // iterates this context recursively cannot start the next one; the flag makes that
      // guarantee independent of how the source is configured.
      if (impl.running) return G_SOURCE_CONTINUE;
      if (impl.pending.empty()) {
        impl.runnerAttached = false;
        return G_SOURCE_REMOVE;
      }
      operation = std::move(impl.pending.front());
      impl.pending.pop_front();
      impl.running = true;
    }

    try {
      operation();
    } catch (const std::exception& exception) {
      log("Error in operation on queue %@: %@", impl.name, exception.what());
    } catch (...) {
      log("Error in operation on queue %@: %@", impl.name, "unknown exception");
    }
    operation = nullptr;  // captured objects die on the queue, before waiters wake

    std::lock_guard lock(impl.mutex);
    impl.running = false;
    impl.finished++;
    impl.finishedChanged.notify_all();
    if (impl.pending.empty()) {
      impl.runnerAttached = false;
      return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
  }

  // Drops waiting operations. Call locked.
  void cancelLocked() {
    finished += pending.size();
    pending.clear();
    finishedChanged.notify_all();
  }
};

QBYOperationQueue::QBYOperationQueue(std::string name) : impl_(std::make_shared<Impl>()) {
  impl_->name = std::move(name);
  std::shared_ptr<Impl> impl = impl_;
  std::mutex started;
  std::condition_variable startedChanged;
  bool hasStarted = false;
  // The thread keeps its own reference, so a queue destroyed from inside one of its
  // operations (which cannot join) still leaves the loop something valid to return to.
  impl->thread = std::thread([impl, this, &started, &startedChanged, &hasStarted] {
    // Thread names are limited to 15 bytes plus the terminator.
    pthread_setname_np(pthread_self(), impl->name.substr(0, 15).c_str());
    currentQueue = this;
    g_main_context_push_thread_default(impl->context.get());
    {
      std::lock_guard lock(started);
      impl->threadId = std::this_thread::get_id();
      hasStarted = true;
      startedChanged.notify_all();
    }
    g_main_loop_run(impl->loop.get());
    g_main_context_pop_thread_default(impl->context.get());
    currentQueue = nullptr;
  });
  std::unique_lock lock(started);
  startedChanged.wait(lock, [&] { return hasStarted; });
}

QBYOperationQueue::~QBYOperationQueue() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->cancelLocked();
    impl_->stopping = true;
  }
  // Quitting through a source of the worker's context, not directly: a quit that arrives
  // before g_main_loop_run started would be forgotten when it starts. The source is
  // dispatched after the running operation returns.
  GSourcePtr quit(g_idle_source_new());
  g_source_set_priority(quit.get(), G_PRIORITY_HIGH);
  g_source_set_callback(
      quit.get(),
      [](gpointer loop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      g_main_loop_ref(impl_->loop.get()),
      [](gpointer loop) { g_main_loop_unref(static_cast<GMainLoop*>(loop)); });
  g_source_attach(quit.get(), impl_->context.get());

  if (isCurrent()) {
    log("Error destroying operation queue %@: %@", impl_->name, "called on its own thread");
    currentQueue = nullptr;
    impl_->thread.detach();
  } else {
    impl_->thread.join();
  }
}

const std::string& QBYOperationQueue::name() const {
  return impl_->name;
}

void QBYOperationQueue::addOperation(std::function<void()> operation) {
  if (!operation) return;
  std::lock_guard lock(impl_->mutex);
  if (impl_->stopping) return;
  impl_->pending.push_back(std::move(operation));
  impl_->added++;
  impl_->attachRunnerLocked();
}

void QBYOperationQueue::cancelAllOperations() {
  std::lock_guard lock(impl_->mutex);
  impl_->cancelLocked();
}

bool QBYOperationQueue::waitUntilAllOperationsAreFinished(double timeoutSeconds) {
  if (isCurrent()) {
    log("Error waiting for operation queue %@: %@", impl_->name, "called on its own thread");
    return false;
  }
  std::unique_lock lock(impl_->mutex);
  const std::uint64_t target = impl_->added;
  const auto done = [&] { return impl_->finished >= target; };
  // Beyond a year counts as "no timeout"; converting larger values would overflow the clock.
  if (!(timeoutSeconds < 365.0 * 24 * 3600)) {
    impl_->finishedChanged.wait(lock, done);
    return true;
  }
  const auto timeout = std::chrono::duration<double>(timeoutSeconds > 0 ? timeoutSeconds : 0);
  return impl_->finishedChanged.wait_for(
      lock, std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout), done);
}

std::size_t QBYOperationQueue::pendingOperationCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pending.size();
}

bool QBYOperationQueue::isCurrent() const {
  return std::this_thread::get_id() == impl_->threadId;
}

QBYOperationQueue* QBYOperationQueue::current() {
  return currentQueue;
}

GMainContext* QBYOperationQueue::context() const {
  return impl_->context.get();
}

}  // namespace qby
