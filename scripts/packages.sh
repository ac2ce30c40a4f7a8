# Debian packages the build and the test suite need, and the helper that installs the
# missing ones. Sourced by the other scripts.

# Build, tests and benchmarks; the README says why each is there.
ORVCOPY_PACKAGES=(
  g++
  make
  cmake
  pkg-config
  libssl-dev
  libisal-dev
  zlib1g-dev
  libzip-dev
  zip
  unzip
  p7zip-full
  libcli11-dev
  nlohmann-json3-dev
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  python3-cryptography
  python3-cryptography-vectors
  valgrind
  strace
  rclone
)

# The Windows build: the mingw-w64 cross compiler (POSIX threads), its zlib, GoogleTest's
# sources, Wine to run the tests, and the NIST XTS vectors they read.
ORVCOPY_WINDOWS_PACKAGES=(
  cmake
  make
  g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev
  libz-mingw-w64-dev
  googletest
  wine64
  python3-cryptography-vectors
)

# Installs whichever of the given packages are missing, without questions; prints nothing
# when none is.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
