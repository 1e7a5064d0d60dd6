// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/postgresql/PgBackend.h"

#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/store/AdoFilter.h"

#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
#include <libpq-fe.h>

namespace varozidi::ado {

namespace {

// Type numbers of the server's catalogue (pg_type.dat), fixed since long ago.
constexpr Oid kBytea = 17;
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kText = 25;
constexpr Oid kFloat8 = 701;

// "?" becomes "$1", "$2", ...; quoted text and names are left as they are.
QByteArray numbered(const QString& sql) {
    QString out;
    out.reserve(sql.size() + 16);
    int next = 0;
    QChar quote;
    for (const QChar c : sql) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == u'\'' || c == u'"') {
            quote = c;
        } else if (c == u'?') {
            out += u'$' + QString::number(++next);
            continue;
        }
        out += c;
    }
    return out.toUtf8();
}

class PgRows : public Rows {
public:
    explicit PgRows(std::unique_ptr<PgResult> result) : result_(std::move(result)) {}
    bool step() override { return ++row_ < result_->rows(); }
    qint64 int64(int column) const override { return result_->int64(row_, column); }
    QVariant cell(int column) const override {
        pg_result* raw = result_->get();
        const Oid type = PQftype(raw, column);
        if (result_->isNull(row_, column) || type == kInt2 || type == kInt4 || type == kInt8 ||
            type == kBytea || PQgetlength(raw, row_, column) <= kTextKeptAsBytes)
            return result_->value(row_, column);
        // Text as the server sent it (UTF-8), decoded only where a string is wanted.
        return Utf8Value(QByteArray(PQgetvalue(raw, row_, column), PQgetlength(raw, row_, column)));
    }

private:
    std::unique_ptr<PgResult> result_;
    int row_ = -1;
};

} // namespace

bool IsServerUri(const QString& text) {
    return text.startsWith(QStringLiteral("postgresql://"), Qt::CaseInsensitive) ||
           text.startsWith(QStringLiteral("postgres://"), Qt::CaseInsensitive);
}

QString HidePassword(QString message, const QString& uri) {
    QStringList secrets;
    const qsizetype scheme = uri.indexOf(u"://");
    const QString rest = scheme >= 0 ? uri.mid(scheme + 3) : uri;
    // Which "@" ends the user part is for libpq to say; both readings are hidden.
    const qsizetype colon = rest.indexOf(u':');
    for (const qsizetype at : {rest.indexOf(u'@'), rest.lastIndexOf(u'@')})
        if (at > 0 && colon >= 0 && colon < at)
            secrets.append(rest.mid(colon + 1, at - colon - 1));
    // A password holding "@" or ":" may be read as host and port: its pieces are hidden too,
    // all but the shortest, which would blot out half of any message.
    if (!secrets.isEmpty())
        for (const QString& piece :
             secrets.constLast().split(QRegularExpression(QStringLiteral("[@:]"))))
            if (piece.size() >= 4)
                secrets.append(piece);
    static const QRegularExpression parameter(QStringLiteral("[?&]password=([^&]*)"),
                                              QRegularExpression::CaseInsensitiveOption);
    for (auto match = parameter.globalMatch(uri); match.hasNext();)
        secrets.append(match.next().captured(1));
    // Longest first, so that a shorter reading does not leave part of a longer one.
    std::sort(secrets.begin(), secrets.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& secret : std::as_const(secrets))
        for (const QString& form : {secret, QUrl::fromPercentEncoding(secret.toUtf8()),
                                    QString::fromLatin1(QUrl::toPercentEncoding(secret))})
            if (form.size() >= 4) {
                message.replace(form, QStringLiteral("***"));
            } else if (!form.isEmpty()) {
                // A short one only where it stands as a password: between ":" and "@", or
                // quoted whole.
                message.replace(u':' + form + u'@', QStringLiteral(":***@"));
                message.replace(u'"' + form + u'"', QStringLiteral("\"***\""));
                message.replace(QStringLiteral("password=") + form, QStringLiteral("password=***"));
            }
    return message;
}

QString ServerName(const QString& uri) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.toUtf8().constData(), &error);
    if (!options) {
        const QString why =
            error ? QString::fromUtf8(error).trimmed() : QStringLiteral("out of memory");
        PQfreemem(error);
        // libpq quotes the address it could not read, password and all.
        throw Error(
            QStringLiteral("The database address is not valid: %1.").arg(HidePassword(why, uri)));
    }
    QString host, port, dbname, user;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        const QString value = o->val ? QString::fromUtf8(o->val) : QString();
        const QByteArray key(o->keyword);
        if (key == "host" || (key == "hostaddr" && host.isEmpty()))
            host = value;
        else if (key == "port")
            port = value;
        else if (key == "dbname")
            dbname = value;
        else if (key == "user")
            user = value;
    }
    PQconninfoFree(options);
    QString name = host.isEmpty() ? QStringLiteral("localhost") : host;
    if (!port.isEmpty())
        name += u':' + port;
    if (!dbname.isEmpty())
        name += u'/' + dbname;
    return user.isEmpty() ? name : user + u'@' + name;
}

PgResult::~PgResult() {
    PQclear(result_);
}

int PgResult::rows() const {
    return PQntuples(result_);
}

bool PgResult::isNull(int row, int column) const {
    return PQgetisnull(result_, row, column) != 0;
}

QString PgResult::text(int row, int column) const {
    const QByteArrayView bytes(PQgetvalue(result_, row, column), PQgetlength(result_, row, column));
    return ExactUtf8(bytes).value_or(QString::fromUtf8(bytes));
}

QByteArray PgResult::bytes(int row, int column) const {
    return QByteArray(PQgetvalue(result_, row, column), PQgetlength(result_, row, column));
}

qint64 PgResult::int64(int row, int column) const {
    return QByteArray(PQgetvalue(result_, row, column)).toLongLong();
}

QVariant PgResult::value(int row, int column) const {
    if (isNull(row, column))
        return {};
    switch (PQftype(result_, column)) {
    case kInt2:
    case kInt4:
    case kInt8:
        return int64(row, column);
    case kBytea: {
        size_t size = 0;
        unsigned char* bytes = PQunescapeBytea(
            reinterpret_cast<const unsigned char*>(PQgetvalue(result_, row, column)), &size);
        const QByteArray out(reinterpret_cast<const char*>(bytes), qsizetype(size));
        PQfreemem(bytes);
        return out;
    }
    default:
        return text(row, column);
    }
}

PgBackend::PgBackend(const QString& uri) : uri_(uri), name_(ServerName(uri)) {
    ensureConnected(QStringLiteral("open the collection"));
}

PgBackend::~PgBackend() {
    PQfinish(conn_);
}

void PgBackend::fail(const QString& doing, const QString& reason) const {
    // A failed statement inside a transaction of ours must not spoil the next action.
    if (conn_ && PQtransactionStatus(conn_) == PQTRANS_INERROR)
        PQclear(PQexec(conn_, "ROLLBACK"));
    throw Error(QStringLiteral("Cannot %1 on the database server \"%2\": %3.")
                    .arg(doing, name_, reason.trimmed()));
}

void PgBackend::ensureConnected(const QString& doing) {
    if (conn_ && PQstatus(conn_) == CONNECTION_OK)
        return;
    PQfinish(conn_);
    // Settings before the address are defaults the address may override.
    const QByteArray address = uri_.toUtf8();
    const char* keys[] = {"connect_timeout", "application_name", "dbname", "client_encoding",
                          nullptr};
    const char* values[] = {"10", "varozidi", address.constData(), "UTF8", nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (!conn_)
        fail(doing, QStringLiteral("out of memory"));
    if (PQstatus(conn_) != CONNECTION_OK) {
        // libpq's message names host and user, never the password.
        const QString why = HidePassword(QString::fromUtf8(PQerrorMessage(conn_))
                                             .trimmed()
                                             .replace(QStringLiteral("\n\t"), QStringLiteral("; "))
                                             .simplified(),
                                         uri_);
        const bool refusedPassword =
            PQconnectionNeedsPassword(conn_) ||
            why.contains(QLatin1String("password authentication failed")) ||
            why.contains(QLatin1String("no password supplied"));
        PQfinish(conn_);
        conn_ = nullptr;
        // libpq tells those apart only in its text; a server's own refusal starts "FATAL:".
        if (refusedPassword)
            fail(doing,
                 QStringLiteral("the server refused the user name or password (%1)").arg(why));
        if (why.contains(QLatin1String("FATAL:")) && why.contains(QLatin1String("database")) &&
            why.contains(QLatin1String("does not exist")))
            fail(doing, QStringLiteral("the server has no such database (%1)").arg(why));
        if (why.startsWith(QLatin1String("invalid ")) || why.startsWith(QLatin1String("missing ")))
            fail(doing, QStringLiteral("the address is not valid (%1)").arg(why));
        if (why.contains(QLatin1String("FATAL:")))
            fail(doing, QStringLiteral("the server refused the connection (%1)").arg(why));
        fail(doing, QStringLiteral("the server cannot be reached (%1)").arg(why));
    }
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
}

std::unique_ptr<PgResult> PgBackend::exec(const QString& sql, const std::vector<QVariant>& params,
                                          const QString& doing) {
    ensureConnected(doing);
    const std::size_t n = params.size();
    std::vector<QByteArray> data(n);
    std::vector<const char*> values(n, nullptr);
    std::vector<int> lengths(n, 0);
    std::vector<int> formats(n, 0);
    std::vector<Oid> types(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const QVariant& v = params[i];
        // Text given as its UTF-8 bytes goes as they are.
        const QByteArray* utf8 = Utf8BytesOf(v);
        switch (utf8 ? int(QMetaType::QString) : v.typeId()) {
        case QMetaType::UnknownType:
            continue;
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
            types[i] = kInt8;
            data[i] = QByteArray::number(v.toLongLong());
            break;
        case QMetaType::Double:
            types[i] = kFloat8;
            data[i] = QByteArray::number(v.toDouble(), 'g', 17);
            break;
        case QMetaType::QByteArray:
            types[i] = kBytea;
            data[i] = v.toByteArray();
            formats[i] = 1;
            break;
        default:
            types[i] = kText;
            data[i] = utf8 ? *utf8 : v.toString().toUtf8();
            // The server's text cannot hold it, and libpq would cut the text short there.
            if (data[i].contains('\0'))
                fail(doing, QStringLiteral("the text holds a NUL character (code 0), which a "
                                           "database server cannot store"));
            break;
        }
        values[i] = data[i].constData();
        lengths[i] = int(data[i].size());
    }
    auto result = std::make_unique<PgResult>(PQexecParams(conn_, numbered(sql).constData(), int(n),
                                                          types.data(), values.data(),
                                                          lengths.data(), formats.data(), 0));
    const ExecStatusType status = PQresultStatus(result->get());
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK)
        return result;
    if (PQstatus(conn_) != CONNECTION_OK)
        fail(doing, QStringLiteral("the connection was lost (%1); the next action connects again")
                        .arg(QString::fromUtf8(PQerrorMessage(conn_)).simplified()));
    const char* primary = PQresultErrorField(result->get(), PG_DIAG_MESSAGE_PRIMARY);
    fail(doing, primary ? QString::fromUtf8(primary)
                        : QString::fromUtf8(PQerrorMessage(conn_)).simplified());
}

int PgBackend::backendPid() const {
    return conn_ && PQstatus(conn_) == CONNECTION_OK ? PQbackendPID(conn_) : 0;
}

void PgBackend::script(const QString& sql, const QString& doing) {
    ensureConnected(doing);
    PgResult result(PQexec(conn_, sql.toUtf8().constData()));
    if (PQresultStatus(result.get()) == PGRES_COMMAND_OK ||
        PQresultStatus(result.get()) == PGRES_TUPLES_OK)
        return;
    const char* primary = PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY);
    fail(doing, primary ? QString::fromUtf8(primary)
                        : QString::fromUtf8(PQerrorMessage(conn_)).simplified());
}

TableShape PgBackend::describe(const QString& table) {
    const QString reading = QStringLiteral("read the table '%1'").arg(table);
    const auto result =
        exec(QStringLiteral("SELECT a.attname, format_type(a.atttypid, a.atttypmod), "
                            "a.attidentity <> '' OR EXISTS (SELECT 1 FROM pg_index i WHERE "
                            "i.indrelid = a.attrelid AND i.indisprimary AND i.indnatts = 1 AND "
                            "i.indkey[0] = a.attnum) FROM pg_attribute a WHERE a.attrelid = "
                            "to_regclass(quote_ident(?)) AND a.attnum > 0 AND NOT "
                            "a.attisdropped ORDER BY a.attnum"),
             {table}, reading);
    TableShape shape;
    for (int row = 0; row < result->rows(); ++row) {
        const Column column{result->text(row, 0), affinityOf(result->text(row, 1))};
        if (shape.aliasColumn < 0 && result->text(row, 2) == u"t" &&
            column.affinity == Affinity::Integer)
            shape.aliasColumn = int(shape.columns.size());
        shape.columns.push_back(column);
    }
    // The set-up makes the table together with its search index, which needs pg_trgm: on a
    // server without it no table can be made, and that is what the user has to mend.
    if (shape.columns.empty() &&
        exec(QStringLiteral("SELECT count(*) FROM pg_available_extensions WHERE name = "
                            "'pg_trgm'"),
             {}, reading)
                ->int64(0, 0) == 0)
        throw Error(QStringLiteral("Cannot find the table '%1' on the database server \"%2\", "
                                   "and none can be made there: the server lacks the extension "
                                   "pg_trgm, which the search needs. Install the server's "
                                   "contrib modules (pg_trgm), then run 'varozidi-setup "
                                   "--database URI'.")
                        .arg(table, name_));
    if (shape.columns.empty())
        throw Error(QStringLiteral("Cannot find the table '%1' on the database server \"%2\".")
                        .arg(table, name_));
    if (shape.aliasColumn < 0)
        throw Error(QStringLiteral("The table '%1' on the database server \"%2\" has no "
                                   "whole-number key to tell its rows apart.")
                        .arg(table, name_));
    shape.rowidSql = quoteIdentifier(shape.columns[std::size_t(shape.aliasColumn)].name);
    return shape;
}

void PgBackend::fetchEach(const QString& sql, const std::vector<QVariant>& params,
                          const QString& doing, const std::function<bool(const PgResult&)>& batch,
                          const std::function<void()>& before) {
    exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"), {}, doing);
    try {
        if (before)
            before();
        exec(QStringLiteral("DECLARE varozidi_rows NO SCROLL CURSOR FOR ") + sql, params, doing);
        for (;;) {
            const auto rows = exec(QStringLiteral("FETCH 512 FROM varozidi_rows"), {}, doing);
            if (rows->rows() == 0 || !batch(*rows))
                break;
        }
        exec(QStringLiteral("COMMIT"), {}, doing);
    } catch (...) {
        if (conn_ && PQtransactionStatus(conn_) != PQTRANS_IDLE)
            PQclear(PQexec(conn_, "ROLLBACK"));
        throw;
    }
}

std::unique_ptr<Rows> PgBackend::query(const QString& sql, const std::vector<QVariant>& params,
                                       const QString& doing) {
    return std::make_unique<PgRows>(exec(sql, params, doing));
}

qint64 PgBackend::change(const QString& sql, const std::vector<QVariant>& params,
                         const QString& doing) {
    const qint64 changed = QByteArray(PQcmdTuples(exec(sql, params, doing)->get())).toLongLong();
    wrote();
    return changed;
}

qint64 PgBackend::changeReturning(const QString& sql, const QString& returning,
                                  const std::vector<QVariant>& params, QString& returned,
                                  const QString& doing) {
    const auto result = exec(sql + QStringLiteral(" RETURNING ") + returning, params, doing);
    if (result->rows() > 0)
        returned = result->text(result->rows() - 1, 0);
    wrote();
    return result->rows();
}

qint64 PgBackend::insert(const QString& sql, const std::vector<QVariant>& params,
                         const QString& rowidSql, const QString& doing) {
    const auto result = exec(sql + QStringLiteral(" RETURNING ") + rowidSql, params, doing);
    const qint64 rowid = result->rows() > 0 ? result->int64(0, 0) : 0;
    wrote();
    return rowid;
}

QString PgBackend::version(const QString& table, const QString& rowidSql, qint64 rowid,
                           const QString& doing) {
    // The server's own row version: every write to a row gives it a new xmin.
    const auto result = exec(QStringLiteral("SELECT xmin::text FROM %1 WHERE %2 = ?")
                                 .arg(quoteIdentifier(table), rowidSql),
                             {rowid}, doing);
    return result->rows() > 0 ? result->text(0, 0) : QString();
}

} // namespace varozidi::ado
