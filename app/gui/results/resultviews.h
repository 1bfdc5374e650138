// The result tree and the file table of the results page, filled from the
// driver's result model.  The widgets only show the model: texts, counts,
// order and ticks all come from it, and ticks made in the widgets go back
// to it through the page's slots.
#pragma once

#include <QIcon>
#include <QString>
#include <QTableWidget>
#include <QTreeWidget>
#include <vector>

#include "result_tree.h"

namespace resultviews {

// Tree items carry their node as two integers (group, type; -1 for none).
constexpr int kGroupRole = Qt::UserRole;
constexpr int kTypeRole = Qt::UserRole + 1;
// Column 0 of a table row carries the file's index in the scan's list.
constexpr int kFileRole = Qt::UserRole;

// One column, header hidden.
void setupTree(QTreeWidget *tree);
// Builds the tree again: the root, the groups in the model's order, their
// type nodes; texts, icons and ticks of the model; everything expanded.
void fillTree(QTreeWidget *tree, const salvitra::ResultTree &model);
// Brings an existing tree up to the model without rebuilding it: missing
// nodes are added (a deep scan's nodes as files arrive), texts and ticks
// are set.  No itemChanged signal is emitted.
void syncTree(QTreeWidget *tree, const salvitra::ResultTree &model);
// The node of an item; an item that is not a node gives group -2.
salvitra::NodeRef nodeOf(const QTreeWidgetItem *item);
QTreeWidgetItem *itemOf(QTreeWidget *tree, const salvitra::NodeRef &node);

// Four columns "File Name" (taking the width left), "File Size", "File
// Type", "Modification Time"; no editing, whole rows, extended selection,
// no vertical header, no grid.
void setupTable(QTableWidget *table);
// One row per entry; the name carries the type's icon (a warning for a
// damaged file, an error for an unreadable one), its state and note as
// tooltip, and the row's tick.  No itemChanged signal is emitted.
void fillTable(QTableWidget *table, const std::vector<salvitra::TableRow> &rows, const QString &type);
// The ticks shown in the table, into rows (same order as filled).
void readTableChecks(const QTableWidget *table, std::vector<salvitra::TableRow> &rows);
// Rows whose box is ticked.
int checkedRows(const QTableWidget *table);
// Ticks or unticks every row, without itemChanged signals.
void setAllRows(QTableWidget *table, bool checked);

// The desktop's icon for files of a type, found by name (no file is made).
QIcon typeIcon(const QString &type);
// Text as shown: names from the medium made visible (salvitra::termText:
// controls, direction and zero-width characters, long runs of spaces).
QString shown(const std::string &text);

}  // namespace resultviews
