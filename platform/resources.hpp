// SPDX-License-Identifier: LGPL-2.1-or-later
// What this process may use of the machine: CPUs and memory. On Linux the
// answers come from the affinity mask, the cgroup limits and /proc/meminfo;
// elsewhere the hardware's CPU count stands in and memory is not known.
#pragma once

#include <cstdint>
#include <string>

namespace veltrax::platform {

constexpr std::uint64_t kUnknownMemory = UINT64_MAX;

// CPUs this process may run on: those of its affinity mask (taskset, a
// cluster job's CPU set), limited by the CPU quota of its cgroup (a
// container's or a job's CPU limit) rounded up; at least 1. The quota is
// read once per process.
unsigned usable_cpus();

// Bytes of new memory this process can take without swapping or going
// beyond its cgroup's memory limit: available memory and free swap, or what
// the cgroup limit leaves if that is less. kUnknownMemory when not known.
std::uint64_t available_memory();

// A byte count for messages: "24 bytes", "2.4 MB", "136 GB" (powers of 1000).
std::string describe_bytes(std::uint64_t bytes);

// The cgroup readings, with `root` in front of every path read ("" reads
// the real /proc and /sys):
// the smallest CPU quota (in CPUs) of this process's cgroup and the cgroups
// above it, cgroup v2 cpu.max or v1 cpu.cfs_quota_us / cpu.cfs_period_us; 0
// when there is none;
double cgroup_cpu_quota(const std::string& root = "");
// the least memory that the limits of this process's cgroup and those above
// it leave (v2 memory.max - memory.current, v1 memory.limit_in_bytes -
// memory.usage_in_bytes); kUnknownMemory when there is no limit.
std::uint64_t cgroup_memory_left(const std::string& root = "");

}  // namespace veltrax::platform
