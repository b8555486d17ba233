// A child process with its output captured, for tests and benchmarks alike (no GoogleTest here).
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// Runs exe with arguments (a command-line tail, quoted by the caller) and waits timeoutMs for
// it, then ends it. Returns its exit code: STILL_ACTIVE when it had to be ended or could not be
// started, with the reason in *problem. Its standard input reads input, then ends;
// its standard output and error go to *output, CR LF turned into LF.
DWORD RunChild(const std::string& exe, const std::string& arguments, DWORD timeoutMs,
               std::string* output, std::string* problem, const std::string& input = "");

}  // namespace testsupport
