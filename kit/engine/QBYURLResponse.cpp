#include "engine/QBYURLResponse.h"

#include <libsoup/soup.h>

namespace qby {

int statusCode(SoupMessage* message) {
  if (!message) return 0;
  // libsoup reports failures as errors, leaving the status at SOUP_STATUS_NONE (0).
  return static_cast<int>(soup_message_get_status(message));
}

}  // namespace qby
