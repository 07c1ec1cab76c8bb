#pragma once

#include <QString>

// The upgrade endpoint from config.xml, or an empty text when the file gives none.
QString readUpdateUrl(QString path);
