// How a run ends on an error: one box, then the main window is closed, which
// ends the dialog's modal loop and the program.
#include "shell/shell.h"

#include "common/globals.h"

void EndRunWithError(HWND hOwner, const char* szText, const char* szCaption)
{
    MessageBoxA(hOwner, szText, szCaption, MB_OK);
    SendMessageA(hMainWnd, WM_CLOSE, 0, 0);
}
