#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

#include "service/haltrule.h"

// Which release each user gets besides the stable one, as the vendor's rollout file says: a newer
// release offered to a share of users, chosen by a keyed hash of the login token so that each user
// stays in or out as the share changes, and named channels whose token lists always get theirs.
//
//   {"seed": "...",
//    "rollout": {"release": "DIR", "percent": 10, "download_url": "URL",
//                "halt": {"above_stable": 0.05, "min_reports": 200}},
//    "channels": {"beta": {"release": "DIR", "tokens": "FILE", "download_url": "URL"}}}
//
// Every part is optional; folders and files are relative to the rollout file's folder.
class Rollout
{
    Q_DECLARE_TR_FUNCTIONS(Rollout)

public:
    static constexpr const char *rolloutName = "rollout";
    static constexpr const char *stableName = "stable";
    // A user's place on the line the share is cut from, in hundredths of a percent.
    static constexpr int buckets = 10000;

    struct Release
    {
        QString name; // "rollout" or the channel's
        QString dir;
        QString downloadUrl; // empty: the service's own
        QSet<QString> tokens; // a channel's
    };

    bool read(const QString &path, QString *error);

    // From 0 to buckets - 1; stable for a token and seed, unpredictable without the seed.
    static int bucket(const QByteArray &seed, const QString &token);
    // The release for this token, or null for the stable one.
    const Release *choose(const QString &token) const;
    const QList<Release> &releases() const { return list; }
    // A rollout set to 0 %: it reaches nobody new, and those who have it keep it.
    bool halted() const { return hasRollout && share == 0; }
    bool hasShare() const { return hasRollout; }
    double percent() const { return share * 100.0 / buckets; }
    // Leaves the channels alone.
    void dropRollout();
    // Sets the rollout to 0 %, as the vendor would.
    void halt() { share = 0; }
    // The rule that halts the rollout by itself; null when the file names none.
    const HaltRule *haltRule() const { return rule ? &*rule : nullptr; }
    // The secret that keys the hash of the token; empty without a rollout.
    QByteArray seedText() const { return seed; }
    // SHA-256 of the file as read: a halt holds until the file changes.
    QByteArray fileDigest() const { return digest; }
    // The file beside the rollout file that says why it was halted by itself.
    static QString haltFileOf(const QString &rolloutPath) { return rolloutPath + ".halted"; }
    // What the log says after reading it.
    QString summary() const;

    // One token a line; blank lines and surrounding blanks are ignored.
    static bool readTokenList(const QString &path, QSet<QString> *tokens, QString *error);

private:
    QByteArray seed;
    int share = 0; // of buckets
    bool hasRollout = false;
    std::optional<HaltRule> rule;
    QByteArray digest;
    QList<Release> list; // the rollout first, when there is one
};
