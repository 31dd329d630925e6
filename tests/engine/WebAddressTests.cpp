// The machine's address (on made-up interface lists) and the status code of a response.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "engine/QBYIPAddress.h"
#include "engine/QBYURLResponse.h"
#include "platform/GLibPtr.h"
#include "support/FixtureServer.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

QBYInterfaceAddress entry(const std::string& name, const char* address, unsigned flags = kUp) {
  QBYInterfaceAddress result{name, flags, std::nullopt};
  if (!address) return result;
  sockaddr_storage storage{};
  if (std::strchr(address, ':')) {
    auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&storage);
    ipv6->sin6_family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, address, &ipv6->sin6_addr), 1) << address;
  } else {
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&storage);
    ipv4->sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, address, &ipv4->sin_addr), 1) << address;
  }
  result.address = storage;
  return result;
}

// A link-layer entry, as getifaddrs lists one first for every interface.
QBYInterfaceAddress linkEntry(const std::string& name, unsigned flags = kUp) {
  QBYInterfaceAddress result{name, flags, sockaddr_storage{}};
  result.address->ss_family = AF_PACKET;
  return result;
}

TEST(WebIPAddress, DictionaryKeepsActiveInterfacesAndTheLastAddressPerFamily) {
  const std::vector<QBYInterfaceAddress> interfaces = {linkEntry("lo", kUp | IFF_LOOPBACK),
                                                       linkEntry("eth0"),
                                                       entry("lo", "127.0.0.1", kUp | IFF_LOOPBACK),
                                                       entry("eth0", "192.168.1.20"),
                                                       entry("eth0", "192.168.1.21"),
                                                       entry("wlan0", "10.0.0.5", 0),
                                                       entry("eth0", "2001:db8::20"),
                                                       entry("lo", "::1", kUp | IFF_LOOPBACK),
                                                       entry("eth0", "fe80::1")};
  const auto found = QBYIPAddress::addresses(interfaces);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->keys(), (std::vector<std::string>{"eth0/ipv4", "eth0/ipv6"}));
  EXPECT_EQ((*found)["eth0/ipv4"], Value("192.168.1.21"));
  EXPECT_EQ((*found)["eth0/ipv6"], Value("fe80::1"));

  EXPECT_FALSE(QBYIPAddress::addresses({}).has_value());
  EXPECT_FALSE(QBYIPAddress::addresses({entry("lo", "127.0.0.1", kUp | IFF_LOOPBACK),
                                        linkEntry("eth0"), entry("eth1", nullptr)})
                   .has_value());
}

TEST(WebIPAddress, ThePrimaryInterfaceWinsInThePreferredFamilyOrder) {
  // eth0 and wlan0 stand where en0 and en1 would.
  const std::vector<QBYInterfaceAddress> interfaces = {
      entry("lo", "127.0.0.1", kUp | IFF_LOOPBACK), entry("eth0", "2001:db8::1"),
      entry("eth0", "192.168.1.2"), entry("wlan0", "10.0.0.2"), entry("wlan0", "2001:db8::2")};
  EXPECT_EQ(QBYIPAddress::address(true, interfaces), "192.168.1.2");
  EXPECT_EQ(QBYIPAddress::address(false, interfaces), "2001:db8::1");

  // The primary interface's other family comes before the second interface.
  const std::vector<QBYInterfaceAddress> onlyIPv6 = {entry("eth0", "2001:db8::1"),
                                                     entry("wlan0", "10.0.0.2")};
  EXPECT_EQ(QBYIPAddress::address(true, onlyIPv6), "2001:db8::1");

  // Interfaces that are down or loopback take no place; the next one up moves forward.
  const std::vector<QBYInterfaceAddress> downFirst = {
      entry("lo", "127.0.0.1", kUp | IFF_LOOPBACK), entry("eth0", "192.168.1.2", 0),
      entry("wlan0", "10.0.0.2"), entry("docker0", "172.17.0.1")};
  EXPECT_EQ(QBYIPAddress::address(false, downFirst), "10.0.0.2");
}

TEST(WebIPAddress, OtherInterfacesOnlyThroughTheFallbackLine) {
  test::LogCapture log;
  // The first two interfaces that are up have no address; the third one has.
  const std::vector<QBYInterfaceAddress> interfaces = {
      linkEntry("eth0"), linkEntry("wlan0"), linkEntry("tun0"), entry("tun0", "10.8.0.6")};
  EXPECT_EQ(QBYIPAddress::address(true, interfaces), "10.8.0.6");
  EXPECT_EQ(log.linesContaining("Using fallback IP address: 10.8.0.6").size(), 1u);

  log.clear();
  EXPECT_FALSE(QBYIPAddress::address(true, {entry("lo", "127.0.0.1", kUp | IFF_LOOPBACK)}));
  EXPECT_EQ(log.linesContaining("No IP address found: (null)").size(), 1u);
  EXPECT_TRUE(log.linesContaining("fallback").empty());
}

TEST(WebIPAddress, TheSystemListIsReadable) {
  // Whatever this machine has, the list includes loopback and the answers agree.
  const auto interfaces = QBYIPAddress::systemInterfaces();
  ASSERT_TRUE(interfaces.has_value());
  EXPECT_TRUE(std::any_of(interfaces->begin(), interfaces->end(),
                          [](const auto& item) { return (item.flags & IFF_LOOPBACK) != 0; }));
  const auto found = QBYIPAddress::addresses();
  if (found) {
    for (const auto& [key, value] : *found) EXPECT_FALSE(key.starts_with("lo/")) << key;
  }
}

// A server on a thread and main context of its own, so that the test's blocking requests do
// not wait on themselves. "/missing" is not found; every other path answers.
class StatusServer : public test::FixtureServer {
 public:
  StatusServer() : FixtureServer(Thread::Own) {
    setFallback({200, "text/plain", "ok"});
    route("/missing", {404, "text/plain", "ok"});
  }
};

int send(SoupSession* session, SoupMessage* message) {
  GError* error = nullptr;
  GBytes* body = soup_session_send_and_read(session, message, nullptr, &error);
  GErrorPtr owned(error);
  if (body) g_bytes_unref(body);
  return statusCode(message);
}

TEST(WebStatusCode, HTTPAnswersGiveTheirStatusEverythingElseZero) {
  EXPECT_EQ(statusCode(nullptr), 0);
  auto unsent = GObjectPtr<SoupMessage>::adopt(soup_message_new("GET", "http://127.0.0.1/"));
  EXPECT_EQ(statusCode(unsent.get()), 0);

  StatusServer server;
  ASSERT_TRUE(server.listening()) << server.error();
  auto session = GObjectPtr<SoupSession>::adopt(soup_session_new());
  auto found = GObjectPtr<SoupMessage>::adopt(soup_message_new("GET", server.url("/page").c_str()));
  EXPECT_EQ(send(session.get(), found.get()), 200);
  auto missing =
      GObjectPtr<SoupMessage>::adopt(soup_message_new("GET", server.url("/missing").c_str()));
  EXPECT_EQ(send(session.get(), missing.get()), 404);

  // Nobody listens on port 1: a transport failure has no HTTP status.
  auto refused = GObjectPtr<SoupMessage>::adopt(soup_message_new("GET", "http://127.0.0.1:1/"));
  EXPECT_EQ(send(session.get(), refused.get()), 0);
}

}  // namespace
}  // namespace qby
