#pragma once

#include <string>
#include <vector>

namespace kelvotest {

// A real PostgreSQL server of the tests' own: initdb and pg_ctl in a fresh temporary folder, its
// socket in that folder, no TCP unless asked for (then on a free port of 127.0.0.1, for the
// Windows build under Wine). The server refuses to run as root: as root (CI) it runs as Debian's
// `postgres` user, in a folder that user owns; otherwise as whoever runs the tests.
// The superuser kKelvoRole needs no password; kPasswordRole logs in with kPassword only.
class PgServer {
public:
    static constexpr const char* kSuperuser = "kelvotest";
    static constexpr const char* kPasswordRole = "kelvo_pw";
    static constexpr const char* kPassword = "Sesame-7741-open";

    // `durable`: every commit written through to the disk, as a factory's server does (the tests
    // leave that out, to go faster).
    explicit PgServer(bool tcp = false, bool durable = false);
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // Empty when the server runs; otherwise why it does not.
    const std::string& problem() const { return problem_; }
    // A database of its own for one test, created now; its name.
    std::string freshDatabase();
    // The connection string for `database` as the superuser, over the socket (key=value form).
    std::string conninfo(const std::string& database) const;
    // The same over TCP on 127.0.0.1 (only with tcp).
    std::string tcpConninfo(const std::string& database) const;
    const std::string& socketFolder() const { return dir_; }
    int port() const { return port_; }

    // Stops the server (immediate: as a crash would, no checkpoint) and starts it again.
    bool stop(bool immediate);
    bool start();
    // Runs `sql` on `database` as the superuser: the first column of the first row, or "ERROR: ..."
    std::string query(const std::string& database, const std::string& sql) const;

private:
    bool run(const std::vector<std::string>& command, std::string* output = nullptr) const;

    std::string dir_;
    std::string bin_;
    int port_ = 5432;
    int databases_ = 0;
    std::string problem_;
};

// The test program's one server, started when first asked for and stopped at the end; with TCP
// when the Windows station is under test.
PgServer& testServer();

}  // namespace kelvotest
