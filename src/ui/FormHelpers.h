// Small pieces every form here is built from: named components, labelled edits, digit-only
// edits, the bounded copy of a text field, and the decimal reading of a numeric edit.
#pragma once

#include "config/SettingRanges.h"
#include "ui/Dialogs.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QString>
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

namespace forms {

template <typename T> T* named(T* object, const char* name)
{
    object->setObjectName(QLatin1String(name));
    return object;
}

// A line edit with its caption to the left, in the next row of a grid.
inline QLineEdit* labeledEdit(QGridLayout* grid, const char* name, const char* caption, int maxLength)
{
    auto* edit = named(new QLineEdit, name);
    edit->setMaxLength(maxLength);
    auto* label = new QLabel(QLatin1String(caption));
    label->setObjectName(QLatin1String(name) + QStringLiteral("_Label"));
    label->setBuddy(edit);
    const int row = grid->rowCount();
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

// Typing can only produce digits; text set any other way still goes through readNumber().
inline void setDigitsOnly(QLineEdit* edit)
{
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
}

// Copies at most `limit` characters into a fixed text field, zero-filled, always NUL-terminated.
template <std::size_t N> void copyField(char (&field)[N], const QString& text, std::size_t limit)
{
    static_assert(N > 1);
    const QByteArray bytes = text.toLatin1();
    const std::size_t n = std::min({std::size_t(bytes.size()), limit, N - 1});
    std::memset(field, 0, N);
    std::memcpy(field, bytes.constData(), n);
}

template <std::size_t N> QString fieldText(const char (&field)[N])
{
    return QString::fromLatin1(field, qsizetype(strnlen(field, N)));
}

// A numeric edit's decimal value: none when it is empty (the field keeps its value) or when it is
// no number, which is reported in the application's error box.
inline std::optional<std::int32_t> readNumber(const QString& text, Dialogs& dialogs, QWidget* parent)
{
    if (text.isEmpty())
        return std::nullopt;
    const QByteArray bytes = text.toLatin1();
    const char* first = bytes.constData();
    const char* last = first + bytes.size();
    std::int32_t parsed = 0;
    const auto [end, ec] = std::from_chars(first, last, parsed, 10);
    if (ec != std::errc() || end != last) {
        dialogs.error(parent, QStringLiteral("Ardentel"),
                      QStringLiteral("'%1' is not a valid integer value.").arg(text));
        return std::nullopt;
    }
    return parsed;
}

// A number the setting takes, read from the field's text; none for an empty text or anything else.
inline std::optional<std::int32_t> allowedNumber(const QString& text, const IntegerSetting& rule)
{
    bool ok = false;
    const long long v = text.toLongLong(&ok, 10);
    if (!ok || !allows(rule, v))
        return std::nullopt;
    return std::int32_t(v);
}

// The field of a numeric setting takes what --set takes, from the same table: its tooltip names the
// allowed values, a text outside them shows red and is not stored, and when editing ends on such a
// text the field shows the value in force again, with a beep.
inline void watchSettingField(QLineEdit* edit, std::string_view setting, Dialogs& dialogs,
                              std::function<long long()> inForce)
{
    const IntegerSetting* rule = integerSetting(setting);
    if (rule == nullptr)
        return;
    edit->setToolTip(QStringLiteral("Allowed: %1").arg(QString::fromStdString(allowedValues(*rule))));
    const auto refused = [edit, rule] {
        return !edit->text().isEmpty() && !allowedNumber(edit->text(), *rule);
    };
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit, refused] {
        const bool bad = refused();
        if (edit->property("refused").toBool() != bad) {
            edit->setProperty("refused", bad);
            edit->setStyleSheet(bad ? QStringLiteral("QLineEdit { color: red; }") : QString());
        }
    });
    QObject::connect(edit, &QLineEdit::editingFinished, edit,
                     [edit, refused, &dialogs, inForce = std::move(inForce)] {
                         if (!refused())
                             return;
                         edit->setText(QString::number(inForce()));
                         dialogs.beep();
                     });
}

// A numeric setting's field after the operator typed: the value to store, or none (the record keeps
// its value) for an empty text, no number (reported as readNumber does) or a value the setting does
// not take (the field shows that itself).
inline std::optional<std::int32_t> readSetting(const QLineEdit* edit, std::string_view setting,
                                               Dialogs& dialogs, QWidget* parent)
{
    const IntegerSetting* rule = integerSetting(setting);
    if (!readNumber(edit->text(), dialogs, parent) || rule == nullptr)
        return std::nullopt;
    return allowedNumber(edit->text(), *rule);
}

} // namespace forms
