/*
 * The per-user registry store of the port number and speed index, loaded
 * once at start-up and saved at shutdown (and when the session ends), and
 * the choice of typing as key presses ("Keys"), which is only ever read:
 * the installer or the user sets it. Main thread.
 */
#include "settings.h"

#include "../app/app.h"

const char kSettingsKey[] = "SOFTWARE\\Quorvel\\Tavrin\\Settings";

/* Only a 4-byte REG_DWORD is taken; anything else a hand edit left there
   is ignored and the value in force stays. Values are not range-checked:
   port selection and the dialog deal with those. */
static void LoadValue(HKEY key, const char *name, int *target)
{
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, (BYTE *)&value, &size);
    if (rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value)
        *target = (int)value;
}

static void SaveValue(HKEY key, const char *name, int source)
{
    DWORD value = (DWORD)source;
    RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}

void AccessSettings(int *portNumber, int *speedIndex, int load)
{
    HKEY key;
    DWORD disposition;
    /* Loading creates the key too, so the first run leaves it, empty. */
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        load ? KEY_READ : KEY_WRITE, nullptr, &key, &disposition)
        != ERROR_SUCCESS)
        return;
    if (load) {
        LoadValue(key, "Port", portNumber);
        LoadValue(key, "Baud", speedIndex);
        /* Only a REG_DWORD of 1 chooses key presses; anything else, or
           nothing, leaves the character messages. */
        int keys = 0;
        LoadValue(key, "Keys", &keys);
        AppState.typeKeys = keys == 1;
    } else {
        SaveValue(key, "Port", *portNumber);
        SaveValue(key, "Baud", *speedIndex);
    }
    RegCloseKey(key);
}

void LoadSettings(void)
{
    AccessSettings(&AppState.portNumber, &AppState.speedIndex, 1);
}

void SaveSettings(void)
{
    AccessSettings(&AppState.portNumber, &AppState.speedIndex, 0);
}
