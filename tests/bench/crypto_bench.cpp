// Throughput of the wallet and ECIES operations a call leans on. The same operations on the
// same inputs are timed against @bsv/sdk by tests/bench/sdk_bench.mjs; tests/bench/run compares.
// Names registered here are the keys shared with that script. Each curve operation is timed a
// second time as "lib/NAME": libsecp256k1 called directly on the same bytes, so that the run can
// show what our wrapping costs over the library.

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <secp256k1.h>
#include <secp256k1_ecdh.h>
#include <secp256k1_recovery.h>

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
    int recoveryId = 0;     // of that signature
    PubKey33 identityPub33{};
    ExtendedKey node;       // m/44'/236'/1'/0, parent of the default key
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
        if (!ecdsa_sign_recoverable(v.identityPriv32.data(), v.digest, v.r, v.s, v.recoveryId)) die("sign failed");
        if (!public_key_of(v.identityPriv32.data(), v.identityPub33)) die("no identity public key");
        {
            Hash512 seed{};
            ExtendedKey at;
            if (!mnemonic_to_seed(kMnemonic, seed) || !master_key_from_seed(seed, at)) die("no master key");
            for (uint32_t step : {kHardened + 44, kHardened + 236, kHardened + kPaymentAccount, 0u}) {
                if (!derive_child(at, step, v.node)) die("no account node");
                at = v.node;
            }
        }
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

// libsecp256k1 called directly: one context of its own, randomised as ours is.
const secp256k1_context* libContext() {
    static secp256k1_context* const ctx = [] {
        secp256k1_context* c = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
        unsigned char seed[32];
        if (c == nullptr || RAND_priv_bytes(seed, sizeof seed) != 1 || secp256k1_context_randomize(c, seed) != 1)
            die("no libsecp256k1 context");
        return c;
    }();
    return ctx;
}

void LibSignDigest(benchmark::State& state) {
    const Inputs& in = inputs();
    const secp256k1_context* ctx = libContext();
    secp256k1_ecdsa_signature sig;
    unsigned char rs[64];
    for (auto _ : state) {
        if (!secp256k1_ecdsa_sign(ctx, &sig, in.digest.data(), in.identityPriv32.data(), nullptr, nullptr) ||
            !secp256k1_ecdsa_signature_serialize_compact(ctx, rs, &sig))
            return fail(state, "sign failed");
        benchmark::DoNotOptimize(rs);
    }
}

// Key bytes and r||s in, as ecdsa_verify_rs takes them.
void LibVerifyDigest(benchmark::State& state) {
    const Inputs& in = inputs();
    const secp256k1_context* ctx = libContext();
    unsigned char rs[64];
    std::copy(in.r.begin(), in.r.end(), rs);
    std::copy(in.s.begin(), in.s.end(), rs + 32);
    secp256k1_pubkey key;
    secp256k1_ecdsa_signature sig;
    for (auto _ : state) {
        if (!secp256k1_ec_pubkey_parse(ctx, &key, in.identityPub33.data(), 33) ||
            !secp256k1_ecdsa_signature_parse_compact(ctx, &sig, rs))
            return fail(state, "parse failed");
        secp256k1_ecdsa_signature_normalize(ctx, &sig, &sig);
        if (!secp256k1_ecdsa_verify(ctx, &sig, in.digest.data(), &key)) return fail(state, "verify failed");
    }
}

void Recover(benchmark::State& state) {
    const Inputs& in = inputs();
    PubKey65 key{};
    for (auto _ : state) {
        if (!ecdsa_recover(in.digest, in.r.data(), in.s.data(), in.recoveryId, key)) return fail(state, "recover failed");
        benchmark::DoNotOptimize(key.data());
    }
}

void LibRecover(benchmark::State& state) {
    const Inputs& in = inputs();
    const secp256k1_context* ctx = libContext();
    unsigned char rs[64], out[65];
    std::copy(in.r.begin(), in.r.end(), rs);
    std::copy(in.s.begin(), in.s.end(), rs + 32);
    secp256k1_ecdsa_recoverable_signature sig;
    secp256k1_pubkey key;
    for (auto _ : state) {
        size_t len = sizeof out;
        if (!secp256k1_ecdsa_recoverable_signature_parse_compact(ctx, &sig, rs, in.recoveryId) ||
            !secp256k1_ecdsa_recover(ctx, &key, &sig, in.digest.data()) ||
            !secp256k1_ec_pubkey_serialize(ctx, out, &len, &key, SECP256K1_EC_UNCOMPRESSED))
            return fail(state, "recover failed");
        benchmark::DoNotOptimize(out);
    }
}

// The identity key with the recipient's public key, as a seal's key agreement.
void Ecdh(benchmark::State& state) {
    const Inputs& in = inputs();
    const Bytes priv = in.identityPriv32, pub = hex_decode(in.recipient.pub);
    PubKey33 shared{};
    for (auto _ : state) {
        if (!ecdh_shared_point(priv, pub, shared)) return fail(state, "ecdh failed");
        benchmark::DoNotOptimize(shared.data());
    }
}

int writeCompressed(unsigned char* out, const unsigned char* x32, const unsigned char* y32, void*) {
    out[0] = uint8_t(0x02 | (y32[31] & 1));
    std::copy(x32, x32 + 32, out + 1);
    return 1;
}

void LibEcdh(benchmark::State& state) {
    const Inputs& in = inputs();
    const secp256k1_context* ctx = libContext();
    const Bytes pub = hex_decode(in.recipient.pub);
    secp256k1_pubkey key;
    unsigned char shared[33];
    for (auto _ : state) {
        if (!secp256k1_ec_pubkey_parse(ctx, &key, pub.data(), pub.size()) ||
            !secp256k1_ecdh(ctx, shared, &key, in.identityPriv32.data(), writeCompressed, nullptr))
            return fail(state, "ecdh failed");
        benchmark::DoNotOptimize(shared);
    }
}

void PublicKey(benchmark::State& state) {
    const Inputs& in = inputs();
    PubKey33 pub{};
    for (auto _ : state) {
        if (!public_key_of(in.identityPriv32.data(), pub)) return fail(state, "no public key");
        benchmark::DoNotOptimize(pub.data());
    }
}

void LibPublicKey(benchmark::State& state) {
    const Inputs& in = inputs();
    const secp256k1_context* ctx = libContext();
    secp256k1_pubkey key;
    unsigned char out[33];
    for (auto _ : state) {
        size_t len = sizeof out;
        if (!secp256k1_ec_pubkey_create(ctx, &key, in.identityPriv32.data()) ||
            !secp256k1_ec_pubkey_serialize(ctx, out, &len, &key, SECP256K1_EC_COMPRESSED))
            return fail(state, "no public key");
        benchmark::DoNotOptimize(out);
    }
}

// m/44'/236'/1'/0 to m/44'/236'/1'/0/0: a normal step, which needs the parent's public key.
void Bip32Step(benchmark::State& state) {
    const Inputs& in = inputs();
    ExtendedKey child;
    for (auto _ : state) {
        if (!derive_child(in.node, 0, child)) return fail(state, "step failed");
        benchmark::DoNotOptimize(child.key.data());
    }
    OPENSSL_cleanse(child.key.data(), child.key.size());
}

// The same step from the library's parts: the public key, HMAC-SHA512 (OpenSSL's, as ours),
// the tweak.
void LibBip32Step(benchmark::State& state) {
    const Inputs& in = inputs();
    const secp256k1_context* ctx = libContext();
    secp256k1_pubkey key;
    unsigned char data[37] = {}, child[32];
    Hash512 i{};
    for (auto _ : state) {
        size_t len = 33;
        if (!secp256k1_ec_pubkey_create(ctx, &key, in.node.key.data()) ||
            !secp256k1_ec_pubkey_serialize(ctx, data, &len, &key, SECP256K1_EC_COMPRESSED) ||
            !hmac_sha512(in.node.chain.data(), in.node.chain.size(), data, sizeof data, i))
            return fail(state, "step failed");
        std::copy(in.node.key.begin(), in.node.key.end(), child);
        if (!secp256k1_ec_seckey_tweak_add(ctx, child, i.data())) return fail(state, "step failed");
        benchmark::DoNotOptimize(child);
    }
    OPENSSL_cleanse(child, sizeof child);
    OPENSSL_cleanse(i.data(), i.size());
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

// Txid of the transaction in its estimate form, which leaves out the signature: equal on both
// sides when both built the same transaction.
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
        {"lib/sign_digest", LibSignDigest},
        {"lib/verify_digest", LibVerifyDigest},
        {"recover", Recover},
        {"lib/recover", LibRecover},
        {"ecdh", Ecdh},
        {"lib/ecdh", LibEcdh},
        {"public_key", PublicKey},
        {"lib/public_key", LibPublicKey},
        {"bip32_step", Bip32Step},
        {"lib/bip32_step", LibBip32Step},
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
    // Both sides sign with the RFC 6979 nonce: the same digest signature, the same recovery id.
    benchmark::AddCustomContext("digest_signature", hex_encode(in.r) + hex_encode(in.s) + "/" +
                                                        std::to_string(in.recoveryId));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
