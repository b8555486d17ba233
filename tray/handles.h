// Owners of Windows handles: closed when they go out of scope, on every path.
#pragma once

#include <windows.h>

namespace tray {

template <typename T, BOOL(WINAPI* CloseFunction)(T)>
class Owned {
public:
    explicit Owned(T value = nullptr) : value_(value) {}
    ~Owned() {
        Reset();
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    T Get() const {
        return value_;
    }
    bool Valid() const {
        return value_ != nullptr && value_ != INVALID_HANDLE_VALUE;
    }
    void Reset(T value = nullptr) {
        if (Valid()) {
            CloseFunction(value_);
        }
        value_ = value;
    }

private:
    T value_;
};

using Handle = Owned<HANDLE, CloseHandle>;
using ServiceHandle = Owned<SC_HANDLE, CloseServiceHandle>;

}  // namespace tray
