# Sourced by the project's commands: makes .venv (Python 3.12) and installs
# the worker into it when it is missing or older than its sources.  Every
# line of build output goes to standard error, so a caller's standard output
# carries nothing of it.

project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# A caller that needs a build of its own sets `venv`, and `build_settings`
# (pip --config-settings pairs) where the build differs, after sourcing this
# file: tools/sanitize and tools/memcheck set both (under build/sanitize and
# build/memcheck), tools/fuzz only `venv` (build/fuzz/venv); use_python sets
# both for another interpreter (tools/test and tools/worker with --python).
# tools/dist takes only find_python from here: its venvs are fresh ones of its
# own under build/dist.
venv="$project_root/.venv"
python_version=3.12
build_settings=()

# find_python X.Y: prints the path of a Python X.Y interpreter, from PATH or
# from pyenv; fails, saying so, when there is none.
find_python() {
    local version=$1 prefix candidate
    prefix=$(pyenv prefix "$version" 2>/dev/null) || prefix=
    for candidate in "python$version" ${prefix:+"$prefix/bin/python$version"}; do
        if command -v "$candidate" >/dev/null 2>&1 &&
            "$candidate" -c 'import sys; sys.exit(f"{sys.version_info[0]}.{sys.version_info[1]}" != sys.argv[1])' \
                "$version" 2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "Python $version not found: install it (for example with pyenv install $version) and try again" >&2
    return 1
}

# use_python X.Y: builds for Python X.Y in a venv and build directory of its
# own under build/pyXY, leaving .venv alone; 3.12 keeps .venv.
use_python() {
    [ "$1" != 3.12 ] || return 0
    local tag="py${1//./}"
    python_version=$1
    venv="$project_root/build/$tag/venv"
    build_settings=("build-dir=build/$tag/cmake")
}

# take_python_option ARGUMENT...: a leading "--python X.Y" among a command's
# arguments selects that interpreter (use_python); `taken` is then the number
# of arguments used, for the caller to shift.
take_python_option() {
    taken=0
    if [ "${1:-}" = --python ]; then
        if [ "$#" -lt 2 ]; then
            echo "--python needs a version, such as 3.13" >&2
            return 2
        fi
        use_python "$2"
        taken=2
    fi
}

# A digest of everything the build reads; the install is redone when it changes.
source_digest() {
    (cd "$project_root" && cat pyproject.toml CMakeLists.txt host/* process/* module/* workers/* stubs/* launcher/* client/*.py |
        sha256sum)
}

# install_extra NAME: installs the requirements of the project's optional
# dependency group NAME (from pyproject.toml) into the venv, without touching
# the worker's own install, so that one build serves every command.
install_extra() {
    local stamp="$venv/.shell-worker-extra-$1" requirements
    requirements=$("$venv/bin/python" - "$project_root/pyproject.toml" "$1" <<'EOF'
import sys, tomllib
with open(sys.argv[1], "rb") as file:
    print("\n".join(tomllib.load(file)["project"]["optional-dependencies"][sys.argv[2]]))
EOF
    ) || return 1
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$requirements" ]; then
        return 0
    fi
    local -a listed
    mapfile -t listed <<<"$requirements"
    "$venv/bin/python" -m pip install --quiet "${listed[@]}" 1>&2 || return 1
    echo "$requirements" >"$stamp"
}

# ensure_worker_installed [EXTRA...]: the worker built from the current
# sources, plus the named optional dependency groups.
ensure_worker_installed() {
    local stamp="$venv/.shell-worker-installed"
    local wanted
    wanted="$(source_digest) ${build_settings[*]}"
    if ! [ -x "$venv/bin/python" ] || ! [ -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
        local python where=${venv#"$project_root/"}
        python=$(find_python "$python_version") || return 1
        if [ -x "$venv/bin/python" ]; then
            echo "Rebuilding the worker into $where (its sources changed) ..." >&2
        else
            echo "Building the worker into $where (first run, about 20 s) ..." >&2
        fi
        {
            if [ ! -x "$venv/bin/python" ]; then
                "$python" -m venv "$venv" || return 1
            fi
            "$venv/bin/python" -m pip install --quiet --upgrade pip &&
                "$venv/bin/python" -m pip install --quiet "scikit-build-core>=0.11" "cmake>=3.21" ninja &&
                "$venv/bin/python" -m pip install --quiet --no-build-isolation \
                    "${build_settings[@]/#/--config-settings=}" "$project_root"
        } 1>&2 || return 1
        echo "$wanted" >"$stamp"
    fi
    local extra
    for extra in "$@"; do
        install_extra "$extra" || return 1
    done
}
