#include "SearchRequest.h"

#include "DatabaseChoice.h"
#include "SearchWindow.h"
#include "Unit1.h"
#include "platform/Files.h"
#include "platform/PgBackend.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>
#include <unistd.h>

namespace {

// Guards against anything else that might connect to the socket.
constexpr quint32 kMagic = 0x565a5331; // "VZS1"
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
    // The runtime folder is the user's own; the name carries the user for a shared /tmp.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const QByteArray digest =
        QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("%1/varozidi-%2-%3.search")
        .arg(folder.isEmpty() ? QStringLiteral("/tmp") : folder)
        .arg(getuid())
        .arg(QString::fromLatin1(digest));
}

bool ForwardSearch(const QString& socketName, const SearchOption& option) {
    QLocalSocket socket;
    socket.connectToServer(socketName);
    if (!socket.waitForConnected(kConnectMs))
        return false;
    QByteArray request;
    QDataStream out(&request, QIODevice::WriteOnly);
    out << kMagic << option.text.has_value() << option.text.value_or(QString());
    socket.write(request);
    if (!socket.waitForBytesWritten(kAnswerMs))
        return false;
    return socket.waitForReadyRead(kAnswerMs) && socket.read(1) == "k";
}

void ListenForSearches(const QString& socketName, TForm1* form) {
    {
        // A program still answering keeps the socket; a file left by a killed one goes.
        QLocalSocket probe;
        probe.connectToServer(socketName);
        if (probe.waitForConnected(kConnectMs))
            return;
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
            QObject::connect(socket, &QLocalSocket::readyRead, form, [socket, form] {
                QDataStream in(socket);
                in.startTransaction();
                quint32 magic = 0;
                bool hasText = false;
                QString text;
                in >> magic >> hasText >> text;
                if (!in.commitTransaction())
                    return; // the rest is still on its way
                if (magic != kMagic) {
                    socket->abort();
                    return;
                }
                SearchOption option{true, hasText ? std::optional(text) : std::nullopt};
                ShowSearch(form, option);
                if (form->Search)
                    new AnswerWhenPainted(form->Search, socket);
                else
                    socket->abort();
            });
        }
    });
}

void ShowSearch(TForm1* form, const SearchOption& option) {
    if (form->isMinimized())
        form->showNormal();
    form->OpenSearch();
    if (option.text && form->Search) {
        form->Search->Query->setText(*option.text);
        form->Search->Query->deselect();
    }
}
