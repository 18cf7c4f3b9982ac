#include "app/update_check.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <climits>
#include <cmath>
#include <exception>

#include "base/config.h"
#include "base/detached.h"
#include "base/text.h"
#include "state/ui_bridge.h"
#include "wallet/http.h"

namespace dialo {
namespace {

constexpr size_t kPageCap = 400000;      // bytes read at most
constexpr size_t kSearchedTail = 24000;  // bytes at the page's end that are searched
// libcurl has one limit for resolving and connecting: the two 8-second limits together.
constexpr long kUpdateConnectMs = 16000;
// A send or a read that stalls this long ends the request (seconds without a byte).
constexpr long kStallSeconds = 15;

std::atomic<bool> gUpdateAvailable{false};
std::atomic<bool> gStarted{false};

// The page as text: the three spellings of a non-breaking space become spaces, then
// everything from a '<' to its '>' goes.
std::string pageText(std::string_view page) {
    std::string spaced;
    spaced.reserve(page.size());
    for (size_t i = 0; i < page.size();) {
        const std::string_view rest = page.substr(i);
        if (rest.starts_with("&nbsp;") || rest.starts_with("&#160;") || rest.starts_with("&NBSP;")) {
            spaced += ' ';
            i += 6;
        } else {
            spaced += page[i++];
        }
    }
    std::string out;
    out.reserve(spaced.size());
    bool inTag = false;
    for (char c : spaced) {
        if (inTag) inTag = c != '>';
        else if (c == '<') inTag = true;
        else out += c;
    }
    return out;
}

}  // namespace

std::string versionLine(std::string_view program) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d.%03d", kBuildVersion / 1000, kBuildVersion % 1000);
    return std::string(program) + " " + digits;
}

int extractVersion(std::string_view page) {
    if (page.size() > kSearchedTail) page = page.substr(page.size() - kSearchedTail);
    const std::string text = pageText(page);
    const std::string lower = lowerAscii(text);
    size_t at = lower.find("current build");
    at = lower.find("version", at == std::string::npos ? 0 : at + 13);
    if (at == std::string::npos) return -1;
    at += 7;
    while (at < text.size() && (text[at] == ' ' || text[at] == ':' || text[at] == '=' || text[at] == '\t')) ++at;
    size_t end = at;
    while (end < text.size() && ((text[end] >= '0' && text[end] <= '9') || text[end] == '.')) ++end;
    const char* first = text.data() + at;
    const char* last = text.data() + end;
    if (first == last) return -1;
    // Above this w = latest + 1 would not fit an int.
    constexpr double kMost = double(INT_MAX - 1);
    if (std::string_view(first, end - at).find('.') != std::string_view::npos) {
        double number = 0;
        auto [stop, ec] = std::from_chars(first, last, number, std::chars_format::fixed);
        if (ec != std::errc() || stop == first) return -1;
        const double thousandths = std::round(number * 1000);
        return thousandths >= 0 && thousandths <= kMost ? int(thousandths) : -1;
    }
    int number = 0;
    auto [stop, ec] = std::from_chars(first, last, number);
    if (ec != std::errc() || stop == first || number < 0 || number > INT_MAX - 1) return -1;
    return number;
}

std::string updatePageUrl() { return networkConfig().updateBase + "/dialo/"; }

std::string fetchUpdatePage() {
    try {
        GetReply reply = https_get(updatePageUrl(), {.connectMs = kUpdateConnectMs,
                                                     .stallSeconds = kStallSeconds,
                                                     .bodyCap = kPageCap,
                                                     .cutAtCap = true});
        if (reply.status < 200 || reply.status > 399) return {};
        return std::move(reply.body);
    } catch (const std::exception&) {
        return {};
    }
}

void runUpdateCheck() {
    int latest = -1;
    try {
        latest = extractVersion(fetchUpdatePage());
    } catch (const std::exception&) {
        latest = -1;
    }
    gUpdateAvailable = latest > kBuildVersion;
    postUi(UiMessage::UpdateAvailable, latest >= 0 ? intptr_t(latest) + 1 : 0);
}

bool startUpdateCheck() {
    if (gStarted.exchange(true)) return false;
    return startDetached(runUpdateCheck);
}

bool updateAvailable() { return gUpdateAvailable.load(); }

}  // namespace dialo
