#!/usr/bin/env bash
# Checks core.pyd as Windows will load it, from its PE headers alone (no
# Windows interpreter is reachable from here):
#   tests/platforms/check_pyd.sh BUILD-TREE CONFIGURE-LOG
# BUILD-TREE is a finished build of the Windows module (module/windows.cmake,
# cmake/mingw-i686.cmake); CONFIGURE-LOG is what its configure step printed.
# Checks: PE32 for i386; initcore is the one export; the imports come from
# python27.dll, KERNEL32.dll and msvcrt.dll alone; libdivsufsort is linked
# in; the definition file of python27.dll names exactly what is imported from
# it, and the link fails without any one of its names. Ends with
# "N passed, M failed".
set -uo pipefail
tree=$1
configure_log=$2
pyd=$tree/core.pyd
objdump=i686-w64-mingw32-objdump
passed=0
failed=0

check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    failed=$((failed + 1))
  fi
}

headers=$($objdump -p "$pyd") || { echo "cannot read $pyd"; echo "0 passed, 1 failed"; exit 1; }

is_pe32_i386() {
  grep -q 'file format pei-i386$' <<<"$headers" &&
    grep -qE '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)$' <<<"$headers" &&
    $objdump -f "$pyd" | grep '^architecture: i386,' >/dev/null
}

# The names in the export table's [Ordinal/Name Pointer] list.
exported_names() {
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' <<<"$headers"
}

imported_dlls() {
  sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | sort
}

# Names imported from one DLL: the lines after its "DLL Name" up to the blank
# line, past the column heading.
imported_from() {
  awk -v dll="$1" '
    /^[[:space:]]*DLL Name: / { inside = ($3 == dll); next }
    inside && /^[[:space:]]*$/ { inside = 0 }
    inside && $1 != "vma:" { print $NF }' <<<"$headers" | sort
}

# The names the definition file gives python27.dll, DATA or not.
defined_imports() {
  sed -n '/^EXPORTS/,$p' "$tree/python27.def" | sed '1d' | awk 'NF { print $1 }' | sort
}

exports_only_init() { [ "$(exported_names)" = initcore ]; }

# Every DLL it imports from is one of the three, python27.dll among them.
imports_allowed_dlls() {
  local dlls
  dlls=$(imported_dlls)
  grep -qx python27.dll <<<"$dlls" &&
    ! grep -vxE 'python27\.dll|KERNEL32\.dll|msvcrt\.dll' <<<"$dlls" | sed 's/^/  also imports from /' |
      grep .
}

linked_with_divsufsort() {
  grep -q '^-- core: suffix sort by libdivsufsort' "$configure_log" &&
    i686-w64-mingw32-nm "$pyd" | grep -E ' T _divsufsort$' >/dev/null
}

definition_is_exact() {
  local difference
  difference=$(diff <(defined_imports) <(imported_from python27.dll))
  [ -z "$difference" ] || { echo "$difference" | sed 's/^/  /'; return 1; }
}

# Links core.pyd again, the way the build does (its own link command and
# objects), against an import library made from the definition file less
# the lines that name `symbol`. Succeeds when the link does.
relink_without() {
  local symbol=$1 scratch=$tree/check-pyd link
  rm -rf "$scratch"
  mkdir -p "$scratch"
  grep -vE "^[[:space:]]+$symbol( DATA)?$" "$tree/python27.def" >"$scratch/python27.def"
  i686-w64-mingw32-dlltool --input-def "$scratch/python27.def" --dllname python27.dll \
    --output-lib "$scratch/libpython27.a" || return 2
  sed "s|libpython27\\.a|check-pyd/libpython27.a|" "$tree/CMakeFiles/core.dir/linkLibs.rsp" \
    >"$scratch/linkLibs.rsp"
  link=$(grep -- ' -o core.pyd ' "$tree/CMakeFiles/core.dir/link.txt") || return 2
  link=${link/ -o core.pyd / -o check-pyd\/core.pyd }
  link=${link/@CMakeFiles\/core.dir\/linkLibs.rsp/@check-pyd\/linkLibs.rsp}
  # Both replacements must have been made, or the link below proves nothing.
  grep -q 'check-pyd/libpython27.a' "$scratch/linkLibs.rsp" &&
    [[ $link == *"-o check-pyd/core.pyd "*"@check-pyd/linkLibs.rsp"* ]] || return 2
  (cd "$tree" && eval "$link") >"$scratch/link.log" 2>&1
}

link_fails_without() {
  local symbol=$1
  relink_without "$symbol"
  [ $? -eq 1 ] && grep -q "undefined reference to \`_imp__$symbol'" "$tree/check-pyd/link.log"
}

# The same link with the whole definition file succeeds, so the failures
# come from the missing names alone.
link_succeeds_in_full() { relink_without '' && [ -f "$tree/check-pyd/core.pyd" ]; }

check "PE32 for i386" is_pe32_i386
check "exports initcore and nothing else" exports_only_init
check "imports from python27.dll, KERNEL32.dll and msvcrt.dll alone" imports_allowed_dlls
check "linked with libdivsufsort" linked_with_divsufsort
check "python27.def names exactly the names imported from python27.dll" definition_is_exact
for symbol in $(defined_imports); do
  check "the link fails without $symbol in python27.def" link_fails_without "$symbol"
done
check "the same link succeeds with the whole python27.def" link_succeeds_in_full
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
