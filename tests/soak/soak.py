#!/usr/bin/env python3
"""Soak with injected faults: the stand-in game with the DLL and the stand-in runtime for many
frames, the runtime failing on a seeded random schedule (WaitGetPoses and Submit errors, lost head
and controller tracking, controllers coming and going, init refused for a while, invalid optics on
a reconnection) while the game's timeline cycles cutscenes, menus, focus loss, device and swap
chain re-creation and player-object changes.

What must hold: every frame presented and no crash; the log grows only with events (bounded lines
per 1,000 frames, no line repeated frame after frame); after every release of the game's device
and swap chain nothing of the program still holds them; private bytes show no growth trend after
the warm-up; VR resumes after every runtime fault and first person after every interruption.

Over OpenXR (--headset openxr, --runtime the stand-in OpenXR runtime's DLL) the same schedule
speaks the stand-in OpenXR runtime's language: frame waits and swapchain acquisitions fail, the
session or the instance is lost now and then in place of refused inits and invalid optics, and
the runtime must record no rule of OpenXR broken.

Usage (inside scripts/with-wine.sh; scripts/soak.sh builds and runs it):
  soak.py --work DIR --game EXE --dll DLL --runtime DLL --ini INI [--frames N] [--seed S] [--frame-ms MS]
          [--headset openvr|openxr]
"""

import argparse
import bisect
import datetime
import os
import random
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
from e2e import Failures, write_ini  # noqa: E402  (the end-to-end runner's check collector and INI writer)

WINE = "/usr/lib/wine/wine64"
RECONNECT_SECONDS = 10.0
VR_LOST = "VR renderer unavailable: "
VR_ACTIVE = {"openvr": "OpenVR eye submission is active", "openxr": "OpenXR eye submission is active"}
RULE_BROKEN = "rule broken:"
FP_ENTERED = "Camera: First person enabled automatically after "


# The OpenVR stand-in's controller devices, as the OpenXR stand-in names the hands.
HAND = {1: "left", 2: "right"}


# --- the schedule ---------------------------------------------------------------------------


class Schedule:
    """The game's timeline (game frames) and the runtime's scenario (runtime frames, init attempts)."""

    def __init__(self, frames, seed, frame_ms, headset="openvr"):
        rng = random.Random(seed)
        xr = headset == "openxr"
        self.timeline = ["0 gameplay"]
        self.gameplay_starts = [0]  # frames where gameplay (re)starts after an interruption
        self.events = {}
        frame = rng.randint(150, 250)
        kinds = ["cutscene", "menu", "focus", "recreate-device", "player", "second-device"]
        while frame < frames - 150:
            kind = kinds[rng.randrange(len(kinds))] if frame > 300 else "cutscene"
            self.events[kind] = self.events.get(kind, 0) + 1
            if kind == "cutscene":
                writer = rng.randint(1, 13)
                self.timeline += [f"{frame} cutscene {writer} 2 1", f"{frame + 30} reopen 1",
                                  f"{frame + 40} gameplay"]
                self.gameplay_starts.append(frame + 40)
                frame += 40
            elif kind == "menu":
                self.timeline += [f"{frame} menu", f"{frame + 30} gameplay"]
                self.gameplay_starts.append(frame + 30)
                frame += 30
            elif kind == "focus":
                self.timeline += [f"{frame} focus-loss", f"{frame + 20} focus-gain"]
                self.gameplay_starts.append(frame + 20)
                frame += 20
            elif kind == "player":
                if rng.random() < 0.5:
                    self.timeline.append(f"{frame} player-replace")
                else:
                    self.timeline += [f"{frame} player-clear", f"{frame + 10} player-restore"]
                    frame += 10
                self.gameplay_starts.append(frame)
            else:
                self.timeline.append(f"{frame} {kind}")
                self.gameplay_starts.append(frame)
            frame += rng.randint(150, 400)

        # Runtime frames run only while connected; an outage lasts RECONNECT_SECONDS of game time.
        outage = int(RECONNECT_SECONDS * 1000 / frame_ms)
        runtime_frames = frames
        self.scenario = ["pace off", "log queries off"]
        kill_gap = max(600, outage * 2)
        fault = rng.randint(150, 300)
        kills = []
        while fault < runtime_frames - outage:
            kind = rng.choice(["wait_error", "submit_error"])
            if xr:
                # A frame that cannot begin, a swapchain image that cannot be had, or the runtime
                # losing the session or its instance.
                kind = rng.choice(["fail xrWaitFrame -2", "fail xrAcquireSwapchainImage -2", "session_loss",
                                   "instance_loss"])
                self.scenario.append(f"{kind} {fault}")
            elif kind == "wait_error":
                self.scenario.append(f"wait_error 108 {fault}")
            else:
                eye = rng.choice(["left", "right", "both"])
                self.scenario.append(f"submit_error {eye} 102 {fault}")
            kills.append(fault)
            runtime_frames -= outage  # game frames spent waiting do not advance the runtime
            fault += rng.randint(kill_gap, kill_gap * 2)
        # Init attempt 1 is the first connection; each outage adds one attempt, or more while
        # init is refused. Refuse a couple of the reconnections and give one invalid optics.
        attempts = list(range(2, len(kills) + 2))
        if xr:
            attempts = []  # the OpenXR stand-in counts frames only, and none pass while disconnected
        if len(attempts) >= 3:
            refused = rng.choice(attempts[:-2])
            self.scenario.append(f"init_error 108 {refused}..{refused + 1}")
            self.scenario.append(f"optics_error {refused + 3}")
        elif attempts:
            self.scenario.append(f"optics_error {attempts[0]}")
        # Tracking and controllers, on their own schedule of runtime frames.
        frame = rng.randint(50, 150)
        connected = {1: [], 2: []}
        while frame < runtime_frames - 50:
            length = rng.randint(5, 60)
            kind = rng.choice(["head lost", "controller lost", "controller away"])
            if kind == "head lost":
                self.scenario.append(f"head lost {frame}..{frame + length}")
            elif kind == "controller lost":
                device = rng.randint(1, 2)
                self.scenario.append(f"controller {HAND[device] if xr else device} lost {frame}..{frame + length}")
            else:
                connected[rng.randint(1, 2)].append((frame, frame + length))
            frame += rng.randint(60, 250)
        for device, gaps in connected.items():
            start = 1
            for first, last in gaps:
                if first > start:
                    self.scenario.append(f"controller {HAND[device] if xr else device} connected {start}..{first - 1}")
                start = last + 1
            if gaps:
                self.scenario.append(f"controller {HAND[device] if xr else device} connected {start}..")
        # The head moves a little all the time, so poses keep changing.
        self.scenario += ["head key 1 0 1.6 0 0 0 0", f"head key {max(2, runtime_frames)} 0.2 1.6 -0.1 40 -5 0"]


# --- what the run left behind ---------------------------------------------------------------


def read_kv_lines(path, prefix):
    rows = []
    if os.path.exists(path):
        with open(path, encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith(prefix):
                    rows.append(dict(kv.split("=", 1) for kv in line.split() if "=" in kv))
    return rows


def day_seconds(text):
    h, m, s = text.split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)


def read_log(path):
    lines = []
    if os.path.exists(path):
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                m = re.match(r"\[\d{4}-\d\d-\d\d (\d\d:\d\d:\d\d\.\d{3})\] (.*)", line.rstrip("\r\n"))
                if m:
                    lines.append((day_seconds(m.group(1)), m.group(2)))
    return lines


def judge(folder, frames, schedule, exit_code, headset="openvr"):
    checks = Failures()
    xr = headset == "openxr"
    trace = read_kv_lines(os.path.join(folder, "trace.txt"), "frame=")
    stats = read_kv_lines(os.path.join(folder, "stats.txt"), "frame=")
    teardowns = read_kv_lines(os.path.join(folder, "stats.txt"), "teardown")
    log = read_log(os.path.join(folder, "CorvaneVR.log"))
    runtime = []
    path = os.path.join(folder, "xrsim.log" if xr else "vrsim.log")
    checks.check(os.path.exists(path), f"the runtime left no {os.path.basename(path)}: the game never reached it")
    if os.path.exists(path):
        with open(path, encoding="utf-8", errors="replace") as f:
            runtime = [line.rstrip("\n") for line in f]

    # Every frame presented, no crash.
    checks.check(exit_code == 0, f"the game exited with {exit_code} (0: every frame presented)")
    checks.check(len(trace) == frames and len(stats) == frames, f"{len(trace)} of {frames} frames traced")
    bad = [t["frame"] for t in trace if t.get("present") != "0x00000000"]
    checks.check(not bad, f"Present failed on frames {bad[:10]}")

    # Nothing of the program outlives the game's device and swap chain.
    for t in teardowns:
        checks.check(t["swap_chain"] == "0" and t["device"] == "0" and t["context"] == "0",
                     f"teardown at frame {t['frame']}: references left swap chain={t['swap_chain']} "
                     f"device={t['device']} context={t['context']}")
    checks.check(len(teardowns) == schedule.events.get("recreate-device", 0) + 1,
                 f"{len(teardowns)} teardowns recorded")

    # Log lines by frame: each line goes to the first frame whose stats time is not earlier.
    times = [day_seconds(s["time"]) for s in stats]
    line_frames = [min(bisect.bisect_left(times, t), max(0, len(times) - 1)) for t, _ in log]
    window = 1000
    per_window = [0] * (frames // window + 1)
    for f in line_frames:
        per_window[f // window] += 1
    events_per_window = max(1, len(schedule.timeline) * window // max(frames, 1))
    limit = 40 + 12 * events_per_window
    checks.check(max(per_window) <= limit,
                 f"{max(per_window)} log lines in one 1000-frame window (limit {limit})")
    normal = [re.sub(r"[-+]?\d[\d.]*", "#", text) for _, text in log]
    counts = {}
    for f, text in zip(line_frames, normal):
        key = (f // 100, text)
        counts[key] = counts.get(key, 0) + 1
    repeated = [(k, n) for k, n in counts.items() if n >= 20]
    checks.check(not repeated, f"a line repeats frame after frame: {repeated[:3]}")

    # Private bytes: no growth trend after the warm-up.
    samples = [(int(s["frame"]), int(s["private_kb"])) for s in stats if int(s["frame"]) % 50 == 0]
    warm = [kb for f, kb in samples if f >= frames // 5]
    peak = max((kb for _, kb in samples), default=0)
    growth_kb = 0
    if len(warm) >= 6:
        third = len(warm) // 3
        growth_kb = sum(warm[-third:]) / third - sum(warm[:third]) / third
        # A short run holds one or two outages, so its thirds compare VR off with VR on; only a
        # long run averages over enough cycles for a trend to mean a leak.
        if frames >= 5000:
            checks.check(growth_kb <= 8192,
                         f"private bytes grew {growth_kb / 1024:.1f} MB from the first to the last third after warm-up")

    # VR resumes after every runtime fault that left room for the reconnection.
    end = times[-1] if times else 0
    lost = [(t, text) for t, text in log if text.startswith(VR_LOST)]
    active = [t for t, text in log if text == VR_ACTIVE[headset]]
    recoveries = 0
    for t, text in lost:
        resumed = any(a > t for a in active)
        recoveries += 1 if resumed else 0
        if end - t > 3 * RECONNECT_SECONDS + 2:
            checks.check(resumed, f"VR did not resume after '{text}'")
    checks.check(bool(active), "VR never became active")

    # First person resumes after every interruption with room to settle.
    fp_recoveries = 0
    starts = schedule.gameplay_starts + [frames]
    for start, stop in zip(starts, starts[1:]):
        if stop - start < 150 or start >= len(trace):
            continue
        segment = trace[start:stop]
        ok = any(t["camera_state"] == "17" for t in segment[100:])
        fp_recoveries += 1 if ok else 0
        checks.check(ok, f"first person did not resume in gameplay frames {start}..{stop - 1}")

    # Faults the runtime actually injected (it reached their frames or attempts).
    injected = {}

    def count(kind, condition):
        injected[kind] = injected.get(kind, 0) + sum(1 for line in runtime if condition(line))

    if xr:
        count("frame wait failed", lambda l: l.startswith("xrWaitFrame") and "-> XR_ERROR_RUNTIME_FAILURE" in l)
        count("swapchain image refused", lambda l: l.startswith("xrAcquireSwapchainImage") and "-> XR_ERROR" in l)
        count("session lost", lambda l: l.startswith("scripted session_loss"))
        count("instance lost", lambda l: l.startswith("scripted instance_loss"))
        broken = [l for l in runtime if l.startswith(RULE_BROKEN)]
        checks.check(not broken, f"{len(broken)} OpenXR rules broken, first: {broken[:3]}")
    else:
        count("WaitGetPoses error", lambda l: l.startswith("compositor.WaitGetPoses") and not l.endswith("-> 0"))
        count("Submit error", lambda l: l.startswith("compositor.Submit") and not l.endswith("-> 0"))
        count("init refused", lambda l: l.startswith("VR_InitInternal2") and not l.endswith("error=0"))
        count("invalid optics", lambda l: l.startswith("system.GetEyeToHeadTransform") and l.endswith("eye=0 -> x=nan"))
    reached = max((int(m.group(1)) for l in runtime for m in [re.search(r" frame=(\d+)", l)] if m), default=0)
    for kind, pattern in (("head lost", r"head lost"), ("controller lost", r"controller \w+ lost"),
                          ("controller away", r"controller \w+ connected")):
        starts_of_kind = []
        for line in schedule.scenario:
            m = re.match(rf"{pattern} (\d+)\.\.", line)
            if m:
                starts_of_kind.append(int(m.group(1)))
        if kind == "controller away":  # a gap starts after each connected range but the last
            starts_of_kind = [s for s in starts_of_kind if s > 1]
        injected[kind] = sum(1 for s in starts_of_kind if s <= reached)

    table = [
        ("frames", f"{len(trace)} (runtime frames {reached})"),
        ("game events", ", ".join(f"{k} {v}" for k, v in sorted(schedule.events.items()))),
        ("faults injected", ", ".join(f"{k} {v}" for k, v in injected.items())),
        ("recoveries", f"VR {recoveries} of {len(lost)} losses, first person {fp_recoveries}, "
                       f"device teardowns clean {sum(1 for t in teardowns if t['device'] == '0')} of {len(teardowns)}"),
        ("log lines", f"{len(log)} (most in one 1000-frame window {max(per_window)})"),
        ("peak private bytes", f"{peak / 1024:.1f} MB (growth after warm-up {growth_kb / 1024:+.1f} MB)"),
    ]
    return checks, table


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--game", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--runtime", required=True)
    parser.add_argument("--ini", required=True)
    parser.add_argument("--frames", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--frame-ms", type=int, default=25)
    parser.add_argument("--headset", choices=["openvr", "openxr"], default="openvr")
    args = parser.parse_args()
    xr = args.headset == "openxr"

    schedule = Schedule(args.frames, args.seed, args.frame_ms, args.headset)
    folder = os.path.abspath(args.work)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(args.game, os.path.join(folder, "testgame.exe"))
    shutil.copy(args.dll, os.path.join(folder, "XINPUT1_3.dll"))
    env = dict(os.environ)
    for variable in ("VRSIM_SCENARIO", "VRSIM_LOG", "XRSIM_SCENARIO", "XRSIM_LOG", "XR_RUNTIME_JSON"):
        env.pop(variable, None)
    if xr:
        shutil.copy(args.runtime, os.path.join(folder, "xrsim.dll"))
        manifest = os.path.join(folder, "xrsim.json")
        with open(manifest, "w") as f:
            f.write('{"file_format_version": "1.0.0", "runtime": {"library_path": "xrsim.dll", "name": "xrsim"}}\n')
        # Named through the variable the program honours before the registry: the soak's prefix
        # may be shared with other runs.
        env["XR_RUNTIME_JSON"] = "Z:" + manifest.replace("/", "\\")
        write_ini(args.ini, os.path.join(folder, "CorvaneVR.ini"), {"Runtime": "openxr"})
    else:
        shutil.copy(args.runtime, os.path.join(folder, "openvr_api.dll"))
        shutil.copy(args.ini, os.path.join(folder, "CorvaneVR.ini"))
    with open(os.path.join(folder, "timeline.txt"), "w") as f:
        f.write("\n".join(schedule.timeline) + "\n")
    with open(os.path.join(folder, "xrsim_scenario.txt" if xr else "vrsim_scenario.txt"), "w") as f:
        f.write("\n".join(schedule.scenario) + "\n")

    command = [WINE, "./testgame.exe", "--frames", str(args.frames), "--timeline", "timeline.txt", "--trace",
               "trace.txt", "--stats", "stats.txt", "--min-frame-ms", str(args.frame_ms)]
    env["WINEDEBUG"] = "-all"
    started = datetime.datetime.now()
    timeout = 120 + args.frames * args.frame_ms / 1000 * 3
    with open(os.path.join(folder, "out.txt"), "w") as out:
        try:
            exit_code = subprocess.run(command, cwd=folder, env=env, stdout=out, stderr=subprocess.STDOUT,
                                       timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            exit_code = -1
    seconds = (datetime.datetime.now() - started).total_seconds()

    checks, table = judge(folder, args.frames, schedule, exit_code, args.headset)
    print(f"soak: {args.headset}, {args.frames} frames, seed {args.seed}, {args.frame_ms} ms frame cap, {seconds:.0f} s, folder {folder}")
    width = max(len(k) for k, _ in table)
    for key, value in table:
        print(f"  {key:<{width}}  {value}")
    for failure in checks.items[:30]:
        print(f"FAIL: {failure}")
    return 1 if checks.items else 0


if __name__ == "__main__":
    sys.exit(main())
