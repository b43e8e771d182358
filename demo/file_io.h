// Whole-file reads and crash-safe replacement for the demo installation.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace korvanthelm::demo {

// The file's bytes, read whole. Throws DemoFailure when it cannot be opened
// or read, or is larger than 256 MiB (the most the bootstrapper will hash).
std::vector<std::byte> ReadWholeFile(const std::wstring& path);

// Makes `path` hold exactly `bytes`: they are written and flushed under the
// name `path` + ".partial", which then replaces `path` in one rename. So
// `path` is always either its old content or the new, never a torn mix.
// Throws DemoFailure; the temporary file is removed again on failure and
// `path` keeps its old content.
void ReplaceFileContents(const std::wstring& path, std::span<const std::byte> bytes);

}  // namespace korvanthelm::demo
