/*
 * The settings dialog and the About box of the program, driven from this
 * process. Pictures of both are left in the build's screenshots folder.
 */
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "resource.h"
#include "dialog_layout.h"
#include "support/cable.h"
#include "support/dialogs.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/screen.h"
#include "support/streams.h"

namespace {

const DWORD kDialogTimeoutMs = 5000;
const DWORD kPaintTimeoutMs = 10000;   /* a dialog brought to the front, repainted */

bool WaitForWindowGone(HWND window, DWORD timeoutMs)
{
    return static_cast<bool>(testbed::WaitUntil("the window to go", [window] { return !IsWindow(window); }, timeoutMs));
}

class SettingsEndToEndTest : public testbed::ProgramTest {
protected:
    /* Chooses a menu command and waits for the dialog it opens. */
    HWND OpenDialog(testbed::TavrinProcess &program, WORD command)
    {
        PostMessageA(program.window(), WM_COMMAND, command, 0);
        return testbed::WaitForDialog(program.pid(), kDialogTimeoutMs);
    }

    static void Click(HWND dialog, int id)
    {
        DWORD_PTR answer = 0;
        /* OK stops the reader before the dialog ends: up to a second. */
        EXPECT_NE(0, SendMessageTimeoutA(GetDlgItem(dialog, id), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &answer))
            << "BM_CLICK on " << id << " was not answered";
    }

    /* Checks COM`port` (1..4) and list position `speed`; expects both shown. */
    static void Pick(HWND dialog, int port, int speed)
    {
        Click(dialog, IDC_COM1 + port - 1);
        SendMessageA(GetDlgItem(dialog, IDC_SPEED), CB_SETCURSEL, speed, 0);
        testbed::ExpectDialogShows(dialog, port, speed);
    }

    static void ClickOk(HWND dialog)
    {
        Click(dialog, IDOK);
        ASSERT_TRUE(WaitForWindowGone(dialog, kDialogTimeoutMs)) << "OK did not end the dialog";
    }

    /* Starts the program (stored: COM3, index 3), chooses COM1 at index 6. */
    void StartAndChooseCom1At6(testbed::TavrinProcess &program)
    {
        ASSERT_TRUE(testbed::StartTavrin(program));
        HWND dialog = OpenDialog(program, IDM_SETTINGS);
        ASSERT_NE(nullptr, dialog) << "the settings dialog did not open";
        testbed::ExpectDialogShows(dialog, 3, 3);
        Pick(dialog, 1, 6);
        ClickOk(dialog);
    }

    /* Saves the dialog's screen area, once painted, as a 24-bit BMP; its
       colours, counted up to 64, show a blank capture. */
    static void Screenshot(HWND dialog, const char *name)
    {
        SetForegroundWindow(dialog);
        RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        EXPECT_TRUE(testbed::WaitForPainted(dialog, kPaintTimeoutMs));
        std::string path = testbed::ScreenshotDir() + name;
        RECT rect;
        testbed::Capture capture;
        if (GetWindowRect(dialog, &rect))
            capture = testbed::CaptureScreen(rect);
        std::set<DWORD> colours;
        for (size_t i = 0; i < capture.pixels.size() && colours.size() < 64; i++)
            colours.insert(capture.pixels[i]);
        EXPECT_TRUE(!capture.pixels.empty() && capture.SaveBmp(path)) << "could not write " << path;
        EXPECT_GE((int)colours.size(), 3) << "the picture of the dialog looks blank";
    }
};

TEST_F(SettingsEndToEndTest, ChoiceMadeInTheDialogTakesEffectAndIsSavedOnClose)
{
    ASSERT_TRUE(testbed::StartTavrin(program_));
    HWND dialog = OpenDialog(program_, IDM_SETTINGS);
    ASSERT_NE(nullptr, dialog) << "the settings dialog did not open";

    layout::ExpectLiveDialog(dialog, layout::kSettings);
    EXPECT_EQ(layout::kSpeedLabels, testbed::ComboItems(GetDlgItem(dialog, IDC_SPEED))) << "speeds listed";
    testbed::ExpectDialogShows(dialog, 2, 5);
    Screenshot(dialog, "settings-dialog.bmp");

    Pick(dialog, 1, 6);
    ASSERT_NO_FATAL_FAILURE(ClickOk(dialog));

    EXPECT_EQ(9600u, testbed::LineRate(1)) << "COM1's line rate";
    /* The restarted reader purges the port first: ScanArrives waits until
       it is known to be reading. */
    EXPECT_TRUE(testbed::ScanArrives(1, testbed::DigitScan(1))) << "after the change";
    EXPECT_TRUE(testbed::NothingArrives(2, testbed::DigitScan(1))) << "COM2 is still read after the change";

    CloseInOrder(program_);
    testbed::ExpectStored(1, 6);
}

TEST_F(SettingsEndToEndTest, CloseWhileTheDialogShowsEndsTheProgramWithoutItsChoice)
{
    ASSERT_TRUE(testbed::StartTavrin(program_));
    HWND dialog = OpenDialog(program_, IDM_SETTINGS);
    ASSERT_NE(nullptr, dialog) << "the settings dialog did not open";
    Pick(dialog, 3, 8);

    CloseInOrder(program_);
    testbed::ExpectStored(2, 5);
}

/* A choice survives only an orderly end, or the end of the session. */
TEST_F(SettingsEndToEndTest, EndOfSessionSavesTheChoiceOfThatRunAndAKillDoesNot)
{
    testbed::StoreSettings(3, 3);
    {
        testbed::TavrinProcess program;
        ASSERT_NO_FATAL_FAILURE(StartAndChooseCom1At6(program));
        program.Kill();
        ASSERT_FALSE(program.IsRunning());
        testbed::ExpectStored(3, 3);
    }
    {
        testbed::TavrinProcess program;
        ASSERT_NO_FATAL_FAILURE(StartAndChooseCom1At6(program));

        DWORD_PTR answer = 0;
        ASSERT_NE(0, SendMessageTimeoutA(program.window(), WM_ENDSESSION, FALSE, 0, SMTO_NORMAL, 5000, &answer));
        testbed::ExpectStored(3, 3);  /* the session goes on: nothing to save yet */
        ASSERT_NE(0, SendMessageTimeoutA(program.window(), WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 5000, &answer));
        testbed::ExpectStored(1, 6);
        program.Kill();
        ASSERT_FALSE(program.IsRunning());
        testbed::ExpectStored(1, 6);
    }
}

TEST_F(SettingsEndToEndTest, AboutBoxShowsItsTextsAndEndsEachWay)
{
    const struct {
        const char *name;
        void (*end)(HWND);
    } ways[] = {
        {"OK button", [](HWND d) { Click(d, IDOK); }},
        {"Escape key",
         [](HWND d) {
             PostMessageA(GetDlgItem(d, IDOK), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
             PostMessageA(GetDlgItem(d, IDOK), WM_KEYUP, VK_ESCAPE, 0xC0010001);
         }},
        {"close box", [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    ASSERT_TRUE(testbed::StartTavrin(program_));
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        HWND about = OpenDialog(program_, IDM_ABOUT);
        ASSERT_NE(nullptr, about) << "the About box did not open";
        if (&way == &ways[0]) {
            layout::ExpectLiveDialog(about, layout::kAbout);
            Screenshot(about, "about-dialog.bmp");
        }
        way.end(about);
        EXPECT_TRUE(WaitForWindowGone(about, kDialogTimeoutMs)) << "the box did not end";
        EXPECT_TRUE(program_.IsRunning()) << "the program ended with the box";
        EXPECT_TRUE(IsWindow(program_.window()));
    }

    CloseInOrder(program_);
}

}  // namespace
