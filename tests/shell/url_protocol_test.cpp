#include "shell/url_protocol.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/win_handles.h"
#include "support/user_hive.h"

namespace zelk {
namespace {

using testing::RegValue;
using testing::Sz;

// Every test writes into a scratch key that stands in for HKEY_CURRENT_USER.
class UrlProtocolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(hive_.ok()); }

    RegValue Read(const wchar_t* subKey, const wchar_t* name) { return hive_.Read(subKey, name); }

    std::vector<RegValue> ReadAll() {
        return {Read(kProtocol, nullptr), Read(kProtocol, L"URL Protocol"), Read(kIcon, nullptr),
                Read(kCommand, nullptr)};
    }

    static constexpr const wchar_t* kProtocol = L"Software\\Classes\\zelk";
    static constexpr const wchar_t* kIcon = L"Software\\Classes\\zelk\\DefaultIcon";
    static constexpr const wchar_t* kCommand = L"Software\\Classes\\zelk\\shell\\open\\command";

    testing::ScratchUserHive hive_;
};

TEST_F(UrlProtocolTest, WritesTheFourValuesExactly) {
    const std::wstring exe = L"C:\\Users\\Zo\u00e9\\AppData\\Local\\Zelk\\Zelk.exe";
    RegisterUrlProtocol(exe);

    const RegValue name = Read(kProtocol, nullptr);
    EXPECT_EQ(name, Sz(L"URL:Zelk"));
    EXPECT_EQ(name.data.size(), 18u);
    const RegValue marker = Read(kProtocol, L"URL Protocol");
    EXPECT_EQ(marker, Sz(L""));
    EXPECT_EQ(marker.data.size(), 2u);  // the empty string with its null
    EXPECT_EQ(Read(kIcon, nullptr), Sz(L"\"" + exe + L"\",0"));
    EXPECT_EQ(Read(kCommand, nullptr), Sz(L"\"" + exe + L"\" \"%1\""));
}

TEST_F(UrlProtocolTest, ReplacesAnotherHandlerAndLeavesOtherValues) {
    UniqueRegKey command;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kCommand, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              command.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring old = L"\"C:\\Other\\other.exe\" \"%1\" --extra";
    const std::wstring extra = L"keep me";
    RegSetValueExW(command.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(old.c_str()),
                   static_cast<DWORD>((old.size() + 1) * 2));
    RegSetValueExW(command.get(), L"Extra", 0, REG_SZ, reinterpret_cast<const BYTE*>(extra.c_str()),
                   static_cast<DWORD>((extra.size() + 1) * 2));
    command.reset();

    RegisterUrlProtocol(L"D:\\Zelk\\Zelk.exe");
    EXPECT_EQ(Read(kCommand, nullptr), Sz(L"\"D:\\Zelk\\Zelk.exe\" \"%1\""));
    EXPECT_EQ(Read(kCommand, L"Extra"), Sz(extra));
}

TEST_F(UrlProtocolTest, SecondRunLeavesIdenticalData) {
    RegisterUrlProtocol(L"C:\\Zelk\\Zelk.exe");
    const std::vector<RegValue> first = ReadAll();
    for (const RegValue& value : first) {
        EXPECT_TRUE(value.present);
    }
    RegisterUrlProtocol(L"C:\\Zelk\\Zelk.exe");
    EXPECT_EQ(ReadAll(), first);
}

TEST_F(UrlProtocolTest, RemovedOnlyWhileItStillStartsThisZelk) {
    RegisterUrlProtocol(L"C:\\Users\\Zo\u00e9\\AppData\\Local\\Zelk\\Zelk.exe");
    // Another installation's Zelk.exe: its registration stays.
    EXPECT_TRUE(UnregisterUrlProtocol(L"D:\\Zelk\\Zelk.exe"));
    EXPECT_TRUE(hive_.HasKey(kCommand));
    // The same file, spelt in other letters and with "/": removed, the whole key.
    EXPECT_TRUE(UnregisterUrlProtocol(L"c:/users/ZO\u00c9/AppData/Local/Zelk/zelk.EXE"));
    EXPECT_FALSE(hive_.HasKey(kProtocol));
    // Nothing registered: nothing to do.
    EXPECT_TRUE(UnregisterUrlProtocol(L"C:\\Zelk\\Zelk.exe"));
}

}  // namespace
}  // namespace zelk
