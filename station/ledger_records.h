#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/device_records.h"
#include "station/file_records.h"
#include "station/pg_connection.h"

namespace kelvo {

// The station's records in the factory's ledger, and in its own log as well. Each port calls the
// ledger on a connection of its own, so that no port ever waits for another's call. While the
// ledger cannot be reached the records are kept (they are in the log too) and sent, once, when
// it is back; a port that needs a new serial number meanwhile waits. A thread of its own
// reconnects the station by itself.
class LedgerRecords : public DeviceRecords {
public:
    ~LedgerRecords() override;
    // Opens the log, connects, prepares the tables, takes the station's name, and sends what the
    // log holds and the ledger does not. False with a sentence for the operator in `error`.
    bool open(const RecordsConfig& config, std::string& error);

    const RecordsAtStart& atStart() const override { return atStart_; }
    SerialReservation reserveSerial(std::size_t port, const std::string& portName,
                                    std::uint64_t device) override;
    bool recordStart(std::size_t port, const DeviceRow& row) override;
    bool recordEnd(std::size_t port, const DeviceRow& row) override;
    bool reachable() const override { return !away_.load(); }
    // How long the ledger took per device (the reservation, the start and the end together), and
    // what could not be sent.
    std::string finish() override;

    // Each device's time in the ledger's calls, in milliseconds: the devices whose end went to
    // the ledger at once (not kept while it was away). Read once the ports have stopped.
    std::vector<double> deviceTimesMs() const;

    // Records kept for the ledger and not sent yet.
    std::size_t waiting() const;
    // Where the ledger is (no password).
    std::string where() const override { return where_; }

private:
    // The port's own connection, opened when first needed; nullptr when it cannot be.
    PgConnection* portConnection(std::size_t port);
    // Sends a record on the port's connection, or keeps it for later.
    void send(std::size_t port, const DeviceRow& row);
    void keep(const DeviceRow& row);
    void wentAway(const std::string& why);
    void note(const std::string& text);
    // A call the ledger refused (said once while it stays the same).
    void refused(const std::string& text);
    bool sendLogToLedger(std::string& error);
    bool warmUp(PgConnection& connection, std::string& error);
    void reconnectLoop();
    void stopReconnecting();
    // Whether the main connection still answers (it holds the station's name); reconnects it.
    void check();
    // Sends what is kept, on the main connection (reconnected when needed); true when all is sent.
    bool flush();

    RecordsConfig config_;
    FileRecords log_;
    RecordsAtStart atStart_;
    std::string where_;
    std::string application_;

    std::mutex mainMutex_;  // the main connection: the name, what was kept, the start
    PgConnection main_;
    bool nameHeld_ = false;
    // Each port's own connection, used by that port alone, and the ledger's generation it was
    // opened in: one opened before the ledger went away is opened again.
    struct PortConnection {
        PgConnection connection;
        unsigned generation = 0;
        double deviceMs = 0;  // the device in progress, so far
        bool deviceKept = false;
        std::vector<double> devicesMs;
    };
    // Adds a call's time to the port's device in progress.
    void timed(std::size_t port, std::uint32_t startTick, bool kept);
    std::vector<std::unique_ptr<PortConnection>> ports_;
    std::atomic<unsigned> generation_{0};

    mutable std::mutex keptMutex_;
    std::map<std::uint64_t, DeviceRow> kept_;  // by device number: the latest record of each
    std::atomic<bool> away_{false};
    std::string lastProblem_;

    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread reconnector_;
};

}  // namespace kelvo
