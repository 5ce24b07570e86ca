#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Java library as an application's build meets it: installed into a throwaway local
# repository (Debian's, as symlinks, so that Maven stays offline and writes nothing
# outside OUT_DIR), named as a dependency by the project beside this script, which
# compiles the README's line against it. An application that requires the library as a
# module (modular/) is linked into a runtime image of its own with jlink, and runs from
# it. Then, under Wine, that project's program opens a client on the program the
# dependency carries, hears a redraw after a broadcast and closes; the helper must end
# with it.
#
#   run.sh WINE_ENV_DIR TRAYREDRAW_EXE TRAYTOOL_EXE OUT_DIR VERSION
set -euo pipefail

usage="usage: run.sh WINE_ENV_DIR TRAYREDRAW_EXE TRAYTOOL_EXE OUT_DIR VERSION"
env_dir=${1:?$usage}
helper=${2:?$usage}
traytool=${3:?$usage}
out=${4:?$usage}
version=${5:?$usage}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
winenv="$root/tests/wine/winenv.sh"

readme_line='TrayIconKeeper keeper = TrayIconKeeper.add(icon);'
grep -qF "$readme_line" "$root/README.md" && grep -qF "$readme_line" "$here/src/main/java/org/trayredraw/consumer/Consumer.java" ||
  { echo "java consumer: README.md and Consumer.java must both show: $readme_line" >&2; exit 1; }

# Maven takes a relative folder from the pom's, not from here.
program_dir=$(cd "$(dirname "$helper")" && pwd)
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
repo="$out/repository"
cp -rs /usr/share/maven-repo "$repo"
mvn_offline=(mvn -B -o -q -ntp -Dstyle.color=never -Dmaven.repo.local="$repo")

# The library as it is published (jar with this build's program, sources, javadoc, pom),
# then the application that depends on it.
"${mvn_offline[@]}" -f "$root/clients/java/pom.xml" -DskipTests \
  -Dtrayredraw.buildDirectory="$out/library" -Dtrayredraw.program.dir="$program_dir" install
"${mvn_offline[@]}" -f "$here/pom.xml" \
  -Dconsumer.buildDirectory="$out/consumer" -Dtrayredraw.version="$version" compile
jar="$repo/org/trayredraw/trayredraw-client/$version/trayredraw-client-$version.jar"
echo "java consumer: compiled against $jar"

# jlink takes explicit modules only: the library's descriptor, in the multi-release jar,
# makes it one. The image holds what the application requires, and what the library does.
jdk=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
[ -d "$jdk/jmods" ] || { echo "java consumer: no $jdk/jmods for jlink; run scripts/bootstrap.sh" >&2; exit 1; }
javac --module-path "$jar" -d "$out/modular" "$here/modular/module-info.java" \
  "$here/modular/org/trayredraw/modular/Main.java"
"$jdk/bin/jlink" --module-path "$jdk/jmods:$jar:$out/modular" --add-modules org.trayredraw.modular --output "$out/image"
said=$("$out/image/bin/java" -m org.trayredraw.modular/org.trayredraw.modular.Main /bin/true)
echo "java consumer: from a jlink image: $said"
[[ "$said" == "org.trayredraw.client listened on port "*"; jdk.security.auth in the image: true" ]] ||
  { echo "java consumer: the library did not run as a module in the image" >&2; exit 1; }

eval "$("$winenv" env "$env_dir")"
tool() { "$winenv" run "$env_dir" "$traytool" "$@"; }
set +e
tool wait-gone 0 >/dev/null
probe=$?
set -e
case $probe in
  0) ;;
  1) echo "java consumer: a helper from elsewhere is running; not starting" >&2; exit 1 ;;
  *) echo "java consumer: traytool does not run under Wine (exit $probe)" >&2; exit 1 ;;
esac

app=""
# Whatever happens, the application and any helper it left are gone when this ends.
clean_up() {
  local code=$?
  if [ -n "$app" ] && kill -0 "$app" 2>/dev/null; then
    kill "$app" 2>/dev/null || true
    wait "$app" 2>/dev/null || true
  fi
  if ! tool wait-gone 5000 >/dev/null; then
    echo "java consumer: a helper was left running; closing it" >&2
    tool post close >/dev/null || true
    tool wait-gone 10000 >/dev/null || true
    code=1
  fi
  exit "$code"
}
trap clean_up EXIT

# What the application launches as its program: the copy it makes, run under Wine.
printf '#!/bin/sh\nexec %q %q "$@"\n' "$WINE" "$out/trayredraw.exe" >"$out/trayredraw-wine"
chmod +x "$out/trayredraw-wine"
java -cp "$out/consumer/classes:$jar" org.trayredraw.consumer.Consumer "$out/trayredraw.exe" "$out/trayredraw-wine" &
app=$!
tool wait-helper 10000 || { echo "java consumer: the application's start made no helper" >&2; exit 1; }
tool broadcast
status=0
wait "$app" || status=$?
app=""
[ "$status" -eq 0 ] || { echo "java consumer: the application failed (exit $status)" >&2; exit 1; }
tool wait-gone 10000 || { echo "java consumer: the helper outlived its only client" >&2; exit 1; }
echo "java consumer: redraw heard through the dependency; the helper ended with its client"
