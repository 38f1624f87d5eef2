// quelvixcam: the command-line tool. Each subcommand lives in its own file.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/quelvixcam/capture_command.h"
#include "tools/quelvixcam/convert_command.h"
#include "tools/quelvixcam/driver_image_option.h"
#include "tools/quelvixcam/info_command.h"
#include "tools/quelvixcam/property_command.h"
#include "tools/quelvixcam/serve_command.h"

int main(int argc, char** argv) {
    if (argc >= 2) {
        int rest = argc - 2;
        const std::string tool = std::string("quelvixcam ") + argv[1];
        if (!TakeDriverImageOption(tool.c_str(), &rest, argv + 2)) return 2;
        argc = rest + 2;
    }
    if (argc >= 2 && std::strcmp(argv[1], "capture") == 0) return RunCaptureCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "info") == 0) return RunInfoCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "convert") == 0) return RunConvertCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "get") == 0) return RunGetCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "set") == 0) return RunSetCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) return RunServeCommand(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: quelvixcam capture ... | info ... | get ... | set ... | convert ... | serve ... (quelvixcam COMMAND --help)\n"
                 "  every command takes --driver-image PATH: the camera is plugged in with the Windows\n"
                 "  driver image at PATH (build-windows/QuelvixZ51RDS.sys) instead of the linked host build\n");
    return 2;
}
