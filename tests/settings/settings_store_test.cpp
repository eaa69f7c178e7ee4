/*
 * The settings store: AccessSettings on the test bed's own registry, and
 * the program as a whole loading the key at start-up and saving it at an
 * orderly end.
 */
#include <gtest/gtest.h>

#include "settings/settings.h"
#include "support/cable.h"
#include "support/dialogs.h"
#include "support/census.h"
#include "support/program.h"
#include "support/program_test.h"
#include "support/registry.h"
#include "support/target.h"

#include "resource.h"

namespace {

const char kScan[] = "400638133393\r";

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

class AccessSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { testbed::DeleteSettingsKey(); }
    void TearDown() override { testbed::DeleteSettingsKey(); }
};

TEST_F(AccessSettingsTest, FirstLoadCreatesTheKeyEmptyAndKeepsTheValuesInForce)
{
    ASSERT_FALSE(testbed::SettingsKeyExists()) << "the key could not be deleted";
    int port = 2, speed = 5;
    AccessSettings(&port, &speed, 1);
    EXPECT_TRUE(testbed::SettingsKeyExists()) << "loading should create the key";
    EXPECT_EQ(0u, ValueCount()) << "values in the new key";
    EXPECT_EQ(2, port);
    EXPECT_EQ(5, speed);
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
        DWORD stored = 0;
        ASSERT_TRUE(testbed::GetSettingDword("Port", &stored)) << "Port is missing or not a 4-byte DWORD";
        EXPECT_EQ((DWORD)c.port, stored);
        ASSERT_TRUE(testbed::GetSettingDword("Baud", &stored)) << "Baud is missing or not a 4-byte DWORD";
        EXPECT_EQ((DWORD)c.speed, stored);

        int loadedPort = 2, loadedSpeed = 5;
        AccessSettings(&loadedPort, &loadedSpeed, 1);
        EXPECT_EQ(c.port, loadedPort);
        EXPECT_EQ(c.speed, loadedSpeed);
    }
}

TEST_F(AccessSettingsTest, AMissingValueLeavesItsIntegerAlone)
{
    testbed::SetSettingDword("Port", 3);
    int port = 2, speed = 5;
    AccessSettings(&port, &speed, 1);
    EXPECT_EQ(3, port);
    EXPECT_EQ(5, speed) << "no Baud stored";

    testbed::DeleteSettingsKey();
    testbed::SetSettingDword("Baud", 8);
    port = 2;
    speed = 5;
    AccessSettings(&port, &speed, 1);
    EXPECT_EQ(2, port) << "no Port stored";
    EXPECT_EQ(8, speed);
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

        testbed::DeleteSettingsKey();
        testbed::SetSettingRaw("Port", b.type, b.data, b.size);
        testbed::SetSettingDword("Baud", 7);
        int port = 2, speed = 5;
        AccessSettings(&port, &speed, 1);
        EXPECT_EQ(2, port) << "Port held the bad value";
        EXPECT_EQ(7, speed) << "a good Baud next to a bad Port";

        testbed::DeleteSettingsKey();
        testbed::SetSettingDword("Port", 1);
        testbed::SetSettingRaw("Baud", b.type, b.data, b.size);
        port = 2;
        speed = 5;
        AccessSettings(&port, &speed, 1);
        EXPECT_EQ(1, port) << "a good Port next to a bad Baud";
        EXPECT_EQ(5, speed) << "Baud held the bad value";
    }
}

/* ---- The program: load at start-up, save at an orderly end ------------------ */

class StoreEndToEndTest : public testbed::ProgramTest {
protected:
    /* Sends a scan down `port`'s cable; returns what reached `target`.
       Where `expect` characters should come, the scan waits until the
       program is known to read the port (its reader purges it first);
       where none should, whatever comes within a span well over a reader
       pass is returned (absence is only seen over time). */
    std::string SendScan(testbed::TargetWindow &target, int port, size_t expect)
    {
        target.Clear();
        target.TakeFocus();
        testbed::PartnerPort partner(port);
        EXPECT_TRUE(partner.IsOpen()) << testbed::PartnerName(port) << " does not open";
        if (!partner.IsOpen())
            return "";
        if (expect) {
            ::testing::AssertionResult reading = testbed::SyncReader(partner, target);
            EXPECT_TRUE(reading) << "COM" << port;
            if (!reading)
                return "";
        }
        partner.Write(kScan);
        if (expect)
            target.WaitForChars(expect, testbed::kDeliveryTimeoutMs);
        else
            target.Pump(600);
        return target.Text();
    }
};

TEST_F(StoreEndToEndTest, FirstRunCreatesAnEmptyKeyRunsCom2At4800AndSavesTheDefaults)
{
    ASSERT_FALSE(testbed::SettingsKeyExists());
    /* Leave COM2's line at another rate, so that 4800 shows the program set it. */
    ASSERT_TRUE(testbed::SetLineRate(2, 9600));

    testbed::TavrinProcess program;
    ASSERT_TRUE(testbed::StartTavrin(program));
    EXPECT_TRUE(testbed::SettingsKeyExists()) << "start-up should create the key";
    EXPECT_EQ(0u, ValueCount()) << "values in the key while the program runs";
    EXPECT_EQ(4800u, testbed::LineRate(2)) << "COM2's line rate";

    testbed::TargetWindow target;
    EXPECT_EQ(kScan, SendScan(target, 2, sizeof kScan - 1)) << "scan on COM2";

    ASSERT_TRUE(PostMessageA(program.window(), WM_COMMAND, IDM_CLOSE, 0));
    ExpectOrderlyExit(program);
    ExpectStored(2, 5);
}

TEST_F(StoreEndToEndTest, StoredPortWithoutBaudRunsThatPortAt4800)
{
    testbed::SetSettingDword("Port", 3);
    ASSERT_TRUE(testbed::SetLineRate(3, 9600));

    testbed::TavrinProcess program;
    ASSERT_TRUE(testbed::StartTavrin(program));
    EXPECT_EQ(4800u, testbed::LineRate(3)) << "COM3's line rate";

    testbed::TargetWindow target;
    EXPECT_EQ(kScan, SendScan(target, 3, sizeof kScan - 1)) << "scan on COM3";
    EXPECT_EQ("", SendScan(target, 2, 0)) << "COM2 should not be read";

    /* The other way to end in order: the hidden window is closed. */
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(program.window(), WM_CLOSE, 0, 0, SMTO_NORMAL, kExitTimeoutMs, &answer);
    ExpectOrderlyExit(program);
    ExpectStored(3, 5);
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
        if (HasFatalFailure())
            return;
        EXPECT_TRUE(testbed::Responds(program.window(), 5000)) << "the program does not answer";
        ASSERT_TRUE(program.IsRunning()) << "the program ended";
        ASSERT_TRUE(IsWindow(program.window())) << "its window is gone";

        PostMessageA(program.window(), WM_COMMAND, IDM_SETTINGS, 0);
        HWND dialog = testbed::WaitForDialog(program.pid(), 10000);
        ASSERT_NE(nullptr, dialog) << "the settings dialog did not open";
        bool portValid = c.port >= 1 && c.port <= 4;
        for (int id = IDC_COM1; id <= IDC_COM4; id++) {
            UINT expected = portValid && (DWORD)(id - IDC_COM1 + 1) == c.port ? BST_CHECKED : BST_UNCHECKED;
            EXPECT_EQ(expected, IsDlgButtonChecked(dialog, id)) << "button " << id;
        }
        LRESULT selection = SendMessageA(GetDlgItem(dialog, IDC_SPEED), CB_GETCURSEL, 0, 0);
        EXPECT_EQ(c.speed <= 8 ? (LRESULT)c.speed : (LRESULT)CB_ERR, selection) << "list selection";

        DWORD_PTR answer = 0;
        SendMessageTimeoutA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &answer);
        EXPECT_TRUE(testbed::WaitForWindowGone(dialog, 5000)) << "OK did not end the dialog";
        EXPECT_TRUE(program.IsRunning());

        PostMessageA(program.window(), WM_COMMAND, IDM_CLOSE, 0);
        ExpectOrderlyExit(program);
        ExpectStored(c.port, c.speed);
    }
}

}  // namespace
