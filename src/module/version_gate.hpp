// The interpreter version check made before the module is created.
#pragma once

#include <cstring>

namespace tarvelin {

// True when `runtime` (an interpreter's full version string, such as
// "3.13.0 (main, ...)") is the release series `compiled` ("3.13"): it must
// begin with `compiled` and not continue with another digit ("3.130" fails).
inline bool interpreter_version_matches(const char* runtime, const char* compiled) noexcept {
    const std::size_t n = std::strlen(compiled);
    if (std::strncmp(runtime, compiled, n) != 0) return false;
    return !(runtime[n] >= '0' && runtime[n] <= '9');
}

} // namespace tarvelin
