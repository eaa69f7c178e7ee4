/*
 * The tray icon and menu of the program, read from the test bed's screen.
 * Screenshots go to <build dir>/screenshots/tray-*.bmp.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/app.h"
#include "resource.h"
#include "support/cable.h"
#include "support/dialogs.h"
#include "support/census.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/screen.h"
#include "support/stand_in.h"
#include "support/streams.h"
#include "support/timing.h"

namespace {

using testbed::IconShows;
using testbed::TrayState;

const DWORD kPictureMs = 3000;  /* a change of picture to reach the screen */
const DWORD kDialogMs = 60000;  /* a menu or dialog's first showing, emulated */
const DWORD kAnswerMs = 30000;  /* a command the program refuses, answered */

class TrayE2ETest : public testbed::ProgramTest {
protected:
    void SetUp() override
    {
        if (std::string why = testbed::WhyNoTaskbar(); !why.empty())
            GTEST_SKIP() << why;
        ProgramTest::SetUp();
        ASSERT_TRUE(IconShows(TrayState::Empty, kPictureMs)) << "before the program starts";
    }

    /* The shell loses the icon behind the program's back, then announces
       a new taskbar: the program must add its icon again as it was. */
    void LoseIconAndAnnounceTaskbar(TrayState shows)
    {
        ASSERT_TRUE(testbed::DropTrayIcon(program_.window())) << "the shell has no icon (window, 0)";
        ASSERT_TRUE(IconShows(TrayState::Empty, kPictureMs));
        ASSERT_TRUE(testbed::AnnounceTaskbar());
        EXPECT_TRUE(IconShows(shows, kPictureMs)) << "after TaskbarCreated";
        EXPECT_EQ(1, testbed::CountTrayIcons()) << "one icon, added once";
    }

    /* Ends the program in order; its icon goes with it (if only because
       Wine's shell drops a destroyed window's icons). */
    void CloseAndExpectIconGone()
    {
        CloseInOrder(program_);
        EXPECT_TRUE(IconShows(TrayState::Empty, kPictureMs)) << "after the exit";
    }

    /* Opens the tray menu as a right click on the icon would. */
    HWND OpenMenu()
    {
        PostMessageA(program_.window(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
        return testbed::WaitForVisibleWindow(program_.pid(), "#32768", kDialogMs);
    }

    /* Chooses the menu's item `downs` places down by keys. */
    static void Choose(HWND menu, int downs)
    {
        for (int i = 0; i <= downs; i++) {
            WPARAM key = i < downs ? VK_DOWN : VK_RETURN;
            PostMessageA(menu, WM_KEYDOWN, key, 1);
            PostMessageA(menu, WM_KEYUP, key, 0xC0000001);
        }
    }

    /* Chooses the item `downs` places down, which opens a dialog titled
       `caption`; returns that dialog, null if none opened. */
    HWND ChooseDialog(HWND menu, int downs, const wchar_t *caption)
    {
        Choose(menu, downs);
        HWND dialog = testbed::WaitForDialog(program_.pid(), kDialogMs);
        wchar_t text[128] = L"";
        GetWindowTextW(dialog, text, 128);
        EXPECT_EQ(testbed::Utf16(caption), testbed::Utf16(text)) << "item " << downs << " opened another dialog";
        return dialog;
    }
};

/* Sends `count` bursts, one at a time, and times the active picture each
   brings: from the first sample that shows it to the first that does not.
   Samples showing red are counted into *redSamples. */
std::vector<int> ActivePeriods(testbed::PartnerPort &device, const std::string &burst, int count, int *redSamples)
{
    std::vector<int> periods;
    for (int b = 0; b < count; b++) {
        if (!device.Write(burst))
            break;
        double start = -1, deadline = testbed::NowMs() + 3000;
        for (;;) {
            testbed::TrayView now = testbed::ReadTray();
            double t = testbed::NowMs();
            *redSamples += now.red > 0;
            bool active = now.Active();
            if (active && start < 0) {
                start = t;
                deadline = t + 5000;
            } else if (!active && start >= 0) {
                periods.push_back((int)(t - start));
                break;
            }
            if (t > deadline)
                break;
        }
        /* Well apart, so that the next write is a burst of its own. */
        Sleep(450);
    }
    return periods;
}

testbed::Capture CaptureWholeScreen()
{
    return testbed::CaptureScreen({0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)});
}

/* Saves a capture (by default the whole screen) as <name>.bmp in ScreenshotDir
   (scripts/test turns them into .png); returns the path, empty on failure. */
std::string SaveScreenshot(const char *name, const testbed::Capture &capture = CaptureWholeScreen())
{
    std::string path = testbed::ScreenshotDir() + name + ".bmp";
    return capture.SaveBmp(path) ? path : std::string();
}

/* Saves a screenshot once the taskbar (a newly shown one paints its
   buttons after the tray) and `shown`, if given, have been painted. */
void Screenshot(const char *name, HWND shown = nullptr)
{
    EXPECT_TRUE(testbed::WaitForPainted(testbed::FindTaskbar(), kPictureMs)) << "before screenshot " << name;
    if (shown) {
        EXPECT_TRUE(testbed::WaitForPainted(shown, kPictureMs)) << "before screenshot " << name;
    }
    EXPECT_NE("", SaveScreenshot(name)) << "could not save screenshot " << name;
}

TEST_F(TrayE2ETest, ReadyIconTurnsActiveForEachBurstAndBack)
{
    /* No key: the built-in COM2 opens. */
    ASSERT_TRUE(testbed::StartTavrin(program_, 0, -1, TrayState::Ready));
    Screenshot("tray-ready");

    testbed::PartnerPort device(2);
    ASSERT_TRUE(device.IsOpen()) << "cannot open " << testbed::PartnerName(2);

    /* A scan's worth of bytes is posted at once, so the picture shows for
       about the worker's 50 ms; 1024 bytes take Wine a while to post. */
    const std::string shortBurst = "4006381333931\r", longBurst(1024, 'x');
    int redSamples = 0;
    std::vector<int> shortRuns = ActivePeriods(device, shortBurst, 5, &redSamples);
    std::vector<int> longRuns = ActivePeriods(device, longBurst, 2, &redSamples);
    printf("active picture seen for (ms): %s after 14 bytes, %s after 1024 bytes\n",
           testing::PrintToString(shortRuns).c_str(), testing::PrintToString(longRuns).c_str());

    EXPECT_EQ(0, redSamples) << "the no-port picture showed with the port open";
    ASSERT_EQ(5u, shortRuns.size()) << "short bursts that showed the active picture and ended";
    EXPECT_EQ(2u, longRuns.size()) << "long bursts that showed the active picture and ended";
    /* The worker holds the picture for 50 ms after posting; the shell's
       repaint of either change may come late on a loaded machine, so the
       median is held to a 5 ms tolerance. */
    std::vector<int> sorted = shortRuns;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_GE(sorted[2], 45) << "the active picture showed too briefly: " << testing::PrintToString(shortRuns);

    EXPECT_TRUE(IconShows(TrayState::Ready, kPictureMs)) << "back to ready";
    /* And stays so: a change can only be ruled out over a span. */
    Sleep(300);
    EXPECT_TRUE(IconShows(TrayState::Ready, 0)) << "ready stays";

    /* A screenshot while active: the whole screen takes longer to copy
       than the picture lasts, so keep the port busy and retry. */
    bool shot = false;
    for (int attempt = 0; attempt < 10 && !shot; attempt++) {
        ASSERT_TRUE(device.Write(longBurst));
        if (!testbed::WaitForTray(TrayState::Active, 1500, nullptr))
            continue;
        testbed::Capture screen = CaptureWholeScreen();
        if (testbed::CountIconColours(screen, testbed::TrayArea()).Active()) {
            SaveScreenshot("tray-active", screen);
            shot = true;
        }
        testbed::WaitForTray(TrayState::Ready, kPictureMs, nullptr);
    }
    EXPECT_TRUE(shot) << "no screenshot caught the active picture";

    ASSERT_TRUE(IconShows(TrayState::Ready, kPictureMs));
    LoseIconAndAnnounceTaskbar(TrayState::Ready);
    CloseAndExpectIconGone();
}

TEST_F(TrayE2ETest, NoPortIconWhenThePortIsMissing)
{
    /* COM4 does not exist in the test bed. */
    ASSERT_TRUE(testbed::StartTavrin(program_, 4, -1, TrayState::NoPort));
    Screenshot("tray-noport");
    Sleep(500);   /* and stays so */
    EXPECT_TRUE(IconShows(TrayState::NoPort, 0)) << "no-port stays";

    LoseIconAndAnnounceTaskbar(TrayState::NoPort);
    CloseAndExpectIconGone();
}

TEST_F(TrayE2ETest, AddRefusedAtStartIsTriedAgainAndCloseDeletesTheIcon)
{
    std::atomic<int> refused{0};
    {
        /* A taskbar too busy to answer at logon: every request fails. */
        testbed::StandInTray busy([&](HWND, const COPYDATASTRUCT &) { return refused++, (LRESULT)FALSE; });
        ASSERT_TRUE(busy.Found()) << "the program would not ask the stand-in tray";
        ASSERT_TRUE(testbed::StartTavrin(program_));
        ASSERT_TRUE(testbed::WaitUntil("the program's add to reach the stand-in tray", [&] { return refused > 0; },
                                       kDialogMs));
        EXPECT_TRUE(IconShows(TrayState::Empty, 0)) << "while the tray refuses";
    }
    EXPECT_TRUE(IconShows(TrayState::Ready, TRAY_RETRY_MS + kDialogMs)) << "the add was not tried again";
    EXPECT_EQ(1, testbed::CountTrayIcons());

    /* Wine's tray drops a gone window's icons: whether the program deleted its
       own shows in its request while the window lives. Wine's Shell_NotifyIcon
       passes the action as dwData (Windows' format is its own). */
    const HWND window = program_.window();
    std::atomic<int> deletes{0};
    {
        testbed::StandInTray recorder([&](HWND owner, const COPYDATASTRUCT &request) {
            deletes += owner == window && request.dwData == NIM_DELETE && IsWindow(window);
            return (LRESULT)TRUE;
        });
        ASSERT_TRUE(recorder.Found()) << "the program would not ask the stand-in tray";
        CloseInOrder(program_);
    }
    EXPECT_EQ(1, deletes.load()) << "requests to delete the icon sent by the closing program";
    EXPECT_TRUE(IconShows(TrayState::Empty, kPictureMs)) << "after the exit";
}

TEST_F(TrayE2ETest, MenuOpensAtTheCursorAndItsItemsWork)
{
    ASSERT_TRUE(testbed::StartTavrin(program_, 0, -1, TrayState::Ready));
    const POINT cursor = {600, 400};   /* well away from the tray */
    ASSERT_TRUE(SetCursorPos(cursor.x, cursor.y));

    HWND menu = OpenMenu();
    ASSERT_NE(nullptr, menu) << "no menu appeared";
    Screenshot("tray-menu", menu);
    RECT rect;
    GetWindowRect(menu, &rect);
    EXPECT_NEAR(cursor.x, rect.left, 3) << "menu's left edge";
    EXPECT_NEAR(cursor.y, rect.top, 3) << "menu's top edge";

    /* Reading the menu from here works only partly under Wine; where it
       answers, it must answer right. */
    HMENU shown = (HMENU)SendMessageA(menu, MN_GETHMENU, 0, 0);
    int count = GetMenuItemCount(shown);
    printf("menu read from this process: handle %p, %d items\n", (void *)shown, count);
    std::vector<UINT> ids;
    for (int i = 0; i < count; i++)
        ids.push_back(GetMenuItemID(shown, i));
    if (count != -1) {
        EXPECT_EQ((std::vector<UINT>{IDM_SETTINGS, IDM_ABOUT, 0, IDM_CLOSE}), ids) << "the items' ids in order";
    }

    HWND dialog = ChooseDialog(menu, 1, L"Настройка");
    ASSERT_NE(nullptr, dialog) << "the first item opened no dialog";
    ASSERT_TRUE(testbed::WaitForWindowHidden(menu, kPictureMs)) << "the menu did not close";

    /* While it is open, Settings and About are refused. The commands are
       sent, not posted, so the answer comes once each has been handled (a
       dialog it opened would hold it back); a message sent after posted
       ones would not do: sent messages are handled first. */
    for (WORD command : {IDM_SETTINGS, IDM_ABOUT}) {
        DWORD_PTR answer = 0;
        EXPECT_NE(0, SendMessageTimeoutA(program_.window(), WM_COMMAND, command, 0, SMTO_NORMAL, kAnswerMs, &answer))
            << "command " << command << " was not answered within " << kAnswerMs << " ms";
    }
    EXPECT_EQ(std::vector<HWND>{dialog}, testbed::DialogsOfProcess(program_.pid())) << "a second dialog opened";
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(testbed::WaitForWindowHidden(dialog, kPictureMs));

    menu = OpenMenu();
    ASSERT_NE(nullptr, menu) << "no menu appeared the second time";
    dialog = ChooseDialog(menu, 2, L"О программе");
    ASSERT_NE(nullptr, dialog) << "the second item opened no dialog";

    /* With the About box still open, down three times passes the
       separator to "Close", which ends the dialog and the program. */
    menu = OpenMenu();
    ASSERT_NE(nullptr, menu) << "no menu appeared over the About box";
    Choose(menu, 3);
    ExpectOrderlyExit(program_);
    EXPECT_TRUE(IconShows(TrayState::Empty, kPictureMs)) << "after the exit";
}

}  // namespace
