// The machine's facts for the control pipe's requests, read anew from VirtualBox at every call.
#include "pipe/pipe.h"

#include "config/config.h"
#include "vbox/vbox.h"

// Looks the machine up and checks that it can be read; the console whose facts the caller reads
// is the service's session's, not this machine object's.
static int FindReadableMachine(IDispatch** machine) {
    if (FindMachineByName(ServiceConfig.VmName, machine) == 0) {
        return 0;
    }
    ScopedBstr id;
    if (FAILED(GetStringProperty(*machine, L"Id", id.Put()))) {
        (*machine)->Release();
        *machine = nullptr;
        return 0;
    }
    return 1;
}

DWORD QueryMachineState() {
    DispatchRef machine;
    LONG state = 0;
    if (FindMachineByName(ServiceConfig.VmName, machine.Put()) != 0) {
        GetLongProperty(machine.Get(), L"State", &state);
    }
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
    DispatchRef machine;
    DispatchRef console;
    DispatchRef info;
    LONG port = 0;
    if ((FindReadableMachine(machine.Put()) != 0) &&
        SUCCEEDED(GetObjectProperty(VirtualBoxLink.Session, L"Console", console.Put())) &&
        SUCCEEDED(GetObjectProperty(console.Get(), L"VRDEServerInfo", info.Put()))) {
        GetLongProperty(info.Get(), L"Port", &port);
    }
    // The signed port goes out bit for bit: -1 (not started) included.
    return static_cast<DWORD>(port);
}

DWORD QueryScreenSize() {
    DispatchRef machine;
    DispatchRef console;
    DispatchRef display;
    DWORD size = 0;
    if ((FindReadableMachine(machine.Put()) != 0) &&
        SUCCEEDED(GetObjectProperty(VirtualBoxLink.Session, L"Console", console.Put())) &&
        SUCCEEDED(GetObjectProperty(console.Get(), L"Display", display.Put()))) {
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
