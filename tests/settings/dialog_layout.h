/*
 * The settings dialog and the About box as they must look: template
 * header, and each control in template order. Texts are the UTF-16 the
 * template holds, which the live dialog must show in any code page.
 */
#ifndef TAVRIN_TESTS_DIALOG_LAYOUT_H
#define TAVRIN_TESTS_DIALOG_LAYOUT_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resource.h"
#include "support/dialogs.h"
#include "support/streams.h"

namespace layout {

const WORD kRussian = 0x419;
const WORD kNoId = 0xFFFF;  /* -1 */
const DWORD kChild = WS_CHILD | WS_VISIBLE;
const DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT;

struct Control {
    WORD id;
    const char *className;
    const wchar_t *text;
    DWORD style;
    short x, y, cx, cy;
    /* The maker's lines are the implementer's own text and may be resized
       to fit it: only their place is fixed. */
    bool sizeFree;
};

struct Dialog {
    WORD id;
    const wchar_t *caption;
    short cx, cy;
    std::vector<Control> controls;
};

const Dialog kSettings = {IDD_SETTINGS, L"Настройка", 226, 73, {
    {IDOK, "Button", L"OK", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 169, 11, 50, 14, false},
    {IDCANCEL, "Button", L"Cancel", kChild | BS_PUSHBUTTON | WS_TABSTOP, 169, 29, 50, 14, false},
    {kNoId, "Button", L"Порт", kChild | BS_GROUPBOX, 7, 7, 67, 59, false},
    {kNoId, "Button", L"Скорость", kChild | BS_GROUPBOX, 85, 7, 76, 59, false},
    {IDC_COM1, "Button", L"COM1", kChild | BS_AUTORADIOBUTTON | WS_GROUP, 20, 18, 36, 10, false},
    {IDC_COM2, "Button", L"COM2", kChild | BS_AUTORADIOBUTTON, 20, 29, 36, 10, false},
    {IDC_COM3, "Button", L"COM3", kChild | BS_AUTORADIOBUTTON, 20, 40, 36, 10, false},
    {IDC_COM4, "Button", L"COM4", kChild | BS_AUTORADIOBUTTON, 20, 51, 36, 10, false},
    {IDC_SPEED, "ComboBox", L"", kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 97, 24, 53, 103, false},
}};

const Dialog kAbout = {IDD_ABOUT, L"О программе", 148, 116, {
    {IDOK, "Button", L"OK", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 48, 99, 50, 14, false},
    {kNoId, "Button", L"Программа", kChild | BS_GROUPBOX, 3, 3, 142, 39, false},
    /* The maker's caption and three lines: text not fixed (null). */
    {kNoId, "Button", nullptr, kChild | BS_GROUPBOX, 3, 47, 142, 48, false},
    {kNoId, "Static", nullptr, kChild | SS_LEFT | WS_GROUP, 12, 59, 66, 8, true},
    {kNoId, "Static", nullptr, kChild | SS_LEFT | WS_GROUP, 12, 71, 115, 8, true},
    {kNoId, "Static", nullptr, kChild | SS_LEFT | WS_GROUP, 12, 81, 65, 8, true},
    {kNoId, "Static", L"Tavrin v1.1", kChild | SS_LEFT | WS_GROUP, 12, 15, 43, 8, false},
    {kNoId, "Static", L"Эмулятор сканера RS232 -> Keyboard", kChild | SS_LEFT | WS_GROUP, 12, 27, 128, 8, false},
}};

/* Live styles differ from the template in two bits: a combo box drops
   WS_VSCROLL from its own style, and a radio button gains WS_TABSTOP when
   it is checked. Those bits are checked in the template only. */
inline DWORD LiveStyleMask(const Control &c)
{
    if (lstrcmpA(c.className, "ComboBox") == 0)
        return ~(DWORD)WS_VSCROLL;
    if ((c.style & 0xF) == BS_AUTORADIOBUTTON && lstrcmpA(c.className, "Button") == 0)
        return ~(DWORD)WS_TABSTOP;
    return 0xFFFFFFFF;
}

/* "control 3 (Button COM1)" for a failure about a control, text in UTF-8. */
inline std::string Describe(const char *what, size_t i, const Control &c)
{
    char text[256] = "maker's line";
    if (c.text)
        WideCharToMultiByte(CP_UTF8, 0, c.text, -1, text, sizeof text, nullptr, nullptr);
    return std::string(what) + " " + std::to_string(i) + " (" + c.className + " " + text + ")";
}

inline std::wstring WideWindowText(HWND window)
{
    wchar_t text[512];
    int n = GetWindowTextW(window, text, 512);
    return std::wstring(text, n > 0 ? (size_t)n : 0);
}

const std::vector<std::string> kSpeedLabels = {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "38400"};

/* The dialog as shown, texts read as UTF-16: caption, and each control's
   id, class, text and style in order; in this process or another one. */
inline void ExpectLiveDialog(HWND dialog, const Dialog &d)
{
    EXPECT_EQ(testbed::Utf16(d.caption), testbed::Utf16(WideWindowText(dialog))) << "caption";
    DWORD style = (DWORD)GetWindowLongA(dialog, GWL_STYLE);
    EXPECT_EQ(kDialogStyle & ~(DWORD)DS_SETFONT, style & kDialogStyle & ~(DWORD)DS_SETFONT)
        << "dialog style 0x" << std::hex << style;

    std::vector<HWND> children = testbed::Children(dialog);
    ASSERT_EQ(d.controls.size(), children.size()) << "controls in the dialog";
    for (size_t i = 0; i < children.size(); i++) {
        const Control &c = d.controls[i];
        HWND child = children[i];
        SCOPED_TRACE(Describe("control", i, c));
        EXPECT_EQ(c.id, (WORD)GetDlgCtrlID(child));
        EXPECT_EQ(c.className, testbed::ClassName(child));
        std::wstring text = WideWindowText(child);
        if (lstrcmpA(c.className, "ComboBox") == 0) {
            /* A drop-down list's text is its selection, not the template's. */
        } else if (c.text) {
            EXPECT_EQ(testbed::Utf16(c.text), testbed::Utf16(text)) << "text";
        } else {
            EXPECT_FALSE(text.empty()) << "the maker's lines carry some text";
        }
        DWORD live = (DWORD)GetWindowLongA(child, GWL_STYLE);
        DWORD mask = LiveStyleMask(c);
        EXPECT_EQ(c.style & mask, live & mask)
            << "style 0x" << std::hex << live << ", expected 0x" << c.style << " under mask 0x" << mask;
    }
}

}  // namespace layout

#endif
