/*
 * The hidden window's procedure and the tray menu, driven by messages on a
 * real window of the program's class in this process. Menus and dialogs
 * that open are seen and closed by a timer of this thread, so that a
 * fault shows as a failure and never as a test that hangs.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/app.h"
#include "resource.h"
#include "settings/settings.h"
#include "support/host.h"
#include "support/registry.h"
#include "support/screen.h"

namespace {

struct Posted {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

/* Takes the messages queued for this thread for `ms` milliseconds (at
   least once); timer messages are dispatched, so that a watcher below can
   act, everything else is only recorded. */
std::vector<Posted> PumpFor(DWORD ms)
{
    std::vector<Posted> posted;
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        for (int i = 0; i < 1000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); i++) {
            if (msg.message == WM_TIMER) {
                DispatchMessageA(&msg);
                continue;
            }
            if (msg.message == WM_PAINT)
                ValidateRect(msg.hwnd, nullptr);
            posted.push_back({msg.hwnd, msg.message, msg.wParam, msg.lParam});
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms)
            return posted;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed < 10 ? ms - elapsed : 10, QS_ALLINPUT);
    }
}

std::vector<Posted> DrainQueue()
{
    return PumpFor(0);
}

int CountOf(const std::vector<Posted> &posted, UINT message)
{
    int n = 0;
    for (const Posted &p : posted)
        n += p.message == message;
    return n;
}

/* The exit codes of the quit messages among them. */
std::vector<WPARAM> QuitCodes(const std::vector<Posted> &posted)
{
    std::vector<WPARAM> codes;
    for (const Posted &p : posted) {
        if (p.message == WM_QUIT)
            codes.push_back(p.wParam);
    }
    return codes;
}

std::string Describe(const std::vector<Posted> &posted)
{
    std::string text;
    char item[80];
    for (const Posted &p : posted) {
        snprintf(item, sizeof item, " [hwnd %p msg 0x%X wParam %llu lParam %lld]", (void *)p.hwnd, p.message,
                 (unsigned long long)p.wParam, (long long)p.lParam);
        text += item;
    }
    return text.empty() ? " (none)" : text;
}

/* Every 20 ms, looks for a menu or dialog shown by this thread, notes it
   and closes it (a menu is cancelled, a dialog gets IDCANCEL). */
class ModalWatcher {
public:
    struct Seen {
        HWND window;
        bool isMenu;
        HMENU menu;          /* the menu a menu window shows */
        RECT rect;
        std::wstring caption;  /* a dialog's */
    };

    ModalWatcher()
    {
        current_ = this;
        timer_ = SetTimer(nullptr, 0, 20, Tick);
    }
    ~ModalWatcher()
    {
        KillTimer(nullptr, timer_);
        current_ = nullptr;
    }
    const std::vector<Seen> &seen() const { return seen_; }
    int Menus() const { return Count(true); }
    int Dialogs() const { return Count(false); }

private:
    static VOID CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
    {
        if (current_)
            EnumThreadWindows(GetCurrentThreadId(), Look, 0);
    }
    static BOOL CALLBACK Look(HWND window, LPARAM)
    {
        ModalWatcher *self = current_;
        char cls[32];
        if (!GetClassNameA(window, cls, sizeof cls) || self->handled_.count(window))
            return TRUE;
        Seen seen = {window, false, nullptr, {}, L""};
        GetWindowRect(window, &seen.rect);
        if (lstrcmpA(cls, "#32768") == 0 && IsWindowVisible(window)) {
            seen.isMenu = true;
            seen.menu = (HMENU)SendMessageA(window, MN_GETHMENU, 0, 0);
            self->handled_.insert(window);
            self->seen_.push_back(seen);
            EndMenu();
        } else if (lstrcmpA(cls, "#32770") == 0) {
            wchar_t caption[64] = L"";
            GetWindowTextW(window, caption, 64);
            seen.caption = caption;
            self->handled_.insert(window);
            self->seen_.push_back(seen);
            PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
        }
        return TRUE;
    }
    int Count(bool menus) const
    {
        int n = 0;
        for (const Seen &s : seen_)
            n += s.isMenu == menus;
        return n;
    }

    static ModalWatcher *current_;
    UINT_PTR timer_;
    std::vector<Seen> seen_;
    std::set<HWND> handled_;
};
ModalWatcher *ModalWatcher::current_ = nullptr;

class TrayMenuTest : public testbed::HostedWindowTest {
protected:
    void SetUp() override
    {
        HostedWindowTest::SetUp();
        if (HasFatalFailure())
            return;
        window_ = AppState.mainWindow;
        ASSERT_EQ((LONG_PTR)MainWndProc, GetWindowLongPtrA(window_, GWLP_WNDPROC))
            << "the window's messages must reach MainWndProc";
        ASSERT_NE(nullptr, AppState.trayMenu);
        AppState.dialogOpen = 0;
        DrainQueue();
    }
    void TearDown() override
    {
        HostedWindowTest::TearDown();
        AppState.dialogOpen = 0;
    }

    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam)
    {
        return SendMessageA(window_, message, wParam, lParam);
    }
    LRESULT Command(WORD id, WORD code = 0) { return Send(WM_COMMAND, MAKEWPARAM(id, code), 0); }
    LRESULT TrayNotify(LPARAM mouse, WPARAM id = 0) { return Send(WM_TRAYNOTIFY, id, mouse); }

    /* Those of the messages that are for the hidden window. */
    std::vector<Posted> ToWindow(const std::vector<Posted> &posted) const
    {
        std::vector<Posted> mine;
        for (const Posted &p : posted) {
            if (p.hwnd == window_)
                mine.push_back(p);
        }
        return mine;
    }

    HWND window_ = nullptr;
};

TEST_F(TrayMenuTest, CreateAndPaintReturnZeroOtherMessagesGoToDefWindowProc)
{
    char title[64] = "";
    GetWindowTextA(window_, title, sizeof title);
    EXPECT_STREQ("Tavrin transference", title) << "creation must pass through DefWindowProcA";

    CREATESTRUCTA create = {};
    create.lpszName = "x";
    EXPECT_EQ(0, MainWndProc(window_, WM_CREATE, 0, (LPARAM)&create));
    EXPECT_EQ(0, Send(WM_PAINT, 0, 0));

    EXPECT_EQ((LRESULT)strlen("Tavrin transference"), Send(WM_GETTEXTLENGTH, 0, 0));
    EXPECT_EQ(TRUE, Send(WM_SETTEXT, 0, (LPARAM) "renamed"));
    GetWindowTextA(window_, title, sizeof title);
    EXPECT_STREQ("renamed", title);
    EXPECT_EQ(7, Send(WM_GETTEXTLENGTH, 0, 0));

    std::vector<Posted> posted = DrainQueue();
    EXPECT_TRUE(posted.empty()) << "posted:" << Describe(posted);
}

TEST_F(TrayMenuTest, DestroyPostsTheQuitMessage)
{
    ASSERT_TRUE(DestroyWindow(window_));
    AppState.mainWindow = nullptr;
    std::vector<Posted> posted = DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{0}, QuitCodes(posted)) << "one quit message, code 0; posted:" << Describe(posted);
}

TEST_F(TrayMenuTest, CloseQuitsEvenWhileADialogIsOpen)
{
    for (LONG dialogOpen : {0, 1}) {
        for (WORD code : {0, 1}) {   /* from a menu or an accelerator: only the low word counts */
            SCOPED_TRACE(testing::Message() << "dialogOpen " << dialogOpen << ", notification code " << code);
            AppState.dialogOpen = dialogOpen;
            ModalWatcher watcher;
            EXPECT_EQ(0, Command(IDM_CLOSE, code));
            std::vector<Posted> posted = PumpFor(60);
            EXPECT_EQ(std::vector<WPARAM>{0}, QuitCodes(posted))
                << "one quit message, code 0; posted:" << Describe(posted);
            EXPECT_EQ(0u, watcher.seen().size()) << "Close opened a menu or dialog";
            EXPECT_EQ(dialogOpen, AppState.dialogOpen) << "the menu only reads dialogOpen";
        }
    }
}

TEST_F(TrayMenuTest, SettingsAndAboutOpenTheirDialogsOnlyWhenNoneIsOpen)
{
    struct Case {
        WORD id;
        const wchar_t *caption;
    };
    /* The ids are not in menu order: About is 40003. */
    const Case cases[] = {{IDM_SETTINGS, L"Настройка"}, {IDM_ABOUT, L"О программе"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "command " << c.id);
        {
            AppState.dialogOpen = 1;
            ModalWatcher watcher;
            EXPECT_EQ(0, Command(c.id));
            std::vector<Posted> posted = PumpFor(100);
            EXPECT_EQ(0, watcher.Dialogs()) << "a second dialog opened";
            EXPECT_EQ(1, AppState.dialogOpen) << "the menu only reads dialogOpen";
            EXPECT_EQ(0, CountOf(posted, WM_QUIT)) << "posted:" << Describe(posted);
        }
        {
            AppState.dialogOpen = 0;
            ModalWatcher watcher;
            EXPECT_EQ(0, Command(c.id));   /* returns once the watcher cancels the dialog */
            ASSERT_EQ(1, watcher.Dialogs());
            EXPECT_TRUE(watcher.seen()[0].caption == c.caption)
                << "the dialog's caption is another one (" << watcher.seen()[0].caption.size() << " characters)";
            std::vector<Posted> posted = DrainQueue();
            EXPECT_EQ(0, CountOf(posted, WM_QUIT)) << "posted:" << Describe(posted);
        }
    }
}

TEST_F(TrayMenuTest, UnknownCommandsAreIgnored)
{
    ModalWatcher watcher;
    for (WORD id : {0, IDOK, IDCANCEL, 40000, 40004, 0xFFFF}) {
        SCOPED_TRACE(testing::Message() << "command " << id);
        EXPECT_EQ(0, Command(id));
    }
    std::vector<Posted> posted = PumpFor(100);
    EXPECT_EQ(0u, watcher.seen().size()) << "a menu or dialog opened";
    EXPECT_TRUE(posted.empty()) << "posted:" << Describe(posted);
}

TEST_F(TrayMenuTest, RightButtonDownAndContextMenuOpenTheTrayMenuAtTheCursor)
{
    struct Case {
        LPARAM mouse;
        WPARAM iconId;   /* not examined */
    };
    const Case cases[] = {{WM_RBUTTONDOWN, 0}, {WM_CONTEXTMENU, 0}, {WM_RBUTTONDOWN, 5}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mouse message 0x" << std::hex << c.mouse << std::dec << ", wParam "
                                        << c.iconId);
        const POINT cursor = {300, 200};
        ASSERT_TRUE(SetCursorPos(cursor.x, cursor.y));
        ModalWatcher watcher;
        EXPECT_EQ(0, TrayNotify(c.mouse, c.iconId));   /* returns when the watcher cancels the menu */
        ASSERT_EQ(1, watcher.Menus()) << "menus seen";
        const ModalWatcher::Seen &menu = watcher.seen()[0];
        EXPECT_EQ(AppState.trayMenu, menu.menu) << "the tray menu must be the one shown";
        EXPECT_NEAR(cursor.x, menu.rect.left, 3) << "menu's left edge";
        EXPECT_NEAR(cursor.y, menu.rect.top, 3) << "menu's top edge";
        EXPECT_EQ(0, watcher.Dialogs());

        std::vector<Posted> posted = DrainQueue();
        int nulls = 0;
        for (const Posted &p : posted) {
            if (p.message == WM_NULL && p.hwnd == window_ && p.wParam == 0 && p.lParam == 0)
                nulls++;
        }
        EXPECT_EQ(1, nulls) << "exactly one WM_NULL after the menu; posted:" << Describe(posted);
        EXPECT_EQ(0, CountOf(posted, WM_COMMAND)) << "a cancelled menu chooses nothing:" << Describe(posted);
        EXPECT_EQ(0, CountOf(posted, WM_QUIT)) << Describe(posted);
    }
}

TEST_F(TrayMenuTest, OtherMouseMessagesOpenNoMenu)
{
    {
        SCOPED_TRACE("WM_MOUSEMOVE");
        ModalWatcher watcher;
        EXPECT_EQ(0, TrayNotify(WM_MOUSEMOVE));
        std::vector<Posted> posted = ToWindow(PumpFor(60));
        EXPECT_EQ(0u, watcher.seen().size()) << "a menu or dialog opened";
        EXPECT_TRUE(posted.empty()) << "moving over the icon posts nothing; posted:" << Describe(posted);
    }
    /* Every other one posts one WM_NULL. */
    const UINT others[] = {WM_LBUTTONDOWN, WM_LBUTTONUP,   WM_LBUTTONDBLCLK, WM_RBUTTONUP,
                           WM_RBUTTONDBLCLK, WM_MBUTTONDOWN, WM_MBUTTONUP,     WM_MBUTTONDBLCLK,
                           NIN_SELECT,     NIN_KEYSELECT};
    for (UINT mouse : others) {
        SCOPED_TRACE(testing::Message() << "mouse message 0x" << std::hex << mouse);
        ModalWatcher watcher;
        EXPECT_EQ(0, TrayNotify(mouse));
        std::vector<Posted> posted = ToWindow(PumpFor(40));
        EXPECT_EQ(0u, watcher.seen().size()) << "a menu or dialog opened";
        ASSERT_EQ(1u, posted.size()) << "posted to the window:" << Describe(posted);
        EXPECT_EQ((UINT)WM_NULL, posted[0].message);
        EXPECT_EQ(0u, posted[0].wParam);
        EXPECT_EQ(0, posted[0].lParam);
    }
}

TEST_F(TrayMenuTest, MenuHoldsFourItemsInOrderUntilDestroyed)
{
    HMENU menu = AppState.trayMenu;
    ASSERT_EQ(4, GetMenuItemCount(menu));

    struct Item {
        UINT id;
        UINT type;
        const char *text;
    };
    const Item items[] = {
        {IDM_SETTINGS, MFT_STRING, "\xCD\xE0\xF1\xF2\xF0\xEE\xE9\xEA\xE0..."},   /* Windows-1251 */
        {IDM_ABOUT, MFT_STRING, "About..."},
        {0, MFT_SEPARATOR, ""},
        {IDM_CLOSE, MFT_STRING, "Close"},
    };
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(testing::Message() << "position " << i);
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_SUBMENU;
        ASSERT_TRUE(GetMenuItemInfoA(menu, i, TRUE, &info));
        EXPECT_EQ(items[i].type, info.fType);
        EXPECT_EQ(items[i].id, info.wID);
        if (items[i].type == MFT_STRING) {
            EXPECT_EQ(0u, info.fState) << "enabled, unchecked";
        }
        EXPECT_EQ(nullptr, info.hSubMenu);
        char text[64] = "";
        int length = GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
        EXPECT_EQ((int)strlen(items[i].text), length);
        EXPECT_STREQ(items[i].text, text);
    }
    /* What the user reads, given the program's code page. */
    EXPECT_EQ(1251u, GetACP()) << "run under the test bed (LANG=ru_RU.UTF-8)";
    if (GetACP() == 1251) {
        wchar_t wide[64] = L"";
        GetMenuStringW(menu, 0, wide, 64, MF_BYPOSITION);
        EXPECT_TRUE(wcscmp(L"Настройка...", wide) == 0) << "item 0 does not read \"Настройка...\"";
    }

    DestroyTrayMenu();
    EXPECT_FALSE(IsMenu(menu)) << "DestroyTrayMenu left the menu";
    AppState.trayMenu = nullptr;
    DestroyTrayMenu();   /* nothing to destroy: must not fail */
}

TEST_F(TrayMenuTest, EndingSessionSavesTheSettings)
{
    AppState.portNumber = 3;
    AppState.speedIndex = 7;
    testbed::DeleteSettingsKey();

    EXPECT_EQ(0, Send(WM_ENDSESSION, FALSE, 0));
    EXPECT_FALSE(testbed::SettingsKeyExists()) << "a cancelled end of session must write nothing";

    EXPECT_EQ(0, Send(WM_ENDSESSION, TRUE, 0));
    DWORD port = 0, baud = 0;
    EXPECT_TRUE(testbed::GetSettingDword("Port", &port));
    EXPECT_TRUE(testbed::GetSettingDword("Baud", &baud));
    EXPECT_EQ(3u, port);
    EXPECT_EQ(7u, baud);

    testbed::DeleteSettingsKey();
    AppState.portNumber = 2;
    AppState.speedIndex = 5;
}

TEST_F(TrayMenuTest, TaskbarCreatedAddsTheIconAgainAsItWas)
{
    if (!testbed::WaitForTaskbar(5000))
        GTEST_SKIP() << "no taskbar: run inside the test bed's virtual desktop";
    const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    ASSERT_NE(0u, taskbarCreated);
    testbed::TrayView seen;
    ASSERT_TRUE(testbed::WaitForTray(testbed::TrayState::Empty, 3000, &seen))
        << "the tray already shows an icon: " << seen.Describe();

    NOTIFYICONDATAA lost = {};
    lost.cbSize = NOTIFYICONDATAA_V1_SIZE;
    lost.hWnd = window_;
    lost.uID = 0;

    struct Case {
        int portOk;
        testbed::TrayState shows;
        const char *name;
    };
    const Case cases[] = {{0, testbed::TrayState::NoPort, "no port"}, {1, testbed::TrayState::Ready, "ready"}};
    AddTrayIcon(0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        UpdateTrayIcon(c.portOk);
        EXPECT_TRUE(testbed::WaitForTray(c.shows, 3000, &seen)) << seen.Describe();

        /* The shell loses the icon (a restarted shell starts empty). */
        ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &lost));
        EXPECT_TRUE(testbed::WaitForTray(testbed::TrayState::Empty, 3000, &seen)) << seen.Describe();

        EXPECT_EQ(0, Send(taskbarCreated, 0, 0));
        EXPECT_TRUE(testbed::WaitForTray(c.shows, 3000, &seen)) << "after TaskbarCreated: " << seen.Describe();
        EXPECT_EQ(1, testbed::CountTrayIcons());
    }
    RemoveTrayIcon();
    EXPECT_TRUE(testbed::WaitForTray(testbed::TrayState::Empty, 3000, &seen)) << seen.Describe();
}

}  // namespace
