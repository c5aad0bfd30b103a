// SPDX-License-Identifier: LGPL-2.1-or-later
// Rejected calls: identifier, and the simulation left exactly as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "api/veltrax.hpp"
#include "golden_cases.hpp"

using namespace veltrax;
using veltrax::testing::curve_default;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::vector<Matrix> good() {
    return {Matrix::row({30, 0.1, 2, 2, 3, 3, 0.02, 10, 0.1}), Matrix::row({1}), Matrix::row({1, 3, 3, 1}),
            curve_default()};
}

std::string rejected_id(std::vector<Matrix> in, int nlhs = 5, Build b = Build::Base) {
    Simulation s(b);
    try {
        s.call(in, nlhs);
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()), "");
        return e.id();
    }
    return "accepted";
}

std::vector<Matrix> with(std::size_t input, Matrix m) {
    auto in = good();
    if (input >= in.size()) in.resize(input + 1);
    in[input] = std::move(m);
    return in;
}

std::vector<Matrix> with_param(std::size_t element, double value) {
    auto in = good();
    in[0].data[element] = value;
    return in;
}

}  // namespace

TEST(Errors, ArgumentChecks) {
    // One call per identifier; the Octave tests go through every case.
    EXPECT_EQ(rejected_id({good()[0], good()[1], good()[2]}), "veltrax:notEnoughInputs");
    EXPECT_EQ(rejected_id(good(), 6), "veltrax:tooManyOutputs");
    EXPECT_EQ(rejected_id(with(0, Matrix::row({30, 0.1, 2, 2, 3, 3, 0}))), "veltrax:badParameterVector");
    for (double bad : {kNaN, kInf, 3e9}) EXPECT_EQ(rejected_id(with_param(4, bad)), "veltrax:notAnInteger");
    EXPECT_EQ(rejected_id(with_param(0, -1)), "veltrax:badSampleCount");
    EXPECT_EQ(rejected_id(with_param(2, 7)), "veltrax:badDeadTime");  // 7 + 3 > 9
    EXPECT_EQ(rejected_id(with_param(4, 7)), "veltrax:badOrder");
    EXPECT_EQ(rejected_id(with_param(5, 2147483647)), "veltrax:badOrder");  // the sum must not overflow
    EXPECT_EQ(rejected_id(with_param(8, kNaN)), "veltrax:badStep");
    EXPECT_EQ(rejected_id(with(2, Matrix::row({0, 1, 1}))), "veltrax:badDenominator");
    EXPECT_EQ(rejected_id(with(2, Matrix(0, 3))), "veltrax:badDenominator");  // 3 columns, no data
    EXPECT_EQ(rejected_id(with(1, Matrix::column({1, 2}))), "veltrax:badNumerator");
    EXPECT_EQ(rejected_id(with(3, Matrix::row({0.4, 0.5, 3}))), "veltrax:badCurveParameters");
    EXPECT_EQ(rejected_id(with(4, Matrix::row({0, -1.6, 0.64}))), "veltrax:badFilter");
}

TEST(Errors, BuiltInModelChecks) {
    auto model = [](Matrix num) {
        auto in = good();
        in[1] = std::move(num);
        in[2] = Matrix(0, 0);
        return in;
    };
    EXPECT_EQ(rejected_id(model(Matrix::row({70}))), "veltrax:badModelParameters");
    EXPECT_EQ(rejected_id(model(Matrix::row({0, 6.48}))), "veltrax:badModelParameters");
    EXPECT_EQ(rejected_id(model(Matrix::row({70, -1}))), "veltrax:badModelParameters");
    EXPECT_EQ(rejected_id(model(Matrix::row({kNaN, 6.48}))), "veltrax:badModelParameters");
    EXPECT_EQ(rejected_id(model(Matrix::row({5, 6.48}))), "veltrax:badModelParameters");  // step of 0 s
    EXPECT_EQ(rejected_id(model(Matrix::row({10, 6.48}))), "accepted");
    EXPECT_EQ(rejected_id(model(Matrix::column({70, 6.48}))), "accepted");
}

TEST(Errors, MessagesNameTheArgument) {
    try {
        Simulation s;
        s.call(with(0, Matrix::row({1, 2, 3, 4, 5, 6, 7})));
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "parameter vector needs at least 9 elements, got 7");
    }
}

TEST(Errors, RejectedCallLeavesStateUnchanged) {
    const auto in = good();
    Simulation reference(Build::PreviewHold), probed(Build::PreviewHold);
    reference.call(in);
    probed.call(in);
    const std::vector<std::vector<Matrix>> bad = {with_param(4, 9), with(2, Matrix::row({0, 1})), with(4, Matrix::row({0, 1, 1})),
                                                  [] { auto m = good(); m[1] = Matrix::row({4, 6.48}); m[2] = Matrix(); return m; }()};
    for (const auto& b : bad) EXPECT_THROW(probed.call(b), Error);
    EXPECT_THROW(probed.call(in, 7), Error);
    const auto want = reference.call(in);
    const auto got = probed.call(in);
    for (std::size_t k = 0; k < 5; ++k)
        EXPECT_EQ(std::memcmp(want[k].data.data(), got[k].data.data(), want[k].data.size() * sizeof(double)), 0);
}

TEST(Errors, AcceptedOddValuesTerminate) {
    // Values the checks let through must still give a finished call.
    for (auto in : {with_param(1, kNaN), with_param(1, -5.0), with_param(6, 50.0), with(3, Matrix::row({kNaN, 0.5, 3, 4})),
                    with(1, Matrix::row({kInf})), with(4, Matrix::row({kNaN, 0, 0})), with_param(3, kNaN)}) {
        in[0].data[0] = 5;
        Simulation s(Build::Preview);
        EXPECT_NO_THROW(s.call(in));
    }
}

TEST(Matprod, ProductAndShapes) {
    const Matrix a(2, 3, {1, 4, 2, 5, 3, 6});
    const Matrix b(3, 2, {7, 9, 11, 8, 10, 12});
    const Matrix r = call_matprod({a, b});
    EXPECT_EQ(r.data, (std::vector<double>{58, 139, 64, 154}));
    EXPECT_EQ(call_matprod({Matrix::row({2}), Matrix::row({1, -2, 3})}).data, (std::vector<double>{2, -4, 6}));
    const Matrix z = call_matprod({Matrix(3, 0), Matrix(0, 2)});
    EXPECT_EQ(z.rows, 3u);
    EXPECT_EQ(z.data, std::vector<double>(6, 0.0));
    EXPECT_EQ(call_matprod({Matrix(0, 2), Matrix(2, 4)}).data.size(), 0u);
    try {
        call_matprod({a, a});
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.id(), "matprod:dimensionMismatch");
    }
    EXPECT_THROW(call_matprod({a}), Error);
}
