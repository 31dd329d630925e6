// The commands of the tool that work on deliveries. Each takes the words after its name and
// answers the exit code (ExitCodes.h); errors are one line on standard error that starts with
// "porvane <command>:".
#pragma once

#include <string>

namespace porvane {

int runListCommand(int argc, char** argv);
int runShowCommand(int argc, char** argv);
int runSearchCommand(int argc, char** argv);
int runServicesCommand(int argc, char** argv);
int runAddCommand(int argc, char** argv);
int runUpdateCommand(int argc, char** argv);
int runArchiveCommand(int argc, char** argv);
int runDeleteCommand(int argc, char** argv);

// Prints "porvane <command>: <message>" on standard error and answers the code.
int fail(const char* command, const std::string& message, int code);

}  // namespace porvane
