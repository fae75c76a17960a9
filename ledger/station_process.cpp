#include "ledger/station_process.h"

#include "os/os_files.h"

StationProcess ThisStationProcess(const std::string& configPath) {
    const std::int64_t pid = os_files::ProcessId();
    return {os_files::HostName(), os_files::AbsolutePath(configPath), pid,
            os_files::BootId(),   os_files::ProcessStart(pid),        os_files::PidNamespace()};
}

bool ProcessGone(const RunningDownload& record, const StationProcess& self) {
    if (record.processId <= 0)
        return false;  // a record of a loader before 1.5.1: whose it is cannot be told
    if (!record.bootId.empty() && !self.bootId.empty() && record.bootId != self.bootId)
        return true;  // the host has started again since
    if (record.bootId != self.bootId)
        return false;  // one boot unknown: the process id alone tells nothing
    // Another namespace's ids name other processes here: whose it is cannot be told.
    if (!record.pidNamespace.empty() && record.pidNamespace != self.pidNamespace)
        return false;
    if (!record.processStart.empty()) {
        const std::string start = os_files::ProcessStart(record.processId);
        if (!start.empty())
            return start != record.processStart;  // another process has its id now
        // No start time to be seen: gone only when no process of that id runs.
    } else if (record.processId == self.processId) {
        return false;
    }
    return !os_files::ProcessAlive(record.processId);
}
