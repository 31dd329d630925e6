// The real porvane-app as the desktop starts it: child processes on the test session's bus
// and display. A second launch hands its address to the running instance and ends; the
// running one saves the delivery and quits in order on SIGTERM.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "manager/QBYDeliveriesManager.h"
#include "model/Delivery.h"
#include "platform/GLibPtr.h"
#include "store/QBYDataStore.h"
#include "support/FixtureServer.h"
#include "support/GtkTestSupport.h"

namespace {

using qby::test::iterateFor;
using qby::test::iterateUntil;
using namespace std::chrono_literals;

constexpr const char* kBusName = "com.quillbay.mac.Porvane";

class Child {
 public:
  explicit Child(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{PORVANE_APP_PATH};
    for (const auto& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    GError* raw = nullptr;
    process_ = qby::GObjectPtr<GSubprocess>::adopt(
        g_subprocess_newv(argv.data(), G_SUBPROCESS_FLAGS_NONE, &raw));
    qby::GErrorPtr error(raw);
    EXPECT_TRUE(process_) << (error ? error->message : "");
    if (process_) g_subprocess_wait_async(process_.get(), nullptr, &Child::exited, this);
  }
  ~Child() {
    if (process_ && !done_) {
      g_subprocess_force_exit(process_.get());
      iterateUntil([this] { return done_; }, 5s);
    }
  }
  bool wait(std::chrono::milliseconds timeout) {
    return iterateUntil([this] { return done_; }, timeout);
  }
  bool done() const { return done_; }
  int exitStatus() const {
    return g_subprocess_get_if_exited(process_.get()) ? g_subprocess_get_exit_status(process_.get())
                                                      : -1;
  }
  void signal(int number) { g_subprocess_send_signal(process_.get(), number); }

 private:
  static void exited(GObject*, GAsyncResult*, gpointer data) {
    static_cast<Child*>(data)->done_ = true;
  }
  qby::GObjectPtr<GSubprocess> process_;
  bool done_ = false;
};

bool nameHasOwner() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return false;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", kBusName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr,
      nullptr);
  gboolean owned = FALSE;
  if (reply) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  g_object_unref(bus);
  return owned;
}

std::shared_ptr<qby::Delivery> storedDeliveryWithNumber(const std::string& number) {
  auto store = std::make_shared<qby::QBYDataStore>();
  if (!store->available()) return nullptr;
  qby::QBYDeliveriesManager::Options options;
  options.listenForActions = false;
  auto manager = qby::QBYDeliveriesManager::create(options);
  manager->setDataStore(store);
  manager->reloadDeliveries();
  for (const auto& delivery : manager->deliveries())
    if (delivery->no() == number) return delivery;
  return nullptr;
}

TEST(InstanceTest, ASecondLaunchWithAnAddressReachesTheRunningInstance) {
  ASSERT_TRUE(qby::test::initGtk());
  ASSERT_FALSE(nameHasOwner()) << "another instance owns the name on the test bus";
  qby::test::FixtureServer carriers;
  ASSERT_TRUE(carriers.listening());
  carriers.setFallback({503, "text/plain", ""});
  setenv("PORVANE_FIXTURE_SERVER", carriers.url().c_str(), 1);

  Child first({});
  ASSERT_TRUE(iterateUntil([] { return nameHasOwner(); }, 60s))
      << "the first launch never registered";
  EXPECT_FALSE(first.done());

  Child second({"porvane://add?from=gls-group.com&no=901234567890&name=Books"});
  ASSERT_TRUE(second.wait(60s));
  EXPECT_EQ(second.exitStatus(), 0);
  EXPECT_FALSE(first.done());

  std::shared_ptr<qby::Delivery> saved;
  EXPECT_TRUE(iterateUntil(
      [&] { return (saved = storedDeliveryWithNumber("901234567890")) != nullptr; }, 30s));
  if (saved) EXPECT_EQ(saved->name(), "Books");

  // A launch with an address that is not handled changes nothing and still ends.
  Child third({"porvane://add?no=" + std::string(3001, '9')});
  ASSERT_TRUE(third.wait(60s));
  EXPECT_EQ(third.exitStatus(), 0);

  first.signal(SIGTERM);
  ASSERT_TRUE(first.wait(40s)) << "the instance did not quit on SIGTERM";
  EXPECT_EQ(first.exitStatus(), 0);
  EXPECT_FALSE(nameHasOwner());
  // Still there after the orderly quit, for the next launch.
  EXPECT_TRUE(storedDeliveryWithNumber("901234567890"));
}

TEST(InstanceTest, ALaunchWithOnlyAnAddressThatSavesEndsByItself) {
  ASSERT_TRUE(qby::test::initGtk());
  qby::test::FixtureServer carriers;
  ASSERT_TRUE(carriers.listening());
  carriers.setFallback({503, "text/plain", ""});
  setenv("PORVANE_FIXTURE_SERVER", carriers.url().c_str(), 1);
  // The launch itself carries the address: it saves, shows no window, and with nothing on
  // screen it quits in order by itself, the delivery saved.
  Child first({"porvane://add?from=gls-group.com&no=901234567891&name=Boots"});
  ASSERT_TRUE(first.wait(60s));
  EXPECT_EQ(first.exitStatus(), 0);
  EXPECT_FALSE(nameHasOwner());
  EXPECT_TRUE(storedDeliveryWithNumber("901234567891"));
}

}  // namespace
