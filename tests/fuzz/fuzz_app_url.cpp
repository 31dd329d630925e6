// What the main application is handed as an address by the desktop or a second launch: every
// input must be classified without a crash; an over-long query is never acted on; search
// texts taken from an address are valid UTF-8 when the address was; an add with settings
// always asks to present what it saves.
//
// Input: one address text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "QBYURLCommand.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qby::fuzz::useTemporaryHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using porvane::app::QBYURLCommand;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const QBYURLCommand command = QBYURLCommand::parse(input);
  const auto query = input.find('?');
  if (query != std::string_view::npos && input.find('#') > query && qby::fuzz::isValidUTF8(input)) {
    // Everything after "?" up to a "#" is the query; more than the limit is never handled.
    const auto fragment = input.find('#', query);
    const std::string_view text =
        input.substr(query + 1, fragment == std::string_view::npos ? std::string_view::npos
                                                                   : fragment - query - 1);
    if (text.size() > porvane::app::kMaximumQueryLength * 4) FUZZ_CHECK(!command.handled(), input);
  }
  if (qby::fuzz::isValidUTF8(input)) FUZZ_CHECK(qby::fuzz::isValidUTF8(command.searchText), input);
  if (command.kind == QBYURLCommand::Kind::AddDelivery) {
    FUZZ_CHECK(command.settings.has_value(), input);
    FUZZ_CHECK(command.settings->shouldPresent == qby::QBYDeliverySettings::PresentFromLink, input);
  }
  if (command.kind == QBYURLCommand::Kind::EditDelivery)
    FUZZ_CHECK(command.uuid.has_value(), input);
  return 0;
}
