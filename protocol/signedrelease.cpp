#include "protocol/signedrelease.h"

#include "protocol/payloadcrypto.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <cctype>
#include <cmath>
#include <cstring>

namespace {

// Larger whole numbers do not survive JSON's doubles.
constexpr qint64 largestExactInteger = (qint64(1) << 53) - 1;
// Beyond these a listing's signatures are not tried: no rotation needs more.
constexpr int maxSignatures = 8;

bool matches(const QString &text, const char *pattern)
{
    // Compiled once: a listing of thousands of files asks the same few questions of each.
    thread_local QHash<const char *, QRegularExpression> compiled;
    auto found = compiled.find(pattern);
    if (found == compiled.end())
        found = compiled.insert(pattern, QRegularExpression(QString("^%1$").arg(pattern)));
    return found->match(text).hasMatch();
}

// A JSON number that is a whole number from minimum on; -1 otherwise.
qint64 wholeNumber(const QJsonValue &value, qint64 minimum)
{
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < minimum || number > double(largestExactInteger) || number != std::floor(number))
        return -1;
    return qint64(number);
}

void skipSpace(const QByteArray &text, int &at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
        ++at;
}

// The string whose opening quote is at at, decoded; at moves past its closing quote.
QString readString(const QByteArray &text, int &at)
{
    const int start = at++;
    while (at < text.size() && text[at] != '"')
        at += text[at] == '\\' ? 2 : 1;
    const QByteArray token = text.mid(start, ++at - start);
    if (!token.contains('\\'))
        return QString::fromUtf8(token.mid(1, token.size() - 2));
    return QJsonDocument::fromJson("[" + token + "]").array().at(0).toString();
}

// QJsonDocument keeps the last of two equal keys and reads every number as a double, so the signed
// text itself is held to one meaning: no key twice in an object, and numbers written as whole numbers
// that a double carries exactly. The text must already have parsed as JSON. Empty when it holds;
// member names the value in what it says.
QString strictProblem(const QByteArray &text, int &at, const QString &member = QString())
{
    skipSpace(text, at);
    const char first = at < text.size() ? text[at] : '\0';
    if (first == '{' || first == '[') {
        const char closing = first == '{' ? '}' : ']';
        QSet<QString> keys;
        QString key = member; // an array's elements go by the array's name
        ++at;
        skipSpace(text, at);
        for (bool more = text[at] != closing; more;) {
            if (first == '{') {
                skipSpace(text, at);
                key = readString(text, at);
                if (keys.contains(key))
                    return SignedRelease::tr("the key \"%1\" appears twice in one object").arg(key);
                keys.insert(key);
                skipSpace(text, at);
                ++at; // the colon
            }
            const QString problem = strictProblem(text, at, key);
            if (!problem.isEmpty())
                return problem;
            skipSpace(text, at);
            more = text[at] == ',';
            at += more ? 1 : 0;
        }
        ++at;
        return {};
    }
    if (first == '"') {
        readString(text, at);
        return {};
    }
    const int start = at;
    // A number, true, false or null: JSON has no other word.
    while (at < text.size() && (std::isalnum(static_cast<unsigned char>(text[at])) || text[at] == '+'
                                || text[at] == '-' || text[at] == '.'))
        ++at;
    const QString token = QString::fromLatin1(text.mid(start, at - start));
    bool whole = false;
    const qint64 number = token.toLongLong(&whole);
    whole = whole && matches(token, "-?(0|[1-9][0-9]*)") && token != "-0" && qAbs(number) <= largestExactInteger;
    if (!whole && !std::isalpha(static_cast<unsigned char>(text[start])))
        return SignedRelease::tr("\"%1\" is not a whole number of at most %2: %3")
            .arg(member).arg(largestExactInteger).arg(token);
    return {};
}

} // namespace

QList<QByteArray> SignedRelease::keysFromHex(const QString &text)
{
    QList<QByteArray> keys;
    for (const QString &part : text.split(',', Qt::SkipEmptyParts)) {
        if (matches(part.trimmed(), "[0-9A-Fa-f]{64}"))
            keys << QByteArray::fromHex(part.trimmed().toLatin1());
    }
    return keys;
}

bool SignedRelease::verify(const QString &release, const QString &signature, const QList<QByteArray> &trustedKeys,
                           const QDateTime &now, qint64 lastSequence)
{
    *this = SignedRelease();
    if (release.isEmpty() || signature.isEmpty())
        return refuse(tr("the update service sent no signed release listing"));

    const QByteArray message = release.toUtf8();
    bool trusted = false;
    // A listing carries one signature for each key that signed it: a few, during a key's rotation.
    for (const QString &each : signature.split(',').mid(0, maxSignatures)) {
        const std::string signatureBytes =
            matches(each, "[0-9A-Fa-f]{128}") ? QByteArray::fromHex(each.toLatin1()).toStdString() : std::string();
        for (const QByteArray &key : trustedKeys)
            trusted = trusted || verifyEd25519(key.toStdString(), message.toStdString(), signatureBytes);
    }
    if (!trusted)
        return refuse(tr("the release listing is not signed by a trusted release key"));

    if (!readListing(message))
        return false;
    if (expiry <= now) {
        return refuse(tr("the signed release listing expired at %1 UTC, and this computer's clock says %2 UTC")
                          .arg(expiry.toString(Qt::ISODate), now.toUTC().toString(Qt::ISODate)));
    }
    if (releaseSequence < lastSequence) {
        refuse(tr("the signed release listing (sequence %1) is older than the release already installed (sequence %2)")
                   .arg(releaseSequence)
                   .arg(lastSequence));
        older = true;
        return false;
    }
    return true;
}

const SignedRelease::Content *SignedRelease::content(const QString &path) const
{
    const auto found = contents.constFind(path);
    return found == contents.cend() ? nullptr : &found.value();
}

// Empty when the value is a well-formed form; otherwise what is wrong with it.
QString SignedRelease::readForm(const QJsonValue &value, bool patch, Form *form)
{
    const QJsonObject object = value.toObject();
    form->path = object.value("path").toString();
    form->size = wholeNumber(object.value("size"), 0);
    form->sha256 = QByteArray::fromHex(object.value("sha256").toString().toLatin1());
    form->baseSha256 = QByteArray::fromHex(object.value("base_sha256").toString().toLatin1());
    // A plain relative path: it is only ever asked for below the download URL.
    if (!matches(form->path, "[A-Za-z0-9._-]+(/[A-Za-z0-9._-]+)*") || form->path.split('/').contains(".."))
        return tr("a form's \"path\" is not a plain relative path");
    if (form->size < 0)
        return tr("a form lacks a \"size\" in whole bytes");
    if (!matches(object.value("sha256").toString(), "[0-9a-f]{64}"))
        return tr("a form lacks a \"sha256\" of 64 lowercase hex characters");
    if (patch && !matches(object.value("base_sha256").toString(), "[0-9a-f]{64}"))
        return tr("a patch lacks a \"base_sha256\" of 64 lowercase hex characters");
    return {};
}

bool SignedRelease::refuse(const QString &reason)
{
    const QString kept = reason;
    *this = SignedRelease();
    error = kept;
    return false;
}

bool SignedRelease::readListing(const QByteArray &text)
{
    const QString malformed = tr("the signed release listing is malformed: %1");
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (!document.isObject())
        return refuse(malformed.arg(tr("it is not a JSON object")));
    int at = 0;
    const QString ambiguity = strictProblem(text, at);
    if (!ambiguity.isEmpty())
        return refuse(malformed.arg(ambiguity));
    const QJsonObject listing = document.object();

    releaseSequence = wholeNumber(listing.value("sequence"), 1);
    if (releaseSequence < 0)
        return refuse(malformed.arg(tr("\"sequence\" is not a whole number of at least 1")));
    const QString expires = listing.value("expires").toString();
    expiry = QDateTime::fromString(expires, Qt::ISODate);
    if (!matches(expires, "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ") || !expiry.isValid())
        return refuse(malformed.arg(tr("\"expires\" is not a UTC time of the form yyyy-MM-ddThh:mm:ssZ")));
    if (!listing.value("files").isArray())
        return refuse(malformed.arg(tr("\"files\" is not an array")));

    // Windows folds letter case: two names that differ only in it are one file there.
    QSet<QString> folded;
    QPair<QString, QDateTime> lastTime;
    for (const QJsonValue &element : listing.value("files").toArray()) {
        const QJsonObject file = element.toObject();
        const QString path = file.value("file_path").toString();
        const QDateTime modified = readModifiedTime(file.value("modified_time").toString(), &lastTime);
        Content content{wholeNumber(file.value("file_size"), 0),
                        QByteArray::fromHex(file.value("sha256").toString().toLatin1()), {}, {}, {},
                        file.value("executable").toBool()};
        QString problem;
        if (!file.value("file_path").isString())
            problem = tr("a file lacks \"file_path\"");
        else if (!file.value("file_version").isString())
            problem = tr("file %1 lacks \"file_version\"").arg(path);
        else if (!modified.isValid())
            problem = tr("file %1 lacks a \"modified_time\" of the form yyyy-MM-ddThh:mm:ss").arg(path);
        else if (content.size < 0)
            problem = tr("file %1 lacks a \"file_size\" in whole bytes").arg(path);
        else if (!matches(file.value("sha256").toString(), "[0-9a-f]{64}"))
            problem = tr("file %1 lacks a \"sha256\" of 64 lowercase hex characters").arg(path);
        else if (file.contains("executable") && !file.value("executable").isBool())
            problem = tr("file %1 has an \"executable\" that is neither true nor false").arg(path);
        else if (folded.contains(path.toCaseFolded()))
            problem = tr("file %1 is listed twice, letter case aside").arg(path);
        QString formProblem;
        if (file.contains("compressed"))
            formProblem = readForm(file.value("compressed"), false, &content.compressed);
        for (const char *member : {"patches", "executable_patches"}) {
            if (formProblem.isEmpty() && file.contains(member) && !file.value(member).isArray())
                formProblem = tr("\"%1\" is not an array").arg(QLatin1String(member));
            for (const QJsonValue &patch : file.value(member).toArray()) {
                Form form;
                if (formProblem.isEmpty())
                    formProblem = readForm(patch, true, &form);
                (std::strcmp(member, "patches") == 0 ? content.patches : content.executablePatches) << form;
            }
        }
        if (problem.isEmpty() && !formProblem.isEmpty())
            problem = tr("file %1: %2").arg(path, formProblem);
        folded.insert(path.toCaseFolded());
        if (!problem.isEmpty())
            return refuse(malformed.arg(problem));
        offered.insert(path, RemoteFileEntry(VersionEntry(file.value("file_version").toString(), path), modified));
        contents.insert(path, content);
    }
    return true;
}
