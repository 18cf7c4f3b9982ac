#include "wallet/client_sinks.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace dialo {
namespace {

std::mutex gSinkMutex;
std::condition_variable gSinkIdle;  // a caller let go of its copy of a sink
std::shared_ptr<const WalletEventSink> gEventSink;
std::shared_ptr<const WalletTextSink> gTextSink;
std::atomic<bool> gBalanceRecords{false};

// Swaps a sink in and waits until no call of the one it replaces is under way (callers hold
// copies, taken and let go under the mutex), so that what that sink refers to may go.
template <class Sink>
void replaceSink(std::shared_ptr<const Sink>& slot, Sink sink) {
    std::shared_ptr<const Sink> next;
    if (sink) next = std::make_shared<const Sink>(std::move(sink));
    std::unique_lock lock(gSinkMutex);
    std::shared_ptr<const Sink> old = std::exchange(slot, std::move(next));
    if (old) gSinkIdle.wait(lock, [&old] { return old.use_count() == 1; });
}

template <class Sink>
std::shared_ptr<const Sink> copyOf(const std::shared_ptr<const Sink>& slot) {
    std::lock_guard lock(gSinkMutex);
    return slot;
}

// Calls a sink copy outside the mutex and lets it go under the mutex, on every path.
template <class Sink>
void callSink(std::shared_ptr<const Sink> sink, const std::string& text) {
    struct LetGo {
        std::shared_ptr<const Sink>& copy;
        ~LetGo() {
            std::lock_guard lock(gSinkMutex);
            copy.reset();
            gSinkIdle.notify_all();
        }
    } letGo{sink};
    (*sink)(text);
}

}  // namespace

void set_wallet_event_sink(WalletEventSink sink) { replaceSink(gEventSink, std::move(sink)); }

void set_wallet_text_sink(WalletTextSink sink) { replaceSink(gTextSink, std::move(sink)); }

void set_balance_records(bool on) { gBalanceRecords = on; }
bool balance_records() { return gBalanceRecords.load(); }

void report_event(std::initializer_list<std::string_view> fields) {
    std::shared_ptr<const WalletEventSink> sink = copyOf(gEventSink);
    if (!sink) return;
    std::string record;
    bool first = true;
    for (std::string_view f : fields) {
        if (!first) record.push_back('\x1f');
        record.append(f);
        first = false;
    }
    callSink(std::move(sink), record);
}

void report_error(std::string_view status) { report_event({"[OV-ERROR]", "error", status}); }

void report_text(std::string_view text) {
    std::shared_ptr<const WalletTextSink> sink = copyOf(gTextSink);
    if (sink) callSink(std::move(sink), std::string(text));
}

}  // namespace dialo
