#pragma once

#include <QString>
#include <memory>

// An INI file with the old private-profile behaviour: section and key names ignore letter
// case, and a missing file or entry yields the default. Made for one use, then released.
class TIniFile {
public:
    explicit TIniFile(const QString& fileName);
    ~TIniFile();
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    QString FileName() const { return fileName_; }
    QString ReadString(const QString& section, const QString& key, const QString& def) const;

private:
    QString fileName_;
    struct Impl;
    std::unique_ptr<Impl> d_;
};
