#include "store/messages.h"

#include <algorithm>

#include "store/handle_switch.h"

namespace dialo {
namespace {

void appendOnce(std::vector<std::string>& list, const std::string& id) {
    if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(id);
}

}  // namespace

void cap_inbox(std::vector<InboxMessage>& inbox) {
    size_t bytes = 0, keep = 0;
    for (auto it = inbox.rbegin(); it != inbox.rend() && keep < kInboxCap; ++it, ++keep) {
        if (bytes + it->audio.size() > kInboxBytesCap) break;
        bytes += it->audio.size();
    }
    inbox.erase(inbox.begin(), inbox.begin() + ptrdiff_t(inbox.size() - keep));
}

int save_inbox_message(PhoneState& st, const std::string& id) {
    HandleBoxes& b = st.boxes;
    auto it = std::find_if(b.inbox.begin(), b.inbox.end(), [&](const InboxMessage& m) { return m.id == id; });
    if (id.empty() || it == b.inbox.end()) return 0;
    renumber_saved(st);
    const int n = int(b.saved.size()) + 1;
    b.saved.push_back({n, it->id, it->from, it->audio, it->txid});
    renumber_saved(st);
    appendOnce(b.heard, id);  // the inbox copy stays until the next load, which leaves it out
    return n;
}

bool delete_message(PhoneState& st, const std::string& id, MessageList from) {
    HandleBoxes& b = st.boxes;
    if (id.empty()) return false;
    size_t removed = 0, fromSaved = 0;
    if (from != MessageList::Saved) removed += std::erase_if(b.inbox, [&](const InboxMessage& m) { return m.id == id; });
    if (from != MessageList::Inbox) {
        fromSaved = std::erase_if(b.saved, [&](const SavedMessage& m) { return m.id == id; });
        removed += fromSaved;
    }
    if (removed == 0) return false;
    appendOnce(b.tomb, id);
    if (fromSaved > 0) renumber_saved(st);
    return true;
}

}  // namespace dialo
