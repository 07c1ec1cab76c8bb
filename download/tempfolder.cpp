#include "download/tempfolder.h"

#include "download/windowspath.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#ifdef Q_OS_WIN
#include <QThreadPool>
#include <atomic>
#include <vector>

#include <windows.h> // first: the headers below build on it
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#else
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr int namesPerMoment = 1000;
const QString runPrefix = QStringLiteral("run-");

QString nameFor(const QDateTime &now, int retry)
{
    // Spelled out: toString()'s formats cost a release of thousands of files dozens of allocations each.
    const QDate day = now.date();
    const QTime time = now.time();
    const QString stamp = QString::asprintf("%04d-%02d-%02d-%02d-%02d-%02d-%03d", day.year(), day.month(), day.day(),
                                            time.hour(), time.minute(), time.second(), time.msec());
    return retry == 0 ? stamp + ".tmp" : QStringLiteral("%1_%2.tmp").arg(stamp).arg(retry);
}

QString newRunName()
{
    return runPrefix + QString::number(QRandomGenerator::system()->generate64(), 36);
}

#ifdef Q_OS_WIN
// Administrators and the system alone, inherited by every file made in it.
bool makePrivateFolder(const QString &path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const bool made = CreateDirectoryW(WindowsPath::native(path).c_str(), &attributes);
    LocalFree(descriptor);
    return made;
}

// A C runtime descriptor; delete sharing lets the open file be renamed into place.
int openShared(const QString &path, DWORD disposition)
{
    const HANDLE opened = CreateFileW(WindowsPath::native(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return -1;
    const int handle = _open_osfhandle(intptr_t(opened), _O_RDWR | _O_BINARY);
    if (handle < 0)
        CloseHandle(opened);
    return handle;
}
#else
QByteArray encoded(const QString &name)
{
    return QFile::encodeName(name);
}

// A folder of ours that no one else may change; anything else may be somebody's trap.
bool isPrivateFolder(int handle)
{
    struct stat made;
    return ::fstat(handle, &made) == 0 && S_ISDIR(made.st_mode) && made.st_uid == ::geteuid()
        && (made.st_mode & 077) == 0;
}
#endif

} // namespace

TempFolder::~TempFolder()
{
    for (const File &file : qAsConst(files)) {
        if (file.handle >= 0)
            ::close(file.handle);
    }
#ifdef Q_OS_WIN
    if (folderHandle != -1)
        CloseHandle(HANDLE(folderHandle));
#else
    for (const qintptr handle : {tmpsHandle, folderHandle}) {
        if (handle >= 0)
            ::close(int(handle));
    }
#endif
}

bool TempFolder::fail(const QString &text)
{
    error = text;
    return false;
}

bool TempFolder::open(const QString &installDir)
{
    if (isOpen())
        return true;
    const QString tmps = installDir + "tmps";
    const QFileInfo existing(tmps);
    if (existing.isSymLink() || existing.isJunction())
        return fail(tr("%1 is a link").arg(QDir::toNativeSeparators(tmps)));
    if (!existing.exists()) {
        QDir::setCurrent(installDir);
        if (!QDir().mkpath(tmps))
            return fail(tr("%1 cannot be made").arg(QDir::toNativeSeparators(tmps)));
    }
#ifdef Q_OS_WIN
    for (int attempt = 0; attempt < 100 && folderPath.isEmpty(); ++attempt) {
        const QString name = newRunName();
        if (!makePrivateFolder(tmps + "/" + name)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS)
                continue;
            return fail(tr("no private folder can be made in %1: %2")
                            .arg(QDir::toNativeSeparators(tmps), qt_error_string(int(GetLastError()))));
        }
        // Held without delete sharing, it cannot be renamed away and replaced while the run uses it.
        const HANDLE held = CreateFileW(WindowsPath::native(tmps + "/" + name).c_str(), FILE_LIST_DIRECTORY,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        BY_HANDLE_FILE_INFORMATION information;
        if (held == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(held, &information)
            || (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            if (held != INVALID_HANDLE_VALUE)
                CloseHandle(held);
            return fail(tr("the folder made in %1 was replaced").arg(QDir::toNativeSeparators(tmps)));
        }
        folderHandle = qintptr(held);
        folderName = name;
        folderPath = installDir + "/tmps/" + name;
    }
#else
    // O_NOFOLLOW: a link put in place of tmps since the look above is refused, not followed.
    if (tmpsHandle >= 0)
        ::close(int(tmpsHandle));
    tmpsHandle = ::open(encoded(tmps).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (tmpsHandle < 0)
        return fail(tr("%1 cannot be opened: %2").arg(tmps, qt_error_string(errno)));
    for (int attempt = 0; attempt < 100 && folderPath.isEmpty(); ++attempt) {
        const QString name = newRunName();
        if (::mkdirat(int(tmpsHandle), encoded(name).constData(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            return fail(tr("no private folder can be made in %1: %2").arg(tmps, qt_error_string(errno)));
        }
        // Whoever may write into tmps could have put a folder of theirs under the name meanwhile.
        folderHandle = ::openat(int(tmpsHandle), encoded(name).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folderHandle < 0 || !isPrivateFolder(int(folderHandle))) {
            if (folderHandle >= 0)
                ::close(int(folderHandle));
            folderHandle = -1;
            return fail(tr("the folder made in %1 was replaced").arg(tmps));
        }
        folderName = name;
        folderPath = installDir + "/tmps/" + name;
    }
#endif
    return isOpen() || fail(tr("no private folder can be made in %1").arg(QDir::toNativeSeparators(tmps)));
}

QString TempFolder::createFile(const QDateTime &now)
{
    if (!isOpen())
        return QString();
    for (int retry = 0; retry < namesPerMoment; ++retry) {
        const QString name = nameFor(now, retry);
        const QString path = folderPath + "/" + name;
#ifdef Q_OS_WIN
        const int handle = openShared(path, CREATE_NEW);
        if (handle < 0) {
            if (GetLastError() == ERROR_FILE_EXISTS)
                continue;
            fail(qt_error_string(int(GetLastError())));
            return QString();
        }
#else
        const int handle = ::openat(int(folderHandle), encoded(name).constData(),
                                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (handle < 0) {
            if (errno == EEXIST)
                continue;
            fail(qt_error_string(errno));
            return QString();
        }
#endif
        files.insert(path, {handle, name});
        return path;
    }
    return QString();
}

int TempFolder::handle(const QString &path)
{
    const auto file = files.find(path);
    if (file == files.end())
        return -1;
    if (file->handle < 0) {
#ifdef Q_OS_WIN
        file->handle = openShared(path, OPEN_EXISTING);
#else
        file->handle = ::openat(int(folderHandle), encoded(file->name).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
#endif
    }
    return file->handle;
}

void TempFolder::close(const QString &path)
{
    const auto file = files.find(path);
    if (file != files.end() && file->handle >= 0) {
        ::close(file->handle);
        file->handle = -1;
    }
}

bool TempFolder::moveOut(const QString &path, const QString &targetPath)
{
    const auto file = files.find(path);
    if (file == files.end())
        return false;
#ifdef Q_OS_WIN
    // MOVEFILE_WRITE_THROUGH returns only once the move is on disk.
    const bool moved = MoveFileExW(WindowsPath::native(path).c_str(), WindowsPath::native(targetPath).c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    const bool moved = ::renameat(int(folderHandle), encoded(file->name).constData(), AT_FDCWD,
                                  encoded(targetPath).constData()) == 0;
#endif
    // Closed once in place: a program cannot be started while a handle may still write it.
    if (moved) {
        if (file->handle >= 0)
            ::close(file->handle);
        files.erase(file);
    }
    return moved;
}

void TempFolder::remove(const QString &path)
{
    if (!files.contains(path))
        return;
    const File file = files.take(path);
#ifdef Q_OS_WIN
    DeleteFileW(WindowsPath::native(path).c_str());
#else
    ::unlinkat(int(folderHandle), encoded(file.name).constData(), 0);
#endif
    if (file.handle >= 0)
        ::close(file.handle);
}

bool TempFolder::makeDurable(const QStringList &paths)
{
#ifdef Q_OS_LINUX
    Q_UNUSED(paths);
    return folderHandle >= 0 && ::syncfs(int(folderHandle)) == 0;
#elif defined(Q_OS_WIN)
    // Each flush waits for the disk; flushes that wait side by side share its cache flushes, where
    // one after another each would pay for its own. A release may hold thousands of files, so they
    // go in slices, and a file without an open handle holds one only for its slice.
    constexpr int slice = 64;
    const QStringList named = paths.isEmpty() ? QStringList(files.keys()) : paths;
    std::atomic<bool> durable{true};
    for (int first = 0; first < named.size(); first += slice) {
        std::vector<HANDLE> opened;
        QThreadPool flushes;
        flushes.setMaxThreadCount(8);
        for (const QString &path : named.mid(first, slice)) {
            const auto file = files.constFind(path);
            HANDLE handle = INVALID_HANDLE_VALUE;
            if (file != files.cend() && file->handle >= 0) {
                handle = HANDLE(_get_osfhandle(file->handle));
            } else if (file != files.cend()) {
                handle = CreateFileW(WindowsPath::native(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                     nullptr);
                if (handle != INVALID_HANDLE_VALUE)
                    opened.push_back(handle);
            }
            if (handle == INVALID_HANDLE_VALUE) {
                durable = false;
                continue;
            }
            flushes.start([handle, &durable] {
                if (!FlushFileBuffers(handle))
                    durable = false;
            });
        }
        flushes.waitForDone();
        for (const HANDLE handle : opened)
            CloseHandle(handle);
    }
    return durable;
#else
    bool durable = true;
    for (const QString &path : paths.isEmpty() ? QStringList(files.keys()) : paths) {
        const bool wasOpen = files.value(path).handle >= 0;
        const int opened = handle(path);
        durable = opened >= 0 && ::fsync(opened) == 0 && durable;
        if (!wasOpen)
            close(path);
    }
    return durable;
#endif
}

void TempFolder::clear(const QString &installDir)
{
    for (const QString &path : files.keys())
        remove(path);
#ifdef Q_OS_WIN
    if (folderHandle != -1)
        CloseHandle(HANDLE(folderHandle));
#else
    if (folderHandle >= 0)
        ::close(int(folderHandle));
#endif
    folderHandle = -1;
    folderName.clear();
    folderPath.clear();
    removeFolders(installDir + "tmps");
}

void TempFolder::removeFolders(const QString &tmps)
{
#ifdef Q_OS_WIN
    const QFileInfo folder(tmps);
    if (folder.isSymLink() || folder.isJunction())
        return;
    for (const QFileInfo &run : QDir(tmps).entryInfoList({runPrefix + "*"}, QDir::Dirs | QDir::Hidden)) {
        if (run.isSymLink() || run.isJunction())
            continue;
        for (const QFileInfo &file : QDir(run.filePath()).entryInfoList(QDir::Files | QDir::Hidden | QDir::System))
            QFile::remove(file.filePath());
        RemoveDirectoryW(WindowsPath::native(run.filePath()).c_str());
    }
#else
    const int parent = tmpsHandle >= 0 ? ::dup(int(tmpsHandle))
                                       : ::open(encoded(tmps).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *listing = parent >= 0 ? ::fdopendir(parent) : nullptr;
    if (!listing) {
        if (parent >= 0)
            ::close(parent);
        return;
    }
    // Only our own private folders: one that anyone else could have written might hold anything.
    while (const dirent *entry = ::readdir(listing)) {
        const QByteArray name = entry->d_name;
        if (!name.startsWith(encoded(runPrefix)))
            continue;
        const int run = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (run < 0)
            continue;
        DIR *inside = isPrivateFolder(run) ? ::fdopendir(run) : nullptr;
        if (!inside) {
            ::close(run);
            continue;
        }
        while (const dirent *file = ::readdir(inside))
            ::unlinkat(run, file->d_name, 0); // fails harmlessly on "." and ".." and on folders
        ::closedir(inside);
        ::unlinkat(parent, name.constData(), AT_REMOVEDIR);
    }
    ::closedir(listing);
    if (tmpsHandle >= 0)
        ::close(int(tmpsHandle));
    tmpsHandle = -1;
#endif
}
