// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The JSON reader's events followed through the program's export file (see JsonStream.h):
// the root object, its "snippets" and "removed" lists, each record in them and the versions a
// record carries; every other value is passed over, however deep.

#include "data/transfer/JsonStream.h"

#include <cstdint>
#include <rapidjson/reader.h>

namespace varozidi::transfer {

enum class JsonKind { Null, Bool, Number, String, Array, Object };

// A kind of value in words: "a number", "a list", ...
QString Words(JsonKind kind);

class ExportHandler {
public:
    ExportHandler(const QString& path, const std::function<void(Utf8Snippet&&)>& each,
                  const std::function<void()>& recordDone)
        : path_(path), each_(each), recordDone_(recordDone) {}

    bool Null() { return scalar(JsonKind::Null); }
    bool Bool(bool) { return scalar(JsonKind::Bool); }
    bool Int(int i) { return number(i); }
    bool Uint(unsigned u) { return number(qint64(u)); }
    bool Int64(int64_t i) { return number(qint64(i)); }
    bool Uint64(uint64_t u);
    bool Double(double d);
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return scalar(JsonKind::Number); }
    bool String(const char* s, rapidjson::SizeType size, bool);
    bool Key(const char* s, rapidjson::SizeType size, bool);
    bool StartObject() { return open(JsonKind::Object); }
    bool StartArray() { return open(JsonKind::Array); }
    bool EndObject(rapidjson::SizeType);
    bool EndArray(rapidjson::SizeType);

    // Whether the file was an export of the program's, once the whole of it is read; throws
    // for one that is but should not be read.
    bool ours();

private:
    bool skipping() const { return skipFrom_ >= 0; }
    bool inRecord() const { return inList_ && depth_ == 3; }
    bool inVersion() const { return inVersions_ && depth_ == 5; }
    bool textField() const;
    // Of kind, time, language, title and body, which the version's field is; -1 for another.
    int versionField() const;
    // The record's or version's text field being read, marked as given.
    Utf8& text();
    // "snippet 3", "removed snippet 2", "snippet 3's version 2": what a message is about.
    QString subject() const;
    QString field() const { return inVersions_ && depth_ >= 5 ? vfield_ : field_; }

    [[noreturn]] void notOurs(const QString& why) const;
    void checkHead() const;
    bool number(std::optional<qint64> value);
    [[noreturn]] void badId() const;
    bool scalar(JsonKind kind);
    void versionText(const char* s, rapidjson::SizeType size);
    bool open(JsonKind kind);
    bool openList(JsonKind kind);
    void close();
    [[noreturn]] void notObject(JsonKind kind) const;
    [[noreturn]] void notARecord(JsonKind kind);
    void finishVersion();
    void finishRecord();

    const QString& path_;
    const std::function<void(Utf8Snippet&&)>& each_;
    const std::function<void()>& recordDone_;
    int depth_ = 0;
    int skipFrom_ = -1; // the depth a value passed over began at
    QString key_;       // of the root's field being read
    QString field_;     // of the record's field being read
    QString vfield_;    // of the version's field being read
    std::optional<QString> format_;
    std::optional<qint64> version_;
    std::optional<JsonKind> snippets_;
    bool listSeen_ = false;
    bool removedSeen_ = false;
    bool inList_ = false;    // in either list
    bool inRemoved_ = false; // in the "removed" list
    bool inVersions_ = false;
    qsizetype n_ = 0;  // the record being read, from 1 in each list
    qsizetype vn_ = 0; // the version being read, from 1 in each record
    Utf8Snippet record_;
    Utf8Version kept_;
    int given_ = 0;  // bits: language, title, body
    int named_ = 0;  // bits: id, language, title, body, versions, as keys met in the record
    int vgiven_ = 0; // bits: kind, time, language, title, body
    int vnamed_ = 0; // the same, as keys met in the version
};

} // namespace varozidi::transfer
