#!/usr/bin/env bash
# PRN on a real printer: a private cupsd with a cups-pdf queue as the default
# printer, the program under Xvfb, a real click on PRN, and the PDF that
# arrives checked with pdfinfo. Exit 77 (skipped) where cupsd cannot run.
# With --refused the queue rejects jobs and the program must say so.
# Usage: print_e2e.sh path/to/zorvatdbbackup [--refused]
set -uo pipefail

program=$(readlink -f "${1:?usage: print_e2e.sh path/to/zorvatdbbackup [--refused]}")
refused=0
[ "${2:-}" = --refused ] && refused=1
# Its own name: the cups-pdf settings file of a queue is the machine's, shared by runs side by side.
queue=zdbe2e$$
work=
skip() { echo "SKIPPED: $*"; exit 77; }
# A failure shows what the program and the X server said.
fail() {
  echo "FAILED: $*"
  for log in app xvfb; do
    if [ -n "$work" ] && [ -s "$work/log/$log.out" ]; then
      echo "--- $log.out:"
      cat "$work/log/$log.out"
    fi
  done
  exit 1
}

[ "$(id -u)" -eq 0 ] || skip "cupsd and the cups-pdf backend must run as root"

packages=(cups printer-driver-cups-pdf poppler-utils xvfb xdotool x11-utils imagemagick)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >/dev/null 2>&1 \
    || skip "could not install ${missing[*]}"
fi
command -v cupsd >/dev/null || skip "cupsd is not installed"

work=$(mktemp -d /tmp/zdb-print-e2e.XXXXXX)
cupsd_pid= xvfb_pid= app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  [ -n "$cupsd_pid" ] && kill "$cupsd_pid" 2>/dev/null
  wait 2>/dev/null
  rm -f "/etc/cups/cups-pdf-$queue.conf"
  rm -rf "$work"
}
trap cleanup EXIT
for sig in TERM INT HUP; do trap "fail 'ended by SIG$sig'" "$sig"; done

# A cupsd of our own, on its own socket, so that the machine's printers and
# its default printer stay as they are.
mkdir -p "$work"/{root/ppd,state,cache,spool/tmp,log,pdf,config}
chmod 0755 "$work" "$work"/{root,state,cache,log,pdf}
chmod 0710 "$work/spool"; chgrp lp "$work/spool"
chmod 1770 "$work/spool/tmp"; chgrp lp "$work/spool/tmp"
cat >"$work/cups-files.conf" <<CONF
ServerRoot $work/root
StateDir $work/state
CacheDir $work/cache
RequestRoot $work/spool
TempDir $work/spool/tmp
ServerBin /usr/lib/cups
DataDir /usr/share/cups
AccessLog $work/log/access_log
ErrorLog $work/log/error_log
PageLog $work/log/page_log
User lp
Group lp
SystemGroup root
Printcap $work/printcap
CONF
cat >"$work/cupsd.conf" <<CONF
Listen $work/cups.sock
Browsing No
LogLevel info
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
# The queue's PDFs go to our folder (cups-pdf reads cups-pdf-<queue>.conf).
cat >"/etc/cups/cups-pdf-$queue.conf" <<CONF
Out $work/pdf
AnonDirName $work/pdf
Log $work/log
CONF

cupsd -f -c "$work/cupsd.conf" -s "$work/cups-files.conf" >"$work/log/cupsd.out" 2>&1 &
cupsd_pid=$!
export CUPS_SERVER=$work/cups.sock
unset PRINTER LPDEST
running() { lpstat -r 2>/dev/null | grep -q "scheduler is running"; }
for _ in $(seq 50); do running && break; sleep 0.2; done
if ! running; then
  cat "$work/log/cupsd.out" "$work/log/error_log" 2>/dev/null | tail -n 5
  skip "cupsd could not be started"
fi
echo "cupsd running, pid $cupsd_pid"

ppd=$(ls /usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd /usr/share/ppd/cups-pdf/*.ppd 2>/dev/null | head -n 1)
[ -n "$ppd" ] || fail "no cups-pdf PPD found"
lpadmin -p "$queue" -E -v "cups-pdf:/$queue" -P "$ppd" 2>/dev/null || fail "lpadmin could not add the cups-pdf queue"
lpadmin -d "$queue" || fail "could not make $queue the default printer"
[ "$(lpstat -d)" = "system default destination: $queue" ] || fail "default printer is not $queue: $(lpstat -d)"
if [ "$refused" = 1 ]; then cupsreject "$queue" || fail "cupsreject failed"; fi

# The program under Xvfb, with a settings store of its own.
# Xvfb picks a free display itself and writes its number.
# -noreset: a server that resets when xdpyinfo leaves refuses the program's
# connection during the reset.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >"$work/log/xvfb.out" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || skip "Xvfb did not start"
export DISPLAY=:$(head -n 1 "$work/display")
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || skip "Xvfb did not start"
XDG_CONFIG_HOME=$work/config HOME=$work "$program" >"$work/log/app.out" 2>&1 &
app_pid=$!
# Bounded: a program that died at start must fail the test, not hang it.
wid=
for _ in $(seq 100); do
  wid=$(xdotool search --onlyvisible --name "ZorvatDB" 2>/dev/null | head -n 1)
  [ -n "$wid" ] && break
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.2
done
[ -n "$wid" ] || fail "the window did not appear on $DISPLAY"
sleep 1

# PRN stands at 300, 7170 twips, 495 square: its centre in pixels (15 twips each).
xdotool mousemove --window "$wid" $(((300 + 495 / 2) / 15)) $(((7170 + 495 / 2) / 15)) click 1

if [ "$refused" = 1 ]; then
  for _ in $(seq 60); do
    xdotool search --name "Zorvat総合販売管理システム" >/dev/null 2>&1 && break
    sleep 0.5
  done
  xdotool search --name "Zorvat総合販売管理システム" >/dev/null 2>&1 || fail "a refused print passed in silence"
  kill -0 "$app_pid" 2>/dev/null || fail "the program ended after the refused print"
  [ -z "$(find "$work/pdf" -name '*.pdf')" ] || fail "a PDF arrived from a queue that rejects jobs"
  echo "PASSED: the refused print was reported"
  exit 0
fi

pdf=
for _ in $(seq 120); do
  pdf=$(find "$work/pdf" -name '*.pdf' -size +0 2>/dev/null | head -n 1)
  [ -n "$pdf" ] && break
  sleep 0.5
done
if [ -z "$pdf" ]; then
  lpstat -W all -o 2>&1 | tail -n 3
  tail -n 5 "$work/log/error_log" 2>/dev/null
  xdotool search --name "Zorvat総合販売管理システム" >/dev/null 2>&1 && echo "The program reported a failed print."
  fail "no PDF arrived from the queue"
fi
sleep 1   # let the backend finish writing
kill -0 "$app_pid" 2>/dev/null || fail "the program ended during the print"
xdotool search --name "Zorvat総合販売管理システム" >/dev/null 2>&1 && fail "the program reported a failed print"

if [ -n "${ZDB_KEEP_PDF:-}" ]; then cp "$pdf" "$ZDB_KEEP_PDF"; echo "PDF kept at $ZDB_KEEP_PDF"; fi
info=$(pdfinfo "$pdf") || fail "pdfinfo cannot read $pdf"
echo "$info" | grep -E "^(Pages|Page size|Page rot):"
pages=$(echo "$info" | awk '/^Pages:/ {print $2}')
[ "$pages" = 1 ] || fail "expected one page, got $pages"

# Landscape as on paper: the queue's sheets stand upright, so the window's
# picture (797 x 517 pixels) must run with its long side along the sheet's
# long side, filling it, its proportions kept. Printed upright it would lie
# across the top of the sheet instead.
pdftoppm -r 30 -gray -singlefile "$pdf" "$work/page" || fail "pdftoppm cannot render $pdf"
read -r iw ih pw ph < <(convert "$work/page.pgm" -fuzz 10% -trim -format "%w %h %W %H" info:)
echo "sheet ${pw}x${ph} px, picture ${iw}x${ih} px"
awk -v iw="$iw" -v ih="$ih" -v pw="$pw" -v ph="$ph" 'BEGIN {
  long = (iw > ih) ? iw : ih; short = (iw > ih) ? ih : iw
  sheetLong = (pw > ph) ? pw : ph
  along = (iw > ih) == (pw > ph)
  ratio = long / short; want = 797 / 517
  exit !(along && long > 0.85 * sheetLong && ratio > want * 0.95 && ratio < want * 1.05)
}' || fail "the picture is not printed landscape (picture ${iw}x${ih} on sheet ${pw}x${ph})"
echo "PASSED: one landscape page printed on the default printer $queue"
