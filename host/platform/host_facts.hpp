#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel::platform {

/// The name a host goes by when the system gives none.
inline constexpr std::string_view fallbackHostName = "Mac";

/// What the server needs to know about the computer it runs on, and the hook
/// that keeps the system from throttling it while it is controlled.
class HostFacts {
  public:
    virtual ~HostFacts() = default;

    /// The computer's user-visible name; never empty (`fallbackHostName` when
    /// the system gives none). Read afresh on every call so renames show up.
    virtual std::string hostName() = 0;

    /// "laptop" or "desktop".
    virtual std::string deviceKind() = 0;

    /// Starts the activity that keeps the host responsive while a paired device
    /// controls it. The server pairs every call with one `endActivity()`.
    virtual void beginActivity(std::string_view reason) = 0;

    /// Ends the activity started by the matching `beginActivity`.
    virtual void endActivity() = 0;
};

/// Host facts read from a Linux file-system tree.
///
/// Host name: PRETTY_HOSTNAME of <root>/etc/machine-info (shell-style
/// assignments) when set to something other than blanks, else the kernel host
/// name, else `fallbackHostName`. Device kind: "laptop" when some entry of
/// <root>/sys/class/power_supply is a battery that powers the system (type
/// "Battery", scope absent or other than "Device"), else "desktop". The
/// activity is a no-op here; it is only counted.
///
/// Thread-safe: nothing is cached, the counters are atomic.
class LinuxHostFacts final : public HostFacts {
  public:
    /// The kernel host name, or nothing when it cannot be read.
    using HostnameReader = std::function<std::optional<std::string>()>;

    /// Reads gethostname(2); nothing on failure or an empty name.
    static HostnameReader systemHostname();

    /// Facts of the tree at `root`; `readHostname` stands in for gethostname (an
    /// empty function gives no kernel name).
    explicit LinuxHostFacts(std::filesystem::path root = "/",
                            HostnameReader readHostname = systemHostname());

    std::string hostName() override;
    std::string deviceKind() override;
    void beginActivity(std::string_view reason) override;
    void endActivity() override;

    /// How many activities were begun and ended so far.
    std::size_t activitiesBegun() const noexcept { return begun_.load(); }
    std::size_t activitiesEnded() const noexcept { return ended_.load(); }

  private:
    std::filesystem::path root_;
    HostnameReader readHostname_;
    std::atomic<std::size_t> begun_{0};
    std::atomic<std::size_t> ended_{0};
};

/// The value assigned to `key` in shell-style KEY=value text, as systemd reads
/// /etc/machine-info: '#' and ';' start comment lines; values may mix bare,
/// '…' and "…" parts; a backslash escapes the next character outside quotes
/// and one of " \ ` $ inside double quotes; backslash-newline continues a line;
/// trailing blanks of a bare part are dropped. The last assignment wins. An
/// assignment with an unterminated quote is ignored. Nothing when unassigned.
std::optional<std::string> shellAssignment(std::string_view text, std::string_view key);

}  // namespace tarvel::platform
