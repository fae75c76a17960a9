#pragma once

#include <cstdint>
#include <string>

#include "ledger/record_store.h"

// Who runs a station: the records it may close as interrupted are its config.ini's on its host.
struct StationProcess {
    std::string host;
    std::string config;  // config.ini's absolute path
    std::int64_t processId = 0;
    std::string bootId;
    std::string processStart, pidNamespace;
};
// This process, for the station on the config.ini at `configPath`.
StationProcess ThisStationProcess(const std::string& configPath);
// Whether the process that began a running record is gone: false when it may still run, or
// when that cannot be told. A process is known by its id, its start time and its PID namespace
// where the record has them: a record of another namespace (another container on one host) is
// never taken for gone, and a process id used again by a later process is.
bool ProcessGone(const RunningDownload& record, const StationProcess& self);
