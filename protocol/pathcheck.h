#pragma once

#include <QString>

// The part of path below folder, both cleaned ("." and ".." resolved, separators single); empty
// when path does not lie strictly below folder.
QString pathBelow(const QString &path, const QString &folder);
