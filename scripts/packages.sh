# Sourced by test.sh and run.sh: installs the Debian packages the build and
# the tests need when any is missing.
lumo_packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcrypt-dev
               libssl-dev pkg-config)

# Extra packages (the tests' headless browser, say) come as arguments.
lumo_install_packages() {
  local missing=()
  local p
  for p in "${lumo_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}
