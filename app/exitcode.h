#pragma once

// What the command line tells its caller when it ends (README, "Command line").
enum ExitCode : int {
    EXIT_OK = 0,            // every picture succeeded or was there already
    EXIT_FAILURES = 1,      // the run ended with failures, or Ctrl+C stopped it
    EXIT_USAGE = 2,         // the command line, or a folder it names, will not do
    EXIT_NOT_LOGGED_IN = 3, // no remembered account, or the site refused the login or the token
    EXIT_REFUSED = 4,       // the site refused the request or could not be reached
};
