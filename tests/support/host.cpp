#include "support/host.h"

#include "app/app.h"
#include "serial/serial.h"

namespace testbed {

void ProgramStateTest::SetUp()
{
    saved_ = {AppState.instance,       AppState.mainWindow, AppState.trayMenu,  AppState.portNumber,
              AppState.speedIndex,     AppState.portHandle, AppState.lineSettings, AppState.readerRun,
              AppState.dialogOpen,     AppState.transferActive};
    AppState.instance = GetModuleHandleA(nullptr);
}

void ProgramStateTest::TearDown()
{
    StopReader();
    ClosePort();
    if (AppState.mainWindow && AppState.mainWindow != saved_.mainWindow) {
        RemoveTrayIcon();
        DestroyWindow(AppState.mainWindow);
    }
    if (AppState.trayMenu != saved_.trayMenu)
        DestroyTrayMenu();
    /* A main window's end posts a quit message to this thread; drop it
       with whatever else the case left queued. */
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    AppState.instance = saved_.instance;
    AppState.mainWindow = saved_.mainWindow;
    AppState.trayMenu = saved_.trayMenu;
    AppState.portNumber = saved_.portNumber;
    AppState.speedIndex = saved_.speedIndex;
    AppState.portHandle = saved_.portHandle;
    AppState.lineSettings = saved_.lineSettings;
    AppState.readerRun = saved_.readerRun;
    AppState.dialogOpen = saved_.dialogOpen;
    AppState.transferActive = saved_.transferActive;
}

void HostedWindowTest::SetUp()
{
    ProgramStateTest::SetUp();
    RegisterMainWindowClass(AppState.instance);   /* once per process; later calls fail harmlessly */
    AppState.mainWindow = CreateMainWindow(AppState.instance);
    ASSERT_NE(nullptr, AppState.mainWindow);
    CreateTrayMenu();
}

}  // namespace testbed
