#pragma once
// The D-Bus activation file through which the session bus starts the server when a
// client first calls it: the registration of the server.
#include <filesystem>
#include <optional>
#include <string>

namespace quorvan::host {

// $XDG_DATA_HOME/dbus-1/services, where XDG_DATA_HOME defaults to ~/.local/share (a
// relative XDG_DATA_HOME is ignored, as the base-directory rules say). `home` is the
// home directory to use for the default.
std::filesystem::path ServiceDirectory(const std::optional<std::string>& xdgDataHome,
                                       const std::filesystem::path& home);
// The same from this process's environment.
std::filesystem::path ServiceDirectoryFromEnvironment();

// The file's text for a server at `executable` (an absolute path).
std::string ServiceFileText(const std::filesystem::path& executable);

// Writes the file into `directory` (created if needed) and returns its path. Throws
// std::filesystem::filesystem_error or std::runtime_error.
std::filesystem::path WriteServiceFile(const std::filesystem::path& directory,
                                       const std::filesystem::path& executable);
// Removes it; false when there was none.
bool RemoveServiceFile(const std::filesystem::path& directory);

}  // namespace quorvan::host
