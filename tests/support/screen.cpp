#include "support/screen.h"

#include <algorithm>
#include <cstdio>

#include <shellapi.h>

#include "support/census.h"
#include "support/program.h"
#include "support/timing.h"

namespace testbed {

std::vector<DWORD> PaintOffscreen(int width, int height, DWORD ground, const std::function<bool(HDC)> &paint)
{
    std::vector<DWORD> pixels;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;   /* top row first */
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HDC memory = CreateCompatibleDC(nullptr);
    HBITMAP dib = memory ? CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (dib) {
        HGDIOBJ old = SelectObject(memory, dib);
        DWORD *p = static_cast<DWORD *>(bits);
        std::fill(p, p + (size_t)width * height, ground);
        if (paint(memory)) {
            GdiFlush();
            pixels.assign(p, p + (size_t)width * height);
            for (DWORD &pixel : pixels)
                pixel &= 0x00FFFFFF;
        }
        SelectObject(memory, old);
        DeleteObject(dib);
    }
    if (memory)
        DeleteDC(memory);
    return pixels;
}

Capture CaptureScreen(const RECT &rect)
{
    Capture capture;
    capture.rect = rect;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = width > 0 && height > 0 ? GetDC(nullptr) : nullptr;
    if (!screen)
        return capture;
    capture.pixels = PaintOffscreen(width, height, 0, [&](HDC memory) {
        return BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
    });
    ReleaseDC(nullptr, screen);
    return capture;
}

bool Capture::SaveBmp(const std::string &path) const
{
    const int w = width(), h = height();
    if (pixels.empty() || w <= 0 || h <= 0)
        return false;
    const DWORD stride = ((DWORD)w * 3 + 3) & ~3u;
    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER header = {};
    file.bfType = 0x4D42;   /* "BM" */
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + stride * (DWORD)h;
    header.biSize = sizeof header;
    header.biWidth = w;
    header.biHeight = h;    /* bottom row first */
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = stride * (DWORD)h;

    FILE *out = fopen(path.c_str(), "wb");
    if (!out)
        return false;
    bool ok = fwrite(&file, sizeof file, 1, out) == 1 && fwrite(&header, sizeof header, 1, out) == 1;
    std::vector<BYTE> row(stride, 0);
    for (int y = h - 1; ok && y >= 0; y--) {
        for (int x = 0; x < w; x++) {
            DWORD pixel = At(x, y);
            row[x * 3 + 0] = (BYTE)(pixel & 0xFF);
            row[x * 3 + 1] = (BYTE)((pixel >> 8) & 0xFF);
            row[x * 3 + 2] = (BYTE)((pixel >> 16) & 0xFF);
        }
        ok = fwrite(row.data(), 1, stride, out) == stride;
    }
    return fclose(out) == 0 && ok;
}

/* Small icons stand a few pixels apart: a run of this many columns
   without an icon colour separates two of them. */
static const int kIconGap = 3;

std::string TrayView::Describe() const
{
    char text[128];
    snprintf(text, sizeof text, "{icons %d, black %d, red %d, yellow %d%s}", icons, black, red, yellow,
             ok ? "" : ", screen not read");
    return text;
}

TrayView CountIconColours(const Capture &capture, const RECT &area)
{
    TrayView view;
    RECT part;
    if (capture.pixels.empty() || !IntersectRect(&part, &capture.rect, &area))
        return view;
    view.ok = true;
    int gap = kIconGap;
    for (LONG x = part.left; x < part.right; x++) {
        bool column = false;
        for (LONG y = part.top; y < part.bottom; y++) {
            DWORD pixel = capture.At(x - capture.rect.left, y - capture.rect.top);
            if (pixel == kBlack)
                view.black++;
            else if (pixel == kRed)
                view.red++;
            else if (pixel == kYellow)
                view.yellow++;
            else
                continue;
            column = true;
        }
        if (column) {
            if (gap >= kIconGap)
                view.icons++;
            gap = 0;
        } else {
            gap++;
        }
    }
    return view;
}

static const struct {
    const char *name;
    bool (TrayView::*shows)() const;
} kTrayStates[] = {
    {"ready", &TrayView::Ready},
    {"no-port", &TrayView::NoPort},
    {"active", &TrayView::Active},
    {"no icon", &TrayView::Empty},
};

HWND FindTaskbar()
{
    return FindWindowA("Shell_TrayWnd", nullptr);
}

std::string WhyNoTaskbar()
{
    /* Under Wine, asking for the desktop window is what starts the shell
       of a desktop that is not running yet. */
    GetDesktopWindow();
    return WaitUntil("the taskbar", [] { return FindTaskbar() != nullptr; }, 5000)
               ? std::string()
               : "no taskbar: run inside the test bed's virtual desktop";
}

std::vector<HWND> TrayIconTips()
{
    std::vector<HWND> tips;
    HWND taskbar = FindTaskbar();
    DWORD shell = 0;
    if (!taskbar || !GetWindowThreadProcessId(taskbar, &shell))
        return tips;
    for (HWND tip : ProcessWindows(shell, "tooltips_class32"))
        if (GetWindow(tip, GW_OWNER) == taskbar)
            tips.push_back(tip);
    return tips;
}

/* The shell draws the icons itself at the right end of the taskbar at the
   bottom of the screen, one slot (a small icon and a border of 2 pixels)
   each, the first added at the right. Slot 0 is the rightmost; rectangles
   are in screen coordinates and include a few rows above the taskbar. */
static const int kTraySlots = 8;

static RECT TraySlot(int slot)
{
    /* The taskbar spans the bottom of the screen, about 20 pixels high;
       it may be hidden while it has no icon, so the slots are placed from
       the screen's corner rather than from its window. */
    const int width = GetSystemMetrics(SM_CXSMICON) + 4;
    RECT rect;
    rect.right = GetSystemMetrics(SM_CXSCREEN) - slot * width;
    rect.left = rect.right - width;
    rect.bottom = GetSystemMetrics(SM_CYSCREEN);
    rect.top = rect.bottom - 32;
    return rect;
}

RECT TrayArea()
{
    RECT area = TraySlot(0);
    area.left = TraySlot(kTraySlots - 1).left;
    return area;
}

TrayView ReadTray()
{
    return CountIconColours(CaptureScreen(TrayArea()), TrayArea());
}

int CountTrayIcons()
{
    Capture tray = CaptureScreen(TrayArea());
    int count = 0;
    for (int slot = 0; slot < kTraySlots; slot++)
        if (CountIconColours(tray, TraySlot(slot)).Any())
            count = slot + 1;
    return count;
}

bool DropTrayIcon(HWND owner)
{
    NOTIFYICONDATAA record = {};
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = owner;
    return Shell_NotifyIconA(NIM_DELETE, &record) != FALSE;
}

bool AnnounceTaskbar()
{
    return SendNotifyMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0) != 0;
}

::testing::AssertionResult IconShows(TrayState state, DWORD timeoutMs)
{
    TrayView view;
    if (WaitForTray(state, timeoutMs, &view))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected the " << kTrayStates[(int)state].name << " icon, the tray shows "
                                         << view.Describe();
}

bool WaitForTray(TrayState state, DWORD timeoutMs, TrayView *last)
{
    return WaitUntil(std::string("the tray to show ") + kTrayStates[(int)state].name, [&] {
        TrayView now = ReadTray();
        if (last)
            *last = now;
        return (now.*kTrayStates[(int)state].shows)();
    }, timeoutMs);
}

static BOOL CALLBACK FindUnpaintedChild(HWND child, LPARAM lParam)
{
    /* A hidden window is never painted, whatever it holds. */
    if (IsWindowVisible(child) && GetUpdateRect(child, nullptr, FALSE)) {
        *reinterpret_cast<HWND *>(lParam) = child;
        return FALSE;
    }
    return TRUE;
}

/* The window, or a visible window inside it, with a region still to
   paint; null when there is none. */
static HWND Unpainted(HWND window)
{
    if (IsWindowVisible(window) && GetUpdateRect(window, nullptr, FALSE))
        return window;
    HWND child = nullptr;
    EnumChildWindows(window, FindUnpaintedChild, reinterpret_cast<LPARAM>(&child));
    return child;
}

::testing::AssertionResult WaitForPainted(HWND window, DWORD timeoutMs)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    Capture previous;
    HWND unpainted = nullptr;
    std::string what = std::string("window ") + name + " to be painted and shown still on the screen";
    ::testing::AssertionResult done = WaitUntil(what, [&] {
        if (!IsWindow(window))
            return false;
        if ((unpainted = Unpainted(window)) != nullptr) {
            previous = Capture();
            return false;
        }
        RECT rect;
        GetWindowRect(window, &rect);
        Capture now = CaptureScreen(rect);
        bool still = !now.pixels.empty() && now.pixels == previous.pixels && EqualRect(&now.rect, &previous.rect);
        previous = now;
        return still;
    }, timeoutMs);
    if (!done) {
        if (!IsWindow(window))
            done << "; the window is gone";
        else if (unpainted)
            done << "; window " << unpainted << " still has a region to paint";
        else
            done << "; its picture kept changing";
    }
    return done;
}

std::string ScreenshotDir()
{
    /* The build directory is a Unix path; Wine reaches it through Z:. */
    std::string dir = TAVRIN_BINARY_DIR;
    if (!dir.empty() && dir[0] == '/')
        dir = "Z:" + dir;
    dir += "/screenshots";
    CreateDirectoryA(dir.c_str(), nullptr);
    if (TavrinExePath() != std::string(TAVRIN_EXE_PATH)) {
        dir += "/shipped";
        CreateDirectoryA(dir.c_str(), nullptr);
    }
    return dir + "/";
}

}  // namespace testbed
