// What `quelvixcam serve` does with one request off the wire: it hands the
// capture filter the property request the platform would hand the driver
// for the same IKsPropertySet call.
#pragma once

#include <vector>

#include "host/ks/ks_client.h"
#include "tools/quelvixcam/property_wire.h"

namespace bridge {

struct BridgeAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<uint8_t> data;  // the data buffer as the driver left it, cut to what it returned
};

// The request bytes go to the filter with the message's set, id and flags
// written over their KSPROPERTY header, and the data bytes as the caller's
// data buffer; both pass through the class's property handling, so its
// size checks and the driver's handlers run as they would on Windows.
BridgeAnswer AnswerPropertyRequest(hostks::KsFilter& filter, const WireRequest& request);

}  // namespace bridge
