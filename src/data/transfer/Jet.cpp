// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/Jet.h"

#include "data/core/Posix.h"
#include "data/files/Files.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// glib first: mdbtools.h includes it inside extern "C", where its C++ parts cannot go.
#include <glib.h>
#include <mdbtools.h>

namespace varozidi::transfer {

namespace {

using posix::systemError;

constexpr qsizetype kPageSize = 4096;
// Page 0 (the header), the free-space map and the catalog's own table definition.
constexpr qsizetype kFewestPages = 3;
constexpr qsizetype kVersionOffset = 0x14;
constexpr quint32 kJet3 = 0;
constexpr quint32 kJet4 = 1;
// A row's offset on its page; the bits above it are flags.
constexpr int kRowOffsetMask = 0x1fff;
// A memo's length, below its two flag bits (inline, on one page).
constexpr quint32 kMemoLengthMask = 0x3fffffff;
constexpr qint64 kSlowMs = 400;
// The reading process sends its rows in chunks of this size; it is given up on once it has
// sent nothing for this long.
constexpr qsizetype kChunkBytes = 64 * 1024;
constexpr int kTickMs = 100;
constexpr qint64 kStallMs = 30000;

const QLatin1StringView kTable("varozidi");

QByteArray head(const QString& path, qsizetype size) {
    InputFile file(path);
    if (!file.isOpen())
        CannotOpen(path, file);
    return file.read(size);
}

bool startsAsJet(const QByteArray& bytes) {
    static const QByteArray jet("\x00\x01\x00\x00Standard Jet DB\x00", 20);
    static const QByteArray ace("\x00\x01\x00\x00Standard ACE DB\x00", 20);
    return bytes.startsWith(jet) || bytes.startsWith(ace);
}

quint32 littleEndian32(const QByteArray& bytes, qsizetype at) {
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | quint8(bytes[at + i]);
    return value;
}

// What libmdb needs to find in the file before it is handed over: it takes an empty file,
// and any version, without a word.
void checkHeader(const QString& path) {
    const qint64 size = QFileInfo(path).size();
    if (size == 0)
        throw BadInput(QStringLiteral("\"%1\" is empty.").arg(path));
    const QByteArray bytes = head(path, kPageSize);
    if (!startsAsJet(bytes))
        throw BadInput(QStringLiteral("\"%1\" is not a Jet database.").arg(path));
    if (bytes.mid(4, 15) == "Standard ACE DB")
        throw BadInput(QStringLiteral("\"%1\" is an Access 2007 or later database; only the Jet "
                                      "4.0 format of Access 2000 to 2003 can be read.")
                           .arg(path));
    const quint32 version =
        bytes.size() >= kVersionOffset + 4 ? littleEndian32(bytes, kVersionOffset) : quint32(-1);
    if (version == kJet3)
        throw BadInput(QStringLiteral("\"%1\" is a Jet 3 (Access 97) database; only the Jet 4.0 "
                                      "format of Access 2000 to 2003 can be read.")
                           .arg(path));
    if (version != kJet4)
        throw BadInput(QStringLiteral("\"%1\" is a Jet database of an unknown version (%2); only "
                                      "Jet 4.0 can be read.")
                           .arg(path)
                           .arg(qint64(version)));
    if (size % kPageSize != 0)
        throw BadInput(QStringLiteral("\"%1\" is damaged: it is cut short (%2 bytes, not a whole "
                                      "number of %3-byte pages).")
                           .arg(path)
                           .arg(size)
                           .arg(kPageSize));
    if (size < kFewestPages * kPageSize)
        throw BadInput(QStringLiteral("\"%1\" is damaged: it is cut short (only %2 bytes).")
                           .arg(path)
                           .arg(size));
}

// libmdb tells of trouble only on standard error. In the reading process (see readApart),
// what it writes there goes into a temporary file instead: the command line keeps its
// one-line messages, and the words can be quoted when the file turns out damaged.
class Complaints {
public:
    Complaints() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = file_ ? ::dup(STDERR_FILENO) : -1;
        if (saved_ >= 0 && ::dup2(::fileno(file_), STDERR_FILENO) < 0)
            restore();
    }
    ~Complaints() {
        restore();
        if (file_)
            std::fclose(file_);
    }
    Complaints(const Complaints&) = delete;
    Complaints& operator=(const Complaints&) = delete;

    // The first thing libmdb said, if anything.
    QString first() {
        restore();
        char line[256] = {};
        if (!file_ || std::fseek(file_, 0, SEEK_SET) != 0 || !std::fgets(line, sizeof line, file_))
            return {};
        return QString::fromLocal8Bit(line).trimmed();
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

class Reader {
public:
    explicit Reader(const QString& path) : path_(path) {}
    ~Reader() {
        if (table_)
            mdb_free_tabledef(table_);
        if (mdb_)
            mdb_close(mdb_);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Hands each row to take, in the file's order.
    void read(const std::function<void(const Snippet&)>& take) {
        open();
        std::vector<MdbField> fields(table_->num_cols);
        qsizetype rows = 0;
        mdb_rewind_table(table_);
        while (mdb_fetch_row(table_)) {
            // The row's page is still in the handle's buffer: crack it again to see which
            // fields are NULL, which the bound values do not tell.
            int start = 0;
            size_t size = 0;
            if (mdb_find_row(mdb_, int(table_->cur_row) - 1, &start, &size) != 0 ||
                mdb_crack_row(table_, start & kRowOffsetMask, size, fields.data()) !=
                    int(table_->num_cols))
                damaged(QStringLiteral("a row cannot be read"));
            take(Snippet{id(fields), text(fields, language_), text(fields, title_),
                         text(fields, body_)});
            ++rows;
        }
        if (rows != qsizetype(table_->num_rows))
            damaged(QStringLiteral("its table '%1' should hold %2 rows, but %3 could be read")
                        .arg(kTable)
                        .arg(table_->num_rows)
                        .arg(rows));
    }

private:
    [[noreturn]] void damaged(const QString& why) {
        // libmdb takes a page the disk refuses for a missing one: read through the file, so
        // that a failing disk is named as such (a DiskError) rather than the file as damaged.
        InputFile file(path_);
        std::vector<char> chunk(kChunkBytes);
        while (file.isOpen() && file.read(chunk.data(), qint64(chunk.size())) > 0) {
        }
        const QString said = complaints_.first();
        // libmdb says "read: <the system's reason>" of a page the disk refused.
        if (said.startsWith(QLatin1String("read: ")) && said.size() > 6)
            throw DiskError(QStringLiteral("Cannot read \"%1\": the disk could not be read (%2).")
                                .arg(path_, said.mid(6, 1).toLower() + said.mid(7)));
        throw BadInput(
            QStringLiteral("\"%1\" is damaged: %2%3.")
                .arg(path_, why, said.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(said)));
    }

    void open() {
        errno = 0;
        mdb_ = mdb_open(QFile::encodeName(path_).constData(), MDB_NOFLAGS);
        // The system refusing the file is no damage of it.
        if (!mdb_ && errno == EIO)
            throw DiskError(
                QStringLiteral("Cannot read \"%1\": %2.").arg(path_, DiskErrorText(EIO, false)));
        if (!mdb_ && errno != 0)
            throw BadInput(
                QStringLiteral("Cannot read \"%1\": %2.").arg(path_, systemError(errno)));
        if (!mdb_)
            damaged(QStringLiteral("it cannot be opened"));
        GPtrArray* catalog = mdb_read_catalog(mdb_, MDB_TABLE);
        if (!catalog)
            damaged(QStringLiteral("its list of tables cannot be read"));
        MdbCatalogEntry* entry = nullptr;
        bool catalogListed = false;
        for (guint i = 0; i < catalog->len && !entry; ++i) {
            auto* candidate = static_cast<MdbCatalogEntry*>(g_ptr_array_index(catalog, i));
            const QString name = QString::fromUtf8(candidate->object_name);
            catalogListed = catalogListed || name == u"MSysObjects";
            if (candidate->object_type == MDB_TABLE &&
                name.compare(kTable, Qt::CaseInsensitive) == 0)
                entry = candidate;
        }
        // Every Jet database lists its own catalog table; a list without it was cut short.
        if (!entry && !catalogListed)
            damaged(QStringLiteral("its list of tables is cut short"));
        if (!entry)
            throw BadInput(
                QStringLiteral("\"%1\" holds no table '%2' of snippets.").arg(path_, kTable));
        table_ = mdb_read_table(entry);
        if (!table_ || !mdb_read_columns(table_))
            damaged(QStringLiteral("the table '%1' cannot be read").arg(kTable));
        id_ = column("ID", {MDB_LONGINT, MDB_INT, MDB_BYTE});
        language_ = column("Language", {MDB_TEXT, MDB_MEMO});
        title_ = column("Title", {MDB_TEXT, MDB_MEMO});
        body_ = column("Body", {MDB_TEXT, MDB_MEMO});
    }

    MdbColumn* column(const char* name, std::initializer_list<int> types) {
        for (guint i = 0; i < table_->num_cols; ++i) {
            auto* c = static_cast<MdbColumn*>(g_ptr_array_index(table_->columns, i));
            if (QString::fromUtf8(c->name).compare(QLatin1String(name), Qt::CaseInsensitive) != 0)
                continue;
            if (std::find(types.begin(), types.end(), c->col_type) == types.end())
                throw BadInput(QStringLiteral("\"%1\": the field %2 of the table '%3' is of an "
                                              "unexpected type (%4).")
                                   .arg(path_, QLatin1String(name), kTable)
                                   .arg(c->col_type));
            return c;
        }
        throw BadInput(QStringLiteral("\"%1\": the table '%2' has no field %3.")
                           .arg(path_, kTable, QLatin1String(name)));
    }

    const MdbField* field(const std::vector<MdbField>& fields, MdbColumn* c) const {
        for (const MdbField& f : fields)
            if (g_ptr_array_index(table_->columns, guint(f.colnum)) == c)
                return f.is_null ? nullptr : &f;
        return nullptr;
    }

    std::optional<qint64> id(const std::vector<MdbField>& fields) const {
        const MdbField* f = field(fields, id_);
        if (!f)
            return std::nullopt;
        const auto* bytes = static_cast<const unsigned char*>(f->value);
        switch (id_->col_type) {
        case MDB_BYTE:
            return bytes[0];
        case MDB_INT:
            return qint16(bytes[0] | bytes[1] << 8);
        default:
            return qint32(quint32(bytes[0]) | quint32(bytes[1]) << 8 | quint32(bytes[2]) << 16 |
                          quint32(bytes[3]) << 24);
        }
    }

    Text text(const std::vector<MdbField>& fields, MdbColumn* c) {
        const MdbField* f = field(fields, c);
        if (!f)
            return std::nullopt;
        const auto* bytes = static_cast<const char*>(f->value);
        if (c->col_type == MDB_TEXT)
            return DecodeJetText(QByteArrayView(bytes, f->siz));
        return DecodeJetText(memo(c, bytes, f->siz));
    }

    // A memo's whole value, however many pages it spans. libmdb's bound values stop at its
    // bind size and its text conversion turns characters beyond 16 bits into '?', so the raw
    // bytes are read here; and mdb_ole_read_full follows the page chain without a bound, which
    // a damaged chain that loops would never leave, so the chain is followed here instead
    // with the memo's own length as the limit.
    QByteArray memo(MdbColumn* c, const char* header, int size) {
        if (size < MDB_MEMO_OVERHEAD)
            damaged(QStringLiteral("a value of the field %1 is cut short")
                        .arg(QString::fromUtf8(c->name)));
        char ole[MDB_MEMO_OVERHEAD];
        std::copy(header, header + MDB_MEMO_OVERHEAD, ole);
        const qsizetype length = qsizetype(mdb_get_int32(ole, 0) & kMemoLengthMask);
        std::vector<char> chunk(kPageSize);
        struct Unbind {
            MdbColumn* c;
            ~Unbind() { c->bind_ptr = nullptr; }
        } unbind{c};
        c->bind_ptr = chunk.data();
        QByteArray bytes;
        size_t read = mdb_ole_read(mdb_, c, ole, chunk.size());
        bytes.append(chunk.data(), qsizetype(read));
        while (bytes.size() < length && (read = mdb_ole_read_next(mdb_, c, ole)) > 0)
            bytes.append(chunk.data(), qsizetype(read));
        if (bytes.size() != length)
            damaged(QStringLiteral("a value of the field %1 should be %2 bytes long, but %3 "
                                   "could be read")
                        .arg(QString::fromUtf8(c->name))
                        .arg(length)
                        .arg(bytes.size()));
        return bytes;
    }

    QString path_;
    Complaints complaints_;
    MdbHandle* mdb_ = nullptr;
    MdbTableDef* table_ = nullptr;
    MdbColumn* id_ = nullptr;
    MdbColumn* language_ = nullptr;
    MdbColumn* title_ = nullptr;
    MdbColumn* body_ = nullptr;
};

// The rows as the reading process sends them: a tag byte, then for a row whether it has an
// ID, the ID, and each text field as a length in UTF-16 units (-1 for NULL) and its units;
// for a refusal ('E') or a failure ('F') the message as text.
void putRaw(QByteArray& out, const void* data, qsizetype size) {
    out.append(static_cast<const char*>(data), size);
}

void putText(QByteArray& out, const Text& text) {
    const qint32 units = text ? qint32(text->size()) : -1;
    putRaw(out, &units, sizeof units);
    if (text)
        putRaw(out, text->utf16(), text->size() * qsizetype(sizeof(char16_t)));
}

class Message {
public:
    explicit Message(const QByteArray& bytes) : bytes_(bytes) {}
    bool atEnd() const { return at_ >= bytes_.size(); }
    template <class T> T take() {
        T value{};
        need(sizeof value);
        std::memcpy(&value, bytes_.constData() + at_, sizeof value);
        at_ += qsizetype(sizeof value);
        return value;
    }
    Text text() {
        const auto units = take<qint32>();
        if (units < 0)
            return std::nullopt;
        need(qsizetype(units) * qsizetype(sizeof(char16_t)));
        QString value(units, Qt::Uninitialized);
        std::memcpy(value.data(), bytes_.constData() + at_, std::size_t(units) * sizeof(char16_t));
        at_ += qsizetype(units) * qsizetype(sizeof(char16_t));
        return value;
    }

private:
    void need(qsizetype size) const {
        if (bytes_.size() - at_ < size)
            throw std::out_of_range("cut short");
    }
    const QByteArray& bytes_;
    qsizetype at_ = 0;
};

// Runs in the reading process: every row to fd, then the end of the process.
[[noreturn]] void readInto(int fd, const QString& path) {
    QByteArray out;
    const auto flush = [&out, fd](qsizetype atLeast) {
        if (out.size() < atLeast)
            return;
        WriteAll(fd, out.constData(), std::size_t(out.size()));
        out.clear();
    };
    int status = 0;
    try {
        Reader(path).read([&](const Snippet& s) {
            out += 'R';
            const char hasId = s.id ? 1 : 0;
            const qint64 id = s.id.value_or(0);
            putRaw(out, &hasId, 1);
            putRaw(out, &id, sizeof id);
            for (const Text* field : {&s.language, &s.title, &s.body})
                putText(out, *field);
            flush(kChunkBytes);
        });
    } catch (const BadInput& e) {
        out += 'E';
        putText(out, e.message());
        status = 1;
    } catch (const std::exception& e) {
        out += 'F';
        putText(out, messageOf(e));
        status = 1;
    }
    flush(0);
    ::close(fd);
    // No exit handlers: they belong to the program this process was copied from.
    ::_exit(status);
}

// The rows the reading process sent, or the error it reported.
QList<Snippet> rowsOf(const QByteArray& bytes, const QString& path) {
    QList<Snippet> rows;
    Message message(bytes);
    try {
        while (!message.atEnd()) {
            const char tag = message.take<char>();
            if (tag == 'E')
                throw BadInput(*message.text());
            if (tag == 'F')
                throw Error(*message.text());
            Snippet s;
            if (message.take<char>())
                s.id = message.take<qint64>();
            else
                message.take<qint64>();
            s.language = message.text();
            s.title = message.text();
            s.body = message.text();
            rows.append(s);
        }
    } catch (const std::out_of_range&) {
        throw BadInput(QStringLiteral("\"%1\" is damaged: reading it stopped partway.").arg(path));
    }
    return rows;
}

// libmdb trusts the file it reads: a damaged one can make it read beyond its buffers and
// crash, or go round in circles. So it reads in a process of its own, copied from this one,
// which sends the rows back; a file that ends that process, or stalls it, is reported as
// damaged, and the program goes on.
QList<Snippet> readApart(const QString& path, const std::function<void(bool)>& slow) {
    LoadJetReader();
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        throw Error(QStringLiteral("Cannot read \"%1\": %2.").arg(path, systemError(errno)));
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        readInto(pipe[1], path);
    }
    ::close(pipe[1]);
    if (child < 0) {
        ::close(pipe[0]);
        throw Error(QStringLiteral("Cannot read \"%1\": %2.").arg(path, systemError(errno)));
    }

    QByteArray bytes;
    QElapsedTimer started;
    QElapsedTimer quiet;
    started.start();
    quiet.start();
    bool told = false;
    bool stalled = false;
    std::vector<char> chunk(kChunkBytes);
    while (true) {
        pollfd wait{pipe[0], POLLIN, 0};
        const int ready = ::poll(&wait, 1, kTickMs);
        if (ready > 0) {
            const ssize_t n = ::read(pipe[0], chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                const int err = errno;
                ::kill(child, SIGKILL);
                ::close(pipe[0]);
                while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
                }
                if (told)
                    slow(false);
                throw Error(QStringLiteral("Cannot read \"%1\": %2.").arg(path, systemError(err)));
            }
            if (n == 0)
                break;
            bytes.append(chunk.data(), n);
            quiet.restart();
        } else if (ready == 0 && quiet.elapsed() > kStallMs) {
            ::kill(child, SIGKILL);
            stalled = true;
            break;
        }
        if (!told && slow && started.elapsed() > kSlowMs) {
            told = true;
            slow(true);
        }
    }
    ::close(pipe[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (told)
        slow(false);

    if (stalled)
        throw BadInput(QStringLiteral("\"%1\" is damaged: reading it went on for %2 seconds "
                                      "without getting anywhere.")
                           .arg(path)
                           .arg(kStallMs / 1000));
    if (WIFSIGNALED(status))
        throw BadInput(QStringLiteral("\"%1\" is damaged: reading it failed (%2).")
                           .arg(path, QString::fromLocal8Bit(::strsignal(WTERMSIG(status)))));
    QList<Snippet> rows = rowsOf(bytes, path);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw BadInput(QStringLiteral("\"%1\" is damaged: reading it stopped partway.").arg(path));
    return rows;
}

} // namespace

bool IsJetFile(const QString& path) {
    // A head that cannot be read is no Jet file's; whoever reads the file next says why.
    try {
        InputFile file(path);
        return file.isOpen() && startsAsJet(file.read(20));
    } catch (const DiskError&) {
        return false;
    }
}

QList<Snippet> ReadJetSnippets(const QString& path, const std::function<void(bool)>& slow) {
    checkHeader(path);
    return readApart(path, slow);
}

QString DecodeJetText(QByteArrayView raw) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
    const qsizetype size = raw.size();
    const auto unit = [bytes](qsizetype at) {
        return QChar(char16_t(bytes[at] | bytes[at + 1] << 8));
    };
    QString text;
    text.reserve(size);
    if (size >= 2 && bytes[0] == 0xff && bytes[1] == 0xfe) {
        bool compressed = true;
        for (qsizetype i = 2; i < size;) {
            if (bytes[i] == 0) {
                compressed = !compressed;
                ++i;
            } else if (compressed) {
                text.append(QChar(char16_t(bytes[i++])));
            } else if (i + 1 < size) {
                text.append(unit(i));
                i += 2;
            } else {
                break; // half a character at the end
            }
        }
        return text;
    }
    for (qsizetype i = 0; i + 1 < size; i += 2)
        text.append(unit(i));
    return text;
}

} // namespace varozidi::transfer
