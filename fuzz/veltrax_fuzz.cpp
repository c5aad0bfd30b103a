// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target: the input bytes become up to kMaxCalls calls of the
// gateway (any build, 0..6 inputs of any shape, extreme values) on one
// simulation per build that a call may replace by a fresh one, and calls of
// matprod. A call must either succeed with outputs of the documented shapes
// or throw veltrax::Error with an identifier the broken rules allow, leaving
// the simulation byte for byte as it was. Anything else aborts.
//
// Cost bound: a call with N > kMaxRunSamples or more than kMaxRunSubsteps
// Runge-Kutta steps per sample goes through the checks only (the checks
// still see the large values, nothing runs), so one execution stays in
// milliseconds. The built-in model always runs 60 s per sample period with
// steps of at least 1 s, so it needs no bound of its own.
//
// Byte layout, read front to back, 0 once the data is used up (so the empty
// input is one valid call of veltrax2):
//   per call:  op (% 4 == 3: matprod, else gateway)
//   gateway:   build, flags (bit 0 fresh simulation, bits 1-2 both set: compare
//              with two threads), nrhs, nlhs, model template,
//              then per input: shape [, rows] [, cols], edits, edits x (index, value)
//   matprod:   nrhs, nlhs, m, n, q, inner (p), per input: edits, edits x (index, value)
//   value:     kind, byte [, 8 bytes of a raw double]
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "api/internal.hpp"

namespace {

using veltrax::Matrix;

constexpr int kMaxCalls = 6;
constexpr std::int32_t kMaxRunSamples = 3;
constexpr std::int32_t kMaxRunSubsteps = 1000;

static_assert(std::is_trivially_copyable_v<veltrax::SimulationState>, "state snapshots copy bytes");

// VELTRAX_FUZZ_VERBOSE=1 prints every call and its outcome (triage of an input).
const bool kVerbose = std::getenv("VELTRAX_FUZZ_VERBOSE") != nullptr;

[[noreturn]] void finding(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "FINDING: %s %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    std::uint8_t u8() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    double raw_double() {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(u8()) << (8 * i);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    bool empty() const { return n_ == 0; }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

const double kSpecial[] = {
    NAN, INFINITY, -INFINITY, 0.0, -0.0, 1.0, -1.0, DBL_MAX, -DBL_MAX, DBL_MIN, -DBL_MIN, 4.9406564584124654e-324,
    1e300, -1e300, 1e-300, 0.5, -0.5, 0.999999, 1.000001, 2.0, 3.0, 4.0, 5.0, 6.0, 6.999999, 7.0, 9.0, 9.5, 10.0,
    11.0, 12.0, 60.0, 1e6, -1e6, 70.001, 6.48, 0.404, 0.505, 2.98, 2147483647.0, 2147483647.5, 2147483648.0,
    -2147483648.0, -2147483648.5, -2147483649.0, 4294967296.0, 9007199254740993.0, 1e-6};
const double kFractions[] = {0.5, -0.5, 0.25, 0.999999, -0.999999, 1e-9, -1e-9, 0.0};
const double kMultipliers[] = {-1.0, 2.0, 0.5, 1e-300, 1e300, 0.0, -0.0, 1e-6};

double fuzz_value(Bytes& in, double current) {
    const std::uint8_t kind = in.u8();
    const std::uint8_t b = in.u8();
    switch (kind % 6) {
        case 0: return kSpecial[b % (sizeof kSpecial / sizeof *kSpecial)];
        case 1: return static_cast<std::int8_t>(b);
        case 2: return static_cast<std::int8_t>(b >> 3) + kFractions[b % 8];
        case 3: return in.raw_double();
        case 4: return current * kMultipliers[b % 8];
        default: {
            const double base = (b & 1) ? 2147483647.0 : -2147483648.0;
            const double offsets[] = {-1.0, -0.5, 0.0, 0.5, 1.0, 0.25, -0.25, 2.0};
            return base + offsets[(b >> 1) % 8];
        }
    }
}

Matrix fuzz_matrix(Bytes& in, const Matrix& def) {
    Matrix m = def;
    const std::uint8_t shape = in.u8();
    if (shape % 4 != 0) {
        std::size_t rows = 1, cols = 1;
        switch (shape % 4) {
            case 1: cols = in.u8() % 13; break;
            case 2: rows = in.u8() % 4; cols = in.u8() % 13; break;
            default: rows = in.u8() % 13; break;
        }
        std::vector<double> data(rows * cols);
        for (std::size_t k = 0; k < data.size(); ++k) data[k] = def.data.empty() ? 1.0 : def.data[k % def.data.size()];
        m = Matrix(rows, cols, std::move(data));
    }
    const int edits = in.u8() % 8;
    for (int e = 0; e < edits; ++e) {
        const std::uint8_t index = in.u8();
        if (m.data.empty()) {
            in.u8();
            in.u8();
            continue;
        }
        double& v = m.data[index % m.data.size()];
        v = fuzz_value(in, v);
    }
    return m;
}

struct Template {
    Matrix num, den;
};

Template model_template(std::uint8_t which) {
    switch (which % 4) {
        case 1: return {Matrix::row({70.001, 6.48}), Matrix()};
        case 2: return {Matrix::row({1.0}), Matrix::row({1.0, 2.0})};
        case 3: {
            Matrix num(1, 10, std::vector<double>(10, 0.5));
            Matrix den(1, 11, std::vector<double>(11, 0.1));
            den.data[0] = 1.0;
            return {num, den};
        }
        default: return {Matrix::row({1.0, 0.5}), Matrix::row({1.0, 3.0, 3.0, 1.0})};
    }
}

// What the rules allow for a call: the identifiers of every broken rule, and
// whether it may succeed.
struct Allowed {
    std::set<std::string> ids;
    bool may_succeed = true;
    void broken(const char* id) {
        ids.insert(id);
        may_succeed = false;
    }
};

bool int32_field(double v) { return v > -2147483649.0 && v < 2147483648.0; }

Allowed allowed_outcomes(const std::vector<Matrix>& in, int nlhs) {
    Allowed a;
    const int nrhs = static_cast<int>(in.size());
    if (nrhs < 4) a.broken("veltrax:notEnoughInputs");
    if (nlhs > 5) a.broken("veltrax:tooManyOutputs");
    if (nrhs < 4) return a;

    const Matrix& p = in[0];
    if (p.numel() < 9) {
        a.broken("veltrax:badParameterVector");
    } else {
        const double* v = p.data.data();
        bool integers = true;
        for (int k : {0, 2, 4, 5, 7})
            if (!int32_field(v[k])) integers = false;
        if (!integers) {
            a.broken("veltrax:notAnInteger");
        } else {
            const long n = static_cast<long>(v[0]), dead = static_cast<long>(v[2]), na = static_cast<long>(v[4]),
                       nb = static_cast<long>(v[5]), substeps = static_cast<long>(v[7]);
            if (n < 0) a.broken("veltrax:badSampleCount");
            if (dead < 0) a.broken("veltrax:badDeadTime");
            if (na < 0 || na > 6 || nb < 0 || na + nb > 10) a.broken("veltrax:badOrder");
            if (dead + nb > 9) a.broken("veltrax:badDeadTime");
            if (substeps < 1) a.broken("veltrax:badStep");
        }
        if (!(v[8] > 0.0) || !std::isfinite(v[8])) a.broken("veltrax:badStep");
    }

    const Matrix& num = in[1];
    const Matrix& den = in[2];
    // An empty denominator selects the built-in model; one of 0 rows and some
    // columns may also be read as a malformed denominator.
    if (den.numel() == 0 && den.cols != 0) a.ids.insert("veltrax:badDenominator");
    if (den.numel() != 0) {
        if (den.rows != 1 || den.cols < 2 || den.cols > 11 || den.data[0] == 0.0) a.broken("veltrax:badDenominator");
        if (num.rows != 1 || num.cols == 0 || num.cols >= den.cols) a.broken("veltrax:badNumerator");
    } else if (num.numel() < 2) {
        a.broken("veltrax:badModelParameters");
    } else {
        const double mass = num.data[0], output = num.data[1];
        if (!(mass > 0.0) || !std::isfinite(mass) || !(output > 0.0) || !std::isfinite(output))
            a.broken("veltrax:badModelParameters");
        else
            a.ids.insert("veltrax:badModelParameters");  // integration step below 1 s
    }

    if (in[3].numel() < 4) a.broken("veltrax:badCurveParameters");
    if (nrhs == 5 && (in[4].numel() < 3 || in[4].data[0] == 0.0)) a.broken("veltrax:badFilter");
    return a;
}

std::string describe(const std::vector<Matrix>& in, int nlhs) {
    std::string s = "nlhs=" + std::to_string(nlhs) + " inputs:";
    char buf[64];
    for (const Matrix& m : in) {
        std::snprintf(buf, sizeof buf, " [%zux%zu:", m.rows, m.cols);
        s += buf;
        for (double v : m.data) {
            std::snprintf(buf, sizeof buf, " %.17g", v);
            s += buf;
        }
        s += "]";
    }
    return s;
}

// Calls too costly to run: N or the Runge-Kutta steps per sample above the bound.
bool too_costly(const std::vector<Matrix>& in) {
    if (in.empty() || in[0].numel() < 9) return false;
    const double* p = in[0].data.data();
    if (int32_field(p[0]) && static_cast<std::int32_t>(p[0]) > kMaxRunSamples) return true;
    if (int32_field(p[7]) && static_cast<std::int32_t>(p[7]) > kMaxRunSubsteps) return true;
    return false;
}

bool same_bits(const Matrix& a, const Matrix& b) {
    return a.rows == b.rows && a.cols == b.cols &&
           (a.data.empty() || std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)) == 0);
}

struct Progress {
    long calls = 0;
    long last = 0;
    long total = -1;
};

void on_progress(void* context, long done, long total) {
    Progress& p = *static_cast<Progress*>(context);
    if (done != p.last + 1 || (p.total >= 0 && total != p.total)) finding("progress out of order");
    ++p.calls;
    p.last = done;
    p.total = total;
}

void gateway_call(Bytes& in, veltrax::Simulation (&sims)[3]) {
    const std::uint8_t build_byte = in.u8();
    const veltrax::Build build = build_byte % 3 == 0 ? veltrax::Build::Base
                                 : build_byte % 3 == 1 ? veltrax::Build::Preview
                                                       : veltrax::Build::PreviewHold;
    veltrax::Simulation& sim = sims[static_cast<int>(build) - 1];
    const std::uint8_t flags = in.u8();
    if (flags & 1) sim = veltrax::Simulation(build);
    const bool compare_threads = (flags & 6) == 6;
    const int nrhs_map[] = {4, 5, 6, 0, 1, 2, 3};
    const int nlhs_map[] = {5, 0, 1, 2, 3, 4, 6};
    const int nrhs = nrhs_map[in.u8() % 7];
    const int nlhs = nlhs_map[in.u8() % 7];
    const Template t = model_template(in.u8());

    const Matrix defaults[6] = {Matrix::row({2.0, 0.1, 2.0, 1.0, 3.0, 3.0, 0.005, 10.0, 0.1}), t.num, t.den,
                                Matrix::row({0.404, 0.505, 2.98, 4.0}), Matrix::row({1.0, -1.2, 0.36}),
                                Matrix::row({1.0})};
    std::vector<Matrix> inputs;
    for (int i = 0; i < nrhs; ++i) inputs.push_back(fuzz_matrix(in, defaults[i]));

    const Allowed allowed = allowed_outcomes(inputs, nlhs);
    std::vector<unsigned char> before(sizeof(veltrax::SimulationState));
    std::memcpy(before.data(), &veltrax::state_of(sim), before.size());
    auto unchanged = [&] { return std::memcmp(before.data(), &veltrax::state_of(sim), before.size()) == 0; };
    if (kVerbose)
        std::fprintf(stderr, "veltrax%d %s%s\n", static_cast<int>(build), (flags & 1) ? "fresh " : "",
                     describe(inputs, nlhs).c_str());
    auto check_error = [&](const veltrax::Error& e) {
        if (kVerbose) std::fprintf(stderr, "  -> %s: %s\n", e.id().c_str(), e.what());
        if (!allowed.ids.count(e.id()))
            finding("unexpected error", e.id() + " (" + e.what() + ") for " + describe(inputs, nlhs));
        if (std::strlen(e.what()) == 0) finding("error without a message", e.id());
        if (!unchanged()) finding("rejected call changed the state", e.id() + " " + describe(inputs, nlhs));
    };

    if (too_costly(inputs)) {
        try {
            veltrax::check_call(inputs, nlhs);
        } catch (const veltrax::Error& e) {
            check_error(e);
            return;
        }
        if (!allowed.may_succeed) finding("accepted a bad call", describe(inputs, nlhs));
        if (!unchanged()) finding("decoding changed the state");
        if (kVerbose) std::fprintf(stderr, "  -> accepted, not run (cost bound)\n");
        return;
    }

    std::unique_ptr<veltrax::Simulation> twin;
    if (compare_threads) twin = std::make_unique<veltrax::Simulation>(sim);
    Progress progress;
    veltrax::RunOptions options;
    options.threads = 1;
    options.progress = on_progress;
    options.progress_context = &progress;
    std::vector<Matrix> out;
    try {
        out = sim.call(inputs, nlhs, options);
    } catch (const veltrax::Error& e) {
        check_error(e);
        return;
    }
    if (!allowed.may_succeed) finding("accepted a bad call", describe(inputs, nlhs));
    if (kVerbose) std::fprintf(stderr, "  -> ran%s\n", compare_threads ? ", compared with two threads" : "");

    const double* p = inputs[0].data.data();
    const std::size_t n = static_cast<std::size_t>(static_cast<std::int32_t>(p[0]));
    const std::size_t orders = static_cast<std::size_t>(static_cast<std::int32_t>(p[4]) + static_cast<std::int32_t>(p[5]));
    const std::size_t shapes[5][2] = {{n, 1}, {n, 5}, {n, orders}, {n, 5}, {3, 1}};
    if (out.size() != static_cast<std::size_t>(nlhs < 1 ? 1 : nlhs)) finding("wrong number of outputs");
    for (std::size_t k = 0; k < out.size(); ++k)
        if (out[k].rows != shapes[k][0] || out[k].cols != shapes[k][1] ||
            out[k].data.size() != shapes[k][0] * shapes[k][1])
            finding("wrong output shape", std::to_string(k) + " " + describe(inputs, nlhs));
    if (progress.calls != static_cast<long>(n) || (n > 0 && progress.total != static_cast<long>(n)))
        finding("progress not reported once per sample period");

    if (compare_threads) {
        veltrax::RunOptions two;
        two.threads = 2;
        const std::vector<Matrix> out2 = twin->call(inputs, nlhs, two);
        for (std::size_t k = 0; k < out.size(); ++k)
            if (!same_bits(out[k], out2[k]))
                finding("two threads give other outputs", std::to_string(k) + " " + describe(inputs, nlhs));
        // The whole state, through its snapshot.
        if (sim.save_state() != twin->save_state()) finding("two threads leave another state", describe(inputs, nlhs));
    }
}

void matprod_call(Bytes& in) {
    const int nrhs_map[] = {2, 0, 1, 3};
    const int nlhs_map[] = {1, 0, 2};
    const int nrhs = nrhs_map[in.u8() % 4];
    const int nlhs = nlhs_map[in.u8() % 3];
    const std::size_t m = in.u8() % 5, n = in.u8() % 5, q = in.u8() % 5;
    const std::uint8_t inner = in.u8();
    const std::size_t p = inner % 4 == 3 ? inner / 4 % 5 : n;
    const std::size_t dims[3][2] = {{m, n}, {p, q}, {1, 1}};
    std::vector<Matrix> inputs;
    for (int i = 0; i < nrhs; ++i) {
        Matrix a(dims[i][0], dims[i][1]);
        for (std::size_t k = 0; k < a.data.size(); ++k) a.data[k] = static_cast<double>(k % 7) - 2.0;
        const int edits = in.u8() % 8;
        for (int e = 0; e < edits && !a.data.empty(); ++e) {
            double& v = a.data[in.u8() % a.data.size()];
            v = fuzz_value(in, v);
        }
        inputs.push_back(std::move(a));
    }

    const char* expected = nrhs < 2 ? "matprod:notEnoughInputs"
                           : nlhs > 1 ? "matprod:tooManyOutputs"
                           : n != p   ? "matprod:dimensionMismatch"
                                      : nullptr;
    if (kVerbose)
        std::fprintf(stderr, "matprod nrhs=%d nlhs=%d %zux%zu times %zux%zu\n", nrhs, nlhs, m, n, p, q);
    Matrix r;
    try {
        r = veltrax::call_matprod(inputs, nlhs);
    } catch (const veltrax::Error& e) {
        if (kVerbose) std::fprintf(stderr, "  -> %s\n", e.id().c_str());
        if (!expected || e.id() != expected) finding("matprod: unexpected error", e.id());
        return;
    }
    if (expected) finding("matprod: accepted a bad call", expected);
    if (r.rows != m || r.cols != q || r.data.size() != m * q) finding("matprod: wrong shape");
    const Matrix& a = inputs[0];
    const Matrix& b = inputs[1];
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < q; ++j) {
            double s = 0.0;
            for (std::size_t k = 0; k < p; ++k) s = s + a.data[i + m * k] * b.data[k + p * j];
            const double got = r.data[i + m * j];
            if (!(std::isnan(s) && std::isnan(got)) && std::memcmp(&s, &got, sizeof s) != 0)
                finding("matprod: product differs from the sums in order");
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    veltrax::Simulation sims[3] = {veltrax::Simulation(veltrax::Build::Preview), veltrax::Simulation(veltrax::Build::Base),
                                   veltrax::Simulation(veltrax::Build::PreviewHold)};
    for (int call = 0; call < kMaxCalls; ++call) {
        if (call > 0 && in.empty()) break;
        if (in.u8() % 4 == 3)
            matprod_call(in);
        else
            gateway_call(in, sims);
    }
    return 0;
}
