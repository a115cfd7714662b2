#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need,
# and only those that are missing. Runs as root, or through sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libhidapi-dev liblz4-dev libjsoncpp-dev libudev-dev libsystemd-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev
  dbus python3-dbusmock umockdev libumockdev-dev xvfb xauth fonts-noto-cjk
  python3-pil desktop-file-utils appstream groff-base libssl-dev
)
# Optional extras for `make fuzz`, `make tsan` and packaging; asked for by name.
if [[ "${1:-}" == "--extra" ]]; then
  packages+=(clang clang-14 libclang-rt-14-dev dpkg-dev lintian)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install-deps: every package is already installed."
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq || true
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
