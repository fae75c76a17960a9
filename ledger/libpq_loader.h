#pragma once

#include <string>

// libpq is loaded when the first PostgreSQL session needs it, not when the program starts: a
// station whose record is the SQLite file beside config.ini (most of them) never pays for
// loading libpq and the two dozen libraries it brings (Kerberos, LDAP, TLS), several
// milliseconds at every start of pravune-cli. The libpq calls of the PostgreSQL session are
// forwarded to the library once it is loaded.

// Why libpq cannot be used, as data: not loaded (`detail`: the dynamic linker's message, empty
// when it gave none), or a call missing (`detail`: its name). Loads it on the first call.
struct LibPqAbsence {
    enum class Kind { kNone, kNotLoaded, kNoCall };
    Kind kind = Kind::kNone;
    std::string detail;
};
const LibPqAbsence& LibPqProblem();
