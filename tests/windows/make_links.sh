#!/bin/sh
# CTest fixture: links that Wine cannot make from the Windows side.
#   $1/target/keep.txt          a non-empty folder outside the trees under test
#   $1/file.txt                 a plain file ("abc")
#   $1/dirlink  -> target       a directory link (Wine shows it as a reparse point)
#   $1/filelink -> file.txt     a file link (Wine shows it as a plain file)
#   $1/tree/a.txt, $1/tree/sub/b.txt, $1/tree/sub/dirlink -> ../../target
#                               a tree to remove that holds a directory link
#   $1/planted/a -> ../target   a work directory with a planted folder link
#   $1/names/plain.txt ("abc"), $1/names/dot., $1/names/"space ", $1/names/sub/,
#   $1/names/dirlink -> ../target
#                               names a folder the tree walk holds may meet
set -e
d="$1"
rm -rf "$d"
mkdir -p "$d/target" "$d/tree/sub"
echo keep > "$d/target/keep.txt"
printf abc > "$d/file.txt"
ln -s target "$d/dirlink"
ln -s file.txt "$d/filelink"
echo a > "$d/tree/a.txt"
echo b > "$d/tree/sub/b.txt"
ln -s ../../target "$d/tree/sub/dirlink"
# A work directory whose folder "a" is a link planted to lead outside.
mkdir -p "$d/planted"
ln -s ../target "$d/planted/a"
# Names ending in a dot or a space, which no Windows program can make.
mkdir -p "$d/names/sub"
printf abc > "$d/names/plain.txt"
printf dot > "$d/names/dot."
printf space > "$d/names/space "
ln -s ../target "$d/names/dirlink"
