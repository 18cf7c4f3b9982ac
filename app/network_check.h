#pragma once
// One question to each configured service, so that a user can tell a wrong URL or key from a
// service that is down before paying anything. Never prints an API key.

#include <string>
#include <vector>

namespace dialo {

struct ServiceAnswer {
    std::string service;   // "platform", "WhatsOnChain", "ARC", "update site", "explorer"
    std::string url;       // what was asked
    bool answered = false;
    bool keySent = false;  // the configured API key went with it
    std::string detail;    // what answered, or why it did not
};

struct NetworkCheck {
    std::string network;             // "devnet", "main network", "custom network"
    std::string profile;             // "devnet" or "main"
    std::vector<std::string> notes;  // what the configuration lacks or gets wrong
    std::vector<ServiceAnswer> services;

    bool allAnswered() const;
};

/// Asks every service once, one after another; takes as long as their time-outs.
NetworkCheck checkNetwork();

/// The report as lines of text for a terminal.
std::string networkCheckText(const NetworkCheck& check);

/// A program's --check: reads the stored settings, asks and writes the report to `report`.
/// True when every service answered.
bool runNetworkCheck(std::string& report);

}  // namespace dialo
