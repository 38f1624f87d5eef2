#include "tools/quelvixcam/property_bridge.h"

#include <cstring>

namespace bridge {

BridgeAnswer AnswerPropertyRequest(hostks::KsFilter& filter, const WireRequest& request) {
    std::vector<uint8_t> property = request.request;
    // A request too short for the header goes as it came: the class refuses
    // it before looking at it, as it refuses one from any other caller.
    if (property.size() >= sizeof(KSPROPERTY)) {
        KSPROPERTY header{};
        header.Set = request.set;
        header.Id = request.id;
        header.Flags = request.flags;
        std::memcpy(property.data(), &header, sizeof header);
    }
    BridgeAnswer answer;
    answer.data = request.data;
    ULONG returned = 0;
    answer.status = filter.SendPropertyRequest(property.empty() ? nullptr : property.data(),
                                               static_cast<ULONG>(property.size()),
                                               answer.data.empty() ? nullptr : answer.data.data(),
                                               static_cast<ULONG>(answer.data.size()), &returned);
    // A get asked with too small a buffer is told the size it needs in the
    // bytes returned; the wire carries no more than the caller's buffer held.
    answer.data.resize(returned < answer.data.size() ? returned : answer.data.size());
    return answer;
}

}  // namespace bridge
