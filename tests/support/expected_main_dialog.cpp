#include "support/expected_main_dialog.h"

#include <windows.h>
#include <shlobj.h>

#include <cwchar>

namespace {

const wchar_t kConfirmFormat[] =
    L"インストールを開始します。\n「%ls」\n\n※既に存在するファイルは上書きされます。\n※指定フォルダ内にゲーム名フォルダ"
    L"が作成されます。\n※存在しないフォルダは作成されます。";

}  // namespace

std::wstring ExpectedInstallConfirmation(const std::wstring& installPath) {
    wchar_t text[2048];
    swprintf(text, 2048, kConfirmFormat, installPath.c_str());
    return text;
}

std::wstring ExpectedDefaultDestination(const std::wstring& company) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring folder = std::wstring(system).substr(0, 2);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    if (version.dwMajorVersion < 6) {
        wchar_t programs[MAX_PATH] = {};
        SHGetSpecialFolderPathW(nullptr, programs, CSIDL_PROGRAM_FILES, FALSE);
        folder = programs;
    }
    return folder + L"\\" + company + L"\\";
}
