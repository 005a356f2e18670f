#!/usr/bin/python3
"""Times Pillow's Image.resize on the sizes of resample_bench and prints our time over
Pillow's (a ratio below 1.0 means Morvane is faster).

    bench/pillow_resize.py build/rel/bench/resample_bench

Without the benchmark path it prints Pillow's times only. Both run in the same call, on
the same machine state; every figure is CPU time (the machine is shared, so wall time
says more about the neighbours than about the code), the best of several repetitions.
"""
import json
import subprocess
import sys
import time

from PIL import Image

SIZES = [(4000, 3000), (1000, 750)]
TARGET = (640, 480)
# Our filter number -> (our name, Pillow's filter)
PAIRS = {
    5: ("rfLanczos3", Image.LANCZOS),
    1: ("rfTriangle", Image.BILINEAR),
    9: ("rfFastLinear", Image.BILINEAR),
    11: ("rfBicubic", Image.BICUBIC),
}


def photo(width, height):
    # The same kind of content as the C++ benchmark: gradients plus grain.
    grad = Image.linear_gradient("L").resize((width, height))
    noise = Image.effect_noise((width, height), 16)
    return Image.merge("RGB", (grad, grad.transpose(Image.ROTATE_90).resize((width, height)), noise))


def best_ms(fn, min_time=1.0, min_reps=3):
    best = float("inf")
    reps = 0
    start = time.perf_counter()
    while reps < min_reps or time.perf_counter() - start < min_time:
        t0 = time.process_time()
        fn()
        best = min(best, time.process_time() - t0)
        reps += 1
    return best * 1000.0


def pillow_times():
    times = {}
    for w, h in SIZES:
        img = photo(w, h)
        img.load()
        for number, (_, flt) in PAIRS.items():
            times[(number, w, h)] = best_ms(lambda: img.resize(TARGET, flt))
    return times


def our_times(binary):
    out = subprocess.run(
        [binary, "--benchmark_filter=BM_Resample", "--benchmark_format=json",
         "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=false"],
        check=True, capture_output=True, text=True).stdout
    times = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        # name: BM_Resample/filter:5/w:4000/h:3000
        parts = dict(p.split(":") for p in b["name"].split("/")[1:])
        key = (int(parts["filter"]), int(parts["w"]), int(parts["h"]))
        ms = b["cpu_time"] if b["time_unit"] == "ms" else b["cpu_time"] / 1e6
        times[key] = min(times.get(key, float("inf")), ms)
    return times


def main():
    ours = our_times(sys.argv[1]) if len(sys.argv) > 1 else {}
    pil = pillow_times()
    print(f"{'case':44} {'Morvane ms':>10} {'Pillow ms':>10} {'ratio':>6}")
    for (number, w, h), p in pil.items():
        name, flt = PAIRS[number]
        label = f"{name} {w}x{h}->{TARGET[0]}x{TARGET[1]} ({Image.Resampling(flt).name})"
        o = ours.get((number, w, h))
        if o is None:
            print(f"{label:44} {'-':>10} {p:10.2f} {'-':>6}")
        else:
            print(f"{label:44} {o:10.2f} {p:10.2f} {o / p:6.2f}")


if __name__ == "__main__":
    main()
