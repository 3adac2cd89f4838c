#include "cli/update_driver.h"

int main(int /*argc*/, char** argv) {
    return kelvo::runUpdate(argv);
}
