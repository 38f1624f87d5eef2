#include "tools/quelvixcam/serve_command.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/quelvixcam/bridge_connections.h"
#include "tools/quelvixcam/camera_faults.h"
#include "tools/quelvixcam/discarding_stream.h"
#include "tools/quelvixcam/options_seen.h"
#include "tools/quelvixcam/property_bridge.h"
#include "tools/quelvixcam/plugged_run.h"
#include "tools/quelvixcam/registry_option.h"
#include "tools/quelvixcam/whole_number.h"

namespace {

const char kTool[] = "quelvixcam serve";
const int kUsageError = 2;
const int kFailure = 1;

const char kUsage[] =
    "usage: quelvixcam serve [--port N] [--registry FILE] [--scene SCENE] [--capture]\n"
    "                        [--camera-fault NAME[=ARG]]...\n"
    "  Plugs the simulated camera in, opens the capture filter and answers property\n"
    "  requests on it from 127.0.0.1:N (--port 0, the default, takes any free port).\n"
    "  The first line on standard output is 'listening on 127.0.0.1:PORT'. Up to 64\n"
    "  connections are served at once. SIGINT or SIGTERM closes and unplugs the camera,\n"
    "  which saves its settings to the registry store. The wire format is in README.md.\n"
    "  --capture     also runs the capture pin, throwing its frames away, so that the\n"
    "                properties answer as they do while a program captures\n"
    "  --scene       what the camera sees (as quelvixcam capture --scene)\n"
    "  --registry    the store the camera's settings live in between runs\n";

struct Options {
    long long port = 0;
    std::string registry = DefaultRegistryPath();
    std::string scene;
    bool capture = false;
    std::vector<CameraFault> faults;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kTool, message.c_str());
    return kFailure;
}

// 0 on success, else the exit status (the error already printed).
int ParseOptions(int argc, char** argv, Options* options, bool* help) {
    OptionsSeen seen;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (!seen.First(kTool, arg)) return kUsageError;
        if (int taken = TakeCameraFaultOption(kTool, argc, argv, &i, &options->faults)) {
            if (taken != 1) return kUsageError;
        } else if (arg == "--help") {
            *help = true;
        } else if (arg == "--capture") {
            options->capture = true;
        } else if (arg == "--port" && hasValue) {
            if (!ParseWholeNumber(argv[++i], 0, 65535, &options->port)) {
                std::fprintf(stderr, "%s: --port takes a port from 0 to 65535, not '%s'\n", kTool, argv[i]);
                return kUsageError;
            }
        } else if (arg == "--registry" && hasValue) {
            options->registry = argv[++i];
            if (!CheckRegistryOption(kTool, options->registry)) return kUsageError;
        } else if (arg == "--scene" && hasValue) {
            options->scene = argv[++i];
        } else {
            std::fprintf(stderr, "%s: unknown or incomplete argument '%s'\n%s", kTool, arg.c_str(), kUsage);
            return kUsageError;
        }
    }
    return 0;
}

// SIGINT and SIGTERM set the flag and wake every poll through the pipe.
volatile sig_atomic_t stopRequested = 0;
int wakePipe[2] = {-1, -1};

void OnStopSignal(int) {
    stopRequested = 1;
    const char byte = 1;
    ssize_t ignored = write(wakePipe[1], &byte, 1);
    (void)ignored;
}

bool InstallStopSignals(std::string* error) {
    if (pipe(wakePipe) != 0) {
        *error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    fcntl(wakePipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action{};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A client that goes away mid-answer ends its connection, not the server.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// A socket listening on 127.0.0.1:port, or -1 after one error line.
int Listen(long long port, unsigned* boundPort) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Fail(std::string("cannot make a socket: ") + std::strerror(errno));
        return -1;
    }
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
        close(fd);
        return -1;
    }
    *boundPort = ntohs(address.sin_port);
    return fd;
}

// Serves until a stop is asked for; 0 or the exit status.
int Serve(const Options& options, rig::PluggedCamera& rig) {
    NTSTATUS status = rig.OpenFilter();
    if (!NT_SUCCESS(status)) return Fail("cannot open the capture filter (status " + StatusText(status) + ")");
    DiscardingStream stream;
    std::string error;
    if (options.capture && !stream.Start(rig.Filter(), &error)) return Fail(error);
    unsigned port = 0;
    const int listener = Listen(options.port, &port);
    if (listener < 0) return kFailure;
    std::printf("listening on 127.0.0.1:%u\n", port);
    std::fflush(stdout);
    if (!stopRequested) {
        bridge::Connections connections(rig.Filter(), kTool);
        connections.Serve(listener, wakePipe[0]);
    }
    close(listener);
    stream.Stop();
    return 0;
}

}  // namespace

int RunServeCommand(int argc, char** argv) {
    Options options;
    bool help = false;
    if (int status = ParseOptions(argc, argv, &options, &help)) return status;
    if (help) {
        std::fputs(kUsage, stdout);
        std::fputs(kCameraFaultHelp, stdout);
        return 0;
    }
    std::string error;
    if (!InstallStopSignals(&error)) return Fail(error);

    rig::Options rigOptions;
    rigOptions.scene = options.scene;
    rigOptions.faults = options.faults;
    return RunWithPluggedCamera(kTool, rigOptions, options.registry,
                                [&options](rig::PluggedCamera& rig) { return Serve(options, rig); });
}
