#include "test_filter.h"

#include <string.h>

LONG PropertyCall::Long(size_t offset) const {
    LONG value = 0;
    if (offset + sizeof(value) <= data.size()) memcpy(&value, &data[offset], sizeof(value));
    return value;
}

TestFilter::TestFilter() : values(DriverValues()) {}

STDMETHODIMP TestFilter::QueryInterface(REFIID iid, void** out) {
    ++queryInterfaceCalls;
    return AggregatingFilter::QueryInterface(iid, out);
}

namespace {

PropertyCall Record(bool get, REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength,
                    LPVOID data, DWORD dataLength) {
    PropertyCall call;
    call.get = get;
    call.set = set;
    call.id = id;
    call.instanceLength = instanceLength;
    call.dataLength = dataLength;
    call.oneBuffer = instance == data;
    if (instance) {
        const BYTE* bytes = static_cast<const BYTE*>(instance);
        call.instance.assign(bytes, bytes + instanceLength);
    }
    if (data) {
        const BYTE* bytes = static_cast<const BYTE*>(data);
        call.data.assign(bytes, bytes + dataLength);
    }
    return call;
}

}  // namespace

STDMETHODIMP TestFilter::Set(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength,
                             LPVOID data, DWORD dataLength) {
    calls.push_back(Record(false, set, id, instance, instanceLength, data, dataLength));
    if (answer == Answer::Nothing) return kNoAnswer;
    values[id] = calls.back().Long(24);
    return setResult;
}

STDMETHODIMP TestFilter::Get(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength,
                             LPVOID data, DWORD dataLength, DWORD* returned) {
    calls.push_back(Record(true, set, id, instance, instanceLength, data, dataLength));
    if (answer == Answer::Nothing) return kNoAnswer;
    const auto found = values.find(id);
    if (found == values.end() || !data || dataLength < 32) return kNoAnswer;
    memcpy(static_cast<BYTE*>(data) + 24, &found->second, sizeof(LONG));
    if (returned) *returned = 32;
    return S_OK;
}

STDMETHODIMP TestFilter::QuerySupported(REFGUID, DWORD, DWORD* support) {
    if (support) *support = 0;
    return E_NOTIMPL;
}

std::vector<ULONG> TestFilter::GetIds(size_t from) const {
    std::vector<ULONG> ids;
    for (size_t i = from; i < calls.size(); ++i) {
        if (calls[i].get) ids.push_back(calls[i].id);
    }
    return ids;
}

std::vector<const PropertyCall*> TestFilter::Sets(size_t from) const {
    std::vector<const PropertyCall*> sets;
    for (size_t i = from; i < calls.size(); ++i) {
        if (!calls[i].get) sets.push_back(&calls[i]);
    }
    return sets;
}

// The values the page shows as numbers (exposure 321, gain 456, the colour
// gains, brightness, saturation, contrast, hue, time-out, the maxima of
// exposure, gain and colour gains, the sizes) differ from the page's presets,
// so a test can tell them from a preset. The switches, the other limits and
// the defaults keep the driver's answers, which often equal the presets: a
// test of those sets its own values (and the bridged tests check the page on
// the real driver).
std::map<ULONG, LONG> TestFilter::DriverValues() {
    return {
        {0, 0},    {1, 2500},  {2, 321},   {3, 2},     {4, 1252},  {5, 2},   {6, 456},
        {7, 0},    {8, 1023},  {9, 512},   {10, 0},    {11, 0},    {12, 1},  {13, 0},
        {14, 140}, {15, 150},  {16, 160},  {17, 1},    {18, 255},  {19, 128}, {20, 300},
        {21, 0},   {22, 510},  {23, 255},  {24, 8},    {25, 0},    {26, 20}, {27, 10},
        {28, 12},  {29, 0},    {30, 20},   {31, 10},   {32, 45},   {33, 0},  {34, 359},
        {35, 0},   {36, 0},    {37, 0},    {38, 1600}, {39, 1200}, {40, 0},  {41, 0},
        {42, 1600}, {43, 1200}, {45, 0},   {46, 1},    {48, 1},    {49, 0},  {50, 0},
        {51, 0},   {52, 0},    {53, 0},    {54, 0},    {55, 0},    {56, 0},
    };
}
