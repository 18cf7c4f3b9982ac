#pragma once
// The few script forms the devnet relays and the platform shows: P2PKH locks and their unlocking pushes, OP_RETURN
// data outputs, and the text forms (asm, type) WhatsOnChain shows for them.

#include <string>
#include <vector>

#include "base/bytes.h"
#include "wallet/hashes.h"

namespace dialo::service {

/// 00 6A … or 6A …: an unspendable data output.
bool isDataScript(const Bytes& script);

/// The pushes that follow OP_RETURN, in order; reading stops at the first non-push or at a
/// push that runs past the end.
std::vector<Bytes> dataPushes(const Bytes& script);

/// Script in the node's asm notation: pushes as hex, "0" for OP_FALSE, opcode names.
std::string scriptAsm(const Bytes& script);

/// "pubkeyhash", "nulldata" or "nonstandard".
std::string scriptType(const Bytes& script);

/// Whether the text is a P2PKH address of the network.
bool validAddress(const std::string& address);

/// The P2PKH locking script of an address, as hex; empty for a text that is no address.
std::string addressScriptHex(const std::string& address);

/// Checks an input's unlocking script against the P2PKH hash it spends and the signature
/// digest of that input, each push in its shortest form. Returns an empty text when it
/// verifies, else the node's reason.
std::string checkP2pkhSpend(const Bytes& unlocking, const Hash160& lockHash, const Hash256& digest);

}  // namespace dialo::service
