/*
 * The program among others on the desktop: two copies started at once,
 * and a shell that loses its tray icons and announces itself again with
 * "TaskbarCreated". The programs run as processes of their own; the tray
 * is read from the screen.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "resource.h"
#include "support/cable.h"
#include "support/dialogs.h"
#include "support/census.h"
#include "support/program.h"
#include "support/registry.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

using testbed::TrayState;

namespace {

const DWORD kDialogMs = 60000;   /* a dialog's first showing, emulated */
const DWORD kPaintMs = 5000;

/* Polls the tray until it shows `icons` icons; returns the last look. */
testbed::TrayView WaitForIconCount(int icons, DWORD timeoutMs)
{
    testbed::TrayView view;
    testbed::WaitUntil(
        std::to_string(icons) + " icons in the tray",
        [&] {
            view = testbed::ReadTray();
            return view.ok && view.icons == icons;
        },
        timeoutMs);
    return view;
}

/* Waits until the program has handled every message posted to it so far:
   an About box asked for now, by a posted command, shows only after them.
   The box is closed again. */
::testing::AssertionResult WaitForPostedHandled(testbed::TavrinProcess &program)
{
    PostMessageA(program.window(), WM_COMMAND, IDM_ABOUT, 0);
    HWND about = nullptr;
    ::testing::AssertionResult shown = testbed::WaitUntil(
        "the About box asked for after the messages posted before",
        [&] {
            std::vector<HWND> dialogs = testbed::DialogsOfProcess(program.pid());
            about = dialogs.empty() ? nullptr : dialogs.front();
            return about || !program.IsRunning();
        },
        kDialogMs);
    if (!shown || !about)
        return ::testing::AssertionFailure() << (program.IsRunning() ? shown.message() : "the program ended");
    PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    if (!testbed::WaitForWindowHidden(about, kDialogMs))
        return ::testing::AssertionFailure() << "the About box did not close";
    return ::testing::AssertionSuccess();
}

TEST(TwoCopies, BothRunAndCloseLeavesTheOther)
{
    testbed::DeleteSettingsKey();
    testbed::SetSettingDword("Port", 1);
    testbed::SetSettingDword("Baud", testbed::kSpeed38400);
    testbed::TavrinProcess first, second;
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(first.WaitForReady()) << "the first copy";
    ASSERT_TRUE(second.WaitForReady()) << "the second copy";
    ASSERT_NE(first.window(), second.window());

    testbed::TrayView view = WaitForIconCount(2, 5000);
    EXPECT_EQ(2, view.icons) << "two copies, tray shows " << view.Describe();
    EXPECT_EQ(0, view.yellow) << "an icon shows active with nothing arriving";
    ASSERT_TRUE(first.IsRunning());
    ASSERT_TRUE(second.IsRunning());
    EXPECT_TRUE(testbed::Responds(first.window(), 5000));
    EXPECT_TRUE(testbed::Responds(second.window(), 5000));

    DWORD code = 99;
    ASSERT_TRUE(testbed::CloseProgram(first.window(), first.process(), 5000, &code)) << "the first copy did not end";
    EXPECT_EQ(0u, code);
    /* Whatever the first copy posted to the other on its way out has been
       handled once the other shows a box asked for after it. */
    EXPECT_TRUE(WaitForPostedHandled(second)) << "the second copy";
    ASSERT_TRUE(second.IsRunning()) << "closing one copy ended the other";
    EXPECT_TRUE(testbed::Responds(second.window(), 5000));
    view = WaitForIconCount(1, 5000);
    EXPECT_EQ(1, view.icons) << "after one copy closed, tray shows " << view.Describe();

    /* The copy left (here both could open COM1: Wine does not hold a port
       exclusively) now gets every byte. */
    testbed::PartnerPort partner(1);
    testbed::TargetWindow target;
    ASSERT_TRUE(testbed::SyncReader(partner, target)) << "the remaining copy delivers nothing";
    std::string scan = testbed::ScanText(8, 0x2C0);
    ASSERT_TRUE(testbed::SendAndSettle(partner, target, scan, 200));
    EXPECT_EQ(scan, target.Text());

    ASSERT_TRUE(testbed::CloseProgram(second.window(), second.process(), 5000, &code));
    EXPECT_EQ(0u, code);
    view = WaitForIconCount(0, 5000);
    EXPECT_TRUE(view.Empty()) << "after both closed, tray shows " << view.Describe();
}

/* What the shell does when it loses its icons (Explorer restarting): the
   icon goes, and "TaskbarCreated" is broadcast to every top-level window. */
void LoseTrayIcon(HWND window)
{
    NOTIFYICONDATAA record = {};
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = window;
    record.uID = 0;
    Shell_NotifyIconA(NIM_DELETE, &record);
}

void AnnounceTaskbar()
{
    SendNotifyMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
}

TEST(TaskbarCreated, IconComesBackWithTheCurrentState)
{
    testbed::DeleteSettingsKey();
    testbed::SetSettingDword("Port", 4); /* absent: no-port */
    testbed::SetSettingDword("Baud", testbed::kSpeed38400);
    testbed::TavrinProcess program;
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.WaitForReady());
    testbed::TrayView view;
    bool reached = testbed::WaitForTray(TrayState::NoPort, 5000, &view);
    ASSERT_TRUE(reached) << "tray shows " << view.Describe();

    LoseTrayIcon(program.window());
    reached = testbed::WaitForTray(TrayState::Empty, 5000, &view);
    ASSERT_TRUE(reached) << "the icon could not be taken away: " << view.Describe();
    AnnounceTaskbar();
    reached = testbed::WaitForTray(TrayState::NoPort, 5000, &view);
    EXPECT_TRUE(reached) << "after TaskbarCreated the tray shows " << view.Describe();

    /* The state changes while the icon is lost: it comes back as it is
       now, not as it was when it went. */
    ASSERT_TRUE(testbed::ChangeSettings(program.window(), program.pid(), 1, testbed::kSpeed38400, 10000));
    reached = testbed::WaitForTray(TrayState::Ready, 5000, &view);
    EXPECT_TRUE(reached) << "on COM1 the tray shows " << view.Describe();
    LoseTrayIcon(program.window());
    reached = testbed::WaitForTray(TrayState::Empty, 5000, &view);
    ASSERT_TRUE(reached) << view.Describe();
    ASSERT_TRUE(testbed::ChangeSettings(program.window(), program.pid(), 4, testbed::kSpeed38400, 10000));
    /* The change updated the icon before the dialog closed (the shell
       answers each update before the program goes on); what the shell
       made of it is on the screen once the taskbar is painted. */
    EXPECT_TRUE(testbed::WaitForPainted(testbed::FindTaskbar(), kPaintMs));
    EXPECT_TRUE(testbed::ReadTray().Empty()) << "the icon came back before the shell asked for it";
    AnnounceTaskbar();
    reached = testbed::WaitForTray(TrayState::NoPort, 5000, &view);
    EXPECT_TRUE(reached) << "after TaskbarCreated on COM4 the tray shows " << view.Describe();

    /* And it is the program's working icon again: a change updates it. */
    ASSERT_TRUE(testbed::ChangeSettings(program.window(), program.pid(), 2, testbed::kSpeed38400, 10000));
    reached = testbed::WaitForTray(TrayState::Ready, 5000, &view);
    EXPECT_TRUE(reached) << "on COM2 the tray shows " << view.Describe();
    LoseTrayIcon(program.window());
    AnnounceTaskbar();
    reached = testbed::WaitForTray(TrayState::Ready, 5000, &view);
    EXPECT_TRUE(reached) << "after TaskbarCreated on COM2 the tray shows " << view.Describe();

    DWORD code = 99;
    ASSERT_TRUE(testbed::CloseProgram(program.window(), program.process(), 5000, &code));
    EXPECT_EQ(0u, code);
    reached = testbed::WaitForTray(TrayState::Empty, 5000, &view);
    EXPECT_TRUE(reached) << "after Close the tray shows " << view.Describe();
}

}  // namespace
