// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The order in which a replacement reaches the disk, as strace sees a process's system calls:
// the new file's data synced, then the rename, then the folder synced; a new folder, then its
// parent synced. Header only: the suites that read traces include it.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <sys/prctl.h>
#include <unistd.h>

namespace testsupport {

inline QString straceProgram() {
    return QStandardPaths::findExecutable(QStringLiteral("strace"));
}

// What the checks below need to see.
inline const QString kTracedCalls =
    QStringLiteral("trace=open,openat,close,fsync,fdatasync,syncfs,rename,renameat,renameat2,"
                   "link,mkdir,mkdirat");

// The calls in a trace file of strace -f, each on one line: a call another thread cut in two
// is joined again.
inline QStringList readTrace(const QString& file) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return {};
    QStringList calls;
    QHash<QString, QString> pending;
    static const QRegularExpression resumed(QStringLiteral("^(\\d+)\\s+<\\.\\.\\. \\w+ resumed>"));
    for (const QByteArray& raw : in.readAll().split('\n')) {
        QString line = QString::fromUtf8(raw);
        const QString pid = line.section(u' ', 0, 0);
        if (line.endsWith(QStringLiteral(" <unfinished ...>"))) {
            pending.insert(pid, line.chopped(17));
            continue;
        }
        if (const auto m = resumed.match(line); m.hasMatch())
            line = pending.take(pid) + line.mid(m.capturedEnd());
        calls.append(line);
    }
    return calls;
}

// The trace of a program run: the lines of its calls, or nothing where strace is missing.
inline QStringList tracedRun(const QString& program, const QStringList& args,
                             const QProcessEnvironment& env, int* exitCode = nullptr) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("trace"));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(straceProgram(),
            QStringList{QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-e"),
                        kTracedCalls, QStringLiteral("-o"), file, program} +
                args);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000))
        return {};
    if (exitCode)
        *exitCode = p.exitCode();
    return readTrace(file);
}

// strace attached to this very process for the object's life: what it does meanwhile.
class SelfTrace {
public:
    SelfTrace() {
        // A tracer that is not an ancestor needs leave, where the kernel asks for it.
        ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
        strace_.start(straceProgram(),
                      {QStringLiteral("-f"), QStringLiteral("-e"), kTracedCalls,
                       QStringLiteral("-o"), dir_.filePath(QStringLiteral("trace")),
                       QStringLiteral("-p"), QString::number(::getpid())});
        for (int i = 0; i < 100 && !attached_; ++i) {
            strace_.waitForReadyRead(100);
            said_ += strace_.readAllStandardError();
            attached_ = said_.contains("attached");
        }
        QThread::msleep(200);
    }
    bool attached() const { return attached_; }
    QStringList stop() {
        strace_.terminate();
        strace_.waitForFinished(10000);
        return readTrace(dir_.filePath(QStringLiteral("trace")));
    }

private:
    QTemporaryDir dir_;
    QProcess strace_;
    QByteArray said_;
    bool attached_ = false;
};

namespace trace {

struct Event {
    enum Kind { Sync, Rename, Mkdir } kind;
    QString path; // the file synced, the name given, the folder made
    QString from; // for a rename, the name it had
};

inline QString clean(const QString& path) {
    return QDir::cleanPath(path);
}

// Syncs (with the path their descriptor was opened on), renames and folders made, in order.
inline QList<Event> events(const QStringList& calls) {
    static const QRegularExpression call(
        QStringLiteral("^\\d+\\s+(\\w+)\\((.*)\\)\\s+=\\s+(-?\\d+)"));
    static const QRegularExpression quoted(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\""));
    QHash<int, QString> open;
    QList<Event> out;
    for (const QString& line : calls) {
        const auto m = call.match(line);
        if (!m.hasMatch())
            continue;
        const QString name = m.captured(1);
        const QString args = m.captured(2);
        const int result = m.captured(3).toInt();
        QStringList paths;
        for (auto it = quoted.globalMatch(args); it.hasNext();)
            paths.append(it.next().captured(1));
        const int fd = args.section(u',', 0, 0).toInt();
        if ((name == u"open" || name == u"openat") && result >= 0 && !paths.isEmpty())
            open.insert(result, clean(paths.first()));
        else if (name == u"close")
            open.remove(fd);
        else if ((name == u"fsync" || name == u"fdatasync" || name == u"syncfs") && result == 0)
            out.append({Event::Sync, open.value(fd), {}});
        else if ((name.startsWith(u"rename") || name == u"link") && result == 0 &&
                 paths.size() == 2)
            out.append({Event::Rename, clean(paths[1]), clean(paths[0])});
        else if (name.startsWith(u"mkdir") && result == 0 && !paths.isEmpty())
            out.append({Event::Mkdir, clean(paths.first()), {}});
    }
    return out;
}

} // namespace trace

// What is out of order in the replacement of target (its new data synced, the rename, its
// folder synced), or empty when nothing is.
inline QString replacementFault(const QStringList& calls, const QString& target) {
    const QList<trace::Event> events = trace::events(calls);
    const QString to = trace::clean(target);
    qsizetype renamed = -1;
    for (qsizetype i = 0; i < events.size(); ++i)
        if (events[i].kind == trace::Event::Rename && events[i].path == to)
            renamed = i;
    if (renamed < 0)
        return QStringLiteral("%1: no rename onto it").arg(target);
    bool dataSynced = false;
    for (qsizetype i = 0; i < renamed; ++i)
        dataSynced |=
            events[i].kind == trace::Event::Sync && events[i].path == events[renamed].from;
    bool folderSynced = false;
    for (qsizetype i = renamed + 1; i < events.size(); ++i)
        folderSynced |=
            events[i].kind == trace::Event::Sync && events[i].path == QFileInfo(to).path();
    if (!dataSynced)
        return QStringLiteral("%1: renamed before its data were synced").arg(target);
    return folderSynced ? QString()
                        : QStringLiteral("%1: its folder not synced after the rename").arg(target);
}

// What is out of order in the making of folder (made, then its parent synced), or empty.
inline QString newFolderFault(const QStringList& calls, const QString& folder) {
    const QList<trace::Event> events = trace::events(calls);
    const QString made = trace::clean(folder);
    qsizetype at = -1;
    for (qsizetype i = 0; i < events.size(); ++i)
        if (events[i].kind == trace::Event::Mkdir && events[i].path == made)
            at = i;
    if (at < 0)
        return QStringLiteral("%1: not made").arg(folder);
    for (qsizetype i = at + 1; i < events.size(); ++i)
        if (events[i].kind == trace::Event::Sync && events[i].path == QFileInfo(made).path())
            return {};
    return QStringLiteral("%1: its parent not synced after it was made").arg(folder);
}

} // namespace testsupport
