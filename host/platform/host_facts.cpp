#include "host/platform/host_facts.hpp"

#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

namespace tarvel::platform {

namespace {

bool isBlank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trimmed(std::string_view text) noexcept {
    while (!text.empty() && (isBlank(text.front()) || text.front() == '\n')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (isBlank(text.back()) || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return std::move(contents).str();
}

// Reads one value after '='; leaves `pos` after the end of its logical line.
// Nothing when a quote is left open.
std::optional<std::string> readValue(std::string_view text, std::size_t& pos) {
    const std::size_t n = text.size();
    while (pos < n && isBlank(text[pos])) {
        ++pos;
    }
    std::string value;
    // Length of `value` up to its last character that trailing-blank trimming must keep.
    std::size_t keep = 0;
    while (pos < n) {
        const char c = text[pos];
        if (c == '\n') {
            ++pos;
            break;
        }
        if (c == '\\') {
            if (pos + 1 >= n) {
                ++pos;
                break;
            }
            const char next = text[pos + 1];
            pos += 2;
            if (next != '\n') {
                value += next;
                keep = value.size();
            }
            continue;
        }
        if (c == '\'') {
            const std::size_t close = text.find('\'', pos + 1);
            if (close == std::string_view::npos) {
                pos = n;
                return std::nullopt;
            }
            value.append(text.substr(pos + 1, close - pos - 1));
            keep = value.size();
            pos = close + 1;
            continue;
        }
        if (c == '"') {
            ++pos;
            bool closed = false;
            while (pos < n) {
                const char d = text[pos];
                if (d == '"') {
                    closed = true;
                    ++pos;
                    break;
                }
                if (d == '\\' && pos + 1 < n) {
                    const char e = text[pos + 1];
                    pos += 2;
                    if (e == '\n') {
                        continue;
                    }
                    // Inside double quotes only these lose their backslash, as in the shell.
                    if (e != '"' && e != '\\' && e != '`' && e != '$') {
                        value += '\\';
                    }
                    value += e;
                    continue;
                }
                value += d;
                ++pos;
            }
            if (!closed) {
                return std::nullopt;
            }
            keep = value.size();
            continue;
        }
        value += c;
        if (!isBlank(c)) {
            keep = value.size();
        }
        ++pos;
    }
    value.resize(keep);
    return value;
}

}  // namespace

std::optional<std::string> shellAssignment(std::string_view text, std::string_view key) {
    std::optional<std::string> result;
    const std::size_t n = text.size();
    std::size_t pos = 0;
    while (pos < n) {
        while (pos < n && isBlank(text[pos])) {
            ++pos;
        }
        if (pos >= n) {
            break;
        }
        const char first = text[pos];
        if (first == '\n') {
            ++pos;
            continue;
        }
        if (first == '#' || first == ';') {
            const std::size_t end = text.find('\n', pos);
            pos = end == std::string_view::npos ? n : end + 1;
            continue;
        }
        const std::size_t keyStart = pos;
        while (pos < n && text[pos] != '=' && text[pos] != '\n') {
            ++pos;
        }
        if (pos >= n || text[pos] == '\n') {
            // Not an assignment: skip the line.
            continue;
        }
        const std::string_view name = trimmed(text.substr(keyStart, pos - keyStart));
        ++pos;
        std::optional<std::string> value = readValue(text, pos);
        if (name == key && value) {
            result = std::move(value);
        }
    }
    return result;
}

LinuxHostFacts::HostnameReader LinuxHostFacts::systemHostname() {
    return []() -> std::optional<std::string> {
        char buffer[HOST_NAME_MAX + 1] = {};
        if (::gethostname(buffer, sizeof buffer) != 0) {
            return std::nullopt;
        }
        // POSIX leaves a truncated name unterminated.
        buffer[HOST_NAME_MAX] = '\0';
        std::string name(buffer);
        if (name.empty()) {
            return std::nullopt;
        }
        return name;
    };
}

LinuxHostFacts::LinuxHostFacts(std::filesystem::path root, HostnameReader readHostname)
    : root_(std::move(root)), readHostname_(std::move(readHostname)) {}

std::string LinuxHostFacts::hostName() {
    if (auto text = readFile(root_ / "etc" / "machine-info")) {
        if (auto pretty = shellAssignment(*text, "PRETTY_HOSTNAME")) {
            // A name of blanks would advertise as nothing; treat it as unset.
            if (!trimmed(*pretty).empty()) {
                return *pretty;
            }
        }
    }
    if (readHostname_) {
        if (auto kernel = readHostname_(); kernel && !trimmed(*kernel).empty()) {
            return *kernel;
        }
    }
    return std::string(fallbackHostName);
}

std::string LinuxHostFacts::deviceKind() {
    const std::filesystem::path supplies = root_ / "sys" / "class" / "power_supply";
    std::error_code ec;
    std::filesystem::directory_iterator it(supplies, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const auto type = readFile(it->path() / "type");
        if (!type || trimmed(*type) != "Battery") {
            continue;
        }
        // A mouse's or phone's battery reports scope "Device"; it says nothing
        // about what powers this computer.
        const auto scope = readFile(it->path() / "scope");
        if (!scope || trimmed(*scope) != "Device") {
            return "laptop";
        }
    }
    return "desktop";
}

void LinuxHostFacts::beginActivity(std::string_view /*reason*/) {
    begun_.fetch_add(1);
}

void LinuxHostFacts::endActivity() {
    ended_.fetch_add(1);
}

}  // namespace tarvel::platform
