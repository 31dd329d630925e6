// The commands of the tool that work on deliveries. Each takes the words after its name and
// answers the exit code (ExitCodes.h); errors are one line on standard error that starts with
// "porvane <command>:".
#pragma once

#include <string>

#include "DeliveryLookup.h"
#include "platform/Value.h"

namespace porvane {

int runListCommand(int argc, char** argv);
int runShowCommand(int argc, char** argv);
int runSearchCommand(int argc, char** argv);
int runServicesCommand(int argc, char** argv);
int runAddCommand(int argc, char** argv);
int runUpdateCommand(int argc, char** argv);
int runArchiveCommand(int argc, char** argv);
int runDeleteCommand(int argc, char** argv);
// "login-item on|off|status": the companion's XDG autostart entry.
int runLoginItemCommand(int argc, char** argv);
// "status [--json]": the count of active deliveries and the next expected one, for panels.
int runStatusCommand(int argc, char** argv);
// "export ID FILE|FOLDER [--force]" and "import FILE": delivery documents (*.porvane).
int runExportCommand(int argc, char** argv);
int runImportCommand(int argc, char** argv);

// Prints "porvane <command>: <message>" on standard error, made safe for the terminal, and
// answers the code.
int fail(const char* command, const std::string& message, int code);

// Prints the value as JSON (DeliveryOutput.h jsonText) and answers kExitSuccess; a value JSON
// cannot hold is a failure (kExitFailure, with the message), never a "null" that a script
// would read as an answer.
int printJSON(const char* command, const qby::Value& value);

// "“word” matches several deliveries: 0a1b2c3d (www.ups.com), …; give more of the ID".
std::string ambiguityMessage(const std::string& word, const LookupResult& found);

}  // namespace porvane
