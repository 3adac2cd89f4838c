// kelvo-station report's command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <vector>

#include "station/report.h"

namespace kelvo {

int runReportCommand(int argc, char** argv, std::FILE* out, std::FILE* problems) {
    CLI::App app{
        "The report of a station's log or of the factory's ledger: a summary for people, or with --csv one "
        "row "
        "per device.",
        "kelvo-station report"};
    app.allow_windows_style_options(false);
    ReportOptions options;
    // Options that take one value are read as lists, so that one given twice is told plainly.
    struct Single {
        const char* name;
        const char* help;
        std::string* value;
        std::vector<std::string> values;
    };
    Single singles[] = {
        {"--ledger",
         "The factory's ledger: a PostgreSQL connection URI or keyword string",
         &options.ledger,
         {}},
        {"--log", "A station's log", &options.logPath, {}},
        {"--since",
         "Devices started at or after this ISO date or time (local time unless it says)",
         &options.since,
         {}},
        {"--until",
         "Devices started before this ISO date or time (a date: to the end of that day)",
         &options.until,
         {}},
        {"--station", "Only this station's devices", &options.station, {}},
    };
    for (Single& single : singles)
        app.add_option(single.name, single.values, single.help)->expected(1)->take_all();
    app.add_flag("--csv", options.csv, "One row per device, RFC 4180, with a header row");
    const auto usage = [&](const std::string& why) {
        std::fprintf(out, "kelvo-station report: %s\n\n%s", why.c_str(), app.help().c_str());
        return 2;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fprintf(out, "%s", app.help().c_str());
        return 0;
    } catch (const CLI::ParseError& e) {
        return usage(e.what());
    }
    for (Single& single : singles) {
        if (single.values.size() > 1) return usage(std::string(single.name) + " is given more than once");
        if (single.values.size() == 1 && single.values[0].empty())
            return usage(std::string(single.name) + " takes a value");
        if (!single.values.empty()) *single.value = single.values[0];
    }
    if (options.ledger.empty() == options.logPath.empty()) return usage("give either --ledger or --log");
    std::string ignored;
    if ((!options.since.empty() && !parseReportTime(options.since, false, ignored)) ||
        (!options.until.empty() && !parseReportTime(options.until, true, ignored))) {
        return usage(
            "--since and --until take an ISO date or time, such as 2026-12-09, 2026-12-09T14:30 or "
            "2026-12-09T14:30:00Z");
    }
    return runReport(options, out, problems);
}

}  // namespace kelvo
