// Fuzz target: the registry store file, as the registry stand-in loads it
// (RegistryStore::FromText is the load of RegistryStore::Open after the file
// is read) and saves it (Text() is what a save writes).
//
// What must hold for every input the store accepts:
//  - the saved text is accepted again, and saving that gives the same text;
//  - the second load holds every key of the file and every value with the
//    type and bytes the file gave it last (names compare without regard to
//    ASCII case, as in the store), and no value the file did not state;
//  - the saved text, sent again as UTF-16LE with a byte order mark (as the
//    registry editor exports), loads to the same store, whenever the text is
//    UTF-8 that survives the trip (names read from invalid UTF-8 do not).
// A violation aborts with what went wrong, which libFuzzer reports as a crash.
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/kernel/reg_file.h"
#include "host/kernel/registry_store.h"

namespace {

[[noreturn]] void Violated(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("registry_store fuzz: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

std::string Folded(const std::string& text) {
    std::string folded = text;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

std::string AsUtf16File(const std::string& text) {
    std::string bytes = "\xFF\xFE";
    for (uint16_t unit : hostk::Utf8ToUtf16(text)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

struct Expected {
    std::string path;
    hostk::RegFileValue value;
};

// What the file states, the later of two settings of one value winning.
std::map<std::pair<std::string, std::string>, Expected> ValuesStated(const std::vector<hostk::RegFileKey>& keys) {
    std::map<std::pair<std::string, std::string>, Expected> values;
    for (const hostk::RegFileKey& key : keys) {
        for (const hostk::RegFileValue& value : key.values) {
            values[{Folded(key.path), Folded(value.name)}] = Expected{key.path, value};
        }
    }
    return values;
}

size_t ValueCount(const std::vector<hostk::RegFileKey>& keys) {
    size_t count = 0;
    for (const hostk::RegFileKey& key : keys) count += key.values.size();
    return count;
}

void CheckSecondLoad(const std::string& bytes, const hostk::RegistryStore& second, const std::string& saved) {
    std::vector<hostk::RegFileKey> stated;
    std::string error;
    if (!hostk::ParseRegFile(bytes, &stated, &error)) Violated("the store accepted a file the parser refuses: %s", error.c_str());
    // Root keys always exist and are written only for values of their own.
    for (const hostk::RegFileKey& key : stated) {
        if (key.path.find('\\') != std::string::npos && !second.KeyExists(key.path)) {
            Violated("key [%s] is lost by a save", key.path.c_str());
        }
    }
    auto expected = ValuesStated(stated);
    for (const auto& entry : expected) {
        const Expected& want = entry.second;
        hostk::RegFileValue got;
        if (!second.GetValue(want.path, want.value.name, &got)) {
            Violated("value \"%s\" of [%s] is lost by a save", want.value.name.c_str(), want.path.c_str());
        }
        if (got.type != want.value.type || got.data != want.value.data) {
            Violated("value \"%s\" of [%s] changes in a save (type %u, %zu bytes -> type %u, %zu bytes)",
                     want.value.name.c_str(), want.path.c_str(), want.value.type, want.value.data.size(), got.type,
                     got.data.size());
        }
    }
    std::vector<hostk::RegFileKey> written;
    if (!hostk::ParseRegFile(saved, &written, &error)) Violated("the saved text is refused by the parser: %s", error.c_str());
    if (ValueCount(written) != expected.size()) {
        Violated("the save writes %zu values where the file stated %zu", ValueCount(written), expected.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    std::unique_ptr<hostk::RegistryStore> first = hostk::RegistryStore::FromText(bytes, &error);
    if (!first) {
        if (error.empty()) Violated("a refusal without a reason");
        return 0;
    }
    const std::string saved = first->Text();
    std::unique_ptr<hostk::RegistryStore> second = hostk::RegistryStore::FromText(saved, &error);
    if (!second) Violated("the store refuses its own save: %s", error.c_str());
    if (second->Text() != saved) Violated("a second save differs from the first");
    CheckSecondLoad(bytes, *second, saved);

    const std::vector<uint16_t> units = hostk::Utf8ToUtf16(saved);
    if (hostk::Utf16ToUtf8(units.data(), units.size()) == saved) {
        std::unique_ptr<hostk::RegistryStore> wide = hostk::RegistryStore::FromText(AsUtf16File(saved), &error);
        if (!wide) Violated("the save, as UTF-16, is refused: %s", error.c_str());
        if (wide->Text() != saved) Violated("the save, as UTF-16, loads to a different store");
    }
    return 0;
}
