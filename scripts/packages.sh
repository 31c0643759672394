# Installs, with apt-get, those of the given Debian packages that are missing.
need_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# `need_node MAJOR.MINOR` fails unless Node.js is there at that version or later. The
# machine image's nodejs package has it; Debian's own is older, so it is not installed here.
need_node() {
  node -e 'const [want, have] = [process.argv[1], process.versions.node].map(v => v.split(".").map(Number));
    process.exit(have[0] > want[0] || (have[0] === want[0] && have[1] >= want[1]) ? 0 : 1)' "$1" ||
    { echo "Node.js $1 or later is needed (the machine image's nodejs package)." >&2; return 1; }
}

# The XML parser that both builds carry: Debian's expat source package at exactly
# this version, its .dsc checked against this digest. To move the pin, run
# `scripts/packages.sh versions`, pick the newest version it lists that downloads
# and set both lines; the digest is the sha256sum of that version's .dsc.
EXPAT_VERSION=2.8.3-1~deb13u1
EXPAT_DSC_SHA256=d17f15fe413a553c72185d2d00448b87db72354e0d8fa6099ad19ee19e7117af

# `apt_sources DIR COMMAND ARGUMENTS...` runs an apt command with source lists of
# its own in DIR: the unstable suite of the machine's own main archive, which
# serves the newest sources (the security archive serves none). The machine's apt
# setup is not changed.
apt_sources() {
  local apt=$1
  shift
  rm -rf "$apt/parts" && mkdir -p "$apt/lists/partial" "$apt/parts"
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk -v RS= '/Types: deb/ && !/security/ { sub(/Types: deb/, "Types: deb-src");
      sub(/Suites:[^\n]*/, "Suites: sid"); sub(/Components:[^\n]*/, "Components: main");
      print; exit }' >"$apt/parts/main.sources"
  grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | grep -v security | head -n 1 |
    sed -E 's/^deb( \[[^]]*\])? ([^ ]+) .*/deb-src\1 \2 sid main/' >"$apt/parts/main.list" || true
  local options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/parts"
    -o Dir::State::Lists="$apt/lists" -o APT::Sandbox::User=root)
  apt-get "${options[@]}" update -qq
  "$1" "${options[@]}" "${@:2}"
}

# Unpacks the pinned expat source, with Debian's patches, into build/expat-source,
# once per pin. Fails, naming the pin, when the archive no longer serves it or
# serves other bytes: never another version.
fetch_expat_source() {
  local into=build/expat-source apt=$PWD/build/apt-source
  local download=$apt/download
  [ "$(cat "$into/pin" 2>/dev/null)" = "$EXPAT_VERSION $EXPAT_DSC_SHA256" ] && return 0
  need_packages dpkg-dev
  rm -rf "$into" "$download" && mkdir -p "$download"
  if ! (cd "$download" && apt_sources "$apt" apt-get source --download-only -qq "expat=$EXPAT_VERSION"); then
    echo "The archive no longer serves expat $EXPAT_VERSION, the version pinned in" \
      "scripts/packages.sh: move the pin as its comment says." >&2
    return 1
  fi
  if ! echo "$EXPAT_DSC_SHA256  $download/expat_${EXPAT_VERSION#*:}.dsc" | sha256sum -c --quiet; then
    echo "expat $EXPAT_VERSION's .dsc is not the one pinned in scripts/packages.sh." >&2
    return 1
  fi
  # dpkg-source checks the files against the .dsc; the .dsc's own signature is its
  # uploader's, whose key this machine lacks: apt and the pin have vouched for it.
  local unpacked
  unpacked=$(dpkg-source -x "$download/expat_${EXPAT_VERSION#*:}.dsc" "$into" 2>&1) ||
    { echo "$unpacked" >&2; return 1; }
  echo "$EXPAT_VERSION $EXPAT_DSC_SHA256" >"$into/pin"
}

# `scripts/packages.sh versions`: the expat sources the archive lists, newest first.
if [ "${BASH_SOURCE[0]}" = "$0" ] && [ "${1:-}" = versions ]; then
  set -euo pipefail
  cd "$(dirname "$0")/.."
  apt_sources "$PWD/build/apt-source" apt-cache showsrc expat | sed -n 's/^Version: //p' | sort -rV
fi
