#!/usr/bin/env bash
# What an operator's machine gets: `cmake --install` into a temporary prefix, or the Debian package
# unpacked into a temporary folder. Either way: the romwrite binary on the hidraw build of hidapi,
# a man page that renders without warnings, and the udev rule, and nothing else.
#
#   check_packaging.sh install BUILD_DIR BINDIR MANDIR RULESDIR
#   check_packaging.sh deb     BUILD_DIR BINDIR MANDIR RULESDIR
# The directories are the install destinations, relative to the prefix.
set -euo pipefail

mode=$1 build=$2 bindir=$3 mandir=$4 rulesdir=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The binary must link the hidraw build: the libusb build hands a 4096-byte reply over one USB
# packet per read, and the package's Depends names the hidraw runtime.
check_binary() {
  local bin=$1
  [[ -x "$bin" ]] || { fail "$bin is missing or not executable"; return; }
  local needed
  needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  grep -qx 'libhidapi-hidraw\.so\.0' <<<"$needed" || fail "$bin does not link libhidapi-hidraw.so.0: $needed"
  if grep -q 'libhidapi-libusb' <<<"$needed"; then fail "$bin links the libusb build of hidapi"; fi
}

check_man_page() {
  local page=$1
  [[ -f "$page" ]] || { fail "$page is missing"; return; }
  command -v man >/dev/null || { fail "man is not installed (scripts/setup installs man-db)"; return; }
  local warnings
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [[ -z "$warnings" ]] || fail "$page renders with warnings: $warnings"
  local text
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
  local section
  for section in NAME SYNOPSIS 'EXIT STATUS' DEVICES FILES; do
    grep -qx "$section" <<<"$text" || fail "$page has no $section section"
  done
}

# A sysfs name of the HID device above each hidraw node, as the kernel spells it.
hid_names=(0003:047A:F000.0001 0003:16D0:5544.000A)

check_rule() {
  local rule=$1
  [[ -f "$rule" ]] || { fail "$rule is missing"; return; }
  if udevadm verify --help >/dev/null 2>&1; then
    udevadm verify "$rule" >/dev/null || fail "udevadm verify rejects $rule"
  fi
  # udev skips a line it cannot parse and says so only in the journal, so check the shape here.
  local token_re='^[A-Z]+(\{[A-Za-z_]+\})?(==|!=|=|\+=|-=|:=)"[^"]*"$'
  local active=() line token
  while IFS= read -r line; do
    [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
    active+=("$line")
    IFS=',' read -ra tokens <<<"$line"
    for token in "${tokens[@]}"; do
      token=${token# }
      [[ "$token" =~ $token_re ]] || fail "$rule: cannot parse '$token' in: $line"
    done
    [[ "$line" == *'SUBSYSTEM=="hidraw"'* ]] || fail "$rule: not limited to hidraw nodes: $line"
    [[ "$line" == *'TAG+="uaccess"'* ]] || fail "$rule: no uaccess tag: $line"
    [[ "$line" != *MODE=* ]] || fail "$rule: sets a mode for everyone: $line"
  done <"$rule"
  ((${#active[@]} > 0)) || fail "$rule has no active line"

  local name glob matched
  for name in "${hid_names[@]}"; do
    matched=0
    for line in "${active[@]}"; do
      [[ "$line" =~ KERNELS==\"([^\"]*)\" ]] || continue
      glob=${BASH_REMATCH[1]}
      # shellcheck disable=SC2053  # the rule's value is a glob on purpose
      [[ "$name" == $glob ]] && matched=1
    done
    ((matched)) || fail "$rule: no KERNELS match for the HID device $name"
  done
  grep -Eq '^#.*GROUP="[^"]+".*MODE="0660"' "$rule" || fail "$rule: no commented group and 0660 alternative"
}

# Exactly these files, so that nothing from the virtual device or the tests slips in.
check_contents() {
  local root=$1 prefix=$2
  local expected actual
  expected=$(printf '%s\n' "$prefix$bindir/romwrite" "$prefix$mandir/man1/romwrite.1.gz" \
    "$prefix$rulesdir/70-romwrite.rules" | sed 's|^/||' | sort)
  actual=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
  [[ "$actual" == "$expected" ]] || fail "installed files differ; expected:
$expected
got:
$actual"
  check_binary "$root/$prefix$bindir/romwrite"
  check_man_page "$root/$prefix$mandir/man1/romwrite.1.gz"
  check_rule "$root/$prefix$rulesdir/70-romwrite.rules"
}

case $mode in
install)
  cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" ||
    { cat "$tmp/install.log" >&2; fail "cmake --install failed"; }
  check_contents "$tmp/prefix" ""
  ;;
deb)
  (cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1) ||
    { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
  debs=("$tmp"/out/*.deb)
  if [[ ${#debs[@]} -ne 1 || ! -f "${debs[0]}" ]]; then
    fail "expected one .deb, got: ${debs[*]}"
  else
    deb=${debs[0]}
    field() { dpkg-deb -f "$deb" "$1"; }
    [[ "$(field Package)" == romwrite ]] || fail "Package is '$(field Package)'"
    [[ "$(field Section)" == utils ]] || fail "Section is '$(field Section)'"
    [[ "$(field Architecture)" == "$(dpkg --print-architecture)" ]] ||
      fail "Architecture is '$(field Architecture)'"
    [[ -n "$(field Maintainer)" ]] || fail "no Maintainer"
    [[ -n "$(field Description)" ]] || fail "no Description"
    grep -Eq '(^|, )libhidapi-hidraw0( |,|$)' <<<"$(field Depends)" ||
      fail "Depends does not name libhidapi-hidraw0: '$(field Depends)'"
    dpkg-deb -x "$deb" "$tmp/root"
    check_contents "$tmp/root" "usr/"
  fi
  ;;
*)
  echo "usage: $0 install|deb BUILD_DIR BINDIR MANDIR RULESDIR" >&2
  exit 2
  ;;
esac

if ((failures)); then
  exit 1
fi
echo "$mode: binary, man page and udev rule as expected"
