// The operating system's version and the product's own.
#include "config/config.h"
#include "service/service.h"

#include <cstdlib>

BOOL PreshutdownSupported = FALSE;

void DetectPreshutdownSupport() {
    OSVERSIONINFOEXW wanted{};
    wanted.dwOSVersionInfoSize = sizeof wanted;
    wanted.dwMajorVersion = 6;
    DWORDLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMINOR, VER_GREATER_EQUAL);
    PreshutdownSupported = VerifyVersionInfoW(
        &wanted, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR,
        condition);
}

int ReadProductVersion(WORD version[4]) {
    version[0] = version[1] = version[2] = version[3] = 0;
    const std::wstring path = Wide(ServiceConfig.ExePath);
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    if (size == 0) {
        return 0;
    }
    void* block = malloc(size);
    if (block == nullptr) {
        return 0;
    }
    int result = 0;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (GetFileVersionInfoW(path.c_str(), 0, size, block) &&
        VerQueryValueW(block, L"\\", reinterpret_cast<void**>(&fixed), &length) &&
        fixed != nullptr && length >= sizeof *fixed) {
        version[0] = HIWORD(fixed->dwProductVersionMS);
        version[1] = LOWORD(fixed->dwProductVersionMS);
        version[2] = HIWORD(fixed->dwProductVersionLS);
        version[3] = LOWORD(fixed->dwProductVersionLS);
        result = 1;
    }
    free(block);
    return result;
}
