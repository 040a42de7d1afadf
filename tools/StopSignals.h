// Signals of the command-line programs that run until stopped.
#pragma once

#include <string>

namespace kestrova {

// A reader of the output that goes away (SIGPIPE) must not end the program:
// a failed write to the terminal is not a fault of the work. A file-size
// limit must fail the write (and end the work cleanly), not kill the
// process with files half written.
void IgnoreOutputSignals();

// From now on Ctrl-C, SIGTERM and a closed terminal (SIGHUP) ask the
// program to stop instead of ending it.
void StopOnSignals();

// The signal that asked to stop; 0 while none did.
int StopSignal();

// "SIGTERM", "SIGHUP (terminal closed)", "Ctrl-C (SIGINT)".
std::string StopSignalText(int signal);

}  // namespace kestrova
