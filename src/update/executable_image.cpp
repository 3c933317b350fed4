#include "update/executable_image.h"

#include <cstddef>

namespace zelk {
namespace {

// Layout of the headers, all little-endian:
//   0x00  "MZ"
//   0x3C  e_lfanew, 32 bits: offset of the PE signature
//   +0    "PE\0\0"
//   +4    Machine, 16 bits (0x8664: x64)
//   +22   Characteristics, 16 bits (0x0002 executable image, 0x2000 DLL)
constexpr std::size_t kLfanewOffset = 0x3C;
constexpr std::size_t kMachineOffset = 4;
constexpr std::size_t kCharacteristicsOffset = 22;
constexpr std::uint16_t kMachineX64 = 0x8664;
constexpr std::uint16_t kExecutableImage = 0x0002;
constexpr std::uint16_t kDll = 0x2000;

std::uint32_t Read(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = value << 8 | bytes[at + i];
    }
    return value;
}

}  // namespace

bool IsX64Executable(std::span<const std::uint8_t> image) {
    if (image.size() < kLfanewOffset + 4 || image[0] != 'M' || image[1] != 'Z') {
        return false;
    }
    const std::size_t pe = Read(image, kLfanewOffset, 4);
    // Compared without adding to pe first: a huge e_lfanew must not wrap around.
    if (pe > image.size() || image.size() - pe < kCharacteristicsOffset + 2) {
        return false;
    }
    if (image[pe] != 'P' || image[pe + 1] != 'E' || image[pe + 2] != 0 || image[pe + 3] != 0) {
        return false;
    }
    const std::uint32_t characteristics = Read(image, pe + kCharacteristicsOffset, 2);
    return Read(image, pe + kMachineOffset, 2) == kMachineX64 &&
           (characteristics & kExecutableImage) != 0 && (characteristics & kDll) == 0;
}

}  // namespace zelk
