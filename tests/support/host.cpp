#include "support/host.h"

#include <cstdio>

#include "app/app.h"
#include "serial/serial.h"
#include "support/timing.h"

namespace testbed {

template <class Visit> void ProgramStateTest::EachField(Visit visit)
{
    visit(saved_.instance, AppState.instance);
    visit(saved_.mainWindow, AppState.mainWindow);
    visit(saved_.trayMenu, AppState.trayMenu);
    visit(saved_.portNumber, AppState.portNumber);
    visit(saved_.speedIndex, AppState.speedIndex);
    visit(saved_.portHandle, AppState.portHandle);
    visit(saved_.lineSettings, AppState.lineSettings);
    visit(saved_.readerThread, AppState.readerThread);
    visit(saved_.readerThreadId, AppState.readerThreadId);
    visit(saved_.readerRun, AppState.readerRun);
    visit(saved_.dialogOpen, AppState.dialogOpen);
    visit(saved_.transferActive, AppState.transferActive);
    visit(saved_.typeKeys, AppState.typeKeys);
}

void ProgramStateTest::SetUp()
{
    EachField([](auto &copy, auto &field) { copy = field; });
    AppState.instance = GetModuleHandleA(nullptr);
}

void ProgramStateTest::TearDown()
{
    StopReader();
    ClosePort();
    /* A case may make the window its own way (a STATIC window, say): it
       is destroyed all the same, and its icon removed. */
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
    EachField([](auto &copy, auto &field) { field = copy; });
}

void HostedWindowTest::SetUp()
{
    ProgramStateTest::SetUp();
    RegisterMainWindowClass(AppState.instance);   /* once per process; later calls fail harmlessly */
    AppState.mainWindow = CreateMainWindow(AppState.instance);
    ASSERT_NE(nullptr, AppState.mainWindow);
    ASSERT_EQ((LONG_PTR)MainWndProc, GetWindowLongPtrA(AppState.mainWindow, GWLP_WNDPROC))
        << "the window's messages must reach MainWndProc";
    CreateTrayMenu();
    ASSERT_NE(nullptr, AppState.trayMenu);
    DispatchPending();   /* each case starts on an empty queue */
}

::testing::AssertionResult StopReaderWithinBound(DWORD *exitCode)
{
    HANDLE worker = nullptr;
    DuplicateHandle(GetCurrentProcess(), AppState.readerThread, GetCurrentProcess(), &worker,
                    SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0);
    double start = NowMs();
    StopReader();
    double took = NowMs() - start;
    bool gone = worker && WaitForSingleObject(worker, 0) == WAIT_OBJECT_0;
    DWORD code = STILL_ACTIVE;
    if (worker) {
        GetExitCodeThread(worker, &code);
        CloseHandle(worker);
    }
    if (exitCode)
        *exitCode = code;
    printf("StopReader took %.0f ms; the worker's exit code 0x%lX\n", took, (unsigned long)code);
    if (took <= READER_STOP_TIMEOUT_MS + kStopSlackMs && gone && !AppState.readerThread && !AppState.transferActive)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "StopReader took " << took << " ms (bound " << READER_STOP_TIMEOUT_MS
                                         << " + " << kStopSlackMs << ")"
                                         << (worker ? (gone ? "" : "; the worker still runs") : "; no worker to stop")
                                         << "; worker handle left " << AppState.readerThread << "; active flag "
                                         << AppState.transferActive.load();
}

}  // namespace testbed
