#include "protocol/curlnetworkaccessmanager.h"
#include "protocol/curlmulti.h"
#include "protocol/curlreply.h"

CurlNetworkAccessManager::CurlNetworkAccessManager(QObject *parent, bool ownConnections)
    : QNetworkAccessManager(parent)
{
    if (ownConnections) {
        CurlMulti::instance(); // curl is set up before the first handle of its own
        connections = curl_share_init();
        curl_share_setopt(connections, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    }
}

CurlNetworkAccessManager::~CurlNetworkAccessManager()
{
    // The replies use the connections, so they go first; the connections close with the share.
    qDeleteAll(findChildren<CurlReply *>(QString(), Qt::FindDirectChildrenOnly));
    if (connections)
        curl_share_cleanup(connections);
}

QNetworkReply *CurlNetworkAccessManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                       QIODevice *outgoingData)
{
    return new CurlReply(operation, request, outgoingData ? outgoingData->readAll() : QByteArray(), proxy(),
                         connections, this);
}
