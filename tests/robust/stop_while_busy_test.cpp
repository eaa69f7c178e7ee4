/*
 * The program closed, or its settings changed, mid-way through a long
 * burst to a target slow to take its characters: each still completes in
 * order and within its bound, and the icon never shows "active" once the
 * worker that set it is gone.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "resource.h"
#include "support/cable.h"
#include "support/dialogs.h"
#include "support/census.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

using testbed::TrayState;

namespace {

using testbed::kLineRate;
const size_t kLongBurst = 8 * 1024;   /* about 2.1 s at the line rate */
const DWORD kSlowTargetMs = 2;        /* per character: an eighth of the line rate */
const DWORD kStopInMs = 500;          /* into the burst, when the stop comes */
/* StopReader's bound is 1000 ms; the rest of the way out (or of a change)
   is quick, but the machine may be loaded. */
const DWORD kStopBoundMs = 1000 + 2000;

/* The burst, the stop and the watch after it, on a loaded machine. */
const DWORD kScenarioMs = 30000;

/* Writes a long burst (pattern bytes from `seed`) at the line rate to the
   slow target and calls `stop`, named `what`, kStopInMs into it; pumps the
   target until that is over and its queue runs dry, by when the worker
   that typed has ended (the program has exited, or a change stopped it),
   having posted all. The target must have the start of the burst, not all. */
void StopDuringBurst(testbed::PartnerPort &partner, testbed::TargetWindow &target, uint32_t seed, const char *what,
                     const std::function<void()> &stop)
{
    const std::vector<BYTE> sent = testbed::PatternBytes(kLongBurst, seed);
    target.SetSlowness(kSlowTargetMs);
    testbed::Background scenario([&] {
        auto cut = sent.begin() + std::min(sent.size(), (size_t)kLineRate * kStopInMs / 1000);
        partner.WritePaced(std::vector<BYTE>(sent.begin(), cut), kLineRate);
        stop();
        partner.WritePaced(std::vector<BYTE>(cut, sent.end()), kLineRate);
    });
    ASSERT_TRUE(testbed::PumpUntil("the burst and the stop to be over", [&] { return scenario.Join(0); }, kScenarioMs));
    /* The whole burst at the slow target's pace, and room for a loaded machine. */
    const DWORD bound = (DWORD)(kLongBurst * kSlowTargetMs) + 30000;
    EXPECT_TRUE(testbed::PumpUntil(
        "the slow target's queue to run out of characters",
        [&] {
            MSG msg;
            return !PeekMessageA(&msg, target.hwnd(), WM_CHAR, WM_CHAR, PM_NOREMOVE);
        },
        bound));

    std::vector<BYTE> received = testbed::ToBytes(target.Text());
    EXPECT_GT(received.size(), 0u) << "nothing was delivered before " << what;
    EXPECT_LT(received.size(), sent.size()) << what << " came after the burst, not during it";
    received.resize(std::min(received.size(), sent.size()));
    EXPECT_EQ("", testbed::CompareStreams(std::vector<BYTE>(sent.begin(), sent.begin() + received.size()), received));
}

class StopWhileBusy : public testbed::ProgramTest {};

TEST_F(StopWhileBusy, CloseDuringALongBurstToASlowTarget)
{
    ASSERT_TRUE(testbed::StartTavrin(program_, 2, 5, TrayState::Ready));
    /* The last choice, made in the dialog; stored only at shutdown. */
    ASSERT_TRUE(testbed::ChangeSettings(program_.window(), program_.pid(), 3, testbed::kSpeed38400, 10000));
    testbed::PartnerPort partner(3);
    testbed::TargetWindow target;
    ASSERT_TRUE(testbed::SyncReader(partner, target)) << "COM3, chosen in the dialog";
    {
        SCOPED_TRACE("a change in the dialog is written only at shutdown");
        testbed::ExpectStored(2, 5);
    }

    testbed::ThreadWatcher census(program_.pid());
    census.Take();

    /* Watches the way out: when the stored values change, when the icon
       goes, and whether it ever shows "active" once the process is gone. */
    double closedAt = 0, exitedAt = 0, savedAt = 0, iconGoneAt = 0;
    ULONGLONG savedAtTime = 0;
    bool exited = false, activeAfterExit = false;
    DWORD exitCode = 99;
    ASSERT_NO_FATAL_FAILURE(StopDuringBurst(partner, target, 0xB0B0, "\"Close\"", [&] {
        census.Take();
        closedAt = testbed::NowMs();
        PostMessageA(program_.window(), WM_COMMAND, IDM_CLOSE, 0);
        double deadline = closedAt + 10000;
        while (testbed::NowMs() < deadline) {
            DWORD p = 0, s = 0;
            if (!savedAt && testbed::GetSettingDword("Port", &p) && testbed::GetSettingDword("Baud", &s) && p == 3 &&
                s == testbed::kSpeed38400) {
                savedAt = testbed::NowMs();
                savedAtTime = testbed::FileTimeNow();
            }
            testbed::TrayView view = testbed::ReadTray();
            if (!iconGoneAt && view.Empty())
                iconGoneAt = testbed::NowMs();
            if (!exited && WaitForSingleObject(program_.process(), 0) == WAIT_OBJECT_0) {
                exited = true;
                exitedAt = testbed::NowMs();
                GetExitCodeProcess(program_.process(), &exitCode);
            }
            if (exited && testbed::NowMs() - exitedAt > 1000)
                break;
            Sleep(5);
        }
    }));

    ASSERT_TRUE(exited) << "the program did not end within 10 s of \"Close\"";
    /* The tray repaints a moment after the icon is deleted, and on a busy
       machine after the program has ended: what it shows once painted is
       what the program left. */
    EXPECT_TRUE(testbed::WaitForPainted(testbed::FindTaskbar(), 5000));
    activeAfterExit = testbed::ReadTray().yellow > 0;
    printf("close while busy: exit %.0f ms after \"Close\"; settings seen stored after %.0f ms, icon gone after "
           "%.0f ms; %zu of %zu bytes reached the slow target\n",
           exitedAt - closedAt, savedAt ? savedAt - closedAt : -1.0, iconGoneAt ? iconGoneAt - closedAt : -1.0,
           target.chars().size(), kLongBurst);
    EXPECT_EQ(0u, exitCode);
    EXPECT_LE(exitedAt - closedAt, (double)kStopBoundMs) << "shutdown took too long";
    testbed::ExpectStored(3, testbed::kSpeed38400);
    /* In order: the settings are stored before the icon goes. */
    EXPECT_GT(savedAt, 0.0) << "the stored settings never changed while the program ended";
    EXPECT_GT(iconGoneAt, 0.0) << "the icon never went away";
    EXPECT_LE(savedAt, iconGoneAt) << "the icon went before the settings were stored";
    EXPECT_FALSE(activeAfterExit) << "the tray showed the active icon after the program had ended";
    /* The reader is stopped first: it had ended before the settings were
       seen stored. */
    ULONGLONG readerEnd = census.NewestReaderEnd();
    EXPECT_NE(0u, readerEnd) << "the reader's end was not recorded";
    EXPECT_LE(readerEnd, savedAtTime) << "the reader ended "
                                      << (double)(readerEnd - savedAtTime) / 10000.0
                                      << " ms after the settings were seen stored";
}

TEST_F(StopWhileBusy, ChangeSettingsDuringALongBurstToASlowTarget)
{
    testbed::PartnerPort oldPartner(1);
    testbed::TargetWindow target;
    ASSERT_TRUE(StartReading(1, testbed::kSpeed38400, oldPartner, target));

    bool changed = false, activeAfter = false;
    ::testing::AssertionResult readyAfter = ::testing::AssertionFailure();
    double changeMs = 0;
    ASSERT_NO_FATAL_FAILURE(StopDuringBurst(oldPartner, target, 0xC4A6, "the change", [&] {
        double start = testbed::NowMs();
        changed = testbed::ChangeSettings(program_.window(), program_.pid(), 2, 6, 10000);
        changeMs = testbed::NowMs() - start;
        /* The old worker is gone and nothing comes on the new port: the
           icon must settle on "ready" and stay there, watched for a second. */
        readyAfter = testbed::IconShows(TrayState::Ready, 2000);
        activeAfter = testbed::WaitUntil("the active icon", [] { return testbed::ReadTray().yellow > 0; }, 1000);
    }));

    printf("change while busy: the change took %.0f ms (dialog open to closed); %zu of %zu bytes reached the slow "
           "target from the old port\n",
           changeMs, target.chars().size(), kLongBurst);
    ASSERT_TRUE(changed) << "the change did not complete within 10 s";
    EXPECT_LE(changeMs, (double)kStopBoundMs);
    EXPECT_TRUE(readyAfter) << "after the change";
    EXPECT_FALSE(activeAfter) << "the active icon showed after the change, with nothing arriving";

    EXPECT_TRUE(testbed::ScanArrives(2, testbed::ScanText(7, 0xC4A6))) << "the new port";

    CloseInOrder(program_);
    testbed::ExpectStored(2, 6);
}

}  // namespace
