// The panel, time stamp and output options on the two settings pages and in the serial dialog:
// each control edits exactly its byte of the record against a saved kalvor.cfg, shows what a
// loaded record holds (as the receiver and the link read it), and is locked with its neighbours.
#include "QtPrinters.h"
#include "config/ConfigRecord.h"
#include "ui/ComSettingsForm.h"
#include "ui/Dialogs.h"
#include "ui/MonitoringPage.h"
#include "ui/ReceiverPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

namespace {

class SettingsPages : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(Save_Settings(path, config).ok());
        saved = config;
        monitoring.setComSettingsForm(&dialog);
        QObject::connect(&receiver, &ReceiverPage::settingsEdited, [this] { changed = changedNow(); });
        QObject::connect(&monitoring, &MonitoringPage::settingsEdited, [this] { changed = changedNow(); });
        QObject::connect(&dialog, &TForm_Com_Settings::settingsEdited, [this] { changed = changedNow(); });
        QObject::connect(&receiver, &ReceiverPage::portEnableClicked, [this] { ++portRetries; });
        refresh();
    }
    bool changedNow() const { return Check_Settings_Changed(path, config); }
    void refresh()
    {
        receiver.Refresh_Receiver();
        monitoring.Refresh_Mon_Out();
    }
    // Offsets at which the record differs from the saved one.
    std::vector<std::size_t> differences() const
    {
        std::vector<std::size_t> at;
        const auto* a = reinterpret_cast<const std::uint8_t*>(&config);
        const auto* b = reinterpret_cast<const std::uint8_t*>(&saved);
        for (std::size_t i = 0; i < sizeof config; ++i)
            if (a[i] != b[i])
                at.push_back(i);
        return at;
    }
    std::uint8_t& byteAt(std::size_t offset) { return reinterpret_cast<std::uint8_t*>(&config)[offset]; }

    QTemporaryDir dir;
    std::string path = dir.filePath(QStringLiteral("kalvor.cfg")).toStdString();
    Config_Record config = defaultConfig();
    Config_Record saved{};
    ScriptedDialogs dialogs;
    ReceiverPage receiver{config, dialogs};
    MonitoringPage monitoring{config, dialogs};
    TForm_Com_Settings dialog{config, dialogs};
    bool changed = false;
    int portRetries = 0;
};

enum class LockedBy { Nothing, ReceiverPortOpen, OutputLinkChosen };

struct Control {
    const char* name;
    std::size_t offset;
    std::uint8_t onValue;         // what choosing it stores
    std::uint8_t strangeValue;    // a byte a damaged or hand-edited file may hold
    bool strangeShownOn;          // ... and how the control shows it (as the receiver reads it)
    LockedBy lockedBy;
    bool retriesPort;             // brings the receiver's next tick forward, as "Open" does
    std::function<QWidget*()> widget;
    std::function<void(bool)> choose;
    std::function<bool()> shownOn;
};

TEST_F(SettingsPages, EachControlEditsItsOwnByteShowsTheLoadedOneAndLocksWithItsNeighbours)
{
    const auto box = [](QCheckBox* b) {
        return std::pair{std::function<void(bool)>([b](bool on) {
                             if (b->isChecked() != on)
                                 b->click();
                         }),
                         std::function<bool()>([b] { return b->isChecked(); })};
    };
    const auto row = [&](const char* name, std::size_t offset, std::uint8_t on, std::uint8_t strange,
                         bool strangeOn, LockedBy lock, bool retries, QCheckBox* b) {
        auto [choose, shown] = box(b);
        return Control{name, offset, on, strange, strangeOn, lock, retries, [b] { return b; }, choose, shown};
    };
    QComboBox* framing = dialog.ComboBox_COM_Framing;
    const Control framingRow{
        "COM_Framing", offsetof(Config_Record, COM_Framing), 1, 2, false, LockedBy::OutputLinkChosen, false,
        [framing] { return framing; },
        [framing](bool on) {
            framing->setCurrentIndex(on ? 1 : 0);
            emit framing->activated(framing->currentIndex());
        },
        // The fixed fields follow the framing: 7 / 1 / Even, or 8 / 1 / None.
        [this, framing] {
            const bool seven = framing->currentIndex() == 1;
            EXPECT_EQ(dialog.Edit1->text(), seven ? QStringLiteral("7") : QStringLiteral("8"));
            EXPECT_EQ(dialog.Edit2->text(), QStringLiteral("1"));
            EXPECT_EQ(dialog.Edit3->text(), seven ? QStringLiteral("Even") : QStringLiteral("None"));
            EXPECT_EQ(dialog.Edit4->text(), QStringLiteral("None"));
            return seven;
        }};
    using L = LockedBy;
    const std::vector<Control> controls = {
        row("DC9_UDP_Enable", offsetof(Config_Record, DC9_UDP_Enable), 1, 0x80, true, L::Nothing, true,
            receiver.CheckBox_DC9_UDP),
        row("DC9_Store_Repeats", offsetof(Config_Record, DC9_Store_Repeats), 1, 2, true, L::ReceiverPortOpen,
            false, receiver.CheckBox_DC9_Store_Repeats),
        row("DC9_Time_UTC", offsetof(Config_Record, DC9_Time_UTC), 1, 0xFF, true, L::ReceiverPortOpen, false,
            receiver.CheckBox_DC9_Time_UTC),
        row("DC9_Quirk_Lower_Hex", offsetof(Config_Record, DC9_Quirk_Lower_Hex), 1, 3, true,
            L::ReceiverPortOpen, false, receiver.CheckBox_DC9_Quirk_Lower_Hex),
        row("DC9_Quirk_CRC_CR", offsetof(Config_Record, DC9_Quirk_CRC_CR), 1, 9, true, L::ReceiverPortOpen,
            false, receiver.CheckBox_DC9_Quirk_CRC_CR),
        row("DC9_Quirk_Binary_CRC", offsetof(Config_Record, DC9_Quirk_Binary_CRC), 1, 0x10, true,
            L::ReceiverPortOpen, false, receiver.CheckBox_DC9_Quirk_Binary_CRC),
        // The heartbeat goes out as 20 characters only for the byte 20; 22 (or anything else) is 22.
        row("Test_Heartbeat_Length", offsetof(Config_Record, Test_Heartbeat_Length), 20, 22, false,
            L::Nothing, false, monitoring.CheckBox_Test_Heartbeat_Length),
        framingRow,
    };

    for (const Control& c : controls) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.widget()->isEnabled());
        portRetries = 0;
        c.choose(true);
        EXPECT_EQ(differences(), std::vector<std::size_t>{c.offset});
        EXPECT_EQ(byteAt(c.offset), c.onValue);
        EXPECT_TRUE(changed);
        EXPECT_TRUE(c.shownOn());
        EXPECT_EQ(portRetries, c.retriesPort ? 1 : 0);
        c.choose(false);
        EXPECT_TRUE(differences().empty());
        EXPECT_FALSE(changed); // back to what the file holds
        EXPECT_FALSE(c.shownOn());

        // A loaded record: the control shows its byte as the receiver reads it.
        for (const auto& [value, on] : {std::pair{c.onValue, true}, std::pair{c.strangeValue, c.strangeShownOn},
                                        std::pair{std::uint8_t(0), false}}) {
            byteAt(c.offset) = value;
            refresh();
            EXPECT_EQ(c.shownOn(), on) << int(value);
        }

        // Locked with the settings around it, and by nothing else.
        config.DC9_Port_Enable = 1;
        config.Mon_Port_Open = 2;
        refresh();
        EXPECT_EQ(c.widget()->isEnabled(), c.lockedBy == L::Nothing);
        config.DC9_Port_Enable = c.lockedBy == L::ReceiverPortOpen ? 0 : 1;
        config.Mon_Port_Open = std::int8_t(c.lockedBy == L::OutputLinkChosen ? 0 : 1);
        refresh();
        EXPECT_TRUE(c.widget()->isEnabled());
        config = saved;
        refresh();
    }
}

} // namespace
