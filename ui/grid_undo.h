// The grid's edits in the order made, to be taken back and made again until the table
// is saved or left. An edit is the rows it changed, as they were and as it left them.
#ifndef BROLIX_UI_GRID_UNDO_H
#define BROLIX_UI_GRID_UNDO_H

#include <QString>
#include <vector>

// What the user can change of one row: the texts and editability of SQL Name, MongoDB
// Name, Length, Precision and Scale, the two types, Hide, and the Virtual Table box
// (-1 none, 0 clear, 1 ticked).
struct grid_row_t {
    enum { TEXTS = 5 };
    QString texts[TEXTS];
    int flags[TEXTS] = {};
    int sql_type = -1, mongo_type = -1;
    bool hidden = false;
    int virtual_box = -1;
    bool operator==(const grid_row_t& o) const
    {
        for (int i = 0; i < TEXTS; ++i)
            if (texts[i] != o.texts[i] || flags[i] != o.flags[i])
                return false;
        return sql_type == o.sql_type && mongo_type == o.mongo_type && hidden == o.hidden &&
               virtual_box == o.virtual_box;
    }
    bool operator!=(const grid_row_t& o) const { return !(*this == o); }
};

struct grid_edit_t {
    int page;   // of the grid when made: taken back there
    int column; // the cell edited, whose checks run again
    bool marks; // makes the table edited (hiding "_id" does not)
    std::vector<int> rows;
    std::vector<grid_row_t> before, after;
};

struct grid_edits_t {
    std::vector<grid_edit_t> edits;
    size_t done = 0;
    bool edited_before = false; // the table was edited when the list began (an insert, a reload)

    void clear(bool edited)
    {
        edits.clear();
        done = 0;
        edited_before = edited;
    }
    void push(grid_edit_t edit)
    {
        edits.resize(done);
        edits.push_back(std::move(edit));
        ++done;
    }
    // Derived from what is done, not kept: taking back every edit leaves the table not edited.
    bool edited() const
    {
        for (size_t i = 0; i < done; ++i)
            if (edits[i].marks)
                return true;
        return edited_before;
    }
};

#endif
