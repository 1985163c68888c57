#pragma once

// Where the desktop tests find the private X server and Avahi daemon that
// scripts/with-desktop starts. They never use the ambient $DISPLAY or system
// bus: injecting into someone's real session, or announcing on a real network,
// is not a test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace tarvel::testing {

/// Set by the test command: a missing desktop is then a failure, not a skip.
inline bool desktopRequired() {
    const char* value = std::getenv("TARVEL_REQUIRE_DESKTOP");
    return value != nullptr && std::string(value) == "1";
}

/// Set by scripts/with-desktop when it started Avahi for the test command.
inline bool avahiRequired() {
    const char* value = std::getenv("TARVEL_REQUIRE_AVAHI");
    return value != nullptr && std::string(value) == "1";
}

/// The test X server's display name, or nothing.
inline std::optional<std::string> testDisplay() {
    const char* value = std::getenv("TARVEL_TEST_DISPLAY");
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

/// True when a private Avahi daemon is reachable on the private system bus.
inline bool testAvahi() {
    const char* value = std::getenv("TARVEL_TEST_AVAHI");
    return value != nullptr && std::string(value) == "1" &&
           std::getenv("DBUS_SYSTEM_BUS_ADDRESS") != nullptr;
}

}  // namespace tarvel::testing

/// In a test body or fixture SetUp: skips (or fails, under the test command)
/// without a test X server; else declares `std::string displayName`.
#define TARVEL_REQUIRE_TEST_DISPLAY(displayName)                                           \
    const auto displayName##Found = ::tarvel::testing::testDisplay();                     \
    if (!displayName##Found) {                                                            \
        if (::tarvel::testing::desktopRequired()) {                                       \
            FAIL() << "TARVEL_TEST_DISPLAY is not set: run under scripts/with-desktop";  \
        }                                                                                 \
        GTEST_SKIP() << "no test X server: run under scripts/with-desktop";              \
    }                                                                                     \
    const std::string displayName = *displayName##Found

/// Skips (or fails, where scripts/with-desktop started Avahi under the test
/// command) without the private Avahi daemon; only root can start one.
#define TARVEL_REQUIRE_TEST_AVAHI()                                                        \
    if (!::tarvel::testing::testAvahi()) {                                                \
        if (::tarvel::testing::avahiRequired()) {                                         \
            FAIL() << "no private Avahi daemon: run under scripts/with-desktop as root";  \
        }                                                                                 \
        GTEST_SKIP() << "no private Avahi daemon: run under scripts/with-desktop as root"; \
    }
