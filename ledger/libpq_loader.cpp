#include "ledger/libpq_loader.h"

#include <dlfcn.h>
#include <libpq-fe.h>

// Each libpq call the PostgreSQL session makes: its result type, name, parameters, the names
// it forwards, and what it gives while libpq cannot be loaded (a failure the session reports).
#define PRAVUNE_LIBPQ_CALLS(X)                                                                     \
    X(void, PQclear, (PGresult * res), (res), )                                                    \
    X(char*, PQcmdStatus, (PGresult * res), (res), nullptr)                                        \
    X(char*, PQcmdTuples, (PGresult * res), (res), nullptr)                                        \
    X(PostgresPollingStatusType, PQconnectPoll, (PGconn * conn), (conn), PGRES_POLLING_FAILED)     \
    X(PGconn*, PQconnectStartParams,                                                               \
      (const char* const* keywords, const char* const* values, int expand),                        \
      (keywords, values, expand), nullptr)                                                         \
    X(void, PQconninfoFree, (PQconninfoOption * options), (options), )                             \
    X(PQconninfoOption*, PQconninfoParse, (const char* conninfo, char** errmsg),                   \
      (conninfo, errmsg), nullptr)                                                                 \
    X(int, PQconsumeInput, (PGconn * conn), (conn), 0)                                             \
    X(char*, PQerrorMessage, (const PGconn* conn), (conn), nullptr)                                \
    X(void, PQfinish, (PGconn * conn), (conn), )                                                   \
    X(int, PQflush, (PGconn * conn), (conn), -1)                                                   \
    X(void, PQfreemem, (void* ptr), (ptr), )                                                       \
    X(PGresult*, PQgetResult, (PGconn * conn), (conn), nullptr)                                    \
    X(int, PQgetisnull, (const PGresult* res, int row, int field), (res, row, field), 1)           \
    X(int, PQgetlength, (const PGresult* res, int row, int field), (res, row, field), 0)           \
    X(char*, PQgetvalue, (const PGresult* res, int row, int field), (res, row, field), nullptr)    \
    X(int, PQisBusy, (PGconn * conn), (conn), 0)                                                   \
    X(int, PQnfields, (const PGresult* res), (res), 0)                                             \
    X(int, PQntuples, (const PGresult* res), (res), 0)                                             \
    X(char*, PQresultErrorField, (const PGresult* res, int code), (res, code), nullptr)            \
    X(char*, PQresultErrorMessage, (const PGresult* res), (res), nullptr)                          \
    X(ExecStatusType, PQresultStatus, (const PGresult* res), (res), PGRES_FATAL_ERROR)             \
    X(int, PQsendQuery, (PGconn * conn, const char* query), (conn, query), 0)                      \
    X(int, PQsendQueryParams,                                                                      \
      (PGconn * conn, const char* command, int count, const Oid* types, const char* const* values, \
       const int* lengths, const int* formats, int resultFormat),                                  \
      (conn, command, count, types, values, lengths, formats, resultFormat), 0)                    \
    X(PQnoticeProcessor, PQsetNoticeProcessor, (PGconn * conn, PQnoticeProcessor proc, void* arg), \
      (conn, proc, arg), nullptr)                                                                  \
    X(int, PQsocket, (const PGconn* conn), (conn), -1)                                             \
    X(ConnStatusType, PQstatus, (const PGconn* conn), (conn), CONNECTION_BAD)                      \
    X(PGTransactionStatusType, PQtransactionStatus, (const PGconn* conn), (conn), PQTRANS_UNKNOWN)

namespace {

// The loaded library and its calls: loaded once, on first use, and never changed after (the
// dynamic linker keeps it for the life of the process either way).
class LibPq {
  public:
    static const LibPq& Get() {
        static const LibPq library;
        return library;
    }
    LibPq(const LibPq&) = delete;
    LibPq& operator=(const LibPq&) = delete;

    const LibPqAbsence& problem() const { return m_problem; }

#define PRAVUNE_LIBPQ_POINTER(result, name, parameters, arguments, absent) \
    result(*name) parameters = nullptr;
    PRAVUNE_LIBPQ_CALLS(PRAVUNE_LIBPQ_POINTER)
#undef PRAVUNE_LIBPQ_POINTER

  private:
    LibPq() {
        m_handle = ::dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
        if (!m_handle) {
            const char* why = ::dlerror();
            m_problem = {LibPqAbsence::Kind::kNotLoaded, why ? why : ""};
            return;
        }
#define PRAVUNE_LIBPQ_LOOKUP(result, name, parameters, arguments, absent)    \
    name = reinterpret_cast<result(*) parameters>(::dlsym(m_handle, #name)); \
    if (!name && m_problem.kind == LibPqAbsence::Kind::kNone)                \
        m_problem = {LibPqAbsence::Kind::kNoCall, #name};
        PRAVUNE_LIBPQ_CALLS(PRAVUNE_LIBPQ_LOOKUP)
#undef PRAVUNE_LIBPQ_LOOKUP
    }
    // The library stays loaded until the process ends, as a linked one does: unloading it while
    // the program exits could pull it from under a session that another thread still closes.
    ~LibPq() = default;

    void* m_handle = nullptr;
    LibPqAbsence m_problem;
};

}  // namespace

const LibPqAbsence& LibPqProblem() {
    return LibPq::Get().problem();
}

// The calls themselves, as libpq-fe.h declares them: forwarded to the loaded library, or the
// failure each gives without it.
#define PRAVUNE_LIBPQ_FORWARD(result, name, parameters, arguments, absent) \
    extern "C" result name parameters {                                    \
        const LibPq& library = LibPq::Get();                               \
        if (library.problem().kind != LibPqAbsence::Kind::kNone)           \
            return absent;                                                 \
        return library.name arguments;                                     \
    }
PRAVUNE_LIBPQ_CALLS(PRAVUNE_LIBPQ_FORWARD)
#undef PRAVUNE_LIBPQ_FORWARD
