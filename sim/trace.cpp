#include "sim/trace.h"

namespace sim {

namespace {

const char kHex[] = "0123456789ABCDEF";

void AppendHex(std::string& s, const uint8_t* data, size_t length) {
    s.reserve(s.size() + length * 2);
    for (size_t i = 0; i < length; ++i) {
        s.push_back(kHex[data[i] >> 4]);
        s.push_back(kHex[data[i] & 0xF]);
    }
}

std::string Hex(uint32_t v, int digits) {
    std::string s(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        s[static_cast<size_t>(i)] = kHex[v & 0xF];
        v >>= 4;
    }
    return s;
}

}  // namespace

std::string PipeName(int pipe, uint8_t endpoint) {
    if (pipe >= 0) return std::to_string(pipe);
    return "EP" + Hex(endpoint, 2);
}

void Trace::SetOptions(const TraceOptions& options) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
}

TraceOptions Trace::Options() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return options_;
}

void Trace::Add(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (options_.maxLines != 0 && lines_.size() >= options_.maxLines) {
        ++dropped_;
        return;
    }
    lines_.push_back(std::move(line));
}

void Trace::Vendor(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data) {
    std::string s = "VENDOR " + Hex(request, 2) + " " + Hex(value, 4) + " " + std::to_string(length);
    if (length > 0 && data != nullptr) {
        s += ' ';
        AppendHex(s, data, length);
    }
    Add(std::move(s));
}

void Trace::GetDescriptor(uint8_t type, uint8_t index, uint16_t length) {
    Add("GET_DESCRIPTOR " + std::to_string(type) + " " + std::to_string(index) + " " + std::to_string(length));
}

void Trace::OtherControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    Add("CONTROL " + Hex(requestType, 2) + " " + Hex(request, 2) + " " + Hex(value, 4) + " " + Hex(index, 4) + " " +
        std::to_string(length));
}

void Trace::SelectConfiguration(uint8_t value) { Add("SELECT_CONFIGURATION " + std::to_string(value)); }

void Trace::Deconfigure() { Add("DECONFIGURE"); }

void Trace::BulkOut(int pipe, uint8_t endpoint, uint32_t length, const uint8_t* data) {
    std::string s = "BULK_OUT " + PipeName(pipe, endpoint) + " " + std::to_string(length);
    if (length > 0 && data != nullptr) {
        s += ' ';
        AppendHex(s, data, length);
    }
    Add(std::move(s));
}

void Trace::BulkIn(int pipe, uint8_t endpoint, uint32_t requested, uint32_t delivered) {
    if (pipe == 2) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!options_.recordFramePipe) return;
    }
    Add("BULK_IN " + PipeName(pipe, endpoint) + " " + std::to_string(requested) + " " + std::to_string(delivered));
}

void Trace::ResetPipe(int pipe, uint8_t endpoint) { Add("RESET_PIPE " + PipeName(pipe, endpoint)); }

void Trace::GetPortStatus() { Add("GET_PORT_STATUS"); }

void Trace::ResetPort() { Add("RESET_PORT"); }

std::vector<std::string> Trace::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

size_t Trace::DroppedLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void Trace::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    dropped_ = 0;
}

bool Trace::WriteTo(FILE* file) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : lines_) {
        if (std::fputs(line.c_str(), file) < 0 || std::fputc('\n', file) == EOF) return false;
    }
    return std::fflush(file) == 0;
}

bool Trace::WriteTo(const std::string& path) const {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = WriteTo(f);
    if (std::fclose(f) != 0) ok = false;
    return ok;
}

}  // namespace sim
