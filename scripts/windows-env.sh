# Sourced by scripts/test-windows and scripts/demo (windows), from the project's root: the tools of
# the Windows build and its Wine prefix, build/windows/wineprefix.
source scripts/packages.sh

readonly windows_build_dir="$PWD/build/windows"
export WINEPREFIX="$windows_build_dir/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
# Neither the tests nor the demo need Mono or Gecko; without this, creating the prefix installs them.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Installs what is missing (Debian/Ubuntu).
install_missing() {
    local missing=()
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
    command -v x86_64-w64-mingw32-widl >/dev/null || missing+=(mingw-w64-tools)
    # The standard IDL files that widl imports for the COM demo's interfaces.
    [[ -f /usr/include/wine/wine/windows/oaidl.idl ]] || missing+=(libwine-dev)
    command -v wine >/dev/null || missing+=(wine)
    [[ -x /usr/lib/wine/wine64 ]] || missing+=(wine64)
    [[ -f /usr/src/googletest/CMakeLists.txt ]] || missing+=(googletest)
    command -v cmake >/dev/null || missing+=(cmake)
    apt_install "${missing[@]}"
}

stop_wine() { wineserver -k 2>/dev/null || true; }

# Starts a fresh Wine server that stays up until stop_wine (else every program pays for a server
# start and for Wine's own services), making the prefix first when there is none. Always fresh: the
# server that made the prefix cannot start COM local servers, and one that saw a local server killed
# does not start that class again.
start_wine() {
    mkdir -p "$WINEPREFIX"
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
        printf 'creating the Wine prefix %s\n' "$WINEPREFIX" >&2
        wine wineboot -i >"$windows_build_dir/wineboot.log" 2>&1
        # No crash debugger: a crashing program ends at once instead of waiting for winedbg.
        wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
            /v Debugger /t REG_SZ /d '' /f >>"$windows_build_dir/wineboot.log" 2>&1
    fi
    stop_wine
    wineserver -w
    wineserver -p
    # Starts Wine's services now. Output goes to a file: the services keep the descriptors they
    # inherit, and a pipe held open by them never reaches end of file.
    wine cmd /c exit >"$windows_build_dir/wine-warmup.log" 2>&1
}
