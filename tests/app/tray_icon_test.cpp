/*
 * The tray status icon, in process: its shell record and picture, its three
 * icon resources, and its life in the test bed's notification area, where
 * a shell that refuses the icon at first gets it again later.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "resource.h"
#include "serial/serial.h"
#include "support/host.h"
#include "support/screen.h"
#include "support/stand_in.h"
#include "support/timing.h"

using testbed::TrayState;

namespace {

/* The first form of the shell's record: 88 bytes where the program ships
   (32-bit); the same layout is 104 bytes in the 64-bit test build. */
static_assert(sizeof(void *) != 4 || NOTIFYICONDATAA_V1_SIZE == 88, "first form is 88 bytes on 32-bit");
static_assert(sizeof(void *) != 8 || NOTIFYICONDATAA_V1_SIZE == 104, "first form is 104 bytes on 64-bit");

const WORD kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);

/* The icon's owner: a plain STATIC window, gone with its icon after a case. */
class TrayIconTest : public testbed::ProgramStateTest {
protected:
    void SetUp() override
    {
        ProgramStateTest::SetUp();
        AppState.mainWindow = CreateWindowExA(0, "STATIC", "tray owner", 0, 0, 0, 0, 0, nullptr, nullptr,
                                              AppState.instance, nullptr);
        ASSERT_NE(nullptr, AppState.mainWindow) << "error " << GetLastError();
    }

    static HICON Loaded(int id) { return LoadIconA(AppState.instance, MAKEINTRESOURCEA(id)); }
};

TEST_F(TrayIconTest, RecordCarriesWindowMessageTipAndChosenPicture)
{
    const HICON ready = Loaded(IDI_READY), noPort = Loaded(IDI_NOPORT), active = Loaded(IDI_ACTIVE);
    for (HICON icon : {ready, noPort, active})
        ASSERT_NE(nullptr, icon);
    ASSERT_TRUE(ready != noPort && ready != active && noPort != active)
        << "the three icons must be distinct for this test to tell them apart";

    struct Row {
        int portOk;
        LONG transferActive;
        HICON expected;
        const char *name;
    };
    const Row rows[] = {
        {0, 0, noPort, "IDI_NOPORT"},
        {0, 1, noPort, "IDI_NOPORT"},   /* no port wins over a transfer */
        {1, 0, ready, "IDI_READY"},
        {1, 1, active, "IDI_ACTIVE"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "PortOk " << row.portOk << ", transferActive " << row.transferActive);
        AppState.transferActive = row.transferActive;
        NOTIFYICONDATAA record;
        memset(&record, 0xA5, sizeof record);
        FillTrayRecord(&record, row.portOk);

        EXPECT_EQ(row.expected, record.hIcon) << "expected " << row.name << " " << row.expected << " (ready "
                                              << ready << ", no port " << noPort << ", active " << active << ")";
        EXPECT_EQ((DWORD)NOTIFYICONDATAA_V1_SIZE, record.cbSize);
        EXPECT_EQ(AppState.mainWindow, record.hWnd);
        EXPECT_EQ(0u, record.uID);
        EXPECT_EQ(7u, record.uFlags) << "NIF_MESSAGE | NIF_ICON | NIF_TIP";
        EXPECT_EQ(1025u, record.uCallbackMessage);
        EXPECT_STREQ("Tavrin transference", record.szTip);
    }
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR param)
{
    reinterpret_cast<std::set<WORD> *>(param)->insert(language);
    return TRUE;
}

std::set<WORD> LanguagesOf(LPCSTR type, int id)
{
    std::set<WORD> languages;
    EnumResourceLanguagesA(nullptr, type, MAKEINTRESOURCEA(id), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

const BYTE *ResourceBytes(LPCSTR type, int id, WORD language, DWORD *size)
{
    HRSRC found = FindResourceExA(nullptr, type, MAKEINTRESOURCEA(id), language);
    if (!found)
        return nullptr;
    *size = SizeofResource(nullptr, found);
    return static_cast<const BYTE *>(LockResource(LoadResource(nullptr, found)));
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colourCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved, type, count;
    GroupIconEntry entries[1];
};
#pragma pack(pop)

/* Icon `id`'s Russian RT_GROUP_ICON; null when it is missing or cut short. */
const GroupIconHeader *IconGroup(int id)
{
    DWORD size = 0;
    const BYTE *bytes = ResourceBytes(RT_GROUP_ICON, id, kRussian, &size);
    return bytes && size >= sizeof(GroupIconHeader) ? reinterpret_cast<const GroupIconHeader *>(bytes) : nullptr;
}

TEST_F(TrayIconTest, IconResourcesAreOneRussian16x16ImageWith16Colours)
{
    for (int id : {IDI_READY, IDI_NOPORT, IDI_ACTIVE}) {
        SCOPED_TRACE(testing::Message() << "icon " << id);
        EXPECT_EQ(std::set<WORD>{kRussian}, LanguagesOf(RT_GROUP_ICON, id)) << "languages of the icon group";

        const GroupIconHeader *group = IconGroup(id);
        ASSERT_NE(nullptr, group) << "no Russian RT_GROUP_ICON, or one cut short";
        ASSERT_EQ(1, group->count) << "images in the group";
        const GroupIconEntry &entry = group->entries[0];
        EXPECT_EQ(16, entry.width);
        EXPECT_EQ(16, entry.height);
        EXPECT_EQ(4, entry.bitCount);
        EXPECT_EQ(16, entry.colourCount);

        EXPECT_EQ(std::set<WORD>{kRussian}, LanguagesOf(RT_ICON, entry.id)) << "languages of the image";

        DWORD size = 0;
        const BYTE *image = ResourceBytes(RT_ICON, entry.id, kRussian, &size);
        ASSERT_NE(nullptr, image) << "no Russian RT_ICON " << entry.id;
        BITMAPINFOHEADER header;
        ASSERT_GE(size, sizeof header);
        memcpy(&header, image, sizeof header);
        EXPECT_EQ(16, header.biWidth);
        EXPECT_EQ(32, header.biHeight) << "colour image and mask, 16 rows each";
        EXPECT_EQ(4, header.biBitCount);
        /* Header, 16 palette entries, 4-bit image, 1-bit mask (4-byte rows). */
        const DWORD colourBytes = 16 * 16 / 2, maskBytes = 16 * 4;
        EXPECT_EQ(sizeof header + 16 * 4 + colourBytes + maskBytes, size) << "the mask is missing or cut";
    }
}

/* An icon image drawn on a plain ground, 16 x 16, 0x00RRGGBB per pixel. */
std::vector<DWORD> DrawOn(HICON icon, DWORD ground)
{
    return testbed::PaintOffscreen(16, 16, ground, [icon](HDC dc) {
        return DrawIconEx(dc, 0, 0, icon, 16, 16, 0, nullptr, DI_NORMAL) != FALSE;
    });
}

/* What each pixel of an icon shows, found by drawing it on two grounds: 'T'
   transparent, 'K' black, 'R' red, 'Y' yellow, 'W' white, '?' other; each
   row ends in a line break so that a failure prints the picture. */
struct Picture {
    std::string rows;
    std::vector<DWORD> opaque;   /* the colours of its opaque pixels */
    char At(int x, int y) const { return rows[y * 17 + x]; }
    int Count(char kind) const { return (int)std::count(rows.begin(), rows.end(), kind); }
};

/* Icon `id`'s picture; no rows when it cannot be read or drawn. */
Picture ReadPicture(int id)
{
    Picture picture;
    const GroupIconHeader *group = IconGroup(id);
    DWORD size = 0;
    const BYTE *image = group ? ResourceBytes(RT_ICON, group->entries[0].id, kRussian, &size) : nullptr;
    if (!image)
        return picture;
    HICON icon = CreateIconFromResourceEx(const_cast<BYTE *>(image), size, TRUE, 0x00030000, 16, 16,
                                          LR_DEFAULTCOLOR);
    if (!icon)
        return picture;
    const DWORD magenta = 0xFF00FF, green = 0x00FF00;
    std::vector<DWORD> onMagenta = DrawOn(icon, magenta), onGreen = DrawOn(icon, green);
    DestroyIcon(icon);
    if (onMagenta.size() != 256 || onGreen.size() != 256)
        return picture;
    for (int i = 0; i < 256; i++) {
        if (onMagenta[i] == onGreen[i])
            picture.opaque.push_back(onMagenta[i]);
        if (onMagenta[i] == magenta && onGreen[i] == green)
            picture.rows += 'T';
        else if (onMagenta[i] != onGreen[i])
            picture.rows += '?';   /* neither opaque nor transparent */
        else if (onMagenta[i] == testbed::kBlack)
            picture.rows += 'K';
        else if (onMagenta[i] == testbed::kRed)
            picture.rows += 'R';
        else if (onMagenta[i] == testbed::kYellow)
            picture.rows += 'Y';
        else if (onMagenta[i] == 0xFFFFFF)
            picture.rows += 'W';
        else
            picture.rows += '?';
        if (i % 16 == 15)
            picture.rows += '\n';
    }
    return picture;
}

TEST_F(TrayIconTest, PicturesShowKeyboardRedXAndYellowBody)
{
    const Picture ready = ReadPicture(IDI_READY), noPort = ReadPicture(IDI_NOPORT), active = ReadPicture(IDI_ACTIVE);
    for (const Picture *p : {&ready, &noPort, &active}) {
        ASSERT_EQ(16u * 17, p->rows.size()) << "an icon could not be read or drawn";
        EXPECT_EQ(0, p->Count('?')) << "only black, red, yellow, white and transparent pixels:\n" << p->rows;
        EXPECT_GT(p->Count('K'), 0) << p->rows;
        EXPECT_GT(p->Count('T'), 0) << "a transparent ground (the mask):\n" << p->rows;
    }
    EXPECT_EQ(0, ready.Count('R') + ready.Count('Y')) << ready.rows;
    EXPECT_GT(noPort.Count('R'), 0) << noPort.rows;
    EXPECT_EQ(0, noPort.Count('Y')) << noPort.rows;
    EXPECT_GT(active.Count('Y'), 0) << active.rows;
    EXPECT_EQ(0, active.Count('R') + active.Count('W')) << active.rows;

    /* The same keyboard in all three: the active icon has exactly the
       ready icon's black outline and keys, and the no-port icon keeps every
       black pixel that its X does not cover. */
    int top = 16, bottom = -1, left = 16, right = -1;   /* the ready outline's bounding box */
    for (int y = 0; y < 16; y++) {
        for (int x = 0; x < 16; x++) {
            SCOPED_TRACE(testing::Message() << "pixel " << x << "," << y);
            bool black = ready.At(x, y) == 'K';
            EXPECT_EQ(black, active.At(x, y) == 'K');
            if (black) {
                EXPECT_NE('T', noPort.At(x, y));
                top = std::min(top, y), bottom = std::max(bottom, y);
                left = std::min(left, x), right = std::max(right, x);
            } else {
                EXPECT_NE('K', noPort.At(x, y));
            }
        }
    }
    /* The X runs across the whole icon, corner to corner. */
    for (auto corner : {std::make_pair(0, 0), std::make_pair(15, 0), std::make_pair(0, 15), std::make_pair(15, 15)}) {
        EXPECT_EQ('R', noPort.At(corner.first, corner.second))
            << "corner " << corner.first << "," << corner.second << "\n" << noPort.rows;
    }
    /* Every body is filled, white in the ready icon and yellow in the
       active one: no transparent pixel in the outline's box. */
    ASSERT_LT(top, bottom);
    for (const Picture *p : {&ready, &noPort, &active}) {
        int holes = 0;
        for (int y = top; y <= bottom; y++)
            for (int x = left; x <= right; x++)
                holes += p->At(x, y) == 'T';
        EXPECT_EQ(0, holes) << "the keyboard's body is see-through:\n" << p->rows;
    }
}

/* WCAG 2's relative luminance of a 0x00RRGGBB colour. */
double Luminance(DWORD colour)
{
    double sum = 0;
    for (auto [shift, weight] : {std::make_pair(16, 0.2126), std::make_pair(8, 0.7152), std::make_pair(0, 0.0722)}) {
        double c = ((colour >> shift) & 0xFF) / 255.0;
        sum += weight * (c <= 0.04045 ? c / 12.92 : pow((c + 0.055) / 1.055, 2.4));
    }
    return sum;
}

/* Each icon stands out from dark taskbars (Windows 10 and 11 in dark mode)
   and from light ones: enough of its pixels differ from the ground by a
   contrast ratio of 3:1 or more. */
TEST_F(TrayIconTest, EveryIconShowsOnDarkAndLightTaskbars)
{
    const int kEnough = 24;
    for (int id : {IDI_READY, IDI_NOPORT, IDI_ACTIVE}) {
        const Picture picture = ReadPicture(id);
        ASSERT_FALSE(picture.opaque.empty()) << "icon " << id << " could not be read or drawn";
        for (DWORD ground : {0x101010u, 0x202020u, 0xEEEEEEu, 0xF3F3F3u}) {
            const double g = Luminance(ground);
            int seen = 0;
            for (DWORD pixel : picture.opaque) {
                const double p = Luminance(pixel);
                seen += (std::max(p, g) + 0.05) / (std::min(p, g) + 0.05) >= 3.0;
            }
            EXPECT_GE(seen, kEnough) << "icon " << id << " on #" << std::hex << ground << std::dec << ": " << seen
                                     << " of " << picture.opaque.size() << " opaque pixels at 3:1 or more\n"
                                     << picture.rows;
        }
    }
}

/* The icon in the test bed's real notification area. */
class TrayIconInShellTest : public TrayIconTest {
protected:
    void SetUp() override
    {
        TrayIconTest::SetUp();
        if (std::string why = testbed::WhyNoTaskbar(); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(testbed::IconShows(TrayState::Empty, 3000)) << "before the case";
    }
};

TEST_F(TrayIconInShellTest, AddUpdateAndRemoveChangeThePicture)
{
    AddTrayIcon(1);
    EXPECT_TRUE(testbed::IconShows(TrayState::Ready, 3000));
    EXPECT_EQ(1, LastTrayPortOk());

    AppState.transferActive = 1;
    UpdateTrayIcon(1);
    EXPECT_TRUE(testbed::IconShows(TrayState::Active, 3000));

    /* A lost port shows even while a burst is being delivered. */
    UpdateTrayIcon(0);
    EXPECT_TRUE(testbed::IconShows(TrayState::NoPort, 3000));
    EXPECT_EQ(0, LastTrayPortOk());

    AppState.transferActive = 0;
    UpdateTrayIcon(1);
    EXPECT_TRUE(testbed::IconShows(TrayState::Ready, 3000)) << "again";
    EXPECT_EQ(1, testbed::CountTrayIcons()) << "an update must not add a second icon";

    RemoveTrayIcon();
    EXPECT_TRUE(testbed::IconShows(TrayState::Empty, 3000)) << "after RemoveTrayIcon";
}

/* The program's own window and procedure, so that its retry timer and
   WM_TRAYRETRY reach RetryTrayIcon when this thread pumps. */
class TrayRetryTest : public testbed::HostedWindowTest {
protected:
    void SetUp() override
    {
        HostedWindowTest::SetUp();
        if (std::string why = testbed::WhyNoTaskbar(); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(testbed::IconShows(TrayState::Empty, 3000)) << "before the case";
    }

    /* A tray that refuses every request, as a busy taskbar's time-out
       does: Shell_NotifyIcon finds it by its class before the real one. */
    struct RefusingTray {
        std::atomic<int> refused{0};
        testbed::StandInTray tray{[this](HWND, const COPYDATASTRUCT &) { return refused++, (LRESULT)FALSE; }};
        bool Found() const { return tray.Found(); }
    };

    static ::testing::AssertionResult TrayShows(TrayState state, const char *what)
    {
        return testbed::PumpUntil(what, [state] { return testbed::WaitForTray(state, 0, nullptr); },
                                  TRAY_RETRY_MS + 5000);
    }

    /* Whether the retry timer was running; it is not afterwards. */
    static bool RetryTimerRan() { return KillTimer(AppState.mainWindow, IDT_TRAY_RETRY) != FALSE; }
};

TEST_F(TrayRetryTest, RefusedAddIsTriedAgainWithTheStateThenInForceUntilRemoved)
{
    {
        RefusingTray busy;
        ASSERT_TRUE(busy.Found()) << "the stand-in tray would not be asked";
        AddTrayIcon(0);
        ASSERT_GT(busy.refused.load(), 0) << "the add never reached the stand-in tray";
        UpdateTrayIcon(1);   /* the port opens while the icon is missing */
        int before = busy.refused;
        EXPECT_TRUE(testbed::PumpUntil("a second try, refused too", [&] { return busy.refused > before; },
                                       TRAY_RETRY_MS + 5000));
    }
    EXPECT_TRUE(TrayShows(TrayState::Ready, "the retry to add the ready icon once the tray answers"));
    EXPECT_EQ(1, testbed::CountTrayIcons());
    EXPECT_FALSE(RetryTimerRan()) << "the retry timer outlived the add";

    /* Anyone can post the timer's message or WM_TRAYRETRY; with the icon
       there, neither adds a second one nor starts the timer. */
    PostMessageA(AppState.mainWindow, WM_TIMER, IDT_TRAY_RETRY, 0);
    PostMessageA(AppState.mainWindow, WM_TRAYRETRY, 0, 0);
    testbed::DispatchPending();
    EXPECT_EQ(1, testbed::CountTrayIcons()) << "after forged retries";
    EXPECT_FALSE(RetryTimerRan()) << "a forged retry started the timer";

    /* The shutdown steps with the window alive (Wine's tray drops a destroyed
       window's icons, hiding one left behind): nothing brings the icon back. */
    StopReader();
    DestroyTrayMenu();
    RemoveTrayIcon();
    PostMessageA(AppState.mainWindow, WM_TIMER, IDT_TRAY_RETRY, 0);
    PostMessageA(AppState.mainWindow, WM_TRAYRETRY, 0, 0);
    testbed::DispatchPending();
    UpdateTrayIcon(1);
    NOTIFYICONDATAA record;
    FillTrayRecord(&record, 1);
    EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &record)) << "the shell still holds the icon after shutdown";
    EXPECT_TRUE(testbed::IconShows(TrayState::Empty, 3000)) << "after shutdown";
    EXPECT_FALSE(RetryTimerRan()) << "the retry timer outlived the shutdown";
}

TEST_F(TrayRetryTest, WorkersUpdateAddsALostIconAgainOrHandsItToTheRetry)
{
    AddTrayIcon(1);
    ASSERT_TRUE(testbed::IconShows(TrayState::Ready, 3000));
    auto updateAsWorker = [](int portOk) {
        testbed::Background worker([portOk] { UpdateTrayIcon(portOk); });
        return worker.Join(10000);
    };

    ASSERT_TRUE(testbed::DropTrayIcon(AppState.mainWindow));
    ASSERT_TRUE(testbed::IconShows(TrayState::Empty, 3000));
    ASSERT_TRUE(updateAsWorker(0));
    EXPECT_TRUE(testbed::IconShows(TrayState::NoPort, 3000)) << "the update did not add the lost icon again";

    /* Lost again, the worker's add refused: the main thread takes it over. */
    ASSERT_TRUE(testbed::DropTrayIcon(AppState.mainWindow));
    {
        RefusingTray busy;
        ASSERT_TRUE(busy.Found()) << "the stand-in tray would not be asked";
        ASSERT_TRUE(updateAsWorker(1));
        ASSERT_EQ(2, busy.refused.load()) << "the worker's update and add";
        EXPECT_TRUE(testbed::PumpUntil("the main thread to try as well", [&] { return busy.refused > 2; }, 5000));
    }
    EXPECT_TRUE(TrayShows(TrayState::Ready, "the retry to add the icon once the tray answers"));
    EXPECT_EQ(1, testbed::CountTrayIcons());
    EXPECT_FALSE(RetryTimerRan()) << "the retry timer outlived the add";
}

}  // namespace
