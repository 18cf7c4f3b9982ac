#include "tools/devnet/service.h"

#include <httplib.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "base/base64.h"
#include "base/clock.h"
#include "base/text.h"
#include "platform/files.h"
#include "service/http_server.h"
#include "service/platform.h"
#include "service/script.h"
#include "service/tx_json.h"
#include "tools/devnet/directory.h"
#include "tools/devnet/faults.h"
#include "tools/devnet/ledger.h"
#include "tools/devnet/ledger_source.h"
#include "tools/devnet/storm.h"
#include "tools/devnet/tls.h"
#include "wallet/encoding.h"

namespace dialo::devnet {
namespace {

using nlohmann::json;
using service::addressScriptHex;
using service::dumpJson;
using service::validAddress;
using service::Handler;
using service::sendJson;

constexpr const char* kWoc = "/woc/v1/bsv/main";
constexpr const char* kTxidRe = "([0-9a-fA-F]{64})";
constexpr const char* kAddrRe = "([1-9A-HJ-NP-Za-km-z]{20,40})";
constexpr size_t kWorkerThreads = 256;            // each kept-alive connection holds one for its life
constexpr int kListenBacklog = 1024;              // connections waiting for accept()
constexpr size_t kMaxBody = 32u * 1024 * 1024;    // bytes
constexpr size_t kMaxBalanceAddresses = 100;
constexpr int kMaxFeedWaitSeconds = 25;
constexpr size_t kFeedBlocks = 10;                // blocks in one feed answer at most

void sendText(httplib::Response& res, const std::string& body, int status = 200, const char* type = "text/plain") {
    res.status = status;
    res.set_content(body, type);
}

json parseBody(const std::string& body) { return json::parse(body, nullptr, false); }

std::string htmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// Page tokens are opaque to clients; this one carries an offset and needs percent-encoding.
std::string pageToken(size_t offset) {
    std::string plain = "offset:" + std::to_string(offset);
    return base64Encode(reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
}

bool readPageToken(const std::string& token, size_t& offset) {
    Bytes b = base64Decode(token);
    std::string plain(b.begin(), b.end());
    if (!plain.starts_with("offset:") || plain.size() > 20) return false;
    std::string digits = plain.substr(7);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    offset = size_t(std::stoull(digits));
    return true;
}

// The host name a request was addressed to, lower-cased, without its port.
std::string requestHost(const httplib::Request& req) {
    std::string host = lowerAscii(req.get_header_value("Host"));
    if (size_t colon = host.rfind(':'); colon != std::string::npos && host.find(']') == std::string::npos)
        host.resize(colon);
    return host;
}

std::string randomHex(size_t bytes) {
    Bytes b(bytes);
    if (RAND_bytes(b.data(), int(b.size())) != 1) return {};
    return hex_encode(b);
}

// The node's reject line as WhatsOnChain passes it on.
std::string wocRejectText(const SubmitResult& r) {
    switch (r.reject) {
    case Reject::AlreadyKnown: return "257: txn-already-known";
    case Reject::Conflict: return "258: txn-mempool-conflict";
    case Reject::MissingInputs: return "Missing inputs";
    case Reject::BadScript: return "16: " + r.reason;
    case Reject::BelowOut: return "16: " + r.reason;
    case Reject::NonStandard: return "64: " + r.reason;
    case Reject::LowFee: return "66: " + r.reason;
    case Reject::Malformed: return r.reason;
    case Reject::None: return {};
    }
    return r.reason;
}

json ledgerTxJson(const TxRecord& rec, int64_t tipHeight, bool withBlock = true) {
    service::TxPlace place;
    place.height = rec.height;
    place.tipHeight = tipHeight;
    place.blockHash = rec.blockHash;
    place.blockTime = rec.blockTime;
    place.seen = rec.seen;
    return service::txJson(rec.raw, rec.txid, place, withBlock);
}

}  // namespace

struct Devnet::Impl {
    DevnetOptions options;
    Ledger ledger;
    Directory directory;
    std::unique_ptr<service::Platform> platform;
    FaultTable faults;
    Storm storm;
    TlsFiles tls;
    std::unique_ptr<httplib::SSLServer> service;
    std::unique_ptr<httplib::SSLServer> paymailCopy;
    std::unique_ptr<httplib::SSLServer> paymailHost;
    DnsServer dns;
    std::thread serviceThread, directoryThread, paymailThread, minerThread;
    int servicePort = 0, directoryPort = 0, paymailPort = 0;
    std::atomic<size_t> serviceRequests{0}, directoryRequests{0}, paymailRequests{0};

    std::mutex mutex;  // guards the fields below
    std::condition_variable wake;
    std::condition_variable feedWake;
    uint64_t ledgerChanges = 0;  // moves on with every transaction accepted and block mined
    bool stopping = false;
    std::string publishedVersion;
    double gbpPerCoin = 0;

    // Registers a route; no exception leaves it. WhatsOnChain's, ARC's and the explorer's are
    // served at their public paths too, behind their API keys when the options set them.
    void route(httplib::SSLServer& srv, const std::string& method, const std::string& pattern, Handler h) {
        Handler wrapped = service::catching(std::move(h));
        std::string publicPattern;
        if (pattern.starts_with(kWoc)) {
            publicPattern = pattern.substr(std::string_view("/woc").size());
            wrapped = keyed(std::move(wrapped), options.wocApiKey, false);
        } else if (pattern.starts_with("/arc/")) {
            publicPattern = pattern.substr(std::string_view("/arc").size());
            wrapped = keyed(std::move(wrapped), options.arcApiKey, true);
        } else if (pattern.starts_with("/explorer/")) {
            publicPattern = pattern.substr(std::string_view("/explorer").size());
        }
        for (const std::string* p : {&pattern, &std::as_const(publicPattern)}) {
            if (p->empty()) continue;
            if (method == "GET") srv.Get(*p, wrapped);
            else if (method == "POST") srv.Post(*p, wrapped);
            else if (method == "DELETE") srv.Delete(*p, wrapped);
        }
    }

    // A handler that first asks for the service's key, as the real service does.
    static Handler keyed(Handler h, const std::string& key, bool bearer) {
        if (key.empty()) return h;
        return [h = std::move(h), key, bearer](const httplib::Request& req, httplib::Response& res) {
            const bool sent = bearer ? req.get_header_value("Authorization") == "Bearer " + key
                                     : req.get_header_value("Authorization") == key ||
                                           req.get_header_value("woc-api-key") == key;
            if (!sent) return sendJson(res, {{"error", "invalid API key"}}, 401);
            h(req, res);
        };
    }

    // Before routing, so the embedded platform's routes meet them too: every request is
    // counted (a test can tell none was sent at all), oracle listings are counted by address,
    // and any injected fault or storm answers instead. The controls under /devnet/ stay calm,
    // so a test can always end a storm.
    httplib::Server::HandlerWithResponse preRouting(const char* serverName, std::atomic<size_t>& counter) {
        return [this, serverName, &counter](const httplib::Request& req, httplib::Response& res) {
            ++counter;
            try {
                if (req.path.starts_with("/devnet/")) return httplib::Server::HandlerResponse::Unhandled;
                if (req.path == "/oi/oracle/dialo/txids") storm.countPoll(req.get_param_value("address"));
                if (applyFault(serverName, req, res)) {
                    // The body was never read: the connection cannot carry another request.
                    if (req.has_header("Content-Length") || req.has_header("Transfer-Encoding"))
                        res.set_header("Connection", "close");
                    return httplib::Server::HandlerResponse::Handled;
                }
            } catch (...) {
            }
            return httplib::Server::HandlerResponse::Unhandled;
        };
    }

    void ledgerChanged() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++ledgerChanges;
        }
        feedWake.notify_all();
    }

    bool applyFault(const char* serverName, const httplib::Request& req, httplib::Response& res) {
        std::optional<Fault> f = faults.take(serverName, req.method, req.path, requestHost(req));
        if (!f) f = storm.draw();
        if (!f) return false;
        if (f->delayMs > 0) {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, std::chrono::milliseconds(f->delayMs), [this] { return stopping; });
        }
        if (f->drop) {
            // Closing the socket under the server makes the client see the connection end
            // with no answer at all; the server's own write then fails quietly.
            if (req.ssl) {
                int fd = SSL_get_fd(req.ssl);
                if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
            }
            res.status = 500;
            res.set_header("Connection", "close");
            return true;
        }
        if (f->status == 0) return false;
        std::string body = f->body.empty() ? defaultFaultPage(f->status) : f->body;
        std::string type = f->contentType;
        if (type.empty()) type = parseBody(body).is_discarded() ? "text/html" : "application/json";
        sendText(res, body, f->status, type.c_str());
        if (!f->location.empty()) res.set_header("Location", f->location);
        return true;
    }

    // The platform's address look-up, copied on the directory port.
    void handleAddressLookup(const httplib::Request& req, httplib::Response& res) {
        const std::string paymail = req.matches[1];
        size_t at = paymail.rfind('@');
        service::PaymailEntry e;
        if (at == std::string::npos || lowerAscii(paymail.substr(at + 1)) != lowerAscii(options.serviceDomain) ||
            !platform->storage().lookupAlias(lowerAscii(paymail.substr(0, at)), e))
            return sendJson(res, {{"error", "paymail not found"}}, 404);
        sendJson(res, {{"address", e.address}, {"output", addressScriptHex(e.address)}});
    }

    void handleFeed(const httplib::Request& req, httplib::Response& res);

    void setUpService(httplib::SSLServer& s);
    void setUpWoc(httplib::SSLServer& s);
    void setUpArc(httplib::SSLServer& s);
    void setUpControl(httplib::SSLServer& s);
    void setUpPaymail(httplib::SSLServer& s);
    void minerLoop();
    json network() const;
};

json Devnet::Impl::network() const {
    std::string base = "https://127.0.0.1:" + std::to_string(servicePort);
    return {{"service_domain", options.serviceDomain},
            {"service_address", "127.0.0.1"},
            {"service_port", servicePort},
            {"directory_port", directoryPort},
            {"woc_base", base + kWoc},
            {"arc_base", base + "/arc"},
            {"update_base", base},
            {"explorer_base", base + "/explorer"},
            {"ca_file", options.caExportPath.empty() ? tls.caPath : options.caExportPath},
            {"dns_server", "127.0.0.1:" + std::to_string(dns.port())},
            {"hosts", {{options.paymailDomain, "127.0.0.1:" + std::to_string(paymailPort)},
                       {"*." + options.paymailDomain, "127.0.0.1:" + std::to_string(paymailPort)}}}};
}

void Devnet::Impl::setUpPaymail(httplib::SSLServer& s) {
    route(s, "GET", "/.well-known/bsvalias", [this](const httplib::Request&, httplib::Response& res) {
        // No port: a client reaches the domain on 443, which its configuration maps here.
        const std::string base = "https://" + options.paymailDomain + "/api/";
        sendJson(res, {{"bsvalias", "1.0"},
                       {"capabilities",
                        {{"2a40af698840", base + "p2p-destination/{alias}@{domain.tld}"},
                         {"5f1323cddf31", base + "receive-tx/{alias}@{domain.tld}"},
                         {"paymentDestination", base + "destination/{alias}@{domain.tld}"}}}});
    });
    // The hosted alias of "alias@<paymail domain>" in the path, and its address.
    auto hosted = [this](const httplib::Request& req, std::string& alias, std::string& address) {
        const std::string paymail = req.matches[1];
        size_t at = paymail.rfind('@');
        if (at == std::string::npos || lowerAscii(paymail.substr(at + 1)) != lowerAscii(options.paymailDomain)) return false;
        alias = lowerAscii(paymail.substr(0, at));
        return directory.hostedAddress(alias, address);
    };
    route(s, "POST", "/api/p2p-destination/([^/]+)",
          [this, hosted](const httplib::Request& req, httplib::Response& res) {
              std::string alias, address;
              if (!hosted(req, alias, address)) return sendJson(res, {{"error", "paymail not found"}}, 404);
              json body = parseBody(req.body);
              auto sats = body.is_object() ? body.find("satoshis") : body.end();
              if (!body.is_object() || sats == body.end() || !sats->is_number_integer() || sats->get<int64_t>() < 1)
                  return sendJson(res, {{"error", "body must be {\"satoshis\": integer above 0}"}}, 400);
              json output = {{"script", addressScriptHex(address)}, {"satoshis", sats->get<int64_t>()}};
              sendJson(res, {{"outputs", json::array({output})}, {"reference", randomHex(16)}});
          });
    route(s, "POST", "/api/destination/([^/]+)", [hosted](const httplib::Request& req, httplib::Response& res) {
        std::string alias, address;
        if (!hosted(req, alias, address)) return sendJson(res, {{"error", "paymail not found"}}, 404);
        sendJson(res, {{"output", addressScriptHex(address)}});
    });
    route(s, "POST", "/api/receive-tx/([^/]+)", [this, hosted](const httplib::Request& req, httplib::Response& res) {
        std::string alias, address;
        if (!hosted(req, alias, address)) return sendJson(res, {{"error", "paymail not found"}}, 404);
        json body = parseBody(req.body);
        auto hex = body.is_object() ? body.find("hex") : body.end();
        if (!body.is_object() || hex == body.end() || !hex->is_string())
            return sendJson(res, {{"error", "body must be {\"hex\": text, \"reference\": text, \"metadata\": object}"}},
                            400);
        SubmitResult r = ledger.submit(hex_decode(hex->get<std::string>()));
        if (!r.accepted && r.reject != Reject::AlreadyKnown) return sendJson(res, {{"error", r.reason}}, 400);
        sendJson(res, {{"txid", r.txid}, {"note", r.accepted ? "accepted" : r.reason}});
    });
}

void Devnet::Impl::setUpService(httplib::SSLServer& s) {
    // The update site.
    auto updatePage = [this](const httplib::Request&, httplib::Response& res) {
        std::string version;
        {
            std::lock_guard<std::mutex> lock(mutex);
            version = publishedVersion;
        }
        sendText(res,
                 "<!DOCTYPE html>\n<html><head><title>Dialo</title></head><body>\n<h1>Dialo</h1>\n"
                 "<p>A desktop telephone whose calls travel as BSV transactions.</p>\n"
                 "<p class=\"build\">Current Build: Version " +
                     htmlEscape(version) + "</p>\n<p><a href=\"/dialo/download\">Download</a></p>\n</body></html>\n",
                 200, "text/html");
    };
    route(s, "GET", "/dialo/", updatePage);
    route(s, "GET", "/dialo", updatePage);
    route(s, "GET", "/n-rate.json", [this](const httplib::Request&, httplib::Response& res) {
        double gbp;
        {
            std::lock_guard<std::mutex> lock(mutex);
            gbp = gbpPerCoin;
        }
        sendJson(res, {{"gbp", gbp}, {"time", nowSeconds()}});
    });
    route(s, "GET", "/", [](const httplib::Request&, httplib::Response& res) {
        sendText(res,
                 "<!DOCTYPE html>\n<html><head><title>Orvane devnet</title></head><body><h1>Orvane devnet</h1>"
                 "<p><a href=\"/dialo/\">Dialo</a></p></body></html>\n",
                 200, "text/html");
    });

    // The explorer's page for a transaction, opened in a browser.
    route(s, "GET", std::string("/explorer/tx/") + kTxidRe,
          [this](const httplib::Request& req, httplib::Response& res) {
              TxRecord rec;
              if (!ledger.tx(req.matches[1], rec)) return sendText(res, "<h1>Unknown transaction</h1>", 404, "text/html");
              json j = ledgerTxJson(rec, ledger.status().tip.height);
              std::string page = "<!DOCTYPE html>\n<html><head><title>Transaction " + rec.txid +
                                 "</title></head><body>\n<h1>Transaction</h1>\n<p>" + rec.txid + "</p>\n<p>" +
                                 (rec.height >= 0 ? "Block " + std::to_string(rec.height) : std::string("Mempool")) +
                                 ", " + std::to_string(rec.raw.size()) + " bytes, fee " + std::to_string(rec.fee) +
                                 " sats</p>\n<table border=\"1\"><tr><th>n</th><th>sats</th><th>script</th></tr>\n";
              for (const json& o : j["vout"]) {
                  int64_t sats = int64_t(o["value"].get<double>() * 1e8 + 0.5);
                  page += "<tr><td>" + std::to_string(o["n"].get<int64_t>()) + "</td><td>" + std::to_string(sats) +
                          "</td><td>" + htmlEscape(o["scriptPubKey"]["asm"].get<std::string>().substr(0, 400)) +
                          "</td></tr>\n";
              }
              page += "</table>\n</body></html>\n";
              sendText(res, page, 200, "text/html");
          });
}

void Devnet::Impl::setUpWoc(httplib::SSLServer& s) {
    const std::string w = kWoc;
    auto txJsonHandler = [this](bool withBlock) {
        return [this, withBlock](const httplib::Request& req, httplib::Response& res) {
            TxRecord rec;
            if (!ledger.tx(req.matches[1], rec)) return sendText(res, "Not Found", 404);
            sendJson(res, ledgerTxJson(rec, ledger.status().tip.height, withBlock));
        };
    };
    route(s, "GET", w + "/tx/" + kTxidRe, txJsonHandler(true));
    route(s, "GET", w + "/tx/hash/" + kTxidRe, txJsonHandler(true));
    route(s, "GET", w + "/tx/" + kTxidRe + "/decoded", txJsonHandler(false));
    route(s, "GET", w + "/tx/" + kTxidRe + "/hex", [this](const httplib::Request& req, httplib::Response& res) {
        TxRecord rec;
        if (!ledger.tx(req.matches[1], rec)) return sendText(res, "Not Found", 404);
        sendText(res, hex_encode(rec.raw));
    });
    route(s, "POST", w + "/tx/raw", [this](const httplib::Request& req, httplib::Response& res) {
        json body = parseBody(req.body);
        if (!body.is_object() || !body.contains("txhex") || !body["txhex"].is_string())
            return sendText(res, "body must be {\"txhex\": hex}", 400);
        SubmitResult r = ledger.submit(hex_decode(body["txhex"].get<std::string>()));
        if (r.accepted) return sendJson(res, r.txid);
        sendText(res, wocRejectText(r), 400);
    });
    route(s, "GET", w + "/chain/info", [this](const httplib::Request&, httplib::Response& res) {
        LedgerStatus st = ledger.status();
        sendJson(res, {{"chain", "main"}, {"blocks", st.tip.height}, {"headers", st.tip.height},
                       {"bestblockhash", st.tip.hash}, {"mediantime", st.tip.time}});
    });

    const std::string a = w + "/address/" + kAddrRe;
    auto history = [this](HistoryKind kind, bool wrapped) {
        return [this, kind, wrapped](const httplib::Request& req, httplib::Response& res) {
            std::string address = req.matches[1];
            if (!validAddress(address)) return sendJson(res, {{"error", "Invalid address"}}, 400);
            json list = json::array();
            for (const HistoryEntry& e : ledger.history(address, kind)) {
                json item = {{"tx_hash", e.txid}};
                if (kind != HistoryKind::Unconfirmed) item["height"] = std::max<int64_t>(e.height, 0);
                list.push_back(std::move(item));
            }
            if (!wrapped) return sendJson(res, list);
            sendJson(res, {{"address", address}, {"script", addressScriptHex(address)}, {"result", list}, {"error", ""}});
        };
    };
    route(s, "GET", a + "/history", history(HistoryKind::All, false));
    route(s, "GET", a + "/confirmed/history", history(HistoryKind::Confirmed, true));
    route(s, "GET", a + "/unconfirmed/history", history(HistoryKind::Unconfirmed, true));

    // Unspent lists: which outputs each form shows, and whether it is paged.
    enum class Form { Short, All, Confirmed, Unconfirmed };
    auto unspent = [this](Form form) {
        return [this, form](const httplib::Request& req, httplib::Response& res) {
            std::string address = req.matches[1];
            if (!validAddress(address)) return sendJson(res, {{"error", "Invalid address"}}, 400);
            std::vector<Utxo> utxos = ledger.unspent(address);
            json list = json::array();
            for (const Utxo& u : utxos) {
                const bool confirmed = u.height >= 0;
                if (form == Form::Short && u.spentInMempool) continue;
                if (form == Form::Confirmed && !confirmed) continue;
                if (form == Form::Unconfirmed && confirmed) continue;
                json item = {{"tx_hash", u.txid}, {"tx_pos", u.vout}, {"value", u.sats}};
                if (form != Form::Unconfirmed) item["height"] = confirmed ? u.height : 0;
                if (form != Form::Short) {
                    item["isSpentInMempoolTx"] = u.spentInMempool;
                    item["status"] = confirmed ? "confirmed" : "unconfirmed";
                }
                list.push_back(std::move(item));
            }
            if (form == Form::Short) return sendJson(res, list);
            json out = {{"address", address}, {"script", addressScriptHex(address)}, {"error", ""}};
            if (form == Form::All) {
                size_t offset = 0;
                if (req.has_param("token") && !readPageToken(req.get_param_value("token"), offset))
                    return sendJson(res, {{"error", "invalid token"}}, 400);
                const size_t page = std::max<size_t>(options.unspentPageSize, 1);
                json slice = json::array();
                for (size_t i = offset; i < list.size() && i < offset + page; ++i) slice.push_back(list[i]);
                if (offset + page < list.size()) out["nextPageToken"] = pageToken(offset + page);
                list = std::move(slice);
            }
            out["result"] = std::move(list);
            sendJson(res, out);
        };
    };
    route(s, "GET", a + "/unspent", unspent(Form::Short));
    route(s, "GET", a + "/unspent/all", unspent(Form::All));
    route(s, "GET", a + "/confirmed/unspent", unspent(Form::Confirmed));
    route(s, "GET", a + "/unconfirmed/unspent", unspent(Form::Unconfirmed));

    route(s, "GET", a + "/balance", [this](const httplib::Request& req, httplib::Response& res) {
        std::string address = req.matches[1];
        if (!validAddress(address)) return sendJson(res, {{"error", "Invalid address"}}, 400);
        Balance b = ledger.balance(address);
        sendJson(res, {{"confirmed", b.confirmed}, {"unconfirmed", b.unconfirmed}});
    });
    route(s, "POST", w + "/addresses/balance", [this](const httplib::Request& req, httplib::Response& res) {
        json body = parseBody(req.body);
        if (!body.is_object() || !body.contains("addresses") || !body["addresses"].is_array() ||
            body["addresses"].size() > kMaxBalanceAddresses)
            return sendJson(res, {{"error", "body must be {\"addresses\": [up to 100 addresses]}"}}, 400);
        json out = json::array();
        for (const json& item : body["addresses"]) {
            std::string address = item.is_string() ? item.get<std::string>() : std::string();
            if (!validAddress(address)) {
                out.push_back({{"address", address}, {"balance", {{"confirmed", 0}, {"unconfirmed", 0}}},
                               {"error", "Invalid address"}});
                continue;
            }
            Balance b = ledger.balance(address);
            out.push_back({{"address", address},
                           {"balance", {{"confirmed", b.confirmed}, {"unconfirmed", b.unconfirmed}}},
                           {"error", ""}});
        }
        sendJson(res, out);
    });
}

void Devnet::Impl::setUpArc(httplib::SSLServer& s) {
    auto statusOf = [this](const std::string& txid, json& out) {
        TxRecord rec;
        if (!ledger.tx(txid, rec)) return false;
        out = {{"txid", rec.txid},
               {"txStatus", rec.height >= 0 ? "MINED" : "SEEN_ON_NETWORK"},
               {"blockHash", rec.blockHash},
               {"blockHeight", std::max<int64_t>(rec.height, 0)},
               {"extraInfo", ""},
               {"status", 200},
               {"title", "OK"},
               {"timestamp", nowSeconds()}};
        return true;
    };
    route(s, "POST", "/arc/v1/tx", [this, statusOf](const httplib::Request& req, httplib::Response& res) {
        // ARC takes {"rawTx": hex}, or the hex or bytes themselves as the body.
        Bytes raw;
        const std::string type = req.get_header_value("Content-Type");
        if (type.starts_with("application/octet-stream")) {
            raw.assign(req.body.begin(), req.body.end());
        } else if (type.starts_with("text/plain")) {
            raw = hex_decode(req.body);
        } else {
            json body = parseBody(req.body);
            if (!body.is_object() || !body.contains("rawTx") || !body["rawTx"].is_string())
                return sendJson(res, {{"status", 400}, {"title", "Bad request"}, {"detail", "body must be {\"rawTx\": hex}"},
                                      {"txStatus", "REJECTED"}, {"extraInfo", "bad request"}},
                                400);
            raw = hex_decode(body["rawTx"].get<std::string>());
        }
        SubmitResult r = ledger.submit(raw);
        json out;
        if (r.accepted || r.reject == Reject::AlreadyKnown) {
            if (!statusOf(r.txid, out)) return sendJson(res, {{"error", "ledger lost the transaction"}}, 500);
            return sendJson(res, out);
        }
        out = {{"txid", r.txid}, {"extraInfo", r.reason}, {"timestamp", nowSeconds()}};
        switch (r.reject) {
        case Reject::Conflict:
            out.update({{"txStatus", "DOUBLE_SPEND_ATTEMPTED"}, {"status", 200}, {"title", "OK"}});
            return sendJson(res, out);
        case Reject::MissingInputs:
            out.update({{"txStatus", "REJECTED"}, {"status", 200}, {"title", "OK"}});
            return sendJson(res, out);
        case Reject::LowFee:
            out.update({{"txStatus", "REJECTED"}, {"status", 465}, {"title", "Fee too low"}, {"detail", r.reason}});
            return sendJson(res, out, 465);
        case Reject::BadScript:
            out.update({{"txStatus", "REJECTED"}, {"status", 461}, {"title", "Unlocking scripts invalid"},
                        {"detail", r.reason}});
            return sendJson(res, out, 461);
        case Reject::Malformed:
        case Reject::NonStandard:
        case Reject::BelowOut:
        case Reject::AlreadyKnown:
        case Reject::None:
            break;
        }
        out.update({{"txStatus", "REJECTED"}, {"status", 463}, {"title", "Malformed transaction"}, {"detail", r.reason}});
        sendJson(res, out, 463);
    });
    route(s, "GET", std::string("/arc/v1/tx/") + kTxidRe,
          [statusOf](const httplib::Request& req, httplib::Response& res) {
              json out;
              if (!statusOf(req.matches[1], out))
                  return sendJson(res, {{"status", 404}, {"title", "Not found"}, {"txStatus", "UNKNOWN"}}, 404);
              sendJson(res, out);
          });
    route(s, "GET", "/arc/v1/policy", [this](const httplib::Request&, httplib::Response& res) {
        sendJson(res, {{"policy", {{"miningFee", {{"satoshis", options.minFeeRate}, {"bytes", 1000}}}}},
                       {"timestamp", nowSeconds()}});
    });
}

void Devnet::Impl::setUpControl(httplib::SSLServer& s) {
    route(
        s, "POST", "/devnet/fund",
        [this](const httplib::Request& req, httplib::Response& res) {
            json body = parseBody(req.body);
            if (!body.is_object() || !body.contains("address") || !body["address"].is_string() ||
                !body.contains("sats") || !body["sats"].is_number_integer())
                return sendJson(res, {{"error", "body must be {\"address\": text, \"sats\": integer, \"confirm\": bool}"}},
                                400);
            bool confirm = body.contains("confirm") && body["confirm"].is_boolean() && body["confirm"].get<bool>();
            std::string txid, error;
            const std::string address = body["address"].get<std::string>();
            const int64_t sats = body["sats"].get<int64_t>();
            if (!ledger.fund(address, sats, txid, error)) return sendJson(res, {{"error", error}}, 400);
            json out = {{"txid", txid}, {"vout", 0}, {"sats", sats}, {"address", address}, {"confirmed", false}};
            if (confirm) {
                BlockInfo b;
                if (!ledger.mine(b, error)) return sendJson(res, {{"error", error}}, 500);
                out["confirmed"] = true;
                out["height"] = b.height;
            }
            sendJson(res, out);
        });
    auto mine = [this](const httplib::Request& req, httplib::Response& res) {
        int64_t blocks = 1;
        json body = parseBody(req.body);
        if (body.is_object() && body.contains("blocks")) {
            if (!body["blocks"].is_number_integer() || body["blocks"].get<int64_t>() < 1 ||
                body["blocks"].get<int64_t>() > 1000)
                return sendJson(res, {{"error", "blocks must be 1..1000"}}, 400);
            blocks = body["blocks"].get<int64_t>();
        }
        BlockInfo b;
        int64_t confirmed = 0;
        for (int64_t i = 0; i < blocks; ++i) {
            std::string error;
            if (!ledger.mine(b, error)) return sendJson(res, {{"error", error}}, 500);
            confirmed += b.txCount;
        }
        sendJson(res, {{"height", b.height}, {"hash", b.hash}, {"time", b.time}, {"txs", confirmed}});
    };
    route(s, "POST", "/devnet/mine", mine);
    route(s, "GET", "/devnet/feed",
          [this](const httplib::Request& req, httplib::Response& res) { handleFeed(req, res); });
    route(
        s, "GET", "/devnet/status",
        [this](const httplib::Request&, httplib::Response& res) {
            LedgerStatus st = ledger.status();
            sendJson(res, {{"height", st.tip.height},
                           {"tip", st.tip.hash},
                           {"tip_time", st.tip.time},
                           {"mempool", st.mempool},
                           {"txs", st.txs},
                           {"utxos", st.utxos},
                           {"faults", faults.pending()},
                           {"network", network()}});
        });
    route(
        s, "POST", "/devnet/fault",
        [this](const httplib::Request& req, httplib::Response& res) {
            std::string error;
            if (!faults.add(parseBody(req.body), error)) return sendJson(res, {{"error", error}}, 400);
            sendJson(res, {{"ok", true}, {"pending", faults.pending()}});
        });
    auto clear = [this](const httplib::Request&, httplib::Response& res) {
        faults.clear();
        sendJson(res, {{"ok", true}, {"pending", 0}});
    };
    route(s, "POST", "/devnet/fault/clear", clear);
    route(s, "DELETE", "/devnet/fault", clear);
    route(
        s, "POST", "/devnet/storm",
        [this](const httplib::Request& req, httplib::Response& res) {
            std::string error;
            if (!storm.start(parseBody(req.body), error)) return sendJson(res, {{"error", error}}, 400);
            sendJson(res, storm.report());
        });
    auto calm = [this](const httplib::Request&, httplib::Response& res) {
        storm.stop();
        sendJson(res, storm.report());
    };
    route(s, "POST", "/devnet/storm/stop", calm);
    route(s, "DELETE", "/devnet/storm", calm);
    route(
        s, "GET", "/devnet/storm",
        [this](const httplib::Request&, httplib::Response& res) { sendJson(res, storm.report()); });
    route(
        s, "GET", "/devnet/polls",
        [this](const httplib::Request&, httplib::Response& res) { sendJson(res, storm.polls()); });
    route(
        s, "POST", "/devnet/paymail-add",
        [this](const httplib::Request& req, httplib::Response& res) {
            json body = parseBody(req.body);
            auto alias = body.is_object() ? body.find("alias") : body.end();
            auto address = body.is_object() ? body.find("address") : body.end();
            if (!body.is_object() || alias == body.end() || !alias->is_string() || address == body.end() ||
                !address->is_string())
                return sendJson(res, {{"error", "body must be {\"alias\": text, \"address\": text}"}}, 400);
            std::string error;
            if (!directory.hostAlias(alias->get<std::string>(), address->get<std::string>(), error))
                return sendJson(res, {{"error", error}}, 400);
            sendJson(res, {{"paymail", lowerAscii(alias->get<std::string>()) + "@" + options.paymailDomain},
                           {"address", address->get<std::string>()}});
        });
    route(
        s, "POST", "/devnet/srv",
        [this](const httplib::Request& req, httplib::Response& res) {
            json body = parseBody(req.body);
            auto domain = body.is_object() ? body.find("domain") : body.end();
            auto list = body.is_object() ? body.find("records") : body.end();
            std::vector<SrvRecord> records;
            std::string error = "body must be {\"domain\": text, \"records\": [...]}";
            if (!body.is_object() || domain == body.end() || !domain->is_string() || list == body.end() ||
                !srvRecordsFromJson(*list, records, error) || !dns.setSrvRecords(domain->get<std::string>(), records, error))
                return sendJson(res, {{"error", error}}, 400);
            sendJson(res, {{"domain", domain->get<std::string>()}, {"records", records.size()}});
        });
    route(
        s, "POST", "/devnet/settings",
        [this](const httplib::Request& req, httplib::Response& res) {
            json body = parseBody(req.body);
            if (!body.is_object()) return sendJson(res, {{"error", "body must be a JSON object"}}, 400);
            std::lock_guard<std::mutex> lock(mutex);
            if (auto it = body.find("published_version"); it != body.end()) {
                if (!it->is_string()) return sendJson(res, {{"error", "published_version must be text"}}, 400);
                publishedVersion = it->get<std::string>();
            }
            if (auto it = body.find("gbp"); it != body.end()) {
                if (!it->is_number()) return sendJson(res, {{"error", "gbp must be a number"}}, 400);
                gbpPerCoin = it->get<double>();
            }
            sendJson(res, {{"published_version", publishedVersion}, {"gbp", gbpPerCoin}});
        });
}

// The ledger for a platform run apart: transactions after a sequence number and blocks above
// a height, at once when there are any, else when the first comes or the wait ends.
void Devnet::Impl::handleFeed(const httplib::Request& req, httplib::Response& res) {
    int64_t after = 0, height = -1, wait = 0, limit = 100;
    auto param = [&req](const char* name, size_t digits, int64_t& out) {
        return !req.has_param(name) || readDecimal(req.get_param_value(name), digits, out);
    };
    if (!param("after", 18, after) || !param("wait", 4, wait) || !param("limit", 4, limit))
        return sendJson(res, {{"error", "after, wait and limit must be whole numbers"}}, 400);
    if (req.has_param("height")) {
        const std::string h = req.get_param_value("height");
        if (h == "-1") height = -1;
        else if (!readDecimal(h, 18, height)) return sendJson(res, {{"error", "height must be a block height"}}, 400);
    } else {
        height = ledger.status().tip.height;  // no height asked: only blocks from now on
    }
    wait = std::clamp<int64_t>(wait, 0, kMaxFeedWaitSeconds);
    limit = std::clamp<int64_t>(limit, 1, 1000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
    std::vector<FeedTx> txs;
    std::vector<MinedBlock> blocks;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen = ledgerChanges;
        }
        txs = ledger.txsAfter(after, size_t(limit));
        blocks = ledger.blocksAbove(height, kFeedBlocks);
        if (!txs.empty() || !blocks.empty()) break;
        std::unique_lock<std::mutex> lock(mutex);
        if (!feedWake.wait_until(lock, deadline, [&] { return stopping || ledgerChanges != seen; }) || stopping) break;
    }
    json list = json::array();
    int64_t cursor = after;
    for (const FeedTx& t : txs) {
        list.push_back({{"seq", t.seq}, {"txid", t.txid}, {"hex", hex_encode(t.raw)}, {"height", t.height},
                        {"seen_ms", t.seenMs}});
        cursor = t.seq;
    }
    json blockList = json::array();
    int64_t reached = height;
    for (const MinedBlock& b : blocks) {
        blockList.push_back({{"height", b.height}, {"txids", b.txids}});
        reached = b.height;
    }
    if (blocks.empty()) reached = std::min(height, ledger.status().tip.height);
    sendJson(res, {{"txs", list}, {"cursor", cursor}, {"blocks", blockList}, {"height", reached}});
}

void Devnet::Impl::minerLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    const auto interval = std::chrono::seconds(options.blockIntervalSeconds);
    while (!stopping) {
        if (wake.wait_for(lock, interval, [this] { return stopping; })) break;
        lock.unlock();
        BlockInfo b;
        std::string error;
        (void)ledger.mine(b, error);
        lock.lock();
    }
}

namespace {

// The socket the library last made for listening; set while binding.
thread_local socket_t tLastListenSocket = -1;

// Binds on loopback (any free port for 0) and reports the port, or 0 on failure.
int bindLoopback(httplib::SSLServer& srv, int port) {
    tLastListenSocket = -1;
    int bound = port == 0 ? srv.bind_to_any_port("127.0.0.1") : (srv.bind_to_port("127.0.0.1", port) ? port : 0);
    // The library listens with a backlog of 5: fifty phones reconnecting at once would have
    // their connections dropped and retried a second later. Linux lets listen() raise it.
    if (bound > 0 && tLastListenSocket >= 0) ::listen(tLastListenSocket, kListenBacklog);
    return bound;
}

std::unique_ptr<httplib::SSLServer> makeServer(const TlsFiles& tls) {
    auto srv = std::make_unique<httplib::SSLServer>(tls.serverCertPath.c_str(), tls.serverKeyPath.c_str());
    if (!srv->is_valid()) return nullptr;
    // Made on the thread that binds it: the pointer names that thread's tLastListenSocket.
    service::tuneServer(*srv, kWorkerThreads, kMaxBody, &tLastListenSocket);
    return srv;
}

// Waits until a listening thread has entered its accept loop, so that stop() reaches it.
bool waitRunning(httplib::SSLServer& srv) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!srv.is_running()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

Devnet::Devnet() : impl_(std::make_unique<Impl>()) {}

Devnet::~Devnet() { stop(); }

bool Devnet::start(const DevnetOptions& options, std::string& error) {
    stop();
    impl_ = std::make_unique<Impl>();
    Impl& d = *impl_;
    d.options = options;
    d.publishedVersion = options.publishedVersion;
    d.gbpPerCoin = options.gbpPerCoin;
    if (options.dataDir.empty() || !ensureDirectory(options.dataDir)) {
        error = "cannot create the data folder " + options.dataDir;
        return false;
    }
    if (!d.ledger.open(options.dataDir, options.minFeeRate, error) || !d.directory.open(options.dataDir, error) ||
        !ensureTlsFiles(options.dataDir + "/tls", options.serviceDomain, options.paymailDomain, d.tls, error,
                        options.hostNames))
        return false;
    if (!options.caExportPath.empty() && !writeFileAtomic(options.caExportPath, d.tls.caPem)) {
        error = "cannot write the CA certificate to " + options.caExportPath;
        return false;
    }
    service::PlatformOptions po;
    po.domain = options.serviceDomain;
    po.indexAll = true;
    d.platform = std::make_unique<service::Platform>(
        po, service::makeSqliteStorage(options.dataDir + "/directory.sqlite"),
        std::make_unique<LedgerSource>(d.ledger, [&d] { d.ledgerChanged(); }));
    if (!d.platform->start(error)) return false;

    d.service = makeServer(d.tls);
    d.paymailCopy = makeServer(d.tls);
    d.paymailHost = makeServer(d.tls);
    if (!d.service || !d.paymailCopy || !d.paymailHost) {
        error = "cannot load the TLS certificate and key from " + options.dataDir + "/tls";
        return false;
    }
    d.platform->addRoutes(*d.service);
    d.setUpService(*d.service);
    d.setUpWoc(*d.service);
    d.setUpArc(*d.service);
    d.setUpControl(*d.service);
    d.route(*d.paymailCopy, "GET", "/api/bsvalias/address/([^/]+)",
            [&d](const httplib::Request& req, httplib::Response& res) { d.handleAddressLookup(req, res); });
    d.setUpPaymail(*d.paymailHost);
    d.service->set_pre_routing_handler(d.preRouting("service", d.serviceRequests));
    d.paymailCopy->set_pre_routing_handler(d.preRouting("directory", d.directoryRequests));
    d.paymailHost->set_pre_routing_handler(d.preRouting("paymail", d.paymailRequests));

    d.servicePort = bindLoopback(*d.service, options.servicePort);
    if (d.servicePort <= 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(options.servicePort) + " (is another devnet running?)";
        return false;
    }
    d.directoryPort = bindLoopback(*d.paymailCopy, options.directoryPort);
    if (d.directoryPort <= 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(options.directoryPort) + " (is another devnet running?)";
        return false;
    }
    d.paymailPort = bindLoopback(*d.paymailHost, options.paymailPort);
    if (d.paymailPort <= 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(options.paymailPort) + " (is another devnet running?)";
        return false;
    }
    if (!d.dns.start(options.dnsPort, error)) return false;
    d.serviceThread = std::thread([&d] { d.service->listen_after_bind(); });
    d.directoryThread = std::thread([&d] { d.paymailCopy->listen_after_bind(); });
    d.paymailThread = std::thread([&d] { d.paymailHost->listen_after_bind(); });
    if (!waitRunning(*d.service) || !waitRunning(*d.paymailCopy) || !waitRunning(*d.paymailHost)) {
        error = "the servers did not start";
        stop();
        return false;
    }
    if (options.blockIntervalSeconds > 0) d.minerThread = std::thread([&d] { d.minerLoop(); });
    return true;
}

void Devnet::stop() {
    if (!impl_) return;
    Impl& d = *impl_;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
    }
    d.wake.notify_all();
    d.feedWake.notify_all();
    if (d.service) d.service->stop();
    if (d.paymailCopy) d.paymailCopy->stop();
    if (d.paymailHost) d.paymailHost->stop();
    // Ends the push waits, which would otherwise hold the servers' threads to their end.
    if (d.platform) d.platform->stop();
    if (d.serviceThread.joinable()) d.serviceThread.join();
    if (d.directoryThread.joinable()) d.directoryThread.join();
    if (d.paymailThread.joinable()) d.paymailThread.join();
    if (d.minerThread.joinable()) d.minerThread.join();
    // Only now that no handler is left: the status page reads the DNS server's port, and the
    // control routes set its records.
    d.dns.stop();
    d.service.reset();
    d.paymailCopy.reset();
    d.paymailHost.reset();
    d.platform.reset();
    d.ledger.close();
    d.directory.close();
}

int Devnet::servicePort() const { return impl_->servicePort; }
int Devnet::directoryPort() const { return impl_->directoryPort; }
int Devnet::paymailPort() const { return impl_->paymailPort; }
int Devnet::dnsPort() const { return impl_->dns.port(); }

bool Devnet::setSrvRecords(const std::string& domain, const std::vector<SrvRecord>& records, std::string& error) {
    return impl_->dns.setSrvRecords(domain, records, error);
}

size_t Devnet::requestCount(const std::string& server) const {
    if (server == "service") return impl_->serviceRequests;
    if (server == "directory") return impl_->directoryRequests;
    if (server == "paymail") return impl_->paymailRequests;
    if (server == "dns") return impl_->dns.packets();
    return 0;
}
std::string Devnet::caPem() const { return impl_->tls.caPem; }
std::string Devnet::caPath() const { return impl_->tls.caPath; }
nlohmann::json Devnet::networkJson() const { return impl_->network(); }
Ledger& Devnet::ledger() { return impl_->ledger; }
Directory& Devnet::directory() { return impl_->directory; }
service::Platform& Devnet::platform() { return *impl_->platform; }
FaultTable& Devnet::faults() { return impl_->faults; }

}  // namespace dialo::devnet
