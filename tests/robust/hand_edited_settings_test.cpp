/*
 * Hand-edited settings: "Port" and "Baud" missing, stored as REG_DWORD in
 * and out of range, or with another type or size, in every pairing. Only
 * a 4-byte REG_DWORD is taken; any other stored value leaves the built-in
 * COM2 or 4800 baud in force. A port outside 1..4, or a speed index
 * outside 0..8, is kept but fails the selection (no-port icon); the dialog
 * then shows no port checked or no speed selected, and OK keeps what is in
 * force for that control. An orderly end stores what is then in force.
 */
#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "support/dialogs.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/screen.h"
#include "support/streams.h"

using testbed::TrayState;

namespace {

/* Cancels the settings dialog and waits until it has closed. */
bool CancelDialog(HWND dialog, DWORD timeoutMs)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDCANCEL));
    return testbed::WaitForWindowHidden(dialog, timeoutMs);
}

/* One way a value can be stored (or not). */
struct Stored {
    std::string name;
    bool present;
    DWORD type;
    DWORD size;        /* bytes written */
    ULONGLONG value;   /* stored as its first `size` bytes (little-endian): a number, or the text for REG_SZ */
};

/* The ways a value can be stored: missing; as a 4-byte REG_DWORD, in range
   or not (the edges both values share, then `own`); and holding `digit`
   as another type or size, which the program must ignore. */
std::vector<Stored> Kinds(std::initializer_list<Stored> own, int digit)
{
    std::vector<Stored> kinds = {{"missing", false, 0, 0, 0},
                                 {"dword_0", true, REG_DWORD, 4, 0},
                                 {"dword_5", true, REG_DWORD, 4, 5},
                                 {"dword_minus1", true, REG_DWORD, 4, 0xFFFFFFFFu},
                                 {"dword_7FFFFFFF", true, REG_DWORD, 4, 0x7FFFFFFFu}};
    kinds.insert(kinds.end(), own);
    const std::string d = std::to_string(digit);
    kinds.push_back({"sz_" + d, true, REG_SZ, 2, (ULONGLONG)('0' + digit)});
    kinds.push_back({"binary4_" + d, true, REG_BINARY, 4, (ULONGLONG)digit});
    kinds.push_back({"dword_2bytes_" + d, true, REG_DWORD, 2, (ULONGLONG)digit});
    kinds.push_back({"qword_" + d, true, REG_QWORD, 8, (ULONGLONG)digit});
    return kinds;
}

const std::vector<Stored> kPortKinds =
    Kinds({{"dword_3", true, REG_DWORD, 4, 3}, {"dword_4_absent", true, REG_DWORD, 4, 4}}, 3);
const std::vector<Stored> kBaudKinds = Kinds({{"dword_9", true, REG_DWORD, 4, 9}}, 6);

void Store(const char *name, const Stored &stored)
{
    if (stored.present)
        testbed::SetSettingRaw(name, stored.type, &stored.value, stored.size);
}

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

class HandEditedSettings : public testbed::ProgramTest, public ::testing::WithParamInterface<Case> {};

TEST_P(HandEditedSettings, StartDialogAndOrderlyEnd)
{
    const Case &c = GetParam();
    const int port = InForce(kPortKinds[c.port], 2);
    const int speed = InForce(kBaudKinds[c.baud], 5);
    Store("Port", kPortKinds[c.port]);
    Store("Baud", kBaudKinds[c.baud]);
    ASSERT_TRUE(testbed::StartTavrin(program_));

    /* The icon tells the truth. */
    EXPECT_TRUE(testbed::IconShows(WorkingPort(port) && ValidSpeed(speed) ? TrayState::Ready : TrayState::NoPort))
        << "in force: port " << port << ", speed index " << speed;

    /* The dialog opens on what is in force. */
    HWND dialog = testbed::OpenSettingsDialog(program_.window(), program_.pid(), 5000);
    ASSERT_NE(nullptr, dialog) << "the settings dialog did not open";
    testbed::ExpectDialogShows(dialog, port >= 1 && port <= 4 ? port : 0, ValidSpeed(speed) ? speed : -1);

    int finalPort = port, finalSpeed = speed;
    if (c.choose) {
        /* A valid choice: a working port where none is in force (or another
           one where all is well, so that something changes), and a speed
           only where none valid is in force. */
        const int newPort = !WorkingPort(port) || ValidSpeed(speed) ? (port == 1 ? 2 : 1) : 0;
        const int newSpeed = ValidSpeed(speed) ? -1 : 6;
        ASSERT_TRUE(testbed::ChooseInSettingsDialog(dialog, newPort, newSpeed, 10000)) << "OK did not close it";
        finalPort = newPort ? newPort : port;
        finalSpeed = newSpeed >= 0 ? newSpeed : speed;
        EXPECT_TRUE(testbed::IconShows(TrayState::Ready)) << "after choosing COM" << finalPort << " at index "
                                                           << finalSpeed;

        std::string scan = testbed::ScanText((uint32_t)(c.port * 100 + c.baud), 0x4E6D);
        EXPECT_TRUE(testbed::ScanArrives(finalPort, scan, 5000));
    } else {
        ASSERT_TRUE(CancelDialog(dialog, 5000));
    }

    ASSERT_NO_FATAL_FAILURE(CloseInOrder(program_));
    testbed::ExpectStored((DWORD)finalPort, (DWORD)finalSpeed);
}

/* Every kind of each value at least once, paired off, each with a choice;
   and two combinations cancelled. */
std::vector<Case> ShortCases()
{
    std::vector<Case> cases;
    for (int i = 0; i < (int)kPortKinds.size(); i++)
        cases.push_back({i, (i * 3) % (int)kBaudKinds.size(), true});
    cases.push_back({4, 6, false});  /* 0x7FFFFFFF with a REG_SZ speed */
    cases.push_back({10, 5, false}); /* a REG_QWORD with index 9 */
    return cases;
}

std::vector<Case> AllCases()
{
    std::vector<Case> cases;
    for (bool choose : {true, false})
        for (int p = 0; p < (int)kPortKinds.size(); p++)
            for (int b = 0; b < (int)kBaudKinds.size(); b++)
                cases.push_back({p, b, choose});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Pairs, HandEditedSettings, ::testing::ValuesIn(ShortCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(EveryCombinationSoak, HandEditedSettings, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
