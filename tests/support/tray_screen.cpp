#include "support/tray_screen.h"

#include "support/testbed.h"

#include <cstdio>

namespace testbed {

Capture CaptureScreen(const RECT &rect)
{
    Capture capture;
    capture.rect = rect;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return capture;

    HDC screen = GetDC(nullptr);
    if (!screen)
        return capture;
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;   /* top row first */
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (memory && dib) {
        HGDIOBJ old = SelectObject(memory, dib);
        if (BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY)) {
            GdiFlush();
            const DWORD *p = static_cast<const DWORD *>(bits);
            capture.pixels.assign(p, p + (size_t)width * height);
            for (DWORD &pixel : capture.pixels)
                pixel &= 0x00FFFFFF;
        }
        SelectObject(memory, old);
    }
    if (dib)
        DeleteObject(dib);
    if (memory)
        DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return capture;
}

Capture CaptureWholeScreen()
{
    RECT rect = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    return CaptureScreen(rect);
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

std::string IconColours::Describe() const
{
    char text[80];
    snprintf(text, sizeof text, "black %d, red %d, yellow %d", black, red, yellow);
    return text;
}

IconColours CountIconColours(const Capture &capture)
{
    IconColours c;
    for (DWORD pixel : capture.pixels) {
        if (pixel == kBlack)
            c.black++;
        else if (pixel == kRed)
            c.red++;
        else if (pixel == kYellow)
            c.yellow++;
    }
    return c;
}

IconColours CountIconColours(const Capture &capture, const RECT &area)
{
    Capture part;
    RECT overlap;
    if (!IntersectRect(&overlap, &capture.rect, &area))
        return IconColours();
    part.rect = overlap;
    for (LONG y = overlap.top; y < overlap.bottom; y++)
        for (LONG x = overlap.left; x < overlap.right; x++)
            part.pixels.push_back(capture.At(x - capture.rect.left, y - capture.rect.top));
    return CountIconColours(part);
}

HWND FindTaskbar()
{
    return FindWindowA("Shell_TrayWnd", nullptr);
}

HWND WaitForTaskbar(DWORD timeoutMs)
{
    /* Under Wine, asking for the desktop window is what starts the shell
       of a desktop that is not running yet. */
    GetDesktopWindow();
    DWORD start = GetTickCount();
    for (;;) {
        HWND taskbar = FindTaskbar();
        if (taskbar || GetTickCount() - start >= timeoutMs)
            return taskbar;
        Sleep(20);
    }
}

static int SlotWidth()
{
    return GetSystemMetrics(SM_CXSMICON) + 4;
}

RECT TraySlot(int slot)
{
    /* The taskbar spans the bottom of the screen, about 20 pixels high;
       it may be hidden while it has no icon, so the slots are placed from
       the screen's corner rather than from its window. */
    RECT rect;
    rect.right = GetSystemMetrics(SM_CXSCREEN) - slot * SlotWidth();
    rect.left = rect.right - SlotWidth();
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

int CountTrayIcons()
{
    int count = 0;
    for (int slot = 0; slot < kTraySlots; slot++) {
        if (CountIconColours(CaptureScreen(TraySlot(slot))).Any())
            count = slot + 1;
    }
    return count;
}

IconColours LookAtTray()
{
    return CountIconColours(CaptureScreen(TrayArea()));
}

bool WaitForTray(bool (*want)(const IconColours &), DWORD timeoutMs, IconColours *last)
{
    DWORD start = GetTickCount();
    for (;;) {
        IconColours now = LookAtTray();
        if (last)
            *last = now;
        if (want(now))
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(10);
    }
}

bool ShowsReady(const IconColours &c)
{
    return c.black > 0 && c.red == 0 && c.yellow == 0;
}

bool ShowsNoPort(const IconColours &c)
{
    return c.red > 0 && c.yellow == 0;
}

bool ShowsActive(const IconColours &c)
{
    return c.yellow > 0 && c.red == 0;
}

bool ShowsNothing(const IconColours &c)
{
    return !c.Any();
}

std::string SaveScreenshot(const char *name, const Capture &capture)
{
    std::string path = ScreenshotDir() + name + ".bmp";
    return capture.SaveBmp(path) ? path : std::string();
}

std::string SaveScreenshot(const char *name)
{
    return SaveScreenshot(name, CaptureWholeScreen());
}

}  // namespace testbed
