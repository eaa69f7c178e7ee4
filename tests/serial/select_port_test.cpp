/*
 * Port selection and line configuration against Wine's serial stack, on
 * the test bed's pseudo-terminal cables.
 */
#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "serial/serial.h"
#include "app/app.h"
#include "support/cable.h"
#include "support/census.h"
#include "support/host.h"

extern "C" NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);

namespace {

using SelectPortTest = testbed::ProgramStateTest;

/* While it lives, "COM4" names a device that opens but refuses every line
   setting (SetupComm and SetCommState fail with error 1): the driverless
   device Wine made for COM4, whose mapped path does not exist, reached
   again through the \??\COM4 link the test bed deleted (hide_port; Wine
   names COMn's device \Device\Serial<n-1>). The link is not permanent:
   it goes when its handle closes, with this object or with the process. */
class Com4Refuses {
public:
    Com4Refuses()
    {
        UNICODE_STRING name, target;
        RtlInitUnicodeString(&name, L"\\??\\COM4");
        RtlInitUnicodeString(&target, L"\\Device\\Serial3");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        if (NtCreateSymbolicLinkObject(&link_, 0xF0001 /* SYMBOLIC_LINK_ALL_ACCESS */, &attributes, &target) != 0)
            link_ = nullptr;
    }
    ~Com4Refuses()
    {
        if (link_)
            CloseHandle(link_);
    }
    Com4Refuses(const Com4Refuses &) = delete;
    Com4Refuses &operator=(const Com4Refuses &) = delete;
    bool made() const { return link_ != nullptr; }

private:
    HANDLE link_ = nullptr;
};

/* printf into a string, so that one EXPECT_EQ shows a group of fields. */
std::string Format(const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

TEST_F(SelectPortTest, InvalidPortNumbersFailAndLeaveTheOpenPortAlone)
{
    ASSERT_NE(0, SelectPort(2, 8)) << "COM2 should open, error " << GetLastError();
    HANDLE open = AppState.portHandle;

    for (int bad : {0, 5, -1}) {
        EXPECT_EQ(0, SelectPort(bad, 5)) << "port " << bad;
        EXPECT_EQ(open, AppState.portHandle) << "port " << bad << " touched the open port";
        EXPECT_EQ(1, IsPortOpen());
    }
    EXPECT_EQ(38400u, testbed::LineRate(2)) << "the open port lost its configuration";
}

TEST_F(SelectPortTest, MissingPortFailsAndLeavesNothingOpen)
{
    ASSERT_NE(0, SelectPort(1, 5));
    EXPECT_EQ(0, SelectPort(4, 5)) << "COM4 does not exist in the test bed";
    EXPECT_EQ(0, IsPortOpen()) << "the previous port should have been closed";
    EXPECT_EQ(INVALID_HANDLE_VALUE, AppState.portHandle);
    EXPECT_EQ(1, ClosePort()) << "-1 counts as closed";
    EXPECT_EQ(INVALID_HANDLE_VALUE, AppState.portHandle);
}

/* The no-port icon for a device that opens and refuses its line: the
   selection fails, and the device stays open, as for a speed with no
   table entry. */
TEST_F(SelectPortTest, DeviceThatRefusesItsLineSettingsFails)
{
    {
        Com4Refuses refusing;
        ASSERT_TRUE(refusing.made()) << "could not link COM4 to its device";
        EXPECT_EQ(0, SelectPort(4, 5));
        EXPECT_EQ(1, IsPortOpen()) << "the device should have opened";
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("COM4", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr))
        << "COM4 outlived the case";
}

TEST_F(SelectPortTest, SelectingTheSamePortAgainReopensIt)
{
    ASSERT_NE(0, SelectPort(3, 5));
    int handles = testbed::CountHandles(GetCurrentProcessId(), GetCurrentProcess());
    ASSERT_NE(-1, handles) << "this process's handles cannot be counted";
    ASSERT_NE(0, SelectPort(3, 6));
    EXPECT_EQ(1, IsPortOpen());
    /* The first handle was closed. (The new one may well have its value,
       so using the old value shows nothing; the count does.) */
    EXPECT_EQ(handles, testbed::CountHandles(GetCurrentProcessId(), GetCurrentProcess()))
        << "the process holds more handles than with the first port open";
    EXPECT_EQ(9600u, testbed::LineRate(3));
}

TEST_F(SelectPortTest, LineSettingsAndTimeoutsReadBack)
{
    ASSERT_NE(0, SelectPort(2, 8));

    /* Parity 0 is NOPARITY; stop bits 0, ONESTOPBIT. */
    DCB dcb = {};
    ASSERT_TRUE(testbed::LineSettings(2, &dcb));
    EXPECT_EQ("38400 baud, 8 bits, parity 0, stop bits 0, binary 1, CTS flow 0, XON/XOFF out 0 in 0",
              Format("%lu baud, %u bits, parity %u, stop bits %u, binary %u, CTS flow %u, XON/XOFF out %u in %u",
                     (unsigned long)dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fBinary,
                     dcb.fOutxCtsFlow, dcb.fOutX, dcb.fInX));

    /* A pty always reports DTR and RTS enabled; check what was applied
       (0: DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE). */
    const DCB &applied = AppState.lineSettings;
    EXPECT_EQ("length 28, DTR 0, RTS 0, parity check 0, abort on error 0, DSR flow 0, DSR sensitive 0, null "
              "strip 0, error char 0, event char 0",
              Format("length %lu, DTR %u, RTS %u, parity check %u, abort on error %u, DSR flow %u, DSR sensitive "
                     "%u, null strip %u, error char %u, event char %d",
                     (unsigned long)applied.DCBlength, applied.fDtrControl, applied.fRtsControl, applied.fParity,
                     applied.fAbortOnError, applied.fOutxDsrFlow, applied.fDsrSensitivity, applied.fNull,
                     applied.fErrorChar, applied.EvtChar));
    /* Windows' SetCommState refuses equal XON and XOFF characters, even
       with XON/XOFF off; Wine does not check. */
    EXPECT_EQ("XON/XOFF out 0 in 0, XON 0x11, XOFF 0x13",
              Format("XON/XOFF out %u in %u, XON 0x%02X, XOFF 0x%02X", applied.fOutX, applied.fInX,
                     (unsigned char)applied.XonChar, (unsigned char)applied.XoffChar));

    COMMTIMEOUTS t = {};
    ASSERT_TRUE(GetCommTimeouts(AppState.portHandle, &t));
    EXPECT_EQ("read: interval 500, 0 per byte + 100; write: 4 per byte + 250",
              Format("read: interval %lu, %lu per byte + %lu; write: %lu per byte + %lu",
                     (unsigned long)t.ReadIntervalTimeout, (unsigned long)t.ReadTotalTimeoutMultiplier,
                     (unsigned long)t.ReadTotalTimeoutConstant, (unsigned long)t.WriteTotalTimeoutMultiplier,
                     (unsigned long)t.WriteTotalTimeoutConstant));

    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(AppState.portHandle, &mask));
    EXPECT_EQ((DWORD)EV_RXCHAR, mask);
}

/* The program only reads: its handle must not be able to write to the
   device (and so to the scanner). */
TEST_F(SelectPortTest, PortIsOpenedForReadingOnly)
{
    ASSERT_NE(0, SelectPort(2, 5));
    PUBLIC_OBJECT_BASIC_INFORMATION info = {};
    ASSERT_EQ(0, NtQueryObject(AppState.portHandle, ObjectBasicInformation, &info, sizeof info, nullptr));
    EXPECT_EQ((ACCESS_MASK)FILE_GENERIC_READ, info.GrantedAccess) << "granted access 0x" << std::hex
                                                                  << info.GrantedAccess;
}

TEST_F(SelectPortTest, EverySpeedIndexConfiguresItsRate)
{
    for (int i = 0; i < SPEED_COUNT; i++) {
        ASSERT_NE(0, SelectPort(1, i)) << "speed index " << i;
        EXPECT_EQ(SpeedTable[i].baudRate, AppState.lineSettings.BaudRate) << "speed index " << i;
        /* Linux has no 14400 rate; Wine asks the driver for a custom
           divisor, which a pty ignores, and reads back 38400. */
        if (SpeedTable[i].baudRate != 14400) {
            EXPECT_EQ(SpeedTable[i].baudRate, testbed::LineRate(1)) << "speed index " << i;
        }
    }
}

TEST_F(SelectPortTest, SpeedIndexWithoutTableEntryOpensButFails)
{
    ASSERT_NE(0, SelectPort(1, 5));
    DWORD before = AppState.lineSettings.BaudRate;
    for (int bad : {-1, 9, 0x7FFFFFFF}) {
        EXPECT_EQ(0, SelectPort(2, bad)) << "speed index " << bad;
        EXPECT_EQ(1, IsPortOpen()) << "the port is opened before the speed is looked up";
        EXPECT_EQ(before, AppState.lineSettings.BaudRate) << "no rate may be invented";
    }
}

}  // namespace
