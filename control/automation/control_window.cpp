// control/automation: the control object, its automation surface, events, window; the port list.

#include "control/automation/control_window.h"

#include <cstdio>

#include "control/com/module.h"
#include "control/automation/state.h"

namespace qlr {

const char* ControlWindow::ClassName() {
    // One name per loaded module image, so that two copies of the module in a
    // process never share a window procedure.
    static char name[64];
    static const bool registered = [] {
        std::snprintf(name, sizeof name, "QLRComWindow%p", static_cast<void*>(ModuleInstance()));
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = Procedure;
        wc.hInstance = ModuleInstance();
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.lpszClassName = name;
        return RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered ? name : nullptr;
}

bool ControlWindow::Create(HWND parent, const RECT& bounds) {
    if (hwnd_) return true;
    const char* cls = ClassName();
    if (!cls) return false;
    const bool messageOnly = parent == HWND_MESSAGE;
    const DWORD style =
        messageOnly ? 0 : (WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
    HWND created =
        CreateWindowExA(0, cls, nullptr, style, bounds.left, bounds.top, bounds.right - bounds.left,
                        bounds.bottom - bounds.top, parent, nullptr, ModuleInstance(), this);
    return created != nullptr;  // hwnd_ was set at WM_NCCREATE
}

void ControlWindow::Destroy() {
    if (hwnd_) DestroyWindow(hwnd_);
}

void ControlWindow::Paint(HDC given) {
    RECT client;
    GetClientRect(hwnd_, &client);
    // A DC in wParam (as WM_PRINT-style captures send) is painted as it is.
    if (given) {
        owner_.OnWindowPaint(given, client);
        return;
    }
    struct PaintScope {
        HWND hwnd;
        PAINTSTRUCT paint{};
        HDC dc;
        explicit PaintScope(HWND h) : hwnd(h), dc(BeginPaint(h, &paint)) {}
        ~PaintScope() {
            if (dc) EndPaint(hwnd, &paint);
        }
    } scope(hwnd_);
    if (scope.dc) owner_.OnWindowPaint(scope.dc, client);
}

LRESULT CALLBACK ControlWindow::Procedure(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<ControlWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        self = static_cast<ControlWindow*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
    }
    if (!self) return DefWindowProcA(hwnd, message, wp, lp);

    switch (message) {
    case WM_CREATE: self->owner_.OnWindowCreated(self->controlWindow_); return 0;
    case WM_DESTROY: self->owner_.OnWindowDestroying(self->controlWindow_); return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        break;
    case WM_PAINT:
        if (!self->controlWindow_) break;
        self->Paint(reinterpret_cast<HDC>(wp));
        return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        if (!self->controlWindow_) break;
        self->owner_.OnWindowFocus(message == WM_SETFOCUS, reinterpret_cast<HWND>(wp));
        return 0;
    case WM_MOUSEACTIVATE:
        if (self->controlWindow_) self->owner_.OnWindowMouseActivate();
        break;  // the default answer activates the frame as usual
    case WM_COMM_TRANSFEREND:
    case WM_COMM_SENDEMPTY:
    case WM_COMM_RECV:
    case WM_COMM_NOTIFY:
    case WM_COMM_ERROR:
    case WM_COMM_FRAME: return self->owner_.OnPortMessage(message, wp, lp);
    default: break;
    }
    return DefWindowProcA(hwnd, message, wp, lp);
}

}  // namespace qlr
