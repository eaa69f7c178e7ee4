/*
 * The hidden window's procedure and the tray menu, driven by messages on a
 * window of the program's class here; a ModalWatcher closes what opens.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "app/app.h"
#include "resource.h"
#include "support/dialogs.h"
#include "support/host.h"
#include "support/registry.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/timing.h"

using testbed::TrayState;

namespace {

/* The exit codes of the quit messages among them. */
std::vector<WPARAM> QuitCodes(const std::vector<MSG> &posted)
{
    std::vector<WPARAM> codes;
    for (const MSG &p : posted)
        if (p.message == WM_QUIT)
            codes.push_back(p.wParam);
    return codes;
}

std::string Describe(const std::vector<MSG> &posted)
{
    std::string text;
    char item[80];
    for (const MSG &p : posted) {
        snprintf(item, sizeof item, " [hwnd %p msg 0x%X wParam %llu lParam %lld]", (void *)p.hwnd, p.message,
                 (unsigned long long)p.wParam, (long long)p.lParam);
        text += item;
    }
    return text.empty() ? " (none)" : text;
}

class TrayMenuTest : public testbed::HostedWindowTest {
protected:
    static LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam)
    {
        return SendMessageA(AppState.mainWindow, message, wParam, lParam);
    }
    static LRESULT Command(WORD id, WORD code = 0) { return Send(WM_COMMAND, MAKEWPARAM(id, code), 0); }
    static LRESULT TrayNotify(LPARAM mouse, WPARAM id = 0) { return Send(WM_TRAYNOTIFY, id, mouse); }

    /* The messages posted to this thread so far (to the hidden window
       alone if `window` is given), dispatched as the main loop would. */
    static std::vector<MSG> Posted(HWND window = nullptr)
    {
        std::vector<MSG> posted;
        testbed::DispatchPending([&](const MSG &msg) {
            if (!window || msg.hwnd == window)
                posted.push_back(msg);
        });
        return posted;
    }
    /* Closes the tray menu at once, told its owner, the hidden window. */
    static testbed::ModalWatcher::Options Closer()
    {
        testbed::ModalWatcher::Options watch;
        watch.owner = AppState.mainWindow;
        return watch;
    }
};

TEST_F(TrayMenuTest, CreateAndPaintReturnZeroOtherMessagesGoToDefWindowProc)
{
    HWND window = AppState.mainWindow;
    EXPECT_EQ("Tavrin transference", testbed::WindowText(window)) << "creation must pass through DefWindowProcA";

    CREATESTRUCTA create = {};
    create.lpszName = "x";
    EXPECT_EQ(0, MainWndProc(window, WM_CREATE, 0, (LPARAM)&create));
    EXPECT_EQ(0, Send(WM_PAINT, 0, 0));

    EXPECT_EQ((LRESULT)strlen("Tavrin transference"), Send(WM_GETTEXTLENGTH, 0, 0));
    EXPECT_EQ(TRUE, Send(WM_SETTEXT, 0, (LPARAM) "renamed"));
    EXPECT_EQ("renamed", testbed::WindowText(window));
    EXPECT_EQ(7, Send(WM_GETTEXTLENGTH, 0, 0));

    EXPECT_EQ(Describe({}), Describe(Posted())) << "posted";
}

TEST_F(TrayMenuTest, DestroyPostsTheQuitMessage)
{
    ASSERT_TRUE(DestroyWindow(AppState.mainWindow));
    AppState.mainWindow = nullptr;
    std::vector<MSG> posted = Posted();
    EXPECT_EQ(std::vector<WPARAM>{0}, QuitCodes(posted)) << "one quit message, code 0; posted:" << Describe(posted);
}

/* Each command below returns only once its menu or dialog, if one opened,
   has been closed by the watcher: what it posted is then in the queue. */
TEST_F(TrayMenuTest, CloseQuitsEvenWhileADialogIsOpen)
{
    for (LONG dialogOpen : {0, 1}) {
        for (WORD code : {0, 1}) {   /* from a menu or an accelerator: only the low word counts */
            SCOPED_TRACE(testing::Message() << "dialogOpen " << dialogOpen << ", notification code " << code);
            AppState.dialogOpen = dialogOpen;
            testbed::ModalWatcher watcher(Closer());
            EXPECT_EQ(0, Command(IDM_CLOSE, code));
            std::vector<MSG> posted = Posted();
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
        for (LONG dialogOpen : {1, 0}) {
            SCOPED_TRACE(testing::Message() << "command " << c.id << ", dialogOpen " << dialogOpen);
            AppState.dialogOpen = dialogOpen;
            testbed::ModalWatcher watcher(Closer());
            EXPECT_EQ(0, Command(c.id));
            std::vector<testbed::ModalWatcher::Seen> seen = watcher.seen();
            ASSERT_EQ(dialogOpen ? 0u : 1u, seen.size()) << "dialogs opened";
            if (!seen.empty()) {
                EXPECT_FALSE(seen[0].isMenu);
                EXPECT_EQ(testbed::Utf16(c.caption), testbed::Utf16(seen[0].caption));
            }
            EXPECT_EQ(dialogOpen, AppState.dialogOpen) << "afterwards";
            std::vector<MSG> posted = Posted();
            EXPECT_EQ(std::vector<WPARAM>{}, QuitCodes(posted)) << "posted:" << Describe(posted);
        }
    }
}

TEST_F(TrayMenuTest, UnknownCommandsAreIgnored)
{
    testbed::ModalWatcher watcher(Closer());
    for (WORD id : {0, IDOK, IDCANCEL, 40000, 40004, 0xFFFF}) {
        SCOPED_TRACE(testing::Message() << "command " << id);
        EXPECT_EQ(0, Command(id));
    }
    EXPECT_EQ(Describe({}), Describe(Posted())) << "posted";
    EXPECT_EQ(0u, watcher.seen().size()) << "a menu or dialog opened";
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
        testbed::ModalWatcher watcher(Closer());
        EXPECT_EQ(0, TrayNotify(c.mouse, c.iconId));
        std::vector<testbed::ModalWatcher::Seen> seen = watcher.seen();
        ASSERT_EQ(1u, seen.size()) << "menus and dialogs seen";
        ASSERT_TRUE(seen[0].isMenu);
        EXPECT_EQ(AppState.trayMenu, seen[0].menu) << "the tray menu must be the one shown";
        EXPECT_NEAR(cursor.x, seen[0].rect.left, 3) << "menu's left edge";
        EXPECT_NEAR(cursor.y, seen[0].rect.top, 3) << "menu's top edge";

        std::vector<MSG> posted = Posted();
        int nulls = 0, commands = 0;
        for (const MSG &p : posted) {
            nulls += p.message == WM_NULL && p.hwnd == AppState.mainWindow && p.wParam == 0 && p.lParam == 0;
            commands += p.message == WM_COMMAND;
        }
        EXPECT_EQ(1, nulls) << "exactly one WM_NULL after the menu; posted:" << Describe(posted);
        EXPECT_EQ(0, commands) << "a cancelled menu chooses nothing:" << Describe(posted);
        EXPECT_EQ(std::vector<WPARAM>{}, QuitCodes(posted)) << Describe(posted);
    }
}

TEST_F(TrayMenuTest, OtherMouseMessagesOpenNoMenu)
{
    /* WM_MOUSEMOVE posts nothing; every other one posts one WM_NULL. */
    const UINT mice[] = {WM_MOUSEMOVE,     WM_LBUTTONDOWN, WM_LBUTTONUP,   WM_LBUTTONDBLCLK, WM_RBUTTONUP,
                         WM_RBUTTONDBLCLK, WM_MBUTTONDOWN, WM_MBUTTONUP,   WM_MBUTTONDBLCLK, NIN_SELECT,
                         NIN_KEYSELECT};
    MSG null = {};   /* WM_NULL, wParam 0, lParam 0 */
    null.hwnd = AppState.mainWindow;
    for (UINT mouse : mice) {
        SCOPED_TRACE(testing::Message() << "mouse message 0x" << std::hex << mouse);
        testbed::ModalWatcher watcher(Closer());
        EXPECT_EQ(0, TrayNotify(mouse));
        const std::vector<MSG> expected(mouse == WM_MOUSEMOVE ? 0 : 1, null);
        EXPECT_EQ(Describe(expected), Describe(Posted(AppState.mainWindow))) << "posted to the window";
        EXPECT_EQ(0u, watcher.seen().size()) << "a menu or dialog opened";
    }
}

/* Run under 1251 and, by ctest's cp1252. entry, under 1252: the texts are
   read as UTF-16, what the user sees whatever the code page. */
TEST_F(TrayMenuTest, MenuHoldsFourItemsInOrderUntilDestroyed)
{
    ASSERT_EQ("", testbed::WrongCodePage());
    HMENU menu = AppState.trayMenu;
    ASSERT_EQ(4, GetMenuItemCount(menu));

    struct Item {
        UINT id;
        UINT type;
        const wchar_t *text;
    };
    const Item items[] = {
        {IDM_SETTINGS, MFT_STRING, L"Настройка..."},
        {IDM_ABOUT, MFT_STRING, L"About..."},
        {0, MFT_SEPARATOR, L""},
        {IDM_CLOSE, MFT_STRING, L"Close"},
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
        wchar_t text[64] = L"";
        int length = GetMenuStringW(menu, i, text, 64, MF_BYPOSITION);
        EXPECT_EQ((int)wcslen(items[i].text), length);
        EXPECT_EQ(testbed::Utf16(items[i].text), testbed::Utf16(text));
    }

    /* Once destroyed, the handle is forgotten: a second call must not
       destroy a menu made since, which may have been given the same one. */
    DestroyTrayMenu();
    EXPECT_FALSE(IsMenu(menu)) << "DestroyTrayMenu left the menu";
    EXPECT_EQ(nullptr, AppState.trayMenu) << "DestroyTrayMenu kept the destroyed menu's handle";
    HMENU later = CreatePopupMenu();
    ASSERT_NE(nullptr, later);
    DestroyTrayMenu();
    EXPECT_TRUE(IsMenu(later)) << "a second DestroyTrayMenu destroyed another menu";
    DestroyMenu(later);
}

TEST_F(TrayMenuTest, EndingSessionSavesTheSettings)
{
    AppState.portNumber = 3;
    AppState.speedIndex = 7;
    testbed::DeleteSettingsKey();

    EXPECT_EQ(0, Send(WM_ENDSESSION, FALSE, 0));
    EXPECT_FALSE(testbed::SettingsKeyExists()) << "a cancelled end of session must write nothing";

    EXPECT_EQ(0, Send(WM_ENDSESSION, TRUE, 0));
    testbed::ExpectStored(3, 7);
    testbed::DeleteSettingsKey();
}

TEST_F(TrayMenuTest, TaskbarCreatedAddsTheIconAgainAsItWas)
{
    if (std::string why = testbed::WhyNoTaskbar(); !why.empty())
        GTEST_SKIP() << why;
    const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    ASSERT_NE(0u, taskbarCreated);
    ASSERT_TRUE(testbed::IconShows(TrayState::Empty, 3000)) << "before the case";

    AddTrayIcon(0);
    for (int portOk : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "PortOk " << portOk);
        const TrayState shows = portOk ? TrayState::Ready : TrayState::NoPort;
        UpdateTrayIcon(portOk);
        EXPECT_TRUE(testbed::IconShows(shows, 3000));

        ASSERT_TRUE(testbed::DropTrayIcon(AppState.mainWindow));
        EXPECT_TRUE(testbed::IconShows(TrayState::Empty, 3000)) << "after the shell dropped it";

        EXPECT_EQ(0, Send(taskbarCreated, 0, 0));
        EXPECT_TRUE(testbed::IconShows(shows, 3000)) << "after TaskbarCreated";
        EXPECT_EQ(1, testbed::CountTrayIcons());
    }
    RemoveTrayIcon();
    EXPECT_TRUE(testbed::IconShows(TrayState::Empty, 3000)) << "after RemoveTrayIcon";
}

}  // namespace
