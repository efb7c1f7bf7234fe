#!/bin/sh
# Checks the plug-in DLL as the host sees it: exactly the six entry points
# exported, and only system DLLs imported (the C++ runtime, libgcc,
# winpthreads and protobuf are linked in statically).
#   check-dll.sh OBJDUMP DLL
set -eu
objdump=$1 dll=$2
dump=$("$objdump" -p "$dll")

exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]\{1,\}\([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' | sort)
expected=$(printf '%s\n' pcoip_vchan_plugin_client_exit pcoip_vchan_plugin_client_init \
  pcoip_vchan_plugin_receive_window_handles pcoip_vchan_plugin_request_application_permissions \
  pcoip_vchan_plugin_server_exit pcoip_vchan_plugin_server_init | sort)
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')

echo "size: $(wc -c <"$dll") bytes"
echo "imports: $(echo $imports)"
echo "exports: $(echo $exports)"

status=0
if [ "$exports" != "$expected" ]; then
  echo "FAIL: the exports differ from the six entry points"; status=1
fi
[ -n "$imports" ] || { echo "FAIL: no imports found"; status=1; }
for name in $imports; do
  case $(echo "$name" | tr 'A-Z' 'a-z') in
    kernel32.dll|msvcrt.dll|user32.dll|shell32.dll|advapi32.dll|ws2_32.dll|api-ms-win-*) ;;
    *) echo "FAIL: imports $name, which is not a system DLL"; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "PASS"
exit $status
