// The fuzz targets outside libFuzzer: runs LLVMFuzzerTestOneInput once on
// every file named (a folder names each file in it), so that the ordinary
// builds (gcc, plain and under the sanitizers) replay each committed corpus
// as a test. A violation aborts, as under the fuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> FilesUnder(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return {};
    if (!S_ISDIR(info.st_mode)) return {path};
    std::vector<std::string> files;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") files.push_back(path + "/" + name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::string> files = FilesUnder(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "replay: %s holds no inputs\n", argv[i]);
            return 2;
        }
        for (const std::string& file : files) {
            std::ifstream in(file, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::fprintf(stderr, "replay: %s\n", file.c_str());
            // A copy of exactly the input's size, so that a read past it is
            // a heap overflow under AddressSanitizer.
            std::vector<uint8_t> exact(bytes);
            LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
            ++replayed;
        }
    }
    std::printf("replay: %zu inputs, no violation\n", replayed);
    return 0;
}
