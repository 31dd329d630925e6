// The recognition commands of the command-line tool: "guess" and "suggest".
#pragma once

namespace porvane {

// argv holds the arguments after the command name. Answers the exit code.
int runGuessCommand(int argc, char** argv);
int runSuggestCommand(int argc, char** argv);

}  // namespace porvane
