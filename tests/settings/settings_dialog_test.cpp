/*
 * The settings dialog and the About box in this process: each dialog runs
 * its real modal loop on the test thread (as on the program's main thread)
 * and is driven by messages from a thread timer that loop dispatches. The
 * port behind the dialog is a real one of the test bed's cables.
 */
#include <gtest/gtest.h>

#include <cstdio>

#include "app/app.h"
#include "serial/serial.h"
#include "settings/settings.h"
#include "dialog_layout.h"
#include "support/cable.h"
#include "support/dialogs.h"
#include "support/program.h"
#include "support/target.h"

using testbed::ModalDriver;
using Step = ModalDriver::Step;

namespace {

const char kScan[] = "400638133393\r";   /* twelve digits and a carriage return */
const DWORD kDeliveryTimeoutMs = 3000;

/* ---- Steps ---------------------------------------------------------------- */

Step Click(int id)
{
    return [id](HWND d) { SendMessageA(GetDlgItem(d, id), BM_CLICK, 0, 0); };
}

Step PickSpeed(int index)
{
    return [index](HWND d) {
        HWND combo = GetDlgItem(d, IDC_SPEED);
        SendMessageA(combo, CB_SETCURSEL, (WPARAM)index, 0);
        SendMessageA(d, WM_COMMAND, MAKEWPARAM(IDC_SPEED, CBN_SELCHANGE), (LPARAM)combo);
    };
}

/* Escape as a key press: the modal loop's IsDialogMessage turns it into
   IDCANCEL. */
Step PressEscape()
{
    return [](HWND d) {
        HWND focus = GetFocus();
        if (!focus || (focus != d && !IsChild(d, focus)))
            focus = d;
        PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    };
}

Step PostToDialog(UINT message, WPARAM wParam)
{
    return [message, wParam](HWND d) { PostMessageA(d, message, wParam, 0); };
}

Step PostMenuCommand(WORD command)
{
    return [command](HWND) { PostMessageA(AppState.mainWindow, WM_COMMAND, command, 0); };
}

Step ExpectDialogOpenFlag()
{
    return [](HWND) { EXPECT_EQ(1, AppState.dialogOpen) << "dialogOpen while the dialog shows"; };
}

/* Which port button is checked (0: none), and which list position. */
int CheckedPort(HWND d)
{
    int port = 0;
    int checked = 0;
    for (int id = IDC_COM1; id <= IDC_COM4; id++) {
        if (IsDlgButtonChecked(d, id) == BST_CHECKED) {
            port = id - IDC_COM1 + 1;
            checked++;
        }
    }
    return checked > 1 ? -checked : port;
}

int SelectedSpeed(HWND d)
{
    return (int)SendMessageA(GetDlgItem(d, IDC_SPEED), CB_GETCURSEL, 0, 0);
}

Step ExpectShown(int port, int speed)
{
    return [port, speed](HWND d) {
        EXPECT_EQ(port, CheckedPort(d)) << "checked port button (0: none, negative: several)";
        EXPECT_EQ(speed, SelectedSpeed(d)) << "list selection";
    };
}

/* The worker as it was before an action, held by a handle of our own so
   that we can tell afterwards whether it ended. */
struct ReaderWitness {
    HANDLE thread = nullptr;
    DWORD id = 0;
    void Take()
    {
        Release();
        id = AppState.readerThreadId;
        DuplicateHandle(GetCurrentProcess(), AppState.readerThread, GetCurrentProcess(), &thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
    bool Ended() const { return thread && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }
    void Release()
    {
        if (thread)
            CloseHandle(thread);
        thread = nullptr;
    }
    ~ReaderWitness() { Release(); }
};

bool ReaderAlive()
{
    return AppState.readerThread && WaitForSingleObject(AppState.readerThread, 0) == WAIT_TIMEOUT;
}

DWORD RateOfOpenPort()
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(AppState.portHandle, &dcb) ? dcb.BaudRate : 0;
}

/* Whether two handles name the same kernel object (Windows 10 and Wine
   have CompareObjectHandles; -1 where it is missing). */
int SameObject(HANDLE a, HANDLE b)
{
    typedef BOOL(WINAPI * CompareFn)(HANDLE, HANDLE);
    HMODULE kernelbase = GetModuleHandleA("kernelbase.dll");
    FARPROC proc = kernelbase ? GetProcAddress(kernelbase, "CompareObjectHandles") : nullptr;
    CompareFn compare = reinterpret_cast<CompareFn>(reinterpret_cast<void *>(proc));
    if (!compare)
        return -1;
    return compare(a, b) ? 1 : 0;
}

/* A scan sent down a port's cable reaches a focused window of ours. A
   reader started by OK purges the port first, so the scan waits until the
   reader is known to be reading. */
void ExpectScanTyped(int port)
{
    testbed::TargetWindow target;
    ASSERT_TRUE(target.TakeFocus()) << "the test window could not take the focus";
    testbed::PartnerPort partner(port);
    ASSERT_TRUE(partner.IsOpen()) << testbed::PartnerName(port) << " does not open";
    ASSERT_TRUE(testbed::SyncReader(partner, target)) << "COM" << port;
    ASSERT_TRUE(partner.Write(kScan));
    target.WaitForChars(sizeof kScan - 1, kDeliveryTimeoutMs);
    EXPECT_EQ(kScan, target.Text()) << "characters typed from COM" << port;
}

/* ---- Fixture --------------------------------------------------------------- */

class DialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        AppState.instance = GetModuleHandleA(nullptr);
        RegisterMainWindowClass(AppState.instance);
        AppState.mainWindow = CreateMainWindow(AppState.instance);
        AddTrayIcon(0);
    }

    static void TearDownTestSuite()
    {
        RemoveTrayIcon();
        if (AppState.mainWindow)
            DestroyWindow(AppState.mainWindow);  /* posts a quit message */
        AppState.mainWindow = nullptr;
        DropQuit();
    }

    /* Every test starts on COM2 at 4800 with a reader running. */
    void SetUp() override
    {
        ASSERT_NE(nullptr, AppState.mainWindow) << "the hidden window was not created";
        AppState.portNumber = 2;
        AppState.speedIndex = 5;
        AppState.dialogOpen = 0;
        ASSERT_NE(0, SelectPort(2, 5)) << "COM2 does not open";
        StartReader();
        ASSERT_TRUE(ReaderAlive());
    }

    void TearDown() override
    {
        StopReader();
        ClosePort();
        AppState.portHandle = nullptr;
        AppState.dialogOpen = 0;
        DropQuit();
    }

    /* Removes a quit message left in this thread's queue; returns whether
       there was one, and its code. */
    static bool DropQuit(WPARAM *code = nullptr)
    {
        MSG msg;
        bool found = false;
        while (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
            found = true;
            if (code)
                *code = msg.wParam;
        }
        return found;
    }

    INT_PTR RunSettings(std::vector<Step> steps) { return RunModal(ShowSettingsDialog, std::move(steps), "dialog"); }
    INT_PTR RunAbout(std::vector<Step> steps) { return RunModal(ShowAboutDialog, std::move(steps), "box"); }

    /* Plays the steps against the dialog `show` runs, which must end by
       itself after the last one. */
    INT_PTR RunModal(const std::function<INT_PTR()> &show, std::vector<Step> steps, const char *what)
    {
        size_t count = steps.size();
        INT_PTR result = driver_.Run(show, std::move(steps));
        EXPECT_EQ(count, driver_.stepsRun()) << "the " << what << " ended before every step had run";
        EXPECT_FALSE(driver_.abandoned()) << "the " << what << " did not end by itself";
        EXPECT_EQ(0, AppState.dialogOpen) << "dialogOpen after the " << what;
        return result;
    }

    ModalDriver driver_;
};

/* ---- The templates as compiled --------------------------------------------- */

void ExpectTemplate(const layout::Dialog &d)
{
    testbed::DialogTemplate t;
    std::string why;
    ASSERT_TRUE(testbed::LoadDialogTemplate(d.id, layout::kRussian, &t, &why)) << why;
    EXPECT_EQ(layout::kDialogStyle, t.style) << "style 0x" << std::hex << t.style;
    EXPECT_EQ(0u, t.exStyle) << "extended style 0x" << std::hex << t.exStyle;
    EXPECT_EQ(0, t.x);
    EXPECT_EQ(0, t.y);
    EXPECT_EQ(d.cx, t.cx) << "width in dialog units";
    EXPECT_EQ(d.cy, t.cy) << "height in dialog units";
    EXPECT_TRUE(t.menu.empty()) << "the dialog has no menu";
    EXPECT_TRUE(t.windowClass.empty()) << "the dialog uses the standard dialog class";
    EXPECT_TRUE(t.title == d.caption) << "caption of " << t.title.size() << " UTF-16 units";
    EXPECT_EQ(8, t.pointSize);
    EXPECT_TRUE(t.typeface == L"MS Sans Serif") << "typeface of " << t.typeface.size() << " units";

    ASSERT_EQ(d.count, t.items.size()) << "controls in the template";
    for (size_t i = 0; i < d.count; i++) {
        const layout::Control &c = d.controls[i];
        const testbed::TemplateItem &item = t.items[i];
        SCOPED_TRACE("template control " + std::to_string(i) + " (" + c.className + " " +
                     (c.text1251 ? c.text1251 : "maker's line") + ")");
        EXPECT_EQ(c.id, item.id);
        /* windres writes the predefined classes as upper-case names where
           other compilers write ordinals; both name the same class. */
        EXPECT_EQ(0, lstrcmpiA(c.className, item.className.c_str())) << "class " << item.className;
        if (c.text) {
            EXPECT_TRUE(item.text == c.text) << "text of " << item.text.size() << " UTF-16 units";
        } else {
            EXPECT_FALSE(item.text.empty());
        }
        EXPECT_EQ(c.style, item.style) << "style 0x" << std::hex << item.style << ", expected 0x" << c.style;
        EXPECT_EQ(0u, item.exStyle);
        EXPECT_EQ(c.x, item.x);
        EXPECT_EQ(c.y, item.y);
        if (c.sizeFree) {
            /* Resized to fit its text, but still inside the maker's box. */
            EXPECT_LE(item.x + item.cx, 3 + 142) << "width " << item.cx;
            EXPECT_EQ(c.cy, item.cy);
        } else {
            EXPECT_EQ(c.cx, item.cx);
            EXPECT_EQ(c.cy, item.cy);
        }
        EXPECT_EQ(0, item.extraBytes);
    }
}

TEST(DialogTemplateTest, SettingsTemplateAsCompiled)
{
    ExpectTemplate(layout::kSettings);
}

TEST(DialogTemplateTest, AboutTemplateAsCompiled)
{
    ExpectTemplate(layout::kAbout);
}

/* ---- The dialogs as shown ---------------------------------------------------- */

TEST_F(DialogTest, SettingsAndAboutAsShownReadBackInCodePage1251)
{
    if (GetACP() != 1251)
        GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1251 (run under LANG=ru_RU.UTF-8)";

    INT_PTR result = RunSettings({[](HWND d) { layout::ExpectLiveDialog(d, layout::kSettings); },
                                  Click(IDCANCEL)});
    EXPECT_EQ(IDCANCEL, result);

    result = RunAbout({[](HWND d) { layout::ExpectLiveDialog(d, layout::kAbout); }, Click(IDOK)});
    EXPECT_EQ(IDOK, result);
}

TEST_F(DialogTest, OpensOnTheValuesInForce)
{
    const struct {
        int port, speed;
    } cases[] = {{1, 0}, {2, 5}, {3, 8}, {4, 6}};
    HANDLE open = AppState.portHandle;
    for (const auto &c : cases) {
        SCOPED_TRACE("port " + std::to_string(c.port) + ", speed index " + std::to_string(c.speed));
        AppState.portNumber = c.port;
        AppState.speedIndex = c.speed;
        std::vector<std::string> labels;
        INT_PTR result = RunSettings({ExpectDialogOpenFlag(), ExpectShown(c.port, c.speed),
                                      [&labels](HWND d) { labels = testbed::ComboItems(GetDlgItem(d, IDC_SPEED)); },
                                      Click(IDCANCEL)});
        EXPECT_EQ(IDCANCEL, result);
        ASSERT_EQ(9u, labels.size()) << "speeds listed";
        for (size_t i = 0; i < labels.size(); i++)
            EXPECT_EQ(layout::kSpeedLabels[i], labels[i]) << "list position " << i;
    }
    EXPECT_EQ(open, AppState.portHandle) << "opening and cancelling touched the port";
}

TEST_F(DialogTest, OkWithoutChangeLeavesThePortAndTheReaderAlone)
{
    HANDLE open = AppState.portHandle;
    HANDLE reader = AppState.readerThread;
    DWORD readerId = AppState.readerThreadId;
    INT_PTR result = RunSettings({ExpectShown(2, 5), Click(IDOK)});
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(2, AppState.portNumber);
    EXPECT_EQ(5, AppState.speedIndex);
    EXPECT_EQ(open, AppState.portHandle) << "the port was re-opened";
    EXPECT_EQ(reader, AppState.readerThread) << "the reader was restarted";
    EXPECT_EQ(readerId, AppState.readerThreadId);
    EXPECT_TRUE(ReaderAlive()) << "the reader was stopped";
    EXPECT_EQ(4800u, RateOfOpenPort());
}

TEST_F(DialogTest, OkWithoutChangeDoesNotRetryAFailedPort)
{
    StopReader();
    AppState.portNumber = 4;
    ASSERT_EQ(0, SelectPort(4, 5)) << "COM4 is absent in the test bed";
    StartReader();
    ReaderWitness before;
    before.Take();

    INT_PTR result = RunSettings({ExpectShown(4, 5), Click(IDOK)});
    EXPECT_EQ(IDOK, result);
    EXPECT_FALSE(before.Ended()) << "the reader was restarted: the failed port was retried";
    EXPECT_EQ(before.id, AppState.readerThreadId);
    EXPECT_EQ(INVALID_HANDLE_VALUE, AppState.portHandle);
}

TEST_F(DialogTest, CancelEscapeAndTheCloseBoxDiscardChanges)
{
    const struct {
        const char *name;
        Step end;
    } ways[] = {
        {"Cancel button", Click(IDCANCEL)},
        {"Escape key", PressEscape()},
        {"close box (SC_CLOSE)", PostToDialog(WM_SYSCOMMAND, SC_CLOSE)},
        {"WM_CLOSE", PostToDialog(WM_CLOSE, 0)},
    };
    HANDLE open = AppState.portHandle;
    ReaderWitness reader;
    reader.Take();
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        INT_PTR result = RunSettings({Click(IDC_COM3), PickSpeed(8), ExpectShown(3, 8), way.end});
        EXPECT_EQ(IDCANCEL, result);
        EXPECT_EQ(2, AppState.portNumber);
        EXPECT_EQ(5, AppState.speedIndex);
        EXPECT_EQ(open, AppState.portHandle);
        EXPECT_FALSE(reader.Ended()) << "the reader was stopped";
    }
    /* Nothing of it shows the next time either. */
    RunSettings({ExpectShown(2, 5), Click(IDCANCEL)});
}

TEST_F(DialogTest, ChangingOnlyTheSpeedReopensThePortAtTheNewRate)
{
    HANDLE old = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), AppState.portHandle, GetCurrentProcess(), &old, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    int sameBefore = SameObject(old, AppState.portHandle);
    ReaderWitness reader;
    reader.Take();

    INT_PTR result = RunSettings({PickSpeed(6), Click(IDOK)});
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(2, AppState.portNumber);
    EXPECT_EQ(6, AppState.speedIndex);
    EXPECT_EQ(1, IsPortOpen());
    EXPECT_EQ(9600u, RateOfOpenPort()) << "rate of the re-opened port";
    int same = SameObject(old, AppState.portHandle);
    if (same >= 0) {
        EXPECT_EQ(1, sameBefore) << "a duplicate should name the same port (the comparison is broken)";
        EXPECT_EQ(0, same) << "the port was reconfigured, not closed and opened again";
    } else {
        printf("note: no CompareObjectHandles; the re-open itself is not checked\n");
    }
    CloseHandle(old);
    EXPECT_TRUE(reader.Ended()) << "the old reader still runs";
    EXPECT_NE(reader.id, AppState.readerThreadId) << "no new reader";
    EXPECT_TRUE(ReaderAlive()) << "the reader was not started again";
    EXPECT_EQ(1, LastTrayPortOk()) << "the icon should show the port open";

    ExpectScanTyped(2);
}

TEST_F(DialogTest, ChoosingAbsentCom4ThenAWorkingPortBringsTheBridgeBack)
{
    HANDLE old = AppState.portHandle;
    ReaderWitness reader;
    reader.Take();

    INT_PTR result = RunSettings({Click(IDC_COM4), Click(IDOK)});
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(4, AppState.portNumber) << "a failed port stays the chosen one";
    EXPECT_EQ(5, AppState.speedIndex);
    EXPECT_EQ(0, IsPortOpen());
    EXPECT_EQ(INVALID_HANDLE_VALUE, AppState.portHandle);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    EXPECT_FALSE(GetCommState(old, &dcb)) << "the old COM2 handle was not closed";
    EXPECT_EQ(0, LastTrayPortOk()) << "the icon should show no port";
    EXPECT_TRUE(reader.Ended());
    EXPECT_TRUE(ReaderAlive()) << "the reader should idle, not end";

    result = RunSettings({ExpectShown(4, 5), Click(IDC_COM1), Click(IDOK)});
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(1, AppState.portNumber);
    EXPECT_EQ(1, IsPortOpen());
    EXPECT_EQ(4800u, RateOfOpenPort());
    EXPECT_EQ(1, LastTrayPortOk());
    ExpectScanTyped(1);
}

/* Values only a hand-edited registry brings: nothing is shown chosen in
   that control, and OK keeps the value in force. */
TEST_F(DialogTest, OutOfRangeValuesOpenWithNothingChosenAndOkKeepsThem)
{
    HANDLE open = AppState.portHandle;
    ReaderWitness reader;
    reader.Take();
    for (int port : {0, 5, -1, 0x7FFFFFFF}) {
        SCOPED_TRACE("port number " + std::to_string(port));
        AppState.portNumber = port;
        INT_PTR result = RunSettings({ExpectShown(0, 5), Click(IDOK)});
        EXPECT_EQ(IDOK, result);
        EXPECT_EQ(port, AppState.portNumber);
        EXPECT_EQ(5, AppState.speedIndex);
    }
    AppState.portNumber = 2;
    for (int speed : {9, -1}) {
        SCOPED_TRACE("speed index " + std::to_string(speed));
        AppState.speedIndex = speed;
        INT_PTR result = RunSettings({ExpectShown(2, CB_ERR), Click(IDOK)});
        EXPECT_EQ(IDOK, result);
        EXPECT_EQ(2, AppState.portNumber);
        EXPECT_EQ(speed, AppState.speedIndex);
    }
    EXPECT_EQ(open, AppState.portHandle);
    EXPECT_FALSE(reader.Ended()) << "an unchanged choice restarted the reader";
}

TEST_F(DialogTest, OutOfRangePortWithANewSpeedKeepsTheOldPortReading)
{
    /* The port number in force is refused by the selection, which then
       leaves the open port alone; the restarted reader goes on with it. */
    HANDLE open = AppState.portHandle;
    ReaderWitness reader;
    reader.Take();
    AppState.portNumber = 0;
    INT_PTR result = RunSettings({ExpectShown(0, 5), PickSpeed(6), Click(IDOK)});
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(0, AppState.portNumber);
    EXPECT_EQ(6, AppState.speedIndex);
    EXPECT_EQ(open, AppState.portHandle) << "the old port should stay open";
    EXPECT_EQ(4800u, RateOfOpenPort()) << "the old port should keep its rate";
    EXPECT_EQ(0, LastTrayPortOk());
    EXPECT_TRUE(reader.Ended());
    EXPECT_TRUE(ReaderAlive());
    ExpectScanTyped(2);
}

TEST_F(DialogTest, OutOfRangeSpeedWithANewPortOpensItButFails)
{
    AppState.speedIndex = 9;
    INT_PTR result = RunSettings({ExpectShown(2, CB_ERR), Click(IDC_COM1), Click(IDOK)});
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(1, AppState.portNumber);
    EXPECT_EQ(9, AppState.speedIndex);
    EXPECT_EQ(1, IsPortOpen()) << "the port is opened before the speed is looked up";
    EXPECT_EQ(0, LastTrayPortOk()) << "no rate for index 9: the selection fails";
}

/* ---- One dialog at a time, and "Close" --------------------------------------- */

TEST_F(DialogTest, WhileTheSettingsDialogShowsTheMenuOpensNoOtherDialog)
{
    const DWORD self = GetCurrentThreadId();
    size_t seen = 0;
    INT_PTR result = RunSettings({PostMenuCommand(IDM_SETTINGS), PostMenuCommand(IDM_ABOUT),
                                  [&](HWND) { seen = testbed::DialogsOfThread(self).size(); },
                                  ExpectShown(2, 5), Click(IDCANCEL)});
    EXPECT_EQ(1u, seen) << "dialogs shown after the menu's settings and About commands";
    EXPECT_EQ(IDCANCEL, result);
}

TEST_F(DialogTest, WhileTheAboutBoxShowsTheMenuOpensNoOtherDialog)
{
    const DWORD self = GetCurrentThreadId();
    size_t seen = 0;
    INT_PTR result = RunAbout({PostMenuCommand(IDM_SETTINGS), PostMenuCommand(IDM_ABOUT),
                               [&](HWND) { seen = testbed::DialogsOfThread(self).size(); }, Click(IDOK)});
    EXPECT_EQ(1u, seen) << "dialogs shown after the menu's settings and About commands";
    EXPECT_EQ(IDOK, result);
}

TEST_F(DialogTest, CloseEndsTheSettingsDialogWithoutTakingItsChoice)
{
    HANDLE open = AppState.portHandle;
    ReaderWitness reader;
    reader.Take();
    INT_PTR result = RunSettings({Click(IDC_COM1), PickSpeed(8), ExpectShown(1, 8), PostMenuCommand(IDM_CLOSE)});
    (void)result;  /* what DialogBox answers after a quit is the system's affair */
    EXPECT_EQ(2, AppState.portNumber);
    EXPECT_EQ(5, AppState.speedIndex);
    EXPECT_EQ(open, AppState.portHandle);
    EXPECT_FALSE(reader.Ended());
    WPARAM code = 99;
    EXPECT_TRUE(DropQuit(&code)) << "no quit message was left for the main loop";
    EXPECT_EQ(0u, code) << "quit code";
}

TEST_F(DialogTest, CloseEndsTheAboutBox)
{
    RunAbout({ExpectDialogOpenFlag(), PostMenuCommand(IDM_CLOSE)});
    WPARAM code = 99;
    EXPECT_TRUE(DropQuit(&code)) << "no quit message was left for the main loop";
    EXPECT_EQ(0u, code) << "quit code";
}

TEST_F(DialogTest, AboutBoxEndsAsOkOrCancel)
{
    const struct {
        const char *name;
        Step end;
        INT_PTR expected;
    } ways[] = {
        {"OK button", Click(IDOK), IDOK},
        {"Escape key", PressEscape(), IDCANCEL},
        {"close box (SC_CLOSE)", PostToDialog(WM_SYSCOMMAND, SC_CLOSE), IDCANCEL},
    };
    HANDLE open = AppState.portHandle;
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        INT_PTR result = RunAbout({ExpectDialogOpenFlag(), way.end});
        EXPECT_EQ(way.expected, result);
    }
    EXPECT_EQ(2, AppState.portNumber);
    EXPECT_EQ(5, AppState.speedIndex);
    EXPECT_EQ(open, AppState.portHandle);
}

}  // namespace
