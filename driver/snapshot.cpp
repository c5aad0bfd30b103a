// SPDX-License-Identifier: LGPL-2.1-or-later
#include "driver/snapshot.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "driver/arguments.hpp"
#include "driver/errors.hpp"
#include "driver/simulation.hpp"

namespace veltrax {

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8, "doubles are stored as IEEE-754 bits");
static_assert(sizeof(int) == 4, "int fields are stored as 32-bit integers");

namespace {

constexpr std::uint32_t kByteOrderMark = 0x0A0B0C0Du;
constexpr std::size_t kFramingSize = kSnapshotHeaderSize + kSnapshotChecksumSize;

// The fields of the state, in the stored order. The names are the format's,
// not the code's: renaming a member keeps its name here. A field added by a
// later format version names it (the third argument); a snapshot of an older
// version lacks it, and the loader derives its value.
template <class Config, class F>
void config_fields(Config& c, F& f) {
    f("config.sample_count", c.sample_count);
    f("config.control_weight", c.control_weight);
    f("config.dead_time", c.dead_time);
    f("config.u_max", c.u_max);
    f("config.a_order", c.a_order);
    f("config.b_order", c.b_order);
    f("config.noise_amplitude", c.noise_amplitude);
    f("config.substeps_per_sample", c.substeps_per_sample);
    f("config.rk4_step_size", c.rk4_step_size);
    f("config.gaussian_noise", c.gaussian_noise);
    f("config.linear_process", c.linear_process);
    f("config.plant_hill_midpoint", c.plant_hill_midpoint);
    f("config.hill_midpoint", c.hill_midpoint);
    f("config.plant_hill_exponent", c.plant_hill_exponent);
    f("config.hill_exponent", c.hill_exponent);
    f("config.t_coef", c.t_coef);
}

template <class Noise, class F>
void noise_fields(Noise& n, F& f) {
    f("noise.seed", n.noise_seed);
    f("noise.second_generator_state", n.second_generator_state);
    f("noise.shuffle_output", n.shuffle_output);
    f("noise.shuffle_table", n.shuffle_table);
    f("noise.gauss_saved_flag", n.gauss_saved_flag);
    f("noise.gauss_saved_value", n.gauss_saved_value);
}

template <class Linear, class F>
void linear_fields(Linear& l, F& f) {
    f("linear.state_order", l.state_order);
    f("linear.num_degree", l.num_degree);
    f("linear.den_degree", l.den_degree);
    f("linear.num_coeffs", l.num_coeffs);
    f("linear.den_coeffs", l.den_coeffs);
    f("linear.process_state", l.process_state);
    f("linear.process_state_next", l.process_state_next);
}

template <class Model, class F>
void model_fields(Model& m, F& f) {
    f("model.body_mass", m.body_mass);
    f("model.cardiac_output", m.cardiac_output);
    f("model.blood_volume_per_mass", m.blood_volume_per_mass);
    f("model.haematocrit", m.haematocrit);
    f("model.cell_plasma_ratio", m.cell_plasma_ratio);
    f("model.plasma_water", m.plasma_water);
    f("model.plasma_protein", m.plasma_protein);
    f("model.plasma_protein_molar_mass", m.plasma_protein_molar_mass);
    f("model.extracellular_protein_molar_mass", m.extracellular_protein_molar_mass);
    f("model.plasma_ph", m.plasma_ph);
    f("model.drug_pka", m.drug_pka);
    f("model.ionisation_sign", m.ionisation_sign);
    f("model.ionised_binding", m.ionised_binding);
    f("model.neutral_binding", m.neutral_binding);
    f("model.lipid_partition", m.lipid_partition);
    f("model.first_pass_extraction", m.first_pass_extraction);
    f("model.excretion_flow", m.excretion_flow);
    f("model.excretion_ph", m.excretion_ph);
    f("model.excretion_concentration_factor", m.excretion_concentration_factor);
    f("model.side_pool_mass", m.side_pool_mass);
    f("model.side_pool_ph", m.side_pool_ph);
    f("model.side_pool_water", m.side_pool_water);
    f("model.side_pool_protein", m.side_pool_protein);
    f("model.side_pool_protein_molar_mass", m.side_pool_protein_molar_mass);
    f("model.nominal_step", m.nominal_step);
    f("model.primary_dose", m.primary_dose);
    f("model.infusion_per_step", m.infusion_per_step);
    f("model.arterial_share", m.arterial_share);
    f("model.mixed_venous_share", m.mixed_venous_share);
    f("model.venous_return_share", m.venous_return_share);
    f("model.portal_share", m.portal_share);
    f("model.collecting_6_share", m.collecting_6_share);
    f("model.collecting_7_share", m.collecting_7_share);
    f("model.mass_fraction", m.mass_fraction);
    f("model.flow_fraction", m.flow_fraction);
    f("model.cell_fraction", m.cell_fraction);
    f("model.tissue_water", m.tissue_water);
    f("model.tissue_lipid", m.tissue_lipid);
    f("model.tissue_protein", m.tissue_protein);
    f("model.extracellular_water", m.extracellular_water);
    f("model.extracellular_lipid", m.extracellular_lipid);
    f("model.extracellular_protein", m.extracellular_protein);
    f("model.protein_molar_mass", m.protein_molar_mass);
    f("model.ph_offset", m.ph_offset);
    f("model.ph_slope", m.ph_slope);
    f("model.blood_volume", m.blood_volume);
    f("model.tissue_mass", m.tissue_mass);
    f("model.arterial_pool_volume", m.arterial_pool_volume);
    f("model.mixed_venous_pool_volume", m.mixed_venous_pool_volume);
    f("model.venous_return_pool_volume", m.venous_return_pool_volume);
    f("model.portal_pool_volume", m.portal_pool_volume);
    f("model.collecting_pool_6_volume", m.collecting_pool_6_volume);
    f("model.collecting_pool_7_volume", m.collecting_pool_7_volume);
    f("model.intracellular_water", m.intracellular_water);
    f("model.intracellular_lipid", m.intracellular_lipid);
    f("model.intracellular_protein", m.intracellular_protein);
    f("model.extracellular_ph", m.extracellular_ph);
    f("model.intracellular_ph", m.intracellular_ph);
    f("model.plasma_ph_in_use", m.plasma_ph_in_use);
    f("model.blood_capacity", m.blood_capacity);
    f("model.intracellular_capacity", m.intracellular_capacity);
    f("model.extracellular_capacity", m.extracellular_capacity);
    f("model.side_pool_capacity", m.side_pool_capacity);
    f("model.excretion_capacity", m.excretion_capacity);
    f("model.blood_flow_per_step", m.blood_flow_per_step);
    f("model.integration_step", m.integration_step);
    f("model.pending_primary_bolus", m.pending_primary_bolus);
    f("model.arterial_pool", m.arterial_pool);
    f("model.mixed_venous_pool", m.mixed_venous_pool);
    f("model.venous_return_pool", m.venous_return_pool);
    f("model.portal_pool", m.portal_pool);
    f("model.collecting_pool_6", m.collecting_pool_6);
    f("model.collecting_pool_7", m.collecting_pool_7);
    f("model.tissue_amount", m.tissue_amount);
    f("model.side_pool_amount", m.side_pool_amount);
    f("model.blood_per_step", m.blood_per_step);
    f("model.arterial_inflow", m.arterial_inflow);
    f("model.venous_outflow", m.venous_outflow);
    f("model.last_extracted", m.last_extracted);
    f("model.last_excreted", m.last_excreted);
}

// The adaptive controller's histories, estimator, predictor and preview.
template <class State, class F>
void controller_fields(State& s, F& f) {
    auto& h = s.histories;
    f("histories.z", h.z);
    f("histories.dz", h.dz);
    f("histories.z_over_q", h.z_over_q);
    f("histories.z_over_t", h.z_over_t);
    f("histories.dz_est", h.dz_est);
    f("histories.u", h.u);
    f("histories.du", h.du);
    f("histories.du_over_t", h.du_over_t);
    f("histories.du_est", h.du_est);

    auto& e = s.estimator;
    f("estimator.theta", e.theta);
    f("estimator.regressor", e.regressor);
    f("estimator.prediction_error", e.prediction_error);
    f("estimator.ud_diag", e.ud_diag);
    f("estimator.ud_upper", e.ud_upper);
    f("estimator.rls_gain", e.rls_gain);

    auto& p = s.prediction;
    f("prediction.atilde_len", p.len.atilde_len);
    f("prediction.pq_len", p.len.pq_len);
    f("prediction.r_len", p.len.r_len);
    f("prediction.s_len", p.len.s_len);
    f("prediction.f_len", p.len.f_len);
    f("prediction.bext_len", p.len.bext_len);
    f("prediction.gamma_len", p.len.gamma_len);
    f("prediction.a_poly", p.a_poly);
    f("prediction.b_poly", p.b_poly);
    f("prediction.p_poly", p.p_poly);
    f("prediction.q_poly", p.q_poly);
    f("prediction.t_poly", p.t_poly);
    f("prediction.r_poly", p.r_poly);
    f("prediction.a_tilde", p.a_tilde);
    f("prediction.s_poly", p.s_poly);
    f("prediction.e_coef", p.e_coef);
    f("prediction.f_rows", p.f_rows);
    f("prediction.step_coef", p.step_coef);
    f("prediction.gamma_rows", p.gamma_rows);
    f("prediction.free_response", p.free_response);

    f("ref_preview", s.ref_preview);
}

// A simulation: the loop, the plant and the adaptive controller.
template <class State, class F>
void simulation_fields(State& s, F& f) {
    config_fields(s.config, f);
    auto& r = s.run;
    f("run.sim_time", r.sim_time);
    f("run.sum_sq_error", r.sum_sq_error);
    f("run.sum_time_abs_error", r.sum_time_abs_error);
    f("run.input_integral", r.input_integral);
    f("run.setpoint", r.setpoint);
    f("run.process_output", s.plant.process_output);
    f("run.measured_output", s.plant.measured_output);
    f("run.static_gain", r.static_gain);
    f("run.best_move", r.best_move);
    f("run.applied_move", r.applied_move);
    f("run.process_input", s.plant.process_input);
    f("run.estimation_hold", r.estimation_hold);
    f("run.last_far_setpoint", r.last_far_setpoint);
    noise_fields(s.plant.noise, f);
    linear_fields(s.plant.linear, f);
    model_fields(s.plant.model, f);
    controller_fields(s, f);
    f("plant.applied", s.plant.applied, 2);
}

// A plant on its own: its settings, the loop's time, set-point and sums, and
// the plant.
template <class State, class F>
void plant_fields(State& s, F& f) {
    auto& c = s.config;
    f("config.dead_time", c.dead_time);
    f("config.u_max", c.u_max);
    f("config.noise_amplitude", c.noise_amplitude);
    f("config.substeps_per_sample", c.substeps_per_sample);
    f("config.rk4_step_size", c.rk4_step_size);
    f("config.gaussian_noise", c.gaussian_noise);
    f("config.linear_process", c.linear_process);
    f("config.plant_hill_midpoint", c.plant_hill_midpoint);
    f("config.plant_hill_exponent", c.plant_hill_exponent);
    auto& r = s.run;
    f("run.sim_time", r.sim_time);
    f("run.sum_sq_error", r.sum_sq_error);
    f("run.sum_time_abs_error", r.sum_time_abs_error);
    f("run.input_integral", r.input_integral);
    f("run.setpoint", r.setpoint);
    noise_fields(s.plant.noise, f);
    linear_fields(s.plant.linear, f);
    model_fields(s.plant.model, f);
    f("plant.process_input", s.plant.process_input);
    f("plant.process_output", s.plant.process_output);
    f("plant.measured_output", s.plant.measured_output);
    f("plant.applied", s.plant.applied);
}

// Element type and count of a field (arrays of any rank count all elements).
template <class T>
struct Elements {
    using type = std::remove_cv_t<T>;
    static constexpr std::uint32_t count = 1;
};
template <class T, std::size_t N>
struct Elements<T[N]> {
    using type = typename Elements<T>::type;
    static constexpr std::uint32_t count = N * Elements<T>::count;
};

template <class T, class G>
void each_element(T& v, G& g) {
    if constexpr (std::is_array_v<T>) {
        for (auto& e : v) each_element(e, g);
    } else {
        g(v);
    }
}

enum Type : std::uint8_t { kDouble = 1, kInt32 = 2, kBool = 3 };

template <class E>
constexpr Type type_of() {
    if constexpr (std::is_same_v<E, double>) return kDouble;
    else if constexpr (std::is_same_v<E, bool>) return kBool;
    else {
        static_assert(std::is_same_v<E, std::int32_t> || std::is_same_v<E, int>, "unsupported field type");
        return kInt32;
    }
}

const char* type_name(unsigned t) {
    switch (t) {
        case kDouble: return "double";
        case kInt32: return "int32";
        case kBool: return "bool";
        default: return "unknown";
    }
}

std::size_t element_size(Type t) { return t == kDouble ? 8 : t == kInt32 ? 4 : 1; }

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_u64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
std::uint64_t get_le(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}
std::uint64_t double_bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Visits the fields of format version `version`: those added later are left out.
template <class F>
class SinceVersion {
public:
    SinceVersion(F& f, unsigned version) : f_(f), version_(version) {}
    template <class T>
    void operator()(const char* name, T& v, unsigned since = 1) {
        if (since <= version_) f_(name, v);
    }

private:
    F& f_;
    unsigned version_;
};

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
    template <class T>
    void operator()(const char* name, const T& v) {
        using E = typename Elements<T>::type;
        const std::size_t len = std::strlen(name);
        out_.push_back(static_cast<std::uint8_t>(len));
        out_.insert(out_.end(), name, name + len);
        out_.push_back(type_of<E>());
        put_u32(out_, Elements<T>::count);
        auto put = [this](const E& e) {
            if constexpr (std::is_same_v<E, double>) put_u64(out_, double_bits(e));
            else if constexpr (std::is_same_v<E, bool>) out_.push_back(e ? 1 : 0);
            else put_u32(out_, static_cast<std::uint32_t>(e));
        };
        each_element(v, put);
        ++fields;
    }
    std::uint32_t fields = 0;

private:
    std::vector<std::uint8_t>& out_;
};

struct Counter {
    template <class T>
    void operator()(const char*, const T&) {
        ++fields;
        bytes += 1 + 1 + 4 + 64 + Elements<T>::count * element_size(type_of<typename Elements<T>::type>());
    }
    std::uint32_t fields = 0;
    std::size_t bytes = 0;  // at most, with names of up to 64 characters
};

[[noreturn]] void bad(const std::string& what) { throw core::Error("veltrax:badSnapshot", "snapshot " + what); }

std::string printable(const std::uint8_t* p, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n && i < 64; ++i) s += (p[i] >= 0x20 && p[i] < 0x7f) ? static_cast<char>(p[i]) : '?';
    return s;
}

class Reader {
public:
    Reader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    template <class T>
    void operator()(const char* name, T& v) {
        using E = typename Elements<T>::type;
        constexpr Type type = type_of<E>();
        constexpr std::uint32_t count = Elements<T>::count;
        ++index_;
        const std::size_t len = std::strlen(name);
        need(1, name);
        const std::size_t got_len = take(1)[0];
        need(got_len, name);
        const std::uint8_t* got = take(got_len);
        if (got_len != len || std::memcmp(got, name, len) != 0)
            bad("field " + std::to_string(index_) + " is '" + printable(got, got_len) + "', expected '" + name + "'");
        need(5, name);
        const unsigned got_type = take(1)[0];
        const std::uint64_t got_count = get_le(take(4), 4);
        if (got_type != type || got_count != count)
            bad("field '" + std::string(name) + "' holds " + std::to_string(got_count) + " of type " +
                type_name(got_type) + ", expected " + std::to_string(count) + " of type " + type_name(type));
        need(count * element_size(type), name);
        auto get = [this, name](E& e) {
            static_cast<void>(name);  // read by the bool check only
            if constexpr (std::is_same_v<E, double>) {
                const std::uint64_t bits = get_le(take(8), 8);
                std::memcpy(&e, &bits, sizeof e);
            } else if constexpr (std::is_same_v<E, bool>) {
                const std::uint8_t b = take(1)[0];
                if (b > 1) bad("field '" + std::string(name) + "' is a bool of value " + std::to_string(b));
                e = b == 1;
            } else {
                const std::uint32_t bits = static_cast<std::uint32_t>(get_le(take(4), 4));
                std::int32_t i;
                std::memcpy(&i, &bits, sizeof i);
                e = i;
            }
        };
        each_element(v, get);
    }
    std::size_t left() const { return n_; }

private:
    void need(std::size_t bytes, const char* name) const {
        if (n_ < bytes) bad("fields end inside field '" + std::string(name) + "'");
    }
    const std::uint8_t* take(std::size_t bytes) {
        const std::uint8_t* at = p_;
        p_ += bytes;
        n_ -= bytes;
        return at;
    }
    const std::uint8_t* p_;
    std::size_t n_;
    std::uint32_t index_ = 0;
};

void check_range(const char* name, long long v, long long lo, long long hi) {
    if (v < lo || v > hi)
        bad("field '" + std::string(name) + "' is " + std::to_string(v) + ", outside " + std::to_string(lo) + " .. " +
            std::to_string(hi));
}

void check_noise_ranges(const NoiseState& n) {
    check_range("noise.seed", n.noise_seed, std::numeric_limits<std::int32_t>::min(), kNoiseModulus1 - 1);
    // 0 is reachable: a seed equal to the second modulus leaves that generator at 0.
    check_range("noise.second_generator_state", n.second_generator_state, 0, kNoiseModulus2 - 1);
    check_range("noise.shuffle_output", n.shuffle_output, 0, kNoiseModulus1 - 1);
    for (std::int32_t v : n.shuffle_table) check_range("noise.shuffle_table", v, 0, kNoiseModulus1 - 1);
    check_range("noise.gauss_saved_flag", n.gauss_saved_flag, 0, 1);
}

// The load values, or those of a transfer function that was set.
void check_linear_ranges(const LinearProcess& l) {
    const LinearProcess unset{};
    if (l.den_degree != unset.den_degree || l.num_degree != unset.num_degree || l.state_order != unset.state_order) {
        check_range("linear.den_degree", l.den_degree, 1, kMaxDenominatorDegree);
        check_range("linear.num_degree", l.num_degree, 0, l.den_degree - 1);
        check_range("linear.state_order", l.state_order, l.den_degree, l.den_degree);
    }
}

// The integers that index arrays or count: what the simulation relies on.
void check_ranges(const SimulationState& s) {
    const RunConfig& c = s.config;
    check_range("config.sample_count", c.sample_count, 0, std::numeric_limits<std::int32_t>::max());
    check_range("config.substeps_per_sample", c.substeps_per_sample, 0, std::numeric_limits<std::int32_t>::max());
    check_range("config.a_order", c.a_order, 0, kMaxAOrder);
    check_range("config.b_order", c.b_order, 0, kMaxOrderSum - c.a_order);
    check_range("config.dead_time", c.dead_time, 0, kMaxBLength - c.b_order);

    check_range("run.estimation_hold", s.run.estimation_hold, 0, kHorizonEnd);
    check_noise_ranges(s.plant.noise);
    check_linear_ranges(s.plant.linear);

    // The load values, or those the run start derives from the orders.
    const DerivedLengths& got = s.prediction.len;
    const DerivedLengths none{}, want = derived_lengths(c.a_order, c.b_order, c.dead_time);
    auto same = [&got](const DerivedLengths& d) {
        return got.atilde_len == d.atilde_len && got.pq_len == d.pq_len && got.r_len == d.r_len &&
               got.s_len == d.s_len && got.f_len == d.f_len && got.bext_len == d.bext_len &&
               got.gamma_len == d.gamma_len;
    };
    if (!same(none) && !same(want))
        bad("prediction lengths do not follow from the orders a_order " + std::to_string(c.a_order) + ", b_order " +
            std::to_string(c.b_order) + ", dead time " + std::to_string(c.dead_time));
}

void check_ranges(const OpenLoopState& s) {
    check_range("config.substeps_per_sample", s.config.substeps_per_sample, 0,
                std::numeric_limits<std::int32_t>::max());
    check_range("config.dead_time", s.config.dead_time, 0, kMaxPlantDeadTime);
    check_noise_ranges(s.plant.noise);
    check_linear_ranges(s.plant.linear);
}

// The controls of the plant's input delay as the controller's history of
// u holds them, which is all a simulation of format version 1 keeps of them:
// after a sample period slot kNewest - 1 holds u(t).
void applied_from_history(const SimulationState& s, double* applied) {
    for (int k = 0; k < kMaxPlantDeadTime; ++k) applied[k] = s.histories.u[kNewest - 1 - k];
}

// The two kinds of snapshot: a simulation's and a plant's.
struct SimulationKind {
    using State = SimulationState;
    static constexpr char magic[8] = {'V', 'L', 'T', 'X', 'S', 'N', 'A', 'P'};
    static constexpr const char* noun = "a simulation's";
    static constexpr unsigned latest = kSnapshotFormatVersion;
    template <class S, class F>
    static void fields(S& s, F& f) { simulation_fields(s, f); }
    // The oldest version that holds the state: 1 unless the input delay
    // differs from what the controller's history of u implies.
    static unsigned version_for(const SimulationState& s) {
        double derived[kMaxPlantDeadTime];
        applied_from_history(s, derived);
        return std::memcmp(derived, s.plant.applied, sizeof derived) == 0 ? 1 : 2;
    }
    static void upgrade(SimulationState& s, unsigned version) {
        if (version < 2) applied_from_history(s, s.plant.applied);
    }
};

struct PlantKind {
    using State = OpenLoopState;
    static constexpr char magic[8] = {'V', 'L', 'T', 'X', 'P', 'L', 'N', 'T'};
    static constexpr const char* noun = "a plant's";
    static constexpr unsigned latest = kPlantSnapshotFormatVersion;
    template <class S, class F>
    static void fields(S& s, F& f) { plant_fields(s, f); }
    static unsigned version_for(const OpenLoopState&) { return latest; }
    static void upgrade(OpenLoopState&, unsigned) {}
};

template <class Kind>
const Counter& field_layout(unsigned version) {
    static const auto counted = [] {
        std::array<Counter, Kind::latest + 1> c{};
        const typename Kind::State s{};
        for (unsigned v = 1; v <= Kind::latest; ++v) {
            SinceVersion<Counter> f(c[v], v);
            Kind::fields(s, f);
        }
        return c;
    }();
    return counted[version];
}

const char* build_name(unsigned b) {
    switch (b) {
        case 1: return "veltrax1";
        case 2: return "veltrax2";
        case 3: return "veltrax3";
        default: return "an unknown build";
    }
}

// Magic, byte order, format version, floating-point mark, length and
// checksum; returns the format version and the length of the fields.
template <class Kind>
std::pair<unsigned, std::size_t> check_framing(const std::uint8_t* data, std::size_t size) {
    if (size == 0) bad("is empty");
    if (size < kFramingSize)
        bad("is truncated: " + std::to_string(size) + " bytes, shorter than the " + std::to_string(kFramingSize) +
            " bytes of header and checksum");
    if (std::memcmp(data, Kind::magic, sizeof Kind::magic) != 0) {
        if (std::memcmp(data, SimulationKind::magic, 8) == 0 || std::memcmp(data, PlantKind::magic, 8) == 0)
            bad(std::string("is ") + (std::is_same_v<Kind, SimulationKind> ? PlantKind::noun : SimulationKind::noun) +
                " snapshot, not " + Kind::noun);
        bad("is not a veltrax snapshot: the magic header does not match");
    }
    const std::uint32_t mark = static_cast<std::uint32_t>(get_le(data + 12, 4));
    if (mark != kByteOrderMark)
        bad(mark == 0x0D0C0B0Au ? "was written in the other byte order" : "has a broken byte-order mark");
    const unsigned version = static_cast<unsigned>(get_le(data + 8, 2));
    if (version == 0 || version > Kind::latest)
        bad("has format version " + std::to_string(version) + "; this version of veltrax reads format version " +
            std::to_string(Kind::latest));
    if (get_le(data + 16, 8) != double_bits(kSnapshotFloatMark))
        bad("was written with another floating-point layout (the mark value differs)");
    const std::uint64_t body = get_le(data + 28, 4);
    const std::uint64_t expected = kFramingSize + body;
    if (size < expected)
        bad("is truncated: " + std::to_string(size) + " of " + std::to_string(expected) + " bytes");
    if (size > expected)
        bad("has " + std::to_string(size - expected) + " bytes after its end (" + std::to_string(expected) +
            " bytes)");
    const std::uint32_t stored = static_cast<std::uint32_t>(get_le(data + size - kSnapshotChecksumSize, 4));
    const std::uint32_t computed = snapshot_checksum(data, size - kSnapshotChecksumSize);
    if (stored != computed) {
        char hex[64];
        std::snprintf(hex, sizeof hex, "stored %08x, computed %08x", stored, computed);
        bad(std::string("checksum does not match: the data is corrupted (") + hex + ")");
    }
    return {version, static_cast<std::size_t>(body)};
}

// Checks the whole snapshot and decodes its fields into `state`; returns the
// build field (0 for a plant) and the format version.
template <class Kind>
core::SnapshotInfo decode(const std::uint8_t* data, std::size_t size, typename Kind::State& state) {
    const auto [version, body] = check_framing<Kind>(data, size);
    const unsigned build = static_cast<unsigned>(get_le(data + 10, 2));
    if (std::is_same_v<Kind, SimulationKind> ? (build < 1 || build > 3) : build != 0)
        bad("names build " + std::to_string(build) + ", not " +
            (std::is_same_v<Kind, SimulationKind> ? "1, 2 or 3" : "0 (a plant)"));
    const std::uint64_t fields = get_le(data + 24, 4);
    if (fields != field_layout<Kind>(version).fields)
        bad("has " + std::to_string(fields) + " fields, format version " + std::to_string(version) + " has " +
            std::to_string(field_layout<Kind>(version).fields));

    Reader reader(data + kSnapshotHeaderSize, body);
    SinceVersion<Reader> visit(reader, version);
    Kind::fields(state, visit);
    if (reader.left() != 0) bad("has " + std::to_string(reader.left()) + " bytes after its last field");
    Kind::upgrade(state, version);
    check_ranges(state);
    return {static_cast<core::Build>(build), version};
}

template <class Kind>
std::vector<std::uint8_t> encode(unsigned build, const typename Kind::State& state) {
    const unsigned version = Kind::version_for(state);
    std::vector<std::uint8_t> out;
    out.reserve(kFramingSize + field_layout<Kind>(version).bytes);
    out.insert(out.end(), Kind::magic, Kind::magic + sizeof Kind::magic);
    put_u16(out, static_cast<std::uint16_t>(version));
    put_u16(out, static_cast<std::uint16_t>(build));
    put_u32(out, kByteOrderMark);
    put_u64(out, double_bits(kSnapshotFloatMark));
    put_u32(out, 0);  // fields and their length, filled in below
    put_u32(out, 0);
    Writer writer(out);
    SinceVersion<Writer> visit(writer, version);
    Kind::fields(state, visit);
    const std::uint32_t body = static_cast<std::uint32_t>(out.size() - kSnapshotHeaderSize);
    for (int i = 0; i < 4; ++i) {
        out[24 + i] = static_cast<std::uint8_t>(writer.fields >> (8 * i));
        out[28 + i] = static_cast<std::uint8_t>(body >> (8 * i));
    }
    put_u32(out, snapshot_checksum(out.data(), out.size()));
    return out;
}

}  // namespace

std::uint32_t snapshot_checksum(const std::uint8_t* data, std::size_t size) {
    static const auto table = [] {
        struct {
            std::uint32_t v[256];
        } t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t.v[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) crc = table.v[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> save_snapshot(core::Build build, const SimulationState& state) {
    return encode<SimulationKind>(static_cast<unsigned>(build), state);
}

core::SnapshotInfo check_snapshot(const std::uint8_t* data, std::size_t size) {
    const auto scratch = std::make_unique<SimulationState>();
    return decode<SimulationKind>(data, size, *scratch);
}

void load_snapshot(core::Build build, const std::uint8_t* data, std::size_t size, SimulationState& state) {
    const auto loaded = std::make_unique<SimulationState>();
    const core::SnapshotInfo info = decode<SimulationKind>(data, size, *loaded);
    if (info.build != build)
        bad(std::string("belongs to ") + build_name(static_cast<unsigned>(info.build)) + ", not to " +
            build_name(static_cast<unsigned>(build)));
    state = *loaded;
}

std::vector<std::uint8_t> save_plant_snapshot(const OpenLoopState& state) { return encode<PlantKind>(0, state); }

void load_plant_snapshot(const std::uint8_t* data, std::size_t size, OpenLoopState& state) {
    const auto loaded = std::make_unique<OpenLoopState>(state);
    decode<PlantKind>(data, size, *loaded);
    state = *loaded;
}

}  // namespace veltrax
