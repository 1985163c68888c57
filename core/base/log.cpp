#include "core/base/log.hpp"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace tarvel::base {

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(std::string_view)>& customSink() {
    static std::function<void(std::string_view)> sink;
    return sink;
}

/// Whether standard error is the journal's stream: systemd sets
/// JOURNAL_STREAM to "device:inode" of the stream it connected.
bool stderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat status {};
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2 ||
        ::fstat(STDERR_FILENO, &status) != 0) {
        return true;  // set but not checkable: trust it rather than log twice
    }
    return status.st_dev == device && status.st_ino == inode;
}

/// Standard error alone reaches a person on a terminal and the journal;
/// anywhere else (a file, /dev/null, a pipe) the system log carries the line too.
bool alsoSystemLog() {
    static const bool decided = ::isatty(STDERR_FILENO) != 1 && !stderrIsJournal();
    return decided;
}

}  // namespace

void logLine(std::string_view message) {
    std::string line = "Tarvel: ";
    line.append(message);
    std::lock_guard lock(sinkMutex());
    if (auto& sink = customSink()) {
        sink(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    if (alsoSystemLog()) {
        syslog(LOG_USER | LOG_NOTICE, "%s", line.c_str());
    }
}

void setLogSink(std::function<void(std::string_view line)> sink) {
    std::lock_guard lock(sinkMutex());
    customSink() = std::move(sink);
}

}  // namespace tarvel::base
