#!/usr/bin/env bash
# `make check-report`: vxtool project report as a browser shows and prints it. Installs
# Debian's chromium-headless-shell (and Pillow and poppler-utils to look at what it makes)
# for this target only, then:
#   1. builds a small show from WAVs made here (two chapters; a take with silence in front,
#      a clipped one, a quiet one, an entry without a sound, one that will not play) and
#      writes its report;
#   2. takes a screenshot and checks that the loudness chart (its band and its marks) and
#      the waveform strips are drawn, not blank;
#   3. prints the page to PDF and checks that it has pages, none blank, and that each
#      chapter starts a page;
#   4. fails on any message the page leaves on the browser's console (the page has no
#      script, so any message is an error: a blocked load, a refused style).
#
# Usage: check-report.sh [--show SHOW.vx] [--keep DIR]
#   --show   the report of this show instead of the small one (the README's screenshot)
#   --keep   leave report.html, screenshot.png and report.pdf in DIR
set -euo pipefail
cd "$(dirname "$0")/.."

show=
keep=
min_strips=5  # of the small show's, on the screenshot
while (($#)); do
    case $1 in
        --show) show=$(realpath "$2"); min_strips=1; shift 2 ;;
        --keep) keep=$2; shift 2 ;;
        *) echo "usage: check-report.sh [--show SHOW.vx] [--keep DIR]" >&2; exit 2 ;;
    esac
done

bash scripts/setup.sh chromium-headless-shell python3-pil poppler-utils
vxtool=${VXTOOL:-$PWD/${BUILD_DIR:-build}/bin/vxtool}
browser=$(command -v chromium-headless-shell || command -v chromium)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "check-report: $*" >&2
    exit 1
}

if [[ -z $show ]]; then
    # Takes of 22050 Hz 16-bit mono: words as bursts of a tone under a slow swell, so the
    # strips have a shape; project.json gives the texts.
    /usr/bin/python3 - "$work/src" <<'EOF'
import json, math, os, struct, sys, wave
src = sys.argv[1]
def take(path, lead=0.2, words=6, level=0.5, trail=0.3, clip=False):
    rate, out = 22050, []
    out += [0] * int(lead * rate)
    for w in range(words):
        n = int(0.35 * rate)
        for i in range(n):
            swell = math.sin(math.pi * i / n) * (0.6 + 0.4 * math.sin(w * 1.7))
            v = level * swell * math.sin(2 * math.pi * (180 + 40 * w) * i / rate) * (2.5 if clip else 1)
            out.append(max(-1.0, min(1.0, v)))
        out += [0] * int(0.12 * rate)
    out += [0] * int(trail * rate)
    with wave.open(path, "wb") as f:
        f.setnchannels(1); f.setsampwidth(2); f.setframerate(rate)
        f.writeframes(b"".join(struct.pack("<h", int(v * 32767)) for v in out))
chapters = [
    ("Prologue", [("Welcome", "The narrator greets the audience.", "", dict()),
                  ("Late start", "", "Trim the front", dict(lead=1.5)),
                  ("Storm <loud> & \"clipped\"", "", "", dict(clip=True, level=0.8))]),
    ("Epilogue", [("Whisper", "", "", dict(level=0.04, trail=2.5)),
                  ("Blackout", "", "no sound: lights only", None),
                  ("Broken take", "", "", "cut"),
                  ("Farewell", "", "", dict(words=4))]),
]
described = []
for c, (name, entries) in enumerate(chapters):
    folder = "%02d" % (c + 1)
    os.makedirs(os.path.join(src, folder))
    listed = []
    for e, (entry, desc, note, how) in enumerate(entries):
        file = "" if how is None else "%02d.wav" % (e + 1)
        if file:
            path = os.path.join(src, folder, file)
            take(path, **(how if isinstance(how, dict) else {}))
            if how == "cut":
                os.truncate(path, 30)
        listed.append({"name": entry, "desc": desc, "note": note, "file": file})
    described.append({"name": name, "folder": folder, "entries": listed})
with open(os.path.join(src, "project.json"), "w") as f:
    json.dump({"format": 1, "chapters": described}, f)
EOF
    show=$work/show.vx
    "$vxtool" project import "$work/src" "$show" >/dev/null || fail "project import failed"
fi

"$vxtool" project report "$show" -o "$work/report.html" || fail "project report failed"
chapters=$("$vxtool" project show --json "$show" | /usr/bin/python3 -c \
    'import json, sys; print(len(json.load(sys.stdin)["chapters"]))') || fail "project show failed"
url="file://$work/report.html"
run_browser() {
    local log=$1
    shift
    timeout 120 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars \
        --no-first-run --disable-extensions --user-data-dir="$work/profile" \
        --enable-logging=stderr "$@" "$url" 2>"$log" >/dev/null \
        || { cat "$log" >&2; fail "$browser $* failed"; }
    if grep -q 'CONSOLE' "$log"; then
        grep 'CONSOLE' "$log" >&2
        fail "the page left messages on the console"
    fi
}

echo "check-report: screenshot with $(basename "$browser")"
run_browser "$work/shot.log" --window-size=1200,2000 --screenshot="$work/screenshot.png"
# The chart's band and marks, and the strips' waveform, by their colours (ReportPage.cpp's
# style sheet; nothing else on the page has them); each strip is a band of rows holding
# the waveform's colour across more than a legend's swatch.
/usr/bin/python3 - "$work/screenshot.png" "$min_strips" <<'EOF' || fail "the screenshot shows no chart or no strips"
import sys
from PIL import Image
image = Image.open(sys.argv[1]).convert("RGB")
w, h = image.size
px = image.load()
def near(p, c):
    return all(abs(a - b) <= 3 for a, b in zip(p, c))
band, marks, wave = (227, 241, 224), [(30, 140, 69), (224, 48, 47)], (52, 97, 168)
band_x, mark_count, wave_rows = [], 0, []
for y in range(h):
    row_wave = 0
    for x in range(0, w):
        p = px[x, y]
        if near(p, band):
            band_x.append(x)
        elif any(near(p, m) for m in marks):
            mark_count += 1
        elif near(p, wave):
            row_wave += 1
    wave_rows.append(row_wave)
strips, inside = 0, False
for count in wave_rows:
    if count > 40 and not inside:
        strips += 1
    inside = count > 40
band_width = (max(band_x) - min(band_x)) / w if band_x else 0
print("check-report: chart band %.0f%% of the width, %d mark pixels, %d strips drawn"
      % (band_width * 100, mark_count, strips))
sys.exit(0 if band_width > 0.5 and mark_count >= 30 and strips >= int(sys.argv[2]) else 1)
EOF

echo "check-report: print to PDF"
run_browser "$work/pdf.log" --no-pdf-header-footer --print-to-pdf="$work/report.pdf"
pages=$(pdfinfo "$work/report.pdf" | awk '/^Pages:/ { print $2 }')
if [[ -z $pages ]] || ((pages < 1 + chapters)); then
    fail "the PDF has ${pages:-no} page(s) for $chapters chapter(s)"
fi
pdftoppm -r 30 -png "$work/report.pdf" "$work/page"
for page in "$work"/page-*.png; do
    /usr/bin/python3 -c 'import sys; from PIL import Image
g = Image.open(sys.argv[1]).convert("L"); sys.exit(0 if g.getextrema()[0] < 128 else 1)' "$page" \
        || fail "page $(basename "$page") of the PDF is blank"
done
for ((c = 1; c <= chapters; c++)); do
    found=
    for ((p = 1; p <= pages; p++)); do
        if pdftotext -f "$p" -l "$p" "$work/report.pdf" - | grep -m1 -v '^\s*$' | grep -q "^Chapter $c\b"; then
            found=$p
            break
        fi
    done
    [[ -n $found ]] || fail "chapter $c does not start a page of the PDF"
done
echo "check-report: $pages page(s), each chapter on a new page"

if [[ -n $keep ]]; then
    mkdir -p "$keep"
    cp "$work/report.html" "$work/screenshot.png" "$work/report.pdf" "$keep/"
    echo "check-report: kept in $keep"
fi
echo "check-report: passed"
