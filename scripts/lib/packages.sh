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
  # One index that fails to download (a mirror in the middle of a sync)
  # does not stop the packages the other lists have.
  if [ -z "${PARLEY_APT_UPDATED:-}" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null ||
      echo "warning: apt-get update reported errors; going on with the package lists there are" >&2
    PARLEY_APT_UPDATED=1
    export PARLEY_APT_UPDATED
  fi
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing >/dev/null
}
