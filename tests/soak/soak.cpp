#include "tests/soak/soak.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <vector>

#include "tests/soak/client.h"
#include "driver/device/pool_tags.h"
#include "host/kernel/pool.h"
#include "host/kernel/violations.h"
#include "tests/soak/property_traffic.h"
#include "rig/platform_state.h"
#include "rig/plugged_camera.h"
#include "driver/usb/usb_link.h"
#include "tests/soak/watchdog.h"

namespace soak {

std::string Counts::Line() const {
    char line[200];
    std::snprintf(line, sizeof line, "cycles=%llu unplugs=%llu faults=%llu leaks=%llu hangs=%llu violations=%llu",
                  static_cast<unsigned long long>(cycles.load()), static_cast<unsigned long long>(unplugs.load()),
                  static_cast<unsigned long long>(faults.load()), static_cast<unsigned long long>(leaks.load()),
                  static_cast<unsigned long long>(hangs.load()), static_cast<unsigned long long>(violations.load()));
    return line;
}

namespace {

using namespace std::chrono_literals;

constexpr auto kStepLimit = 30s;
constexpr int kMainLane = 0;
constexpr int kPropertyLane = 1;
// A hung camera request costs the driver this long before it gives up on it;
// the driver's own five seconds would make the soak mostly wait.
constexpr LONG kUsbRequestTimeoutMs = 250;
// At most this many filters open on one plug-in of the camera.
constexpr size_t kMaxFiltersPerPlug = 3;

enum class Op {
    kOpenFilter,
    kCloseFilter,
    kCreatePin,
    kClosePin,
    kChangeState,
    kChangeFormat,
    kFrames,
    kCameraFault,
    kAllocationFailure,
    kPullOut,
    kTrigger,
};

struct WeightedOp {
    Op op;
    unsigned weight;
};

// About one cycle in fifty pulls the camera out.
constexpr WeightedOp kOps[] = {
    {Op::kOpenFilter, 5}, {Op::kCloseFilter, 2},  {Op::kCreatePin, 5},   {Op::kClosePin, 2},
    {Op::kChangeState, 12}, {Op::kChangeFormat, 3}, {Op::kFrames, 14},   {Op::kCameraFault, 3},
    {Op::kAllocationFailure, 2}, {Op::kPullOut, 1}, {Op::kTrigger, 1},
};

// Run comes up as often as the three others together, so that pins spend
// much of the soak streaming.
const KSSTATE kStates[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_RUN, KSSTATE_RUN};

// The tags whose allocations a failure is aimed at (0: whichever comes).
const ULONG kFailTags[] = {0, ContextPoolTag, UsbPoolTag, FramePoolTag, PipelinePoolTag, hostk::kIrpTag,
                           hostk::kMdlTag};

class Soak {
public:
    Soak(const Settings& settings, Counts& counts, Watchdog& watchdog);
    // False when a check failed (the message is printed).
    bool Run();
    uint64_t Checks() const { return checks_; }
    uint64_t Delivered() const { return delivered_; }
    uint64_t CameraFaults() const { return cameraFaults_; }
    uint64_t AllocationFailures() const { return allocationFailures_; }
    uint64_t PropertyRequests() const { return propertyRequests_; }

private:
    bool Start();
    void Cycle();
    void Finish();
    void Perform(Op op);
    Op Pick();
    ClientFilter* AnyFilter();
    ClientFilter* FilterWithPin(bool withPin);

    // The camera's comings and goings.
    void NoticeSelfUnplug();
    void AfterPullOut();
    void FollowUpPlug();
    void PlugInAgain();
    void CloseStaleFilters();
    void CloseAllFilters();
    void Check(const char* when);

    // What the application does.
    void OpenFilter();
    void CloseFilter(ClientFilter* filter);
    void CreatePin();
    void ClosePinOf(ClientFilter* filter);
    void ChangeState();
    void ChangeFormat();
    void ExchangeFrames();
    void InjectCameraFault();
    void InjectAllocationFailure();
    void PullOut();
    bool OfferedFormat(ClientFilter& filter, std::vector<uint8_t>* format);
    void Tweak(std::vector<uint8_t>* format);

    void Fail(const std::string& message);
    uint64_t Below(uint64_t bound) { return random_() % bound; }

    const Settings settings_;
    Counts& counts_;
    Watchdog& watchdog_;
    std::mt19937_64 random_;
    std::unique_ptr<rig::PluggedCamera> rig_;
    OpenFilters open_;
    std::unique_ptr<PropertyTraffic> traffic_;

    uint64_t plug_ = 1;            // the present plug-in of the camera
    bool pulledOut_ = false;       // the present camera is gone
    uint64_t replugAt_ = 0;        // the cycle it comes back in
    bool replugWhileHeld_ = false; // back before the application lets go
    uint64_t closeStaleAt_ = 0;    // handles on earlier plug-ins go then
    uint64_t clearFaultsAt_ = 0;   // lasting camera faults end then (0: none)
    bool failed_ = false;

    uint64_t checks_ = 0;
    uint64_t delivered_ = 0;
    uint64_t cameraFaults_ = 0;
    uint64_t allocationFailures_ = 0;
    uint64_t propertyRequests_ = 0;
};

Soak::Soak(const Settings& settings, Counts& counts, Watchdog& watchdog)
    : settings_(settings), counts_(counts), watchdog_(watchdog), random_(settings.seed) {}

bool Soak::Start() {
    rig::ResetPlatform();
    rig::SetUsbRequestTimeout(kUsbRequestTimeoutMs);
    rig::Options options;
    options.cameraFps = 60;
    // Only the control traffic, and only its start: the trace is not under
    // test and would grow for ever.
    options.trace = sim::TraceOptions{};
    options.trace->recordFramePipe = false;
    options.trace->maxLines = 1;
    std::string error;
    rig_ = rig::PluggedCamera::Make(options, &error);
    if (!rig_) {
        Fail("the rig could not be made: " + error);
        return false;
    }
    WatchedStep step(watchdog_, kMainLane, "the first plug-in");
    NTSTATUS status = rig_->PlugIn();
    if (!NT_SUCCESS(status)) {
        Fail("the camera did not start at first");
        return false;
    }
    traffic_ = std::make_unique<PropertyTraffic>(open_, settings_.seed ^ 0x9E3779B97F4A7C15ULL, watchdog_,
                                                 kPropertyLane);
    return true;
}

bool Soak::Run() {
    if (!Start()) return false;
    const auto started = std::chrono::steady_clock::now();
    while (!failed_ && counts_.cycles.load() < settings_.cycles) {
        Cycle();
        counts_.cycles.fetch_add(1);
        if (hostk::ViolationCount() != 0) Fail("platform rules broken:\n" + hostk::ViolationText());
        if (settings_.verbose && counts_.cycles.load() % 1000 == 0) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::fprintf(stderr, "soak: %s after %.1f s\n", counts_.Line().c_str(), seconds);
        }
    }
    Finish();
    return !failed_;
}

void Soak::Cycle() {
    const uint64_t cycle = counts_.cycles.load();
    NoticeSelfUnplug();
    if (clearFaultsAt_ != 0 && cycle >= clearFaultsAt_) {
        rig_->Camera().ClearFaults();
        clearFaultsAt_ = 0;
    }
    if (closeStaleAt_ != 0 && cycle >= closeStaleAt_) CloseStaleFilters();
    if (pulledOut_ && cycle >= replugAt_) FollowUpPlug();
    if (failed_) return;
    Perform(Pick());
}

Op Soak::Pick() {
    unsigned total = 0;
    for (const WeightedOp& w : kOps) total += w.weight;
    unsigned pick = static_cast<unsigned>(Below(total));
    for (const WeightedOp& w : kOps) {
        if (pick < w.weight) return w.op;
        pick -= w.weight;
    }
    return Op::kFrames;
}

void Soak::Perform(Op op) {
    switch (op) {
    case Op::kOpenFilter: {
        WatchedStep step(watchdog_, kMainLane, "opening a filter");
        OpenFilter();
        break;
    }
    case Op::kCloseFilter: {
        WatchedStep step(watchdog_, kMainLane, "closing a filter");
        if (ClientFilter* filter = AnyFilter()) CloseFilter(filter);
        break;
    }
    case Op::kCreatePin: {
        WatchedStep step(watchdog_, kMainLane, "creating a pin");
        CreatePin();
        break;
    }
    case Op::kClosePin: {
        WatchedStep step(watchdog_, kMainLane, "closing a pin");
        if (ClientFilter* filter = FilterWithPin(true)) ClosePinOf(filter);
        break;
    }
    case Op::kChangeState: {
        WatchedStep step(watchdog_, kMainLane, "a pin state change");
        ChangeState();
        break;
    }
    case Op::kChangeFormat: {
        WatchedStep step(watchdog_, kMainLane, "a pin format change");
        ChangeFormat();
        break;
    }
    case Op::kFrames: {
        WatchedStep step(watchdog_, kMainLane, "taking frames");
        ExchangeFrames();
        break;
    }
    case Op::kCameraFault:
        InjectCameraFault();
        break;
    case Op::kAllocationFailure:
        InjectAllocationFailure();
        break;
    case Op::kPullOut: {
        WatchedStep step(watchdog_, kMainLane, "pulling the camera out");
        PullOut();
        break;
    }
    case Op::kTrigger:
        rig_->Camera().FireTrigger();
        break;
    }
}

ClientFilter* Soak::AnyFilter() {
    if (open_.filters.empty()) return nullptr;
    return open_.filters[Below(open_.filters.size())].get();
}

ClientFilter* Soak::FilterWithPin(bool withPin) {
    std::vector<ClientFilter*> candidates;
    for (auto& filter : open_.filters)
        if (static_cast<bool>(filter->pin) == withPin) candidates.push_back(filter.get());
    return candidates.empty() ? nullptr : candidates[Below(candidates.size())];
}

// ---- the camera's comings and goings ---------------------------------------

void Soak::NoticeSelfUnplug() {
    // A camera pulled out by a fault: Plug and Play learns of it from the hub.
    if (pulledOut_ || rig_->Camera().Plugged()) return;
    WatchedStep step(watchdog_, kMainLane, "the removal of a camera that left");
    rig_->Unplug();
    AfterPullOut();
}

void Soak::PullOut() {
    if (pulledOut_) return;
    rig_->PullOut();
    AfterPullOut();
}

void Soak::AfterPullOut() {
    counts_.unplugs.fetch_add(1);
    pulledOut_ = true;
    clearFaultsAt_ = 0;
    const uint64_t cycle = counts_.cycles.load();
    // The application goes on with what it holds for a while, then lets go
    // and the camera comes back; or the camera comes back first.
    replugAt_ = cycle + 1 + Below(6);
    replugWhileHeld_ = Below(2) == 0;
}

void Soak::FollowUpPlug() {
    if (!(replugWhileHeld_ && !open_.filters.empty())) {
        CloseAllFilters();
        Check("after an unplug");
        if (failed_) return;
    } else {
        closeStaleAt_ = counts_.cycles.load() + 1 + Below(20);
    }
    PlugInAgain();
}

void Soak::PlugInAgain() {
    WatchedStep step(watchdog_, kMainLane, "plugging the camera in again");
    ++plug_;
    pulledOut_ = false;
    if (!NT_SUCCESS(rig_->Replug())) {
        // A start that failed (an allocation failure, most likely): the user
        // pulls the camera out again and tries once more.
        rig_->PullOut();
        AfterPullOut();
        replugWhileHeld_ = false;
    }
}

void Soak::CloseStaleFilters() {
    closeStaleAt_ = 0;
    WatchedStep step(watchdog_, kMainLane, "closing the handles on a camera that left");
    std::vector<ClientFilter*> stale;
    for (auto& filter : open_.filters)
        if (filter->plug != plug_) stale.push_back(filter.get());
    for (ClientFilter* filter : stale) CloseFilter(filter);
}

void Soak::CloseAllFilters() {
    WatchedStep step(watchdog_, kMainLane, "closing every handle");
    while (!open_.filters.empty()) CloseFilter(open_.filters.back().get());
}

void Soak::Check(const char* when) {
    if (!open_.filters.empty() || rig_->RetiredDevices() != 0 || rig_->Pnp().Added()) {
        Fail(std::string("no check possible ") + when + ": a device is still there");
        return;
    }
    ++checks_;
    rig::Leftovers left = rig::LeftoversNow();
    if (left.liveBlocks != 0 || left.systemThreads != 0) counts_.leaks.fetch_add(1);
    if (!left.None()) Fail(std::string("left behind ") + when + ":\n" + left.Report());
}

// ---- what the application does ---------------------------------------------

void Soak::OpenFilter() {
    size_t onThisPlug = 0;
    for (auto& filter : open_.filters) onThisPlug += filter->plug == plug_;
    if (onThisPlug >= kMaxFiltersPerPlug) return;
    auto client = std::make_unique<ClientFilter>();
    client->plug = plug_;
    // Refused while the camera is gone or its start failed.
    if (!NT_SUCCESS(hostks::KsFilter::Open(rig_->Pnp(), &client->filter))) return;
    std::unique_lock<std::shared_mutex> hold(open_.lock);
    open_.filters.push_back(std::move(client));
}

void Soak::CloseFilter(ClientFilter* filter) {
    if (filter->pin) ClosePinOf(filter);
    std::unique_lock<std::shared_mutex> hold(open_.lock);
    filter->filter->Close();
    for (auto it = open_.filters.begin(); it != open_.filters.end(); ++it) {
        if (it->get() == filter) {
            open_.filters.erase(it);
            break;
        }
    }
}

bool Soak::OfferedFormat(ClientFilter& filter, std::vector<uint8_t>* format) {
    std::vector<std::vector<uint8_t>> ranges = filter.filter->DataRanges(0);
    if (ranges.empty()) return false;
    if (!NT_SUCCESS(filter.filter->Intersect(0, ranges[0].data(), format))) return false;
    if (Below(6) == 0) Tweak(format);
    return true;
}

void Soak::Tweak(std::vector<uint8_t>* format) {
    if (format->size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return;
    KS_BITMAPINFOHEADER& bitmap = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format->data())->VideoInfoHeader.bmiHeader;
    switch (Below(4)) {
    case 0: {  // another size, stated consistently
        const LONG width = static_cast<LONG>(8 + Below(1593));
        const LONG height = static_cast<LONG>(8 + Below(1193));
        bitmap.biWidth = width;
        bitmap.biHeight = height;
        bitmap.biSizeImage = static_cast<ULONG>(width * height * 4);
        break;
    }
    case 1:  // an image size a little off, either way (a client allocates what it states)
        bitmap.biSizeImage = static_cast<ULONG>(bitmap.biSizeImage + Below(65536) - 4096);
        break;
    case 2: bitmap.biHeight = -bitmap.biHeight; break;
    default: bitmap.biBitCount = 24; break;
    }
}

void Soak::CreatePin() {
    ClientFilter* filter = FilterWithPin(false);
    if (!filter) return;
    std::vector<uint8_t> format;
    if (!OfferedFormat(*filter, &format)) return;
    auto client = std::make_unique<ClientPin>();
    // Refused when another filter's pin has the camera, among other reasons.
    if (!NT_SUCCESS(filter->filter->CreatePin(0, format.data(), &client->pin))) return;
    if (Below(4) != 0) client->pin->SetClock(&client->clock);
    const size_t buffers = 2 + Below(2);
    for (size_t i = 0; i < buffers; ++i)
        client->buffers.push_back(std::make_unique<FrameBuffer>(FramingSize(*client->pin)));
    filter->pin = std::move(client);
}

void Soak::ClosePinOf(ClientFilter* filter) {
    std::string error;
    if (!ClosePin(*filter->pin, &error)) Fail(error);
    filter->pin.reset();
}

void Soak::ChangeState() {
    ClientFilter* filter = FilterWithPin(true);
    if (!filter) return;
    // The class steps through the states in between; a refusal leaves the
    // pin where it got to.
    filter->pin->pin->SetState(kStates[Below(sizeof kStates / sizeof kStates[0])]);
}

void Soak::ChangeFormat() {
    ClientFilter* filter = FilterWithPin(true);
    if (!filter) return;
    std::vector<uint8_t> format;
    if (OfferedFormat(*filter, &format)) filter->pin->pin->SetFormat(format.data());
}

void Soak::ExchangeFrames() {
    for (auto& filter : open_.filters) {
        if (!filter->pin) continue;
        ClientPin& pin = *filter->pin;
        SubmitFreeBuffers(pin, random_());
        const auto wait = pin.pin->State() == KSSTATE_RUN ? 50ms : 0ms;
        std::string error;
        if (!CollectFrames(pin, wait, &delivered_, &error)) {
            Fail(error);
            return;
        }
    }
}

void Soak::InjectCameraFault() {
    if (pulledOut_) return;
    sim::SimulatedCamera& camera = rig_->Camera();
    const uint64_t cycle = counts_.cycles.load();
    switch (Below(11)) {
    case 0: camera.StallPipe(sim::EndpointAt(static_cast<int>(Below(3))).address); break;
    case 1: camera.SetReplyFault(sim::ReplyFault::kDropBoth, static_cast<uint32_t>(1 + Below(2))); break;
    case 2: camera.SetReplyFault(sim::ReplyFault::kDropSecond, static_cast<uint32_t>(1 + Below(2))); break;
    case 3: camera.SetReplyFault(sim::ReplyFault::kShorten, 1, static_cast<uint32_t>(Below(64)), 1); break;
    case 4: camera.FailFrameChunk(static_cast<uint32_t>(Below(37)), static_cast<uint32_t>(1 + Below(3))); break;
    case 5:  // frame timeouts for a while
        camera.SetSendNothing(true);
        clearFaultsAt_ = cycle + 3 + Below(12);
        break;
    case 6:
        camera.RejectCommands(true, hostusb::kUsbdStallPid, Below(2) ? 0 : static_cast<uint32_t>(1 + Below(63)));
        clearFaultsAt_ = cycle + 2 + Below(6);
        break;
    case 7: camera.HangNextRequests(static_cast<uint32_t>(1 + Below(2))); break;
    case 8: camera.DisablePort(); break;
    case 9: camera.UnplugAfterFrames(static_cast<uint32_t>(Below(6))); break;
    default: camera.UnplugAfterRequests(static_cast<uint32_t>(Below(60))); break;
    }
    ++cameraFaults_;
    counts_.faults.fetch_add(1);
}

void Soak::InjectAllocationFailure() {
    hostk::PoolFailNthAllocation(1 + Below(40), kFailTags[Below(sizeof kFailTags / sizeof kFailTags[0])]);
    ++allocationFailures_;
    counts_.faults.fetch_add(1);
}

// ---- the end ----------------------------------------------------------------

void Soak::Finish() {
    if (traffic_) {
        propertyRequests_ = traffic_->Requests();
        traffic_.reset();
    }
    if (!rig_) return;
    rig::DisarmFaults();
    CloseAllFilters();
    WatchedStep step(watchdog_, kMainLane, "the final unplug");
    rig_->Camera().ClearFaults();
    rig_->Unplug();
    if (!failed_) Check("at the end");
    counts_.violations.store(hostk::ViolationCount());
}

void Soak::Fail(const std::string& message) {
    if (failed_) return;
    failed_ = true;
    std::fprintf(stderr, "soak: FAILED at cycle %llu (seed %llu): %s\n",
                 static_cast<unsigned long long>(counts_.cycles.load()),
                 static_cast<unsigned long long>(settings_.seed), message.c_str());
}

}  // namespace

int RunSoak(const Settings& settings) {
    static Counts counts;
    const uint64_t seed = settings.seed;
    Watchdog watchdog(kStepLimit, [seed](const std::string& step) {
        counts.hangs.fetch_add(1);
        counts.violations.store(hostk::ViolationCount());
        std::fprintf(stderr, "soak: HANG at cycle %llu (seed %llu): %s took longer than 30 s\n",
                     static_cast<unsigned long long>(counts.cycles.load()), static_cast<unsigned long long>(seed),
                     step.c_str());
        std::printf("%s\n", counts.Line().c_str());
        std::fflush(stdout);
        std::_Exit(2);
    });
    std::printf("soak: seed %llu, %llu cycles\n", static_cast<unsigned long long>(settings.seed),
                static_cast<unsigned long long>(settings.cycles));
    const auto started = std::chrono::steady_clock::now();
    Soak soak(settings, counts, watchdog);
    const bool ok = soak.Run();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("soak: %.1f s, %.1f cycles/s; %llu checks of what was left; %llu camera faults, %llu allocation "
                "failures; %llu frames delivered; %llu property requests\n",
                seconds, seconds > 0 ? counts.cycles.load() / seconds : 0.0,
                static_cast<unsigned long long>(soak.Checks()), static_cast<unsigned long long>(soak.CameraFaults()),
                static_cast<unsigned long long>(soak.AllocationFailures()),
                static_cast<unsigned long long>(soak.Delivered()),
                static_cast<unsigned long long>(soak.PropertyRequests()));
    std::printf("%s\n", counts.Line().c_str());
    const bool clean = counts.leaks.load() == 0 && counts.hangs.load() == 0 && counts.violations.load() == 0;
    return ok && clean ? 0 : 1;
}

}  // namespace soak
