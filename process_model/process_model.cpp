// SPDX-License-Identifier: LGPL-2.1-or-later
#include "process_model/process_model.hpp"

#include <cmath>
#include <cstdint>

namespace veltrax {
namespace {

struct CompartmentRow {
    double mass_fraction, flow_fraction, cell_fraction, tissue_water, tissue_lipid, tissue_protein,
        extracellular_water, extracellular_protein, protein_molar_mass, ph_offset, ph_slope;
};

constexpr CompartmentRow kTable[kCompartments] = {
    {0.006628, 1.0, 0.8, 0.75, 0.012, 0.18, 0.965, 0.035, 91000, -0.4, -0.8},
    {0.0, 0.1507557756434576, 0.8, 0.0, 0.0, 0.0, 0.965, 0.035, 0, 0.0, 0.0},
    {0.004057, 0.1876959325892055, 0.8, 0.77, 0.052, 0.17, 0.965, 0.035, 91000, -0.3, -0.8},
    {0.01987, 0.1707234280465646, 0.8, 0.784, 0.057, 0.141, 0.965, 0.035, 91000, -0.6, -0.8},
    {0.02459, 0.06888840079071905, 0.8, 0.72, 0.067, 0.18, 0.965, 0.035, 91000, -0.3, -0.8},
    {0.02686, 0.1906910804496715, 0.8, 0.774, 0.105, 0.097, 0.965, 0.035, 91000, -0.6, -0.8},
    {0.52446, 0.1766138855054811, 0.8, 0.747, 0.045, 0.191, 0.965, 0.035, 91000, -0.46, -0.8},
    {0.19557, 0.05291427886823347, 0.925, 0.149, 0.8, 0.049, 0.965, 0.035, 91000, -0.2, -0.8},
    {0.0001, 0.001048301751163116, 0.7, 0.79, 0.11, 0.08, 0.99, 0.01, 91000, -0.3, -0.8},
    {0.00014, 2.995147860466045e-05, 0.8, 0.79, 0.02, 0.17, 0.965, 0.035, 91000, -0.46, -0.8},
    {0.0001186, 0.000638964876899423, 0.8, 0.7917, 0.0617, 0.1333, 0.965, 0.035, 91000, -0.3, -0.8},
};

constexpr double kReferencePh = 7.4;
constexpr double kMicromolesPerUnit = 1e9;
constexpr double kMillilitresPerHourToKgPerSecond = 3600000.0;

}  // namespace

void initialise_process_model(ProcessModel& m) {
    m.body_mass = 70.001;
    m.cardiac_output = 6.48;
    m.blood_volume_per_mass = 0.07857;
    m.haematocrit = 0.45;
    m.cell_plasma_ratio = 0.908;
    m.plasma_water = 0.9155;
    m.plasma_protein = 0.068;
    m.plasma_protein_molar_mass = 91000.0;
    m.extracellular_protein_molar_mass = 91000.0;
    m.plasma_ph = 7.4;
    m.drug_pka = 7.85;
    m.ionisation_sign = 1.0;
    m.ionised_binding = 0.001246;
    m.neutral_binding = 0.019121;
    m.lipid_partition = 500.0;
    m.first_pass_extraction = 0.55;
    m.excretion_flow = 100.0;
    m.excretion_ph = 6.2;
    m.excretion_concentration_factor = 17.0;
    m.side_pool_mass = 0.0004;
    m.side_pool_ph = 6.0;
    m.side_pool_water = 0.94;
    m.side_pool_protein = 0.00677;
    m.side_pool_protein_molar_mass = 91000.0;
    m.nominal_step = 1.0;
    m.primary_dose = 36.0;
    m.infusion_per_step = 0.0;

    m.arterial_share = 0.13;
    m.mixed_venous_share = 0.13;
    m.venous_return_share = 0.13;
    m.portal_share = 0.171;
    m.collecting_6_share = 0.338;
    m.collecting_7_share = 0.101;

    for (int i = 0; i < kCompartments; ++i) {
        const CompartmentRow& r = kTable[i];
        m.mass_fraction[i] = r.mass_fraction;
        m.flow_fraction[i] = r.flow_fraction;
        m.cell_fraction[i] = r.cell_fraction;
        m.tissue_water[i] = r.tissue_water;
        m.tissue_lipid[i] = r.tissue_lipid;
        m.tissue_protein[i] = r.tissue_protein;
        m.extracellular_water[i] = r.extracellular_water;
        m.extracellular_lipid[i] = 0.0;
        m.extracellular_protein[i] = r.extracellular_protein;
        m.protein_molar_mass[i] = r.protein_molar_mass;
        m.ph_offset[i] = r.ph_offset;
        m.ph_slope[i] = r.ph_slope;
    }
}

void derive_body_composition(ProcessModel& m) {
    m.blood_volume = m.body_mass * m.blood_volume_per_mass;
    for (int i = 0; i < kCompartments; ++i) m.tissue_mass[i] = m.body_mass * m.mass_fraction[i];
    m.arterial_pool_volume = m.arterial_share * m.blood_volume;
    m.mixed_venous_pool_volume = m.mixed_venous_share * m.blood_volume;
    m.venous_return_pool_volume = m.venous_return_share * m.blood_volume;
    m.portal_pool_volume = m.portal_share * m.blood_volume;
    m.collecting_pool_6_volume = m.collecting_6_share * m.blood_volume;
    m.collecting_pool_7_volume = m.collecting_7_share * m.blood_volume;
    for (int i = 0; i < kCompartments; ++i) {
        if (i == kBloodOnly) continue;
        const double f = m.cell_fraction[i];
        const double g = 1.0 - f;
        m.intracellular_water[i] = (m.tissue_water[i] - m.extracellular_water[i] * g) / f;
        m.intracellular_lipid[i] = (m.tissue_lipid[i] - m.extracellular_lipid[i] * g) / f;
        m.intracellular_protein[i] = (m.tissue_protein[i] - m.extracellular_protein[i] * g) / f;
        m.extracellular_protein[i] = m.extracellular_protein[i] / m.extracellular_protein_molar_mass * kMicromolesPerUnit;
        m.intracellular_protein[i] = m.intracellular_protein[i] / m.protein_molar_mass[i] * kMicromolesPerUnit;
    }
    m.intracellular_water[kBloodOnly] = 0.0;
    m.intracellular_lipid[kBloodOnly] = 0.0;
    m.intracellular_protein[kBloodOnly] = 0.0;
    m.extracellular_protein[kBloodOnly] = 0.0;
    m.side_pool_protein = m.side_pool_protein / m.side_pool_protein_molar_mass * kMicromolesPerUnit;
    m.plasma_protein = m.plasma_protein / m.plasma_protein_molar_mass * kMicromolesPerUnit;
}

void compute_partition_capacities(ProcessModel& m) {
    const double sign = m.ionisation_sign;
    const double rp = std::pow(10.0, sign * (m.drug_pka - m.plasma_ph_in_use));
    const double rs = std::pow(10.0, sign * (m.drug_pka - m.side_pool_ph));
    m.side_pool_capacity = ((1.0 + rs) * m.side_pool_water + (m.ionised_binding * rs + m.neutral_binding) * m.side_pool_protein) *
                           m.side_pool_mass;
    const double p = (1.0 + rp) * m.plasma_water + (m.ionised_binding * rp + m.neutral_binding) * m.plasma_protein;
    const double cb = (1.0 + (m.cell_plasma_ratio - 1.0) * m.haematocrit) * p;
    for (int i = 0; i < kCompartments; ++i) {
        const double re = std::pow(10.0, sign * (m.drug_pka - m.extracellular_ph[i]));
        const double ri = std::pow(10.0, sign * (m.drug_pka - m.intracellular_ph[i]));
        m.intracellular_capacity[i] = ((m.ionised_binding * ri + m.neutral_binding) * m.intracellular_protein[i] +
                                       m.intracellular_lipid[i] * m.lipid_partition + (1.0 + ri) * m.intracellular_water[i]) *
                                      m.cell_fraction[i];
        m.extracellular_capacity[i] = ((m.ionised_binding * re + m.neutral_binding) * m.extracellular_protein[i] +
                                       (1.0 + re) * m.extracellular_water[i]) *
                                      (1.0 - m.cell_fraction[i]);
        m.blood_capacity[i] = cb;
    }
}

void prepare_process_model(ProcessModel& m) {
    if (m.primary_dose > 0.0) {
        m.pending_primary_bolus = m.primary_dose / kMolarMass;
        m.primary_dose = 0.0;
    }
    if (m.plasma_ph > 0.0) {
        m.plasma_ph_in_use = m.plasma_ph;
        for (int i = 0; i < kCompartments; ++i) {
            if (i == kBloodOnly) continue;
            m.extracellular_ph[i] = m.plasma_ph_in_use;
            m.intracellular_ph[i] = m.extracellular_ph[i] + m.ph_offset[i] + (m.extracellular_ph[i] - kReferencePh) * m.ph_slope[i];
        }
        m.extracellular_ph[kBloodOnly] = 0.0;
        m.intracellular_ph[kBloodOnly] = 0.0;
        compute_partition_capacities(m);
    }
    if (m.nominal_step > 0.0) m.integration_step = m.nominal_step;
    if (m.cardiac_output > 0.0) m.blood_flow_per_step = m.cardiac_output * kBloodFlowFactor * m.integration_step;
    if (m.nominal_step > 0.0 || m.cardiac_output > 0.0) {
        double s = m.arterial_pool_volume;
        if (m.mixed_venous_pool_volume < s) s = m.mixed_venous_pool_volume;
        if (m.venous_return_pool_volume < s) s = m.venous_return_pool_volume;
        if (m.blood_flow_per_step < s) s = m.blood_flow_per_step;
        if (!(s == m.blood_flow_per_step)) {
            const double x = s / (m.cardiac_output * kBloodFlowFactor);
            const double t = std::trunc(x);
            m.integration_step = (x - t >= 0.5) ? t + 1.0 : t;
        }
    }
    m.excretion_capacity = m.integration_step * m.excretion_flow / kMillilitresPerHourToKgPerSecond *
                           (1.0 + std::pow(10.0, m.ionisation_sign * (m.drug_pka - m.excretion_ph)));
}

void equilibrate_compartments(ProcessModel& m) {
    for (int i = 0; i < kCompartments; ++i) {
        if (i == kBloodOnly) {
            m.venous_outflow[i] = m.arterial_inflow[i];
            m.tissue_amount[i] = 0.0;
        } else if (i == kExcreting) {
            const double total = m.arterial_inflow[i] + m.tissue_amount[i];
            const double b = m.blood_capacity[i] / m.excretion_concentration_factor;
            const double s = m.intracellular_capacity[i] / m.excretion_concentration_factor +
                             m.extracellular_capacity[i] / m.excretion_concentration_factor;
            const double conc = total / (m.tissue_mass[i] * s + m.blood_per_step[i] * b + m.excretion_capacity);
            m.venous_outflow[i] = conc * m.blood_per_step[i] * b;
            m.tissue_amount[i] = conc * m.tissue_mass[i] * s;
            m.last_excreted = conc * m.excretion_capacity;
        } else if (i == kWithSidePool) {
            const double total = m.arterial_inflow[i] + m.tissue_amount[i] + m.side_pool_amount;
            const double s = m.extracellular_capacity[i] + m.intracellular_capacity[i];
            const double conc =
                total / (m.tissue_mass[i] * s + m.blood_per_step[i] * m.blood_capacity[i] + m.side_pool_capacity);
            m.venous_outflow[i] = conc * m.blood_per_step[i] * m.blood_capacity[i];
            m.tissue_amount[i] = conc * m.tissue_mass[i] * s;
            m.side_pool_amount = conc * m.side_pool_capacity;
        } else {
            const double total = m.arterial_inflow[i] + m.tissue_amount[i];
            const double s = m.intracellular_capacity[i] + m.extracellular_capacity[i];
            const double conc = total / (m.tissue_mass[i] * s + m.blood_per_step[i] * m.blood_capacity[i]);
            m.venous_outflow[i] = conc * m.blood_per_step[i] * m.blood_capacity[i];
            m.tissue_amount[i] = conc * m.tissue_mass[i] * s;
        }
    }
}

void advance_process_model(ProcessModel& m) {
    constexpr int n = kCompartments;
    for (int i = 0; i < n; ++i) m.blood_per_step[i] = m.flow_fraction[i] * m.blood_flow_per_step;
    const double q = m.blood_flow_per_step;
    const double q_portal = m.blood_per_step[kPortalSource];
    const double q6 = m.blood_per_step[kCollected6];
    const double q7 = m.blood_per_step[kCollected7];

    m.arterial_inflow[kFullFlow] = m.blood_per_step[kFullFlow] / m.mixed_venous_pool_volume * m.mixed_venous_pool;
    for (int i = 1; i < n; ++i) m.arterial_inflow[i] = m.blood_per_step[i] / m.arterial_pool_volume * m.arterial_pool;

    const double to_mixed_venous = q / m.venous_return_pool_volume * m.venous_return_pool;
    const double from_portal = q_portal / m.portal_pool_volume * m.portal_pool;
    const double from_collecting_6 = q6 / m.collecting_pool_6_volume * m.collecting_pool_6;
    const double from_collecting_7 = q7 / m.collecting_pool_7_volume * m.collecting_pool_7;

    m.portal_pool -= from_portal;
    m.collecting_pool_6 -= from_collecting_6;
    m.collecting_pool_7 -= from_collecting_7;
    m.venous_return_pool -= to_mixed_venous;
    m.mixed_venous_pool -= m.arterial_inflow[kFullFlow];
    for (int i = 1; i < n; ++i) m.arterial_pool -= m.arterial_inflow[i];

    m.blood_per_step[kFirstPass] += q_portal;
    const double x = m.arterial_inflow[kFirstPass] + from_portal;
    m.arterial_inflow[kFirstPass] = (1.0 - m.first_pass_extraction) * x;
    m.last_extracted = m.first_pass_extraction * x;

    equilibrate_compartments(m);

    m.arterial_pool += m.venous_outflow[kFullFlow];
    m.portal_pool += m.venous_outflow[kPortalSource];
    m.collecting_pool_6 += m.venous_outflow[kCollected6];
    m.collecting_pool_7 += m.venous_outflow[kCollected7];
    m.mixed_venous_pool += to_mixed_venous;
    m.venous_return_pool += from_collecting_6 + from_collecting_7 + m.venous_outflow[kBloodOnly] +
                            m.venous_outflow[kExcreting] + m.venous_outflow[kFirstPass] + m.venous_outflow[kPlainReturn5];
    m.venous_return_pool += m.venous_outflow[kObserved];
    m.venous_return_pool += m.venous_outflow[kPlainReturn9];
    m.venous_return_pool += m.venous_outflow[kWithSidePool];
    m.mixed_venous_pool += m.infusion_per_step;
}

void advance_model_sample_period(ProcessModel& m) {
    for (double clock = 0.0; clock < kModelSampleInterval; clock += m.integration_step) advance_process_model(m);
}

void prepare_model_for_body(ProcessModel& m, double body_mass, double cardiac_output) {
    initialise_process_model(m);
    m.body_mass = body_mass;
    m.cardiac_output = cardiac_output;
    derive_body_composition(m);
    prepare_process_model(m);
}

double total_model_amount(const ProcessModel& m) {
    double total = m.arterial_pool + m.mixed_venous_pool + m.venous_return_pool + m.portal_pool + m.collecting_pool_6 +
                   m.collecting_pool_7 + m.side_pool_amount;
    for (int i = 0; i < kCompartments; ++i) total += m.tissue_amount[i];
    return total;
}

}  // namespace veltrax
