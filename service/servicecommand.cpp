#include "service/servicecommand.h"

#include "service/releasesigner.h"
#include "service/servicekeypair.h"
#include "service/releasefolder.h"
#include "service/updateserver.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QSaveFile>
#include <QSet>
#include <QTextStream>

#include <cstdio>

namespace {

constexpr int usageStatus = 2;

int fail(const QString &message)
{
    QTextStream(stderr) << "update-service: " << message << Qt::endl;
    return 1;
}

int usage()
{
    QTextStream(stderr) << ServiceCommand::tr(
        "usage: update-service keygen DIR\n"
        "       update-service publish RELEASE-DIR [--version X.Y.Z]\n"
        "       update-service serve --release DIR --key FILE [--listen ADDR:PORT]\n"
        "                            [--download-url URL] [--tokens FILE]\n");
    return usageStatus;
}

// "--name value" pairs after the positional arguments; false on anything unknown or unpaired.
bool readOptions(const QStringList &words, const QStringList &known, QMap<QString, QString> *options)
{
    for (int i = 0; i < words.size(); i += 2) {
        if (!known.contains(words[i]) || i + 1 >= words.size())
            return false;
        options->insert(words[i], words[i + 1]);
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

// Owner-only before the first byte is written: QSaveFile makes a new file readable by all.
bool writePrivateKey(const QString &path, const std::string &der)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        && file.write(der.data(), qint64(der.size())) == qint64(der.size()) && file.commit();
}

} // namespace

int ServiceCommand::run(const QStringList &arguments)
{
    const QString command = arguments.value(1);
    QMap<QString, QString> options;
    if (command == "keygen" && arguments.size() == 3)
        return keygen(arguments[2]);
    if (command == "publish" && arguments.size() >= 3
        && readOptions(arguments.mid(3), {"--version"}, &options))
        return publish(arguments[2], options.value("--version"));
    if (command == "serve"
        && readOptions(arguments.mid(2), {"--release", "--key", "--listen", "--download-url", "--tokens"},
                       &options)
        && options.contains("--release") && options.contains("--key"))
        return serve(options["--release"], options["--key"], options.value("--listen", "127.0.0.1:8094"),
                     options["--download-url"], options["--tokens"]);
    return usage();
}

int ServiceCommand::keygen(const QString &dir)
{
    // RSA for the query's encryption, Ed25519 for signing releases.
    const QString rsaPublic = dir + "/public.hex", rsaPrivate = dir + "/private.der";
    const QString releasePublic = dir + "/release-public.hex", releasePrivate = dir + "/release-private.der";
    const auto present = [](const QString &a, const QString &b) { return int(QFile::exists(a)) + int(QFile::exists(b)); };
    const int rsaPresent = present(rsaPublic, rsaPrivate), releasePresent = present(releasePublic, releasePrivate);
    // A vendor's only copy of a private key must never be overwritten by accident; a folder with
    // one pair gets the other one.
    if (rsaPresent == 1 || releasePresent == 1)
        return fail(tr("%1 holds half a key pair; not touching it").arg(dir));
    if (rsaPresent == 2 && releasePresent == 2)
        return fail(tr("%1 holds both key pairs already; not replacing them").arg(dir));
    if (!QDir().mkpath(dir))
        return fail(tr("cannot create %1").arg(dir));

    if (rsaPresent == 0) {
        const ServiceKeyPair pair = ServiceKeyPair::generate();
        if (!writePrivateKey(rsaPrivate, pair.privateKeyDer()))
            return fail(tr("cannot write %1").arg(rsaPrivate));
        if (!writeFile(rsaPublic, QByteArray::fromStdString(pair.publicKeyHex() + "\n")))
            return fail(tr("cannot write %1").arg(rsaPublic));
        QTextStream(stdout) << tr("wrote %1 and %2; build the updater with -DUPDATER_PUBLIC_KEY=$(cat %1)")
                                   .arg(rsaPublic, rsaPrivate) << Qt::endl;
    }
    if (releasePresent == 0) {
        const ReleaseSigner signer = ReleaseSigner::generate();
        if (!writePrivateKey(releasePrivate, signer.privateKeyDer()))
            return fail(tr("cannot write %1").arg(releasePrivate));
        if (!writeFile(releasePublic, QByteArray::fromStdString(signer.publicKeyHex() + "\n")))
            return fail(tr("cannot write %1").arg(releasePublic));
        QTextStream(stdout) << tr("wrote %1 and %2; sign with publish --sign %2 on the build machine only")
                                   .arg(releasePublic, releasePrivate) << Qt::endl;
    }
    return 0;
}

int ServiceCommand::publish(const QString &releaseDir, const QString &version)
{
    QString error;
    if (!ReleaseFolder(releaseDir).publish(version, &error))
        return fail(error);
    return 0;
}

int ServiceCommand::serve(const QString &releaseDir, const QString &keyFile, const QString &listen,
                          const QString &downloadUrl, const QString &tokensFile)
{
    if (!ReleaseFolder(releaseDir).exists())
        return fail(tr("the release folder %1 does not exist").arg(releaseDir));
    QFile key(keyFile);
    if (!key.open(QIODevice::ReadOnly))
        return fail(tr("cannot read %1: %2").arg(keyFile, key.errorString()));
    const ServiceKeyPair pair = ServiceKeyPair::fromPrivateKeyDer(key.readAll().toStdString());
    if (!pair.isValid())
        return fail(tr("%1 is not an RSA private key (PKCS#8 DER)").arg(keyFile));

    UpdateServer server(releaseDir, pair);
    if (!tokensFile.isEmpty()) {
        QFile file(tokensFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return fail(tr("cannot read %1: %2").arg(tokensFile, file.errorString()));
        QSet<QString> tokens;
        for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
            if (!line.trimmed().isEmpty())
                tokens.insert(line.trimmed());
        }
        server.setAcceptedTokens(tokens);
    }
    if (!downloadUrl.isEmpty())
        server.setDownloadUrl(downloadUrl);

    const int colon = listen.lastIndexOf(':');
    bool portOk = false;
    const int port = listen.mid(colon + 1).toInt(&portOk);
    if (colon <= 0 || !portOk || port < 0 || port > 65535)
        return fail(tr("--listen takes ADDR:PORT, not %1").arg(listen));
    const QString host = listen.left(colon);
    const int bound = server.bind(host, port);
    if (bound < 0)
        return fail(tr("cannot listen on %1").arg(listen));
    // Tests and scripts read the port from this line, so it must leave at once.
    std::printf("listening on %s:%d\n", qPrintable(host), bound);
    std::fflush(stdout);
    server.listen();
    return 0;
}
