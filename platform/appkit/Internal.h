#pragma once
// Shared between the files of the application framework; not for its users.

namespace appkit_detail {
// The process is a program started through NSApplicationMain: from now on
// the workspace starts real programs, unless sim::Workspace was told
// otherwise.
void programStarted();
}  // namespace appkit_detail
