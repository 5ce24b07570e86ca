#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Java library as an application's build meets it, by the README's recipe: installed
# into a repository of the user's own (Debian's as symlinks, so that Maven stays offline
# and writes nothing outside OUT_DIR), named as a dependency by the project beside this
# script, which compiles the README's lines against it and runs. An application that
# requires the library as a module (modular/) is linked into a runtime image of its own
# with jlink, and runs from it. And in each deployment (class path, module path, the
# image) the library opens a file with the share modes that hold its program on Windows:
# they must be there, for this system to refuse them.
#
#   run.sh OUT_DIR VERSION PROGRAM_DIR    PROGRAM_DIR: where the build put trayredraw.exe
set -euo pipefail

usage="usage: run.sh OUT_DIR VERSION PROGRAM_DIR"
out=${1:?$usage}
version=${2:?$usage}
program_dir=$(cd "${3:?$usage}" && pwd)  # Maven takes a relative folder from the pom's
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

for line in 'TrayIconKeeper keeper = TrayIconKeeper.add(icon);' 'TrayIconKeeper.add(() -> new TrayIcon(image, "App"), null)'; do
  grep -qF "$line" "$root/README.md" && grep -qF "$line" "$here/src/main/java/org/trayredraw/consumer/Consumer.java" ||
    { echo "java consumer: README.md and Consumer.java must both show: $line" >&2; exit 1; }
done

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
java -cp "$out/consumer/classes:$jar" org.trayredraw.consumer.Consumer | tee "$out/consumer.out"
grep -qx "consumer: the dependency carries trayredraw.exe: true" "$out/consumer.out" ||
  { echo "java consumer: the dependency carries no program" >&2; exit 1; }

# jlink takes explicit modules only: the library's descriptor, in the multi-release jar,
# makes it one. The image holds what the application requires, and what the library does.
jdk=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
[ -d "$jdk/jmods" ] || { echo "java consumer: no $jdk/jmods for jlink; run scripts/bootstrap.sh" >&2; exit 1; }
javac --module-path "$jar" -d "$out/modular" "$here/modular/module-info.java" \
  "$here/modular/org/trayredraw/modular/Main.java"
"$jdk/bin/jlink" --module-path "$jdk/jmods:$jar:$out/modular" --add-modules org.trayredraw.modular --output "$out/image"
said=$("$out/image/bin/java" -m org.trayredraw.modular/org.trayredraw.modular.Main)
echo "java consumer: from a jlink image: $said"
[ "$said" = "org.trayredraw.client refused a client off Windows: yes; in the image: jdk.security.auth true, jdk.unsupported true" ] ||
  { echo "java consumer: the library did not run as a module in the image" >&2; exit 1; }

# The share modes, from inside the library in each deployment.
javac -cp "$jar" -d "$out/hold" "$here/hold/org/trayredraw/client/HoldProbe.java"
patch=(--patch-module "org.trayredraw.client=$out/hold")
probe=org.trayredraw.client/org.trayredraw.client.HoldProbe
for deployment in "class path" "module path" "jlink image"; do
  case $deployment in
    "class path") said=$(java -cp "$jar:$out/hold" org.trayredraw.client.HoldProbe) ;;
    "module path") said=$(java --module-path "$jar" "${patch[@]}" -m "$probe") ;;
    "jlink image") said=$("$out/image/bin/java" "${patch[@]}" -m "$probe") ;;
  esac
  echo "java consumer: the program's hold on the $deployment: $said"
  [ "$said" = "refused here: NOSHARE_WRITE NOSHARE_DELETE" ] ||
    { echo "java consumer: on the $deployment the library would hold its program against nothing" >&2; exit 1; }
done
