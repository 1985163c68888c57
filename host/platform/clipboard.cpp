#include "host/platform/clipboard.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace tarvel::platform {

std::string clipboardRecordLine(std::string_view utf8) {
    nlohmann::ordered_json object;
    object["op"] = "clipboard";
    object["text"] = std::string(utf8);
    // Replacing keeps a stray byte from turning into an exception mid-recording.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

RecordingClipboard::RecordingClipboard(std::ostream& out) : out_(&out) {}

RecordingClipboard::RecordingClipboard(LineWriter write) : write_(std::move(write)) {}

bool RecordingClipboard::setText(std::string_view utf8) {
    std::string line = clipboardRecordLine(utf8);
    std::lock_guard guard(mutex_);
    texts_.emplace_back(utf8);
    if (write_) {
        write_(line);
    }
    if (out_ == nullptr) {
        return true;
    }
    // Whole lines flushed at once: another writer doing the same never lands mid-line.
    line += '\n';
    out_->write(line.data(), static_cast<std::streamsize>(line.size()));
    out_->flush();
    return out_->good();
}

std::vector<std::string> RecordingClipboard::texts() const {
    std::lock_guard guard(mutex_);
    return texts_;
}

}  // namespace tarvel::platform
