/*
 * The installer and uninstaller, run silently for real, once per installer
 * release.cmake builds; the shipped 32-bit one's cases run in the 32-bit lane
 * (label i686) and skip, saying so, where Wine cannot start 32-bit programs.
 */
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/timing.h"

#include "settings/settings.h"

namespace {

const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tavrin";
const char kProgramKey[] = "Software\\Quorvel\\Tavrin";
/* For a probe, an install or an uninstall, sized for Wine's 32-bit half
   under emulation, where a 32-bit process has taken a minute and more to
   start, a silent install over 60 s and a silent uninstall, which starts
   two processes, 114 s. Each wait ends as soon as its condition holds. */
const DWORD kSetupTimeoutMs = 300000;
/* For the program to end once the installer has asked it to. */
const DWORD kAskedToEndMs = 60000;
const DWORD kScanTimeoutMs = 5000;

struct Installer {
    const char *label;
    std::string path;
    bool shipped32;   /* the shipped 32-bit one, which only a 32-bit-capable Wine can start */
};

void PrintTo(const Installer &installer, std::ostream *out)
{
    *out << installer.label << " (" << installer.path << ")";
}

std::vector<Installer> Installers()
{
    std::vector<Installer> list = {{TAVRIN_TEST_INSTALLER_ARCH, TAVRIN_TEST_INSTALLER, false}};
    if (TAVRIN_SHIPPED_INSTALLER[0] != '\0')
        list.push_back({"shipped_x86", TAVRIN_SHIPPED_INSTALLER, true});
    return list;
}

std::string Folder(int csidl)
{
    char path[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

std::string InstallDir()
{
    return Folder(CSIDL_LOCAL_APPDATA) + "\\Programs\\Tavrin";
}

/* The shortcut in the Start menu (CSIDL_PROGRAMS) or in Startup. */
std::string Shortcut(int csidl)
{
    return Folder(csidl) + "\\Tavrin.lnk";
}

bool Exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

/* A REG_SZ value under HKEY_CURRENT_USER, or "<missing>". */
std::string StringValue(const char *key, const char *name)
{
    char value[1024];
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return "<missing>";
    return value;
}

std::string UninstallValue(const char *name)
{
    return StringValue(kUninstallKey, name);
}

/* Keys as a 4-byte REG_DWORD, or a note that it is missing or not one. */
std::string KeysDword()
{
    DWORD value = 0;
    return testbed::GetSettingDword("Keys", &value) ? std::to_string(value) : "<missing or not a DWORD>";
}

/* The target of a shell link, or the reason there is none. */
std::string ShortcutTarget(const std::string &link)
{
    std::string result = "<cannot read " + link + ">";
    IShellLinkA *shellLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void **>(&shellLink))))
        return result;
    IPersistFile *file = nullptr;
    if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
        wchar_t wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, wide, MAX_PATH);
        char target[MAX_PATH] = "";
        if (SUCCEEDED(file->Load(wide, STGM_READ)) &&
            SUCCEEDED(shellLink->GetPath(target, MAX_PATH, nullptr, 0)))
            result = target;
        file->Release();
    }
    shellLink->Release();
    return result;
}

/* Empty when this system starts 32-bit programs, else why not: tried once
   with the 32-bit cmd.exe, so that a failure of the 32-bit installer
   itself is never mistaken for the platform's. */
std::string WhyNot32BitPrograms()
{
    static const std::string why = []() -> std::string {
        char dir[MAX_PATH] = "";
        if (sizeof(void *) == 4)
            return "";   /* this very program is one */
        if (!GetSystemWow64DirectoryA(dir, MAX_PATH))
            return "the system has no 32-bit system folder";
        std::string cmd = std::string(dir) + "\\cmd.exe";
        if (!Exists(cmd))
            return cmd + " is missing: Wine made this prefix without its 32-bit half";
        testbed::Process probe;
        if (!probe.Start("\"" + cmd + "\" /c exit 7"))
            return cmd + " cannot start, error " + std::to_string(GetLastError());
        long code = probe.Wait(kSetupTimeoutMs);
        return code == 7 ? "" : cmd + " ended with " + std::to_string(code);
    }();
    return why;
}

/* What an install leaves that is there now; empty when nothing is. */
std::string Installed()
{
    std::string found;
    for (const std::string &path : {InstallDir(), Shortcut(CSIDL_PROGRAMS), Shortcut(CSIDL_STARTUP)})
        found += Exists(path) ? path + "; " : "";
    return found + (testbed::UserKeyExists(kUninstallKey) ? "the uninstall entry" : "");
}

/* Takes away whatever an earlier, interrupted run may have left. */
void RemoveLeftovers()
{
    for (int copies = 0; copies < 5; copies++) {
        HWND window = testbed::FindTavrinWindow(0);
        if (!window)
            break;
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
        if (process) {
            if (!testbed::CloseProgram(window, process, 5000))
                TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    std::string dir = InstallDir();
    for (const char *name : {"tavrin.exe", "LICENSE.txt", "uninstall.exe"})
        DeleteFileA((dir + "\\" + name).c_str());
    RemoveDirectoryA(dir.c_str());
    DeleteFileA(Shortcut(CSIDL_PROGRAMS).c_str());
    DeleteFileA(Shortcut(CSIDL_STARTUP).c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, kUninstallKey);
}

class InstallTest : public testbed::ProgramTest, public ::testing::WithParamInterface<Installer> {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        if (GetParam().path.empty())
            GTEST_SKIP() << "makensis was not found when the tests were built (scripts/setup-deps installs nsis)";
        ASSERT_TRUE(Exists(GetParam().path)) << GetParam().path << " was not built";
        std::string why = GetParam().shipped32 ? WhyNot32BitPrograms() : "";
        if (!why.empty())
            GTEST_SKIP() << "this Wine cannot start 32-bit programs (" << why
                         << "): the shipped 32-bit installer was built but not run";
        RemoveLeftovers();
        ASSERT_EQ("", Installed()) << "could not clear an earlier install";
        CoInitialize(nullptr);
    }

    void TearDown() override
    {
        if (!GetParam().path.empty())
            RemoveLeftovers();
        ProgramTest::TearDown();   /* the settings key, inside the program's */
        RegDeleteKeyA(HKEY_CURRENT_USER, kProgramKey);
        CoUninitialize();
    }

    void InstallSilently(const std::string &extraArguments)
    {
        testbed::Process installer;
        ASSERT_TRUE(installer.Start("\"" + GetParam().path + "\" /S" + extraArguments))
            << "cannot start " << GetParam().path << ", error " << GetLastError();
        long code = installer.Wait(kSetupTimeoutMs);
        ASSERT_NE(-1, code) << "the installer did not finish in " << kSetupTimeoutMs << " ms";
        ASSERT_EQ(0, code) << "installer exit code";
    }

    void UninstallSilently(const std::string &extraArguments)
    {
        std::string command = UninstallValue("UninstallString");
        ASSERT_NE("<missing>", command);
        testbed::Process uninstaller;
        ASSERT_TRUE(uninstaller.Start(command + " /S" + extraArguments))
            << "cannot start " << command << ", error " << GetLastError();
        ASSERT_TRUE(testbed::WaitUntil("the uninstaller and its copy in the temporary folder to end",
                                       [&] { return uninstaller.AllEnded(); }, kSetupTimeoutMs));
        EXPECT_EQ(0, uninstaller.Wait(0)) << command;
        EXPECT_EQ("", Installed()) << "left behind by the uninstaller";
    }
};

TEST_P(InstallTest, InstallRunScanAndUninstallKeepingSettings)
{
    const std::string dir = InstallDir();
    const std::string exe = dir + "\\tavrin.exe";
    const std::string uninstaller = dir + "\\uninstall.exe";

    /* Not Keys = 1 as Tavrin reads it: not the installer's to change. */
    testbed::SetSettingRaw("Keys", REG_SZ, "1", 2);
    ASSERT_NO_FATAL_FAILURE(InstallSilently(""));
    {
        SCOPED_TRACE("after the install");
        EXPECT_EQ("1", StringValue(kSettingsKey, "Keys")) << "the REG_SZ Keys, without /KEYS";
        for (const std::string &file : {exe, uninstaller, dir + "\\LICENSE.txt"})
            EXPECT_TRUE(Exists(file)) << file;
        /* Paths compare as Windows compares them: without regard to case. */
        EXPECT_STRCASEEQ(exe.c_str(), ShortcutTarget(Shortcut(CSIDL_PROGRAMS)).c_str()) << "Start-menu shortcut";
        EXPECT_STRCASEEQ(exe.c_str(), ShortcutTarget(Shortcut(CSIDL_STARTUP)).c_str())
            << "Startup shortcut (chosen by default)";

        EXPECT_EQ("Tavrin", UninstallValue("DisplayName"));
        EXPECT_EQ("1.1.0.0", UninstallValue("DisplayVersion"));
        EXPECT_EQ("Quorvel", UninstallValue("Publisher"));
        EXPECT_STRCASEEQ((exe + ",0").c_str(), UninstallValue("DisplayIcon").c_str());
        EXPECT_STRCASEEQ(dir.c_str(), UninstallValue("InstallLocation").c_str());
        EXPECT_STRCASEEQ(("\"" + uninstaller + "\"").c_str(), UninstallValue("UninstallString").c_str())
            << "the command must be quoted: the path may hold spaces";
    }

    /* The installed program (not StartTavrin's), started as its shortcut
       would, types a scan at its stored speed (14400 baud, index 7); a job,
       as for the uninstaller's copies, keeps it from outliving the case. */
    testbed::StoreSettings(2, 7);
    testbed::Process tavrin;
    ASSERT_TRUE(tavrin.Start("\"" + ShortcutTarget(Shortcut(CSIDL_PROGRAMS)) + "\"")) << "error " << GetLastError();
    ASSERT_TRUE(testbed::WaitForReady(tavrin.pid(), tavrin.process(), testbed::kReadyTimeoutMs));
    EXPECT_TRUE(testbed::ScanArrives(2, "4006381333931\r", kScanTimeoutMs));

    /* Uninstalled while it runs: the uninstaller ends it the orderly way,
       so that it saves its settings, which are then kept. */
    testbed::SetSettingDword("Baud", 0);
    testbed::SetSettingDword("Keys", 1);
    ASSERT_NO_FATAL_FAILURE(UninstallSilently(""));
    EXPECT_EQ(0, tavrin.Wait(kAskedToEndMs)) << "Tavrin still running (-1) or not ended the orderly way";

    SCOPED_TRACE("kept by the uninstaller, and written back when Tavrin was closed (Baud 0 means it was not)");
    testbed::ExpectStored(2, 7);
    EXPECT_EQ("1", KeysDword());
}

TEST_P(InstallTest, InstallOverARunningCopyThenUninstallRemovingSettings)
{
    ASSERT_NO_FATAL_FAILURE(InstallSilently(" /KEYS"));
    EXPECT_EQ("1", KeysDword()) << "chosen with /KEYS";
    testbed::Process tavrin;
    ASSERT_TRUE(tavrin.Start("\"" + InstallDir() + "\\tavrin.exe\"")) << "error " << GetLastError();
    ASSERT_TRUE(testbed::WaitForReady(tavrin.pid(), tavrin.process(), testbed::kReadyTimeoutMs));

    /* A second install closes the running copy to replace its file, and
       keeps Keys = 1 without /KEYS. */
    ASSERT_NO_FATAL_FAILURE(InstallSilently(""));
    EXPECT_EQ(0, tavrin.Wait(kAskedToEndMs)) << "the installer left the running copy alone (-1)";
    EXPECT_TRUE(Exists(InstallDir() + "\\tavrin.exe"));
    EXPECT_EQ("1", KeysDword()) << "after an upgrade without /KEYS";
    DWORD port = 0;
    ASSERT_TRUE(testbed::GetSettingDword("Port", &port)) << "Tavrin saved no settings when it was closed";

    ASSERT_NO_FATAL_FAILURE(UninstallSilently(" /REMOVESETTINGS"));
    EXPECT_FALSE(testbed::SettingsKeyExists()) << "asked to, the uninstaller keeps the settings";
    EXPECT_FALSE(testbed::UserKeyExists(kProgramKey)) << "the emptied program key stays behind";
}

INSTANTIATE_TEST_SUITE_P(Release, InstallTest, ::testing::ValuesIn(Installers()),
                         [](const ::testing::TestParamInfo<Installer> &info) { return std::string(info.param.label); });

}  // namespace
