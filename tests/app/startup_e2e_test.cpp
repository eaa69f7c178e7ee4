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
#include "support/program_test.h"
#include "support/registry.h"
#include "support/target.h"
#include "support/timing.h"

namespace {

/* COM2's line as "4800 8N1", read through a handle of the test's own
   (Wine does not enforce the exclusive open). */
std::string Com2Line()
{
    HANDLE com2 = CreateFileA("COM2", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (com2 == INVALID_HANDLE_VALUE)
        return "COM2 does not open, error " + std::to_string(GetLastError());
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    bool read = GetCommState(com2, &dcb) != 0;
    CloseHandle(com2);
    if (!read)
        return "GetCommState failed";
    const char *stopBits[] = {"1", "1.5", "2"};
    return std::to_string(dcb.BaudRate) + " " + std::to_string(dcb.ByteSize) + "NOEMS"[dcb.Parity % 5] +
           stopBits[dcb.StopBits % 3];
}

class StartupE2E : public testbed::ProgramTest {};

TEST_F(StartupE2E, BuiltInSettingsOpenCom2TypeScansAndCloseEndsWithCodeZero)
{
    ASSERT_FALSE(testbed::SettingsKeyExists()) << "the settings key could not be deleted";
    /* The pty keeps the last rate it was given; make it one the program
       must change. */
    ASSERT_TRUE(testbed::SetLineRate(2, 38400)) << "error " << GetLastError();
    ASSERT_EQ(38400u, testbed::LineRate(2));

    testbed::TargetWindow target;
    double started = testbed::NowMs();
    ASSERT_TRUE(testbed::StartTavrin(program_));
    printf("ready after %.0f ms\n", testbed::NowMs() - started);
    ASSERT_TRUE(target.TakeFocus()) << "foreground " << GetForegroundWindow() << ", focus " << GetFocus();

    /* COM2 is wired to COM12. A scan written in the moment between the
       worker's start and its purge of the port would be discarded: it
       goes once the reader is known to be reading. */
    testbed::PartnerPort partner(2);
    ASSERT_TRUE(partner.IsOpen()) << "error " << GetLastError();
    ASSERT_TRUE(testbed::SyncReader(partner, target)) << "COM2";
    const std::string scan = "4006381333931\r";
    ASSERT_TRUE(testbed::SendAndSettle(partner, target, scan, 400));
    EXPECT_EQ(scan, target.Text());
    for (size_t i = 0; i < target.chars().size(); i++)
        EXPECT_EQ(0, target.chars()[i].lParam) << "character " << i;

    /* The built-in speed index 5: 4800 baud, 8N1. */
    EXPECT_EQ("4800 8N1", Com2Line());

    /* A second scan, to see that the program is still reading. */
    target.Clear();
    ASSERT_TRUE(partner.Write("12345\r"));
    EXPECT_TRUE(target.WaitForChars(6, testbed::kDeliveryTimeoutMs)) << "got \"" << target.Text() << "\"";
    EXPECT_EQ("12345\r", target.Text());

    double closing = testbed::NowMs();
    ASSERT_TRUE(PostMessageA(program_.window(), WM_CLOSE, 0, 0)) << "error " << GetLastError();
    ExpectOrderlyExit(program_);
    printf("ended %.0f ms after WM_CLOSE\n", testbed::NowMs() - closing);
    /* Shutdown saved the settings in force: the built-in ones. */
    ExpectStored(2, 5);

    /* Nothing types into the window once the program has gone: nothing
       comes within a span well over a reader pass. */
    target.Clear();
    ASSERT_TRUE(partner.Write("late"));
    target.Pump(600);
    EXPECT_EQ("", target.Text());
}

}  // namespace
