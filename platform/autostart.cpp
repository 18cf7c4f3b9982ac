#include "platform/autostart.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/files.h"
#include "platform/paths.h"

namespace dialo {
namespace {

std::string autostartFolder() {
    // A relative XDG_CONFIG_HOME is invalid by the base-directory rules and is ignored.
    std::string config = envText("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') {
        const std::string home = envText("HOME");
        if (home.empty()) return {};
        config = home + "/.config";
    }
    return config + "/autostart";
}

// One argument of an Exec line: quoted, with the characters that stay special inside double
// quotes escaped; then the escapes every string value takes ('\' doubled, so a literal
// backslash ends up as four); then '%' doubled, as field codes are expanded first.
std::string execArgument(std::string_view arg) {
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string out;
    for (char c : quoted) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '%': out += "%%"; break;
            default: out += c;
        }
    }
    return out;
}

// "Key=value" lines of the [Desktop Entry] group: the value of `key`, or nothing.
bool entryValue(std::string_view text, std::string_view key, std::string& value) {
    bool inMain = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        const size_t eq = line.find('=');
        if (!inMain || eq == std::string_view::npos) continue;
        std::string_view name = line.substr(0, eq);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        if (name != key) continue;
        std::string_view v = line.substr(eq + 1);
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        value = std::string(v);
        return true;
    }
    return false;
}

}  // namespace

std::string startupEntryPath() {
    const std::string folder = autostartFolder();
    return folder.empty() ? std::string() : folder + "/dialo.desktop";
}

std::string startupEntryText(const std::string& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Dialo\n"
           "Exec=" + execArgument(program) + "\n"
           "Icon=dialo\n"
           "X-GNOME-Autostart-enabled=true\n"
           "Terminal=false\n";
}

bool registeredForStartup() {
    const std::string path = startupEntryPath();
    std::string text;
    if (path.empty() || !readWholeFile(path, text)) return false;
    std::string value;
    // Either of these makes the session pass the entry by, as a user's settings tool writes them.
    if (entryValue(text, "Hidden", value) && value == "true") return false;
    if (entryValue(text, "X-GNOME-Autostart-enabled", value) && value == "false") return false;
    return entryValue(text, "Exec", value) && value.size() >= 3 && value.front() == '"';
}

bool toggleStartup(std::string& error) {
    const std::string path = startupEntryPath();
    if (path.empty()) {
        error = "No home folder to keep the start-up entry in.";
        return false;
    }
    if (registeredForStartup()) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = "Cannot remove " + path + ".";
            return false;
        }
        return true;
    }
    const std::string program = programPath();
    if (program.empty()) {
        error = "Cannot tell where this program is.";
        return false;
    }
    if (!ensureDirectory(path.substr(0, path.find_last_of('/'))) || !writeFileAtomic(path, startupEntryText(program))) {
        error = "Cannot write " + path + ".";
        return false;
    }
    return true;
}

}  // namespace dialo
