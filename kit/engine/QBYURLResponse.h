// What the engine reads from a finished web response beyond its body.
//
// Any thread that may use the message.
#pragma once

typedef struct _SoupMessage SoupMessage;

namespace qby {

// The HTTP status code of the response, or 0 when there is none (no message, a request that
// never got an answer, or a transport error).
int statusCode(SoupMessage* message);

}  // namespace qby
