#pragma once
// The chain sources an operator chooses between in the configuration: the devnet's feed (for
// development, tests and demonstrations) and a BSV node's JSON-RPC (the main network).

#include <cstddef>
#include <memory>
#include <string>

#include "service/chain_source.h"

namespace dialo::service {

struct DevnetFeedOptions {
    std::string url;     // "https://127.0.0.1:24443", no trailing slash needed
    std::string caFile;  // empty: the system's roots
    int waitSeconds = 20;  // the feed's long-poll wait
};

/// Long-polls GET <url>/devnet/feed; relays through the devnet's ARC (POST <url>/arc/v1/tx).
/// Its resume value is "SEQ:HEIGHT".
std::unique_ptr<ChainSource> makeDevnetFeedSource(DevnetFeedOptions options);

struct NodeSourceOptions {
    std::string rpcUrl;        // "http://127.0.0.1:8332"
    std::string rpcUser;
    std::string rpcPasswordFile;  // its first line is the password
    std::string caFile;        // for an https:// rpcUrl; empty: the system's roots
    int pollMs = 1000;         // milliseconds between mempool and block polls
    size_t seenBound = 200000; // mempool txids remembered, so each is fetched once
    size_t mempoolAnswerCap = 64u << 20;  // bytes of the mempool's txid list read; beyond, blocks alone
};

/// Polls a BSV node's mempool and blocks over JSON-RPC (basic auth); relays with
/// sendrawtransaction. Its resume value is the last block height handed to the confirm sink.
std::unique_ptr<ChainSource> makeNodeSource(NodeSourceOptions options);

}  // namespace dialo::service
