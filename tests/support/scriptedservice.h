#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <mutex>
#include <string>

#include "service/servicekeypair.h"
#include "tests/support/loopbackserver.h"

// An update service that answers every upgrade query with a given text, encrypted under the
// request key unless told otherwise, and keeps what it was sent. It reads the request key with the
// demo key pair, as the real service does.
class ScriptedService
{
public:
    struct Received
    {
        QJsonObject request;
        std::string contentType;
        std::string inner; // the decrypted inner request
    };

    ScriptedService(int status, const QByteArray &reply, bool encrypted = true);

    QString endpoint() const { return server.url("/api/upgrade"); }
    QList<Received> takeReceived();

    static ServiceKeyPair demoKeyPair();

private:
    const ServiceKeyPair keyPair = demoKeyPair();
    std::mutex mutex;
    QList<Received> received;
    LoopbackServer server;
};
