#include "update/executable_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zelk {
namespace {

// A minimal image: "MZ", e_lfanew = 0x80, "PE\0\0", machine and characteristics.
std::vector<std::uint8_t> Image(std::uint16_t machine = 0x8664, std::uint16_t flags = 0x0022,
                                std::uint32_t lfanew = 0x80, std::size_t size = 0x200) {
    std::vector<std::uint8_t> image(size, 0);
    image[0] = 'M';
    image[1] = 'Z';
    for (int i = 0; i < 4; ++i) {
        image[0x3C + i] = static_cast<std::uint8_t>(lfanew >> (8 * i));
    }
    auto put = [&](std::size_t at, std::uint8_t value) {
        if (at < image.size()) {
            image[at] = value;
        }
    };
    put(lfanew, 'P');
    put(lfanew + 1, 'E');
    put(lfanew + 4, machine & 0xFF);
    put(lfanew + 5, machine >> 8);
    put(lfanew + 22, flags & 0xFF);
    put(lfanew + 23, flags >> 8);
    return image;
}

TEST(ExecutableImage, OnlyA64BitWindowsProgram) {
    EXPECT_TRUE(IsX64Executable(Image()));
    EXPECT_TRUE(IsX64Executable(Image(0x8664, 0x0022, 0x40, 0x40 + 24)));  // headers end there

    std::vector<std::uint8_t> notMz = Image();
    notMz[1] = 'X';
    std::vector<std::uint8_t> notPe = Image();
    notPe[0x81] = 'F';
    std::vector<std::uint8_t> peWithoutZeros = Image();
    peWithoutZeros[0x82] = '!';
    const std::string text = "MZ but nothing more";
    const std::vector<std::vector<std::uint8_t>> refused = {
        {},
        std::vector<std::uint8_t>(text.begin(), text.end()),
        notMz,
        notPe,
        peWithoutZeros,
        Image(0x014C),                        // 32-bit x86
        Image(0xAA64),                        // ARM64
        Image(0x8664, 0x2022),                // a DLL
        Image(0x8664, 0x0020),                // not marked executable
        Image(0x8664, 0x0022, 0x1F0, 0x200),  // headers cut by the end of the bytes
        Image(0x8664, 0x0022, 0xFFFFFFF0),    // e_lfanew far beyond the end
        Image(0x8664, 0x0022, 0x80, 0x80 + 23),
    };
    for (size_t i = 0; i < refused.size(); ++i) {
        EXPECT_FALSE(IsX64Executable(refused[i])) << "case " << i;
    }
}

}  // namespace
}  // namespace zelk
