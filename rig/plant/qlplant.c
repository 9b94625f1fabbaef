/* A DLL someone planted beside the tool or in its current folder, copied
 * under the name of a system DLL.  Loaded, it leaves "<its own path>.loaded"
 * beside itself for the test to find.  No C runtime: its entry point is
 * DllMain. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    char szPath[MAX_PATH + 8];
    DWORD cch;
    (void)pReserved;
    if (dwReason != DLL_PROCESS_ATTACH) return TRUE;
    cch = GetModuleFileNameA(hInstance, szPath, MAX_PATH);
    if (cch > 0 && cch < MAX_PATH) {
        HANDLE hFile;
        lstrcatA(szPath, ".loaded");
        hFile = CreateFileA(szPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
    }
    return TRUE;
}
