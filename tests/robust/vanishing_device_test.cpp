/*
 * A device that vanishes: the receive wait on an open port fails. The
 * worker then shows the no-port icon and ends, the main thread lets go of
 * the dead handle, nothing crashes, and the next announcement of a device
 * brings the port and the typing back.
 *
 * Pulling a pseudo-terminal away from a port Wine holds open takes the
 * wineserver down, so the failure is made otherwise: in this process, by
 * handing the worker a handle that is no serial device but stays valid, as
 * a pulled device's does; in the program's own process, by closing its
 * port handle from outside.
 */
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include "app/app.h"
#include "serial/serial.h"
#include "support/host.h"
#include "support/census.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/timing.h"

using testbed::TrayState;

namespace {

/* The hidden window of HostedWindowTest draws the icon in the test bed's
   tray and takes the worker's word and the announcement as the program's. */
class InProcessTray : public testbed::HostedWindowTest {
protected:
    /* The device fails under the worker: it waits on `broken`, the real port let go. */
    void RunVanishingDevice(HANDLE broken)
    {
        ASSERT_NE(nullptr, broken);
        AppState.portNumber = 1;
        AppState.speedIndex = testbed::kSpeed38400;
        ASSERT_NE(0, SelectPort(1, testbed::kSpeed38400));
        AddTrayIcon(1);
        ASSERT_TRUE(testbed::IconShows(TrayState::Ready, 3000));
        const int handlesBefore = testbed::CountHandles(GetCurrentProcessId(), GetCurrentProcess());

        HANDLE port = AppState.portHandle;
        AppState.portHandle = broken;
        CloseHandle(port);
        StartReader();
        HANDLE worker = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), AppState.readerThread, GetCurrentProcess(), &worker,
                                    SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0));
        ASSERT_TRUE(testbed::PumpUntil("the main thread to let go of the worker and the dead handle",
                                       [] { return !AppState.readerThread && !IsPortOpen(); }, 5000));
        DWORD code = 99;
        GetExitCodeThread(worker, &code);
        CloseHandle(worker);
        EXPECT_EQ(0u, code) << "the worker's exit code";
        EXPECT_FALSE(GetHandleInformation(broken, &code)) << "the dead handle was not closed";
        EXPECT_TRUE(testbed::IconShows(TrayState::NoPort, 3000)) << "after the failed wait";

        /* The device is back (COM1 opens): Windows announces it. */
        double sent = testbed::NowMs();
        SendMessageA(AppState.mainWindow, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        ASSERT_TRUE(testbed::PumpUntil("a try of COM1 after the announcement", [] { return PortTriesMade() == 1; },
                                       5000));
        const double tookMs = testbed::NowMs() - sent;
        printf("the try was made %.0f ms after the announcement\n", tookMs);
        /* The first try after a quiet spell is made at once, not a gap later. */
        EXPECT_LT(tookMs, 1000.0) << "ms from the announcement to the try (the gap is " << PORT_RETRY_GAP_MS << " ms)";
        EXPECT_TRUE(testbed::IconShows(TrayState::Ready, 3000)) << "after the announcement";
        EXPECT_TRUE(testbed::ScanArrives(1, testbed::DigitScan(5)));
        EXPECT_NE(nullptr, AppState.readerThread) << "no worker after the try";
        EXPECT_EQ(1, PortTriesMade());
        /* The new port and worker in place of the old port and the dead
           handle, and nothing else. */
        EXPECT_EQ(handlesBefore, testbed::CountHandles(GetCurrentProcessId(), GetCurrentProcess()))
            << "handles besides the port and the worker";
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

    /* COM1 is still there: the next announcement brings it back. */
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutA(program_.window(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_NORMAL,
                                    testbed::kDeliveryTimeoutMs, &answer));
    EXPECT_TRUE(testbed::IconShows(TrayState::Ready, testbed::kDeliveryTimeoutMs)) << "after the announcement";
    EXPECT_TRUE(testbed::ScanArrives(1, testbed::DigitScan(6)));
    EXPECT_EQ(1, census.Take().readers);
    CloseInOrder(program_);
}

}  // namespace
