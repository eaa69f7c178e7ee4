/*
 * The screen of the test bed's virtual desktop, read as pixels: captures of
 * screen areas and windows, what the notification area shows of the
 * program's icon, and screenshots kept as artifacts of a run.
 */
#ifndef TAVRIN_TESTS_SCREEN_H
#define TAVRIN_TESTS_SCREEN_H

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace testbed {

/* ---- Captures ---- */

/* Pixels of a screen rectangle, top row first, 0x00RRGGBB each. */
struct Capture {
    RECT rect = {};
    std::vector<DWORD> pixels;

    int width() const { return rect.right - rect.left; }
    int height() const { return rect.bottom - rect.top; }
    DWORD At(int x, int y) const { return pixels[(size_t)y * width() + x]; }
    /* Writes a 24-bit .bmp; returns false if the file cannot be written. */
    bool SaveBmp(const std::string &path) const;
};

/* The pixels, top row first, 0x00RRGGBB each, of a width x height picture
   that `paint` draws on a memory DC filled with `ground` beforehand; empty
   when the DC cannot be made or `paint` fails. */
std::vector<DWORD> PaintOffscreen(int width, int height, DWORD ground, const std::function<bool(HDC)> &paint);

/* Copies a screen rectangle (BitBlt from the screen's DC). An empty
   capture means the screen could not be read. */
Capture CaptureScreen(const RECT &rect);

/* ---- The notification area ---- */

/* The icons are drawn with pure colours from the 16-colour palette; the
   empty taskbar has none of them. */
const DWORD kBlack = 0x000000;
const DWORD kRed = 0xFF0000;
const DWORD kYellow = 0xFFFF00;

/* What an area of the screen shows of the status icons: how many pixels
   of each icon colour it holds, and how many separate icon-sized groups
   of such pixels stand side by side in it. */
struct TrayView {
    int black = 0;     /* keyboard outline and keys (every icon) */
    int red = 0;       /* the X of the no-port icon */
    int yellow = 0;    /* the body of the active icon */
    int icons = 0;
    bool ok = false;   /* the screen could be read */

    bool Any() const { return black + red + yellow > 0; }
    /* Exactly one icon, with the given picture; or none at all. */
    bool Ready() const { return ok && icons == 1 && black > 0 && red == 0 && yellow == 0; }
    bool NoPort() const { return ok && icons == 1 && red > 0 && yellow == 0; }
    bool Active() const { return ok && icons == 1 && yellow > 0 && red == 0; }
    bool Empty() const { return ok && icons == 0; }
    std::string Describe() const;   /* "{icons 1, black 66, red 0, yellow 0}" */
};

/* Counts the icon colours of the part of a capture in `area`. */
TrayView CountIconColours(const Capture &capture, const RECT &area);

enum class TrayState { Ready, NoPort, Active, Empty };   /* kTrayStates in screen.cpp follows this order */

/* The taskbar ("Shell_TrayWnd"); null while the desktop has no shell. */
HWND FindTaskbar();
/* Empty when a taskbar is there within 5 s (the shell starts with the
   first program on the desktop); else the reason a case about the tray
   cannot run, for GTEST_SKIP. */
std::string WhyNoTaskbar();
/* The right-hand end of the taskbar, where the shell draws the icons
   (8 slots wide, in screen coordinates). */
RECT TrayArea();

/* The tooltip windows the shell keeps for the notification area's icons,
   one per icon: Wine's explorer makes a new one, owned by the taskbar, as
   an icon is added. A new one appearing shows an icon added, without
   reading pixels (the benchmark times start-up by it). */
std::vector<HWND> TrayIconTips();

/* What the tray area shows now. */
TrayView ReadTray();
/* How many slots, counted from the right, up to the leftmost that shows
   an icon now. */
int CountTrayIcons();
/* What the shell does when it loses its icons (a restarted shell starts
   empty): deletes the icon (owner, 0) behind its program's back. False
   when the shell had no such icon. */
bool DropTrayIcon(HWND owner);
/* What a restarted shell then does: broadcasts "TaskbarCreated" to every
   top-level window. Returns whether the broadcast was taken. */
bool AnnounceTaskbar();
/* Polls the tray area until it shows `state` (one icon, or none for
   Empty) or `timeoutMs` passes; returns whether it did. `last` receives
   the last look either way. */
bool WaitForTray(TrayState state, DWORD timeoutMs, TrayView *last);
/* The same as a check: a failure says what the tray shows instead. */
::testing::AssertionResult IconShows(TrayState state, DWORD timeoutMs = 5000);

/* ---- Painting ---- */

/* Waits until a window (of any process) and the visible windows inside it
   have nothing left to paint, and its area of the screen shows the result:
   no update region pending, and two captures of the area in a row alike.
   A failure names the window and what was still missing. */
::testing::AssertionResult WaitForPainted(HWND window, DWORD timeoutMs);

/* ---- Pictures kept as artifacts ---- */

/* Where tests leave their pictures (.bmp, which scripts/test turns into
   .png), with a trailing '/', created if need be: <build dir>/screenshots,
   and its subfolder shipped/ for a run against $TAVRIN_EXE. */
std::string ScreenshotDir();

}  // namespace testbed

#endif
