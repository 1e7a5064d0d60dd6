// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/collection/ShownSnippet.h"

#include "data/collection/Collection.h"
#include "data/recovery/Recovery.h"
#include "data/store/ADODB.h"
#include "data/store/SnippetQueries.h"

#include <QScopedValueRollback>
#include <utility>

namespace varozidi {

namespace {

// Never a row's version: a save that compares it asks before it overwrites.
const QString kChangedSinceKept = QStringLiteral("changed since the unsaved text was kept");
const QString kUnreadSinceSaved = QStringLiteral("not read back after the last save");

QString field(TADOTable& table, const char* name) {
    return table.FieldByName(QLatin1String(name)).AsString();
}

} // namespace

ShownSnippet::ShownSnippet(TADOTable* table, QObject* parent) : QObject(parent), table_(table) {}

std::optional<ShownSnippet::Row> ShownSnippet::read(qint64 id) {
    OpenFiltered(*table_, IdFilter(id));
    if (table_->Eof())
        return std::nullopt;
    Row row;
    // Read before the text: a write in between then asks once too often, never too seldom.
    row.version = table_->RowVersion();
    // As stored: decoded into a Qt string and encoded back, a body of megabytes would cost
    // more than the editor takes to show it.
    row.body = table_->FieldByName(QStringLiteral("Body")).AsBytes();
    row.language = field(*table_, "Language");
    row.title = field(*table_, "Title");
    row.id = table_->FieldByName(QStringLiteral("ID")).AsLargeInt();
    return row;
}

void ShownSnippet::show(const Row& row) {
    id_ = row.id;
    version_ = row.version;
    loaded_ = row.body;
    language_ = row.language;
    title_ = row.title;
}

void ShownSnippet::forget() {
    show(Row{});
    unsaved_ = 0;
}

void ShownSnippet::unlink() {
    id_ = 0;
    version_.clear();
}

SnippitChangedElsewhere ShownSnippet::changedElsewhere() const {
    const Collection* collection = table_->Connection()->collection();
    // Our own save whose version could not be read: nobody is known to have changed it.
    if (version_ == kUnreadSinceSaved)
        return SnippitChangedElsewhere(
            tr("The snippet \"%1\" could not be read back after it was last saved, so a change "
               "made since by another program cannot be ruled out.")
                .arg(title_));
    return SnippitChangedElsewhere(
        (collection && collection->address().shared()
             ? tr("The snippet \"%1\" was changed on the server by someone else since it was "
                  "shown.")
             : tr("The snippet \"%1\" was changed by another program since it was shown."))
            .arg(title_));
}

void ShownSnippet::save(const QByteArray& text, Check check) {
    // No row may take text that belongs to none: the welcome text, or a snippet deleted here.
    const auto gone = [this] {
        return NoSnippitToSave(tr("The snippet \"%1\" is no longer in the database (another "
                                  "program may have deleted it), so the text was not saved.")
                                   .arg(title_));
    };
    if (id_ == 0 && !language_.isEmpty())
        throw gone();
    if (id_ == 0)
        throw NoSnippitToSave(
            tr("The text in the editor is not part of any snippet yet, so it was not saved."));
    OpenFiltered(*table_, IdFilter(id_));
    if (table_->Eof()) {
        CloseUnfiltered(*table_);
        throw gone();
    }
    const auto changed = [this] {
        auto error = changedElsewhere();
        CloseUnfiltered(*table_);
        return error;
    };
    table_->Edit();
    // Checked by the write itself, so that no one's save slips in between.
    table_->setExpectedVersion(check == Check::None ? QString() : version_);
    table_->FieldByName(QStringLiteral("Body")).setAsBytes(text);
    try {
        const QScopedValueRollback writing(writingText_, true);
        table_->Post();
    } catch (const RowChangedError&) {
        throw changed();
    } catch (const varozidi::AfterChangeError&) {
        storedUnread(text);
        throw;
    }
    try {
        const QString written = table_->WrittenVersion();
        version_ = written.isEmpty() ? table_->RowVersion() : written;
    } catch (const std::exception& e) {
        storedUnread(text);
        throw varozidi::AfterChangeError(varozidi::messageOf(e));
    }
    loaded_ = text;
    CloseUnfiltered(*table_);
}

// Stored, under a version not read back: the next save asks first.
void ShownSnippet::storedUnread(const QByteArray& text) {
    loaded_ = text;
    version_ = kUnreadSinceSaved;
    CloseUnfiltered(*table_);
}

void ShownSnippet::add(const QString& language, const QString& title,
                       const std::optional<QByteArray>& text) {
    addedLanguage_ = language;
    addedTitle_ = title;
    addedText_ = text;
    // Adding a row needs none of the others: hardly any row has the number 0.
    OpenFiltered(*table_, IdFilter(0));
    table_->Insert();
    table_->FieldByName(QStringLiteral("Language")).setAsString(language);
    table_->FieldByName(QStringLiteral("Title")).setAsString(title);
    if (text)
        table_->FieldByName(QStringLiteral("Body")).setAsBytes(*text);
    const QScopedValueRollback writing(writingText_, text.has_value());
    table_->Post();
}

qint64 ShownSnippet::takeAdded() {
    const std::optional<QByteArray> text = std::exchange(addedText_, std::nullopt);
    const qint64 id = table_->FieldByName(QStringLiteral("ID")).AsLargeInt();
    const QString version = text ? table_->RowVersion() : QString();
    table_->Close();
    if (text) {
        show({id, addedLanguage_, addedTitle_, version, *text});
        unsaved_ = 0;
    }
    return id;
}

void ShownSnippet::findAgain() {
    if (id_ == 0)
        return;
    OpenFiltered(*table_, IdFilter(id_));
    const bool found = !table_->Eof() && field(*table_, "Language") == language_ &&
                       field(*table_, "Title") == title_;
    const QString version = found ? table_->RowVersion() : QString();
    CloseUnfiltered(*table_);
    if (!found) {
        unlink();
        unsaved_ = 1;
    } else if (version != version_) {
        unsaved_ = 1;
    }
}

ShownSnippet::Refresh ShownSnippet::refresh(const QList<qint64>& ids,
                                            const std::function<QByteArray()>& editorText) {
    if (id_ == 0 || (!ids.isEmpty() && !ids.contains(id_)))
        return {};
    OpenFiltered(*table_, IdFilter(id_));
    if (table_->Eof()) {
        CloseUnfiltered(*table_);
        return {Found::Gone};
    }
    const QString version = table_->RowVersion();
    const QByteArray body = table_->FieldByName(QStringLiteral("Body")).AsBytes();
    // Renamed, or given another language: the notes, the questions and the kept text name it
    // as it is now.
    const QString language = field(*table_, "Language");
    const QString title = field(*table_, "Title");
    CloseUnfiltered(*table_);
    Refresh result{Found::Same, language != language_ || title != title_};
    language_ = language;
    title_ = title;
    // Where the engine keeps versions, they tell; otherwise the text itself does.
    if (!version.isEmpty() ? version == version_ : body == loaded_)
        return result;
    // The text itself is as it was: nothing for a save to ask about, unless the editor holds
    // text kept from an earlier start, made from a text that is no longer the stored one.
    if (body == loaded_) {
        if (version_ != kChangedSinceKept)
            version_ = version;
        return result;
    }
    // Text the user changed stays, also when a question let the change go unsaved; the
    // version shown stays too, so that saving asks first.
    if (unsaved_ == 1 || editorText() != loaded_) {
        result.found = Found::Kept;
        return result;
    }
    version_ = version;
    loaded_ = body;
    result.found = Found::Reloaded;
    return result;
}

void ShownSnippet::describe(recovery::Record& record) const {
    record.id = id_;
    if (id_ != 0) {
        record.language = language_;
        record.title = title_;
    }
}

void ShownSnippet::distrustVersion() {
    version_ = kChangedSinceKept;
}

void ShownSnippet::takeKept(const recovery::Record& record, bool numberTaken) {
    unlink();
    if (!numberTaken)
        id_ = record.id;
    language_ = record.language;
    title_ = record.title;
}

} // namespace varozidi
