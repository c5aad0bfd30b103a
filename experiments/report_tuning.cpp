// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's section on a tuning (OUTDIR/tune.json of `veltrax tune`):
// the settings, the objective on the training and the validation
// population, the history of the candidates, and the validation
// population's bands with the default and the chosen settings.
#include <cmath>
#include <limits>

#include "experiments/format.hpp"
#include "experiments/report_parts.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::experiments::report_parts {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// A number of tune.json: a number or "NaN", "Inf", "-Inf".
double num(const json& v) {
    if (v.is_number()) return v.get<double>();
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        if (s == "Inf") return std::numeric_limits<double>::infinity();
        if (s == "-Inf") return -std::numeric_limits<double>::infinity();
    }
    return std::numeric_limits<double>::quiet_NaN();
}

std::string objective_words(const json& t) {
    const json& o = t.at("objective");
    const std::string what = o.is_string() ? "mean" : format_short(100.0 * num(o.at("quantile"))) + " % quantile";
    return what + " of " + t.at("metric").get<std::string>() + " (call " + t.at("call").dump() + ")";
}

std::string settings_table(const json& t) {
    std::string h = "<table><tr><th class=l>setting</th><th class=l>range</th><th>default</th><th>chosen</th></tr>\n";
    const json& chosen = t.at("chosen").at("validation").at("settings");
    for (const json& s : t.at("settings")) {
        const std::string name = s.at("name").get<std::string>();
        const std::string range = s.contains("values") ? "values " + s.at("values").dump()
                                                       : "[" + format_short(num(s.at("low"))) + ", " +
                                                             format_short(num(s.at("high"))) + "]" +
                                                             (s.contains("scale") ? " log" : "");
        h += "<tr><td class=l>" + html_escaped(name) + "</td><td class=l>" + html_escaped(range) + "</td><td>" +
             format_short(num(s.at("default"))) + "</td><td>" + format_short(num(chosen.at(name))) + "</td></tr>\n";
    }
    return h + "</table>\n";
}

std::string results_table(const json& t) {
    const json& d = t.at("default");
    const json& c = t.at("chosen");
    auto row = [](const std::string& label, const std::string& a, const std::string& b) {
        return "<tr><td class=l>" + label + "</td><td>" + a + "</td><td>" + b + "</td></tr>\n";
    };
    std::string h = "<table><tr><th class=l></th><th>default</th><th>chosen</th></tr>\n";
    h += row("objective, training (" + t.at("training").at("size").dump() + " individuals)",
             format_short(num(d.at("training").at("objective"))), format_short(num(c.at("training").at("objective"))));
    h += row("objective, validation (" + t.at("validation").at("size").dump() + ", seed " +
                 t.at("validation").at("seed").dump() + ")",
             format_short(num(d.at("validation").at("objective"))), format_short(num(c.at("validation").at("objective"))));
    const char* q[] = {"5 %", "50 %", "95 %"};
    for (int k = 0; k < 3; ++k)
        h += row(std::string("validation: ") + q[k] + " of " + t.at("metric").get<std::string>(),
                 format_short(num(d.at("validation").at("metric_5_50_95")[k])),
                 format_short(num(c.at("validation").at("metric_5_50_95")[k])));
    h += row("validation: individuals without a finite value", d.at("validation").at("failed").dump(),
             c.at("validation").at("failed").dump());
    return h + "</table>\n";
}

std::string history_plot(const json& t) {
    std::string gp = "$history << EOD\n# candidate objective best\n";
    double best = std::numeric_limits<double>::infinity();
    std::size_t k = 0;
    for (const json& e : t.at("history")) {
        const double f = num(e.at("objective"));
        if (f < best) best = f;
        gp += std::to_string(++k) + " " + (std::isfinite(f) ? format_number(f) : "NaN") + " " +
              (std::isfinite(best) ? format_number(best) : "NaN") + "\n";
    }
    gp += "EOD\nset output 'tuning_history.png'\nset title " + gp_string("Tuning: " + objective_words(t)) +
          "\nset xlabel 'candidate'\nset ylabel 'objective (training)'\n";
    const double def = num(t.at("default").at("training").at("objective"));
    gp += "plot $history using 1:2 with points pt 7 lc rgb '#3182bd' title 'candidate', \\\n"
          "     $history using 1:3 with steps lw 2 lc rgb '#08519c' title 'best so far'";
    if (std::isfinite(def)) gp += ", \\\n     " + format_number(def) + " with lines dt 2 lc rgb 'black' title 'default'";
    return gp + "\nunset xlabel\nunset ylabel\nunset title\n\n";
}

std::string bands_plot(const json& t) {
    const json& time = t.at("time");
    const json& db = t.at("default").at("validation").at("bands");
    const json& cb = t.at("chosen").at("validation").at("bands");
    std::string gp = "$bands << EOD\n# t setpoint y5 y50 y95 u5 u50 u95 (default) y5 y50 y95 u5 u50 u95 (chosen)\n";
    for (std::size_t i = 0; i < time.size(); ++i) {
        gp += format_number(num(time[i])) + " " + format_number(num(t.at("setpoint")[i]));
        for (const json* b : {&db, &cb})
            for (const char* key : {"y5", "y50", "y95", "u5", "u50", "u95"})
                gp += " " + (i < b->at(key).size() ? format_number(num(b->at(key)[i])) : "NaN");
        gp += "\n";
    }
    gp += "EOD\nset output 'tuning_bands.png'\nset terminal pngcairo size 1000,750 noenhanced\n"
          "set multiplot layout 2,1 title 'Validation population: 5-95 % and median, default and chosen settings'\n"
          "set ylabel 'y'\nplot $bands using 1:3:5 with filledcurves fs transparent solid 0.35 lc rgb '#969696' "
          "title 'default 5-95 %', \\\n"
          "     $bands using 1:9:11 with filledcurves fs transparent solid 0.35 lc rgb '#6baed6' title 'chosen 5-95 %', \\\n"
          "     $bands using 1:4 with lines lw 2 lc rgb '#252525' title 'default median', \\\n"
          "     $bands using 1:10 with lines lw 2 lc rgb '#08519c' title 'chosen median', \\\n"
          "     $bands using 1:2 with steps lc rgb 'black' dt 2 title 'set-point'\n"
          "set ylabel 'u'\nset xlabel 'time'\nplot $bands using 1:6:8 with filledcurves fs transparent solid 0.35 "
          "lc rgb '#969696' title 'default 5-95 %', \\\n"
          "     $bands using 1:12:14 with filledcurves fs transparent solid 0.35 lc rgb '#fd8d3c' title 'chosen 5-95 %', \\\n"
          "     $bands using 1:7 with lines lw 2 lc rgb '#252525' title 'default median', \\\n"
          "     $bands using 1:13 with lines lw 2 lc rgb '#a63603' title 'chosen median'\n"
          "unset multiplot\nunset xlabel\nunset ylabel\n\n";
    return gp;
}

}  // namespace

ExtraSection tuning_section(const fs::path& outdir, bool plots) {
    ExtraSection s;
    std::string text;
    std::error_code ec;
    if (!fs::exists(outdir / "tune.json", ec)) return s;
    s.html = "<h2>Tuning</h2>\n";
    try {
        if (!read_text(outdir / "tune.json", text)) throw Error("veltrax:badSweep", "cannot read it");
        const json t = parse_json_strict(text, "veltrax:badSweep");
        s.html += "<p>" + html_escaped(t.at("algorithm").get<std::string>()) + " minimised the " +
                  html_escaped(objective_words(t)) + " over the training population (" +
                  t.at("training").at("size").dump() + " individuals, seed " + t.at("training").at("seed").dump() +
                  ") in " + std::to_string(t.at("history").size()) + " candidates, each run on the same individuals "
                  "with the same noise; candidate " + t.at("chosen").at("candidate").dump() + " was chosen. The "
                  "validation population is the same population block drawn with another seed; its runs are the "
                  "scenarios 'default' and 'tuned' of this folder.</p>\n";
        s.html += settings_table(t) + results_table(t);
        if (plots) {
            s.script = "tuning.gp";
            s.gnuplot = "# Plots of the tuning: gnuplot tuning.gp\nset terminal pngcairo size 900,500 noenhanced\n"
                        "set grid\nset key below horizontal\n\n" + history_plot(t);
            s.pngs = {"tuning_history.png"};
            s.html += "<img src=\"tuning_history.png\" alt=\"tuning history\">\n";
            if (!t.at("time").empty()) {
                s.gnuplot += bands_plot(t);
                s.pngs.push_back("tuning_bands.png");
                s.html += "<img src=\"tuning_bands.png\" alt=\"validation bands\">\n";
            }
            s.gnuplot += "set output\n";
        }
    } catch (const std::exception& e) {  // a folder's other files are still reported
        s.html += "<p>tune.json cannot be read: " + html_escaped(e.what()) + "</p>\n";
        s.script.clear();
        s.pngs.clear();
    }
    return s;
}

}  // namespace veltrax::experiments::report_parts
