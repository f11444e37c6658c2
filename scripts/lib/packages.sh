# Installs missing Debian packages when run as root; otherwise names them.
# Sourced by the scripts in scripts/.

need_packages() {
  missing=""
  for pkg in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    case "$status" in
      *"install ok installed"*) ;;
      *) missing="$missing $pkg" ;;
    esac
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages:$missing (run as root to install them)" >&2
    return 1
  fi
  echo "installing Debian packages:$missing"
  # A fresh machine has no package lists yet.
  if [ -z "${PARLEY_APT_UPDATED:-}" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
    PARLEY_APT_UPDATED=1
  fi
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing >/dev/null
}
