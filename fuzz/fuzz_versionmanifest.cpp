// version.xml is read on every run, and XMLNode reads the same kind of text.
#include <QByteArray>
#include <QXmlStreamReader>

#include "manifest/versionmanifest.h"
#include "manifest/xmlnode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray xml = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const VersionManifest manifest = Manifest::versionManifestFromXml(xml);
    // What was read must write and read back without trouble.
    Manifest::versionManifestFromXml(Manifest::versionManifestToXml(manifest).toUtf8());

    QXmlStreamReader reader(xml);
    XMLNode node;
    int depth = -1;
    node.read(reader, depth);
    return 0;
}
