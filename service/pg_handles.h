#pragma once
// Owners of libpq's objects, so that every early return releases what it got.

#include <libpq-fe.h>

#include <memory>

namespace dialo::service::pg {

struct ConnFree {
    void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
};
struct MemFree {
    void operator()(void* p) const { PQfreemem(p); }
};

using Conn = std::unique_ptr<PGconn, ConnFree>;
using Result = std::unique_ptr<PGresult, ResultFree>;
/// What libpq allocates for the caller (notifications, unescaped bytea).
template <typename T>
using Mem = std::unique_ptr<T, MemFree>;

}  // namespace dialo::service::pg
