#pragma once

#include <cstddef>
#include <memory>

#include "image/hex_loader.h"
#include "image/memory_row.h"
#include "link/serial_link.h"
#include "protocol/bootloader.h"

namespace kelvo {

// Where the rows of an update come from once the chip's family is known. kelvoup prepares them
// from its file; the station keeps one set per family, shared by every port, and puts each
// device's serial number into rows of that device's own.
class ImageSource {
public:
    enum class Status { ready, noImage, noMemory };
    virtual ~ImageSource() = default;
    // The formatted rows for `family`, read-only: other updates may send them at the same time.
    virtual Status prepare(DeviceFamily family, std::shared_ptr<const PreparedRows>& rows) = 0;
    // Puts the device's own words into its rows, before any row is sent. False refuses the device.
    virtual bool personalise(RowSet& /*rows*/) { return true; }
};

// The rows of one checked file, prepared for the family the update identifies (kelvoup's and the
// web page's source). Without a file (nullptr) the update ends as noImage.
class FileImageSource : public ImageSource {
public:
    explicit FileImageSource(const HexImage* image) : image_(image) {}
    Status prepare(DeviceFamily family, std::shared_ptr<const PreparedRows>& rows) override;

private:
    const HexImage* image_;
};

enum class UpdateOutcome {
    passed,       // written and verified
    failed,       // the events said why
    interrupted,  // the update's stop request ended it
    noImage       // contacted and identified, but there was no image to write
};

// The phase an update was in when it ended.
enum class UpdatePhase { contact, identify, prepare, write, verify, reset };
const char* phaseName(UpdatePhase phase);

struct UpdateResult {
    UpdateOutcome outcome = UpdateOutcome::failed;
    UpdatePhase phase = UpdatePhase::contact;
    DeviceIdentity identity;
    std::size_t rowsWritten = 0;   // frames acknowledged
    std::size_t resends = 0;       // frames sent again after a refusal or a silence
    std::size_t rowsVerified = 0;  // program rows read back and found equal
};

// The update of one device on an open port: contacts the bootloader, identifies the chip, takes the
// rows for its family from `image`, writes them, verifies program memory and resets the target.
// Everything it changes is its own or the port's: its events go to the port's update (RunContext),
// and so does its stop request, so that any number of updates can run at once, one per port.
UpdateResult runDeviceUpdate(PortHandle& port, ImageSource& image);

}  // namespace kelvo
