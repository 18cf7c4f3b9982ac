#include "tools/devnet/tls.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/files.h"
#include "wallet/openssl_handles.h"

namespace dialo::devnet {
namespace {

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct ExtFree {
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
struct NameFree {
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, ExtFree>;

constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

PkeyPtr newKey() { return PkeyPtr(EVP_EC_gen("P-256")); }

std::string keyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, size_t(n)) : std::string();
}

std::string certPem(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, size_t(n)) : std::string();
}

X509Ptr readCert(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

PkeyPtr readKey(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    return PkeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool addExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// A certificate for `key` named `cn`, signed by `issuerKey` (itself when issuer is null).
X509Ptr makeCert(EVP_PKEY* key, const std::string& cn, X509* issuer, EVP_PKEY* issuerKey, bool ca,
                 const std::string& san) {
    X509Ptr cert(X509_new());
    if (!cert) return nullptr;
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
    serial[0] &= 0x7F;
    BnPtr bn(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!bn || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()))) return nullptr;
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_set_version(cert.get(), 2) != 1 ||
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Dialo devnet"), -1,
                                   -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                   0) != 1)
        return nullptr;
    X509* signer = issuer ? issuer : cert.get();
    if (X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) != 1 ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds) || X509_set_pubkey(cert.get(), key) != 1)
        return nullptr;
    bool ok = addExt(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (ca) {
        ok = ok && addExt(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
             addExt(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = ok && addExt(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
             addExt(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
             addExt(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
             addExt(cert.get(), signer, NID_authority_key_identifier, "keyid:always") &&
             addExt(cert.get(), signer, NID_subject_alt_name, san.c_str());
    }
    if (!ok || X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) return nullptr;
    return cert;
}

bool fileText(const std::string& path, std::string& out) { return readWholeFile(path, out, false) && !out.empty(); }

// The server certificate still usable: issued by this CA, naming the domain (bare and with
// www., which the phone also pins), the paymail domain and any host under it (where SRV
// records point) and the loopback address, and not about to expire.
bool serverCertUsable(X509* server, X509* ca, const std::string& domain, const std::string& paymailDomain,
                      const std::vector<std::string>& extraNames) {
    EVP_PKEY* caKey = X509_get0_pubkey(ca);
    if (!caKey || X509_verify(server, caKey) != 1) return false;
    std::vector<std::string> names = extraNames;
    names.push_back(domain);
    names.push_back("www." + domain);
    if (!paymailDomain.empty()) {
        names.push_back(paymailDomain);
        names.push_back("pay." + paymailDomain);
    }
    for (const std::string& name : names)
        if (X509_check_host(server, name.c_str(), name.size(), 0, nullptr) != 1) return false;
    if (X509_check_ip_asc(server, "127.0.0.1", 0) != 1) return false;
    time_t soon = time(nullptr) + 24 * 3600;
    return X509_cmp_time(X509_get0_notAfter(server), &soon) > 0;
}

}  // namespace

bool ensureTlsFiles(const std::string& dir, const std::string& domain, const std::string& paymailDomain, TlsFiles& out,
                    std::string& error, const std::vector<std::string>& extraNames) {
    if (!ensureDirectory(dir)) {
        error = "cannot create " + dir;
        return false;
    }
    const std::string caCertPath = dir + "/ca.pem", caKeyPath = dir + "/ca-key.pem";
    const std::string serverCertPath = dir + "/server.pem", serverKeyPath = dir + "/server-key.pem";

    std::string caPem, caKeyPem;
    X509Ptr ca;
    PkeyPtr caKey;
    if (fileText(caCertPath, caPem) && fileText(caKeyPath, caKeyPem)) {
        ca = readCert(caPem);
        caKey = readKey(caKeyPem);
        if (ca && caKey && X509_check_private_key(ca.get(), caKey.get()) != 1) ca.reset();
    }
    bool newCa = false;
    if (!ca || !caKey) {
        caKey = newKey();
        ca = caKey ? makeCert(caKey.get(), "Dialo devnet CA", nullptr, caKey.get(), true, {}) : nullptr;
        caPem = ca ? certPem(ca.get()) : std::string();
        caKeyPem = caKey ? keyPem(caKey.get()) : std::string();
        if (caPem.empty() || caKeyPem.empty() || !writeFileAtomic(caKeyPath, caKeyPem) ||
            !writeFileAtomic(caCertPath, caPem)) {
            error = "cannot make the devnet CA in " + dir;
            return false;
        }
        newCa = true;
    }

    std::string serverPem, serverKeyPem;
    bool reuse = !newCa && fileText(serverCertPath, serverPem) && fileText(serverKeyPath, serverKeyPem);
    if (reuse) {
        X509Ptr server = readCert(serverPem);
        PkeyPtr key = readKey(serverKeyPem);
        reuse = server && key && X509_check_private_key(server.get(), key.get()) == 1 &&
                serverCertUsable(server.get(), ca.get(), domain, paymailDomain, extraNames);
    }
    if (!reuse) {
        PkeyPtr key = newKey();
        std::string san = "DNS:" + domain + ",DNS:www." + domain;
        if (!paymailDomain.empty()) san += ",DNS:" + paymailDomain + ",DNS:*." + paymailDomain;
        for (const std::string& name : extraNames) san += ",DNS:" + name;
        san += ",DNS:localhost,IP:127.0.0.1";
        X509Ptr server = key ? makeCert(key.get(), domain, ca.get(), caKey.get(), false, san) : nullptr;
        serverKeyPem = key ? keyPem(key.get()) : std::string();
        serverPem = server ? certPem(server.get()) + caPem : std::string();
        if (serverPem.empty() || serverKeyPem.empty() || !writeFileAtomic(serverKeyPath, serverKeyPem) ||
            !writeFileAtomic(serverCertPath, serverPem)) {
            error = "cannot make the devnet server certificate in " + dir;
            return false;
        }
    }
    out.caPem = caPem;
    out.caPath = caCertPath;
    out.serverCertPath = serverCertPath;
    out.serverKeyPath = serverKeyPath;
    return true;
}

}  // namespace dialo::devnet
