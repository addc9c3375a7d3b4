// vktctl, the console tool on the client library: parses its arguments,
// sends one command to the driver and writes the outcome. The console and
// the process around it belong to the caller, so that the same tool runs as
// a Windows program and inside the simulated machine.
#pragma once

#include "client/user_platform.h"

// Where the tool's text goes: each call is one whole line, without its end.
struct VktctlConsole {
    void (*WriteLine)(void* context, const WCHAR* line, bool isError); // writes a line
    void* Context;                                                     // handed to WriteLine
};

// Exit codes of the tool.
static const int VKTCTL_OK = 0;        // the command succeeded
static const int VKTCTL_FAILED = 1;    // the device could not be opened or the command failed
static const int VKTCTL_BAD_USAGE = 2; // the arguments were not understood; nothing was sent

// Runs the tool with its arguments (argv[0] is the program's name).
int VktctlRun(int argc, const WCHAR* const* argv, const VktctlConsole* console);
