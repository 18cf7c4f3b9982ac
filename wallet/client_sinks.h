#pragma once
// The two optional callbacks through which the wallet client reports progress: an event sink
// of records whose fields are joined by the byte 0x1F, and a text sink for human-readable
// lines. Both are read under one mutex and called after it is released.

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

namespace dialo {

using WalletEventSink = std::function<void(const std::string& record)>;
using WalletTextSink = std::function<void(const std::string& text)>;

/// Installs a sink (empty: none). Returns once no call of any sink is under way, so that what
/// the replaced sink refers to may go. Never call from inside a sink.
void set_wallet_event_sink(WalletEventSink sink);
void set_wallet_text_sink(WalletTextSink sink);

/// Whether spends emit their bookkeeping records ("[OV-SPEND]", "[OV-BALANCE]") and keep the
/// balance deduction behind them. The application chooses at start-up; off until it does.
void set_balance_records(bool on);
bool balance_records();

/// Sends one record: fields joined by 0x1F. Nothing happens without a sink.
void report_event(std::initializer_list<std::string_view> fields);

/// Sends a status text that begins "error: " as the wallet client's error record.
void report_error(std::string_view status);

/// Writes a human-readable line (the caller supplies the line feed).
void report_text(std::string_view text);

}  // namespace dialo
