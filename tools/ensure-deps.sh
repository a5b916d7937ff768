#!/bin/sh
# Installs what the build and the tests need and this machine lacks; does
# nothing when everything is there. Run as root on a Debian machine.
set -e
PYTHON=${PYTHON:-python3}

apt_missing=""
dpkg -s libsuitesparse-dev >/dev/null 2>&1 || apt_missing="$apt_missing libsuitesparse-dev"
command -v g++ >/dev/null 2>&1 || apt_missing="$apt_missing g++"
command -v make >/dev/null 2>&1 || apt_missing="$apt_missing make"
if [ -n "$apt_missing" ]; then
    echo "installing from Debian:$apt_missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q $apt_missing >/dev/null 2>&1 ||
        { apt-get update -q >/dev/null && apt-get install -y -q $apt_missing >/dev/null; }
fi

pip_missing=$("$PYTHON" - <<'PY'
import importlib.util
wanted = {"numpy": "numpy", "tqdm": "tqdm", "pytest": "pytest", "hypothesis": "hypothesis",
          "scipy": "scipy", "matplotlib": "matplotlib", "dask": "dask",
          "distributed": "distributed"}
print(" ".join(pkg for mod, pkg in wanted.items() if importlib.util.find_spec(mod) is None))
PY
)
command -v cmake >/dev/null 2>&1 || pip_missing="$pip_missing cmake"
if [ -n "$pip_missing" ]; then
    echo "installing from PyPI: $pip_missing"
    "$PYTHON" -m pip install -q $pip_missing
fi
