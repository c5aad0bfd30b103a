# SPDX-License-Identifier: LGPL-2.1-or-later
"""The typical closed-loop call from Python, plotted with matplotlib.

veltrax2 drives the third-order process 1/(s+1)^3 for 300 sample periods of
one time unit (10 Runge-Kutta steps of 0.1), control weight 0.1, dead time 4,
control limited to [0, 2], third-order model, no noise. Run from the
repository root after building:

    PYTHONPATH=build/python /usr/bin/python3 examples/closed_loop_demo.py [OUTPUT_FOLDER]

writes OUTPUT_FOLDER/python_closed_loop.png (default results/).
"""

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import veltrax  # noqa: E402

U_MAX = 2.0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", nargs="?", default="results", help="folder for the PNG (default: results)")
    out_dir = pathlib.Path(parser.parse_args().out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)

    sim = veltrax.Simulation(veltrax.Build.BASE)
    r = sim.call(samples=300, control_weight=0.1, dead_time=4, u_max=U_MAX, a_order=3, b_order=3,
                 noise=veltrax.Noise(kind="uniform", amplitude=0), rk4_steps=10, rk4_step=0.1,
                 process=veltrax.TransferFunction(numerator=[1], denominator=[1, 3, 3, 1]),
                 curve=veltrax.Curve(plant_midpoint=0.404, midpoint=0.505, plant_exponent=2.98, exponent=4.0))
    print("veltrax2, linear process 1/(s+1)^3")
    print(f"  sum of squared errors          {r.squared_error:.6g}")
    print(f"  time-weighted absolute errors  {r.time_weighted_abs_error:.6g}")
    print(f"  60 x input integral            {r.input_integral:.6g}")

    t = r.t[:, 0]
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(9, 6), constrained_layout=True)
    fig.suptitle("veltrax2 on 1/(s+1)^3: set-point, measured output and control")
    top.plot(t, r.setpoint, "k--", label="set-point")
    top.plot(t, r.y, label="measured output y")
    top.set_ylabel("set-point, y (0 to 1)")
    top.set_ylim(0.0, 1.05)
    top.legend(loc="lower right")
    bottom.plot(t, r.u, color="tab:red", label="control u")
    bottom.axhline(U_MAX, color="gray", linestyle=":", label=f"upper limit u_max = {U_MAX:g}")
    bottom.set_ylabel("control u")
    bottom.set_ylim(-0.1, 1.15 * U_MAX)  # room above the saturated control
    bottom.set_xlabel("time (sample periods)")
    bottom.legend(loc="lower right")
    for ax in (top, bottom):
        ax.grid(alpha=0.3)

    png = out_dir / "python_closed_loop.png"
    fig.savefig(png, dpi=100)
    print(f"plot written to {png}")


if __name__ == "__main__":
    main()
