#include "tests/support/tlsfileserver.h"
#include "tests/support/childserver.h"
#include "tests/support/testfiles.h"

#include <QStandardPaths>

TlsFileServer::~TlsFileServer()
{
    if (nginx.state() != QProcess::NotRunning) {
        nginx.kill();
        nginx.waitForFinished();
    }
}

bool TlsFileServer::openssl(const QStringList &arguments)
{
    QProcess tool;
    tool.start("openssl", arguments);
    if (tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0)
        return true;
    error = "openssl " + arguments.first() + ": " + QString::fromLocal8Bit(tool.readAllStandardError());
    return false;
}

bool TlsFileServer::start(const QString &folder, bool signedByAuthority)
{
    const QString binary = QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/bin"});
    if (binary.isEmpty()) {
        error = "nginx is not installed";
        return false;
    }
    const auto path = [this](const char *name) { return work.filePath(name); };
    // The server's key is signed by the authority, or by itself under the authority's name.
    if (!openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=Test Authority",
                  "-keyout", path("authority.key"), "-out", path("authority.pem")})
        || !openssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", path("server.key"),
                     "-out", path("server.csr")})
        || !writeFile(path("server.ext"), "subjectAltName=IP:127.0.0.1\n")
        || !openssl(signedByAuthority
                        ? QStringList{"x509", "-req", "-in", path("server.csr"), "-CA", path("authority.pem"), "-CAkey",
                                      path("authority.key"), "-CAcreateserial", "-days", "1", "-extfile", path("server.ext"),
                                      "-out", path("server.pem")}
                        : QStringList{"x509", "-req", "-in", path("server.csr"), "-signkey", path("server.key"), "-days", "1",
                                      "-extfile", path("server.ext"), "-out", path("server.pem")}))
        return false;
    port = freeLoopbackPort();
    if (port == 0)
        return false;
    const QByteArray dir = work.path().toUtf8();
    const QByteArray config = "daemon off; master_process off; pid " + dir + "/nginx.pid; error_log " + dir + "/error.log;\n"
        "events {}\nhttp { access_log " + dir + "/access.log; client_body_temp_path " + dir + "; proxy_temp_path " + dir
        + "; fastcgi_temp_path " + dir + "; uwsgi_temp_path " + dir + "; scgi_temp_path " + dir + ";\n"
        "server { listen 127.0.0.1:" + QByteArray::number(port) + " ssl http2; ssl_certificate " + dir + "/server.pem; "
        "ssl_certificate_key " + dir + "/server.key; location /files/ { alias " + folder.toUtf8() + "/; } } }\n";
    if (!writeFile(path("nginx.conf"), config))
        return false;
    nginx.start(binary, {"-e", path("error.log"), "-p", work.path(), "-c", path("nginx.conf")});
    if (acceptsConnections(nginx, port))
        return true;
    error = "nginx did not start: " + QString::fromUtf8(readFile(path("error.log")));
    return false;
}
