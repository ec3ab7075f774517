// CTabSheet: a tab control of at most 16 pages. The page of the chosen tab is
// shown and the others hidden; the first page is shown at start.
#pragma once

#include <QTabWidget>

namespace rtu {

class CTabSheet : public QTabWidget {
    Q_OBJECT
public:
    static constexpr int kMaxPages = 16;

    explicit CTabSheet(QWidget* parent = nullptr);

    // Adds a page; false (and the page is not taken) when 16 pages are there
    // already or the page is null.
    bool AddPage(const QString& title, QWidget* page);
    // Puts `page` in place of the page at `index` (the old one is deleted);
    // false when there is no such page or the page is null.
    bool ReplacePage(int index, QWidget* page);
};

}  // namespace rtu
