// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/JsonHandler.h"

#include "data/history/History.h"
#include "data/transfer/JsonFiles.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace varozidi::transfer {

namespace {

const QString kFormat = QStringLiteral("varozidi-snippets");
constexpr qint64 kVersion = 1;
const char* const kVersionFields[] = {"kind", "time", "language", "title", "body"};

// A whole number of 64 bits, as a double that holds one exactly.
std::optional<qint64> whole(double d) {
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::trunc(d) != d)
        return std::nullopt;
    return qint64(d);
}

// UTF-8 of a lone UTF-16 surrogate, which a \u escape can give and no text holds.
bool holdsSurrogate(const char* s, size_t size) {
    for (const char* at = s;
         (at = static_cast<const char*>(std::memchr(at, '\xed', size_t(s + size - at)))); ++at)
        if (at + 1 < s + size && static_cast<unsigned char>(at[1]) >= 0xa0)
            return true;
    return false;
}

} // namespace

QString Words(JsonKind kind) {
    switch (kind) {
    case JsonKind::Null:
        return QStringLiteral("null");
    case JsonKind::Bool:
        return QStringLiteral("true or false");
    case JsonKind::Number:
        return QStringLiteral("a number");
    case JsonKind::String:
        return QStringLiteral("text");
    case JsonKind::Array:
        return QStringLiteral("a list");
    case JsonKind::Object:
        break;
    }
    return QStringLiteral("an object");
}

bool ExportHandler::Uint64(uint64_t u) {
    return u > uint64_t(std::numeric_limits<qint64>::max()) ? number(std::nullopt)
                                                            : number(qint64(u));
}

bool ExportHandler::Double(double d) {
    return number(whole(d));
}

bool ExportHandler::String(const char* s, rapidjson::SizeType size, bool) {
    if (skipping() || depth_ == 0)
        return scalar(JsonKind::String);
    if (depth_ == 1 && key_ == u"format") {
        format_ = QString::fromUtf8(s, size);
        return true;
    }
    if ((inRecord() && textField()) || (inVersion() && versionField() >= 2)) {
        if (holdsSurrogate(s, size))
            notOurs(QStringLiteral("%1 has a \"%2\" holding half of a UTF-16 surrogate pair, "
                                   "which is not text")
                        .arg(subject(), field()));
        text() = QByteArray(s, qsizetype(size));
        return true;
    }
    if (inVersion() && versionField() >= 0) {
        versionText(s, size);
        return true;
    }
    return scalar(JsonKind::String);
}

void ExportHandler::versionText(const char* s, rapidjson::SizeType size) {
    const QString value = QString::fromUtf8(s, size);
    if (versionField() == 0) {
        if (!history::IsKind(value))
            notOurs(QStringLiteral("%1 has the \"kind\" \"%2\", which is none of body, title, "
                                   "language, removed and restore")
                        .arg(subject(), value));
        kept_.kind = value;
        vgiven_ |= 1;
        return;
    }
    const auto ms = TimeFrom(value);
    if (!ms)
        notOurs(QStringLiteral("%1 has the \"time\" \"%2\", which is not a time of day with its "
                               "time zone (such as \"2025-01-31T12:00:00.000Z\")")
                    .arg(subject(), value.left(80)));
    kept_.changedMs = *ms;
    vgiven_ |= 2;
}

bool ExportHandler::Key(const char* s, rapidjson::SizeType size, bool) {
    if (skipping())
        return true;
    if (depth_ == 1) {
        key_ = QString::fromUtf8(s, size);
    } else if (inRecord()) {
        field_ = QString::fromUtf8(s, size);
        // Which of two values was meant cannot be told; taking either would change a
        // snippet without a word.
        const char* const known[] = {"id", "language", "title", "body", "versions"};
        for (int i = 0; i < 5; ++i) {
            if (field_ != QLatin1String(known[i]))
                continue;
            if (named_ & (1 << i))
                notOurs(QStringLiteral("%1 has \"%2\" twice").arg(subject(), field_));
            named_ |= 1 << i;
        }
    } else if (inVersion()) {
        vfield_ = QString::fromUtf8(s, size);
        if (const int i = versionField(); i >= 0) {
            if (vnamed_ & (1 << i))
                notOurs(QStringLiteral("%1 has \"%2\" twice").arg(subject(), vfield_));
            vnamed_ |= 1 << i;
        }
    }
    return true;
}

bool ExportHandler::EndObject(rapidjson::SizeType) {
    close();
    if (!skipping() && inVersions_ && depth_ == 4)
        finishVersion();
    else if (!skipping() && inList_ && depth_ == 2)
        finishRecord();
    return true;
}

bool ExportHandler::EndArray(rapidjson::SizeType) {
    close();
    if (!skipping() && inVersions_ && depth_ == 3) {
        inVersions_ = false;
    } else if (!skipping() && depth_ == 1) {
        inList_ = false;
        inRemoved_ = false;
    }
    return true;
}

bool ExportHandler::ours() {
    if (listSeen_) {
        checkHead();
        return true;
    }
    if (!format_ || !format_->startsWith(u"varozidi"))
        return false;
    checkHead();
    notOurs(QStringLiteral("its \"snippets\" is %1, not a list")
                .arg(snippets_ ? Words(*snippets_) : QStringLiteral("missing")));
}

bool ExportHandler::textField() const {
    return field_ == u"language" || field_ == u"title" || field_ == u"body";
}

int ExportHandler::versionField() const {
    for (int i = 0; i < 5; ++i)
        if (vfield_ == QLatin1String(kVersionFields[i]))
            return i;
    return -1;
}

Utf8& ExportHandler::text() {
    if (inVersion()) {
        const int i = versionField();
        vgiven_ |= 1 << i;
        return i == 2 ? kept_.language : i == 3 ? kept_.title : kept_.body;
    }
    const int bit = field_ == u"language" ? 1 : field_ == u"title" ? 2 : 4;
    given_ |= bit;
    return bit == 1 ? record_.language : bit == 2 ? record_.title : record_.body;
}

QString ExportHandler::subject() const {
    const QString record =
        (inRemoved_ ? QStringLiteral("removed snippet %1") : QStringLiteral("snippet %1")).arg(n_);
    if (inVersions_ && depth_ >= 4)
        return QStringLiteral("%1's version %2").arg(record).arg(vn_);
    return record;
}

void ExportHandler::notOurs(const QString& why) const {
    throw BadInput(QStringLiteral("\"%1\" is not a Varozidi export: %2.").arg(path_, why));
}

void ExportHandler::checkHead() const {
    if (format_ && *format_ != kFormat)
        notOurs(QStringLiteral("its format is \"%1\"").arg(*format_));
    if (version_ && *version_ > kVersion)
        notOurs(QStringLiteral("it was written by a newer version of Varozidi"));
}

bool ExportHandler::number(std::optional<qint64> value) {
    if (!skipping() && depth_ == 1 && key_ == u"version") {
        version_ = value;
        return true;
    }
    if (!skipping() && inRecord() && field_ == u"id") {
        if (!value)
            badId();
        record_.id = value;
        return true;
    }
    return scalar(JsonKind::Number);
}

void ExportHandler::badId() const {
    notOurs(
        QStringLiteral("%1 has an \"id\" that is not a whole number of 64 bits").arg(subject()));
}

// A value other than those taken above, where it stands: refused if a record's or version's
// field or a list's item should be something else, otherwise passed over.
bool ExportHandler::scalar(JsonKind kind) {
    if (skipping())
        return true;
    if (depth_ == 0)
        notObject(kind);
    if (depth_ == 1 && key_ == u"snippets") {
        if (listSeen_)
            notOurs(QStringLiteral("it has a second \"snippets\""));
        snippets_ = kind;
    }
    if (depth_ == 1 && key_ == u"removed")
        notOurs(QStringLiteral("its \"removed\" is %1, not a list").arg(Words(kind)));
    if (inList_ && depth_ == 2)
        notARecord(kind);
    if (inRecord() && field_ == u"id") {
        if (kind != JsonKind::Null)
            badId();
        record_.id.reset();
    } else if (inRecord() && field_ == u"versions") {
        notOurs(QStringLiteral("%1 has \"versions\" that are %2, not a list")
                    .arg(subject(), Words(kind)));
    } else if ((inRecord() && textField()) || (inVersion() && versionField() >= 2)) {
        if (kind != JsonKind::Null)
            notOurs(QStringLiteral("%1 has a \"%2\" that is %3, not text or null")
                        .arg(subject(), field(), Words(kind)));
        text().reset();
    } else if (inVersion() && versionField() >= 0) {
        notOurs(QStringLiteral("%1 has a \"%2\" that is %3, not text")
                    .arg(subject(), field(), Words(kind)));
    }
    if (inVersions_ && depth_ == 4) {
        ++vn_;
        notOurs(QStringLiteral("%1 is %2, not an object").arg(subject(), Words(kind)));
    }
    return true;
}

bool ExportHandler::open(JsonKind kind) {
    if (skipping()) {
        ++depth_;
        return true;
    }
    if (depth_ == 0 && kind != JsonKind::Object)
        notObject(kind);
    if (depth_ == 1 && (key_ == u"snippets" || key_ == u"removed") && openList(kind))
        return true;
    if (inList_ && depth_ == 2) {
        if (kind != JsonKind::Object)
            notARecord(kind);
        ++n_;
        record_ = {};
        record_.removed = inRemoved_;
        given_ = named_ = 0;
        vn_ = 0;
        ++depth_;
        return true;
    }
    if (inRecord() && field_ == u"versions" && kind == JsonKind::Array) {
        inVersions_ = true;
        ++depth_;
        return true;
    }
    if (inVersions_ && depth_ == 4 && kind == JsonKind::Object) {
        ++vn_;
        kept_ = {};
        vgiven_ = vnamed_ = 0;
        ++depth_;
        return true;
    }
    if (inRecord() && field_ == u"id")
        badId();
    // Refused where it stands, as a value of the wrong kind.
    if ((inRecord() && (textField() || field_ == u"versions")) ||
        (inVersion() && versionField() >= 0) || (inVersions_ && depth_ == 4))
        scalar(kind);
    if (depth_ > 0)
        skipFrom_ = depth_;
    ++depth_;
    return true;
}

// One of the root's two lists opening; false where it is no list and is passed over.
bool ExportHandler::openList(JsonKind kind) {
    const bool removed = key_ == u"removed";
    bool& seen = removed ? removedSeen_ : listSeen_;
    // A reader that keeps the last of a name given twice would see other snippets.
    if (seen)
        notOurs(QStringLiteral("it has a second \"%1\"").arg(key_));
    if (!removed)
        snippets_ = kind;
    if (kind != JsonKind::Array) {
        if (removed)
            notOurs(QStringLiteral("its \"removed\" is %1, not a list").arg(Words(kind)));
        return false;
    }
    seen = inList_ = true;
    inRemoved_ = removed;
    n_ = 0;
    checkHead();
    ++depth_;
    return true;
}

void ExportHandler::close() {
    --depth_;
    if (depth_ == skipFrom_)
        skipFrom_ = -1;
}

void ExportHandler::notObject(JsonKind kind) const {
    throw BadInput(QStringLiteral("\"%1\" is JSON, but neither a Varozidi export nor Visual "
                                  "Studio Code snippets: it holds %2, not an object.")
                       .arg(path_, kind == JsonKind::Array ? QStringLiteral("a list")
                                                           : QStringLiteral("a single value")));
}

void ExportHandler::notARecord(JsonKind kind) {
    ++n_;
    notOurs(QStringLiteral("%1 is %2, not an object").arg(subject(), Words(kind)));
}

void ExportHandler::finishVersion() {
    for (int i = 0; i < 5; ++i)
        if (!(vgiven_ & (1 << i)))
            notOurs(QStringLiteral("%1 has a \"%2\" that is missing")
                        .arg(subject(), QLatin1String(kVersionFields[i])));
    record_.versions.append(std::move(kept_));
    kept_ = {};
}

void ExportHandler::finishRecord() {
    if (record_.removed) {
        // Its latest version is its removal, as the collection keeps a removed snippet.
        if (record_.versions.isEmpty())
            notOurs(QStringLiteral("%1 has no versions").arg(subject()));
        const QString& kind = record_.versions.first().kind;
        if (kind != history::kRemoved && kind != history::kRestore)
            notOurs(QStringLiteral("%1 has a latest version of the kind \"%2\", not removed or "
                                   "restore")
                        .arg(subject(), kind));
    } else {
        // A field not given at all is refused.
        const char* const names[] = {"language", "title", "body"};
        for (int i = 0; i < 3; ++i)
            if (!(given_ & (1 << i)))
                notOurs(QStringLiteral("%1 has a \"%2\" that is missing, not text or null")
                            .arg(subject(), QLatin1String(names[i])));
    }
    each_(std::move(record_));
    record_ = {};
    recordDone_();
}

} // namespace varozidi::transfer
