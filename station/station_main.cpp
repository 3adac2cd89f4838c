// kelvo-station: updates many devices on many ports at once, device after device, with serial
// numbers and a record of every device (in its log, and in the factory's ledger); and
// `kelvo-station report`, the report of a log or of the ledger.
#include <cstdio>
#include <filesystem>
#include <string>

#include "common/sha256.h"
#include "image/hex_file.h"
#include "link/serial_link.h"
#include "station/report.h"
#include "station/station.h"
#include "station/station_options.h"
#include "update/image_file.h"
#include "update/update_text.h"

int main(int argc, char** argv) {
    kelvo::protectStandardStreams();
    kelvo::StopRequest stop;
    kelvo::installInterruptHandler(stop);

    if (argc > 1 && std::string(argv[1]) == "report")
        return kelvo::runReportCommand(argc - 1, argv + 1, stdout, stderr);

    kelvo::StationOptions options;
    const int read = kelvo::readStationOptions(argc, argv, options, stdout);
    if (read != kelvo::kOptionsComplete) return read;
    kelvo::StationConfig& config = options.config;
    const std::string& hexPath = options.hexPath;

    // The file is read and checked once, before any port is opened.
    kelvo::HexFile file = kelvo::openHexFile(hexPath.c_str());
    if (!file) {
        std::printf("%s", kelvo::cannotOpenFileText(hexPath.c_str()).c_str());
        return 1;
    }
    kelvo::HexImage image;
    kelvo::HexProblem problem;
    kelvo::Sha256 digest;
    const kelvo::HexRead hexRead = kelvo::readHexFile(file.get(), image, problem, &stop, &digest);
    file.reset();
    if (hexRead == kelvo::HexRead::interrupted) {
        std::printf("%s", kelvo::kMsgInterrupted);
        return 130;
    }
    if (hexRead == kelvo::HexRead::bad) {
        std::printf("%s", kelvo::badHexFileText(problem).c_str());
        return 1;
    }
    config.imageSha256 = digest.hexDigest();
    config.imageName = std::filesystem::path(hexPath).filename().string();
    const std::string& wanted = options.imageSha256;
    if (!wanted.empty() && wanted != config.imageSha256) {
        std::printf(
            "The SHA-256 of %s is %s, not %s: this is not the image approved for the job; the station does "
            "not start.\n",
            hexPath.c_str(), config.imageSha256.c_str(), wanted.c_str());
        return 1;
    }
    return kelvo::runStation(config, std::move(image), stop, stdout);
}
