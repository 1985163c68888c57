#pragma once
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tarvel::mapping::test {

inline std::string readText(const std::filesystem::path& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace tarvel::mapping::test
