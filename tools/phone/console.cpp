#include "tools/phone/console.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <istream>
#include <iterator>
#include <mutex>
#include <ostream>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/startup.h"
#include "app/workers.h"
#include "audio/tones.h"
#include "base/config.h"
#include "base/text.h"
#include "call/background.h"
#include "call/call_control.h"
#include "call/event.h"
#include "call/live_sender.h"
#include "call/send.h"
#include "state/amount.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "tools/phone/calls.h"
#include "tools/phone/messages.h"
#include "tools/phone/sound.h"
#include "vaultra/connect.h"
#include "vaultra/identity_lookup.h"
#include "vaultra/resolve.h"
#include "vaultra/status.h"
#include "wallet/client_sinks.h"
#include "wallet/coins.h"
#include "wallet/contacts.h"
#include "wallet/encoding.h"
#include "wallet/published.h"
#include "wallet/spends.h"

namespace dialo {

using nlohmann::json;

namespace {

constexpr uint32_t kHangUpAtExitMs = 3000;

// Plays the part of the window's message loop: the bridge only queues, this thread reads the
// state and prints, so a poster never waits on standard output or the phone-state mutex.
struct Printer {
    std::ostream& out;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<UiMessage> queue;
    std::deque<json> traces;  // voice chunks sent and played, printed in their order
    bool echoLine = false;    // answers every call itself
    bool stopping = false;
    std::thread thread;

    void line(const json& j) {
        std::lock_guard<std::mutex> lock(mutex);
        out << j.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
        out.flush();
    }
};

// Reads only published values and the phone state, never the wallet state lock, so it answers
// at once however long a spend or refresh holds the wallet.
json stateJson(const char* event) {
    const WalletView wallet = published_wallet();
    auto g = lockPhone();
    const PhoneState& s = g.state;
    return json{
        {"event", event},
        {"callState", callStateName(s.callState)},
        {"callId", s.callId},
        {"statusText", s.statusText},
        {"caption", s.caption},
        {"peerHandle", s.peerHandle},
        {"callSats", s.callSats},
        {"ownHandle", wallet.handle},
        {"ownPayAddress", wallet.payAddress},
        {"balance", balanceText(wallet.handle, wallet.balanceSats, s.settings.bsv)},
        {"connected", wallet.connected},
        {"network", networkLabel(networkConfig())},
    };
}

// Runs the commands that need the wallet, one after another in the order given, as the window's
// buttons will run them off its own thread; the command loop meanwhile keeps answering.
struct WalletWorker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread thread;

    void loop() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty()) return;
            std::function<void()> job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    void add(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            jobs.push_back(std::move(job));
        }
        wake.notify_one();
    }

    // Runs what was asked before the end, as a script piped in expects; a connect still to come
    // gives up at once, since the abort is set before this is called.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        if (thread.joinable()) thread.join();
    }
};

void printerLoop(Printer& p) {
    std::unique_lock<std::mutex> lock(p.mutex);
    for (;;) {
        p.wake.wait(lock, [&p] { return p.stopping || !p.queue.empty() || !p.traces.empty(); });
        if (!p.traces.empty()) {
            json trace = std::move(p.traces.front());
            p.traces.pop_front();
            lock.unlock();
            p.line(trace);
            lock.lock();
            continue;
        }
        if (p.queue.empty()) return;  // stopping with nothing left to print
        UiMessage m = p.queue.front();
        p.queue.pop_front();
        lock.unlock();
        callStateMayHaveChanged();
        if (m == UiMessage::Refresh) p.line(stateJson("refresh"));
        else if (m == UiMessage::RingStart) p.line(json{{"event", "ring"}});
        if (m == UiMessage::RingStart && p.echoLine)
            (void)callCommand("answer", "", [&p](const json& j) { p.line(j); });
        else if (m == UiMessage::PlaybackEnded) p.line(json{{"event", "played"}});
        lock.lock();
    }
}

void post(Printer& p, UiMessage m) {
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.queue.push_back(m);
    }
    p.wake.notify_one();
}

std::string trimmed(const std::string& s) { return std::string(trimBlanks(s)); }

// Splits "word rest of line" at the first run of blanks.
std::pair<std::string, std::string> firstWord(const std::string& s) {
    size_t end = s.find_first_of(" \t");
    if (end == std::string::npos) return {s, {}};
    return {s.substr(0, end), trimmed(s.substr(end))};
}

// `send DEST KIND [CALL_ID]` or `send DEST audio|tape CALL_ID GSM_FILE`: one event to DEST, as
// a call would send it, with the phone idle. Answers what sendEvent did.
json sendCommand(const std::string& args) {
    auto [dest, tail] = firstWord(args);
    auto [kind, tail2] = firstWord(tail);
    auto [callId, file] = firstWord(tail2);
    json out{{"event", "send"}, {"sent", false}, {"hold", false}, {"txid", ""}, {"status", ""}};
    auto fail = [&out](const std::string& why) {
        out["status"] = why;
        return out;
    };
    const bool voice = kind == kAudio || kind == kTape;
    if (dest.empty() || !(voice || kind == kInvite || kind == kAccept || kind == kBox || kind == kHangup))
        return fail("send DEST invite|accept|box|hangup [CALL_ID], or send DEST audio|tape CALL_ID GSM_FILE");
    if (voice && (callId.empty() || file.empty())) return fail("send DEST audio|tape CALL_ID GSM_FILE");
    if (!voice && !file.empty()) return fail("send DEST invite|accept|box|hangup [CALL_ID]");
    if (callId.empty()) callId = newCallId();

    json event;
    if (voice) {
        std::ifstream in(file, std::ios::binary);
        Bytes gsm((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.eof() && !in.good()) return fail("cannot read " + file);
        if (gsm.empty() || gsm.size() % kGsmBlockBytes != 0) return fail("GSM_FILE must hold whole 65-byte blocks");
        event = kind == kAudio ? buildAudioEvent(callId, 1, gsm)
                               : buildTapeEvent(callId, gsm, int64_t(gsm.size() / kGsmBytesPerSecond));
    } else {
        event = buildEvent(kind, callId);
    }

    followWallet();
    std::string address, key, status;
    if (!findPeer(dest, address, key, status)) return fail(status);
    {
        auto g = lockPhone();
        if (g.state.callState != CallState::Idle) return fail("a call is up; send pokes an idle line only");
        g.state.statusText.clear();
    }
    const int32_t rate = kind == kTape ? kTapeRate : kind == kAudio ? kAudioRate : kSignalRate;
    SentEvent done;
    const bool sent = sendEvent(Peer{normalizeHandle(dest), address, key}, event, rate, !voice, &done);
    out["sent"] = sent;
    out["hold"] = holdFlag();
    out["txid"] = done.txid;
    out["status"] = sent ? std::string() : lockPhoneBrief().state.statusText;
    return out;
}

json contactsJson() {
    json list = json::array();
    for (const Contact& c : contacts_list()) list.push_back({{"dest", c.dest}, {"note", c.note}});
    return json{{"event", "contacts"}, {"contacts", list}};
}

// Commands that need the wallet; each answers on its own line once it has run on the worker.
// False when the command is not known.
bool walletCommand(Printer& printer, WalletWorker& worker, const std::string& cmd) {
    auto [verb, rest] = firstWord(cmd);
    auto later = [&worker, &printer](std::function<json()> run) {
        worker.add([&printer, run = std::move(run)] { printer.line(run()); });
    };
    if (verb == "connect" && rest.empty()) {
        // Armed here, before the worker begins it, so that a quit right after is not lost.
        vaultra_connect_arm();
        later([] { return json{{"event", "connect"}, {"result", vaultra_connect()}}; });
    } else if (verb == "disconnect" && rest.empty()) {
        later([] { return json{{"event", "disconnect"}, {"result", vaultra_disconnect()}}; });
    } else if (verb == "contacts" && rest.empty()) {
        later(contactsJson);
    } else if (verb == "contact-add" && !rest.empty()) {
        auto [dest, note] = firstWord(rest);
        later([dest, note] { return json{{"event", "contact-add"}, {"result", contact_add(dest, note)}}; });
    } else if (verb == "balance" && rest.empty()) {
        later([] { return json{{"event", "balance"}, {"sats", wallet_balance()}}; });
    } else if (verb == "coins" && rest.empty()) {
        later([] { return json{{"event", "coins"}, {"ready", count_ready_coins()}}; });
    } else if (verb == "refresh" && rest.empty()) {
        later([] {
            refresh_status();
            return json{{"event", "refresh-done"}};
        });
    } else if (verb == "split" && rest.empty()) {
        later([] { return json{{"event", "split"}, {"result", split_coins()}}; });
    } else if (verb == "pay" && !rest.empty()) {
        auto [address, amount] = firstWord(rest);
        char* end = nullptr;
        long long sats = std::strtoll(amount.c_str(), &end, 10);
        const bool bad = amount.empty() || *end != '\0';
        later([address, sats, bad] {
            return json{{"event", "pay"},
                        {"result", bad ? "error: amount must be positive." : spend_to_address(address, sats, "")}};
        });
    } else if (verb == "payload" && !rest.empty()) {
        auto [address, tail] = firstWord(rest);
        // A last word that decodes as an address is the second payee; the rest is the payload.
        std::string text = tail, second;
        if (size_t sp = tail.find_last_of(" \t"); sp != std::string::npos) {
            Hash160 h{};
            if (decode_p2pkh_address(tail.substr(sp + 1), h)) {
                second = tail.substr(sp + 1);
                text = trimmed(tail.substr(0, sp));
            }
        }
        later([address, text, second] {
            return json{{"event", "payload"}, {"result", spend_payload(address, text, 1, false, second)}};
        });
    } else if (verb == "resolve" && !rest.empty()) {
        later([rest] {
            std::string error;
            Resolution r = resolve_destination(rest, 1, own_paymail(), error);
            return json{{"event", "resolve"}, {"address", r.address}, {"error", error}};
        });
    } else if (verb == "identity" && !rest.empty()) {
        later([rest] { return json{{"event", "identity"}, {"pubkey", identity_lookup(rest)}}; });
    } else if (verb == "send" && !rest.empty()) {
        later([rest] { return sendCommand(rest); });
    } else if (verb == "contact-remove" && !rest.empty()) {
        later([rest] { return json{{"event", "contact-remove"}, {"result", contact_remove(rest)}}; });
    } else {
        return false;
    }
    return true;
}

void installWalletSinks(Printer& printer) {
    set_wallet_event_sink([&printer](const std::string& record) {
        json fields = json::array();
        size_t start = 0;
        for (size_t sep; (sep = record.find('\x1f', start)) != std::string::npos; start = sep + 1)
            fields.push_back(record.substr(start, sep - start));
        fields.push_back(record.substr(start));
        printer.line(json{{"event", "wallet"}, {"record", fields}});
    });
    set_wallet_text_sink([&printer](const std::string& text) { printer.line(json{{"event", "wallet-text"}, {"text", text}}); });
}

}  // namespace

int runConsole(std::istream& in, std::ostream& out, bool echoLine) {
    // Standard input is tied to standard output: each read would flush it from this thread,
    // outside the printer's lock. The printer flushes every line it writes itself.
    in.tie(nullptr);
    setEchoLine(echoLine);
    if (!startCore()) return 1;

    Printer printer{out, {}, {}, {}, {}, echoLine, false, {}};
    printer.thread = std::thread(printerLoop, std::ref(printer));
    auto receiver = [&printer](UiMessage m, intptr_t, intptr_t) { post(printer, m); };
    setUiReceiver(UiTarget::Main, receiver);
    setUiReceiver(UiTarget::Cards, receiver);

    installWalletSinks(printer);
    setVoiceTrace([&printer](const VoiceTrace& t) {
        {
            std::lock_guard<std::mutex> lock(printer.mutex);
            printer.traces.push_back(json{{"event", t.kind == VoiceTrace::Sent ? "audio-sent" : "audio-played"},
                                          {"n", t.n}, {"bytes", t.gsmBytes}, {"ms", t.unixMs}});
        }
        printer.wake.notify_one();
    });
    const PrintLine print = [&printer](const json& j) { printer.line(j); };
    // The console has no speaker of its own to beep with.
    setSystemBeep([&printer] { printer.line(json{{"event", "bell"}}); });
    // Programs drive this phone and read the spends' bookkeeping records.
    set_balance_records(true);
    WalletWorker worker;
    worker.thread = std::thread(&WalletWorker::loop, &worker);
    int code = 0;
    if (!startWorkers()) {
        code = 1;
    } else {
        printer.line(json{{"event", "ready"}});
        std::string raw;
        while (std::getline(in, raw)) {
            std::string cmd = trimmed(raw);
            if (cmd.empty()) continue;
            if (cmd == "quit") break;
            auto [verb, rest] = firstWord(cmd);
            if (cmd == "status") printer.line(stateJson("status"));
            else if (!walletCommand(printer, worker, cmd) && !callCommand(verb, rest, print) &&
                     !soundCommand(verb, rest, print) && !messageCommand(verb, rest, print))
                printer.line(json{{"error", "unknown command"}});
        }
    }

    vaultra_connect_abort();
    // Quit or the end of input mid-call: the peer is told, as closing the window tells them.
    hangUpBeforeExit(kHangUpAtExitMs);
    finishCallCommands();
    worker.stop();
    setSystemBeep({});
    setVoiceTrace({});
    set_wallet_event_sink({});
    set_wallet_text_sink({});
    setUiReceiver(UiTarget::Main, {});
    setUiReceiver(UiTarget::Cards, {});
    {
        std::lock_guard<std::mutex> lock(printer.mutex);
        printer.stopping = true;
    }
    printer.wake.notify_one();
    printer.thread.join();
    shutdownCore();
    return code;
}

}  // namespace dialo
