#!/usr/bin/env bash
# Starts the real program on the X display that xvfb-run provides, finds its window by title,
# saves a screenshot and checks that the window was drawn with its texts.
#   usage: xvfb-run -a window_screenshot.sh <program> <screenshot.png>
set -euo pipefail
program=$1 shot=$2 title='Утилита настройки шифрования БПЛА'
fail() { echo "$*"; exit 1; }

unset QT_QPA_PLATFORM QT_QUICK_BACKEND
"$program" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT

wid=$(timeout 20 xdotool search --sync --onlyvisible --name "^${title}\$" | head -n1 || true)
[ -n "$wid" ] || fail "no window titled '$title'"

# The first frames may still be blank; take shots until the picture settles.
previous=
for _ in $(seq 1 20); do
  sleep 0.5
  import -window "$wid" "$shot"
  sum=$(md5sum < "$shot")
  [ "$sum" = "$previous" ] && break
  previous=$sum
done

read -r width height colours < <(identify -format '%w %h %k\n' "$shot")
commonest=$(convert "$shot" -format %c histogram:info:- | sort -rn | sed -n 1p)
# Texts are near-black on light backgrounds: with no glyphs (no fonts) almost nothing is dark.
dark=$(convert "$shot" -colorspace Gray -threshold 35% -negate -format '%[fx:int(mean*w*h+0.5)]' info:)
echo "window $wid: ${width}x${height}, $colours colours, $dark dark pixels, commonest: $commonest"

[ "$width" -eq 640 ] && [ "$height" -eq 550 ] || fail "unexpected window size"
[ "$colours" -ge 64 ] || fail "too few colours: the window looks blank"
# Material light paints the window #FAFAFA; it must be the commonest colour.
[[ $commonest == *'#FAFAFA'* ]] || fail "background is not Material light"
[ "$dark" -ge 1500 ] || fail "too few dark pixels: texts are missing"
kill -0 "$pid" || fail "the program ended"
echo "screenshot: $shot"
