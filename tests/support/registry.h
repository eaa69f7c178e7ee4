/*
 * The program's settings key under HKEY_CURRENT_USER, read and written as
 * the user or an installer would leave it, for the tests that start the
 * program with given settings or check what it saved.
 */
#ifndef TAVRIN_TESTS_REGISTRY_H
#define TAVRIN_TESTS_REGISTRY_H

#include <windows.h>

namespace testbed {

void DeleteSettingsKey();
bool SettingsKeyExists();
/* Whether HKEY_CURRENT_USER\<subkey> exists. */
bool UserKeyExists(const char *subkey);
void SetSettingDword(const char *name, DWORD value);
void SetSettingRaw(const char *name, DWORD type, const void *data, DWORD size);
/* Returns false when the value is missing or not a 4-byte REG_DWORD. */
bool GetSettingDword(const char *name, DWORD *value);
/* Expects Port and Baud stored as 4-byte DWORDs with these values. */
void ExpectStored(DWORD port, DWORD speed);

/* The Baud value (a speed index) of 38 400 bit/s, the rate the test
   bed's partner ports run at. */
const int kSpeed38400 = 8;

/* A fresh key holding Port and Baud as DWORDs; port 0 or speed -1 leaves
   that value out. */
void StoreSettings(int port, int speed);

}  // namespace testbed

#endif
