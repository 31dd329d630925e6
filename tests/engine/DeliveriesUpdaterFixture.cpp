#include "DeliveriesUpdaterFixture.h"

#include <chrono>
#include <thread>

namespace qby::test {

Value delivery(const std::string& uuid, const std::string& behaviour, const Dictionary& options) {
  return Value(Dictionary{{"uuid", Value(uuid)},
                          {"hash", Value("hash-" + uuid)},
                          {"name", Value("Parcel " + uuid)},
                          {"from", Value(behaviour)},
                          {"no", Value("NO" + uuid)},
                          {"extra", Value(json(options))},
                          {"modified", Value(1700000000.5)},
                          {"itemCacheJSON", Value("")}});
}

std::string json(const Dictionary& options) {
  return Value(options).toJSON().value_or("{}");
}

void UpdaterTest::SetUp() {
  setenv("PORVANE_RESOURCE_DIR", resourceDir_.c_str(), 1);
  unsetenv("PORVANE_FIXTURE_SERVER");
  server_ = std::make_unique<FixtureServer>();
  ASSERT_TRUE(server_->listening()) << server_->error();
  server_->hold("/hold");
  server_->echo("/echo");
  server_->endless("/endless");
  server_->trickle("/trickle");
}

void UpdaterTest::TearDown() {
  if (updater_) updater_->invalidate();
  updater_.reset();
  settle();
  server_.reset();
}

std::shared_ptr<QBYDeliveriesUpdater> UpdaterTest::makeUpdater(bool limitMemoryUsage) {
  setenv("PORVANE_RESOURCE_DIR", resourceDir_.c_str(), 1);
  updater_ = QBYDeliveriesUpdater::deliveriesUpdater(std::nullopt, limitMemoryUsage);
  updater_->setDelegate(delegate_);
  updater_->setUserAgent(std::string(kTestUserAgent));
  return updater_;
}

bool UpdaterTest::run(const Array& deliveries) {
  const std::size_t before = delegate_->completions().size();
  updater_->updateDeliveriesWithSettings(deliveries);
  return waitFor([&] { return delegate_->completions().size() > before; });
}

void UpdaterTest::settle() {
  // Work on the queue may still post to the main thread; give it a moment, then drain.
  for (int i = 0; i < 5; ++i) {
    MainQueue::drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  MainQueue::drain();
}

}  // namespace qby::test
