/*
 * Hand-edited settings: "Port" and "Baud" missing, stored as REG_DWORD in
 * and out of range, or with another type or size. With each combination
 * the program starts, its icon tells the truth, the settings dialog opens
 * on what is in force, a valid choice in it recovers, and an orderly end
 * stores valid values where the user chose them and what was in force
 * elsewhere. The program runs as its own process.
 *
 * What the program makes of them: only a 4-byte REG_DWORD is taken; any
 * other stored value leaves the built-in COM2 or 4800 baud in force. A
 * port outside 1..4, or a speed index outside 0..8, is kept but fails the
 * selection (no-port icon); the dialog then shows no port checked or no
 * speed selected, and OK keeps what is in force for that control.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "support/cable.h"
#include "support/dialogs.h"
#include "support/program.h"
#include "support/registry.h"
#include "support/screen.h"
#include "support/streams.h"
#include "support/target.h"

using testbed::TrayState;

namespace {

/* One way a value can be stored (or not). */
struct Stored {
    const char *name;
    bool present;
    DWORD type;
    DWORD size;        /* bytes written */
    ULONGLONG value;   /* little-endian bytes, or the text for REG_SZ */
};

const Stored kPortKinds[] = {
    {"missing", false, 0, 0, 0},
    {"dword_0", true, REG_DWORD, 4, 0},
    {"dword_5", true, REG_DWORD, 4, 5},
    {"dword_minus1", true, REG_DWORD, 4, 0xFFFFFFFFu},
    {"dword_7FFFFFFF", true, REG_DWORD, 4, 0x7FFFFFFFu},
    {"dword_3", true, REG_DWORD, 4, 3},
    {"dword_4_absent", true, REG_DWORD, 4, 4},
    {"sz_3", true, REG_SZ, 2, '3'},
    {"binary4_3", true, REG_BINARY, 4, 3},
    {"dword_2bytes_3", true, REG_DWORD, 2, 3},
    {"qword_3", true, REG_QWORD, 8, 3},
};
const Stored kBaudKinds[] = {
    {"missing", false, 0, 0, 0},
    {"dword_0", true, REG_DWORD, 4, 0},
    {"dword_5", true, REG_DWORD, 4, 5},
    {"dword_minus1", true, REG_DWORD, 4, 0xFFFFFFFFu},
    {"dword_7FFFFFFF", true, REG_DWORD, 4, 0x7FFFFFFFu},
    {"dword_9", true, REG_DWORD, 4, 9},
    {"sz_6", true, REG_SZ, 2, '6'},
    {"binary4_6", true, REG_BINARY, 4, 6},
    {"dword_2bytes_6", true, REG_DWORD, 2, 6},
    {"qword_6", true, REG_QWORD, 8, 6},
};
const int kPortKindCount = (int)(sizeof kPortKinds / sizeof kPortKinds[0]);
const int kBaudKindCount = (int)(sizeof kBaudKinds / sizeof kBaudKinds[0]);

void Store(const char *name, const Stored &stored)
{
    if (!stored.present)
        return;
    BYTE bytes[8];
    for (int i = 0; i < 8; i++)
        bytes[i] = (BYTE)(stored.value >> (8 * i));
    testbed::SetSettingRaw(name, stored.type, bytes, stored.size);
}

/* What is in force after loading: the stored number if it is a 4-byte
   REG_DWORD, else the built-in value. */
int InForce(const Stored &stored, int builtIn)
{
    return stored.present && stored.type == REG_DWORD && stored.size == 4 ? (int)(DWORD)stored.value : builtIn;
}

bool WorkingPort(int port)
{
    return port >= 1 && port <= 3; /* COM4 is absent from the test bed */
}

bool ValidSpeed(int speed)
{
    return speed >= 0 && speed <= 8;
}

struct Case {
    int port;   /* index into kPortKinds */
    int baud;   /* index into kBaudKinds */
    bool choose; /* make a valid choice; else cancel the dialog */
};

/* What ctest shows after a case's name. */
void PrintTo(const Case &c, std::ostream *out)
{
    *out << "in force: port " << InForce(kPortKinds[c.port], 2) << ", speed index " << InForce(kBaudKinds[c.baud], 5);
}

std::string CaseName(const ::testing::TestParamInfo<Case> &info)
{
    return std::string("Port_") + kPortKinds[info.param.port].name + "_Baud_" + kBaudKinds[info.param.baud].name +
           (info.param.choose ? "_Choose" : "_Cancel");
}

class HandEditedSettings : public ::testing::TestWithParam<Case> {};

TEST_P(HandEditedSettings, StartDialogAndOrderlyEnd)
{
    const Case &c = GetParam();
    const Stored &portStored = kPortKinds[c.port];
    const Stored &baudStored = kBaudKinds[c.baud];
    const int port = InForce(portStored, 2);
    const int speed = InForce(baudStored, 5);
    const bool portOk = WorkingPort(port) && ValidSpeed(speed);

    testbed::DeleteSettingsKey();
    Store("Port", portStored);
    Store("Baud", baudStored);
    testbed::TavrinProcess program;
    ASSERT_TRUE(program.Start()) << "cannot start " << testbed::TavrinExePath() << ", error " << GetLastError();
    ASSERT_TRUE(program.WaitForReady());

    /* The icon tells the truth. */
    TrayState expected = portOk ? TrayState::Ready : TrayState::NoPort;
    testbed::TrayView view;
    bool reached = testbed::WaitForTray(expected, 5000, &view);
    EXPECT_TRUE(reached) << "in force: port " << port << ", speed index " << speed << "; expected the "
                         << testbed::TrayStateName(expected) << " icon, tray shows " << view.Describe();

    /* The dialog opens on what is in force. */
    HWND dialog = testbed::OpenSettingsDialog(program.window(), program.pid(), 5000);
    ASSERT_NE(nullptr, dialog) << "the settings dialog did not open";
    testbed::DialogChoice shown = testbed::ReadSettingsDialog(dialog);
    EXPECT_EQ(port >= 1 && port <= 4 ? port : 0, shown.port) << "port button checked (0: none)";
    EXPECT_EQ(ValidSpeed(speed) ? speed : -1, shown.speed) << "speed selected (-1: none)";

    int finalPort = port, finalSpeed = speed;
    if (c.choose) {
        /* A valid choice: a working port where none is in force (or another
           one where all is well, so that something changes), and a speed
           only where none valid is in force. */
        int newPort = 0, newSpeed = -1;
        if (!WorkingPort(port) || ValidSpeed(speed))
            newPort = port == 1 ? 2 : 1;
        if (!ValidSpeed(speed))
            newSpeed = 6;
        ASSERT_TRUE(testbed::ChooseInSettingsDialog(dialog, newPort, newSpeed, 10000)) << "OK did not close it";
        finalPort = newPort ? newPort : port;
        finalSpeed = newSpeed >= 0 ? newSpeed : speed;
        reached = testbed::WaitForTray(TrayState::Ready, 5000, &view);
        EXPECT_TRUE(reached) << "after choosing COM" << finalPort << " at index " << finalSpeed
                             << " the tray shows " << view.Describe();

        testbed::PartnerPort partner(finalPort);
        testbed::TargetWindow target;
        ASSERT_TRUE(testbed::SyncReader(partner, target, 5000)) << "COM" << finalPort << " delivers nothing";
        std::string scan = testbed::ScanText((uint32_t)(c.port * 100 + c.baud), 0x4E6D);
        ASSERT_TRUE(testbed::SendAndSettle(partner, target, scan, 200));
        EXPECT_EQ(scan, target.Text());
    } else {
        ASSERT_TRUE(testbed::CancelDialog(dialog, 5000));
    }

    DWORD code = 99;
    ASSERT_TRUE(testbed::CloseProgram(program.window(), program.process(), 10000, &code));
    EXPECT_EQ(0u, code);
    DWORD storedPort = 0, storedSpeed = 0;
    EXPECT_TRUE(testbed::GetSettingDword("Port", &storedPort)) << "Port is not a 4-byte REG_DWORD after the end";
    EXPECT_TRUE(testbed::GetSettingDword("Baud", &storedSpeed)) << "Baud is not a 4-byte REG_DWORD after the end";
    EXPECT_EQ((DWORD)finalPort, storedPort);
    EXPECT_EQ((DWORD)finalSpeed, storedSpeed);
}

/* Every kind of each value at least once, paired off, each with a choice;
   and two combinations cancelled. */
std::vector<Case> ShortCases()
{
    std::vector<Case> cases;
    for (int i = 0; i < kPortKindCount; i++)
        cases.push_back({i, (i * 3) % kBaudKindCount, true});
    cases.push_back({4, 6, false});  /* 0x7FFFFFFF with a REG_SZ speed */
    cases.push_back({10, 5, false}); /* a REG_QWORD with index 9 */
    return cases;
}

std::vector<Case> AllCases()
{
    std::vector<Case> cases;
    for (int choose = 1; choose >= 0; choose--) {
        for (int p = 0; p < kPortKindCount; p++) {
            for (int b = 0; b < kBaudKindCount; b++)
                cases.push_back({p, b, choose != 0});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Pairs, HandEditedSettings, ::testing::ValuesIn(ShortCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(EveryCombinationSoak, HandEditedSettings, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
