// A loopback web server for benchmarks: every address answers with the same tracking page of
// realistic size (about 40 kB). It runs on a thread and main context of its own, so the
// programs measured and their baselines share the machine with it alike.
#pragma once

#include <string>

#include "support/FixtureServer.h"

namespace qby::bench {

// A tracking page of realistic size (about 40 kB), the same for every address.
inline std::string trackingPage() {
  std::string page = "<html><body><table>";
  for (int row = 0; row < 400; ++row)
    page += "<tr><td>2024-03-0" + std::to_string(row % 9 + 1) +
            "</td><td>Parcel processed at sorting centre</td></tr>";
  return page + "</table></body></html>";
}

class LoopbackServer : public test::FixtureServer {
 public:
  LoopbackServer() : FixtureServer(Thread::Own) {
    setFallback({200, "text/html; charset=utf-8", trackingPage()});
  }
  // The address of one delivery's page.
  std::string url(int number) const {
    return FixtureServer::url("/track/" + std::to_string(number));
  }
};

}  // namespace qby::bench
