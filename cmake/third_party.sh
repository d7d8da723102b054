#!/bin/bash
# cmake/third_party.sh --prefix DIR --work DIR [--toolchain FILE] PACKAGE...
#
# Builds pinned third-party libraries that Debian does not ship (OpenWrt's
# libubox, ubus, uci) or that a cross build needs for its target (libevent,
# cjson, udt4, gtest, json-c and the OpenWrt ones), and installs them into DIR.
# Sources come from ../shared/third_party (TARN_THIRD_PARTY overrides); without
# that folder the OpenWrt libraries are cloned from their upstream repositories
# at the same commits. gtest is built from Debian's googletest sources. udt4 is
# UDT 4.11 with the project's patches (openwrt/udt/patches, as the OpenWrt
# package applies them); udt4-plain is the same tarball unpatched, the viewer
# most apps ship, for benchmarks. Each package is built once: a stamp in DIR
# records the pinned version (and patches) it holds.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
udt_patches=$here/../openwrt/udt/patches
tarballs=${TARN_THIRD_PARTY:-$here/../../shared/third_party}
prefix="" work="" toolchain=""
while [ $# -gt 0 ]; do
    case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --toolchain) toolchain=$2; shift 2 ;;
    *) break ;;
    esac
done
[ -n "$prefix" ] && [ -n "$work" ] && [ $# -gt 0 ] || {
    echo "usage: $0 --prefix DIR --work DIR [--toolchain FILE] PACKAGE..." >&2
    exit 2
}
mkdir -p "$prefix" "$work"
prefix=$(cd "$prefix" && pwd) work=$(cd "$work" && pwd)
jobs=${JOBS:-2}

# name  tarball-stem  upstream  commit (docs/host-bus.md lists them)
pins() {
    case $1 in
    libubox) echo "libubox-1aa36ee https://git.openwrt.org/project/libubox.git 1aa36ee774c8db4d7a396903e0d2e1fb79ee8bf1" ;;
    ubus) echo "ubus-3cc98db https://git.openwrt.org/project/ubus.git 3cc98db1a422dcf560f2d6347fd410f17565a89d" ;;
    uci) echo "uci-66127cd https://git.openwrt.org/project/uci.git 66127cd76c5d0bd46d5a90302cc6110f53a4e2f8" ;;
    json-c) echo "json-c-0.16 - -" ;;
    libevent) echo "libevent-2.1.12-stable - -" ;;
    cjson) echo "cJSON-1.7.15 - -" ;;
    libsodium) echo "libsodium-1.0.18 - - minimal" ;;
    udt4) echo "udt4-4.11 - - $(cat "$udt_patches"/*.patch | sha256sum | cut -c1-16)" ;;
    udt4-plain) echo "udt4-4.11 - -" ;;
    gtest) echo "googletest-$(dpkg-query -W -f='${Version}' googletest 2>/dev/null) /usr/src/googletest -" ;;
    *) echo "unknown package $1" >&2; exit 2 ;;
    esac
}

# Unpacks (or clones) PACKAGE's source into $work and prints its folder.
fetch() {
    local stem url commit
    read -r stem url commit _ < <(pins "$1")
    local src=$work/$stem
    rm -rf "$src"
    if [ -d "$url" ]; then
        cp -r "$url" "$src"
    elif [ -f "$tarballs/$stem.tar.gz" ]; then
        # git archive records the commit in the tarball's first (pax) header.
        local header
        header=$(gzip -dc "$tarballs/$stem.tar.gz" 2>/dev/null | head -c 1536 | tr '\0' '\n' || true)
        case $url$'\n'$header in
        -*|*"comment=$commit"*) ;;
        *) echo "$stem.tar.gz is not commit $commit" >&2; exit 1 ;;
        esac
        tar -xzf "$tarballs/$stem.tar.gz" -C "$work"
    elif [ "$url" != - ]; then
        # Without the tarball the clone is the only source; say so when it fails.
        git clone -q "$url" "$src" >&2 || {
            echo "$stem: $tarballs/$stem.tar.gz is missing and cloning $url failed" >&2
            exit 1
        }
        git -C "$src" -c advice.detachedHead=false checkout -q "$commit" || {
            echo "$stem: upstream has no commit $commit" >&2
            exit 1
        }
    else
        echo "$stem.tar.gz not found in $tarballs" >&2
        exit 1
    fi
    echo "$src"
}

cmake_install() {
    local src=$1; shift
    cmake -S "$src" -B "$src/build" -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_INSTALL_RPATH="$prefix/lib" ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
        "$@" >"$src/build.log" 2>&1 &&
        cmake --build "$src/build" -j"$jobs" >>"$src/build.log" 2>&1 &&
        cmake --install "$src/build" >>"$src/build.log" 2>&1 || {
        tail -30 "$src/build.log" >&2
        exit 1
    }
}

# For autotools packages the toolchain file's C compiler names the target:
# mips-linux-gnu-gcc builds for --host=mips-linux-gnu.
configure_install() {
    local src=$1; shift
    local cc="" host=""
    if [ -n "$toolchain" ]; then
        cc=$(sed -n 's/^set(CMAKE_C_COMPILER \([^ )]*\))$/\1/p' "$toolchain")
        case $cc in
        *?-gcc) host=$(basename "${cc%-gcc}") ;;
        *) echo "$toolchain: no CMAKE_C_COMPILER named TARGET-gcc" >&2; exit 1 ;;
        esac
    fi
    mkdir -p "$src/build"
    (cd "$src/build" && ../configure --prefix="$prefix" --libdir="$prefix/lib" \
        ${host:+--host="$host" CC="$cc"} "$@" && make -j"$jobs" && make install) \
        >"$src/build.log" 2>&1 || {
        tail -30 "$src/build.log" >&2
        exit 1
    }
}

# UDT4 ships only a Makefile for its own compiler and CPU names; a few lines of
# CMake build the same library (shared, its header as <udt/udt.h> like Debian's).
udt4_cmake() {
    cat >"$1/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.13)
project(udt CXX)
file(GLOB sources src/*.cpp)
add_library(udt SHARED ${sources})
target_compile_definitions(udt PRIVATE LINUX)
target_compile_options(udt PRIVATE -w -finline-functions -fno-strict-aliasing -fvisibility=hidden)
find_package(Threads REQUIRED)
target_link_libraries(udt PRIVATE Threads::Threads)
install(TARGETS udt LIBRARY DESTINATION lib)
install(FILES src/udt.h DESTINATION include/udt)
EOF
}

build() {
    local src
    src=$(fetch "$1")
    case $1 in
    json-c) cmake_install "$src" -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF -DBUILD_TESTING=OFF \
        -DDISABLE_WERROR=ON ;;
    libevent) cmake_install "$src" -DEVENT__LIBRARY_TYPE=SHARED -DEVENT__DISABLE_OPENSSL=ON \
        -DEVENT__DISABLE_TESTS=ON -DEVENT__DISABLE_REGRESS=ON -DEVENT__DISABLE_SAMPLES=ON \
        -DEVENT__DISABLE_BENCHMARK=ON ;;
    cjson) cmake_install "$src" -DBUILD_SHARED_LIBS=ON -DENABLE_CJSON_TEST=OFF \
        -DENABLE_CJSON_UTILS=OFF -DENABLE_CUSTOM_COMPILER_FLAGS=OFF ;;
    # Minimal, as OpenWrt's libsodium package builds it by default: the device
    # has only the high-level API. Shared only, no dependency tracking: one
    # build, never edited.
    libsodium) configure_install "$src" --enable-minimal --disable-static \
        --disable-dependency-tracking ;;
    udt4)
        for p in "$udt_patches"/*.patch; do
            patch -s -p1 -d "$src" <"$p" >&2 || { echo "udt4: $p does not apply" >&2; exit 1; }
        done
        udt4_cmake "$src" && cmake_install "$src" ;;
    udt4-plain) udt4_cmake "$src" && cmake_install "$src" ;;
    gtest) cmake_install "$src" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON ;;
    libubox) cmake_install "$src" -DBUILD_LUA=OFF -DBUILD_EXAMPLES=OFF ;;
    ubus) cmake_install "$src" -DBUILD_LUA=OFF -DBUILD_EXAMPLES=OFF ;;
    uci) cmake_install "$src" -DBUILD_LUA=OFF ;;
    esac
}

for pkg in "$@"; do
    stamp=$prefix/.stamp-$pkg
    want=$(pins "$pkg")
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
        continue
    fi
    echo "third_party: building $pkg into $prefix"
    build "$pkg"
    echo "$want" >"$stamp"
done
