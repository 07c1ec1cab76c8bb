#pragma once

#include <QString>

// How a download, or one attempt of it, went wrong.
struct DownloadError
{
    int code = 0; // a QNetworkReply::NetworkError; 0: nothing went wrong
    QString text;
    bool transient = false; // it may pass: worth another attempt
    bool own = false; // found by us rather than by the reply: it outranks the reply's outcome

    bool failed() const { return code != 0; }
};
