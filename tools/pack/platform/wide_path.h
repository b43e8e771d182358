// Text at the Windows API: the packer carries paths and messages as UTF-8
// std::string (as on Linux) and turns them into UTF-16 only where it calls
// the system. Windows only.
#pragma once

#include <string>
#include <string_view>

namespace korvanthelm::pack {

// UTF-16 of the UTF-8 `text`; a malformed sequence becomes U+FFFD. Never throws
// but std::bad_alloc.
std::wstring WideFromUtf8(std::string_view text);

// UTF-8 of the UTF-16 `text`. A lone surrogate (a name Windows allows and
// UTF-16 does not) becomes its three-byte generalized form, which no strict
// UTF-8 decoder accepts: such a name reaches the path rules as invalid
// instead of as a lookalike.
std::string Utf8FromWide(std::wstring_view text);

// `path` for the file APIs: UTF-16, '/' turned into '\', and a path too long
// for the classic limit made absolute and given the "\\?\" prefix (which also
// turns off the system's own rewriting of the name, so it must be complete
// first). A path that already has the prefix is left as it is.
std::wstring WidePath(const std::string& path);

// WidePath's path made absolute ("." and ".." resolved by the system), for
// comparing two spellings of one place; empty when the system cannot.
std::wstring FullWidePath(const std::string& path);

// `folder` + '\' + `name` (name in UTF-8), long-path prefixed as WidePath
// does, for opening what lies inside a folder already open.
std::wstring WideChildPath(const std::wstring& folder, const std::string& name);

// ERROR_STOPPED_ON_SYMLINK ("The create operation stopped after reaching a
// symbolic link"), which mingw-w64's headers lack: what an open that refuses
// a reparse point reports, as O_NOFOLLOW's ELOOP does on Linux.
inline constexpr unsigned long kStoppedOnLinkError = 681;

// The system's text for a Win32 error code, in UTF-8, without the trailing
// line break and full stop; "error N" when the system has none.
std::string WindowsErrorText(unsigned long error);

}  // namespace korvanthelm::pack
