#pragma once

#include <QCoreApplication>
#include <QString>

// The proxy config.xml names for the query and the downloads alike: none (no element, as before),
// "system" (the platform's settings: on Windows the system's internet settings, elsewhere the usual
// proxy environment variables), or an http URL, with user and password in it for a proxy that asks.
class ProxySetting
{
    Q_DECLARE_TR_FUNCTIONS(ProxySetting)

public:
    // Makes it the process's proxy; false, with no proxy then, when the text is none of the above.
    bool apply(const QString &text);
    QString errorString() const { return error; }
    // Which proxy the clients use, for the log (empty for none): never its credentials.
    QString description() const { return described; }

private:
    QString error;
    QString described;
};
