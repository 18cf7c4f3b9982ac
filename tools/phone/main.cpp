#include <iostream>

#include "tools/phone/console.h"

int main() {
    std::ios::sync_with_stdio(false);
    return dialo::runConsole(std::cin, std::cout);
}
