// Choosing the serial port of the output link: which ports are offered (over dosdevices links to
// socat pairs, one held by another program), which one is selected, and the baud rate dialog.
#include "QtPrinters.h"
#include "serial/ComPorts.h"
#include "serial/TCommPort.h"
#include "support/SocatPair.h"
#include "ui/ComSettingsForm.h"
#include "ui/Dialogs.h"
#include "ui/MonitoringPage.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using Names = std::vector<std::string>;

TEST(PortChoice, TheConfiguredPortIsSelectedAndAnEmptyOneBecomesTheFirstUsable)
{
    struct Row {
        Names names;
        std::string configured;
        std::size_t index;
        std::string after;
    };
    const Row rows[] = {
        {{"COM1", "COM3"}, "COM3", 1, "COM3"},
        {{"COM2", "COM5"}, "", 0, "COM2"},
        {{"COM1", "COM2"}, "COM4", 2, "COM4"}, // missing or in use: no selection, unchanged
        {{}, "", 0, ""},
        {{"COM1", "COM1"}, "COM1", 0, "COM1"},
    };
    for (const Row& row : rows) {
        const comports::Selection s = comports::choose(row.names, row.configured);
        EXPECT_EQ(s.index, row.index) << row.configured;
        EXPECT_EQ(s.configured, row.after) << row.configured;
    }
}

class SerialPorts : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        // No /dev/ttyS node of this machine takes part.
        lookup =
            comports::Lookup{dir.path().toStdString(), dir.filePath(QStringLiteral("no-tty")).toStdString()};
    }
    QStringList listed() const
    {
        QStringList items;
        for (int i = 0; i < page.ComboBox_COM_Nr->count(); ++i)
            items << page.ComboBox_COM_Nr->itemText(i);
        return items;
    }

    QTemporaryDir dir;
    comports::Lookup lookup;
    Config_Record config = defaultConfig();
    ScriptedDialogs dialogs;
    MonitoringPage page{config, dialogs};
};

TEST_F(SerialPorts, OnlyPortsThatExistAndAreFreeAreListed)
{
    testsupport::SocatPair usable(dir.path(), 1, 3);
    testsupport::SocatPair held(dir.path(), 2, 65); // COM65 is beyond the list
    if (!usable.available() || !held.available())
        GTEST_SKIP() << usable.error().toStdString() << held.error().toStdString();
    TCommPort other(dir.path().toStdString());
    other.SetPortName("COM2");
    other.Open(); // another program holds COM2
    ASSERT_TRUE(
        QFile::link(dir.filePath(QStringLiteral("gone")), dir.filePath(QStringLiteral("dosdevices/com4"))));

    EXPECT_EQ(comports::usablePorts(lookup), (Names{"COM1", "COM3"}));
    EXPECT_EQ(comports::probe(comports::devicePath(2, lookup)), comports::Probe::InUse);
    EXPECT_EQ(comports::probe(comports::devicePath(4, lookup)), comports::Probe::Missing);

    bool open = false;
    page.setPortLookup(lookup);
    page.setSerialPortOpen([&] { return open; });
    int edits = 0;
    QObject::connect(&page, &MonitoringPage::settingsEdited, [&] { ++edits; });
    struct Row {
        const char* configured;
        int selected;
        const char* shown;
    };
    for (const Row row : {Row{"COM3", 1, "COM3"}, Row{"", 0, "COM1"}, Row{"COM2", -1, "COM2"}}) {
        std::memset(config.COM_Nr, 0, sizeof config.COM_Nr);
        std::strcpy(config.COM_Nr, row.configured);
        edits = 0;
        page.Com_Ports_AvailableExecute();
        EXPECT_EQ(listed(), (QStringList{QStringLiteral("COM1"), QStringLiteral("COM3")})) << row.configured;
        EXPECT_EQ(page.ComboBox_COM_Nr->currentIndex(), row.selected) << row.configured;
        EXPECT_EQ(page.ComboBox_COM_Nr->currentText(), QString::fromLatin1(row.shown)) << row.configured;
        EXPECT_STREQ(config.COM_Nr, row.shown);
        EXPECT_EQ(edits, *row.configured ? 0 : 1) << row.configured; // only a change of COM_Nr counts
    }

    // While the link's own port is open nothing is probed: the list stays, the box shows the port.
    other.Close();
    open = true;
    std::strcpy(config.COM_Nr, "COM2");
    page.Com_Ports_AvailableExecute();
    EXPECT_EQ(listed(), (QStringList{QStringLiteral("COM1"), QStringLiteral("COM3")}));
    EXPECT_EQ(page.ComboBox_COM_Nr->currentText(), QStringLiteral("COM2"));
}

TEST_F(SerialPorts, TheSettingsDialogOffersTheRatesAndShowsTheFixedFraming)
{
    TForm_Com_Settings form(config, dialogs);
    page.setComSettingsForm(&form);
    page.Refresh_Mon_Out();
    QStringList rates;
    for (int i = 0; i < form.ComboBox_COM_Baud->count(); ++i)
        rates << form.ComboBox_COM_Baud->itemText(i);
    EXPECT_EQ(rates.join(QLatin1Char(' ')), QStringLiteral("1200 2400 4800 9600 19200 38400 57600 115200"));
    EXPECT_EQ(form.ComboBox_COM_Baud->currentText(), QStringLiteral("9600"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Serial Port Settings"));
    for (const auto& [edit, text] : {std::pair{form.Edit1, "8"}, std::pair{form.Edit2, "1"},
                                     std::pair{form.Edit3, "None"}, std::pair{form.Edit4, "None"}}) {
        EXPECT_EQ(edit->text(), QLatin1String(text));
        EXPECT_FALSE(edit->isEnabled());
    }

    form.ComboBox_COM_Baud->setCurrentIndex(7);
    emit form.ComboBox_COM_Baud->textActivated(form.ComboBox_COM_Baud->currentText());
    EXPECT_EQ(int(config.COM_Baud), 115200);
    form.show();
    form.ComboBox_COM_Baud->lineEdit()->setFocus();
    form.ComboBox_COM_Baud->lineEdit()->selectAll();
    QTest::keyClicks(form.ComboBox_COM_Baud->lineEdit(), QStringLiteral("fast"));
    EXPECT_EQ(int(config.COM_Baud), 115200);
    EXPECT_TRUE(dialogs.asked.empty());

    // "Settings" opens it; OK closes it.
    form.close();
    page.Button_Com_Settings->click();
    EXPECT_TRUE(form.isVisible());
    form.Button1->click();
    EXPECT_FALSE(form.isVisible());
}

} // namespace
