// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's section on sensitivity designs: sensitivity.csv, tables of
// the indices, Sobol indices as bars with their intervals, Morris mu*-sigma.
#include <cmath>

#include "experiments/format.hpp"
#include "experiments/gnuplot.hpp"
#include "experiments/report_parts.hpp"
#include "experiments/sweep_sensitivity.hpp"

namespace veltrax::experiments::report_parts {

namespace fs = std::filesystem;

namespace {

// Plots beyond this many are left out (the tables stay).
constexpr std::size_t kMaxPlots = 24;

std::string cell(double v) { return "<td>" + format_short(v) + "</td>"; }

std::string plus_minus(double v, double conf) {
    return "<td>" + format_short(v) + (std::isnan(conf) ? "" : " &plusmn; " + format_short(conf)) + "</td>";
}

std::string design_heading(const DesignAnalysis& a) {
    const Design& d = a.design;
    const bool sobol = d.method == DesignMethod::sobol;
    std::string h = "<h3>" + html_escaped(a.scenario) + ": " + design_method_name(d.method) + ", " +
                    std::to_string(d.samples) + (sobol ? " base samples" : " trajectories") + ", " +
                    std::to_string(d.inputs.size()) + " inputs, " + std::to_string(d.runs()) + " runs (" +
                    std::to_string(a.ok) + " ok), call " + std::to_string(d.call) + "</h3>\n";
    return h;
}

std::string sobol_table(const Design& d, const MetricAnalysis& m) {
    std::string h = "<table><tr><th class=l>input</th><th>first order S1</th><th>total ST</th></tr>\n";
    for (std::size_t i = 0; i < d.inputs.size(); ++i)
        h += "<tr><td class=l>" + html_escaped(d.inputs[i].name) + "</td>" + plus_minus(m.sobol.S1[i], m.sobol.S1_conf[i]) +
             plus_minus(m.sobol.ST[i], m.sobol.ST_conf[i]) + "</tr>\n";
    h += "</table>\n<p>" + std::to_string(m.sobol.groups_used) + " base samples used";
    if (m.sobol.groups_dropped)
        h += ", " + std::to_string(m.sobol.groups_dropped) +
             " left out (a run of the sample failed, is missing or has no finite value)";
    return h + "; intervals: " + format_short(100.0 * d.bootstrap.confidence) + " % from " +
           std::to_string(d.bootstrap.resamples) + " bootstrap resamples.</p>\n";
}

std::string morris_table(const Design& d, const MetricAnalysis& m) {
    std::string h = "<table><tr><th class=l>input</th><th>&mu;*</th><th>&mu;</th><th>&sigma;</th><th>effects</th></tr>\n";
    for (std::size_t i = 0; i < d.inputs.size(); ++i)
        h += "<tr><td class=l>" + html_escaped(d.inputs[i].name) + "</td>" +
             plus_minus(m.morris.mu_star[i], m.morris.mu_star_conf[i]) + cell(m.morris.mu[i]) + cell(m.morris.sigma[i]) +
             "<td>" + std::to_string(m.morris.effects[i]) + "</td></tr>\n";
    return h + "</table>\n<p>Elementary effects in the metric's units per full range of the input; intervals of "
               "&mu;*: " + format_short(100.0 * d.bootstrap.confidence) + " % from " +
           std::to_string(d.bootstrap.resamples) + " bootstrap resamples of the trajectories.</p>\n";
}

// gnuplot data: one line per input, the name quoted, then the numbers.
std::string data_block(const std::string& block, const Design& d, const std::vector<const std::vector<double>*>& cols) {
    std::string gp = block + " << EOD\n";
    for (std::size_t i = 0; i < d.inputs.size(); ++i) {
        gp += "\"" + d.inputs[i].name + "\"";
        for (const std::vector<double>* c : cols) gp += " " + (std::isfinite((*c)[i]) ? format_number((*c)[i]) : "NaN");
        gp += "\n";
    }
    return gp + "EOD\n";
}

std::string sobol_plot(const std::string& png, const std::string& title, const Design& d, const MetricAnalysis& m) {
    const std::string block = "$" + png.substr(0, png.size() - 4);
    std::string gp = data_block(block, d, {&m.sobol.S1, &m.sobol.S1_conf, &m.sobol.ST, &m.sobol.ST_conf});
    gp += "set output '" + png + "'\nset title " + gp_string(title) +
          "\nset style data histogram\nset style histogram errorbars gap 2 lw 1\nset style fill solid 0.7 border -1\n"
          "set yrange [*:*]\nset xtics rotate by -30\nset ylabel 'index'\n"
          "plot " + block + " using 2:3:xtic(1) title 'first order S1' lc rgb '#3182bd', '' using 4:5 title 'total ST' "
          "lc rgb '#e6550d'\nunset style\nset xtics norotate\nunset ylabel\n\n";
    return gp;
}

std::string morris_plot(const std::string& png, const std::string& title, const Design& d, const MetricAnalysis& m) {
    const std::string block = "$" + png.substr(0, png.size() - 4);
    std::string gp = data_block(block, d, {&m.morris.mu_star, &m.morris.sigma, &m.morris.mu_star_conf});
    gp += "set output '" + png + "'\nset title " + gp_string(title) +
          "\nset xlabel 'mu* (mean absolute elementary effect)'\nset ylabel 'sigma'\nset xrange [0:*]\nset yrange [0:*]\n"
          "set offsets 0, graph 0.15, graph 0.12, 0\n"
          "plot " + block + " using 2:3:($2-$4):($2+$4) with xerrorbars pt 7 lc rgb '#3182bd' title 'mu* and its interval', \\\n"
          "     " + block + " using 2:3:1 with labels offset 1,1 left notitle\n"
          "unset xlabel\nunset ylabel\nset xrange [*:*]\nset yrange [*:*]\nset offsets 0, 0, 0, 0\n\n";
    return gp;
}

}  // namespace

ExtraSection sensitivity_section(const ReportFolder& folder, const std::optional<SweepManifest>& manifest, bool plots) {
    ExtraSection s;
    if (!manifest) return s;
    std::string table;
    if (!read_text(folder.work / "sweep.csv", table))
        throw Error("veltrax:writeFailed", "cannot read back '" + (folder.outdir / "sweep.csv").string() + "'");
    const std::vector<DesignAnalysis> analyses = analyze_designs(*manifest, table);
    if (analyses.empty()) return s;
    OutputFile csv(folder.work / "sensitivity.csv", folder.outdir / "sensitivity.csv", OutputFile::Mode::fresh);
    csv << sensitivity_csv(analyses);
    csv.close(false);
    s.tables.push_back("sensitivity.csv");
    s.html = "<h2>Sensitivity</h2>\n<p>Indices of each design's metrics (all of them in "
             "<a href=\"sensitivity.csv\">sensitivity.csv</a>).</p>\n";
    s.script = "sensitivity.gp";
    s.gnuplot = "# Plots of the sensitivity designs: gnuplot sensitivity.gp\n"
                "set terminal pngcairo size 900,560 noenhanced\nset grid\nset key below horizontal\n\n";
    for (const DesignAnalysis& a : analyses) {
        s.html += design_heading(a);
        const bool sobol = a.design.method == DesignMethod::sobol;
        for (const MetricAnalysis& m : a.metrics) {
            s.html += "<h4>" + html_escaped(m.metric) + " (" + std::to_string(m.finite) + " runs with a value)</h4>\n";
            s.html += sobol ? sobol_table(a.design, m) : morris_table(a.design, m);
            if (!plots || s.pngs.size() == kMaxPlots) continue;
            const std::string png = "sensitivity_" + std::to_string(s.pngs.size() + 1) + ".png";
            const std::string title = a.scenario + ": " + m.metric;
            s.gnuplot += sobol ? sobol_plot(png, title, a.design, m) : morris_plot(png, title, a.design, m);
            s.pngs.push_back(png);
            s.html += "<img src=\"" + png + "\" alt=\"" + html_escaped(title) + "\">\n";
        }
    }
    s.gnuplot += "set output\n";
    return s;
}

void write_section_plots(const ReportFolder& folder, const ExtraSection& s, const Cancel& cancel) {
    if (s.script.empty() || s.pngs.empty()) return;
    OutputFile file(folder.work / s.script, folder.outdir / s.script, OutputFile::Mode::fresh);
    file << s.gnuplot;
    file.close(false);
    GnuplotRun run{folder.work, s.script, s.script.substr(0, s.script.size() - 3) + "_gnuplot.log", folder.outdir,
                   "install gnuplot or use --no-plots"};
    run.cancelled = cancel.cancelled;
    run.cancel_context = cancel.context;
    run_gnuplot(run);
}

}  // namespace veltrax::experiments::report_parts
