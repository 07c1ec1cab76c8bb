#include "protocol/certificatetrust.h"

#include <QDir>
#include <QUrl>
#include <QtNetwork/qtnetworkglobal.h>
#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslConfiguration>
#endif

void trustOpenSslEnvironment()
{
#if QT_CONFIG(ssl) // a Qt without TLS (as the MinGW build here) has nothing to trust with
    QList<QSslCertificate> added;
    const QString file = qEnvironmentVariable("SSL_CERT_FILE");
    if (!file.isEmpty())
        added += QSslCertificate::fromPath(file, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    const QString dir = qEnvironmentVariable("SSL_CERT_DIR");
    if (!dir.isEmpty()) {
        for (const QFileInfo &entry : QDir(dir).entryInfoList(QDir::Files))
            added += QSslCertificate::fromPath(entry.filePath(), QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    }
    if (added.isEmpty())
        return;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(added);
    QSslConfiguration::setDefaultConfiguration(configuration);
#endif
}

void trustOpenSslEnvironmentFor(const QUrl &url)
{
    static bool trusted = false;
    if (trusted || url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return;
    trusted = true;
    trustOpenSslEnvironment();
}
