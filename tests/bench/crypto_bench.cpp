// Throughput of the wallet and ECIES operations a call leans on. The same operations on the
// same inputs are timed against @bsv/sdk by tests/interop/bench.mjs; tests/bench/run compares.
// Names registered here are the keys shared with that script.

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vaultra/ecies.h"
#include "vaultra/identity.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/mnemonic.h"
#include "wallet/secp256k1.h"
#include "wallet/transaction.h"
#include "wallet/wallet_state.h"

namespace {

using namespace dialo;

constexpr char kMnemonic[] =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";

// About the size of a sealed call event.
constexpr char kPlaintext[] =
    "{\"type\":\"voice\",\"call\":\"6f1c2a9e4b7d3c8a\",\"seq\":42,\"from\":\"alice@orvane.test\","
    "\"to\":\"bob@orvane.test\",\"ts\":1714000000123,\"codec\":\"gsm\",\"rate\":8000,"
    "\"frames\":\"q83vEjRWeJq83vEjRWeJq83vEjRWeJq83vEjRWeJq83vEjRWeJ\"}";

// About the size of a signed call event.
constexpr char kMessage[] =
    "{\"type\":\"invite\",\"call\":\"6f1c2a9e4b7d3c8a\",\"from\":\"alice@orvane.test\",\"ts\":1714000000123}";

// The transaction timed by tx_build_sign: one coin of the recipient key paying 1 satoshi to
// this address, a data output of this many bytes, change back to the recipient.
constexpr char kTxCoinTxid[] = "4a5e1e4baab89f3a32518a88c31bc87f618f76673e2cc77ab2127b7afdeda33b";
constexpr int64_t kTxCoinSats = 100000;
constexpr char kTxDestination[] = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";
constexpr size_t kTxDataBytes = 1000;

struct Inputs {
    KeyTriple recipient;       // m/44'/236'/1'/0/0: the key sealed to
    std::string identityPriv;  // m/44'/236'/100'/0/0
    std::string identityPub;
    Bytes identityPriv32;
    std::string sealed;     // one blob to the recipient
    std::string signature;  // identity signature over kMessage
    Hash256 digest{};       // signed-message digest of kMessage
    Scalar32 r{}, s{};      // plain signature over the digest
    Coin txCoin;            // owned by the recipient key
    Hash160 txOwn{};
    std::vector<TxOutput> txRequested;  // 1 satoshi to kTxDestination, then the data output
};

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "crypto_bench: %s\n", what);
    std::exit(1);
}

const Inputs& inputs() {
    static const Inputs in = [] {
        Inputs v;
        {
            auto g = lockWallet();
            g.state.loaded = true;
            g.state.keys.hd = true;
            g.state.keys.mnemonic = kMnemonic;
            if (!refresh_wallet_keys(g.state.keys)) die("could not load the test wallet");
            // The wallet keeps no private key: the default key is derived as a spend derives it.
            if (!derive_key(g.state.keys, wallet_path(kPaymentAccount, g.state.keys.receiveIndex), v.recipient))
                die("could not derive the default key");
        }
        std::string error;
        if (!identity_key_hex(v.identityPriv, error)) die(error.c_str());
        if (!pubkey_from_priv(v.identityPriv, v.identityPub)) die("identity key unusable");
        v.identityPriv32 = hex_decode(v.identityPriv);
        if (!ecies_seal(kPlaintext, v.recipient.pub, v.sealed)) die("seal failed");
        std::string pub;
        if (!identity_sign(kMessage, pub, v.signature, error)) die(error.c_str());
        if (!signed_message_digest(kMessage, v.digest)) die("digest failed");
        if (!ecdsa_sign_rs(v.identityPriv32.data(), v.digest, v.r, v.s)) die("sign failed");
        Bytes recipientPub = hex_decode(v.recipient.pub);
        if (!hash160(recipientPub.data(), recipientPub.size(), v.txOwn)) die("hash failed");
        v.txCoin.txid = kTxCoinTxid;
        v.txCoin.sats = kTxCoinSats;
        v.txCoin.locking = p2pkh_script(v.txOwn);
        v.txCoin.owner = v.txOwn;
        Hash160 dest{};
        if (!decode_p2pkh_address(kTxDestination, dest)) die("bad destination");
        std::string data(kTxDataBytes, '\0');
        for (size_t i = 0; i < data.size(); ++i) data[i] = char(i % 251);
        v.txRequested = {{1, p2pkh_script(dest)}, {0, data_output_script(data)}};
        return v;
    }();
    return in;
}

void fail(benchmark::State& state, const char* what) { state.SkipWithError(what); }

void Seal(benchmark::State& state) {
    const Inputs& in = inputs();
    std::string blob;
    for (auto _ : state) {
        if (!ecies_seal(kPlaintext, in.recipient.pub, blob)) return fail(state, "seal failed");
        benchmark::DoNotOptimize(blob.data());
    }
}

void Unseal(benchmark::State& state) {
    const Inputs& in = inputs();
    std::string plain;
    for (auto _ : state) {
        if (!ecies_unseal(in.sealed, in.recipient.priv, {}, plain)) return fail(state, "unseal failed");
        benchmark::DoNotOptimize(plain.data());
    }
}

void IdentitySign(benchmark::State& state) {
    inputs();
    std::string pub, sig, error;
    for (auto _ : state) {
        if (!identity_sign(kMessage, pub, sig, error)) return fail(state, "identity sign failed");
        benchmark::DoNotOptimize(sig.data());
    }
}

void SignDigest(benchmark::State& state) {
    const Inputs& in = inputs();
    Scalar32 r{}, s{};
    for (auto _ : state) {
        if (!ecdsa_sign_rs(in.identityPriv32.data(), in.digest, r, s)) return fail(state, "sign failed");
        benchmark::DoNotOptimize(s.data());
    }
}

void SignCompact(benchmark::State& state) {
    const Inputs& in = inputs();
    std::string sig;
    for (auto _ : state) {
        if (!sign_message_compact(in.identityPriv, kMessage, sig)) return fail(state, "compact sign failed");
        benchmark::DoNotOptimize(sig.data());
    }
}

void Verify(benchmark::State& state) {
    const Inputs& in = inputs();
    for (auto _ : state) {
        if (!verify_message(kMessage, in.identityPub, in.signature)) return fail(state, "verify failed");
    }
}

void VerifyDigest(benchmark::State& state) {
    const Inputs& in = inputs();
    Bytes pub = hex_decode(in.identityPub);
    for (auto _ : state) {
        if (!ecdsa_verify_rs(in.digest, in.r.data(), in.s.data(), pub.data(), pub.size()))
            return fail(state, "verify failed");
    }
}

void SeedMaster(benchmark::State& state) {
    Hash512 seed{};
    ExtendedKey master;
    for (auto _ : state) {
        if (!mnemonic_to_seed(kMnemonic, seed) || !master_key_from_seed(seed, master))
            return fail(state, "seed failed");
        benchmark::DoNotOptimize(master.key.data());
    }
}

void Derive(benchmark::State& state) {
    // A wallet record of its own, so the shared wallet lock plays no part.
    WalletKeys keys;
    keys.hd = true;
    keys.mnemonic = kMnemonic;
    KeyTriple key;
    const DerivationPath path = wallet_path(kPaymentAccount, 7);
    if (!derive_key(keys, path, key)) return fail(state, "derive failed");  // fills the seed and master caches
    for (auto _ : state) {
        if (!derive_key(keys, path, key)) return fail(state, "derive failed");
        benchmark::DoNotOptimize(key.address.data());
    }
    wipe_wallet_keys(keys);
}

// One event-sized transaction per iteration: build_tx with the coin forced at 1 sat/kB (the
// change makes it three outputs), the input signed, the signed bytes written.
bool buildSignTx(const Inputs& in, Bytes& raw, int64_t& fee) {
    std::vector<Coin> coins{in.txCoin};
    std::vector<TxOutput> outputs;
    std::string error;
    if (!build_tx(coins, outputs, in.txOwn, in.txRequested, fee, error, 1, 1) || coins.size() != 1 ||
        outputs.size() != 3)
        return false;
    if (!sign_input(coins[0], coins, outputs, in.txOwn, in.recipient.priv, in.recipient.pub, error)) return false;
    raw = serialize_tx(coins, outputs, false);
    return !raw.empty();
}

void TxBuildSign(benchmark::State& state) {
    const Inputs& in = inputs();
    Bytes raw;
    int64_t fee = 0;
    for (auto _ : state) {
        if (!buildSignTx(in, raw, fee)) return fail(state, "build or sign failed");
        benchmark::DoNotOptimize(raw.data());
    }
}

// Txid of the transaction in its estimate form, which leaves out the (randomised)
// signature: equal on both sides when both built the same transaction.
std::string txEstimateTxid(const Inputs& in) {
    std::vector<Coin> coins{in.txCoin};
    std::vector<TxOutput> outputs;
    int64_t fee = 0;
    std::string error;
    if (!build_tx(coins, outputs, in.txOwn, in.txRequested, fee, error, 1, 1)) die(error.c_str());
    return txid_of(serialize_tx(coins, outputs, true));
}

void registerAll() {
    struct Entry {
        const char* name;
        void (*fn)(benchmark::State&);
    };
    static const Entry entries[] = {
        {"seal", Seal},
        {"unseal", Unseal},
        {"identity_sign", IdentitySign},
        {"sign_digest", SignDigest},
        {"sign_compact", SignCompact},
        {"verify", Verify},
        {"verify_digest", VerifyDigest},
        {"seed_master", SeedMaster},
        {"derive", Derive},
        {"tx_build_sign", TxBuildSign},
    };
    // Wall-clock time is what tests/bench/run turns into operations per second.
    for (const Entry& e : entries) benchmark::RegisterBenchmark(e.name, e.fn)->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Lets the comparison check that both sides used the same keys.
    const Inputs& in = inputs();
    benchmark::AddCustomContext("identity_pub", in.identityPub);
    benchmark::AddCustomContext("recipient_pub", in.recipient.pub);
    benchmark::AddCustomContext("message_bytes", std::to_string(sizeof kMessage - 1));
    benchmark::AddCustomContext("plaintext_bytes", std::to_string(sizeof kPlaintext - 1));
    benchmark::AddCustomContext("tx_estimate_txid", txEstimateTxid(in));
    benchmark::AddCustomContext("openssl", OpenSSL_version(OPENSSL_VERSION));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
