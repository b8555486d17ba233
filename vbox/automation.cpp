// Calls VirtualBox members by name through IDispatch, as VirtualBox's own scripting bindings do.
#include "vbox/vbox.h"

#include "config/config.h"

#include <string>
#include <vector>

BSTR Utf8ToBstr(const char* text) {
    const std::wstring wide = Wide(text);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

bool IsServerGone(HRESULT hr) {
    switch (static_cast<unsigned>(hr)) {
        case 0x80010108:  // RPC_E_DISCONNECTED
        case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
        case 0x800706BE:  // RPC_S_CALL_FAILED
        case 0x800706BF:  // RPC_S_CALL_FAILED_DNE
        case 0x80010007:  // RPC_E_SERVER_DIED
        case 0x80010012:  // RPC_E_SERVER_DIED_DNE
            return true;
        default:
            return false;
    }
}

void ReleaseObject(IDispatch** field) {
    if (*field != nullptr) {
        (*field)->Release();
        *field = nullptr;
    }
}

VARIANT LongArg(LONG value) {
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_I4;
    arg.lVal = value;
    return arg;
}

VARIANT BstrArg(BSTR value) {
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = value;
    return arg;
}

VARIANT DispatchArg(IDispatch* value) {
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_DISPATCH;
    arg.pdispVal = value;
    return arg;
}

// A typelib-driven IDispatch reports a failing member as DISP_E_EXCEPTION; the member's own code
// is in the exception record, possibly filled in late.
static HRESULT MemberResult(HRESULT hr, EXCEPINFO* exception) {
    if (hr == DISP_E_EXCEPTION) {
        if (exception->pfnDeferredFillIn != nullptr) {
            exception->pfnDeferredFillIn(exception);
        }
        hr = exception->scode != 0 ? exception->scode : E_FAIL;
    }
    SysFreeString(exception->bstrSource);
    SysFreeString(exception->bstrDescription);
    SysFreeString(exception->bstrHelpFile);
    return hr;
}

static HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args,
                            UINT argCount, VARIANT* result) {
    if (object == nullptr) {
        return E_POINTER;
    }
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    DISPID member = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &member);
    if (FAILED(hr)) {
        return hr;
    }
    // DISPPARAMS takes the arguments last first.
    std::vector<VARIANT> reversed(args, args + argCount);
    for (UINT i = 0; i < argCount; ++i) {
        reversed[i] = args[argCount - 1 - i];
    }
    DISPPARAMS params = {reversed.data(), nullptr, argCount, 0};
    EXCEPINFO exception = {};
    UINT badArgument = 0;
    hr = object->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception,
                        &badArgument);
    return MemberResult(hr, &exception);
}

HRESULT CallMethod(IDispatch* object, const wchar_t* name, VARIANT* args, UINT argCount,
                   VARIANT* result) {
    VARIANT ignored;
    VariantInit(&ignored);
    HRESULT hr = InvokeByName(object, name, DISPATCH_METHOD, args, argCount,
                              result != nullptr ? result : &ignored);
    VariantClear(&ignored);
    return hr;
}

// Reads a property and converts it to the wanted type; the variant is cleared on failure.
static HRESULT GetTypedProperty(IDispatch* object, const wchar_t* name, VARTYPE type,
                                VARIANT* value) {
    VariantInit(value);
    HRESULT hr = InvokeByName(object, name, DISPATCH_PROPERTYGET, nullptr, 0, value);
    if (SUCCEEDED(hr) && value->vt != type) {
        hr = VariantChangeType(value, value, 0, type);
    }
    if (FAILED(hr)) {
        VariantClear(value);
    }
    return hr;
}

HRESULT GetLongProperty(IDispatch* object, const wchar_t* name, LONG* value) {
    VARIANT v;
    HRESULT hr = GetTypedProperty(object, name, VT_I4, &v);
    if (SUCCEEDED(hr)) {
        *value = v.lVal;
    }
    return hr;
}

HRESULT GetUlongProperty(IDispatch* object, const wchar_t* name, ULONG* value) {
    VARIANT v;
    HRESULT hr = GetTypedProperty(object, name, VT_UI4, &v);
    if (SUCCEEDED(hr)) {
        *value = v.ulVal;
    }
    return hr;
}

HRESULT GetStringProperty(IDispatch* object, const wchar_t* name, BSTR* value) {
    VARIANT v;
    HRESULT hr = GetTypedProperty(object, name, VT_BSTR, &v);
    *value = SUCCEEDED(hr) ? v.bstrVal : nullptr;
    return hr;
}

// Takes the object out of a result variant; a result without an object is E_POINTER.
static HRESULT TakeObject(HRESULT hr, VARIANT* v, IDispatch** value) {
    *value = nullptr;
    if (SUCCEEDED(hr)) {
        if ((v->vt == VT_DISPATCH) && (v->pdispVal != nullptr)) {
            *value = v->pdispVal;
            v->pdispVal = nullptr;
        } else if ((v->vt == VT_UNKNOWN) && (v->punkVal != nullptr)) {
            hr = v->punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(value));
        } else {
            hr = E_POINTER;
        }
    }
    VariantClear(v);
    return hr;
}

HRESULT GetArrayProperty(IDispatch* object, const wchar_t* name, VARTYPE elementType,
                         SAFEARRAY** value) {
    VARIANT v;
    VariantInit(&v);
    *value = nullptr;
    HRESULT hr = InvokeByName(object, name, DISPATCH_PROPERTYGET, nullptr, 0, &v);
    // The variant's type tells the elements' (a marshalled array may not carry it itself).
    if (SUCCEEDED(hr) && ((v.vt != (VT_ARRAY | elementType)) || (v.parray == nullptr))) {
        hr = DISP_E_TYPEMISMATCH;
    }
    if (SUCCEEDED(hr)) {
        *value = v.parray;
        v.vt = VT_EMPTY;
    }
    VariantClear(&v);
    return hr;
}

HRESULT GetObjectProperty(IDispatch* object, const wchar_t* name, IDispatch** value) {
    VARIANT v;
    VariantInit(&v);
    HRESULT hr = InvokeByName(object, name, DISPATCH_PROPERTYGET, nullptr, 0, &v);
    return TakeObject(hr, &v, value);
}

HRESULT CallObjectMethod(IDispatch* object, const wchar_t* name, VARIANT* args, UINT argCount,
                         IDispatch** value) {
    VARIANT v;
    VariantInit(&v);
    HRESULT hr = InvokeByName(object, name, DISPATCH_METHOD, args, argCount, &v);
    return TakeObject(hr, &v, value);
}
