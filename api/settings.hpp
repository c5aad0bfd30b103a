// SPDX-License-Identifier: LGPL-2.1-or-later
// The named description of one call of the simulation: what the plug-ins'
// positional inputs (parameter vector, numerator, denominator, curve
// parameters, filter polynomial T) say, in the user's words. The defaults are
// the typical call:
//
//   veltrax::Settings s;              // 300 samples of 1/(s+1)^3, no noise
//   s.noise = {veltrax::NoiseKind::Gaussian, 0.01};
//   s.process = veltrax::BodyModel{70.0, 6.48};
//
// Both forms give the same bits: the positional form is converted to this
// record in one place, and every call runs from it.
#pragma once

#include <array>
#include <string>
#include <variant>
#include <vector>

namespace veltrax {

enum class NoiseKind {
    Uniform,   // uniform in [-amplitude, amplitude]
    Gaussian,  // normal with standard deviation `amplitude`
};

// Measurement noise; none when the amplitude is not positive.
struct Noise {
    NoiseKind kind = NoiseKind::Uniform;
    double amplitude = 0.0;
};

// A continuous-time transfer function, coefficients in descending powers of
// s; strictly proper, denominator of degree 1 to 10.
struct TransferFunction {
    std::vector<double> numerator{1.0};
    std::vector<double> denominator{1.0, 3.0, 3.0, 1.0};
};

// The built-in drug-distribution model for one body.
struct BodyModel {
    double body_mass = 70.0;       // kg
    double cardiac_output = 6.48;  // l/min
};

using Process = std::variant<TransferFunction, BodyModel>;

// The saturating measurement curve h(w) = w^p / (w^p + c^p): midpoint c and
// exponent p of the simulated process (plant_*) and of the controller's model.
struct Curve {
    double plant_midpoint = 0.404;
    double midpoint = 0.505;
    double plant_exponent = 2.98;
    double exponent = 4.0;
};

struct Settings {
    long samples = 300;          // sample periods of the call
    double control_weight = 0.1;
    int dead_time = 4;           // samples, of the process input and of the controller's model
    double u_max = 2.0;          // upper control limit; <= 0: none
    int a_order = 3;             // estimated orders
    int b_order = 3;
    Noise noise;                 // measurement noise
    int rk4_steps = 10;          // Runge-Kutta steps per sample period
    double rk4_step = 0.1;       // their length
    Process process = TransferFunction{};
    Curve curve;
    // Observer filter T(q^-1) = observer[0] + observer[1] q^-1 + observer[2] q^-2.
    std::array<double, 3> observer{1.0, -1.6, 0.64};

    bool builtin_model() const { return std::holds_alternative<BodyModel>(process); }
    // Recorded time per sample period.
    double sample_period() const { return rk4_steps * rk4_step; }
};

// Checks the settings as a call does; throws veltrax::Error with the
// plug-ins' identifier and a message naming the field ("settings.dead_time
// must not be negative, got -1").
void check_settings(const Settings& settings);

// The words of the noise kinds: "uniform", "gaussian".
const char* noise_kind_name(NoiseKind kind);
// The kind of one of these words; throws Error "veltrax:badNoise" naming
// `field` for any other.
NoiseKind noise_kind_named(const std::string& word, const std::string& field = "settings.noise.kind");

}  // namespace veltrax
