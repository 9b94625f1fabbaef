// The shipped executable run the way people run a download: from a folder
// where DLLs with system names may lie beside it and in the current folder,
// on a Windows that tells a program its true version only when the program's
// manifest says it knows that version.
#include "rig/harness/harness.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t IMAGE_SIZE = 512 * 1024;

// The DLLs a full run loads under Wine (WINEDEBUG=+loaddll) that Windows does
// not keep as known DLLs (those it takes from the system folder only), then
// classic planting targets.  Left out, because Wine alone loads them past the
// tool's narrowed search: its own plumbing below kernel32 and user32
// (ucrtbase, win32u, zlib1); version.dll, which Wine's user32 imports, so it
// comes before the tool's first line; and msimg32.dll, which Wine's uxtheme
// delay-loads with the search path the process started with.
const char* const PLANTED_DLLS[] = {"comctl32", "uxtheme",   "bcrypt",  "crypt32", "rsaenh",
                                    "dwmapi",   "cryptbase", "cryptsp", "profapi", "winmm"};

// Wine's settings for quenlow.exe alone in this lane's prefix: a value under
// its AppDefaults key, or a subkey of it (empty: the key itself).
const char SZ_TOOL_KEY[] = "Software\\Wine\\AppDefaults\\quenlow.exe";

void SetToolSetting(const std::string& subKey, const char* szName, const char* szValue)
{
    std::string key = SZ_TOOL_KEY + (subKey.empty() ? "" : "\\" + subKey);
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &hKey, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(hKey, szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(szValue),
                   static_cast<DWORD>(strlen(szValue) + 1));
    RegCloseKey(hKey);
}

void ForgetToolSettings()
{
    RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(SZ_TOOL_KEY) + "\\DllOverrides").c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, SZ_TOOL_KEY);
}

// One full flash with the executable copied into app and started in dir,
// a copy of qlplant.dll under every name in both folders, and Wine told to
// load a DLL of those names that it finds on the search path before its own,
// as Windows does.  Neither folder may supply a DLL.
TEST(Downloads, NoDllFromTheToolsFolderOrTheCurrentFolder)
{
    std::string app = ScratchDir("Downloads.app"), dir = ScratchDir("Downloads.cwd");
    std::string exe = app + "/quenlow.exe";
    ASSERT_TRUE(CopyFileA(ToolExe().c_str(), OpWinePath(exe).c_str(), FALSE));
    for (const char* szName : PLANTED_DLLS) {
        for (const std::string& folder : {app, dir})
            ASSERT_TRUE(CopyFileA(BinExe("qlplant.dll").c_str(),
                                  OpWinePath(folder + "/" + szName + ".dll").c_str(), FALSE));
        SetToolSetting("DllOverrides", szName, "native,builtin");
    }
    // The operator starts the executable that QL_TOOL_EXE names.
    const char* pszToolExe = getenv("QL_TOOL_EXE");
    std::string toolExe = pszToolExe != nullptr ? pszToolExe : "";
    _putenv(("QL_TOOL_EXE=" + exe).c_str());
    RunJudged(dir, {"", IMAGE_SIZE, ""});
    _putenv(("QL_TOOL_EXE=" + toolExe).c_str());
    ForgetToolSettings();
    for (const char* szName : PLANTED_DLLS)
        for (const std::string& folder : {app, dir})
            EXPECT_EQ(GetFileAttributesA(OpWinePath(folder + "/" + szName + ".dll.loaded").c_str()),
                      INVALID_FILE_ATTRIBUTES)
                << szName << ".dll was loaded from " << folder;
}

// The log's first line names the Windows the tool runs on; Wine, like
// Windows, reports 6.2 to a program whose manifest does not name Windows 10.
TEST(Downloads, LogNamesWindows10)
{
    SetToolSetting("", "Version", "win10");
    std::string dir = ScratchDir("Downloads.Windows10");
    RunJudged(dir, {"", IMAGE_SIZE, ""});
    ForgetToolSettings();
    std::vector<std::string> log = ToolLog(dir);
    ASSERT_FALSE(log.empty()) << "no quenlow.log";
    EXPECT_NE(log[0].find(" on Windows 10.0."), std::string::npos) << log[0];
}

} // namespace
