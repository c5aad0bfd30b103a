#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Writes the seed corpus fuzz/corpus/: valid calls in the byte layout that
veltrax_fuzz.cpp reads (see the comment at its top)."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

BUILD = {2: 0, 1: 1, 3: 2}                 # build byte
NRHS = {4: 0, 5: 1, 6: 2}                  # nrhs byte
NLHS = {5: 0, 0: 1, 1: 2, 2: 3, 3: 4, 4: 5}
LINEAR, MODEL, FIRST_ORDER, DEGREE_10 = 0, 1, 2, 3
FRESH, COMPARE_THREADS = 1, 6


def raw(value):
    """An edit value: kind 3 (raw double), filler byte, 8 bytes."""
    return bytes([3, 0]) + struct.pack("<d", value)


def default_input():
    return bytes([0, 0])                   # default shape, no edits


def edited(edits, shape=b"\x00"):
    out = shape + bytes([len(edits)])
    for index, value in edits:
        out += bytes([index]) + raw(value)
    return out


def gateway(build=2, flags=0, nrhs=4, nlhs=5, template=LINEAR, inputs=()):
    out = bytes([0, BUILD[build], flags, NRHS[nrhs], NLHS[nlhs], template])
    for i in range(nrhs):
        out += inputs[i] if i < len(inputs) else default_input()
    return out


def matprod(m, n, q):
    return bytes([3, 0, 0, m, n, q, 0, 0, 0])


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    write("empty", b"")
    for build in (1, 2, 3):
        for template, label in ((LINEAR, "linear"), (MODEL, "model"), (FIRST_ORDER, "first-order"),
                                (DEGREE_10, "degree-10")):
            write(f"v{build}-{label}", gateway(build=build, template=template))
        write(f"v{build}-filter", gateway(build=build, nrhs=5))
        write(f"v{build}-six-inputs", gateway(build=build, nrhs=6))
        # Model, then linear on the same state; then a fresh one compared on two threads.
        write(f"v{build}-sequence", gateway(build=build, template=MODEL) + gateway(build=build) +
              gateway(build=build, flags=FRESH | COMPARE_THREADS, nrhs=5))
    for nlhs in (0, 1, 2, 3, 4):
        write(f"v2-outputs-{nlhs}", gateway(nlhs=nlhs))
    # Gaussian noise: a row of 10 parameters.
    write("v2-gaussian", gateway(inputs=[edited([(9, 0.0)], shape=bytes([1, 10]))]))
    write("v2-orders", gateway(inputs=[edited([(2, 0.0), (4, 6.0), (5, 4.0)])]))
    write("v2-dead-time-9", gateway(inputs=[edited([(2, 9.0), (5, 0.0)])]))
    write("v2-no-orders", gateway(inputs=[edited([(4, 0.0), (5, 0.0)])]))
    write("v2-extreme-weights", gateway(inputs=[edited([(1, float("nan")), (6, 1e300)])]) +
          gateway(inputs=[edited([(1, -1.0)])]))
    write("v2-samples-0", gateway(inputs=[edited([(0, 0.0)])]))
    write("v2-samples-3", gateway(inputs=[edited([(0, 3.0)])], flags=COMPARE_THREADS))
    write("matprod", matprod(2, 3, 2))
    write("matprod-empty", matprod(0, 0, 3) + matprod(2, 0, 3))


if __name__ == "__main__":
    main()
