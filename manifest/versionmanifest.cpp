#include "manifest/versionmanifest.h"

#include <QDomDocument>
#include <QFile>
#include <QSaveFile>

#include "manifest/xmldepth.h"
#include "manifest/xmlnode.h"

namespace Manifest {

VersionManifest readVersionManifest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return VersionManifest();
    return versionManifestFromXml(file.readAll());
}

VersionManifest versionManifestFromXml(const QByteArray &xml)
{
    VersionManifest manifest;
    QDomDocument document;
    QString errorText;
    int errorLine = 0;
    int errorColumn = 0;
    if (!isXmlNestedWithin(xml) || !document.setContent(xml, false, &errorText, &errorLine, &errorColumn)
        || document.isNull())
        return manifest;

    const QDomNodeList files = document.documentElement().elementsByTagName("FILE");
    for (int i = 0; i < files.size(); ++i) {
        const QDomElement element = files.at(i).toElement();
        const QString text = element.text();
        manifest.insert(text, VersionEntry(element.attribute("version"), text));
    }
    return manifest;
}

QString versionManifestToXml(VersionManifest manifest)
{
    XMLNode top;
    top.setName("Trelvox");

    auto count = std::make_shared<XMLNode>();
    count->setName("COUNT");
    count->setValue(manifest.size());
    top.m_children.append(count);

    auto files = std::make_shared<XMLNode>();
    files->setName("FILES");
    top.m_children.append(files);

    for (const VersionEntry &entry : qAsConst(manifest)) {
        auto file = std::make_shared<XMLNode>();
        file->setName("FILE");
        file->setAttribute("version", entry.version);
        file->setValue(entry.path);
        files->m_children.append(file);
    }
    return top.toXmlDocument();
}

QByteArray textFileBytes(const QString &text)
{
    // Line ends are CR LF everywhere, so the bytes are made here rather than by a text-mode device.
    QByteArray bytes = (text + '\n').toUtf8();
    bytes.replace('\n', "\r\n");
    return bytes;
}

bool writeTextFile(const QString &text, const QString &path)
{
    // QSaveFile replaces the file only once everything is written, so a crash midway leaves
    // the previous manifest whole.
    QSaveFile file(path);
    const QByteArray bytes = textFileBytes(text);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

} // namespace Manifest
