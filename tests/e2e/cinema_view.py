"""The cinema screen, judged where the player sees it: while the game has the camera its picture
stands on a flat, level screen fixed in the tracking space, in front of where the head looked when
the game took the camera (or when the view was centred again). The first item of the game's menu,
a known rectangle of the game's picture, is found in the view the stand-in runtime composes for
each eye, and its extent is compared with where the corners of that rectangle on the screen truly
lie from the eye, with the head turned and leaning.
"""

import math
import os
import re

from player_view import EYE_X, Views, direction_from, parse_vector

# The stand-in runtime's default optics (left, right, down, up).
RAW = ((-1.39, 1.25, -1.47, 1.47), (-1.25, 1.39, -1.47, 1.47))

FRAMES = 215
PICTURE_ASPECT = 640 / 360  # the stand-in game's default client size
DISTANCE, WIDTH = 3.0, 4.0  # the shipped settings
# The first menu item, in the game's picture (fractions of its width and height): drawn at 0.3 to
# 0.7 across and 0.22 to 0.32 down, and moved with the rest of the HUD into the shared safe area,
# three quarters of the picture around its centre.
ITEM = (0.35, 0.29, 0.65, 0.365)
THIRD_PERSON_FRAME = 12  # before first person: the game's own third-person picture on the screen
MENU_FRAME = 100  # the game takes the camera (the runtime's frame of the game's frame 99)
PLACED_YAW = 20.0  # where the head looks then
TURNED_FRAME, LEANING_FRAME, RECENTRE_FRAME, RECENTRED_FRAME = 110, 130, 140, 150
# Then the right controller's joystick click is held and the stick pushed up, then left: one
# step farther and one smaller.
HOLD_FRAMES, FARTHER_FRAMES, SMALLER_FRAMES, PLACED_FRAME = (151, 156), (152, 153), (155, 156), 158
PLACED_DISTANCE, PLACED_WIDTH = DISTANCE + 0.25, WIDTH - 0.25
GAMEPLAY_FRAME = 208

SCENARIO = (
    "view_grid 200\n"
    "find item 204 179 51 6\n"
    "find far 255 0 255 8\n"
    "head key 1 0 1.6 0 0 0 0\n"
    "head key 60 0 1.6 0 0 0 0\n"
    f"head key 80 0 1.6 0 {PLACED_YAW} 0 0\n"
    f"head key 112 0 1.6 0 {PLACED_YAW} 0 0\n"
    "head key 125 0.1 1.65 -0.1 -10 -8 0\n"
    # The runtime centres its seated space on the head: the same pose now reads as home.
    f"recentre {RECENTRE_FRAME} 0.1 0 -0.1 -10\n"
    "{hands}"
    + "".join(f"capture {f}\n" for f in (THIRD_PERSON_FRAME, TURNED_FRAME, LEANING_FRAME, RECENTRED_FRAME,
                                          PLACED_FRAME, GAMEPLAY_FRAME))
)
# The hold as each stand-in runtime scripts it: the right controller's joystick click over OpenVR;
# over OpenXR, where the stick's click of every profile is the stick press, both stick presses.
SCENARIO, XR_SCENARIO = (
    SCENARIO.replace("{hands}", "controllers none\n"
                     "controller 2 role right\n"
                     "controller 2 key 1 0.2 1.2 -0.35 0 0 0\n"
                     "controller 2 axis 0 joystick\n"
                     f"controller 2 pressed {HOLD_FRAMES[0]}..{HOLD_FRAMES[1]} 0x{1 << 35:x}\n"
                     f"controller 2 stick {FARTHER_FRAMES[0]}..{FARTHER_FRAMES[1]} 0 1\n"
                     f"controller 2 stick {SMALLER_FRAMES[0]}..{SMALLER_FRAMES[1]} -1 0\n"),
    SCENARIO.replace("{hands}", "controller right key 1 0.2 1.2 -0.35 0 0 0\n"
                     f"controller left input /input/thumbstick/click {HOLD_FRAMES[0]}..{HOLD_FRAMES[1]} 1\n"
                     f"controller right input /input/thumbstick/click {HOLD_FRAMES[0]}..{HOLD_FRAMES[1]} 1\n"
                     f"controller right input /input/thumbstick {FARTHER_FRAMES[0]}..{FARTHER_FRAMES[1]} 0 1\n"
                     f"controller right input /input/thumbstick {SMALLER_FRAMES[0]}..{SMALLER_FRAMES[1]} -1 0\n"),
)
HOLD_NAMES = {"openvr": "Right controller's joystick click", "openxr": "Both controllers' stick presses"}
# Over OpenXR the opaque screen is a quad layer the runtime composes under the eye textures: what
# is on it is found on the composed view, on a grid finer than the eye textures' texels.
XR_SCENARIO = (XR_SCENARIO.replace("view_grid 200\n", "view_grid 400\n")
               .replace("find item 204 179 51 6\n", "find item 204 179 51 6\nfind_view item 204 179 51 6\n")
               .replace("find far 255 0 255 8\n", "find far 255 0 255 8\nfind_view far 255 0 255 8\n"))


def on_screen(run, views):
    """Where the screen's content is found: in the eye textures over OpenVR, in the composed view
    over OpenXR."""
    return views.found_view if run.headset == "openxr" else views.found
TIMELINE = f"0 gameplay\n{MENU_FRAME - 1} menu\n160 gameplay\n"
INI = {"AERMaxPairIntervalMs": "0", "FirstPersonRetryFrames": "10"}


def screen_point(head_position, yaw_degrees, u, v, distance=DISTANCE, width=WIDTH):
    """Where the point (u right, v down) of the game's picture stands in the tracking space, for a
    screen placed from this head."""
    a = math.radians(yaw_degrees)
    forward = (-math.sin(a), 0.0, -math.cos(a))
    right = (-forward[2], 0.0, forward[0])
    centre = [head_position[i] + forward[i] * distance for i in range(3)]
    x, y = (2 * u - 1) * width / 2, (1 - 2 * v) * width / PICTURE_ASPECT / 2
    return tuple(centre[i] + right[i] * x + (y if i == 1 else 0.0) for i in range(3))


def screen_corners(head_position, yaw_degrees, distance=DISTANCE, width=WIDTH):
    """The item's corners in the tracking space, for a screen placed from this head."""
    return [screen_point(head_position, yaw_degrees, u, v, distance, width)
            for u in (ITEM[0], ITEM[2]) for v in (ITEM[1], ITEM[3])]


# The game's own projection: a vertical field of view of 10923/65536 of a turn, 16:9.
GAME_ANGLE, GAME_ASPECT = "10923", "1.777778"


def in_game_picture(line, point):
    """Where a world point lies in the game's own picture (u right, v down) from the camera it sent."""
    eye, target = parse_vector(line["sent_eye"]), parse_vector(line["sent_target"])
    f = [target[i] - eye[i] for i in range(3)]
    length = math.sqrt(sum(c * c for c in f))
    f = [c / length for c in f]
    h = math.hypot(f[0], f[2])
    right = (-f[2] / h, 0.0, f[0] / h)
    up = (right[1] * f[2] - right[2] * f[1], right[2] * f[0] - right[0] * f[2], right[0] * f[1] - right[1] * f[0])
    d = [point[i] - eye[i] for i in range(3)]
    z = sum(d[i] * f[i] for i in range(3))
    tan_y = math.tan(int(GAME_ANGLE) / 65536 * math.pi)
    tan_x = tan_y * float(GAME_ASPECT)
    x, y = sum(d[i] * right[i] for i in range(3)) / z, sum(d[i] * up[i] for i in range(3)) / z
    return 0.5 + x / (2 * tan_x), 0.5 - y / (2 * tan_y)


def check_cinema(run, fail, check_game_ran_clean):
    check_game_ran_clean(run, fail, FRAMES)
    views = Views(run.vrsim)
    report = []
    texts = run.log_texts()
    fail.check(any(t.startswith("Cinema screen shown: 4.00 m wide, 3.00 m away") for t in texts),
               "no 'Cinema screen shown' line")
    ons = [t for t in texts if t == "Cinema screen on: the game has the camera"]
    offs = [t for t in texts if t == "Cinema screen off: first-person stereo engaged"]
    # Before first person, in the menu: on twice; off when first-person stereo engages, twice.
    fail.check(len(ons) == 2 and len(offs) == 2, f"{len(ons)} 'on' and {len(offs)} 'off' lines, not 2 and 2")
    fail.check(any(t.startswith("Recentred by the runtime's seated-zero reset: head-look reference taken again; "
                                "cinema screen facing yaw 0.0 degrees") for t in texts),
               "the runtime's seated-zero reset did not centre the screen on the head")

    # Placed at yaw 20 from the head at home; after the runtime's reset, straight ahead of the
    # head that now reads as home, from the frame of the reset on.
    # The controller's steps move the screen along its own heading and widen it about its centre.
    placements = {TURNED_FRAME: ((0.0, 1.6, 0.0), PLACED_YAW, DISTANCE, WIDTH),
                  LEANING_FRAME: ((0.0, 1.6, 0.0), PLACED_YAW, DISTANCE, WIDTH),
                  RECENTRED_FRAME: ((0.0, 1.65, 0.0), 0.0, DISTANCE, WIDTH),
                  PLACED_FRAME: ((0.0, 1.65, 0.0), 0.0, PLACED_DISTANCE, PLACED_WIDTH)}
    for frame, (head, yaw, distance, width) in placements.items():
        corners = screen_corners(head, yaw, distance, width)
        seen_centre = []
        true_centre = []
        for eye in (0, 1):
            pose = views.pose.get((frame, eye))
            found = on_screen(run, views).get((frame, eye, "item"))
            if not fail.check(views.posed(frame, eye, "submitted"),
                              f"frame {frame} eye {eye}: the screen is not submitted with the head pose"):
                continue
            if not fail.check(found and found[0] > 0, f"frame {frame} eye {eye}: the game's menu is not on the screen"):
                continue
            directions = [direction_from(pose, eye, c) for c in corners]
            expected = (min(d[0] for d in directions), min(d[1] for d in directions),
                        max(d[0] for d in directions), max(d[1] for d in directions))
            # One texel of the eye's share of the texture, across and up.
            texel = ((RAW[eye][1] - RAW[eye][0]) / 640, (RAW[eye][3] - RAW[eye][2]) / 360)
            errors = [found[3][i] - expected[i] for i in range(4)]
            report.append(f"frame {frame} eye {eye} item box error " + " ".join(f"{e:+.4f}" for e in errors))
            fail.check(all(abs(errors[i]) <= 2 * texel[i % 2] for i in range(4)),
                       f"frame {frame} eye {eye}: the menu item is seen at {found[3]}, on the screen it is at "
                       f"{tuple(round(e, 4) for e in expected)}")
            seen_centre.append((found[1], found[2]))
            true_centre.append(((expected[0] + expected[2]) / 2, (expected[1] + expected[3]) / 2))
        if len(seen_centre) == 2:
            dx, dy = seen_centre[0][0] - seen_centre[1][0], seen_centre[0][1] - seen_centre[1][1]
            report.append(f"frame {frame} item disparity {dx:+.4f} {dy:+.4f} (IPD/distance {2 * EYE_X[1] / distance:.4f})")
            # What the screen's distance from each eye makes of it (IPD / distance straight ahead).
            tx, ty = true_centre[0][0] - true_centre[1][0], true_centre[0][1] - true_centre[1][1]
            texel = (RAW[0][1] - RAW[0][0]) / 640
            fail.check(abs(dx - tx) <= texel and abs(dy - ty) <= texel,
                       f"frame {frame}: the screen's disparity {dx:+.4f} {dy:+.4f}, its distance makes it "
                       f"{tx:+.4f} {ty:+.4f}")

    for change, value in (("farther; distance", PLACED_DISTANCE), ("smaller; width", PLACED_WIDTH)):
        line = f"{HOLD_NAMES[run.headset]}: cinema screen {change} {value:.2f} m (saved)"
        fail.check(texts.count(line) == 1, f"'{line}' logged {texts.count(line)} times, not once")
    with open(os.path.join(run.folder, "CorvaneVR.ini"), encoding="utf-8", errors="replace") as f:
        ini = f.read()
    for key, value in (("CinemaDistance", PLACED_DISTANCE), ("CinemaWidth", PLACED_WIDTH)):
        fail.check(re.search(rf"^{key}={value:.6f}\s*$", ini, re.M) is not None, f"{key}={value} not saved")
    fail.check(sum(t.startswith("Recentred by") for t in texts) == 1, "a hold that placed the screen recentred")

    # Back in first-person stereo: the screen is gone. The menu is not drawn in play, so its absence
    # alone proves nothing; the far marker (100 units away) fuses in both eyes, as on no screen 3 m away.
    found = [views.found.get((GAMEPLAY_FRAME, eye, "item")) for eye in (0, 1)]
    fail.check(all(f is not None and f[0] == 0 for f in found), f"frame {GAMEPLAY_FRAME}: the menu is still shown")
    far = [views.seen(GAMEPLAY_FRAME, eye, "far") for eye in (0, 1)]
    if fail.check(all(far), f"frame {GAMEPLAY_FRAME}: the far marker is not seen in both eyes"):
        dx = far[0][0] - far[1][0]
        report.append(f"frame {GAMEPLAY_FRAME} far marker disparity {dx:+.4f}")
        fail.check(abs(dx) <= (RAW[0][1] - RAW[0][0]) / 640,
                   f"frame {GAMEPLAY_FRAME}: the far marker's disparity is {dx:+.4f}: still on a screen?")

    check_own_picture_on_screen(run, fail, views, report)
    print("cinema screen measurements:\n  " + "\n  ".join(report))


def check_own_picture_on_screen(run, fail, views, report):
    """While the game has the camera it renders its own picture: its projection and camera reach the
    game's routines unchanged on every such frame, and a marker of its third-person picture stands on
    the screen where the game's own projection puts it (a picture rendered with another frustum
    would put it elsewhere)."""
    states = {int(t["frame"]): int(t["camera_state"]) for t in run.trace}
    trace = {int(t["frame"]): t for t in run.trace}
    # The Present of frame f - 1 decides how frame f is rendered; the trace's state is after it.
    own = [t for f, t in trace.items() if f >= 1 and states.get(f - 1) != 17]
    changed = [int(t["frame"]) for t in own
               if (t["proj_angle"] != "none" and (t["proj_angle"], t["aspect"]) != (GAME_ANGLE, GAME_ASPECT))
               or (t["eye"] != "none" and t["eye"] != t["sent_eye"])]
    aspects = sorted({t["aspect"] for t in own if t["proj_angle"] != "none"})
    moved = max((math.dist(parse_vector(t["eye"]), parse_vector(t["sent_eye"])) for t in own if t["eye"] != "none"),
                default=0.0)
    report.append(f"frames on the screen: projection aspect {aspects}, camera moved off the game's by up to "
                  f"{moved:.4f} units")
    fail.check(len(own) > 60 and not changed,
               f"{len(own)} frames rendered while the game had the camera; these were not its own: {changed[:10]}")

    line = trace.get(THIRD_PERSON_FRAME - 1)
    if not fail.check(line is not None and states.get(THIRD_PERSON_FRAME - 2) != 17,
                      f"frame {THIRD_PERSON_FRAME} is not a third-person frame"):
        return
    # The far marker covers some 30 texels of the screen; the near one only one or two.
    for name in ("far",):
        u, v = in_game_picture(line, parse_vector(line[f"marker_{name}"]))
        point = screen_point((0.0, 1.6, 0.0), 0.0, u, v)
        for eye in (0, 1):
            pose = views.pose.get((THIRD_PERSON_FRAME, eye))
            found = on_screen(run, views).get((THIRD_PERSON_FRAME, eye, name))
            seen = (found[1], found[2]) if found and found[0] > 0 else None
            if not fail.check(pose is not None and seen is not None,
                              f"frame {THIRD_PERSON_FRAME} eye {eye}: marker {name} not seen on the screen"):
                continue
            truth = direction_from(pose, eye, point)
            texel = ((RAW[eye][1] - RAW[eye][0]) / 640, (RAW[eye][3] - RAW[eye][2]) / 360)
            error = (seen[0] - truth[0], seen[1] - truth[1])
            report.append(f"frame {THIRD_PERSON_FRAME} eye {eye} {name} on the screen: error {error[0]:+.4f} {error[1]:+.4f}")
            fail.check(abs(error[0]) <= 2 * texel[0] and abs(error[1]) <= 2 * texel[1],
                       f"frame {THIRD_PERSON_FRAME} eye {eye}: marker {name} seen at {seen[0]:.4f} {seen[1]:.4f}, the "
                       f"game's picture puts it on the screen at {truth[0]:.4f} {truth[1]:.4f}")
