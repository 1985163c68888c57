#include "core/discovery/tailscale_local_api.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

extern char** environ;

namespace tarvel::discovery {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Extra time the reader waits past the watchdog's SIGKILL before giving up on
// EOF: a grandchild that inherited the pipe can keep it open after we killed
// our child, and must not hold us.
constexpr auto readSlack = 300ms;

std::chrono::milliseconds clampTimeout(std::chrono::milliseconds timeout) {
    // 0 would mean "no timeout" to libcurl; the upper bound keeps deadlines and
    // poll's int milliseconds from overflowing.
    return std::clamp(timeout, std::chrono::milliseconds(1),
                      std::chrono::milliseconds(std::chrono::hours(24)));
}

// ---- HTTP ----

struct CurlEasyDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

bool curlReady() {
    // A function-local static initialises once, even with concurrent callers.
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

struct BodySink {
    std::string body;
    std::size_t limit = 0;
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto* sink = static_cast<BodySink*>(user);
    const std::size_t length = size * count;
    if (length > sink->limit - sink->body.size()) {
        return 0;  // makes libcurl abort the transfer
    }
    try {
        sink->body.append(data, length);
    } catch (...) {
        return 0;  // an exception must not unwind through libcurl
    }
    return length;
}

// ---- Child process ----

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    void reset() noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
};

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    bool ready = posix_spawn_file_actions_init(&actions) == 0;
    ~SpawnActions() {
        if (ready) {
            posix_spawn_file_actions_destroy(&actions);
        }
    }
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    bool ready = posix_spawnattr_init(&attributes) == 0;
    ~SpawnAttributes() {
        if (ready) {
            posix_spawnattr_destroy(&attributes);
        }
    }
};

// Terminates one child if it outlives its time. Signals go to that PID only,
// and only until `cancel()` returns; the caller reaps the child afterwards, so
// the PID cannot have been reused by the time a signal is sent.
class Watchdog {
public:
    Watchdog(pid_t pid, std::chrono::milliseconds timeout)
        : pid_(pid), timeout_(timeout), thread_([this] { run(); }) {}
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() { cancel(); }

    void cancel() noexcept {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        auto cancelled = [this] { return cancelled_; };
        if (wake_.wait_for(lock, timeout_, cancelled)) {
            return;
        }
        ::kill(pid_, SIGTERM);
        if (wake_.wait_for(lock, TailscaleLocalAPI::killGrace, cancelled)) {
            return;
        }
        ::kill(pid_, SIGKILL);  // harmless on a child that already exited but is unreaped
    }

    const pid_t pid_;
    const std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool cancelled_ = false;
    std::thread thread_;  // last: starts once the fields above exist
};

std::optional<std::string> firstExecutable(const std::vector<std::string>& candidates) {
    for (const auto& path : candidates) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return std::nullopt;
}

// Starts `path status --json` with stdout on `stdoutFd`; the child's PID or nothing.
std::optional<pid_t> spawnTool(const std::string& path, int stdoutFd) {
    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.ready || !attributes.ready) {
        return std::nullopt;
    }
    // dup2 first, so opening 0 and 2 cannot clobber the pipe if it got a low number.
    if (posix_spawn_file_actions_adddup2(&actions.actions, stdoutFd, STDOUT_FILENO) != 0 ||
        posix_spawn_file_actions_addopen(&actions.actions, STDIN_FILENO, "/dev/null", O_RDONLY,
                                         0) != 0 ||
        posix_spawn_file_actions_addopen(&actions.actions, STDERR_FILENO, "/dev/null", O_WRONLY,
                                         0) != 0) {
        return std::nullopt;
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Our other descriptors (sockets, files) are none of the tool's business.
    if (posix_spawn_file_actions_addclosefrom_np(&actions.actions, STDERR_FILENO + 1) != 0) {
        return std::nullopt;
    }
#endif
    // A blocked or ignored SIGTERM inherited from a server thread would defeat
    // the watchdog; a default SIGPIPE lets the tool die once we stop reading.
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    if (posix_spawnattr_setsigmask(&attributes.attributes, &unblocked) != 0 ||
        posix_spawnattr_setsigdefault(&attributes.attributes, &defaults) != 0 ||
        posix_spawnattr_setflags(&attributes.attributes,
                                 POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) != 0) {
        return std::nullopt;
    }

    std::string program = path;
    std::string status = "status";
    std::string json = "--json";
    char* argv[] = {program.data(), status.data(), json.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions.actions, &attributes.attributes, argv,
                    environ) != 0) {
        return std::nullopt;
    }
    return pid;
}

// Reads to EOF, or nothing when the output exceeds `limit`, a read fails or
// `deadline` passes first.
std::optional<std::string> readAll(int fd, std::size_t limit, Clock::time_point deadline) {
    std::string output;
    char buffer[16384];
    while (true) {
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining <= 0ms) {
            return std::nullopt;
        }
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(remaining.count()));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return std::nullopt;
        }
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return std::nullopt;
        }
        if (count == 0) {
            return output;
        }
        if (static_cast<std::size_t>(count) > limit - output.size()) {
            return std::nullopt;
        }
        output.append(buffer, static_cast<std::size_t>(count));
    }
}

void waitForExitWithoutReaping(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
}

void reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::vector<std::string> TailscaleLocalAPI::defaultCLICandidates() {
    return {
        "/usr/local/bin/tailscale",
        "/opt/homebrew/bin/tailscale",
        "/Applications/Tailscale.app/Contents/MacOS/Tailscale",
        "/usr/bin/tailscale",
    };
}

TailscaleLocalAPI::TailscaleLocalAPI() : TailscaleLocalAPI(Config{}) {}

TailscaleLocalAPI::TailscaleLocalAPI(Config config) : config_(std::move(config)) {}

std::optional<TailscaleStatus> TailscaleLocalAPI::fetchStatus(
    std::chrono::milliseconds timeout) const {
    timeout = clampTimeout(timeout);
    if (config_.interfaces.hasTailscaleInterface()) {
        if (auto status = queryLocalAPI(timeout)) {
            return status;
        }
    }
    return runCLI(timeout);
}

std::optional<TailscaleStatus> TailscaleLocalAPI::queryLocalAPI(
    std::chrono::milliseconds timeout) const {
    if (!curlReady()) {
        return std::nullopt;
    }
    std::unique_ptr<CURL, CurlEasyDeleter> handle(curl_easy_init());
    if (!handle) {
        return std::nullopt;
    }
    std::unique_ptr<curl_slist, CurlListDeleter> headers(
        curl_slist_append(nullptr, "Sec-Tailscale: localapi"));
    if (!headers) {
        return std::nullopt;
    }
    BodySink sink;
    sink.limit = config_.maxOutputBytes;
    const long timeoutMs = static_cast<long>(timeout.count());
    CURL* curl = handle.get();
    bool configured =
        curl_easy_setopt(curl, CURLOPT_URL, config_.statusURL.c_str()) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) == CURLE_OK &&
        // Threads of a server must not get SIGALRM from name resolution.
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        // The daemon is on this machine; a proxy from the environment would see
        // the request and could answer for it.
        curl_easy_setopt(curl, CURLOPT_PROXY, "") == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "*") == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED)) ==
            CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(config_.maxOutputBytes)) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &appendBody) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink) == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075500
    configured = configured && curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK;
#else
    configured = configured &&
                 curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP)) ==
                     CURLE_OK;
#endif
    if (!configured || curl_easy_perform(curl) != CURLE_OK) {
        return std::nullopt;
    }
    long statusCode = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &statusCode) != CURLE_OK ||
        statusCode != 200) {
        return std::nullopt;
    }
    return TailscaleStatus::parse(wire::asBytes(sink.body));
}

std::optional<TailscaleStatus> TailscaleLocalAPI::runCLI(std::chrono::milliseconds timeout) const {
    timeout = clampTimeout(timeout);
    auto path = firstExecutable(config_.cliCandidates);
    if (!path) {
        return std::nullopt;
    }
    int fds[2];
    // Close-on-exec so no other child started meanwhile inherits the pipe.
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    const auto started = Clock::now();
    auto pid = spawnTool(*path, writeEnd.get());
    // Our copy of the write end must go, or EOF never arrives.
    writeEnd.reset();
    if (!pid) {
        return std::nullopt;
    }

    std::optional<Watchdog> watchdog;
    try {
        watchdog.emplace(*pid, timeout);
    } catch (...) {
        // No thread to bound the tool: do not let it run unbounded.
        ::kill(*pid, SIGKILL);
        reap(*pid);
        return std::nullopt;
    }

    auto output = readAll(readEnd.get(), config_.maxOutputBytes,
                          started + timeout + killGrace + readSlack);
    // A tool still writing gets EPIPE or SIGPIPE instead of blocking on a full pipe.
    readEnd.reset();
    waitForExitWithoutReaping(*pid);
    watchdog->cancel();
    reap(*pid);

    if (!output) {
        return std::nullopt;
    }
    return TailscaleStatus::parse(wire::asBytes(*output));
}

std::vector<std::string> TailscaleLocalAPI::candidateEndpoints(const TailscaleStatus& status,
                                                               std::uint16_t port) {
    std::vector<std::string> endpoints;
    const std::string portText = std::to_string(port);
    for (const auto& peer : status.peers) {
        if (!peer.online) {
            continue;
        }
        for (const auto& address : peer.tailscaleIPs) {
            if (LocalInterfaces::isTailscaleIPv4(address)) {
                endpoints.push_back(address + ":" + portText);
            }
        }
    }
    return endpoints;
}

}  // namespace tarvel::discovery
