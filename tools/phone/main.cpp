#include <cstring>
#include <iostream>

#include "app/update_check.h"
#include "platform/process.h"
#include "tools/phone/console.h"

// dialo-phone [--echo]
int main(int argc, char** argv) {
    (void)dialo::keepOutOfCoreDumps();
    std::ios::sync_with_stdio(false);
    bool echo = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--echo") == 0) {
            echo = true;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << dialo::versionLine("dialo-phone") << "\n";
            return 0;
        } else {
            std::cerr << "usage: dialo-phone [--echo] [--version]\n";
            return 2;
        }
    }
    return dialo::runConsole(std::cin, std::cout, echo);
}
