// Where there are no network ports (the web browser has no TCP): such a name cannot be opened.
#include "link/port_state.h"

namespace kelvo {

OpenResult openNetworkPort(PortHandle& port, const char* /*name*/, const PortUrl& /*url*/,
                           const char* /*baudText*/, const RunContext& /*context*/) {
    port.setOpenProblem("network ports cannot be used here");
    return OpenResult::networkFailure;
}

}  // namespace kelvo
