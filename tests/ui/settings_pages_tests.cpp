// The panel, time stamp and output options of the settings pages and the serial dialog: each control
// edits exactly its byte against a saved kalvor.cfg, shows a loaded byte as the receiver reads it,
// and is locked with its neighbours.
#include "config/ConfigRecord.h"
#include "ui/ComSettingsForm.h"
#include "ui/Dialogs.h"
#include "ui/MonitoringPage.h"
#include "ui/ReceiverPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

namespace {

enum class Lock { None, ReceiverOpen, LinkChosen };

struct Control {
    const char* name;
    std::size_t offset;
    std::uint8_t on, strange; // what choosing stores; a byte a damaged file may hold
    bool strangeShownOn;
    Lock lock;
    QWidget* widget;
    std::function<void(bool)> choose;
    std::function<bool()> shownOn;
};

TEST(SettingsPages, EachControlEditsItsByteShowsTheLoadedOneAndLocksWithItsNeighbours)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("kalvor.cfg")).toStdString();
    Config_Record config = defaultConfig();
    ASSERT_TRUE(Save_Settings(path, config).ok());
    const Config_Record saved = config;
    ScriptedDialogs dialogs;
    ReceiverPage rx{config, dialogs};
    MonitoringPage mon{config, dialogs};
    TForm_Com_Settings serial{config, dialogs};
    mon.setComSettingsForm(&serial);
    bool changed = false;
    int retries = 0;
    const auto check = [&] { changed = Check_Settings_Changed(path, config); };
    QObject::connect(&rx, &ReceiverPage::settingsEdited, check);
    QObject::connect(&mon, &MonitoringPage::settingsEdited, check);
    QObject::connect(&serial, &TForm_Com_Settings::settingsEdited, check);
    QObject::connect(&rx, &ReceiverPage::portEnableClicked, [&] { ++retries; });
    const auto refresh = [&] { rx.Refresh_Receiver(), mon.Refresh_Mon_Out(); };
    const auto byteAt = [&](std::size_t i) -> std::uint8_t& {
        return reinterpret_cast<std::uint8_t*>(&config)[i];
    };

    const auto box = [](const char* name, std::size_t offset, std::uint8_t on, std::uint8_t strange,
                        bool strangeOn, Lock lock, QCheckBox* b) {
        const auto choose = [b](bool tick) {
            if (b->isChecked() != tick)
                b->click();
        };
        return Control{name, offset, on, strange, strangeOn, lock, b, choose, [b] { return b->isChecked(); }};
    };
    QComboBox* framing = serial.ComboBox_COM_Framing;
#define AT(field) #field, offsetof(Config_Record, field)
    const Control controls[] = {
        box(AT(DC9_UDP_Enable), 1, 0x80, true, Lock::None, rx.CheckBox_DC9_UDP),
        box(AT(DC9_Store_Repeats), 1, 2, true, Lock::ReceiverOpen, rx.CheckBox_DC9_Store_Repeats),
        box(AT(DC9_Time_UTC), 1, 0xFF, true, Lock::ReceiverOpen, rx.CheckBox_DC9_Time_UTC),
        box(AT(DC9_Quirk_Lower_Hex), 1, 3, true, Lock::ReceiverOpen, rx.CheckBox_DC9_Quirk_Lower_Hex),
        box(AT(DC9_Quirk_CRC_CR), 1, 9, true, Lock::ReceiverOpen, rx.CheckBox_DC9_Quirk_CRC_CR),
        box(AT(DC9_Quirk_Binary_CRC), 1, 0x10, true, Lock::ReceiverOpen, rx.CheckBox_DC9_Quirk_Binary_CRC),
        box(AT(DC9_SIA_DCS), 1, 7, true, Lock::ReceiverOpen, rx.CheckBox_DC9_SIA_DCS),
        box(AT(Out_Account_Q_Lines), 1, 0x40, true, Lock::None, mon.CheckBox_Out_Account_Q_Lines),
        // Only the byte 20 sends the short heartbeat; 22 (or anything else) sends 22 characters.
        box(AT(Test_Heartbeat_Length), 20, 22, false, Lock::None, mon.CheckBox_Test_Heartbeat_Length),
        // The fixed fields follow the framing: 7 / 1 / Even, or 8 / 1 / None; a byte 2 opens 8N1.
        {AT(COM_Framing), 1, 2, false, Lock::LinkChosen, framing,
         [framing](bool seven) { framing->setCurrentIndex(seven), emit framing->activated(seven); },
         [&serial, framing] {
             const bool seven = framing->currentIndex() == 1;
             const QString shown = serial.Edit1->text() + serial.Edit2->text() + serial.Edit3->text();
             EXPECT_EQ(shown, seven ? QStringLiteral("71Even") : QStringLiteral("81None"));
             return seven;
         }},
    };
#undef AT
    for (const Control& c : controls) {
        SCOPED_TRACE(c.name);
        retries = 0;
        c.choose(true);
        Config_Record rest = config;
        reinterpret_cast<std::uint8_t*>(&rest)[c.offset] =
            reinterpret_cast<const std::uint8_t*>(&saved)[c.offset];
        EXPECT_EQ(std::memcmp(&rest, &saved, sizeof rest), 0); // no other byte moved
        EXPECT_EQ(byteAt(c.offset), c.on);
        EXPECT_TRUE(changed);
        EXPECT_TRUE(c.shownOn());
        EXPECT_EQ(retries, c.widget == rx.CheckBox_DC9_UDP ? 1 : 0); // as "Open" does
        c.choose(false);
        EXPECT_EQ(std::memcmp(&config, &saved, sizeof config), 0);
        EXPECT_FALSE(changed);
        EXPECT_FALSE(c.shownOn());

        for (const auto& [value, on] : {std::pair{c.on, true}, std::pair{c.strange, c.strangeShownOn}}) {
            byteAt(c.offset) = value;
            refresh();
            EXPECT_EQ(c.shownOn(), on) << int(value);
        }
        // Locked by its own condition and by nothing else.
        config.DC9_Port_Enable = 1, config.Mon_Port_Open = 2;
        refresh();
        EXPECT_EQ(c.widget->isEnabled(), c.lock == Lock::None);
        config.DC9_Port_Enable = c.lock != Lock::ReceiverOpen,
        config.Mon_Port_Open = c.lock != Lock::LinkChosen;
        refresh();
        EXPECT_TRUE(c.widget->isEnabled());
        config = saved;
        refresh();
    }
}

} // namespace

namespace {

// The page opens on a key as it is: in hex wherever text would hide bytes (a key that starts with a
// zero byte would look like no key at all), as text where text shows every byte.
TEST(SettingsPages, TheKeyFieldShowsAKeyThatTextCannotShowInHex)
{
    struct Row {
        std::uint8_t mode;
        QByteArray key;
        bool hex;
        QByteArray shown;
    };
    const Row rows[] = {
        {1, QByteArray::fromHex("00112233445566778899aabbccddeeff"), true,
         "00112233445566778899aabbccddeeff"},
        {1, QByteArray("A\0BC", 4), true, "41004243000000000000000000000000"},
        {1, QByteArray("\x01\x02", 2), true, "01020000000000000000000000000000"},
        {1, QByteArray("secret"), false, "secret"},
        {0, QByteArray(), false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key.toHex().toStdString());
        Config_Record config = defaultConfig();
        config.DC9_AES_Mode = row.mode;
        std::memcpy(config.DC9_AES_Key, row.key.constData(), std::size_t(row.key.size()));
        ScriptedDialogs dialogs;
        ReceiverPage page{config, dialogs};
        page.Refresh_Receiver();
        EXPECT_EQ(page.RadioButton_Aes_Key_Hex->isChecked(), row.hex);
        EXPECT_EQ(page.LabeledEdit_DC9_Encoding_Key->text(), QString::fromLatin1(row.shown));
    }
}

} // namespace
