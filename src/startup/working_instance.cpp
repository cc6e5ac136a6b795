#include "startup/working_instance.h"

#include <utility>

namespace {

// One name for every installer of this kind: a second installer would otherwise race the first
// for the same records (see ClaimWorkingInstance's callers).
const wchar_t kWorkingInstanceName[] = L"Local\\installer.working-instance.5f0c2a7e-93d1-4b6a-8e2f-1c7d9b3a6e40";

struct ProcessWindowSearch {
    DWORD processId;
    HWND mainWindow;
};

BOOL CALLBACK FindMainWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<ProcessWindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window) || GetWindow(window, GW_OWNER)) return TRUE;
    search->mainWindow = window;
    return FALSE;
}

}  // namespace

bool ClaimWorkingInstance(ObjectHandle* claim) {
    ObjectHandle mapping(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD), kWorkingInstanceName));
    if (!mapping || GetLastError() == ERROR_ALREADY_EXISTS) return false;
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(DWORD));
    if (view) {
        *static_cast<volatile DWORD*>(view) = GetCurrentProcessId();
        UnmapViewOfFile(view);
    }
    *claim = std::move(mapping);
    return true;
}

bool FindWorkingInstance(DWORD* processId) {
    *processId = 0;
    ObjectHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, kWorkingInstanceName));
    if (!mapping) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours to read
    const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(DWORD));
    if (view) {
        *processId = *static_cast<const volatile DWORD*>(view);
        UnmapViewOfFile(view);
    }
    return true;
}

bool BringProcessToFront(DWORD processId) {
    if (processId == 0) return false;
    ProcessWindowSearch search = {processId, nullptr};
    EnumWindows(FindMainWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.mainWindow) return false;
    // Asynchronous, so that a busy instance cannot hold up this process.
    if (IsIconic(search.mainWindow)) ShowWindowAsync(search.mainWindow, SW_RESTORE);
    return SetForegroundWindow(GetLastActivePopup(search.mainWindow)) != FALSE;
}
