// A serial operation queue: one worker thread of its own whose thread-default GMainContext
// runs the operations one at a time, in the order they were added. Sources created while an
// operation runs (for example libsoup requests) attach to that context, so their callbacks
// arrive on the same thread.
//
// addOperation, cancelAllOperations and waitUntilAllOperationsAreFinished may be called from
// any thread. An operation that throws is logged and the queue goes on. Destroying the queue
// cancels operations not yet started, lets the running one finish and joins the thread; do
// not destroy a queue from its own thread (it then logs, and the thread ends on its own
// after the running operation).
#pragma once

#include <functional>
#include <memory>
#include <string>

typedef struct _GMainContext GMainContext;

namespace qby {

class QBYOperationQueue {
 public:
  explicit QBYOperationQueue(std::string name);
  ~QBYOperationQueue();
  QBYOperationQueue(const QBYOperationQueue&) = delete;
  QBYOperationQueue& operator=(const QBYOperationQueue&) = delete;

  const std::string& name() const;

  void addOperation(std::function<void()> operation);

  // Operations that have not started are dropped and never run. The running one finishes.
  void cancelAllOperations();

  // Waits until every operation added before the call has finished or was cancelled. Answers
  // false when the timeout (seconds) passed first. Must not be called on the queue's thread
  // (that would wait forever; it logs and answers false instead).
  bool waitUntilAllOperationsAreFinished(double timeoutSeconds);

  // Number of operations added and not yet started.
  std::size_t pendingOperationCount() const;

  // True on this queue's worker thread.
  bool isCurrent() const;

  // The queue whose worker thread is calling, or nullptr.
  static QBYOperationQueue* current();

  // The worker's main context, for attaching sources from other threads.
  GMainContext* context() const;

 private:
  struct Impl;
  // Shared with the worker thread, which may outlive the queue object by the rest of one
  // operation when the queue is (wrongly) destroyed from that operation.
  std::shared_ptr<Impl> impl_;
};

}  // namespace qby
