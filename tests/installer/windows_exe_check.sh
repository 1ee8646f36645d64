#!/usr/bin/env bash
# Checks quorvel-installer.exe of both architectures as Windows will load it: a GUI program of the
# right machine, with its icon, manifest (common controls 6), version resource carrying the
# product version, menus, dialogs and keys, importing only from DLLs every Windows has.
# Usage: windows_exe_check.sh EXE-DIR VERSION
set -euo pipefail
dir=$1
version=$2
objdump=x86_64-w64-mingw32-objdump
# Resource types: icon, menu, dialog, accelerators, group icon, version, manifest.
want_types=(0x000003 0x000004 0x000005 0x000009 0x00000e 0x000010 0x000018)
system_dlls=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll newdev.dll "
system_dlls+="setupapi.dll shell32.dll user32.dll version.dll ws2_32.dll "
fail=0
bad() {
  echo "FAIL $1" >&2
  fail=1
}

for arch in i686 x86_64; do
  exe=$dir/$arch/quorvel-installer.exe
  [[ -f $exe ]] || { bad "$exe is missing"; continue; }
  dump=$("$objdump" -p "$exe")
  format=$([[ $arch == i686 ]] && echo pei-i386 || echo pei-x86-64)
  grep -q "file format $format" <<<"$dump" || bad "$arch: not $format"
  grep -q "Subsystem.*(Windows GUI)" <<<"$dump" || bad "$arch: not a GUI program"

  # The resource directory's first level, one line per type.
  types=$(sed -n '/The .rsrc Resource Directory section/,$p' <<<"$dump" |
    grep -E '^[0-9a-f]+   Entry: ID: ' | sed -E 's/.*ID: (0x[0-9a-f]+).*/\1/')
  for t in "${want_types[@]}"; do
    grep -qx "$t" <<<"$types" || bad "$arch: no resource of type $t"
  done

  dlls=$(grep 'DLL Name:' <<<"$dump" | awk '{print tolower($3)}')
  [[ -n $dlls ]] || bad "$arch: no imports found"
  for dll in $dlls; do
    [[ $system_dlls == *" $dll "* ]] || bad "$arch: imports $dll, which is no system DLL"
  done

  # The version and the manifest's dependency, as stored (UTF-16 and UTF-8).
  /usr/bin/python3 - "$exe" "$version" <<'PY' || bad "$arch: version or manifest text missing"
import sys
data = open(sys.argv[1], "rb").read()
needles = [
    ("FileVersion", sys.argv[2]),
    ("ProductName", "Конфигуратор порта Quorvel"),
]
for name, value in needles:
    if (name.encode("utf-16-le") + b"\0\0") not in data or value.encode("utf-16-le") not in data:
        sys.exit(f"{name} {value} not in the version resource")
start = data.find(b'name="Microsoft.Windows.Common-Controls"')
if start < 0 or b'version="6.0.0.0"' not in data[start : start + 200]:
    sys.exit("no common-controls 6 dependency in the manifest")
PY
done
exit $fail
