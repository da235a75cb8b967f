// Finding a table by typing: the field above the tree and what it keeps of the tree.
// The matching is pure (names in, marks out); TreeFilter applies the marks to the tree.
#ifndef BROLIX_UI_TREE_FILTER_H
#define BROLIX_UI_TREE_FILTER_H

#include <QObject>
#include <QString>
#include <functional>
#include <vector>

class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

// One entry of the tree: its SQL and MongoDB names, case-folded, and the index of its
// parent entry (entries come parents first; -1 at the top).
struct tree_entry_t {
    QString sql_name;
    QString mongo_name;
    int parent;
};
tree_entry_t tree_entry(const QString& sql_name, const QString& mongo_name, int parent);

enum filter_mark { FILTER_HIDDEN, FILTER_PARENT, FILTER_MATCH };

// An entry matches when either name holds the text anywhere, case ignored; the parents
// of a match stay as FILTER_PARENT. An empty text matches everything.
std::vector<filter_mark> filter_tree(const std::vector<tree_entry_t>& entries, const QString& text);

// Hides what the field's text does not keep, expanding the parents of matches while it
// does; Escape in the field clears it, Enter hands the first match to pick, and typing
// a printable character in the tree goes on in the field. The tree's names are taken
// once and again only after the tree changed; no item's columns are ever read.
class TreeFilter : public QObject {
    Q_OBJECT

public:
    TreeFilter(QLineEdit* field, QTreeWidget* tree, std::function<void(QTreeWidgetItem*)> pick);
    // One pass over the tree with its painting held: linear in the items.
    void apply(const QString& text);
    // The first table or virtual table that matches, in tree order; null when none or no text.
    QTreeWidgetItem* firstMatch();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void collect();

    QLineEdit* field;
    QTreeWidget* tree;
    std::function<void(QTreeWidgetItem*)> pick;
    bool stale = true;
    std::vector<tree_entry_t> entries;
    std::vector<QTreeWidgetItem*> items; // beside entries
    std::vector<filter_mark> marks;      // of the text applied last
    std::vector<QTreeWidgetItem*> opened; // expanded by the filter, closed again when it clears
};

#endif
