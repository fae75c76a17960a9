#include "ledger/shared_record_store.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How long a pool that a server refused for too many clients keeps to the connections it has
// before it tries for more again; and the pauses between attempts while it has none.
constexpr std::chrono::seconds kRefusalQuiet{30};
constexpr std::chrono::milliseconds kFirstRetry{20}, kLongestRetry{500};

}  // namespace

bool TooManyClients(const std::string& message) {
    // The server's own words (SQLSTATE 53300, which libpq does not hand over for a refused
    // connection): "sorry, too many clients already", "too many connections for role ...",
    // "remaining connection slots are reserved ...".
    for (const char* words :
         {"too many clients", "too many connections", "connection slots are reserved"})
        if (message.find(words) != std::string::npos)
            return true;
    return false;
}

struct SharedRecordStore::Pool {
    Pool(const std::string& configPath, SharedStoreLimits given)
        : config(configPath),
          choice(ChooseDatabase(configPath)),
          limits(given),
          most(choice.shared() ? std::max<std::size_t>(given.connections, 1) : 1),
          cap(most),
          where(choice.name) {}

    // A connection for one call, waited for until `deadline`; null with the failure.
    std::unique_ptr<RecordStore> Borrow(Clock::time_point deadline, RecordFailure* failure) {
        std::unique_lock lock(mutex);
        std::string refused;  // the server's last refusal for too many clients
        std::chrono::milliseconds retry = kFirstRetry;
        for (;;) {
            if (!idle.empty()) {
                std::unique_ptr<RecordStore> store = std::move(idle.back());
                idle.pop_back();
                return store;
            }
            const Clock::time_point now = Clock::now();
            if (cap < most && now >= capUntil)
                cap = most;
            if (open < cap) {
                ++open;
                lock.unlock();
                RecordFailure why;
                std::unique_ptr<RecordStore> store = OpenChosenRecordStore(choice, config, &why);
                lock.lock();
                if (store) {
                    mostOpen = std::max(mostOpen, open);
                    where = store->Where();
                    version = store->SchemaVersion();
                    return store;
                }
                --open;
                freed.notify_all();  // the slot it held may serve another
                if (!TooManyClients(why.detail)) {
                    Fails(failure, std::move(why));
                    return nullptr;
                }
                // The server's slots are taken (by others, or by this pool's own): no more
                // than are open now until it has been quiet a while.
                refused = why.detail;
                cap = open;
                capUntil = Clock::now() + kRefusalQuiet;
            }
            if (Clock::now() >= deadline)
                break;
            if (open == 0) {
                // None of ours to wait for: again after a pause that grows.
                freed.wait_until(lock, std::min(deadline, Clock::now() + retry));
                retry = std::min(retry * 2, kLongestRetry);
                cap = std::max<std::size_t>(cap, 1);
            } else {
                freed.wait_until(lock, deadline);
            }
        }
        Fails(failure, {.code = RecordFailure::Code::kNoConnectionFree,
                        .count = limits.wait.count(),
                        .where = where,
                        .detail = refused});
        return nullptr;
    }

    // Back after a call; a connection whose last call lost it is closed (a new one is opened
    // when needed, through the same wait for a free slot).
    void Return(std::unique_ptr<RecordStore> store) {
        const std::lock_guard lock(mutex);
        if (store->LostConnection()) {
            store.reset();
            --open;
        } else {
            idle.push_back(std::move(store));
        }
        freed.notify_all();
    }

    const std::string config;
    const DatabaseChoice choice;
    const SharedStoreLimits limits;
    const std::size_t most;  // connections at most

    mutable std::mutex mutex;
    std::condition_variable freed;
    std::vector<std::unique_ptr<RecordStore>> idle;
    std::size_t open = 0;  // idle, lent and being opened
    std::size_t mostOpen = 0;
    std::size_t cap;  // lowered for a while by a server's refusal for too many clients
    Clock::time_point capUntil;
    std::string where;
    int version = 0;
    std::vector<JournalEntry> held;  // under `mutex`
};

namespace {

// A station's view of the shared store: each call on a connection of its own for that call.
class SharedHandle final : public RecordStore {
  public:
    explicit SharedHandle(SharedRecordStore::Pool& pool) : m_pool(pool) {
        const std::lock_guard lock(pool.mutex);
        m_where = pool.where;
        m_version = pool.version;
    }

    std::int64_t BeginDownload(const DownloadRecord& record, RecordFailure* failure) override {
        return With(failure, std::int64_t{0},
                    [&](RecordStore& s) { return s.BeginDownload(record, failure); });
    }
    bool ReserveSerial(std::int64_t downloadId, SerialPlanKey plan, std::uint32_t value,
                       const std::function<bool(std::string* reason)>& alsoSave,
                       RecordFailure* failure) override {
        return With(failure, false, [&](RecordStore& s) {
            return s.ReserveSerial(downloadId, plan, value, alsoSave, failure);
        });
    }
    std::optional<TakenSerial> TakeSerial(std::int64_t downloadId, SerialPlanKey plan,
                                          std::uint32_t start, std::uint32_t step,
                                          const CounterStation& station,
                                          RecordFailure* failure) override {
        return With(failure, std::optional<TakenSerial>(), [&](RecordStore& s) {
            return s.TakeSerial(downloadId, plan, start, step, station, failure);
        });
    }
    bool ReadCounter(SerialPlanKey plan, std::optional<SerialCounter>& counter,
                     RecordFailure* failure) override {
        return With(failure, false,
                    [&](RecordStore& s) { return s.ReadCounter(plan, counter, failure); });
    }
    bool SetCounter(SerialPlanKey plan, std::uint32_t next, std::uint32_t step,
                    const CounterStation& station, RecordFailure* failure) override {
        return With(failure, false, [&](RecordStore& s) {
            return s.SetCounter(plan, next, step, station, failure);
        });
    }
    bool SetSerialState(std::int64_t downloadId, SerialState state,
                        RecordFailure* failure) override {
        return With(failure, false,
                    [&](RecordStore& s) { return s.SetSerialState(downloadId, state, failure); });
    }
    bool FinishDownload(const DownloadRecord& record, RecordFailure* failure) override {
        return With(failure, false,
                    [&](RecordStore& s) { return s.FinishDownload(record, failure); });
    }
    std::optional<std::vector<RunningDownload>> Running(const std::string& host,
                                                        const std::string& stationConfig,
                                                        RecordFailure* failure) override {
        return With(failure, std::optional<std::vector<RunningDownload>>(),
                    [&](RecordStore& s) { return s.Running(host, stationConfig, failure); });
    }
    bool CloseInterrupted(std::int64_t id, const std::string& statusText,
                          RecordFailure* failure) override {
        return With(failure, false,
                    [&](RecordStore& s) { return s.CloseInterrupted(id, statusText, failure); });
    }
    std::optional<DownloadRecord> Get(std::int64_t id, RecordFailure* failure) override {
        return With(failure, std::optional<DownloadRecord>(),
                    [&](RecordStore& s) { return s.Get(id, failure); });
    }
    bool ForEach(const std::string& startUtc, bool withLog,
                 const std::function<bool(const DownloadRecord&)>& each,
                 RecordFailure* failure) override {
        return With(failure, false,
                    [&](RecordStore& s) { return s.ForEach(startUtc, withLog, each, failure); });
    }
    std::optional<SerialEntry> FindSerial(SerialPlanKey plan, std::uint32_t value,
                                          RecordFailure* failure) override {
        return With(failure, std::optional<SerialEntry>(),
                    [&](RecordStore& s) { return s.FindSerial(plan, value, failure); });
    }
    bool LastPass(const std::string& moduleUid, const std::string& fileSha256,
                  std::optional<DownloadRecord>& found, RecordFailure* failure) override {
        return With(failure, false, [&](RecordStore& s) {
            return s.LastPass(moduleUid, fileSha256, found, failure);
        });
    }
    int SchemaVersion() const override { return m_version; }
    const std::string& Where() const override { return m_where; }
    bool LostConnection() const override { return m_lost; }
    SerialConflict LastConflict() const override { return m_conflict; }

  private:
    // `call` on a borrowed connection, given back afterwards; `failed` when none is free in
    // time (a lost connection, for the caller).
    template <class Value, class Call>
    Value With(RecordFailure* failure, Value failed, Call call) {
        RecordFailure why;
        std::unique_ptr<RecordStore> store = m_pool.Borrow(Clock::now() + m_pool.limits.wait, &why);
        m_conflict = {};
        if (!store) {
            m_lost = true;
            Fails(failure, std::move(why));
            return failed;
        }
        Value value = call(*store);
        m_lost = store->LostConnection();
        m_conflict = store->LastConflict();
        m_pool.Return(std::move(store));
        return value;
    }

    SharedRecordStore::Pool& m_pool;
    std::string m_where;
    int m_version = 0;
    bool m_lost = false;
    SerialConflict m_conflict;
};

}  // namespace

SharedRecordStore::SharedRecordStore(const std::string& configPath, SharedStoreLimits limits)
    : m_pool(std::make_unique<Pool>(configPath, limits)) {}

SharedRecordStore::~SharedRecordStore() = default;

const std::string& SharedRecordStore::ConfigPath() const {
    return m_pool->config;
}

const DatabaseChoice& SharedRecordStore::Choice() const {
    return m_pool->choice;
}

std::unique_ptr<RecordStore> SharedRecordStore::Handle(RecordFailure* failure) {
    std::unique_ptr<RecordStore> store =
        m_pool->Borrow(Clock::now() + m_pool->limits.wait, failure);
    if (!store)
        return nullptr;
    m_pool->Return(std::move(store));
    return std::make_unique<SharedHandle>(*m_pool);
}

void SharedRecordStore::Hold(JournalEntry entry) {
    const std::lock_guard lock(m_pool->mutex);
    if (m_pool->held.size() >= kMaxHeldEntries)
        m_pool->held.erase(m_pool->held.begin());
    m_pool->held.push_back(std::move(entry));
}

std::vector<JournalEntry> SharedRecordStore::TakeHeld() {
    const std::lock_guard lock(m_pool->mutex);
    return std::exchange(m_pool->held, {});
}

std::size_t SharedRecordStore::Connections() const {
    const std::lock_guard lock(m_pool->mutex);
    return m_pool->open;
}

std::size_t SharedRecordStore::MostConnections() const {
    const std::lock_guard lock(m_pool->mutex);
    return m_pool->mostOpen;
}
