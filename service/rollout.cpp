#include "service/rollout.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QtEndian>

#include <cmath>

namespace {

bool readBytes(const QString &path, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = Rollout::tr("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *bytes = file.readAll();
    return true;
}

} // namespace

bool Rollout::readTokenList(const QString &path, QSet<QString> *tokens, QString *error)
{
    QByteArray list;
    if (!readBytes(path, &list, error))
        return false;
    for (const QString &line : QString::fromUtf8(list).split('\n')) {
        if (!line.trimmed().isEmpty())
            tokens->insert(line.trimmed());
    }
    return true;
}

int Rollout::bucket(const QByteArray &seed, const QString &token)
{
    const QByteArray mac = QMessageAuthenticationCode::hash(token.toUtf8(), seed, QCryptographicHash::Sha256);
    return int(qFromBigEndian<quint64>(mac.constData()) % buckets);
}

bool Rollout::read(const QString &path, QString *error)
{
    *this = Rollout();
    QByteArray text;
    if (!readBytes(path, &text, error))
        return false;
    digest = QCryptographicHash::hash(text, QCryptographicHash::Sha256);
    QJsonParseError parseError;
    const QJsonObject root = QJsonDocument::fromJson(text, &parseError).object();
    if (parseError.error != QJsonParseError::NoError || root.isEmpty()) {
        *error = tr("%1 is not a JSON object").arg(path);
        return false;
    }
    const QDir base = QFileInfo(path).absoluteDir();
    const auto fail = [&](const QString &reason) {
        *error = tr("%1: %2").arg(path, reason);
        return false;
    };
    // Both halves are the vendor's to name; what the updater sees stays an ordinary reply.
    const auto readRelease = [&](const QString &name, const QJsonObject &object, Release *release) {
        release->name = name;
        if (!object.value("release").isString() || object.value("release").toString().isEmpty())
            return fail(tr("%1 names no \"release\" folder").arg(name));
        release->dir = base.filePath(object.value("release").toString());
        if (object.contains("download_url") && !object.value("download_url").isString())
            return fail(tr("the \"download_url\" of %1 is not a text").arg(name));
        release->downloadUrl = object.value("download_url").toString();
        return true;
    };

    seed = root.value("seed").toString().toUtf8();
    if (root.contains("rollout")) {
        const QJsonObject rollout = root.value("rollout").toObject();
        const double percent = rollout.value("percent").toDouble(-1);
        if (!rollout.value("percent").isDouble() || !(percent >= 0 && percent <= 100))
            return fail(tr("the rollout's \"percent\" must be a number from 0 to 100"));
        // The seed keeps users from knowing, or choosing, whether they are in.
        if (seed.isEmpty())
            return fail(tr("a rollout needs a \"seed\": a secret text of your choosing"));
        Release release;
        if (!readRelease(rolloutName, rollout, &release))
            return false;
        if (rollout.contains("halt")) {
            HaltRule read;
            QString reason;
            if (!HaltRule::fromJson(rollout.value("halt").toObject(), &read, &reason))
                return fail(reason);
            rule = read;
        }
        share = int(std::lround(percent * buckets / 100));
        hasRollout = true;
        list.append(release);
    }
    const QJsonObject channels = root.value("channels").toObject();
    for (auto it = channels.begin(); it != channels.end(); ++it) {
        if (!QRegularExpression("^[A-Za-z0-9._-]+$").match(it.key()).hasMatch() || it.key() == rolloutName
            || it.key() == stableName)
            return fail(tr("a channel's name is letters, digits, '.', '_' or '-', and neither \"%1\" nor \"%2\"")
                            .arg(stableName, rolloutName));
        Release release;
        const QJsonObject channel = it.value().toObject();
        if (!readRelease(it.key(), channel, &release))
            return false;
        if (!channel.value("tokens").isString())
            return fail(tr("channel %1 names no \"tokens\" file").arg(it.key()));
        if (!readTokenList(base.filePath(channel.value("tokens").toString()), &release.tokens, error))
            return false;
        list.append(release);
    }
    return true;
}

const Rollout::Release *Rollout::choose(const QString &token) const
{
    for (const Release &release : list) {
        if (release.tokens.contains(token))
            return &release;
    }
    if (hasRollout && share > 0 && bucket(seed, token) < share)
        return &list.first();
    return nullptr;
}

void Rollout::dropRollout()
{
    if (hasRollout)
        list.removeFirst();
    hasRollout = false;
    share = 0;
}

QString Rollout::summary() const
{
    QStringList parts;
    for (const Release &release : list) {
        parts << (release.name == rolloutName && hasRollout
                      ? tr("rollout of %1 to %2 %").arg(release.dir).arg(share * 100.0 / buckets)
                      : tr("channel %1: %2 for %3 tokens").arg(release.name, release.dir).arg(release.tokens.size()));
    }
    return parts.isEmpty() ? tr("no rollout and no channels") : parts.join("; ");
}
