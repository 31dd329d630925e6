// status: the panel line (PanelStatus.h) over the main application's list.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "PanelStatus.h"
#include "Session.h"
#include "model/Delivery.h"
#include "platform/Date.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDeliveriesQueries.h"

namespace porvane {

int runStatusCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv, {{"json", false}}, &error);
  if (!arguments) return fail("status", error, kExitUsage);
  if (!arguments->positionals().empty())
    return fail("status", "unexpected argument: " + arguments->positionals().front(), kExitUsage);
  // A panel runs this every few seconds: a store that cannot be read is a failure it shows,
  // never a count of zero it would take for the truth.
  auto session = Session::open(&error);
  if (!session) return fail("status", error, kExitFailure);
  const auto deliveries =
      qby::deliveriesForProcessType(session->store(), qby::QBYProcessTypeApplication)
          .allAs<qby::Delivery>();
  const PanelStatus status = panelStatus(deliveries, qby::QBYDateFormatter::sharedFormatter(),
                                         Session::updateRunning(), qby::Date::now());
  if (arguments->has("json")) {
    // One line: panels read a line per update.
    const auto text = status.json().toJSON(false, nullptr);
    if (!text) return fail("status", "the status cannot be written as JSON", kExitFailure);
    std::printf("%s\n", text->c_str());
    return kExitSuccess;
  }
  std::printf("%s\n", status.tooltip().c_str());
  return kExitSuccess;
}

}  // namespace porvane
