#include "host/kernel/violations.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace hostk {
namespace {
std::mutex g_lock;
std::string g_text;
size_t g_count = 0;
}  // namespace

void ReportViolation(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "host kernel: platform rule broken: %s\n", line);
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_count;
    g_text += line;
    g_text += '\n';
}

size_t ViolationCount() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_count;
}

std::string ViolationText() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_text;
}

void ClearViolations() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_count = 0;
    g_text.clear();
}

}  // namespace hostk
