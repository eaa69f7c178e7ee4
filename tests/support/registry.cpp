#include "support/registry.h"

#include <gtest/gtest.h>

#include <utility>

#include "settings/settings.h"

namespace testbed {

void DeleteSettingsKey()
{
    RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
}

bool SettingsKeyExists()
{
    return UserKeyExists(kSettingsKey);
}

bool UserKeyExists(const char *subkey)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void SetSettingRaw(const char *name, DWORD type, const void *data, DWORD size)
{
    /* Creates the key when it is missing. */
    RegSetKeyValueA(HKEY_CURRENT_USER, kSettingsKey, name, type, data, size);
}

void SetSettingDword(const char *name, DWORD value)
{
    SetSettingRaw(name, REG_DWORD, &value, sizeof value);
}

bool GetSettingDword(const char *name, DWORD *value)
{
    DWORD size = sizeof *value;
    return RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, value, &size) ==
               ERROR_SUCCESS &&
           size == sizeof *value;
}

void StoreSettings(int port, int speed)
{
    DeleteSettingsKey();
    if (port)
        SetSettingDword("Port", (DWORD)port);
    if (speed >= 0)
        SetSettingDword("Baud", (DWORD)speed);
}

void ExpectStored(DWORD port, DWORD speed)
{
    for (auto [name, expected] : {std::make_pair("Port", port), std::make_pair("Baud", speed)}) {
        DWORD value = 0;
        EXPECT_TRUE(GetSettingDword(name, &value)) << name << " is missing or not a 4-byte DWORD";
        EXPECT_EQ(expected, value) << "stored " << name;
    }
}

}  // namespace testbed
