#pragma once
// The wallet's periodic status refresh: re-read the wallet file, scan the addresses, report
// the status record, and publish the handle by a claim. It sits above the wallet client
// because publishing the handle is the identity layer's work.

namespace dialo {

/// Scans, reports the status record and publishes the handle. Takes the wallet state lock
/// for its whole run, network included; what a display needs is published on the way
/// (wallet/published.h).
void refresh_status();

}  // namespace dialo
