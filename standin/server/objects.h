// The COM objects of the stand-in server.
#pragma once

#include <windows.h>

namespace standin {

// Creates a VirtualBox object (the class factory's product) and asks it for iid.
HRESULT NewVirtualBoxObject(REFIID iid, void** out);

}  // namespace standin
