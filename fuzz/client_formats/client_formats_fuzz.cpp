// Fuzz target: the formats a client hands the capture pin. An input is a
// list of steps, each a step byte and its arguments, on one freshly started
// camera with its filter open:
//   data intersection   a range (the pin's offered range with edits, or raw
//                       bytes) of any length, with any FormatSize not past
//                       that length, and a result buffer of 0, too few, just
//                       enough or more bytes
//   pin creation        a format (the intersection's result with edits, or
//                       raw bytes) of any length
//   set-format          the same, on the pin if one is open
//   state change        stop, acquire, pause or run, and back
//   frames              a client frame of any size queued on the pin
//   close               the pin
// Ranges and formats live in blocks of exactly their length, as the class
// would hand them on, so a read past one is a heap overflow.
//
// What must hold: an intersection that succeeds writes a format no longer
// than the buffer and says so in FormatSize; a refusal writes nothing past
// what it reports; every step keeps the platform's rules; closing and
// unplugging leave nothing behind.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "fuzz/support/fuzzed_driver.h"
#include "fuzz/support/fuzz_input.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr const char* kTarget = "client_formats";
constexpr size_t kMaxSteps = 24;
constexpr size_t kGuard = 64;
constexpr uint8_t kUnwritten = 0x5A;

struct Session {
    fuzzing::FuzzedDriver driver;
    std::unique_ptr<hostks::KsFilter> filter;
    std::unique_ptr<hostks::KsPin> pin;
    Bytes offeredRange;
    Bytes offeredFormat;
    std::deque<Bytes> frames;  // client frames queued on the pin
};

// A KSDATARANGE / KSDATAFORMAT of the input's choosing: a known one with a
// few bytes changed, or raw bytes; cut or grown to a length of the input's
// choosing, and with FormatSize never past that length (the class refuses a
// format larger than the buffer that carries it).
Bytes Shape(fuzzing::FuzzInput& in, const Bytes& known, const std::vector<size_t>& fields) {
    Bytes shaped;
    if (in.Flag()) {
        shaped = in.Bytes(in.U16() % 512);
    } else {
        shaped = known;
        in.EditFields(&shaped, fields);
        in.Edit(&shaped);
        const uint8_t resize = in.Byte();
        if (resize & 1) shaped.resize(in.U16() % (known.size() + 64), in.Byte());
    }
    if (shaped.size() >= sizeof(ULONG)) {
        ULONG claimed;
        std::memcpy(&claimed, shaped.data(), sizeof claimed);
        if (claimed > shaped.size()) {
            claimed = static_cast<ULONG>(shaped.size());
            std::memcpy(shaped.data(), &claimed, sizeof claimed);
        }
    }
    return shaped;
}

// The fields that size and place what follows them: FormatSize, and the
// bitmap header's size and geometry, in a range and in a format.
std::vector<size_t> SizingFields(size_t bitmapHeader) {
    return {0,
            bitmapHeader + offsetof(KS_BITMAPINFOHEADER, biSize),
            bitmapHeader + offsetof(KS_BITMAPINFOHEADER, biWidth),
            bitmapHeader + offsetof(KS_BITMAPINFOHEADER, biHeight),
            bitmapHeader + offsetof(KS_BITMAPINFOHEADER, biBitCount),
            bitmapHeader + offsetof(KS_BITMAPINFOHEADER, biCompression),
            bitmapHeader + offsetof(KS_BITMAPINFOHEADER, biSizeImage)};
}
const std::vector<size_t> kRangeFields = SizingFields(FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader.bmiHeader));
const std::vector<size_t> kFormatFields =
    SizingFields(FIELD_OFFSET(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader.bmiHeader));

// The class reads FormatSize before anything else; a shorter block never
// reaches it as a range or a format.
bool HoldsAHeader(const Bytes& b, size_t header) { return b.size() >= header; }

void Intersect(Session& s, fuzzing::FuzzInput& in) {
    Bytes range = Shape(in, s.offeredRange, kRangeFields);
    if (!HoldsAHeader(range, sizeof(KSDATARANGE))) return;
    ULONG bufferSize = 0;
    switch (in.Byte() % 4) {
    case 0: bufferSize = 0; break;
    case 1: bufferSize = in.Byte(); break;
    case 2: bufferSize = static_cast<ULONG>(s.offeredFormat.size()); break;
    default: bufferSize = in.U16() % 2048; break;
    }
    Bytes buffer(bufferSize + kGuard, kUnwritten);
    ULONG dataSize = 0;
    const NTSTATUS status = s.filter->Intersect(0, range.data(), bufferSize, bufferSize ? buffer.data() : nullptr,
                                                &dataSize);
    for (size_t i = bufferSize; i < buffer.size(); ++i)
        if (buffer[i] != kUnwritten) fuzzing::Violated(kTarget, "the intersection wrote past the buffer", i);
    if (status == STATUS_SUCCESS) {
        if (dataSize > bufferSize) fuzzing::Violated(kTarget, "an intersection reported more than the buffer", dataSize);
        ULONG formatSize;
        std::memcpy(&formatSize, buffer.data(), sizeof formatSize);
        if (formatSize != dataSize) fuzzing::Violated(kTarget, "a format whose FormatSize is not its size", formatSize);
    }
}

void CreatePin(Session& s, fuzzing::FuzzInput& in) {
    Bytes format = Shape(in, s.offeredFormat, kFormatFields);
    if (!HoldsAHeader(format, sizeof(KSDATAFORMAT))) return;
    std::unique_ptr<hostks::KsPin> pin;
    if (s.filter->CreatePin(0, format.data(), &pin) == STATUS_SUCCESS) {
        if (s.pin) fuzzing::Violated(kTarget, "a second pin instance was created");
        s.pin = std::move(pin);
    }
}

void SetFormat(Session& s, fuzzing::FuzzInput& in) {
    Bytes format = Shape(in, s.offeredFormat, kFormatFields);
    if (!s.pin || !HoldsAHeader(format, sizeof(KSDATAFORMAT))) return;
    s.pin->SetFormat(format.data());
}

void ChangeState(Session& s, fuzzing::FuzzInput& in) {
    static const KSSTATE kStates[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN};
    const KSSTATE to = kStates[in.Byte() % 4];
    if (s.pin) s.pin->SetState(to);
    if (to == KSSTATE_STOP) s.frames.clear();  // a stop hands every queued frame back
}

void QueueFrame(Session& s, fuzzing::FuzzInput& in) {
    if (!s.pin || s.frames.size() >= 4) return;
    std::vector<uint8_t> format = s.pin->Format();
    ULONG size = 0;
    switch (in.Byte() % 3) {
    case 0: size = in.U16(); break;
    case 1: size = 1600 * 1200 * 4; break;
    default: size = in.U32() % (1600 * 1200 * 4 + 4096); break;
    }
    if (size == 0) return;
    s.frames.emplace_back(size, 0);
    if (s.pin->SubmitFrame(s.frames.back().data(), size) != STATUS_PENDING) s.frames.pop_back();
    hostks::CompletedFrame done;
    while (s.pin->WaitForFrame(&done, std::chrono::milliseconds(0))) {
        if (done.dataUsed > done.frameExtent) fuzzing::Violated(kTarget, "a frame used past its extent", done.dataUsed);
    }
}

void ClosePin(Session& s) {
    if (!s.pin) return;
    NTSTATUS status = s.pin->Close();
    if (!NT_SUCCESS(status)) fuzzing::Violated(kTarget, "a pin's close failed", status);
    s.pin.reset();
    s.frames.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Begin();
    fuzzing::FuzzInput in(data, size);
    Session s;
    s.filter = s.driver.PlugWithFilter(kTarget);
    std::vector<Bytes> ranges = s.filter->DataRanges(0);
    if (ranges.empty()) fuzzing::Violated(kTarget, "the pin offers no range");
    s.offeredRange = ranges[0];
    if (s.filter->Intersect(0, s.offeredRange.data(), &s.offeredFormat) != STATUS_SUCCESS)
        fuzzing::Violated(kTarget, "the offered range does not intersect with itself");

    for (size_t step = 0; step < kMaxSteps && !in.Empty(); ++step) {
        switch (in.Byte() % 6) {
        case 0: Intersect(s, in); break;
        case 1: CreatePin(s, in); break;
        case 2: SetFormat(s, in); break;
        case 3: ChangeState(s, in); break;
        case 4: QueueFrame(s, in); break;
        default: ClosePin(s); break;
        }
    }
    // Frames go back to the client at the pin's stop, before their buffers go.
    ClosePin(s);
    s.driver.Finish(kTarget, &s.pin, &s.filter);
    return 0;
}
