// The sync-account commands of the tool: "account register|sign-in|sign-out|status", "sync"
// (one exchange with the account's server) and "troubleshoot ID [--send]". Each takes the
// words after its name and answers the exit code (ExitCodes.h). A password is read from a
// prompt with echo off or, with --password-stdin, from the first line of standard input:
// never from an argument, which other users could read in the process list.
#pragma once

namespace porvane {

int runAccountCommand(int argc, char** argv);
int runSyncCommand(int argc, char** argv);
int runTroubleshootCommand(int argc, char** argv);

}  // namespace porvane
