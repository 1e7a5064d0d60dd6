#include "platform/IniFile.h"

#include "platform/ADODB.h"

#include <QFile>
// UTF-8 is kept as it is; section and key names are plain ASCII.
#define SI_NO_CONVERSION
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
