/*
 * A device that comes back: the program started while its port was absent
 * opens it once Windows announces a device or a resume, and types what it
 * sends; announcements, however many and whatever they carry, change
 * nothing while the port works and cost little while it is missing. The
 * absent port is COM4, which a testbed::PluggedPort puts on COM3's cable;
 * the test sends what Windows would broadcast.
 */
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "app/app.h"
#include "support/cable.h"
#include "support/census.h"
#include "support/dialogs.h"
#include "support/host.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

using testbed::TrayState;

namespace {

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs)
{
    DWORD_PTR answer = 0;
    return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &answer) != 0;
}

/* What Windows sends every top-level window for a port that arrives: the
   record is copied across by the system, so it is a real one. */
bool SendPortArrival(HWND window, const char *name, DWORD timeoutMs)
{
    struct {
        DEV_BROADCAST_PORT_A header;
        char rest[16];
    } record = {};
    record.header.dbcp_size = sizeof record;
    record.header.dbcp_devicetype = DBT_DEVTYP_PORT;
    lstrcpynA(record.header.dbcp_name, name, 1 + (int)sizeof record.rest);
    return Send(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&record, timeoutMs);
}

/* One announcement of any kind, as Windows or anyone else might send it:
   device and power events, the ones that mean a device came among them,
   with random parameters where the system does not copy a record. */
void AnnounceAnything(HWND window, testbed::Random &random)
{
    static const WPARAM kDevice[] = {DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL,     DBT_DEVICEREMOVECOMPLETE,
                                     DBT_QUERYCHANGECONFIG, DBT_CONFIGCHANGED,    DBT_DEVICEQUERYREMOVE};
    static const WPARAM kPower[] = {PBT_APMRESUMEAUTOMATIC, PBT_APMRESUMESUSPEND, PBT_APMSUSPEND,
                                    PBT_APMPOWERSTATUSCHANGE, PBT_APMQUERYSUSPEND};
    LPARAM lParam = (LPARAM)(((ULONGLONG)random.Next() << 32) | random.Next());
    const bool device = random.Chance(50);
    const UINT message = device ? WM_DEVICECHANGE : WM_POWERBROADCAST;
    const WPARAM wParam = !random.Chance(80) ? random.Below(0x10000)
                          : device           ? kDevice[random.Below(std::size(kDevice))]
                                             : kPower[random.Below(std::size(kPower))];
    if (device && (wParam & 0x8000)) {
        /* The system copies a record for these, from our memory. */
        SendPortArrival(window, random.Chance(50) ? "COM4" : "COM9", 100);
    } else if (random.Chance(50)) {
        PostMessageA(window, message, wParam, lParam);
    } else {
        Send(window, message, wParam, lParam, 100);
    }
}

/* Announcements sent from a thread of its own until the object goes. */
class Flood {
public:
    Flood(HWND window, uint32_t seed)
        : random_(seed), thread_([this, window] {
              while (!stop_) {
                  AnnounceAnything(window, random_);
                  sent_++;
              }
          })
    {
    }
    ~Flood()
    {
        stop_ = true;
        EXPECT_TRUE(thread_.Join(5000)) << "the flood did not stop";
        printf("flood: %d announcements\n", sent_.load());
    }

private:
    testbed::Random random_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    testbed::Background thread_;
};

/* ---- The port appears ---- */

struct Announcement {
    const char *name;
    bool (*send)(HWND window);
};

bool AnnounceArrival(HWND window)
{
    /* A plug-in brings a change of the device tree, then the port. */
    return Send(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, testbed::kDeliveryTimeoutMs)
           && SendPortArrival(window, "COM4", testbed::kDeliveryTimeoutMs);
}

bool AnnounceResume(HWND window)
{
    return Send(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0, testbed::kDeliveryTimeoutMs);
}

void PrintTo(const Announcement &announcement, std::ostream *out)
{
    *out << announcement.name;
}

const Announcement kAnnouncements[] = {{"DeviceArrival", AnnounceArrival}, {"Resume", AnnounceResume}};

class PortAppears : public testbed::ProgramTest, public ::testing::WithParamInterface<Announcement> {};

TEST_P(PortAppears, AndIsOpenedOnTheAnnouncement)
{
    ASSERT_TRUE(testbed::StartTavrin(program_, 4, testbed::kSpeed38400, TrayState::NoPort));
    testbed::PluggedPort com4(3);
    ASSERT_TRUE(com4.Plugged());

    ASSERT_TRUE(GetParam().send(program_.window())) << "the announcement was not answered";
    EXPECT_TRUE(testbed::IconShows(TrayState::Ready, testbed::kDeliveryTimeoutMs)) << "after the announcement";
    /* COM4 is on COM3's cable: its partner plays the scanner. */
    EXPECT_TRUE(testbed::ScanArrives(3, testbed::DigitScan(41)));
    CloseInOrder(program_);
    testbed::ExpectStored(4, testbed::kSpeed38400);
}

INSTANTIATE_TEST_SUITE_P(By, PortAppears, ::testing::ValuesIn(kAnnouncements),
                         [](const ::testing::TestParamInfo<Announcement> &info) { return info.param.name; });

/* ---- Floods ---- */

using Announcements = testbed::ProgramTest;

TEST_F(Announcements, FloodWhileALongScanArrivesChangesNothing)
{
    testbed::PartnerPort partner(1);
    testbed::TargetWindow target;
    ASSERT_TRUE(StartReading(1, testbed::kSpeed38400, partner, target));
    testbed::ThreadWatcher census(program_.pid());
    ASSERT_EQ(1, census.Take().readers);
    const testbed::ProcessCounts before = testbed::SettledCounts(program_.pid(), program_.process(), 5000);

    const std::vector<BYTE> sent = testbed::PatternBytes(8 * 1024, 0xD0C);
    {
        Flood flood(program_.window(), 0xD0C);
        testbed::Background writer([&] { partner.WritePaced(sent, testbed::kLineRate); });
        target.WaitForChars(sent.size(), testbed::kDeliveryTimeoutMs);
        census.Take();
        EXPECT_TRUE(writer.Join(testbed::kDeliveryTimeoutMs)) << "the writer did not finish";
    }
    EXPECT_EQ("", testbed::CompareStreams(sent, testbed::ToBytes(target.Text())));
    EXPECT_EQ(1u, census.ReadersSeen()) << "the worker was replaced during the flood";
    EXPECT_EQ(1, census.Take().readers);
    const testbed::ProcessCounts after = testbed::SettledCounts(program_.pid(), program_.process(), 5000);
    EXPECT_EQ(before.handles, after.handles) << "handles kept after the flood";
    EXPECT_EQ(before.threads, after.threads) << "threads kept after the flood";
    CloseInOrder(program_);
}

TEST_F(Announcements, FloodWhileThePortIsMissingMakesFewTriesAndTheMenuStillOpens)
{
    ASSERT_TRUE(testbed::StartTavrin(program_, 4, testbed::kSpeed38400, TrayState::NoPort));
    testbed::ThreadWatcher census(program_.pid());
    ASSERT_EQ(1, census.Take().readers);

    testbed::ModalWatcher::Options watch;
    watch.pid = program_.pid();
    watch.menuMs = 50;
    watch.owner = program_.window();
    testbed::ModalWatcher closer(watch);

    const DWORD kFloodMs = 8000;
    double slowestMenu = 0;
    int menus = 0;
    double start = testbed::NowMs();
    {
        Flood flood(program_.window(), 0xF100D);
        while (testbed::NowMs() - start < kFloodMs) {
            /* Every new worker is a try: each is seen, since each lives
               until the next try, a gap away. */
            census.Take();
            double asked = testbed::NowMs();
            PostMessageA(program_.window(), WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);
            HWND menu = testbed::WaitForVisibleWindow(program_.pid(), "#32768", 5000);
            ASSERT_NE(nullptr, menu) << "no menu within 5 s during the flood";
            slowestMenu = std::max(slowestMenu, testbed::NowMs() - asked);
            menus++;
            ASSERT_TRUE(testbed::WaitForWindowHidden(menu, 5000)) << "the menu did not close";
        }
    }
    const double floodMs = testbed::NowMs() - start;
    census.Take();
    const int tries = (int)census.ReadersSeen() - 1;
    printf("flood of %.0f ms with the port missing: %d tries; %d menus, the slowest shown after %.0f ms\n", floodMs,
           tries, menus, slowestMenu);
    EXPECT_GE(tries, 1) << "the flood brought no try at all";
    EXPECT_LE(tries, (int)(floodMs / PORT_RETRY_GAP_MS) + 2) << "tries closer together than the gap";
    EXPECT_LE(slowestMenu, 2000.0) << "the menu was slow to open during the flood";
    EXPECT_EQ("", census.ReaderOverlap());
    EXPECT_TRUE(closer.Stop(5000));
    ASSERT_TRUE(program_.IsRunning());
    CloseInOrder(program_);
}

/* A device that keeps announcing itself, as behind a flapping hub, at a
   pace rather than in a flood (which would starve the retry timer's
   WM_TIMER): in this process, where PortTriesMade counts the tries. */
using PacedAnnouncements = testbed::HostedWindowTest;

TEST_F(PacedAnnouncements, WhileThePortIsMissingMakeATryAGapAtMost)
{
    AppState.portNumber = 4;
    AppState.speedIndex = testbed::kSpeed38400;
    const double kPaceMs = 200, kSpanMs = 5000, start = testbed::NowMs();
    std::atomic<bool> done{false};
    testbed::Background hub([&, window = AppState.mainWindow] {
        while (testbed::NowMs() - start < kSpanMs) {
            PostMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
            Sleep((DWORD)kPaceMs);
        }
        done = true;
    });
    std::string tries;
    LONG seen = 0;
    ASSERT_TRUE(testbed::PumpUntil("the announcements to end", [&] {
        for (; seen < PortTriesMade(); seen++)
            tries += " " + std::to_string((int)(testbed::NowMs() - start));
        return done.load();
    }, (DWORD)kSpanMs + 5000));
    const double spanMs = testbed::NowMs() - start;
    printf("announcements every %.0f ms for %.0f ms: %ld tries, at%s ms\n", kPaceMs, spanMs, (long)seen, tries.c_str());
    EXPECT_GE(seen, 2) << "tries";
    EXPECT_LE(seen, (LONG)(spanMs / PORT_RETRY_GAP_MS) + 1) << "tries closer together than the gap";
}

}  // namespace
