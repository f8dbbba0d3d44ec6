// control/automation: the control object, its automation surface, events, window; the port list.
// The control's window: the child window a container gets at in-place
// activation, or the hidden message-only window that stands in for it in
// hosts that never activate the control (script hosts, plain C++ clients).
// Both belong to the host's thread, so every event they fire runs there.
#pragma once

#include <windows.h>

namespace qlr {

class WindowOwner {
public:
    virtual ~WindowOwner() = default;
    // WM_CREATE and WM_DESTROY; controlWindow is false for the hidden window.
    virtual void OnWindowCreated(bool controlWindow) = 0;
    virtual void OnWindowDestroying(bool controlWindow) = 0;
    // The private messages of the background threads (WM_USER + 1 .. + 6).
    virtual LRESULT OnPortMessage(UINT message, WPARAM wp, LPARAM lp) = 0;
    // The control window alone: painting (client rectangle, device pixels),
    // focus (other: the window losing or gaining it) and mouse activation.
    virtual void OnWindowPaint(HDC dc, const RECT& client) = 0;
    virtual void OnWindowFocus(bool gained, HWND other) = 0;
    virtual void OnWindowMouseActivate() = 0;
};

class ControlWindow {
public:
    ControlWindow(WindowOwner& owner, bool controlWindow)
        : owner_(owner), controlWindow_(controlWindow) {}
    ~ControlWindow() { Destroy(); }
    ControlWindow(const ControlWindow&) = delete;
    ControlWindow& operator=(const ControlWindow&) = delete;

    // A visible child of parent, or (parent HWND_MESSAGE) a message-only window.
    bool Create(HWND parent, const RECT& bounds);
    void Destroy();
    HWND get() const { return hwnd_; }

    // The window class, registered once per process under a generated name.
    static const char* ClassName();

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
    void Paint(HDC given);

    WindowOwner& owner_;
    bool controlWindow_;
    HWND hwnd_ = nullptr;
};

}  // namespace qlr
