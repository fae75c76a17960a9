#!/usr/bin/env bash
# Makes the 64-bit Windows setup (NSIS) from a Windows build: stripped copies of the programs,
# the sample beside the demo, README with its docs/, and LICENSE, into
# "Program Files\PRAVUNE Loader".
#   packaging/windows/make-installer.sh BUILD_DIR [SETUP_EXE]
#       [--loader EXE] [--demo EXE] [--cli EXE]
# The programs are looked for in BUILD_DIR unless given; a missing one stops it, by name.
# SETUP_EXE defaults to BUILD_DIR/pravune-loader-VERSION-setup.exe. Needs makensis (nsis) and
# x86_64-w64-mingw32-strip (binutils-mingw-w64-x86-64).
set -euo pipefail
source=$(realpath "$(dirname "$0")/../..")
usage="usage: $0 BUILD_DIR [SETUP_EXE] [--loader EXE] [--demo EXE] [--cli EXE]"
positional=()
declare -A given=()
while [ $# -gt 0 ]; do
    case $1 in
        --loader | --demo | --cli)
            [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
            given[${1#--}]=$2
            shift 2
            ;;
        -*) echo "$usage" >&2; exit 2 ;;
        *) positional+=("$1"); shift ;;
    esac
done
[ ${#positional[@]} -ge 1 ] && [ ${#positional[@]} -le 2 ] || { echo "$usage" >&2; exit 2; }
build=$(realpath "${positional[0]}")
# The version the build was configured with (project() in the top-level CMakeLists.txt).
header=$build/generated/pravune_version.h
version=$(sed -n 's/^#define PRAVUNE_VERSION "\(.*\)"$/\1/p' "$header" 2> /dev/null)
[ -n "$version" ] || { echo "no version in $header: configure $build first" >&2; exit 1; }
setup=${positional[1]:-$build/pravune-loader-$version-setup.exe}

# A program of the build: the one given, else the only one of that name in the build folder
# (outside its Wine folder, where an installed copy may lie).
find_program() {
    local role=$1 name=$2
    if [ -n "${given[$role]:-}" ]; then
        [ -f "${given[$role]}" ] || { echo "$name: ${given[$role]} does not exist" >&2; return 1; }
        realpath "${given[$role]}"
        return
    fi
    local found
    mapfile -t found < <(find "$build" -path "$build/wine" -prune -o -type f -name "$name" -print)
    if [ ${#found[@]} -eq 0 ]; then
        echo "$name is missing from $build: build it first (the target ${name%.exe})" >&2
        return 1
    fi
    if [ ${#found[@]} -gt 1 ]; then
        echo "$name: more than one in $build (${found[*]}); name one with --$role" >&2
        return 1
    fi
    echo "${found[0]}"
}
loader=$(find_program loader pravune-loader.exe)
demo=$(find_program demo pravune-loader-demo.exe)
cli=$(find_program cli pravune-cli.exe)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for program in "$loader" "$demo" "$cli"; do
    x86_64-w64-mingw32-strip -o "$stage/$(basename "$program")" "$program"
done
cp "$source/examples/pravune-sample.hex" "$source/README.md" "$stage/"
mkdir "$stage/docs"
cp "$source"/docs/{operator,scripting,administration,developer}.md "$stage/docs/"
# Notepad reads either line ending today, older ones only CR LF.
sed 's/\r*$/\r/' "$source/LICENSE" > "$stage/LICENSE.txt"

mkdir -p "$(dirname "$setup")"
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$(realpath -m "$setup")" \
    "$source/packaging/windows/pravune-loader.nsi"
echo "$setup"
