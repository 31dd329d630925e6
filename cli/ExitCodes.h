// The exit codes of the command-line tool. Scripts tell the kinds of failure apart by them, so
// they never change meaning (docs/cli.md lists them).
#pragma once

namespace porvane {

inline constexpr int kExitSuccess = 0;
// The work could not be done: the store could not be opened, an update failed or was
// interrupted, the recognition scripts could not be loaded.
inline constexpr int kExitFailure = 1;
// The command line itself is wrong: unknown command or option, missing or extra argument, an
// ambiguous delivery ID.
inline constexpr int kExitUsage = 64;
// The delivery as given cannot be saved: unknown service, missing required setting, malformed
// date, a value too long.
inline constexpr int kExitValidation = 65;
// No delivery has that ID or tracking number.
inline constexpr int kExitNotFound = 66;

}  // namespace porvane
