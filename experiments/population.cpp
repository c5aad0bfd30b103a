// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/population.hpp"

#include <Random123/philox.h>

#include <cmath>
#include <limits>
#include <vector>

#include "api/errors.hpp"
#include "experiments/format.hpp"
#include "experiments/normal.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

using json = nlohmann::json;
using Kind = Distribution::Kind;

namespace {

[[noreturn]] void bad_population(const std::string& message) { throw Error("veltrax:badPopulation", message); }
[[noreturn]] void bad_scenario(const std::string& message) { throw Error("veltrax:badScenario", message); }

std::string num(double v) { return format_message_number(v); }

bool normal_kind(Kind k) { return k == Kind::normal || k == Kind::lognormal; }

// Lower Cholesky factor of the correlation among the normal and log-normal
// covariates `idx`; L[i][j] pairs idx[i] with idx[j].
struct Factor {
    std::vector<int> idx;
    std::vector<std::vector<double>> L;
};

Factor cholesky(const Population& p) {
    Factor f;
    for (int c = 0; c < kCovariates; ++c)
        if (normal_kind(p.covariates[c].kind)) f.idx.push_back(c);
    const std::size_t n = f.idx.size();
    f.L.assign(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double s = p.correlation[f.idx[i]][f.idx[j]];
            for (std::size_t m = 0; m < j; ++m) s -= f.L[i][m] * f.L[j][m];
            if (i == j) {
                if (!(s > 1e-12)) {
                    std::string names;
                    for (int c : f.idx) names += (names.empty() ? "" : ", ") + std::string(covariate_name(c));
                    bad_population("the correlation matrix of " + names +
                                   " is not positive definite; no population has these correlations");
                }
                f.L[i][i] = std::sqrt(s);
            } else {
                f.L[i][j] = s / f.L[j][j];
            }
        }
    }
    return f;
}

// Uniforms in (0, 1) of attempt `a` for individual k, one per covariate slot.
std::array<double, kCovariates> uniforms(std::uint64_t seed, std::uint64_t k, std::uint64_t a) {
    r123::Philox4x64 rng;
    r123::Philox4x64::key_type key = {{seed, k}};
    r123::Philox4x64::ctr_type ctr = {{a, 0, 0, 0}};
    const r123::Philox4x64::ctr_type r0 = rng(ctr, key);
    ctr.v[1] = 1;
    const r123::Philox4x64::ctr_type r1 = rng(ctr, key);
    const std::uint64_t words[kCovariates] = {r0.v[0], r0.v[1], r0.v[2], r0.v[3], r1.v[0], r1.v[1]};
    std::array<double, kCovariates> u{};
    // The top 52 bits, centred in their interval: exactly representable,
    // never 0 or 1.
    for (int c = 0; c < kCovariates; ++c)
        u[c] = (static_cast<double>(words[c] >> 12) + 0.5) * 0x1p-52;
    return u;
}

bool within(const Distribution& d, double x) { return x >= d.min && x <= d.max; }

// Uniform of attempt `a` for plant covariate i of individual k.
double plant_uniform(std::uint64_t seed, std::uint64_t k, std::uint64_t a, std::size_t i) {
    r123::Philox4x64 rng;
    const r123::Philox4x64::key_type key = {{seed, k}};
    const r123::Philox4x64::ctr_type ctr = {{a, 2, static_cast<std::uint64_t>(i), 0}};
    return (static_cast<double>(rng(ctr, key).v[0] >> 12) + 0.5) * 0x1p-52;
}

double value_at(const Distribution& d, double u) {
    switch (d.kind) {
        case Kind::normal: return d.mean + d.sd * normal_quantile(u);
        case Kind::lognormal: return d.median * std::exp(d.sigma * normal_quantile(u));
        case Kind::uniform: return d.low + (d.high - d.low) * u;
        case Kind::none: break;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

std::string bounds(const Distribution& d) { return "[" + num(d.min) + ", " + num(d.max) + "]"; }

}  // namespace

const char* covariate_name(Covariate c) {
    switch (c) {
        case Covariate::body_mass: return "body_mass";
        case Covariate::cardiac_output: return "cardiac_output";
        case Covariate::plant_hill_midpoint: return "plant_hill_midpoint";
        case Covariate::plant_hill_exponent: return "plant_hill_exponent";
        case Covariate::dead_time: return "dead_time";
        case Covariate::noise_amplitude: return "noise_amplitude";
    }
    return "?";
}

Population::Population() {
    for (int i = 0; i < kCovariates; ++i)
        for (int j = 0; j < kCovariates; ++j) correlation[i][j] = i == j ? 1.0 : 0.0;
}

namespace {

void check_distribution(const Distribution& d, const std::string& name) {
    const std::string at = name + ": ";
    switch (d.kind) {
        case Kind::none: break;
        case Kind::normal:
            if (!std::isfinite(d.mean)) bad_population(at + "mean must be finite");
            if (!(d.sd >= 0.0) || !std::isfinite(d.sd))
                bad_population(at + "sd must be finite and not negative, got " + num(d.sd));
            break;
        case Kind::lognormal:
            if (!(d.median > 0.0) || !std::isfinite(d.median))
                bad_population(at + "median must be positive and finite, got " + num(d.median));
            if (!(d.sigma >= 0.0) || !std::isfinite(d.sigma))
                bad_population(at + "sigma must be finite and not negative, got " + num(d.sigma));
            break;
        case Kind::uniform:
            if (!std::isfinite(d.low) || !std::isfinite(d.high) || !(d.low <= d.high))
                bad_population(at + "uniform needs finite low <= high, got [" + num(d.low) + ", " +
                               num(d.high) + "]");
            break;
    }
    if (std::isnan(d.min) || std::isnan(d.max) || !(d.min <= d.max))
        bad_population(at + "min must not exceed max, got " + bounds(d));
}

void check_correlation(const Population& p) {
    for (int i = 0; i < kCovariates; ++i) {
        for (int j = 0; j < kCovariates; ++j) {
            const double r = p.correlation[i][j];
            const std::string pair = std::string(covariate_name(i)) + "," + covariate_name(j);
            if (i == j) {
                if (r != 1.0) bad_population("correlation of " + std::string(covariate_name(i)) + " with itself must be 1");
                continue;
            }
            if (r != p.correlation[j][i]) bad_population("correlation matrix is not symmetric at " + pair);
            if (!(r >= -1.0 && r <= 1.0)) bad_population("correlation " + pair + " must be within [-1, 1], got " + num(r));
            if (r != 0.0) {
                for (int c : {i, j})
                    if (!normal_kind(p.covariates[c].kind))
                        bad_population("correlation " + pair + ": " + covariate_name(c) +
                                       (p.covariates[c].kind == Kind::none ? " is not drawn"
                                                                           : " is uniform; correlations apply to "
                                                                             "normal and lognormal covariates"));
            }
        }
    }
    cholesky(p);
}

// The plant covariates of individual `ind`: each the first of its attempts
// within its bounds.
void draw_plant(const Population& p, Individual& ind) {
    ind.plant.assign(p.plant.size(), std::numeric_limits<double>::quiet_NaN());
    for (std::size_t i = 0; i < p.plant.size(); ++i) {
        const Distribution& d = p.plant[i].dist;
        for (std::uint64_t a = 0; a < static_cast<std::uint64_t>(kMaxDrawAttempts); ++a) {
            const double x = value_at(d, plant_uniform(p.seed, ind.index, a, i));
            if (within(d, x)) {
                ind.plant[i] = x;
                break;
            }
        }
        if (!std::isnan(ind.plant[i]) || !ind.valid) continue;
        ind.valid = false;
        ind.reason = "no draw of " + p.plant[i].name + " within " + bounds(d) + " in " +
                     std::to_string(kMaxDrawAttempts) + " attempts";
    }
}

}  // namespace

void check_population(const Population& p) {
    if (p.size < 1 || p.size > kMaxPopulationSize)
        bad_population("population size must be from 1 to " + std::to_string(kMaxPopulationSize) + ", got " +
                       std::to_string(p.size));
    if (p.seed < 1) bad_population("population seed must be a positive integer, got 0");
    for (int c = 0; c < kCovariates; ++c) check_distribution(p.covariates[c], covariate_name(c));
    for (const PlantCovariate& pc : p.plant) check_distribution(pc.dist, pc.name);
    check_correlation(p);
}

Individual draw_individual(const Population& p, std::uint64_t k) {
    check_population(p);
    if (k < 1 || k > p.size)
        bad_population("individual " + std::to_string(k) + " is outside the population 1 .. " +
                       std::to_string(p.size));
    const Factor f = cholesky(p);
    const std::size_t n = f.idx.size();

    // Groups accepted together: covariates connected by correlations.
    std::array<int, kCovariates> group{};
    for (int c = 0; c < kCovariates; ++c) group[c] = c;
    for (int i = 0; i < kCovariates; ++i)
        for (int j = 0; j < kCovariates; ++j)
            if (i != j && p.correlation[i][j] != 0.0 && group[i] != group[j]) {
                const int from = group[j], to = group[i];
                for (int& g : group)
                    if (g == from) g = to;
            }

    Individual ind;
    ind.index = k;
    ind.values.fill(std::numeric_limits<double>::quiet_NaN());
    std::array<bool, kCovariates> accepted{};
    int pending = 0;
    for (int c = 0; c < kCovariates; ++c) {
        accepted[c] = p.covariates[c].kind == Kind::none;
        if (!accepted[c]) ++pending;
    }

    std::array<double, kCovariates> x{};
    std::vector<double> e(n), z(n);
    for (std::uint64_t a = 0; a < static_cast<std::uint64_t>(kMaxDrawAttempts) && pending > 0; ++a) {
        const std::array<double, kCovariates> u = uniforms(p.seed, k, a);
        for (std::size_t i = 0; i < n; ++i) e[i] = normal_quantile(u[f.idx[i]]);
        for (std::size_t i = 0; i < n; ++i) {
            double s = 0.0;
            for (std::size_t j = 0; j <= i; ++j) s += f.L[i][j] * e[j];
            z[i] = s;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const Distribution& d = p.covariates[f.idx[i]];
            x[f.idx[i]] = d.kind == Kind::normal ? d.mean + d.sd * z[i] : d.median * std::exp(d.sigma * z[i]);
        }
        for (int c = 0; c < kCovariates; ++c) {
            const Distribution& d = p.covariates[c];
            if (d.kind == Kind::uniform) x[c] = d.low + (d.high - d.low) * u[c];
        }
        const int dt = static_cast<int>(Covariate::dead_time);
        x[dt] = std::round(x[dt]);

        for (int g = 0; g < kCovariates; ++g) {
            bool members = false, fits = true;
            for (int c = 0; c < kCovariates; ++c) {
                if (group[c] != g || accepted[c]) continue;
                members = true;
                fits = fits && within(p.covariates[c], x[c]);
            }
            if (!members || !fits) continue;
            for (int c = 0; c < kCovariates; ++c) {
                if (group[c] != g || accepted[c]) continue;
                ind.values[c] = x[c];
                accepted[c] = true;
                --pending;
            }
        }
    }
    if (pending > 0) {
        ind.valid = false;
        std::string names, ranges;
        for (int c = 0; c < kCovariates; ++c) {
            if (accepted[c]) continue;
            names += (names.empty() ? "" : ", ") + std::string(covariate_name(c));
            ranges += (ranges.empty() ? "" : ", ") + bounds(p.covariates[c]);
        }
        ind.reason = "no draw of " + names + " within " + ranges + " in " + std::to_string(kMaxDrawAttempts) +
                     " attempts";
    }
    draw_plant(p, ind);
    return ind;
}

namespace {

double number_field(const json& obj, const char* key, const std::string& where) {
    if (!obj.contains(key)) bad_scenario(where + " needs '" + key + "'");
    const json& v = obj.at(key);
    if (!v.is_number()) bad_scenario(where + "." + key + " must be a number, got " + json_kind(v));
    return v.get<double>();
}

std::uint64_t positive_integer(const json& obj, const char* key, const std::string& where) {
    if (!obj.contains(key)) bad_scenario(where + " needs '" + key + "'");
    const json& v = obj.at(key);
    if (v.is_number_unsigned() && v.get<std::uint64_t>() >= 1) return v.get<std::uint64_t>();
    if (v.is_number_integer() || v.is_number_float()) {
        bad_population(where + "." + key + " must be a positive integer, got " + v.dump());
    }
    bad_scenario(where + "." + key + " must be a positive integer, got " + json_kind(v));
}

std::string known_list(const std::vector<std::string>& keys) {
    std::string s;
    for (const std::string& k : keys) s += (s.empty() ? "" : ", ") + k;
    return s;
}


Distribution parse_distribution(const json& v, const std::string& where) {
    if (!v.is_object()) bad_scenario(where + " must be an object such as {\"dist\": \"normal\", \"mean\": 70, \"sd\": 12}, got " + json_kind(v));
    if (!v.contains("dist")) bad_scenario(where + " needs 'dist' (normal, lognormal or uniform)");
    const json& kind = v.at("dist");
    const std::string name = kind.is_string() ? kind.get<std::string>() : "";
    Distribution d;
    if (name == "normal") {
        check_known_fields(v, {"dist", "mean", "sd", "min", "max"}, where);
        d.kind = Kind::normal;
        d.mean = number_field(v, "mean", where);
        d.sd = number_field(v, "sd", where);
    } else if (name == "lognormal") {
        check_known_fields(v, {"dist", "median", "sigma", "min", "max"}, where);
        d.kind = Kind::lognormal;
        d.median = number_field(v, "median", where);
        d.sigma = number_field(v, "sigma", where);
    } else if (name == "uniform") {
        check_known_fields(v, {"dist", "low", "high", "min", "max"}, where);
        d.kind = Kind::uniform;
        d.low = number_field(v, "low", where);
        d.high = number_field(v, "high", where);
    } else {
        bad_scenario(where + ".dist must be \"normal\", \"lognormal\" or \"uniform\", got " +
                     (kind.is_string() ? "\"" + name + "\"" : json_kind(kind)));
    }
    if (v.contains("min")) d.min = number_field(v, "min", where);
    if (v.contains("max")) d.max = number_field(v, "max", where);
    return d;
}

int covariate_index(const std::string& name) {
    for (int c = 0; c < kCovariates; ++c)
        if (name == covariate_name(c)) return c;
    return -1;
}

std::string trimmed(const std::string& s) {
    const std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

void put_bound(nlohmann::ordered_json& j, const char* key, double v) {
    if (std::isfinite(v)) j[key] = v;
}

nlohmann::ordered_json distribution_json(const Distribution& d) {
    nlohmann::ordered_json dj;
    switch (d.kind) {
        case Kind::none: break;
        case Kind::normal: dj = {{"dist", "normal"}, {"mean", d.mean}, {"sd", d.sd}}; break;
        case Kind::lognormal: dj = {{"dist", "lognormal"}, {"median", d.median}, {"sigma", d.sigma}}; break;
        case Kind::uniform: dj = {{"dist", "uniform"}, {"low", d.low}, {"high", d.high}}; break;
    }
    put_bound(dj, "min", d.min);
    put_bound(dj, "max", d.max);
    return dj;
}

}  // namespace

bool plant_covariate_key(const std::string& key) {
    for (const char* section : {"disturbances[", "sensor.", "actuator.", "changes["})
        if (key.rfind(section, 0) == 0) return true;
    return false;
}

Population parse_population(const json& block, const std::string& where) {
    if (!block.is_object()) bad_scenario(where + " must be an object, got " + json_kind(block));
    std::vector<std::string> known = {"size", "seed", "correlation"};
    for (int c = 0; c < kCovariates; ++c) known.push_back(covariate_name(c));
    json fixed = json::object();
    for (auto it = block.begin(); it != block.end(); ++it) {
        const std::string& key = it.key();
        if (plant_covariate_key(key)) continue;
        if (key.find_first_of(".[") != std::string::npos)
            bad_population(where + ": '" + key + "' names no plant-model parameter; such a covariate is a path "
                           "into disturbances[i], sensor, actuator or changes[i], e.g. disturbances[0].amplitude");
        fixed[key] = it.value();
    }
    check_known_fields(fixed, known, where);

    Population p;
    p.size = positive_integer(block, "size", where);
    p.seed = positive_integer(block, "seed", where);
    for (int c = 0; c < kCovariates; ++c)
        if (block.contains(covariate_name(c)))
            p.covariates[c] = parse_distribution(block.at(covariate_name(c)), where + "." + covariate_name(c));
    for (auto it = block.begin(); it != block.end(); ++it)
        if (plant_covariate_key(it.key()))
            p.plant.push_back({it.key(), parse_distribution(it.value(), where + ".'" + it.key() + "'")});

    if (block.contains("correlation")) {
        const json& corr = block.at("correlation");
        const std::string at = where + ".correlation";
        if (!corr.is_object())
            bad_scenario(at + " must be an object such as {\"body_mass,cardiac_output\": 0.6}, got " + json_kind(corr));
        std::array<std::array<bool, kCovariates>, kCovariates> given{};
        for (auto it = corr.begin(); it != corr.end(); ++it) {
            const std::string& key = it.key();
            const std::size_t comma = key.find(',');
            const int i = comma == std::string::npos ? -1 : covariate_index(trimmed(key.substr(0, comma)));
            const int j = comma == std::string::npos ? -1 : covariate_index(trimmed(key.substr(comma + 1)));
            if (i < 0 || j < 0)
                bad_scenario(at + ": '" + key + "' must name two covariates as \"a,b\" (covariates: " +
                             known_list(std::vector<std::string>(known.begin() + 3, known.end())) + ")");
            if (i == j) bad_scenario(at + ": '" + key + "' pairs a covariate with itself");
            if (!it.value().is_number()) bad_scenario(at + ".'" + key + "' must be a number, got " + json_kind(it.value()));
            if (given[i][j]) bad_scenario(at + ": the pair '" + key + "' is given twice");
            given[i][j] = given[j][i] = true;
            const double r = it.value().get<double>();
            if (r == 0.0) continue;
            p.correlation[i][j] = r;
            p.correlation[j][i] = r;
        }
    }
    check_population(p);
    return p;
}

nlohmann::ordered_json population_json(const Population& p) {
    nlohmann::ordered_json j;
    j["size"] = p.size;
    j["seed"] = p.seed;
    for (int c = 0; c < kCovariates; ++c) {
        if (p.covariates[c].kind != Kind::none) j[covariate_name(c)] = distribution_json(p.covariates[c]);
    }
    for (const PlantCovariate& pc : p.plant) j[pc.name] = distribution_json(pc.dist);
    nlohmann::ordered_json corr = nlohmann::ordered_json::object();
    for (int i = 0; i < kCovariates; ++i)
        for (int jx = i + 1; jx < kCovariates; ++jx)
            if (p.correlation[i][jx] != 0.0)
                corr[std::string(covariate_name(i)) + "," + covariate_name(jx)] = p.correlation[i][jx];
    if (!corr.empty()) j["correlation"] = corr;
    return j;
}

}  // namespace veltrax::experiments
