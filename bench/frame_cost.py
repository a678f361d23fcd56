#!/usr/bin/env python3
"""Whole-program frame cost: the stand-in game at 1920 x 1080, no vsync, the stand-in runtime
unpaced, run as interleaved rounds of

  alone      the game by itself (the system's XInput library)
  copy only  a XINPUT1_3.dll that copies the backbuffer into a texture before each Present
             and does nothing else: the floor any alternate-eye program pays
  hands off  the program, VisibleHands=0
  hands on   the program, VisibleHands=1
  no screen  the program without the cinema screen (CinemaScreen=0)
  hands, no screen  VisibleHands=1 and CinemaScreen=0: the hands' own cost over the copy
  direct AER the program with SpacewarpCompatibleAER=0 (staged AER is the default)
  OpenXR ... hands off, hands on and no screen again with the stand-in OpenXR runtime in place
             of the OpenVR one (Runtime=openxr): the second back end's cost over the same copy

Each configuration's median frame time (frames after the warm-up, median over rounds) is printed
as a ratio to the game alone; the goal is (program - copy only) <= 5 % of the game's frame. A
counting build of the program (its operator new counted, read by the game through the export
HeapAllocationCount) then runs once more to give heap allocations per steady-state frame (goal 0).

The stand-in runtime turns the head a little every frame, so that each frame's head pose is its
own, and says after every Submit which frame's pose the texture carries (its PoseAge line). For
staged AER (hands off) and direct AER the script prints, per eye, the median and the 99th
percentile of that pose's age at submission, in frames and in milliseconds.

Usage (inside scripts/with-wine.sh; scripts/bench.sh does both):
  frame_cost.py --build BUILD_DIR [--rounds N] [--frames N] [--warmup N]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys

WINE = "/usr/lib/wine/wine64"
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from e2e import write_ini  # noqa: E402  (the shipped INI with some keys changed)

SHIPPED_INI = os.path.join(SOURCE, "config", "CorvaneVR.ini")


def prepare(work, name, build, dll, hands, phase, ini=None, headset="openvr"):
    folder = os.path.join(work, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(os.path.join(build, "tools", "testgame", "game", "testgame.exe"), folder)
    with open(os.path.join(folder, "timeline.txt"), "w") as f:
        f.write(f"0 {phase}\n")
    if dll is not None:
        shutil.copy(dll, os.path.join(folder, "XINPUT1_3.dll"))
    if hands is not None:
        if headset == "openxr":
            shutil.copy(os.path.join(build, "tools", "xrsim", "xrsim.dll"), folder)
            with open(os.path.join(folder, "xrsim.json"), "w") as f:
                f.write('{"file_format_version": "1.0.0", "runtime": {"library_path": "xrsim.dll"}}\n')
            ini = {"Runtime": "openxr", **(ini or {})}
        else:
            shutil.copy(os.path.join(build, "tools", "vrsim", "openvr_api.dll"), folder)
        # Software rendering at 1920 x 1080 takes longer than the 50 ms a pair may span by
        # default; without a limit every frame goes the stereo path it would on a real GPU.
        write_ini(SHIPPED_INI, os.path.join(folder, "CorvaneVR.ini"),
                  {"VisibleHands": "1" if hands else "0", "AERMaxPairIntervalMs": "0", **(ini or {})})
        scenario = "xrsim_scenario.txt" if headset == "openxr" else "vrsim_scenario.txt"
        with open(os.path.join(folder, scenario), "w") as f:
            # A twentieth of a degree a frame: every frame's pose differs from its neighbours' by
            # well over the runtime's matching tolerance.
            f.write("pace off\nlog queries off\nhead key 0 0 1.6 0 0 0 0\nhead key 100000 0 1.6 0 5000 0 0\n")
    return folder


def read_stats(path):
    frames = []
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            if line.startswith("frame="):
                frames.append(dict(kv.split("=", 1) for kv in line.split()))
    return frames


def run_game(folder, frames):
    command = [WINE, "./testgame.exe", "--frames", str(frames), "--width", "1920", "--height", "1080",
               "--stats", "stats.txt", "--timeline", "timeline.txt"]
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all"
    for variable in ("VRSIM_SCENARIO", "VRSIM_LOG", "XRSIM_SCENARIO", "XRSIM_LOG", "XR_RUNTIME_JSON"):
        env.pop(variable, None)
    manifest = os.path.join(folder, "xrsim.json")
    if os.path.exists(manifest):
        # The program honours the variable before the registry, so each run names its own runtime.
        env["XR_RUNTIME_JSON"] = "Z:" + os.path.abspath(manifest).replace("/", "\\")
    result = subprocess.run(command, cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, timeout=600)
    if result.returncode != 0:
        raise SystemExit(f"frame_cost: the game in {folder} exited with {result.returncode}:\n{result.stdout}")
    return read_stats(os.path.join(folder, "stats.txt"))


def read_pose_ages(folder, warmup):
    """(eye, frames, ms) of every submission after the warm-up whose pose the runtime matched."""
    ages = []
    path = os.path.join(folder, "vrsim.log")
    if not os.path.exists(path):
        return ages
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            if not line.startswith("compositor.PoseAge "):
                continue
            fields = dict(kv.split("=", 1) for kv in line.split()[1:])
            if int(fields["frame"]) > warmup and fields["match"] == "yes" and fields["ms"] != "unknown":
                ages.append((int(fields["eye"]), int(fields["frames"]), float(fields["ms"])))
    return ages


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--warmup", type=int, default=60)
    # gameplay: the program's whole work, but the game then draws the program's view (first
    # person, the headset's wider frustum), which costs a software renderer a different amount
    # than the game's own view. menu: the game draws the same picture in every configuration,
    # so the difference is the program's own per-frame cost (copies, submission, hands).
    parser.add_argument("--phase", choices=["gameplay", "menu"], default="gameplay")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = os.path.join(build, "bench", "frame_cost")
    program = os.path.join(build, "src", "XINPUT1_3.dll")
    configs = [
        ("alone", prepare(work, "alone", build, None, None, args.phase)),
        ("copy only", prepare(work, "copy_only", build, os.path.join(build, "bench", "copy_only", "XINPUT1_3.dll"),
                              None, args.phase)),
        ("hands off", prepare(work, "hands_off", build, program, False, args.phase)),
        ("hands on", prepare(work, "hands_on", build, program, True, args.phase)),
        # While the game has the camera (the menu) the program shows its picture on the cinema
        # screen; without it, the picture goes straight to both eyes.
        ("no screen", prepare(work, "no_screen", build, program, False, args.phase, {"CinemaScreen": "0"})),
        ("hands, no screen", prepare(work, "hands_no_screen", build, program, True, args.phase,
                                     {"CinemaScreen": "0"})),
        ("direct AER", prepare(work, "direct_aer", build, program, False, args.phase,
                               {"SpacewarpCompatibleAER": "0"})),
        ("OpenXR hands off", prepare(work, "xr_hands_off", build, program, False, args.phase, headset="openxr")),
        ("OpenXR hands on", prepare(work, "xr_hands_on", build, program, True, args.phase, headset="openxr")),
        ("OpenXR no screen", prepare(work, "xr_no_screen", build, program, False, args.phase, {"CinemaScreen": "0"},
                                     headset="openxr")),
    ]
    pose_ages = {"hands off": [], "direct AER": []}
    medians = {name: [] for name, _ in configs}
    for round_index in range(args.rounds):
        # Rotating the order keeps a slow start or a busy neighbour from always hitting one configuration.
        order = configs[round_index % len(configs):] + configs[:round_index % len(configs)]
        for name, folder in order:
            stats = run_game(folder, args.frames)
            medians[name].append(statistics.median(float(s["ms"]) for s in stats[args.warmup:]))
            if name in pose_ages:
                pose_ages[name] += read_pose_ages(folder, args.warmup)
        print(f"round {round_index + 1}/{args.rounds}: " +
              ", ".join(f"{name} {medians[name][-1]:.2f} ms" for name, _ in configs), flush=True)

    alone = statistics.median(medians["alone"])
    copy_only = statistics.median(medians["copy only"])
    print(f"\nframe cost at 1920 x 1080 in {args.phase}, {args.rounds} rounds of {args.frames} frames "
          f"(first {args.warmup} of each run left out)")
    print(f"{'configuration':<18} {'median ms':>10} {'ratio to alone':>15}")
    for name, _ in configs:
        value = statistics.median(medians[name])
        print(f"{name:<18} {value:>10.2f} {value / alone:>15.3f}")
    for name in ("hands off", "hands on", "no screen", "hands, no screen", "direct AER", "OpenXR hands off",
                 "OpenXR hands on", "OpenXR no screen"):
        extra = (statistics.median(medians[name]) - copy_only) / alone * 100.0
        print(f"{name}: program - copy only = {extra:+.1f} % of the game's frame (goal <= 5 %)")

    print(f"\nage of the submitted head pose (from its WaitGetPoses to the Submit), median / 99th percentile")
    print(f"{'AER':<8} {'eye':<6} {'frames':>12} {'ms':>16} {'submissions':>12}")
    for label, name in (("staged", "hands off"), ("direct", "direct AER")):
        for eye, eye_name in ((0, "left"), (1, "right")):
            ages = [(frames, ms) for e, frames, ms in pose_ages[name] if e == eye]
            if not ages:
                print(f"{label:<8} {eye_name:<6} {'no matched pose':>30}")
                continue
            frames = [a[0] for a in ages]
            ms = [a[1] for a in ages]
            print(f"{label:<8} {eye_name:<6} {statistics.median(frames):>5.1f} / {percentile(frames, 0.99):<4} "
                  f"{statistics.median(ms):>7.2f} / {percentile(ms, 0.99):<7.2f} {len(ages):>12}")

    counting_dll = os.path.join(build, "bench", "counting", "XINPUT1_3.dll")
    for headset in ("openvr", "openxr"):
        counting = prepare(work, f"counting_{headset}", build, counting_dll, True, args.phase, headset=headset)
        stats = run_game(counting, args.frames)
        counts = [int(s["dll_allocations"]) for s in stats if s["dll_allocations"] != "none"]
        if len(counts) != len(stats):
            raise SystemExit("frame_cost: the counting build did not export its allocation count")
        steady = counts[-1] - counts[args.warmup]
        per_frame = steady / (len(counts) - 1 - args.warmup)
        print(f"heap allocations of the program ({'OpenXR' if headset == 'openxr' else 'OpenVR'}, hands on): "
              f"{per_frame:.2f} per steady-state frame ({steady} in frames {args.warmup + 1}..{len(counts) - 1}; "
              f"{counts[args.warmup]} before, goal 0)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
