// The message catalogue: texts taken once from the string table at start-up.
#include "shell/shell.h"

#include "common/globals.h"
#include "res/resource.h"

// A missing string leaves its buffer empty.  The module handle is still null
// here, which names the running executable.
void LoadMessageCatalogue()
{
    LoadStringA(hInst, IDS_PROGRESS_TEXT, szProgressText, PROGRESS_TEXT_SIZE);
}
