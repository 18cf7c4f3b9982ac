#include "tools/vaultra/commands.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <map>

#include <openssl/rand.h>

#include "base/base64.h"
#include "base/clock.h"
#include "base/config.h"
#include "base/json_fields.h"
#include "base/text.h"
#include "platform/files.h"
#include "store/phone_store.h"
#include "tools/vaultra/vault.h"
#include "vaultra/connect.h"
#include "vaultra/ecies.h"
#include "vaultra/identity.h"
#include "wallet/encoding.h"
#include "wallet/http.h"
#include "wallet/mnemonic.h"
#include "wallet/openssl_handles.h"
#include "wallet/secp256k1.h"
#include "wallet/wallet_lock.h"

namespace dialo::vaultra_tool {
namespace {

using nlohmann::json;

constexpr char kUsage[] =
    "usage: vaultra [--json] COMMAND\n"
    "  create [--name NAME] [--handle ALIAS]\n"
    "  restore [--name NAME] [--handle ALIAS]   (the phrase typed when asked, or piped in)\n"
    "  list | show [ID] | handle ID ALIAS\n"
    "  approve [--wallet ID] [REQUEST_ID] | deny [REQUEST_ID] | watch [--approve-all ID]\n"
    "  lock ID | unlock ID\n"
    "  sign-message [--wallet ID] TEXT | verify-message PUBKEY_OR_ADDRESS SIGNATURE TEXT\n"
    "  encrypt PUBKEY TEXT | decrypt [--wallet ID] HEX\n"
    "  fund [--wallet ID] SATS [--confirm]   (the local devnet's faucet)\n";

std::atomic<bool> gStop{false};

struct Args {
    std::vector<std::string> words;           // positional arguments after the command
    std::map<std::string, std::string> opts;  // --name value
};

struct Context {
    std::ostream& out;
    bool json = false;
};

// Options that take a value; everything else is positional.
Args parse(const std::vector<std::string>& in, size_t from) {
    static const char* kValued[] = {"--name", "--handle", "--wallet", "--approve-all"};
    static const char* kFlags[] = {"--confirm"};
    Args a;
    for (size_t i = from; i < in.size(); ++i) {
        bool valued = false;
        for (const char* v : kValued)
            if (in[i] == v) {
                if (i + 1 >= in.size()) throw VaultError{std::string(v) + " needs a value"};
                a.opts[v] = in[++i];
                valued = true;
            }
        for (const char* f : kFlags)
            if (in[i] == f) {
                a.opts[f] = "1";
                valued = true;
            }
        if (!valued) a.words.push_back(in[i]);
    }
    return a;
}

std::string opt(const Args& a, const char* name) {
    auto it = a.opts.find(name);
    return it == a.opts.end() ? std::string() : it->second;
}

void wantWords(const Args& a, size_t lo, size_t hi) {
    if (a.words.size() < lo || a.words.size() > hi) throw VaultError{"wrong number of arguments (try vaultra help)"};
}

std::string bareHandle(const std::string& typed) {
    std::string h = lowerAscii(normalizeHandle(typed));
    if (h.empty() || h.size() > 64) throw VaultError{"a handle is 1 to 64 letters, digits, '+', '-', '.' or '_'"};
    for (char c : h)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.' || c == '_'))
            throw VaultError{"a handle is 1 to 64 letters, digits, '+', '-', '.' or '_'"};
    return h;
}

void emit(Context& c, const json& j, const std::string& text) {
    if (c.json)
        c.out << j.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    else
        c.out << text;
    c.out.flush();
}

constexpr size_t kSecretLineMax = 1024;

// Straight from the descriptor, into room reserved up front: no stream buffer and no regrown
// string keeps a copy of the secret that the caller could not wipe. Never echoed on a terminal.
std::string readSecretLine(const char* prompt) {
    std::string line;
    line.reserve(kSecretLineMax);
    const bool terminal = ::isatty(STDIN_FILENO);
    termios old{};
    if (terminal) {
        std::cerr << prompt << std::flush;
        ::tcgetattr(STDIN_FILENO, &old);
        termios quiet = old;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    bool tooLong = false;
    char ch = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &ch, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || ch == '\n') break;
        if (line.size() < kSecretLineMax)
            line.push_back(ch);
        else
            tooLong = true;
    }
    OPENSSL_cleanse(&ch, 1);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
        std::cerr << "\n";
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (tooLong) {
        wipe_text(line);
        throw VaultError{"the line typed is too long"};
    }
    return line;
}

std::string readPassword() {
    std::string pw = readSecretLine("Password: ");
    if (pw.empty()) throw VaultError{"the password is empty"};
    return pw;
}

// A restored wallet's phrase is not shown again: its owner typed it, and it would stay on screen.
void created(Context& c, const std::string& id, const std::string& mnemonic, bool restored) {
    json doc = read_plain_wallet(id);
    std::string priv, pub, address;
    identity_of(doc, priv, pub, address);
    wipe_text(priv);
    std::string receive = receive_address_of(doc);
    if (auto it = doc.find("mnemonic"); it != doc.end() && it->is_string()) wipe_text(it->get_ref<std::string&>());
    json j = {{"id", id}, {"address", receive}, {"identity_pub", pub}, {"identity_address", address}};
    if (!restored) j["mnemonic"] = mnemonic;
    emit(c, j,
         restored ? "Wallet " + id + " restored.\nReceive address: " + receive + "\n"
                  : "Wallet " + id + " created.\nRecovery phrase (shown once, write it down):\n  " + mnemonic +
                        "\nReceive address: " + receive + "\n");
}

// Adds the wallet with the --name and --handle given, shows it, and wipes the phrase.
void addAndShow(Context& c, const Args& a, std::string& mnemonic, bool restored) {
    ScopedWipe wipe(mnemonic);
    std::string handle = opt(a, "--handle").empty() ? "" : bareHandle(opt(a, "--handle"));
    created(c, add_wallet(mnemonic, opt(a, "--name"), handle), mnemonic, restored);
}

int cmdCreate(Context& c, const Args& a) {
    wantWords(a, 0, 0);
    std::array<uint8_t, 16> entropy{};
    if (RAND_priv_bytes(entropy.data(), int(entropy.size())) != 1) throw VaultError{"no random bytes available"};
    std::string mnemonic = mnemonic_from_entropy(entropy);
    OPENSSL_cleanse(entropy.data(), entropy.size());
    addAndShow(c, a, mnemonic, false);
    return 0;
}

int cmdRestore(Context& c, const Args& a) {
    // Every local user can read a command line, and the shell keeps it in its history.
    if (!a.words.empty())
        throw VaultError{"the recovery phrase is not taken from the command line: type it when asked, or pipe it in"};
    std::string typed = readSecretLine("Recovery phrase: ");
    ScopedWipe wipeTyped(typed);
    // Stored as typed, single-spaced: the seed is taken from the stored text.
    std::string mnemonic;
    mnemonic.reserve(typed.size());
    for (char ch : typed) {
        if (std::isspace(static_cast<unsigned char>(ch))) {
            if (!mnemonic.empty() && mnemonic.back() != ' ') mnemonic.push_back(' ');
        } else {
            mnemonic.push_back(ch);
        }
    }
    if (!mnemonic.empty() && mnemonic.back() == ' ') mnemonic.pop_back();
    addAndShow(c, a, mnemonic, true);
    return 0;
}

int cmdList(Context& c, const Args& a) {
    wantWords(a, 0, 0);
    json list = json::array();
    std::string text;
    for (const WalletEntry& w : list_wallets()) {
        json stored;
        bool locked = false;
        try {
            stored = read_stored_wallet(w.id);
            locked = stored.contains("lock");
        } catch (const VaultError&) {
        }
        list.push_back({{"id", w.id}, {"name", w.name}, {"active", w.active}, {"locked", locked}});
        text += std::string(w.active ? "* " : "  ") + w.id + "  " + w.name + (locked ? "  (locked)" : "") + "\n";
    }
    emit(c, {{"wallets", list}}, text.empty() ? "No wallets yet.\n" : text);
    return 0;
}

int cmdShow(Context& c, const Args& a) {
    wantWords(a, 0, 1);
    std::string id = choose_wallet(a.words.empty() ? "" : a.words[0]);
    json doc = read_plain_wallet(id);
    bool hd = doc.contains("mnemonic");
    std::string priv, pub, address;
    if (hd) identity_of(doc, priv, pub, address);
    wipe_text(priv);
    std::string handle = doc.contains("paymail") && doc["paymail"].is_string() ? doc["paymail"].get<std::string>() : "";
    std::string receive = receive_address_of(doc);
    // Coins spent on the main network are real: the wallet says which one it pays on.
    const std::string network = networkLabel(networkConfig());
    emit(c,
         {{"id", id}, {"name", wallet_display_name(id)}, {"handle", handle}, {"mode", hd ? "hd" : "legacy"},
          {"address", receive}, {"identity_pub", pub}, {"identity_address", address}, {"network", network}},
         "Wallet " + id + " (" + wallet_display_name(id) + ")\n  network: " + network + "\n  mode: " + (hd ? "hd" : "legacy") + "\n  handle: " +
             (handle.empty() ? "-" : handle) + "\n  receive address: " + receive + "\n  identity key: " +
             (pub.empty() ? "-" : pub) + "\n  identity address: " + (address.empty() ? "-" : address) + "\n");
    return 0;
}

int cmdHandle(Context& c, const Args& a) {
    wantWords(a, 2, 2);
    std::string id = choose_wallet(a.words[0]);
    std::string handle = bareHandle(a.words[1]);
    json doc = read_plain_wallet(id);
    doc["paymail"] = handle;
    write_wallet(id, doc);
    emit(c, {{"id", id}, {"handle", handle}}, "Wallet " + id + " now has the handle " + handle + ".\n");
    return 0;
}

ConnectRequest pickRequest(const std::string& id) {
    std::vector<ConnectRequest> waiting = pending_requests();
    if (waiting.empty()) throw VaultError{"no connect request is waiting"};
    if (id.empty()) return waiting.back();
    for (const ConnectRequest& r : waiting)
        if (r.id == id) return r;
    throw VaultError{"no waiting connect request with id " + id};
}

void answered(Context& c, const ConnectRequest& r, bool approve, const std::string& walletId) {
    answer_request(r.id, approve, walletId);
    json j = {{"request", r.id}, {"app", r.app}, {"instance", r.instance}, {"approved", approve}};
    if (approve) j["wallet_id"] = walletId;
    emit(c, j,
         std::string(approve ? "Approved " : "Denied ") + r.app + " at " + r.instance +
             (approve ? " with wallet " + walletId : std::string()) + ".\n");
}

int cmdApprove(Context& c, const Args& a) {
    wantWords(a, 0, 1);
    std::string wallet = choose_wallet(opt(a, "--wallet"));
    answered(c, pickRequest(a.words.empty() ? "" : a.words[0]), true, wallet);
    return 0;
}

int cmdDeny(Context& c, const Args& a) {
    wantWords(a, 0, 1);
    answered(c, pickRequest(a.words.empty() ? "" : a.words[0]), false, "");
    return 0;
}

void onStopSignal(int) { gStop = true; }

int cmdWatch(Context& c, const Args& a) {
    wantWords(a, 0, 0);
    std::string approveAll = opt(a, "--approve-all");
    if (!approveAll.empty()) choose_wallet(approveAll);
    // Holding this lock is how a phone knows that somebody is here to answer.
    FileLock watching(watch_lock_path(), /*wait=*/false);
    if (!watching.locked()) throw VaultError{"another vaultra watch is already running"};
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    emit(c, {{"event", "watching"}}, "Waiting for connect requests (Ctrl+C to stop)...\n");
    while (!gStop) {
        for (const ConnectRequest& r : pending_requests()) {
            if (!approveAll.empty()) {
                answered(c, r, true, approveAll);
                continue;
            }
            std::string wallet = choose_wallet("");
            c.out << "Connect request from " << r.app << " at " << r.instance << ". Approve with wallet " << wallet
                  << " (" << wallet_display_name(wallet) << ")? [y/N] " << std::flush;
            std::string answer;
            if (!std::getline(std::cin, answer)) return 0;
            answered(c, r, answer == "y" || answer == "Y" || answer == "yes", wallet);
        }
        sleepMs(200);
    }
    return 0;
}

int cmdLock(Context& c, const Args& a) {
    wantWords(a, 1, 1);
    std::string id = choose_wallet(a.words[0]);
    json doc = read_plain_wallet(id);
    std::string plain = doc.dump(2, ' ', false, json::error_handler_t::replace);
    std::string pw = readPassword();
    json envelope;
    bool ok = lock_wallet_text(plain, pw, envelope);
    wipe_text(plain);
    wipe_text(pw);
    if (!ok) throw VaultError{"could not lock the wallet"};
    write_wallet(id, envelope);
    emit(c, {{"id", id}, {"locked", true}}, "Wallet " + id + " is locked.\n");
    return 0;
}

int cmdUnlock(Context& c, const Args& a) {
    wantWords(a, 1, 1);
    std::string id = choose_wallet(a.words[0]);
    json envelope = read_stored_wallet(id);
    if (!envelope.contains("lock")) throw VaultError{"wallet " + id + " is not locked"};
    std::string pw = readPassword();
    std::string plain;
    bool ok = unlock_wallet_text(envelope, pw, plain);
    wipe_text(pw);
    if (!ok) throw VaultError{"wrong password"};
    json doc = json::parse(plain, nullptr, false);
    wipe_text(plain);
    if (!doc.is_object()) throw VaultError{"the locked wallet does not hold a wallet"};
    write_wallet(id, doc);
    emit(c, {{"id", id}, {"locked", false}}, "Wallet " + id + " is unlocked.\n");
    return 0;
}

int cmdSignMessage(Context& c, const Args& a) {
    wantWords(a, 1, 1);
    std::string id = choose_wallet(opt(a, "--wallet"));
    std::string priv, pub, address, sig;
    identity_of(read_plain_wallet(id), priv, pub, address);
    bool ok = sign_message_compact(priv, a.words[0], sig);
    wipe_text(priv);
    if (!ok) throw VaultError{"could not sign"};
    emit(c, {{"signature", sig}, {"pubkey", pub}, {"address", address}}, sig + "\n");
    return 0;
}

// The address whose key made a compact signature, or empty.
std::string signerAddress(const std::string& message, const std::string& sigText) {
    Bytes sig = base64Decode(sigText);
    if (sig.size() != 65 || sig[0] < 27 || sig[0] > 34) return {};
    Hash256 digest{};
    if (!signed_message_digest(message, digest)) return {};
    Bytes pub;
    Hash160 h{};
    if (!recover_public_key(digest, sig.data() + 1, (sig[0] - 27) & 3, sig[0] >= 31, pub) ||
        !hash160(pub.data(), pub.size(), h))
        return {};
    return address_from_hash(h);
}

int cmdVerifyMessage(Context& c, const Args& a) {
    wantWords(a, 3, 3);
    const std::string& who = a.words[0];
    Bytes asHex;
    bool valid;
    if (parse_hex_trimmed(who, asHex) && (asHex.size() == 33 || asHex.size() == 65)) {
        valid = verify_message(a.words[2], who, a.words[1]);
    } else {
        Hash160 h{};
        if (!decode_p2pkh_address(who, h)) throw VaultError{"that is neither a public key nor an address"};
        valid = signerAddress(a.words[2], a.words[1]) == who;
    }
    emit(c, {{"valid", valid}}, valid ? "valid\n" : "invalid\n");
    return valid ? 0 : 1;
}

int cmdEncrypt(Context& c, const Args& a) {
    wantWords(a, 2, 2);
    std::string blob;
    if (!ecies_seal(a.words[1], a.words[0], blob)) throw VaultError{"that is not a public key"};
    emit(c, {{"blob", blob}}, blob + "\n");
    return 0;
}

int cmdDecrypt(Context& c, const Args& a) {
    wantWords(a, 1, 1);
    std::string id = choose_wallet(opt(a, "--wallet"));
    std::string priv, pub, address, plain;
    identity_of(read_plain_wallet(id), priv, pub, address);
    bool ok = ecies_unseal(a.words[0], priv, "", plain);
    wipe_text(priv);
    if (!ok) throw VaultError{"could not decrypt: not sealed to this wallet's identity key, or damaged"};
    emit(c, {{"text", plain}}, plain + "\n");
    return 0;
}

// The faucet lives on the platform host of the phone's configuration (the devnet's by default).
int cmdFund(Context& c, const Args& a) {
    wantWords(a, 1, 1);
    char* end = nullptr;
    long long sats = std::strtoll(a.words[0].c_str(), &end, 10);
    if (a.words[0].empty() || *end != '\0' || sats < 1) throw VaultError{"the amount is a whole number of satoshis"};
    std::string id = choose_wallet(opt(a, "--wallet"));
    std::string address = receive_address_of(read_plain_wallet(id));
    std::string text;
    if (readWholeFile(shared_store_path(), text)) applyConfigDocument(json::parse(text, nullptr, false));
    std::string reply, error;
    json body = {{"address", address}, {"sats", sats}, {"confirm", !opt(a, "--confirm").empty()}};
    if (!post_json(service_url("/devnet/fund"), body.dump(), reply, error, 20, 1))
        throw VaultError{"the faucet did not pay: " + error};
    json answer = json::parse(reply, nullptr, false);
    std::string txid = string_field(answer, "txid");
    emit(c, {{"id", id}, {"address", address}, {"sats", sats}, {"txid", txid}},
         "Paid " + std::to_string(sats) + " satoshis to " + address + " (" + txid + ").\n");
    return 0;
}

}  // namespace

int run(const std::vector<std::string>& argsIn, std::ostream& out, std::ostream& err) {
    std::vector<std::string> args;
    Context c{out};
    for (const std::string& a : argsIn) {
        if (a == "--json")
            c.json = true;
        else
            args.push_back(a);
    }
    if (args.empty() || args[0] == "help" || args[0] == "--help") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? 1 : 0;
    }
    using Handler = int (*)(Context&, const Args&);
    static const std::map<std::string, Handler> kCommands = {
        {"create", cmdCreate},   {"restore", cmdRestore},         {"list", cmdList},
        {"show", cmdShow},       {"handle", cmdHandle},           {"approve", cmdApprove},
        {"deny", cmdDeny},       {"watch", cmdWatch},             {"lock", cmdLock},
        {"unlock", cmdUnlock},   {"sign-message", cmdSignMessage}, {"verify-message", cmdVerifyMessage},
        {"encrypt", cmdEncrypt}, {"decrypt", cmdDecrypt},       {"fund", cmdFund},
    };
    auto it = kCommands.find(args[0]);
    if (it == kCommands.end()) {
        err << "vaultra: unknown command " << args[0] << " (try vaultra help)\n";
        return 1;
    }
    try {
        return it->second(c, parse(args, 1));
    } catch (const VaultError& e) {
        err << "vaultra: " << e.message << "\n";
    } catch (const std::exception& e) {
        err << "vaultra: " << e.what() << "\n";
    }
    return 1;
}

}  // namespace dialo::vaultra_tool
