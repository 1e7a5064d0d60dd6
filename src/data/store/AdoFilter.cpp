// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/store/AdoFilter.h"

#include "data/core/Errors.h"
#include "data/store/CaseRange.h"

#include <cmath>

namespace varozidi::ado {

namespace {

// Deeper nesting than this is no filter a person wrote; refusing it keeps the stack safe.
constexpr int kMaxDepth = 64;

enum class Tok { End, Name, String, Number, Op, LParen, RParen, And, Or };

struct Token {
    Tok kind = Tok::End;
    QString text;
    qsizetype pos = 0;
};

class Parser {
public:
    Parser(const QString& filter, const std::vector<Column>& columns, const QString& table,
           bool binaryRanges)
        : filter_(filter), columns_(columns), table_(table), binaryRanges_(binaryRanges) {}

    Condition run() {
        lex();
        if (peek().kind == Tok::End)
            return {};
        QString sql = parseOr(0);
        if (peek().kind != Tok::End)
            fail(QStringLiteral("%1 is not expected here").arg(describe(peek())));
        return {sql, std::move(params_)};
    }

private:
    [[noreturn]] void fail(const QString& why) const {
        throw Error(QStringLiteral("The filter \"%1\" is not valid: %2.").arg(filter_, why));
    }

    static bool isNameStart(QChar c) { return c.isLetter() || c == u'_'; }
    static bool isNameChar(QChar c) { return c.isLetterOrNumber() || c == u'_'; }

    void lex() {
        const QString& s = filter_;
        const qsizetype n = s.size();
        qsizetype i = 0;
        while (true) {
            while (i < n && s[i].isSpace())
                ++i;
            Token t;
            t.pos = i;
            if (i == n) {
                tokens_.push_back(t);
                return;
            }
            const QChar c = s[i];
            if (c == u'\'') {
                // A quoted value ends at the first quote that is not doubled.
                ++i;
                bool closed = false;
                while (i < n) {
                    if (s[i] == u'\'') {
                        if (i + 1 < n && s[i + 1] == u'\'') {
                            t.text += u'\'';
                            i += 2;
                            continue;
                        }
                        ++i;
                        closed = true;
                        break;
                    }
                    t.text += s[i++];
                }
                if (!closed)
                    fail(QStringLiteral("the quoted value starting at position %1 has no "
                                        "closing quote")
                             .arg(t.pos + 1));
                t.kind = Tok::String;
            } else if (c == u'[') {
                const qsizetype close = s.indexOf(u']', i + 1);
                if (close < 0)
                    fail(QStringLiteral("the field name starting at position %1 has no "
                                        "closing ']'")
                             .arg(i + 1));
                t.text = s.mid(i + 1, close - i - 1);
                if (t.text.trimmed().isEmpty())
                    fail(QStringLiteral("an empty field name [] at position %1").arg(i + 1));
                t.kind = Tok::Name;
                i = close + 1;
            } else if (isNameStart(c)) {
                while (i < n && isNameChar(s[i]))
                    ++i;
                t.text = s.mid(t.pos, i - t.pos);
                if (t.text.compare(u"AND", Qt::CaseInsensitive) == 0)
                    t.kind = Tok::And;
                else if (t.text.compare(u"OR", Qt::CaseInsensitive) == 0)
                    t.kind = Tok::Or;
                else
                    t.kind = Tok::Name;
            } else if (c.isDigit() || c == u'.' ||
                       ((c == u'-' || c == u'+') && i + 1 < n &&
                        (s[i + 1].isDigit() || s[i + 1] == u'.'))) {
                ++i;
                while (i < n && (s[i].isDigit() || s[i] == u'.'))
                    ++i;
                t.text = s.mid(t.pos, i - t.pos);
                t.kind = Tok::Number;
            } else if (c == u'=' || c == u'<' || c == u'>') {
                ++i;
                if (c == u'<' && i < n && (s[i] == u'>' || s[i] == u'='))
                    ++i;
                else if (c == u'>' && i < n && s[i] == u'=')
                    ++i;
                t.text = s.mid(t.pos, i - t.pos);
                t.kind = Tok::Op;
            } else if (c == u'(' || c == u')') {
                t.kind = c == u'(' ? Tok::LParen : Tok::RParen;
                t.text = c;
                ++i;
            } else {
                fail(QStringLiteral("the character '%1' at position %2 is not understood")
                         .arg(c, QString::number(i + 1)));
            }
            tokens_.push_back(t);
        }
    }

    const Token& peek() const { return tokens_[next_]; }
    const Token& take() {
        const Token& t = tokens_[next_];
        if (t.kind != Tok::End)
            ++next_;
        return t;
    }

    static QString describe(const Token& t) {
        switch (t.kind) {
        case Tok::End:
            return QStringLiteral("the end of the filter");
        case Tok::String:
            return QStringLiteral("the value '%1' at position %2")
                .arg(t.text, QString::number(t.pos + 1));
        default:
            return QStringLiteral("'%1' at position %2").arg(t.text, QString::number(t.pos + 1));
        }
    }

    QString parseOr(int depth) {
        QString sql = parseAnd(depth);
        while (peek().kind == Tok::Or) {
            take();
            sql += QStringLiteral(" OR ") + parseAnd(depth);
        }
        return sql;
    }

    QString parseAnd(int depth) {
        QString sql = parsePrimary(depth);
        while (peek().kind == Tok::And) {
            take();
            sql += QStringLiteral(" AND ") + parsePrimary(depth);
        }
        return sql;
    }

    QString parsePrimary(int depth) {
        if (peek().kind != Tok::LParen)
            return parseComparison();
        if (depth >= kMaxDepth)
            fail(QStringLiteral("the parentheses are nested too deeply"));
        const Token open = take();
        QString inner = parseOr(depth + 1);
        if (peek().kind != Tok::RParen)
            fail(QStringLiteral("the '(' at position %1 is not closed; found %2 instead")
                     .arg(QString::number(open.pos + 1), describe(peek())));
        take();
        return u'(' + inner + u')';
    }

    QString parseComparison() {
        const Token name = take();
        if (name.kind != Tok::Name)
            fail(QStringLiteral("a field name is expected, but found %1").arg(describe(name)));
        const Column* column = nullptr;
        for (const Column& c : columns_) {
            if (c.name.compare(name.text, Qt::CaseInsensitive) == 0) {
                column = &c;
                break;
            }
        }
        if (!column)
            fail(QStringLiteral("the table '%1' has no field '%2'").arg(table_, name.text));
        const Token op = take();
        if (op.kind != Tok::Op)
            fail(QStringLiteral("a comparison (=, <>, <, >, <=, >=) is expected after '%1', "
                                "but found %2")
                     .arg(name.text, describe(op)));
        const Token value = take();
        if (value.kind != Tok::String && value.kind != Tok::Number)
            fail(QStringLiteral("a value is missing after '%1 %2'; found %3")
                     .arg(name.text, op.text, describe(value)));
        const QString field = quoteIdentifier(column->name);
        if (column->affinity == Affinity::Text) {
            // A field without a value reads as empty text, so it compares as empty text; a
            // number another program stored in a text field compares as the text it reads as.
            QString sql = QStringLiteral("CAST(COALESCE(%1, '') AS TEXT) COLLATE %2 %3 ?")
                              .arg(field, QLatin1String(kCollation), op.text);
            // Equality also names the ranges of spellings, which an index on the field can
            // seek; numbers, bytes and empty fields lie outside them and are kept apart.
            const auto ranges =
                binaryRanges_ && op.text == u"=" ? caseBlindRanges(value.text) : std::nullopt;
            if (ranges) {
                QStringList seek;
                for (const auto& [low, high] : *ranges) {
                    params_.push_back(low);
                    params_.push_back(high);
                    seek.append(QStringLiteral("%1 BETWEEN ? AND ?").arg(field));
                }
                // Numbers sort before all text, bytes after it.
                seek.append(field + QStringLiteral(" < ''"));
                seek.append(field + QStringLiteral(" >= x''"));
                if (value.text.isEmpty())
                    seek.append(field + QStringLiteral(" IS NULL"));
                params_.push_back(value.text);
                // Most rows spell it exactly so, and need no call of the collation.
                sql = QStringLiteral("(%1) AND (%2 = ? OR %3)")
                          .arg(seek.join(QStringLiteral(" OR ")), field, sql);
            }
            params_.push_back(convert(*column, value));
            return sql;
        }
        params_.push_back(convert(*column, value));
        return QStringLiteral("%1 %2 ?").arg(field, op.text);
    }

    QVariant convert(const Column& column, const Token& value) const {
        if (column.affinity == Affinity::Text)
            return value.text;
        const QString text = value.text.trimmed();
        bool ok = false;
        if (column.affinity == Affinity::Integer) {
            const qlonglong whole = text.toLongLong(&ok);
            if (ok)
                return whole;
        }
        const double number = text.toDouble(&ok);
        if (ok && std::isfinite(number))
            return number;
        fail(QStringLiteral("type mismatch: the field '%1' holds numbers, but '%2' is not a "
                            "number")
                 .arg(column.name, value.text));
    }

    const QString& filter_;
    const std::vector<Column>& columns_;
    const QString& table_;
    std::vector<Token> tokens_;
    std::size_t next_ = 0;
    std::vector<QVariant> params_;
    bool binaryRanges_;
};

} // namespace

Affinity affinityOf(const QString& declaredType) {
    const QString type = declaredType.toUpper();
    if (type.contains(u"INT"))
        return Affinity::Integer;
    if (type.contains(u"CHAR") || type.contains(u"CLOB") || type.contains(u"TEXT") ||
        type.contains(u"BLOB") || type.isEmpty())
        return Affinity::Text;
    return Affinity::Real;
}

Condition translateFilter(const QString& filter, const std::vector<Column>& columns,
                          const QString& tableName, bool binaryRanges) {
    return Parser(filter, columns, tableName, binaryRanges).run();
}

QString quoteIdentifier(const QString& name) {
    QString quoted = name;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

} // namespace varozidi::ado
