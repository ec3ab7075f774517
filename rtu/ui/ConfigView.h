// CConfigView: the configuration pane below the station list. It holds the
// panels of the station commands, one visible at a time:
//   data panel (CShowDataDlg): the answer of a station to a query or order;
//   clock, upgrade, picture and period query panels;
//   device configuration (CDeviceConfigDlg): a caption and a CTabSheet with
//   the base configuration and running parameter pages (shown at start).
// The command panels and the two pages start empty; the dialogs that fill
// them are put in with SetPanel and DeviceConfigPages()->ReplacePage.
#pragma once

#include <QWidget>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QStackedWidget;

namespace rtu {

class CTabSheet;

// The data panel: a group box titled by the command that shows it, a caption
// and a read-only text box for the answer.
class CShowDataDlg : public QWidget {
    Q_OBJECT
public:
    explicit CShowDataDlg(QWidget* parent = nullptr);
    void SetTitle(const QString& title);
    QString Title() const;
    void SetAnswerText(const QString& text);
    QString AnswerText() const;

private:
    QGroupBox* group_;
    QLabel* caption_;
    QPlainTextEdit* box_;
};

// The device configuration panel: caption and the two-page tab sheet.
class CDeviceConfigDlg : public QWidget {
    Q_OBJECT
public:
    explicit CDeviceConfigDlg(QWidget* parent = nullptr);
    CTabSheet* Pages() const { return pages_; }

private:
    QLabel* caption_;
    CTabSheet* pages_;
};

class CConfigView : public QWidget {
    Q_OBJECT
public:
    enum class Panel { Data, Clock, DeviceConfig, Upgrade, Picture, PeriodQuery };

    explicit CConfigView(QWidget* parent = nullptr);

    // Hides every panel and shows `panel`. For the data panel, n = 1..6 sets
    // its title to ShowDlg<n> of section ConfigView (other n keep the title).
    void ShowPanel(Panel panel, int n = 0);
    Panel CurrentPanel() const;

    // Puts the dialog of a command panel in place (the old one is deleted).
    // The data and device configuration panels are built here and cannot be replaced.
    bool SetPanel(Panel panel, QWidget* dialog);
    QWidget* PanelWidget(Panel panel) const;

    CShowDataDlg* DataPanel() const { return data_; }
    CTabSheet* DeviceConfigPages() const;

signals:
    // A panel was brought to the front (the period query panel resets itself on it).
    void PanelShown(rtu::CConfigView::Panel panel);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QStackedWidget* stack_;
    CShowDataDlg* data_;
    CDeviceConfigDlg* deviceConfig_;
};

}  // namespace rtu
