#pragma once

// A pairing tarveld, clients established with it through the real client
// session, and readers of what it recorded and of its memory.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/platform/client_session.hpp"
#include "tests/tools/daemon_process.hpp"

namespace tarvel::testing {

/// tarveld on one free port with --pair, recording to `dir`/events.jsonl
/// unless given another sink. Under ASan a small quarantine keeps freed
/// memory from counting as growth.
struct LiveHost {
    explicit LiveHost(const std::filesystem::path& dir, std::vector<std::string> environment = {},
                      const std::string& sink = {})
        : port(freePort()), events(dir / "events.jsonl") {
        const char* asan = std::getenv("ASAN_OPTIONS");
        environment.push_back("ASAN_OPTIONS=quarantine_size_mb=4" + (asan ? std::string(":") + asan : ""));
        daemon.emplace(std::vector<std::string>{TARVELD_PATH, "--data-dir", (dir / "data").string(),
                                                "--sink", sink.empty() ? "record:" + events.string() : sink,
                                                "--pair", "--ports", rangeOf(port)},
                       std::move(environment));
        EXPECT_EQ(daemon->waitFor("Listening on port ", 20s), std::to_string(port));
    }

    std::string address() const { return "127.0.0.1:" + std::to_string(port); }
    /// The code on display; the first one is printed at start, later ones on SIGUSR1.
    std::string nextCode() {
        if (codesShown++ > 0) {
            daemon->signal(SIGUSR1);
        }
        return daemon->waitFor("Pairing code: ", 10s).value_or("");
    }

    std::uint16_t port;
    std::filesystem::path events;
    std::optional<Daemon> daemon;
    int codesShown = 0;
};

/// A ClientSession and what it reported, waited for with bounds.
class LiveClient {
  public:
    using Start = platform::ClientSession::Start;

    LiveClient(const std::string& endpoint, const std::string& name, Start start,
               std::optional<security::LocalIdentity> identity = std::nullopt) {
        platform::ClientSession::Config config{
            security::ClientDescriptor{identity ? *identity : security::LocalIdentity::generate(),
                                       name, "Test Model"},
            {endpoint}};
        platform::ClientSession::Callbacks callbacks;
        callbacks.established = [this](const client::ControlClient::Established& session, bool) {
            notify([&] { established_ = session; });
        };
        callbacks.ended = [this](client::ClientError error, bool) {
            notify([&] { ended_ = error; });
        };
        session_ = platform::ClientSession::create(std::move(config), std::move(start),
                                                   std::move(callbacks));
        session_->start();
    }
    ~LiveClient() { session_->close(); }
    LiveClient(const LiveClient&) = delete;
    LiveClient& operator=(const LiveClient&) = delete;

    /// The established session, or nothing when it failed or took too long.
    std::optional<client::ControlClient::Established> established(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return established_ || ended_; });
        return established_;
    }
    std::optional<client::ClientError> ended() {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    platform::ClientSession& session() { return *session_; }

  private:
    template <class F>
    void notify(F change) {
        {
            std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<client::ControlClient::Established> established_;
    std::optional<client::ClientError> ended_;
    std::shared_ptr<platform::ClientSession> session_;
};

/// Pairs a new device named `name` with the code on display; the host's record of it.
inline std::optional<pairing::PairedHostRecord> pairDevice(LiveHost& host, const std::string& name,
                                                           security::LocalIdentity identity) {
    LiveClient client(host.address(), name,
                      platform::ClientSession::Pair{host.nextCode(), std::nullopt}, identity);
    const auto session = client.established(10s);
    return session ? std::optional(session->host) : std::nullopt;
}

/// One recorded key event.
struct RecordedKey {
    int keyCode = 0;
    bool down = false;
    friend bool operator==(const RecordedKey&, const RecordedKey&) = default;
};
inline std::ostream& operator<<(std::ostream& out, const RecordedKey& key) {
    return out << key.keyCode << (key.down ? "v" : "^");
}

/// The key events recorded at `path`; `others` counts the lines that are not one.
inline std::vector<RecordedKey> recordedKeys(const std::filesystem::path& path,
                                             std::size_t* others = nullptr) {
    std::vector<RecordedKey> keys;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        const auto json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_object() && json.value("op", "") == "key") {
            keys.push_back({json.value("keyCode", -1), json.value("down", false)});
        } else if (others != nullptr) {
            ++*others;
        }
    }
    return keys;
}

/// The resident set of process `pid` in KiB, 0 when unreadable.
inline long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

}  // namespace tarvel::testing
