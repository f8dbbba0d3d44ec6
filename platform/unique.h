// One owner template for every kind of system resource, and a typedef per
// kind: the owner closes what it holds exactly once, through the kind's own
// release call, and never a value that stands for "nothing".
#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace qlr::platform {

// Traits: Empty() (the value that owns nothing), Valid(v), Close(v).
template <class T, class Traits>
class Unique {
public:
    Unique() = default;
    explicit Unique(T value) : v_(value) {}
    ~Unique() { reset(); }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& o) noexcept : v_(o.release()) {}
    Unique& operator=(Unique&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }

    T get() const { return v_; }
    bool valid() const { return Traits::Valid(v_); }
    explicit operator bool() const { return valid(); }
    T release() { return std::exchange(v_, Traits::Empty()); }
    void reset(T value = Traits::Empty()) {
        const T old = std::exchange(v_, value);
        if (Traits::Valid(old)) Traits::Close(old);
    }
    // Releases what is held and hands out the slot for an out parameter.
    T* put() {
        reset();
        return &v_;
    }

private:
    T v_ = Traits::Empty();
};

// Traits of the kinds whose "nothing" is a null value.
template <class T, void (*CloseFn)(T)>
struct NullIsEmpty {
    static T Empty() { return nullptr; }
    static bool Valid(T v) { return v != nullptr; }
    static void Close(T v) { CloseFn(v); }
};

namespace detail {
inline void CloseKey(HKEY key) { RegCloseKey(key); }
inline void DestroyWindowHandle(HWND window) { DestroyWindow(window); }
inline void DeleteDcHandle(HDC dc) { DeleteDC(dc); }
inline void ReleaseScreenDc(HDC dc) { ReleaseDC(nullptr, dc); }
template <class H>
void DeleteGdiObject(H object) {
    DeleteObject(object);
}
template <class T>
void FreeTaskMemory(T* p) {
    CoTaskMemFree(p);
}
}  // namespace detail

// Registry keys.
using UniqueKey = Unique<HKEY, NullIsEmpty<HKEY, &detail::CloseKey>>;
// Windows the owner created.
using UniqueWindow = Unique<HWND, NullIsEmpty<HWND, &detail::DestroyWindowHandle>>;
// Memory device contexts (CreateCompatibleDC) and the screen's DC (GetDC(nullptr)).
using UniqueMemoryDc = Unique<HDC, NullIsEmpty<HDC, &detail::DeleteDcHandle>>;
using UniqueScreenDc = Unique<HDC, NullIsEmpty<HDC, &detail::ReleaseScreenDc>>;
// Bitmaps, brushes, regions.
template <class H>
using UniqueGdiObject = Unique<H, NullIsEmpty<H, &detail::DeleteGdiObject<H>>>;
// Memory from CoTaskMemAlloc, such as strings handed out by COM.
template <class T>
using UniqueTaskMemory = Unique<T*, NullIsEmpty<T*, &detail::FreeTaskMemory<T>>>;

}  // namespace qlr::platform
