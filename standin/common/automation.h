// A COM object with a dual interface whose IDispatch side is driven by the type library of the
// release it plays: names are looked up case-blind by DispGetIDsOfNames, and ITypeInfo::Invoke
// calls the vtable members, so a failing member reaches an IDispatch caller as DISP_E_EXCEPTION
// with its code in EXCEPINFO.scode, and arguments are converted to the release's types.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>

#include "common/common.h"

namespace standin {

// Private identity of the stand-in's own objects: QueryInterface for it yields the ObjectBase of
// an object of this process (never answered across processes, as it is not in the type library).
// {15D8CB1E-E204-4601-B6F7-7320F4309C62}
constexpr GUID kIidObjectBase = {
    0x15d8cb1e, 0xe204, 0x4601, {0xb6, 0xf7, 0x73, 0x20, 0xf4, 0x30, 0x9c, 0x62}};

// Every COM object of a process counts itself here while it lives: the server ends when the count
// has stayed at zero long enough, and the session DLL may be unloaded when it is zero.
extern std::atomic<long> g_liveObjects;

class ObjectBase {
public:
    ObjectBase() {
        ++g_liveObjects;
    }
    virtual ~ObjectBase() {
        --g_liveObjects;
    }
    ObjectBase(const ObjectBase&) = delete;
    ObjectBase& operator=(const ObjectBase&) = delete;

    virtual ULONG AddRefBase() = 0;
    virtual ULONG ReleaseBase() = 0;
};

template <class Itf>
class ComObject : public Itf, public ObjectBase {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IDispatch || IsIid(iid, __uuidof(Itf))) {
            *out = static_cast<Itf*>(this);
        } else if (iid == kIidObjectBase) {
            *out = static_cast<ObjectBase*>(this);
        } else if (!QueryOther(iid, out)) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return ++refs_;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    ULONG AddRefBase() override {
        return AddRef();
    }
    ULONG ReleaseBase() override {
        return Release();
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) {
            return E_POINTER;
        }
        *count = TypeInfoOffered() ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) {
            return E_POINTER;
        }
        *info = nullptr;
        if (index != 0 || !TypeInfoOffered()) {
            return DISP_E_BADINDEX;
        }
        ITypeInfo* type = InterfaceTypeInfo(release_, DispatchIid());
        if (!type) {
            return E_UNEXPECTED;
        }
        type->AddRef();
        *info = type;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        ITypeInfo* type = InterfaceTypeInfo(release_, DispatchIid());
        return type ? DispGetIDsOfNames(type, names, count, ids) : E_UNEXPECTED;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception,
                                     UINT* badArgument) override {
        ITypeInfo* type = InterfaceTypeInfo(release_, DispatchIid());
        if (!type) {
            return E_UNEXPECTED;
        }
        return DispInvoke(static_cast<Itf*>(this), type, id, flags, params, result, exception,
                          badArgument);
    }

protected:
    ComObject() : release_(ProcessRelease()) {}
    explicit ComObject(VBoxRelease release) : release_(release) {}
    ~ComObject() override = default;

    VBoxRelease played() const {
        return release_;
    }
    // Whether iid is the played release's id of an interface, named by its 5.0 id.
    bool IsIid(REFIID iid, REFIID iid50) const {
        return iid == ReleaseIid(release_, iid50);
    }
    // Further interfaces (base interfaces of a derived one, say). Sets *out without AddRef.
    virtual bool QueryOther(REFIID, void**) {
        return false;
    }
    // The interface whose members IDispatch exposes: the most derived one (by its 5.0 id).
    virtual REFIID DispatchIid() {
        return __uuidof(Itf);
    }

private:
    const VBoxRelease release_;
    std::atomic<ULONG> refs_{1};
};

// Finds the stand-in object behind an interface pointer of this process: nullptr for an object
// of another process or of another kind. The result carries a reference.
template <class T>
T* ObjectFrom(IUnknown* unknown) {
    if (!unknown) {
        return nullptr;
    }
    void* raw = nullptr;
    if (FAILED(unknown->QueryInterface(kIidObjectBase, &raw)) || !raw) {
        return nullptr;
    }
    ObjectBase* base = static_cast<ObjectBase*>(raw);
    T* object = dynamic_cast<T*>(base);
    if (!object) {
        base->ReleaseBase();
    }
    return object;
}

// The class factory of a server: lives as long as the process (COM's references to it keep
// nothing alive), makes its objects with create, and counts LockServer calls into locks.
class ClassFactory : public IClassFactory {
public:
    using Create = HRESULT (*)(REFIID iid, void** out);
    ClassFactory(Create create, std::atomic<long>* locks) : create_(create), locks_(locks) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (outer) {
            *out = nullptr;
            return CLASS_E_NOAGGREGATION;
        }
        return create_(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++*locks_ : --*locks_;
        return S_OK;
    }

private:
    Create create_;
    std::atomic<long>* locks_;
};

}  // namespace standin
