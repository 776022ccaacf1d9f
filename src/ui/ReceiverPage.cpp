// Layout and handlers of the "DC-09 Receiver" page.
#include "ui/ReceiverPage.h"

#include "config/CoreDumps.h"
#include "dc09/KeyEntry.h"
#include "ui/Dialogs.h"
#include "ui/FormHelpers.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

using forms::named;

namespace {

// The line edit's frame and text margins on either side, with some to spare.
constexpr int kKeyFieldMargins = 16;
// Asterisks when hidden; red while a hex key is shorter than its mode needs.
const QString kKeyFieldStyle = QStringLiteral("QLineEdit { lineedit-password-character: 42; %1}");

AesKeyBytes currentKey(const Config_Record& config)
{
    AesKeyBytes key{};
    static_assert(sizeof config.DC9_AES_Key == std::tuple_size_v<AesKeyBytes>);
    std::memcpy(key.data(), config.DC9_AES_Key, key.size());
    return key;
}

} // namespace

ReceiverPage::ReceiverPage(Config_Record& config, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_config(config), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("TabSheet1"));
    auto* grid = new QGridLayout(this);

    auto* portBox = named(new QGroupBox(QStringLiteral("Receiver Port")), "GroupBox_Receiver_Port");
    auto* portGrid = new QGridLayout(portBox);
    CheckBox_DC9_Port_Enable = named(new QCheckBox(QStringLiteral("Open")), "CheckBox_DC9_Port_Enable");
    CheckBox_DC9_UDP = named(new QCheckBox(QStringLiteral("UDP")), "CheckBox_DC9_UDP");
    // "UDP" beside "Open" in the same row, so that the port row below keeps its columns.
    auto* openRow = new QHBoxLayout;
    openRow->addWidget(CheckBox_DC9_Port_Enable);
    openRow->addWidget(CheckBox_DC9_UDP);
    openRow->addStretch(1);
    portGrid->addLayout(openRow, 0, 0, 1, 2);
    LabeledEdit_DC9_Port = forms::labeledEdit(portGrid, "LabeledEdit_DC9_Port", "Port: ", 5);
    forms::setDigitsOnly(LabeledEdit_DC9_Port);
    forms::watchSettingField(LabeledEdit_DC9_Port, "DC9_Port", m_dialogs,
                             [this] { return m_config.DC9_Port; });

    auto* connBox =
        named(new QGroupBox(QStringLiteral("Connection Settings")), "GroupBox_Connection_Settings");
    auto* connGrid = new QGridLayout(connBox);
    LabeledEdit_DC9_Conn_Timeout =
        forms::labeledEdit(connGrid, "LabeledEdit_DC9_Conn_Timeout", "Connection Timeout: ", 3);
    forms::setDigitsOnly(LabeledEdit_DC9_Conn_Timeout);
    forms::watchSettingField(LabeledEdit_DC9_Conn_Timeout, "DC9_Conn_Timeout", m_dialogs,
                             [this] { return m_config.DC9_Conn_Timeout; });

    auto* addBox =
        named(new QGroupBox(QStringLiteral("Additional Settings")), "GroupBox_Additional_Settings");
    auto* addLayout = new QVBoxLayout(addBox);
    CheckBox_Time_Synch = named(new QCheckBox(QStringLiteral("Time Synchronization")), "CheckBox_Time_Synch");
    addLayout->addWidget(CheckBox_Time_Synch);

    auto* encBox = named(new QGroupBox(QStringLiteral("Encryption")), "GroupBox_Encryption");
    auto* encGrid = new QGridLayout(encBox);
    RadioButton_DC9_AES_Off = named(new QRadioButton(QStringLiteral("Off")), "RadioButton_DC9_AES_Off");
    RadioButton_DC9_AES_128 = named(new QRadioButton(QStringLiteral("AES 128")), "RadioButton_DC9_AES_128");
    RadioButton_DC9_AES_192 = named(new QRadioButton(QStringLiteral("AES 192")), "RadioButton_DC9_AES_192");
    RadioButton_DC9_AES_256 = named(new QRadioButton(QStringLiteral("AES 256")), "RadioButton_DC9_AES_256");
    m_aesModeGroup = new QButtonGroup(this);
    int mode = 0;
    for (QRadioButton* b : {RadioButton_DC9_AES_Off, RadioButton_DC9_AES_128, RadioButton_DC9_AES_192,
                            RadioButton_DC9_AES_256}) {
        m_aesModeGroup->addButton(b, mode);
        encGrid->addWidget(b, 0, mode++);
    }
    auto* keyLabel = new QLabel(QStringLiteral("Key: "));
    LabeledEdit_DC9_Encoding_Key = named(new QLineEdit, "LabeledEdit_DC9_Encoding_Key");
    keyLabel->setBuddy(LabeledEdit_DC9_Encoding_Key);
    CheckBox_Show_AES_Password = named(new QCheckBox(QStringLiteral("Show")), "CheckBox_Show_AES_Password");
    encGrid->addWidget(keyLabel, 1, 0);
    encGrid->addWidget(LabeledEdit_DC9_Encoding_Key, 1, 1, 1, 2);
    encGrid->addWidget(CheckBox_Show_AES_Password, 1, 3);
    RadioButton_Aes_Key_Text = named(new QRadioButton(QStringLiteral("Text")), "RadioButton_Aes_Key_Text");
    RadioButton_Aes_Key_Hex = named(new QRadioButton(QStringLiteral("Hex")), "RadioButton_Aes_Key_Hex");
    m_keyFormatGroup = new QButtonGroup(this);
    m_keyFormatGroup->addButton(RadioButton_Aes_Key_Text);
    m_keyFormatGroup->addButton(RadioButton_Aes_Key_Hex);
    // Not stored: every start begins with text entry, unless the key cannot show as text.
    RadioButton_Aes_Key_Text->setChecked(true);
    encGrid->addWidget(new QLabel(QStringLiteral("Key Format:")), 2, 0);
    encGrid->addWidget(RadioButton_Aes_Key_Text, 2, 1);
    encGrid->addWidget(RadioButton_Aes_Key_Hex, 2, 2);
    // The key starts hidden: bold asterisks.
    QFont bold = LabeledEdit_DC9_Encoding_Key->font();
    bold.setBold(true);
    LabeledEdit_DC9_Encoding_Key->setFont(bold);
    LabeledEdit_DC9_Encoding_Key->setEchoMode(QLineEdit::Password);
    LabeledEdit_DC9_Encoding_Key->setStyleSheet(kKeyFieldStyle.arg(QString()));
    // Room for a whole 256-bit key in hex, shown or hidden, in the bolder of the two fonts.
    const QFontMetrics keyMetrics(bold);
    int widest = 0;
    for (const QChar c : QStringLiteral("0123456789abcdefABCDEF*"))
        widest = std::max(widest, keyMetrics.horizontalAdvance(c));
    LabeledEdit_DC9_Encoding_Key->setMinimumWidth(64 * widest + kKeyFieldMargins);

    // Below the older groups, so that they keep their places.
    auto* msgBox = named(new QGroupBox(QStringLiteral("Message Handling")), "GroupBox_Message_Handling");
    auto* msgLayout = new QVBoxLayout(msgBox);
    CheckBox_DC9_Store_Repeats =
        named(new QCheckBox(QStringLiteral("Store repeats")), "CheckBox_DC9_Store_Repeats");
    CheckBox_DC9_Time_UTC = named(new QCheckBox(QStringLiteral("UTC time stamps")), "CheckBox_DC9_Time_UTC");
    CheckBox_DC9_SIA_DCS = named(new QCheckBox(QStringLiteral("SIA-DCS")), "CheckBox_DC9_SIA_DCS");
    msgLayout->addWidget(CheckBox_DC9_Store_Repeats);
    msgLayout->addWidget(CheckBox_DC9_Time_UTC);
    msgLayout->addWidget(CheckBox_DC9_SIA_DCS);

    auto* quirkBox = named(new QGroupBox(QStringLiteral("Panel Quirks")), "GroupBox_Panel_Quirks");
    auto* quirkGrid = new QGridLayout(quirkBox);
    CheckBox_DC9_Quirk_Lower_Hex =
        named(new QCheckBox(QStringLiteral("Lowercase hex")), "CheckBox_DC9_Quirk_Lower_Hex");
    CheckBox_DC9_Quirk_CRC_CR =
        named(new QCheckBox(QStringLiteral("CRC over CR, decimal length")), "CheckBox_DC9_Quirk_CRC_CR");
    CheckBox_DC9_Quirk_Binary_CRC =
        named(new QCheckBox(QStringLiteral("Binary CRC")), "CheckBox_DC9_Quirk_Binary_CRC");
    quirkGrid->addWidget(CheckBox_DC9_Quirk_Lower_Hex, 0, 0);
    quirkGrid->addWidget(CheckBox_DC9_Quirk_Binary_CRC, 0, 1);
    quirkGrid->addWidget(CheckBox_DC9_Quirk_CRC_CR, 1, 0, 1, 2);

    m_flagBoxes = {{CheckBox_DC9_UDP, &Config_Record::DC9_UDP_Enable},
                   {CheckBox_DC9_Store_Repeats, &Config_Record::DC9_Store_Repeats},
                   {CheckBox_DC9_Time_UTC, &Config_Record::DC9_Time_UTC},
                   {CheckBox_DC9_SIA_DCS, &Config_Record::DC9_SIA_DCS},
                   {CheckBox_DC9_Quirk_Lower_Hex, &Config_Record::DC9_Quirk_Lower_Hex},
                   {CheckBox_DC9_Quirk_CRC_CR, &Config_Record::DC9_Quirk_CRC_CR},
                   {CheckBox_DC9_Quirk_Binary_CRC, &Config_Record::DC9_Quirk_Binary_CRC}};

    grid->addWidget(portBox, 0, 0);
    grid->addWidget(connBox, 1, 0);
    grid->addWidget(addBox, 2, 0);
    grid->addWidget(encBox, 0, 1, 3, 1);
    grid->addWidget(msgBox, 3, 0);
    grid->addWidget(quirkBox, 3, 1);
    grid->setRowStretch(4, 1);

    connect(CheckBox_DC9_Port_Enable, &QCheckBox::clicked, this, [this] { CheckBox_DC9_Port_EnableClick(); });
    connect(CheckBox_Time_Synch, &QCheckBox::clicked, this, [this] { CheckBox_Time_SynchClick(); });
    connect(LabeledEdit_DC9_Port, &QLineEdit::textEdited, this, [this] { LabeledEdit_DC9_PortChange(); });
    connect(LabeledEdit_DC9_Port, &QLineEdit::textChanged, this, &ReceiverPage::portTextChanged);
    connect(LabeledEdit_DC9_Conn_Timeout, &QLineEdit::textEdited, this,
            [this] { LabeledEdit_DC9_Conn_TimeoutChange(); });
    // Only the operator's own typing writes the key: the refresh puts the key into the field in
    // the other format, and reading that back would lose bytes after a zero byte.
    connect(LabeledEdit_DC9_Encoding_Key, &QLineEdit::textEdited, this,
            [this] { LabeledEdit_DC9_Encoding_KeyChange(); });
    connect(LabeledEdit_DC9_Encoding_Key, &QLineEdit::textChanged, this, [this] { markShortHexKey(); });
    // Typed digits set only the key's first bytes: once the editing ends the field shows the whole key
    // in force, so that what the panels must use is what the operator reads.
    connect(LabeledEdit_DC9_Encoding_Key, &QLineEdit::editingFinished, this, [this] {
        if (!LabeledEdit_DC9_Encoding_Key->property("refused").toBool())
            return;
        LabeledEdit_DC9_Encoding_Key->setText(shownKeyText());
        m_dialogs.beep();
    });
    connect(RadioButton_DC9_AES_Off, &QRadioButton::clicked, this,
            [this] { RadioButton_DC9_AES_OffClick(); });
    connect(RadioButton_DC9_AES_128, &QRadioButton::clicked, this,
            [this] { RadioButton_DC9_AES_128Click(); });
    connect(RadioButton_DC9_AES_192, &QRadioButton::clicked, this,
            [this] { RadioButton_DC9_AES_192Click(); });
    connect(RadioButton_DC9_AES_256, &QRadioButton::clicked, this,
            [this] { RadioButton_DC9_AES_256Click(); });
    connect(RadioButton_Aes_Key_Text, &QRadioButton::clicked, this,
            [this] { RadioButton_Aes_Key_TextClick(); });
    connect(RadioButton_Aes_Key_Hex, &QRadioButton::clicked, this,
            [this] { RadioButton_Aes_Key_HexClick(); });
    connect(CheckBox_Show_AES_Password, &QCheckBox::clicked, this,
            [this] { CheckBox_Show_AES_PasswordClick(); });
    connect(CheckBox_DC9_UDP, &QCheckBox::clicked, this, [this] { CheckBox_DC9_UDPClick(); });
    for (const FlagBox& f : m_flagBoxes)
        if (f.box != CheckBox_DC9_UDP)
            connect(f.box, &QCheckBox::clicked, this, [this, box = f.box] { flagBoxClick(box); });
}

void ReceiverPage::Refresh_Receiver()
{
    LabeledEdit_DC9_Port->setText(QString::number(m_config.DC9_Port));
    LabeledEdit_DC9_Conn_Timeout->setText(QString::number(m_config.DC9_Conn_Timeout));
    const bool open = m_config.DC9_Port_Enable != 0;
    CheckBox_DC9_Port_Enable->setChecked(open);
    // While the port is open the receiver settings cannot change under the panels.
    for (QWidget* w : std::initializer_list<QWidget*>{
             LabeledEdit_DC9_Port, LabeledEdit_DC9_Conn_Timeout, LabeledEdit_DC9_Encoding_Key,
             RadioButton_DC9_AES_Off, RadioButton_DC9_AES_128, RadioButton_DC9_AES_192,
             RadioButton_DC9_AES_256, RadioButton_Aes_Key_Text, RadioButton_Aes_Key_Hex,
             CheckBox_Show_AES_Password, CheckBox_Time_Synch, CheckBox_DC9_Store_Repeats,
             CheckBox_DC9_Time_UTC, CheckBox_DC9_Quirk_Lower_Hex, CheckBox_DC9_Quirk_CRC_CR,
             CheckBox_DC9_Quirk_Binary_CRC, CheckBox_DC9_SIA_DCS})
        w->setEnabled(!open);
    showKey();
    CheckBox_Time_Synch->setChecked(m_config.Time_Synch != 0);
    // Any byte but zero is on: that is how the receiver reads them.
    for (const FlagBox& f : m_flagBoxes)
        f.box->setChecked(m_config.*f.field != 0);
    emit settingsEdited();
}

void ReceiverPage::showKey()
{
    const int mode = m_config.DC9_AES_Mode;
    QRadioButton* modeButton = (mode >= 1 && mode <= 3)
                                   ? qobject_cast<QRadioButton*>(m_aesModeGroup->button(mode))
                                   : RadioButton_DC9_AES_Off;
    modeButton->setChecked(true);
    if (!m_textChosen && !keyShowsAsText(currentKey(m_config)))
        RadioButton_Aes_Key_Hex->setChecked(true);
    const KeyFormat format = RadioButton_Aes_Key_Hex->isChecked() ? KeyFormat::Hex : KeyFormat::Text;
    LabeledEdit_DC9_Encoding_Key->setMaxLength(int(keyMaxLength(m_config.DC9_AES_Mode, format)));
    // Never overwrite what the operator is typing.
    if (!LabeledEdit_DC9_Encoding_Key->hasFocus())
        LabeledEdit_DC9_Encoding_Key->setText(shownKeyText());
    markShortHexKey();
}

QString ReceiverPage::shownKeyText() const
{
    const KeyFormat format = RadioButton_Aes_Key_Hex->isChecked() ? KeyFormat::Hex : KeyFormat::Text;
    const std::string shown = keyDisplayText(currentKey(m_config), m_config.DC9_AES_Mode, format);
    return QString::fromLatin1(shown.data(), qsizetype(shown.size()));
}

void ReceiverPage::markShortHexKey()
{
    QLineEdit* field = LabeledEdit_DC9_Encoding_Key;
    const auto digits = qsizetype(keyMaxLength(m_config.DC9_AES_Mode, KeyFormat::Hex));
    const bool shortKey = RadioButton_Aes_Key_Hex->isChecked() && field->text().size() < digits;
    field->setToolTip(RadioButton_Aes_Key_Hex->isChecked()
                          ? QStringLiteral("Allowed: %1 hex digits").arg(digits)
                          : QString());
    if (field->property("refused").toBool() == shortKey)
        return;
    field->setProperty("refused", shortKey);
    field->setStyleSheet(kKeyFieldStyle.arg(shortKey ? QStringLiteral("color: red; ") : QString()));
}

void ReceiverPage::CheckBox_DC9_Port_EnableClick()
{
    emit portEnableClicked();
    m_config.DC9_Port_Enable = CheckBox_DC9_Port_Enable->isChecked() ? 1 : 0;
    Refresh_Receiver();
}

void ReceiverPage::CheckBox_DC9_UDPClick()
{
    // Like "Open", and open or not: the receiver binds or releases the datagram port at its next
    // tick, which this brings forward.
    emit portEnableClicked();
    flagBoxClick(CheckBox_DC9_UDP);
}

void ReceiverPage::flagBoxClick(QCheckBox* box)
{
    for (const FlagBox& f : m_flagBoxes)
        if (f.box == box)
            m_config.*f.field = box->isChecked() ? 1 : 0;
    Refresh_Receiver();
}

void ReceiverPage::LabeledEdit_DC9_PortChange()
{
    if (const auto v = forms::readSetting(LabeledEdit_DC9_Port, "DC9_Port", m_dialogs, this))
        m_config.DC9_Port = *v;
    emit settingsEdited();
}

void ReceiverPage::LabeledEdit_DC9_Conn_TimeoutChange()
{
    if (const auto v = forms::readSetting(LabeledEdit_DC9_Conn_Timeout, "DC9_Conn_Timeout", m_dialogs, this))
        m_config.DC9_Conn_Timeout = *v;
    emit settingsEdited();
}

void ReceiverPage::CheckBox_Time_SynchClick()
{
    m_config.Time_Synch = CheckBox_Time_Synch->isChecked() ? 1 : 0;
    Refresh_Receiver();
}

void ReceiverPage::LabeledEdit_DC9_Encoding_KeyChange()
{
    const KeyFormat format = RadioButton_Aes_Key_Hex->isChecked() ? KeyFormat::Hex : KeyFormat::Text;
    const QByteArray text = LabeledEdit_DC9_Encoding_Key->text().toLatin1();
    const KeyEntryResult r = applyKeyEntry(currentKey(m_config), m_config.DC9_AES_Mode, format,
                                           std::string_view(text.constData(), std::size_t(text.size())));
    std::memcpy(m_config.DC9_AES_Key, r.key.data(), sizeof m_config.DC9_AES_Key);
    keepKeyOutOfCoreDumps(m_config);
    if (r.textCut) {
        LabeledEdit_DC9_Encoding_Key->setText(QString::fromLatin1(r.text.data(), qsizetype(r.text.size())));
        LabeledEdit_DC9_Encoding_Key->setCursorPosition(int(r.text.size()));
    }
    if (r.beep)
        m_dialogs.beep();
    emit settingsEdited();
}

void ReceiverPage::setAesMode(std::uint8_t mode)
{
    setEncryptionMode(m_config, mode);
    Refresh_Receiver();
}

void ReceiverPage::RadioButton_DC9_AES_OffClick()
{
    setAesMode(0);
}

void ReceiverPage::RadioButton_DC9_AES_128Click()
{
    setAesMode(1);
}

void ReceiverPage::RadioButton_DC9_AES_192Click()
{
    setAesMode(2);
}

void ReceiverPage::RadioButton_DC9_AES_256Click()
{
    setAesMode(3);
}

void ReceiverPage::RadioButton_Aes_Key_TextClick()
{
    m_textChosen = true;
    Refresh_Receiver();
}

void ReceiverPage::RadioButton_Aes_Key_HexClick()
{
    m_textChosen = false;
    Refresh_Receiver();
}

void ReceiverPage::CheckBox_Show_AES_PasswordClick()
{
    const bool show = CheckBox_Show_AES_Password->isChecked();
    QFont f = LabeledEdit_DC9_Encoding_Key->font();
    f.setBold(!show);
    LabeledEdit_DC9_Encoding_Key->setFont(f);
    LabeledEdit_DC9_Encoding_Key->setEchoMode(show ? QLineEdit::Normal : QLineEdit::Password);
}
