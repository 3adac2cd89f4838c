#include "tests/pg_server.h"

#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "tests/test_support.h"

namespace kelvotest {

namespace {

// A port of 127.0.0.1 that nobody listens on now.
int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

}  // namespace

bool PgServer::run(const std::vector<std::string>& command, std::string* output) const {
    std::vector<std::string> argv;
    if (geteuid() == 0) argv = {"/usr/sbin/runuser", "-u", "postgres", "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    const ProcessResult r = runProcess(argv, 120);
    if (output != nullptr) *output = r.output + r.errors;
    return r.status == 0;
}

PgServer::PgServer(bool tcp, bool durable) : bin_(KELVO_PG_BINDIR) {
    char pattern[] = "/tmp/kelvo-pg-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        problem_ = "no temporary folder";
        return;
    }
    dir_ = pattern;
    if (geteuid() == 0) {
        const passwd* postgres = getpwnam("postgres");
        if (postgres == nullptr || chown(dir_.c_str(), postgres->pw_uid, postgres->pw_gid) != 0) {
            problem_ = "running as root, and there is no postgres user to run the server";
            return;
        }
    }
    port_ = tcp ? freePort() : 5432;
    std::string output;
    if (!run({bin_ + "/initdb", "-D", dir_ + "/data", "-U", kSuperuser, "-A", "trust", "-E", "UTF8",
              "--locale=C", "--no-sync", "--no-instructions"},
             &output)) {
        problem_ = "initdb failed: " + output;
        return;
    }
    // Written as root into files the server's user owns: they stay its own.
    std::ofstream(dir_ + "/data/pg_hba.conf", std::ios::trunc)
        << "local all " << kPasswordRole << " scram-sha-256\nlocal all all trust\n"
        << "host all " << kPasswordRole << " 127.0.0.1/32 scram-sha-256\nhost all all 127.0.0.1/32 trust\n";
    std::ofstream(dir_ + "/data/postgresql.conf", std::ios::app)
        << "listen_addresses = '" << (tcp ? "127.0.0.1" : "") << "'\nport = " << port_
        << "\nunix_socket_directories = '" << dir_ << "'\nfsync = " << (durable ? "on" : "off")
        << "\nmax_connections = 300\n"
        << "lc_messages = 'C'\n";
    if (!start()) return;
    const std::string made = query(
        "postgres", std::string("CREATE ROLE ") + kPasswordRole + " LOGIN PASSWORD '" + kPassword + "'");
    if (made.rfind("ERROR", 0) == 0) problem_ = made;
}

PgServer::~PgServer() {
    if (!dir_.empty()) {
        stop(true);
        (void)std::system(("rm -rf '" + dir_ + "'").c_str());
    }
}

bool PgServer::stop(bool immediate) {
    return run(
        {bin_ + "/pg_ctl", "-D", dir_ + "/data", "-m", immediate ? "immediate" : "fast", "-w", "stop"});
}

bool PgServer::start() {
    std::string output;
    if (!run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "start"}, &output)) {
        problem_ = "pg_ctl start failed: " + output + readFile(dir_ + "/server.log");
        return false;
    }
    return true;
}

std::string PgServer::conninfo(const std::string& database) const {
    return "host=" + dir_ + " port=" + std::to_string(port_) + " dbname=" + database + " user=" + kSuperuser;
}

std::string PgServer::tcpConninfo(const std::string& database) const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=" + database + " user=" + kSuperuser;
}

std::string PgServer::freshDatabase() {
    const std::string name = "test_" + std::to_string(++databases_);
    query("postgres", "CREATE DATABASE " + name);
    return name;
}

std::string PgServer::query(const std::string& database, const std::string& sql) const {
    const std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(conninfo(database).c_str()), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) return std::string("ERROR: ") + PQerrorMessage(conn.get());
    const std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()), PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        return std::string("ERROR: ") + PQresultErrorMessage(result.get());
    if (PQntuples(result.get()) == 0 || PQnfields(result.get()) == 0) return "";
    return PQgetvalue(result.get(), 0, 0);
}

PgServer& testServer() {
    // TCP only for the Windows station under Wine, which reaches the server through it.
    static PgServer server(std::getenv("KELVO_WINDOWS_STATION") != nullptr);
    return server;
}

}  // namespace kelvotest
