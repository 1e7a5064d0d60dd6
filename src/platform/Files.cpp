#include "platform/Files.h"

#include <QDir>
#include <QFileInfo>

QString ResolveFileName(const QString& path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    if (name.isEmpty() || info.exists() || info.isSymLink())
        return path;
    const QStringList entries = info.dir().entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& entry : entries)
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return path.left(path.size() - name.size()) + entry;
    return path;
}
