#pragma once
// What a user does with a left message: keep it among the saved messages, or delete it for
// good (its id goes to the tomb, so the same tape found on chain again never comes back).
// Callers hold the phone-state mutex and save the store afterwards.

#include <string>
#include <vector>

#include "state/phone_state.h"

namespace dialo {

/// Drops the oldest inbox messages past the inbox's count and size caps, as a message arrives:
/// callers choose what lands here. (A load keeps what an older build stored beyond the size.)
void cap_inbox(std::vector<InboxMessage>& inbox);

/// Copies an inbox message into the saved list and marks it heard: from the next load on, the
/// inbox leaves it out, and the same tape found on chain again stays out. Its number in the
/// saved list; 0 when the inbox has no such message.
int save_inbox_message(PhoneState& st, const std::string& id) REQUIRES(phoneMutex());

enum class MessageList { Inbox, Saved, Both };

/// Removes a message from `from` into the tomb (a saved copy outlives its inbox message being
/// deleted, and the other way round). False when the list has no such message.
bool delete_message(PhoneState& st, const std::string& id, MessageList from = MessageList::Both) REQUIRES(phoneMutex());

}  // namespace dialo
