// The thumbnails of a whole file list, a hundred to a page, with page
// buttons and a "Check All" box that follows the ticks of every item.
#pragma once

#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QScrollArea>
#include <QString>
#include <QWidget>
#include <functional>

#include "thumbviewerwidget.h"

// One item of the list, on whatever page it is.
struct ThumbItem {
    QString image;
    QString text;
    bool ticked = false;
    void *data = nullptr;
    QImage picture;  // decoded by whoever gave the picture (else loaded from image)
    bool answered = false;  // the provider has answered (with a picture or without)
};

class QPagedThumbViewer : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPageSize = 100;

    explicit QPagedThumbViewer(QWidget *parent = nullptr);
    ~QPagedThumbViewer() override;

    // Asks for the picture of an item added without one when its page is
    // drawn, so the files of a long list are extracted a page at a time.
    // The answer (SetItemPicture) may come at once or later; meanwhile the
    // tile shows that its picture is on its way.
    void SetImageProvider(std::function<void(int index, const ThumbItem &)> provider)
    {
        m_provider = std::move(provider);
    }
    // The picture of item index: a file, and the picture decoded from it
    // (null: decode the file here; an empty path: no picture to show).
    void SetItemPicture(int index, const QString &image, const QImage &picture);

    // Inserts an item at index (appends when out of range).
    void AddItem(const QString &image, const QString &text, bool ticked, void *data, int index = -1);
    // Removes the item at index (the last one when out of range).
    void DeleteItem(int index);
    void ClearItems();
    // ClearItems with the "Check All" box unticked first.
    void Reset();
    int GetItemCount() const { return m_items.size(); }
    bool IsValid(int index) const { return index >= 0 && index < m_items.size(); }
    const ThumbItem *GetItem(int index) const { return IsValid(index) ? m_items[index] : nullptr; }
    void *GetItemData(int index) const;
    void SetItemData(int index, void *data);
    bool GetItemCheck(int index) const;
    // Ticks an item (and its tile when shown) without telling anyone.
    void SetItemCheck(int index, bool ticked);
    QString GetItemText(int index) const;
    void SetItemText(int index, const QString &text);

    void ChangePage(int page);
    int currentPage() const { return m_page; }
    int pageCount() const;
    Qt::CheckState GetCheckAll() const;
    // Sets the box only.
    void SetCheckAll(Qt::CheckState state);
    // Page texts for the current item count and page.
    void RedrawByData();
    // Fills the grid with the current page's items.
    void RedrawItem();

    // Tick counters.
    void ResetRef();
    void InitRef(bool &ticked);
    void DelRef(bool &ticked);
    void MoveRef(bool &ticked);
    Qt::CheckState GetRef() const;

    QThumbViewerWidget *grid() const { return m_grid; }
    QCheckBox *checkAllBox() const { return m_checkAll; }
    QLabel *pageLabel() const { return m_label; }
    QLineEdit *pageEdit() const { return m_edtPage; }
    QPushButton *previousButton() const { return m_btnPrevious; }
    QPushButton *nextButton() const { return m_btnNext; }
    QPushButton *goButton() const { return m_btnGo; }

signals:
    // A page is about to be drawn: pictures asked for before are not
    // wanted any more.
    void pageAboutToShow(int page);
    void checkAllChanged(bool checked);
    void checkChanged(void *data);
    // index: the item's place in the whole list.
    void OnItemCheckCganged(int index, bool checked);

public slots:
    void OnBtnPrevious();
    void OnBtnNext();
    void OnBtnGo();
    void OnCheckAllChange();
    void OnCheckChange(int index, bool checked);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setBox(Qt::CheckState state);
    void addTile(ThumbItem *item, int at);
    void updateButtons();

    QScrollArea *m_scroll = nullptr;
    QThumbViewerWidget *m_grid = nullptr;
    QCheckBox *m_checkAll = nullptr;
    QPushButton *m_btnPrevious = nullptr;
    QLabel *m_label = nullptr;
    QPushButton *m_btnNext = nullptr;
    QLineEdit *m_edtPage = nullptr;
    QPushButton *m_btnGo = nullptr;
    int m_page = 0;
    // Changes with every change of the list or the page: a redraw that
    // lets events run stops when one of them changed what it draws.
    quint64 m_version = 0;
    QList<ThumbItem *> m_items;
    std::function<void(int, const ThumbItem &)> m_provider;
    quint64 m_ticked = 0;
    quint64 m_unticked = 0;
};
