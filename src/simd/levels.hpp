// The dispatch levels of the vector code: one table of entry points per
// instruction set that this build compiled and this CPU can run, chosen once
// for the process (simd/dispatch.cpp). The level in use serves both the
// scanning kernel (simd/scan_kernel.hpp) and the text conversion
// (text/transcode.hpp).
//
// Levels: "scalar" (no vector kernel: the scanning kernel settles nothing and
// the text conversion runs the scalar loops of text/transcode.hpp, which are
// always built) and, where the build and the CPU have them, "sse4", "avx2",
// "avx512", "avx512vbmi2" (x86-64: AVX-512 with the byte compression of Ice
// Lake and Zen 4 on) or "neon" (arm64). The best available level is chosen on
// first use; tests and benchmarks may force another one with set_scan_level.
#pragma once

#include <span>
#include <string_view>

namespace tarvelin {

// The levels this build can run on this CPU, "scalar" first, best last.
std::span<const char* const> scan_levels() noexcept;
// Makes `name` the level in use; false (and no change) when it is not available.
bool set_scan_level(std::string_view name) noexcept;
// The level in use.
const char* scan_level() noexcept;

} // namespace tarvelin
