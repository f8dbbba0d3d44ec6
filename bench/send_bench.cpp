// Throughput of SendString through the control's vtable against a bare
// overlapped WriteFile loop on the same port, and heap allocations per send.
//
//   send_bench.exe MODULE PORT_NUMBER [SENDS]
//
// The module is loaded directly (no registration needed). Allocations are
// counted by patching the module's imports of the C runtime's allocators and
// of HeapAlloc; every figure is printed, nothing is asserted.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "load_control.h"
#include "qlrcom32_h.h"

namespace {

volatile LONG g_allocations = 0;

using MallocFn = void*(__cdecl*)(size_t);
using CallocFn = void*(__cdecl*)(size_t, size_t);
using ReallocFn = void*(__cdecl*)(void*, size_t);
using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
MallocFn g_malloc = nullptr;
CallocFn g_calloc = nullptr;
ReallocFn g_realloc = nullptr;
HeapAllocFn g_heapAlloc = nullptr;

void* __cdecl CountingMalloc(size_t n) {
    InterlockedIncrement(&g_allocations);
    return g_malloc(n);
}
void* __cdecl CountingCalloc(size_t n, size_t m) {
    InterlockedIncrement(&g_allocations);
    return g_calloc(n, m);
}
void* __cdecl CountingRealloc(void* p, size_t n) {
    InterlockedIncrement(&g_allocations);
    return g_realloc(p, n);
}
LPVOID WINAPI CountingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T n) {
    InterlockedIncrement(&g_allocations);
    return g_heapAlloc(heap, flags, n);
}

// Replaces the module's import of dll!name by replacement; returns the old one.
void* PatchImport(HMODULE module, const char* dll, const char* name, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return nullptr;
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         imp->Name; ++imp) {
        if (_stricmp(reinterpret_cast<char*>(base + imp->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<char*>(byName->Name), name) != 0) continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            return previous;
        }
    }
    return nullptr;
}

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

double BareWriteLoop(int port, const std::string& block, int sends) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    BuildCommDCBA("115200,n,8,1", &dcb);
    SetCommState(h, &dcb);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    for (int i = 0; i < sends; ++i) {
        DWORD left = static_cast<DWORD>(block.size());
        const char* p = block.data();
        while (left) {
            OVERLAPPED ov{};
            ov.hEvent = event;
            DWORD n = 0;
            if (!WriteFile(h, p, left, &n, &ov)) {
                if (GetLastError() != ERROR_IO_PENDING) break;
                GetOverlappedResult(h, &ov, &n, TRUE);
            }
            p += n;
            left -= n;
        }
    }
    QueryPerformanceCounter(&t1);
    CloseHandle(event);
    CloseHandle(h);
    return Seconds(t0, t1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: send_bench MODULE PORT_NUMBER [SENDS]\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int sends = argc > 3 ? std::atoi(argv[3]) : 2000;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE module = nullptr;
    IQLRCom* com = bench::LoadControl(argv[1], module);
    if (!com) return 1;

    g_malloc = reinterpret_cast<MallocFn>(
        PatchImport(module, "msvcrt.dll", "malloc", reinterpret_cast<void*>(CountingMalloc)));
    g_calloc = reinterpret_cast<CallocFn>(
        PatchImport(module, "msvcrt.dll", "calloc", reinterpret_cast<void*>(CountingCalloc)));
    g_realloc = reinterpret_cast<ReallocFn>(
        PatchImport(module, "msvcrt.dll", "realloc", reinterpret_cast<void*>(CountingRealloc)));
    g_heapAlloc = reinterpret_cast<HeapAllocFn>(PatchImport(
        module, "kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(CountingHeapAlloc)));
    if (!g_malloc) g_malloc = malloc;
    if (!g_calloc) g_calloc = calloc;
    if (!g_realloc) g_realloc = realloc;
    if (!g_heapAlloc) g_heapAlloc = HeapAlloc;

    const std::string block(1024, 'Q');
    std::wstring wide(block.begin(), block.end());
    BSTR text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));

    short rc = 0;
    com->put_QcDeviceName(static_cast<enumDeviceName>(port - 1));
    com->put_QcBaudRate(Baud115200);
    com->put_QcSendQSize(4096);
    const LONG beforeOpen = g_allocations;
    com->OpenComm(&rc);
    const LONG openAllocations = g_allocations - beforeOpen;  // shows that the counter counts
    if (rc != 0) {
        std::fprintf(stderr, "OpenComm returned %d\n", rc);
        return 1;
    }
    for (int i = 0; i < 50; ++i) com->SendString(text, &rc);  // warm-up
    const LONG allocationsBefore = g_allocations;
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    int failures = 0;
    for (int i = 0; i < sends; ++i) {
        com->SendString(text, &rc);
        failures += rc != 0;
    }
    QueryPerformanceCounter(&t1);
    const LONG allocations = g_allocations - allocationsBefore;
    com->CloseComm(&rc);
    const double controlSeconds = Seconds(t0, t1);
    const double bareSeconds = BareWriteLoop(port, block, sends);
    const double bytes = double(sends) * double(block.size());

    std::printf(
        "SendString 1 KiB x %d through IQLRCom: %.0f bytes/s (%.1f us per send, %d failed)\n",
        sends, bytes / controlSeconds, 1e6 * controlSeconds / sends, failures);
    if (bareSeconds > 0)
        std::printf("bare overlapped WriteFile 1 KiB x %d:  %.0f bytes/s (%.1f us per write)\n",
                    sends, bytes / bareSeconds, 1e6 * bareSeconds / sends);
    std::printf("control / bare throughput: %.2f\n",
                bareSeconds > 0 ? bareSeconds / controlSeconds : 0.0);
    std::printf(
        "heap allocations by the module during the timed sends: %ld (%.3f per send); "
        "during OpenComm: %ld\n",
        allocations, double(allocations) / sends, openAllocations);
    SysFreeString(text);
    com->Release();
    CoUninitialize();
    return 0;
}
