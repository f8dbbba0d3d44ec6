// qlrtrace.exe: the trace viewer. Its window (class "QLRTRACE") is told of
// each new record by WM_USER, sent by the control that made the record; it
// then takes every new record from the shared section and appends it to the
// list, newest last. File menu: Save as (the whole list as text) and Exit;
// Edit menu: Clear. `qlrtrace.exe /log FILE` also appends every line to FILE
// as it is shown (for unattended runs).
#include <windows.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/trace/trace_format.h"
#include "tools/trace/trace_shm.h"

namespace {

constexpr char kClassName[] = "QLRTRACE";
constexpr char kTitle[] = "qlrcom32 trace";
constexpr int kListId = 100;
constexpr UINT kCmdSave = 1001, kCmdExit = 1002, kCmdClear = 1003;
constexpr LRESULT kMaxLines = 30000;  // the oldest lines go beyond this

struct Viewer {
    qlr::trace_shm::Mapping mapping;
    qlr::trace_shm::Reader reader{mapping.get()};
    HWND list = nullptr;
    FILE* log = nullptr;  // owned by the LogFile in WinMain
};

Viewer* g_viewer = nullptr;

void Append(HWND list, const std::string& line) {
    if (g_viewer && g_viewer->log) {
        std::fprintf(g_viewer->log, "%s\n", line.c_str());
        std::fflush(g_viewer->log);
    }
    LRESULT count = SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    while (count != LB_ERR && count >= kMaxLines) {
        SendMessageA(list, LB_DELETESTRING, 0, 0);
        --count;
    }
}

void TakeRecords(Viewer& v) {
    std::vector<qlr::trace_shm::Record> records;
    uint32_t lost = v.reader.Take(records);
    if (records.empty() && lost == 0) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    SendMessageA(v.list, WM_SETREDRAW, FALSE, 0);
    if (lost) Append(v.list, qlr::trace_format::LostLine(lost));
    for (const auto& r : records)
        for (const auto& line :
             qlr::trace_format::Lines(r, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds))
            Append(v.list, line);
    SendMessageA(v.list, WM_SETREDRAW, TRUE, 0);
    LRESULT count = SendMessageA(v.list, LB_GETCOUNT, 0, 0);
    if (count > 0) SendMessageA(v.list, LB_SETTOPINDEX, static_cast<WPARAM>(count - 1), 0);
    InvalidateRect(v.list, nullptr, TRUE);
}

class File {
public:
    explicit File(const char* path)
        : h_(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr)) {}
    ~File() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    bool Write(const std::string& s) {
        DWORD done = 0;
        return WriteFile(h_, s.data(), static_cast<DWORD>(s.size()), &done, nullptr) &&
               done == s.size();
    }

private:
    HANDLE h_;
};

bool SaveList(HWND list, const char* path) {
    File file(path);
    if (!file.ok()) return false;
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    std::string text;
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT len = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (len == LB_ERR) return false;
        std::string line(static_cast<size_t>(len) + 1, '\0');
        SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&line[0]));
        line.resize(static_cast<size_t>(len));
        text += line;
        text += "\r\n";
    }
    return file.Write(text);
}

void SaveAs(HWND owner, HWND list) {
    char path[MAX_PATH] = "trace.txt";
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = "Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = sizeof path;
    ofn.lpstrDefExt = "txt";
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetSaveFileNameA(&ofn)) return;
    if (!SaveList(list, path))
        MessageBoxA(owner, "The trace could not be written to the file.", kTitle,
                    MB_OK | MB_ICONERROR);
}

LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: {
        g_viewer->list = CreateWindowExA(
            WS_EX_CLIENTEDGE, "LISTBOX", "",
            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOSEL, 0,
            0, 0, 0, wnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)),
            reinterpret_cast<LPCREATESTRUCTA>(lp)->hInstance, nullptr);
        if (!g_viewer->list) return -1;
        SendMessageA(g_viewer->list, WM_SETFONT,
                     reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), FALSE);
        SendMessageA(g_viewer->list, LB_SETHORIZONTALEXTENT, 900, 0);
        return 0;
    }
    case WM_SIZE: MoveWindow(g_viewer->list, 0, 0, LOWORD(lp), HIWORD(lp), TRUE); return 0;
    case WM_USER:  // a control published a record
        TakeRecords(*g_viewer);
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wp)) {
        case kCmdSave: SaveAs(wnd, g_viewer->list); return 0;
        case kCmdClear: SendMessageA(g_viewer->list, LB_RESETCONTENT, 0, 0); return 0;
        case kCmdExit: DestroyWindow(wnd); return 0;
        default: break;
        }
        break;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: break;
    }
    return DefWindowProcA(wnd, msg, wp, lp);
}

HMENU BuildMenu() {
    HMENU bar = CreateMenu();
    HMENU file = CreatePopupMenu();
    HMENU edit = CreatePopupMenu();
    AppendMenuA(file, MF_STRING, kCmdSave, "&Save as...\tCtrl+S");
    AppendMenuA(file, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(file, MF_STRING, kCmdExit, "E&xit");
    AppendMenuA(edit, MF_STRING, kCmdClear, "&Clear\tCtrl+L");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), "&File");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(edit), "&Edit");
    return bar;  // owned by the window once attached, destroyed with it
}

class Accelerators {
public:
    Accelerators() {
        ACCEL keys[] = {{FVIRTKEY | FCONTROL, 'S', static_cast<WORD>(kCmdSave)},
                        {FVIRTKEY | FCONTROL, 'L', static_cast<WORD>(kCmdClear)}};
        table_ = CreateAcceleratorTableA(keys, 2);
    }
    ~Accelerators() {
        if (table_) DestroyAcceleratorTable(table_);
    }
    Accelerators(const Accelerators&) = delete;
    Accelerators& operator=(const Accelerators&) = delete;
    HACCEL get() const { return table_; }

private:
    HACCEL table_ = nullptr;
};

}  // namespace

// The file named after /log on the command line, if any.
class LogFile {
public:
    explicit LogFile(const char* commandLine) {
        const char* option = std::strstr(commandLine, "/log ");
        if (!option) return;
        std::string path = option + 5;
        if (!path.empty() && path.front() == '"') {
            path.erase(0, 1);
            path = path.substr(0, path.find('"'));
        }
        file_ = std::fopen(path.c_str(), "a");
    }
    ~LogFile() {
        if (file_) std::fclose(file_);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    FILE* get() const { return file_; }

private:
    FILE* file_ = nullptr;
};

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int show) {
    if (HWND running = FindWindowA(kClassName, nullptr)) {  // one viewer is enough
        SetForegroundWindow(running);
        return 0;
    }
    Viewer viewer;
    if (!viewer.mapping) {
        MessageBoxA(nullptr, "The shared trace memory could not be created.", kTitle,
                    MB_OK | MB_ICONERROR);
        return 1;
    }
    LogFile log(commandLine ? commandLine : "");
    viewer.log = log.get();
    g_viewer = &viewer;

    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClassName;
    if (!RegisterClassA(&wc)) return 1;

    HWND wnd = CreateWindowExA(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                               CW_USEDEFAULT, 760, 480, nullptr, BuildMenu(), instance, nullptr);
    if (!wnd) return 1;
    ShowWindow(wnd, show);
    UpdateWindow(wnd);
    if (viewer.log) {  // tells an unattended caller that records are taken from now on
        std::fprintf(viewer.log, "# %s ready\n", kTitle);
        std::fflush(viewer.log);
    }

    Accelerators accelerators;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (accelerators.get() && TranslateAcceleratorA(wnd, accelerators.get(), &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    g_viewer = nullptr;
    return static_cast<int>(msg.wParam);
}
