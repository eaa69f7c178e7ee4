/*
 * The hidden window that owns the tray icon, the menu and the dialogs. It
 * is never shown. Main thread.
 */
#include "app.h"

ATOM RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSEXA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    wc.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = kWindowClassName;
    return RegisterClassExA(&wc);
}

HWND CreateMainWindow(HINSTANCE instance)
{
    return CreateWindowExA(0, kWindowClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                           nullptr, nullptr, instance, nullptr);
}
