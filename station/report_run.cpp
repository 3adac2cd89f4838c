// The report's run: the devices read from a log or from the ledger, filtered and written.
#include <filesystem>

#include "station/device_log.h"
#include "station/ledger_store.h"
#include "station/pg_connection.h"
#include "station/report.h"

namespace kelvo {

namespace {

bool readLedger(const ReportOptions& options, const LedgerFilter& filter, std::vector<DeviceRow>& rows,
                std::FILE* problems) {
    PgConnection connection;
    std::string error;
    if (!connection.open(options.ledger, options.limits, "kelvo-station report", error)) {
        std::fprintf(problems, "The ledger cannot be used (%s).\n", error.c_str());
        return false;
    }
    PgResult result;
    if (connection.call("SELECT to_regclass('kelvo_devices') IS NOT NULL", {}, result, options.limits.callMs,
                        error) != PgCall::done) {
        std::fprintf(problems, "The ledger cannot be read (%s).\n", error.c_str());
        return false;
    }
    if (result.text(0, 0) != "t") return true;  // no station has used it yet
    if (readLedgerDevices(connection, options.limits, filter, rows, error) != PgCall::done) {
        std::fprintf(problems, "The ledger cannot be read (%s).\n", error.c_str());
        return false;
    }
    return true;
}

}  // namespace

int runReport(const ReportOptions& options, std::FILE* out, std::FILE* problems) {
    LedgerFilter filter{options.station, "", ""};
    if ((!options.since.empty() && !parseReportTime(options.since, false, filter.since)) ||
        (!options.until.empty() && !parseReportTime(options.until, true, filter.until))) {
        std::fprintf(problems,
                     "--since and --until take an ISO date or time, such as 2026-12-09, 2026-12-09T14:30 or "
                     "2026-12-09T14:30:00Z.\n");
        return 1;
    }
    std::vector<DeviceRow> rows;
    if (!options.ledger.empty()) {
        if (!readLedger(options, filter, rows, problems)) return 1;
    } else {
        LogContents contents;
        std::string error;
        std::error_code missing;
        if (!std::filesystem::exists(options.logPath, missing)) {
            std::fprintf(problems, "The log %s does not exist.\n", options.logPath.c_str());
            return 1;
        }
        if (!readLog(options.logPath, contents, error)) {
            std::fprintf(problems, "The log %s cannot be read (%s).\n", options.logPath.c_str(),
                         error.c_str());
            return 1;
        }
        for (const std::string& problem : contents.problems) std::fprintf(problems, "%s\n", problem.c_str());
        rows = std::move(contents.devices);
    }
    rows = selectDevices(std::move(rows), filter.station, filter.since, filter.until);
    const std::string text = options.csv ? reportCsv(rows) : reportSummary(rows);
    std::fwrite(text.data(), 1, text.size(), out);
    return std::fflush(out) == 0 ? 0 : 1;
}

}  // namespace kelvo
