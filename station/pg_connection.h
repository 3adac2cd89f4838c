#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/time_limits.h"

// libpq's own types, kept out of every other header.
struct pg_conn;
struct pg_result;

namespace kelvo {

// A thin owner of libpq's connection and results: every value goes in and comes out as text.

class PgResult {
public:
    PgResult() = default;
    explicit PgResult(pg_result* result);
    int rows() const;
    bool isNull(int row, int column) const;
    std::string text(int row, int column) const;
    std::optional<std::string> textOrNull(int row, int column) const;
    std::optional<std::uint64_t> number(int row, int column) const;

private:
    struct Clear {
        void operator()(pg_result* result) const;
    };
    std::unique_ptr<pg_result, Clear> result_;
};

// A statement's parameters, as text; nullopt is SQL's NULL.
using PgParams = std::vector<std::optional<std::string>>;

enum class PgCall {
    done,     // the server carried the statement out
    refused,  // the server refused it (an SQL error); the connection is still good
    broken    // the connection was lost, or gave no answer in time: it is closed
};

class PgConnection {
public:
    PgConnection() = default;
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Connects with `conninfo` as given: a URI (postgresql://...) or key=value words; libpq's
    // environment variables and password file apply as usual. TCP keepalives are on at both ends,
    // so that a dead connection is noticed in seconds. False with libpq's reason in `error`, in
    // which no password appears.
    bool open(const std::string& conninfo, const LedgerLimits& limits, const std::string& applicationName,
              std::string& error);
    bool isOpen() const { return conn_ != nullptr; }
    void close();

    // Runs `sql` with `params` ($1, $2, ...), waiting at most `waitMs` for the answer; the last
    // result lands in `result`. Without parameters `sql` may hold several statements.
    PgCall call(const std::string& sql, const PgParams& params, PgResult& result, std::uint32_t waitMs,
                std::string& error);

    // "database kelvo as kelvo on /run/postgresql:5432": where the connection goes, never its
    // password.
    std::string describe() const;

private:
    pg_conn* conn_ = nullptr;
    std::string conninfo_;  // to take out of libpq's messages
};

// `text` (a message of libpq's) with every password taken out: the one `conninfo` gives, and any
// that a connection string echoed in it shows (password=..., postgresql://user:...@).
std::string withoutPassword(std::string text, const std::string& conninfo);

}  // namespace kelvo
