/*
 * Stopping a worker that cannot stop by itself, in this process: StopReader
 * must still return within its bound with the worker gone.
 */
#include <gtest/gtest.h>

#include <atomic>

#include "app/app.h"
#include "resource.h"
#include "serial/serial.h"
#include "support/cable.h"
#include "support/host.h"
#include "support/program.h"
#include "support/stand_in.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

namespace {

const DWORD kWorkerTimeoutMs = 5000; /* a worker reaching the state a test needs */

using StuckWorker = testbed::HostedWindowTest;

TEST_F(StuckWorker, HeldInAReadWithoutTimeOut)
{
    /* A speed index with no table entry: the port opens but keeps the
       device's default time-outs, under which a read waits for a byte. */
    ASSERT_EQ(0, SelectPort(1, 99));
    ASSERT_EQ(1, IsPortOpen());
    testbed::PartnerPort partner(1);
    /* The bytes the stuck worker holds are typed when its read ends: into
       this window, away from the one the check below reads. */
    testbed::TargetWindow target;
    StartReader();
    ASSERT_TRUE(testbed::WaitForHeldRead(partner, AppState.portHandle, kWorkerTimeoutMs));
    EXPECT_TRUE(testbed::StopReaderWithinBound()) << "a worker left alive, the next one would run beside it";

    /* And the next worker, on a configured port, delivers. */
    ASSERT_NE(0, SelectPort(1, testbed::kSpeed38400));
    StartReader();
    EXPECT_TRUE(testbed::ScanArrives(1, testbed::ScanText(3, 0x57C4)));
}

TEST_F(StuckWorker, HeldInADeliveryByAShellThatDoesNotAnswer)
{
    ASSERT_NE(0, SelectPort(1, testbed::kSpeed38400));
    testbed::PartnerPort partner(1);
    testbed::TargetWindow target;
    StartReader();
    ASSERT_TRUE(testbed::SyncReader(partner, target));
    ASSERT_TRUE(testbed::PumpUntil("the sync's delivery to end (the active flag down)",
                                   [] { return AppState.transferActive == 0; }, kWorkerTimeoutMs));

    {
        /* A shell that has stopped answering: the tray is found by its
           class name, and it takes 3 s over each icon update. The worker
           sets the active flag and then waits in its first update. */
        const DWORD kAnswerAfterMs = 3000;
        std::atomic<int> updates{0};
        testbed::StandInWindow shell({"Shell_TrayWnd", "", WS_POPUP, {0, 0, 0, 0}},
                                     [&](HWND, UINT message, WPARAM, LPARAM, LRESULT *result) {
                                         if (message != WM_COPYDATA)
                                             return false;
                                         updates++;
                                         Sleep(kAnswerAfterMs);
                                         *result = TRUE;
                                         return true;
                                     });
        shell.SetJoinBound(kAnswerAfterMs + 5000);
        ASSERT_NE(nullptr, shell.hwnd());
        ASSERT_TRUE(partner.Write(testbed::ScanText(4, 0x57C4)));
        ASSERT_TRUE(testbed::PumpUntil("the burst to start (the active flag up)",
                                       [] { return AppState.transferActive == 1; }, kWorkerTimeoutMs));
        /* The flag rises just before the update is sent. */
        ASSERT_TRUE(testbed::PumpUntil("the icon update to reach the stand-in shell",
                                       [&] { return updates >= 1; }, kWorkerTimeoutMs));

        EXPECT_TRUE(testbed::StopReaderWithinBound());
    }
    /* The worker was ended in the middle of its delivery; the icon that the
       next update shows must not be "active". */
    EXPECT_EQ(0, AppState.transferActive.load()) << "the active flag outlived the worker";
    NOTIFYICONDATAA record;
    FillTrayRecord(&record, 1);
    EXPECT_EQ(LoadIconA(AppState.instance, MAKEINTRESOURCEA(IDI_READY)), record.hIcon)
        << "the next icon update would not show ready";
}

}  // namespace
