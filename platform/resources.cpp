// SPDX-License-Identifier: LGPL-2.1-or-later
#include "platform/resources.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace veltrax::platform {
namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool read_unsigned(const std::string& path, std::uint64_t& value) {
    const std::string text = read_file(path);
    char* end = nullptr;
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    value = std::strtoull(text.c_str(), &end, 10);
    return end != text.c_str();
}

std::vector<std::string> split(const std::string& s, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

bool has(const std::vector<std::string>& list, const std::string& word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The folders of this process's cgroup that holds `controller`, in every
// hierarchy that has it (v2, and v1 with the controller), each from the
// cgroup up to the root of its mount.
std::vector<std::string> cgroup_folders(const std::string& root, const std::string& controller) {
    struct Mount {
        bool v2;
        std::string root, point;
        std::vector<std::string> options;
    };
    std::vector<Mount> mounts;
    std::istringstream mountinfo(read_file(root + "/proc/self/mountinfo"));
    for (std::string line; std::getline(mountinfo, line);) {
        std::vector<std::string> f;
        std::istringstream words(line);
        for (std::string w; words >> w;) f.push_back(w);
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || f.end() - dash < 4) continue;
        const std::string& type = dash[1];
        if (type == "cgroup2" || type == "cgroup")
            mounts.push_back({type == "cgroup2", unescape(f[3]), unescape(f[4]), split(dash[3], ',')});
    }

    std::vector<std::string> folders;
    std::istringstream cgroups(read_file(root + "/proc/self/cgroup"));
    for (std::string line; std::getline(cgroups, line);) {
        const std::size_t a = line.find(':'), b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
        const bool v2 = line.compare(0, a, "0") == 0 && controllers.empty();
        if (!v2 && !has(split(controllers, ','), controller)) continue;
        for (const Mount& m : mounts) {
            if (m.v2 != v2 || (!v2 && !has(m.options, controller))) continue;
            // The cgroup's path below the mount's root; a cgroup outside it
            // (another namespace, or /slurm/job_123 beside a root
            // /slurm/job_12) is limited at least by the mount's root.
            std::string below;
            if (m.root == "/")
                below = path;
            else if (path.compare(0, m.root.size(), m.root) == 0 &&
                     (path.size() == m.root.size() || path[m.root.size()] == '/'))
                below = path.substr(m.root.size());
            while (!below.empty() && below.back() == '/') below.pop_back();
            for (;;) {
                folders.push_back(root + m.point + below);
                const std::size_t up = below.rfind('/');
                if (up == std::string::npos) break;
                below.erase(up);
            }
            break;
        }
    }
    return folders;
}

}  // namespace

double cgroup_cpu_quota(const std::string& root) {
    double quota = 0.0;
    auto take = [&quota](double q) {
        if (q > 0.0 && (quota == 0.0 || q < quota)) quota = q;
    };
    for (const std::string& dir : cgroup_folders(root, "cpu")) {
        const std::vector<std::string> max = split(read_file(dir + "/cpu.max"), ' ');  // "max 100000" or "150000 100000"
        if (max.size() == 2 && max[0] != "max") take(std::atof(max[0].c_str()) / std::atof(max[1].c_str()));
        std::uint64_t period = 0;
        const std::string quota_us = read_file(dir + "/cpu.cfs_quota_us");  // -1: none
        if (!quota_us.empty() && quota_us[0] != '-' && read_unsigned(dir + "/cpu.cfs_period_us", period) && period > 0)
            take(std::atof(quota_us.c_str()) / static_cast<double>(period));
    }
    return quota;
}

std::uint64_t cgroup_memory_left(const std::string& root) {
    constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 62;  // v1 writes about 2^63 for none
    std::uint64_t left = kUnknownMemory;
    for (const std::string& dir : cgroup_folders(root, "memory")) {
        std::uint64_t limit = 0, used = 0;
        if ((read_unsigned(dir + "/memory.max", limit) && read_unsigned(dir + "/memory.current", used)) ||
            (read_unsigned(dir + "/memory.limit_in_bytes", limit) && read_unsigned(dir + "/memory.usage_in_bytes", used))) {
            if (limit < kNoLimit) left = std::min(left, limit > used ? limit - used : 0);
        }
    }
    return left;
}

unsigned usable_cpus() {
    unsigned cpus = 0;
#if defined(__linux__)
    // The mask may be larger than a cpu_set_t on machines with many CPUs.
    for (int size = 1024; size <= (1 << 16) && cpus == 0; size *= 2) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (!set) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(size);
        if (sched_getaffinity(0, bytes, set) == 0) cpus = static_cast<unsigned>(CPU_COUNT_S(bytes, set));
        CPU_FREE(set);
    }
#endif
    if (cpus == 0) cpus = std::thread::hardware_concurrency();
    if (cpus == 0) cpus = 1;
    static const double quota = cgroup_cpu_quota();
    if (quota > 0.0) cpus = std::min(cpus, std::max(1u, static_cast<unsigned>(std::ceil(quota))));
    return cpus;
}

std::string describe_bytes(std::uint64_t bytes) {
    static const char* const units[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 999.5 && unit < 6) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.3g %s", value, units[unit]);
    return text;
}

std::uint64_t available_memory() {
    std::uint64_t available = 0, swap = 0;
    bool known = false;
    std::istringstream meminfo(read_file("/proc/meminfo"));
    for (std::string line; std::getline(meminfo, line);) {
        std::istringstream words(line);
        std::string key;
        std::uint64_t kb = 0;
        if (!(words >> key >> kb)) continue;
        if (key == "MemAvailable:") {
            available = kb * 1024;
            known = true;
        } else if (key == "SwapFree:") {
            swap = kb * 1024;
        }
    }
    return std::min(known ? available + swap : kUnknownMemory, cgroup_memory_left());
}

}  // namespace veltrax::platform
