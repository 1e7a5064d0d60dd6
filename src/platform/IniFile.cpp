#include "platform/IniFile.h"

#include "platform/ADODB.h"

#include <QFile>
// As the Debian library was built.
#define SI_CONVERT_ICU
#include <SimpleIni.h>

struct TIniFile::Impl {
    CSimpleIniA ini{true};
};

TIniFile::TIniFile(const QString& fileName)
    : fileName_(ResolveFileName(fileName)), d_(std::make_unique<Impl>()) {
    // An unreadable or absent file reads as empty, like the old profile routines.
    d_->ini.LoadFile(QFile::encodeName(fileName_).constData());
}

TIniFile::~TIniFile() = default;

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
    const char* value =
        d_->ini.GetValue(section.toUtf8().constData(), key.toUtf8().constData(), nullptr);
    return value ? QString::fromUtf8(value) : def;
}
