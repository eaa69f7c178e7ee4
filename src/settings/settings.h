/*
 * Settings: the per-user registry store of the port number and speed
 * index, and the dialog that changes them at run time.
 */
#ifndef TAVRIN_SETTINGS_H
#define TAVRIN_SETTINGS_H

#include <windows.h>

/* HKEY_CURRENT_USER\<kSettingsKey>, values "Port" and "Baud" (the speed
   index, not the rate), and "Keys", read but never written: a REG_DWORD
   of 1 types every burst as key presses. */
extern const char kSettingsKey[];

/* Registry store (settings_store.cpp). load non-zero reads into the two
   integers where a valid value is stored, and sets AppState.typeKeys
   from Keys; zero writes the two integers (never Keys). */
void AccessSettings(int *portNumber, int *speedIndex, int load);
void LoadSettings(void);   /* AccessSettings on AppState, load mode */
void SaveSettings(void);   /* AccessSettings on AppState, save mode */

/* Settings dialog (settings_dialog.cpp). Main thread only. */
INT_PTR ShowSettingsDialog(void);
INT_PTR CALLBACK SettingsDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void ApplySettingsDialog(HWND dialog);

#endif
