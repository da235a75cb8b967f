// Finding a table by typing: what a filter text keeps of the tree (names in, marks out).
#include "ui/tree_filter.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(TreeFilter, KeepsMatchesAnywhereInEitherNameWithTheirParents)
{
    // A catalog, its tables (one with a collection of another name) and their virtual
    // tables, as the window names them; then a second catalog.
    const std::vector<tree_entry_t> tree = {
        tree_entry("Sales", "Sales", -1),          tree_entry("Orders", "orders_2024", 0),
        tree_entry("Orders_Tags", "orders_2024", 1), tree_entry("customers", "customers", 0),
        tree_entry("customers_addresses", "customers", 3), tree_entry("archive", "archive", -1),
        tree_entry("old_orders", "old_orders", 5)};
    const struct {
        const char* text;
        const char* marks; // per entry: Match, Parent kept, Hidden
    } rows[] = {{"", "MMMMMMM"},
                {"ORD", "PMMHHPM"},   // case ignored, in the middle of a name
                {"2024", "PMMHHHH"},  // the collection's name only
                {"tags", "PPMHHHH"},  // a virtual table keeps its table and catalog
                {"dress", "PHHPMHH"},
                {"arch", "HHHHHMH"},  // a catalog alone
                {"s_t", "PPMHHHH"},
                {"zz", "HHHHHHH"}};
    for (const auto& row : rows) {
        std::string got;
        for (filter_mark m : filter_tree(tree, QString::fromUtf8(row.text)))
            got += m == FILTER_MATCH ? 'M' : m == FILTER_PARENT ? 'P' : 'H';
        EXPECT_EQ(got, row.marks) << row.text;
    }
}

} // namespace
