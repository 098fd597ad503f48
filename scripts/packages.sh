# Debian packages the project needs, and a helper that installs the missing
# ones. Sourced by scripts/test and scripts/demo.
BUILD_PACKAGES=(build-essential cmake pkg-config zlib1g-dev libcurl4-openssl-dev
  libusb-1.0-0-dev libhidapi-dev libczmq-dev)
TEST_PACKAGES=(libgtest-dev libgmock-dev clang libclang-rt-14-dev python3 openssl
  iproute2 umockdev libumockdev-dev)
DEMO_PACKAGES=(python3 openssl)

ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
}
