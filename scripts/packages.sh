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

# Unpacks Debian's expat source package, with Debian's patches, into
# build/expat-source for the Windows cross build. Source lists are fetched into a
# folder of their own, from the main archive entries of the machine's own apt
# setup (the security archive serves no sources), so apt's setup is not changed.
fetch_expat_source() {
  local into=build/expat-source apt=$PWD/build/apt-source
  [ -f "$into/expat/lib/xmlparse.c" ] && return 0
  need_packages dpkg-dev
  rm -rf "$apt" "$into" && mkdir -p "$apt/lists/partial" "$apt/parts" "$apt/download"
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk -v RS= -v ORS='\n\n' '/Types: deb/ && !/security/ { sub(/Types: deb/, "Types: deb-src"); print }' \
      >"$apt/parts/main.sources"
  grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | grep -v security | sed 's/^deb /deb-src /' \
    >"$apt/parts/main.list" || true
  local options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/parts"
    -o Dir::State::Lists="$apt/lists" -o APT::Sandbox::User=root)
  apt-get "${options[@]}" update -qq
  (cd "$apt/download" && apt-get "${options[@]}" source --download-only -qq expat)
  dpkg-source -x "$apt"/download/expat_*.dsc "$into" >/dev/null
}
