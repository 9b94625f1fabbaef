// The update record: a few values under HKCU\Software\Tessaride that describe
// a pending update.  A finished download clears them; the key is never created.
#include "flash/flash.h"

// Text fields of the record, written as that many zero bytes.  Nothing else in
// this program fills them; only ResetUpdateRecord touches them.
static char szLanguage[20];
static char szModelID[15];
static char szLang[10];
static char szVersion[20];

static void ClearDwordValue(HKEY hKey, const char* szName)
{
    DWORD dwZero = 0;
    RegSetValueExA(hKey, szName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwZero),
                   sizeof(dwZero));
}

// The field's first cbData bytes, which are zero (see above).
static void ClearTextValue(HKEY hKey, const char* szName, const char* szField, DWORD cbData)
{
    RegSetValueExA(hKey, szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(szField), cbData);
}

// Both flags and all five texts, in the record's order; values of other names
// are left alone, and a missing key leaves the registry untouched.
void ResetUpdateRecord()
{
    szLanguage[0] = szModelID[0] = szLang[0] = szVersion[0] = 0;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tessaride", 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS)
        return;
    ClearDwordValue(hKey, "Flash");
    ClearTextValue(hKey, "Language", szLanguage, sizeof(szLanguage));
    ClearTextValue(hKey, "ModelID", szModelID, sizeof(szModelID));
    ClearTextValue(hKey, "Lang", szLang, sizeof(szLang));
    ClearTextValue(hKey, "Version", szVersion, sizeof(szVersion));
    ClearDwordValue(hKey, "USB");
    ClearTextValue(hKey, "FlashFile", "", 0);
    RegCloseKey(hKey);
}
