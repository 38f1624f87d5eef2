#include "tools/quelvixcam/property_command.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "driver/camera/property_set.h"
#include "common/camera_property_set.h"
#include "tools/quelvixcam/camera_faults.h"
#include "host/kernel/violations.h"
#include "tools/quelvixcam/options_seen.h"
#include "tools/quelvixcam/registry_option.h"
#include "rig/camera_property.h"
#include "tools/quelvixcam/whole_number.h"

namespace {

// What an id offers, read from the driver's own automation table.
const KSPROPERTY_ITEM* Item(ULONG id) {
    const KSPROPERTY_SET& set = CameraFilterAutomationTable.PropertySets[0];
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
        if (set.PropertyItem[i].PropertyId == id) return &set.PropertyItem[i];
    }
    return nullptr;
}
bool Readable(ULONG id) { return Item(id) && Item(id)->GetPropertyHandler; }
bool Writable(ULONG id) { return Item(id) && Item(id)->SetPropertyHandler; }

bool FindId(const std::string& name, ULONG* id) {
    for (ULONG i = 0; i < CameraPropertyCount; ++i) {
        if (name == CameraPropertyName(i)) {
            *id = i;
            return true;
        }
    }
    return false;
}

// A 32-bit value as the whole tool reads numbers (decimal, or 0x hex),
// signed, or unsigned up to 0xFFFFFFFF (so Timeout=4294967295 and
// Timeout=-1 mean the same).
bool ParseValue(const std::string& text, long* value) {
    long long parsed = 0;
    if (!ParseWholeNumber(text, -2147483648LL, 4294967295LL, &parsed)) return false;
    *value = static_cast<LONG>(static_cast<uint32_t>(parsed));
    return true;
}

void PrintUsage(FILE* to, const char* command) {
    if (std::strcmp(command, "get") == 0) {
        std::fprintf(to, "usage: quelvixcam get [--registry FILE] [--camera-fault NAME[=ARG]]... [NAME...]\n");
    } else {
        std::fprintf(to, "usage: quelvixcam set [--registry FILE] [--camera-fault NAME[=ARG]]... NAME=VALUE...\n"
                         "       (Roi=SUB,X,Y,W,H; SendCommand20=0)\n");
    }
}

int Usage(const char* command) {
    PrintUsage(stderr, command);
    return 2;
}

NTSTATUS GetValue(hostks::KsFilter& filter, ULONG id, LONG* value) {
    *value = 0;  // sent as the buffer's value, and what a failed get leaves
    return rig::SendCameraValue(filter, id, KSPROPERTY_TYPE_GET, value);
}

// The camera plugged in with the store, its filter open; closes and unplugs
// (each saving the settings) when it goes.
class Session {
public:
    bool Open(const char* tool, const std::string& registryPath, const std::vector<CameraFault>& faults) {
        tool_ = tool;
        rig::Options options;
        options.faults = faults;
        if (!UseRegistryStore(tool, registryPath, &options)) return false;
        std::string error;
        rig_ = rig::PluggedCamera::Make(options, &error);
        if (!rig_) {
            std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
            return false;
        }
        NTSTATUS status = rig_->PlugIn();
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "%s: the camera did not start (status %s)\n", tool, StatusText(status).c_str());
            return false;
        }
        status = rig_->OpenFilter();
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "%s: the filter did not open (status 0x%08X)\n", tool, static_cast<unsigned>(status));
            return false;
        }
        return true;
    }
    // False when anything went wrong on the way out.
    bool Close() {
        bool ok = true;
        std::string error;
        if (rig_ && !rig_->Close(&error)) {
            std::fprintf(stderr, "%s: %s\n", tool_, error.c_str());
            ok = false;
        }
        rig_.reset();
        if (hostk::ViolationCount() != 0) ok = false;
        return ok;
    }
    ~Session() { Close(); }
    hostks::KsFilter& Filter() { return rig_->Filter(); }

private:
    const char* tool_ = "";
    std::unique_ptr<rig::PluggedCamera> rig_;
};

// Splits off --registry FILE and --camera-fault NAME[=ARG]; the rest are
// operands. *help is set by --help. A refused fault, a repeated option or an
// empty --registry sets *refused (its one
// error line printed); other errors want the usage.
bool ParseOptions(int argc, char** argv, const char* command, std::string* registryPath,
                  std::vector<CameraFault>* faults, std::vector<std::string>* operands, bool* help,
                  bool* refused) {
    *registryPath = DefaultRegistryPath();
    std::string tool = std::string("quelvixcam ") + command;
    OptionsSeen seen;
    for (int i = 0; i < argc; ++i) {
        if (!seen.First(tool.c_str(), argv[i])) {
            *refused = true;
            return false;
        }
        if (int taken = TakeCameraFaultOption(tool.c_str(), argc, argv, &i, faults)) {
            if (taken != 1) {
                *refused = true;
                return false;
            }
        } else if (std::strcmp(argv[i], "--help") == 0) {
            *help = true;
        } else if (std::strcmp(argv[i], "--registry") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quelvixcam %s: --registry needs a FILE\n", command);
                return false;
            }
            *registryPath = argv[++i];
            if (!CheckRegistryOption(tool.c_str(), *registryPath)) {
                *refused = true;
                return false;
            }
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            std::fprintf(stderr, "quelvixcam %s: unknown option '%s'\n", command, argv[i]);
            return false;
        } else {
            operands->push_back(argv[i]);
        }
    }
    return true;
}

}  // namespace

bool ParsePropertyAssignment(const std::string& text, PropertyAssignment* assignment, std::string* error) {
    size_t equals = text.find('=');
    if (equals == std::string::npos) {
        *error = "'" + text + "' is not NAME=VALUE";
        return false;
    }
    assignment->name = text.substr(0, equals);
    std::string value = text.substr(equals + 1);
    ULONG id;
    if (!FindId(assignment->name, &id)) {
        *error = "unknown property '" + assignment->name + "'";
        return false;
    }
    if (!Writable(id)) {
        *error = "property '" + assignment->name + "' cannot be set";
        return false;
    }
    assignment->id = id;
    if (id == PropertyRoi) {
        size_t start = 0;
        for (int k = 0; k < 5; ++k) {
            size_t comma = value.find(',', start);
            if ((k < 4) == (comma == std::string::npos) ||
                !ParseValue(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start),
                            &assignment->values[k])) {
                *error = "Roi needs SUB,X,Y,W,H, not '" + value + "'";
                return false;
            }
            start = comma + 1;
        }
        return true;
    }
    if (!ParseValue(value, &assignment->values[0])) {
        *error = "'" + value + "' is not a 32-bit number (for " + assignment->name + ")";
        return false;
    }
    return true;
}

bool ApplyPropertyAssignment(hostks::KsFilter& filter, const PropertyAssignment& assignment, std::string* error) {
    NTSTATUS status;
    if (assignment.id == PropertyRoi) {
        ULONG returned = 0;
        CameraRoiValue roi{};
        roi.Property.Set = CameraPropertySetId;
        roi.Property.Id = PropertyRoi;
        roi.Property.Flags = KSPROPERTY_TYPE_SET;
        roi.SubSample = assignment.values[0];
        roi.X = assignment.values[1];
        roi.Y = assignment.values[2];
        roi.Width = assignment.values[3];
        roi.Height = assignment.values[4];
        status = filter.SendPropertyRequest(&roi, sizeof roi, &roi, sizeof roi, &returned);
    } else {
        LONG value = assignment.values[0];
        status = rig::SendCameraValue(filter, assignment.id, KSPROPERTY_TYPE_SET, &value);
    }
    if (!NT_SUCCESS(status)) {
        char text[32];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
        *error = "setting " + assignment.name + " failed with status " + text;
        return false;
    }
    return true;
}

namespace {

// --help: the usage and the camera faults on standard output.
int Help(const char* command) {
    PrintUsage(stdout, command);
    std::fputs(kCameraFaultHelp, stdout);
    return 0;
}

}  // namespace

int RunGetCommand(int argc, char** argv) {
    std::string registryPath;
    std::vector<CameraFault> faults;
    std::vector<std::string> names;
    bool help = false, refused = false;
    if (!ParseOptions(argc, argv, "get", &registryPath, &faults, &names, &help, &refused))
        return refused ? 2 : Usage("get");
    if (help) return Help("get");
    std::vector<ULONG> ids;
    for (const std::string& name : names) {
        ULONG id;
        if (!FindId(name, &id)) {
            std::fprintf(stderr, "quelvixcam get: unknown property '%s'\n", name.c_str());
            return 2;
        }
        if (!Readable(id)) {
            std::fprintf(stderr, "quelvixcam get: property '%s' cannot be read\n", name.c_str());
            return 2;
        }
        ids.push_back(id);
    }
    if (ids.empty()) {
        for (ULONG id = 0; id < CameraPropertyCount; ++id) {
            if (Readable(id)) ids.push_back(id);
        }
    }
    Session session;
    if (!session.Open("quelvixcam get", registryPath, faults)) {
        session.Close();
        return CheckPoolAfterUnplug("quelvixcam get", 1);
    }
    int exitCode = 0;
    for (ULONG id : ids) {
        LONG value = 0;
        NTSTATUS status = GetValue(session.Filter(), id, &value);
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "quelvixcam get: reading %s failed with status 0x%08X\n", CameraPropertyName(id),
                         static_cast<unsigned>(status));
            exitCode = 1;
            continue;
        }
        std::printf("%s=%ld\n", CameraPropertyName(id), static_cast<long>(value));
    }
    if (!session.Close()) exitCode = 1;
    return CheckPoolAfterUnplug("quelvixcam get", exitCode);
}

int RunSetCommand(int argc, char** argv) {
    std::string registryPath;
    std::vector<CameraFault> faults;
    std::vector<std::string> operands;
    bool help = false, refused = false;
    if (!ParseOptions(argc, argv, "set", &registryPath, &faults, &operands, &help, &refused))
        return refused ? 2 : Usage("set");
    if (help) return Help("set");
    if (operands.empty()) return Usage("set");
    std::vector<PropertyAssignment> assignments;
    // Everything is checked before the camera is touched: a bad operand
    // changes nothing.
    for (const std::string& operand : operands) {
        PropertyAssignment assignment;
        std::string error;
        if (!ParsePropertyAssignment(operand, &assignment, &error)) {
            std::fprintf(stderr, "quelvixcam set: %s\n", error.c_str());
            return 2;
        }
        assignments.push_back(assignment);
    }
    Session session;
    if (!session.Open("quelvixcam set", registryPath, faults)) {
        session.Close();
        return CheckPoolAfterUnplug("quelvixcam set", 1);
    }
    int exitCode = 0;
    for (const PropertyAssignment& assignment : assignments) {
        std::string error;
        if (!ApplyPropertyAssignment(session.Filter(), assignment, &error)) {
            std::fprintf(stderr, "quelvixcam set: %s\n", error.c_str());
            exitCode = 1;
        }
    }
    // Read back what can be read, in the order named: the driver's clamps
    // and refusals show here.
    for (const PropertyAssignment& assignment : assignments) {
        if (!Readable(assignment.id)) continue;
        LONG value = 0;
        NTSTATUS status = GetValue(session.Filter(), assignment.id, &value);
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "quelvixcam set: reading %s back failed with status 0x%08X\n",
                         assignment.name.c_str(), static_cast<unsigned>(status));
            exitCode = 1;
            continue;
        }
        std::printf("%s=%ld\n", assignment.name.c_str(), static_cast<long>(value));
    }
    if (!session.Close()) exitCode = 1;
    return CheckPoolAfterUnplug("quelvixcam set", exitCode);
}
