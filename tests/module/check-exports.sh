#!/usr/bin/env bash
# The shared library exports the documented interface and nothing else.
set -euo pipefail
lib=$1
symbols=$(nm -DC --defined-only "$lib" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }')

allowed='^(typeinfo( name)? for |vtable for |)(TUKHttpService|TUKCloudHttpUtils|TUKDownloadManager|TUKNetWorkCheck|TUKThread)(::|$)'
allowed_free='^(getCloudInfo|setCloudInfo|copyFile|delDir|getFileList|executeURL)\('

unexpected=$(printf '%s\n' "$symbols" | grep -v -E "$allowed" | grep -v -E "$allowed_free" \
             | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' || true)
if [ -n "$unexpected" ]; then
  echo "symbols exported that are not part of the interface:"; printf '%s\n' "$unexpected"; exit 1
fi
for internal in TUKNetWorkCheckWorker TUKNetWorkChekThread; do
  if printf '%s\n' "$symbols" | grep -q "$internal"; then
    echo "internal class $internal is exported"; exit 1
  fi
done
for needed in 'TUKHttpService::staticMetaObject' 'getCloudInfo()' 'setCloudInfo(TUKCloudInfo const&)'; do
  printf '%s\n' "$symbols" | grep -q -F "$needed" || { echo "missing export: $needed"; exit 1; }
done
echo "exports ok: $(printf '%s\n' "$symbols" | wc -l) symbols"
