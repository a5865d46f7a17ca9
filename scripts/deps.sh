# Sourced by the scripts: installs the Debian packages that building, testing and running
# Velmar need, skipping those already there.
VELMAR_DEBIAN_PACKAGES=(
  cmake g++ make pkg-config git ca-certificates dpkg-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libcli11-dev libicu-dev
  nlohmann-json3-dev libcpp-httplib-dev rapidjson-dev
  qt6-base-dev
  clang libclang-rt-14-dev clang-format
  inetutils-telnet iputils-ping procps python3
)

velmar_install_deps() {
  local missing=()
  local pkg
  for pkg in "${VELMAR_DEBIAN_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them as root: apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
}
