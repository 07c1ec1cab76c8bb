#include "tests/support/scriptedservice.h"

#include <QJsonDocument>
#include <utility>

#include "protocol/payloadcrypto.h"
#include "tests/support/testfiles.h"

ScriptedService::ScriptedService(int status, const QByteArray &reply, bool encrypted)
{
    server.setHandler([this, status, reply, encrypted](const httplib::Request &request, httplib::Response &response) {
        Received got{QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object(),
                     request.get_header_value("Content-Type"), {}};
        std::string requestKey;
        keyPair.decryptRsaOaepHex(got.request.value("key").toString().toStdString(), &requestKey);
        got.inner = decryptAesCfbHex(requestKey, requestIvText, got.request.value("value").toString().toStdString());
        {
            std::lock_guard<std::mutex> lock(mutex);
            received.append(got);
        }
        response.status = status;
        response.set_content(encrypted ? encryptAesCfbHex(requestKey, requestIvText, reply.toStdString())
                                       : reply.toStdString(),
                             "text/plain");
    });
    server.start();
}

QList<ScriptedService::Received> ScriptedService::takeReceived()
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(received, {});
}

ServiceKeyPair ScriptedService::demoKeyPair()
{
    return ServiceKeyPair::fromPrivateKeyDer(readFile(SERVICE_KEY_FILE).toStdString());
}
