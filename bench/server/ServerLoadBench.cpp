// Load on porvane-server from simulated devices on loopback: each account holds 100 deliveries;
// every device signs in once (downloading its list), then syncs "hourly": two changes and a
// get. The hourly rate of the chosen number of devices is measured first, then the request rate
// is raised step by step (open loop: requests are due on a fixed schedule and latency counts
// from the due time, so a slow server cannot hide its queue) until p99 passes 100 ms.
// Afterwards every account is read back in full and compared with what its device believes:
// lost or duplicated deliveries must be zero.
//
//   bench_server [--clients N] [--backend sqlite|postgresql] [--step-seconds S] [--workers W]
//
// PostgreSQL runs need PORVANE_TEST_POSTGRESQL (tests/server/with-postgresql.sh starts a
// throwaway cluster). The server runs as a child with minimum-cost password hashing, so the
// sign-in figures show the protocol; the cost of one interactive Argon2id hash is printed apart.
#include <arpa/inet.h>
#include <glib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <pqxx/pqxx>

#include "QBYPasswordHasher.h"
#include "QBYPostgresServerStore.h"
#include "QBYSQLiteServerStore.h"
#include "QBYVendorService.h"

using namespace qby::server;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDeliveries = 100;
const std::string kPassword = "bench password";

struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
};

std::vector<Element> parseReply(const std::string& xml, bool& ok) {
  struct State {
    std::vector<Element> elements;
    std::optional<Element> open;
  } state;
  GMarkupParser parser{};
  parser.start_element = [](GMarkupParseContext*, const char* name, const char** names,
                            const char** values, gpointer data, GError**) {
    auto* s = static_cast<State*>(data);
    Element e{name, {}};
    for (int i = 0; names[i]; ++i) e.attributes[names[i]] = values[i];
    s->open = std::move(e);
  };
  parser.end_element = [](GMarkupParseContext*, const char*, gpointer data, GError**) {
    auto* s = static_cast<State*>(data);
    if (s->open) s->elements.push_back(std::move(*s->open));
    s->open.reset();
  };
  std::string body = xml;
  if (body.rfind("<?xml", 0) == 0) body.erase(0, body.find("?>") + 2);
  GMarkupParseContext* context =
      g_markup_parse_context_new(&parser, G_MARKUP_DEFAULT_FLAGS, &state, nullptr);
  ok = g_markup_parse_context_parse(context, body.data(), body.size(), nullptr) &&
       g_markup_parse_context_end_parse(context, nullptr);
  g_markup_parse_context_free(context);
  return state.elements;
}

std::string encode(const std::string& text) {
  char* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
  std::string out(escaped);
  g_free(escaped);
  return out;
}

// One keep-alive HTTP/1.1 connection to the server.
class Connection {
 public:
  explicit Connection(int port) : port_(port) {}
  ~Connection() { drop(); }

  // The reply body, or nothing when the exchange failed.
  std::optional<std::string> post(const std::string& path, const std::string& body,
                                  unsigned& status) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd_ < 0 && !open()) return std::nullopt;
      const std::string request = "POST " + path +
                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                  "application/x-www-form-urlencoded\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\n\r\n" + body;
      if (!sendAll(request)) {
        drop();
        continue;
      }
      auto reply = readReply(status);
      if (reply) return reply;
      drop();
    }
    return std::nullopt;
  }

 private:
  bool open() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return false;
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      drop();
      return false;
    }
    buffer_.clear();
    return true;
  }
  void drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool sendAll(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  bool fill() {
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  std::optional<std::string> readReply(unsigned& status) {
    size_t headerEnd;
    while ((headerEnd = buffer_.find("\r\n\r\n")) == std::string::npos)
      if (!fill()) return std::nullopt;
    const std::string headers = buffer_.substr(0, headerEnd);
    status = static_cast<unsigned>(std::atoi(headers.c_str() + headers.find(' ') + 1));
    size_t length = 0;
    std::string lower = headers;
    for (char& c : lower) c = static_cast<char>(g_ascii_tolower(c));
    const size_t at = lower.find("content-length:");
    if (at == std::string::npos) return std::nullopt;
    length = std::strtoul(lower.c_str() + at + 15, nullptr, 10);
    while (buffer_.size() < headerEnd + 4 + length)
      if (!fill()) return std::nullopt;
    std::string body = buffer_.substr(headerEnd + 4, length);
    buffer_.erase(0, headerEnd + 4 + length);
    if (lower.find("connection: close") != std::string::npos) drop();
    return body;
  }

  int port_;
  int fd_ = -1;
  std::string buffer_;
};

// What one device knows and does.
struct Device {
  std::string email, client, code, updated = "0";
  std::map<std::string, std::string> local;     // uuid → name, as the device holds them
  std::map<std::string, std::string> expected;  // uuid → name the server acknowledged
  int step = 0;
  int revision = 0;
};

struct Totals {
  std::vector<double> latencies;  // milliseconds
  long errors = 0;
};

class Bench {
 public:
  Bench(int port, int clients, int workers) : port_(port), devices_(clients), workers_(workers) {
    for (int i = 0; i < clients; ++i) {
      devices_[i].email = "device" + std::to_string(i) + "@bench.invalid";
      for (int d = 0; d < kDeliveries; ++d)
        devices_[i].expected[uuid(i, d)] = "Parcel " + std::to_string(d);
    }
  }
  static std::string uuid(int client, int delivery) {
    return "U-" + std::to_string(client) + "-" + std::to_string(delivery);
  }

  // One exchange of a device; false when it failed.
  bool exchange(Connection& connection, Device& device, int index) {
    std::string body;
    std::string changedUuid, changedName;
    const bool signIn = device.code.empty();
    if (signIn) {
      body =
          "cmd=get&email=" + encode(device.email) + "&password=" + encode(kPassword) + "&updated=0";
    } else if (device.step % 3 < 2) {
      changedUuid = uuid(index, (device.revision * 7) % kDeliveries);
      changedName = "Parcel " + std::to_string(device.revision) + " of " + device.email;
      ++device.revision;
      body = "cmd=add&modified=" + QBYVendorService::formatTime(QBYVendorService::systemClock()) +
             "&uuid=" + changedUuid + "&from=ups&name=" + encode(changedName) +
             "&no=1Z&extra=&date=&client=" + device.client + "&code=" + device.code +
             "&updated=" + device.updated;
    } else {
      body =
          "cmd=get&client=" + device.client + "&code=" + device.code + "&updated=" + device.updated;
    }
    body += "&type=linux&version=8.4&osversion=6.1.0&defs=222";
    unsigned status = 0;
    const auto reply = connection.post("/sync/porvane/xml.php", body, status);
    if (!reply || status != 200) return false;
    bool ok = false;
    const auto elements = parseReply(*reply, ok);
    if (!ok || elements.empty() || elements[0].name != "success" ||
        elements[0].attributes.at("value") != "true")
      return false;
    for (const Element& e : elements) {
      if (e.name == "client") device.client = e.attributes.at("value");
      if (e.name == "code") device.code = e.attributes.at("value");
      if (e.name == "updated") device.updated = e.attributes.at("value");
      if (e.name == "delivery") {
        if (e.attributes.at("deleted") == "1")
          device.local.erase(e.attributes.at("uuid"));
        else
          device.local[e.attributes.at("uuid")] = e.attributes.at("name");
      }
    }
    if (!changedUuid.empty()) device.expected[changedUuid] = changedName;
    if (!signIn) ++device.step;
    return true;
  }

  // Every device signs in once, as fast as the workers go.
  Totals signInAll(double& seconds) {
    std::atomic<int> next{0};
    std::vector<Totals> perWorker(workers_);
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int w = 0; w < workers_; ++w)
      threads.emplace_back([&, w] {
        Connection connection(port_);
        for (int i; (i = next.fetch_add(1)) < static_cast<int>(devices_.size());) {
          const auto t0 = Clock::now();
          const bool ok = exchange(connection, devices_[i], i);
          perWorker[w].latencies.push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
          if (!ok) ++perWorker[w].errors;
        }
      });
    for (auto& t : threads) t.join();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return merge(perWorker);
  }

  // Requests due at `rate` per second for `seconds`; device k % N takes request k. Devices
  // belong to workers by index, so a device's exchanges never overlap.
  Totals openLoop(double rate, double seconds, double& achieved) {
    const long total = std::max(1L, static_cast<long>(rate * seconds));
    std::vector<Totals> perWorker(workers_);
    const auto start = Clock::now() + std::chrono::milliseconds(20);
    std::vector<std::thread> threads;
    const int n = static_cast<int>(devices_.size());
    for (int w = 0; w < workers_; ++w)
      threads.emplace_back([&, w] {
        Connection connection(port_);
        for (long k = w; k < total; k += workers_) {
          // Request k goes to device (k mod n); with workers dividing n evenly that device
          // is always this worker's, so no two threads share one.
          const int index = static_cast<int>((cursor_ + k) % n);
          const auto due = start + std::chrono::nanoseconds(static_cast<long>(k * 1e9 / rate));
          std::this_thread::sleep_until(due);
          const bool ok = exchange(connection, devices_[index], index);
          perWorker[w].latencies.push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - due).count());
          if (!ok) ++perWorker[w].errors;
        }
      });
    for (auto& t : threads) t.join();
    // Over the scheduled time at least: a step of one request is not a rate of thousands.
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    achieved = total / std::max(elapsed, total / rate);
    cursor_ += total;
    return merge(perWorker);
  }

  // Reads every account in full on a fresh sign-in and compares it with what the server
  // acknowledged and with what the device holds after its incremental gets.
  void verify(long& lost, long& duplicated, long& stale, long& failed) {
    Connection connection(port_);
    for (size_t i = 0; i < devices_.size(); ++i) {
      // A last get brings the device's own view up to date.
      if (!exchange(connection, devices_[i], static_cast<int>(i))) {
        ++failed;
        continue;
      }
      unsigned status = 0;
      const auto reply =
          connection.post("/sync/porvane/xml.php",
                          "cmd=get&email=" + encode(devices_[i].email) +
                              "&password=" + encode(kPassword) + "&updated=0&type=linux",
                          status);
      bool ok = false;
      const auto elements = reply ? parseReply(*reply, ok) : std::vector<Element>();
      if (!ok) {
        ++failed;
        continue;
      }
      std::map<std::string, std::string> server;
      for (const Element& e : elements) {
        if (e.name != "delivery" || e.attributes.at("deleted") == "1") continue;
        if (!server.emplace(e.attributes.at("uuid"), e.attributes.at("name")).second) ++duplicated;
      }
      for (const auto& [uuid, name] : devices_[i].expected) {
        auto it = server.find(uuid);
        if (it == server.end() || it->second != name) ++lost;
        auto mine = devices_[i].local.find(uuid);
        if (mine == devices_[i].local.end() || mine->second != name) ++stale;
      }
      if (server.size() > devices_[i].expected.size())
        duplicated += static_cast<long>(server.size() - devices_[i].expected.size());
    }
  }

 private:
  static Totals merge(std::vector<Totals>& parts) {
    Totals all;
    for (auto& p : parts) {
      all.latencies.insert(all.latencies.end(), p.latencies.begin(), p.latencies.end());
      all.errors += p.errors;
    }
    std::sort(all.latencies.begin(), all.latencies.end());
    return all;
  }

  int port_;
  std::vector<Device> devices_;
  int workers_;
  long cursor_ = 0;
};

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()));
  return sorted[index];
}

// Fills the store before the server starts: accounts with their 100 deliveries.
bool seed(QBYServerStore& store, int clients) {
  const auto hash = QBYPasswordHasher(QBYPasswordHasher::Strength::Minimum).hash(kPassword);
  if (!hash) return false;
  const Micros now = QBYVendorService::systemClock() - 3600LL * 1'000'000;
  for (int i = 0; i < clients; ++i) {
    const auto account =
        store.createAccount("device" + std::to_string(i) + "@bench.invalid", "", *hash, now);
    if (!account) return false;
    for (int d = 0; d < kDeliveries; ++d) {
      ServerDelivery delivery;
      delivery.uuid = Bench::uuid(i, d);
      delivery.from = "ups";
      delivery.name = "Parcel " + std::to_string(d);
      delivery.no = "1Z999AA1012345678" + std::to_string(d % 10);
      delivery.modified = now;
      if (store.putDelivery(*account, delivery, 100000, now).outcome != PutResult::Outcome::Stored)
        return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 100;
  int workers = 20;
  double stepSeconds = 4;
  std::string backend = "sqlite";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--clients")
      clients = std::atoi(argv[i + 1]);
    else if (flag == "--backend")
      backend = argv[i + 1];
    else if (flag == "--step-seconds")
      stepSeconds = std::atof(argv[i + 1]);
    else if (flag == "--workers")
      workers = std::atoi(argv[i + 1]);
  }
  // Each worker owns the devices whose index it meets: the worker count must divide the
  // device count so no device is driven by two threads.
  while (clients % workers != 0) --workers;
  if (!QBYPasswordHasher::initialize()) return 1;

  std::string dir =
      (std::filesystem::temp_directory_path() / "porvane-bench-server-XXXXXX").string();
  if (!mkdtemp(dir.data())) return 1;
  std::string config =
      "[accounts]\nquota=100000\n[limits]\nlogin-per-ip=1000000\n"
      "login-per-address=1000000\nregister-per-ip=1000000\n";
  std::unique_ptr<QBYServerStore> store;
  if (backend == "postgresql") {
    const char* base = std::getenv("PORVANE_TEST_POSTGRESQL");
    if (!base) {
      std::fprintf(stderr, "bench_server: PostgreSQL needs PORVANE_TEST_POSTGRESQL\n");
      return 2;
    }
    const std::string database =
        "bench_" + std::to_string(getpid()) + "_" + std::to_string(clients);
    {
      pqxx::connection admin(base);
      pqxx::nontransaction work(admin);
      work.exec("CREATE DATABASE " + database);
    }
    std::string connection = std::string(base);
    connection =
        connection.substr(0, connection.find("dbname=")) + "dbname=" + database + " user=porvane";
    config += "[storage]\nbackend=postgresql\npostgresql=" + connection + "\n";
    store = std::make_unique<QBYPostgresServerStore>(connection);
  } else {
    store = std::make_unique<QBYSQLiteServerStore>(dir + "/porvane-server.db");
  }
  std::ofstream(dir + "/porvane-server.conf") << config;

  const auto seedStart = Clock::now();
  try {
    store->open();
    if (!seed(*store, clients)) {
      std::fprintf(stderr, "bench_server: seeding failed\n");
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_server: %s\n", e.what());
    return 1;
  }
  store.reset();
  const double seedSeconds = std::chrono::duration<double>(Clock::now() - seedStart).count();

  // The server, as a child with its own log.
  int out[2];
  if (pipe(out) != 0) return 1;
  const pid_t pid = fork();
  if (pid == 0) {
    // The server goes with the benchmark, however that ends.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(out[1], 1);
    close(out[0]);
    const std::string log = dir + "/server.log";
    freopen(log.c_str(), "w", stderr);
    setenv("PORVANE_TEST_SERVER_MIN_HASH", "1", 1);
    execl(PORVANE_SERVER_PROGRAM, "porvane-server", "--data", dir.c_str(), "--port", "0",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  char line[32] = {};
  FILE* stream = fdopen(out[0], "r");
  const int port = fgets(line, sizeof line, stream) ? std::atoi(line) : 0;
  if (port <= 0) {
    std::fprintf(stderr, "bench_server: the server did not start (log in %s)\n", dir.c_str());
    return 1;
  }

  std::printf("porvane-server load, %s back end, %d devices with %d deliveries each, %d workers\n",
              backend.c_str(), clients, kDeliveries, workers);
  std::printf("seeding: %.1f s\n", seedSeconds);

  Bench bench(port, clients, workers);
  double signInSeconds = 0;
  const Totals signIn = bench.signInAll(signInSeconds);
  std::printf(
      "sign-in with full download: %d in %.1f s (%.0f/s), p50 %.1f ms, p99 %.1f ms, "
      "errors %ld\n",
      clients, signInSeconds, clients / signInSeconds, percentile(signIn.latencies, 0.5),
      percentile(signIn.latencies, 0.99), signIn.errors);

  std::printf("%12s %10s %9s %9s %9s %9s %7s\n", "target/s", "achieved/s", "requests", "p50 ms",
              "p99 ms", "max ms", "errors");
  // The devices' hourly sync (three requests each an hour), then rising rates.
  std::vector<double> rates = {clients * 3.0 / 3600.0};
  for (double r = 25; r <= 6400; r *= 2) rates.push_back(r);
  // On a shared machine one stray pause can push a short step's p99 over; the limit counts
  // as passed only when two steps in a row pass it.
  double passed100 = 0;
  double previousOver = 0;
  for (const double rate : rates) {
    // At least 500 requests a step where that takes no more than 20 s; the hourly rate for a
    // minute.
    const double seconds = rate < 5 ? 60.0 : std::min(20.0, std::max(stepSeconds, 500.0 / rate));
    double achieved = 0;
    const Totals step = bench.openLoop(rate, seconds, achieved);
    const double p99 = percentile(step.latencies, 0.99);
    std::printf("%12.2f %10.1f %9zu %9.1f %9.1f %9.1f %7ld\n", rate, achieved,
                step.latencies.size(), percentile(step.latencies, 0.5), p99,
                step.latencies.empty() ? 0.0 : step.latencies.back(), step.errors);
    std::fflush(stdout);
    if (p99 <= 100) {
      previousOver = 0;
      continue;
    }
    if (previousOver > 0) {
      passed100 = previousOver;
      break;
    }
    previousOver = rate;
  }
  if (passed100 > 0)
    std::printf("p99 passes 100 ms from %.0f requests/s on\n", passed100);
  else
    std::printf("p99 stayed under 100 ms up to the highest rate tried (or passed it only once)\n");

  long lost = 0, duplicated = 0, stale = 0, failed = 0;
  bench.verify(lost, duplicated, stale, failed);
  std::printf(
      "verification: lost %ld, duplicated %ld, device views out of date %ld, failed "
      "reads %ld\n",
      lost, duplicated, stale, failed);

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);

  const auto t0 = Clock::now();
  const QBYPasswordHasher interactive(QBYPasswordHasher::Strength::Interactive);
  for (int i = 0; i < 3; ++i) (void)interactive.hash(kPassword);
  std::printf("one interactive Argon2id hash (each real sign-in verifies one): %.0f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / 3);
  std::filesystem::remove_all(dir);
  return lost == 0 && duplicated == 0 && stale == 0 && failed == 0 ? 0 : 1;
}
