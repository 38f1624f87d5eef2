// The request trace: one text line per request the camera receives, in the
// order it received them. The format is an interface (users compare it with
// captures of a real camera's traffic); sim/README.md documents it.
//
// Thread-safe. The camera records while holding its own lock; the trace's
// lock is always taken last.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct TraceOptions {
    // BULK_IN lines of the frame pipe (pipe 2): a long streaming run makes
    // 36 a frame; switch them off to keep only the control traffic.
    bool recordFramePipe = true;
    // Lines kept at most; 0 keeps every line. Lines past the cap are counted
    // in DroppedLines() and not stored, so the start of a run survives.
    size_t maxLines = 0;
};

class Trace {
public:
    void SetOptions(const TraceOptions& options);
    TraceOptions Options() const;

    void Vendor(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data);
    void GetDescriptor(uint8_t type, uint8_t index, uint16_t length);
    // Control requests the camera does not know; not part of the normal
    // traffic, recorded so that nothing received goes unseen.
    void OtherControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length);
    void SelectConfiguration(uint8_t value);
    void Deconfigure();
    void BulkOut(int pipe, uint8_t endpoint, uint32_t length, const uint8_t* data);
    void BulkIn(int pipe, uint8_t endpoint, uint32_t requested, uint32_t delivered);
    void ResetPipe(int pipe, uint8_t endpoint);
    void GetPortStatus();
    void ResetPort();

    std::vector<std::string> Lines() const;
    size_t DroppedLines() const;
    void Clear();
    // One line each, '\n'-terminated. False when the file cannot be written.
    bool WriteTo(FILE* file) const;
    bool WriteTo(const std::string& path) const;

private:
    void Add(std::string line);

    mutable std::mutex mutex_;
    TraceOptions options_;
    std::vector<std::string> lines_;
    size_t dropped_ = 0;
};

// "0", "1", "2" for the interface's pipes; "EPxx" for an endpoint the
// interface does not have.
std::string PipeName(int pipe, uint8_t endpoint);

}  // namespace sim
