#include <cstring>
#include <iostream>
#include <string>

#include "app/network_check.h"
#include "app/update_check.h"
#include "base/config.h"
#include "platform/process.h"
#include "tools/phone/console.h"

namespace {

constexpr char kUsage[] = "usage: dialo-phone [--profile devnet|main] [--echo] [--check] [--version]\n";

}  // namespace

// dialo-phone [--profile devnet|main] [--echo] [--check]
int main(int argc, char** argv) {
    (void)dialo::keepOutOfCoreDumps();
    std::ios::sync_with_stdio(false);
    bool echo = false, check = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--echo") == 0) {
            echo = true;
        } else if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (std::strcmp(argv[i], "--profile") == 0 && i + 1 < argc) {
            if (!dialo::setProfileOverride(argv[++i])) {
                std::cerr << "dialo-phone: the profiles are devnet and main\n";
                return 2;
            }
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << dialo::versionLine("dialo-phone") << "\n";
            return 0;
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    if (check) {
        std::string report;
        const bool answered = dialo::runNetworkCheck(report);
        std::cout << report;
        return answered ? 0 : 1;
    }
    return dialo::runConsole(std::cin, std::cout, echo);
}
