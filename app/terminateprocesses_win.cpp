#include "app/terminateprocesses.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <string>

namespace {

// An ended process must let go of its files before they are replaced, but a process that does
// not go must not hang the update.
constexpr DWORD goneTimeoutMs = 5000;

// The executable name in the ANSI code page, as the caller's text is; empty when it does not convert.
std::string ansiName(const wchar_t *name)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string converted(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, name, -1, converted.data(), size, nullptr, nullptr) <= 0)
        return {};
    converted.resize(std::strlen(converted.c_str()));
    return converted;
}

bool endProcess(DWORD processId)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    if (!process)
        return false;
    const bool ended = TerminateProcess(process, 0)
        && WaitForSingleObject(process, goneTimeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

} // namespace

bool terminateProcesses(const char *nameText)
{
    // An empty text occurs in every name: it must not end every process we may end.
    if (!nameText || !*nameText)
        return true;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return true;

    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool result = true;
    for (BOOL found = Process32FirstW(snapshot, &entry); found; found = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self)
            continue;
        const std::string name = ansiName(entry.szExeFile);
        // Every match is tried, and one left running fails the whole.
        if (!name.empty() && std::strstr(name.c_str(), nameText))
            result = endProcess(entry.th32ProcessID) && result;
    }
    CloseHandle(snapshot);
    return result;
}
