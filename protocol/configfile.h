#pragma once

#include <QByteArray>
#include <QString>

// Why config.xml gave no endpoint at all; the window shows a box for each but None.
enum class ConfigProblem { None, CannotOpen, NotXml };

// The upgrade endpoint from config.xml, or an empty text when the file gives none; shows nothing,
// *problem tells why a file could not be read. Writes the root element's name to standard output.
QString readUpdateConfig(const QString &path, ConfigProblem *problem);

// The file's content read as readUpdateConfig reads it: false when it is
// not XML (or nested too deep); otherwise the root element's name and the first Update element's
// text, empty when there is none.
bool parseUpdateConfig(const QByteArray &xml, QString *rootName, QString *updateUrl);

// The Prefetch element of config.xml: how many following files may be requested before their turn;
// 0 (one at a time) unless it holds a positive number, and at most 16.
int readPrefetch(const QString &path);

// The text of the first element of that name in config.xml, read without showing anything; empty
// when the file, or the element, is missing or broken.
QString readConfigElement(const QString &path, const QString &name);
