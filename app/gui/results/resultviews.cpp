#include "resultviews.h"

#include "text.h"

#include <QApplication>
#include <QFile>
#include <QHash>
#include <QHeaderView>
#include <QMimeDatabase>
#include <QSignalBlocker>
#include <QStyle>

#include "units.h"

using namespace salvitra;

namespace resultviews {

namespace {

QIcon resourceIcon(const char *path, QStyle::StandardPixmap fallback)
{
    if (QFile::exists(path))
        return QIcon(path);
    return QApplication::style()->standardIcon(fallback);
}

Qt::CheckState toQt(CheckState s)
{
    switch (s) {
    case CheckState::Checked: return Qt::Checked;
    case CheckState::PartlyChecked: return Qt::PartiallyChecked;
    default: return Qt::Unchecked;
    }
}

QTreeWidgetItem *newItem(const NodeRef &n, const QIcon &icon)
{
    auto *item = new QTreeWidgetItem();
    item->setData(0, kGroupRole, n.group);
    item->setData(0, kTypeRole, n.type);
    item->setIcon(0, icon);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
    item->setCheckState(0, Qt::Unchecked);
    return item;
}

void setItem(QTreeWidgetItem *item, const ResultTree &model, const NodeRef &n)
{
    QString text = shown(model.text(n));
    if (item->text(0) != text)
        item->setText(0, text);
    Qt::CheckState s = toQt(model.check(n));
    if (item->checkState(0) != s)
        item->setCheckState(0, s);
}

}  // namespace

QString shown(const std::string &text)
{
    return QString::fromStdString(salvitra::termText(text));
}

void setupTree(QTreeWidget *tree)
{
    tree->setColumnCount(1);
    tree->setHeaderHidden(true);
}

void fillTree(QTreeWidget *tree, const ResultTree &model)
{
    QSignalBlocker block(tree);
    tree->clear();
    syncTree(tree, model);
    tree->expandAll();
}

void syncTree(QTreeWidget *tree, const ResultTree &model)
{
    QSignalBlocker block(tree);
    const QIcon fileIcon = resourceIcon(":/images/icon_file.png", QStyle::SP_DirIcon);
    QTreeWidgetItem *root = tree->topLevelItem(0);
    if (!root) {
        root = newItem({-1, -1}, resourceIcon(":/images/icon_all.png", QStyle::SP_DriveHDIcon));
        tree->addTopLevelItem(root);
        root->setExpanded(true);
    }
    setItem(root, model, {-1, -1});
    const auto &groups = model.groups();
    for (int g = 0; g < (int)groups.size(); g++) {
        QTreeWidgetItem *group = g < root->childCount() ? root->child(g) : nullptr;
        if (!group) {
            group = newItem({g, -1}, fileIcon);
            root->addChild(group);
            group->setExpanded(true);
        }
        setItem(group, model, {g, -1});
        for (int t = 0; t < (int)groups[g].types.size(); t++) {
            QTreeWidgetItem *type = t < group->childCount() ? group->child(t) : nullptr;
            if (!type) {
                type = newItem({g, t}, fileIcon);
                group->addChild(type);
            }
            setItem(type, model, {g, t});
        }
    }
}

NodeRef nodeOf(const QTreeWidgetItem *item)
{
    if (!item || !item->data(0, kGroupRole).isValid())
        return {-2, -1};
    return {item->data(0, kGroupRole).toInt(), item->data(0, kTypeRole).toInt()};
}

QTreeWidgetItem *itemOf(QTreeWidget *tree, const NodeRef &node)
{
    QTreeWidgetItem *root = tree->topLevelItem(0);
    if (!root || node.isRoot())
        return root;
    QTreeWidgetItem *group = root->child(node.group);
    if (!group || node.type < 0)
        return group;
    return group->child(node.type);
}

void setupTable(QTableWidget *table)
{
    table->setColumnCount(4);
    table->setHorizontalHeaderLabels({QObject::tr("File Name"), QObject::tr("File Size"),
                                      QObject::tr("File Type"), QObject::tr("Modification Time")});
    const int widths[] = {175, 90, 80, 150};
    for (int c = 0; c < 4; c++)
        table->setColumnWidth(c, widths[c]);
    // The name takes the room a wider window gives.
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table->horizontalHeader()->setMinimumSectionSize(60);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->verticalHeader()->setVisible(false);
    table->setShowGrid(false);
    table->setSortingEnabled(false);
    // A name too long for its column keeps its end, the real extension.
    table->setTextElideMode(Qt::ElideMiddle);
}

QIcon typeIcon(const QString &type)
{
    static QMimeDatabase db;
    QMimeType mime = db.mimeTypeForFile("data." + type, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName()));
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    return icon;
}

void fillTable(QTableWidget *table, const std::vector<TableRow> &rows, const QString &type)
{
    QSignalBlocker block(table);
    table->setUpdatesEnabled(false);
    table->clearContents();
    table->setRowCount((int)rows.size());
    // One icon for a type's table; a table of several types (a group, "All
    // Files") looks each one up once.
    QHash<QString, QIcon> icons;
    auto iconOf = [&](const TableRow &row) -> QIcon {
        QString t = type;
        if (t.isEmpty()) {
            const int dot = QString::fromStdString(row.name).lastIndexOf('.');
            t = dot < 0 ? QString() : QString::fromStdString(row.name).mid(dot + 1).toLower();
        }
        auto it = icons.find(t);
        if (it == icons.end())
            it = icons.insert(t, typeIcon(t));
        return *it;
    };
    const QIcon damaged = QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    const QIcon lost = QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical);
    const QIcon unverified = QApplication::style()->standardIcon(QStyle::SP_MessageBoxQuestion);
    const QIcon good = QApplication::style()->standardIcon(QStyle::SP_DialogApplyButton);
    const QIcon unknown = QApplication::style()->standardIcon(QStyle::SP_MessageBoxQuestion);
    for (int r = 0; r < (int)rows.size(); r++) {
        const TableRow &row = rows[r];
        auto *name = new QTableWidgetItem(shown(row.name));
        name->setFlags(Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
        name->setCheckState(toQt(row.check));
        name->setData(kFileRole, row.file);
        std::string tip = fileStateText(row.state);
        if (!row.note.empty())
            tip += ": " + row.note;
        if (row.why.empty()) {
            name->setIcon(row.state == FileState::Unreadable   ? lost
                          : row.state == FileState::Damaged    ? damaged
                          : row.state == FileState::Unverified ? unverified
                                                               : iconOf(row));
        } else {
            // A judged file: the icon says whether it will come back whole.
            name->setIcon(row.verdict == Verdict::Good      ? good
                          : row.verdict == Verdict::Damaged ? damaged
                          : row.verdict == Verdict::Overwritten ? lost
                                                                : unknown);
            tip = std::string(verdictText(row.verdict)) + ": " + row.why + "\n" + tip;
        }
        name->setToolTip(shown(tip));
        table->setItem(r, 0, name);
        const std::string *texts[] = {&row.size, &row.group, &row.time};
        for (int c = 1; c < 4; c++) {
            auto *item = new QTableWidgetItem(shown(*texts[c - 1]));
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
            table->setItem(r, c, item);
        }
        // The size as a person reads it; the exact count when pointed at.
        table->item(r, 1)->setToolTip(QString::fromStdString(exactBytes(row.bytes)));
    }
    table->setUpdatesEnabled(true);
}

void readTableChecks(const QTableWidget *table, std::vector<TableRow> &rows)
{
    for (int r = 0; r < (int)rows.size() && r < table->rowCount(); r++) {
        const QTableWidgetItem *item = table->item(r, 0);
        rows[r].check = item && item->checkState() == Qt::Checked ? CheckState::Checked
                                                                  : CheckState::Unchecked;
    }
}

int checkedRows(const QTableWidget *table)
{
    int n = 0;
    for (int r = 0; r < table->rowCount(); r++) {
        const QTableWidgetItem *item = table->item(r, 0);
        n += item && item->checkState() == Qt::Checked;
    }
    return n;
}

void setAllRows(QTableWidget *table, bool checked)
{
    QSignalBlocker block(table);
    for (int r = 0; r < table->rowCount(); r++)
        if (QTableWidgetItem *item = table->item(r, 0))
            item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

}  // namespace resultviews
