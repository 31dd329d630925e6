#include "QBYAddExtension.h"

#include <utility>

#include "finder/QBYDeliveriesFinder.h"
#include "finder/QBYWebData.h"
#include "manager/QBYBackgroundUpdater.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/MainQueue.h"
#include "platform/QBYOperationQueue.h"

namespace porvane::add {

QBYAddExtension::QBYAddExtension(qby::QBYDeliveriesManager& manager,
                                 std::vector<std::string> arguments,
                                 std::function<void(Outcome)> finished)
    : manager_(manager),
      arguments_(std::move(arguments)),
      finished_(std::move(finished)),
      queue_(std::make_unique<qby::QBYOperationQueue>("QBYAddExtension:contentQueue")) {}

QBYAddExtension::~QBYAddExtension() {
  *alive_ = false;
  // A search still running uses the manager's finder: let it end first.
  queue_.reset();
}

void QBYAddExtension::start() {
  std::weak_ptr<bool> alive = alive_;
  qby::QBYDeliveriesFinder* finder = &manager_.deliveriesFinder();
  queue_->addOperation([this, alive, finder, arguments = arguments_] {
    QBYSharedContent content = sharedContentFromArguments(arguments);
    std::vector<qby::Dictionary> guesses;
    if (content.results)
      guesses =
          finder->guessesFromWebData(qby::QBYWebData::webDataWithDictionary(*content.results));
    qby::MainQueue::async(
        [this, alive, content = std::move(content), guesses = std::move(guesses)]() mutable {
          if (alive.lock()) processResults(std::move(content), std::move(guesses));
        });
  });
}

void QBYAddExtension::processResults(QBYSharedContent content,
                                     std::vector<qby::Dictionary> guesses) {
  content_ = std::move(content);
  forms::QBYAddDeliveryWindow::Options options;
  options.saveMode = forms::QBYAddDeliveryWindow::SaveMode::Later;
  if (!guesses.empty()) options.search = qby::guessString(guesses.front(), qby::QBYGuessInputKey);
  options.foundGuesses = std::move(guesses);
  std::weak_ptr<bool> alive = alive_;
  options.finished = [this, alive](Outcome outcome) {
    if (!alive.lock()) return;
    // The companion takes the queued delivery when neither it nor the main application runs;
    // started for this, it quits once done.
    if (outcome == Outcome::Saved) qby::QBYBackgroundUpdater::launchBackgroundUpdater();
    if (finished_) finished_(outcome);
  };
  window_ = forms::QBYAddDeliveryWindow::present(nullptr, manager_, std::move(options));
  if (content_.error) window_->showProblem(*content_.error);
}

}  // namespace porvane::add
