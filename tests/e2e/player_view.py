"""The player's view, judged where the player sees it: the stand-in runtime composes each captured
eye (the texture inside its bounds spread over the eye's raw field, relative to the pose it was
submitted with) and reports where a colour is seen; the stand-in game says where its markers stand
in the world. Each marker's displayed direction is compared with its true direction from the eye,
computed from the head pose, the eye-to-head offset and the marker's world position.

The world is tied to the tracking space at the moment first person begins: the game's own
first-person eye (what it sends to its camera function) stands at the head's reference pose,
its horizontal forward along the reference's -z, one metre being STEREO_UNITS_PER_METRE units.
The run keeps the head still until well after that moment, so the reference is the scenario's
first head pose.
"""

import math
import re

# A headset whose raw tangents (left, right, down, up) differ in all four directions and between
# the eyes, set through the stand-in runtime's projection lines; its default eye-to-head offsets.
RAW = ((-1.30, 1.12, -1.38, 1.52), (-1.08, 1.36, -1.44, 1.30))
EYE_X = (-0.0315, 0.0315)
OPTICS = "".join(f"projection {side} {l} {r} {d} {u}\n" for side, (l, r, d, u) in zip(("left", "right"), RAW))
STEREO_UNITS_PER_METRE = 1.75
TEXTURE_WIDTH, TEXTURE_HEIGHT = 640, 360  # the stand-in game's default client size
REFERENCE_POSITION = (0.0, 1.6, 0.0)  # the first head key; level, facing -z

FRAMES = 230
STILL_FRAMES = (60, 61)
MOVING_FRAMES = (90, 91)  # the head turning, leaning and rising between its keys at 80 and 100
TURNED_FRAMES = (120, 121)
CUTSCENE_FRAME = 168
MENU_FRAME = 212
HEAD_TURN = (0.08, 1.62, -0.05, 12.0, 6.0)  # x y z (m), yaw left and pitch up (degrees)
LEFT_HAND = (-0.08, 1.5, -0.5)
RIGHT_HAND = (0.1, 1.52, -0.48)

# Flat colours: the game's markers and HUD health bar, the program's palms (0.92 x the finger
# colour of each hand, stored in 8 bits).
COLOURS = {
    "far": (255, 0, 255, 8),
    "near": (0, 255, 255, 8),
    "side": (255, 255, 0, 8),
    "hud": (51, 217, 77, 6),
    "menu": (204, 179, 51, 6),
    "palm_left": (213, 117, 73, 2),
    "palm_right": (230, 136, 82, 2),
}

SCENARIO = (
    OPTICS
    + "view_grid 200\n"
    + "".join(f"find {name} {r} {g} {b} {tol}\n" for name, (r, g, b, tol) in COLOURS.items())
    + "head key 1 0 1.6 0 0 0 0\n"
    + "head key 80 0 1.6 0 0 0 0\n"
    + "head key 100 {} {} {} {} {} 0\n".format(*HEAD_TURN)
    + "{hands}"
    + "".join(f"capture {f}\n" for f in STILL_FRAMES + MOVING_FRAMES + TURNED_FRAMES + (CUTSCENE_FRAME, MENU_FRAME))
)
# The same hands as each stand-in runtime scripts them.
SCENARIO, XR_SCENARIO = (
    SCENARIO.replace("{hands}", "controllers none\n"
                     + "controller 1 role left\ncontroller 1 key 1 {} {} {} 0 0 0\n".format(*LEFT_HAND)
                     + "controller 2 role right\ncontroller 2 key 1 {} {} {} 0 0 0\n".format(*RIGHT_HAND)),
    SCENARIO.replace("{hands}", "controller left key 1 {} {} {} 0 0 0\n".format(*LEFT_HAND)
                     + "controller right key 1 {} {} {} 0 0 0\n".format(*RIGHT_HAND)),
)

TIMELINE = "0 gameplay\n150 cutscene 2 2 1\n180 reopen 1\n185 gameplay\n200 menu\n220 gameplay\n"

# The game's own mono picture is judged here; the cinema screen that would replace it has its
# own case.
INI = {"VisibleHands": "1", "AERMaxPairIntervalMs": "0", "CinemaScreen": "0"}

# A palm is seen partly from above and partly hidden by the fingers; its seen centre stays within
# this of the palm centre's direction. (Drawn where the bounds are not, a hand is off by 0.07 or
# more.)
PALM_TOLERANCE = 0.03


def texel_size(eye):
    """Tangent per texel of a texture spanning the eye's whole field."""
    left, right, down, up = RAW[eye]
    return (right - left) / TEXTURE_WIDTH, (up - down) / TEXTURE_HEIGHT


class Views:
    """What the runtime said of its captured frames: poses and found colours per frame and eye.

    The OpenVR stand-in composes each eye from the head pose the texture was submitted with (or the
    frame's, "wait"); the OpenXR stand-in from the pose of the projection layer's view ("layer"),
    which is the eye's own: the head pose is that pose moved back by the eye's offset, so that both
    are judged from the head as the same checks know it. A layer's view always carries a pose, so it
    stands for either kind."""

    def __init__(self, vrsim_lines):
        self.pose = {}  # (frame, eye) -> 3x4 rows of the head pose, or None
        self.source = {}  # (frame, eye) -> submitted | wait | layer | none
        self.found = {}  # (frame, eye, name) -> (texels, x, y, box)
        view = re.compile(r"view frame=(\d+) eye=(\d) grid=.* pose_source=(\w+) pose=(none|[-\d. ]+?) file=")
        self.found_view = {}  # the same, found on the composed view (all layers), where the runtime says
        find = re.compile(r"find frame=(\d+) eye=(\d) name=(\w+) texels=(\d+)(?: tan=(\S+) (\S+) box=(.*))?$")
        find_view = re.compile(r"find_view frame=(\d+) eye=(\d) name=(\w+) pixels=(\d+)(?: tan=(\S+) (\S+) box=(.*))?$")
        for line in vrsim_lines:
            m = find_view.match(line)
            if m:
                pixels = int(m.group(4))
                box = tuple(float(v) for v in m.group(7).split()) if pixels else None
                self.found_view[(int(m.group(1)), int(m.group(2)), m.group(3))] = (
                    pixels, float(m.group(5)) if pixels else None, float(m.group(6)) if pixels else None, box)
                continue
            m = view.match(line)
            if m:
                key = (int(m.group(1)), int(m.group(2)))
                self.source[key] = m.group(3)
                values = [float(v) for v in m.group(4).split()] if m.group(4) != "none" else None
                rows = [values[0:4], values[4:8], values[8:12]] if values else None
                if rows and m.group(3) == "layer":
                    for i in range(3):
                        rows[i][3] -= rows[i][0] * EYE_X[key[1]]
                self.pose[key] = rows
                continue
            m = find.match(line)
            if m:
                texels = int(m.group(4))
                box = tuple(float(v) for v in m.group(7).split()) if texels else None
                self.found[(int(m.group(1)), int(m.group(2)), m.group(3))] = (
                    texels, float(m.group(5)) if texels else None, float(m.group(6)) if texels else None, box)

    def posed(self, frame, eye, source):
        """Whether the eye's view of the frame was composed from a pose of this kind."""
        return self.pose.get((frame, eye)) is not None and self.source.get((frame, eye)) in (source, "layer")

    def seen(self, frame, eye, name):
        found = self.found.get((frame, eye, name))
        return (found[1], found[2]) if found and found[0] > 0 else None


def direction_from(pose, eye, point, eye_x=None):
    """The tangent direction of a tracking-space point from the eye of a head pose (or from the
    point `eye_x` metres along the head's x axis)."""
    rows = pose
    offset = EYE_X[eye] if eye_x is None else eye_x
    eye_position = [rows[i][3] + rows[i][0] * offset for i in range(3)]
    d = [point[i] - eye_position[i] for i in range(3)]
    local = [sum(rows[j][i] * d[j] for j in range(3)) for i in range(3)]  # R^T d
    return local[0] / -local[2], local[1] / -local[2]


def world_to_tracking(game_eye, game_target, point):
    """A game-world point in the tracking space, as the first-person reference ties them."""
    f = [game_target[i] - game_eye[i] for i in range(3)]
    h = math.hypot(f[0], f[2])
    forward = (f[0] / h, 0.0, f[2] / h)
    right = (-forward[2], 0.0, forward[0])
    d = [point[i] - game_eye[i] for i in range(3)]
    along = lambda axis: sum(d[i] * axis[i] for i in range(3)) / STEREO_UNITS_PER_METRE
    return (REFERENCE_POSITION[0] + along(right), REFERENCE_POSITION[1] + d[1] / STEREO_UNITS_PER_METRE,
            REFERENCE_POSITION[2] - along(forward))


def palm_centre(hand):
    # The palm box's centre in the hand frame is (0, -0.012, -0.025); the controllers are not turned.
    return (hand[0], hand[1] - 0.012, hand[2] - 0.025)


def parse_vector(text):
    return tuple(float(v) for v in text.split(","))


def check_player_view(run, fail, check_game_ran_clean):
    check_game_ran_clean(run, fail, FRAMES)
    views = Views(run.vrsim)
    trace = {int(t["frame"]): t for t in run.trace}
    report = []

    # Gameplay, head still, then turning and leaning, then turned: every marker where it really is,
    # from the pose each eye's picture was rendered and submitted with.
    for frame in STILL_FRAMES + MOVING_FRAMES + TURNED_FRAMES:
        # The runtime's frame F is the game's frame F - 1; the player stands still, so the game's
        # first-person eye is the same on the frames whose pictures make up the pair.
        lines = [trace.get(f) for f in range(frame - 4, frame)]
        if not fail.check(all(t and t["camera_state"] == "17" for t in lines),
                          f"frame {frame}: the game is not in first person around it"):
            continue
        if not fail.check(len({t["sent_eye"] for t in lines}) == 1, f"frame {frame}: the player moved"):
            continue
        game_eye = parse_vector(lines[-1]["sent_eye"])
        game_target = parse_vector(lines[-1]["sent_target"])
        seen_far = [None, None]
        seen_near = [None, None]
        for eye in (0, 1):
            pose = views.pose.get((frame, eye))
            if not fail.check(views.posed(frame, eye, "submitted"), f"frame {frame} eye {eye}: no view with a submitted pose"):
                continue
            for name in ("far", "near", "side"):
                world = world_to_tracking(game_eye, game_target, parse_vector(lines[-1][f"marker_{name}"]))
                seen = check_marker(views, fail, report, f"frame {frame}", frame, eye, name, world, EYE_X[eye])
                if name == "far":
                    seen_far[eye] = seen
                if name == "near":
                    seen_near[eye] = seen
            check_hands(views, fail, frame, eye, pose, report)
        tx, ty = texel_size(0)
        if seen_far[0] and seen_far[1]:
            dx, dy = seen_far[0][0] - seen_far[1][0], seen_far[0][1] - seen_far[1][1]
            report.append(f"frame {frame} far disparity {dx:+.4f} {dy:+.4f}")
            fail.check(abs(dx) <= tx and abs(dy) <= ty,
                       f"frame {frame}: the far marker is not in the same direction in both eyes ({dx:+.4f} {dy:+.4f})")
        if seen_near[0] and seen_near[1]:
            dx, dy = seen_near[0][0] - seen_near[1][0], seen_near[0][1] - seen_near[1][1]
            head = views.pose[(frame, 0)]
            near = world_to_tracking(game_eye, game_target, parse_vector(lines[-1]["marker_near"]))
            distance = math.dist([head[i][3] for i in range(3)], near)
            expected = 2 * EYE_X[1] / distance
            report.append(f"frame {frame} near disparity {dx:+.4f} {dy:+.4f} (IPD/Z {expected:.4f})")
            fail.check(abs(dx - expected) <= tx and abs(dy) <= ty,
                       f"frame {frame}: the near marker's disparity is {dx:+.4f} {dy:+.4f}, not IPD/Z = {expected:.4f}")
        check_hud(views, fail, frame, report)

    # Mono frames: one picture, the same in both eyes; no pose, so the frame's headset pose.
    for frame, name in ((CUTSCENE_FRAME, "side"), (MENU_FRAME, "menu")):
        game_frame = trace.get(frame - 1)
        fail.check(game_frame is not None and game_frame["phase"] == ("cutscene" if frame == CUTSCENE_FRAME else "menu"),
                   f"frame {frame} is not in the phase it was meant to show")
        seen = [views.seen(frame, eye, name) for eye in (0, 1)]
        if fail.check(all(seen), f"mono frame {frame}: {name} not seen in both eyes"):
            dx, dy = seen[0][0] - seen[1][0], seen[0][1] - seen[1][1]
            tx, ty = texel_size(0)
            report.append(f"mono frame {frame} {name} left-right {dx:+.4f} {dy:+.4f}")
            fail.check(abs(dx) <= tx and abs(dy) <= ty,
                       f"mono frame {frame}: {name} seen {dx:+.4f} {dy:+.4f} apart between the eyes")
        for eye in (0, 1):
            pose = views.pose.get((frame, eye))
            if fail.check(views.posed(frame, eye, "wait"), f"mono frame {frame} eye {eye}: not composed from the frame's headset pose"):
                check_hands(views, fail, frame, eye, pose, report)

    print("player view measurements:\n  " + "\n  ".join(report))


def check_marker(views, fail, report, label, frame, eye, name, world, eye_x):
    """A marker seen in one eye's view where it lies from the picture's viewpoint, `eye_x` metres
    along the submitted head pose's x axis, within one and a half texels; returns where it was
    seen, or None."""
    seen = views.seen(frame, eye, name)
    if not fail.check(seen is not None, f"{label} eye {eye}: marker {name} not seen"):
        return None
    truth = direction_from(views.pose[(frame, eye)], eye, world, eye_x)
    tx, ty = texel_size(eye)
    error = (seen[0] - truth[0], seen[1] - truth[1])
    report.append(f"{label} eye {eye} {name}: error {error[0]:+.4f} {error[1]:+.4f}")
    fail.check(abs(error[0]) <= 1.5 * tx and abs(error[1]) <= 1.5 * ty,
               f"{label} eye {eye}: marker {name} seen at {seen[0]:.4f} {seen[1]:.4f}, from the picture's "
               f"viewpoint it is at {truth[0]:.4f} {truth[1]:.4f}")
    return seen


def check_hands(views, fail, frame, eye, pose, report):
    for name, hand in (("palm_left", LEFT_HAND), ("palm_right", RIGHT_HAND)):
        seen = views.seen(frame, eye, name)
        if not fail.check(seen is not None, f"frame {frame} eye {eye}: {name} not seen"):
            continue
        truth = direction_from(pose, eye, palm_centre(hand))
        error = (seen[0] - truth[0], seen[1] - truth[1])
        report.append(f"frame {frame} eye {eye} {name}: error {error[0]:+.4f} {error[1]:+.4f}")
        fail.check(abs(error[0]) <= PALM_TOLERANCE and abs(error[1]) <= PALM_TOLERANCE,
                   f"frame {frame} eye {eye}: {name} seen at {seen[0]:.4f} {seen[1]:.4f}, "
                   f"the controller is at {truth[0]:.4f} {truth[1]:.4f}")


def check_hud(views, fail, frame, report):
    """The HUD's health bar: in both eyes, at one height, inside the eye's field."""
    boxes = [views.found.get((frame, eye, "hud")) for eye in (0, 1)]
    if not fail.check(all(b and b[0] > 0 for b in boxes), f"frame {frame}: the HUD is not seen in both eyes"):
        return
    tx, ty = texel_size(0)
    dx, dy = boxes[0][1] - boxes[1][1], boxes[0][2] - boxes[1][2]
    report.append(f"frame {frame} HUD disparity {dx:+.4f} {dy:+.4f}")
    fail.check(abs(dy) <= ty, f"frame {frame}: the HUD has a vertical disparity of {dy:+.4f}")
    # Both eyes draw the HUD into one shared safe frame: it is seen far away, never beyond.
    fail.check(abs(dx) <= tx, f"frame {frame}: the HUD has a horizontal disparity of {dx:+.4f}")
    # Whole in each eye: a bar cut by the field's edge would reach it.
    for eye, box in enumerate(boxes):
        left, right, down, up = RAW[eye]
        tx, ty = texel_size(eye)
        x0, y0, x1, y1 = box[3]
        fail.check(left + 2 * tx < x0 and x1 < right - 2 * tx and down + 2 * ty < y0 and y1 < up - 2 * ty,
                   f"frame {frame} eye {eye}: the HUD ({x0:.3f} {y0:.3f} {x1:.3f} {y1:.3f}) reaches the eye's "
                   f"field's edge")


# --- a slow frame, and a common frustum narrowed below the eyes' fields ---------------------------
#
# The pair interval is 100 ms (twice the shipped limit, so that a loaded machine does not drop a
# pair elsewhere) and game frame HITCH_GAME_FRAME takes 400 ms more: the half pair before it is too old, and that frame's picture, rendered for one eye, goes to both. The
# other eye must see it laid where its directions are, from the viewpoint it was rendered from,
# not cut and stretched over its own field. With FovScale 0.5 the common frustum (the mono frames
# as first person engages) is half as wide as the eyes' fields: laid in the middle of each eye.

HITCH_FRAMES = 110
HITCH_GAME_FRAME = 70
HITCH_FRAME = HITCH_GAME_FRAME + 1  # the runtime frame that shows it
# One stereo frame: writing a capture takes the runtime longer than the pair interval, so the frame
# after a capture is itself a slow one.
HITCH_STEREO_FRAMES = (60,)
FIRST_PERSON_FRAME = 18  # a mono frame in the common frustum while first person settles
HITCH_TIMELINE = f"0 gameplay\n{HITCH_GAME_FRAME} hitch 400\n"
HITCH_INI = {"AERMaxPairIntervalMs": "100", "FovScale": "0.5", "CinemaScreen": "0"}
HITCH_SCENARIO = (
    OPTICS
    + "view_grid 200\n"
    + "".join(f"find {name} {r} {g} {b} {tol}\n" for name, (r, g, b, tol) in COLOURS.items() if name in ("far", "near"))
    + "head key 1 0 1.6 0 0 0 0\n"
    + "{hands}"
    + "".join(f"capture {f}\n" for f in (FIRST_PERSON_FRAME,) + HITCH_STEREO_FRAMES + (HITCH_FRAME,))
)
HITCH_SCENARIO, XR_HITCH_SCENARIO = (HITCH_SCENARIO.replace("{hands}", "controllers none\n"),
                                     HITCH_SCENARIO.replace("{hands}", "controller left absent\ncontroller right absent\n"))


def side_of(line):
    """+1 when the game's camera was moved to the right of where the game sent it, -1 to the left,
    0 when not moved sideways."""
    sent, eye, target = parse_vector(line["sent_eye"]), parse_vector(line["eye"]), parse_vector(line["target"])
    f = [target[i] - eye[i] for i in range(3)]
    h = math.hypot(f[0], f[2])
    s = sum((eye[i] - sent[i]) * side for i, side in enumerate((-f[2] / h, 0.0, f[0] / h)))
    return 0 if abs(s) < 1e-3 else (1 if s > 0 else -1)


def check_hitch_view(run, fail, check_game_ran_clean):
    check_game_ran_clean(run, fail, HITCH_FRAMES)
    views = Views(run.vrsim)
    trace = {int(t["frame"]): t for t in run.trace}
    report = []
    fail.check(any(t.startswith("Dropped an over-age staged AER pair") for t in run.log_texts()),
               "no over-age pair was dropped at the slow frame")

    def judge(frame, game_frame, viewpoint, label):
        """Both eyes: far and near where they are from the picture's viewpoint (metres along the
        head's x axis, per eye)."""
        line = trace.get(game_frame)
        if not fail.check(line is not None and line["camera_state"] == "17", f"{label}: not in first person"):
            return
        game_eye, game_target = parse_vector(line["sent_eye"]), parse_vector(line["sent_target"])
        for eye in (0, 1):
            if not fail.check(views.posed(frame, eye, "submitted"), f"{label} eye {eye}: no view with a submitted pose"):
                continue
            for name in ("far", "near"):
                world = world_to_tracking(game_eye, game_target, parse_vector(line[f"marker_{name}"]))
                check_marker(views, fail, report, label, frame, eye, name, world, viewpoint[eye])

    # As first person settles: the common frustum, rendered from the head's centre.
    fp = trace.get(FIRST_PERSON_FRAME - 1)
    if fail.check(fp is not None and side_of(fp) == 0, f"game frame {FIRST_PERSON_FRAME - 1} is not a mono frame"):
        judge(FIRST_PERSON_FRAME, FIRST_PERSON_FRAME - 1, (0.0, 0.0), f"first-person mono frame {FIRST_PERSON_FRAME}")
    # Stereo: each eye from itself.
    for frame in HITCH_STEREO_FRAMES:
        judge(frame, frame - 1, EYE_X, f"stereo frame {frame}")
    # The slow frame: one eye's picture in both eyes, seen from the eye it was rendered for.
    hitch = trace.get(HITCH_GAME_FRAME)
    rendered = side_of(hitch) if hitch else 0
    if fail.check(rendered != 0, f"game frame {HITCH_GAME_FRAME} was not rendered from an eye"):
        x = EYE_X[0 if rendered < 0 else 1]
        judge(HITCH_FRAME, HITCH_GAME_FRAME, (x, x), f"slow frame {HITCH_FRAME}")
    print("slow-frame view measurements:\n  " + "\n  ".join(report))
