// Finding a table by typing: what a filter text keeps of the tree, and the field's keys.
#include "ui/tree_filter.h"

#include "ui/grid.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>
#include <unordered_set>

tree_entry_t tree_entry(const QString& sql_name, const QString& mongo_name, int parent)
{
    return {sql_name.toCaseFolded(), mongo_name.toCaseFolded(), parent};
}

std::vector<filter_mark> filter_tree(const std::vector<tree_entry_t>& entries, const QString& text)
{
    // Folded once here and in the entries once, the per-key test is a plain search.
    const QString folded = text.toCaseFolded();
    std::vector<filter_mark> marks(entries.size(), FILTER_HIDDEN);
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].sql_name.contains(folded) || entries[i].mongo_name.contains(folded))
            marks[i] = FILTER_MATCH;
    // Children come after their parents: from the back, every shown entry shows its parent.
    for (size_t i = entries.size(); i-- > 0;) {
        int parent = entries[i].parent;
        if (marks[i] != FILTER_HIDDEN && parent >= 0 && marks[parent] == FILTER_HIDDEN)
            marks[parent] = FILTER_PARENT;
    }
    return marks;
}

TreeFilter::TreeFilter(QLineEdit* field_, QTreeWidget* tree_, std::function<void(QTreeWidgetItem*)> pick_)
    : QObject(field_), field(field_), tree(tree_), pick(std::move(pick_))
{
    connect(field, &QLineEdit::textChanged, this, &TreeFilter::apply);
    connect(field, &QLineEdit::returnPressed, this, [this] {
        if (QTreeWidgetItem* item = firstMatch())
            pick(item);
    });
    QShortcut* find = new QShortcut(QKeySequence::Find, field->window());
    connect(find, &QShortcut::activated, this, [this] {
        field->setFocus(Qt::ShortcutFocusReason);
        field->selectAll();
    });
    // Items come and go (a table's virtual tables are made anew when it is left, the whole
    // tree after a revert): the names are taken again, and a filter in force is applied
    // again to what came, once the change is over.
    QAbstractItemModel* model = tree->model();
    auto changed = [this] {
        if (!stale && !field->text().isEmpty())
            QTimer::singleShot(0, this, [this] { apply(field->text()); });
        stale = true;
    };
    connect(model, &QAbstractItemModel::rowsInserted, this, changed);
    connect(model, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [this, changed] {
        opened.clear(); // gone with the items
        changed();
    });
    tree->installEventFilter(this);
    field->installEventFilter(this);
}

void TreeFilter::collect()
{
    entries.clear();
    items.clear();
    std::function<void(QTreeWidgetItem*, int)> walk = [&](QTreeWidgetItem* item, int parent) {
        QString sql = item->text(0);
        QVariant mongo = item->data(0, Qt::UserRole);
        QTreeWidgetItem* up = item->parent();
        // A virtual table is known to SQL as its table's name, "_" and its own; in MongoDB
        // it is its table's collection.
        if (item->type() == ITEM_VIRTUAL_TABLE && up) {
            sql = up->text(0) + "_" + sql;
            mongo = up->data(0, Qt::UserRole);
        }
        int self = int(entries.size());
        entries.push_back(tree_entry(sql, mongo.isValid() ? mongo.toString() : sql, parent));
        items.push_back(item);
        for (int i = 0; i < item->childCount(); ++i)
            walk(item->child(i), self);
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        walk(tree->topLevelItem(i), -1);
    stale = false;
}

void TreeFilter::apply(const QString& text)
{
    if (stale)
        collect();
    marks = filter_tree(entries, text);
    const bool all = text.isEmpty();
    tree->setUpdatesEnabled(false);
    // Laid out once when done: else each expansion below lays the whole tree out again,
    // ten thousand times over for a one-letter filter at ten thousand tables.
    tree->setRootIndex(tree->rootIndex());
    for (size_t i = 0; i < items.size(); ++i) {
        bool hide = marks[i] == FILTER_HIDDEN;
        if (items[i]->isHidden() != hide)
            items[i]->setHidden(hide);
        QTreeWidgetItem* parent = items[i]->parent();
        if (!all && !hide && parent && !parent->isExpanded()) {
            parent->setExpanded(true);
            opened.push_back(parent);
        }
    }
    if (all) {
        std::unordered_set<QTreeWidgetItem*> present(items.begin(), items.end());
        for (QTreeWidgetItem* item : opened)
            if (present.count(item))
                item->setExpanded(false);
        opened.clear();
        if (QTreeWidgetItem* current = tree->currentItem())
            tree->scrollToItem(current);
    }
    tree->setUpdatesEnabled(true);
}

QTreeWidgetItem* TreeFilter::firstMatch()
{
    if (stale)
        apply(field->text());
    if (field->text().isEmpty())
        return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        int type = items[i]->type();
        if (marks[i] == FILTER_MATCH && (type == ITEM_TABLE || type == ITEM_VIRTUAL_TABLE))
            return items[i];
    }
    return nullptr;
}

bool TreeFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    QKeyEvent* key = static_cast<QKeyEvent*>(event);
    if (watched == field && key->key() == Qt::Key_Escape) {
        field->clear();
        tree->setFocus(Qt::OtherFocusReason);
        return true;
    }
    // Typing in the tree goes on in the field; the space still selects in the tree.
    const QString typed = key->text();
    const bool plain = !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    if (watched == tree && plain && !typed.isEmpty() && typed[0].isPrint() && !typed[0].isSpace()) {
        field->setFocus(Qt::OtherFocusReason);
        field->end(false);
        field->insert(typed);
        return true;
    }
    return false;
}
