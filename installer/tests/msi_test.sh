#!/usr/bin/env bash
# The MSI end to end: builds an older (1.0.0), a newer (1.0.1) and a rebuilt newer (1.0.1 again,
# another product code) package from the win32 and win64 stages, signed with a test certificate made
# here, with the test Java runtime as their jre\ and a stand-in application jar; checks that a package
# with the monitor's stop action out of order is refused; verifies every signature against the test
# CA and that our binaries ship stripped; then, in a fresh 64-bit Wine prefix, lets
# build/win64/bin/msi_test.exe install, upgrade, open a file through the association and uninstall
# (installer/README.md lists what it checks).
# Needs both presets built (tools/test.sh runs it after them). Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
started=$(date +%s)
out=$root/build/msi-test
prefix=$out/wineprefix
checker=build/win64/bin/msi_test.exe
for f in "$checker" build/win32/testjre/bin/java.exe build/win32/testjre/bin/javaw.exe; do
  [ -f "$f" ] || { echo "msi_test: missing $f (build the win64 and win32 presets first)" >&2; exit 1; }
done
rm -rf "$out"
mkdir -p "$out/pki"

# A test CA and a code-signing certificate it issued; made here, used only here.
pki=$out/pki
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillora Test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
  -keyout "$pki/ca.key" -out "$pki/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=Quillora Test Signer" \
  -keyout "$pki/signer.key" -out "$pki/signer.csr" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$pki/ext"
openssl x509 -req -in "$pki/signer.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" -CAcreateserial -days 2 \
  -extfile "$pki/ext" -out "$pki/signer.pem" 2>/dev/null

# The application's jar: a stand-in, as in the demo (the runtime double does not read it).
: >"$out/qlopgp.jar"
for name in 1.0.0 1.0.1 1.0.1-rebuilt; do
  tools/build-msi.sh --version "${name%-rebuilt}" --jre build/win32/testjre --jar "$out/qlopgp.jar" \
    --sign "$pki/signer.pem" "$pki/signer.key" --output "$out/QuilloraOpenPGP-$name.msi" >/dev/null 2>"$out/build.log" ||
    { cat "$out/build.log"; exit 1; }
done

# The sequence check refuses a package whose stop action lies outside the installation script.
cp "$out/QuilloraOpenPGP-1.0.1.msi" "$out/misordered.msi"
msibuild "$out/misordered.msi" -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1 WHERE \`Action\` = 'StopTrayMonitor'"
if tools/build-msi.sh --check "$out/misordered.msi" 2>/dev/null; then
  echo "msi_test: a package with StopTrayMonitor at sequence 1 was not refused" >&2; exit 1
fi

# Every binary of ours in the package, and the package itself, carry a signature that the test CA
# verifies; the runtime's files and the jar are not ours and stay unsigned.
msiextract -C "$out/extracted" "$out/QuilloraOpenPGP-1.0.1.msi" >/dev/null
signed=0
while IFS= read -r -d '' f; do
  osslsigncode verify -CAfile "$pki/ca.pem" -in "$f" >"$out/verify.log" 2>&1 ||
    { cat "$out/verify.log"; echo "msi_test: signature of $f not verified" >&2; exit 1; }
  signed=$((signed + 1))
done < <(printf '%s\0' "$out/QuilloraOpenPGP-1.0.1.msi"
         find "$out/extracted" -type f \( -name QuilloraOpenPGP.exe -o -name QLPGPUtils.dll -o -name QLOPGPMonitor.exe \
           -o -name QLPGPShellExt.dll -o -name QLPGPShellExt64.dll \) -print0)
[ $signed = 6 ] || { echo "msi_test: expected 6 signed files, verified $signed" >&2; exit 1; }
# Our binaries ship without symbols and debugging sections, with a link to their debugging data.
while IFS= read -r -d '' f; do
  sections=$(x86_64-w64-mingw32-objdump -h "$f")
  if grep -q '\.debug_' <<<"$sections" || ! grep -q '\.gnu_debuglink' <<<"$sections" ||
     x86_64-w64-mingw32-objdump -t "$f" | grep -q '^\[ *[0-9]*\]'; then
    echo "msi_test: $f is not stripped, or has no debug link" >&2; exit 1
  fi
done < <(find "$out/extracted" -type f -name 'Q*' \( -name '*.exe' -o -name '*.dll' \) -print0)
echo "msi_test: three packages built and checked, $signed signatures verified in $(( $(date +%s) - started )) s"

# A fresh prefix (both registry views), its own server; no menu entries on the host for shortcuts.
export WINEDLLOVERRIDES=winemenubuilder.exe=d
step=$(date +%s)
QL_FRESH_PREFIX=1 tools/wine-session.sh start "$prefix" >/dev/null
trap 'tools/wine-session.sh stop "$prefix" >/dev/null' EXIT
echo "msi_test: fresh prefix in $(( $(date +%s) - step )) s"
step=$(date +%s)
win_path() { echo "Z:$1" | tr / '\\'; }
status=0
QL_MSI_OLD=$(win_path "$out/QuilloraOpenPGP-1.0.0.msi") QL_MSI_NEW=$(win_path "$out/QuilloraOpenPGP-1.0.1.msi") \
QL_MSI_REBUILD=$(win_path "$out/QuilloraOpenPGP-1.0.1-rebuilt.msi") \
QL_STAGE32_BIN=$(win_path "$root/build/win32/stage/bin") QL_STAGE64_BIN=$(win_path "$root/build/win64/stage/bin") \
  tools/wine-run.sh 64 "$prefix" "$checker" || status=$?
echo "msi_test: install, upgrade, association and uninstall in $(( $(date +%s) - step )) s"
echo "msi_test: $( [ $status = 0 ] && echo passed || echo FAILED ) in $(( $(date +%s) - started )) s"
exit $status
