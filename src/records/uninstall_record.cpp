#include "records/uninstall_record.h"

std::vector<UninstallItem> uninstallList;

bool WriteUninstallRecord() { return false; }

bool ReadUninstallRecord(const wchar_t* recordPath) {
    (void)recordPath;
    uninstallList.clear();
    return false;
}
