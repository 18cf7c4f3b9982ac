#pragma once
// What the phone store keeps: settings and the lists of one handle.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace dialo {

constexpr size_t kInboxCap = 2000;  // messages kept in the answer-phone inbox
constexpr size_t kInboxBytesCap = 24u << 20;  // and their audio: over four hours of GSM
constexpr size_t kCallsCap = 80;    // call-history records kept

/// A screen position that may not have been saved yet.
struct CardPosition {
    int32_t x = 0;
    int32_t y = 0;
    bool valid = false;
};

/// Card kinds as stored in "boxes"; index 0 is unused.
enum CardKind : int {
    CardContacts = 1,
    CardAnswerPhone = 2,
    CardSaved = 3,
    CardSettings = 4,
    CardHistory = 5,
    CardFees = 6,
    CardBlocked = 7,
};
constexpr int kCardKinds = 7;

/// User settings kept in the shared file (and copied into each handle's file).
/// The playback volume lives apart, in an atomic (see phone_state.h).
struct PhoneSettings {
    bool admin = false;
    int theme = 0;       // colour theme 0..3
    int notify = 0;      // 0 all, 1 sound, 2 vibrate, 3 off
    bool bsv = false;    // amounts shown in BSV rather than satoshis
    std::string output;  // chosen output device id (UTF-8); empty = no choice
    std::string input;   // chosen microphone's device id (UTF-8); empty = the default
    CardPosition mainPos;
    std::array<CardPosition, kCardKinds + 1> cardPos{};  // by CardKind
};

struct SavedMessage {
    int32_t n = 0;
    std::string id;
    std::string from;
    Bytes audio;  // GSM 6.10 frames
    std::string txid;
};

struct InboxMessage {
    std::string id;
    std::string from;
    Bytes audio;  // GSM 6.10 frames
    std::string txid;
    int64_t ts = 0;    // Unix seconds
    int32_t secs = 0;  // seconds of voice
};

/// The transactions a call was made of: its events each way, listed up to a bound and counted
/// in full, so that a user can check what a call cost and where it went.
constexpr size_t kReceiptTxids = 50;
struct CallReceipt {
    std::vector<std::string> sent;   // txids of events this phone sent, in order
    std::vector<std::string> heard;  // txids of the peer's events this phone acted on
    std::vector<std::string> sentKinds;   // each sent event's kind ("invite", "audio", ...), beside `sent`
    std::vector<std::string> heardKinds;  // the same for `heard`; records written before kinds have none
    int32_t sentCount = 0;
    int32_t heardCount = 0;
    std::string feeTxid;  // the call fee's payment, when one was made
    int64_t feeSats = 0;  // what it cost, its transaction fee included
};

struct CallRecord {
    std::string from;
    std::string to;
    int32_t secs = 0;   // duration, seconds
    int64_t sats = 0;   // satoshis spent on the call
    int64_t ts = 0;     // Unix seconds
    bool missed = false;
    bool hide = false;  // hidden from the default history view
    std::string id;
    std::string txid;
    CallReceipt receipt;
};

/// A transaction whose call event this phone acted on, kept a while so that a restarted phone
/// does not act on it again.
struct HandledTxid {
    std::string txid;
    std::string callId;  // of an invite that rang: a copy of it must not ring again
    int64_t at = 0;      // Unix seconds when it was handled
};

/// The lists of the handle whose file is loaded.
struct HandleBoxes {
    bool answerphone = false;
    std::vector<std::string> blocked;  // lower-cased bare handles
    std::vector<std::string> heard;    // inbox ids saved into `saved`
    std::vector<std::string> tomb;     // ids of deleted messages
    std::vector<SavedMessage> saved;
    std::vector<CallRecord> calls;     // oldest first
    std::vector<InboxMessage> inbox;   // oldest first
    std::vector<HandledTxid> handled;  // oldest first; the last 30 minutes
};

}  // namespace dialo
