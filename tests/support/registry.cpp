#include "support/registry.h"

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
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
}

void SetSettingDword(const char *name, DWORD value)
{
    SetSettingRaw(name, REG_DWORD, &value, sizeof value);
}

bool GetSettingDword(const char *name, DWORD *value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = sizeof *value;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof *value;
}

void StoreSettings(int port, int speed)
{
    DeleteSettingsKey();
    if (port)
        SetSettingDword("Port", (DWORD)port);
    if (speed >= 0)
        SetSettingDword("Baud", (DWORD)speed);
}

}  // namespace testbed
