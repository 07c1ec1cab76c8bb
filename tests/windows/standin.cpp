// Trelvox.exe for the Windows end-to-end table: records each start (process id, working folder,
// number of arguments, its own size) in starts.txt one folder above its own, then stays up a
// while as the real application would, so that ending it can be observed.
#include <windows.h>

#include <string>

namespace {

std::string utf8(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string converted(size > 0 ? size_t(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, converted.data(), size, nullptr, nullptr);
    converted.resize(converted.size() - 1);
    return converted;
}

} // namespace

int main(int argc, char **)
{
    wchar_t self[MAX_PATH];
    wchar_t folder[MAX_PATH];
    if (!GetModuleFileNameW(nullptr, self, MAX_PATH) || !GetCurrentDirectoryW(MAX_PATH, folder))
        return 1;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(self, GetFileExInfoStandard, &attributes))
        return 1;
    std::wstring log = self;
    log.resize(log.find_last_of(L'\\'));
    log.resize(log.find_last_of(L'\\') + 1);
    log += L"starts.txt";

    const std::string line = std::to_string(GetCurrentProcessId()) + ' ' + utf8(folder) + ' '
        + std::to_string(argc - 1) + ' ' + std::to_string(attributes.nFileSizeLow) + '\n';
    const HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, line.data(), DWORD(line.size()), &written, nullptr);
    CloseHandle(file);
    Sleep(60000);
    return 0;
}
