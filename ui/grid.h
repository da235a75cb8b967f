// The tree's item types and the column grid's columns, as every part of the window
// indexes them.
#ifndef BROLIX_UI_GRID_H
#define BROLIX_UI_GRID_H

// QTreeWidgetItem types: a catalog, a table under it, a virtual table under the table.
enum tree_item_type { ITEM_CATALOG = 0, ITEM_TABLE = 2, ITEM_VIRTUAL_TABLE = 3 };

// The grid of a table or virtual table (Detail View), ten columns; Hide and Virtual Table
// hold check boxes, the two types combo boxes.
enum grid_column {
    COL_SQL_NAME,
    COL_SQL_TYPE,
    COL_SQL_INDEX,
    COL_MONGO_NAME,
    COL_MONGO_TYPE,
    COL_LENGTH,
    COL_PRECISION,
    COL_SCALE,
    COL_HIDE,
    COL_VIRTUAL,
};

// The Driver View of a virtual table: five columns of text.
enum driver_column {
    DRIVER_COL_SQL_NAME,
    DRIVER_COL_SQL_TYPE,
    DRIVER_COL_MONGO_NAME,
    DRIVER_COL_MONGO_TYPE,
    DRIVER_COL_LENGTH,
    DRIVER_COLUMNS
};

#endif
