#!/usr/bin/env bash
# The main job: builds the release DLL (out/release, as scripts/build.sh does), then shows what
# it does without the game or a headset. The stand-in game (tools/testgame) runs under Wine with
# the test variant of the DLL beside it as XINPUT1_3.dll and the stand-in OpenVR runtime
# (tools/vrsim) as openvr_api.dll, through a scripted seated session: head turning and leaning,
# walking with the stick, trigger, grip and a button, a cutscene and a menu. Then the same session
# again over OpenXR: the stand-in OpenXR runtime (tools/xrsim) registered as the active runtime
# of the Wine prefix, as a runtime's installer does, and Runtime=openxr.
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
#   openxr/                        the same session over OpenXR: CorvaneVR.log, xrsim.log,
#                                  trace.txt, pictures/ (each eye's view, composed from the
#                                  projection layer and, on the cinema screen, its quad layer)
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
cmake --build "$build_dir" -j "$(nproc)" --target xinput_proxy vrsim xrsim testgame

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

echo "== the same session over OpenXR"
xr_run=$build_dir/run_openxr
xr_out=$out/openxr
rm -rf "$xr_run"
mkdir -p "$xr_run" "$xr_out/pictures"
cp "$build_dir/tools/testgame/game/testgame.exe" "$build_dir/src/XINPUT1_3.dll" \
    "$build_dir/tools/xrsim/xrsim.dll" "$build_dir/tools/xrsim/xrsim.json" "$xr_run/"
sed 's/^Runtime=.*/Runtime=openxr/' "$run_dir/CorvaneVR.ini" >"$xr_run/CorvaneVR.ini"
grep -qx 'Runtime=openxr' "$xr_run/CorvaneVR.ini"
{
    cat tools/xrsim/scenarios/demo_session.txt
    echo
    echo "view_grid 300"
    for moment in "${moments[@]}"; do
        echo "capture ${moment%%:*}"
    done
    echo "capture_folder pictures"
} >"$xr_run/xrsim_scenario.txt"
cp "$timeline" "$xr_run/timeline.txt"
manifest="Z:$(cd "$xr_run" && pwd | tr / '\\')\\xrsim.json"
xr_status=0
(cd "$xr_run" && bash "$root/scripts/with-wine.sh" "$root/$build_dir" bash -c '
    reg="/usr/lib/wine/wine64 reg"
    $reg add "HKLM\SOFTWARE\Khronos\OpenXR\1" /v ActiveRuntime /t REG_SZ /d "$1" /f /reg:64 >/dev/null 2>&1
    status=0
    /usr/lib/wine/wine64 ./testgame.exe --frames "$2" --width "$3" --height "$4" --timeline timeline.txt \
        --trace trace.txt || status=$?
    $reg delete "HKLM\SOFTWARE\Khronos\OpenXR\1" /v ActiveRuntime /f /reg:64 >/dev/null 2>&1 || true
    exit $status' demo "$manifest" "$frames" "$width" "$height") || xr_status=$?
for file in CorvaneVR.log xrsim.log trace.txt CorvaneVR.ini xrsim_scenario.txt; do
    [ -f "$xr_run/$file" ] && cp "$xr_run/$file" "$xr_out/"
done
xr_missing_pictures=0
for moment in "${moments[@]}"; do
    frame=$(printf '%06d' "${moment%%:*}")
    name=${moment#*:}
    for view in view left right; do
        picture="$xr_run/pictures/frame_${frame}_${view}.png"
        if [ -f "$picture" ]; then
            cp "$picture" "$xr_out/pictures/${name}_${view}.png"
        else
            xr_missing_pictures=$((xr_missing_pictures + 1))
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

xr_log=$xr_out/CorvaneVR.log
xr_runtime_log=$xr_out/xrsim.log
xr_trace=$xr_out/trace.txt
touch "$xr_log" "$xr_runtime_log" "$xr_trace"
say "Over OpenXR (from $xr_log):"
check "OpenXR runtime chosen" "Headset runtime: OpenXR (xrsim)" "$xr_log"
check "session focused" "OpenXR session focused" "$xr_log"
check "headset connected, eyes submitted" "OpenXR eye submission is active" "$xr_log"
check "first person entered" "First person enabled automatically" "$xr_log"
check "cutscene handed back to the game" "NATIVE COMPOSITE HANDOFF" "$xr_log"
xr_entries=$(count "First person enabled automatically" "$xr_log")
[ "$xr_entries" -ge 3 ] || failures=$((failures + 1))
xr_frames=$(grep -c '^xrWaitFrame ' "$xr_runtime_log" || true)
xr_shown=$(grep -c '^xrEndFrame .*projection(' "$xr_runtime_log" || true)
xr_screen=$(grep -c '^xrEndFrame .*quad(' "$xr_runtime_log" || true)
xr_rules=$(count "rule broken:" "$xr_runtime_log")
xr_errors=$(count "scenario error" "$xr_runtime_log")
xr_triggers=$(grep -c -E '^xrGetActionStateFloat .*action=trigger .*active=1 value=(1|0\.5)' "$xr_runtime_log" || true)
xr_grips=$(grep -c -E '^xrGetActionStateFloat .*action=squeeze .*active=1 value=1' "$xr_runtime_log" || true)
xr_buttons=$(grep -c -E '^xrGetActionStateBoolean .*action=primary .*active=1 value=1' "$xr_runtime_log" || true)
say "  $xr_frames frames, $xr_shown ended with the eyes' projection layer, $xr_screen of them with the cinema screen as a quad layer"
say "  OpenXR rules broken: $xr_rules, scenario errors: $xr_errors"
say "  right controller's actions: trigger pulled on $xr_triggers reads, squeeze on $xr_grips, A pressed on $xr_buttons"
[ "$xr_status" -eq 0 ] && [ "$xr_shown" -gt 0 ] && [ "$xr_screen" -gt 0 ] && [ "$xr_rules" -eq 0 ] &&
    [ "$xr_errors" -eq 0 ] || failures=$((failures + 1))
[ "$xr_triggers" -gt 0 ] && [ "$xr_grips" -gt 0 ] && [ "$xr_buttons" -gt 0 ] || failures=$((failures + 1))
xr_played=$(grep -c '^frame=' "$xr_trace" || true)
say "  the game: $xr_played frames; pictures ($xr_out/pictures): $(find "$xr_out/pictures" -name '*.png' | wc -l) files, $xr_missing_pictures missing"
[ "$xr_played" -eq "$frames" ] && [ "$xr_missing_pictures" -eq 0 ] || failures=$((failures + 1))

echo
echo "demo folder: $out"
echo "  release files:   $out/XINPUT1_3.dll, $out/CorvaneVR.ini"
echo "  DLL log:         $log"
echo "  runtime record:  $runtime_log"
echo "  game trace:      $trace"
echo "  headset view:    $out/pictures/first_person_view.png (and cutscene, third_person, after_cutscene, menu, after_menu)"
echo "  eye textures:    $out/pictures/*_left.png, *_right.png, cropped to their bounds in *_headset.png"
echo "  over OpenXR:     $xr_out/ (CorvaneVR.log, xrsim.log, trace.txt, pictures/*_view.png)"
if [ "$game_status" -ne 0 ]; then
    echo "the stand-in game exited with $game_status" >&2
fi
if [ "$xr_status" -ne 0 ]; then
    echo "the stand-in game exited with $xr_status over OpenXR" >&2
fi
if [ "$failures" -ne 0 ]; then
    echo "demo: $failures check(s) did not pass; see $summary" >&2
    exit 1
fi
echo "demo: everything engaged"
