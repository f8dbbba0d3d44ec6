// RAII owners for COM pointers, automation strings and variants.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>
#include <utility>

namespace qlr::com {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference on p.
    explicit ComPtr(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { reset(); }
    ComPtr& operator=(const ComPtr& o) {
        if (this != &o) {
            ComPtr tmp(o);
            swap(tmp);
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }

    static ComPtr Attach(T* p) {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Releases what is held and hands out the slot for an out parameter.
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    T* detach() { return std::exchange(p_, nullptr); }
    void reset() {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

    // QueryInterface for U, the interface identifier taken from the type.
    template <class U>
    HRESULT As(ComPtr<U>& out) const {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(__uuidof(U), out.put_void());
    }

private:
    T* p_ = nullptr;
};

// An owned BSTR; null stands for "no string" (which automation treats as empty).
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* s) : s_(s ? SysAllocString(s) : nullptr) {}
    Bstr(const wchar_t* s, UINT len) : s_(SysAllocStringLen(s, len)) {}
    Bstr(const Bstr& o) : s_(o.s_ ? SysAllocStringLen(o.s_, SysStringLen(o.s_)) : nullptr) {}
    Bstr(Bstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    ~Bstr() { SysFreeString(s_); }
    Bstr& operator=(Bstr o) noexcept {
        std::swap(s_, o.s_);
        return *this;
    }

    static Bstr Attach(BSTR s) {
        Bstr b;
        b.s_ = s;
        return b;
    }
    static Bstr Copy(BSTR s) { return s ? Bstr(s, SysStringLen(s)) : Bstr(); }
    BSTR get() const { return s_; }
    UINT length() const { return SysStringLen(s_); }
    BSTR* put() {
        reset();
        return &s_;
    }
    BSTR detach() { return std::exchange(s_, nullptr); }
    void reset() { SysFreeString(std::exchange(s_, nullptr)); }
    // A fresh copy for the caller to own (an out parameter).
    BSTR CopyOut() const { return s_ ? SysAllocStringLen(s_, SysStringLen(s_)) : nullptr; }

private:
    BSTR s_ = nullptr;
};

// A VARIANT that is cleared when it goes out of scope.
class Variant {
public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    Variant(Variant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }

    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT* operator->() { return &v_; }
    const VARIANT* operator->() const { return &v_; }
    void clear() { VariantClear(&v_); }

private:
    VARIANT v_;
};

}  // namespace qlr::com
