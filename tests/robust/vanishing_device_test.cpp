/*
 * A device that vanishes: the receive wait on an open port fails. The
 * worker then shows the no-port icon and ends, nothing crashes, and
 * choosing a working port in the settings dialog brings delivery back.
 *
 * Pulling a pseudo-terminal away from a port that Wine holds open takes
 * the wineserver down, so the failure is made otherwise: in this process,
 * by handing the worker a handle that is not a serial device; and with
 * the program as its own process, by closing its port handle from outside,
 * as a driver would invalidate it.
 */
#include <gtest/gtest.h>

#include <cstdint>

#include "app/app.h"
#include "serial/serial.h"
#include "support/dialogs.h"
#include "support/host.h"
#include "support/census.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/timing.h"

using testbed::TrayState;

namespace {

const DWORD kChangeTimeoutMs = 30000;  /* the settings dialog opened, used and closed */

/* The user picks COM2 in the settings dialog of `window`, in process
   `pid`; this thread pumps its messages meanwhile (in this process it runs
   the program's window and the dialog's loop). Then the tray shows ready
   and a scan sent on COM2 is typed. */
void ChooseCom2AndScan(HWND window, DWORD pid, uint32_t serial)
{
    bool changed = false;
    testbed::Background user([&] { changed = testbed::ChangeSettings(window, pid, 2, testbed::kSpeed38400, 10000); });
    ASSERT_TRUE(testbed::PumpUntil("the settings change made from another thread", [&] { return user.Join(0); },
                                   kChangeTimeoutMs));
    ASSERT_TRUE(changed) << "the settings dialog did not take the new port";
    EXPECT_TRUE(testbed::IconShows(TrayState::Ready, 3000)) << "after choosing COM2";
    EXPECT_TRUE(testbed::ScanArrives(2, testbed::ScanText(serial, 0x7A7A)));
}

/* The program's tray host in this process: a real hidden window, so that
   the icon is drawn in the test bed's tray and the dialog has its owner. */
class InProcessTray : public testbed::HostedWindowTest {
protected:
    /* The device fails under the worker: its wait is made on `broken`
       while the real port stays open (closed afterwards). */
    void RunVanishingDevice(HANDLE broken)
    {
        AppState.portNumber = 1;
        AppState.speedIndex = testbed::kSpeed38400;
        ASSERT_NE(0, SelectPort(1, testbed::kSpeed38400));
        AddTrayIcon(1);
        ASSERT_TRUE(testbed::IconShows(TrayState::Ready, 3000));

        HANDLE port = AppState.portHandle;
        AppState.portHandle = broken;
        StartReader();
        HANDLE worker = AppState.readerThread;
        ASSERT_NE(nullptr, worker);
        DWORD waited = WaitForSingleObject(worker, 5000);
        DWORD code = 99;
        GetExitCodeThread(worker, &code);
        /* The real port is the test's to close; the broken handle stays in
           AppState, where the next selection will close it. */
        CloseHandle(port);
        ASSERT_EQ((DWORD)WAIT_OBJECT_0, waited) << "the worker did not end after its wait failed";
        EXPECT_EQ(0u, code) << "the worker's exit code";
        EXPECT_TRUE(testbed::IconShows(TrayState::NoPort, 3000)) << "after the failed wait";

        ChooseCom2AndScan(AppState.mainWindow, GetCurrentProcessId(), 5);
        EXPECT_EQ(2, AppState.portNumber);
    }
};

TEST_F(InProcessTray, WaitFailsOnAnEventHandle)
{
    RunVanishingDevice(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

TEST_F(InProcessTray, WaitFailsOnAFileHandle)
{
    char path[MAX_PATH], name[MAX_PATH];
    GetTempPathA(sizeof path, path);
    GetTempFileNameA(path, "tvr", 0, name);
    HANDLE file = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    RunVanishingDevice(file);
}

/* The handle value of the serial device open in another process, or
   null: each of its handles is copied here and asked for line settings. */
HANDLE FindPortHandle(HANDLE process)
{
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        HANDLE copy;
        if (!DuplicateHandle(process, (HANDLE)value, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
            continue;
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        bool serial = GetFileType(copy) == FILE_TYPE_CHAR && GetCommState(copy, &dcb);
        CloseHandle(copy);
        if (serial)
            return (HANDLE)value;
    }
    return nullptr;
}

using VanishingDevice = testbed::ProgramTest;

TEST_F(VanishingDevice, PortHandleInvalidatedUnderTheRunningProgram)
{
    ASSERT_TRUE(testbed::StartTavrin(program_, 1, testbed::kSpeed38400, TrayState::Ready));
    testbed::ThreadWatcher census(program_.pid());
    ASSERT_EQ(1, census.Take().readers);

    HANDLE port = FindPortHandle(program_.process());
    ASSERT_NE(nullptr, port) << "no serial device handle found in the program";
    /* Moved here and closed: the program's handle value no longer names
       anything, and its next wait fails. */
    HANDLE moved = nullptr;
    ASSERT_TRUE(DuplicateHandle(program_.process(), port, GetCurrentProcess(), &moved, 0, FALSE,
                                DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS))
        << "could not take the program's port handle, error " << GetLastError();
    CloseHandle(moved);

    EXPECT_TRUE(testbed::IconShows(TrayState::NoPort, 5000)) << "after the port handle went";
    EXPECT_TRUE(testbed::WaitUntil("the worker to end", [&] { return census.Take().readers == 0; }, 30000));
    ASSERT_TRUE(program_.IsRunning());
    EXPECT_TRUE(testbed::Responds(program_.window(), 5000));

    ChooseCom2AndScan(program_.window(), program_.pid(), 6);
    EXPECT_EQ(1, census.Take().readers);
    CloseInOrder(program_);
}

}  // namespace
