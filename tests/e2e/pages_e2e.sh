#!/usr/bin/env bash
# The operator pages served by the unit's program in a private mount
# namespace: the start page byte for byte without sensors, then over a fake
# sensor tree; configuration edits saved, refused edits leaving the file as
# it was, and both surviving a restart; folders that refuse to leave /tmp.
#
#   pages_e2e.sh SOURCE_DIR BINARY_DIR
set -euo pipefail
src=$1
build=$2
fixtures=$src/tests/fixtures
if [ "${3-}" = "" ]; then
  bash "$fixtures/nsrun.sh" -- true || exit $?
  fake=$(mktemp -d /var/tmp/kovira-pages.XXXXXX)
  trap 'rm -rf "$fake"' EXIT
  mkdir -p "$fake/none" "$fake/thermal/thermal_zone0" "$fake/thermal/thermal_zone2" "$fake/power"
  echo CPU-therm > "$fake/thermal/thermal_zone0/type"
  echo 45500 > "$fake/thermal/thermal_zone0/temp"
  echo GPU-therm > "$fake/thermal/thermal_zone2/type"
  echo 38000 > "$fake/thermal/thermal_zone2/temp"
  echo 12000 > "$fake/power/in_voltage0_input"
  echo 5250 > "$fake/power/in_power0_input"
  power=/sys/devices/3160000.i2c/i2c-0/0-0041/iio_device
  bash "$fixtures/nsrun.sh" --bind "$fake/none=/sys/devices/virtual/thermal" \
    -- bash "$0" "$src" "$build" plain
  # The power folder's overlay covers /sys/devices: it goes first, or it
  # would hide the thermal folder bound below it.
  bash "$fixtures/nsrun.sh" --bind "$fake/power=$power" --bind "$fake/thermal=/sys/devices/virtual/thermal" \
    -- bash "$0" "$src" "$build" sensors
  exit 0
fi

source "$fixtures/unit_session.sh"
e2e_begin "$build/test-out/pages_e2e_$3"
port=$(free_port)
cfg=$work/cfg.json
printf '[{"type": "action", "actid": 1, "method": "speed"},\n {"type": "action", "actid": 2, "method": "speed"},
 {"type": "global", "webserver": %s}]\n' "$port" > "$cfg"
start() {
  unit_start "$work" "$build/bin/kovira" "$cfg"
  until_ok 10 page / -o /dev/null || { echo "the unit does not answer"; cat "$work/console.txt"; return 1; }
}
url() { echo "http://127.0.0.1:$port$1"; }
# holds SECONDS TEXT: the configuration file holds TEXT within the time.
holds() { until_ok "$1" grep -qF -- "$2" "$cfg"; }

start
if [ "$3" = sensors ]; then
  page / > "$work/index.html"
  expect "two thermal zones" grep -qF '<b>CPU-therm:</b> 45.5<br>' "$work/index.html"
  expect "zone 2" grep -qF '<b>GPU-therm:</b> 38<br>' "$work/index.html"
  expect "power monitor" grep -qF '<b>Voltage:</b> 12.00 V<br><b>Power:</b> 5.25 W<br>' "$work/index.html"
  exit $failed
fi

expect "start page without board or sensors" cmp -s <(page /) "$src/tests/data/pages/index.html"
expect "/debug/ is the same page" cmp -s <(page /debug/) "$src/tests/data/pages/index.html"

# 1. Edits reach the file and survive a restart.
port2=$(free_port)
curl -s -H 'Content-Type: application/json' -d "{\"webserver\":$port2}" "$(url '/config/update?type=global')" \
  > "$work/global.json"
expect "update answers the whole global section" grep -q "\"webserver\": $port2" "$work/global.json"
expect "update answers every key" grep -q '"trackmask": ""' "$work/global.json"
curl -si -d type=carflow "$(url /config/add/)" > "$work/add.txt"
expect "add redirects to the new action" grep -q $'^Location: /config/act3/\r$' "$work/add.txt"
expect "the file holds the port" holds 5 "\"webserver\": $port2"
expect "the file holds the action" holds 5 '"method": "carflow"'

# 2. Refused edits change nothing, in memory or on disk.
cp "$cfg" "$work/saved.json"
expect "empty number: 400" test "$(status_of /config/global/ -d 'posa=')" = 400
expect "bad UTF-8: 400" test "$(status_of /config/global/ -d 'devname=%FF')" = 400
expect "bad JSON: 400" test "$(status_of /config/update -d '[1')" = 400
expect "the unit lives" test "$(status_of /config/)" = 200
sleep 1.5  # two ticks of the store: a change would be on disk by now
expect "the file is unchanged" cmp -s "$cfg" "$work/saved.json"

# 3. As an operator uses them: a browser renders the pages and submits forms.
submit() { echo "submit:document.querySelector(\"$1\").value = $2; document.forms[0].submit()"; }
expect "browser renders and submits the forms" env HOME="$work" timeout 120 /usr/bin/python3 \
  "$fixtures/browser.py" "$work" "$(url '')" \
  open:/ "text:Режим работы" shot:index.png "$(submit 'select[name=suspended]' "'1'")" \
  open:/config/global/ "text:Часовой пояс" shot:global.png "$(submit 'input[name=devname]' "'Камера №1'")" \
  open:/config/act1/ "text:Подпись" shot:act1.png "$(submit 'textarea[name=label]' "'line one\\nline two'")" \
  open:/debug/diagnostics/ "text:Общая диагностическая информация" shot:diagnostics.png
expect "the file holds the mode" holds 5 '"suspended": 1'
expect "the file holds the device name" holds 5 '"devname": "Камера №1"'
expect "the file holds the label with LF" holds 5 '"label": "line one\nline two"'

# 4. Folders stay inside their roots.
mkdir -p /tmp/inside
echo hello > "/tmp/inside/a b ц.txt"
ln -s /etc /tmp/inside/etc-link
expect "dot-dot: 404" test "$(status_of /tmp/../etc/hostname --path-as-is)" = 404
expect "encoded dot-dot: 404" test "$(status_of /tmp/%2e%2e/etc/hostname)" = 404
expect "link out: 404" test "$(status_of /tmp/inside/etc-link/hostname)" = 404
href=$(page /tmp/inside/ | grep -o 'href="a[^"]*"' | cut -d'"' -f2)
expect "a listed file downloads by its link" test "$(page "/tmp/inside/$href")" = hello

# 5. The restarted unit reads what was saved.
unit_stop 10
port=$port2
start
page /config/whole.json > "$work/whole.json"
expect "restart keeps the action" grep -q '"method": "carflow"' "$work/whole.json"
expect "restart keeps the label" grep -qF '"label": "line one\nline two"' "$work/whole.json"
expect "restart keeps the port" grep -q "\"webserver\": $port2" "$work/whole.json"
exit $failed
