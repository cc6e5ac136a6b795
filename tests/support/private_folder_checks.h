// What the security descriptor of a staging folder must say, checked the same way for the
// descriptor the program builds and for the one read back from a folder.
#pragma once

#include <windows.h>

#include <string>

// Owner Administrators; a protected DACL with exactly two grants of full access, to
// Administrators (S-1-5-32-544) and to SYSTEM (S-1-5-18) in that order, both passed on to what is
// created inside and neither inherited from above.
void ExpectAdministratorsAndSystemOnly(PSECURITY_DESCRIPTOR descriptor);

// The folder's descriptor as the system reads it back (owner and DACL), checked as above.
void ExpectFolderForAdministratorsAndSystemOnly(const std::wstring& folder);

// Whether this system keeps the descriptor a folder is created with. Wine does not: it turns the
// descriptor into Unix permission bits and reads back one made up from them (the user as owner,
// grants to SYSTEM and the user, no protection). *readBack: what it gave, in SDDL.
bool FolderDescriptorsAreKept(std::wstring* readBack);
