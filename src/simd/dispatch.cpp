// The one translation unit of the vector code: compiles the -inl.h files of
// this folder once per instruction set, and chooses among the results at run
// time (the dispatch levels of simd/levels.hpp).
//
// Only Highway's headers are used: the levels are picked by this file from the
// CPU's feature flags, so the library needs no Highway runtime library.
// Instruction sets that would add nothing here are left out of the build.
#define HWY_DISABLED_TARGETS (HWY_SSSE3 | HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)
// The AVX-512 level of Ice Lake and Zen 4 on (byte compression, VBMI2).
#define HWY_WANT_AVX3_DL

// This file includes itself once per target through foreach_target.h; each
// pass includes the per-target parts of the -inl.h files below.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/dispatch.cpp"
#include "hwy/foreach_target.h" // IWYU pragma: keep
// Must come after foreach_target.h.
#include "hwy/highway.h"
// Block classification and the walk first: the outputs build on it.
#include "simd/block_walk-inl.h"
#include "simd/batch_out-inl.h"
#include "simd/count_out-inl.h"
#include "simd/transcode-inl.h"

#if HWY_ONCE

#include <atomic>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#include <cstring>

namespace tarvelin {
namespace {

using kernel_detail::KernelTables;

// The entry points of one level: the scanning kernel's, and the text
// conversion's (the scanning ones are null at the "scalar" level).
struct ScanEntries {
    KernelScan (*spans)(const KernelTables&, const std::uint8_t*, std::size_t, bool, TokenSpan*,
                        std::size_t);
    std::size_t (*into_batch)(const KernelTables&, const std::uint8_t*, std::size_t, bool,
                              BatchSink&);
    std::size_t (*count)(const KernelTables&, const std::uint8_t*, std::size_t, bool,
                         CountSink&);
};

struct TextEntries {
    void (*ucs1)(const std::uint8_t*, std::size_t, std::uint8_t*);
    void (*ucs2)(const std::uint8_t*, std::size_t, std::uint16_t*);
    void (*ucs4)(const std::uint8_t*, std::size_t, std::uint32_t*);
    std::size_t (*from_ucs1)(const std::uint8_t*, std::size_t, std::uint8_t*);
    std::size_t (*from_ucs2)(const std::uint16_t*, std::size_t, std::uint8_t*);
    std::size_t (*from_ucs4)(const std::uint32_t*, std::size_t, std::uint8_t*);
    bool (*surrogate2)(const std::uint16_t*, std::size_t);
    bool (*surrogate4)(const std::uint32_t*, std::size_t);
};

struct Level {
    const char* name;
    ScanEntries scan;
    TextEntries text;
};

// The "scalar" level's text conversion: the reference loops of text/transcode.hpp.
void ucs1_scalar(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    utf8_to_units(in, 0, n, out);
}
void ucs2_scalar(const std::uint8_t* in, std::size_t n, std::uint16_t* out) {
    utf8_to_units(in, 0, n, out);
}
void ucs4_scalar(const std::uint8_t* in, std::size_t n, std::uint32_t* out) {
    utf8_to_units(in, 0, n, out);
}
std::size_t from_ucs1_scalar(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    return units_to_utf8(in, n, out);
}
std::size_t from_ucs2_scalar(const std::uint16_t* in, std::size_t n, std::uint8_t* out) {
    return units_to_utf8(in, n, out);
}
std::size_t from_ucs4_scalar(const std::uint32_t* in, std::size_t n, std::uint8_t* out) {
    return units_to_utf8(in, n, out);
}
bool surrogate2_scalar(const std::uint16_t* in, std::size_t n) { return has_surrogate(in, n); }
bool surrogate4_scalar(const std::uint32_t* in, std::size_t n) { return has_surrogate(in, n); }

#define TARVELIN_LEVEL(name, ns)                                                          \
    Level {                                                                               \
        name, {&ns::ScanKernel, &ns::ScanInto, &ns::ScanCount},                           \
            {&ns::Ucs1, &ns::Ucs2, &ns::Ucs4, &ns::FromUcs1, &ns::FromUcs2, &ns::FromUcs4, \
             &ns::Surrogate2, &ns::Surrogate4}                                            \
    }

// Every level of this build that the CPU can run, worst first. The feature
// lists are those that Highway enables for each target.
struct Levels {
    Level all[5];
    const char* names[5];
    std::size_t count = 0;

    void add(const Level& level) {
        all[count] = level;
        names[count] = level.name;
        ++count;
    }

#if HWY_ARCH_X86
    // Not every compiler's __builtin_cpu_supports knows F16C: CPUID leaf 1, ECX bit 29.
    static bool has_f16c() noexcept {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & (1u << 29)) != 0;
    }

    // The features that Highway checks for its AVX3_DL target, beyond AVX-512:
    // CPUID leaf 7 ECX, VBMI (bit 1), VBMI2 (6), VAES (9), VPCLMULQDQ (10),
    // VNNI (11), BITALG (12) and VPOPCNTDQ (14); read here, as some
    // compilers' __builtin_cpu_supports report a few of them as missing.
    // (Highway's compile flags for the target also allow the VEX form of
    // VNNI, which Zen 4 lacks; no code here has a dot product to use it.)
    static bool has_avx512_dl() noexcept {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        constexpr unsigned needed = (1u << 1) | (1u << 6) | (1u << 9) | (1u << 10) | (1u << 11) |
                                    (1u << 12) | (1u << 14);
        return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ecx & needed) == needed;
    }
#endif

    Levels() {
        add({"scalar",
             {nullptr, nullptr, nullptr},
             {&ucs1_scalar, &ucs2_scalar, &ucs4_scalar, &from_ucs1_scalar, &from_ucs2_scalar,
              &from_ucs4_scalar, &surrogate2_scalar, &surrogate4_scalar}});
#if HWY_ARCH_X86
        __builtin_cpu_init();
        const bool sse4 = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1") &&
                          __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("pclmul") &&
                          __builtin_cpu_supports("aes");
        const bool avx2 = sse4 && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") &&
                          __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                          __builtin_cpu_supports("fma") && has_f16c();
        const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512dq") &&
                            __builtin_cpu_supports("avx512bw");
        const bool avx512_dl = avx512 && has_avx512_dl();
#if HWY_TARGETS & HWY_SSE4
        if (sse4) add(TARVELIN_LEVEL("sse4", N_SSE4));
#endif
#if HWY_TARGETS & HWY_AVX2
        if (avx2) add(TARVELIN_LEVEL("avx2", N_AVX2));
#endif
#if HWY_TARGETS & HWY_AVX3
        if (avx512) add(TARVELIN_LEVEL("avx512", N_AVX3));
#endif
#if HWY_TARGETS & HWY_AVX3_DL
        if (avx512_dl) add(TARVELIN_LEVEL("avx512vbmi2", N_AVX3_DL));
#endif
        (void)sse4, (void)avx2, (void)avx512, (void)avx512_dl;
#elif HWY_ARCH_ARM_A64 && (HWY_TARGETS & HWY_NEON)
        add(TARVELIN_LEVEL("neon", N_NEON)); // every arm64 CPU has it
#endif
    }
};

#undef TARVELIN_LEVEL

const Levels& levels() noexcept {
    static const Levels instance;
    return instance;
}

const KernelTables& tables() noexcept {
    static const KernelTables instance = [] {
        KernelTables t{};
        t.table = &char_class_table();
        for (std::uint32_t b = 0; b < 0x80; ++b) {
            const std::uint64_t type = char_class_to_type[t.table->lookup(b)];
            t.ascii_type[b] = static_cast<std::uint8_t>(type);
            t.start_type[b] = type;
            for (unsigned kind = 0; kind < 7; ++kind)
                if (type == std::uint64_t{1} << kind)
                    t.ascii_of_kind[kind][b >> 3] |= static_cast<std::uint8_t>(1u << (b & 7));
        }
        t.start_type[0xD0] = t.start_type[0xD1] = type_value(TokenType::RUWORD);
        return t;
    }();
    return instance;
}

// The level in use; the best one until set_scan_level picks another.
std::atomic<const Level*>& current() noexcept {
    static std::atomic<const Level*> level{&levels().all[levels().count - 1]};
    return level;
}

} // namespace

KernelScan scan_kernel(const std::uint8_t* p, std::size_t n, bool final, TokenSpan* out,
                       std::size_t max_spans) noexcept {
    const Level* level = current().load(std::memory_order_relaxed);
    if (level->scan.spans == nullptr) return {0, 0};
    return level->scan.spans(tables(), p, n, final, out, max_spans);
}

std::size_t scan_kernel_into(const std::uint8_t* p, std::size_t n, bool final,
                             BatchSink& sink) noexcept {
    const Level* level = current().load(std::memory_order_relaxed);
    if (level->scan.into_batch == nullptr) return 0;
    return level->scan.into_batch(tables(), p, n, final, sink);
}

std::size_t scan_kernel_count(const std::uint8_t* p, std::size_t n, bool final,
                              CountSink& sink) noexcept {
    const Level* level = current().load(std::memory_order_relaxed);
    if (level->scan.count == nullptr) return 0;
    return level->scan.count(tables(), p, n, final, sink);
}

bool scan_kernel_active() noexcept {
    return current().load(std::memory_order_relaxed)->scan.spans != nullptr;
}

void utf8_to_ucs1(const std::uint8_t* in, std::size_t n, std::uint8_t* out) noexcept {
    current().load(std::memory_order_relaxed)->text.ucs1(in, n, out);
}

void utf8_to_ucs2(const std::uint8_t* in, std::size_t n, std::uint16_t* out) noexcept {
    current().load(std::memory_order_relaxed)->text.ucs2(in, n, out);
}

std::size_t ucs1_to_utf8(const std::uint8_t* in, std::size_t n, std::uint8_t* out) noexcept {
    return current().load(std::memory_order_relaxed)->text.from_ucs1(in, n, out);
}

std::size_t ucs2_to_utf8(const std::uint16_t* in, std::size_t n, std::uint8_t* out) noexcept {
    return current().load(std::memory_order_relaxed)->text.from_ucs2(in, n, out);
}

std::size_t ucs4_to_utf8(const std::uint32_t* in, std::size_t n, std::uint8_t* out) noexcept {
    return current().load(std::memory_order_relaxed)->text.from_ucs4(in, n, out);
}

bool ucs2_has_surrogate(const std::uint16_t* in, std::size_t n) noexcept {
    return current().load(std::memory_order_relaxed)->text.surrogate2(in, n);
}

bool ucs4_has_surrogate(const std::uint32_t* in, std::size_t n) noexcept {
    return current().load(std::memory_order_relaxed)->text.surrogate4(in, n);
}

void utf8_to_ucs4(const std::uint8_t* in, std::size_t n, std::uint32_t* out) noexcept {
    current().load(std::memory_order_relaxed)->text.ucs4(in, n, out);
}

std::span<const char* const> scan_levels() noexcept {
    return {levels().names, levels().count};
}

bool set_scan_level(std::string_view name) noexcept {
    const Levels& l = levels();
    for (std::size_t i = 0; i < l.count; ++i) {
        if (name == l.all[i].name) {
            current().store(&l.all[i], std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

const char* scan_level() noexcept { return current().load(std::memory_order_relaxed)->name; }

} // namespace tarvelin

#endif // HWY_ONCE
