// The planting tests' control: a program that imports four DLLs which are not known
// DLLs the usual way, and calls none of them. Run beside planted copies, it shows that
// the loader takes a DLL from the program's folder when the program imports it so.

#include <windows.h>
#include <bcrypt.h>
#include <gdiplus.h>
#include <wincrypt.h>
#include <winhttp.h>

int wmain() {
    const void* volatile imported[] = {
        reinterpret_cast<const void*>(&WinHttpCheckPlatform),
        reinterpret_cast<const void*>(&BCryptGenRandom),
        reinterpret_cast<const void*>(&CryptStringToBinaryA),
        reinterpret_cast<const void*>(&Gdiplus::GdiplusStartup),
    };
    return imported[0] != nullptr ? 0 : 1;
}
