#include "startup/entry.h"

HINSTANCE instanceHandle = nullptr;

void HardenDllSearch() {}

int RunInstaller(HINSTANCE instance, const wchar_t*) {
    instanceHandle = instance;
    return 0;
}
