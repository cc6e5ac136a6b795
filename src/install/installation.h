// One installation as the progress dialog, its worker thread and the file list share it.
#pragma once

#include <vector>

#include "install/progress_state.h"
#include "records/list_format.h"
#include "records/settings.h"
#include "records/uninstall_record.h"

struct Installation {
    explicit Installation(InstallSettings& settings) : settings(settings) {}

    // The owner's settings: the confirmed destination and the options, read by the worker; the
    // disc search moves SourceFolder to wherever it found a disc.
    InstallSettings& settings;
    ProgressState progress;
    std::vector<FileEntry> files;               // setup.lst, in file order
    std::vector<UninstallItem> uninstallItems;  // what uninst.dat will name
};
