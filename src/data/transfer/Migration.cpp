// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/Migration.h"

#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteHandle.h"
#include "data/files/Files.h"
#include "data/setup/Setup.h"
#include "data/transfer/Jet.h"
#include "data/transfer/Transfer.h"

#include <QDate>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

namespace varozidi::transfer {

namespace {

using posix::Link;
using posix::native;
using posix::sameFile;
using posix::systemError;

constexpr int kMostNames = 1000;

struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
};

// Tells slow once, however many steps find themselves slow, and the end when all is over.
struct SlowTeller {
    const std::function<void(bool)>& slow;
    bool told = false;
    void operator()(bool on) {
        if (on && !told && slow) {
            told = true;
            slow(true);
        }
    }
    ~SlowTeller() {
        if (told)
            slow(false);
    }
};

// Gives the original a second, dated name beside it ("varozidi-jet4-2026-11-01.mdb"): a hard
// link, so that it stays byte for byte what it was, or a copy where links are not allowed.
QString keepOriginal(const QString& path) {
    const QFileInfo info(path);
    const QString stem = info.completeBaseName() + QStringLiteral("-jet4-") +
                         QDate::currentDate().toString(Qt::ISODate);
    const QString suffix = info.suffix().isEmpty() ? QString() : u'.' + info.suffix();
    for (int n = 1; n <= kMostNames; ++n) {
        const QString name = stem + (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) + suffix;
        if (!FilesNamedLike(info.path(), name).isEmpty())
            continue;
        const QString kept = info.path() + u'/' + name;
        if (::link(native(path).constData(), native(kept).constData()) == 0)
            return kept;
        if (errno == EEXIST)
            continue;
        CopyFileSafely(path, kept, false);
        return kept;
    }
    throw Error(QStringLiteral("Cannot keep the original of \"%1\": every name for it is taken.")
                    .arg(path));
}

void convertInto(const QString& temp, const QList<Snippet>& snippets) {
    setup::CreateEmptyDatabase(temp);
    const sqlite::Handle db = sqlite::Handle::Open(temp, sqlite::Handle::Mode::ReadWrite,
                                                   QStringLiteral("open the database"));
    AddSnippets(db.get(), temp, snippets);
}

} // namespace

std::optional<JetConversion> ConvertJetCollection(const QString& given,
                                                  const std::function<void(bool)>& slow) {
    if (!IsJetFile(given))
        return std::nullopt;
    // Reached through a symbolic link: the file it points to is converted, the link stays.
    const QString path = ReplacementTarget(given, QStringLiteral("convert \"%1\"").arg(given));
    // One conversion at a time: a program starting meanwhile waits here, then finds the file
    // converted.
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt; // opening the database reports it
    const Descriptor closer{fd};
    ::flock(fd, LOCK_EX);
    if (!sameFile(fd, path, Link::Followed) || !IsJetFile(path))
        return std::nullopt;
    SlowTeller tell{slow};

    QList<Snippet> snippets;
    try {
        snippets = ReadJetSnippets(path, std::ref(tell));
    } catch (const Error& e) {
        throw Error(QStringLiteral("Your snippets are in the old Jet 4.0 database format of the "
                                   "Windows program, and they could not be converted. %1 The file "
                                   "was left as it is.")
                        .arg(e.message()));
    }

    const QFileInfo info(path);
    const QString temp =
        info.path() +
        QStringLiteral("/.%1-converting-%2.mdb").arg(info.completeBaseName()).arg(::getpid());
    const auto discard = [&temp] {
        ::unlink(native(temp).constData());
        ::unlink(native(temp + QStringLiteral("-journal")).constData());
    };
    discard(); // left by a run of the same number that stopped halfway
    QString original;
    try {
        convertInto(temp, snippets);
        original = keepOriginal(path);
        if (std::rename(native(temp).constData(), native(path).constData()) != 0) {
            const int err = errno;
            ::unlink(native(original).constData());
            throw Error(QStringLiteral("Cannot put the converted collection in place as \"%1\": "
                                       "%2.")
                            .arg(path, systemError(err)));
        }
    } catch (const Error& e) {
        discard();
        throw Error(QStringLiteral("Your snippets are in the old Jet 4.0 database format of the "
                                   "Windows program, and converting them failed. %1 The file was "
                                   "left as it is.")
                        .arg(e.message()));
    } catch (...) {
        discard();
        throw;
    }
    const int folder = ::open(native(info.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return JetConversion{original, snippets.size()};
}

} // namespace varozidi::transfer
