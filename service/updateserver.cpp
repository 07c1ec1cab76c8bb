#include "service/updateserver.h"

#include "protocol/payloadcrypto.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cstdio>
#include <memory>

namespace {

void refuse(httplib::Response &response, int status, const QString &reason)
{
    response.status = status;
    response.set_content(reason.toStdString() + "\n", "text/plain");
}

// Whitespace is tolerated, as the updater's own hex decoder does.
bool isHex(const QString &text)
{
    QString digits = text;
    digits.remove(QRegularExpression("\\s"));
    return !digits.isEmpty() && digits.size() % 2 == 0
        && QRegularExpression("^[0-9A-Fa-f]*$").match(digits).hasMatch();
}

} // namespace

UpdateServer::UpdateServer(const QString &releaseDir, const ServiceKeyPair &pair)
    : release(releaseDir), keyPair(pair)
{
    http.set_payload_max_length(maxRequestBody);
    // Headers and a streamed body go out in separate writes; with Nagle's algorithm each small file
    // would then wait for the client's delayed acknowledgement.
    http.set_tcp_nodelay(true);
    http.Post("/api/upgrade", [this](const httplib::Request &request, httplib::Response &response) {
        answerUpgrade(request, response);
    });
    http.Get("/files/(.*)", [this](const httplib::Request &request, httplib::Response &response) {
        serveFile(request, response);
    });
    http.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (response.status == 413)
            refuse(response, 400, tr("the request body is over %1 bytes").arg(maxRequestBody));
    });
    http.set_logger([](const httplib::Request &request, const httplib::Response &response) {
        std::fprintf(stderr, "%s \"%s %s\" %d %s\n", request.remote_addr.c_str(),
                     request.method.c_str(), request.path.c_str(), response.status,
                     response.get_header_value("Content-Length").c_str());
    });
}

int UpdateServer::bind(const QString &host, int port)
{
    const std::string address = host.toStdString();
    const int bound = port == 0 ? http.bind_to_any_port(address)
                                : (http.bind_to_port(address, port) ? port : -1);
    if (bound > 0 && downloadUrl.isEmpty())
        downloadUrl = QString("http://%1:%2/files").arg(host).arg(bound);
    return bound;
}

void UpdateServer::answerUpgrade(const httplib::Request &request, httplib::Response &response) const
{
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(request.body));
    if (!document.isObject())
        return refuse(response, 400, tr("the body is not a JSON object"));
    for (const char *member : {"key", "value"}) {
        if (!document.object().value(member).isString())
            return refuse(response, 400, tr("the member \"%1\" is missing").arg(member));
        if (!isHex(document.object().value(member).toString()))
            return refuse(response, 400, tr("the member \"%1\" is not hex").arg(member));
    }

    std::string requestKey;
    if (!keyPair.decryptRsaOaepHex(document.object().value("key").toString().toStdString(), &requestKey))
        return refuse(response, 400, tr("the member \"key\" does not decrypt"));
    const std::string inner = decryptAesCfbHex(
        requestKey, requestIvText, document.object().value("value").toString().toStdString());
    const QJsonObject innerObject = QJsonDocument::fromJson(QByteArray(inner.c_str())).object();
    if (!innerObject.value("token").isString() || !innerObject.value("system_type").isString())
        return refuse(response, 400, tr("the member \"value\" does not decrypt to a request"));

    QString error;
    const QJsonObject reply = replyFor(innerObject.value("token").toString(), &error);
    if (reply.isEmpty())
        return refuse(response, 500, error);
    // Compact JSON escapes every control character, so the text has no NUL to cut it short.
    response.set_content(encryptAesCfbHex(requestKey, requestIvText,
                                          QJsonDocument(reply).toJson(QJsonDocument::Compact).toStdString()),
                         "text/plain");
}

QJsonObject UpdateServer::replyFor(const QString &token, QString *error) const
{
    if (token.isEmpty() || (acceptedTokens && !acceptedTokens->contains(token)))
        return {{"error_code", 500}};
    QJsonArray entries;
    if (!release.readListing(&entries, error))
        return {};
    // Every listed entry goes out as written: judging the paths is the updater's job.
    QJsonArray files;
    for (const QJsonValue &entry : entries) {
        QJsonObject file = entry.toObject();
        if (entry.isObject())
            file.insert("file_name", file.value("file_path").toString().section('/', -1));
        files.append(entry.isObject() ? QJsonValue(file) : entry);
    }
    return {{"download_url", downloadUrl}, {"files", files}};
}

void UpdateServer::serveFile(const httplib::Request &request, httplib::Response &response) const
{
    const QString path = release.resolve(QString::fromStdString(request.matches[1]));
    auto file = std::make_shared<QFile>(path);
    if (path.isEmpty() || !file->open(QIODevice::ReadOnly))
        return refuse(response, 404, tr("no such file"));
    // A provider of zero bytes would go out without a Content-Length.
    if (file->size() == 0)
        return response.set_content(std::string(), "application/octet-stream");
    // Streamed in pieces: release files may be far larger than memory.
    response.set_content_provider(
        file->size(), "application/octet-stream",
        [file](size_t offset, size_t length, httplib::DataSink &sink) {
            QByteArray chunk(static_cast<int>(std::min<size_t>(length, 256 * 1024)), Qt::Uninitialized);
            if (file->pos() != qint64(offset) && !file->seek(offset))
                return false;
            const qint64 read = file->read(chunk.data(), chunk.size());
            // A file that shrank ends the connection short rather than padding it.
            return read > 0 && sink.write(chunk.constData(), read);
        });
}
