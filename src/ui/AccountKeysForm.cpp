// The accounts' own keys in the window: listed by fingerprint, set and removed through the same
// rules as the command line.
#include "ui/AccountKeysForm.h"

#include "dc09/AccountKeys.h"
#include "ui/Dialogs.h"
#include "ui/FormHelpers.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cstring>

using forms::named;

AccountKeysForm::AccountKeysForm(AccountKeys& keys, std::function<int()> save, Dialogs& dialogs,
                                 QWidget* parent)
    : QMainWindow(parent, Qt::Window), m_keys(keys), m_save(std::move(save)), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("Form_Account_Keys"));
    setWindowTitle(QStringLiteral("Account Keys"));
    resize(520, 400);

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    Grid_Account_Keys = named(new QTableWidget(0, 3, central), "Grid_Account_Keys");
    Grid_Account_Keys->setHorizontalHeaderLabels(
        {QStringLiteral("Account"), QStringLiteral("AES"), QStringLiteral("Fingerprint")});
    Grid_Account_Keys->horizontalHeader()->setStretchLastSection(true);
    Grid_Account_Keys->verticalHeader()->setVisible(false);
    Grid_Account_Keys->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid_Account_Keys->setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid_Account_Keys->setSelectionMode(QAbstractItemView::SingleSelection);
    Grid_Account_Keys->setColumnWidth(0, 170);
    Grid_Account_Keys->setColumnWidth(1, 90);
    column->addWidget(Grid_Account_Keys, 1);

    auto* entry = new QGridLayout;
    Edit_Account = forms::labeledEdit(entry, "Edit_Account", "Account: ", 16);
    ComboBox_Key_Format = named(new QComboBox(central), "ComboBox_Key_Format");
    ComboBox_Key_Format->addItems({QStringLiteral("Text"), QStringLiteral("Hex")});
    auto* formatLabel = new QLabel(QStringLiteral("Key Format: "));
    formatLabel->setBuddy(ComboBox_Key_Format);
    entry->addWidget(formatLabel, entry->rowCount(), 0);
    entry->addWidget(ComboBox_Key_Format, entry->rowCount() - 1, 1);
    Edit_Key = forms::labeledEdit(entry, "Edit_Key", "Key: ", 64);
    Edit_Key->setEchoMode(QLineEdit::Password);
    CheckBox_Show_Key = named(new QCheckBox(QStringLiteral("Show"), central), "CheckBox_Show_Key");
    entry->addWidget(CheckBox_Show_Key, entry->rowCount() - 1, 2);
    column->addLayout(entry);

    auto* buttons = new QHBoxLayout;
    Button_Set_Key = named(new QPushButton(QStringLiteral("Set Key"), central), "Button_Set_Key");
    Button_Remove_Key = named(new QPushButton(QStringLiteral("Remove Key"), central), "Button_Remove_Key");
    buttons->addWidget(Button_Set_Key);
    buttons->addWidget(Button_Remove_Key);
    buttons->addStretch(1);
    column->addLayout(buttons);
    Label_Status = named(new QLabel(central), "Label_Status");
    Label_Status->setWordWrap(true);
    column->addWidget(Label_Status);
    setCentralWidget(central);

    connect(Button_Set_Key, &QPushButton::clicked, this, [this] { setKeyClick(); });
    connect(Button_Remove_Key, &QPushButton::clicked, this, [this] { removeKeyClick(); });
    connect(CheckBox_Show_Key, &QCheckBox::toggled, this,
            [this](bool shown) { Edit_Key->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password); });
    connect(Grid_Account_Keys, &QTableWidget::itemSelectionChanged, this, [this] {
        const QList<QTableWidgetItem*> selected = Grid_Account_Keys->selectedItems();
        if (!selected.isEmpty())
            Edit_Account->setText(Grid_Account_Keys->item(selected.front()->row(), 0)->text());
    });
}

void AccountKeysForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    refresh();
}

void AccountKeysForm::refresh()
{
    const std::vector<const AccountKey*> entries = m_keys.entries();
    Grid_Account_Keys->setRowCount(int(entries.size()));
    for (int row = 0; row < int(entries.size()); ++row) {
        const AccountKey& entry = *entries[std::size_t(row)];
        const QString texts[] = {QString::fromStdString(entry.account),
                                 entry.usable() ? QStringLiteral("AES-%1").arg(entry.bits())
                                                : QStringLiteral("-"),
                                 entry.usable() ? QString::fromStdString(keyFingerprint(entry.key))
                                                : QStringLiteral("(key unreadable: refused)")};
        for (int column = 0; column < 3; ++column)
            Grid_Account_Keys->setItem(row, column, new QTableWidgetItem(texts[column]));
    }
}

bool AccountKeysForm::commit(const std::function<void(AccountKeys&)>& change, const QString& done)
{
    AccountKeys changed = m_keys;
    change(changed);
    std::swap(m_keys, changed);
    if (const int error = m_save ? m_save() : 0; error != 0) {
        std::swap(m_keys, changed); // what the file holds is what is used
        m_dialogs.error(this, windowTitle(),
                        QStringLiteral("The account keys could not be saved: %1. Nothing changed.")
                            .arg(QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    Label_Status->setText(done);
    refresh();
    return true;
}

void AccountKeysForm::setKeyClick()
{
    const QByteArray account = Edit_Account->text().trimmed().toLatin1();
    QByteArray key = Edit_Key->text().toLatin1();
    const char* format = ComboBox_Key_Format->currentIndex() == 1 ? "hex" : "text";
    AccountKeys trial;
    const std::optional<std::string> error =
        trial.set(std::string_view(account.constData(), std::size_t(account.size())), format,
                  std::string_view(key.constData(), std::size_t(key.size())));
    if (error) {
        key.fill('\0');
        m_dialogs.beep();
        Label_Status->setText(QString::fromStdString(*error));
        return;
    }
    const std::string name =
        *normalisedAccount(std::string_view(account.constData(), std::size_t(account.size())));
    if (commit(
            [&](AccountKeys& keys) {
                (void)keys.set(name, format, std::string_view(key.constData(), std::size_t(key.size())));
            },
            QStringLiteral("Account %1 now has a key of its own; its plaintext is refused.")
                .arg(QString::fromStdString(name))))
        Edit_Key->clear();
    key.fill('\0');
}

void AccountKeysForm::removeKeyClick()
{
    const QByteArray account = Edit_Account->text().trimmed().toLatin1();
    const std::optional<std::string> name =
        normalisedAccount(std::string_view(account.constData(), std::size_t(account.size())));
    if (!name || m_keys.find(*name) == nullptr) {
        m_dialogs.beep();
        Label_Status->setText(
            QStringLiteral("Account \"%1\" has no key of its own.").arg(Edit_Account->text()));
        return;
    }
    const QString shown = QString::fromStdString(*name);
    if (m_dialogs.ask(this, windowTitle(),
                      QStringLiteral("Remove the key of account %1? Its panel is then heard under the global "
                                     "key and mode again.")
                          .arg(shown),
                      Dialogs::Buttons::OkCancel, Dialogs::Icon::Question) != Dialogs::Answer::Ok)
        return;
    (void)commit([&](AccountKeys& keys) { (void)keys.remove(*name); },
                 QStringLiteral("Account %1 uses the global key again.").arg(shown));
}
