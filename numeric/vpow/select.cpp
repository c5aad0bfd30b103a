// SPDX-License-Identifier: LGPL-2.1-or-later
// Selection and dispatch of the vector power function (numeric/vpow/pow.hpp).
#include "numeric/vpow/pow.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "numeric/vpow/internal.hpp"
#include "numeric/vpow/process_memo.hpp"

#if defined(__GLIBC__)
#include <dlfcn.h>
#include <sys/stat.h>
#endif

#if defined(__x86_64__) && defined(__GLIBC__) && __has_include(<sys/platform/x86.h>)
#include <gnu/libc-version.h>
#if defined(__clang__)
#define _Bool bool  // the header is C, and clang's C++ has no _Bool
#endif
#include <sys/platform/x86.h>  // glibc >= 2.33: the features as the library itself sees them
#if defined(__clang__)
#undef _Bool
#endif
#define VELTRAX_VPOW_X86 1
#else
#define VELTRAX_VPOW_X86 0
#endif

namespace veltrax::vpow {

namespace detail {

// The C library versions whose pow the kernels repeat exactly. Each was
// verified on Debian's build of it with scripts/verify-pow.sh, which finds
// the kernels' tables in the installed libm, runs the self-check on every
// path the CPU has, compares 10^8 values with std::pow on each path and on
// the library's core, and single-steps the library's machine code to find
// every intermediate value of the kernels among its registers. To admit
// another version: run scripts/verify-pow.sh on a system with it, and when it
// prints "verdict: verified", add the version here (and to the README's list
// of supported systems). Other builds of a listed version are still guarded
// by the self-check at selection.
constexpr const char* kVerifiedLibraries[] = {"2.36", "2.41"};

namespace {

double std_pow(double x, double y) { return std::pow(x, y); }

std::string verified_list() {
    std::string list;
    for (const char* v : kVerifiedLibraries) list += (list.empty() ? "" : ", ") + std::string(v);
    return list;
}

// VELTRAX_POW_PATH: the widest path allowed; unset, empty or "auto": all.
struct Request {
    PowPath widest = PowPath::Avx512;
    std::string note;  // for the summary: what was asked, when not auto
};

Request requested_paths() {
    Request r;
    const char* env = std::getenv("VELTRAX_POW_PATH");
    if (env == nullptr || *env == '\0' || std::strcmp(env, "auto") == 0) return r;
    const std::string value(env);
    if (value == "avx512" || value == "avx2" || value == "scalar") {
        r.widest = value == "avx512" ? PowPath::Avx512 : value == "avx2" ? PowPath::Avx2 : PowPath::Scalar;
        r.note = "VELTRAX_POW_PATH=" + value;
    } else {
        r.note = "VELTRAX_POW_PATH=" + value.substr(0, 20) + " is not auto, avx512, avx2 or scalar: auto used";
    }
    return r;
}

// VELTRAX_POW_TABLES=gathers or =loads, else calibration.
bool forced_access(TableAccess& access) {
    const char* env = std::getenv("VELTRAX_POW_TABLES");
    if (env != nullptr && std::strcmp(env, "gathers") == 0) access = TableAccess::Gathers;
    else if (env != nullptr && std::strcmp(env, "loads") == 0) access = TableAccess::Loads;
    else return false;
    return true;
}

// The faster table access on this processor: both kernels on 1024 values of
// the cost's range, five rounds each in turn, the fastest round of each.
TableAccess calibrate(PowPath path) {
    alignas(64) double x[1024], out[1024];
    for (int i = 0; i < 1024; ++i) x[i] = 0.01 + 9.99 * ((i * 677) % 1024) / 1024.0;
    double fastest[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    for (int round = 0; round < 6; ++round) {
        for (TableAccess access : {TableAccess::Gathers, TableAccess::Loads}) {
            const auto start = std::chrono::steady_clock::now();
            pow_n_on(path, access, x, 1024, 4.0, out);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (round > 0) fastest[static_cast<int>(access)] = std::min(fastest[static_cast<int>(access)], seconds);
        }
    }
    return fastest[1] <= fastest[0] ? TableAccess::Loads : TableAccess::Gathers;
}

// What selection learns, kept across plug-in loads in the process
// (numeric/vpow/process_memo.hpp) so that it is learnt once per process. One
// entry per file that holds this code (a process may load several plug-ins,
// or rebuilt ones), all in one key:
//   - about the C library and the CPU: the hash of the self-check inputs, the
//     hash of std::pow's outputs on them, whether the library's core gave the
//     same, the calibrated table access of each path; another file whose
//     inputs have the same hash takes these;
//   - whether each kernel passed the self-check with each table access, which
//     only that code can know: the entry's file is named by its identity
//     (device, inode, size, modification and change times, path), and a
//     reload of the same file is the same code. A rebuilt or another file runs
//     its own kernels once.
struct Memo {
    static constexpr std::uint8_t kUnknown = 0xff;
    std::uint64_t code = 0;    // the file's identity; 0: unknown (no kernel results)
    std::uint64_t inputs = 0;  // with have_reference
    std::uint64_t reference = 0;
    std::uint8_t have_reference = 0;
    std::uint8_t core = kUnknown;  // 1: __pow_finite passed, 0: failed
    std::uint8_t access[3] = {kUnknown, kUnknown, kUnknown};
    std::uint8_t kernel[3] = {};   // bit a: passed with access a; bit 2 + a: failed

    bool empty() const { return code == 0 && !have_reference; }
};
static_assert(sizeof(Memo) == 32, "Memo has no padding");

// The process's one key: the most recently stored entries, newest first.
struct MemoRecord {
    static constexpr const char* kName = "veltrax-vpow";
    static constexpr std::uint64_t kMagic = 0x766f776d656d6f33ULL;
    static constexpr int kEntries = 6;
    std::uint64_t magic = kMagic;
    Memo entries[kEntries];
    std::uint64_t check = 0;

    std::uint64_t checksum() const {
        unsigned char bytes[sizeof entries];
        std::memcpy(bytes, entries, sizeof bytes);
        std::uint64_t h = magic ^ 0xcbf29ce484222325ULL;
        for (unsigned char b : bytes) h = (h ^ b) * 0x100000001b3ULL;
        return h;
    }
    bool load() { return load_process_memo(kName, this, sizeof *this) && magic == kMagic && check == checksum(); }
};
static_assert(sizeof(MemoRecord) == 16 + MemoRecord::kEntries * sizeof(Memo), "MemoRecord has no padding");

struct Selection {
    Request request;
    bool verified = false;
    std::string library;  // "glibc 2.36 verified", ...
    PowPath best = PowPath::Scalar;
    PowFunction scalar = &std_pow;
    std::string summary;
    // Paths narrower than the best are checked when first asked about.
    std::once_flag checked[3];
    bool usable[3] = {true, false, false};
    std::string reason[3];  // why a path is not used
    // The self-check's inputs (made when a check runs) and the memo.
    std::mutex mutex;
    std::vector<PowCheckGroup> inputs;
    Memo memo;
    bool selected = false;  // select() has finished
};

// The self-check inputs, and what the process already knows about them.
void need_inputs(Selection& s) {
    if (!s.inputs.empty()) return;
    s.inputs = self_check_groups();
    s.memo.inputs = self_check_inputs_hash(s.inputs);
    MemoRecord stored;
    if (s.memo.have_reference || !stored.load()) return;
    for (const Memo& m : stored.entries) {
        if (!m.have_reference || m.inputs != s.memo.inputs) continue;
        s.memo.reference = m.reference;
        s.memo.have_reference = 1;
        if (s.memo.core == Memo::kUnknown) s.memo.core = m.core;
        for (int p = 0; p < 3; ++p)
            if (s.memo.access[p] == Memo::kUnknown) s.memo.access[p] = m.access[p];
        return;
    }
}

// The hash of std::pow's outputs on the self-check inputs (s.mutex held).
std::uint64_t reference(Selection& s) {
    need_inputs(s);
    if (!s.memo.have_reference) {
        s.memo.reference = self_check_outputs_hash(s.inputs, &std_pow);
        s.memo.have_reference = 1;
    }
    return s.memo.reference;
}

// The identity of the file that holds this code, 0 when it is unknown.
std::uint64_t code_identity() {
#if defined(__GLIBC__)
    Dl_info info;
    struct stat file;
    if (dladdr(reinterpret_cast<void*>(&code_identity), &info) == 0 || info.dli_fname == nullptr ||
        stat(info.dli_fname, &file) != 0)
        return 0;
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::uint64_t v : {std::uint64_t(file.st_dev), std::uint64_t(file.st_ino), std::uint64_t(file.st_size),
                            std::uint64_t(file.st_mtim.tv_sec), std::uint64_t(file.st_mtim.tv_nsec),
                            std::uint64_t(file.st_ctim.tv_sec), std::uint64_t(file.st_ctim.tv_nsec)})
        h = (h ^ v) * 0x100000001b3ULL;
    for (const char* c = info.dli_fname; *c; ++c) h = (h ^ static_cast<unsigned char>(*c)) * 0x100000001b3ULL;
    return h == 0 ? 1 : h;
#else
    return 0;
#endif
}

TableAccess access_for(Selection& s, PowPath path) {
    TableAccess forced;
    if (forced_access(forced)) return forced;
    const int p = static_cast<int>(path);
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.memo.access[p] == Memo::kUnknown) {
        need_inputs(s);
        if (s.memo.access[p] == Memo::kUnknown) s.memo.access[p] = static_cast<std::uint8_t>(calibrate(path));
    }
    return static_cast<TableAccess>(s.memo.access[p]);
}

// Whether the path's kernel with this access gives std::pow's outputs.
bool kernel_passes(Selection& s, PowPath path, TableAccess access) {
    const int p = static_cast<int>(path), a = static_cast<int>(access);
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!(s.memo.kernel[p] & (5u << a))) {
        const std::uint64_t expected = reference(s);  // makes the inputs
        const bool passed = self_check_outputs_hash(s.inputs, path, access) == expected;
        s.memo.kernel[p] |= static_cast<std::uint8_t>((passed ? 1u : 4u) << a);
    }
    return (s.memo.kernel[p] & (1u << a)) != 0;
}

void load_memo(Selection& s) {
    s.memo.code = code_identity();
    MemoRecord stored;
    if (s.memo.code == 0 || !stored.load()) return;
    for (const Memo& m : stored.entries)
        if (m.code == s.memo.code) s.memo = m;
}

// Puts this code's entry first in the process's key, in place of its earlier
// one (with an unknown file: of the earlier one with the same inputs); the
// oldest of the others give way.
void save_memo(Selection& s) {
    std::lock_guard<std::mutex> lock(s.mutex);
    Memo mine = s.memo;
    if (mine.code == 0) {
        if (!mine.have_reference) return;
        for (std::uint8_t& k : mine.kernel) k = 0;
    }
    MemoRecord stored, record;
    if (!stored.load()) stored = MemoRecord{};
    if (std::memcmp(&stored.entries[0], &mine, sizeof mine) == 0) return;  // known already
    int n = 0;
    record.entries[n++] = mine;
    for (const Memo& m : stored.entries) {
        const bool same = mine.code != 0 ? m.code == mine.code : m.code == 0 && m.inputs == mine.inputs;
        if (!same && !m.empty() && n < MemoRecord::kEntries) record.entries[n++] = m;
    }
    record.check = record.checksum();
    store_process_memo(MemoRecord::kName, &record, sizeof record);
}

#if VELTRAX_VPOW_X86
bool library_verified(const std::string& version) {
    for (const char* v : kVerifiedLibraries)
        if (version == v) return true;
    return false;
}

const char* missing_features(PowPath path) {
    if (!pow_path_supported_by_cpu(PowPath::Avx2)) return "the CPU has no AVX2 and FMA";
    if (path == PowPath::Avx512 && !pow_path_supported_by_cpu(path)) return "the CPU has no AVX-512F";
    return nullptr;
}
#endif

// The table access each path uses now.
std::atomic<int> g_access[3];

// Whether a vector path may run: allowed, on a verified library, with the
// CPU's features, and its kernel (with the table access it will use) gives
// std::pow's bits on the self-check inputs.
void check_path(Selection& s, PowPath path) {
    const int p = static_cast<int>(path);
    std::string& reason = s.reason[p];
#if VELTRAX_VPOW_X86
    if (p > static_cast<int>(s.request.widest)) {
        reason = s.request.note;
    } else if (!s.verified) {
        reason = s.library;
    } else if (const char* missing = missing_features(path)) {
        reason = missing;
    } else {
        const TableAccess access = access_for(s, path);
        if (!kernel_passes(s, path, access)) {
            reason = "self-check against std::pow failed";
        } else {
            s.usable[p] = true;
            g_access[p].store(static_cast<int>(access), std::memory_order_relaxed);
        }
    }
#else
    reason = s.library;
#endif
}

bool path_usable(Selection& s, PowPath path) {
    bool checked_now = false;
    std::call_once(s.checked[static_cast<int>(path)], [&] {
        check_path(s, path);
        checked_now = true;
    });
    if (checked_now && s.selected) save_memo(s);
    return s.usable[static_cast<int>(path)];
}

void choose_scalar(Selection& s) {
#if VELTRAX_VPOW_X86
    if (!s.verified) return;
    auto core = reinterpret_cast<PowFunction>(dlvsym(RTLD_DEFAULT, "__pow_finite", "GLIBC_2.15"));
    if (core == nullptr) return;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.memo.core == Memo::kUnknown) {
        const std::uint64_t expected = reference(s);
        s.memo.core = self_check_outputs_hash(s.inputs, core) == expected ? 1 : 0;
    }
    if (s.memo.core == 1) s.scalar = core;
#else
    (void)s;
#endif
}

// The widest path that passes, and the one-line summary.
void select(Selection& s) {
    s.request = requested_paths();
#if VELTRAX_VPOW_X86
    const std::string version = gnu_get_libc_version();
    s.verified = library_verified(version);
    s.library = "glibc " + version + (s.verified ? " verified" : " not verified; verified: " + verified_list());
    if (s.verified) load_memo(s);
#else
    s.library = "not x86-64 with glibc";
#endif
    std::string why_not;  // why the widest path the request allows is not used
    for (PowPath path : {PowPath::Avx512, PowPath::Avx2}) {
        if (path_usable(s, path)) {
            s.best = path;
            break;
        }
        if (path == s.request.widest && s.reason[static_cast<int>(path)] != s.library)
            why_not = std::string(pow_path_name(path)) + ": " + s.reason[static_cast<int>(path)];
    }
    choose_scalar(s);
    save_memo(s);

    std::string reasons = s.request.note;
    TableAccess forced;
    if (s.best != PowPath::Scalar && forced_access(forced))
        reasons += (reasons.empty() ? "" : "; ") + std::string("VELTRAX_POW_TABLES=") + table_access_name(forced);
    if (!why_not.empty()) reasons += (reasons.empty() ? "" : "; ") + why_not;
    reasons += (reasons.empty() ? "" : "; ") + s.library;
    if (s.best != PowPath::Scalar) reasons += ", self-check passed";
    const std::string path =
        s.best != PowPath::Scalar
            ? std::string(pow_path_name(s.best)) + " with table " +
                  table_access_name(static_cast<TableAccess>(g_access[static_cast<int>(s.best)].load()))
        : s.scalar != &std_pow ? "scalar, the library's core without its errno wrapper"
                               : "scalar, std::pow";
    s.summary = "power: " + path + " (" + reasons + ")";
    s.selected = true;
}

Selection& selection() {
    static Selection s;
    static std::once_flag once;
    std::call_once(once, [] {
        select(s);
        g_scalar_pow.store(s.scalar, std::memory_order_relaxed);
    });
    return s;
}

double resolve_scalar_pow(double x, double y) { return selection().scalar(x, y); }

}  // namespace

std::atomic<PowFunction> g_scalar_pow{&resolve_scalar_pow};

bool pow_library_verified() {
#if VELTRAX_VPOW_X86
    return library_verified(gnu_get_libc_version());
#else
    return false;
#endif
}

}  // namespace detail

PowPath pow_path() { return detail::selection().best; }

bool pow_path_usable(PowPath path) {
    if (path == PowPath::Scalar) return true;
    detail::Selection& s = detail::selection();
    // A path wider than the best failed at selection.
    return static_cast<int>(path) <= static_cast<int>(s.best) && detail::path_usable(s, path);
}

const char* pow_path_name(PowPath path) {
    switch (path) {
        case PowPath::Avx2: return "avx2";
        case PowPath::Avx512: return "avx512";
        default: return "scalar";
    }
}

std::string pow_summary() { return detail::selection().summary; }

std::string pow_selection_report() {
    detail::Selection& s = detail::selection();
    std::string report = "path: " + std::string(pow_path_name(s.best)) + "\n";
    for (PowPath path : {PowPath::Avx2, PowPath::Avx512}) {
        report += std::string(pow_path_name(path)) + ": ";
        if (detail::path_usable(s, path))
            report += std::string("usable with table ") + table_access_name(table_access(path)) + " (" + s.library +
                      ", CPU features, self-check passed)\n";
        else
            report += "not used (" + s.reason[static_cast<int>(path)] + ")\n";
    }
    report += s.scalar != &detail::std_pow ? "scalar_pow: __pow_finite (the library core without the errno wrapper)\n"
                                           : "scalar_pow: std::pow\n";
    return report;
}

bool pow_path_supported_by_cpu(PowPath path) {
#if VELTRAX_VPOW_X86
    const bool avx2 = CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(AVX2) && __builtin_cpu_supports("fma") &&
                      __builtin_cpu_supports("avx2");
    switch (path) {
        case PowPath::Scalar: return true;
        case PowPath::Avx2: return avx2;
        case PowPath::Avx512: return avx2 && CPU_FEATURE_ACTIVE(AVX512F) && __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return path == PowPath::Scalar;
#endif
}

TableAccess table_access(PowPath path) {
    detail::selection();
    return static_cast<TableAccess>(detail::g_access[static_cast<int>(path)].load(std::memory_order_relaxed));
}

const char* table_access_name(TableAccess access) { return access == TableAccess::Loads ? "loads" : "gathers"; }

void set_table_access(PowPath path, TableAccess access) {
    // Only a kernel that passed the self-check runs.
    detail::Selection& s = detail::selection();
    if (path == PowPath::Scalar || !pow_path_usable(path) || !detail::kernel_passes(s, path, access)) return;
    detail::g_access[static_cast<int>(path)].store(static_cast<int>(access), std::memory_order_relaxed);
}

void pow_n_on(PowPath path, const double* x, std::size_t n, double y, double* out) {
    pow_n_on(path, path == PowPath::Scalar ? TableAccess::Gathers : table_access(path), x, n, y, out);
}

void pow_n_on(PowPath path, TableAccess access, const double* x, std::size_t n, double y, double* out) {
    switch (path) {
#if VELTRAX_VPOW_X86
        case PowPath::Avx2: detail::pow_n_avx2(access, x, n, y, out); return;
        case PowPath::Avx512: detail::pow_n_avx512(access, x, n, y, out); return;
#endif
        default:
            (void)access;
            for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x[i], y);
    }
}

void pow_n(const double* x, std::size_t n, double y, double* out) { pow_n_on(pow_path(), x, n, y, out); }

bool scalar_pow_is_direct() { return detail::selection().scalar != &detail::std_pow; }

}  // namespace veltrax::vpow
