#include "wallet/client_sinks.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace dialo {
namespace {

std::mutex gSinkMutex;
std::condition_variable gSinkIdle;
int gSinkCalls = 0;  // sink calls under way, outside the mutex
WalletEventSink gEventSink;
WalletTextSink gTextSink;
std::atomic<bool> gBalanceRecords{false};

// Swaps a sink in and waits for calls of the one it replaces to end, so that whatever that
// sink refers to may go as soon as this returns.
template <class Sink>
void replaceSink(Sink& slot, Sink sink) {
    std::unique_lock lock(gSinkMutex);
    slot = std::move(sink);
    gSinkIdle.wait(lock, [] { return gSinkCalls == 0; });
}

// Calls a copy of a sink outside the mutex, counted while it runs.
template <class Sink>
void callSink(const Sink& slot, const std::string& text) {
    Sink sink;
    {
        std::lock_guard lock(gSinkMutex);
        if (!slot) return;
        sink = slot;
        ++gSinkCalls;
    }
    sink(text);
    std::lock_guard lock(gSinkMutex);
    if (--gSinkCalls == 0) gSinkIdle.notify_all();
}

}  // namespace

void set_wallet_event_sink(WalletEventSink sink) { replaceSink(gEventSink, std::move(sink)); }

void set_wallet_text_sink(WalletTextSink sink) { replaceSink(gTextSink, std::move(sink)); }

void set_balance_records(bool on) { gBalanceRecords = on; }
bool balance_records() { return gBalanceRecords.load(); }

void report_event(std::initializer_list<std::string_view> fields) {
    {
        std::lock_guard lock(gSinkMutex);
        if (!gEventSink) return;
    }
    std::string record;
    bool first = true;
    for (std::string_view f : fields) {
        if (!first) record.push_back('\x1f');
        record.append(f);
        first = false;
    }
    callSink(gEventSink, record);
}

void report_error(std::string_view status) { report_event({"[OV-ERROR]", "error", status}); }

void report_text(std::string_view text) { callSink(gTextSink, std::string(text)); }

}  // namespace dialo
