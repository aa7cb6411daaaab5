# Sourced by the project's commands: makes .venv (Python 3.12) and installs
# the worker into it when it is missing or older than its sources.  Every
# line of build output goes to standard error, so a caller's standard output
# carries nothing of it.

project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# A caller that needs a build of its own (the sanitizer run) sets `venv` and
# `build_settings` (pip --config-settings pairs) after sourcing this file.
venv="$project_root/.venv"
build_settings=()

find_python312() {
    local candidate
    for candidate in python3.12 "$(pyenv prefix 3.12 2>/dev/null)/bin/python3.12"; do
        if command -v "$candidate" >/dev/null 2>&1 &&
            "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "Python 3.12 not found: install it (for example with pyenv) and try again" >&2
    return 1
}

# A digest of everything the build reads; the install is redone when it changes.
source_digest() {
    (cd "$project_root" && cat pyproject.toml CMakeLists.txt host/* module/* workers/* stubs/* | sha256sum)
}

ensure_worker_installed() {
    local extras=${1:-}
    local stamp="$venv/.shell-worker-installed"
    local wanted
    wanted="$(source_digest) $extras ${build_settings[*]}"
    if [ -x "$venv/bin/python" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
        return 0
    fi
    {
        if [ ! -x "$venv/bin/python" ]; then
            "$(find_python312)" -m venv "$venv" || return 1
        fi
        "$venv/bin/python" -m pip install --quiet --upgrade pip &&
            "$venv/bin/python" -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.21" ninja &&
            "$venv/bin/python" -m pip install --quiet --no-build-isolation \
                "${build_settings[@]/#/--config-settings=}" "$project_root${extras:+[$extras]}"
    } 1>&2 || return 1
    echo "$wanted" >"$stamp"
}
