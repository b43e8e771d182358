// Finds the files of a launcher tree and checks, before anything is read or
// compressed, that the package they make is one the bootstrapper accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvanthelm::pack {

struct TreeFile {
    std::string path;  // relative to the tree, UTF-8 bytes, '/' between components
    std::uint64_t size;
};

struct LauncherTree {
    std::vector<TreeFile> files;  // sorted by path bytes: the package's entry order
    std::uint64_t table_size;     // size of the package table these files make
    // Folders with no file anywhere below them, outermost only: the package
    // holds files only, so these are left out (the caller warns).
    std::vector<std::string> dropped_directories;
};

// Walks `root` without following any link. Throws PackError, naming the
// offending path, for: a symbolic link or anything but a regular file or
// folder; a name that is not well-formed UTF-8; a path over 65535 bytes; an
// entry path the bootstrapper would refuse as unsafe, or whose duplicate key
// (ASCII case folded) an earlier entry already has; two paths that Windows
// would fold into one name (Unicode simple case folding): two files, a file
// and a folder, or one folder spelled two ways; more than 10000 files; no
// file at all; a package table over 0x80000000 bytes; any failure to read a
// folder.
LauncherTree ScanLauncherTree(const std::string& root);

}  // namespace korvanthelm::pack
