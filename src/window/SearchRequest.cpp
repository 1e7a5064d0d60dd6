// SPDX-License-Identifier: GPL-3.0-or-later
#include "SearchRequest.h"

#include "DatabaseChoice.h"
#include "SearchWindow.h"
#include "Unit1.h"
#include "platform/Files.h"
#include "platform/PgBackend.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTimer>
#include <QtEndian>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A request: this, a byte saying whether a text follows, the text's UTF-8 size in 4 bytes
// (big-endian), the text. The answer: "k" once the search window is painted.
constexpr char kMagic[] = "VZS1";
// A query longer than this is no query.
constexpr quint32 kMaxText = 1 << 20;
constexpr int kConnectMs = 500;
// A running program may be in the middle of a save; the request waits for it.
constexpr int kAnswerMs = 5000;
// The answer goes once the window is painted, or after this at the latest.
constexpr int kPaintWaitMs = 1000;

// Answers the request once the search window has been painted.
class AnswerWhenPainted : public QObject {
public:
    AnswerWhenPainted(QWidget* window, QLocalSocket* socket) : QObject(window), socket_(socket) {
        window->installEventFilter(this);
        QTimer::singleShot(kPaintWaitMs, this, [this] { answer(); });
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            QTimer::singleShot(0, this, [this] { answer(); });
        return false;
    }

private:
    void answer() {
        if (socket_) {
            socket_->write("k");
            socket_->flush();
            socket_->disconnectFromServer();
        }
        deleteLater();
    }
    QPointer<QLocalSocket> socket_;
};

} // namespace

SearchOption SearchOptionOf(const QStringList& arguments) {
    const QString option = QStringLiteral("--search");
    SearchOption found;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == option) {
            found.given = true;
            if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(u'-'))
                found.text = arguments[i + 1];
        } else if (arguments[i].startsWith(option + u'=')) {
            found.given = true;
            found.text = arguments[i].mid(option.size() + 1);
        }
    }
    return found;
}

QString SearchSocketName(const QString& dataDir, const QString& connectionString) {
    // The same collection reached by two spellings of its path or address is one collection.
    QString key;
    if (const QString server = ServerUriOf(connectionString); !server.isEmpty()) {
        try {
            key = QStringLiteral("server:") + varozidi::ado::ServerName(server);
        } catch (const std::exception&) {
            key = QStringLiteral("server:") + server;
        }
    } else {
        const QFileInfo file(ResolveFileName(dataDir + QStringLiteral("varozidi.mdb")));
        key = QStringLiteral("file:") +
              (file.exists() ? file.canonicalFilePath() : file.absoluteFilePath());
    }
    // The runtime folder is the user's own; the name carries the user for a shared /tmp, where
    // a request goes only to a socket of the user's own (ForwardSearch checks).
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::tempPath();
    const QByteArray digest =
        QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("%1/varozidi-%2-%3.search")
        .arg(folder)
        .arg(getuid())
        .arg(QString::fromLatin1(digest));
}

bool ForwardSearch(const QString& socketName, const SearchOption& option) {
    // Plain POSIX: this runs before the toolkit starts, so that a request costs little more
    // than the process start.
    const QByteArray path = QFile::encodeName(socketName);
    struct stat found {};
    if (::lstat(path.constData(), &found) != 0 || !S_ISSOCK(found.st_mode) ||
        found.st_uid != ::getuid())
        return false;
    sockaddr_un address{};
    if (path.size() >= qsizetype(sizeof address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return false;
    const QByteArray text = option.text.value_or(QString()).toUtf8();
    QByteArray request = kMagic;
    request += char(option.text ? 1 : 0);
    const quint32 size = qToBigEndian(quint32(text.size()));
    request.append(reinterpret_cast<const char*>(&size), sizeof size);
    request += text;
    for (qsizetype sent = 0; sent < request.size();) {
        const ssize_t n =
            ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    pollfd answer{fd, POLLIN, 0};
    int ready;
    do
        ready = ::poll(&answer, 1, kAnswerMs);
    while (ready < 0 && errno == EINTR);
    char reply = 0;
    if (ready == 1 && ::recv(fd, &reply, 1, 0) == 1 && reply == 'k')
        return true;
    // It took the request but is busy (a long save, say): it shows its search window when it
    // is free. A second main window on the same collection would help no one.
    if (ready == 0)
        std::fputs("varozidi: Varozidi is busy; its search window comes forward when it is "
                   "free.\n",
                   stderr);
    return ready == 0;
}

void ListenForSearches(const QString& socketName, TForm1* form) {
    {
        // A program still answering keeps the socket; a file left by a killed one goes.
        auto* probe = new QLocalSocket(form);
        probe->connectToServer(socketName);
        if (probe->waitForConnected(kConnectMs)) {
            // Kept open, it tells when that program ends, and this one takes the requests
            // over; the wait keeps two such programs from taking turns at the file.
            QObject::connect(probe, &QLocalSocket::disconnected, form, [probe, socketName, form] {
                probe->deleteLater();
                QTimer::singleShot(QRandomGenerator::global()->bounded(20, 300), form,
                                   [socketName, form] { ListenForSearches(socketName, form); });
            });
            return;
        }
        delete probe;
        QLocalServer::removeServer(socketName);
    }
    auto* server = new QLocalServer(form);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketName)) {
        delete server; // later --search starts open a window of their own
        return;
    }
    QObject::connect(server, &QLocalServer::newConnection, form, [server, form] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            auto received = std::make_shared<QByteArray>();
            QObject::connect(socket, &QLocalSocket::readyRead, form, [socket, form, received] {
                *received += socket->readAll();
                constexpr qsizetype head = 4 + 1 + 4;
                if (received->size() < head)
                    return; // the rest is still on its way
                const quint32 size = qFromBigEndian<quint32>(received->constData() + 5);
                if (!received->startsWith(kMagic) || size > kMaxText) {
                    socket->abort();
                    return;
                }
                if (received->size() < head + qsizetype(size))
                    return;
                const bool hasText = received->at(4) != 0;
                const QString text = QString::fromUtf8(received->mid(head, size));
                SearchOption option{true, hasText ? std::optional(text) : std::nullopt};
                ShowSearch(form, option);
                if (form->Search && form->Search->isVisible()) {
                    new AnswerWhenPainted(form->Search, socket);
                } else {
                    // Taken all the same (behind a question): no second program may start.
                    socket->write("k");
                    socket->flush();
                    socket->disconnectFromServer();
                }
            });
        }
    });
}

void ShowSearch(TForm1* form, const SearchOption& option) {
    if (form->isMinimized())
        form->showNormal();
    // A question is waiting for its answer: it comes forward, and nothing behind it changes.
    if (QWidget* question = QApplication::activeModalWidget()) {
        question->raise();
        question->activateWindow();
        return;
    }
    form->OpenSearch();
    if (form->Search && form->Search->isMinimized())
        form->Search->setWindowState(form->Search->windowState() & ~Qt::WindowMinimized);
    if (option.text && form->Search) {
        form->Search->Query->setText(*option.text);
        form->Search->Query->deselect();
    }
}
