#include "wallet/client_sinks.h"

#include <atomic>
#include <mutex>

namespace dialo {
namespace {

std::mutex gSinkMutex;
WalletEventSink gEventSink;
WalletTextSink gTextSink;
std::atomic<bool> gBalanceRecords{false};

}  // namespace

void set_wallet_event_sink(WalletEventSink sink) {
    std::lock_guard lock(gSinkMutex);
    gEventSink = std::move(sink);
}

void set_wallet_text_sink(WalletTextSink sink) {
    std::lock_guard lock(gSinkMutex);
    gTextSink = std::move(sink);
}

void set_balance_records(bool on) { gBalanceRecords = on; }
bool balance_records() { return gBalanceRecords.load(); }

void report_event(std::initializer_list<std::string_view> fields) {
    WalletEventSink sink;
    {
        std::lock_guard lock(gSinkMutex);
        sink = gEventSink;
    }
    if (!sink) return;
    std::string record;
    bool first = true;
    for (std::string_view f : fields) {
        if (!first) record.push_back('\x1f');
        record.append(f);
        first = false;
    }
    sink(record);
}

void report_error(std::string_view status) { report_event({"[OV-ERROR]", "error", status}); }

void report_text(std::string_view text) {
    WalletTextSink sink;
    {
        std::lock_guard lock(gSinkMutex);
        sink = gTextSink;
    }
    if (sink) sink(std::string(text));
}

}  // namespace dialo
