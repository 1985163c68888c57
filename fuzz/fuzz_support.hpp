// Helpers shared by the fuzz targets that read files or log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "core/base/log.hpp"

namespace tarvel::fuzz {

/// A broken property: names the line, then libFuzzer reports the input.
inline void check(bool condition, const char* file = __builtin_FILE(),
                  int line = __builtin_LINE()) {
    if (!condition) {
        std::fprintf(stderr, "property broken at %s:%d\n", file, line);
        __builtin_trap();
    }
}

/// Drops log lines: a bad file is logged on every input, which would only
/// slow the fuzzer down.
inline void quietLog() {
    static const bool once = [] {
        base::setLogSink([](std::string_view) {});
        return true;
    }();
    (void)once;
}

/// An empty folder of the process's own under the temporary directory,
/// emptied on every call.
inline std::filesystem::path freshFolder(std::string_view name) {
    static const std::filesystem::path root = [] {
        // Memory-backed when possible: the stores sync every write.
        const std::filesystem::path shm = "/dev/shm";
        std::error_code error;
        const auto base = std::filesystem::is_directory(shm, error)
                              ? shm
                              : std::filesystem::temp_directory_path();
        std::string pattern = (base / "tarvel-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();  // the harness itself cannot run
        }
        return std::filesystem::path(pattern);
    }();
    static const bool cleanedAtExit = [] {
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        });
        return true;
    }();
    (void)cleanedAtExit;
    const auto path = root / name;
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

inline void writeFile(const std::filesystem::path& path, const std::uint8_t* data,
                      std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace tarvel::fuzz
