# Sourced by the scripts: installs the Debian packages that building, testing and running
# Velmar need, skipping those already there, and generates the German locale that the tests of
# regional dates and decimal commas use.
VELMAR_DEBIAN_PACKAGES=(
  cmake g++ make pkg-config git ca-certificates dpkg-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libcli11-dev libicu-dev libsodium-dev
  libssh-dev openssh-client
  nlohmann-json3-dev libcpp-httplib-dev rapidjson-dev
  qt6-base-dev
  clang libclang-rt-14-dev clang-format
  inetutils-telnet iputils-ping procps python3 python3-pyte
  locales lintian
  busybox putty-tools netcat-openbsd socat dropbear-bin ssh-audit
)

velmar_install_deps() {
  velmar_install_packages && velmar_generate_locale de_DE.UTF-8
}

velmar_install_packages() {
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

velmar_generate_locale() {  # <name>, e.g. de_DE.UTF-8
  local name=$1
  local normalised="${name%%.*}.$(echo "${name#*.}" | tr -d '-' | tr '[:upper:]' '[:lower:]')"
  locale -a 2>/dev/null | grep -qx "$normalised" && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Locale $name is missing; generate it as root: locale-gen $name" >&2
    return 1
  fi
  echo "Generating locale $name"
  sed -i "s/^# *\($name .*\)/\1/" /etc/locale.gen
  grep -q "^$name " /etc/locale.gen || echo "$name ${name#*.}" >>/etc/locale.gen
  locale-gen >/dev/null
}
