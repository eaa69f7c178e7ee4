/*
 * Typing as key presses (Keys = 1): the program, started with the value,
 * types every burst with SendInput. The key each byte becomes, as the
 * test's window sees it; Wine's own programs, which take Enter only as a
 * key; and the states in which a key would do something else (Caps Lock
 * on, Ctrl held, a menu open).
 */
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "support/cable.h"
#include "support/census.h"
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

/* Presses or lets go of a key as the user's keyboard would. */
void Press(WORD vk, bool down)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = (WORD)MapVirtualKeyA(vk, MAPVK_VK_TO_VSC);
    input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    SendInput(1, &input, sizeof input);
}

/* The keys a window saw, Ctrl and Alt left out: "A", "Shift",
   "Enter/1C" (with its scan code where it matters), "Packet" for a
   character sent as itself, and a "^" before any pressed with Ctrl or Alt
   down. */
std::string KeyNames(const std::vector<testbed::TargetWindow::Key> &keys)
{
    std::string names;
    for (const auto &key : keys) {
        if (key.vk == VK_CONTROL || key.vk == VK_MENU)
            continue;
        char name[32];
        unsigned scan = (unsigned)(key.lParam >> 16) & 0x1FF;   /* with the extended bit */
        if (key.vk == VK_RETURN)
            snprintf(name, sizeof name, "Enter/%X", scan);
        else if (key.vk == VK_TAB)
            snprintf(name, sizeof name, "Tab/%X", scan);
        else if (key.vk == VK_BACK)
            snprintf(name, sizeof name, "Back/%X", scan);
        else if (key.vk == VK_PACKET)
            snprintf(name, sizeof name, "Packet");
        else if (key.vk == VK_SHIFT)
            snprintf(name, sizeof name, "Shift");
        else
            snprintf(name, sizeof name, "%c", (char)key.vk);
        names += std::string(names.empty() ? "" : " ") + (key.modified ? "^" : "") + name;
    }
    return names;
}

/* A window's text, read with WM_GETTEXT across processes. */
std::wstring WindowText(HWND window)
{
    wchar_t text[4096] = L"";
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 4096, (LPARAM)text, SMTO_NORMAL, 5000, &got))
        return L"<no answer>";
    return std::wstring(text, got);
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

    /* Writes `scan` and waits until the target has `count` characters. */
    void Scan(const std::string &scan, size_t count)
    {
        ASSERT_TRUE(partner_.Write(scan));
        ASSERT_TRUE(target_.WaitForChars(count, testbed::kDeliveryTimeoutMs))
            << "got \"" << target_.Text() << "\" of \"" << scan << "\"";
        target_.Pump(300);   /* anything extra shows */
    }

    testbed::PartnerPort partner_{kPort};
    testbed::TargetWindow target_;
};

TEST_F(KeyPresses, EachByteIsItsKeyOrItself)
{
    /* CR LF is one Enter, a lone LF another; Esc, GS and the Cyrillic
       letter (no key of the test bed's US layout) go as themselves; NUL
       is no key at all. */
    const std::string scan("Ab1\r\n\n\t\x1b\x1d\xC0x\b", 13);
    const std::string nul("\0", 1);
    ASSERT_NO_FATAL_FAILURE(Scan(nul + scan, 11));
    EXPECT_EQ("Ab1\r\r\t\x1b\x1d\xC0x\b", target_.Text()) << "WM_CHAR";
    EXPECT_EQ("Shift A B 1 Enter/1C Enter/1C Tab/F Packet Packet Packet X Back/E", KeyNames(target_.keys()));
}

/* Caps Lock pressed on the X server's keyboard: Wine takes its state from
   there when it translates a key (one pressed with SendInput toggles only
   Wine's own record of it, which translation then ignores). */
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

TEST_F(KeyPresses, AHeldCtrlIsWaitedForAndMakesNoShortcut)
{
    Press(VK_CONTROL, true);
    ASSERT_TRUE(testbed::PumpUntil("Ctrl to be down", [] { return GetAsyncKeyState(VK_CONTROL) < 0; }, 5000));
    ASSERT_TRUE(partner_.Write("12\r"));
    /* The program shows active while it waits with the scan. */
    bool active = testbed::WaitForTray(TrayState::Active, testbed::kDeliveryTimeoutMs, nullptr);
    target_.Pump(300);
    Press(VK_CONTROL, false);
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
    AppendMenuA(menu, MF_STRING, 6, "&6 would run");
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
    POINT at = {150, 150};
    UINT chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, at.x, at.y, 0, target_.hwnd(), nullptr);
    DestroyMenu(menu);
    ASSERT_TRUE(scanner.Join(testbed::kDeliveryTimeoutMs + 15000));
    ASSERT_EQ("", step) << "waited in vain for " << step;
    EXPECT_EQ(0u, chosen) << "the scan ran a menu item";
    ASSERT_TRUE(target_.WaitForChars(2, testbed::kDeliveryTimeoutMs)) << "got \"" << target_.Text() << "\"";
    EXPECT_EQ("5\r", target_.Text()) << "the scan, typed once the menu closed";
}

/* ---- Wine's own programs ---------------------------------------------------- */

/* What a program shows of what was typed into it. */
using ReadBack = std::wstring (*)(DWORD pid, HWND window);

/* The window of a console program's console (its host's, not its own). */
HWND ConsoleWindowOf(DWORD pid)
{
    FreeConsole();
    HWND window = AttachConsole(pid) ? GetConsoleWindow() : nullptr;
    FreeConsole();
    return window && IsWindowVisible(window) ? window : nullptr;
}

std::wstring ChildText(HWND window, const char *childClass)
{
    struct Search {
        const char *cls;
        HWND found;
    } search = {childClass, nullptr};
    EnumChildWindows(window, [](HWND c, LPARAM l) {
        Search *s = (Search *)l;
        char name[64];
        if (GetClassNameA(c, name, sizeof name) && lstrcmpiA(name, s->cls) == 0)
            s->found = c;
        return s->found ? FALSE : TRUE;
    }, (LPARAM)&search);
    HWND child = search.found;
    if (!child)
        return L"<no " + std::wstring(childClass, childClass + strlen(childClass)) + L">";
    /* Paragraphs end in CR LF or in CR alone, by the control. */
    std::wstring text = WindowText(child), folded;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != L'\n' || i == 0 || text[i - 1] != L'\r')
            folded += text[i];
    }
    return folded;
}

std::wstring NotepadText(DWORD, HWND window) { return ChildText(window, "Edit"); }
std::wstring WordPadText(DWORD, HWND window) { return ChildText(window, "RichEdit20W"); }

/* The console's screen, one line per row, trailing blanks cut. */
std::wstring ConsoleText(DWORD pid, HWND)
{
    std::wstring screen;
    FreeConsole();
    if (!AttachConsole(pid))
        return L"<cannot attach, error " + std::to_wstring(GetLastError()) + L">";
    HANDLE out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (out != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(out, &info)) {
        for (SHORT y = 0; y <= info.dwCursorPosition.Y; y++) {
            std::wstring row(info.dwSize.X, L' ');
            DWORD got = 0;
            ReadConsoleOutputCharacterW(out, &row[0], info.dwSize.X, {0, y}, &got);
            row.resize(row.find_last_not_of(L' ') + 1);
            screen += row + L"\n";
        }
    }
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    FreeConsole();
    return screen;
}

struct Program {
    const char *name;
    const char *command;
    const char *windowClass;   /* null: a console */
    ReadBack read;
    std::string scans;       /* in code page 1251 */
    std::wstring expected;   /* part of what the program then shows */
};

/* Two scans ending in Enter, as WordPad and a console take them only
   from the key; in Notepad, Backspace, Tab and letters that the layout
   has no key for (Cyrillic, under code page 1251) too. */
TEST_F(KeyPresses, WinesOwnProgramsTakeTheScansAndTheirEnter)
{
    const Program programs[] = {
        {"Notepad", "notepad.exe", "Notepad", NotepadText, "4006381333931\r\xCF\xF0\xE8\xE2\xE5\xF2-1\tab\bc\r",
         L"4006381333931\r\x041F\x0440\x0438\x0432\x0435\x0442-1\tac\r"},
        {"WordPad", "\"%ProgramFiles%\\Windows NT\\Accessories\\wordpad.exe\"", "WORDPADTOP", WordPadText, "9780201379624\rTAVRIN-0001\r",
         L"9780201379624\rTAVRIN-0001\r"},
        {"a console", "cmd.exe /k prompt $g", nullptr, ConsoleText,
         "echo 5901234123457\r", L">echo 5901234123457\n5901234123457\n"},
    };
    for (const Program &p : programs) {
        SCOPED_TRACE(p.name);
        testbed::Process process;
        char command[MAX_PATH];
        ExpandEnvironmentStringsA(p.command, command, sizeof command);
        ASSERT_TRUE(process.Start(command, p.windowClass ? 0 : CREATE_NEW_CONSOLE))
            << command << ": error " << GetLastError();
        HWND window = nullptr;
        if (p.windowClass)
            window = testbed::WaitForVisibleWindow(process.pid(), p.windowClass, testbed::kReadyTimeoutMs);
        else
            testbed::WaitUntil("the console's window", [&] { return (window = ConsoleWindowOf(process.pid())) != nullptr; },
                               testbed::kReadyTimeoutMs);
        ASSERT_NE(nullptr, window) << "no window of " << p.command;
        ASSERT_TRUE(testbed::WaitUntil("the program to come to the front", [&] {
            SetForegroundWindow(window);
            return GetForegroundWindow() == window;
        }, 10000));
        ASSERT_TRUE(partner_.Write(p.scans));
        std::wstring shown;
        testbed::PumpUntil("the scans to show", [&] {
            shown = p.read(process.pid(), window);
            return shown.find(p.expected) != std::wstring::npos;
        }, testbed::kDeliveryTimeoutMs);
        EXPECT_NE(std::wstring::npos, shown.find(p.expected))
            << "expected " << testing::PrintToString(testbed::Utf16(p.expected)) << " in "
            << testing::PrintToString(testbed::Utf16(shown));
        process.Kill();
    }
}

/* The system's dialog manager: the code goes into the edit, and its Enter
   presses the default button. */
TEST_F(KeyPresses, EnterPressesADialogsDefaultButton)
{
    struct Dialog {
        testbed::PartnerPort *partner;
        std::string edit;
        static INT_PTR CALLBACK Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
        {
            Dialog *self = (Dialog *)GetWindowLongPtrA(dialog, DWLP_USER);
            if (message == WM_INITDIALOG) {
                SetWindowLongPtrA(dialog, DWLP_USER, lParam);
                self = (Dialog *)lParam;
                SetForegroundWindow(dialog);
                SetFocus(GetDlgItem(dialog, 100));
                /* Bounds the case should the scan never come. */
                SetTimer(dialog, 1, testbed::kDeliveryTimeoutMs, nullptr);
                self->partner->Write("TAVRIN-0001\r");
                return FALSE;
            }
            if (message == WM_TIMER)
                EndDialog(dialog, IDCANCEL);
            if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
                char text[64] = "";
                GetDlgItemTextA(dialog, 100, text, sizeof text);
                self->edit = text;
                EndDialog(dialog, IDOK);
            }
            return FALSE;
        }
    } dialog = {&partner_, ""};

    /* A template of two controls: an edit (100) and the default OK. */
    struct alignas(4) {
        DLGTEMPLATE head;
        WORD menu, cls, title;
        DLGITEMTEMPLATE edit;
        WORD editClass[2], editText, editData;
        WORD pad1;
        DLGITEMTEMPLATE ok;
        WORD okClass[2], okText[3], okData;
    } t = {};
    t.head = {WS_POPUP | WS_CAPTION | WS_VISIBLE, 0, 2, 10, 10, 160, 60};
    t.edit = {WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0, 10, 10, 140, 14, 100};
    t.editClass[0] = 0xFFFF, t.editClass[1] = 0x0081;
    t.ok = {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 55, 35, 50, 14, IDOK};
    t.okClass[0] = 0xFFFF, t.okClass[1] = 0x0080;
    t.okText[0] = L'O', t.okText[1] = L'K';
    INT_PTR result = DialogBoxIndirectParamA(GetModuleHandleA(nullptr), &t.head, nullptr, Dialog::Proc,
                                             (LPARAM)&dialog);
    EXPECT_EQ(IDOK, result) << "OK was not pressed (IDCANCEL: the time ran out)";
    EXPECT_EQ("TAVRIN-0001", dialog.edit);
}

}  // namespace
