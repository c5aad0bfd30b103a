// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/sweep.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "experiments/files.hpp"
#include "experiments/population.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

namespace {

[[noreturn]] void bad_sweep(const std::string& message) { throw Error("veltrax:badSweep", message); }

bool ends_with(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The content of the tool's own file `path`, which must be a regular file.
std::string read_existing(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) bad_sweep("'" + path.string() + "' is not a regular file");
    std::string text;
    if (!read_text(path, text))
        bad_sweep("cannot read '" + path.string() + "': " +
                  (errno == EFBIG ? larger_than(kMaxReadFile) : std::strerror(errno)));
    return text;
}

// Puts `text` at `target` unless a file is there already: written whole
// beside it and linked (or renamed without replacing) into place. False
// when it was put there; true when another file was there first.
bool put_new_file(const fs::path& folder, const fs::path& target, const std::string& text) {
    const fs::path temp = hidden_name(folder.string(), target.filename().string(), "tmp");
    try {
        OutputFile out(temp, target, OutputFile::Mode::fresh);
        out << text;
        out.close();
    } catch (const Error& e) {
        bad_sweep(e.what());
    }
    int rc = ::link(temp.c_str(), target.c_str());
    if (rc != 0 && errno != EEXIST)
        rc = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        std::error_code ec;  // no way to put a file exclusively: the check before must do
        rc = fs::exists(fs::symlink_status(target, ec)) ? -1 : ::rename(temp.c_str(), target.c_str());
        if (rc != 0) errno = EEXIST;
    }
    const int saved = errno;
    ::unlink(temp.c_str());
    if (rc == 0) return false;
    if (saved != EEXIST) bad_sweep("cannot write '" + target.string() + "': " + std::strerror(saved));
    return true;
}

// A whole number of at most 19 digits, no sign.
bool whole(const std::string& s, std::uint64_t& out) {
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::stoull(s);
    return true;
}

// The "comparisons" of a manifest, whose runs must be among its scenarios.
std::vector<ComparisonEntry> read_comparisons(const nlohmann::json& list, const std::set<std::string>& names,
                                              const std::string& where) {
    std::vector<ComparisonEntry> out;
    if (!list.is_array()) bad_sweep(where + "\"comparisons\" must be an array");
    for (const nlohmann::json& c : list) {
        if (!c.is_object() || !c.contains("name") || !c.at("name").is_string() || !c.contains("controllers") ||
            !c.at("controllers").is_array() || c.at("controllers").empty())
            bad_sweep(where + "a comparison needs a \"name\" and \"controllers\"");
        ComparisonEntry e;
        e.name = c.at("name").get<std::string>();
        for (const nlohmann::json& k : c.at("controllers")) {
            if (!k.is_string() || !names.count(e.name + "@" + k.get<std::string>()))
                bad_sweep(where + "comparison '" + e.name + "' names a controller without its scenario");
            e.controllers.push_back(k.get<std::string>());
        }
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace

std::string individual_folder(std::uint64_t k) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "individual_%06llu", static_cast<unsigned long long>(k));
    return buf;
}

Shard parse_shard(const std::string& text) {
    const std::size_t slash = text.find('/');
    Shard shard;
    if (slash == std::string::npos || !whole(text.substr(0, slash), shard.k) || !whole(text.substr(slash + 1), shard.n) ||
        shard.k < 1 || shard.k > shard.n)
        throw Error("veltrax:badArguments", "K/N needs whole numbers 1 <= K <= N, got '" + text + "'");
    return shard;
}

std::vector<RunRef> slice_runs(const SweepManifest& manifest, Shard shard) {
    std::vector<RunRef> slice;
    const std::uint64_t n = shard.n, mine = shard.k - 1;
    std::uint64_t first = 0;  // number of the scenario's first run
    for (std::size_t j = 0; j < manifest.scenarios.size(); ++j) {
        const std::uint64_t individuals = manifest.scenarios[j].individuals;
        const std::uint64_t count = individuals == 0 ? 1 : individuals;
        for (std::uint64_t r = (mine + n - first % n) % n; r < count; r += n)
            slice.push_back({j, individuals == 0 ? 0 : r + 1});
        first += count;
    }
    return slice;
}

std::string unusable_name(const std::string& n) {
    if (n.empty() || n == "." || n == ".." || n.find('/') != std::string::npos || n.find('\0') != std::string::npos)
        return "is not a folder name";
    if (n.size() > 255) return "is longer than 255 bytes";
    if (n[0] == '.') return "is hidden (begins with '.')";
    const bool report_file = n.compare(0, 6, "report") == 0 && (ends_with(n, ".html") || ends_with(n, ".gp") ||
                                                                 ends_with(n, ".png") || ends_with(n, ".log"));
    if (n == "sweep.json" || n == "sweep.csv" || n == "comparison.csv" || report_file) return "is the name of a file of the sweep or its report";
    return "";
}

fs::path run_folder(const std::string& scenario, std::uint64_t individual) {
    return individual == 0 ? fs::path(scenario) : fs::path(scenario) / individual_folder(individual);
}

ojson manifest_json(const SweepManifest& manifest) {
    ojson j;
    j["sweep"] = 1;
    j["scenarios"] = ojson::array();
    for (const SweepEntry& e : manifest.scenarios) {
        ojson s;
        s["name"] = e.name;
        if (e.individuals > 0) s["individuals"] = e.individuals;
        if (!e.design.is_null()) s["design"] = e.design;
        j["scenarios"].push_back(s);
    }
    for (const ComparisonEntry& c : manifest.comparisons)
        j["comparisons"].push_back({{"name", c.name}, {"controllers", c.controllers}});
    return j;
}

void write_manifest(const fs::path& outdir, const SweepManifest& manifest) {
    std::set<std::string> names;
    for (const SweepEntry& e : manifest.scenarios) {
        const std::string why = unusable_name(e.name);
        if (!why.empty()) bad_sweep("the result folder name '" + e.name + "' " + why);
        if (!names.insert(e.name).second) bad_sweep("two scenarios share the result folder '" + e.name + "'");
    }
    const std::string text = manifest_json(manifest).dump(2) + "\n";
    std::error_code ec;
    fs::create_directories(outdir, ec);
    if (ec) bad_sweep("cannot create '" + outdir.string() + "': " + ec.message());
    const fs::path target = outdir / "sweep.json";
    if (!fs::exists(fs::symlink_status(target, ec)) && !put_new_file(outdir, target, text)) return;
    if (read_existing(target) != text)
        bad_sweep("'" + target.string() + "' describes another sweep; give this one its own output folder");
}

bool is_manifest_of(const fs::path& file, const fs::path& outdir) {
    std::error_code ec;
    return fs::equivalent(file, outdir / "sweep.json", ec);
}

SweepManifest read_manifest(const fs::path& outdir) {
    const fs::path path = outdir / "sweep.json";
    return parse_manifest(read_existing(path), path.string());
}

SweepManifest parse_manifest(const std::string& text, const std::string& shown) {
    const std::string where = shown + ": ";
    nlohmann::json j;
    try {
        j = parse_json_strict(text, "veltrax:badSweep");
    } catch (const Error& e) {
        bad_sweep(where + e.what());
    }
    if (!j.is_object() || !j.contains("scenarios") || !j.at("scenarios").is_array())
        bad_sweep(where + "needs \"scenarios\": [...]");
    if (!j.contains("sweep") || j.at("sweep") != 1) bad_sweep(where + "not a sweep manifest of version 1");
    const nlohmann::json& list = j.at("scenarios");
    if (list.size() > kMaxSweepScenarios)
        bad_sweep(where + "lists " + std::to_string(list.size()) + " scenarios; a sweep has at most " +
                  std::to_string(kMaxSweepScenarios));
    SweepManifest m;
    std::set<std::string> names;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const nlohmann::json& s = list[i];
        const std::string at = where + "scenario " + std::to_string(i + 1);
        if (!s.is_object() || !s.contains("name") || !s.at("name").is_string())
            bad_sweep(at + " needs a \"name\"");
        SweepEntry e;
        e.name = s.at("name").get<std::string>();
        const std::string why = unusable_name(e.name);
        if (!why.empty()) bad_sweep(at + ": '" + e.name + "' " + why);
        if (!names.insert(e.name).second) bad_sweep(at + ": '" + e.name + "' is listed twice");
        if (s.contains("individuals")) {
            const nlohmann::json& n = s.at("individuals");
            if (!n.is_number_unsigned() || n.get<std::uint64_t>() < 1 || n.get<std::uint64_t>() > kMaxPopulationSize)
                bad_sweep(at + ": \"individuals\" must be a whole number from 1 to " +
                          std::to_string(kMaxPopulationSize) + ", got " + n.dump());
            e.individuals = n.get<std::uint64_t>();
        }
        if (s.contains("design")) {
            if (!s.at("design").is_object()) bad_sweep(at + ": \"design\" must be an object");
            e.design = nlohmann::ordered_json::parse(s.at("design").dump());
        }
        m.scenarios.push_back(e);
    }
    if (j.contains("comparisons")) m.comparisons = read_comparisons(j.at("comparisons"), names, where);
    return m;
}

}  // namespace veltrax::experiments
