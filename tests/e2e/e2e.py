#!/usr/bin/env python3
"""End-to-end cases: the stand-in game runs with the DLL beside it as XINPUT1_3.dll and the
stand-in runtime as openvr_api.dll, under Wine, in a fresh folder per case. Each case is judged
from the game's own trace, CorvaneVR.log and the runtime's call record (vrsim.log).

Usage: e2e.py --case NAME --work DIR --game EXE --dll DLL --runtime DLL --ini INI --source DIR

Run inside scripts/with-wine.sh (WINEPREFIX, DISPLAY and WINEDLLOVERRIDES set). A case that only
judges reads the folder of the run it names (see CASES) and does not start the game again.
"""

import argparse
import datetime
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zlib

import cinema_view
import openxr_runs
import player_view
import reconnection
import snap_turn

WINE = "/usr/lib/wine/wine64"

SUMMARY_PREFIX = "D3D11 swap chain plus immediate/deferred contexts intercepted; "
IMPORT_HOOK_LINE = "CorvaneVR: D3D11 import hook installed"
FP_ENTERED = "Camera: First person enabled automatically after "
HANDOFF = "Camera: NATIVE COMPOSITE HANDOFF"
MENU_SUSPEND = "Camera: First person suspended: final gameplay camera was absent (menu/load)"

# The stand-in runtime's default eye-to-head translation: half the distance between the eyes.
HALF_IPD_METRES = 0.0315


class Failures:
    def __init__(self):
        self.items = []

    def check(self, condition, message):
        if not condition:
            self.items.append(message)
        return condition


# --- reading what a run left behind ---------------------------------------------------------


def parse_vector(text):
    if text == "none":
        return None
    return tuple(float(v) for v in text.split(","))


class Run:
    def __init__(self, folder):
        self.folder = folder
        self.trace = []
        path = os.path.join(folder, "trace.txt")
        if os.path.exists(path):
            with open(path, encoding="ascii", errors="replace") as f:
                for line in f:
                    if line.strip():
                        self.trace.append(dict(kv.split("=", 1) for kv in line.split()))
        self.log = []  # (seconds since the epoch, text)
        path = os.path.join(folder, "CorvaneVR.log")
        if os.path.exists(path):
            with open(path, encoding="utf-8", errors="replace") as f:
                for line in f:
                    m = re.match(r"\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\] (.*)", line.rstrip("\r\n"))
                    if m:
                        stamp = datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f")
                        self.log.append((time.mktime(stamp.timetuple()) + stamp.microsecond / 1e6, m.group(2)))
        # The stand-in runtime's call record: the OpenVR one's, or the OpenXR one's in a run that
        # used it (its capture, find and view lines read the same).
        self.vrsim = []
        self.headset = "openxr" if os.path.exists(os.path.join(folder, "xrsim.log")) else "openvr"
        path = os.path.join(folder, "xrsim.log" if self.headset == "openxr" else "vrsim.log")
        self.vrsim_present = os.path.exists(path)
        if self.vrsim_present:
            with open(path, encoding="utf-8", errors="replace") as f:
                self.vrsim = [line.rstrip("\r\n") for line in f]
        with open(os.path.join(folder, "out.txt"), encoding="utf-8", errors="replace") as f:
            self.out = f.read()
        with open(os.path.join(folder, "run.txt")) as f:
            fields = dict(line.strip().split("=", 1) for line in f if "=" in line)
        self.exit_code = int(fields["exit"])
        self.started = float(fields["started"])
        self.ended = float(fields["ended"])

    def log_texts(self):
        return [text for _, text in self.log]

    def log_index(self, prefix, start=0):
        for i in range(start, len(self.log)):
            if self.log[i][1].startswith(prefix):
                return i
        return -1

    def submits(self):
        """vrsim frame -> {eye: (flags, texture, bounds, pose, result)}"""
        frames = {}
        pattern = re.compile(
            r"compositor\.Submit frame=(\d+) eye=(\d+) flags=(0x[0-9a-f]+) texture=(0x[0-9a-f]+) type=\S+ "
            r"bounds=(none|\S+ \S+ \S+ \S+) pose=(.*) -> (-?\d+)$")
        for line in self.vrsim:
            m = pattern.match(line)
            if m:
                frames.setdefault(int(m.group(1)), {})[int(m.group(2))] = (
                    int(m.group(3), 16), m.group(4), m.group(5), m.group(6), int(m.group(7)))
        return frames


def read_png(path):
    """8-bit RGB or RGBA PNG (as the game's dumps and the runtime's captures are) -> (width, height, channels, rows)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path} is not a PNG file")
    pos, idat = 8, b""
    width = height = colour = 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            if depth != 8 or colour not in (2, 6) or body[12] != 0:
                raise ValueError(f"{path}: only 8-bit RGB/RGBA without interlace is read here")
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, i = [], bytearray(stride), 0
    for _ in range(height):
        kind, row = raw[i], bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        if kind == 1:
            for x in range(channels, stride):
                row[x] = (row[x] + row[x - channels]) & 255
        elif kind == 2:
            row = bytearray((a + b) & 255 for a, b in zip(row, previous))
        elif kind == 3:
            for x in range(stride):
                left = row[x - channels] if x >= channels else 0
                row[x] = (row[x] + ((left + previous[x]) >> 1)) & 255
        elif kind == 4:
            for x in range(stride):
                a = row[x - channels] if x >= channels else 0
                b = previous[x]
                c = previous[x - channels] if x >= channels else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                row[x] = (row[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(row)
        previous = row
    return width, height, channels, rows


def mean_colour_difference(a, b):
    """Mean absolute difference of the colour channels of two pictures of one size."""
    if a[:2] != b[:2]:
        return float("inf")
    total = count = 0
    for row_a, row_b in zip(a[3], b[3]):
        for x in range(a[0]):
            for ch in range(3):
                total += abs(row_a[x * a[2] + ch] - row_b[x * b[2] + ch])
        count += 3 * a[0]
    return total / count


def band_disparities(left, right, band=10, search=60):
    """For each band of rows that holds something to match: the horizontal shift that best maps
    the right eye's picture onto the left eye's (positive: the left eye sees it further right)."""
    width, height = left[0], left[1]

    def lum(image, y, x):
        row, c = image[3][y], image[2]
        return row[x * c] * 3 + row[x * c + 1] * 6 + row[x * c + 2]

    found = []
    for y0 in range(0, height - band + 1, band):
        errors = {}
        for dx in range(-search, search + 1):
            total = count = 0
            for y in range(y0, y0 + band, 2):
                for x in range(search + 10, width - search - 10, 2):
                    total += abs(lum(left, y, x) - lum(right, y, x - dx))
                    count += 1
            errors[dx] = total / count
        best = min(errors, key=lambda dx: (errors[dx], abs(dx)))
        if errors[0] > 5 and errors[best] < errors[0] / 4:
            found.append((y0, best))
    return found


def frame_of(line):
    return int(line["frame"])


def camera_state(line):
    return int(line["camera_state"])


# --- shared judgements -------------------------------------------------------------------------


def check_game_ran_clean(run, fail, frames):
    fail.check(run.exit_code == 0, f"the game exited with {run.exit_code}, not 0")
    last = run.out.strip().splitlines()[-1] if run.out.strip() else "(no output)"
    fail.check(f"{frames} frames, {frames} presented, 0 with an unhealthy allocator" in run.out,
               f"the game did not present all {frames} frames with a healthy allocator: {last}")
    fail.check(len(run.trace) == frames, f"trace has {len(run.trace)} lines, not {frames}")
    bad = [frame_of(t) for t in run.trace if t["present"] != "0x00000000"]
    fail.check(not bad, f"Present failed on frames {bad[:10]}")


def check_summary(run, fail, camera, projection, fallback):
    lines = [t for t in run.log_texts() if t.startswith(SUMMARY_PREFIX)]
    expected = (SUMMARY_PREFIX + f"final CPU camera={camera}, common-frustum projection={projection}, "
                f"allocator fallback={fallback}")
    fail.check(len(lines) == 1, f"{len(lines)} summary lines in CorvaneVR.log, expected exactly one")
    fail.check(expected in lines, f"summary line is {lines!r}, expected {expected!r}")


def check_game_untouched(run, fail):
    """The camera and projection routines received exactly what the game sent."""
    for t in run.trace:
        if t["eye"] != "none":
            if not fail.check(t["eye"] == t["sent_eye"] and t["target"] == t["sent_target"],
                              f"frame {t['frame']}: camera received {t['eye']}/{t['target']}, "
                              f"sent {t['sent_eye']}/{t['sent_target']}"):
                return
        if t["proj_angle"] != "none":
            if not fail.check(t["proj_angle"] == t["sent_angle"] and t["aspect"] == t["sent_aspect"],
                              f"frame {t['frame']}: projection received {t['proj_angle']}/{t['aspect']}, "
                              f"sent {t['sent_angle']}/{t['sent_aspect']}"):
                return
    fail.check(all(camera_state(t) != 17 for t in run.trace), "the game was put into first person")
    fail.check(not any(t.startswith(FP_ENTERED) for t in run.log_texts()), "the log says first person was entered")


def check_stays_30hz(run, fail):
    fail.check(all(t["sim_hz"] == "30" for t in run.trace), "the game left 30 Hz")


def side_offset(t):
    """Signed displacement of the received camera along the camera's right vector, and the
    part of the displacement that is not along it."""
    sent = parse_vector(t["sent_eye"])
    eye = parse_vector(t["eye"])
    target = parse_vector(t["target"])
    d = [eye[i] - sent[i] for i in range(3)]
    f = [target[i] - eye[i] for i in range(3)]
    h = math.hypot(f[0], f[2])
    side = (-f[2] / h, 0.0, f[0] / h)  # right-handed, y up: forward x up
    s = sum(d[i] * side[i] for i in range(3))
    rest = math.sqrt(sum((d[i] - s * side[i]) ** 2 for i in range(3)))
    return s, rest


# --- the session: one run, judged by four cases -------------------------------------------------

SESSION_FRAMES = 240
SESSION_STABLE_FRAMES = 20
SESSION_RETRY_FRAMES = 40
SESSION_UNITS_PER_METRE = 2.0


def check_session_run(run, fail):
    check_game_ran_clean(run, fail, SESSION_FRAMES)
    fail.check(IMPORT_HOOK_LINE in run.out, "no debugger line saying the import hook was installed")
    check_summary(run, fail, "active", "active", "unavailable")


def check_session_lifecycle(run, fail):
    texts = run.log_texts()
    first = run.log_index(FP_ENTERED)
    fail.check(first >= 0 and texts[first].startswith(f"{FP_ENTERED}{SESSION_STABLE_FRAMES} consecutive"),
               f"first person not entered after the configured {SESSION_STABLE_FRAMES} stable frames")
    handoff = run.log_index(HANDOFF, first + 1) if first >= 0 else -1
    fail.check(handoff > first >= 0, "no NATIVE COMPOSITE HANDOFF after first person was entered")
    again = run.log_index(FP_ENTERED, handoff + 1) if handoff >= 0 else -1
    fail.check(again > handoff, "first person not re-entered after the cutscene")
    menu = run.log_index(MENU_SUSPEND, again + 1) if again >= 0 else -1
    fail.check(menu > again, "no 'final gameplay camera was absent (menu/load)' after the re-entry")
    third = run.log_index(FP_ENTERED, menu + 1) if menu >= 0 else -1
    fail.check(third > menu, "first person not re-entered after the menu")

    # The same story from the game's side (built-in timeline: cutscene 60, reopen 90,
    # gameplay 100, menu 130, gameplay 160).
    states = {frame_of(t): camera_state(t) for t in run.trace}
    first17 = min((f for f, s in states.items() if s == 17), default=None)
    fail.check(first17 == SESSION_STABLE_FRAMES - 1,
               f"camera state 17 first written after frame {first17}, expected after the "
               f"{SESSION_STABLE_FRAMES} stable frames 0..{SESSION_STABLE_FRAMES - 1}")
    fail.check(all(states[f] == 17 for f in range(SESSION_STABLE_FRAMES, 60)), "first person not held until the cutscene")
    fail.check(all(states[f] == 5 for f in range(60, 100)), "the game's cutscene camera state was not left alone")
    fail.check(any(states[f] == 17 for f in range(100, 130)), "no first person between the cutscene and the menu")
    fail.check(all(states[f] != 17 for f in range(131, 160)), "first person held in the menu")
    fail.check(any(states[f] == 17 for f in range(160, SESSION_FRAMES)), "no first person after the menu")
    # The game hides the body from the frame after the camera state was written.
    hidden = [frame_of(t) for p, t in zip(run.trace, run.trace[1:])
              if camera_state(p) == 17 and camera_state(t) == 17 and not t["body"].startswith("0.00")]
    fail.check(not hidden, f"player body shown in first person on frames {hidden[:5]}")


def check_session_aer(run, fail):
    offset_lines = [t for t in run.log_texts() if t.startswith("Final gameplay camera AER active for right eye")]
    if not fail.check(offset_lines, "no 'Final gameplay camera AER active for right eye' line"):
        return
    m = re.search(r"offset ([-\d.]+) units", offset_lines[0])
    offset = float(m.group(1))
    fail.check(abs(offset - SESSION_UNITS_PER_METRE * HALF_IPD_METRES) < 2e-5,
               f"eye offset {offset} units is not StereoUnitsPerMeter x half the eye distance")
    fail.check(any(t.startswith("Final gameplay camera AER active for left eye (offset -") for t in run.log_texts()),
               "no left-eye AER line with the negative offset")

    # Every gameplay frame: either the game's own camera (mono) or moved sideways by the offset.
    signed = {}
    for t in run.trace:
        if t["phase"] != "gameplay" or t["eye"] == "none":
            continue
        s, rest = side_offset(t)
        if abs(s) < 1e-3 and rest < 1e-3:
            signed[frame_of(t)] = 0
            continue
        fail.check(abs(abs(s) - offset) < 6e-4 and rest < 2e-3,
                   f"frame {t['frame']}: camera moved by {s:+.4f} sideways and {rest:.4f} otherwise, "
                   f"expected +-{offset}")
        signed[frame_of(t)] = 1 if s > 0 else -1
    stereo = [f for f, s in signed.items() if s != 0]
    fail.check(len(stereo) > 60, f"only {len(stereo)} gameplay frames rendered from an eye")
    # Which frames were rendered in first person: the Present of frame f - 1 decides for frame f,
    # and the trace's camera state is the one after that Present.
    states = {frame_of(t): camera_state(t) for t in run.trace}
    in_first_person = {f for f in states if states.get(f - 1) == 17}
    third = sorted(f for f in stereo if f not in in_first_person)
    fail.check(not third, f"frames rendered from an eye while the game had the camera: {third[:10]}")
    # Once first person has settled (eight frames), every frame is rendered from an eye.
    settled = [f for f in signed if all(g in in_first_person for g in range(f - 10, f + 1))]
    mono = [f for f in settled if signed[f] == 0]
    fail.check(len(settled) > 40 and not mono,
               f"{len(settled)} settled first-person frames, rendered from the head centre: {mono[:10]}")
    for f in stereo:
        if signed.get(f + 1, 0) != 0:
            if not fail.check(signed[f + 1] == -signed[f], f"frames {f} and {f + 1} rendered from the same eye"):
                break
    fail.check(any(signed.get(f) == 1 for f in range(SESSION_STABLE_FRAMES, 60)) and
               any(signed.get(f) == -1 for f in range(SESSION_STABLE_FRAMES, 60)),
               "no alternating eyes in first person")

    # Which frame was which eye, from the runtime's side: a pair is published by the Present of
    # its second eye (left: the INI's AERFirstEye=1 draws the right eye first), and that Present
    # waits for the runtime's next frame. Game frame g is runtime frame g + 1.
    submits = run.submits()
    fail.check(len(submits) >= SESSION_FRAMES - 5, f"only {len(submits)} runtime frames with submits")
    judged = 0
    for frame in sorted(submits):
        pair = submits[frame]
        previous = submits.get(frame - 1)
        if 0 not in pair or 1 not in pair:
            fail.check(False, f"runtime frame {frame}: not both eyes submitted")
            continue
        fail.check(pair[0][4] == 0 and pair[1][4] == 0, f"runtime frame {frame}: a submit failed")
        if pair[0][0] & 0x8:
            fail.check(pair[0][3] == pair[1][3], f"runtime frame {frame}: the two eyes carry different poses")
        if previous is None or (pair[0][1], pair[1][1]) == (previous[0][1], previous[1][1]):
            # A stereo frame that did not complete a pair: the last pair again, as it was.
            # (A mono frame redraws both eyes into the same textures, with its own pose.)
            if previous is not None and signed.get(frame - 1, 0) != 0 and pair[0][0] & 0x8 and previous[0][0] & 0x8:
                fail.check(pair[0][3] == previous[0][3],
                           f"runtime frame {frame}: the same pair resubmitted with another pose")
            continue
        second = frame - 1
        if signed.get(second, 0) != 0 and signed.get(second - 1, 0) != 0:
            judged += 1
            fail.check(signed[second] == -1 and signed[second - 1] == 1,
                       f"game frames {second - 1},{second} published as a right/left pair but rendered from "
                       f"{signed[second - 1]:+d},{signed[second]:+d} sideways")
    fail.check(judged > 30, f"only {judged} published pairs could be matched with the game's frames")
    with_pose = [f for f, p in submits.items() if 0 in p and p[0][0] & 0x8 and p[0][3] != "none"]
    fail.check(len(with_pose) > 60, f"only {len(with_pose)} runtime frames submitted with per-eye poses")

    # How many of the runtime's waits ago each submitted pose was handed out. A pair is published
    # one wait after its first eye's pose (the second eye keeps that pose), and is submitted once
    # more, one wait older, on the frame that completes no pair. Nothing is older than that:
    # pictures are submitted before the wait for the next frame's poses, never after it.
    ages = [dict(kv.split("=", 1) for kv in line.split()[1:]) for line in run.vrsim
            if line.startswith("compositor.PoseAge ")]
    matched = [a for a in ages if a["match"] == "yes"]
    fail.check(len(matched) > 100, f"only {len(matched)} submitted poses matched one the runtime handed out")
    too_old = [a for a in matched if int(a["frames"]) > 2]
    fail.check(not too_old, f"{len(too_old)} submitted poses are more than two waits old, the first at runtime "
                            f"frame {too_old[0]['frame'] if too_old else ''}")

    # The projection routine receives the common frustum the log reports.
    line = next((t for t in run.log_texts() if t.startswith("Gameplay projection override active")), None)
    if not fail.check(line is not None, "no 'Gameplay projection override active' line"):
        return
    m = re.search(r"original angle=(\d+) .*aspect=([\d.]+); effective angle=(\d+) \(.*aspect=([\d.]+); "
                  r"raw common tan=\(([\d.]+), ([\d.]+)\), render tan=\(([\d.]+), ([\d.]+)\)", line)
    original, original_aspect, effective, effective_aspect = m.group(1), m.group(2), m.group(3), m.group(4)
    common = (float(m.group(5)), float(m.group(6)))
    render = (float(m.group(7)), float(m.group(8)))
    # The stand-in runtime's default tangents: left -1.39..1.25, right -1.25..1.39, both 1.47 up/down.
    fail.check(common == (1.39, 1.47), f"common tangents {common}, expected the widest of both eyes (1.39, 1.47)")
    fail.check(int(effective) == round(2 * math.atan(render[1]) * 65536 / (2 * math.pi)),
               f"effective angle {effective} is not the vertical field of view of render tan {render[1]}")
    fail.check(abs(float(effective_aspect) - render[0] / render[1]) < 1e-5,
               f"effective aspect {effective_aspect} is not render tan x / y")
    # Only frames rendered in first person get it; while the game has the camera it gets its own.
    overridden = own = 0
    for t in run.trace:
        if t["proj_angle"] == "none":
            continue
        fail.check(t["sent_angle"] == original and t["sent_aspect"] == original_aspect,
                   f"frame {t['frame']}: the game sent {t['sent_angle']}/{t['sent_aspect']}")
        expected = (effective, effective_aspect) if frame_of(t) in in_first_person else (original, original_aspect)
        overridden += 1 if frame_of(t) in in_first_person else 0
        own += 0 if frame_of(t) in in_first_person else 1
        if not fail.check((t["proj_angle"], t["aspect"]) == expected,
                          f"frame {t['frame']}: projection received {t['proj_angle']}/{t['aspect']}, "
                          f"expected {expected[0]}/{expected[1]}"):
            break
    fail.check(overridden > 60 and own > 30,
               f"{overridden} first-person and {own} other frames called the projection routine")


def check_session_native60(run, fail):
    fail.check("Camera: Native 60 confirmed from simulation delta 0.016667 seconds." in run.log_texts(),
               "no 'Native 60 confirmed' line")
    restored = [t for t in run.log_texts() if t.endswith("native 30 restored.")]
    fail.check(len(restored) >= 2, f"{len(restored)} 'native 30 restored' lines, expected one at the cutscene and the menu")
    # Pedestrians: 8 per frame with speed factors 0.8, 0.9, 1.0, 1.1 twice, a step of 1.2/30 units.
    per_frame_30 = 8 * 0.95 * 1.2 / 30
    # The switch of rate is a code write on the render thread, which gives up for a frame when
    # the game's threads do not stop in time and tries again: the first frames after each change
    # of camera state are not judged.
    settled = 0
    fast = slow = 0
    for previous, t in zip(run.trace, run.trace[1:]):
        gain = float(t["ped_distance"]) - float(previous["ped_distance"])
        settled = settled + 1 if (camera_state(t) == 17) == (camera_state(previous) == 17) else 0
        if settled < 3:
            continue
        if camera_state(t) == 17 and camera_state(previous) == 17:
            fast += 1
            fail.check(t["sim_hz"] == "60" and t["delta"] == "0.016667" and t["request"] == "1,1,0",
                       f"frame {t['frame']}: first person at {t['sim_hz']} Hz, delta {t['delta']}, "
                       f"request {t['request']}")
            fail.check(abs(gain - per_frame_30 / 2) < 1e-3,
                       f"frame {t['frame']}: pedestrians walked {gain:.4f} at 60 Hz, expected {per_frame_30 / 2:.4f}")
        elif camera_state(t) != 17 and camera_state(previous) != 17:
            slow += 1
            fail.check(t["sim_hz"] == "30" and t["delta"] == "0.033333",
                       f"frame {t['frame']}: {t['sim_hz']} Hz outside first person")
            expected = 0.0 if t["phase"] == "menu" else per_frame_30
            fail.check(abs(gain - expected) < 1e-3,
                       f"frame {t['frame']}: pedestrians walked {gain:.4f} at 30 Hz, expected {expected:.4f}")
    fail.check(fast > 60 and slow > 60, f"{fast} first-person and {slow} other frames judged")
    cutscene = [t for t in run.trace if 61 <= frame_of(t) < 100]
    fail.check(all(t["sim_hz"] == "30" and t["request"] == "0,0,0" for t in cutscene),
               "30 Hz and the game's request bytes not restored in the cutscene")


# What the session scenario's controllers must give the game through XInputGetState on each
# runtime frame: (buttons, left trigger, right trigger, stick). Stick: None for centred,
# "up" for full forward, "left" for a partial push to the left.
def session_controller_expectation(frame):
    buttons, left, right, stick = 0, 0, 0, None
    if 20 <= frame <= 27:
        stick = "up"
    if 28 <= frame <= 33:
        stick = "left"
    if 35 <= frame <= 36:
        buttons |= 0x8000  # Y: left hand ApplicationMenu
    if 38 <= frame <= 39:
        buttons |= 0x0100  # left shoulder: left grip
    if 41 <= frame <= 42:
        right = 255
    if 44 <= frame <= 45:
        right = 128  # 0.5 x 255 rounded away from zero
    if 47 <= frame <= 48:
        buttons |= 0x1000  # A: right hand A
    if 50 <= frame <= 51:
        buttons |= 0x0010  # Start: right hand stick press
    if 53 <= frame <= 54:
        buttons |= 0x0001  # D-pad up, either hand
    if 56 <= frame <= 57:
        left = 64  # 0.25 x 255 = 63.75
    return buttons, left, right, stick


def check_session_controllers(run, fail):
    # Input is published by the Present that waited for runtime frame F, and read by the game
    # at the start of its next frame, game frame F.
    judged = 0
    for t in run.trace:
        frame = frame_of(t)
        if frame < 1 or frame > 70:
            continue
        judged += 1
        buttons, left, right, stick = session_controller_expectation(frame)
        fail.check(t["xinput"] == "0", f"frame {frame}: XInputGetState returned {t['xinput']} with VR live")
        fail.check(int(t["buttons"], 16) == buttons, f"frame {frame}: buttons {t['buttons']}, expected 0x{buttons:04x}")
        fail.check(t["triggers"] == f"{left},{right}", f"frame {frame}: triggers {t['triggers']}, expected {left},{right}")
        x, y = parse_vector(t["stick"])
        if stick == "up":
            fail.check(x == 0.0 and y == 1.0, f"frame {frame}: stick {t['stick']}, expected full forward")
        elif stick == "left":
            fail.check(-0.8 < x < -0.2 and y == 0.0, f"frame {frame}: stick {t['stick']}, expected part left")
        else:
            fail.check(x == 0.0 and y == 0.0, f"frame {frame}: stick {t['stick']}, expected centred")
    fail.check(judged == 70, f"{judged} frames judged")
    moved = [t for t in run.trace if 21 <= frame_of(t) <= 27]
    fail.check(all(parse_vector(t["sent_eye"])[2] < parse_vector(run.trace[20]["sent_eye"])[2] for t in moved[1:]),
               "the player did not walk forward with the stick")


# --- the other cases -----------------------------------------------------------------------------


def check_disabled(run, fail):
    check_game_ran_clean(run, fail, 100)
    fail.check(any(t.startswith("Configuration loaded (VR=0,") for t in run.log_texts()), "VR=0 not in the log")
    check_game_untouched(run, fail)
    # Flat play keeps the native 60 of the game's own first-person request while gameplay is
    # stable (camera state 0 throughout), and hands back 30 Hz at the cutscene.
    hz = {frame_of(t): t["sim_hz"] for t in run.trace}
    fail.check(all(hz[f] == "60" for f in range(16, 60)), "flat gameplay did not run at native 60")
    fail.check(all(hz[f] == "30" for f in range(61, 100)), "30 Hz not restored at the cutscene in flat play")
    submits = [line for line in run.vrsim if line.startswith("compositor.Submit")]
    fail.check(not submits, f"{len(submits)} eye submissions with Enabled=0")


def header_variant_check(stamp, size):
    def check(run, fail):
        check_game_ran_clean(run, fail, 60)
        # The loader ran before the game changed its header: the import hook is in, validation refuses.
        expected = (f"Camera: Unsupported or modified executable; camera writes disabled (timestamp={stamp}, "
                    f"SizeOfImage={size}, SHA-256 match=no).")
        fail.check(expected in run.log_texts(), f"no line {expected!r}")
        check_summary(run, fail, "unavailable", "unavailable", "unavailable")
        check_game_untouched(run, fail)
        check_stays_30hz(run, fail)
    return check


def check_camera_signature_variant(run, fail):
    check_game_ran_clean(run, fail, 60)
    check_summary(run, fail, "unavailable", "unavailable", "active")
    check_game_untouched(run, fail)
    check_stays_30hz(run, fail)


def check_projection_signature_variant(run, fail):
    check_game_ran_clean(run, fail, 60)
    check_summary(run, fail, "active", "unavailable", "unavailable")
    projected = [t for t in run.trace if t["proj_angle"] != "none"]
    fail.check(len(projected) == 60, "the projection routine was not called every frame")
    fail.check(all(t["proj_angle"] == t["sent_angle"] and t["aspect"] == t["sent_aspect"] for t in projected),
               "the projection routine received something other than the game sent")
    # The camera detour still sees the gameplay camera, so first person engages; stereo needs
    # the common frustum, so every frame keeps the game's own camera position.
    fail.check(any(camera_state(t) == 17 for t in run.trace), "first person not entered with the camera detour active")
    moved = [t["frame"] for t in run.trace if t["eye"] != t["sent_eye"]]
    fail.check(not moved, f"camera moved to an eye without the common-frustum projection on frames {moved[:5]}")


RECREATE_FRAME = 50


def read_teardowns(run):
    """The game's record of each device it released: the references still held on each object."""
    with open(os.path.join(run.folder, "stats.txt"), encoding="ascii") as f:
        return [line.split() for line in f if line.startswith("teardown")]


def check_recreate(run, fail):
    frames = 90
    check_game_ran_clean(run, fail, frames)
    devices = [int(t["devices"]) for t in run.trace]
    fail.check(devices[RECREATE_FRAME - 1] == 1 and devices[RECREATE_FRAME] == 2, "the game did not recreate its device")
    # Before: alternating eyes. The frame of the new swap chain starts from the stereo state's
    # reset (the game's own camera), then the eyes alternate again, right eye first.
    sides = []
    for t in run.trace:
        s, _ = side_offset(t)
        sides.append(0 if abs(s) < 1e-3 else (1 if s > 0 else -1))
    fail.check(all(sides[f] != 0 for f in range(RECREATE_FRAME - 10, RECREATE_FRAME)), "no stereo before the recreation")
    fail.check(sides[RECREATE_FRAME] == 0, f"frame {RECREATE_FRAME}: stereo state not reset with the released swap chain")
    fail.check(sides[RECREATE_FRAME + 1] == 1, "the eyes did not restart with the right eye")
    fail.check(all(sides[f] == -sides[f - 1] != 0 for f in range(RECREATE_FRAME + 2, frames)),
               "the eyes do not alternate on the new swap chain")
    texts = run.log_texts()
    fail.check(sum(t.startswith("D3D source=640x360") for t in texts) == 2,
               "the new swap chain's backbuffer was not taken up (one 'D3D source' line per served swap chain)")
    fail.check(sum(t == "Exact Nuklear HUD draw override active on immediate context" for t in texts) == 2,
               "the HUD override was not re-armed on the new device")
    submits = run.submits()
    late = [f for f in submits if f > RECREATE_FRAME + 2]
    fail.check(len(late) >= frames - RECREATE_FRAME - 5, f"only {len(late)} runtime frames submitted after the recreation")
    fail.check(all(submits[f][0][4] == 0 and submits[f][1][4] == 0 for f in late), "a submit failed after the recreation")
    # The old device's eye textures are released with its swap chain (their handles may be reused
    # for the new ones): nothing of the program may be left holding either device.
    teardowns = read_teardowns(run)
    fail.check(len(teardowns) == 2, f"{len(teardowns)} teardowns recorded, expected 2")
    for words in teardowns:
        fail.check(words[2:] == ["swap_chain=0", "device=0", "context=0"],
                   f"references left after the game released its device: {' '.join(words)}")


def check_runtime_faults(run, fail):
    check_game_ran_clean(run, fail, FAULT_FRAMES)
    wait_fail = run.log_index("VR renderer unavailable: OpenVR WaitGetPoses failed (108)")
    submit_fail = run.log_index("VR renderer unavailable: OpenVR Submit failed (left 0, right 102)")
    fail.check(wait_fail >= 0, "no WaitGetPoses failure in the log")
    fail.check(submit_fail > wait_fail, "no Submit failure in the log after the WaitGetPoses one")
    active = [i for i, (_, t) in enumerate(run.log) if t == "OpenVR eye submission is active"]
    inits = [line for line in run.vrsim if line.startswith("VR_InitInternal2")]
    for failure, attempt in ((wait_fail, 2), (submit_fail, 3)):
        if failure < 0:
            continue
        reconnection.check_resumed_after_retry(run, fail, failure, active)
        fail.check(any(f"attempt={attempt} -> token={attempt} error=0" in line for line in inits),
                   f"no successful init attempt {attempt}")
    # From the game's side: during an outage it plays flat with its own camera and projection,
    # and after the last reconnection it renders the eyes with the common frustum again.
    own = longest = 0
    for t in run.trace[20:]:
        flat = t["phase"] == "gameplay" and t["eye"] == t["sent_eye"] and t["proj_angle"] == t["sent_angle"]
        own = own + 1 if flat else 0
        longest = max(longest, own)
    fail.check(longest >= 200, f"no outage seen by the game: longest flat gameplay stretch {longest} frames")
    tail = run.trace[-100:]
    fail.check(all(t["proj_angle"] != t["sent_angle"] and abs(side_offset(t)[0]) > 0.01 for t in tail),
               "the game's last 100 frames are not rendered from the eyes with the common frustum")
    submits = run.submits()
    fail.check(all(p[e][4] == 0 for f, p in submits.items() for e in p if f not in (40,)),
               "a submit failed outside the scripted fault")
    fail.check(max(submits, default=0) > 50, "no submissions after the second reconnection")


def check_runtime_missing(run, fail):
    check_game_ran_clean(run, fail, 60)
    fail.check("VR renderer unavailable: OpenVR client library openvr_api.dll could not be loaded" in run.log_texts(),
               "the log does not say openvr_api.dll could not be loaded")
    fail.check("OpenXR not used: No OpenXR runtime is registered (no ActiveRuntime in the registry, no "
               "XR_RUNTIME_JSON)" in run.log_texts(), "the log does not say why OpenXR was not used")
    check_summary(run, fail, "active", "active", "unavailable")


CAPTURE_FRAME = 41
DUMPED_FRAMES = range(CAPTURE_FRAME - 5, CAPTURE_FRAME + 1)


def check_capture(run, fail):
    check_game_ran_clean(run, fail, 45)
    # The pair on show at the captured runtime frame was published by the newest frame up to it
    # whose textures changed; its Present (game frame F - 1) drew the left eye, the frame before
    # it the right eye.
    submits = run.submits()
    published = [f for f in range(DUMPED_FRAMES[0] + 2, CAPTURE_FRAME + 1)
                 if f in submits and f - 1 in submits and submits[f][0][1] != submits[f - 1][0][1]]
    if not fail.check(published, "no pair published in the captured stretch"):
        return
    left_frame = published[-1] - 1
    right_frame = left_frame - 1
    trace = {frame_of(t): t for t in run.trace}
    fail.check(side_offset(trace[left_frame])[0] < -0.01, f"game frame {left_frame} was not drawn from the left eye")
    fail.check(side_offset(trace[right_frame])[0] > 0.01, f"game frame {right_frame} was not drawn from the right eye")

    captures = os.path.join(run.folder, "captures")
    left = read_png(os.path.join(captures, f"frame_{CAPTURE_FRAME:06d}_left.png"))
    right = read_png(os.path.join(captures, f"frame_{CAPTURE_FRAME:06d}_right.png"))
    drawn_left = read_png(os.path.join(run.folder, "dumps", f"frame_{left_frame:05d}.png"))
    drawn_right = read_png(os.path.join(run.folder, "dumps", f"frame_{right_frame:05d}.png"))
    for name, captured, same, other in (("left", left, drawn_left, drawn_right), ("right", right, drawn_right, drawn_left)):
        fail.check(mean_colour_difference(captured, same) < 0.5,
                   f"the captured {name} eye is not the picture the game drew from the {name} eye")
        fail.check(mean_colour_difference(captured, other) > 1.0,
                   f"the captured {name} eye looks like the picture of the other eye")

    # Parallax: the left eye sees everything further right than the right eye, and what is
    # nearer (lower in the picture, standing on the ground) further still.
    bands = band_disparities(left, right)
    if fail.check(len(bands) >= 3, f"only {len(bands)} bands of rows to compare: {bands}"):
        fail.check(all(dx > 0 for _, dx in bands), f"the left eye does not see the scene further right: {bands}")
        fail.check(bands[-1][1] > bands[0][1], f"nearer objects are not shifted more than far ones: {bands}")


FAULT_FRAMES = 2600
FAULT_FRAME_MS = 12  # 2600 frames last at least 31 s; the checks need about 22 s plus margin

# name: how the folder is prepared and run, and the judgement. "judges" names the run whose
# folder a judging-only case reads.
CASES = {
    "session": dict(frames=SESSION_FRAMES, scenario_file="session_scenario.txt",
                    ini={"FirstPersonStableFrames": str(SESSION_STABLE_FRAMES),
                         "FirstPersonRetryFrames": str(SESSION_RETRY_FRAMES),
                         "StereoUnitsPerMeter": str(SESSION_UNITS_PER_METRE),
                         # A loaded machine takes longer than 50 ms for a pair now and then; the
                         # pairing is judged frame by frame, so no pair may be dropped for its age.
                         "AERMaxPairIntervalMs": "0",
                         # The cycle of eyes is judged from what is submitted; the cinema screen,
                         # which fills both eyes every frame while the game has the camera, is
                         # judged by the case cinema_view.
                         "CinemaScreen": "0"},
                    check=check_session_run),
    "session_lifecycle": dict(judges="session", check=check_session_lifecycle),
    "session_aer": dict(judges="session", check=check_session_aer),
    "session_native60": dict(judges="session", check=check_session_native60),
    "session_controllers": dict(judges="session", check=check_session_controllers),
    "disabled": dict(frames=100, ini={"Enabled": "0"}, check=check_disabled),
    "variant_time_date_stamp": dict(frames=60, args=["--variant", "time-date-stamp"],
                                    check=header_variant_check("0x5BE4DE31", "0x0A01B000")),
    "variant_size_of_image": dict(frames=60, args=["--variant", "size-of-image"],
                                  check=header_variant_check("0x5BE4DE30", "0x0A01A000")),
    "variant_camera_entry": dict(frames=60, args=["--variant", "camera-entry"], check=check_camera_signature_variant),
    "variant_projection_entry": dict(frames=60, args=["--variant", "projection-entry"],
                                     check=check_projection_signature_variant),
    "recreate_device": dict(frames=90, timeline=f"0 gameplay\n{RECREATE_FRAME} recreate-device\n",
                            args=["--stats", "stats.txt"], check=check_recreate),
    # The frame cap keeps the run long enough for both 10-second retries however fast the
    # machine renders: while VR is off nothing else paces the game.
    "runtime_faults": dict(frames=FAULT_FRAMES, scenario="wait_error 108 20\nsubmit_error right 102 40\n",
                           args=["--min-frame-ms", str(FAULT_FRAME_MS)], check=check_runtime_faults),
    "runtime_missing": dict(frames=60, runtime=False, check=check_runtime_missing),
    "player_view": dict(frames=player_view.FRAMES, scenario=player_view.SCENARIO, timeline=player_view.TIMELINE,
                        ini=player_view.INI,
                        check=lambda run, fail: player_view.check_player_view(run, fail, check_game_ran_clean)),
    "hitch_view": dict(frames=player_view.HITCH_FRAMES, scenario=player_view.HITCH_SCENARIO,
                       timeline=player_view.HITCH_TIMELINE, ini=player_view.HITCH_INI,
                       check=lambda run, fail: player_view.check_hitch_view(run, fail, check_game_ran_clean)),
    "cinema_view": dict(frames=cinema_view.FRAMES, scenario=cinema_view.SCENARIO, timeline=cinema_view.TIMELINE,
                        ini=cinema_view.INI,
                        check=lambda run, fail: cinema_view.check_cinema(run, fail, check_game_ran_clean)),
    "snap_turn": dict(frames=snap_turn.FRAMES, scenario=snap_turn.SCENARIO, timeline=snap_turn.TIMELINE,
                      ini=snap_turn.INI_SNAP, args=["--min-frame-ms", str(snap_turn.FRAME_MS)],
                      check=lambda run, fail: snap_turn.check_snap_turn(run, fail, check_game_ran_clean)),
    "smooth_turn": dict(frames=snap_turn.FRAMES, scenario=snap_turn.SCENARIO, timeline=snap_turn.TIMELINE,
                        ini=snap_turn.INI_SMOOTH, args=["--min-frame-ms", str(snap_turn.FRAME_MS)],
                        check=lambda run, fail: snap_turn.check_smooth_turn(run, fail, check_game_ran_clean)),
    # The same views over OpenXR, and what only OpenXR has: the runtime chosen, its rules, its faults.
    "xr_player_view": dict(headset="openxr", frames=player_view.FRAMES, scenario=player_view.XR_SCENARIO,
                           timeline=player_view.TIMELINE, ini=player_view.INI,
                           check=lambda run, fail: (player_view.check_player_view(run, fail, check_game_ran_clean),
                                                    openxr_runs.check_rules_kept(run, fail))),
    "xr_hitch_view": dict(headset="openxr", frames=player_view.HITCH_FRAMES, scenario=player_view.XR_HITCH_SCENARIO,
                          timeline=player_view.HITCH_TIMELINE, ini=player_view.HITCH_INI,
                          check=lambda run, fail: (player_view.check_hitch_view(run, fail, check_game_ran_clean),
                                                   openxr_runs.check_rules_kept(run, fail))),
    "xr_cinema_view": dict(headset="openxr", frames=cinema_view.FRAMES, scenario=cinema_view.XR_SCENARIO,
                           timeline=cinema_view.TIMELINE, ini=cinema_view.INI,
                           check=lambda run, fail: (cinema_view.check_cinema(run, fail, check_game_ran_clean),
                                                    openxr_runs.check_rules_kept(run, fail))),
    # With the hands drawn the screen goes under the eye images, seen through a hole in them.
    "xr_cinema_hands": dict(headset="openxr", frames=cinema_view.FRAMES, scenario=cinema_view.XR_SCENARIO,
                            timeline=cinema_view.TIMELINE, ini={**cinema_view.INI, "VisibleHands": "1"},
                            check=lambda run, fail: (cinema_view.check_cinema(run, fail, check_game_ran_clean),
                                                     openxr_runs.check_screen_under_eyes(run, fail),
                                                     openxr_runs.check_rules_kept(run, fail))),
    "xr_auto": dict(headset="openxr", frames=120, ini={"Runtime": "auto"},
                    check=lambda run, fail: openxr_runs.check_auto_choice(run, fail, check_game_ran_clean, 120)),
    "xr_runtime_faults": dict(headset="openxr", frames=openxr_runs.FAULT_FRAMES, scenario=openxr_runs.FAULT_SCENARIO,
                              args=["--min-frame-ms", str(FAULT_FRAME_MS)],
                              check=lambda run, fail: openxr_runs.check_faults(run, fail, check_game_ran_clean,
                                                                               openxr_runs.FAULT_FRAMES)),
    "xr_exit_request": dict(headset="openxr", frames=90, scenario="exit_request 30\n",
                            check=lambda run, fail: openxr_runs.check_exit_request(run, fail, check_game_ran_clean,
                                                                                   90)),
    "xr_recreate_device": dict(headset="openxr", frames=90, timeline=f"0 gameplay\n{RECREATE_FRAME} recreate-device\n",
                               args=["--stats", "stats.txt"],
                               check=lambda run, fail: openxr_runs.check_recreated_device(
                                   run, fail, check_game_ran_clean, 90, RECREATE_FRAME, read_teardowns(run))),
    "xr_refused": dict(headset="openxr", frames=60, scenario="negotiation refuse\n",
                       check=lambda run, fail: openxr_runs.check_unusable(
                           run, fail, check_game_ran_clean, 60,
                           "OpenXR not used: The OpenXR runtime " + "Z:" + run.folder.replace("/", "\\")
                           + "\\xrsim.dll refused the loader negotiation (result -6)")),
    "xr_no_d3d11": dict(headset="openxr", frames=60, scenario="extension_missing\n",
                        check=lambda run, fail: openxr_runs.check_unusable(
                            run, fail, check_game_ran_clean, 60,
                            "OpenXR initialization failed: the runtime does not offer XR_KHR_D3D11_enable")),
    "capture_eyes": dict(frames=45, scenario=f"capture {CAPTURE_FRAME}\n", ini={"AERMaxPairIntervalMs": "0"},
                         args=["--dump", ",".join(str(f) for f in DUMPED_FRAMES), "--dump-folder", "dumps"],
                         check=check_capture),
}


# --- preparing and running ---------------------------------------------------------------------


def write_ini(source, target, overrides):
    with open(source, encoding="utf-8") as f:
        text = f.read()
    for key, value in overrides.items():
        text, count = re.subn(rf"^{key}=.*$", f"{key}={value}", text, flags=re.M)
        if count != 1:
            raise SystemExit(f"e2e: {key} is not a line of {source}")
    with open(target, "w", encoding="utf-8") as f:
        f.write(text)


OPENXR_KEY = r"HKLM\SOFTWARE\Khronos\OpenXR\1"


def register_openxr_runtime(manifest):
    """Names the manifest as the active OpenXR runtime in the prefix, as a runtime's installer
    does (None takes the value away again)."""
    if manifest is None:
        command = [WINE, "reg", "delete", OPENXR_KEY, "/v", "ActiveRuntime", "/f", "/reg:64"]
    else:
        windows_path = "Z:" + os.path.abspath(manifest).replace("/", "\\")
        command = [WINE, "reg", "add", OPENXR_KEY, "/v", "ActiveRuntime", "/t", "REG_SZ", "/d", windows_path,
                   "/f", "/reg:64"]
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def run_case(name, plan, args):
    folder = os.path.join(args.work, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(args.game, os.path.join(folder, "testgame.exe"))
    shutil.copy(args.dll, os.path.join(folder, "XINPUT1_3.dll"))
    headset = plan.get("headset", "openvr")
    if plan.get("runtime", headset == "openvr"):
        shutil.copy(args.runtime, os.path.join(folder, "openvr_api.dll"))
    ini = dict(plan.get("ini", {}))
    manifest = None
    if headset == "openxr":
        shutil.copy(args.xr_runtime, os.path.join(folder, "xrsim.dll"))
        manifest = os.path.join(folder, "xrsim.json")
        with open(manifest, "w") as f:
            f.write('{"file_format_version": "1.0.0", "runtime": {"library_path": "xrsim.dll", "name": "xrsim"}}\n')
        ini.setdefault("Runtime", "openxr")
    write_ini(args.ini, os.path.join(folder, "CorvaneVR.ini"), ini)
    scenario_name = "xrsim_scenario.txt" if headset == "openxr" else "vrsim_scenario.txt"
    if "scenario_file" in plan:
        shutil.copy(os.path.join(args.source, plan["scenario_file"]), os.path.join(folder, scenario_name))
    else:
        with open(os.path.join(folder, scenario_name), "w") as f:
            f.write("pace off\nlog queries off\n" + plan.get("scenario", ""))
    command = [WINE, "./testgame.exe", "--frames", str(plan["frames"]), "--trace", "trace.txt"]
    if "timeline" in plan:
        with open(os.path.join(folder, "timeline.txt"), "w") as f:
            f.write(plan["timeline"])
        command += ["--timeline", "timeline.txt"]
    command += plan.get("args", [])
    os.makedirs(os.path.join(folder, "dumps"))
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all,+debugstr"  # the DLL's debugger lines land in out.txt
    for variable in ("VRSIM_SCENARIO", "VRSIM_LOG", "XRSIM_SCENARIO", "XRSIM_LOG", "XR_RUNTIME_JSON"):
        env.pop(variable, None)
    if manifest:
        register_openxr_runtime(manifest)
    started = time.time()
    try:
        with open(os.path.join(folder, "out.txt"), "w") as out:
            try:
                exit_code = subprocess.run(command, cwd=folder, env=env, stdout=out, stderr=subprocess.STDOUT,
                                           timeout=120).returncode
            except subprocess.TimeoutExpired:
                exit_code = -1
    finally:
        ended = time.time()
        if manifest:
            register_openxr_runtime(None)
    with open(os.path.join(folder, "run.txt"), "w") as f:
        f.write(f"exit={exit_code}\nstarted={started}\nended={ended}\n")
    return folder


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", required=True, choices=sorted(CASES))
    parser.add_argument("--work", required=True)
    parser.add_argument("--game")
    parser.add_argument("--dll")
    parser.add_argument("--runtime")
    parser.add_argument("--xr-runtime")
    parser.add_argument("--ini")
    parser.add_argument("--source", default=os.path.dirname(os.path.abspath(__file__)))
    args = parser.parse_args()

    plan = CASES[args.case]
    if "judges" in plan:
        folder = os.path.join(args.work, plan["judges"])
        if not os.path.exists(os.path.join(folder, "run.txt")):
            print(f"e2e: {args.case}: the run '{plan['judges']}' left no folder to judge", file=sys.stderr)
            return 1
    else:
        folder = run_case(args.case, plan, args)
    run = Run(folder)
    fail = Failures()
    plan["check"](run, fail)
    print(f"e2e: {args.case}: folder {folder}, game ran {run.ended - run.started:.1f} s")
    for item in fail.items[:40]:
        print(f"FAIL: {item}")
    if len(fail.items) > 40:
        print(f"... and {len(fail.items) - 40} more")
    return 1 if fail.items else 0


if __name__ == "__main__":
    sys.exit(main())
