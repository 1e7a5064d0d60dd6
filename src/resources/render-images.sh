#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Re-renders every committed PNG in images/ from its SVG source.
# Needs rsvg-convert (librsvg2-bin). Run from anywhere.
set -euo pipefail

cd "$(dirname "$0")/images"

render() { # render SOURCE.svg SIZE OUTPUT.png
    rsvg-convert --width "$2" --height "$2" --keep-aspect-ratio "$1" --output "$3"
}

# Tool-button pictures: 32 px plus a 64 px copy for high-dpi screens.
for name in 0-new 1-remove 2-help 3-save 4-undo 5-backup 6-restore; do
    render "$name.svg" 32 "$name.png"
    render "$name.svg" 64 "$name@2x.png"
done

# Program icon; the smallest sizes use pixel-aligned variants when present.
for size in 16 24 32 48 64 128 256; do
    src=varozidi.svg
    [[ -f varozidi-$size.svg ]] && src=varozidi-$size.svg
    render "$src" "$size" "varozidi-$size.png"
done

# Help window icon.
for size in 16 24 32 48 64 72 80 96 128; do
    src=help.svg
    [[ -f help-$size.svg ]] && src=help-$size.svg
    render "$src" "$size" "help-$size.png"
done
