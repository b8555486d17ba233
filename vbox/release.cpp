// What differs between VirtualBox releases: interface ids, the numbering of machine states, and
// the form of LaunchVMProcess's environment. Read from VirtualBox's own type library by name, so
// that no one release's numbers are the only truth; a table by version serves where VirtualBox
// gives no type information.
#include "vbox/vbox.h"

#include "config/config.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

VirtualBoxReleaseRecord VirtualBoxRelease;

static const LONG StateSlots = sizeof(VirtualBoxRelease.ClassicStates) / sizeof(LONG);
static const wchar_t StatePrefix[] = L"MachineState_";

// AbortedSaved (7.0 on) is an aborted machine that kept its saved state: down, as Aborted is.
static LONG ClassicStateNamed(const wchar_t* name) {
    if (wcscmp(name, L"AbortedSaved") == 0) {
        return MachineState_Aborted;
    }
    for (LONG classic = 0; classic < MachineStateCount; ++classic) {
        const char* known = MachineStateNames[classic];
        size_t i = 0;
        while ((known[i] != '\0') && (static_cast<wchar_t>(known[i]) == name[i])) {
            ++i;
        }
        if ((known[i] == '\0') && (name[i] == L'\0')) {
            return classic;
        }
    }
    return -1;
}

static void ForgetStates(VirtualBoxReleaseRecord* facts) {
    for (LONG& slot : facts->ClassicStates) {
        slot = -1;
    }
}

enum class EnumRead { NotStates, Read, Unreadable };

// An enumeration whose constants are all MachineState_<Name>, whatever its own name: VirtualBox's
// MIDL file names it with a made-up name behind the alias MachineState. Its aliases (FirstOnline
// and the like) name no state of 5.0 and are passed over. A constant whose name or value cannot be
// read (a call into VirtualBox that failed) makes the whole enumeration unreadable: a half-read
// one would leave states unmapped, so it is never used.
static EnumRead ReadStateEnum(ITypeInfo* info, const TYPEATTR* attributes,
                              VirtualBoxReleaseRecord* facts) {
    const size_t prefixLength = wcslen(StatePrefix);
    LONG states[StateSlots];
    for (LONG& slot : states) {
        slot = -1;
    }
    for (UINT i = 0; i < attributes->cVars; ++i) {
        VARDESC* variable = nullptr;
        if (FAILED(info->GetVarDesc(i, &variable))) {
            return EnumRead::Unreadable;
        }
        ScopedBstr name;
        LONG value = -1;
        if ((variable->varkind == VAR_CONST) && (variable->lpvarValue != nullptr) &&
            SUCCEEDED(VariantChangeType(variable->lpvarValue, variable->lpvarValue, 0, VT_I4))) {
            value = variable->lpvarValue->lVal;
        }
        HRESULT hr = info->GetDocumentation(variable->memid, name.Put(), nullptr, nullptr, nullptr);
        info->ReleaseVarDesc(variable);
        if (SUCCEEDED(hr) && (name.Get() != nullptr) &&
            (wcsncmp(name.Get(), StatePrefix, prefixLength) != 0)) {
            return EnumRead::NotStates;
        }
        if (FAILED(hr) || (name.Get() == nullptr) || (value < 0) || (value >= StateSlots)) {
            return EnumRead::Unreadable;
        }
        LONG classic = ClassicStateNamed(name.Get() + prefixLength);
        if (classic >= 0) {
            states[value] = classic;
        }
    }
    if (std::find(std::begin(states), std::end(states), MachineState_Running) == std::end(states)) {
        return EnumRead::NotStates;
    }
    std::copy(std::begin(states), std::end(states), facts->ClassicStates);
    return EnumRead::Read;
}

// Whether LaunchVMProcess's third parameter, the environment, is an array; false when the member
// is not described.
static bool FindLaunchEnvironment(ITypeInfo* info, const TYPEATTR* attributes, bool* isArray) {
    for (UINT i = 0; i < attributes->cFuncs; ++i) {
        FUNCDESC* function = nullptr;
        if (FAILED(info->GetFuncDesc(i, &function))) {
            return false;
        }
        ScopedBstr name;
        bool found = SUCCEEDED(info->GetDocumentation(function->memid, name.Put(), nullptr, nullptr,
                                                      nullptr)) &&
                     (name.Get() != nullptr) && (wcscmp(name.Get(), L"LaunchVMProcess") == 0) &&
                     (function->cParams >= 3);
        if (found) {
            *isArray = function->lprgelemdescParam[2].tdesc.vt == VT_SAFEARRAY;
        }
        info->ReleaseFuncDesc(function);
        if (found) {
            return true;
        }
    }
    return false;
}

// What the walk of the library found.
struct LibraryFound {
    bool states = false;
    bool launch = false;
    bool unreadable = false;  // a state enumeration that could not be read whole
};

static void ReadEnumEntry(ITypeInfo* info, const TYPEATTR* attributes,
                          VirtualBoxReleaseRecord* facts, LibraryFound* found) {
    switch (ReadStateEnum(info, attributes, facts)) {
        case EnumRead::Read:
            found->states = true;
            break;
        case EnumRead::Unreadable:
            found->unreadable = true;
            break;
        case EnumRead::NotStates:
            break;
    }
}

// The enumeration that the alias MachineState names.
static void ReadStateAlias(ITypeInfo* alias, const TYPEATTR* attributes,
                           VirtualBoxReleaseRecord* facts, LibraryFound* found) {
    ITypeInfo* target = nullptr;
    TYPEATTR* targetAttributes = nullptr;
    if ((attributes->tdescAlias.vt == VT_USERDEFINED) &&
        SUCCEEDED(alias->GetRefTypeInfo(attributes->tdescAlias.hreftype, &target)) &&
        SUCCEEDED(target->GetTypeAttr(&targetAttributes))) {
        if (targetAttributes->typekind == TKIND_ENUM) {
            ReadEnumEntry(target, targetAttributes, facts, found);
        }
        target->ReleaseTypeAttr(targetAttributes);
    }
    if (target != nullptr) {
        target->Release();
    }
}

// Looks at one entry of the library: a state enumeration, the alias MachineState, IMachine, or an
// interface whose id the service asks for.
static void ReadLibraryEntry(ITypeLib* library, UINT index, VirtualBoxReleaseRecord* facts,
                             LibraryFound* found) {
    ScopedBstr name;
    ITypeInfo* info = nullptr;
    if (FAILED(library->GetDocumentation(static_cast<INT>(index), name.Put(), nullptr, nullptr,
                                         nullptr)) ||
        (name.Get() == nullptr) || FAILED(library->GetTypeInfo(index, &info))) {
        return;
    }
    TYPEATTR* attributes = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
        const wchar_t* text = name.Get();
        if (attributes->typekind == TKIND_ENUM) {
            ReadEnumEntry(info, attributes, facts, found);
        } else if ((attributes->typekind == TKIND_ALIAS) && (wcscmp(text, L"MachineState") == 0)) {
            ReadStateAlias(info, attributes, facts, found);
        } else if (wcscmp(text, L"IMachine") == 0) {
            found->launch = FindLaunchEnvironment(info, attributes, &facts->EnvironmentIsArray);
        } else if (wcscmp(text, L"ISession") == 0) {
            facts->SessionIid = attributes->guid;
        } else if (wcscmp(text, L"IMachineStateChangedEvent") == 0) {
            facts->StateChangedEventIid = attributes->guid;
        }
        info->ReleaseTypeAttr(attributes);
    }
    info->Release();
}

// The facts from the type library that holds the VirtualBox object's own type information. Fails
// unless the library describes both the states, read whole, and LaunchVMProcess.
static HRESULT ReadTypeLibrary(IDispatch* virtualBox, VirtualBoxReleaseRecord* facts) {
    ITypeInfo* info = nullptr;
    ITypeLib* library = nullptr;
    UINT index = 0;
    HRESULT hr =
        virtualBox != nullptr ? virtualBox->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info) : E_POINTER;
    if (SUCCEEDED(hr)) {
        hr = info != nullptr ? info->GetContainingTypeLib(&library, &index) : E_POINTER;
    }
    if (SUCCEEDED(hr) && (library == nullptr)) {
        hr = E_POINTER;
    }
    if (SUCCEEDED(hr)) {
        LibraryFound found;
        UINT count = library->GetTypeInfoCount();
        for (UINT i = 0; i < count; ++i) {
            ReadLibraryEntry(library, i, facts, &found);
        }
        hr = (found.states && found.launch && !found.unreadable) ? S_OK : TYPE_E_ELEMENTNOTFOUND;
    }
    if (library != nullptr) {
        library->Release();
    }
    if (info != nullptr) {
        info->Release();
    }
    return hr;
}

// The facts by version: up to 6.0 the numbering of 5.0; 6.1 dropped FaultTolerantSyncing and took
// the environment as an array; 7.0 put AbortedSaved after Aborted. A version that cannot be read
// is taken for 5.0, the API the service was first built on.
static void ReadVersionTable(const wchar_t* version, VirtualBoxReleaseRecord* facts) {
    int major = 0;
    int minor = 0;
    if ((version == nullptr) || (swscanf(version, L"%d.%d", &major, &minor) != 2)) {
        major = 5;
    }
    bool from61 = (major > 6) || ((major == 6) && (minor >= 1));
    bool from70 = major >= 7;
    ForgetStates(facts);
    LONG next = 0;
    for (LONG classic = 0; classic < MachineStateCount; ++classic) {
        if (from61 && (classic == MachineState_FaultTolerantSyncing)) {
            continue;
        }
        facts->ClassicStates[next++] = classic;
        if (from70 && (classic == MachineState_Aborted)) {
            facts->ClassicStates[next++] = MachineState_Aborted;  // AbortedSaved
        }
    }
    facts->EnvironmentIsArray = from61;
    facts->SessionIid = IID_NULL;
    facts->StateChangedEventIid = IID_NULL;
}

void LearnVirtualBoxRelease(const wchar_t* version) {
    VirtualBoxReleaseRecord facts = {IID_NULL, IID_NULL, false, {}};
    ForgetStates(&facts);
    HRESULT hr = ReadTypeLibrary(VirtualBoxLink.VirtualBox, &facts);
    if (SUCCEEDED(hr)) {
        LogMessage(3, "VirtualBox release facts read from its type library");
    } else {
        ReadVersionTable(version, &facts);
        LogMessage(3, "VirtualBox release facts taken from the table for version %S (0x%08x)",
                   version != nullptr ? version : L"", static_cast<unsigned>(hr));
    }
    VirtualBoxRelease = facts;
}

LONG ClassicState(LONG releaseState) {
    if ((releaseState < 0) || (releaseState >= StateSlots)) {
        return MachineState_Null;
    }
    LONG classic = VirtualBoxRelease.ClassicStates[releaseState];
    return classic >= 0 ? classic : MachineState_Null;
}

HRESULT GetMachineState(IDispatch* object, LONG* state) {
    LONG value = 0;
    HRESULT hr = GetLongProperty(object, L"State", &value);
    *state = SUCCEEDED(hr) ? ClassicState(value) : MachineState_Null;
    return hr;
}
