#!/usr/bin/env bash
# Builds the product's MSI with wixl from the staged trees of the two Windows presets.
#
# usage: tools/build-msi.sh [--version X.Y.Z] [--jre DIR] [--jar FILE] [--sign CERT.pem KEY.pem]
#                           [--timestamp URL] [--help-url URL] [--about-url URL]
#                           [--output FILE] [--stage32 DIR] [--stage64 DIR]
#   --version  product version, major.minor.build up to 255.255.65535 (default: the version the
#              win32 stage's binaries carry, stage/version.txt); a newer version, or a rebuild of
#              the same one, replaces the installed one
#   --jre      folder of the accompanying Java runtime, installed as jre\ (default: none)
#   --jar      the Java application's qlopgp.jar, installed beside the launcher (default: none)
#   --sign     Authenticode-sign every binary of ours and the MSI with osslsigncode
#   --timestamp  with --sign: an RFC 3161 time-stamping server's URL, so that the signatures stay
#              valid after the certificate expires (release builds should give one)
#   --help-url, --about-url  Add/Remove Programs' help and about links (default: the installed
#              help page)
#   --output   the MSI (default build/msi/QuilloraOpenPGP-<version>.msi)
#   --stage32  the win32 stage (default build/win32/stage): launcher, bridge, monitor, extension
#   --stage64  the win64 stage (default build/win64/stage): QLPGPShellExt64.dll
#        tools/build-msi.sh --check FILE
#   checks the order of a built package's InstallExecuteSequence (as every build does) and exits
#   non-zero, saying why, when it is not InstallInitialize < RemoveExistingProducts <
#   StopTrayMonitor < RemoveFiles < InstallFinalize.
# Paths are taken relative to the current folder. Build both presets first (cmake --build --preset
# win32, and win64). The host tool rgs_to_wxs, which turns the extension's registration scripts
# into the MSI's registry rows, is built here in the host preset.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  echo "usage: $0 [--version X.Y.Z] [--jre DIR] [--jar FILE] [--sign CERT KEY] [--timestamp URL]" \
    "[--help-url URL] [--about-url URL] [--output FILE] [--stage32 DIR] [--stage64 DIR]" >&2
  exit 2
}
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }

# check_sequence <msi>: the built sequence, as Windows Installer will run it. The monitor must be
# stopped inside the installation script (a deferred action elsewhere fails every removal, error
# 2762), after the older product's removal and before the files go. Says why and fails otherwise.
check_sequence() {
  local sequence previous=0 previous_action=start action number
  local order=(InstallInitialize RemoveExistingProducts StopTrayMonitor RemoveFiles InstallFinalize)
  sequence=$(msiinfo export "$1" InstallExecuteSequence | tr -d '\r' | awk -F'\t' 'NR > 3 { print $1 "=" $3 }') || return 1
  for action in "${order[@]}"; do
    number=$(sed -n "s/^$action=//p" <<<"$sequence")
    if ! [[ "$number" =~ ^[0-9]+$ ]] || (( number <= previous )); then
      echo "build-msi: refused $1: $action at ${number:-no place}, not after $previous_action ($previous);" \
        "the order must be ${order[*]}" >&2
      return 1
    fi
    previous=$number previous_action=$action
  done
}
# tools/build-msi.sh --check FILE: only the sequence check, on a package built before.
if [ "${1:-}" = --check ]; then
  [ $# = 2 ] || usage
  check_sequence "$2"
  exit
fi

version= jre= jar= cert= key= timestamp= output=
help_link='[INSTALLDIR]help\index.htm' about_link='[INSTALLDIR]help\index.htm'
stage32=$root/build/win32/stage stage64=$root/build/win64/stage
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case "$1" in
  --version) version=$2; shift 2 ;;
  --jre) jre=$(absolute "$2"); shift 2 ;;
  --jar) jar=$(absolute "$2"); shift 2 ;;
  --sign) [ $# -ge 3 ] || usage; cert=$(absolute "$2") key=$(absolute "$3"); shift 3 ;;
  --timestamp) timestamp=$2; shift 2 ;;
  --help-url) help_link=$2; shift 2 ;;
  --about-url) about_link=$2; shift 2 ;;
  --output) output=$(absolute "$2"); shift 2 ;;
  --stage32) stage32=$(absolute "$2"); shift 2 ;;
  --stage64) stage64=$(absolute "$2"); shift 2 ;;
  *) usage ;;
  esac
done
cd "$root"
[ -z "$timestamp" ] || [ -n "$cert" ] || { echo "build-msi: --timestamp needs --sign" >&2; exit 2; }
# The version the binaries carry (their version resource), written by the win32 build's stage.
built_version=$(cat "$stage32/version.txt" 2>/dev/null || true)
version=${version:-${built_version:-1.0.0}}
if [ -n "$built_version" ] && [ "$built_version" != "$version" ]; then
  echo "build-msi: warning: the binaries carry version $built_version, the package is $version" >&2
fi
if ! [[ "$version" =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] ||
   (( BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 || BASH_REMATCH[3] > 65535 )); then
  echo "build-msi: the version must be major.minor.build, at most 255.255.65535: $version" >&2
  exit 2
fi
output=${output:-$root/build/msi/QuilloraOpenPGP-$version.msi}
for f in "$stage32"/bin/{QuilloraOpenPGP.exe,QLPGPUtils.dll,QLOPGPMonitor.exe,QLPGPShellExt.dll} \
         "$stage32/help/index.htm" "$stage64/bin/QLPGPShellExt64.dll" ${jar:+"$jar"}; do
  [ -f "$f" ] || { echo "build-msi: missing $f (build the win32 and win64 presets first)" >&2; exit 1; }
done
[ -z "$jre" ] || [ -d "$jre" ] || { echo "build-msi: no runtime folder $jre" >&2; exit 1; }
for tool in wixl wixl-heat msibuild; do
  command -v $tool >/dev/null || { echo "build-msi: $tool not found (tools/setup.sh installs wixl and msitools)" >&2; exit 1; }
done

# The registry generator, a host program over the extension's own script parser.
if [ ! -f build/host/build.ninja ]; then
  cmake --preset host >build/host.configure.log 2>&1 || { cat build/host.configure.log; exit 1; }
fi
cmake --build --preset host --target rgs_to_wxs >/dev/null
generator=build/host/installer/rgs_to_wxs

work=$(mktemp -d "$root/build/msi-work.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin32" "$work/bin64" "$work/gen" "$(dirname "$output")"
cp "$stage32"/bin/{QuilloraOpenPGP.exe,QLPGPUtils.dll,QLOPGPMonitor.exe,QLPGPShellExt.dll} "$work/bin32/"
cp "$stage64/bin/QLPGPShellExt64.dll" "$work/bin64/"

scripts=(QLPGPShellExt/scripts/AppID.rgs QLPGPShellExt/scripts/QLPGPLaunchExt.rgs)
"$generator" QLPGPShellExt.dll "${scripts[@]}" >"$work/gen/registry-32.wxi"
"$generator" QLPGPShellExt64.dll "${scripts[@]}" >"$work/gen/registry-64.wxi"

# The application's jar and the runtime's files (neither is ours: never signed here), or empty
# component groups.
if [ -n "$jar" ]; then
  cp "$jar" "$work/qlopgp.jar"
  application='<DirectoryRef Id="BinDir"><Component Id="ApplicationJar" Guid="7B4F5952-31EB-4302-BEA5-5FA805B894C9" Win64="no"><File Id="qlopgp.jar" Name="qlopgp.jar" Source="qlopgp.jar" KeyPath="yes"/></Component></DirectoryRef><ComponentGroup Id="ApplicationJar"><ComponentRef Id="ApplicationJar"/></ComponentGroup>'
else
  application='<ComponentGroup Id="ApplicationJar"/>'
fi
printf '%s\n' '<?xml version="1.0" encoding="utf-8"?>' \
  "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\"><Fragment>$application</Fragment></Wix>" >"$work/jar.wxs"
if [ -n "$jre" ]; then
  ln -s "$jre" "$work/jre"
  (cd "$work" && find jre/ -type f | sort) |
    wixl-heat --prefix jre/ --directory-ref JreDir --component-group JreFiles --var var.Jre >"$work/jre.wxs"
else
  printf '%s\n' '<?xml version="1.0" encoding="utf-8"?>' \
    '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment><ComponentGroup Id="JreFiles"/></Fragment></Wix>' \
    >"$work/jre.wxs"
fi

sign() {  # sign <file>: Authenticode signature in place, time-stamped when a server is given
  osslsigncode sign -certs "$cert" -key "$key" -n "Quillora OpenPGP" -h sha256 ${timestamp:+-ts "$timestamp"} \
    -in "$1" -out "$1.signed" >/dev/null
  mv "$1.signed" "$1"
}
if [ -n "$cert" ]; then
  for f in "$work"/bin32/* "$work"/bin64/*; do sign "$f"; done
fi

# wixl finds sources relative to its working folder only: every input is laid out in $work.
cp -r "$stage32/help" "$work/help"
(cd "$work" && wixl -a x64 -o "$output" \
  -D Version="$version" -D Bin32=bin32 -D Bin64=bin64 -D Help=help -D Gen=gen -D Jre=jre \
  -D HelpLink="$help_link" -D AboutLink="$about_link" \
  "$root/installer/QuilloraOpenPGP.wxs" jar.wxs jre.wxs) 2> >(grep -v 'g_object_set_is_valid_property\|^$' >&2)
# wixl schedules the removal of an older version after InstallFinalize; the older product goes
# first instead, so its monitor is stopped and its files are removed before the new ones are written.
# And the upgrade row includes the package's own version, so that a rebuild of the same version
# (another product code) replaces the installed one instead of installing beside it. A column of
# the Upgrade table's key cannot be updated: the row is written anew.
# The default of ".pgp" and ".asc" only where no other program owns it (installer/QuilloraOpenPGP.wxs;
# wixl writes no component conditions). The condition holds on removal too: a component whose
# condition is false then is not removed but left behind, still registered to the product.
for pair in PGP:PgpDefault ASC:AscDefault; do
  owner=QL_${pair%%:*}_OWNER component=${pair#*:}
  msibuild "$output" -q "UPDATE \`Component\` SET \`Condition\` = 'NOT $owner OR $owner = \"QuilloraOpenPGP.File\" OR REMOVE~=\"ALL\"' WHERE \`Component\` = '$component'"
done
upgrade_code=$(msiinfo export "$output" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1 }')
[ -n "$upgrade_code" ] || { echo "build-msi: no upgrade row in $output" >&2; exit 1; }
msibuild "$output" -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1501 WHERE \`Action\` = 'RemoveExistingProducts'" \
  -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"

check_sequence "$output" || { rm -f "$output"; exit 1; }
msiinfo export "$output" Upgrade | tr -d '\r' | awk -F'\t' -v v="$version" '$3 == v && $5 == 513 { found = 1 } END { exit !found }' ||
  { echo "build-msi: refused $output: the upgrade row does not include $version" >&2; rm -f "$output"; exit 1; }

if [ -n "$cert" ]; then sign "$output"; fi
echo "$output"
