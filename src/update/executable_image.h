#pragma once
// The check a bootstrapper image must pass before it replaces Zelk.exe. Free of
// Windows headers: it reads bytes only.

#include <cstdint>
#include <span>

namespace zelk {

// Whether the bytes begin as a 64-bit Windows program: the "MZ" header, a "PE\0\0"
// signature where its e_lfanew field points (within the bytes), an x64 machine
// (0x8664) and an executable image that is not a DLL.
bool IsX64Executable(std::span<const std::uint8_t> image);

}  // namespace zelk
