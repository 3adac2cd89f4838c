#include "cli/update_driver.h"
#include "link/serial_link.h"

int main(int /*argc*/, char** argv) {
    kelvo::protectStandardStreams();
    kelvo::installInterruptHandler();
    return kelvo::runUpdate(argv);
}
