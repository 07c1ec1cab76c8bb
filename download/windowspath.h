#pragma once

#include <QString>
#include <string>

// Windows refuses a path of more than 260 characters unless it comes in its long form,
// "\\?\C:\..." or "\\?\UNC\server\share\...". The system takes that form literally: it turns no
// "/" into "\", resolves no "." or "..", completes no relative path. So every path handed to a
// Win32 file function is made whole here first, and nowhere else.
namespace WindowsPath {

// The long form of path, made absolute against currentDir (an absolute path itself, either
// separator). Pure text work, so that it reads the same on any platform. A path already in the
// long or the device form ("\\?\", "\\.\") is taken as it is; ".." never climbs above the drive
// or the share. Empty when path names nothing (empty, or a share without its name).
QString longForm(const QString &path, const QString &currentDir);

// The long form against the process's current directory, as the W functions take it.
std::wstring native(const QString &path);

} // namespace WindowsPath
