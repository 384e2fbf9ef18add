#!/bin/bash
# Numbered-frame H.264 streams through file cameras and through network
# cameras fed by GStreamer's RTSP server, in one run of the unit's program
# (what is checked: tests/e2e/h264_frames_check.py).
# Usage: h264_frames_e2e.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
bin=$2/bin
fixtures=$src/tests/fixtures
python=/usr/bin/python3
checker=$src/tests/e2e/h264_frames_check.py

source "$fixtures/unit_session.sh"
# The receiver holds UDP 8000 and 8001: a network of its own.
own_network "$0" "$@"
e2e_begin "$2/test-out/h264_frames_e2e"
"$python" "$checker" streams "$work" "$bin/numbered_frames" > "$work/streams.txt"

# One network camera per stream: GStreamer serves each file once, paced by
# its times, from the start.
streams=(baseline bf2 bf3-pyramid inband open-gop)
cameras=()
for i in "${!streams[@]}"; do
  s=${streams[$i]}
  cameras+=("$((i + 1)):$s:file")
  peer "rtsp-$s" "$python" "$fixtures/rtsp_server.py" --file "$work/$s.mp4"
done
for i in "${!streams[@]}"; do
  s=${streams[$i]}
  until_ok 30 grep -q '^ready ' "$work/rtsp-$s.out" || { echo "server $s did not start" >&2; exit 1; }
  cameras+=("$((i + 11)):$s:rtsp:rtsp://127.0.0.1:$(sed -n 's/^ready //p' "$work/rtsp-$s.out")/test")
done

# ---- Groups start only where decoding can; frames after an RTP loss ------
# A forced plain I frame inside a group (file camera 21); intra refresh,
# whose groups never close (file camera 22, not among the checked pages);
# a network camera 2 % of whose RTP packets a relay drops (camera 23).
cameras+=("21:forced-i:file")
# Small packets: more of them for the relay to lose, and no frame large
# enough (100 packets) for the unit to fill a hole in. Seed 25 breaks
# frames 8, 21 and 41 (decode order): the stream resumes at both later key
# frames and its end is stored.
setsid "$python" "$fixtures/rtsp_server.py" --file "$work/bf2.mp4" --mtu 300 > "$work/rtsp-lossy.out" 2>&1 &
unit_children+=("$!")
until_ok 30 grep -q '^ready ' "$work/rtsp-lossy.out" || { echo "server for the relay did not start" >&2; exit 1; }
setsid "$python" "$fixtures/lossy_relay.py" --server "$(sed -n 's/^ready //p' "$work/rtsp-lossy.out")" \
  --loss 0.02 --seed 25 --log "$work/lossy-23.log" > "$work/relay.out" 2>&1 &
unit_children+=("$!")
until_ok 30 grep -q '^ready ' "$work/relay.out" || { echo "relay did not start" >&2; exit 1; }
cameras+=("23:bf2:lossy:rtsp://127.0.0.1:$(sed -n 's/^ready //p' "$work/relay.out")/test")
refresh="no group of pictures closes within 200 frames"
# ---------------------------------------------------------------------------

# ---- Every play of a file starts like a stream after a loss ---------------
# A raw file cut inside its first group, played three times (camera 24, 5 s
# between plays): the frames before its first key frame are refused in every
# play, never filed into the previous play's last group.
cameras+=("24:cut:file")
# ---- Parameter sets only in the SDP ---------------------------------------
# A network camera that sends its SPS and PPS only in the description's
# sprop-parameter-sets, none in band (camera 41; open GOP, so its later key
# frames are I frames with a recovery point): every group is stored with
# the described sets and decodes.
peer rtsp-sdp-sets "$python" "$fixtures/rtsp_server.py" --file "$work/open-gop.mp4" --sdp-sets
until_ok 30 grep -q '^ready ' "$work/rtsp-sdp-sets.out" || { echo "server sdp-sets did not start" >&2; exit 1; }
cameras+=("41:open-gop:rtsp:rtsp://127.0.0.1:$(sed -n 's/^ready //p' "$work/rtsp-sdp-sets.out")/test")
# ---- No false losses, every lost frame counted -----------------------------
# Network cameras behind a relay each (tests/fixtures/lossy_relay.py, which
# logs what it did to relay-CAMID.events), none losing a packet at random:
# camera 25 gets packets it discards on purpose after every third frame and
# late copies of packets (small packets: more of them); camera 26's sender
# restarts with a new SSRC after 0.5 s of silence, in the middle of a group;
# camera 27 loses 1 s of packets.
relay_camera() {
  local camid=$1 mtu=$2 stream=${relay_stream:-bf2}
  shift 2
  setsid "$python" "$fixtures/rtsp_server.py" --file "$work/$stream.mp4" --mtu "$mtu" > "$work/rtsp-relay-$camid.out" 2>&1 &
  unit_children+=("$!")
  until_ok 30 grep -q '^ready ' "$work/rtsp-relay-$camid.out" || { echo "server for camera $camid did not start" >&2; exit 1; }
  setsid "$python" "$fixtures/lossy_relay.py" --server "$(sed -n 's/^ready //p' "$work/rtsp-relay-$camid.out")" \
    --loss 0 --log "$work/lossy-$camid.log" --events "$work/relay-$camid.events" "$@" > "$work/relay-$camid.out" 2>&1 &
  unit_children+=("$!")
  until_ok 30 grep -q '^ready ' "$work/relay-$camid.out" || { echo "relay for camera $camid did not start" >&2; exit 1; }
  cameras+=("$camid:$stream:lossy:rtsp://127.0.0.1:$(sed -n 's/^ready //p' "$work/relay-$camid.out")/test")
}
relay_camera 25 300 --insert 3 --late 300
relay_camera 26 300 --restart 28
# Whole packets: the burst stays within the run of packets the unit takes
# for a loss rather than a new numbering.
relay_camera 27 1400 --burst 10
# Senders that stamp their frames otherwise, frames whose end comes late, a
# slow camera's late copy (relay_stream: the stream its server plays):
# camera 43's first three frames are stamped alike (nothing lost: every
# frame stored, none refused); camera 44's timestamps are up to 3 ms off the
# 25 fps clock and 7 key frames are dropped whole, camera 45 halves its
# frame rate from its fourth second and 5 key frames after that are dropped
# whole (each counted once); 7 frames of camera 46 have their last packet
# come 300 ms late (each counted once, each end late); camera 47 sends 4
# frames a second and one packet again 220 ms later (nothing refused).
relay_stream=baseline relay_camera 43 300 --same-ts 3
relay_stream=long relay_camera 44 1400 --jitter 3 --drop-keys 7
relay_stream=long relay_camera 45 1400 --slower 3 --keep-keys 4 --drop-keys 5
relay_camera 46 300 --late-end 7
relay_stream=fps4 relay_camera 47 1400 --late 220 --copy-frame 8
# ---------------------------------------------------------------------------

port=$(free_port)
"$python" "$checker" config "$work" "$work/unit.json" "$port" "${cameras[@]}" "22:intra-refresh:file"
unit_start "$work" "$bin/kovira" "$work/unit.json" --
expect "the unit started" unit_wait_line 'Press "Ctrl-C" to quit...' 30
expect "intra refresh: its console line" unit_wait_line "[WARNING] camera 22: $refresh" 30
expect "intra refresh: its camera page line" wait_page /debug/cam22/ "decode: $refresh" 5
"$python" "$checker" check "$work" "$port" 40 "${cameras[@]}" || failed=1
unit_stop 10
expect "the unit exited 0 after SIGINT (status $unit_status)" test "$unit_status" = 0

# ---- Decoder faults: the unit against an emulated decoder that is slow and
# cannot drain, then one that flags every tenth picture as failed (file
# cameras only; a run each, since the plan is the process's), and a stream
# with one frame zeroed. A plan the decoder does not know stops the start.
refused=$work/refused
mkdir -p "$refused"
KOVIRA_V4L2EMU='{"pictureDelay": 20}' unit_start "$refused" "$bin/kovira" "$work/unit.json" --
unit_wait_line "[FAILURE]" 10 || true
unit_stop 10
expect "an unknown fault switch stops the start (status $unit_status)" test "$unit_status" = 1
expect "and says which" grep -qF '[FAILURE] codec devices: KOVIRA_V4L2EMU: unknown key "pictureDelay"' \
  "$refused/console.txt"
for plan in latency errors; do
  case $plan in
    latency) faults='{"pictureDelayMs": 20, "noDrain": true}' cams=(21:bf8:file:latency) ;;
    errors) faults='{"errorPictureEvery": 10}' cams=(31:baseline:file:errors 32:zeroed:file:errors+zeroed) ;;
  esac
  mkdir -p "$work/$plan"
  port=$(free_port)
  "$python" "$checker" config "$work" "$work/$plan/unit.json" "$port" "${cams[@]}"
  KOVIRA_V4L2EMU=$faults unit_start "$work/$plan" "$bin/kovira" "$work/$plan/unit.json" --
  expect "the unit started ($plan)" unit_wait_line 'Press "Ctrl-C" to quit...' 30
  "$python" "$checker" check "$work" "$port" 40 "${cams[@]}" || failed=1
  [ "$plan" = errors ] || { unit_stop 10; expect "the unit exited 0 ($plan, status $unit_status)" test "$unit_status" = 0; }
done
# The decode stage reports its skipped frames (the first group with any, then
# every hundredth): none for the slow decoder, flagged pictures for the other.
expect "no frame lost to the slow decoder without drain" \
  bash -c '! grep -a "^\[ERROR\] cam 21: frame" "$0"' "$work/latency/console.txt"
expect "frames skipped for pictures flagged as failed" \
  grep -aq '^\[ERROR\] cam 31: frame .* flagged as failed by the decoder' "$work/errors/console.txt"
unit_end 10
