/*
 * Typing as key presses (Keys = 1): the program, started with the value,
 * types every burst with SendInput. The key each byte becomes, as the
 * test's window sees it; Wine's own programs and a dialog, which take
 * Enter only as a key; and the states in which a key would do something
 * else (Caps Lock on, Ctrl held, a menu open).
 */
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "support/cable.h"
#include "support/census.h"
#include "support/dialogs.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

using testbed::TrayState;

namespace {

const int kPort = 2;

/* The keys a window saw, Ctrl and Alt left out: "A", "Shift", "Enter/1C"
   (with the scan code and extended bit where they matter), "Packet" for a
   character sent as itself, "^" before a key pressed with Ctrl or Alt. */
std::string KeyNames(const std::vector<testbed::TargetWindow::Key> &keys)
{
    std::string names;
    for (const auto &key : keys) {
        char name[16];
        unsigned scan = (unsigned)(key.lParam >> 16) & 0x1FF;
        const char *word = key.vk == VK_RETURN ? "Enter" : key.vk == VK_TAB ? "Tab" : key.vk == VK_BACK ? "Back" : "";
        if (key.vk == VK_CONTROL || key.vk == VK_MENU)
            continue;
        if (*word)
            snprintf(name, sizeof name, "%s/%X", word, scan);
        else
            snprintf(name, sizeof name, "%s", key.vk == VK_PACKET ? "Packet" : key.vk == VK_SHIFT ? "Shift"
                                                                                  : std::string(1, (char)key.vk).c_str());
        names += std::string(names.empty() ? "" : " ") + (key.modified ? "^" : "") + name;
    }
    return names;
}

class KeyPresses : public testbed::ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_TRUE(partner_.IsOpen());
        testbed::StoreSettings(kPort, testbed::kSpeed38400);
        testbed::SetSettingDword("Keys", 1);
        ASSERT_TRUE(testbed::StartTavrin(program_));
        ASSERT_TRUE(testbed::SyncReader(partner_, target_));
    }
    void TearDown() override
    {
        if (program_.IsRunning())
            CloseInOrder(program_);
        ProgramTest::TearDown();
    }

    /* Writes `scan` and waits for `count` characters, and a while longer. */
    void Scan(const std::string &scan, size_t count)
    {
        ASSERT_TRUE(partner_.Write(scan));
        ASSERT_TRUE(target_.WaitForChars(count, testbed::kDeliveryTimeoutMs)) << "got \"" << target_.Text() << "\"";
        target_.Pump(300);
    }

    testbed::PartnerPort partner_{kPort};
    testbed::TargetWindow target_;
};

TEST_F(KeyPresses, EachByteIsItsKeyOrItself)
{
    /* CR LF is one Enter, a lone LF another; Esc, GS and the Cyrillic
       letter (no key of the test bed's US layout) go as themselves; NUL
       is no key at all. */
    ASSERT_NO_FATAL_FAILURE(Scan(std::string("\0Ab1\r\n\n\t\x1b\x1d\xC0x\b", 14), 11));
    EXPECT_EQ("Ab1\r\r\t\x1b\x1d\xC0x\b", target_.Text()) << "WM_CHAR";
    EXPECT_EQ("Shift A B 1 Enter/1C Enter/1C Tab/F Packet Packet Packet X Back/E", KeyNames(target_.keys()));
}

/* Past the burst's cut at 1024 bytes and over many calls of SendInput:
   every character, once, in order. */
TEST_F(KeyPresses, ALongBurstArrivesInOrder)
{
    std::string scan;
    for (uint32_t i = 0; scan.size() < 1100; i++)
        scan += testbed::DigitScan(i).substr(0, 12) + (i % 2 ? "-" : "x");
    ASSERT_NO_FATAL_FAILURE(Scan(scan, scan.size()));
    EXPECT_EQ("", testbed::CompareStreams(scan, target_.Text()));
}

TEST_F(KeyPresses, AHeldCtrlIsWaitedForAndMakesNoShortcut)
{
    INPUT ctrl = {};
    ctrl.type = INPUT_KEYBOARD;
    ctrl.ki.wVk = VK_CONTROL;
    SendInput(1, &ctrl, sizeof ctrl);
    ASSERT_TRUE(testbed::PumpUntil("Ctrl to be down", [] { return GetAsyncKeyState(VK_CONTROL) < 0; }, 5000));
    ASSERT_TRUE(partner_.Write("12\r"));
    /* The program shows active while it holds the scan. */
    bool active = testbed::WaitForTray(TrayState::Active, testbed::kDeliveryTimeoutMs, nullptr);
    target_.Pump(300);
    ctrl.ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(1, &ctrl, sizeof ctrl);
    ASSERT_TRUE(active) << "the scan was not taken up";
    EXPECT_EQ("", KeyNames(target_.keys())) << "keys typed while Ctrl was held";
    ASSERT_TRUE(target_.WaitForChars(3, testbed::kDeliveryTimeoutMs)) << "got \"" << target_.Text() << "\"";
    EXPECT_EQ("12\r", target_.Text());
    EXPECT_EQ("1 2 Enter/1C", KeyNames(target_.keys()));
}

TEST_F(KeyPresses, NothingIsTypedIntoAnOpenMenu)
{
    HMENU menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING, 5, "&5 would run");
    /* Once the menu shows, the scan comes; once the program holds it (the
       icon shows active), the menu is closed as a click elsewhere would. */
    std::string step = "the menu to show";
    testbed::Background scanner([&] {
        if (!testbed::WaitUntil(step, [] { return FindWindowA("#32768", nullptr) != nullptr; }, 10000))
            return;
        step = "the program to take the scan";
        if (partner_.Write("5\r") && testbed::WaitForTray(TrayState::Active, testbed::kDeliveryTimeoutMs, nullptr)) {
            step = "";
            Sleep(300);   /* the span over which the menu must take nothing */
        }
        PostMessageA(target_.hwnd(), WM_CANCELMODE, 0, 0);
    });
    UINT chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, 150, 150, 0, target_.hwnd(), nullptr);
    DestroyMenu(menu);
    ASSERT_TRUE(scanner.Join(testbed::kDeliveryTimeoutMs + 15000));
    ASSERT_EQ("", step) << "waited in vain for " << step;
    EXPECT_EQ(0u, chosen) << "the scan ran a menu item";
    ASSERT_TRUE(target_.WaitForChars(2, testbed::kDeliveryTimeoutMs)) << "got \"" << target_.Text() << "\"";
    EXPECT_EQ("5\r", target_.Text()) << "the scan, typed once the menu closed";
}

/* A window's text across processes; CR LF folded to CR, as controls differ. */
std::wstring WindowText(HWND window)
{
    wchar_t text[4096] = L"";
    DWORD_PTR got = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, (LPARAM)text, SMTO_NORMAL, 5000, &got);
    std::wstring folded;
    for (DWORD_PTR i = 0; i < got; i++)
        folded += text[i] == L'\n' && i && text[i - 1] == L'\r' ? L"" : std::wstring(1, text[i]);
    return folded;
}

/* The text of a descendant of `window` of the given class. */
std::wstring ChildText(HWND window, const char *childClass)
{
    struct Search {
        const char *cls;
        HWND found;
    } search = {childClass, nullptr};
    EnumChildWindows(window, [](HWND child, LPARAM s) {
        char name[64];
        if (GetClassNameA(child, name, sizeof name) && lstrcmpiA(name, ((Search *)s)->cls) == 0)
            ((Search *)s)->found = child;
        return ((Search *)s)->found ? FALSE : TRUE;
    }, (LPARAM)&search);
    return search.found ? WindowText(search.found) : L"<no such control>";
}

/* A console program's console: its window (its host's, not its own), or
   with `screen`, what it shows, one row a line, blanks at the end cut. */
HWND AttachToConsole(DWORD pid)
{
    FreeConsole();
    return AttachConsole(pid) ? GetConsoleWindow() : nullptr;
}

std::wstring ConsoleText(DWORD pid, HWND)
{
    std::wstring screen;
    HANDLE out = AttachToConsole(pid) ? CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
                                                    FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)
                                      : INVALID_HANDLE_VALUE;
    CONSOLE_SCREEN_BUFFER_INFO info;
    for (SHORT y = 0; out != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(out, &info)
                      && y <= info.dwCursorPosition.Y; y++) {
        std::wstring row(info.dwSize.X, L' ');
        DWORD got = 0;
        ReadConsoleOutputCharacterW(out, &row[0], info.dwSize.X, {0, y}, &got);
        screen += row.substr(0, row.find_last_not_of(L' ') + 1) + L"\n";
    }
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    FreeConsole();
    return screen;
}

std::wstring NotepadText(DWORD, HWND window) { return ChildText(window, "Edit"); }
std::wstring WordPadText(DWORD, HWND window) { return ChildText(window, "RichEdit20W"); }

/* Two scans ending in Enter, which WordPad and a console take only from
   the key; in Notepad also Backspace, Tab and letters the layout has no
   key for (Cyrillic, under code page 1251). */
TEST_F(KeyPresses, WinesOwnProgramsTakeTheScansAndTheirEnter)
{
    const struct {
        const char *command;
        const char *windowClass;   /* null: a console */
        std::wstring (*read)(DWORD pid, HWND window);
        std::string scans;         /* in code page 1251 */
        std::wstring shown;        /* part of what the program then shows */
    } programs[] = {
        {"notepad.exe", "Notepad", NotepadText, "4006381333931\r\xCF\xF0\xE8\xE2\xE5\xF2-1\tab\bc\r",
         L"4006381333931\r\x041F\x0440\x0438\x0432\x0435\x0442-1\tac\r"},
        {"\"%ProgramFiles%\\Windows NT\\Accessories\\wordpad.exe\"", "WORDPADTOP", WordPadText,
         "9780201379624\rTAVRIN-0001\r", L"9780201379624\rTAVRIN-0001\r"},
        {"cmd.exe /k prompt $g", nullptr, ConsoleText, "echo 5901234123457\r", L">echo 5901234123457\n5901234123457\n"},
    };
    for (const auto &p : programs) {
        SCOPED_TRACE(p.command);
        char command[MAX_PATH];
        ExpandEnvironmentStringsA(p.command, command, sizeof command);
        testbed::Process process;
        ASSERT_TRUE(process.Start(command, p.windowClass ? 0 : CREATE_NEW_CONSOLE)) << "error " << GetLastError();
        HWND window = nullptr;
        ASSERT_TRUE(testbed::WaitUntil("the program's window in front", [&] {
            window = p.windowClass ? testbed::WaitForVisibleWindow(process.pid(), p.windowClass, 0)
                                   : AttachToConsole(process.pid());
            FreeConsole();
            return window && SetForegroundWindow(window) && GetForegroundWindow() == window;
        }, testbed::kReadyTimeoutMs));
        ASSERT_TRUE(partner_.Write(p.scans));
        std::wstring shown;
        testbed::PumpUntil("the scans to show", [&] {
            return (shown = p.read(process.pid(), window)).find(p.shown) != std::wstring::npos;
        }, testbed::kDeliveryTimeoutMs);
        EXPECT_NE(std::wstring::npos, shown.find(p.shown)) << "expected " << testing::PrintToString(testbed::Utf16(p.shown))
                                                           << " in " << testing::PrintToString(testbed::Utf16(shown));
    }
}

/* The system's dialog manager (the program's own settings dialog): Enter
   presses the default button, OK, which closes it. */
TEST_F(KeyPresses, EnterPressesADialogsDefaultButton)
{
    HWND dialog = testbed::OpenSettingsDialog(program_.window(), program_.pid(), testbed::kReadyTimeoutMs);
    ASSERT_NE(nullptr, dialog) << "the settings dialog did not open";
    ASSERT_TRUE(partner_.Write("\r"));
    EXPECT_TRUE(testbed::WaitUntil("the dialog to close", [&] { return !IsWindow(dialog); },
                                   testbed::kDeliveryTimeoutMs));
}

/* Under Wine the Caps Lock state read through another program's input is
   always off, so the choice of keys is checked here, in this process: with
   Caps Lock on, a small letter takes Shift and a capital does not. */
TEST(KeyChoice, CapsLockOnTurnsShiftAround)
{
    testbed::TargetWindow target;
    for (bool capsLock : {false, true}) {
        SCOPED_TRACE(capsLock ? "Caps Lock on" : "Caps Lock off");
        target.Clear();
        TypeBurstAsKeys(reinterpret_cast<const BYTE *>("aB1\r"), 4, target.hwnd(), GetCurrentThreadId(), capsLock);
        ASSERT_TRUE(target.WaitForChars(4, 5000)) << "got \"" << target.Text() << "\"";
        EXPECT_EQ(capsLock ? "Shift A B 1 Enter/1C" : "A Shift B 1 Enter/1C", KeyNames(target.keys()));
    }
}

}  // namespace
