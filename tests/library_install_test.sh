#!/usr/bin/env bash
# The library as a user of it gets it: installed into a prefix, its header
# compiled as strict C99 and as C++, the examples built against the prefix
# with pkg-config (shared and static) and through the CMake package, and
# run: the WAV the example renders is byte for byte zevora-cli's, and the
# SDL example's sound (through SDL's disk driver) is that render's audio.
# usage: library_install_test.sh BUILD_DIR SOURCE_DIR CORPUS_DIR ZEVORA_CLI
set -euo pipefail
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd) corpus=$(cd "$3" && pwd) cli=$(realpath "$4")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name zevora.pc | head -n 1)")
libdir=$(pkg-config --variable=libdir "$pcdir/zevora.pc")
export PKG_CONFIG_PATH=$pcdir
fail() { echo "FAIL: $*"; exit 1; }

# Only the interface is exported, under its SONAME.
[ "$(readelf -d "$libdir/libzevora.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = libzevora.so.0 ] || fail "SONAME"
[ -e "$libdir/libzevora.so.0.1.0" ] || fail "libzevora.so.0.1.0 missing"
others=$(nm -D --defined-only "$libdir/libzevora.so" | awk '{print $3}' | grep -v '^zv_' || true)
[ -z "$others" ] || fail "exports besides zv_*: $others"
[ -e "$libdir/libzevora.a" ] || fail "no static archive"
# The archive's global names are only the interface's as well: a program
# with functions of its own named as the engine's (CreateSong(), say) links it.
others=$(nm -g --defined-only "$libdir/libzevora.a" | awk 'NF == 3 {print $3}' | grep -v '^zv_' || true)
[ -z "$others" ] || fail "global names in libzevora.a besides zv_*: $(echo $others | head -c 300)"

printf '#include <zevora/zevora.h>\nint main(void) { return zv_version()[0] == 0; }\n' > "$work/header.c"
cc -std=c99 -Wall -Wextra -pedantic -Werror $(pkg-config --cflags zevora) -c "$work/header.c" -o "$work/c.o" ||
  fail "the header as C99"
c++ -x c++ -std=c++11 -Wall -Wextra -pedantic -Werror $(pkg-config --cflags zevora) -c "$work/header.c" \
  -o "$work/cxx.o" || fail "the header as C++"

song=$corpus/flobopuyo--flobopuyo_gameover.xm
"$cli" render "$song" -o "$work/reference.wav" >/dev/null

cc -std=c99 -Wall -Wextra -pedantic -Werror "$source/examples/render_wav.c" $(pkg-config --cflags --libs zevora) \
  -o "$work/render_wav"
LD_LIBRARY_PATH=$libdir "$work/render_wav" "$song" "$work/shared.wav" >/dev/null
cmp "$work/shared.wav" "$work/reference.wav" || fail "render_wav (shared) differs from zevora-cli render"

# A song without an end: its first 10 minutes (at 8,000 Hz, to be quick).
python3 - "$source/fuzz" "$work/noend.xm" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import make_seeds
cells = b"".join(b"\x98\x0e\x60" if row == 0 else b"\x98\x0e\x6f" if row == ch + 1 else b"\x80"
                 for row in range(8) for ch in range(6))
open(sys.argv[2], "wb").write(make_seeds.header(6, 1, 1) + make_seeds.pattern(8, cells) +
                              make_seeds.instrument([[10, 20, -30, 5] * 8]))
EOF
LD_LIBRARY_PATH=$libdir timeout 60 "$work/render_wav" "$work/noend.xm" "$work/noend.wav" 8000 >/dev/null ||
  fail "render_wav of a song without an end"
[ "$(stat -c %s "$work/noend.wav")" = $((44 + 4 * 600 * 8000)) ] || fail "a song without an end: not 10 minutes"
# A RATE that is not a whole number from 8,000 to 192,000 is refused, nothing written.
for rate in 48000x 44.1k 7999 abc; do
  LD_LIBRARY_PATH=$libdir "$work/render_wav" "$song" "$work/rate.wav" "$rate" >/dev/null 2>&1 &&
    fail "render_wav RATE $rate is taken"
  [ ! -e "$work/rate.wav" ] || fail "render_wav RATE $rate wrote a file"
done
if [ -c /dev/full ]; then
  LD_LIBRARY_PATH=$libdir "$work/render_wav" "$song" /dev/full >/dev/null 2>&1 && fail "render_wav to a full disk"
  [ -c /dev/full ] || fail "render_wav removed the device it could not write to"
fi

# A program that loads the library with dlopen while it rounds upwards gets
# the same song (the vibrato and auto-vibrato tables are built at load time).
python3 - "$source/fuzz" "$work/vibrato.xm" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import make_seeds
cells = b"".join(bytes([0x9F, 49, 1, 0x40, 4, 0x1F]) if row == 0 else b"\x98\x04\x00" for row in range(16))
open(sys.argv[2], "wb").write(make_seeds.header(1, 1, 1) + make_seeds.pattern(16, cells) +
                              make_seeds.instrument([[100, 20, -100, 5] * 8]))
EOF
cat > "$work/dlopen.c" <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fenv.h>
#include <stdio.h>
#include <string.h>
#include <zevora/zevora.h>
/* usage: dlopen LIBRARY SONG nearest|upward: prints a hash of the song's pass */
int main(int argc, char** argv) {
  static int16_t pcm[2 * 4096];
  unsigned long long hash = 14695981039346656037ull;
  size_t n, i;
  void* library;
  zv_song* (*load)(const char*, int*);
  size_t (*render)(zv_song*, int16_t*, size_t);
  zv_song* song;
  if (argc != 4) return 2;
  if (strcmp(argv[3], "upward") == 0) fesetround(FE_UPWARD);
  library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  fesetround(FE_TONEAREST);
  if (library == NULL) return 1;
  *(void**)&load = dlsym(library, "zv_load_file");
  *(void**)&render = dlsym(library, "zv_render");
  if ((song = load(argv[2], NULL)) == NULL) return 1;
  while ((n = render(song, pcm, 4096)) > 0)
    for (i = 0; i < 4 * n; ++i) hash = (hash ^ ((unsigned char*)pcm)[i]) * 1099511628211ull;
  printf("%016llx\n", hash);
  return 0;
}
EOF
cc -std=c99 -Wall -Wextra $(pkg-config --cflags zevora) "$work/dlopen.c" -ldl -lm -o "$work/dlopen"
nearest=$("$work/dlopen" "$libdir/libzevora.so.0" "$work/vibrato.xm" nearest)
upward=$("$work/dlopen" "$libdir/libzevora.so.0" "$work/vibrato.xm" upward)
[ "$nearest" = "$upward" ] || fail "loaded while rounding upwards, the library renders otherwise"

cc -std=c99 "$source/examples/render_wav.c" $(pkg-config --cflags zevora) "$libdir/libzevora.a" \
  $(pkg-config --static --libs-only-l zevora | sed 's/-lzevora//') -o "$work/render_wav_static"
ldd "$work/render_wav_static" | grep -q libzevora && fail "the static build links the shared library"
"$work/render_wav_static" "$song" "$work/static.wav" >/dev/null
cmp "$work/static.wav" "$work/reference.wav" || fail "render_wav (static) differs"

cmake -S "$source/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DEXAMPLES_DIR="$source/examples" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/consumer/render_wav" "$song" "$work/cmake.wav" >/dev/null
cmp "$work/cmake.wav" "$work/reference.wav" || fail "render_wav (CMake package) differs"
ldd "$work/consumer/render_wav_static" | grep -q libzevora && fail "Zevora::zevora_static links the shared library"
"$work/consumer/render_wav_static" "$song" "$work/cmake_static.wav" >/dev/null
cmp "$work/cmake_static.wav" "$work/reference.wav" || fail "render_wav (CMake package, static) differs"

if pkg-config --exists sdl2; then
  cc -std=c99 -Wall -Wextra "$source/examples/play_sdl.c" $(pkg-config --cflags --libs zevora sdl2) -o "$work/play_sdl"
  SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/capture.raw" SDL_DISKAUDIODELAY=0 LD_LIBRARY_PATH=$libdir \
    timeout 60 "$work/play_sdl" "$song" >/dev/null 2>&1
  audio=$(( $(stat -c %s "$work/reference.wav") - 44 ))
  # SDL's audio thread may write whole buffers (4,096 frames) of silence to
  # the device before the program unpauses it, when the machine is busy: the
  # song begins after them.
  start=0
  while cmp -s -n 16384 -i "$start:0" "$work/capture.raw" /dev/zero; do start=$((start + 16384)); done
  cmp -n "$audio" -i "$start:0" "$work/capture.raw" <(tail -c +45 "$work/reference.wav") ||
    fail "play_sdl's sound differs from the render"
fi
# Folders chosen when configuring, as distributions choose them: an absolute
# library folder, headers in a folder of their own, the programs in games.
# Configured only (nothing built): the .pc file is read as if installed in
# that library folder, and the generated install and export files say where
# the rest goes.
cmake -S "$source" -B "$work/dirs" -DZEVORA_BUILD_APP=OFF -DZEVORA_BUILD_AUDIO=OFF -DZEVORA_BUILD_TESTS=OFF \
  -DZEVORA_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/opt/zv -DCMAKE_INSTALL_LIBDIR=/opt/zv/lib64 \
  -DCMAKE_INSTALL_INCLUDEDIR=include/zv -DCMAKE_INSTALL_BINDIR=games >/dev/null
flags=$(pkg-config --define-variable=pcfiledir=/opt/zv/lib64/pkgconfig --cflags --libs "$work/dirs/engine/zevora.pc")
[ "$(echo $flags)" = "-I/opt/zv/include/zv -L/opt/zv/lib64 -lzevora" ] || fail "zevora.pc with chosen folders: $flags"
grep -q 'INTERFACE_INCLUDE_DIRECTORIES "${_IMPORT_PREFIX}/include/zv"' "$work"/dirs/engine/CMakeFiles/Export/*/ZevoraTargets.cmake ||
  fail "the CMake package does not give the chosen header folder"
grep -q 'DESTINATION "${CMAKE_INSTALL_PREFIX}/games" TYPE EXECUTABLE' "$work/dirs/tools/cmake_install.cmake" ||
  fail "zevora-cli is not installed into the chosen program folder"
echo "library install test passed"
