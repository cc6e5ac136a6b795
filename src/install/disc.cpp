#include "install/disc.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/text.h"

namespace {

const wchar_t kMarkerName[] = L"drvno.dat";
const wchar_t kMarkerPrefix[] = L"drvno:";
constexpr size_t kMarkerPrefixLength = 6;
constexpr size_t kMarkerWordCapacity = 256;  // the first word: 255 characters and a terminator

const wchar_t kDiscPromptFormat[] =
    L"ディスク %d を挿入して「再試行」を押して下さい。\n\n"
    L"※ディスクを挿入した際に「自動再生」ウィンドウが表示された場合は閉じてください。";
const wchar_t kDiscPromptTitle[] = L"ディスク交換";
const wchar_t kBrowserTitle[] = L"指定番号ディスクのあるフォルダを指定して下さい。";

// An empty removable drive must not make the system ask for a disk while the scan looks at
// it; the prompt here is the only one the user should see.
class CriticalErrorsSilenced {
public:
    CriticalErrorsSilenced() : previous_(GetErrorMode()) { SetErrorMode(previous_ | SEM_FAILCRITICALERRORS); }
    ~CriticalErrorsSilenced() { SetErrorMode(previous_); }
    CriticalErrorsSilenced(const CriticalErrorsSilenced&) = delete;
    CriticalErrorsSilenced& operator=(const CriticalErrorsSilenced&) = delete;

private:
    UINT previous_;
};

// The marker of a folder ("%s\drvno.dat"); false when the folder is unset or the path would not
// fit a path buffer, which counts as no marker.
bool FolderHoldsDisc(const wchar_t* folder, uint16_t disc) {
    if (folder[0] == L'\0') return false;
    wchar_t markerPath[kPathCapacity];
    if (!CopyText(markerPath, folder) || !AppendText(markerPath, L"\\") || !AppendText(markerPath, kMarkerName)) {
        return false;
    }
    return ReadDiscMarker(markerPath, disc);
}

bool DriveHoldsDisc(wchar_t driveLetter, uint16_t disc) {
    const wchar_t markerPath[] = {driveLetter, L':', L'\\', L'd', L'r', L'v', L'n',
                                  L'o',        L'.', L'd',  L'a', L't', L'\0'};
    return ReadDiscMarker(markerPath, disc);
}

bool BothKeysHeld() {
    return (QueryAsyncKeyState(VK_SHIFT) & 0x8000) != 0 && (QueryAsyncKeyState(VK_CONTROL) & 0x8000) != 0;
}

}  // namespace

bool ReadDiscMarker(const wchar_t* markerPath, uint16_t disc) {
    StdioFile file(_wfopen(markerPath, L"rt"));
    if (!file) return false;
    wchar_t word[kMarkerWordCapacity] = L"";
    // The width keeps an over-long first word within the buffer; its first 255 characters count.
    if (fwscanf(file.get(), L"%255ls", word) != 1) return false;
    if (wcsncmp(word, kMarkerPrefix, kMarkerPrefixLength) != 0) return false;
    return static_cast<int>(word[kMarkerPrefixLength]) - L'0' == static_cast<int>(disc);
}

bool IsCandidateDrive(wchar_t driveLetter) {
    if (driveLetter < L'A' || driveLetter > L'Z') return false;
    if ((GetLogicalDrives() & (1u << (driveLetter - L'A'))) == 0) return false;
    const wchar_t root[] = {driveLetter, L':', L'\\', L'\0'};
    switch (GetDriveTypeW(root)) {
        case DRIVE_REMOVABLE:
        case DRIVE_FIXED:
            return true;
        case DRIVE_CDROM:
            // A volume that answers shows a readable disc is inserted. Some systems answer for an
            // empty drive too; a root folder that cannot be reached is no disc either.
            return GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0) != FALSE &&
                   GetFileAttributesW(root) != INVALID_FILE_ATTRIBUTES;
        default:
            return false;
    }
}

bool BrowseForDiscFolder(HWND owner, std::wstring* folder) {
    // This runs on the install worker, which has not initialised COM; the browser needs it.
    ComScope com;
    wchar_t displayName[kPathCapacity] = L"";
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;
    info.pszDisplayName = displayName;
    info.lpszTitle = kBrowserTitle;
    info.ulFlags = BIF_RETURNONLYFSDIRS;

    wchar_t path[kPathCapacity] = L"";
    {
        CoTaskMemory item(ShowFolderBrowser(&info));
        if (!item) return false;
        if (!SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(item.get()), path)) path[0] = L'\0';
    }
    size_t length = wcsnlen(path, kPathCapacity);
    if (length == 0 || length >= kPathCapacity) return false;
    if (path[length - 1] == L'\\') path[length - 1] = L'\0';  // a drive root such as E:\ becomes E:
    *folder = path;
    return true;
}

bool LocateDisc(uint16_t disc, HWND owner, wchar_t (&sourceFolder)[kPathCapacity]) {
    const std::wstring prompt = FormatText(kDiscPromptFormat, static_cast<int>(disc) + 1);
    for (;;) {
        {
            CriticalErrorsSilenced silenced;
            if (FolderHoldsDisc(sourceFolder, disc)) return true;
            for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
                if (IsCandidateDrive(letter) && DriveHoldsDisc(letter, disc)) {
                    const wchar_t drive[] = {letter, L':', L'\0'};
                    CopyText(sourceFolder, drive);
                    return true;
                }
            }
        }

        int answer = ShowMessageBox(owner, prompt.c_str(), kDiscPromptTitle, MB_RETRYCANCEL | MB_ICONINFORMATION);
        // A box that could not be shown (0) ends the search like Cancel instead of scanning forever.
        if (answer != IDCANCEL && answer != 0) continue;
        if (answer == 0 || !BothKeysHeld()) return false;

        std::wstring chosen;
        if (!BrowseForDiscFolder(owner, &chosen)) continue;
        CriticalErrorsSilenced silenced;
        if (FolderHoldsDisc(chosen.c_str(), disc) && CopyText(sourceFolder, chosen.c_str())) {
            return true;
        }
    }
}
