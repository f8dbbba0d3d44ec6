// control/com: COM plumbing: objects, IDispatch, connection points, the module lock count.
// The COM object plumbing shared by the control and its property page.
//
// An object derives from Object and from its interfaces, lists the interfaces
// it answers to in FindInterface, and puts QLR_COM_DELEGATING_IUNKNOWN in its
// class body. Aggregation is built in: every interface's IUnknown goes to the
// controlling unknown (the outer object when aggregated, else our own inner
// unknown), while the inner unknown keeps the reference count.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <atomic>
#include <new>

#include "control/com/module.h"

namespace qlr::com {

class Object {
public:
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // The non-delegating unknown: what a class factory hands to an aggregator.
    IUnknown* InnerUnknown() { return &inner_; }

    // Creates T (constructed with the outer unknown) and queries it for iid.
    template <class T>
    static HRESULT Create(IUnknown* outer, REFIID iid, void** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        T* object = new (std::nothrow) T(outer);
        if (!object) return E_OUTOFMEMORY;
        IUnknown* inner = object->InnerUnknown();
        HRESULT hr = static_cast<Object*>(object)->FinalConstruct();
        if (SUCCEEDED(hr)) hr = inner->QueryInterface(iid, out);
        inner->Release();  // drops the construction reference; destroys on failure
        return hr;
    }

protected:
    explicit Object(IUnknown* outer) : inner_(*this), controlling_(outer ? outer : &inner_) {
        ModuleAddRef();
    }
    virtual ~Object() { ModuleRelease(); }

    // Work that may fail after construction; the object is destroyed if it does.
    virtual HRESULT FinalConstruct() { return S_OK; }
    // The interface pointer for iid, or nullptr. IUnknown is answered by the base.
    virtual void* FindInterface(REFIID iid) = 0;

    IUnknown* ControllingUnknown() const { return controlling_; }
    HRESULT DelegatedQueryInterface(REFIID iid, void** out) {
        return controlling_->QueryInterface(iid, out);
    }
    ULONG DelegatedAddRef() { return controlling_->AddRef(); }
    ULONG DelegatedRelease() { return controlling_->Release(); }

private:
    class Inner final : public IUnknown {
    public:
        explicit Inner(Object& owner) : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
            if (!out) return E_POINTER;
            *out = IsEqualIID(iid, IID_IUnknown) ? static_cast<IUnknown*>(this)
                                                 : owner_.FindInterface(iid);
            if (!*out) return E_NOINTERFACE;
            static_cast<IUnknown*>(*out)->AddRef();
            return S_OK;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
        STDMETHODIMP_(ULONG) Release() override {
            ULONG left = --refs_;
            if (left == 0) {
                // The destructor may run code that takes and drops a reference
                // (a method called from the window's destruction): the count
                // must never reach zero a second time.
                refs_ = kDestroying;
                delete &owner_;
            }
            return left;
        }

    private:
        static constexpr ULONG kDestroying = 0x40000000;
        Object& owner_;
        std::atomic<ULONG> refs_{1};
    };

    Inner inner_;
    IUnknown* controlling_;
};

}  // namespace qlr::com

#define QLR_COM_DELEGATING_IUNKNOWN                                      \
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {       \
        return DelegatedQueryInterface(iid, out);                        \
    }                                                                    \
    STDMETHODIMP_(ULONG) AddRef() override { return DelegatedAddRef(); } \
    STDMETHODIMP_(ULONG) Release() override { return DelegatedRelease(); }
