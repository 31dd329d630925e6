// A message file as another program (or anything else that can write to the shared container)
// leaves it, read by the channel and processed by the manager as one action, in the main
// application or in the companion. Whatever the file holds, reading must not crash, processing
// must delete the file (except AddDelivery in the companion while the application runs, which
// leaves it for the application) and the delegate must only hear well-formed calls.
//
// The first byte of an input chooses where the rest goes: bit 0 the process (application or
// companion), bit 1 whether the main application counts as running, the remaining bits the
// action. The reading of a file does not depend on the action, so running one action per input
// lets libFuzzer steer each action's processing on its own instead of reading the same bytes
// twenty times. The store and the channels outlive the inputs, so one input's deliveries are
// there for the next one's actions.
//
// The library's files go through a file system that replaces them as the real one does, by a
// temporary file renamed over the target, but does not flush them to disk: durability across a
// power loss is not what this target looks at, and the flushes cost far more than the reading
// they feed.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/MMWormhole.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"

#ifndef PORVANE_TEST_HOOKS
#error "fuzz_wormhole_message replaces the file system: configure with -DPORVANE_TEST_HOOKS=ON"
#endif

namespace {

using namespace qby;

constexpr const char* kActions[] = {
    QBYWormholeActionAddDelivery,      QBYWormholeActionNewDelivery,
    QBYWormholeActionUpdateDeliveries, QBYWormholeActionNotification,
    QBYWormholeActionUpdateBadge,      QBYWormholeActionClearNotifications,
    QBYWormholeActionUpdateSettings,   QBYWormholeActionRequestRestart,
    QBYWormholeActionBeginRestart,     QBYWormholeActionQuit};

class CheckingDelegate : public QBYDeliveriesNotificationDelegate {
 public:
  long applicationState() override { return 2; }
  void presentDeliveryNotification(const QBYNotification& notification) override {
    FUZZ_CHECK(notification.uuid && notification.message, "presented without uuid or message");
  }
  void removeNotificationForUUID(const std::string&) override {}
  void processWormholeAction(const std::string& identifier, const Value&) override {
    FUZZ_CHECK(MMWormholeIsValidIdentifier(identifier), identifier);
  }
};

// FileSystem::writeFileAtomically without the fsync of the file and of its folder.
class UnflushedFileSystem : public FileSystem {
 public:
  bool writeFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                           std::string* error) override {
    std::string temporary =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return failed("Cannot create a temporary file beside", target, errno, error);
    const char* action = nullptr;
    int failure = 0;
    while (!bytes.empty()) {
      const ssize_t written = ::write(fd, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) {
        action = "Cannot write";
        failure = errno;
        break;
      }
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::close(fd) != 0 && !action) {
      action = "Cannot close";
      failure = errno;
    }
    if (!action && ::rename(temporary.c_str(), target.c_str()) != 0) {
      action = "Cannot replace";
      failure = errno;
    }
    if (!action) return true;
    ::unlink(temporary.c_str());
    return failed(action, target, failure, error);
  }

 private:
  static bool failed(const char* action, const std::filesystem::path& target, int failure,
                     std::string* error) {
    if (error) *error = std::string(action) + " " + target.string() + ": " + std::strerror(failure);
    return false;
  }
};

struct Fixture {
  Fixture() : store(std::make_shared<QBYDataStore>(Paths::sharedContainer() / "Fuzz.sqlite")) {
    if (!store->available()) fuzz::fail("the store did not open");
    for (unsigned type : {QBYProcessTypeApplication, QBYProcessTypeCompanion}) {
      QBYDeliveriesManager::Options options;
      options.parentAppOpen = [this] { return parentOpen; };
      options.actionSender = [](const std::string&) {};
      // UpdateDeliveries schedules a run; it must never reach a real script engine.
      options.updaterFactory = [](std::optional<std::filesystem::path>, bool) {
        return std::shared_ptr<QBYDeliveriesUpdaterHandle>();
      };
      auto manager = QBYDeliveriesManager::create(std::move(options));
      manager->setDataStore(store);
      manager->setProcessType(type);
      manager->setNotificationDelegate(delegate);
      if (!manager->wormhole()) fuzz::fail("no message channel");
      managers.push_back(std::move(manager));
    }
  }
  std::shared_ptr<QBYDataStore> store;
  std::shared_ptr<CheckingDelegate> delegate = std::make_shared<CheckingDelegate>();
  std::vector<std::shared_ptr<QBYDeliveriesManager>> managers;
  bool parentOpen = false;
};

Fixture& fixture() {
  static UnflushedFileSystem files;
  static FileSystem::Override unflushed(files);
  static Fixture instance;
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::useTemporaryHome();
  // Damaged files are logged once per input; the run's output stays readable without them.
  setConsoleLogEnabled(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Fixture& f = fixture();
  const std::uint8_t route = data[0];
  const auto& manager = f.managers[route & 1];
  f.parentOpen = (route & 2) != 0;
  const char* action = kActions[(route >> 2) % std::size(kActions)];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  MMWormhole& channel = *manager->wormhole();
  auto* files = dynamic_cast<MMWormholeFileTransiting*>(&channel.wormholeMessenger());
  FUZZ_CHECK(files, "not a file channel");
  const auto path = files->filePathForIdentifier(action);
  FUZZ_CHECK(path, action);
  if (!FileSystem::current().writeFileAtomically(*path, bytes))
    fuzz::fail("cannot write the message file");
  const auto message = channel.messageWithIdentifier(action);
  manager->processWormholeAction(action, message.value_or(Value()));
  const bool leftForApplication = manager->processType() != QBYProcessTypeApplication &&
                                  std::string_view(action) == QBYWormholeActionAddDelivery &&
                                  f.parentOpen;
  FUZZ_CHECK(std::filesystem::exists(*path) == leftForApplication, action);
  channel.clearMessageContentsForIdentifier(action);
  // Delegate calls queued by a refresh; nothing else runs the main loop here.
  MainQueue::drain();
  return 0;
}
