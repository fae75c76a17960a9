#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ledger/database_config.h"
#include "ledger/record_journal.h"
#include "ledger/record_store.h"

// The record store of one process, shared by the stations it runs on one config.ini (the
// command line's `watch` runs one per module, on threads). On SQLite it is one connection that
// the stations take in turn, so that they never meet as "database is locked"; on PostgreSQL a
// pool of at most a few connections, each lent for one call, so that sixteen stations do not
// take sixteen of the server's slots.
//
// Each station uses a handle of its own (Handle()); a handle is a RecordStore and keeps that
// contract: one thread at a time, and LostConnection() about its own last call. Each call
// waits for a connection at most `wait`; one that gets none fails as a lost connection would
// (the station refuses the download before the erase, or keeps what it could not write in the
// journal). A server that refuses a connection for too many clients is not a failure: the call
// waits for a connection of the pool, or tries again, until its wait runs out.
//
// Lock order: a station that holds the settings lock (config.ini) may wait for a connection
// (ReserveSerial's `alsoSave` then runs while the connection is lent); nothing waits for the
// settings lock while it holds a connection. Keep it so: the other order can deadlock.
struct SharedStoreLimits {
    std::size_t connections = 4;  // on PostgreSQL; SQLite has one
    std::chrono::milliseconds wait{3 * kRecordBusyTimeout};
};

class SharedRecordStore {
  public:
    // The store of the config.ini at `configPath`, chosen now (its [DATABASE] and
    // PRAVUNE_DATABASE); nothing is opened before the first handle.
    explicit SharedRecordStore(const std::string& configPath, SharedStoreLimits limits = {});
    ~SharedRecordStore();
    SharedRecordStore(const SharedRecordStore&) = delete;
    SharedRecordStore& operator=(const SharedRecordStore&) = delete;

    const std::string& ConfigPath() const;
    const DatabaseChoice& Choice() const;
    // A station's handle, once a connection could be had (opened when none is); null, with the
    // failure, when none can be now. Handles must not outlive the store.
    std::unique_ptr<RecordStore> Handle(RecordFailure* failure);
    // What a station of this process could keep neither in the record nor in the journal (a
    // full disk), held for the process: any later station puts it into the journal once it
    // can, also when the station that held it is gone (each attempt of `watch` has its own).
    // At most kMaxHeldEntries; the oldest give way.
    static constexpr std::size_t kMaxHeldEntries = 1000;
    void Hold(JournalEntry entry);
    std::vector<JournalEntry> TakeHeld();

    // The connections open now, and the most that were open at once.
    std::size_t Connections() const;
    std::size_t MostConnections() const;

    struct Pool;

  private:
    std::unique_ptr<Pool> m_pool;
};

// Whether a failed connection's message is the server's refusal for too many clients (all its
// slots, or the role's or the database's connection limit, taken).
bool TooManyClients(const std::string& message);
