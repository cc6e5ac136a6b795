#include "startup/private_folder.h"

#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>
#include <winternl.h>

#include <utility>

#include "base/text.h"

namespace {

const wchar_t kNamePrefix[] = L"installer-";
constexpr size_t kNamePrefixLength = sizeof(kNamePrefix) / sizeof(wchar_t) - 1;
constexpr size_t kRandomBytes = 8;
constexpr size_t kRandomDigits = 2 * kRandomBytes;
// Only a chance collision of 64 random bits takes a name; a few draws are plenty, and the loop
// must end.
constexpr int kNameDraws = 16;
constexpr NTSTATUS kNameTaken = static_cast<NTSTATUS>(0xC0000035);     // STATUS_OBJECT_NAME_COLLISION
constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);  // STATUS_OBJECT_NAME_NOT_FOUND

// Owner Administrators: an owner may always rewrite the DACL, so the user's own account must not
// be the owner. The grants reach the files created inside through inheritance.
const wchar_t kPrivateFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

bool IsLowerHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

bool IsPrivateFolderName(const std::wstring& name) {
    if (name.size() != kNamePrefixLength + kRandomDigits) return false;
    if (name.compare(0, kNamePrefixLength, kNamePrefix) != 0) return false;
    for (size_t i = kNamePrefixLength; i < name.size(); ++i)
        if (!IsLowerHexDigit(name[i])) return false;
    return true;
}

bool SamePathIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// The path by which the system reaches an open file or folder: links and junctions resolved, long
// names, without the "\\?\" prefix. Empty when the system cannot tell.
std::wstring FinalPathOf(HANDLE file) {
    DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    DWORD needed = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
    if (needed == 0) return {};
    std::wstring path(needed, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file, &path[0], needed, flags);
    if (length == 0 || length >= needed) return {};
    path.resize(length);
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

std::wstring FinalPathOf(const std::wstring& folder) {
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    FileHandle opened(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return opened ? FinalPathOf(opened.get()) : std::wstring();
}

// The temporary folder may be spelt in short names or reached through a junction; where the
// texts differ, the folders they lead to decide.
bool SameFolder(const std::wstring& a, const std::wstring& b) {
    if (SamePathIgnoringCase(a, b)) return true;
    std::wstring finalA = FinalPathOf(a);
    return !finalA.empty() && SamePathIgnoringCase(finalA, FinalPathOf(b));
}

// The object manager's name of a full DOS path (drive letter or UNC).
std::wstring NtPathOf(const std::wstring& path) {
    if (path.compare(0, 2, L"\\\\") == 0) return L"\\??\\UNC\\" + path.substr(2);
    return L"\\??\\" + path;
}

// Opens or creates name, relative to the open folder root when one is given (a full DOS path
// otherwise), straight through the system. *status: the system's answer.
FileHandle OpenThroughSystem(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                             ULONG options, PSECURITY_DESCRIPTOR descriptor, NTSTATUS* status) {
    // Looked up at run time: the program imports from the documented system DLLs only.
    using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                                  PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    *status = static_cast<NTSTATUS>(0xC0000001);  // STATUS_UNSUCCESSFUL
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto createFile = ntdll ? reinterpret_cast<NtCreateFileFunction>(
                                  reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")))
                            : nullptr;
    std::wstring text = root ? name : NtPathOf(name);
    if (!createFile || text.size() * sizeof(wchar_t) > 0xFFFE) return FileHandle();
    UNICODE_STRING unicodeName;
    unicodeName.Buffer = &text[0];
    unicodeName.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    unicodeName.MaximumLength = unicodeName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, root, descriptor);
    IO_STATUS_BLOCK io = {};
    HANDLE opened = INVALID_HANDLE_VALUE;
    *status = createFile(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                         disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return NT_SUCCESS(*status) ? FileHandle(opened) : FileHandle();
}

// Creates the folder with the descriptor and opens it in one step, refusing others the right to
// delete or rename it while the handle is held. Separate creation and opening would leave a moment
// in which another program could put a folder of its own in its place.
FileHandle CreateHeldFolder(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, NTSTATUS* status) {
    return OpenThroughSystem(nullptr, path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                             FILE_DIRECTORY_FILE, descriptor, status);
}

bool RemoveAtRestart(const std::wstring& path) {
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

bool IsReparsePoint(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// A folder itself, not a link or junction in its place.
bool IsPlainFolder(HANDLE opened) {
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(opened, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !IsReparsePoint(information.dwFileAttributes);
}

bool DeleteOpened(HANDLE opened) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(opened, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// Deletes the named file inside the open folder, reached from the folder's handle and not by its
// path, so that nothing done to the folder's name in the meantime can lead elsewhere; a link is
// deleted, not followed. True when the file is gone or was never there.
bool DeleteInsideFolder(HANDLE folder, const wchar_t* name) {
    NTSTATUS status = 0;
    FileHandle file = OpenThroughSystem(folder, name, DELETE | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                        FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr, &status);
    if (!file) return status == kNameNotFound;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // read-only would refuse the deletion
    SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic));
    return DeleteOpened(file.get());
}

// Only a folder that administrators or the system made is queued for the restart: the queued
// paths are followed then, and the folder must still be the one they name.
bool MadeByAdministrators(HANDLE folder) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    LocalMemory held(descriptor);
    return IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid);
}

void RemoveIfAbandoned(const std::wstring& folder, const wchar_t* const* names, size_t count) {
    // Opened for deletion without sharing it: refused while an instance holds the folder, and
    // nobody can rename the folder while this handle is open. A link is opened, not followed.
    FileHandle opened(CreateFileW(folder.c_str(),
                                  DELETE | READ_CONTROL | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened || !IsPlainFolder(opened.get())) return;
    bool allGone = true;
    for (size_t i = 0; i < count; ++i) {
        if (DeleteInsideFolder(opened.get(), names[i])) continue;
        if (i == 0) return;  // the program runs: an instance is starting there or still running
        allGone = false;
    }
    if (allGone && DeleteOpened(opened.get())) return;
    if (MadeByAdministrators(opened.get())) RemovePrivateFolderAtRestart(folder, names, count);
}

}  // namespace

LocalMemory BuildPrivateFolderSecurity() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateFolderSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return LocalMemory();
    return LocalMemory(descriptor);
}

std::wstring DrawPrivateFolderName() {
    unsigned char random[kRandomBytes] = {};
    if (!RtlGenRandom(random, sizeof(random))) return {};
    std::wstring name = kNamePrefix;
    for (unsigned char byte : random) name += FormatText(L"%02x", byte);
    return name;
}

bool CreatePrivateFolder(const std::wstring& tempFolder, std::wstring* folder, FileHandle* held,
                         std::wstring (*drawName)()) {
    LocalMemory descriptor = BuildPrivateFolderSecurity();
    if (!descriptor || tempFolder.empty()) return false;
    for (int draw = 0; draw < kNameDraws; ++draw) {
        std::wstring name = drawName();
        if (name.empty()) return false;
        std::wstring path = tempFolder + name;
        NTSTATUS status = 0;
        FileHandle created = CreateHeldFolder(path, descriptor.get(), &status);
        if (created) {
            // From here on the folder is named by where it really is: a junction on the way to
            // the temporary folder could be turned elsewhere, but the folders on the real path
            // cannot be renamed while one inside them is open.
            std::wstring final = FinalPathOf(created.get());
            *folder = final.empty() ? path : final;
            *held = std::move(created);
            return true;
        }
        if (status != kNameTaken) return false;
    }
    return false;
}

bool IsPrivateFolder(const std::wstring& folder, const std::wstring& tempFolder) {
    size_t slash = folder.find_last_of(L'\\');
    if (slash == std::wstring::npos) return false;
    return IsPrivateFolderName(folder.substr(slash + 1)) && SameFolder(folder.substr(0, slash + 1), tempFolder);
}

void RemovePrivateFolder(const std::wstring& folder, const wchar_t* const* names, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        std::wstring path = folder + L"\\" + names[i];
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) RemoveAtRestart(path);
    }
    if (!RemoveDirectoryW(folder.c_str())) RemoveAtRestart(folder);
}

bool RemovePrivateFolderAtRestart(const std::wstring& folder, const wchar_t* const* names, size_t count) {
    bool scheduled = true;
    for (size_t i = 0; i < count; ++i) scheduled = RemoveAtRestart(folder + L"\\" + names[i]) && scheduled;
    return RemoveAtRestart(folder) && scheduled;
}

std::wstring StagingFolder() {
    wchar_t windows[MAX_PATH] = {};
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    std::wstring folder = windows;
    if (folder.back() != L'\\') folder += L'\\';
    return folder + L"Temp\\";
}

bool KeepsAccessLists(const std::wstring& folder) {
    wchar_t volume[MAX_PATH] = {};
    DWORD flags = 0;
    return GetVolumePathNameW(folder.c_str(), volume, MAX_PATH) &&
           GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_PERSISTENT_ACLS) != 0;
}

FileHandle HoldPrivateFolder(const std::wstring& folder) {
    return FileHandle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

void RemoveAbandonedPrivateFolders(const std::wstring& stagingFolder, const wchar_t* const* names, size_t count) {
    if (stagingFolder.empty()) return;
    WIN32_FIND_DATAW entry;
    FindHandle search(FindFirstFileW((stagingFolder + kNamePrefix + L"*").c_str(), &entry));
    if (!search) return;
    do {
        if (!IsPrivateFolderName(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            IsReparsePoint(entry.dwFileAttributes))
            continue;
        RemoveIfAbandoned(stagingFolder + entry.cFileName, names, count);
    } while (FindNextFileW(search.get(), &entry));
}
