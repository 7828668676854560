# Helpers shared by the CI scripts; sourced by them, not run.

step() { printf '\n=== %s (%s)\n' "$1" "$(date +%T)"; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Installs those of the named Debian packages that are missing, without
# their recommendations (wine's would bring in a desktop), and cmake when
# there is none.
install_packages() {
  local missing=() package
  for package in "$@"; do
    installed "$package" || missing+=("$package")
  done
  command -v cmake >/dev/null || missing+=(cmake)
  if [ "${#missing[@]}" -eq 0 ]; then return 0; fi
  step "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# configure BUILD_DIR [CMAKE_ARGUMENTS...]: configures the project from the
# repository root into BUILD_DIR, with ninja when there is one. (CMakeLists.txt
# makes compiler warnings errors under CI=true.) The log is shown only when it
# fails.
configure() {
  local dir=$1
  shift
  local generator=()
  if command -v ninja >/dev/null; then generator=(-G Ninja); fi
  mkdir -p "$(dirname "$dir")"
  cmake -S . -B "$dir" "${generator[@]}" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
}
