// vaultra: the companion wallet, as small as the phone needs. It keeps HD wallets in the
// shared platform folder and answers the phone's connect requests, writing exactly the
// files the phone reads.

#include <csignal>
#include <cstdio>
#include <iostream>

#include "app/update_check.h"
#include "platform/process.h"
#include "tools/vaultra/commands.h"

int main(int argc, char** argv) {
    (void)dialo::keepOutOfCoreDumps();
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--version") {
        std::cout << dialo::versionLine("vaultra") << "\n";
        return 0;
    }
    return dialo::vaultra_tool::run(args, std::cout, std::cerr);
}
