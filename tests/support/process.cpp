// Child processes with their output captured.
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include "tests/support/child.h"

namespace testsupport {

ProcessResult RunProcess(const std::string& exe, const std::string& arguments, DWORD timeoutMs) {
    ProcessResult result = {STILL_ACTIVE, ""};
    std::string problem;
    result.exitCode = RunChild(exe, arguments, timeoutMs, &result.output, &problem);
    if (!problem.empty()) {
        ADD_FAILURE() << problem;
    }
    return result;
}

}  // namespace testsupport
