/*
 * The program among others on the desktop: two copies started at once,
 * and a shell that loses its tray icons and announces itself again with
 * "TaskbarCreated". The tray is read from the screen.
 */
#include <gtest/gtest.h>

#include <string>

#include "resource.h"
#include "support/dialogs.h"
#include "support/census.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/timing.h"

using testbed::IconShows;
using testbed::TrayState;

namespace {

const DWORD kDialogMs = 60000;   /* a dialog's first showing, emulated */

/* Polls the tray until it shows `icons` icons; a failure says what it shows. */
::testing::AssertionResult IconCount(int icons)
{
    testbed::TrayView view;
    if (testbed::WaitUntil(std::to_string(icons) + " icons in the tray",
                           [&] { return (view = testbed::ReadTray()).ok && view.icons == icons; }, 5000))
        return ::testing::AssertionSuccess() << view.Describe();
    return ::testing::AssertionFailure() << "expected " << icons << " icons, the tray shows " << view.Describe();
}

/* Waits until the program has handled every message posted to it so far
   (an About box asked for now by a posted command shows after them), and closes the box. */
::testing::AssertionResult WaitForPostedHandled(testbed::TavrinProcess &program)
{
    PostMessageA(program.window(), WM_COMMAND, IDM_ABOUT, 0);
    HWND about = testbed::WaitForDialog(program.pid(), kDialogMs);
    if (!about)
        return ::testing::AssertionFailure() << (program.IsRunning() ? "no About box within the bound"
                                                                     : "the program ended");
    PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    if (!testbed::WaitForWindowHidden(about, kDialogMs))
        return ::testing::AssertionFailure() << "the About box did not close";
    return ::testing::AssertionSuccess();
}

class TwoCopies : public testbed::ProgramTest {};

TEST_F(TwoCopies, BothRunAndCloseLeavesTheOther)
{
    testbed::StoreSettings(1, testbed::kSpeed38400);
    /* Both are started before either is waited for (StartTavrin would
       wait for each in turn), so that their start-ups overlap. */
    testbed::TavrinProcess &first = program_;
    testbed::TavrinProcess second;
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(first.WaitForReady()) << "the first copy";
    ASSERT_TRUE(second.WaitForReady()) << "the second copy";
    ASSERT_NE(first.window(), second.window());

    EXPECT_TRUE(IconCount(2)) << "two copies";
    EXPECT_EQ(0, testbed::ReadTray().yellow) << "an icon shows active with nothing arriving";
    ASSERT_TRUE(first.IsRunning());
    ASSERT_TRUE(second.IsRunning());
    EXPECT_TRUE(testbed::Responds(first.window(), 5000));
    EXPECT_TRUE(testbed::Responds(second.window(), 5000));

    ASSERT_NO_FATAL_FAILURE(CloseInOrder(first)) << "the first copy";
    /* Whatever the first copy posted to the other on its way out has been
       handled once the other shows a box asked for after it. */
    EXPECT_TRUE(WaitForPostedHandled(second)) << "the second copy";
    ASSERT_TRUE(second.IsRunning()) << "closing one copy ended the other";
    EXPECT_TRUE(testbed::Responds(second.window(), 5000));
    EXPECT_TRUE(IconCount(1)) << "after one copy closed";

    /* The copy left (here both could open COM1: Wine does not hold a port
       exclusively) now gets every byte. */
    EXPECT_TRUE(testbed::ScanArrives(1, testbed::ScanText(8, 0x2C0))) << "the remaining copy";

    CloseInOrder(second);
    EXPECT_TRUE(IconCount(0)) << "after both closed";
}

using TaskbarCreated = testbed::ProgramTest;

TEST_F(TaskbarCreated, IconComesBackWithTheCurrentState)
{
    /* COM4 is absent: no-port. */
    ASSERT_TRUE(testbed::StartTavrin(program_, 4, testbed::kSpeed38400, TrayState::NoPort));

    ASSERT_TRUE(testbed::DropTrayIcon(program_.window()));
    ASSERT_TRUE(IconShows(TrayState::Empty)) << "the icon could not be taken away";
    testbed::AnnounceTaskbar();
    EXPECT_TRUE(IconShows(TrayState::NoPort)) << "after TaskbarCreated";

    /* The state changes while the icon is lost: it comes back as it is
       now, not as it was when it went. */
    ASSERT_TRUE(testbed::ChangeSettings(program_.window(), program_.pid(), 1, testbed::kSpeed38400, 10000));
    EXPECT_TRUE(IconShows(TrayState::Ready)) << "on COM1";
    testbed::DropTrayIcon(program_.window());
    ASSERT_TRUE(IconShows(TrayState::Empty));
    /* The change's update finds the icon gone and adds it again, without
       waiting for the shell to ask; a TaskbarCreated after that finds it
       there and adds no second one. */
    ASSERT_TRUE(testbed::ChangeSettings(program_.window(), program_.pid(), 4, testbed::kSpeed38400, 10000));
    EXPECT_TRUE(IconShows(TrayState::NoPort)) << "the update did not add the lost icon again";
    testbed::AnnounceTaskbar();
    EXPECT_TRUE(WaitForPostedHandled(program_));
    EXPECT_TRUE(IconShows(TrayState::NoPort)) << "after TaskbarCreated on COM4";
    EXPECT_TRUE(IconCount(1)) << "after TaskbarCreated with the icon there";

    /* And it is the program's working icon again: a change updates it. */
    ASSERT_TRUE(testbed::ChangeSettings(program_.window(), program_.pid(), 2, testbed::kSpeed38400, 10000));
    EXPECT_TRUE(IconShows(TrayState::Ready)) << "on COM2";
    testbed::DropTrayIcon(program_.window());
    testbed::AnnounceTaskbar();
    EXPECT_TRUE(IconShows(TrayState::Ready)) << "after TaskbarCreated on COM2";

    CloseInOrder(program_);
    EXPECT_TRUE(IconShows(TrayState::Empty)) << "after Close";
}

}  // namespace
