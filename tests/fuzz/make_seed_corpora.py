#!/usr/bin/env python3
"""Writes the small seed corpus of each fuzz target under tests/fuzz/corpus/<target>/.

Each seed is a well-formed input of its target (plus a few near misses), so a run starts from
inputs that reach the accepting paths. Rerun after changing an input layout; the files are
kept in the repository.
"""
import math
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def f32(value):
    return struct.pack("<f", value)


# ---- settings: write-back float, then one line per key (empty = left out) ----
KEY_COUNT = 33


def ini(write_back, lines):
    lines = list(lines) + [""] * (KEY_COUNT - len(lines))
    return f32(write_back) + "\n".join(lines).encode("latin-1")


write("settings", "defaults", ini(0.75, []))
write("settings", "typical", ini(1.5, ["1", "0", "true", "off", "1", "yes", "50", "1.0", "1.0", "0.65", "0.0",
                                       "0.0", "0.65", "0.0", "0.0", "0.0", "0.75", "0.0", "1.0", "on", "no",
                                       "TRUE", "False", "15", "90", "0", "0.2", "1.0", "1.0", "0.18", "1.75",
                                       "-0.095", "0"]))
write("settings", "odd_text", ini(-0.0, [" maybe ", "-1", "4294967296", "2", "-7", "\t", "33", "1e39", "nan",
                                         "-inf", "0x10", "1e-45", "abc", "", "  2.5xyz", "+", "-", "9" * 70,
                                         "0.49", "ON ", "\x01", "", "yes\x00no", "0", "99999", "0.0",
                                         "0.5", "-3", "3", "1", "0.1", "inf", "nan"]))
write("settings", "write_back_tiny", ini(1e-45, ["", "", "", "", "", "", "251", "0.24", "2.01"]))
write("settings", "write_back_large", ini(3.4028235e38, ["\xff\x20\x30"]))

# ---- import_hook: flag byte, then the start of the image ----
IMAGE = 0x3000


def image(library=b"d3d11.dll", entries=(b"D3D11CreateDeviceAndSwapChain",), ordinal_first=False):
    b = bytearray(IMAGE)

    def put(fmt, rva, value):
        struct.pack_into("<" + fmt, b, rva, value)

    nt = 0x100
    put("H", 0, 0x5A4D)
    put("I", 0x3C, nt)
    put("I", nt, 0x00004550)
    put("H", nt + 4, 0x8664)
    put("I", nt + 8, 0x5BE4DE30)
    put("H", nt + 24, 0x020B)
    put("I", nt + 24 + 56, 0x0A01B000)
    put("I", nt + 24 + 120, 0x1000)
    put("I", nt + 24 + 124, 40)
    strings = 0x1800
    lookup, address = 0x2000, 0x2800
    put("I", 0x1000, lookup)
    put("I", 0x1000 + 12, strings)
    put("I", 0x1000 + 16, address)
    b[strings:strings + len(library)] = library
    strings += 0x20
    index = 0
    if ordinal_first:
        put("Q", lookup, 0x8000000000000000 | 12)
        index = 1
    for entry in entries:
        b[strings + 2:strings + 2 + len(entry)] = entry
        put("Q", lookup + index * 8, strings)
        put("Q", address + index * 8, 0x7FF812340000 + index)
        strings += 0x40
        index += 1
    return bytes(b)


write("import_hook", "supported", b"\x00" + image())
write("import_hook", "stamped_header", b"\x01" + image()[:0x100] + image()[0x100:])
write("import_hook", "upper_case_library", b"\x01" + image(library=b"D3D11.DLL", ordinal_first=True))
write("import_hook", "other_names", b"\x01" + image(entries=(b"D3D11CreateDevice", b"CreateDXGIFactory")))
write("import_hook", "not_an_image", b"\x00MZ\x00\x00")

# ---- optical_projection: 528 bytes, eye byte, FovScale ----
NEAR, FAR, RENDER_TAN = 0.1, 500.0, 1.05


def product(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(4)) for j in range(4)] for i in range(4)]


def transposed(m):
    return [[m[j][i] for j in range(4)] for i in range(4)]


def column_major(m):
    return b"".join(f32(m[k % 4][k // 4]) for k in range(16))


def camera(row_vectors, tan=RENDER_TAN, eye=0, fov=1.0, fov_bytes=True):
    c, s = math.cos(math.radians(30)), math.sin(math.radians(30))
    view = [[c, 0, -s, 0], [0, 1, 0, 0], [s, 0, c, 0], [-1.5, -2.0, 4.0, 1.0]]
    rng = FAR / (NEAR - FAR)
    projection = [[1 / tan, 0, 0, 0], [0, 1 / tan, 0, 0], [0, 0, rng, -1], [0, 0, NEAR * rng, 0]]
    view_projection = product(view, projection)
    if not row_vectors:
        view, projection = transposed(view), transposed(projection)
        view_projection = product(projection, view)
    buffer = bytearray(528)
    for i in range(len(buffer)):
        buffer[i] = (i * 7 + 3) & 0xFF
    buffer[0:64] = column_major(view)
    buffer[64:128] = column_major(projection)
    buffer[192:256] = column_major(view_projection)
    return bytes(buffer) + bytes([eye]) + (f32(fov) if fov_bytes else b"")


write("optical_projection", "row_left", camera(True))
write("optical_projection", "column_right", camera(False, eye=1))
write("optical_projection", "row_right_wide", camera(True, tan=RENDER_TAN * 1.5, eye=1, fov=1.5))
write("optical_projection", "other_frustum", camera(True, tan=0.7))
write("optical_projection", "zeros", bytes(528))


def overflowing_depth_row():
    # Agrees with its view-projection and carries the render frustum, yet the eye remap would
    # push the projection's depth-row x element past the largest float: must be declined.
    view = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 0], [0, 0, 0, 1]]
    projection = [[1 / RENDER_TAN, 0, 0, 0], [0, 1 / RENDER_TAN, 0, 0], [3.0e38, 0, -1, -1], [0, 0, -0.1, 0]]
    view_projection = [[sum(view[i][k] * projection[k][j] for k in range(4) if view[i][k] != 0)
                        for j in range(4)] for i in range(4)]
    buffer = bytearray(528)
    buffer[0:64] = column_major(view)
    buffer[64:128] = column_major(projection)
    buffer[192:256] = column_major(view_projection)
    return bytes(buffer) + b"\0" + f32(1.0)


write("optical_projection", "overflowing_depth_row", overflowing_depth_row())

# ---- hud_projection: 128 bytes, HUD scale, vertical offset ----


def hud(width=1920.0, height=1080.0, scale=0.75, offset=0.0, tail=True):
    m = [[2 / width, 0, 0, 0], [0, -2 / height, 0, 0], [0, 0, -1, 0], [-1, 1, 0, 1]]
    rows = b"".join(f32(v) for row in m for v in row)
    rest = bytes((i * 7) & 0xFF for i in range(64, 128))
    return rows + rest + (f32(scale) + f32(offset) if tail else b"")


write("hud_projection", "screen_1080p", hud())
write("hud_projection", "screen_720p_tuned", hud(1280, 720, 0.5, 0.25))
write("hud_projection", "tiny_scale", hud(3840, 2160, 0.001, -3.0))
write("hud_projection", "near_bounds", hud(20.0, 20.0, 4.0, 4.0))
write("hud_projection", "not_hud", bytes(128))

# ---- gamepad_mapping: two ControllerState, deadzone, GamepadState, flags, counter ----


def controller(connected=1, pose=1, left=0, trigger=0.0, grip=0.0, stick=(0.0, 0.0), pressed=0):
    return struct.pack("<BBBxI3f4f12f4f4xQQ", connected, pose, left, 3, 0, 0, 0, 0, 0, 0, 1, *([0.0] * 12),
                       trigger, grip, stick[0], stick[1], pressed, 0)


def pad(packet=7, buttons=0, lt=0, rt=0, sticks=(0, 0, 0, 0)):
    return struct.pack("<IHBBhhhh", packet, buttons, lt, rt, *sticks)


def gamepad(left, right, deadzone=0.18, state=None, flags=1, counter=1):
    return left + right + f32(deadzone) + (state or pad()) + bytes([flags]) + struct.pack("<i", counter)


everything = (1 << 7) | (1 << 1) | (1 << 32) | (1 << 4) | (1 << 6) | (1 << 3) | (1 << 5) | 1
write("gamepad_mapping", "both_hands", gamepad(controller(left=1, trigger=0.6, grip=0.7, stick=(0.5, -0.9)),
                                               controller(trigger=1.0, stick=(-1.0, 0.3), pressed=everything),
                                               flags=3))
write("gamepad_mapping", "real_pad_wins", gamepad(controller(stick=(0.1, 0.2)), controller(),
                                                  state=pad(9, 0x1234, 200, 100, (-32768, 32767, 100, -5))))
write("gamepad_mapping", "lost_tracking", gamepad(controller(pose=0, pressed=everything), controller(connected=0)))
write("gamepad_mapping", "not_published", gamepad(controller(trigger=1.0), controller(), flags=4,
                                                  counter=-1))
write("gamepad_mapping", "odd_values", gamepad(controller(trigger=float("nan"), grip=float("inf"),
                                                          stick=(float("-inf"), 2.0)),
                                               controller(trigger=-1.0, stick=(float("nan"), 0.19)),
                                               deadzone=0.9, flags=3, counter=0x7FFFFFFF))

# ---- scenario: the stand-in runtime's scenario files, plus lines it must reject ----
SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "vrsim", "scenarios")
for name in sorted(os.listdir(SCENARIOS)):
    with open(os.path.join(SCENARIOS, name), "rb") as f:
        write("scenario", os.path.splitext(name)[0], f.read())
write("scenario", "every_keyword", b"""render_size 2016 2240
projection left -1.39 1.25 -1.47 1.47
eye_to_head right 0.0315
refresh 90
pace on
runtime_installed yes
init_error 108 1..3
sdk_version_error 0
interface_missing IVRSystem_026
interface_null IVRCompositor_029
error_text none
wait_error 1 120..
submit_error both 102 240..240
head key 10 0 1.6 0 15 -5 0
head lost 30..40
recentre 50 0 1.6 0 90
controller 3 role stylus
controller 3 connected 0..99
controller 3 axis 2 trackpad
controller 3 key 5 0.1 1.2 -0.3 0 0 0
controller 3 pressed 10..20 0x200000000
controller 3 value 1..2 4 0.5 -0.5
controller 1 trigger 0.. 1.0
controller 2 stick 7 0.3 nan
controller 2 grip 9..12
log queries off
capture 100..101
capture_folder shots of the run
""")
write("scenario", "rejected_lines", b"""render_size -1 5
projection middle 0 0 0 0
controller 0 role left
controller 64 role left
controller 3 axis 5 none
controller 3 key 1 0 0
head lost 20..10
wait_error 1 1234567890
submit_error left 99999999999 1
capture_folder
controllers all
unknown words here
controller 4 lost 1..2 extra
""")

# ---- runtime_manifest: the text of an OpenXR runtime manifest ----
write("runtime_manifest", "plain", b'{"file_format_version": "1.0.0", "runtime": {"library_path": ".\\\\rt.dll", '
      b'"name": "Stand-in"}}\n')
write("runtime_manifest", "escapes_and_extras", b'\xef\xbb\xbf{"file_format_version":"1.0.0","x":[1,-2.5e3,true,null,'
      b'{"a":[]}],"runtime":{"library_path":"C:/XR/\\u00e9\\ud83d\\ude00.dll","functions":{}}}')
write("runtime_manifest", "near_misses", b'{"file_format_version":"1.0.0","runtime":{"library_path":"a\\u0000b"}}')
