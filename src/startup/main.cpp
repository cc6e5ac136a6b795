#include <windows.h>

#include "startup/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int) {
    HardenDllSearch();
    // The installer's settings, read from setup.ini and chosen by the player, for the whole run.
    InstallSettings settings{};
    return RunInstaller(instance, arguments ? arguments : L"", &settings);
}
