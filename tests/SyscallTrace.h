// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The order in which replacements reach the disk, as `strace -f -y` sees a process: the new
// file's data synced, the rename, the folder synced; a new folder, then its parent synced.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <sys/prctl.h>
#include <unistd.h>

namespace testsupport {

inline QString straceProgram() {
    return QStandardPaths::findExecutable(QStringLiteral("strace"));
}

// strace's arguments before the program: descriptors shown with their paths.
inline QStringList traceOptions(const QString& file) {
    return {"-f", "-y", "-o",
            file, "-e", "trace=fsync,fdatasync,syncfs,rename,renameat2,link,mkdir"};
}

// Each call of a trace file as one line, a call another thread cut in two joined again.
inline QStringList readTrace(const QString& file) {
    QFile in(file);
    in.open(QIODevice::ReadOnly);
    QStringList calls;
    QHash<QString, QString> pending;
    static const QRegularExpression resumed("^(\\d+)\\s+<\\.\\.\\. \\w+ resumed>");
    for (const QString& line : QString::fromUtf8(in.readAll()).split(u'\n')) {
        const QString pid = line.section(u' ', 0, 0);
        if (line.endsWith(" <unfinished ...>"))
            pending.insert(pid, line.chopped(17));
        else if (const auto m = resumed.match(line); m.hasMatch())
            calls.append(pending.take(pid) + line.mid(m.capturedEnd()));
        else
            calls.append(line);
    }
    return calls;
}

// program run under strace; its exit status in status.
inline QStringList tracedRun(const QString& program, const QStringList& args,
                             const QProcessEnvironment& env, int& status) {
    QTemporaryDir dir;
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(straceProgram(), traceOptions(dir.filePath("trace")) + QStringList{program} + args);
    p.waitForFinished(60000);
    status = p.exitCode();
    return readTrace(dir.filePath("trace"));
}

// strace attached to this very process for the object's life.
class SelfTrace {
public:
    SelfTrace() {
        // A tracer that is not an ancestor needs leave where the kernel asks for it.
        ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
        strace_.setReadChannel(QProcess::StandardError);
        strace_.start(straceProgram(), traceOptions(dir_.filePath("trace")) +
                                           QStringList{"-p", QString::number(::getpid())});
        for (int i = 0; i < 100 && !said_.contains("attached"); ++i)
            if (strace_.waitForReadyRead(100))
                said_ += strace_.readAllStandardError();
        QThread::msleep(200);
    }
    bool attached() const { return said_.contains("attached"); }
    QStringList stop() {
        strace_.terminate();
        strace_.waitForFinished(10000);
        return readTrace(dir_.filePath("trace"));
    }

private:
    QTemporaryDir dir_;
    QProcess strace_;
    QByteArray said_;
};

// What is out of order for target, a file replaced (how "rename") or a folder made ("mkdir"):
// empty when the new file's data were synced before the rename and the folder after it, or
// the parent after the folder was made.
inline QString orderFault(const QStringList& calls, const QString& target, const QString& how) {
    static const QRegularExpression call("^\\d+\\s+(\\w+)\\((.*)\\)\\s+=\\s+0$");
    static const QRegularExpression quoted("\"([^\"]*)\"");
    static const QRegularExpression fdPath("^\\d+<([^>]*)>");
    const QString to = QDir::cleanPath(target);
    QStringList synced; // the paths synced so far, in order
    QString from;       // the name renamed onto target
    qsizetype at = -1;  // how many syncs came before it
    for (const QString& line : calls) {
        const auto m = call.match(line);
        if (!m.hasMatch())
            continue;
        if (m.captured(1).contains(u"sync")) {
            synced.append(QDir::cleanPath(fdPath.match(m.captured(2)).captured(1)));
            continue;
        }
        QStringList names;
        for (auto it = quoted.globalMatch(m.captured(2)); it.hasNext();)
            names.append(QDir::cleanPath(it.next().captured(1)));
        const QString name = m.captured(1);
        if (!names.isEmpty() && names.last() == to &&
            (how == u"rename" ? name.startsWith(u"rename") || name == u"link" : name == u"mkdir")) {
            from = names.first();
            at = synced.size();
        }
    }
    if (at < 0)
        return to + ": never " + how + "d";
    if (how == u"rename" && !synced.first(at).contains(from))
        return to + ": renamed before its data were synced";
    return synced.sliced(at).contains(QFileInfo(to).path()) ? QString()
                                                            : to + ": its folder not synced after";
}

} // namespace testsupport
