#pragma once
// Whether a newer build has been published: once per start the update page ("/dialo/" on the
// update site) is read on a thread of its own, and the version its text names is compared
// with this build's. The answer reaches the window as UiMessage::UpdateAvailable.

#include <string>
#include <string_view>

namespace dialo {

/// This build's version in thousandths (0.002), shown as "Version %.3f".
inline constexpr int kBuildVersion = 2;

/// A program's name and this build's version, "dialo 0.002", as `--version` prints it.
std::string versionLine(std::string_view program);

/// The version a page names, in thousandths, read from its last 24000 bytes as text: after
/// "current build" (or anywhere without it) the word "version", then ' ', ':', '=' or tabs,
/// then digits and dots; "0.003" gives 3, "7" gives 7. -1 when no version is found.
int extractVersion(std::string_view page);

/// The update page's body (at most 400000 bytes); empty on any failure or a status outside
/// 200..399.
std::string fetchUpdatePage();

/// The download page's address, opened when the user asks for the newer build.
std::string updatePageUrl();

/// Fetches and reads the page, sets the update flag, and posts UpdateAvailable with
/// w = latest version + 1, or 0 when none was found. Blocks for the request.
void runUpdateCheck();

/// Runs runUpdateCheck on a detached thread, the first time only; false when a check had
/// already been started or no thread could be made.
bool startUpdateCheck();

/// Whether the latest published version is newer than this build; set by the check before it
/// posts, and read by the settings card.
bool updateAvailable();

}  // namespace dialo
