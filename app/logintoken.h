#pragma once

#include <QByteArray>
#include <QString>

// The login token in the bytes of the segment "Download_inf": a QString in a default QDataStream.
// Empty when the bytes hold none, also when its length runs past their end.
QString loginTokenFrom(const QByteArray &segmentBytes);
