#include "wallet/secp256k1.h"

#include <openssl/obj_mac.h>

#include "wallet/encoding.h"

namespace dialo {
namespace {

struct CurveData {
    EcGroupPtr group;
    BnPtr order, halfOrder, prime, orderMinusTwo;
    BnMontPtr orderMont;
    Curve view{};

    CurveData() {
        group.reset(EC_GROUP_new_by_curve_name(NID_secp256k1));
        order = newBn();
        halfOrder = newBn();
        prime = newBn();
        orderMinusTwo = newBn();
        orderMont.reset(BN_MONT_CTX_new());
        BnCtxPtr ctx = newBnCtx();
        if (!group || !order || !halfOrder || !prime || !orderMinusTwo || !orderMont || !ctx) return;
        EC_GROUP_get_order(group.get(), order.get(), ctx.get());
        EC_GROUP_get_curve(group.get(), prime.get(), nullptr, nullptr, ctx.get());
        BN_rshift1(halfOrder.get(), order.get());
        BN_copy(orderMinusTwo.get(), order.get());
        BN_sub_word(orderMinusTwo.get(), 2);
        BN_MONT_CTX_set(orderMont.get(), order.get(), ctx.get());
        view = {group.get(), order.get(), halfOrder.get(), prime.get()};
    }
};

const CurveData& curveData() {
    static const CurveData data;
    return data;
}

// Inverse modulo n by Fermat's little theorem, in constant time for secret values.
bool invertModOrder(BIGNUM* out, const BIGNUM* a, BN_CTX* ctx) {
    const CurveData& c = curveData();
    return BN_mod_exp_mont_consttime(out, a, c.orderMinusTwo.get(), c.order.get(), ctx, c.orderMont.get()) == 1;
}

bool toScalar32(const BIGNUM* bn, Scalar32& out) { return BN_bn2binpad(bn, out.data(), int(out.size())) == 32; }

void appendDerInteger(Bytes& out, const Scalar32& v) {
    size_t start = 0;
    while (start < v.size() - 1 && v[start] == 0) ++start;
    bool pad = (v[start] & 0x80) != 0;
    out.push_back(0x02);
    out.push_back(uint8_t(v.size() - start + (pad ? 1 : 0)));
    if (pad) out.push_back(0x00);
    out.insert(out.end(), v.begin() + ptrdiff_t(start), v.end());
}

}  // namespace

const Curve& secp256k1() { return curveData().view; }

bool is_valid_scalar(const uint8_t* priv32) {
    BnPtr k(BN_bin2bn(priv32, 32, BN_secure_new()));
    return k && !BN_is_zero(k.get()) && BN_cmp(k.get(), secp256k1().order) < 0;
}

bool public_key_of(const uint8_t* priv32, PubKey33& out) {
    const Curve& c = secp256k1();
    BnCtxPtr ctx = newBnCtx();
    BnPtr k = newSecretBn();
    EcPointPtr p(EC_POINT_new(c.group));
    if (!ctx || !k || !p || !BN_bin2bn(priv32, 32, k.get())) return false;
    if (BN_is_zero(k.get()) || BN_cmp(k.get(), c.order) >= 0) return false;
    if (EC_POINT_mul(c.group, p.get(), k.get(), nullptr, nullptr, ctx.get()) != 1) return false;
    return encode_compressed(p.get(), out, ctx.get());
}

EcPointPtr decode_point(const uint8_t* data, size_t size, BN_CTX* ctx) {
    if (!(size == 33 && (data[0] == 0x02 || data[0] == 0x03)) && !(size == 65 && data[0] == 0x04)) return nullptr;
    const Curve& c = secp256k1();
    EcPointPtr p(EC_POINT_new(c.group));
    if (!p || EC_POINT_oct2point(c.group, p.get(), data, size, ctx) != 1) return nullptr;
    if (EC_POINT_is_at_infinity(c.group, p.get()) || EC_POINT_is_on_curve(c.group, p.get(), ctx) != 1) return nullptr;
    return p;
}

bool encode_compressed(const EC_POINT* point, PubKey33& out, BN_CTX* ctx) {
    const Curve& c = secp256k1();
    if (EC_POINT_is_at_infinity(c.group, point)) return false;
    return EC_POINT_point2oct(c.group, point, POINT_CONVERSION_COMPRESSED, out.data(), out.size(), ctx) == out.size();
}

bool ecdsa_sign_rs(const uint8_t* priv32, const Hash256& digest, Scalar32& r, Scalar32& s) {
    const Curve& c = secp256k1();
    BnCtxPtr ctx = newBnCtx();
    BnPtr d = newSecretBn(), k = newSecretBn(), kinv = newSecretBn(), t = newSecretBn();
    BnPtr e = newBn(), x = newBn(), rb = newBn(), sb = newBn();
    EcPointPtr R(EC_POINT_new(c.group));
    if (!ctx || !d || !k || !kinv || !t || !e || !x || !rb || !sb || !R) return false;
    if (!BN_bin2bn(priv32, 32, d.get()) || BN_is_zero(d.get()) || BN_cmp(d.get(), c.order) >= 0) return false;
    if (!BN_bin2bn(digest.data(), int(digest.size()), e.get())) return false;

    for (int attempt = 0; attempt < 16; ++attempt) {
        if (BN_generate_dsa_nonce(k.get(), c.order, d.get(), digest.data(), digest.size(), ctx.get()) != 1) return false;
        if (EC_POINT_mul(c.group, R.get(), k.get(), nullptr, nullptr, ctx.get()) != 1) return false;
        if (EC_POINT_get_affine_coordinates(c.group, R.get(), x.get(), nullptr, ctx.get()) != 1) return false;
        if (BN_nnmod(rb.get(), x.get(), c.order, ctx.get()) != 1) return false;
        if (BN_is_zero(rb.get())) continue;
        // s = k⁻¹ (e + r·d) mod n
        if (!invertModOrder(kinv.get(), k.get(), ctx.get())) return false;
        if (BN_mod_mul(t.get(), rb.get(), d.get(), c.order, ctx.get()) != 1 ||
            BN_mod_add(t.get(), t.get(), e.get(), c.order, ctx.get()) != 1 ||
            BN_mod_mul(sb.get(), kinv.get(), t.get(), c.order, ctx.get()) != 1)
            return false;
        if (BN_is_zero(sb.get())) continue;
        if (BN_cmp(sb.get(), c.halfOrder) > 0 && BN_sub(sb.get(), c.order, sb.get()) != 1) return false;
        return toScalar32(rb.get(), r) && toScalar32(sb.get(), s);
    }
    return false;
}

bool ecdsa_verify_rs(const Hash256& digest, const uint8_t* r32, const uint8_t* s32, const EC_POINT* key, BN_CTX* ctx) {
    const Curve& c = secp256k1();
    BnPtr r(BN_bin2bn(r32, 32, nullptr)), s(BN_bin2bn(s32, 32, nullptr));
    BnPtr e(BN_bin2bn(digest.data(), int(digest.size()), nullptr));
    BnPtr w = newBn(), u1 = newBn(), u2 = newBn(), x = newBn();
    EcPointPtr X(EC_POINT_new(c.group));
    if (!r || !s || !e || !w || !u1 || !u2 || !x || !X) return false;
    if (BN_is_zero(r.get()) || BN_is_zero(s.get()) || BN_cmp(r.get(), c.order) >= 0 || BN_cmp(s.get(), c.order) >= 0)
        return false;
    if (!BN_mod_inverse(w.get(), s.get(), c.order, ctx)) return false;
    if (BN_mod_mul(u1.get(), e.get(), w.get(), c.order, ctx) != 1 ||
        BN_mod_mul(u2.get(), r.get(), w.get(), c.order, ctx) != 1)
        return false;
    if (EC_POINT_mul(c.group, X.get(), u1.get(), key, u2.get(), ctx) != 1) return false;
    if (EC_POINT_is_at_infinity(c.group, X.get())) return false;
    if (EC_POINT_get_affine_coordinates(c.group, X.get(), x.get(), nullptr, ctx) != 1) return false;
    if (BN_nnmod(x.get(), x.get(), c.order, ctx) != 1) return false;
    return BN_cmp(x.get(), r.get()) == 0;
}

Bytes der_encode_signature(const Scalar32& r, const Scalar32& s) {
    Bytes body;
    appendDerInteger(body, r);
    appendDerInteger(body, s);
    Bytes out(2 + body.size());
    out[0] = 0x30;
    out[1] = uint8_t(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 2);
    return out;
}

bool sign_ecdsa(std::string_view privHex, const Hash256& digest, Bytes& der) {
    der.clear();
    Bytes priv = hex_decode(privHex);
    ScopedWipe wipe(priv);
    if (priv.size() != 32) return false;
    Scalar32 r{}, s{};
    if (!ecdsa_sign_rs(priv.data(), digest, r, s)) return false;
    der = der_encode_signature(r, s);
    return !der.empty();
}

}  // namespace dialo
