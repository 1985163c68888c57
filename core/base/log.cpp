#include "core/base/log.hpp"

#include <syslog.h>

#include <cstdio>
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
    syslog(LOG_USER | LOG_NOTICE, "%s", line.c_str());
}

void setLogSink(std::function<void(std::string_view line)> sink) {
    std::lock_guard lock(sinkMutex());
    customSink() = std::move(sink);
}

}  // namespace tarvel::base
