#include "app/terminateprocesses.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

// A process counts as the named program when the text occurs in the base name of its executable
// (/proc/PID/exe) or in its command name (/proc/PID/comm). The executable alone misses scripts:
// for "./Trelvox.exe" it is the interpreter, while the command name is the script's. The command
// name alone misses names longer than the kernel keeps (15 characters). The command line is not
// used: a script's first element is its interpreter, and any element may be changed or name
// anything.

namespace {

// An ended process must let go of its files before they are replaced, but a process stuck in
// the kernel must not hang the update.
constexpr auto goneTimeout = std::chrono::seconds(5);

std::string firstLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string executableBaseName(const std::string &procDir)
{
    char target[4096];
    const ssize_t length = ::readlink((procDir + "/exe").c_str(), target, sizeof target);
    if (length <= 0)
        return {};
    const std::string path(target, static_cast<size_t>(length));
    return path.substr(path.rfind('/') + 1);
}

bool matches(const std::string &procDir, const char *nameText)
{
    return executableBaseName(procDir).find(nameText) != std::string::npos
        || firstLine(procDir + "/comm").find(nameText) != std::string::npos;
}

// A killed child of ours stays a zombie until it is reaped; it holds no files any more.
bool isGone(pid_t pid)
{
    if (::kill(pid, 0) == -1 && errno == ESRCH)
        return true;
    // The state follows the command name, which is in parentheses and may hold anything.
    const std::string stat = firstLine("/proc/" + std::to_string(pid) + "/stat");
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos)
        return true;
    const char state = nameEnd + 2 < stat.size() ? stat[nameEnd + 2] : '\0';
    return state == 'Z' || state == 'X';
}

bool waitUntilGone(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + goneTimeout;
    while (!isGone(pid)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

bool terminateProcesses(const char *nameText)
{
    // An empty text occurs in every name: it must not end every process we may end.
    if (!nameText || !*nameText)
        return true;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return true;

    const pid_t self = ::getpid();
    bool result = true;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        if (!matches(std::string("/proc/") + entry->d_name, nameText))
            continue;
        // Every match is tried, and one left running fails the whole; one that ended on its own
        // since the listing is gone as well.
        const bool ended = (::kill(static_cast<pid_t>(pid), SIGKILL) == 0 || errno == ESRCH)
            && waitUntilGone(static_cast<pid_t>(pid));
        result = ended && result;
    }
    ::closedir(proc);
    return result;
}
