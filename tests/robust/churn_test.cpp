/*
 * Settings churn: the port and speed changed in the settings dialog again
 * and again while a device streams scans. The program must never crash or
 * hang, never run two readers at once, give back every thread and handle
 * it took, and deliver every scan once the changes stop.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "support/cable.h"
#include "support/dialogs.h"
#include "support/census.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/streams.h"
#include "support/target.h"
#include "support/timing.h"

namespace {

/* Whether `received` is `sent` with bytes left out, nothing added or out of order. */
bool IsSubsequence(const std::vector<BYTE> &sent, const std::vector<BYTE> &received)
{
    size_t s = 0;
    for (BYTE b : received) {
        while (s < sent.size() && sent[s] != b)
            s++;
        if (s == sent.size())
            return false;
        s++;
    }
    return true;
}

class SettingsChurn : public testbed::ProgramTest {
protected:
    void RunChurn(const char *changesVariable, DWORD defaultChanges, uint32_t seed);
};

void SettingsChurn::RunChurn(const char *changesVariable, DWORD defaultChanges, uint32_t seed)
{
    const int changes = (int)testbed::EnvSeconds(changesVariable, defaultChanges);
    printf("settings churn: %d changes, seed 0x%08X\n", changes, (unsigned)seed);
    testbed::PartnerPort partners[] = {testbed::PartnerPort(1), testbed::PartnerPort(2), testbed::PartnerPort(3)};
    for (int port = 1; port <= 3; port++)
        ASSERT_TRUE(partners[port - 1].IsOpen()) << "cannot open " << testbed::PartnerName(port);
    testbed::TargetWindow target;
    ASSERT_TRUE(StartReading(1, testbed::kSpeed38400, partners[0], target));
    testbed::ProcessCounts cold = testbed::SettledCounts(program_.pid(), program_.process(), 5000);

    /* The first trip through the dialog may leave things the system keeps
       for the rest of the process's life (a loaded control library, say);
       the starting counts are taken after it. */
    ASSERT_TRUE(testbed::ChangeSettings(program_.window(), program_.pid(), 2, testbed::kSpeed38400, 10000));
    testbed::ProcessCounts start = testbed::SettledCounts(program_.pid(), program_.process(), 5000);
    printf("settings churn: threads %d, handles %d at start-up; %d and %d after a first change\n", cold.threads,
           cold.handles, start.threads, start.handles);
    ASSERT_GT(start.threads, 0) << "could not count the program's threads";
    ASSERT_GT(start.handles, 0) << "could not count the program's handles";

    std::atomic<int> currentPort{2};
    std::atomic<bool> stopWriting{false};
    std::mutex sentLock;
    std::vector<BYTE> sent;
    auto record = [&](const std::string &scan) {
        std::lock_guard<std::mutex> hold(sentLock);
        sent.insert(sent.end(), scan.begin(), scan.end());
    };
    uint32_t serial = 0;
    testbed::Background writer([&] {
        testbed::Random random(seed + 1);
        while (!stopWriting) {
            std::string scan = testbed::ScanText(serial++, seed);
            int port = currentPort;
            record(scan);
            partners[port - 1].Write(scan);
            Sleep(150 + random.Below(200));   /* a pause that closes the burst, as between two scans */
        }
    });

    /* The program's threads and reader workers, watched from outside all through the changes. */
    std::atomic<bool> stopWatching{false};
    std::atomic<int> maxThreads{0}, maxReaders{0}, maxSystem{0}, samples{0};
    testbed::ThreadWatcher census(program_.pid());
    testbed::Background watcher([&] {
        while (!stopWatching) {
            testbed::ThreadCensus now = census.Take();
            maxThreads = std::max(maxThreads.load(), now.total);
            maxReaders = std::max(maxReaders.load(), now.readers);
            maxSystem = std::max(maxSystem.load(), now.system);
            samples++;
            Sleep(2);
        }
    });

    int survived = 0;
    std::string failure;
    testbed::Background driver([&] {
        testbed::Random random(seed);
        int port = 2, speed = testbed::kSpeed38400;
        for (int i = 0; i < changes && failure.empty(); i++) {
            int newPort, newSpeed;
            do {
                newPort = 1 + (int)random.Below(3);
                newSpeed = (int)random.Below(9);
            } while (newPort == port && newSpeed == speed);
            if (!testbed::ChangeSettings(program_.window(), program_.pid(), newPort, newSpeed, 10000)) {
                failure = "change " + std::to_string(i + 1) + " (COM" + std::to_string(newPort) + ", speed " +
                          std::to_string(newSpeed) + ") did not complete within 10 s";
            } else if (!program_.IsRunning()) {
                failure = "the program ended during change " + std::to_string(i + 1);
            } else if (!testbed::Responds(program_.window(), 5000)) {
                failure = "the program stopped answering after change " + std::to_string(i + 1);
            } else {
                port = newPort;
                speed = newSpeed;
                currentPort = port;
                survived++;
                Sleep(random.Below(300));
            }
        }
    });
    /* Keeps the target in the foreground whenever none of the program's
       dialogs is up, bounded by the changes' own bounds. */
    EXPECT_TRUE(testbed::PumpUntil(
        "the changes to end",
        [&] {
            if (GetForegroundWindow() != target.hwnd() && testbed::ProcessWindows(program_.pid(), "#32770").empty())
                target.TakeFocus();
            return driver.Join(0);
        },
        (DWORD)changes * 16000));
    stopWriting = true;
    EXPECT_TRUE(writer.Join(5000));
    /* Every scan that can still arrive comes before one written now on the
       port in use: the earlier ports' workers have ended, having posted all
       they read, and the current one delivers in order. The closing scan is
       sent again (it joins the stream) if the last change's worker purges it. */
    target.TakeFocus();
    bool closed = false;
    std::string closing;
    for (uint32_t i = 0; i < 10 && !closed; i++) {
        closing = testbed::ScanText(900000 + i, seed);
        record(closing);
        ASSERT_TRUE(partners[currentPort - 1].Write(closing));
        closed = testbed::PumpUntil("a scan written after the changes to arrive",
                                    [&] { return target.Text().find(closing) != std::string::npos; },
                                    testbed::kDeliveryTimeoutMs / 10);
    }
    EXPECT_TRUE(closed) << "none of 10 scans written after the changes arrived on COM" << currentPort;
    stopWatching = true;
    EXPECT_TRUE(watcher.Join(5000));

    printf("settings churn: %d of %d changes survived; %zu bytes of scans sent during the changes, %zu received\n",
           survived, changes, sent.size(), target.chars().size());
    ASSERT_EQ("", failure);
    EXPECT_EQ(changes, survived);

    /* Scans may be cut or lost while a change is applied, but what arrived
       came in the order sent, with nothing added or repeated. */
    EXPECT_TRUE(IsSubsequence(sent, testbed::ToBytes(target.Text())))
        << "what arrived during the changes is not the sent stream with parts left out";

    /* After the last change every scan is delivered. */
    target.Clear();
    target.TakeFocus();
    std::string finalScans;
    for (uint32_t i = 0; i < 20; i++) {
        std::string scan = testbed::ScanText(1000000 + i, seed);
        finalScans += scan;
        ASSERT_TRUE(partners[currentPort - 1].Write(scan));
        target.Pump(150);   /* a pause that closes the burst, as between two scans */
    }
    target.WaitForChars(finalScans.size(), testbed::kDeliveryTimeoutMs);
    target.Pump(300);   /* anything extra would show up now */
    EXPECT_EQ("", testbed::CompareStreams(finalScans, target.Text())) << "on COM" << currentPort;

    testbed::ProcessCounts end = testbed::SettledCounts(program_.pid(), program_.process(), 10000);
    printf("settings churn: %d readings of the threads: at most %d threads, %d of them readers, %d of the "
           "system; %zu reader workers seen; threads %d at start, %d after; handles %d at start, %d after\n",
           samples.load(), maxThreads.load(), maxReaders.load(), maxSystem.load(), census.ReadersSeen(),
           start.threads, end.threads, start.handles, end.handles);
    /* A change stops the old worker before it starts the next: each reader's
       life, as the system recorded it, ends before the next begins. The watch
       saw the worker in place when it began and one more for every change. */
    EXPECT_EQ((size_t)changes + 1, census.ReadersSeen()) << "reader workers seen during " << changes << " changes";
    EXPECT_EQ("", census.ReaderOverlap());
    EXPECT_EQ(1, maxReaders.load()) << "reader workers alive at once, at most";
    EXPECT_EQ(start.threads, end.threads);
    EXPECT_EQ(start.handles, end.handles);

    CloseInOrder(program_);
}

TEST_F(SettingsChurn, FiftyChangesWhileScanning)
{
    RunChurn("TAVRIN_CHURN_CHANGES", 50, 0xC0FFEE01u);
}

TEST_F(SettingsChurn, FiveHundredChangesSoak)
{
    RunChurn("TAVRIN_SOAK_CHURN_CHANGES", 500, 0xC0FFEE02u);
}

}  // namespace
