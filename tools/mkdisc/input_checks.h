// The publisher's inputs held against what the installer will accept, before mkdisc writes
// anything: setup.ini, the installer program and the uninst.dat template. Every problem found is
// appended as one line that names the file, and the line where there is one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// setup.ini as the installer reads it: code page 932 (UTF-8 with non-ASCII text is refused, its
// bytes would arrive garbled), a section [INSTALLER] with Company, AppName, InstFolder and AppExe;
// AppExe one of installedFiles (paths inside the install folder, as the installer writes the
// files); InstFolder one folder name that fits, behind a drive's root, into an install folder of
// installRoom characters.
void CheckSetupIni(const std::wstring& iniPath, const std::vector<std::wstring>& installedFiles, size_t installRoom,
                   std::vector<std::wstring>* problems);

// The installer program: a 32-bit (i386) Windows GUI program whose resources hold the
// installer's three dialogs.
void CheckInstallerProgram(const std::wstring& path, std::vector<std::wstring>* problems);

// The uninst.dat template: code page 932, every line "kind,path" with a whole-number kind and a
// path that stays inside the install folder and still fits the record's line behind an install
// folder of installRoom characters.
void CheckUninstallTemplate(const std::wstring& path, size_t installRoom, std::vector<std::wstring>* problems);
