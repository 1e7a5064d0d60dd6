// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/modules/Module.h"

#include "data/core/Errors.h"
#include "data/core/Posix.h"

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

LoadedModule OpenModule(const QString& path, const char* entry, const TableHeader& expected,
                        Binding binding) {
    const QFileInfo info(path);
    if (!info.exists())
        return {nullptr, ModuleFault::Missing, {}};
    if (!info.isFile())
        return {nullptr, ModuleFault::NotAFile, {}};
    if (!IsWholeLibrary(path))
        return {nullptr, ModuleFault::CutShort, {}};
    // Never closed: the connections and windows it makes run its code until the program ends.
    void* module = ::dlopen(posix::native(path).constData(),
                            (binding == Binding::Now ? RTLD_NOW : RTLD_LAZY) | RTLD_LOCAL);
    if (!module)
        return {nullptr, ModuleFault::DoesNotLoad, QString::fromLocal8Bit(::dlerror())};
    using EntryFunction = const void* (*)();
    const auto get = reinterpret_cast<EntryFunction>(::dlsym(module, entry));
    if (!get)
        return {nullptr, ModuleFault::NoEntry, {}};
    const auto* table = static_cast<const TableHeader*>(get());
    if (!table || table->size != expected.size || !table->names ||
        std::strcmp(table->names, expected.names) != 0)
        return {nullptr, ModuleFault::OtherBuild, {}};
    return {table, ModuleFault::None, {}};
}

const void* Load(const char* file, const char* entry, const TableHeader& expected,
                 const QString& purpose) {
    const QString path = Folder() + QString::fromUtf8(file);
    const LoadedModule loaded = OpenModule(path, entry, expected, Binding::Now);
    QString what;
    switch (loaded.fault) {
    case ModuleFault::None:
        return loaded.table;
    case ModuleFault::Missing:
        what = QStringLiteral("is missing");
        break;
    case ModuleFault::NotAFile:
        what = QStringLiteral("is not a file");
        break;
    case ModuleFault::CutShort:
        what = QStringLiteral("is damaged (cut short)");
        break;
    case ModuleFault::DoesNotLoad:
        what = QStringLiteral("does not load (%1)").arg(loaded.detail);
        break;
    case ModuleFault::NoEntry:
    case ModuleFault::OtherBuild:
        what = QStringLiteral("belongs to another version of Varozidi");
        break;
    }
    throw Error(purpose + QStringLiteral(" needs the module %1, which ").arg(path) + what +
                QStringLiteral("; installing Varozidi again restores it."));
}

} // namespace varozidi::modules
