// The station list: rows from the runtime's queued station states, offline
// marks, clearing, ticks and sorting.
#include "UiTestSupport.h"

#include "rtu/ui/CellCompare.h"
#include "rtu/ui/DeviceView.h"
#include "rtu/ui/MainWindow.h"
#include "rtu/ui/UiRuntimeView.h"
#include "rtu/ui/UiText.h"

#include <QTableWidget>

#include <algorithm>
#include <thread>
#include <vector>

namespace rtu::test {
namespace {

class StationListTest : public UiTest {
protected:
    void SetUp() override
    {
        window.AttachService(&service);
        view.SetWindow(&window);
    }
    void TearDown() override { view.SetWindow(nullptr); }

    CDeviceView& List() { return *window.DeviceView(); }
    QString Online() const { return UiText("DeviceView", "Online"); }
    QString Offline() const { return UiText("DeviceView", "Offline"); }

    // Posts from a runtime thread, as the registry does, and waits for the UI.
    void PostFromWorker(const std::string& station, StationState state, int linkKind = 0)
    {
        std::thread worker([&] { view.PostStationState(station, state, linkKind); });
        worker.join();
        bool served = false;
        QMetaObject::invokeMethod(&view, [&] { served = true; }, Qt::QueuedConnection);
        ASSERT_TRUE(WaitFor([&] { return served; }));
    }

    std::vector<QString> Column(int column)
    {
        std::vector<QString> texts;
        for (int row = 0; row < List().RowCount(); ++row) texts.push_back(List().CellText(row, column));
        return texts;
    }

    FakeService service;
    CMainWindow window;
    CUiRuntimeView view;
};

TEST_F(StationListTest, StationRowAppearsOnlineGoesOfflineAndComesBackRefreshed)
{
    ASSERT_FALSE(Online().isEmpty());
    service.SetRecord(MakeRecord("0012345678", "1.25"));
    PostFromWorker("0012345678", StationState::Online);
    ASSERT_EQ(List().RowCount(), 1);
    EXPECT_EQ(List().CellText(0, 0), "0012345678");
    EXPECT_EQ(List().CellText(0, 3), "1.25");
    EXPECT_EQ(List().CellText(0, 8), "10.1.2.3");
    EXPECT_EQ(List().CellText(0, CDeviceView::kStateColumn), Online());
    EXPECT_EQ(List().CellText(0, CDeviceView::kLinkKindColumn), UiText("DeviceView", "Type1"));
    EXPECT_FALSE(List().CellText(0, 7).isEmpty());

    PostFromWorker("0012345678", StationState::Offline);
    ASSERT_EQ(List().RowCount(), 1);
    EXPECT_EQ(List().CellText(0, CDeviceView::kStateColumn), Offline());
    EXPECT_EQ(List().CellText(0, 3), "1.25");  // only the state changed

    service.SetRecord(MakeRecord("0012345678", "2.50"));
    PostFromWorker("0012345678", StationState::Online);
    ASSERT_EQ(List().RowCount(), 1);
    EXPECT_EQ(List().CellText(0, CDeviceView::kStateColumn), Online());
    EXPECT_EQ(List().CellText(0, 3), "2.50");
}

TEST_F(StationListTest, UnregisteredStationAndWrongAddressLengthsMakeNoRow)
{
    PostFromWorker("0012345678", StationState::Online);  // no record in the registry
    service.SetRecord(MakeRecord("001234567"));
    service.SetRecord(MakeRecord("00123456789"));
    PostFromWorker("001234567", StationState::Online);
    PostFromWorker("00123456789", StationState::Online);
    List().UpdateStationRow(MakeRecord(""));
    EXPECT_EQ(List().RowCount(), 0);
}

TEST_F(StationListTest, ServerIniTextsFillLocationRemarkAndConversionColumns)
{
    ASSERT_TRUE(WriteSetting("StationAdd", "0000000042", "Upper dam"));
    ASSERT_TRUE(WriteSetting("Address", "0000000042", "gauge replaced"));
    ASSERT_TRUE(WriteSetting("Conversion ID", "0000000042", "A042"));
    List().UpdateStationRow(MakeRecord("0000000042", "1.0", kSerialLink));
    ASSERT_EQ(List().RowCount(), 1);
    EXPECT_EQ(List().CellText(0, CDeviceView::kLocationColumn), "Upper dam");
    EXPECT_EQ(List().CellText(0, CDeviceView::kRemarkColumn), "gauge replaced");
    EXPECT_EQ(List().CellText(0, CDeviceView::kConversionColumn), "A042");
    EXPECT_EQ(List().CellText(0, CDeviceView::kLinkKindColumn), UiText("DeviceView", "Type2"));
}

TEST_F(StationListTest, ClearOfflineKeepsOnlineRowsInTheirOrder)
{
    const std::vector<std::string> stations = {"0000000001", "0000000002", "0000000003", "0000000004",
                                               "0000000005"};
    for (const std::string& s : stations) List().UpdateStationRow(MakeRecord(s));
    List().UpdateUserItem("0000000002");
    List().UpdateUserItem("0000000005");
    List().UpdateUserItem("0000000001");
    window.Action(CMainWindow::Command::ClearOffline)->trigger();
    EXPECT_EQ(Column(0), (std::vector<QString>{"0000000003", "0000000004"}));
    EXPECT_EQ(Column(CDeviceView::kStateColumn), (std::vector<QString>{Online(), Online()}));

    // A station that comes back after being removed gets a new row at the end.
    List().UpdateStationRow(MakeRecord("0000000001"));
    EXPECT_EQ(Column(0), (std::vector<QString>{"0000000003", "0000000004", "0000000001"}));
}

TEST_F(StationListTest, ServiceStopEmptiesTheList)
{
    List().UpdateStationRow(MakeRecord("0000000001"));
    std::thread worker([&] { view.ClearStations(); });
    worker.join();
    EXPECT_TRUE(WaitFor([&] { return List().RowCount() == 0; }));
}

TEST_F(StationListTest, ClickTicksOneRowAndCheckedOnlineStationNeedsExactlyOneOnlineTick)
{
    List().UpdateStationRow(MakeRecord("0000000001"));
    List().UpdateStationRow(MakeRecord("0000000002", "1.0", kSerialLink));
    std::string station;
    int kind = -1;
    EXPECT_FALSE(List().GetCheckedOnlineStation(&station, &kind));

    List().ClickRow(1);
    ASSERT_TRUE(List().GetCheckedOnlineStation(&station, &kind));
    EXPECT_EQ(station, "0000000002");
    EXPECT_EQ(kind, kSerialLink);

    List().ClickRow(0);  // clears the tick of the row clicked before
    EXPECT_TRUE(List().IsChecked(0));
    EXPECT_FALSE(List().IsChecked(1));
    EXPECT_EQ(List().LastClickedStation(), "0000000001");
    List().SetChecked(0, false);  // the operator clears the tick with the row's box
    List().ClickRow(0);           // and clicks the same row again
    EXPECT_TRUE(List().IsChecked(0));

    List().SetChecked(1, true);  // two ticks
    EXPECT_FALSE(List().GetCheckedOnlineStation(&station, &kind));
    List().SetChecked(1, false);
    List().UpdateUserItem("0000000001");  // the ticked one went offline
    EXPECT_FALSE(List().GetCheckedOnlineStation(&station, &kind));
}

TEST_F(StationListTest, ContextMenuRequestCarriesTheStationUnderThePointer)
{
    List().UpdateStationRow(MakeRecord("0000000001"));
    List().UpdateStationRow(MakeRecord("0000000002", "1.0", kSerialLink));
    window.resize(1200, 800);
    window.show();
    QString station;
    int kind = -1;
    QObject::connect(&List(), &CDeviceView::StationContextMenu, &List(),
                     [&](const QString& s, int k, const QPoint&) { station = s, kind = k; });
    QTableWidget* table = List().Table();
    const QRect cell = table->visualItemRect(table->item(1, 0));
    emit table->customContextMenuRequested(cell.center());
    EXPECT_EQ(station, "0000000002");
    EXPECT_EQ(kind, kSerialLink);
}

// ---- sorting ---------------------------------------------------------------------------

TEST_F(StationListTest, SortsNumbersDateTimesAndTextsByTheirKindAndReversesOnSecondClick)
{
    const char* levels[] = {"10.5", "9", "-2", "", "n/a", "100"};
    const char* times[] = {"2025-12-09 10:00:00", "2025-12-09 09:00:00", "2025-12-10 01:00:00",
                           "2025-12-08 23:59:59", "2025-12-09 09:30:00", "2025-12-09 09:00:01"};
    for (int i = 0; i < 6; ++i) {
        CltDevInfo r = MakeRecord("000000000" + std::to_string(i), levels[i]);
        r.observationTime = times[i];
        List().UpdateStationRow(r);
    }
    List().ClickRow(3);  // the tick travels with its row

    List().SortByColumn(3);
    EXPECT_EQ(Column(3), (std::vector<QString>{"", "-2", "9", "10.5", "100", "n/a"}));
    EXPECT_TRUE(List().IsChecked(0));
    EXPECT_EQ(List().CellText(0, 0), "0000000003");
    EXPECT_EQ(List().SortOrder(), Qt::AscendingOrder);

    List().SortByColumn(3);
    EXPECT_EQ(Column(3), (std::vector<QString>{"n/a", "100", "10.5", "9", "-2", ""}));
    EXPECT_EQ(List().SortOrder(), Qt::DescendingOrder);

    List().SortByColumn(2);  // another column: ascending again
    EXPECT_EQ(Column(2), (std::vector<QString>{"2025-12-08 23:59:59", "2025-12-09 09:00:00", "2025-12-09 09:00:01",
                                                "2025-12-09 09:30:00", "2025-12-09 10:00:00",
                                                "2025-12-10 01:00:00"}));
    List().SortByColumn(0);
    EXPECT_EQ(Column(0).front(), "0000000000");
    EXPECT_EQ(Column(0).back(), "0000000005");
}

TEST(CellCompare, NumbersOnlyWhenBothAreNumbers)
{
    EXPECT_TRUE(IsNumberText("12"));
    EXPECT_TRUE(IsNumberText("-3.5"));
    EXPECT_TRUE(IsNumberText("+.5"));
    for (const char* text : {"", "-", ".", "1-2", "1.2.3", "1+", "12a", "--1"}) EXPECT_FALSE(IsNumberText(text)) << text;

    EXPECT_LT(CompareCellTexts("9", "10"), 0);         // numbers, not "9" > "1"
    EXPECT_LT(CompareCellTexts(" 2 ", "10"), 0);       // trimmed first
    EXPECT_LT(CompareCellTexts("10", "abc"), 0);       // numbers before texts
    EXPECT_GT(CompareCellTexts("abc", "10"), 0);       // and the same the other way round
    EXPECT_LT(CompareCellTexts("", "0"), 0);           // empty first
    EXPECT_LT(CompareCellTexts("2025-12-09 09:00:00", "2025-12-09 10:00:00"), 0);
    EXPECT_LT(CompareCellTexts("2025-12-09 09:00:00", "Zzz"), 0);
    EXPECT_LT(CompareCellTexts("B", "a"), 0);          // case-sensitive byte order
    EXPECT_EQ(CompareCellTexts("x", "x"), 0);
}

TEST(CellCompare, MixedTextsSortIntoOneConsistentOrder)
{
    const std::vector<QString> texts = {"10", "9", "1e3", "-1", "2025-12-09 09:00:00", "2024-01-01 00:00",
                                        "a", "B", "", " ", "1.5", "+2", "1-2", "99 bottles"};
    for (const QString& a : texts) {
        EXPECT_EQ(CompareCellTexts(a, a), 0);
        for (const QString& b : texts) {
            const int ab = CompareCellTexts(a, b);
            EXPECT_EQ(ab < 0, CompareCellTexts(b, a) > 0) << a.toStdString() << " / " << b.toStdString();
            for (const QString& c : texts) {
                if (ab < 0 && CompareCellTexts(b, c) < 0) {
                    EXPECT_LT(CompareCellTexts(a, c), 0)
                        << a.toStdString() << " < " << b.toStdString() << " < " << c.toStdString();
                }
            }
        }
    }
}

}  // namespace
}  // namespace rtu::test
