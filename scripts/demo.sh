#!/usr/bin/env bash
# The main job: builds the release DLL (out/release, as scripts/build.sh does), then shows what
# it does without the game or a headset. The stand-in game (tools/testgame) runs under Wine with
# the test variant of the DLL beside it as XINPUT1_3.dll and the stand-in OpenVR runtime
# (tools/vrsim) as openvr_api.dll, through a scripted seated session: head turning and leaning,
# walking with the stick, trigger, grip and a button, a cutscene and a menu.
#
# Everything is left in out/demo/ (replaced on every run):
#   XINPUT1_3.dll, CorvaneVR.ini   the release files, what a player installs
#   CorvaneVR.log                  what the DLL decided and noticed during the session
#   vrsim.log                      every call the DLL made into the stand-in runtime
#   trace.txt                      the game's own record, one line per frame
#   pictures/                      at six moments: what each eye sees (*_view.png, composed by the
#                                  stand-in runtime as a headset shows it), the eye textures and
#                                  their bounds crops
#   session/                       the settings, headset scenario and game timeline that ran
#   summary.txt                    what engaged, as printed at the end
# Exits non-zero when the game fails or something that should engage did not.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build_dir=build/demo
run_dir=$build_dir/run
out=out/demo
frames=480
width=1280
height=720
scenario=tools/vrsim/scenarios/demo_session.txt
timeline=tools/testgame/timelines/demo_session.txt
# Moments to picture, in the runtime's frame numbers (one ahead of the game's): first person
# with the hands raised, the cutscene, third person between the cutscene and first person (the
# game's own gameplay camera on the cinema screen), back in first person, the menu, and after it.
moments=(170:first_person 215:cutscene 250:third_person 320:after_cutscene 345:menu 475:after_menu)

echo "== release build"
bash scripts/build.sh

echo "== test build (accepts the stand-in game) in $build_dir"
bash scripts/configure-windows-test-build.sh "$build_dir"
cmake --build "$build_dir" -j "$(nproc)" --target xinput_proxy vrsim testgame

echo "== seated session: $frames frames at ${width}x${height} under Wine"
rm -rf "$run_dir" "$out"
mkdir -p "$run_dir" "$out/pictures" "$out/session"
cp "$build_dir/tools/testgame/game/testgame.exe" "$build_dir/src/XINPUT1_3.dll" \
    "$build_dir/tools/vrsim/openvr_api.dll" "$run_dir/"
# The shipped settings with the controller hands drawn, so the pictures show them.
sed 's/^VisibleHands=.*/VisibleHands=1/' config/CorvaneVR.ini >"$run_dir/CorvaneVR.ini"
grep -qx 'VisibleHands=1' "$run_dir/CorvaneVR.ini"
{
    cat "$scenario"
    echo
    echo "# pictures for the demo; each eye's view at 300 pixels per unit of tangent"
    echo "view_grid 300"
    for moment in "${moments[@]}"; do
        echo "capture ${moment%%:*}"
    done
    echo "capture_folder pictures"
} >"$run_dir/vrsim_scenario.txt"
cp "$timeline" "$run_dir/timeline.txt"

game_status=0
(cd "$run_dir" && bash "$root/scripts/with-wine.sh" "$root/$build_dir" /usr/lib/wine/wine64 ./testgame.exe \
    --frames "$frames" --width "$width" --height "$height" --timeline timeline.txt --trace trace.txt) ||
    game_status=$?

cp out/release/XINPUT1_3.dll out/release/CorvaneVR.ini "$out/"
for file in CorvaneVR.log vrsim.log trace.txt; do
    [ -f "$run_dir/$file" ] && cp "$run_dir/$file" "$out/"
done
cp "$run_dir/CorvaneVR.ini" "$run_dir/vrsim_scenario.txt" "$run_dir/timeline.txt" "$out/session/"
missing_pictures=0
for moment in "${moments[@]}"; do
    frame=$(printf '%06d' "${moment%%:*}")
    name=${moment#*:}
    for view in view left right headset; do
        picture="$run_dir/pictures/frame_${frame}_${view}.png"
        if [ -f "$picture" ]; then
            cp "$picture" "$out/pictures/${name}_${view}.png"
        else
            missing_pictures=$((missing_pictures + 1))
        fi
    done
done

# What engaged: one line per subsystem, the first log line that shows it, or MISSING.
failures=0
log=$out/CorvaneVR.log
runtime_log=$out/vrsim.log
trace=$out/trace.txt
touch "$log" "$runtime_log" "$trace"
summary=$out/summary.txt
: >"$summary"
say() { echo "$*" | tee -a "$summary"; }
check() {
    local what=$1 pattern=$2 file=$3 line
    line=$(grep -m1 -F -- "$pattern" "$file" || true)
    if [ -n "$line" ]; then
        say "  ok       $what"
        say "           ${line:0:200}"
    else
        say "  MISSING  $what (no \"$pattern\" in $(basename "$file"))"
        failures=$((failures + 1))
    fi
}
count() { grep -c -F -- "$1" "$2" || true; }

say "What engaged (from $log):"
check "game validated, first-person controls armed" "Camera: Validated" "$log"
check "import redirected: device, swap chain and contexts hooked" "D3D11 swap chain plus immediate/deferred contexts intercepted" "$log"
check "settings read" "Configuration loaded" "$log"
check "headset connected, eyes submitted" "OpenVR eye submission is active" "$log"
check "common-frustum projection" "Gameplay projection override active" "$log"
check "alternate-eye rendering, right eye" "Final gameplay camera AER active for right eye" "$log"
check "alternate-eye rendering, left eye" "Final gameplay camera AER active for left eye" "$log"
check "completed pairs submitted" "Spacewarp-compatible completed-pair AER submission active" "$log"
check "HUD moved into the safe frame" "Exact Nuklear HUD draw override active" "$log"
check "first person entered" "First person enabled automatically" "$log"
check "head tracking drives the view" "Direct first-person HMD yaw/pitch/position active" "$log"
check "native 60 from the game's own delta" "Native 60 confirmed from simulation delta" "$log"
check "cutscene handed back to the game" "NATIVE COMPOSITE HANDOFF" "$log"
check "30 Hz restored for the game's camera" "native 30 restored" "$log"
check "menu: first person suspended" "final gameplay camera was absent (menu/load)" "$log"
entries=$(count "First person enabled automatically" "$log")
say "  first person entered $entries times (start, after the cutscene, after the menu)"
[ "$entries" -ge 3 ] || failures=$((failures + 1))

say "From the runtime's record ($runtime_log):"
scenario_errors=$(count "scenario error" "$runtime_log")
poses=$(count "compositor.WaitGetPoses" "$runtime_log")
submits=$(grep -c -E 'compositor\.Submit .* -> 0$' "$runtime_log" || true)
posed=$(grep -c -E 'compositor\.Submit .*flags=0x8 .* -> 0$' "$runtime_log" || true)
triggers=$(grep -c -E 'GetControllerState .*device=2 .*axes=[^ ]+ (1|0\.5)' "$runtime_log" || true)
grips=$(grep -c -E 'GetControllerState .*device=2 .*pressed=0x4 ' "$runtime_log" || true)
buttons=$(grep -c -E 'GetControllerState .*device=2 .*pressed=0x80 ' "$runtime_log" || true)
say "  $poses frames, $submits eye textures accepted ($posed with their render pose), scenario errors: $scenario_errors"
say "  right controller read with the trigger pulled on $triggers frames, grip held on $grips, A pressed on $buttons"
[ "$triggers" -gt 0 ] && [ "$grips" -gt 0 ] && [ "$buttons" -gt 0 ] || failures=$((failures + 1))
[ "$scenario_errors" -eq 0 ] && [ "$submits" -gt 0 ] && [ "$posed" -gt 0 ] || failures=$((failures + 1))

say "From the game's trace ($trace):"
played=$(grep -c '^frame=' "$trace" || true)
presented=$(count "present=0x00000000" "$trace")
at60=$(count "sim_hz=60" "$trace")
walked=$(awk '/phase=gameplay/ && !/stick=0\.000,0\.000 / {n++} END {print n + 0}' "$trace")
say "  $played frames, $presented presented, $at60 simulated at 60 Hz, $walked with the stick pushed (walking)"
[ "$game_status" -eq 0 ] && [ "$played" -eq "$frames" ] && [ "$presented" -eq "$frames" ] && [ "$at60" -gt 0 ] &&
    [ "$walked" -gt 0 ] || failures=$((failures + 1))

say "Pictures ($out/pictures): $(find "$out/pictures" -name '*.png' | wc -l) files, $missing_pictures missing"
[ "$missing_pictures" -eq 0 ] || failures=$((failures + 1))
# In first person the two eyes see from two places, so their pictures must differ.
if [ -f "$out/pictures/first_person_left.png" ] &&
    ! cmp -s "$out/pictures/first_person_left.png" "$out/pictures/first_person_right.png"; then
    say "  first person: the left and right eye pictures differ (two viewpoints)"
else
    say "  first person: the left and right eye pictures are the same or missing"
    failures=$((failures + 1))
fi

echo
echo "demo folder: $out"
echo "  release files:   $out/XINPUT1_3.dll, $out/CorvaneVR.ini"
echo "  DLL log:         $log"
echo "  runtime record:  $runtime_log"
echo "  game trace:      $trace"
echo "  headset view:    $out/pictures/first_person_view.png (and cutscene, third_person, after_cutscene, menu, after_menu)"
echo "  eye textures:    $out/pictures/*_left.png, *_right.png, cropped to their bounds in *_headset.png"
if [ "$game_status" -ne 0 ]; then
    echo "the stand-in game exited with $game_status" >&2
fi
if [ "$failures" -ne 0 ]; then
    echo "demo: $failures check(s) did not pass; see $summary" >&2
    exit 1
fi
echo "demo: everything engaged"
