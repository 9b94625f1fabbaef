// operator.exe: runs the tool under the operator's eye and prints what it saw.
//
//   operator.exe TOOL_EXE [--cwd DIR] [--timeout S] [--ok-after MS]
//                [--shot-at PERCENT --shot FILE.png] [--try-keys 1]
//
// Starts the tool in DIR, prints the dialog when it appears ("dialog at=X,Y
// size=WxH cursor=SHAPE caption=... message=...") and as its percentage
// changes ("dialog percent=... bar=POS/MAX"); with --try-keys 1 it presses
// Enter, Escape and Alt+F4 on the dialog and says whether it stayed.  Each
// message box ("box caption=... owner=... text=...") and presses its OK after
// the delay, saves one screenshot once the percentage reaches PERCENT, and
// ends with "exit N" (N = -1 when the tool was still running at the time
// limit).  With a real display and --ok-after 0 the person presses OK.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rig/operator/operator.h"

// Prints one line and flushes it, so a watcher sees it at once.
static void Say(const std::string& line)
{
    printf("%s\n", line.c_str());
    fflush(stdout);
}

// Parses the options, runs the tool and watches it until it ends.
int main(int argc, char** argv)
{
    if (argc < 2) {
        Say("usage: operator.exe TOOL_EXE [--cwd DIR] [--timeout S] [--ok-after MS] "
            "[--shot-at PERCENT --shot FILE.png] [--try-keys 1]");
        return 2;
    }
    std::string exe = argv[1], cwd, shot;
    long timeoutS = 600, okAfterMs = 500, shotAt = -1, tryKeys = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--cwd")) cwd = argv[i + 1];
        else if (!strcmp(argv[i], "--timeout")) timeoutS = atol(argv[i + 1]);
        else if (!strcmp(argv[i], "--ok-after")) okAfterMs = atol(argv[i + 1]);
        else if (!strcmp(argv[i], "--shot-at")) shotAt = atol(argv[i + 1]);
        else if (!strcmp(argv[i], "--shot")) shot = argv[i + 1];
        else if (!strcmp(argv[i], "--try-keys")) tryKeys = atol(argv[i + 1]);
    }
    OpCursorNow(); // learns the reference cursor shapes before the tool's short wait phase
    OpProcess tool = OpLaunch(exe, "", cwd);
    if (tool.hProcess == nullptr) {
        Say("launch failed");
        return 1;
    }
    OpWatch watch;
    watch.pollMs = 50;
    watch.okDelayMs = okAfterMs > 0 ? okAfterMs : -1;
    watch.onDialog = [&](HWND hDlg) {
        OpDialog d = OpReadDialog(hDlg);
        Say("dialog at=" + std::to_string(d.rect.left) + "," + std::to_string(d.rect.top) +
            " size=" + std::to_string(d.rect.right - d.rect.left) + "x" +
            std::to_string(d.rect.bottom - d.rect.top) + " cursor=" + OpCursorOver(hDlg) +
            " caption=\"" + d.caption + "\" message=\"" + OpEscape(d.message) + "\"");
        if (!tryKeys) return;
        OpPressKey(hDlg, VK_RETURN, false);
        OpPressKey(hDlg, VK_ESCAPE, false);
        OpPressKey(hDlg, VK_F4, true);
        Sleep(500);
        Say(std::string("keys enter escape alt+f4: dialog ") + (IsWindowVisible(hDlg) ? "stayed" : "gone"));
    };
    watch.onPercent = [&](HWND hDlg, const std::string& percent) {
        OpDialog d = OpReadDialog(hDlg);
        Say("dialog percent=" + percent + " bar=" + std::to_string(d.barPos) + "/" + std::to_string(d.barMax));
        if (shotAt >= 0 && !shot.empty() && atol(percent.c_str()) >= shotAt) {
            Say(OpScreenshot(shot) ? "shot " + shot : "shot failed");
            shotAt = -1;
        }
    };
    watch.onBox = [&](HWND hBox, HWND hDlg) { Say(OpDescribeBox(OpReadBox(hBox), hDlg)); };
    Say("exit " + std::to_string(OpWatchTool(tool, nullptr, static_cast<DWORD>(timeoutS) * 1000, watch)));
    return 0;
}
