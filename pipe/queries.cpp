// The machine's facts for the control pipe's requests, read anew from VirtualBox at every call.
#include "pipe/pipe.h"

#include "config/config.h"
#include "vbox/vbox.h"

// The named object of the service's session's console (not this machine object's), once the
// machine is found and its Id can be read; 1 or 0.
static int GetConsoleObject(const wchar_t* name, DispatchRef* object) {
    DispatchRef machine;
    DispatchRef console;
    ScopedBstr id;
    return (FindMachineByName(ServiceConfig.VmName, machine.Put()) != 0) &&
           SUCCEEDED(GetStringProperty(machine.Get(), L"Id", id.Put())) &&
           SUCCEEDED(GetObjectProperty(VirtualBoxLink.Session, L"Console", console.Put())) &&
           SUCCEEDED(GetObjectProperty(console.Get(), name, object->Put()));
}

DWORD QueryMachineState() {
    DispatchRef machine;
    LONG state = 0;
    if (FindMachineByName(ServiceConfig.VmName, machine.Put()) != 0) {
        GetMachineState(machine.Get(), &state);
    }
    // 5.0's numbering, whatever the release: tray companions read these numbers.
    return static_cast<DWORD>(state);
}

DWORD QueryVrdeEnabled() {
    DispatchRef machine;
    DispatchRef server;
    LONG enabled = 0;
    if ((FindMachineByName(ServiceConfig.VmName, machine.Put()) != 0) &&
        SUCCEEDED(GetObjectProperty(machine.Get(), L"VRDEServer", server.Put()))) {
        GetLongProperty(server.Get(), L"Enabled", &enabled);
    }
    return static_cast<DWORD>(enabled);
}

DWORD QueryVrdePort() {
    DispatchRef info;
    LONG port = 0;
    if (GetConsoleObject(L"VRDEServerInfo", &info) != 0) {
        GetLongProperty(info.Get(), L"Port", &port);
    }
    // The signed port goes out bit for bit: -1 (not started) included.
    return static_cast<DWORD>(port);
}

DWORD QueryScreenSize() {
    DispatchRef display;
    DWORD size = 0;
    if (GetConsoleObject(L"Display", &display) != 0) {
        ULONG width = 0, height = 0, bitsPerPixel = 0;
        LONG xOrigin = 0, yOrigin = 0, monitorStatus = 0;
        VARIANT args[7];
        args[0] = LongArg(0);
        VARIANT* outs = args + 1;
        void* targets[6] = {&width, &height, &bitsPerPixel, &xOrigin, &yOrigin, &monitorStatus};
        const VARTYPE types[6] = {VT_UI4, VT_UI4, VT_UI4, VT_I4, VT_I4, VT_I4};
        for (int i = 0; i < 6; ++i) {
            VariantInit(&outs[i]);
            outs[i].vt = VT_BYREF | types[i];
            outs[i].byref = targets[i];
        }
        if (SUCCEEDED(CallMethod(display.Get(), L"GetScreenResolution", args, 7, nullptr))) {
            // Height in the high 16 bits, width in the low: added, as the companion expects.
            size = height * 65536u + width;
        }
    }
    return size;
}
