// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

// An INI file with the old private-profile behaviour: section and key names ignore letter
// case, the first of two equal keys counts, values are used as stored, and a missing file or
// entry yields the default. Made for one use, then released.
class TIniFile {
public:
    explicit TIniFile(const QString& fileName);
    ~TIniFile();
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    QString FileName() const { return fileName_; }
    // Why the file exists but could not be read whole; empty where it was read or is absent.
    QString Unread() const;
    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // A whole number; anything else, or nothing, gives def.
    int ReadInteger(const QString& section, const QString& key, int def) const;
    // Stored as 1 and 0; any other whole number means true.
    bool ReadBool(const QString& section, const QString& key, bool def) const;

    // Set the entry in memory, changing only its own line of the file (or adding one);
    // UpdateFile stores the result.
    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);
    // Replaces the file at once as a whole, readable by its owner only; throws
    // varozidi::Error with the system's reason.
    void UpdateFile();

    // text with key set in section, every other line, comment and blank left as it was.
    static QByteArray WithEntry(const QByteArray& text, const QString& section, const QString& key,
                                const QString& value);

private:
    QString fileName_;
    struct Impl;
    std::unique_ptr<Impl> d_;
};
