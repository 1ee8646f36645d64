// The configurator's decisions without any view: tree, commands, panel, validation, Apply with the
// port options, connection and id edits, settings files; on a fake platform that records its calls.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "FakePlatform.h"
#include "Presenter.h"
#include "common/settingsfile.h"

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

// The worked example (192.168.0.10:502, Modbus TCP, ids 1 and 2, delay 10000, RTS wired to CTS)
// plus a raw connection to 10.0.0.7:4001 serving device 7, DTR wired to DCD.
Bytes TwoConnectionRecord()
{
    Bytes b = {0x17, 0x00, 0x00, 0x00, 0x01, 0x01, 0x10, 0x27, 0x01, kLineDcd, 0x0D, 0x00,
               0x00, 0x00, 0xC0, 0xA8, 0x00, 0x0A, 0xF6, 0x01, 0x00, 0x01,     0x02};
    Bytes entry = {0x0C, 0, 0, 0, 10, 0, 0, 7, 0xA1, 0x0F, 1, 7};
    b.insert(b.end(), entry.begin(), entry.end());
    b[0] = static_cast<std::uint8_t>(b.size());
    return b;
}

class PresenterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake.classDescriptions[GuidToString(kPortsClassGuid)] = u"Порты (COM и LPT)";
        fake.AddPort(u"Последовательный порт (COM1)", u"ACPI\\PNP0501");
        fake.AddPort(u"Quorvel Modbus port (COM5)", u"*QuorvelDevice");
        fake.AddPort(u"Quorvel Modbus port (COM6)", u"*QuorvelDevice");
        fake.ports[u"COM1"];
        fake.ports[u"COM5"].hasRecord = true;
        fake.ports[u"COM5"].record = TwoConnectionRecord();
        fake.ports[u"COM6"];  // never configured
        presenter.Refresh();
    }

    void TearDown() override
    {
        if (!dir.empty()) fs::remove_all(dir);
    }

    // Selects the node with this text and returns the panel it shows.
    PanelState Select(const char *text)
    {
        for (const TreeItem &item : presenter.Tree())
            if (item.text == text) {
                presenter.Select(item.node);
                return presenter.Panel();
            }
        ADD_FAILURE() << "no node " << text;
        return {};
    }

    // The panel's fields as shown, ready to be changed and applied.
    static PanelInput InputOf(const PanelState &panel)
    {
        return {panel.rtsInputs, panel.dtrInputs, panel.delay, panel.exceptions, panel.responseMs};
    }

    std::string TempFile(const char *name)
    {
        if (dir.empty()) {
            dir = fs::temp_directory_path() / ("quorvel-presenter-" + std::to_string(::getpid()));
            fs::create_directories(dir);
        }
        return (dir / name).string();
    }

    FakePlatform fake;
    TPresenter presenter{fake};
    fs::path dir;
};

}  // namespace

TEST_F(PresenterTest, TreeAndCommandsFollowTheNode)
{
    StringList lines;
    for (const TreeItem &item : presenter.Tree())
        lines.push_back(std::string(item.depth, ' ') + item.text + (item.marked ? " *" : ""));
    EXPECT_EQ(Join(lines, "|"),
              std::string("Порты (COM и LPT)| Последовательный порт (COM1)| Quorvel Modbus port (COM5) *|"
                          "  192.168.0.10 (502) - Modbus TCP|  10.0.0.7 (4001)| Quorvel Modbus port (COM6) *"));
    EXPECT_EQ(presenter.Selection().kind, NodeKind::None);
    // Only the driver's ports are read, once each.
    EXPECT_EQ(fake.CountCalls("GET COM1"), 0);
    EXPECT_EQ(fake.CountCalls("GET COM5"), 1);

    auto line = [](NodeKind kind) {
        CommandState s = TPresenter::CommandsFor(kind);
        return std::string{char('0' + s.filters),       char('0' + s.uninstallDriver), char('0' + s.connectionsMenu),
                           char('0' + s.addConnection), char('0' + s.editConnection),  char('0' + s.addDevice),
                           char('0' + s.settingsFiles)};
    };
    EXPECT_EQ(line(NodeKind::None), "0000000");
    EXPECT_EQ(line(NodeKind::Class), "1000000");
    EXPECT_EQ(line(NodeKind::OtherPort), "1000000");
    EXPECT_EQ(line(NodeKind::DriverPort), "1111001");
    EXPECT_EQ(line(NodeKind::Connection), "0010111");
}

TEST_F(PresenterTest, PanelShowsWhatTheSelectionHolds)
{
    PanelState panel = Select("Порты (COM и LPT)");
    EXPECT_TRUE(panel.keepSettings);
    EXPECT_FALSE(panel.settingsEnabled);
    ASSERT_EQ(panel.lines.size(), 2u);
    EXPECT_EQ(panel.lines[0].first, std::string("Upper Filters"));

    panel = Select("Последовательный порт (COM1)");
    EXPECT_FALSE(panel.keepSettings);  // the boxes and delay are cleared, not left stale
    EXPECT_FALSE(panel.settingsEnabled);
    EXPECT_FALSE(panel.optionsEnabled);
    EXPECT_EQ(panel.delay, std::string());
    EXPECT_EQ(panel.lines[0].second, std::string("Последовательный порт (COM1)"));
    EXPECT_EQ(fake.CountCalls("OPTGET"), 0);

    fake.ports[u"COM5"].options = EncodePortOptions({kPortOptionExceptions, 1500});
    panel = Select("Quorvel Modbus port (COM5)");
    EXPECT_TRUE(panel.settingsEnabled);
    EXPECT_EQ(panel.rtsInputs, (std::array<bool, 4>{true, false, false, false}));
    EXPECT_EQ(panel.dtrInputs, (std::array<bool, 4>{false, false, true, false}));
    EXPECT_EQ(panel.delay, std::string("10000"));
    EXPECT_TRUE(panel.optionsEnabled);
    EXPECT_TRUE(panel.exceptions);
    EXPECT_EQ(panel.responseMs, std::string("1500"));
    EXPECT_FALSE(panel.devicesRemovable);
    StringList rows;
    for (const PanelRow &r : panel.devices) rows.push_back(r.first + "|" + r.second);
    EXPECT_EQ(rows, (StringList{"192.168.0.10 (502) - Modbus TCP|", "|1", "|2", "10.0.0.7 (4001)|", "|7"}));

    panel = Select("192.168.0.10 (502) - Modbus TCP");
    EXPECT_TRUE(panel.devicesRemovable);
    ASSERT_EQ(panel.devices.size(), 2u);
    EXPECT_EQ(panel.devices[1].id, 2);
    EXPECT_EQ(panel.status, std::string());

    // A held port: nothing to show but why.
    fake.ports[u"COM5"].failure = ERROR_ACCESS_DENIED;
    presenter.Refresh();
    panel = Select("Quorvel Modbus port (COM5)");
    EXPECT_FALSE(panel.optionsEnabled);
    EXPECT_EQ(panel.status, std::string("Настройки порта не прочитаны: Отказано в доступе. (код 5)"));
}

TEST_F(PresenterTest, ApplyRefusesBadFieldsBeforeAnythingIsWritten)
{
    PanelInput input = InputOf(Select("Quorvel Modbus port (COM5)"));
    input.rtsInputs[3] = true;
    for (const char *delay : {"12a", "70000", "-1", "0", ""}) {
        PanelInput bad = input;
        bad.delay = std::string(delay);
        Outcome outcome = presenter.Apply(bad);
        EXPECT_FALSE(outcome.ok) << delay;
        EXPECT_EQ(outcome.error, std::string("Таймаут должен быть целым числом от 1 до 65535"));
    }
    for (const char *ms : {"x", "-5", "3600001"}) {
        PanelInput bad = input;
        bad.responseMs = std::string(ms);
        EXPECT_EQ(presenter.Apply(bad).error,
                  std::string("Время ответа должно быть целым числом от 0 до 3600000 (0 - без ограничения)"))
            << ms;
    }
    EXPECT_EQ(fake.CountCalls("SET"), 0);
    EXPECT_EQ(fake.CountCalls("OPTSET"), 0);
    // Nor did the model take the refused input's check box.
    EXPECT_FALSE(Select("Quorvel Modbus port (COM5)").rtsInputs[3]);

    // A record the driver would refuse is not sent at all.
    Bytes big = {0, 0, 0, 0, 0x01, 0x01, 0x10, 0x27, 0, 0};
    for (int i = 0; i < 2977; ++i) big.insert(big.end(), {11, 0, 0, 0, 1, 2, 3, 4, 0xF6, 0x01, 0});
    auto size = static_cast<std::uint32_t>(big.size());
    std::memcpy(big.data(), &size, 4);
    fake.ports[u"COM6"] = {true, big};
    presenter.Refresh();
    EXPECT_EQ(presenter.Apply(InputOf(Select("Quorvel Modbus port (COM6)"))).error,
              std::string("Ошибка обработки буфера конфигурации порта"));
    EXPECT_EQ(fake.CountCalls("SET"), 0);
}

TEST_F(PresenterTest, ApplyWritesTheRecordAndOnlyChangedOptions)
{
    PanelInput input = InputOf(Select("Quorvel Modbus port (COM6)"));
    input.delay = std::string(" 2500 ");
    input.rtsInputs = {false, true, false, true};
    input.dtrInputs = {true, false, false, false};
    ASSERT_TRUE(presenter.Apply(input).ok);
    EXPECT_EQ(fake.ports[u"COM6"].record, (Bytes{0x0A, 0, 0, 0, 0x01, 0x01, 0xC4, 0x09, 0x0A, 0x01}));
    EXPECT_EQ(fake.CountCalls("OPTSET"), 0);  // unchanged options are not written

    // The exceptions flag on a driver that does not know it yet: a clear error, options untouched.
    input.exceptions = true;
    input.responseMs = std::string("250");
    Outcome refused = presenter.Apply(input);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, std::string("Параметр задан неверно. (код 87)"));
    EXPECT_EQ(fake.ports[u"COM6"].options, EncodePortOptions({}));

    fake.ports[u"COM6"].knownFlags = kPortOptionExceptions;
    ASSERT_TRUE(presenter.Apply(input).ok);
    EXPECT_EQ(fake.ports[u"COM6"].options, EncodePortOptions({kPortOptionExceptions, 250}));
    int writes = fake.CountCalls("OPTSET");
    ASSERT_TRUE(presenter.Apply(input).ok);
    EXPECT_EQ(fake.CountCalls("OPTSET"), writes);

    // A driver without the options requests still takes the settings, from a connection node too.
    fake.ports[u"COM5"].optionsRequests = false;
    PanelState panel = Select("10.0.0.7 (4001)");
    EXPECT_FALSE(panel.optionsEnabled);
    input = InputOf(panel);
    input.dtrInputs[2] = false;
    input.exceptions = true;
    ASSERT_TRUE(presenter.Apply(input).ok);
    Bytes expected = TwoConnectionRecord();
    expected[9] = 0;
    EXPECT_EQ(fake.ports[u"COM5"].record, expected);

    // A port held while the tree was built shows nothing and refuses Apply; released, the next look
    // reads it again, and only what was shown is written.
    fake.ports[u"COM5"].failure = ERROR_ACCESS_DENIED;
    presenter.Refresh();
    PanelState held = Select("Quorvel Modbus port (COM5)");
    EXPECT_FALSE(held.status.empty());
    EXPECT_EQ(presenter.Apply(InputOf(held)).error, std::string("Отказано в доступе. (код 5)"));
    fake.ports[u"COM5"].failure = 0;
    bool reread = false;
    panel = presenter.Panel(&reread);
    EXPECT_TRUE(reread);
    EXPECT_EQ(panel.devices.size(), 5u);
    EXPECT_EQ(panel.status, std::string());
    ASSERT_TRUE(presenter.Apply(InputOf(panel)).ok);
    EXPECT_EQ(fake.ports[u"COM5"].record, expected);
}

TEST_F(PresenterTest, ConnectionAndIdEditsAreAllOrNothing)
{
    Select("Quorvel Modbus port (COM6)");
    EXPECT_EQ(presenter.AddConnection({std::string("no.such.host"), std::string("502"), true}).error,
              std::string("Не удалось определить IP адрес «no.such.host»"));
    for (const char *port : {"0", "65536", "5o2"})
        EXPECT_EQ(presenter.AddConnection({std::string("127.0.0.1"), std::string(port), true}).error,
                  std::string("Порт должен быть положительным целым числом"));
    EXPECT_TRUE(presenter.ConnectionItems(presenter.Selection().port).empty());

    fake.hosts["plc.local"] = {10, 1, 2, 3};
    CModbusDevInfo *added = nullptr;
    EXPECT_FALSE(presenter.HasUnapplied(nullptr));
    ASSERT_TRUE(presenter.AddConnection({std::string("plc.local"), std::string("+1502"), false}, &added).ok);
    ASSERT_NE(added, nullptr);
    EXPECT_TRUE(presenter.HasUnapplied(nullptr));
    EXPECT_EQ(added->DisplayText(), std::string("10.1.2.3 (1502)"));

    Select("10.1.2.3 (1502)");
    EXPECT_EQ(presenter.FieldsOfSelectedConnection().convert, false);
    EXPECT_FALSE(presenter.ChangeConnection({std::string("10.9.9.9"), std::string("0"), true}).ok);
    EXPECT_EQ(added->DisplayText(), std::string("10.1.2.3 (1502)"));
    ASSERT_TRUE(presenter.ChangeConnection({std::string("localhost"), std::string("502"), true}).ok);
    EXPECT_EQ(added->DisplayText(), std::string("127.0.0.1 (502) - Modbus TCP"));

    EXPECT_EQ(presenter.AddId(std::string("256")).error,
              std::string("ID устройства должно быть положительным целым числом"));
    ASSERT_TRUE(presenter.AddId(std::string("17")).ok);
    EXPECT_EQ(presenter.AddId(std::string("17")).error,
              std::string("Устройства c заданным ID уже присутствует в списке"));
    ASSERT_TRUE(presenter.AddId(std::string("18")).ok);
    presenter.RemoveId(17);
    PanelState panel = presenter.Panel();
    ASSERT_EQ(panel.devices.size(), 1u);
    EXPECT_EQ(panel.devices[0].id, 18);
    ASSERT_TRUE(presenter.Apply(InputOf(panel)).ok);
    // Applied: nothing is pending unless a field differs from what the port holds.
    EXPECT_FALSE(presenter.HasUnapplied(nullptr));
    PanelInput edited = InputOf(panel);
    EXPECT_FALSE(presenter.HasUnapplied(&edited));
    edited.delay = std::string("77");
    EXPECT_TRUE(presenter.HasUnapplied(&edited));
    EXPECT_EQ(fake.ports[u"COM6"].record,
              (Bytes{0x16, 0, 0, 0, 0x01, 0x01, 0x10, 0x27, 0, 0, 0x0C, 0, 0, 0, 127, 0, 0, 1, 0xF6, 0x01, 0, 18}));

    // A deleted connection leaves nothing selected to act on.
    presenter.DeleteConnection();
    EXPECT_EQ(presenter.Selection().kind, NodeKind::None);
    EXPECT_TRUE(presenter.Apply(InputOf(panel)).ok);
    EXPECT_TRUE(presenter.AddId(std::string("3")).ok);
    EXPECT_EQ(fake.CountCalls("SET COM6"), 1);
}

TEST_F(PresenterTest, SettingsFilesCarryAPortsRecordAndADamagedOneIsSaid)
{
    Select("10.0.0.7 (4001)");
    std::string file = TempFile("com5.qvor");
    ASSERT_TRUE(presenter.SaveSettings(file).ok);

    Select("Quorvel Modbus port (COM6)");
    ASSERT_TRUE(presenter.LoadSettings(file).ok);
    EXPECT_EQ(presenter.ConnectionItems(presenter.Selection().port).size(), 2u);
    ASSERT_TRUE(presenter.Apply(InputOf(presenter.Panel())).ok);
    EXPECT_EQ(fake.ports[u"COM6"].record, TwoConnectionRecord());

    // Loading on a connection hands the selection to its port before the connections go.
    Select("10.0.0.7 (4001)");
    ASSERT_TRUE(presenter.LoadSettings(file).ok);
    EXPECT_EQ(presenter.Selection().kind, NodeKind::DriverPort);

    std::string damaged = TempFile("damaged.qvor");
    std::ofstream(damaged, std::ios::binary) << "not a settings file";
    Outcome outcome = presenter.LoadSettings(damaged);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, std::string("Некорректный формат файла"));
    // Right header, damaged record: said, and the port keeps its connections.
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes[kSettingsFileHeaderSize + 4] = 9;  // record version
    std::ofstream(damaged, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_EQ(presenter.LoadSettings(damaged).error,
              std::string("Файл настроек поврежден: настройки порта не изменены"));
    EXPECT_EQ(presenter.ConnectionItems(presenter.Selection().port).size(), 2u);
    EXPECT_FALSE(presenter.LoadSettings(TempFile("missing.qvor")).ok);
    EXPECT_FALSE(presenter.SaveSettings(TempFile("no-such-dir/x.qvor")).ok);
}

TEST_F(PresenterTest, InstallationErrorsAreSaidInWords)
{
    fake.installResult = ERROR_NO_COMPAT_DRIVERS;
    Outcome outcome = presenter.InstallDriver(std::string("/tmp/other.inf"));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error,
              std::string("В INF-файле нет драйвера, подходящего для этого устройства. (код 3758096936)"));
    fake.installResult = ERROR_WRONG_INF_STYLE;
    EXPECT_EQ(presenter.InstallDriver("/tmp/x.txt").error.rfind("Файл не является", 0), 0u);
    fake.installResult = 0xE0000999;  // no text anywhere: the code itself
    EXPECT_EQ(presenter.InstallDriver(std::string("/tmp/x.inf")).error, std::string("Ошибка 3758098841 (0xE0000999)"));
}
