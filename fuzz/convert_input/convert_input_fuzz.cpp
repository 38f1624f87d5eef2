// Fuzz target: what `quelvixcam convert` is handed. An input is one line of
// options as on the command line, words separated by spaces ("--width 7
// --height 5 --offset 3 --pitch 9 --phase 2 --set WhiteBalance=1"), then a
// newline, then the bytes of the raw file. The target adds --input and
// --output first (options that name them again are refused, as any option
// given twice) and runs the command's own checks and conversion on those
// bytes, with no file read or written.
//
// Frames stay small without a cap of our own: a frame is converted only
// when the raw bytes hold it (offset + (height - 1) x pitch + width, with the
// pitch at least the width), so its pixels never outnumber the input's bytes,
// which scripts/fuzz.sh limits with -max_len. A wrong length check shows as
// a read past the raw bytes, which AddressSanitizer reports.
//
// What must hold besides: an accepted input gives W x H pixels of 4 bytes
// with alpha 255, a refused one status 2, and the pipeline's pool blocks are
// all freed either way.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/quelvixcam/convert_command.h"
#include "host/kernel/pool.h"

namespace {

[[noreturn]] void Violated(const char* what, int value) {
    std::fprintf(stderr, "convert_input fuzz: %s (%d)\n", what, value);
    std::abort();
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= line.size()) {
        size_t space = line.find(' ', start);
        std::string word = line.substr(start, space == std::string::npos ? std::string::npos : space - start);
        if (!word.empty()) words.push_back(word);
        if (space == std::string::npos) break;
        start = space + 1;
    }
    return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    const std::string line = input.substr(0, newline);
    // The raw bytes in a block of exactly their size, so that a read past
    // them is a heap overflow.
    const std::vector<uint8_t> raw(data + (newline == std::string::npos ? size : newline + 1), data + size);

    std::vector<std::string> words = {"--input", "fuzz.raw", "--output", "fuzz.bgra"};
    // An argument ends at its first NUL, as a command line's do.
    for (const std::string& word : Words(line)) words.push_back(word.c_str());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);

    const size_t liveBefore = hostk::PoolTotals().liveBlocks;
    std::vector<uint8_t> bgra;
    const int status = ConvertRawBytes(static_cast<int>(argv.size()), argv.data(), raw, &bgra);
    const size_t liveAfter = hostk::PoolTotals().liveBlocks;
    if (liveAfter != liveBefore) Violated("pool blocks left behind", static_cast<int>(liveAfter - liveBefore));

    bool help = false;
    for (const std::string& word : words) help = help || word == "--help" || word == "-h";
    if (status == 0 && bgra.empty() && help) return 0;  // the usage text, nothing converted
    if (status == 0) {
        if (bgra.empty() || bgra.size() % 4 != 0) Violated("an accepted frame of a bad size", static_cast<int>(bgra.size()));
        if (bgra.size() / 4 > raw.size()) Violated("more pixels than raw bytes", static_cast<int>(bgra.size() / 4));
        for (size_t i = 3; i < bgra.size(); i += 4) {
            if (bgra[i] != 255) Violated("a pixel without alpha 255 at byte", static_cast<int>(i));
        }
    } else if (status != 2) {
        Violated("a refusal with a status other than 2", status);
    }
    return 0;
}
