// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/SearchRequest.h"

#include "data/collection/Collection.h"
#include "window/SearchWindow.h"
#include "window/Unit1.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
// A running program may be in the middle of a save; the request waits for it.
constexpr int kAnswerMs = 5000;
// The answer goes once the window is painted, or after this at the latest.
constexpr int kPaintWaitMs = 1000;

// The listening side in plain POSIX as well: the toolkit's own local sockets would bring its
// network library and what that links (Kerberos, a proxy resolver) into every start.

bool sockaddrOf(const QByteArray& path, sockaddr_un& address) {
    if (path.size() >= qsizetype(sizeof address.sun_path))
        return false;
    address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    return true;
}

// One request on its way in; answered once, then closed.
class Request : public QObject {
public:
    Request(int fd, TForm1* form) : QObject(form), fd_(fd), form_(form) {
        reader_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        QObject::connect(reader_, &QSocketNotifier::activated, this, [this] { readSome(); });
    }
    ~Request() override { ::close(fd_); }

    // Says the window is there, and lets the asking program end.
    void Answer() {
        if (answered_)
            return;
        answered_ = true;
        (void)::send(fd_, "k", 1, MSG_NOSIGNAL);
        deleteLater();
    }

private:
    void readSome() {
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) { // gone before its answer
            reader_->setEnabled(false);
            deleteLater();
            return;
        }
        received_.append(chunk, n);
        constexpr qsizetype head = 4 + 1 + 4;
        if (received_.size() < head)
            return; // the rest is still on its way
        const quint32 size = qFromBigEndian<quint32>(received_.constData() + 5);
        if (!received_.startsWith(kMagic) || size > kMaxText) {
            reader_->setEnabled(false);
            deleteLater();
            return;
        }
        if (received_.size() < head + qsizetype(size))
            return;
        reader_->setEnabled(false);
        const bool hasText = received_.at(4) != 0;
        const QString text = QString::fromUtf8(received_.mid(head, size));
        ShowSearch(form_, SearchOption{true, hasText ? std::optional(text) : std::nullopt});
        if (form_->Search && form_->Search->isVisible())
            answerWhenPainted(form_->Search);
        else
            Answer(); // taken all the same (behind a question): no second program may start
    }

    void answerWhenPainted(QWidget* window) {
        auto* watcher = new PaintWatcher(this);
        window->installEventFilter(watcher);
        QTimer::singleShot(kPaintWaitMs, this, [this] { Answer(); });
    }

    class PaintWatcher : public QObject {
    public:
        explicit PaintWatcher(Request* request) : QObject(request), request_(request) {}
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint)
                QTimer::singleShot(0, request_, [request = request_] { request->Answer(); });
            return false;
        }

    private:
        Request* request_;
    };

    int fd_;
    TForm1* form_;
    QSocketNotifier* reader_;
    QByteArray received_;
    bool answered_ = false;
};

// The socket file and the descriptor listening on it; the file goes with it, unless another
// program has put its own in its place meanwhile.
class Listener : public QObject {
public:
    Listener(int fd, QByteArray path, ino_t inode, TForm1* form)
        : QObject(form), fd_(fd), path_(std::move(path)), inode_(inode) {
        auto* notifier = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        QObject::connect(notifier, &QSocketNotifier::activated, this, [this, form] {
            for (;;) {
                const int client = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (client < 0)
                    return;
                new Request(client, form);
            }
        });
    }
    ~Listener() override {
        struct stat now {};
        if (::lstat(path_.constData(), &now) == 0 && now.st_ino == inode_)
            ::unlink(path_.constData());
        ::close(fd_);
    }

private:
    int fd_;
    QByteArray path_;
    ino_t inode_;
};

constexpr int kNobody = -1;
constexpr int kBusy = -2;

// A connection to the program listening on path, kBusy when one listens but cannot take
// another connection now, kNobody when none does.
int connectToListener(const QByteArray& path) {
    sockaddr_un address{};
    if (!sockaddrOf(path, address))
        return kNobody;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return kNobody;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    const bool busy = errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return busy ? kBusy : kNobody;
}

// Kept open to the program that holds the socket, sending nothing: its end says that program
// has gone, and this one takes the requests over. The short wait keeps two such programs from
// taking turns at the file.
class Watch : public QObject {
public:
    Watch(int fd, const QString& socketName, TForm1* form) : QObject(form), fd_(fd) {
        auto* notifier = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        QObject::connect(
            notifier, &QSocketNotifier::activated, this, [this, notifier, socketName, form] {
                char byte = 0;
                const ssize_t n = ::recv(fd_, &byte, 1, 0);
                if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN)))
                    return;
                notifier->setEnabled(false);
                QTimer::singleShot(QRandomGenerator::global()->bounded(20, 300), form,
                                   [socketName, form] { ListenForSearches(socketName, form); });
                deleteLater();
            });
    }
    ~Watch() override { ::close(fd_); }

private:
    int fd_;
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

QString SearchSocketName(const QString& connectionString) {
    // The same collection reached by two spellings of its path or address is one collection.
    QString key;
    try {
        key = varozidi::CollectionAddress::Of(connectionString).identity();
    } catch (const std::exception&) {
        key = QStringLiteral("unknown:") + connectionString;
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
    if (!sockaddrOf(path, address))
        return false;
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
    // Failures leave later --search starts to open a window of their own.
    const QByteArray path = QFile::encodeName(socketName);
    sockaddr_un address{};
    if (!sockaddrOf(path, address))
        return;
    // A program still answering keeps the socket; a file left by a killed one goes.
    if (const int held = connectToListener(path); held != kNobody) {
        if (held >= 0)
            new Watch(held, socketName, form);
        return;
    }
    ::unlink(path.constData());
    // Bound in a folder only this user can enter and then moved into place, so that the
    // socket is never reachable by others, whatever the umask.
    const QFileInfo target(socketName);
    QByteArray folder = QFile::encodeName(target.absolutePath()) + "/varozidi-XXXXXX";
    if (!::mkdtemp(folder.data()))
        return;
    const QByteArray inFolder = folder + "/s";
    const auto dropFolder = qScopeGuard([&] {
        ::unlink(inFolder.constData());
        ::rmdir(folder.constData());
    });
    sockaddr_un bound{};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    struct stat placed {};
    if (!sockaddrOf(inFolder, bound) ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        ::chmod(inFolder.constData(), S_IRUSR | S_IWUSR) != 0 || ::listen(fd, 16) != 0 ||
        ::rename(inFolder.constData(), path.constData()) != 0 ||
        ::lstat(path.constData(), &placed) != 0) {
        ::close(fd);
        return;
    }
    new Listener(fd, path, placed.st_ino, form);
}

namespace {

// The latest request that came while a question was open, shown once it is answered.
class LaterSearch : public QObject {
public:
    static void Keep(TForm1* form, const SearchOption& option) {
        static QPointer<LaterSearch> waiting;
        if (!waiting)
            waiting = new LaterSearch(form);
        waiting->option_ = option;
    }

private:
    explicit LaterSearch(TForm1* form) : QObject(form), form_(form) {
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this] {
            if (QApplication::activeModalWidget())
                return;
            deleteLater();
            ShowSearch(form_, option_);
        });
        timer->start(kAnsweredPollMs);
    }
    static constexpr int kAnsweredPollMs = 100;
    TForm1* form_;
    SearchOption option_;
};

} // namespace

void ShowSearch(TForm1* form, const SearchOption& option) {
    if (form->isMinimized())
        form->showNormal();
    // A question is waiting for its answer: it comes forward, and nothing behind it changes
    // until it is answered; then the search window comes.
    if (QWidget* question = QApplication::activeModalWidget()) {
        question->raise();
        question->activateWindow();
        LaterSearch::Keep(form, option);
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
