// One working instance per user session: the working instance holds a named object that
// records its process id; a later start finds it there and brings that instance forward.
#pragma once

#include <windows.h>

#include "base/handles.h"

// Makes this process the session's working instance. The object stays claimed while *claim
// holds it. False when another working instance holds it already (or the object cannot be made).
bool ClaimWorkingInstance(ObjectHandle* claim);

// True when a working instance runs in this session; *processId is its id, or 0 when it has not
// recorded one yet.
bool FindWorkingInstance(DWORD* processId);

// Brings the process's window to the front: the window that was last active among its main
// window and the windows that main window owns (a modal dialog or message box). False when the
// process shows no window.
bool BringProcessToFront(DWORD processId);
