/*
 * The settings store: AccessSettings in this process, and the program
 * loading the key at start-up and saving it at an orderly end.
 */
#include <gtest/gtest.h>

#include <utility>

#include "app/app.h"
#include "settings/settings.h"
#include "support/cable.h"
#include "support/dialogs.h"
#include "support/census.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/streams.h"

namespace {

DWORD ValueCount()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0xFFFFFFFF;
    DWORD values = 0xFFFFFFFF;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(key);
    return values;
}

/* The store itself, in this process, on the key as ProgramTest leaves it. */
class AccessSettingsTest : public testbed::ProgramTest {
protected:
    /* What loading makes of the key, from the built-in COM2 at index 5. */
    static std::pair<int, int> Load()
    {
        int port = 2, speed = 5;
        AccessSettings(&port, &speed, 1);
        return {port, speed};
    }
};

TEST_F(AccessSettingsTest, FirstLoadCreatesTheKeyEmptyAndKeepsTheValuesInForce)
{
    ASSERT_FALSE(testbed::SettingsKeyExists()) << "the key could not be deleted";
    EXPECT_EQ(std::make_pair(2, 5), Load());
    EXPECT_TRUE(testbed::SettingsKeyExists()) << "loading should create the key";
    EXPECT_EQ(0u, ValueCount()) << "values in the new key";
}

TEST_F(AccessSettingsTest, SaveWritesFourByteDwordsThatLoadReadsBack)
{
    /* Out-of-range values are stored and loaded as they are: the range is
       the selection's and the dialog's business. */
    const struct {
        int port, speed;
    } cases[] = {{1, 6}, {4, 0}, {-1, 0x7FFFFFFF}, {0, 9}};
    for (const auto &c : cases) {
        SCOPED_TRACE("port " + std::to_string(c.port) + ", speed index " + std::to_string(c.speed));
        int port = c.port, speed = c.speed;
        AccessSettings(&port, &speed, 0);
        testbed::ExpectStored((DWORD)c.port, (DWORD)c.speed);
        EXPECT_EQ(std::make_pair(c.port, c.speed), Load());
    }
}

TEST_F(AccessSettingsTest, AMissingValueLeavesItsIntegerAlone)
{
    testbed::StoreSettings(3, -1);
    EXPECT_EQ(std::make_pair(3, 5), Load()) << "no Baud stored";
    testbed::StoreSettings(0, 8);
    EXPECT_EQ(std::make_pair(2, 8), Load()) << "no Port stored";
}

/* Only a hand edit leaves such values; each is ignored and the value in
   force stays, while the other, well-formed value is still taken. The
   bytes are chosen so that taking them anyway would show (3, not 2 or 5). */
TEST_F(AccessSettingsTest, ValuesOfAnotherTypeOrSizeAreIgnored)
{
    const BYTE three8[8] = {3, 0, 0, 0, 0, 0, 0, 0};
    const BYTE bigEndianThree[4] = {0, 0, 0, 3};
    const struct {
        const char *name;
        DWORD type;
        const void *data;
        DWORD size;
    } bad[] = {
        {"REG_SZ \"3\"", REG_SZ, "3", 2},
        {"REG_SZ \"3\\0\\0\" (4 bytes)", REG_SZ, "3\0\0", 4},
        {"REG_BINARY of 2 bytes", REG_BINARY, three8, 2},
        {"REG_BINARY of 4 bytes", REG_BINARY, three8, 4},
        {"REG_BINARY of 8 bytes", REG_BINARY, three8, 8},
        {"REG_QWORD", REG_QWORD, three8, 8},
        {"REG_DWORD of 2 bytes", REG_DWORD, three8, 2},
        {"REG_DWORD of 8 bytes", REG_DWORD, three8, 8},
        {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN, bigEndianThree, 4},
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.name);

        testbed::StoreSettings(0, 7);
        testbed::SetSettingRaw("Port", b.type, b.data, b.size);
        EXPECT_EQ(std::make_pair(2, 7), Load()) << "a bad Port next to a good Baud";
        testbed::StoreSettings(1, -1);
        testbed::SetSettingRaw("Baud", b.type, b.data, b.size);
        EXPECT_EQ(std::make_pair(1, 5), Load()) << "a good Port next to a bad Baud";
    }
}

/* Keys chooses key presses with a REG_DWORD of 1 alone; the store reads
   it and never writes it. */
TEST_F(AccessSettingsTest, OnlyADwordKeysOfOneChoosesKeyPressesAndSavingLeavesKeysAlone)
{
    const BYTE one8[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    const struct {
        const char *name;
        DWORD type;
        const void *data;
        DWORD size;
        LONG keys;
    } cases[] = {
        {"REG_DWORD 1", REG_DWORD, one8, 4, 1},          {"no Keys", REG_NONE, nullptr, 0, 0},
        {"REG_DWORD 0", REG_DWORD, one8 + 4, 4, 0},      {"REG_DWORD 2", REG_DWORD, "\2\0\0", 4, 0},
        {"REG_SZ \"1\"", REG_SZ, "1", 2, 0},             {"REG_BINARY 01 00 00 00", REG_BINARY, one8, 4, 0},
        {"REG_QWORD 1", REG_QWORD, one8, 8, 0},          {"REG_DWORD_BIG_ENDIAN 1", REG_DWORD_BIG_ENDIAN, one8, 4, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        testbed::StoreSettings(1, 6);
        if (c.data)
            testbed::SetSettingRaw("Keys", c.type, c.data, c.size);
        AppState.typeKeys = 1 - c.keys;
        EXPECT_EQ(std::make_pair(1, 6), Load());
        EXPECT_EQ(c.keys, AppState.typeKeys.load()) << "AppState.typeKeys after loading";

        int port = 3, speed = 2;
        AccessSettings(&port, &speed, 0);
        EXPECT_EQ(c.data ? 3u : 2u, ValueCount()) << "values after saving";
        DWORD keys = 0;
        const bool dword = c.data && c.type == REG_DWORD;
        EXPECT_EQ(dword, testbed::GetSettingDword("Keys", &keys)) << "a DWORD Keys after saving";
        EXPECT_EQ(dword ? *(const DWORD *)c.data : keys, keys) << "Keys after saving";
    }
    AppState.typeKeys = 0;
}

/* ---- The program: load at start-up, save at an orderly end ------------------ */

class StoreEndToEndTest : public testbed::ProgramTest {};

TEST_F(StoreEndToEndTest, FirstRunCreatesAnEmptyKeyRunsCom2At4800AndSavesTheDefaults)
{
    ASSERT_FALSE(testbed::SettingsKeyExists());
    /* Leave COM2's line at another rate, so that 4800 shows the program set it. */
    ASSERT_TRUE(testbed::SetLineRate(2, 9600));

    ASSERT_TRUE(testbed::StartTavrin(program_));
    EXPECT_TRUE(testbed::SettingsKeyExists()) << "start-up should create the key";
    EXPECT_EQ(0u, ValueCount()) << "values in the key while the program runs";
    EXPECT_EQ(4800u, testbed::LineRate(2)) << "COM2's line rate";

    EXPECT_TRUE(testbed::ScanArrives(2, testbed::DigitScan(1)));

    CloseInOrder(program_);
    testbed::ExpectStored(2, 5);
}

TEST_F(StoreEndToEndTest, StoredPortWithoutBaudRunsThatPortAt4800)
{
    testbed::SetSettingDword("Port", 3);
    ASSERT_TRUE(testbed::SetLineRate(3, 9600));

    ASSERT_TRUE(testbed::StartTavrin(program_));
    EXPECT_EQ(4800u, testbed::LineRate(3)) << "COM3's line rate";

    EXPECT_TRUE(testbed::ScanArrives(3, testbed::DigitScan(1)));
    EXPECT_TRUE(testbed::NothingArrives(2, testbed::DigitScan(1))) << "COM2 should not be read";

    /* The other way to end in order: the hidden window is closed. */
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(program_.window(), WM_CLOSE, 0, 0, SMTO_NORMAL, kExitTimeoutMs, &answer);
    ExpectOrderlyExit(program_);
    testbed::ExpectStored(3, 5);
}

/* Values only a hand edit brings: the program starts and runs, the dialog
   opens with nothing chosen in that control, OK keeps them, and they are
   saved back as they were. */
TEST_F(StoreEndToEndTest, OutOfRangeStoredValuesStartAndOpenTheDialogWithNothingChosen)
{
    const struct {
        DWORD port, speed;
    } cases[] = {{0, 5}, {5, 5}, {0xFFFFFFFF, 5}, {0x7FFFFFFF, 5}, {2, 9}, {2, 0xFFFFFFFF}};
    for (const auto &c : cases) {
        SCOPED_TRACE("stored Port " + std::to_string((int)c.port) + ", Baud " + std::to_string((int)c.speed));
        testbed::DeleteSettingsKey();
        testbed::SetSettingDword("Port", c.port);
        testbed::SetSettingDword("Baud", c.speed);

        testbed::TavrinProcess program;
        ASSERT_TRUE(testbed::StartTavrin(program));
        EXPECT_TRUE(testbed::Responds(program.window(), 5000)) << "the program does not answer";
        ASSERT_TRUE(program.IsRunning()) << "the program ended";
        ASSERT_TRUE(IsWindow(program.window())) << "its window is gone";

        HWND dialog = testbed::OpenSettingsDialog(program.window(), program.pid(), 10000);
        ASSERT_NE(nullptr, dialog) << "the settings dialog did not open";
        testbed::ExpectDialogShows(dialog, c.port >= 1 && c.port <= 4 ? (int)c.port : 0,
                                   c.speed <= 8 ? (int)c.speed : -1);

        EXPECT_TRUE(testbed::ChooseInSettingsDialog(dialog, 0, -1, 5000)) << "OK did not end the dialog";
        EXPECT_TRUE(program.IsRunning());

        CloseInOrder(program);
        testbed::ExpectStored(c.port, c.speed);
    }
}

}  // namespace
