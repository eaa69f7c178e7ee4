/*
 * What Windows shows of tavrin.exe without running it (the file's
 * Properties, its manifest), read as data from the program built with the
 * tests and from the shipped 32-bit file.
 */
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "resource.h"
#include "version.h"
#include "support/dialogs.h"

namespace {

struct ExeFile {
    const char *label;
    std::string path;
};

void PrintTo(const ExeFile &file, std::ostream *out)
{
    *out << file.label << " (" << file.path << ")";
}

std::vector<ExeFile> ExeFiles()
{
    std::vector<ExeFile> files = {{"built", TAVRIN_EXE_PATH}};
    /* Empty when the tests are themselves 32-bit: then the file under
       test is the shipped one. */
    if (TAVRIN_SHIPPED_EXE[0] != '\0')
        files.push_back({"shipped", TAVRIN_SHIPPED_EXE});
    return files;
}

class ExeResources : public ::testing::TestWithParam<ExeFile> {
protected:
    void SetUp() override
    {
        if (GetFileAttributesA(GetParam().path.c_str()) == INVALID_FILE_ATTRIBUTES)
            GTEST_SKIP() << GetParam().path << " was not built (scripts/build makes it)";
    }

    /* The whole version resource, or empty when there is none. */
    std::vector<BYTE> VersionBlock() const
    {
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeA(GetParam().path.c_str(), &ignored);
        std::vector<BYTE> block(size);
        if (size == 0 || !GetFileVersionInfoA(GetParam().path.c_str(), 0, size, block.data()))
            block.clear();
        return block;
    }
};

TEST_P(ExeResources, FixedVersionIsTheHeadersForAnApplication)
{
    std::vector<BYTE> block = VersionBlock();
    ASSERT_FALSE(block.empty()) << "no version resource, error " << GetLastError();

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&fixed), &size));
    ASSERT_EQ(sizeof *fixed, size);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);

    auto dotted = [](DWORD ms, DWORD ls) {
        return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." + std::to_string(HIWORD(ls)) +
               "." + std::to_string(LOWORD(ls));
    };
    EXPECT_EQ("1.1.0.0", dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS)) << "file version";
    EXPECT_EQ("1.1.0.0", dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS)) << "product version";
    EXPECT_EQ((DWORD)VOS_NT_WINDOWS32, fixed->dwFileOS);
    EXPECT_EQ((DWORD)VFT_APP, fixed->dwFileType);
    EXPECT_EQ(0u, fixed->dwFileFlags & fixed->dwFileFlagsMask) << "debug, pre-release or patched flags set";
}

TEST_P(ExeResources, StringsReadBackForNeutralAndRussian)
{
    std::vector<BYTE> block = VersionBlock();
    ASSERT_FALSE(block.empty()) << "no version resource, error " << GetLastError();

    struct Translation {
        WORD language;
        WORD codePage;
    } *translations = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&translations), &size));
    ASSERT_EQ(2 * sizeof *translations, size) << "expected two translations";
    EXPECT_EQ(0x0000, translations[0].language) << "first: language neutral";
    EXPECT_EQ(0x0419, translations[1].language) << "second: Russian";

    /* GetFileVersionInfoA hands the texts over in the ANSI code page,
       where the copyright sign is 0xA9 in 1251 and 1252 alike. */
    const struct {
        const char *name;
        const char *value;
    } expected[] = {
        {"CompanyName", "Quorvel"},
        {"FileDescription", "Tavrin transference"},
        {"FileVersion", "1.1.0.0"},
        {"InternalName", "tavrin"},
        {"LegalCopyright", "\xA9 2019-2026 Quorvel"},
        {"OriginalFilename", "tavrin.exe"},
        {"ProductName", "Tavrin"},
        {"ProductVersion", "1.1.0.0"},
    };
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(1200, translations[i].codePage) << "translation " << i;
        for (const auto &entry : expected) {
            char query[96];
            snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translations[i].language,
                     translations[i].codePage, entry.name);
            char *value = nullptr;
            UINT length = 0;
            bool found = VerQueryValueA(block.data(), query, reinterpret_cast<void **>(&value), &length);
            EXPECT_STREQ(entry.value, found ? value : "<missing>") << query;
        }
    }
}

TEST_P(ExeResources, ManifestRunsAsInvokerAndLeavesTheDialogsAlone)
{
    HMODULE image = LoadLibraryExA(GetParam().path.c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, image) << "cannot map the file as data, error " << GetLastError();
    HRSRC found = FindResourceA(image, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
    std::string manifest;
    if (found) {
        const char *text = static_cast<const char *>(LockResource(LoadResource(image, found)));
        if (text)
            manifest.assign(text, SizeofResource(image, found));
    }
    FreeLibrary(image);
    ASSERT_FALSE(manifest.empty()) << "no manifest resource 1";

    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\"")) << manifest;
    EXPECT_NE(std::string::npos, manifest.find("version=\"1.1.0.0\"")) << manifest;
    const char *systems[] = {
        "{e2011457-1546-43c5-a5fe-008deecf8d9d}",  /* Vista */
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  /* 7 */
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  /* 8 */
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  /* 8.1 */
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  /* 10 and 11 */
    };
    for (const char *id : systems)
        EXPECT_NE(std::string::npos, manifest.find(id)) << "supportedOS " << id << " missing";
    /* Either would change how the dialogs are drawn or sized. */
    EXPECT_EQ(std::string::npos, manifest.find("Common-Controls")) << "visual styles requested";
    EXPECT_EQ(std::string::npos, manifest.find("dpiAware")) << "DPI awareness declared";
}

INSTANTIATE_TEST_SUITE_P(Release, ExeResources, ::testing::ValuesIn(ExeFiles()),
                         [](const ::testing::TestParamInfo<ExeFile> &info) { return std::string(info.param.label); });

/* The About box states major.minor in its own text; a version bump must
   reach it too. Created without a procedure: only its texts are read. */
TEST(AboutBox, StatesTheHeadersMajorAndMinorVersion)
{
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), nullptr, nullptr, 0);
    ASSERT_NE(nullptr, dialog) << "error " << GetLastError();
    std::string found;
    for (HWND child : testbed::Children(dialog)) {
        std::string text = testbed::WindowText(child);
        if (text.rfind("Tavrin v", 0) == 0)
            found = text;
    }
    DestroyWindow(dialog);
    EXPECT_EQ("Tavrin v" + std::to_string(TAVRIN_VERSION_MAJOR) + "." + std::to_string(TAVRIN_VERSION_MINOR), found);
}

}  // namespace
