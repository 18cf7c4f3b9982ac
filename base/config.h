#pragma once
// The "network" and "audio" objects of the shared phone file. The store reads them at
// start-up and writes back only "audio.chunk_ms", a setting: a user or a test edits the file
// to point the phone elsewhere. Absent keys take the built-in values, which are those of the
// local devnet.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace dialo {

/// Where a host name is connected instead of where DNS would send it.
struct HostPin {
    std::string address;  // IPv4
    int port = 0;         // 0: the URL's own port
};

// The built-in values a configuration starts from: the local devnet's, or the main network's
// public services, where the platform host and the fee addresses are the user's to name.
enum class NetworkProfile { Devnet, Main };

struct NetworkConfig {
    NetworkProfile profile = NetworkProfile::Devnet;
    std::string unknownProfile;  // a "network.profile" that names none (the devnet's values are used)
    std::string serviceDomain = "orvane.test";  // the platform host and paymail domain
    std::string serviceAddress = "127.0.0.1";   // fixed IPv4 address the platform host is pinned to
    int servicePort = 24443;                    // HTTPS port of the platform host
    int directoryPort = 25443;                  // same-machine copy of the paymail directory
    std::string wocBase = "https://127.0.0.1:24443/woc/v1/bsv/main";  // WhatsOnChain API base
    std::string arcBase = "https://127.0.0.1:24443/arc";              // ARC base ("/v1/tx" follows)
    std::string updateBase = "https://127.0.0.1:24443";               // update page and pound rate
    std::string explorerBase = "https://127.0.0.1:24443/explorer";    // "/tx/<txid>" is a transaction's page
    // Sent to WhatsOnChain and to ARC as each documents; never written to any output or log.
    std::string wocApiKey;
    std::string arcApiKey;
    // The built-in fee addresses are those of private keys 1 and 2, which anyone can sweep:
    // they hold only on the devnet; any other network must name its own or events stay unsent.
    std::string eventFeeAddress = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";  // 1 sat per event
    std::string callFeeAddress = "1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP";    // the penny per call
    int64_t maxCallFeeSats = 100000;  // a pound rate asking more than this pays no fee
    // Events learnt by push where the platform offers it; false: the listing is polled, as
    // against an older platform (a comparison, or a proxy that cuts held requests).
    bool push = true;
    std::string caFile;  // CA bundle trusted for these hosts only; empty: the devnet's, on the devnet
    // Every service on this machine's loopback: the local devnet, where the built-in fee
    // addresses, its CA and loopback paymail domains are allowed.
    bool devnet = true;
    // Both empty on a real install. The devnet serves paymail hosts and their DNS on loopback
    // ports, so a phone pointed at it asks that DNS server and connects those hosts there.
    std::string dnsServer;  // "IPv4[:PORT]" asked for SRV records (port 53 by default); empty: the system's resolver
    std::map<std::string, HostPin> hosts;  // lower-case host name, or "*.domain" for its subdomains
};

enum class AudioBackend { Pulse, File, None };

inline constexpr uint32_t kDefaultChunkMs = 800;  // the written rule's 0.8 s
inline constexpr uint32_t kMinChunkMs = 100;
inline constexpr uint32_t kMaxChunkMs = 2000;     // a chunk carries at most 2 s

struct AudioConfig {
    AudioBackend backend = AudioBackend::Pulse;
    std::string inputWav;   // "file" backend: microphone read from this WAV in real time
    std::string outputWav;  // "file" backend: playback written to this WAV in real time
    uint32_t outputRate = 48000;  // "file" backend: the output's frames per second
    uint32_t outputChannels = 2;
    bool outputFloat = true;      // 32-bit float samples, else 16-bit integers
    std::string server;           // "pulse" backend: the server to use; empty: the desktop's own
    bool echo = false;            // "file" backend: the microphone hears what was played, 1 s later
    // Sound a live chunk gathers once voice was heard, milliseconds: the call's delay, against
    // a transaction per chunk. The one key of "audio" the phone writes back (the Settings
    // card's "Call delay", dialo-phone's call-delay).
    uint32_t chunkMs = kDefaultChunkMs;
    bool chunkMsSet = false;  // in the file or chosen since: written back on each save
};

/// Current configuration (a copy; safe on any thread).
NetworkConfig networkConfig();
AudioConfig audioConfig();

/// Replaces the audio configuration (a front end that brings its own sound).
void setAudioConfig(const AudioConfig& audio);

/// Sets the live chunk length, held to 100..2000 ms; what was set.
uint32_t setChunkMs(int64_t ms);

/// Reads both objects out of a parsed shared file; keys that are absent or of the wrong type
/// keep the built-in values of the profile ("network.profile", "devnet" when absent or unknown).
/// Never throws.
void applyConfigDocument(const nlohmann::json& shared);

/// A profile named on the command line, over the file's; false for a name that is none.
[[nodiscard]] bool setProfileOverride(std::string_view name);

/// "devnet" or "main"; false for anything else.
[[nodiscard]] bool parseProfile(std::string_view name, NetworkProfile& out);
const char* profileName(NetworkProfile profile);

/// The network as the phone and the wallet show it: "devnet", "main network", or "custom
/// network" (the devnet's profile pointed at services off this machine).
std::string networkLabel(const NetworkConfig& net);

/// "IPv4" or "IPv4:PORT" (port 1 to 65535); false for anything else.
[[nodiscard]] bool parseHostPin(std::string_view text, HostPin& out);

/// The pin of a host name: its own entry, else the nearest "*." entry above it.
[[nodiscard]] bool pinnedHost(const NetworkConfig& net, std::string_view host, HostPin& out);

/// The CA bundle to trust for the configured hosts: the configured one, else on the devnet the
/// devnet's default place, else none (empty).
std::string caFilePath();

/// Where the devnet exports its CA unless told otherwise.
std::string devnetCaPath();

/// The lower-case host of an "https://host[:port]/..." URL; empty for anything else.
std::string urlHost(std::string_view url);

/// Whether the configured CA bundle may vouch for `host`: the platform host (and its
/// subdomains), the WhatsOnChain, ARC, update and explorer hosts, the pinned host names, and
/// this machine's address when the same-machine directory is in use. Every other host is
/// checked against the system's roots alone.
[[nodiscard]] bool caVouchesFor(const NetworkConfig& net, std::string_view host);

/// Whether the same-machine copy of the directory is asked: only where its certificate can be
/// checked (on the devnet, or with a CA bundle configured).
[[nodiscard]] bool sameMachineDirectory(const NetworkConfig& net);

}  // namespace dialo
