# Sourced by the benchmark scripts: apt_install PACKAGE... installs Debian
# packages (with sudo when not root), or returns 1 when it cannot.
sudo_cmd=""
can_install=1
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo_cmd="sudo"; else can_install=0; fi
fi
apt_updated=0

apt_install() {
  [ "$can_install" -eq 1 ] || return 1
  command -v apt-get >/dev/null 2>&1 || return 1
  echo "Installing: $*" >&2
  if [ "$apt_updated" -eq 0 ]; then
    $sudo_cmd apt-get update -qq >&2 || return 1
    apt_updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "$@" >&2 || {
    echo "Could not install $*" >&2
    return 1
  }
}
