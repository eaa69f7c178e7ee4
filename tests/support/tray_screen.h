/*
 * Reading the notification area off the screen of the test bed's virtual
 * desktop: captures of screen areas, colour counts of the tray icons'
 * pictures, and screenshots kept as artifacts.
 *
 * The icons are drawn with pure colours from the 16-colour palette: black
 * outline and keys, red for the X of the no-port icon, yellow for the body
 * of the active one; the empty taskbar has none of them.
 */
#ifndef TAVRIN_TESTS_TRAY_SCREEN_H
#define TAVRIN_TESTS_TRAY_SCREEN_H

#include <windows.h>

#include <string>
#include <vector>

namespace testbed {

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

/* Copies a screen rectangle (BitBlt from the screen's DC). An empty
   capture means the screen could not be read. */
Capture CaptureScreen(const RECT &rect);
Capture CaptureWholeScreen();

const DWORD kBlack = 0x000000;
const DWORD kRed = 0xFF0000;
const DWORD kYellow = 0xFFFF00;

/* How many pixels of each icon colour an area holds. */
struct IconColours {
    int black = 0;
    int red = 0;
    int yellow = 0;

    bool Any() const { return black + red + yellow > 0; }
    std::string Describe() const;   /* "black 66, red 0, yellow 0" */
};
IconColours CountIconColours(const Capture &capture);
/* The same for the part of a capture that lies in `area`. */
IconColours CountIconColours(const Capture &capture, const RECT &area);

/* The taskbar ("Shell_TrayWnd"); null while the desktop has no shell. The
   shell starts with the first program on the desktop: WaitForTaskbar
   gives it time. */
HWND FindTaskbar();
HWND WaitForTaskbar(DWORD timeoutMs);
/* The shell draws the icons itself at the right end of the taskbar at the
   bottom of the screen, one slot (a small icon and a border of 2 pixels)
   each, the first added at the right. Slot 0 is the rightmost; rectangles
   are in screen coordinates and include a few rows above the taskbar. */
const int kTraySlots = 8;
RECT TraySlot(int slot);
/* The right-hand end of the taskbar, kTraySlots slots wide. */
RECT TrayArea();
/* How many slots, counted from the right, up to the leftmost that shows
   an icon now. */
int CountTrayIcons();
/* Colours in the tray area now. */
IconColours LookAtTray();

/* Polls the tray area until `want` holds or `timeoutMs` passes; returns
   whether it held. `last` receives the last look either way. */
bool WaitForTray(bool (*want)(const IconColours &), DWORD timeoutMs, IconColours *last);

/* The three pictures of the program's icon and no icon at all, as seen in
   the tray area with exactly one icon in it. */
bool ShowsReady(const IconColours &c);
bool ShowsNoPort(const IconColours &c);
bool ShowsActive(const IconColours &c);
bool ShowsNothing(const IconColours &c);

/* Saves a screenshot of the whole screen as <build dir>/screenshots/<name>.bmp
   (scripts/test turns them into .png); returns the path, empty on failure. */
std::string SaveScreenshot(const char *name);
std::string SaveScreenshot(const char *name, const Capture &capture);

}  // namespace testbed

#endif
