// The demo's report: %LOCALAPPDATA%\KORVANTHELM\demo.log, one UTF-8 line per
// event, appended by both demo programs. It is how a person (or a test) sees
// which road a run of the bootstrapper took.
#pragma once

#include <string>
#include <string_view>

namespace korvanthelm::demo {

// The log's path for the given local app-data folder.
std::wstring DemoLogPath(const std::wstring& local_app_data);

// Appends `line` and CR LF to the log in one write, creating the file and its
// folder when missing. Other processes may append at the same time: the file
// is opened for appending only and shared, so lines do not overwrite each
// other. false: nothing was written (no local app-data folder, or the platform
// refused); the caller's own work is not affected.
bool AppendDemoLog(std::wstring_view line);

}  // namespace korvanthelm::demo
