"""Runs against the stand-in OpenXR runtime: the runtime chosen as the setting and what is
installed say, every rule of the API kept (the stand-in records each one broken), and the game
going on when the runtime loses the session or goes away, back in VR after the 10-second retry."""

import re

from reconnection import check_resumed_after_retry

RULE_BROKEN = "rule broken:"

# The session is lost at the runtime's frame 20; after the reconnection the instance is lost at
# frame 40 (the runtime's frames count on across connections), as a runtime that restarts; after
# the next one a swapchain image cannot be acquired at frame 60.
FAULT_SCENARIO = "session_loss 20\ninstance_loss 40\nfail xrAcquireSwapchainImage -2 60\n"
FAULT_FRAMES = 3600  # at 12 ms a frame at least 43 s: three outages of 10 s each, with margin
SWAPCHAIN_FAILURE = "OpenXR eye picture not shown: xrAcquireSwapchainImage failed with XR_ERROR_RUNTIME_FAILURE (-2)"


def check_rules_kept(run, fail):
    """The stand-in OpenXR runtime was reached, shown frames, and saw no rule broken."""
    if not fail.check(run.headset == "openxr" and run.vrsim_present, "the run left no xrsim.log"):
        return
    broken = [line for line in run.vrsim if line.startswith(RULE_BROKEN)]
    fail.check(not broken, f"{len(broken)} OpenXR rules broken, first: {broken[:3]}")
    shown = [line for line in run.vrsim if line.startswith("xrEndFrame") and "projection" in line]
    fail.check(len(shown) > 10, f"only {len(shown)} frames ended with a projection layer")


def check_auto_choice(run, fail, check_game_ran_clean, frames):
    """Without openvr_api.dll, the automatic choice takes the OpenXR runtime the prefix names, and
    says why OpenVR was not used."""
    check_game_ran_clean(run, fail, frames)
    texts = run.log_texts()
    fail.check("OpenVR not used: OpenVR client library openvr_api.dll could not be loaded" in texts,
               "no line says why OpenVR was not used")
    fail.check("Headset runtime: OpenXR (xrsim)" in texts, "no line names the OpenXR runtime chosen")
    fail.check(any(t.startswith("OpenXR projection: target=") for t in texts), "no OpenXR projection line")
    fail.check("OpenXR eye submission is active" in texts, "no frames went to the OpenXR runtime")
    fail.check("Per-eye render-pose submission active for OpenXR reprojection" in texts,
               "the render-pose line does not name OpenXR")
    check_rules_kept(run, fail)


def check_faults(run, fail, check_game_ran_clean, frames):
    """A lost session, a lost instance and a failed swapchain call: each time the log says why, the
    game plays flat, and VR is back ten seconds later on a new instance."""
    check_game_ran_clean(run, fail, frames)
    texts = run.log_texts()
    over = [i for i, (_, t) in enumerate(run.log) if t.startswith("VR renderer unavailable: OpenXR ")]
    active = [i for i, (_, t) in enumerate(run.log) if t == "OpenXR eye submission is active"]
    fail.check(len(over) == 3, f"{len(over)} outages in the log, expected one per fault (3)")
    fail.check(sum(t.startswith("OpenXR session over: ") for t in texts) == 2,
               "not one 'OpenXR session over' line for each of the lost session and instance")
    fail.check(SWAPCHAIN_FAILURE in texts, f"no '{SWAPCHAIN_FAILURE}' line")
    for failure in over:
        check_resumed_after_retry(run, fail, failure, active)
    instances = [line for line in run.vrsim if line.startswith("xrCreateInstance") and "XR_SUCCESS" in line]
    fail.check(len(instances) == 4, f"{len(instances)} instances made, expected one per connection (4)")
    tail = run.trace[-100:]
    fail.check(all(t["proj_angle"] != t["sent_angle"] for t in tail),
               "the game's last 100 frames are not rendered for the headset again")
    check_rules_kept(run, fail)


def check_unusable(run, fail, check_game_ran_clean, frames, failure):
    """A runtime that cannot serve the game: the log says why, the game plays on flat, and the
    runtime was left as it was found (no instance or session left open)."""
    check_game_ran_clean(run, fail, frames)
    fail.check(f"VR renderer unavailable: {failure}" in run.log_texts(),
               f"the log does not say 'VR renderer unavailable: {failure}'")
    fail.check(all(t["eye"] == t["sent_eye"] for t in run.trace), "the game's camera was moved without a headset")
    made = sum(line.startswith("xrCreateInstance") and "XR_SUCCESS" in line for line in run.vrsim)
    destroyed = sum(line.startswith("xrDestroyInstance") and "XR_SUCCESS" in line for line in run.vrsim)
    fail.check(made == destroyed, f"{made} instances made, {destroyed} destroyed")
    fail.check(not [line for line in run.vrsim if line.startswith(RULE_BROKEN)], "an OpenXR rule was broken")


def check_recreated_device(run, fail, check_game_ran_clean, frames, recreate_frame, teardowns):
    """The game releases its device and makes a new one: the session and its swapchains, which hold
    the device, go with it, nothing of the program is left holding either device, and the session
    is made again on the new device at once (no 10-second pause)."""
    check_game_ran_clean(run, fail, frames)
    for words in teardowns:
        fail.check(words[2:] == ["swap_chain=0", "device=0", "context=0"],
                   f"references left after the game released its device: {' '.join(words)}")
    fail.check(len(teardowns) == 2, f"{len(teardowns)} teardowns recorded, expected 2")
    texts = run.log_texts()
    fail.check("OpenXR session made again on the game's new device" in texts, "the session was not made again")
    fail.check(not any(t.startswith("VR renderer unavailable") for t in texts), "VR went away with the device")
    sessions = [line for line in run.vrsim if line.startswith("xrCreateSession") and "XR_SUCCESS" in line]
    fail.check(len(sessions) == 2, f"{len(sessions)} sessions made, expected one per device (2)")
    shown = [int(m.group(1)) for line in run.vrsim
             for m in [re.match(r"xrEndFrame frame=(\d+) .*projection\(", line)] if m]
    late = [f for f in shown if f > recreate_frame + 3]
    fail.check(len(late) >= frames - recreate_frame - 8,
               f"only {len(late)} frames ended with the eyes' layer after the recreation")
    check_rules_kept(run, fail)


def check_exit_request(run, fail, check_game_ran_clean, frames):
    """The runtime asks for the headset back: the session is ended as OpenXR says (after the
    stopping state, with no frame left open), the game plays on flat and the connection is tried
    again later."""
    check_game_ran_clean(run, fail, frames)
    texts = run.log_texts()
    fail.check("OpenXR session stopping" in texts, "the stopping state was not seen")
    fail.check("OpenXR session over: the runtime stopped the session" in texts, "no line says the runtime stopped it")
    ended = [line for line in run.vrsim if line.startswith("xrEndSession") and "XR_SUCCESS" in line]
    fail.check(len(ended) == 1, f"{len(ended)} sessions ended, expected the stopped one")
    fail.check(all(t["eye"] == t["sent_eye"] for t in run.trace[-20:]), "the game's camera is still moved after the stop")
    check_rules_kept(run, fail)


def check_screen_under_eyes(run, fail):
    """The screen's quad went under the eye images, which were blended over it, on every frame that
    showed it; the case then finds the screen's content through their holes."""
    ends = [line for line in run.vrsim if line.startswith("xrEndFrame") and "quad(" in line]
    fail.check(len(ends) > 20, f"only {len(ends)} frames showed the screen as a quad layer")
    fail.check(all("layers=quad(" in line for line in ends), "a frame put the screen over the eye images")
