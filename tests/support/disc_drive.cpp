#include "support/disc_drive.h"

#include <windows.h>

#include "base/handles.h"

namespace drive {

namespace {

const wchar_t kControl[] = L"T:\\drives\\control";

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

std::wstring Wide(const std::string& bytes) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), -1, nullptr, 0);
    std::wstring text(size > 0 ? size - 1 : 0, L'\0');
    if (size > 1) MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), -1, &text[0], size);
    return text;
}

// The Linux path of a Windows path, from Wine's own mapping (the drive runs on the Linux side).
std::string UnixPath(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
    if (!unix) return "";
    std::string result = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

std::string Spot(const DiscSpot& spot) { return Utf8(spot.path) + "@" + std::to_string(spot.offset); }

// One command to the drives; false with the drives' account of what went wrong.
bool Command(const std::string& lines, std::wstring* error) {
    {
        FileHandle control(CreateFileW(kControl, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD written = 0;
        if (control.valid() &&
            WriteFile(control.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) &&
            written == lines.size())
            return true;
        if (!control.valid()) {
            if (error) *error = L"cannot open " + std::wstring(kControl) + L" (are the disc drives mounted?)";
            return false;
        }
    }
    FileHandle control(CreateFileW(kControl, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    char account[1024] = {};
    DWORD read = 0;
    if (control.valid()) ReadFile(control.get(), account, sizeof account - 1, &read, nullptr);
    if (error) *error = Wide(std::string(account, read));
    return false;
}

}  // namespace

bool InsertDisc(wchar_t letter, const std::wstring& image, const DiscOptions& options, std::wstring* error) {
    const std::string unixImage = UnixPath(image);
    if (unixImage.empty()) {
        if (error) *error = L"no Linux path for " + image;
        return false;
    }
    std::string lines = "drive=" + Utf8(std::wstring(1, letter)) + "\nimage=" + unixImage +
                        "\nprofile=" + options.profile + "\nretry_ms=" + std::to_string(options.retryMs) + "\n";
    for (const DiscOptions::Unreadable& bad : options.unreadable)
        lines += "unreadable=" + Spot(bad.spot) + "+" + std::to_string(bad.bytes) + "\n";
    if (!options.takenOutAt.path.empty()) lines += "taken_out_at=" + Spot(options.takenOutAt) + "\n";
    return Command(lines + "action=insert\n", error);
}

bool InsertDisc(wchar_t letter, const std::wstring& image, std::wstring* error) {
    return InsertDisc(letter, image, DiscOptions(), error);
}

bool EjectDisc(wchar_t letter) {
    return Command("drive=" + Utf8(std::wstring(1, letter)) + "\naction=eject\n", nullptr);
}

}  // namespace drive
