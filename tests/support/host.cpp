#include "support/host.h"

#include <windows.h>

#include "app/app.h"
#include "serial/serial.h"

namespace testbed {

void HostedWindowTest::SetUp()
{
    AppState.instance = GetModuleHandleA(nullptr);
    RegisterMainWindowClass(AppState.instance);   /* once per process; later calls fail harmlessly */
    AppState.mainWindow = CreateMainWindow(AppState.instance);
    ASSERT_NE(nullptr, AppState.mainWindow);
    CreateTrayMenu();
}

void HostedWindowTest::TearDown()
{
    StopReader();
    ClosePort();
    RemoveTrayIcon();
    DestroyTrayMenu();
    DestroyWindow(AppState.mainWindow);
    /* The window's end posts a quit message to this thread; drop it. */
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    AppState.mainWindow = nullptr;
    AppState.trayMenu = nullptr;
    AppState.portHandle = nullptr;
    AppState.readerRun = 1;
    AppState.transferActive = 0;
    AppState.portNumber = 2;
    AppState.speedIndex = 5;
}

}  // namespace testbed
