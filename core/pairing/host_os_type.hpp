#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel::pairing {

/// The host operating systems the protocol names; raw values travel on the wire.
enum class HostOSType { macos, windows };

inline constexpr std::array<HostOSType, 2> allHostOSTypes{HostOSType::macos, HostOSType::windows};

inline constexpr std::string_view rawValue(HostOSType os) noexcept {
    return os == HostOSType::macos ? "macos" : "windows";
}

/// Exact match on the raw value; any other text is no operating system.
inline std::optional<HostOSType> hostOSType(std::string_view raw) noexcept {
    for (HostOSType os : allHostOSTypes) {
        if (raw == rawValue(os)) {
            return os;
        }
    }
    return std::nullopt;
}

/// What kind of device a host is; shown by clients next to its name.
enum class HostDeviceKind { phone, tablet, laptop, desktop };

inline constexpr std::array<HostDeviceKind, 4> allHostDeviceKinds{
    HostDeviceKind::phone, HostDeviceKind::tablet, HostDeviceKind::laptop, HostDeviceKind::desktop};

inline constexpr std::string_view rawValue(HostDeviceKind kind) noexcept {
    switch (kind) {
        case HostDeviceKind::phone:
            return "phone";
        case HostDeviceKind::tablet:
            return "tablet";
        case HostDeviceKind::laptop:
            return "laptop";
        case HostDeviceKind::desktop:
            return "desktop";
    }
    return "desktop";
}

/// Exact match on the raw value, nothing otherwise.
inline std::optional<HostDeviceKind> hostDeviceKind(std::string_view raw) noexcept {
    for (HostDeviceKind kind : allHostDeviceKinds) {
        if (raw == rawValue(kind)) {
            return kind;
        }
    }
    return std::nullopt;
}

/// Lenient reading of a peer's value: absent or unknown text is a desktop.
inline HostDeviceKind hostDeviceKindFromWire(const std::optional<std::string>& wire) noexcept {
    if (!wire) {
        return HostDeviceKind::desktop;
    }
    return hostDeviceKind(std::string_view(*wire)).value_or(HostDeviceKind::desktop);
}

}  // namespace tarvel::pairing
