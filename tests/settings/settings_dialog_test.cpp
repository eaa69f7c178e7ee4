/*
 * The settings dialog and the About box in this process, each in its real
 * modal loop on the test thread (as on the main thread) under a ModalDriver;
 * the port behind the dialog is a real one of the test bed's cables.
 */
#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "serial/serial.h"
#include "settings/settings.h"
#include "dialog_layout.h"
#include "support/dialogs.h"
#include "support/host.h"
#include "support/program.h"
#include "support/streams.h"

using Step = testbed::ModalDriver::Step;

namespace {

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

/* Escape as a key press, which the loop's IsDialogMessage makes IDCANCEL. */
const Step kPressEscape = [](HWND d) {
    PostMessageA(GetDlgItem(d, IDOK), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(GetDlgItem(d, IDOK), WM_KEYUP, VK_ESCAPE, 0xC0010001);
};

Step PostToDialog(UINT message, WPARAM wParam)
{
    return [message, wParam](HWND d) { PostMessageA(d, message, wParam, 0); };
}

/* A way to end a dialog: the button given, then Escape and the close
   box, which end either dialog as its Cancel would. */
struct Way {
    const char *name;
    Step end;
};
std::vector<Way> WaysOut(const Way &button)
{
    return {button, {"Escape key", kPressEscape}, {"close box (SC_CLOSE)", PostToDialog(WM_SYSCOMMAND, SC_CLOSE)}};
}

Step PostMenuCommand(WORD command)
{
    return [command](HWND) { PostMessageA(AppState.mainWindow, WM_COMMAND, command, 0); };
}

const Step kExpectOneDialog = [](HWND) {
    EXPECT_EQ(1u, testbed::DialogsOfThread(GetCurrentThreadId()).size()) << "dialogs shown";
};

const Step kExpectDialogOpenFlag = [](HWND) {
    EXPECT_EQ(1, AppState.dialogOpen) << "dialogOpen while the dialog shows";
};

const Step kExpectSpeedsListed = [](HWND d) {
    EXPECT_EQ(layout::kSpeedLabels, testbed::ComboItems(GetDlgItem(d, IDC_SPEED))) << "speeds listed";
};

Step ExpectShown(int port, int speed)
{
    return [port, speed](HWND d) { testbed::ExpectDialogShows(d, port, speed); };
}

/* The port and reader in force before an action, held by handles of our
   own, to tell afterwards whether the program closed that port (whatever
   handle value a new one got) and whether that reader ended. */
struct Before {
    HANDLE port = nullptr, reader = nullptr;
    DWORD readerId = AppState.readerThreadId;
    Before()
    {
        if (IsPortOpen())
            DuplicateHandle(GetCurrentProcess(), AppState.portHandle, GetCurrentProcess(), &port, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
        DuplicateHandle(GetCurrentProcess(), AppState.readerThread, GetCurrentProcess(), &reader, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
    ~Before()
    {
        for (HANDLE h : {port, reader})
            if (h)
                CloseHandle(h);
    }
    bool ReaderEnded() const { return reader && WaitForSingleObject(reader, 0) == WAIT_OBJECT_0; }
    /* Handles naming the port: 1 (ours) once the program closed its own, 2
       while it keeps it; 0 where the system does not say. */
    ULONG PortHandles() const
    {
        PUBLIC_OBJECT_BASIC_INFORMATION info = {};
        return NtQueryObject(port, ObjectBasicInformation, &info, sizeof info, nullptr) >= 0 ? info.HandleCount : 0;
    }
};

std::pair<int, int> InForce()
{
    return {AppState.portNumber, AppState.speedIndex};
}

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

/* Every case starts with the program's hidden window, its icon, and COM2
   open at 4800 (the speed index in force) with a reader running. */
class DialogTest : public testbed::HostedWindowTest {
protected:
    void SetUp() override
    {
        HostedWindowTest::SetUp();
        if (HasFatalFailure())
            return;
        AddTrayIcon(0);
        ASSERT_EQ(std::make_pair(2, 5), InForce());
        ASSERT_NE(0, SelectPort(2, 5)) << "COM2 does not open";
        StartReader();
        ASSERT_TRUE(ReaderAlive());
    }

    /* Close leaves the main loop a quit message, code 0. */
    static void ExpectQuitLeft()
    {
        MSG msg;
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "no quit message for the main loop";
        EXPECT_EQ(0u, msg.wParam) << "quit code";
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

    testbed::ModalDriver driver_;
};

/* ---- The templates as compiled --------------------------------------------- */

/* A dialog template: the fixed part of each record as the system declares
   it, then what follows it. */
struct TemplateItem : DLGITEMTEMPLATE {
    std::string className;   /* predefined classes by name: "Button", ... */
    std::wstring text;
    WORD extraBytes = 0;
};

struct DialogTemplate : DLGTEMPLATE {
    std::wstring menu;       /* empty: none */
    std::wstring windowClass;
    std::wstring title;
    WORD pointSize = 0;
    std::wstring typeface;
    std::vector<TemplateItem> items;
};

/* A cursor over the template's bytes; every read is bounds-checked. */
class TemplateReader {
public:
    TemplateReader(const BYTE *data, size_t size) : data_(data), size_(size) {}
    bool ok() const { return ok_; }

    template <typename T> T Get()
    {
        T value = T();
        if (Skip(sizeof value))
            memcpy(&value, data_ + pos_ - sizeof value, sizeof value);
        return value;
    }
    WORD Word() { return Get<WORD>(); }
    std::wstring String()
    {
        std::wstring s;
        for (WORD w = Word(); ok_ && w != 0; w = Word())
            s.push_back((wchar_t)w);
        return s;
    }
    /* A name-or-ordinal field: empty, a string, or an ordinal (0xFFFF, n)
       read as "#n", with n in `ordinal` if given (0 for the others). */
    std::wstring NameOrOrdinal(WORD *ordinal = nullptr)
    {
        WORD first = Word();
        WORD n = first == 0xFFFF ? Word() : 0;
        if (ordinal)
            *ordinal = n;
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(n);
        if (first == 0)
            return std::wstring();
        pos_ -= 2;
        return String();
    }
    void AlignDword() { pos_ = (pos_ + 3) & ~(size_t)3; }
    /* Moves past `n` bytes; false (and no longer ok) if they run short. */
    bool Skip(size_t n)
    {
        if (pos_ + n > size_)
            return ok_ = false;
        pos_ += n;
        return true;
    }

private:
    const BYTE *data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

/* A class name of a template: a predefined class's atom by its name, a
   string in ASCII ('?' for anything else). */
std::string ItemClass(WORD atom, const std::wstring &name)
{
    static const char *const kNames[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};
    if (atom)
        return atom >= 0x80 && atom <= 0x85 ? kNames[atom - 0x80] : "#" + std::to_string(atom);
    std::string s;
    for (wchar_t c : name)
        s.push_back(c < 0x80 ? (char)c : '?');
    return s;
}

/* Finds RT_DIALOG `id` for `language` in this module and parses it; false
   (with a reason) when there is none, the data runs short or it is an
   extended template (DLGTEMPLATEEX). */
bool LoadDialogTemplate(WORD id, WORD language, DialogTemplate *out, std::string *why)
{
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceExA(module, (LPCSTR)RT_DIALOG, MAKEINTRESOURCEA(id), language);
    if (!found) {
        *why = "no RT_DIALOG " + std::to_string(id) + " for language " + std::to_string(language) +
               ", error " + std::to_string(GetLastError());
        return false;
    }
    HGLOBAL loaded = LoadResource(module, found);
    const BYTE *data = loaded ? static_cast<const BYTE *>(LockResource(loaded)) : nullptr;
    if (!data) {
        *why = "the resource does not load";
        return false;
    }
    const size_t size = SizeofResource(module, found);
    TemplateReader r(data, size);
    *out = DialogTemplate();
    if (size >= 4 && data[0] == 1 && data[1] == 0 && data[2] == 0xFF && data[3] == 0xFF) {
        *why = "an extended template (DLGTEMPLATEEX)";
        return false;
    }
    static_cast<DLGTEMPLATE &>(*out) = r.Get<DLGTEMPLATE>();
    out->menu = r.NameOrOrdinal();
    out->windowClass = r.NameOrOrdinal();
    out->title = r.String();
    if (out->style & DS_SETFONT) {
        out->pointSize = r.Word();
        out->typeface = r.String();
    }
    for (WORD i = 0; i < out->cdit && r.ok(); i++) {
        r.AlignDword();
        TemplateItem item;
        static_cast<DLGITEMTEMPLATE &>(item) = r.Get<DLGITEMTEMPLATE>();
        WORD atom;
        std::wstring name = r.NameOrOrdinal(&atom);
        item.className = ItemClass(atom, name);
        item.text = r.NameOrOrdinal();
        item.extraBytes = r.Word();
        r.Skip(item.extraBytes);
        out->items.push_back(item);
    }
    if (!r.ok())
        *why = "the template ends early (" + std::to_string(size) + " bytes, item " +
               std::to_string(out->items.size()) + ")";
    return r.ok();
}

void ExpectTemplate(const layout::Dialog &d)
{
    DialogTemplate t;
    std::string why;
    ASSERT_TRUE(LoadDialogTemplate(d.id, layout::kRussian, &t, &why)) << why;
    EXPECT_EQ(layout::kDialogStyle, t.style) << "style 0x" << std::hex << t.style;
    EXPECT_EQ(0u, t.dwExtendedStyle) << "extended style 0x" << std::hex << t.dwExtendedStyle;
    EXPECT_EQ(0, t.x);
    EXPECT_EQ(0, t.y);
    EXPECT_EQ(d.cx, t.cx) << "width in dialog units";
    EXPECT_EQ(d.cy, t.cy) << "height in dialog units";
    EXPECT_TRUE(t.menu.empty()) << "the dialog has no menu";
    EXPECT_TRUE(t.windowClass.empty()) << "the dialog uses the standard dialog class";
    EXPECT_EQ(testbed::Utf16(d.caption), testbed::Utf16(t.title)) << "caption";
    EXPECT_EQ(8, t.pointSize);
    EXPECT_EQ(testbed::Utf16(L"MS Sans Serif"), testbed::Utf16(t.typeface)) << "typeface";

    ASSERT_EQ(d.controls.size(), t.items.size()) << "controls in the template";
    for (size_t i = 0; i < t.items.size(); i++) {
        const layout::Control &c = d.controls[i];
        const TemplateItem &item = t.items[i];
        SCOPED_TRACE(layout::Describe("template control", i, c));
        EXPECT_EQ(c.id, item.id);
        /* windres writes the predefined classes as upper-case names where
           other compilers write ordinals; both name the same class. */
        EXPECT_EQ(0, lstrcmpiA(c.className, item.className.c_str())) << "class " << item.className;
        if (c.text) {
            EXPECT_EQ(testbed::Utf16(c.text), testbed::Utf16(item.text)) << "text";
        } else {
            EXPECT_FALSE(item.text.empty());
        }
        EXPECT_EQ(c.style, item.style) << "style 0x" << std::hex << item.style << ", expected 0x" << c.style;
        EXPECT_EQ(0u, item.dwExtendedStyle);
        EXPECT_EQ(c.x, item.x);
        EXPECT_EQ(c.y, item.y);
        EXPECT_EQ(c.cy, item.cy);
        if (c.sizeFree) {
            /* Resized to fit its text, but still inside the maker's box. */
            EXPECT_LE(item.x + item.cx, 3 + 142) << "width " << item.cx;
        } else {
            EXPECT_EQ(c.cx, item.cx);
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

/* Run under 1251 and, by ctest's cp1252. entry, under 1252, where texts
   that pass through the ANSI code page turn into question marks. */
TEST_F(DialogTest, SettingsAndAboutShowTheirTextsInTheRunsCodePage)
{
    ASSERT_EQ("", testbed::WrongCodePage());

    EXPECT_EQ(IDCANCEL, RunSettings({[](HWND d) { layout::ExpectLiveDialog(d, layout::kSettings); }, Click(IDCANCEL)}));

    EXPECT_EQ(IDOK, RunAbout({[](HWND d) { layout::ExpectLiveDialog(d, layout::kAbout); }, Click(IDOK)}));
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
        EXPECT_EQ(IDCANCEL, RunSettings({kExpectDialogOpenFlag, ExpectShown(c.port, c.speed), kExpectSpeedsListed,
                                         Click(IDCANCEL)}));
    }
    EXPECT_EQ(open, AppState.portHandle) << "opening and cancelling touched the port";
}

TEST_F(DialogTest, OkWithoutChangeLeavesThePortAndTheReaderAlone)
{
    Before before;
    ASSERT_EQ(2u, before.PortHandles()) << "the program's handle and ours (0: not known)";
    EXPECT_EQ(IDOK, RunSettings({ExpectShown(2, 5), Click(IDOK)}));
    EXPECT_EQ(std::make_pair(2, 5), InForce());
    EXPECT_EQ(2u, before.PortHandles()) << "the port was re-opened";
    EXPECT_FALSE(before.ReaderEnded()) << "the reader was restarted";
    EXPECT_EQ(before.readerId, AppState.readerThreadId);
    EXPECT_TRUE(ReaderAlive()) << "the reader was stopped";
    EXPECT_EQ(4800u, RateOfOpenPort());
}

TEST_F(DialogTest, OkWithoutChangeDoesNotRetryAFailedPort)
{
    StopReader();
    AppState.portNumber = 4;
    ASSERT_EQ(0, SelectPort(4, 5)) << "COM4 is absent in the test bed";
    StartReader();
    Before before;

    EXPECT_EQ(IDOK, RunSettings({ExpectShown(4, 5), Click(IDOK)}));
    EXPECT_FALSE(before.ReaderEnded()) << "the reader was restarted: the failed port was retried";
    EXPECT_EQ(before.readerId, AppState.readerThreadId);
    EXPECT_EQ(INVALID_HANDLE_VALUE, AppState.portHandle);
}

TEST_F(DialogTest, CancelEscapeAndTheCloseBoxDiscardChanges)
{
    std::vector<Way> ways = WaysOut({"Cancel button", Click(IDCANCEL)});
    ways.push_back({"WM_CLOSE", PostToDialog(WM_CLOSE, 0)});
    HANDLE open = AppState.portHandle;
    Before before;
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        EXPECT_EQ(IDCANCEL, RunSettings({Click(IDC_COM3), PickSpeed(8), ExpectShown(3, 8), way.end}));
        EXPECT_EQ(std::make_pair(2, 5), InForce());
        EXPECT_EQ(open, AppState.portHandle);
        EXPECT_FALSE(before.ReaderEnded()) << "the reader was stopped";
    }
    /* Nothing of it shows the next time either. */
    RunSettings({ExpectShown(2, 5), Click(IDCANCEL)});
}

TEST_F(DialogTest, ChangingOnlyTheSpeedReopensThePortAtTheNewRate)
{
    Before before;
    ASSERT_EQ(2u, before.PortHandles()) << "the program's handle and ours (0: not known)";

    EXPECT_EQ(IDOK, RunSettings({PickSpeed(6), Click(IDOK)}));
    EXPECT_EQ(std::make_pair(2, 6), InForce());
    EXPECT_EQ(1, IsPortOpen());
    EXPECT_EQ(9600u, RateOfOpenPort()) << "rate of the re-opened port";
    EXPECT_EQ(1u, before.PortHandles()) << "the port was reconfigured, not closed and opened again";
    EXPECT_TRUE(before.ReaderEnded()) << "the old reader still runs";
    EXPECT_NE(before.readerId, AppState.readerThreadId) << "no new reader";
    EXPECT_TRUE(ReaderAlive()) << "the reader was not started again";
    EXPECT_EQ(1, LastTrayPortOk()) << "the icon should show the port open";

    EXPECT_TRUE(testbed::ScanArrives(2, testbed::DigitScan(1)));
}

TEST_F(DialogTest, ChoosingAbsentCom4ThenAWorkingPortBringsTheBridgeBack)
{
    Before before;

    EXPECT_EQ(IDOK, RunSettings({Click(IDC_COM4), Click(IDOK)}));
    EXPECT_EQ(std::make_pair(4, 5), InForce()) << "a failed port stays the chosen one";
    EXPECT_EQ(0, IsPortOpen());
    EXPECT_EQ(INVALID_HANDLE_VALUE, AppState.portHandle);
    EXPECT_EQ(1u, before.PortHandles()) << "the old COM2 handle was not closed";
    EXPECT_EQ(0, LastTrayPortOk()) << "the icon should show no port";
    EXPECT_TRUE(before.ReaderEnded());
    EXPECT_TRUE(ReaderAlive()) << "the reader should idle, not end";

    EXPECT_EQ(IDOK, RunSettings({ExpectShown(4, 5), Click(IDC_COM1), Click(IDOK)}));
    EXPECT_EQ(1, AppState.portNumber);
    EXPECT_EQ(1, IsPortOpen());
    EXPECT_EQ(4800u, RateOfOpenPort());
    EXPECT_EQ(1, LastTrayPortOk());
    EXPECT_TRUE(testbed::ScanArrives(1, testbed::DigitScan(1)));
}

/* Values only a hand-edited registry brings: nothing is shown chosen in
   that control, and OK keeps the value in force. */
TEST_F(DialogTest, OutOfRangeValuesOpenWithNothingChosenAndOkKeepsThem)
{
    Before before;
    for (int port : {0, 5, -1, 0x7FFFFFFF}) {
        SCOPED_TRACE("port number " + std::to_string(port));
        AppState.portNumber = port;
        EXPECT_EQ(IDOK, RunSettings({ExpectShown(0, 5), Click(IDOK)}));
        EXPECT_EQ(std::make_pair(port, 5), InForce());
    }
    AppState.portNumber = 2;
    for (int speed : {9, -1}) {
        SCOPED_TRACE("speed index " + std::to_string(speed));
        AppState.speedIndex = speed;
        EXPECT_EQ(IDOK, RunSettings({ExpectShown(2, CB_ERR), Click(IDOK)}));
        EXPECT_EQ(std::make_pair(2, speed), InForce());
    }
    EXPECT_EQ(2u, before.PortHandles()) << "an unchanged choice re-opened the port";
    EXPECT_FALSE(before.ReaderEnded()) << "an unchanged choice restarted the reader";
}

TEST_F(DialogTest, OutOfRangePortWithANewSpeedKeepsTheOldPortReading)
{
    /* The port number in force is refused by the selection, which then
       leaves the open port alone; the restarted reader goes on with it. */
    Before before;
    AppState.portNumber = 0;
    EXPECT_EQ(IDOK, RunSettings({ExpectShown(0, 5), PickSpeed(6), Click(IDOK)}));
    EXPECT_EQ(std::make_pair(0, 6), InForce());
    EXPECT_EQ(2u, before.PortHandles()) << "the old port should stay open";
    EXPECT_EQ(4800u, RateOfOpenPort()) << "the old port should keep its rate";
    EXPECT_EQ(0, LastTrayPortOk());
    EXPECT_TRUE(before.ReaderEnded());
    EXPECT_TRUE(ReaderAlive());
    EXPECT_TRUE(testbed::ScanArrives(2, testbed::DigitScan(1)));
}

TEST_F(DialogTest, OutOfRangeSpeedWithANewPortOpensItButFails)
{
    AppState.speedIndex = 9;
    EXPECT_EQ(IDOK, RunSettings({ExpectShown(2, CB_ERR), Click(IDC_COM1), Click(IDOK)}));
    EXPECT_EQ(std::make_pair(1, 9), InForce());
    EXPECT_EQ(1, IsPortOpen()) << "the port is opened before the speed is looked up";
    EXPECT_EQ(0, LastTrayPortOk()) << "no rate for index 9: the selection fails";
}

/* ---- One dialog at a time, and "Close" --------------------------------------- */

TEST_F(DialogTest, WhileTheSettingsDialogShowsTheMenuOpensNoOtherDialog)
{
    EXPECT_EQ(IDCANCEL, RunSettings({PostMenuCommand(IDM_SETTINGS), PostMenuCommand(IDM_ABOUT), kExpectOneDialog,
                                     ExpectShown(2, 5), Click(IDCANCEL)}));
}

TEST_F(DialogTest, WhileTheAboutBoxShowsTheMenuOpensNoOtherDialog)
{
    EXPECT_EQ(IDOK,
              RunAbout({PostMenuCommand(IDM_SETTINGS), PostMenuCommand(IDM_ABOUT), kExpectOneDialog, Click(IDOK)}));
}

TEST_F(DialogTest, CloseEndsTheSettingsDialogWithoutTakingItsChoice)
{
    Before before;
    /* What DialogBox answers after a quit is the system's affair. */
    RunSettings({Click(IDC_COM1), PickSpeed(8), ExpectShown(1, 8), PostMenuCommand(IDM_CLOSE)});
    EXPECT_EQ(std::make_pair(2, 5), InForce());
    EXPECT_EQ(2u, before.PortHandles()) << "the port was re-opened";
    EXPECT_FALSE(before.ReaderEnded());
    ExpectQuitLeft();
}

TEST_F(DialogTest, CloseEndsTheAboutBox)
{
    RunAbout({kExpectDialogOpenFlag, PostMenuCommand(IDM_CLOSE)});
    ExpectQuitLeft();
}

TEST_F(DialogTest, AboutBoxEndsAsOkOrCancel)
{
    HANDLE open = AppState.portHandle;
    for (const Way &way : WaysOut({"OK button", Click(IDOK)})) {
        SCOPED_TRACE(way.name);
        EXPECT_EQ(std::string(way.name) == "OK button" ? IDOK : IDCANCEL, RunAbout({kExpectDialogOpenFlag, way.end}));
    }
    EXPECT_EQ(std::make_pair(2, 5), InForce());
    EXPECT_EQ(open, AppState.portHandle);
}

}  // namespace
