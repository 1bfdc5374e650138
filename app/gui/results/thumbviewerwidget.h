// A grid of thumbnail tiles, five to a row unless told how many fit.
#pragma once

#include <QImage>
#include <QString>
#include <QVector>
#include <QWidget>

#include "picturenode.h"

class QThumbViewerWidget : public QWidget {
    Q_OBJECT
public:
    static constexpr int kColumns = 5;
    static constexpr int kTileWidth = 92;
    static constexpr int kTileHeight = 100;
    static constexpr int kStepX = 101;
    static constexpr int kStepY = 109;
    static constexpr int kMargin = 9;

    explicit QThumbViewerWidget(QWidget *parent = nullptr);
    ~QThumbViewerWidget() override;

    // Inserts a tile at index (appends when index is out of range) and
    // returns the index used.  A picture already decoded is shown as it is;
    // a tile still waiting for its picture says so.
    int AddItem(const QString &image, const QString &text, bool check, void *data, int index = -1,
                const QImage &picture = QImage(), bool waiting = false);
    // Removes the tile at index (the last one when out of range).
    void DeleteItem(int index);
    void ClearItems();
    int GetItemCount() const { return m_items.size(); }
    bool IsValid(int index) const { return index >= 0 && index < m_items.size(); }
    QPictureNode *GetItem(int index) const { return IsValid(index) ? m_items[index] : nullptr; }
    void SetItemCheck(int index, bool check);
    bool GetItemCheck(int index) const;
    void SetItemData(int index, void *data);
    void *GetItemData(int index) const;
    void SetItemText(int index, const QString &text);
    QString GetItemText(int index) const;
    void SetMaxItemCount(int) {}
    // New tiles are enabled (or not).
    void SetItemsEnabled(bool enabled) { m_enabled = enabled; }
    // Schedules the grid's size for its tiles.
    void adjustSize();
    // Moves the tiles from index on to their cells.
    void RePosCtrl(int from);
    // Tiles to a row (at least one); the grid is laid out again.
    void setColumns(int columns);
    int columns() const { return m_columns; }
    // The columns that fit a width.
    static int columnsFor(int width);
    // The cell of tile i, five to a row or `columns` to a row.
    static QRect cellRect(int i, int columns = kColumns);

signals:
    void itemCheckChanged(int index, bool check);

public slots:
    void OnItemCheckChanged(void *node, bool check);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void scheduleResize();

    QVector<QPictureNode *> m_items;
    int m_columns = kColumns;
    bool m_enabled = true;
    bool m_resizePending = false;
    int m_timerId = 0;
};
