#include <windows.h>

#include "startup/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int) {
    HardenDllSearch();
    return RunInstaller(instance, arguments ? arguments : L"");
}
