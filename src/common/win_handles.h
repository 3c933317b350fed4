#pragma once
// Owners for the kernel, registry, search, GDI and shell handles used across the program.
// WinHTTP handles have their owner in src/net/winhttp_handle.h; CNG handles beside their only
// user (src/integrity).

#include <windows.h>
#include <objbase.h>

#include "common/unique.h"

namespace zelk {

struct KernelHandleTraits {  // processes, threads, mutexes: empty is null
    using Type = HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type h) { CloseHandle(h); }
};
using UniqueHandle = Unique<KernelHandleTraits>;

struct HeldMutexTraits {  // a mutex this thread owns: released, then closed, on this thread
    using Type = HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type h) {
        ReleaseMutex(h);
        CloseHandle(h);
    }
};
using UniqueHeldMutex = Unique<HeldMutexTraits>;

struct FileHandleTraits {  // CreateFileW reports failure as INVALID_HANDLE_VALUE, not null
    using Type = HANDLE;
    static Type empty() { return INVALID_HANDLE_VALUE; }
    static void close(Type h) { CloseHandle(h); }
};
using UniqueFile = Unique<FileHandleTraits>;

struct FindHandleTraits {
    using Type = HANDLE;
    static Type empty() { return INVALID_HANDLE_VALUE; }
    static void close(Type h) { FindClose(h); }
};
using UniqueFind = Unique<FindHandleTraits>;

struct RegKeyTraits {
    using Type = HKEY;
    static Type empty() { return nullptr; }
    static void close(Type h) { RegCloseKey(h); }
};
using UniqueRegKey = Unique<RegKeyTraits>;

struct ScreenDcTraits {  // from GetDC(nullptr)
    using Type = HDC;
    static Type empty() { return nullptr; }
    static void close(Type h) { ReleaseDC(nullptr, h); }
};
using UniqueScreenDc = Unique<ScreenDcTraits>;

struct MemoryDcTraits {  // from CreateCompatibleDC
    using Type = HDC;
    static Type empty() { return nullptr; }
    static void close(Type h) { DeleteDC(h); }
};
using UniqueMemoryDc = Unique<MemoryDcTraits>;

struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static Type empty() { return nullptr; }
    static void close(Type h) { DeleteObject(h); }
};
using UniqueGdiObject = Unique<GdiObjectTraits>;

struct TaskMemTraits {  // buffers the shell hands out (known-folder paths)
    using Type = PWSTR;
    static Type empty() { return nullptr; }
    static void close(Type p) { CoTaskMemFree(p); }
};
using UniqueTaskMem = Unique<TaskMemTraits>;

// COM interface pointer: released once; the slot is lent out through put().
template <typename T>
struct ComTraits {
    using Type = T*;
    static Type empty() { return nullptr; }
    static void close(Type p) { p->Release(); }
};
template <typename T>
using ComPtr = Unique<ComTraits<T>>;

// Balances a successful CoInitializeEx on the thread that made it.
class ComApartment {
public:
    ComApartment() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (ok_) {
            CoUninitialize();
        }
    }

private:
    bool ok_;
};

}  // namespace zelk
