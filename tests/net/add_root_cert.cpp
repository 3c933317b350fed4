// add_root_cert <certificate.der>: trusts a test CA in the current user's "Root"
// store of this Wine prefix, so that https tests run with certificate checks on.
// Exit code 0 when the certificate is in the store afterwards.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "common/win_handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: add_root_cert <certificate.der>\n", stderr);
        return 2;
    }
    zelk::UniqueFile file(CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > 65536) {
        std::fprintf(stderr, "cannot read %ls\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> der(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!ReadFile(file.get(), der.data(), static_cast<DWORD>(der.size()), &read, nullptr) ||
        read != der.size()) {
        std::fprintf(stderr, "cannot read %ls\n", argv[1]);
        return 1;
    }
    if (!CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(),
                                                 static_cast<DWORD>(der.size()))) {
        std::fprintf(stderr, "CertAddEncodedCertificateToSystemStoreW failed: %lu\n",
                     GetLastError());
        return 1;
    }
    return 0;
}
