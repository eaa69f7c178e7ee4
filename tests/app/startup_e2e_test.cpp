/*
 * The whole program, end to end: tavrin.exe runs in a process of its own
 * with no stored settings, and the test process owns the foreground window
 * that the scans written to the partner of COM2 must reach. Closing the
 * hidden window ends the program in order.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/cable.h"
#include "support/program.h"
#include "support/registry.h"
#include "support/target.h"
#include "support/timing.h"

namespace {

const DWORD kExitTimeoutMs = 5000;      /* StopReader's 1000 ms bound and the rest */

/* Reads COM2's line settings through a handle of the test's own (Wine does
   not enforce the exclusive open); with `baudRate`, sets the rate first. */
bool Com2LineSettings(DCB *dcb, DWORD baudRate = 0)
{
    HANDLE com2 = CreateFileA("COM2", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (com2 == INVALID_HANDLE_VALUE)
        return false;
    ZeroMemory(dcb, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    bool ok = GetCommState(com2, dcb) != 0;
    if (ok && baudRate) {
        dcb->BaudRate = baudRate;
        ok = SetCommState(com2, dcb) && GetCommState(com2, dcb);
    }
    CloseHandle(com2);
    return ok;
}

TEST(StartupE2E, BuiltInSettingsOpenCom2TypeScansAndCloseEndsWithCodeZero)
{
    testbed::DeleteSettingsKey();
    ASSERT_FALSE(testbed::SettingsKeyExists()) << "the settings key could not be deleted";
    /* The pty keeps the last rate it was given; make it one the program
       must change. */
    DCB dcb;
    ASSERT_TRUE(Com2LineSettings(&dcb, 38400)) << "error " << GetLastError();
    ASSERT_EQ(38400u, dcb.BaudRate);

    testbed::TargetWindow target;
    testbed::TavrinProcess tavrin;
    double started = testbed::NowMs();
    ASSERT_TRUE(tavrin.Start()) << "CreateProcess failed, error " << GetLastError();
    ASSERT_TRUE(tavrin.WaitForReady());
    printf("ready after %.0f ms\n", testbed::NowMs() - started);
    ASSERT_TRUE(target.TakeFocus()) << "foreground " << GetForegroundWindow() << ", focus " << GetFocus();

    /* COM2 is wired to COM12. A scan written in the moment between the
       worker's start and its purge of the port would be discarded: it
       goes once the reader is known to be reading. */
    testbed::PartnerPort partner(2);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();
    ASSERT_TRUE(testbed::SyncReader(partner, target)) << "COM2";
    const std::string scan = "4006381333931\r";
    ASSERT_TRUE(partner.Write(scan));
    bool arrived = target.WaitForChars(scan.size(), testbed::kDeliveryTimeoutMs);
    target.Pump(400);   /* anything extra would come within it */
    ASSERT_TRUE(arrived) << "got \"" << target.Text() << "\"";
    EXPECT_EQ(scan, target.Text());
    for (size_t i = 0; i < target.chars().size(); i++)
        EXPECT_EQ(0, target.chars()[i].lParam) << "character " << i;

    /* The built-in speed index 5: 4800 baud, 8N1. */
    ASSERT_TRUE(Com2LineSettings(&dcb)) << "error " << GetLastError();
    EXPECT_EQ(4800u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);

    /* A second scan, to see that the program is still reading. */
    target.Clear();
    ASSERT_TRUE(partner.Write("12345\r"));
    EXPECT_TRUE(target.WaitForChars(6, testbed::kDeliveryTimeoutMs)) << "got \"" << target.Text() << "\"";
    EXPECT_EQ("12345\r", target.Text());

    double closing = testbed::NowMs();
    ASSERT_TRUE(PostMessageA(tavrin.window(), WM_CLOSE, 0, 0)) << "error " << GetLastError();
    DWORD exitCode = STILL_ACTIVE;
    ASSERT_TRUE(tavrin.WaitForExit(kExitTimeoutMs, &exitCode)) << "still running after WM_CLOSE";
    printf("ended %.0f ms after WM_CLOSE\n", testbed::NowMs() - closing);
    EXPECT_EQ(0u, exitCode);

    /* Shutdown saved the settings in force: the built-in ones. */
    DWORD port = 0, baud = 0;
    EXPECT_TRUE(testbed::GetSettingDword("Port", &port));
    EXPECT_EQ(2u, port);
    EXPECT_TRUE(testbed::GetSettingDword("Baud", &baud));
    EXPECT_EQ(5u, baud);

    /* Nothing types into the window once the program has gone: nothing
       comes within a span well over a reader pass. */
    target.Clear();
    ASSERT_TRUE(partner.Write("late"));
    target.Pump(600);
    EXPECT_TRUE(target.chars().empty()) << "got \"" << target.Text() << "\"";
}

}  // namespace
