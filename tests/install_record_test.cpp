// The registry records of an installation, against Wine's real registry. Every test uses its own
// Company/AppName and removes its keys afterwards.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/handles.h"
#include "records/install_record.h"
#include "records/settings.h"
#include "support/registry_values.h"
#include "support/scripted_interaction.h"

namespace {

const wchar_t kUninstallList[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kReadFailed[] = L"インストール情報の取得に失敗しました。";

void WriteRaw(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    RegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.receive(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
}

void WriteText(const std::wstring& path, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
    WriteRaw(path, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void WriteNumber(const std::wstring& path, const wchar_t* name, DWORD number) {
    WriteRaw(path, name, REG_DWORD, &number, sizeof(number));
}

void DeleteTree(HKEY root, const std::wstring& path) { RegDeleteTreeW(root, path.c_str()); }

class InstallRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        suffix_ = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount());
        UseGame(L"h4a記録社" + suffix_, L"h4a記録ゲーム" + suffix_);
    }
    void TearDown() override {
        for (const std::wstring& company : companies_) DeleteTree(HKEY_CURRENT_USER, L"Software\\" + company);
        for (const std::wstring& app : apps_) DeleteTree(HKEY_LOCAL_MACHINE, kUninstallList + app);
        DestroyWindow(owner_);
    }

    void UseGame(const std::wstring& company, const std::wstring& app) {
        ClearInstallSettings(&settings_);
        wcscpy(settings_.Company, company.c_str());
        wcscpy(settings_.AppName, app.c_str());
        wcscpy(settings_.Publisher, L"h4a出版");
        wcscpy(settings_.URLInfoAbout, L"https://support.example/h4a");
        companies_.push_back(company);
        apps_.push_back(app);
    }
    std::wstring OwnKey() const { return std::wstring(L"Software\\") + settings_.Company + L"\\" + settings_.AppName; }
    std::wstring Entry() const { return kUninstallList + std::wstring(settings_.AppName); }

    HWND owner_ = nullptr;
    InstallSettings settings_{};
    uint64_t sourceBytes_ = 0;  // what the installation copied
    std::wstring suffix_;
    std::vector<std::wstring> companies_, apps_;
    ScriptedInteraction script_;
};

TEST_F(InstallRecordTest, WritesEveryValueWithItsTypeAndReadsTheRecordBack) {
    wcscpy(settings_.InstallPath, L"T:\\h4a games\\My Game\\");
    settings_.DesktopShortcut = 0;
    sourceBytes_ = 5000000;
    ASSERT_EQ(WriteInstallRecord(owner_, settings_, sourceBytes_), 1);
    EXPECT_TRUE(script_.Messages().empty());

    StoredValue path = ReadStoredValue(HKEY_CURRENT_USER, OwnKey(), L"InstallPath");
    EXPECT_EQ(path.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(path.data.size(), (wcslen(L"T:\\h4a games\\My Game\\") + 1) * 2) << "terminator included";
    EXPECT_EQ(path.Text(), L"T:\\h4a games\\My Game\\");
    StoredValue desktop = ReadStoredValue(HKEY_CURRENT_USER, OwnKey(), L"DskSht");
    EXPECT_EQ(desktop.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(desktop.Number(), 0u);

    struct Expected {
        const wchar_t* name;
        DWORD type;
        std::wstring text;
        DWORD number;
    };
    const Expected expected[] = {
        {L"DisplayName", REG_SZ, settings_.AppName, 0},
        {L"UninstallString", REG_SZ, L"\"T:\\h4a games\\My Game\\uninst.exe\" /luninst1", 0},
        {L"DisplayIcon", REG_SZ, L"T:\\h4a games\\My Game\\uninst.exe", 0},
        {L"NoModify", REG_DWORD, L"", 1},
        {L"NoRepair", REG_DWORD, L"", 1},
        {L"Publisher", REG_SZ, L"h4a出版", 0},
        {L"HelpLink", REG_SZ, L"https://support.example/h4a", 0},
        {L"URLInfoAbout", REG_SZ, L"https://support.example/h4a", 0},
        {L"EstimatedSize", REG_DWORD, L"", 4882},
    };
    for (const Expected& want : expected) {
        StoredValue got = ReadStoredValue(HKEY_LOCAL_MACHINE, Entry(), want.name);
        ASSERT_TRUE(got.present) << want.name;
        EXPECT_EQ(got.type, want.type) << want.name;
        if (want.type == REG_SZ) {
            EXPECT_EQ(got.Text(), want.text) << want.name;
            EXPECT_EQ(got.data.size(), (want.text.size() + 1) * 2) << want.name << ": stored with its terminator";
        } else {
            EXPECT_EQ(got.Number(), want.number) << want.name;
        }
    }

    // Read back into cleared fields: the record decides the uninstall look.
    settings_.InstallPath[0] = L'\0';
    settings_.DesktopShortcut = 7;
    EXPECT_EQ(ReadInstallRecord(owner_, &settings_), 1);
    EXPECT_STREQ(settings_.InstallPath, L"T:\\h4a games\\My Game\\");
    EXPECT_EQ(settings_.DesktopShortcut, 0);
    EXPECT_TRUE(script_.Messages().empty());

    // A plain path and a large size: the quotes stay, the size keeps its low 32 bits of KiB.
    wcscpy(settings_.InstallPath, L"C:\\h4a\\");
    settings_.DesktopShortcut = 1;
    sourceBytes_ = (uint64_t{5} << 40) + 3000;  // 5 TiB: 5 << 30 KiB
    ASSERT_EQ(WriteInstallRecord(owner_, settings_, sourceBytes_), 1);
    EXPECT_EQ(ReadStoredValue(HKEY_LOCAL_MACHINE, Entry(), L"UninstallString").Text(),
              L"\"C:\\h4a\\uninst.exe\" /luninst1");
    EXPECT_EQ(ReadStoredValue(HKEY_LOCAL_MACHINE, Entry(), L"EstimatedSize").Number(),
              static_cast<DWORD>(uint64_t{5} << 30) + 2);
    EXPECT_EQ(ReadStoredValue(HKEY_CURRENT_USER, OwnKey(), L"DskSht").Number(), 1u);
}

TEST_F(InstallRecordTest, DeletingOneGameKeepsTheCompanyUntilItsLastGameGoes) {
    const std::wstring company = settings_.Company;
    const std::wstring first = settings_.AppName;
    const std::wstring second = first + L"_2";
    wcscpy(settings_.InstallPath, L"T:\\h4a\\one\\");
    ASSERT_EQ(WriteInstallRecord(owner_, settings_, sourceBytes_), 1);
    UseGame(company, second);
    wcscpy(settings_.InstallPath, L"T:\\h4a\\two\\");
    ASSERT_EQ(WriteInstallRecord(owner_, settings_, sourceBytes_), 1);

    UseGame(company, first);
    EXPECT_EQ(DeleteInstallRecord(owner_, settings_), 1);
    EXPECT_FALSE(StoredKeyExists(HKEY_CURRENT_USER, L"Software\\" + company + L"\\" + first));
    EXPECT_FALSE(StoredKeyExists(HKEY_LOCAL_MACHINE, kUninstallList + first));
    EXPECT_TRUE(StoredKeyExists(HKEY_CURRENT_USER, L"Software\\" + company + L"\\" + second));
    EXPECT_TRUE(StoredKeyExists(HKEY_LOCAL_MACHINE, kUninstallList + second));
    EXPECT_EQ(ReadInstallRecord(owner_, &settings_), 0) << "the deleted game counts as not installed";

    UseGame(company, second);
    EXPECT_EQ(ReadInstallRecord(owner_, &settings_), 1);
    EXPECT_STREQ(settings_.InstallPath, L"T:\\h4a\\two\\");
    EXPECT_EQ(DeleteInstallRecord(owner_, settings_), 1);
    EXPECT_FALSE(StoredKeyExists(HKEY_CURRENT_USER, L"Software\\" + company))
        << "the last game takes the company key along";
    EXPECT_FALSE(StoredKeyExists(HKEY_LOCAL_MACHINE, kUninstallList + second));
    EXPECT_TRUE(script_.Messages().empty());

    // Nothing left to delete: one message, owned by the main dialog.
    EXPECT_EQ(DeleteInstallRecord(owner_, settings_), 0);
    ASSERT_EQ(script_.Messages().size(), 1u);
    EXPECT_EQ(script_.Messages()[0].text, L"インストール情報の削除に失敗しました。");
    EXPECT_EQ(script_.Messages()[0].title, L"エラー");
    EXPECT_EQ(script_.Messages()[0].style, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(script_.Messages()[0].owner, owner_);
}

TEST_F(InstallRecordTest, AbsentKeyIsSilentAndDamagedValuesAreReadFailures) {
    wcscpy(settings_.InstallPath, L"untouched\\");
    EXPECT_EQ(ReadInstallRecord(owner_, &settings_), 0);
    EXPECT_TRUE(script_.Messages().empty()) << "no record means not installed, silently";

    const std::wstring good = L"T:\\h4a\\game\\";
    const std::wstring tooLong(260, L'x');
    std::vector<wchar_t> full(260, L'z');
    const DWORD one = 1;
    const ULONGLONG wide = 1;
    const BYTE twoBytes[2] = {1, 0};
    struct Case {
        const char* what;
        std::function<void(const std::wstring&)> write;
    };
    const Case cases[] = {
        {"InstallPath without DskSht", [&](const std::wstring& key) { WriteText(key, L"InstallPath", good); }},
        {"DskSht without InstallPath", [&](const std::wstring& key) { WriteNumber(key, L"DskSht", 1); }},
        {"InstallPath as REG_EXPAND_SZ",
         [&](const std::wstring& key) {
             WriteText(key, L"InstallPath", good, REG_EXPAND_SZ);
             WriteNumber(key, L"DskSht", 1);
         }},
        {"InstallPath as REG_BINARY",
         [&](const std::wstring& key) {
             WriteRaw(key, L"InstallPath", REG_BINARY, good.c_str(), static_cast<DWORD>(good.size() * 2 + 2));
             WriteNumber(key, L"DskSht", 1);
         }},
        {"InstallPath of 260 characters",
         [&](const std::wstring& key) {
             WriteText(key, L"InstallPath", tooLong);
             WriteNumber(key, L"DskSht", 1);
         }},
        {"InstallPath of 520 bytes without terminator",
         [&](const std::wstring& key) {
             WriteRaw(key, L"InstallPath", REG_SZ, full.data(), 520);
             WriteNumber(key, L"DskSht", 1);
         }},
        {"InstallPath of 4000 characters",
         [&](const std::wstring& key) {
             WriteText(key, L"InstallPath", std::wstring(4000, L'w'));
             WriteNumber(key, L"DskSht", 1);
         }},
        {"DskSht as text",
         [&](const std::wstring& key) {
             WriteText(key, L"InstallPath", good);
             WriteText(key, L"DskSht", L"1");
         }},
        {"DskSht as REG_QWORD",
         [&](const std::wstring& key) {
             WriteText(key, L"InstallPath", good);
             WriteRaw(key, L"DskSht", REG_QWORD, &wide, sizeof(wide));
         }},
        {"DskSht of two bytes",
         [&](const std::wstring& key) {
             WriteText(key, L"InstallPath", good);
             WriteRaw(key, L"DskSht", REG_BINARY, twoBytes, sizeof(twoBytes));
         }},
        {"DskSht as REG_DWORD of two bytes",
         [&](const std::wstring& key) {
             WriteText(key, L"InstallPath", good);
             WriteRaw(key, L"DskSht", REG_DWORD, &one, 2);
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        DeleteTree(HKEY_CURRENT_USER, OwnKey());
        test.write(OwnKey());
        const size_t before = script_.Messages().size();
        EXPECT_EQ(ReadInstallRecord(owner_, &settings_), 0);
        std::vector<ShownMessage> shown = script_.Messages();
        ASSERT_EQ(shown.size(), before + 1);
        EXPECT_EQ(shown.back().text, kReadFailed);
        EXPECT_EQ(shown.back().title, L"エラー");
        EXPECT_EQ(shown.back().style, static_cast<UINT>(MB_ICONERROR));
        EXPECT_EQ(shown.back().owner, owner_);
        EXPECT_LT(wcsnlen(settings_.InstallPath, kPathCapacity), kPathCapacity) << "field stays terminated";
    }
}

TEST_F(InstallRecordTest, DestinationsOfUpTo259CharactersReadBackWhole) {
    // 259 characters with a terminator, and 259 characters stored without one (518 bytes).
    std::wstring longest = L"T:\\";
    while (longest.size() < 258) longest += L"長い名前\\";
    longest.resize(258);
    longest += L"\\";
    ASSERT_EQ(longest.size(), 259u);

    wcscpy(settings_.InstallPath, longest.c_str());
    settings_.DesktopShortcut = 1;
    ASSERT_EQ(WriteInstallRecord(owner_, settings_, sourceBytes_), 1);
    settings_.InstallPath[0] = L'\0';
    EXPECT_EQ(ReadInstallRecord(owner_, &settings_), 1);
    EXPECT_EQ(std::wstring(settings_.InstallPath), longest);
    EXPECT_EQ(settings_.DesktopShortcut, 1);

    WriteRaw(OwnKey(), L"InstallPath", REG_SZ, longest.c_str(), 518);
    settings_.InstallPath[0] = L'\0';
    EXPECT_EQ(ReadInstallRecord(owner_, &settings_), 1);
    EXPECT_EQ(std::wstring(settings_.InstallPath), longest);
    EXPECT_TRUE(script_.Messages().empty());

    // The uninstaller's path goes past 256 characters and is stored whole, quotes included.
    EXPECT_EQ(ReadStoredValue(HKEY_LOCAL_MACHINE, Entry(), L"UninstallString").Text(),
              L"\"" + longest + L"uninst.exe\" /luninst1");
}

TEST_F(InstallRecordTest, DefaultNamesGiveTheKeySoftwareCompanyGame) {
    companies_.clear();
    apps_.clear();
    ASSERT_FALSE(StoredKeyExists(HKEY_CURRENT_USER, L"Software\\Company\\ゲーム")) << "left over by another suite";
    ASSERT_FALSE(StoredKeyExists(HKEY_LOCAL_MACHINE, kUninstallList + std::wstring(L"ゲーム")));
    UseGame(L"Company", L"ゲーム");
    wcscpy(settings_.InstallPath, L"C:\\Company\\ゲーム\\");
    settings_.DesktopShortcut = 1;
    ASSERT_EQ(WriteInstallRecord(owner_, settings_, sourceBytes_), 1);
    EXPECT_EQ(ReadStoredValue(HKEY_CURRENT_USER, L"Software\\Company\\ゲーム", L"InstallPath").Text(),
              L"C:\\Company\\ゲーム\\");
    EXPECT_EQ(ReadStoredValue(HKEY_LOCAL_MACHINE, kUninstallList + std::wstring(L"ゲーム"), L"DisplayName").Text(),
              L"ゲーム");
    EXPECT_EQ(DeleteInstallRecord(owner_, settings_), 1);
    EXPECT_FALSE(StoredKeyExists(HKEY_CURRENT_USER, L"Software\\Company"));
    EXPECT_FALSE(StoredKeyExists(HKEY_LOCAL_MACHINE, kUninstallList + std::wstring(L"ゲーム")));
}

}  // namespace
