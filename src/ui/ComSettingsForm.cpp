// Layout and handlers of the serial settings dialog.
#include "ui/ComSettingsForm.h"

#include "ui/Dialogs.h"
#include "ui/FormHelpers.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using forms::named;

namespace {
// The list of the settings table, which --set takes too.
QStringList baudRates()
{
    QStringList rates;
    for (const long long rate : kBaudRates)
        rates << QString::number(rate);
    return rates;
}
} // namespace

TForm_Com_Settings::TForm_Com_Settings(Config_Record& config, Dialogs& dialogs, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      m_config(config), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("Form_Com_Settings"));
    setWindowTitle(QStringLiteral("Serial Port Settings"));
    setModal(false);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setVerticalSpacing(2);
    ComboBox_COM_Baud = named(new QComboBox, "ComboBox_COM_Baud");
    ComboBox_COM_Baud->setEditable(true);
    forms::setDigitsOnly(ComboBox_COM_Baud->lineEdit());
    forms::watchSettingField(ComboBox_COM_Baud->lineEdit(), "COM_Baud", m_dialogs,
                             [this] { return m_config.COM_Baud; });
    const auto addRow = [grid](const char* caption, QWidget* field) {
        auto* label = new QLabel(QLatin1String(caption));
        label->setBuddy(field);
        const int row = grid->rowCount();
        grid->addWidget(label, row, 0);
        grid->addWidget(field, row, 1);
    };
    addRow("Baud Rate :", ComboBox_COM_Baud);
    ComboBox_COM_Framing = named(new QComboBox, "ComboBox_COM_Framing");
    ComboBox_COM_Framing->addItems({QStringLiteral("8N1"), QStringLiteral("7E1")});
    addRow("Framing :", ComboBox_COM_Framing);
    const auto fixed = [&](QLineEdit*& edit, const char* name, const char* caption, const char* text) {
        edit = named(new QLineEdit(QLatin1String(text)), name);
        edit->setEnabled(false);
        addRow(caption, edit);
    };
    fixed(Edit1, "Edit1", "Data Bits :", "8");
    fixed(Edit2, "Edit2", "Stop Bits :", "1");
    fixed(Edit3, "Edit3", "Parity :", "None");
    fixed(Edit4, "Edit4", "Flow Control :", "None");
    Button1 = named(new QPushButton(QStringLiteral("OK")), "Button1");
    grid->addWidget(Button1, grid->rowCount(), 1, Qt::AlignRight);
    setFixedSize(254, 156); // one row more than baud rate and the fixed four need

    connect(ComboBox_COM_Baud->lineEdit(), &QLineEdit::textEdited, this,
            [this] { ComboBox_COM_BaudChange(); });
    connect(ComboBox_COM_Baud, &QComboBox::textActivated, this, [this] { ComboBox_COM_BaudChange(); });
    connect(ComboBox_COM_Framing, &QComboBox::activated, this, [this] { ComboBox_COM_FramingChange(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    refreshBaudList(false);
}

void TForm_Com_Settings::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Centred on the main window.
    if (QWidget* owner = parentWidget()) {
        QRect r = frameGeometry();
        r.moveCenter(owner->window()->frameGeometry().center());
        move(r.topLeft());
    }
}

void TForm_Com_Settings::refreshBaudList(bool locked)
{
    const bool typing = ComboBox_COM_Baud->lineEdit()->hasFocus();
    if (!typing) {
        ComboBox_COM_Baud->clear();
        const QStringList rates = baudRates();
        ComboBox_COM_Baud->addItems(rates);
        const QString baud = QString::number(m_config.COM_Baud);
        ComboBox_COM_Baud->setCurrentIndex(int(rates.indexOf(baud)));
        ComboBox_COM_Baud->setEditText(baud);
    }
    ComboBox_COM_Baud->setEnabled(!locked);
    ComboBox_COM_Framing->setEnabled(!locked);
    showFraming();
}

void TForm_Com_Settings::showFraming()
{
    // Shown as the port is opened: a byte that names no framing opens 8N1.
    const bool sevenEven = serialFraming(m_config) == SerialFraming::Bits7EvenParity;
    ComboBox_COM_Framing->setCurrentIndex(sevenEven ? 1 : 0);
    Edit1->setText(sevenEven ? QStringLiteral("7") : QStringLiteral("8"));
    Edit2->setText(QStringLiteral("1"));
    Edit3->setText(sevenEven ? QStringLiteral("Even") : QStringLiteral("None"));
}

void TForm_Com_Settings::ComboBox_COM_FramingChange()
{
    m_config.COM_Framing = ComboBox_COM_Framing->currentIndex() == 1 ? 1 : 0;
    showFraming();
    emit settingsEdited();
}

void TForm_Com_Settings::ComboBox_COM_BaudChange()
{
    // An open port is not reconfigured: the list is locked while a link is chosen.
    if (const auto v = forms::readSetting(ComboBox_COM_Baud->lineEdit(), "COM_Baud", m_dialogs, this))
        m_config.COM_Baud = *v;
    emit settingsEdited();
}

void TForm_Com_Settings::Button1Click()
{
    close();
}
