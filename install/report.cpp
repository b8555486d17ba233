// The one report of a failed "-i" or "-u", on the console and in the log.
#include "install/account.h"
#include "install/install.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void ReportFailure(const char* action, const char* reason, DWORD error) {
    const char* display = ServiceConfig.DisplayName;
    const char* key = ServiceConfig.ServiceKeyName;
    char code[16];
    snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(error));
    const char* text = reason[0] != '\0' ? reason : code;
    ConsolePrint(STD_OUTPUT_HANDLE, "\nERROR %s %s (%s) service: %s\n", action, display, key, text);
    // Two kinds of line, each an event of its own.
    if (strcmp(action, "installing") == 0) {
        LogMessage(1, "ERROR installing %s (%s) service: %s", display, key, text);
    } else {
        LogMessage(1, "ERROR uninstalling %s (%s) service: %s", display, key, text);
    }
}

void ReportInstallFailure(const char* format, ...) {
    char reason[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    ReportFailure("installing", reason, ERROR_SUCCESS);
}
