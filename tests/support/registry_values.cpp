#include "support/registry_values.h"

#include "base/handles.h"

std::wstring StoredValue::Text() const {
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

DWORD StoredValue::Number() const {
    return data.size() == 4 ? *reinterpret_cast<const DWORD*>(data.data()) : 0xFFFFFFFF;
}

StoredValue ReadStoredValue(HKEY root, const std::wstring& key, const wchar_t* name, REGSAM view) {
    StoredValue value;
    RegKey opened;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | view, opened.receive()) != ERROR_SUCCESS) return value;
    DWORD bytes = 0;
    if (RegQueryValueExW(opened.get(), name, nullptr, &value.type, nullptr, &bytes) != ERROR_SUCCESS) return value;
    value.data.resize(bytes);
    if (RegQueryValueExW(opened.get(), name, nullptr, &value.type, value.data.data(), &bytes) != ERROR_SUCCESS) {
        return value;
    }
    value.data.resize(bytes);
    value.present = true;
    return value;
}

bool StoredKeyExists(HKEY root, const std::wstring& key, REGSAM view) {
    RegKey opened;
    return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | view, opened.receive()) == ERROR_SUCCESS;
}
