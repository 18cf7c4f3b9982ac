#pragma once
// The aliases of the devnet's second paymail domain, added by hand, kept beside the platform's
// directory in <data>/directory.sqlite. One mutex serialises every call; nothing here throws.

#include <mutex>
#include <string>

#include "service/sqlite_db.h"

namespace dialo::devnet {

class Directory {
public:
    [[nodiscard]] bool open(const std::string& dir, std::string& error);
    void close();

    /// Hosts an alias on the devnet's second paymail domain, paid at `address` (replacing any
    /// earlier address). The alias is kept lower-cased.
    [[nodiscard]] bool hostAlias(const std::string& alias, const std::string& address, std::string& error);

    /// The address of an alias hosted on the second paymail domain.
    [[nodiscard]] bool hostedAddress(const std::string& alias, std::string& address);

private:
    std::mutex mutex_;
    service::SqlitePtr db_;  // guarded by mutex_
};

}  // namespace dialo::devnet
