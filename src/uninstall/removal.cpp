#include "uninstall/removal.h"

#include <windows.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "base/capacity.h"
#include "base/handles.h"
#include "base/paths.h"
#include "base/text.h"
#include "records/shortcuts.h"

namespace {

// Something below a root ("X:\..." or "\\server\share\..."), never the root itself: a path that
// names one place whatever the current folder. Relative and root-relative paths would make the
// removal depend on where the process stands.
bool IsBelowRoot(const wchar_t* path) {
    if (path == nullptr) return false;
    const std::wstring text = path;
    PathRoot root = ParsePathRoot(text);
    return root.kind != RootKind::kNone && text.size() > root.length;
}

bool IsDotEntry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

bool IsReparsePoint(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Joins folder and name into a path buffer; false when the result would not fit, so the entry
// is passed over instead of being cut into the name of something else.
bool JoinPath(wchar_t (&result)[kPathCapacity], const wchar_t* folder, const wchar_t* name) {
    return CopyText(result, folder) && AddBackslash(result) && AppendText(result, name);
}

}  // namespace

void DeleteMatchingFiles(const wchar_t* pattern) {
    if (!IsBelowRoot(pattern)) return;
    wchar_t folder[kPathCapacity];
    if (!CopyText(folder, pattern)) return;

    WIN32_FIND_DATAW entry;
    FindHandle search(FindFirstFileW(folder, &entry));
    if (!search) return;

    if (!PathRemoveFileSpecW(folder) || !AddBackslash(folder)) return;
    do {
        // Folders are never deleted here, and a link is not ours to remove.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        if (IsReparsePoint(entry.dwFileAttributes)) continue;
        wchar_t path[kPathCapacity];
        if (!JoinPath(path, folder, entry.cFileName)) continue;
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path);
    } while (FindNextFileW(search.get(), &entry));
}

void RemoveEmptyFolders(const wchar_t* folder) {
    if (!IsBelowRoot(folder)) return;
    if (wcsnlen(folder, kPathCapacity) >= kPathCapacity) return;
    DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return;
    // Whatever lies behind a junction or a folder link belongs to somewhere else.
    if (IsReparsePoint(attributes)) return;

    wchar_t searchPattern[kPathCapacity];
    if (!JoinPath(searchPattern, folder, L"*")) return;
    {
        WIN32_FIND_DATAW entry;
        FindHandle search(FindFirstFileW(searchPattern, &entry));
        if (!search) return;
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
            if (IsDotEntry(entry.cFileName) || IsReparsePoint(entry.dwFileAttributes)) continue;
            wchar_t child[kPathCapacity];
            if (!JoinPath(child, folder, entry.cFileName)) continue;
            SetFileAttributesW(child, FILE_ATTRIBUTE_NORMAL);
            RemoveEmptyFolders(child);
        } while (FindNextFileW(search.get(), &entry));
    }
    RemoveDirectoryW(folder);
}

void RemoveShortcuts(const InstallSettings& settings) {
    // The names are used as search patterns; a wildcard in AppName would reach other people's
    // files, and no shortcut can have been saved under such a name anyway.
    if (wcspbrk(settings.AppName, L"*?") != nullptr) return;
    ComScope com;
    std::wstring desktopLink;
    if (!FindDesktopShortcut(settings, &desktopLink)) return;
    DeleteMatchingFiles(desktopLink.c_str());

    MenuShortcuts links;
    if (!FindMenuShortcuts(settings, &links)) return;
    DeleteMatchingFiles(links.gameLink.c_str());
    DeleteMatchingFiles(links.uninstallLink.c_str());
    DeleteMatchingFiles(links.manualLink.c_str());
    if (!links.menuRoot.empty()) RemoveEmptyFolders(links.menuRoot.c_str());
}

void RemoveSelf() {
    wchar_t program[MAX_PATH] = {};
    wchar_t interpreter[MAX_PATH] = {};
    DWORD programLength = GetModuleFileNameW(nullptr, program, MAX_PATH);
    DWORD interpreterLength = GetEnvironmentVariableW(L"COMSPEC", interpreter, MAX_PATH);
    if (programLength > 0 && programLength < MAX_PATH && interpreterLength > 0 && interpreterLength < MAX_PATH) {
        std::wstring commandLine = FormatText(L"\"%ls\" /c del \"%ls\"", interpreter, program);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION started = {};
        if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                           &started)) {
            ObjectHandle process(started.hProcess);
            ObjectHandle thread(started.hThread);
        }
    }
    ExitProcess(0);
}
