// Localised texts through gettext. The English texts are the message ids, so a missing
// translation shows the English text unchanged.
#pragma once

#include <string>
#include <string_view>

namespace qby {

// The translation of the text in the "porvane" domain for the current locale.
std::string QBYLocalizedString(std::string_view text);

}  // namespace qby

using qby::QBYLocalizedString;
