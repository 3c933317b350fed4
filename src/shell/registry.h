#pragma once
// Values under HKEY_CURRENT_USER, for the per-user registrations (the zelk:// protocol,
// the entry in "Installed apps"). Each call reports its own outcome; the callers treat
// registrations as side tasks.

#include <windows.h>

#include <string>

#include "common/win_handles.h"

namespace zelk {

// The key below HKEY_CURRENT_USER, created with its missing parents, open for writing.
UniqueRegKey CreateUserKey(const wchar_t* subKey);

// REG_SZ with its terminating null counted, so even the empty string is 2 bytes.
bool SetRegistryString(HKEY key, const wchar_t* name, const std::wstring& data);
bool SetRegistryDword(HKEY key, const wchar_t* name, DWORD data);

// A REG_SZ value below HKEY_CURRENT_USER, or empty when absent or of another type.
std::wstring ReadUserString(const wchar_t* subKey, const wchar_t* name);

// Removes the key below HKEY_CURRENT_USER with everything under it. True when it is
// gone, also when it was never there.
bool DeleteUserKey(const wchar_t* subKey);

}  // namespace zelk
