// The demo set-up program's one job: install the demo launcher for the
// current user where the bootstrapper's installed-launcher check looks.
//
//   <LOCALAPPDATA>\KORVANTHELM\Launcher\KorvanThelmLauncher.exe
//   <LOCALAPPDATA>\KORVANTHELM\Launcher\app\KorvanThelm.jar
//   <LOCALAPPDATA>\KORVANTHELM\Launcher\app\launcher.build   the jar's SHA-256
//   <APPDATA>\KORVANTHELM\launcher.path                      the exe's full path
#pragma once

#include <string>

namespace korvanthelm::demo {

// Copies launcher\KorvanThelmLauncher.exe and launcher\app\KorvanThelm.jar from
// `source_folder` (the set-up program's own folder), then writes the launcher
// record and, last, the build mark. Returns the installed exe's full path.
//
// Both sources are read and hashed before anything is written, so a missing
// source changes nothing. Every file is replaced whole (ReplaceFileContents),
// and the build mark comes last: an interrupted run leaves either the old
// mark or none beside files it does not describe, never a mark beside a torn
// jar. Throws DemoFailure.
std::wstring InstallDemoLauncher(const std::wstring& source_folder,
                                 const std::wstring& local_app_data, const std::wstring& app_data);

// The update request file, <APPDATA>\KORVANTHELM\update.request.
std::wstring UpdateRequestPath(const std::wstring& app_data);

// Removes the update request (a file, or an empty folder of that name) once an
// update has been installed, so the next start takes the installed launcher.
// true: it was removed; false: there was none. Throws DemoFailure when it
// exists and cannot be removed, and refuses links (removing one under some
// systems removes what it points to).
bool RemoveUpdateRequest(const std::wstring& app_data);

}  // namespace korvanthelm::demo
