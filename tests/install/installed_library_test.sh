#!/bin/sh
# Installs the library of BUILD_DIR into a staging prefix and builds the
# list_devices example on its own against it, once through find_package(rodiz)
# and once through pkg-config, and runs both builds. EXTRA_FLAGS are the
# compile and link flags the library was built with (its sanitizers).
#   installed_library_test.sh SOURCE_DIR BUILD_DIR SCRATCH_DIR CXX [EXTRA_FLAGS]
set -eu
source_dir=$1 build_dir=$2 scratch=$3 cxx=$4 flags=${5:-}
rm -rf "$scratch"
mkdir -p "$scratch"
trap 'rm -rf "$scratch"' EXIT
stage=$scratch/stage

cmake --install "$build_dir" --prefix "$stage" --component rodiz_dev >/dev/null
cmake --install "$build_dir" --prefix "$stage" --component rodiz_runtime >/dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }
for file in include/rodiz/runtime/CRodiz.h include/rodiz/device/IDevice.h \
            include/rodiz/features/FeatureCatalogueIds.inc; do
  [ -f "$stage/$file" ] || fail "$file is not installed"
done
[ ! -e "$stage/include/rodiz/Linux" ] || fail "the platform layer's headers are installed"
config=$(find "$stage" -name rodizConfig.cmake)
[ -n "$config" ] || fail "rodizConfig.cmake is not installed"
pc=$(find "$stage" -name rodiz.pc)
[ -n "$pc" ] || fail "rodiz.pc is not installed"

# The program finds whatever is on this machine's HID stack: here usually
# nothing, on a developer's machine the mouse.
check_run() {
  output=$("$1") || fail "$1 ended with status $?"
  echo "$output"
  echo "$output" | grep -Eq '^(no devices|[0-9A-F]{4} .+)$' || fail "unexpected output from $1"
}

cmake -S "$source_dir/examples" -B "$scratch/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$stage" \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$scratch/cmake" --target rodiz_list_devices >/dev/null
check_run "$scratch/cmake/rodiz_list_devices"

export PKG_CONFIG_PATH="$(dirname "$pc")"
# shellcheck disable=SC2046,SC2086
"$cxx" $flags $(pkg-config --cflags rodiz) -o "$scratch/list_devices_pc" "$source_dir/examples/list_devices.cpp" \
  $(pkg-config --static --libs rodiz)
check_run "$scratch/list_devices_pc"
echo "installed library: find_package and pkg-config builds ran"
