# SPDX-License-Identifier: LGPL-2.1-or-later
"""The adaptive controller against a tuned PID on the example population.

Both controllers drive the same 20 virtual patients of
examples/populations/patients.json (the built-in model, 300 sample periods,
the effect held at 0.5, raised along a ramp to 0.8, lowered to 0.6), with the
same noise seed and set-point profile, so each patient's metrics differ by
the controller alone. The PID's gains (kp 2, ki 0.1, kd 1, clamping
anti-windup) are the grid point with the lowest median IAE over these
patients among those whose median overshoot stays near 5 %. Run from the
repository root after building:

    PYTHONPATH=build/python /usr/bin/python3 examples/compare_controllers.py [OUTPUT_FOLDER]

prints the paired comparison and writes OUTPUT_FOLDER/compare_controllers.png
(default results/), and the run folders with a report (comparison included)
to OUTPUT_FOLDER/patients_compared/ (report.html; its plots where gnuplot is
installed).
"""

import argparse
import json
import pathlib
import shutil

import veltrax

EXAMPLES = pathlib.Path(__file__).resolve().parent
PID = veltrax.Pid(kp=2.0, ki=0.1, kd=1.0, anti_windup="clamping")


def main() -> veltrax.Comparison:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", nargs="?", default="results", help="folder for the results (default: results)")
    out_dir = pathlib.Path(parser.parse_args().out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)

    scenario = json.loads((EXAMPLES / "populations" / "patients.json").read_text())
    s = scenario["settings"]
    settings = veltrax.Settings(**{**s, "noise": veltrax.Noise(**s["noise"])},
                                process=veltrax.BodyModel(**scenario["process"]),
                                curve=veltrax.Curve(**scenario["curve"]))
    runs = out_dir / "patients_compared"
    shutil.rmtree(runs, ignore_errors=True)  # a fresh sweep folder each time
    comparison = veltrax.compare({"adaptive": scenario["build"], "pid": PID}, settings,
                                 population=scenario["population"], seed=scenario["seed"],
                                 setpoint=scenario["setpoint"], outdir=runs, name="patients")

    print(f"{len(comparison.individuals)} patients, paired: pid - adaptive (median [5 %, 95 %]), wins")
    for metric in ("iae", "ise", "max_overshoot", "total_control", "mdape", "wobble"):
        m = comparison.metrics[metric]
        d = m.differences["pid"]
        print(f"  {metric:14} adaptive {m.values['adaptive'].p50:9.4g}  pid {m.values['pid'].p50:9.4g}  "
              f"difference {d.p50:+9.4g} [{d.p5:+.4g}, {d.p95:+.4g}]  "
              f"wins adaptive {m.wins['adaptive']}, pid {m.wins['pid']} of {m.contested}")
    comparison.plot(out_dir / "compare_controllers.png")
    report = veltrax.report(runs, plots=shutil.which("gnuplot") is not None)
    print(f"wrote {out_dir / 'compare_controllers.png'} and {runs / 'report.html'} ({report.ok} runs)")
    return comparison


if __name__ == "__main__":
    main()
