#include "tests/support/wineprefix.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QtEndian>

#include "tests/support/testfiles.h"

WinePrefix::WinePrefix(const QProcessEnvironment &displayEnvironment)
    : env(displayEnvironment)
{
    env.insert("WINEPREFIX", dir.path());
    // TRELVOX_WINEDEBUG to look into a row with Wine's own traces (e.g. "+file").
    env.insert("WINEDEBUG", qEnvironmentVariable("TRELVOX_WINEDEBUG", "-all"));
    // No offer to install Mono or Gecko, which would wait for an answer.
    env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=");
    env.remove("QT_PLUGIN_PATH");
}

WinePrefix::~WinePrefix()
{
    endAll();
}

bool WinePrefix::run(const QString &program, const QStringList &arguments, int timeoutMs, bool quiet) const
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    const bool fine = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!fine && !quiet)
        qWarning().noquote() << program << arguments.join(' ') << "failed:" << process.errorString()
                             << process.readAll();
    return fine;
}

bool WinePrefix::boot()
{
    return dir.isValid() && run("wine", {"wineboot", "--init"}, 120000);
}

void WinePrefix::start(QProcess &process, const QString &program, const QStringList &arguments,
                       const QString &workingDirectory) const
{
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workingDirectory);
    process.start("wine", QStringList{program} + arguments);
}

void WinePrefix::endAll() const
{
    if (dir.isValid())
        run("wineserver", {"-k"}, 30000, true); // waits for the server to go; fails when none ran
}

QString WinePrefix::windowsPath(const QString &path)
{
    return "Z:" + QDir::cleanPath(QDir(path).absolutePath()).replace('/', '\\');
}

bool WinePrefix::trustAuthority(const QString &pemFile) const
{
    QByteArray pem = readFile(pemFile);
    const int begin = pem.indexOf("-----BEGIN CERTIFICATE-----");
    const int end = pem.indexOf("-----END CERTIFICATE-----");
    if (begin < 0 || end < begin)
        return false;
    const QByteArray der = QByteArray::fromBase64(pem.mid(begin + 27, end - begin - 27).simplified().replace(' ', ""));
    // The store keeps each certificate under its SHA-1 as a list of properties: the certificate
    // itself is property 32.
    QByteArray blob(12, '\0');
    qToLittleEndian<quint32>(32, blob.data());
    qToLittleEndian<quint32>(1, blob.data() + 4);
    qToLittleEndian<quint32>(quint32(der.size()), blob.data() + 8);
    blob += der;
    const QByteArray thumbprint = QCryptographicHash::hash(der, QCryptographicHash::Sha1).toHex().toUpper();
    const QByteArray reg = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"
        + thumbprint + "]\n\"Blob\"=hex:" + blob.toHex(',') + "\n";
    const QString file = dir.filePath("authority.reg");
    return writeFile(file, reg) && run("wine", {"regedit", "/S", windowsPath(file)}, 60000);
}
