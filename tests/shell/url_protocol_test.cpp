#include "shell/url_protocol.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/win_handles.h"

namespace zelk {
namespace {

struct RegValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const RegValue&) const = default;
};

// Every test writes into a scratch key that stands in for HKEY_CURRENT_USER.
class UrlProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratchName_ = L"Software\\ZelkShellTests\\" + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, scratchName_.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, scratch_.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, scratch_.get()), ERROR_SUCCESS);
    }

    void TearDown() override {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        scratch_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, scratchName_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\ZelkShellTests");  // only once empty
    }

    // Read straight from the scratch key, so a write that escaped the
    // redirection would not be found here.
    RegValue Read(const wchar_t* subKey, const wchar_t* name) {
        RegValue value;
        UniqueRegKey key;
        if (RegOpenKeyExW(scratch_.get(), subKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
            return value;
        }
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) !=
            ERROR_SUCCESS) {
            return value;
        }
        value.data.resize(size);
        if (RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &size) ==
            ERROR_SUCCESS) {
            value.data.resize(size);
            value.present = true;
        }
        return value;
    }

    std::vector<RegValue> ReadAll() {
        return {Read(kProtocol, nullptr), Read(kProtocol, L"URL Protocol"), Read(kIcon, nullptr),
                Read(kCommand, nullptr)};
    }

    // REG_SZ as written: the characters and their terminating null.
    static RegValue Sz(const std::wstring& text) {
        RegValue value{true, REG_SZ, {}};
        const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
        value.data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
        return value;
    }

    static constexpr const wchar_t* kProtocol = L"Software\\Classes\\zelk";
    static constexpr const wchar_t* kIcon = L"Software\\Classes\\zelk\\DefaultIcon";
    static constexpr const wchar_t* kCommand = L"Software\\Classes\\zelk\\shell\\open\\command";

    std::wstring scratchName_;
    UniqueRegKey scratch_;
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

}  // namespace
}  // namespace zelk
