#pragma once

// A pairing tarveld recording what it injects, clients established with it
// through the real client session, and readers of its record and memory.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/platform/client_session.hpp"
#include "tests/tools/daemon_process.hpp"

namespace tarvel::testing {

/// tarveld on one free port with --pair, recording to `dir`/events.jsonl.
/// Its output is read all along, so a chatty daemon never blocks on a full
/// pipe. Under ASan a small quarantine keeps freed memory from counting as growth.
class LiveHost {
  public:
    explicit LiveHost(const std::filesystem::path& dir)
        : port(freePort()), events(dir / "events.jsonl") {
        std::string asan = "ASAN_OPTIONS=quarantine_size_mb=4";
        if (const char* kept = std::getenv("ASAN_OPTIONS")) {
            asan += std::string(":") + kept;
        }
        daemon.emplace(std::vector<std::string>{TARVELD_PATH, "--data-dir", (dir / "data").string(),
                                                "--sink", "record:" + events.string(), "--pair",
                                                "--ports", rangeOf(port)},
                       std::vector<std::string>{asan});
        reader_ = std::thread([this] {
            while (!stop_) {
                const auto deadline = Clock::now() + 50ms;
                if (auto line = daemon->readLine(deadline)) {
                    {
                        std::lock_guard lock(mutex_);
                        lines_.push_back(std::move(*line));
                    }
                    arrived_.notify_all();
                } else {
                    std::this_thread::sleep_until(deadline);  // at the end of output too
                }
            }
        });
        EXPECT_EQ(waitFor("Listening on port ", 20s), std::to_string(port));
    }
    ~LiveHost() {
        stop_ = true;
        reader_.join();
    }
    LiveHost(const LiveHost&) = delete;
    LiveHost& operator=(const LiveHost&) = delete;

    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

    /// The rest of the first unread line starting with `prefix`.
    std::optional<std::string> waitFor(std::string_view prefix, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        std::optional<std::string> found;
        arrived_.wait_for(lock, limit, [&] {
            for (; read_ < lines_.size() && !found; ++read_) {
                if (lines_[read_].starts_with(prefix)) {
                    found = lines_[read_].substr(prefix.size());
                }
            }
            return found.has_value();
        });
        return found;
    }

    /// The code on display; the first one is printed at start, later ones on SIGUSR1.
    std::string nextCode() {
        if (codesShown_++ > 0) {
            daemon->signal(SIGUSR1);
        }
        auto code = waitFor("Pairing code: ", 10s).value_or("");
        std::erase(code, ' ');
        return code;
    }

    std::uint16_t port;
    std::filesystem::path events;
    std::optional<Daemon> daemon;  // read by this host's own thread only

  private:
    int codesShown_ = 0;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> lines_;
    std::size_t read_ = 0;
    std::atomic<bool> stop_{false};
    std::thread reader_;
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
        callbacks.pong = [this](std::chrono::nanoseconds) { notify([&] { ++pongs_; }); };
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
    /// Whether a ping is answered within `limit`.
    bool pings(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        const int before = pongs_;
        lock.unlock();
        if (!session_->ping()) {
            return false;
        }
        lock.lock();
        return changed_.wait_for(lock, limit, [&] { return pongs_ > before; });
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
    int pongs_ = 0;
    std::shared_ptr<platform::ClientSession> session_;
};

/// Pairs a new device named `name` with the code on display; the host's record of it.
inline std::optional<pairing::PairedHostRecord> pairDevice(LiveHost& host, const std::string& name,
                                                           security::LocalIdentity identity) {
    LiveClient client(host.address(), name,
                      platform::ClientSession::Pair{host.nextCode(), std::nullopt}, identity);
    const auto session = client.established(10s);
    if (!session) {
        return std::nullopt;
    }
    return session->host;
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

/// The record's lines as JSON, with the number of lines that are not.
struct Record {
    std::vector<nlohmann::json> lines;
    std::size_t unreadable = 0;

    static Record read(const std::filesystem::path& path) {
        Record record;
        std::ifstream file(path);
        for (std::string line; std::getline(file, line);) {
            auto parsed = nlohmann::json::parse(line, nullptr, false);
            if (parsed.is_discarded()) {
                ++record.unreadable;
            } else {
                record.lines.push_back(std::move(parsed));
            }
        }
        return record;
    }
    std::vector<RecordedKey> keys() const {
        std::vector<RecordedKey> keys;
        for (const auto& line : lines) {
            if (line.value("op", "") == "key") {
                keys.push_back({line.value("keyCode", -1), line.value("down", false)});
            }
        }
        return keys;
    }
};

/// The PID of this process's child running `program`, -1 when there is none.
inline pid_t childRunning(const std::filesystem::path& program) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // The parent's PID is the second field after the parenthesised name.
        const auto close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 1));
        std::string state;
        long parent = 0;
        rest >> state >> parent;
        if (parent == ::getpid() &&
            std::filesystem::equivalent(entry.path() / "exe", program, error)) {
            return static_cast<pid_t>(std::stol(name));
        }
    }
    return -1;
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
