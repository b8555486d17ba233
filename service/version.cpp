// The operating system's version and the product's own.
#include "config/config.h"
#include "service/service.h"

#include <cstring>

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

// Read from the executable's own resource in memory, without version.dll: Windows looks for that
// DLL beside the executable first, in a folder others may be able to write to (one made under C:\,
// say), and the service runs as LocalSystem.
int ReadProductVersion(WORD version[4]) {
    version[0] = version[1] = version[2] = version[3] = 0;
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO),
                                MAKEINTRESOURCEW(16));  // RT_VERSION
    HGLOBAL loaded = found != nullptr ? LoadResource(nullptr, found) : nullptr;
    const BYTE* block =
        loaded != nullptr ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    // VS_VERSIONINFO: three words, the key "VS_VERSION_INFO", padding to 32 bits, VS_FIXEDFILEINFO.
    const size_t offset = (3 * sizeof(WORD) + sizeof(L"VS_VERSION_INFO") + 3) & ~size_t{3};
    VS_FIXEDFILEINFO fixed{};
    if (block == nullptr || SizeofResource(nullptr, found) < offset + sizeof fixed) {
        return 0;
    }
    memcpy(&fixed, block + offset, sizeof fixed);
    if (fixed.dwSignature != VS_FFI_SIGNATURE) {
        return 0;
    }
    version[0] = HIWORD(fixed.dwProductVersionMS);
    version[1] = LOWORD(fixed.dwProductVersionMS);
    version[2] = HIWORD(fixed.dwProductVersionLS);
    version[3] = LOWORD(fixed.dwProductVersionLS);
    return 1;
}
