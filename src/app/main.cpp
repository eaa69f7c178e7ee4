/*
 * Program entry: creates the hidden owner window, brings the serial bridge
 * up with the stored settings, runs the main thread's message loop, and
 * takes everything down in order when the quit message arrives.
 */
#include "app.h"

#include "../serial/serial.h"
#include "../settings/settings.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    (void)previous;
    (void)commandLine;
    (void)show;

    AppState.instance = instance;
    RegisterMainWindowClass(instance);
    AppState.mainWindow = CreateMainWindow(instance);

    LoadSettings();
    int portOk = SelectPort(AppState.portNumber, AppState.speedIndex);
    AddTrayIcon(portOk);
    CreateTrayMenu();
    StartReader();
    /* Installed before the first message is taken. Without it the program
       still works; under Wine it is only open to forged timer messages. */
    InstallTimerGuard(PlatformCallsAnyTimerCallback());

    MSG msg;
    msg.wParam = 0;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    /* The port handle and the hidden window end with the process. */
    StopReader();
    SaveSettings();
    DestroyTrayMenu();
    RemoveTrayIcon();
    RemoveTimerGuard();
    return (int)msg.wParam;
}
