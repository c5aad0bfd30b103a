// SPDX-License-Identifier: LGPL-2.1-or-later
// Calls that end early (cancelled, outputs too large for memory) leave the
// simulation as it was; the default thread count follows what the process
// may use.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "api/veltrax.hpp"
#include "driver/run.hpp"
#include "golden_cases.hpp"
#include "platform/resources.hpp"

using namespace veltrax;
using veltrax::testing::curve_default;

namespace {

std::vector<Matrix> linear_call(double n, double substeps = 10, double h = 0.1) {
    return {Matrix::row({n, 0.1, 4, 2, 3, 3, 0.02, substeps, h}), Matrix::row({1}), Matrix::row({1, 3, 3, 1}),
            curve_default()};
}

bool same_bits(const std::vector<Matrix>& a, const std::vector<Matrix>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].rows != b[i].rows || a[i].cols != b[i].cols ||
            std::memcmp(a[i].data.data(), b[i].data.data(), a[i].data.size() * sizeof(double)) != 0)
            return false;
    return true;
}

// Cancels at its n-th poll.
struct CancelAt {
    int polls = 0, at;
    static bool hook(void* self) {
        CancelAt& c = *static_cast<CancelAt*>(self);
        return ++c.polls >= c.at;
    }
};

std::string error_id(const std::function<void()>& f, std::string* message = nullptr) {
    try {
        f();
    } catch (const Error& e) {
        if (message) *message = e.what();
        return e.id();
    }
    return "no error";
}

}  // namespace

TEST(Cancel, InterruptedCallLeavesTheStateAsBefore) {
    // Between sample periods, within one long Runge-Kutta period (10000
    // steps poll twice before the period's end), and while the 136 MB of
    // outputs of a million sample periods are zeroed.
    const std::vector<Matrix> next = linear_call(40);
    for (const auto& [interrupted, at, where] : {std::tuple{linear_call(200), 77, "in sample period 77 "},
                                                 std::tuple{linear_call(3, 10000, 1e-4), 3, "in sample period 1 "},
                                                 std::tuple{linear_call(1e6), 2, "before sample period 1 "}}) {
        Simulation sim(Build::PreviewHold), reference(Build::PreviewHold);
        sim.call(next);
        reference.call(next);
        CancelAt cancel{0, at};
        RunOptions options;
        options.cancelled = &CancelAt::hook;
        options.cancel_context = &cancel;
        std::string message;
        EXPECT_EQ(error_id([&] { sim.call(interrupted, 5, options); }, &message), "veltrax:interrupted");
        EXPECT_NE(message.find(std::string("interrupted ") + where), std::string::npos) << message;
        EXPECT_NE(message.find("the state is as before the call"), std::string::npos) << message;
        EXPECT_EQ(cancel.polls, at);
        EXPECT_TRUE(same_bits(sim.call(next), reference.call(next)));
    }
    RunOptions always;
    always.cancelled = [](void*) { return true; };
    EXPECT_EQ(error_id([&] { call_matprod({Matrix(2, 3), Matrix(3, 2)}, 1, always); }), "matprod:interrupted");
}

TEST(Memory, OutputsBeyondMemoryFailAtOnceWithTheirSize) {
    const std::uint64_t bytes = 1000000000ull * 8 * 17 + 24;  // N = 1e9, six estimates
    if (platform::available_memory() >= bytes) GTEST_SKIP() << "this machine has the memory for N = 1e9";
    Simulation sim, fresh;
    const auto start = std::chrono::steady_clock::now();
    std::string message;
    EXPECT_EQ(error_id([&] { sim.call(linear_call(1e9)); }, &message), "veltrax:outOfMemory");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(message.rfind("the outputs of 1000000000 sample periods need 136 GB; not enough memory", 0), 0u)
        << message;
    EXPECT_TRUE(same_bits(sim.call(linear_call(20)), fresh.call(linear_call(20))));
    EXPECT_EQ(error_id([&] { call_matprod({Matrix(100000, 1), Matrix(1, 100000)}); }, &message), "matprod:outOfMemory");
    EXPECT_EQ(message.rfind("the 100000 x 100000 product needs 80 GB", 0), 0u) << message;
}

TEST(ThreadCount, DefaultIsTheCpusOfTheAffinityMask) {
    cpu_set_t all, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    int first = 0;
    while (!CPU_ISSET(first, &all)) ++first;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    unsetenv("VELTRAX_THREADS");
    const unsigned unset = resolve_threads(0);
    setenv("VELTRAX_THREADS", "8", 1);
    const unsigned capped = resolve_threads(0);
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
    EXPECT_EQ(unset, 1u);
    EXPECT_EQ(capped, 1u);
    EXPECT_EQ(resolve_threads(7), 7u);  // an explicit count stands

    // Not a positive integer: one warning per resolution, and the default.
    std::vector<std::string> warnings;
    core::RunOptions options;
    options.warning_context = &warnings;
    options.warning = [](void* w, const char* id, const char* message) {
        static_cast<std::vector<std::string>*>(w)->push_back(std::string(id) + " " + message);
    };
    for (const char* bad : {"0", "-1", "abc", "", "2x"}) {
        setenv("VELTRAX_THREADS", bad, 1);
        EXPECT_EQ(resolve_threads(0, options), platform::usable_cpus()) << bad;
    }
    unsetenv("VELTRAX_THREADS");
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_EQ(warnings[2].rfind("veltrax:badThreadCount VELTRAX_THREADS='abc' is not a positive integer", 0), 0u)
        << warnings[2];
}

TEST(ThreadCount, CgroupLimitsOnTheWayToTheRoot) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("veltrax_cgroup_" + std::to_string(getpid()));
    auto put = [&root](const std::string& path, const std::string& text) {
        fs::create_directories((root / path.substr(1)).parent_path());
        std::ofstream(root / path.substr(1)) << text;
    };
    // A v1 CPU controller seen from a namespace root, and the v2 hierarchy.
    put("/proc/self/mountinfo",
        "30 23 0:26 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"
        "33 23 0:30 /slurm /sys/fs/cgroup/cpu\\040acct rw - cgroup cgroup rw,cpu,cpuacct\n");
    put("/proc/self/cgroup", "4:cpu,cpuacct:/slurm/job7/step0\n0::/user/job7\n");
    put("/sys/fs/cgroup/cpu acct/job7/cpu.cfs_quota_us", "250000\n");
    put("/sys/fs/cgroup/cpu acct/job7/cpu.cfs_period_us", "100000\n");
    put("/sys/fs/cgroup/cpu acct/job7/step0/cpu.cfs_quota_us", "-1\n");
    put("/sys/fs/cgroup/unified/user/cpu.max", "max 100000\n");
    EXPECT_DOUBLE_EQ(platform::cgroup_cpu_quota(root.string()), 2.5);
    put("/sys/fs/cgroup/unified/user/job7/cpu.max", "150000 100000\n");
    EXPECT_DOUBLE_EQ(platform::cgroup_cpu_quota(root.string()), 1.5);
    EXPECT_EQ(platform::cgroup_memory_left(root.string()), platform::kUnknownMemory);
    put("/sys/fs/cgroup/unified/user/memory.max", "1000000\n");
    put("/sys/fs/cgroup/unified/user/memory.current", "400000\n");
    put("/sys/fs/cgroup/unified/user/job7/memory.max", "max\n");
    put("/sys/fs/cgroup/unified/user/job7/memory.current", "300000\n");
    EXPECT_EQ(platform::cgroup_memory_left(root.string()), 600000u);

    // A mount root that is a prefix of the cgroup's name but not one of its
    // folders (job_12 and job_123): the cgroup lies outside the mount, which
    // limits it at its root.
    put("/proc/self/mountinfo", "33 23 0:30 /slurm/job_12 /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n");
    put("/proc/self/cgroup", "4:cpu:/slurm/job_123/step0\n");
    put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "300000\n");
    put("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
    EXPECT_DOUBLE_EQ(platform::cgroup_cpu_quota(root.string()), 3.0);
    fs::remove_all(root);
}
