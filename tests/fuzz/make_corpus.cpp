// Writes the seed corpora of tests/fuzz from our own programs' output: an in-process devnet's
// answers, a transaction our wallet code signed, call events signed and sealed to the fuzz
// identity key as sendEvent does, vaultra's wallet file and its lock envelope, store files and
// WAV files our code wrote. Run by hand from a plain build, then commit what changed:
//   [DIALO_FUZZ_CORPUS=DIR] build/tests/fuzz/dialo_fuzz_corpus   (default: tests/fuzz/corpus/)
// Files are named after what they hold, so a second run replaces rather than adds.

#include <arpa/nameser.h>
#include <resolv.h>

#include <array>
#include <cmath>
#include <fstream>
#include <sstream>

#include "audio/gsm.h"
#include "audio/pcm.h"
#include "fuzz_common.h"
#include "state/phone_state.h"
#include "support/devnet_fixture.h"
#include "tools/devnet/dns.h"
#include "tools/vaultra/commands.h"

namespace dialo::devnet::test {
namespace {

namespace fs = std::filesystem;

template <class B>
void put(const std::string& target, const std::string& name, const B& bytes) {
    const char* env = std::getenv("DIALO_FUZZ_CORPUS");
    const fs::path dir = (env && *env ? fs::path(env) : fs::path(DIALO_FUZZ_SOURCE_DIR) / "corpus") / target;
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << std::string(bytes.begin(), bytes.end());
}

std::string readText(const fs::path& p) {
    std::stringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

// An event as sendEvent builds it, signed by `identity` over its canonical text.
json signedEvent(json event, const Key& identity, const std::string& handle, const Key& pay) {
    event.update({{"protocol", kProtocol}, {"type", "dl"}, {"location", "dialo"}, {"handle", handle}, {"pay", pay.address},
                  {"actor", handle}, {"paymail", handle + "@orvane.test"}, {"ts", int64_t(1700000000)}});
    std::string sig;
    EXPECT_TRUE(sign_message_compact(identity.priv, canonical_text(event), sig));
    event["pubkey"] = identity.pub;
    event["sig"] = sig;
    return event;
}

class FuzzCorpus : public DevnetTest {};

TEST_F(FuzzCorpus, Write) {
    std::string fuzzPub;
    ASSERT_TRUE(pubkey_from_priv(fuzz::kIdentityPriv, fuzzPub));
    const Key payer = keyOf('1'), callee = keyOf('2'), alice = keyOf('3');
    start();

    // Events our phone would send to the fuzz identity: signed, sealed, in the data output. The
    // voice is a 440 Hz tone as the microphone would give it.
    std::vector<int16_t> tone(1600);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(8000 * std::sin(double(i) * 2 * M_PI * 440 / 8000));
    const Bytes gsm = gsmEncode(bytesOf(tone), true);
    const std::string id = "0123456789abcdef";
    const std::vector<std::pair<std::string, json>> events = {
        {"invite", buildEvent(kInvite, id)}, {"accept", buildEvent(kAccept, id)}, {"hangup", buildEvent(kHangup, id)},
        {"box", buildEvent(kBox, id)}, {"audio", buildAudioEvent(id, 1, gsm)}, {"tape", buildTapeEvent(id, gsm, 1)}};
    std::string invitePayload;
    for (const auto& [name, bare] : events) {
        const std::string text = compactText(signedEvent(bare, alice, "alice", payer));
        put("event_sealed", name + ".json", text);
        json outer = buildEnvelope(1700000000);
        std::string error;
        ASSERT_TRUE(seal(text, fuzzPub, outer, error)) << error;
        const std::string payload = compactText(outer);
        put("event_envelope", name + ".json", payload);
        put("ecies_unseal", name + ".bie1", hex_decode(outer["pmessage1"].get<std::string>()));
        if (name == "invite") invitePayload = payload;
        if (name == "audio") put("base64", "audio.b64", bare["audio"].get<std::string>());
    }

    // A payment our wallet code builds and signs, carrying the invite, mined on the devnet.
    const Coin funded = fund(payer, 100000);
    std::vector<Coin> coins = {funded};
    std::vector<TxOutput> outputs;
    int64_t fee = 0;
    std::string error;
    ASSERT_TRUE(build_payment_tx(coins, callee.hash, payer.hash, 1, invitePayload, outputs, fee, error)) << error;
    for (Coin& c : coins) ASSERT_TRUE(sign_input(c, coins, outputs, payer.hash, payer.priv, payer.pub, error)) << error;
    const Bytes raw = serialize_tx(coins, outputs, false);
    const std::string txid = txid_of(raw);
    ASSERT_EQ(submitWoc(raw).status, 200);
    put("tx_raw", "payment-with-event.bin", raw);
    put("hex", "payment.hex", hex_encode(raw).substr(0, 200));
    put("hex", "txid.hex", txid);
    put("hex", "address.txt", payer.address);
    put("base64", "signature.b64", signedEvent(buildEvent(kInvite, "x"), alice, "alice", payer)["sig"].get<std::string>());

    // WhatsOnChain's answers about it, unconfirmed and then confirmed: {target, file, path}.
    const auto answers = [&](std::initializer_list<std::array<std::string, 3>> rows) {
        for (const auto& [target, name, path] : rows) put(target, name, woc(path).body);
    };
    answers({{"tx_json", "event-unconfirmed.json", "/tx/" + txid},
             {"history_list", "unconfirmed-history.json", "/address/" + callee.address + "/unconfirmed/history"},
             {"history_list", "event-tx.json", "/tx/" + txid},
             {"unspent_list", "unconfirmed-unspent.json", "/address/" + callee.address + "/unconfirmed/unspent"}});
    mine();
    put("tx_raw", "faucet.bin", hex_decode(woc("/tx/" + funded.txid + "/hex").body));
    answers({{"tx_json", "event-confirmed.json", "/tx/" + txid},
             {"tx_json", "faucet.json", "/tx/" + funded.txid},
             {"history_list", "history.json", "/address/" + payer.address + "/history"},
             {"history_list", "confirmed-history.json", "/address/" + payer.address + "/confirmed/history"},
             {"unspent_list", "unspent.json", "/address/" + payer.address + "/unspent"},
             {"unspent_list", "unspent-all.json", "/address/" + payer.address + "/unspent/all"},
             {"unspent_list", "confirmed-unspent.json", "/address/" + callee.address + "/confirmed/unspent"}});

    // The paymail host's answers (the first byte picks the reader in the paymail target).
    ASSERT_EQ(post("/devnet/paymail-add", {{"alias", "alice"}, {"address", callee.address}}).status, 200);
    const int pm = devnet.paymailPort();
    put("paymail", "capabilities.json", std::string(1, '\x00') + send(pm, "GET", "/.well-known/bsvalias").body);
    put("paymail", "platform-capabilities.json", std::string(1, '\x00') + get("/.well-known/bsvalias").body);
    put("paymail", "p2p-destination.json",
        std::string(1, '\x01') + send(pm, "POST", "/api/p2p-destination/alice@paymail.test", R"({"satoshis":1})").body);
    put("paymail", "destination.json", std::string(1, '\x02') + send(pm, "POST", "/api/destination/alice@paymail.test", "{}").body);

    // The devnet's DNS answers to the SRV query the phone sends.
    SrvTable table;
    table["paymail.test"] = {{10, 5, 443, "pm.paymail.test."}, {5, 1, 443, "pm2.paymail.test"}, {1, 1, 8443, "x.paymail.test"}};
    for (const char* name : {"_bsvalias._tcp.paymail.test", "_bsvalias._tcp.other.test"}) {
        unsigned char query[512];
        const int n = res_mkquery(ns_o_query, name, ns_c_in, ns_t_srv, nullptr, 0, nullptr, query, sizeof query);
        ASSERT_GT(n, 0);
        put("srv_answer", std::string(name).substr(15) + ".dns", dnsReply(query, size_t(n), table));
    }

    // The update page.
    put("update_page", "dialo.html", get("/dialo/").body);

    // A wallet file vaultra's create wrote, and its lock envelope.
    {
        fuzz::isolate();
        std::ostringstream out, err;
        ASSERT_EQ(vaultra_tool::run({"--json", "create", "--name", "fuzz", "--handle", "alice"}, out, err), 0) << err.str();
        const json created = json::parse(out.str(), nullptr, false);
        ASSERT_TRUE(created.is_object()) << out.str();
        const std::string id = created.value("id", std::string());
        const std::string text = readText(fs::path(wallet_dir_path(id)) / "wallet.json");
        ASSERT_FALSE(text.empty());
        put("wallet_file", "hd-wallet.json", text);
        json envelope;
        ASSERT_TRUE(lock_wallet_text(text, "fuzz password", envelope));
        put("wallet_lock", "locked.json", envelope.dump());
        put("wallet_file", "locked.json", envelope.dump());
        put("wallet_file", "single-key.json", json{{"priv", payer.priv}, {"pub", payer.pub}, {"address", payer.address}}.dump());
    }

    // Store files our store wrote: settings, a handle file with every list, and the old layout.
    {
        const std::string dir = store_directory();
        load_settings();
        switch_store_handle("fuzz");
        {
            auto g = lockPhone();
            PhoneState& s = g.state;
            s.settings.theme = 2;
            s.settings.mainPos = {10, 20, true};
            s.boxes.answerphone = true;
            s.boxes.blocked = {"mallory"};
            s.boxes.heard = {"feedfacecafebeef"};
            s.boxes.tomb = {"0000000000000001"};
            s.boxes.saved.push_back({1, "0123456789abcdef", "alice", gsm, txid});
            s.boxes.inbox.push_back({"1111222233334444", "alice", gsm, txid, 1700000000, 1});
            CallRecord c{"alice", "fuzz", 12, 34, 1700000000, false, false, "0123456789abcdef", txid, {}};
            c.receipt.sent = {txid};
            c.receipt.sentCount = 1;
            s.boxes.calls.push_back(c);
            (void)note_handled_txid(s, txid, "0123456789abcdef");
            save_phone_store(s);
        }
        const std::string shared = readText(dir + "/phone.json"), handle = readText(dir + "/phone-fuzz.json");
        put("phone_store", "shared-and-handle.json", shared + std::string(1, '\0') + handle);
        put("phone_store", "shared-only.json", shared);
        // The old single-file layout: the lists in the shared file, no handle file.
        json legacy = json::parse(handle, nullptr, false);
        const json sharedDoc = json::parse(shared, nullptr, false);
        for (auto& [k, v] : sharedDoc.items()) legacy[k] = v;
        put("phone_store", "legacy-layout.json", legacy.dump(2));
    }

    // WAV files our code wrote: the export of a message, and headers of other formats.
    const std::string wavPath = fuzz::isolate() + "/message.wav";
    ASSERT_GT(exportMessageWav(wavPath, gsm), 0);
    put("wav", "message-8k.wav", readText(wavPath));
    put("wav", "stereo-48k.wav", wavHeader(MixFormat{48000, 2, 16, 4, false}, 3840) + std::string(3840, '\x10'));
    put("wav", "float-48k.wav", wavHeader(MixFormat{48000, 2, 32, 8, true}, 64) + std::string(64, '\0'));
}

}  // namespace
}  // namespace dialo::devnet::test
