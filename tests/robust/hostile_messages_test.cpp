/*
 * Hostile messages: another process posts and sends the program's hidden
 * window thousands of random messages with random parameters (menu
 * commands, tray callbacks with every mouse message, device and power
 * announcements as Windows broadcasts them and with any parameters,
 * messages nobody defined). The program must keep running, never show two
 * dialogs at once, and still type scans afterwards.
 *
 * Left out are only the messages documented to end the window or the
 * program, or to choose a menu item (the tray menu holds "Close"): see
 * EndMeaning. WM_QUERYENDSESSION stays in: it only asks. One message in
 * ten is a WM_TIMER or WM_SYSTIMER carrying a callback address the program
 * never registered: a random value, or one inside the program's image,
 * where a call would run live code. For the sender's own safety, what the
 * system reads as addresses or memory handles in the sending process is
 * not random: no DDE messages, and messages the system copies through
 * pointers (it refuses to post them) are only posted, never sent.
 */
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>

#include "app/app.h"
#include "resource.h"
#include "support/dialogs.h"
#include "support/census.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/timing.h"

using testbed::TrayState;

namespace {

const char *EndMeaning(UINT message, WPARAM wParam)
{
    switch (message) {
    case WM_CLOSE:
    case WM_DESTROY:
    case WM_NCDESTROY:
    case WM_QUIT:
    case WM_ENDSESSION:
        return "ends the window, the program or the session";
    case WM_COMMAND:
        return LOWORD(wParam) == IDM_CLOSE ? "the menu's Close" : nullptr;
    case WM_SYSCOMMAND:
        return (wParam & 0xFFF0) == SC_CLOSE ? "the window menu's Close" : nullptr;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        if (wParam == VK_F4)
            return "Alt+F4";
        if (wParam == VK_RETURN || wParam == VK_SPACE)
            return "chooses the highlighted menu item";
        return nullptr;
    case WM_CHAR:
    case WM_SYSCHAR:
        return wParam == '\r' || wParam == ' ' ? "chooses the highlighted menu item" : nullptr;
    case WM_NCLBUTTONDOWN:
    case WM_NCLBUTTONUP:
    case WM_NCLBUTTONDBLCLK:
        return wParam == HTCLOSE ? "a click on the close box" : nullptr;
    default:
        return nullptr;
    }
}

struct Figures {
    int posted = 0, sent = 0, refused = 0, timedOut = 0, leftOut = 0;
    int trayCallbacks = 0, menuCommands = 0, timerCallbacks = 0, announcements = 0;
};

/* Whether the system would post a message (see above), asked by posting
   it to this thread (a null window) and taking it back undispatched. */
bool Postable(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!PostMessageA(nullptr, message, wParam, lParam))
        return false;
    MSG msg;
    while (PeekMessageA(&msg, (HWND)-1, 0, 0, PM_REMOVE)) {
    }
    return true;
}

const WPARAM kSysCommands[] = {SC_SIZE,     SC_MOVE,     SC_MINIMIZE,   SC_MAXIMIZE,   SC_NEXTWINDOW,
                               SC_PREVWINDOW, SC_CLOSE,  SC_VSCROLL,    SC_HSCROLL,    SC_MOUSEMENU,
                               SC_KEYMENU,  SC_ARRANGE,  SC_RESTORE,    SC_TASKLIST,   SC_SCREENSAVE,
                               SC_HOTKEY,   SC_DEFAULT,  SC_MONITORPOWER, SC_CONTEXTHELP};

LPARAM RandomParameter(testbed::Random &random)
{
    switch (random.Below(4)) {
    case 0:
        return (LPARAM)random.Below(16);
    case 1:
        return (LPARAM)(LONG)random.Next();          /* sign-extended */
    case 2:
        return (LPARAM)(DWORD)random.Next();
    default:
        return (LPARAM)(((ULONGLONG)random.Next() << 32) | random.Next());
    }
}

class HostileMessages : public testbed::ProgramTest {
protected:
    void RunHostile(int count, uint32_t seed);
};

void HostileMessages::RunHostile(int count, uint32_t seed)
{
    printf("hostile messages: %d, seed 0x%08X\n", count, (unsigned)seed);
    ASSERT_TRUE(testbed::StartTavrin(program_, 1, testbed::kSpeed38400, TrayState::Ready));
    HWND window = program_.window();
    /* The program's image starts at its instance handle. */
    ULONG_PTR image = (ULONG_PTR)GetWindowLongPtrA(window, GWLP_HINSTANCE);
    ASSERT_NE(0u, image) << "cannot read the program's instance handle";

    /* Does what a user would: closes menus after 50 ms and dialogs after
       200 ms (so that more messages reach them while up), and now and then
       lets go of the mouse buttons and presses Escape, ending the system's
       tracking loops that a forged click on the caption starts (moving,
       sizing, the caption buttons). */
    testbed::ModalWatcher::Options watch;
    watch.pid = program_.pid();
    watch.menuMs = 50;
    watch.dialogMs = 200;
    watch.owner = window;
    std::atomic<bool> windowShown{false};
    DWORD lastRelease = GetTickCount();
    watch.eachPass = [&] {
        /* A button let go lands where the cursor is, which is the corner
           of any menu opened there, never one of its items. */
        if (GetTickCount() - lastRelease >= 250) {
            PostMessageA(window, WM_LBUTTONUP, 0, 0);
            PostMessageA(window, WM_RBUTTONUP, 0, 0);
            PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
            lastRelease = GetTickCount();
        }
        if (IsWindowVisible(window))
            windowShown = true;
    };
    testbed::ModalWatcher closer(watch);

    Figures figures;
    testbed::Random random(seed);
    static const UINT kMouse[] = {WM_MOUSEMOVE,     WM_LBUTTONDOWN,   WM_LBUTTONUP,   WM_LBUTTONDBLCLK,
                                  WM_RBUTTONDOWN,   WM_RBUTTONUP,     WM_RBUTTONDBLCLK, WM_MBUTTONDOWN,
                                  WM_MBUTTONUP,     WM_MBUTTONDBLCLK, WM_MOUSEWHEEL,  WM_XBUTTONDOWN,
                                  WM_XBUTTONUP,     WM_XBUTTONDBLCLK, WM_MOUSEHWHEEL, WM_CONTEXTMENU,
                                  NIN_SELECT,       NIN_KEYSELECT,    NIN_BALLOONSHOW, NIN_BALLOONHIDE,
                                  NIN_BALLOONTIMEOUT, NIN_BALLOONUSERCLICK};
    const int kMouseCount = (int)std::size(kMouse);
    for (int i = 0; i < count && program_.IsRunning(); i++) {
        UINT message;
        WPARAM wParam = (WPARAM)RandomParameter(random);
        LPARAM lParam = RandomParameter(random);
        uint32_t kind = random.Below(10);
        bool postOnly = false;
        if (i < kMouseCount || kind < 3) {
            /* The tray callback, with every mouse message first. */
            message = WM_TRAYNOTIFY;
            lParam = i < kMouseCount ? kMouse[i] : random.Chance(80) ? kMouse[random.Below(kMouseCount)]
                                                                     : lParam;
            figures.trayCallbacks++;
        } else if (kind == 9) {
            /* A forged timer: dispatching it would call lParam. Always
               posted, since only a dispatched timer message is called. */
            message = random.Chance(50) ? WM_TIMER : testbed::kSysTimer;
            lParam = random.Chance(50) ? (LPARAM)(image + random.Below(0x8000)) : (LPARAM)(DWORD)random.Next();
            postOnly = true;
            figures.timerCallbacks++;
        } else if (kind == 8 && random.Chance(50)) {
            /* What Windows broadcasts when devices come and go or the
               machine resumes, the meaningful values most often. */
            static const WPARAM kDevice[] = {DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE};
            static const WPARAM kPower[] = {PBT_APMRESUMEAUTOMATIC, PBT_APMRESUMESUSPEND, PBT_APMSUSPEND};
            bool device = random.Chance(50);
            message = device ? WM_DEVICECHANGE : WM_POWERBROADCAST;
            if (random.Chance(70))
                wParam = device ? kDevice[random.Below(3)] : kPower[random.Below(3)];
            figures.announcements++;
        } else if (kind < 5) {
            static const WORD kCommands[] = {IDM_SETTINGS, IDM_ABOUT, IDOK, IDCANCEL, 0};
            message = WM_COMMAND;
            WORD command = random.Chance(70) ? kCommands[random.Below(5)] : (WORD)random.Next();
            wParam = MAKEWPARAM(command, random.Chance(50) ? 0 : random.Next());
            figures.menuCommands++;
        } else {
            /* Any message, the system's own range most often, with the
               parameters that mean something to it now and then. */
            uint32_t range = random.Below(20);
            message = range < 10 ? random.Below(WM_USER)
                      : range < 14 ? WM_USER + random.Below(WM_APP - WM_USER)
                      : range < 17 ? WM_APP + random.Below(0xC000 - WM_APP)
                                   : 0xC000 + random.Below(0x4000);
            if (random.Chance(60)) {
                if (message == WM_SYSCOMMAND)
                    wParam = kSysCommands[random.Below(std::size(kSysCommands))] | random.Below(16);
                else if (message >= WM_KEYFIRST && message <= WM_KEYLAST)
                    wParam = random.Below(256);
                else if (message >= WM_NCMOUSEMOVE && message <= WM_NCXBUTTONDBLCLK)
                    wParam = random.Below(22);
            }
        }
        if (EndMeaning(message, wParam) || (message >= WM_DDE_FIRST && message <= WM_DDE_LAST)) {
            figures.leftOut++;
            continue;
        }
        if (postOnly || random.Chance(70)) {
            if (PostMessageA(window, message, wParam, lParam))
                figures.posted++;
            else
                figures.refused++;
        } else if (Postable(message, wParam, lParam)) {
            DWORD_PTR result;
            if (SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, 100, &result))
                figures.sent++;
            else
                figures.timedOut++;
        } else {
            figures.refused++;
        }
        /* Paced, so that menus and dialogs come and go during the run. */
        Sleep(1);
    }

    /* Let the queue run dry. Posted messages wait behind whatever menu,
       dialog or tracking loop is up; an About box asked for last (again if
       refused while another dialog was up) shows all before it handled. */
    auto aboutUp = [&] {
        std::vector<HWND> dialogs = testbed::DialogsOfProcess(program_.pid());
        return std::any_of(dialogs.begin(), dialogs.end(), [](HWND dialog) { return !GetDlgItem(dialog, IDC_SPEED); });
    };
    bool drained = false;
    for (int attempt = 0; attempt < 6 && !drained; attempt++) {
        PostMessageA(window, WM_COMMAND, IDM_ABOUT, 0);
        drained = testbed::WaitUntil("an About box asked for after the messages", aboutUp, 5000);
    }
    EXPECT_TRUE(drained) << "the program did not get through the messages within 30 s";
    /* Then the closer ends that box, and nothing is left up. */
    EXPECT_TRUE(testbed::WaitUntil("the program's menus and dialogs to close", [&] { return !closer.AnyUp(); }, 30000));

    const int dialogsOpened = closer.Dialogs(), menusOpened = closer.Menus();
    printf("hostile messages: %d posted, %d sent (%d more not answered within 100 ms), %d refused by the "
           "system, %d left out; %d tray callbacks, %d menu commands, %d forged timer callbacks, %d device or power "
           "announcements; %d menus and %d dialogs opened, at "
           "most %d dialog(s) at once; hidden window %s\n",
           figures.posted, figures.sent, figures.timedOut, figures.refused, figures.leftOut, figures.trayCallbacks,
           figures.menuCommands, figures.timerCallbacks, figures.announcements, menusOpened, dialogsOpened, closer.MostDialogsAtOnce(),
           windowShown ? "was made visible" : "stayed hidden");

    ASSERT_TRUE(program_.IsRunning()) << "the program ended";
    EXPECT_TRUE(testbed::Responds(window, 5000)) << "the program no longer answers";
    EXPECT_LE(closer.MostDialogsAtOnce(), 1) << "two dialogs were up at once";
    EXPECT_GT(dialogsOpened, 1) << "no dialog was opened but the last: the commands did not arrive";
    EXPECT_GT(menusOpened, 0) << "no menu was ever opened: the tray callbacks did not arrive";

    EXPECT_TRUE(testbed::ScanArrives(1, testbed::ScanText(9, seed))) << "still typing after the messages";

    CloseInOrder(program_);
    EXPECT_TRUE(closer.Stop(5000)) << "the closer did not stop";
}

TEST_F(HostileMessages, ThousandsOfRandomMessages)
{
    RunHostile((int)testbed::EnvSeconds("TAVRIN_HOSTILE_MESSAGES", 3000), 0x4057113u);
}

/* The worker's own notices, forged while it reads: each costs the main
   thread a look at the worker's state, and no wait for its end. */
TEST_F(HostileMessages, ForgedWorkerNoticesLeaveTheMenuQuickAndTheWorkerReading)
{
    ASSERT_TRUE(testbed::StartTavrin(program_, 1, testbed::kSpeed38400, TrayState::Ready));
    testbed::ThreadWatcher census(program_.pid());
    ASSERT_EQ(1, census.Take().readers);
    testbed::ModalWatcher::Options watch;
    watch.pid = program_.pid();
    watch.menuMs = 50;
    watch.owner = program_.window();
    testbed::ModalWatcher closer(watch);

    const int kForged = 10;
    for (int i = 0; i < kForged; i++) {
        PostMessageA(program_.window(), WM_READERLOST, 0, 0);
        PostMessageA(program_.window(), WM_TRAYRETRY, 0, 0);
    }
    PostMessageA(program_.window(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
    EXPECT_NE(nullptr, testbed::WaitForVisibleWindow(program_.pid(), "#32768", 2000))
        << "no menu within 2 s of " << kForged << " forged WM_READERLOST and WM_TRAYRETRY each";
    EXPECT_TRUE(testbed::ScanArrives(1, testbed::DigitScan(7))) << "typing after the forged notices";
    census.Take();
    EXPECT_EQ(1u, census.ReadersSeen()) << "the worker was replaced";
    CloseInOrder(program_);
    EXPECT_TRUE(closer.Stop(5000)) << "the closer did not stop";
}

TEST_F(HostileMessages, FiftyThousandRandomMessagesSoak)
{
    RunHostile((int)testbed::EnvSeconds("TAVRIN_SOAK_HOSTILE_MESSAGES", 50000), 0x4057114u);
}

}  // namespace
