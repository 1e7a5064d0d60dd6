// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/modules/Module.h"

#include "data/core/Errors.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>

namespace varozidi::modules {

namespace {

QMutex folderLock;

QString& chosenFolder() {
    static QString folder;
    return folder;
}

} // namespace

QString Folder() {
    {
        const QMutexLocker locked(&folderLock);
        if (!chosenFolder().isEmpty())
            return chosenFolder();
    }
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).path() + u'/';
}

void SetFolder(const QString& folder) {
    const QMutexLocker locked(&folderLock);
    chosenFolder() = folder.isEmpty() || folder.endsWith(u'/') ? folder : folder + u'/';
}

bool IsWholeLibrary(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true; // the loader says why
    const qint64 size = file.size();
    Elf64_Ehdr header{};
    if (file.read(reinterpret_cast<char*>(&header), sizeof header) != qint64(sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
        return true; // no library of this machine at all: the loader refuses it itself
    if (qint64(header.e_phoff) + qint64(header.e_phnum) * header.e_phentsize > size ||
        qint64(header.e_shoff) + qint64(header.e_shnum) * header.e_shentsize > size ||
        header.e_phentsize != sizeof(Elf64_Phdr))
        return false;
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        if (!file.seek(qint64(header.e_phoff) + qint64(i) * header.e_phentsize) ||
            file.read(reinterpret_cast<char*>(&segment), sizeof segment) != qint64(sizeof segment))
            return false;
        if (segment.p_type == PT_LOAD && qint64(segment.p_offset + segment.p_filesz) > size)
            return false;
    }
    return true;
}

const void* Load(const char* file, const char* entry, const TableHeader& expected,
                 const QString& purpose) {
    const QString path = Folder() + QString::fromUtf8(file);
    const QString needs = purpose + QStringLiteral(" needs the module %1, which ").arg(path);
    const QString again = QStringLiteral("; installing Varozidi again restores it.");
    const QFileInfo info(path);
    if (!info.exists())
        throw Error(needs + QStringLiteral("is missing") + again);
    if (!info.isFile())
        throw Error(needs + QStringLiteral("is not a file") + again);
    if (!IsWholeLibrary(path))
        throw Error(needs + QStringLiteral("is damaged (cut short)") + again);
    // Loaded once and kept: the connections it makes run its code until the program ends.
    void* module = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        throw Error(needs +
                    QStringLiteral("does not load (%1)").arg(QString::fromLocal8Bit(::dlerror())) +
                    again);
    using EntryFunction = const void* (*)();
    const auto get = reinterpret_cast<EntryFunction>(::dlsym(module, entry));
    const auto* table = static_cast<const TableHeader*>(get ? get() : nullptr);
    if (!table || table->size != expected.size || !table->names ||
        std::strcmp(table->names, expected.names) != 0)
        throw Error(needs + QStringLiteral("belongs to another version of Varozidi") + again);
    return table;
}

} // namespace varozidi::modules
