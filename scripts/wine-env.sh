# The project's Wine settings, for the scripts and the Wine runner alike: a prefix of its own in
# the build tree, and Wine's own messages off. Source it.
VELMORA_WINE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$VELMORA_WINE_ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
