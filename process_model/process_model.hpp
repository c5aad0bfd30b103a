// SPDX-License-Identifier: LGPL-2.1-or-later
// Built-in drug-distribution process: eleven tissue compartments and six blood
// pools, advanced by fixed mass-transfer steps.
#pragma once

#include <cstdint>

namespace veltrax {

constexpr int kCompartments = 11;
constexpr double kMolarMass = 336.6;
// Model seconds simulated per sample period.
constexpr double kModelSampleInterval = 60.0;

// The compartments by their role in the circulation (5 and 9 have none of
// their own: their venous blood returns to the venous-return pool).
enum Compartment : int {
    kFullFlow = 0,        // takes the whole flow from the mixed-venous pool to the arterial pool
    kBloodOnly = 1,       // no tissue: its blood passes straight through
    kExcreting = 2,       // loses drug by excretion
    kPortalSource = 3,    // drains into the portal pool
    kFirstPass = 4,       // receives the portal drain, reduced by the first-pass extraction
    kPlainReturn5 = 5,    // returns its venous blood unchanged
    kCollected6 = 6,      // drains into collecting pool 6
    kCollected7 = 7,      // drains into collecting pool 7
    kObserved = 8,        // its tissue concentration is the process output
    kPlainReturn9 = 9,    // returns its venous blood unchanged
    kWithSidePool = 10,   // exchanges drug with the side pool
};
// Litres per minute to kilograms per second (1.06 / 60, as written; one unit
// in the last place away from what the division gives).
constexpr double kBloodFlowFactor = 0.01766666666666667;

struct ProcessModel {
    // Scalar parameters (loaded by initialise_process_model).
    double body_mass = 0.0;
    double cardiac_output = 0.0;
    double blood_volume_per_mass = 0.0;
    double haematocrit = 0.0;
    double cell_plasma_ratio = 0.0;
    double plasma_water = 0.0;
    double plasma_protein = 0.0;
    double plasma_protein_molar_mass = 0.0;
    double extracellular_protein_molar_mass = 0.0;
    double plasma_ph = 0.0;
    double drug_pka = 0.0;
    double ionisation_sign = 0.0;
    double ionised_binding = 0.0;
    double neutral_binding = 0.0;
    double lipid_partition = 0.0;
    double first_pass_extraction = 0.0;
    double excretion_flow = 0.0;
    double excretion_ph = 0.0;
    double excretion_concentration_factor = 0.0;
    double side_pool_mass = 0.0;
    double side_pool_ph = 0.0;
    double side_pool_water = 0.0;
    double side_pool_protein = 0.0;
    double side_pool_protein_molar_mass = 0.0;
    double nominal_step = 0.0;
    double primary_dose = 0.0;
    double infusion_per_step = 0.0;

    // Pool shares of the blood volume.
    double arterial_share = 0.0, mixed_venous_share = 0.0, venous_return_share = 0.0;
    double portal_share = 0.0, collecting_6_share = 0.0, collecting_7_share = 0.0;

    // Per-compartment table.
    double mass_fraction[kCompartments] = {};
    double flow_fraction[kCompartments] = {};
    double cell_fraction[kCompartments] = {};
    double tissue_water[kCompartments] = {};
    double tissue_lipid[kCompartments] = {};
    double tissue_protein[kCompartments] = {};
    double extracellular_water[kCompartments] = {};
    double extracellular_lipid[kCompartments] = {};
    double extracellular_protein[kCompartments] = {};
    double protein_molar_mass[kCompartments] = {};
    double ph_offset[kCompartments] = {};
    double ph_slope[kCompartments] = {};

    // Derived by the preparation.
    double blood_volume = 0.0;
    double tissue_mass[kCompartments] = {};
    double arterial_pool_volume = 0.0, mixed_venous_pool_volume = 0.0, venous_return_pool_volume = 0.0;
    double portal_pool_volume = 0.0, collecting_pool_6_volume = 0.0, collecting_pool_7_volume = 0.0;
    double intracellular_water[kCompartments] = {};
    double intracellular_lipid[kCompartments] = {};
    double intracellular_protein[kCompartments] = {};
    double extracellular_ph[kCompartments] = {};
    double intracellular_ph[kCompartments] = {};
    double plasma_ph_in_use = 0.0;
    double blood_capacity[kCompartments] = {};
    double intracellular_capacity[kCompartments] = {};
    double extracellular_capacity[kCompartments] = {};
    double side_pool_capacity = 0.0;
    double excretion_capacity = 0.0;
    double blood_flow_per_step = 0.0;
    double integration_step = 1.0;
    double pending_primary_bolus = 0.0;

    // Amounts: zero at load, never reset.
    double arterial_pool = 0.0, mixed_venous_pool = 0.0, venous_return_pool = 0.0;
    double portal_pool = 0.0, collecting_pool_6 = 0.0, collecting_pool_7 = 0.0;
    double tissue_amount[kCompartments] = {};
    double side_pool_amount = 0.0;

    // Rewritten by every step.
    double blood_per_step[kCompartments] = {};
    double arterial_inflow[kCompartments] = {};
    double venous_outflow[kCompartments] = {};
    // What left the model in the last step (first-pass extraction, excretion).
    double last_extracted = 0.0;
    double last_excreted = 0.0;
};

// Everything a run start does to the model for this body: loads the
// parameters (clearing the infusion), takes the body mass and cardiac output,
// derives the body composition and prepares the coefficients. The amounts
// carry over.
void prepare_model_for_body(ProcessModel& m, double body_mass, double cardiac_output);

// The steps of that preparation.
// Loads every parameter and the table and clears the infusion. Leaves the
// amounts and the pending bolus alone.
void initialise_process_model(ProcessModel& m);
// Tissue masses, blood and pool volumes, cell composition; converts the
// plasma and side-pool protein contents to micromoles per kg in place.
void derive_body_composition(ProcessModel& m);
// Bolus conversion, pH, capacities, integration step and excretion capacity.
void prepare_process_model(ProcessModel& m);
void compute_partition_capacities(ProcessModel& m);

// One mass-transfer step of integration_step seconds.
void advance_process_model(ProcessModel& m);
void equilibrate_compartments(ProcessModel& m);

// Steps of integration_step seconds until a sample period has passed.
void advance_model_sample_period(ProcessModel& m);

// The process output: concentration in the tissue of the observed compartment.
inline double observed_concentration(const ProcessModel& m) {
    return m.tissue_amount[kObserved] * kMolarMass / m.tissue_mass[kObserved];
}

// Infusion per step that delivers `input` over the steps of a sample period.
inline double infusion_per_step(const ProcessModel& m, double input) {
    return input / (m.integration_step * kMolarMass);
}

// Sum of every amount held by the model (pools, tissues, side pool).
double total_model_amount(const ProcessModel& m);

}  // namespace veltrax
