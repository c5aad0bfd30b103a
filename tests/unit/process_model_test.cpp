// SPDX-License-Identifier: LGPL-2.1-or-later
#include <gtest/gtest.h>

#include <cmath>

#include "process_model/process_model.hpp"

using namespace veltrax;

namespace {

ProcessModel prepared(double body_mass = 70.001, double cardiac_output = 6.48) {
    ProcessModel m;
    prepare_model_for_body(m, body_mass, cardiac_output);
    return m;
}

}  // namespace

TEST(ProcessModel, PreparationGivesTheDocumentedCoefficients) {
    const ProcessModel m = prepared();
    EXPECT_NEAR(m.blood_volume, 5.49997857, 1e-8);
    EXPECT_NEAR(m.arterial_pool_volume, 0.7149972141, 1e-10);
    EXPECT_NEAR(m.mixed_venous_pool_volume, 0.7149972141, 1e-10);
    EXPECT_NEAR(m.plasma_protein, 747.2527, 1e-4);
    EXPECT_NEAR(m.side_pool_protein, 74.3956, 1e-4);
    EXPECT_NEAR(m.extracellular_protein[0], 384.615, 1e-3);
    EXPECT_NEAR(m.extracellular_protein[8], 109.890, 1e-3);
    EXPECT_EQ(m.extracellular_protein[1], 0.0);
    EXPECT_NEAR(m.side_pool_capacity, 0.0301887, 1e-7);
    EXPECT_NEAR(m.blood_capacity[3], 19.56319, 1e-5);
    EXPECT_NEAR(m.blood_flow_per_step, 0.11448, 1e-12);
    EXPECT_EQ(m.integration_step, 1.0);
    EXPECT_NEAR(m.excretion_capacity, 0.0012685655, 1e-10);
    EXPECT_NEAR(m.intracellular_capacity[0], 63.62, 0.01);
    EXPECT_NEAR(m.intracellular_capacity[7], 413.0, 0.1);
    EXPECT_NEAR(m.extracellular_capacity[0], 2.4779, 1e-4);
    EXPECT_NEAR(m.extracellular_capacity[7], 0.9292, 1e-4);
    EXPECT_NEAR(m.extracellular_capacity[8], 1.8802, 1e-4);
    EXPECT_NEAR(m.extracellular_capacity[1], 1.37e7, 0.01e7);
    // Plasma capacity P with Rp = 10^0.45, and Cb from it.
    const double rp = std::pow(10.0, 0.45);
    const double p = (1 + rp) * 0.9155 + (0.001246 * rp + 0.019121) * m.plasma_protein;
    EXPECT_NEAR(p, 20.40808, 1e-5);
    EXPECT_DOUBLE_EQ(m.blood_capacity[0], (1 + (0.908 - 1) * 0.45) * p);
}

TEST(ProcessModel, BolusDoseIsConvertedOnceAndNeverGiven) {
    ProcessModel m = prepared();
    EXPECT_EQ(m.primary_dose, 0.0);
    EXPECT_DOUBLE_EQ(m.pending_primary_bolus, 36.0 / 336.6);
    m.pending_primary_bolus = 0.0;
    prepare_process_model(m);
    EXPECT_EQ(m.pending_primary_bolus, 0.0);
    for (int s = 0; s < 100; ++s) advance_process_model(m);
    EXPECT_EQ(total_model_amount(m), 0.0);
}

TEST(ProcessModel, InitialisationKeepsAmountsAndResetsTheInfusion) {
    ProcessModel m = prepared();
    m.infusion_per_step = 0.01;
    for (int s = 0; s < 30; ++s) advance_process_model(m);
    const double before = total_model_amount(m);
    initialise_process_model(m);
    EXPECT_EQ(m.infusion_per_step, 0.0);
    EXPECT_EQ(total_model_amount(m), before);
    EXPECT_GT(before, 0.0);
}

TEST(ProcessModel, MassBalanceClosesEveryStep) {
    ProcessModel m = prepared();
    for (int s = 0; s < 3000; ++s) {
        m.infusion_per_step = s < 1500 ? 0.002 : 0.0;
        const double before = total_model_amount(m);
        advance_process_model(m);
        const double after = total_model_amount(m);
        const double expected = before + m.infusion_per_step - m.last_extracted - m.last_excreted;
        ASSERT_NEAR(after, expected, 1e-12 * (1.0 + before)) << "step " << s;
        ASSERT_EQ(m.tissue_amount[kBloodOnly], 0.0);
        ASSERT_GT(m.last_extracted, -1e-300);
    }
    // Drug reaches the observed tissue, and leaves again after the infusion stops.
    EXPECT_GT(m.tissue_amount[kObserved], 0.0);
}

TEST(ProcessModel, PortalDrainJoinsCompartmentFourBeforeExtraction) {
    ProcessModel m = prepared();
    m.arterial_pool = 1.0;
    m.portal_pool = 0.5;
    const double share = m.flow_fraction[4] * m.blood_flow_per_step / m.arterial_pool_volume * m.arterial_pool;
    const double drain = m.blood_flow_per_step * m.flow_fraction[3] / m.portal_pool_volume * m.portal_pool;
    advance_process_model(m);
    EXPECT_NEAR(m.arterial_inflow[4], 0.45 * (share + drain), 1e-15);
    EXPECT_NEAR(m.last_extracted, 0.55 * (share + drain), 1e-15);
}

TEST(ProcessModel, InfusionReachesTheObservedTissueOnlyThroughTheCirculation) {
    ProcessModel m = prepared();
    m.infusion_per_step = 1.0;
    advance_process_model(m);  // into the mixed-venous pool only
    EXPECT_EQ(m.tissue_amount[kObserved], 0.0);
    EXPECT_EQ(m.mixed_venous_pool, 1.0);
    m.infusion_per_step = 0.0;
    advance_process_model(m);  // through compartment 0 to the arterial pool
    EXPECT_EQ(m.tissue_amount[kObserved], 0.0);
    EXPECT_GT(m.arterial_pool, 0.0);
    advance_process_model(m);
    EXPECT_GT(m.tissue_amount[kObserved], 0.0);
}

TEST(ProcessModel, StepChoiceFollowsTheSmallestPool) {
    // Pools smaller than the flow per step: the step is the rounded time in
    // which the flow moves the smallest pool.
    EXPECT_EQ(prepared(10.0, 6.48).integration_step, 1.0);  // pool 0.102 kg > 0.5 * 0.1145 kg
    EXPECT_EQ(prepared(5.0, 6.48).integration_step, 0.0);   // pool 0.051 kg < half of it
    EXPECT_EQ(prepared(70.001, 6.48).integration_step, 1.0);
}
