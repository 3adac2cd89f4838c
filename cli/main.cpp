#include <cstdio>

#include "cli/update_driver.h"
#include "common/stop_request.h"
#include "link/serial_link.h"

int main(int /*argc*/, char** argv) {
    kelvo::protectStandardStreams();
    kelvo::StopRequest stop;
    kelvo::installInterruptHandler(stop);
    return kelvo::runUpdate(argv, stdout, stop);
}
