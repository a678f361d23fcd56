"""Snap turning, judged from the stand-in game's trace. The game turns at 2 rad/s from the right
stick it reads; the heading it sends (sent_target - sent_eye) is its own, and the heading its
camera routine receives (target - eye) is what the frame shows. The head stays still and level,
so head look adds no yaw of its own.

The right controller flicks its stick right twice and left once during play, and once more in a
cutscene; the left controller's stick walks forward all the while. Its joystick click is pressed
for two frames early on, and held for over a second near the end (the game is held to a frame
time of at least FRAME_MS, so the frames of the hold last that long on any machine).
"""

import math

from player_view import parse_vector

FRAMES = 400
FRAME_MS = 12
SHORT_PRESS = (40, 41)
LONG_PRESS = (280, 395)  # 116 frames: at least 1.39 s
STEP_DEGREES = 30
FLICKS = ((80, 1.0), (130, 1.0), (180, -1.0))  # first frame of each three-frame flick, direction
CUTSCENE_FLICK = 240
# How long a step may take at the game's speed in first person (1.91 degrees a frame at 60 Hz).
STEP_FRAMES = 25

SCENARIO = (
    "head key 1 0 1.6 0 0 0 0\n"
    + "controller 1 role left\ncontroller 2 role right\n"
    + "controller 1 stick 60..290 0 1\n"
    + "".join(f"controller 2 stick {f}..{f + 2} {d} 0\n" for f, d in FLICKS + ((CUTSCENE_FLICK, 1.0),))
    + "".join(f"controller 2 pressed {a}..{b} 0x{1 << 35:x}\n" for a, b in (SHORT_PRESS, LONG_PRESS))
)
TIMELINE = "0 gameplay\n220 cutscene 2 2 1\n260 reopen 1\n262 gameplay\n"
INI_SNAP = {"SnapTurnDegrees": str(STEP_DEGREES), "CinemaScreen": "0"}
INI_SMOOTH = {"SnapTurnDegrees": "0", "CinemaScreen": "0"}


def heading(eye, target):
    """Degrees, growing to the right of -z, as the game's yaw does."""
    return math.degrees(math.atan2(target[0] - eye[0], -(target[2] - eye[2])))


def turn_between(a, b):
    return (b - a + 180.0) % 360.0 - 180.0


def gameplay_frames(run):
    """First-person gameplay frames with both the sent and the received camera."""
    frames = []
    for t in run.trace:
        if t["phase"] != "gameplay" or t["camera_state"] != "17" or t["eye"] == "none":
            continue
        frames.append(dict(frame=int(t["frame"]), turn=float(t["turn"]),
                           sent=heading(parse_vector(t["sent_eye"]), parse_vector(t["sent_target"])),
                           shown=heading(parse_vector(t["eye"]), parse_vector(t["target"])),
                           position=parse_vector(t["sent_eye"])))
    return frames


def check_snap_turn(run, fail, check_game_ran_clean):
    check_game_ran_clean(run, fail, FRAMES)
    frames = gameplay_frames(run)
    fail.check(len(frames) > 150, f"{len(frames)} first-person frames")
    if len(frames) < 2:
        return
    # Every frame shows the heading of the frame before it or one whole step from it.
    jumps = []
    for before, now in zip(frames, frames[1:]):
        change = turn_between(before["shown"], now["shown"])
        if abs(change) < 0.05:
            continue
        fail.check(abs(abs(change) - STEP_DEGREES) <= 1.0,
                   f"frame {now['frame']}: the view turned {change:.2f} degrees, neither 0 nor a step")
        jumps.append((now["frame"], change))
    expected = [math.copysign(STEP_DEGREES, d) for _, d in FLICKS]
    fail.check([round(c / STEP_DEGREES) for _, c in jumps] == [round(e / STEP_DEGREES) for e in expected],
               f"view steps {[(f, round(c, 2)) for f, c in jumps]}, expected {expected} after frames "
               f"{[f for f, _ in FLICKS]}")
    for (frame, _), (flick, _) in zip(jumps, FLICKS):
        fail.check(flick < frame <= flick + STEP_FRAMES, f"the step of the flick at {flick} showed at {frame}")
    # The game itself turned through the step: while it did, the view held the old heading.
    held = [f for f in frames if abs(turn_between(f["sent"], f["shown"])) > 5.0]
    fail.check(len(held) >= 3 * 10, f"{len(held)} frames held the view away from the game's heading")
    # After each step the view is the game's own heading again.
    for flick, _ in FLICKS:
        after = [f for f in frames if f["frame"] == flick + STEP_FRAMES + 5]
        fail.check(after and abs(turn_between(after[0]["sent"], after[0]["shown"])) < 0.05,
                   f"{flick + STEP_FRAMES + 5}: the view is not the game's heading after the step")
    # The game's turning stick is driven only during a step: never by the flick itself, never
    # between steps.
    steps = {f for flick, _ in FLICKS for f in range(flick, flick + STEP_FRAMES)}
    for f in frames:
        if f["frame"] not in steps:
            fail.check(f["turn"] == 0.0, f"frame {f['frame']}: the game read the turning stick at {f['turn']}")
    saturated = [f for f in frames if abs(f["turn"]) == 1.0]
    fail.check(len(saturated) >= 3 * 12, f"only {len(saturated)} frames drove the game's turn")
    # Walking goes on during a step.
    for flick, _ in FLICKS:
        span = [f for f in frames if flick + 2 <= f["frame"] <= flick + 12]
        moved = [math.dist(a["position"], b["position"]) for a, b in zip(span, span[1:])]
        fail.check(len(moved) >= 8 and min(moved) > 0.01, f"the player stopped walking during the step at {flick}")
    # In the cutscene the stick reaches the game as the controller gives it, and nothing is held.
    cutscene = [t for t in run.trace if CUTSCENE_FLICK <= int(t["frame"]) <= CUTSCENE_FLICK + 2]
    fail.check(all(t["phase"] == "cutscene" and float(t["turn"]) == 1.0 for t in cutscene),
               f"cutscene flick: turn {[t['turn'] for t in cutscene]}, expected 1.000 passed through")
    fail.check(all(t["sent_target"] == t["target"] for t in run.trace if t["phase"] == "cutscene"),
               "a cutscene camera was changed")
    fail.check(any(t.startswith("Configuration loaded (") and f"snap turn={STEP_DEGREES} degrees," in t
                   for t in run.log_texts()), "the snap turn setting is not in the configuration line")
    check_long_press(run, fail)


def check_long_press(run, fail):
    """The short press does nothing; the long one centres the view once, naming the button."""
    recentres = [t for t in run.log_texts() if t.startswith("Recentred by")]
    fail.check(len(recentres) == 1 and recentres[0].startswith(
        "Recentred by a long press of the right controller's joystick click (button 35): head-look reference "
        "taken again"), f"recentre lines {recentres}, expected one from the long press")


def check_smooth_turn(run, fail, check_game_ran_clean):
    check_game_ran_clean(run, fail, FRAMES)
    frames = gameplay_frames(run)
    by_frame = {f["frame"]: f for f in frames}
    for flick, direction in FLICKS:
        for frame in range(flick, flick + 3):
            f, before = by_frame.get(frame), by_frame.get(frame - 1)
            if not fail.check(f is not None and before is not None, f"frame {frame} not in first person"):
                continue
            fail.check(f["turn"] == direction, f"frame {frame}: the game read {f['turn']}, the stick was {direction}")
            change = turn_between(before["shown"], f["shown"])
            # 2 rad/s at 60 Hz: 1.91 degrees a frame, in the stick's direction.
            fail.check(abs(change - direction * 1.9099) < 0.05,
                       f"frame {frame}: the view turned {change:.3f} degrees, expected {direction * 1.91:.2f}")
        after = by_frame.get(flick + 3)
        fail.check(after is not None and after["turn"] == 0.0, f"frame {flick + 3}: the turn did not stop")
    check_long_press(run, fail)
