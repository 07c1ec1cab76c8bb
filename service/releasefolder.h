#pragma once

#include <QCoreApplication>
#include <QJsonArray>
#include <QString>

// A release folder as the update service publishes and serves it: its files, and the listing
// "release.json" that names them with their versions and modification times.
class ReleaseFolder
{
    Q_DECLARE_TR_FUNCTIONS(ReleaseFolder)

public:
    static constexpr const char *listingName = "release.json";
    static constexpr const char *timeFormat = "yyyy-MM-ddThh:mm:ss";

    explicit ReleaseFolder(const QString &dir);

    bool exists() const { return !root.isEmpty(); }

    // The file a listed path names, or an empty text when it is not a regular file inside the
    // folder (after resolving "..", absolute paths and symbolic links) or is the listing itself.
    QString resolve(const QString &relativePath) const;

    // The listing's entries exactly as written, hand edits included.
    bool readListing(QJsonArray *entries, QString *error) const;

    // Lists every file below the folder. An empty version keeps the version the existing
    // listing holds for each path; a file it does not list then needs one.
    bool publish(const QString &version, QString *error) const;

private:
    QString listingPath() const;

    QString root; // canonical, empty when the folder does not exist
};
